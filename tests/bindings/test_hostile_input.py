"""Hostile input: whatever Python code hands the two entry functions, the call
ends in a list or in the exception that the documented rules name, never in a
crash, and the module keeps working afterwards.

Every example is a *recipe* that hypothesis draws. The recipe is built twice
into fresh objects: one copy goes through `expected_outcome`, a model of
argument binding, conversion and table validation written in Python on top of
the interpreter's own conversion functions (through ctypes, so that the
interpreter's texts and quirks are the ones it really has); the other copy goes
to trelvik. Both copies run the same hooks (which may raise, lie, mutate the
list they sit in, or call trelvik again), so the two runs see the same
sequence of events and must end the same way.

The number of examples comes from the hypothesis profile named by the
environment variable TRELVIK_HYPOTHESIS_PROFILE: "default" (a few hundred per
function) or "ci" (20,000 per function).
"""

import collections
import ctypes
import decimal
import fractions
import functools
import math
import operator
import os
import subprocess
import sys
import warnings
from array import array

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import pace
import trelvik

# ---------------------------------------------------------------------------
# Profiles

_COMMON = dict(
    deadline=None,
    suppress_health_check=list(HealthCheck),
    print_blob=True,
)
settings.register_profile("trelvik-hostile-default", max_examples=pace.repeat(500, floor=100), **_COMMON)
settings.register_profile("trelvik-hostile-ci", max_examples=20_000, database=None, **_COMMON)
_PROFILE = "trelvik-hostile-" + os.environ.get("TRELVIK_HYPOTHESIS_PROFILE", "default")
HOSTILE_SETTINGS = settings.get_profile(_PROFILE)
if os.environ.get("TRELVIK_HYPOTHESIS_EXAMPLES"):  # for local runs of any length
    HOSTILE_SETTINGS = settings(HOSTILE_SETTINGS, max_examples=int(os.environ["TRELVIK_HYPOTHESIS_EXAMPLES"]))

# ---------------------------------------------------------------------------
# The interpreter's own conversion functions, called as the module calls them.

_api = ctypes.pythonapi
_api.PyFloat_AsDouble.restype = ctypes.c_double
_api.PyFloat_AsDouble.argtypes = [ctypes.py_object]
_api.PySequence_Check.restype = ctypes.c_int
_api.PySequence_Check.argtypes = [ctypes.py_object]
_api.PyObject_Size.restype = ctypes.c_ssize_t
_api.PyObject_Size.argtypes = [ctypes.py_object]
_api.PyLong_AsUnsignedLongLong.restype = ctypes.c_ulonglong
_api.PyLong_AsUnsignedLongLong.argtypes = [ctypes.py_object]

VALID = [[[1.0, 5.0], [3.0, 3.0], [5.0, 1.0]], [[0.0, 2.0], [2.0, 0.0]]]
VALID_FRONT = {((0, 0), (1.0, 7.0)), ((0, 1), (3.0, 5.0)), ((1, 1), (5.0, 3.0)), ((2, 1), (7.0, 1.0))}


def _panic_class():
    try:
        trelvik.find_pareto_front([[[1.0]], [[2.0]]], 0.0)
    except BaseException as caught:  # noqa: B036 - PanicException derives from BaseException
        return type(caught)
    raise AssertionError("epsilon 0 did not fail")


PANIC = _panic_class()


def still_works():
    """A call after the hostile one computes the known front and sample."""
    front = trelvik.find_pareto_front(VALID, 0.01)
    got = {(tuple(s.design_vector), tuple(s.target_vector)) for s in front}
    assert len(front) == 4 and got == VALID_FRONT
    sample = trelvik.create_random_points(VALID, 3)
    assert len(sample) == 3
    for s in sample:
        d = s.design_vector
        assert d[0] in (0, 1, 2) and d[1] in (0, 1)


# ---------------------------------------------------------------------------
# Hooks and the objects that carry them


class HookError(Exception):
    pass


class HookTypeError(TypeError):
    pass


class HookBaseError(BaseException):
    pass


class Unprintable:
    def __str__(self):
        raise ValueError("this object has no text")

    __repr__ = object.__repr__


def raise_hook_exception(kind):
    if kind == "hook":
        raise HookError("hook failed")
    if kind == "type":
        raise TypeError("hook type error")
    if kind == "typesub":
        raise HookTypeError("hook type error subclass")
    if kind == "typecause":
        raise TypeError("hook type error with a cause") from ValueError("the cause")
    if kind == "unprintable":
        raise TypeError(Unprintable())
    if kind == "value":
        raise ValueError("hook value error")
    if kind == "overflow":
        raise OverflowError("hook overflow")
    if kind == "memory":
        raise MemoryError("hook memory")
    if kind == "recursion":
        raise RecursionError("hook recursion")
    if kind == "stop":
        raise StopIteration("hook stop")
    if kind == "base":
        raise HookBaseError("hook base exception")
    if kind == "panic":
        trelvik.find_pareto_front([[[1.0]], [[2.0]]], 0.0)  # PanicException escapes
    raise AssertionError(kind)


EXCEPTION_KINDS = [
    "hook", "type", "typesub", "typecause", "unprintable", "value", "overflow",
    "memory", "recursion", "stop", "base", "panic",
]


def call_back(mode):
    """Calls trelvik from inside a hook."""
    if mode == "ok":
        trelvik.find_pareto_front(VALID, 0.1)
        trelvik.create_random_points(VALID, 2)
    elif mode == "caught":
        for call in (
            lambda: trelvik.find_pareto_front([[[1.0]], [[math.nan]]], 0.1),
            lambda: trelvik.create_random_points([[[1.0]], []], 1),
            lambda: trelvik.find_pareto_front("x", 0.1),
            lambda: trelvik.create_random_points(VALID, -1),
        ):
            try:
                call()
            except BaseException:  # noqa: B036
                pass
    elif mode == "escape_value":
        trelvik.find_pareto_front([], 0.1)
    elif mode == "escape_type":
        trelvik.find_pareto_front(5, 0.1)
    elif mode == "escape_panic":
        trelvik.create_random_points([[[1.0]], []], 1)
    else:
        raise AssertionError(mode)


CALLBACK_MODES = ["ok", "caught", "escape_value", "escape_type", "escape_panic"]


class Context:
    """Where a built object sits: the lists around it, innermost last."""

    def __init__(self):
        self.lists = []  # (list object, level of its items)


def mutate(action, target):
    """Changes the list `target` (whose items are at `level`) from inside a hook."""
    lst, level = target
    fresh = build(valid_item_recipe(level), Context(), level)
    if action == "clear":
        lst.clear()
    elif action == "append":
        lst.append(fresh)
    elif action == "extend":
        lst.extend([fresh, build(valid_item_recipe(level), Context(), level), fresh])
    elif action == "pop_first":
        if lst:
            lst.pop(0)
    elif action == "pop_last":
        if lst:
            lst.pop()
    elif action == "insert_first":
        lst.insert(0, fresh)
    elif action == "reverse":
        lst.reverse()
    elif action == "replace_all":
        lst[:] = [fresh, fresh]
    else:
        raise AssertionError(action)


MUTATIONS = ["clear", "append", "extend", "pop_first", "pop_last", "insert_first", "reverse", "replace_all"]


def valid_item_recipe(level):
    """A small valid stand (level 1), option (level 2) or value (level 3)."""
    if level == 3:
        return ("float", 2.5)
    if level == 2:
        return ("list", [("float", 1.0), ("float", 2.0)])
    return ("list", [valid_item_recipe(2)])


class Behaviour:
    """The hooks of one hostile object; each mutation or callback runs once."""

    def __init__(self, spec, ctx):
        self.spec = dict(spec)
        self.targets = list(ctx.lists)
        self.done = set()

    def once(self, name, mode):
        if mode is None or name in self.done:
            return
        self.done.add(name)
        kind, _, arg = mode.partition(":")
        if kind == "raise":
            raise_hook_exception(arg)
        if kind == "callback":
            call_back(arg)
        if kind == "mutate":
            action, _, depth = arg.partition("@")
            if self.targets:
                mutate(action, self.targets[-1 - min(int(depth), len(self.targets) - 1)])


class HostileIterator:
    def __init__(self, items, behaviour):
        self.items = items
        self.position = 0
        self.behaviour = behaviour

    def __iter__(self):
        return self

    def __next__(self):
        spec = self.behaviour.spec
        mode = spec.get("next")
        if mode and mode.startswith("raise_at:"):
            _, at, kind = mode.split(":")
            if self.position == int(at):
                self.position += 1
                raise_hook_exception(kind)
        if self.position == spec.get("next_hook_at", -1):
            self.behaviour.once("next", spec.get("next_hook"))
        if self.position < len(self.items):
            item = self.items[self.position]
            self.position += 1
            return item
        if mode == "extra" and self.position == len(self.items):
            self.position += 1
            return self.behaviour.spec["extra_item"]
        if mode == "stop_subclass":
            raise HookStop("end")
        raise StopIteration


class HookStop(StopIteration):
    pass


def _length(self):
    behaviour = self._behaviour
    mode = behaviour.spec.get("len", "true")
    if mode == "true":
        return len(self._items)
    if mode == "zero":
        return 0
    if mode == "big":
        return 10**6
    if mode == "huge":
        return sys.maxsize
    if mode == "overflow":
        return 2**100
    if mode == "negative":
        return -1
    if mode == "wrongtype":
        return "3"
    behaviour.once("len", mode)
    return len(self._items)


def _iterate(self):
    behaviour = self._behaviour
    mode = behaviour.spec.get("iter", "plain")
    if mode == "noniterator":
        return 5
    if mode.startswith(("raise:", "callback:", "mutate:")):
        behaviour.once("iter", mode)
    if mode == "custom" or behaviour.spec.get("next"):
        return HostileIterator(self._items, behaviour)
    return iter(self._items)


def _get_item(self, index):
    behaviour = self._behaviour
    mode = behaviour.spec.get("getitem", "plain")
    if mode.startswith("raise_at:"):
        _, at, kind = mode.split(":")
        if index == int(at):
            raise_hook_exception(kind)
    if index == behaviour.spec.get("next_hook_at", -1):
        behaviour.once("next", behaviour.spec.get("next_hook"))
    if index < len(self._items):
        return self._items[index]
    if mode == "keyerror_end":
        raise KeyError(index)
    if mode == "stop_end":
        raise StopIteration
    raise IndexError(index)


def _init(self, items, behaviour):
    self._items = items
    self._behaviour = behaviour


# Sequences by the protocol they offer: with or without __iter__ (without it,
# iteration goes through __getitem__), with or without __len__.
IterLen = type("IterLen", (), {"__init__": _init, "__len__": _length, "__iter__": _iterate, "__getitem__": _get_item})
IterNoLen = type("IterNoLen", (), {"__init__": _init, "__iter__": _iterate, "__getitem__": _get_item})
GetItemLen = type("GetItemLen", (), {"__init__": _init, "__len__": _length, "__getitem__": _get_item})
GetItemNoLen = type("GetItemNoLen", (), {"__init__": _init, "__getitem__": _get_item})
SEQUENCE_CLASSES = {c.__name__: c for c in (IterLen, IterNoLen, GetItemLen, GetItemNoLen)}


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class IntSubWithFloat(int):
    def __float__(self):
        return 0.25


class FloatSubWithFloat(float):
    def __float__(self):  # never used: a float subclass is read directly
        raise AssertionError("not called")


class HostileNumber:
    """A number-like object; which of __float__ and __index__ it has depends on its class."""

    def __init__(self, behaviour):
        self._behaviour = behaviour

    def _hook(self, name, result):
        behaviour = self._behaviour
        mode = behaviour.spec[name]
        if mode.startswith(("raise:", "callback:", "mutate:")):
            behaviour.once(name, mode)
        if mode == "str":
            return "1.5"
        if mode == "int":
            return 7
        if mode == "float":
            return 1.5
        if mode == "floatsub":
            return FloatSub(1.5)
        if mode == "intsub":
            return IntSub(3)
        if mode == "nan":
            return math.nan
        return result


def _float_hook(self):
    return self._hook("float", 0.75)


def _index_hook(self):
    return self._hook("index", 4)


FloatOnly = type("FloatOnly", (HostileNumber,), {"__float__": _float_hook})
IndexOnly = type("IndexOnly", (HostileNumber,), {"__index__": _index_hook})
FloatAndIndex = type("FloatAndIndex", (HostileNumber,), {"__float__": _float_hook, "__index__": _index_hook})
NoNumber = type("NoNumber", (HostileNumber,), {})
NUMBER_CLASSES = {c.__name__: c for c in (FloatOnly, IndexOnly, FloatAndIndex, NoNumber)}


class OddNameMeta(type):
    """A metaclass whose classes do not give their __qualname__ as a str."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            mode = type.__getattribute__(cls, "mode")
            if mode == "int":
                return 5
            if mode == "raise":
                raise HookError("no qualname")
            if mode == "strsub":
                return type("S", (str,), {})("Odd.Name")
        return type.__getattribute__(cls, name)


def odd_named(mode):
    return OddNameMeta("OddNamed", (), {"mode": mode})()


def build(recipe, ctx, level):
    """A fresh object from a recipe, for the place `level` (0 data, 1 stand,
    2 option, 3 value)."""
    kind = recipe[0]
    if kind in ("list", "listsub"):
        result = [] if kind == "list" else ListSub()
        ctx.lists.append((result, level + 1))
        result.extend(build(child, ctx, level + 1) for child in recipe[1])
        ctx.lists.pop()
        return result
    if kind == "self":
        return ctx.lists[-1][0] if ctx.lists else []
    if kind == "tuple":
        return tuple(build(child, ctx, level + 1) for child in recipe[1])
    if kind == "tuplesub":
        return TupleSub(build(child, ctx, level + 1) for child in recipe[1])
    if kind == "deque":
        return collections.deque(build(child, ctx, level + 1) for child in recipe[1])
    if kind == "generator":
        items = [build(child, ctx, level + 1) for child in recipe[1]]
        return (item for item in items)
    if kind == "dict":
        return {i: build(child, ctx, level + 1) for i, child in enumerate(recipe[1])}
    if kind == "set":
        return set(range(len(recipe[1])))
    if kind == "frozenset":
        return frozenset(range(len(recipe[1])))
    if kind == "range":
        return range(*recipe[1])
    if kind == "bytes":
        return bytes(recipe[1])
    if kind == "bytearray":
        return bytearray(recipe[1])
    if kind == "memoryview":
        return memoryview(bytes(recipe[1]))
    if kind == "array":
        return array("d", recipe[1])
    if kind == "str":
        return recipe[1]
    if kind == "none":
        return None
    if kind == "float":
        return float(recipe[1])
    if kind == "int":
        return int(recipe[1])
    if kind == "bool":
        return bool(recipe[1])
    if kind == "intsub":
        return IntSub(recipe[1])
    if kind == "floatsub":
        return FloatSub(recipe[1])
    if kind == "intsubfloat":
        return IntSubWithFloat(recipe[1])
    if kind == "floatsubfloat":
        return FloatSubWithFloat(recipe[1])
    if kind == "complex":
        return complex(recipe[1], 1.0)
    if kind == "decimal":
        return decimal.Decimal(recipe[1])
    if kind == "fraction":
        return fractions.Fraction(recipe[1], 3)
    if kind == "oddname":
        return odd_named(recipe[1])
    if kind == "number":
        _, class_name, spec = recipe
        return NUMBER_CLASSES[class_name](Behaviour(spec, ctx))
    if kind == "sequence":
        _, class_name, spec, children = recipe
        behaviour = Behaviour(spec, ctx)
        if "extra" in spec:
            behaviour.spec["extra_item"] = build(spec["extra"], ctx, level + 1)
        items = [build(child, ctx, level + 1) for child in children]
        return SEQUENCE_CLASSES[class_name](items, behaviour)
    raise AssertionError(recipe)


# ---------------------------------------------------------------------------
# Recipes


def weighted(*choices):
    """One of the strategies, picked with the given integer weights. (Nested
    one_of strategies would be flattened into one list of equally likely
    branches, which lets rare kinds crowd out the common ones.)"""
    table = [strategy for weight, strategy in choices for _ in range(weight)]
    return st.sampled_from(table).flatmap(lambda strategy: strategy)


def exception_mode():
    return st.sampled_from(EXCEPTION_KINDS).map(lambda kind: "raise:" + kind)


def hook_mode():
    """What a hook does besides its normal job: raise, call back, or mutate."""
    return weighted(
        (2, exception_mode()),
        (1, st.sampled_from(CALLBACK_MODES).map(lambda mode: "callback:" + mode)),
        (1, st.tuples(st.sampled_from(MUTATIONS), st.integers(0, 3)).map(lambda t: "mutate:%s@%d" % t)),
    )


SPECIAL_FLOATS = [math.nan, math.inf, -math.inf, -0.0, 0.0, 5e-324, 1.7976931348623157e308,
                  -1.7976931348623157e308, 1e300, -1e300]
special_floats = st.sampled_from(SPECIAL_FLOATS)
plain_floats = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False)
huge_ints = st.sampled_from([2**1024, -(2**1024), 2**1023, 2**64, -(2**63), 10**400])


def number_recipe():
    """An object with __float__ and/or __index__ hooks that may misbehave."""
    number_spec = st.fixed_dictionaries(
        {
            "float": weighted((1, st.sampled_from(["float", "str", "int", "floatsub", "nan"])), (1, hook_mode())),
            "index": weighted((1, st.sampled_from(["int", "str", "intsub", "float"])), (1, hook_mode())),
        }
    )
    return st.tuples(st.just("number"), st.sampled_from(sorted(NUMBER_CLASSES)), number_spec)


def value_recipe():
    """Level 3, anything goes: numbers of every kind, hooks, non-numbers."""
    return weighted(
        (4, plain_floats.map(lambda v: ("float", v))),
        (2, special_floats.map(lambda v: ("float", v))),
        (1, st.integers(-(10**6), 10**6).map(lambda v: ("int", v))),
        (1, huge_ints.map(lambda v: ("int", v))),
        (1, st.booleans().map(lambda v: ("bool", v))),
        (1, st.integers(-100, 100).map(lambda v: ("intsub", v))),
        (1, plain_floats.map(lambda v: ("floatsub", v))),
        (1, st.integers(-100, 100).map(lambda v: ("intsubfloat", v))),
        (1, plain_floats.map(lambda v: ("floatsubfloat", v))),
        (1, st.sampled_from(["1.5", "-2", "nan", "1e400"]).map(lambda v: ("decimal", v))),
        (1, st.integers(-9, 9).map(lambda v: ("fraction", v))),
        (4, number_recipe()),
        (1, st.just(("complex", 1.0))),
        (2, odd_recipe(3)),
    )


def odd_recipe(level):
    """Things that are not what the level expects (or barely are)."""
    small_bytes = st.lists(st.integers(0, 255), max_size=4)
    return st.one_of(
        st.just(("none",)),
        st.text(max_size=3).map(lambda s: ("str", s)),
        small_bytes.map(lambda b: ("bytes", b)),
        small_bytes.map(lambda b: ("bytearray", b)),
        small_bytes.map(lambda b: ("memoryview", b)),
        st.lists(plain_floats, max_size=3).map(lambda v: ("array", v)),
        st.tuples(st.integers(-3, 3), st.integers(-3, 5), st.sampled_from([1, 2, -1])).map(lambda t: ("range", t)),
        st.just(("dict", [("float", 1.0)])),
        st.just(("set", [1])),
        st.just(("frozenset", [1, 2])),
        st.just(("generator", [("float", 1.0)] if level >= 2 else [])),
        st.just(("self",)),
        st.sampled_from(["int", "raise", "strsub"]).map(lambda m: ("oddname", m)),
        st.integers(-5, 5).map(lambda v: ("int", v)),
        plain_floats.map(lambda v: ("float", v)),
    )


def sequence_spec(level):
    """The hooks of a hostile sequence; each is absent (well-behaved) or odd."""
    exception_at = st.tuples(st.integers(0, 3), st.sampled_from(EXCEPTION_KINDS)).map(lambda t: "raise_at:%d:%s" % t)
    return st.fixed_dictionaries(
        {},
        optional={
            "len": weighted(
                (1, st.sampled_from(["true", "zero", "big", "huge", "overflow", "negative", "wrongtype"])),
                (1, hook_mode()),
            ),
            "iter": weighted((1, st.sampled_from(["plain", "custom", "noniterator"])), (1, hook_mode())),
            "next": weighted((1, st.sampled_from(["extra", "stop_subclass"])), (1, exception_at)),
            "getitem": weighted((1, st.sampled_from(["plain", "keyerror_end", "stop_end"])), (1, exception_at)),
            "next_hook_at": st.integers(0, 3),
            "next_hook": hook_mode(),
            "extra": item_recipe(level + 1) if level < 3 else st.just(("float", 1.0)),
        },
    )


def container_recipe(level, children):
    lists = st.lists(children, max_size=4)
    return weighted(
        (3, lists.map(lambda c: ("list", c))),
        (1, lists.map(lambda c: ("tuple", c))),
        (1, lists.map(lambda c: ("listsub", c))),
        (1, lists.map(lambda c: ("tuplesub", c))),
        (1, lists.map(lambda c: ("deque", c))),
        (1, lists.map(lambda c: ("dict", c))),
        (1, lists.map(lambda c: ("generator", c))),
        (3, st.tuples(st.just("sequence"), st.sampled_from(sorted(SEQUENCE_CLASSES)), sequence_spec(level), lists)),
    )


@functools.lru_cache(maxsize=None)
def item_recipe(level):
    """Any object at `level` (0 data, 1 stand, 2 option, 3 value), of any shape."""
    if level >= 3:
        return st.deferred(value_recipe)
    return weighted((4, container_recipe(level, item_recipe(level + 1))), (1, odd_recipe(level)))


BENIGN_CONTAINERS = ["list", "list", "list", "list", "tuple", "listsub", "tuplesub", "deque"]


BENIGN_KINDS = ["float"] * 6 + ["int", "bool", "intsub", "floatsub", "intsubfloat", "decimal", "fraction",
                                "FloatOnly", "FloatAndIndex", "IndexOnly", "special"]


def make_benign(choice):
    kind, value, small = choice
    if kind in ("float", "floatsub"):
        return (kind, value)
    if kind in ("int", "intsub", "intsubfloat"):
        return (kind, int(value))
    if kind == "bool":
        return ("bool", small % 2)
    if kind == "decimal":
        return ("decimal", ["1.5", "-2", "nan"][small % 3])
    if kind == "fraction":
        return ("fraction", small - 5)
    if kind == "special":
        return ("float", SPECIAL_FLOATS[small])
    return ("number", kind, {"float": "float", "index": "int"})


def benign_value():
    """A value that converts: numbers of every ordinary kind, now and then a
    NaN, an infinity or a huge finite one. (One flat draw: these are the bulk
    of every table, and hypothesis pays for every nested choice.)"""
    return st.tuples(st.sampled_from(BENIGN_KINDS), plain_floats, st.integers(0, 9)).map(make_benign)


@st.composite
def hostile_node(draw, level, children):
    """A container of `children` that is odd or hostile, or something that is
    no container at all."""
    kind = draw(st.sampled_from(["tuple", "listsub", "deque", "dict", "generator", "odd",
                                 "sequence", "sequence", "sequence", "sequence"]))
    if kind == "odd":
        return draw(odd_recipe(level))
    if kind == "sequence":
        return ("sequence", draw(st.sampled_from(sorted(SEQUENCE_CLASSES))), draw(sequence_spec(level)), children)
    return (kind, children)


@st.composite
def data_recipe(draw):
    """A table whose shape is usually valid, with a share of hostile nodes
    that differs from example to example (none in a good part of them)."""
    hostility = draw(st.sampled_from([0, 0, 3, 10, 30]))  # percent of nodes

    def hostile():
        return hostility > 0 and draw(st.integers(0, 99)) < hostility

    def node(level, children):
        if hostile():
            return draw(hostile_node(level, children))
        return (draw(st.sampled_from(BENIGN_CONTAINERS)), children)

    n_variables = draw(st.integers(1, 3))
    regular = draw(st.integers(0, 3)) > 0
    n_stands = draw(st.sampled_from([2, 2, 2, 3, 3, 4, 5, 1, 0]))
    stands = []
    for i in range(n_stands):
        n_options = draw(st.sampled_from([1, 1, 2, 2, 3, 4, 0] if i else [1, 2, 2, 3, 4, 0]))
        options = []
        for _ in range(n_options):
            n = n_variables if regular else draw(st.integers(0, 4))
            values = [draw(item_recipe(3)) if hostile() else draw(benign_value()) for _ in range(n)]
            options.append(node(2, values))
        stands.append(node(1, options))
    return node(0, stands)


def epsilon_recipe():
    return weighted(
        (12, st.floats(min_value=1e-3, max_value=10.0).map(lambda v: ("float", v))),
        (3, st.sampled_from([0.0, -0.0, -0.5, -1.0, -2.0, math.nan, math.inf, -math.inf, 1e-300, 5e-324]).map(
            lambda v: ("float", v))),
        (1, st.integers(-3, 3).map(lambda v: ("int", v))),
        (1, huge_ints.map(lambda v: ("int", v))),
        (1, st.booleans().map(lambda v: ("bool", v))),
        (1, st.floats(min_value=1e-3, max_value=10.0).map(lambda v: ("floatsub", v))),
        (2, number_recipe()),
        (1, odd_recipe(3)),
    )


def count_recipe():
    return weighted(
        (12, st.integers(0, 40).map(lambda v: ("int", v))),
        (2, st.sampled_from([-1, -(2**70), 2**32, 2**64 - 1, 2**64, 2**100]).map(lambda v: ("int", v))),
        (1, st.booleans().map(lambda v: ("bool", v))),
        (1, st.integers(0, 40).map(lambda v: ("intsub", v))),
        (1, st.sampled_from([("float", 3.0), ("decimal", "2")])),
        (2, number_recipe()),
        (1, odd_recipe(3)),
    )


CALL_FORMS = ["positional", "keywords", "mixed", "keywords_reversed", "three_positional", "unknown_keyword",
              "twice", "first_only", "second_only", "nothing"]


def call_form():
    """Mostly a call that binds; one in ten fails to bind."""
    return st.sampled_from(CALL_FORMS[:4] * 4 + ["positional"] * 50 + CALL_FORMS[4:])


# ---------------------------------------------------------------------------
# The model


class Raises:
    def __init__(self, error):
        self.error = error


def model_argument_error(name, error):
    if type(error) is not TypeError:
        return error
    try:
        text = str(error)
    except BaseException:  # noqa: B036
        text = "<unprintable TypeError object>"
    prefixed = TypeError("argument '%s': %s" % (name, text))
    prefixed.__cause__ = error.__cause__
    return prefixed


def type_name(cls):
    try:
        name = cls.__qualname__
    except BaseException:  # noqa: B036
        return "<failed to extract type name>"
    return name if isinstance(name, str) else "<failed to extract type name>"


def model_level(obj, level):
    if issubclass(type(obj), str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not _api.PySequence_Check(obj):
        if obj is None:
            raise TypeError("'None' is not an instance of 'Sequence'")
        raise TypeError("'%s' object is not an instance of 'Sequence'" % type_name(type(obj)))
    try:
        _api.PyObject_Size(obj)
    except BaseException as error:  # noqa: B036 - only a hint, unless it is no ordinary error
        if type(error) is PANIC or not isinstance(error, Exception):
            raise
    iterator = iter(obj)
    items = []
    while True:
        try:
            item = next(iterator)
        except StopIteration:
            break
        items.append(model_level(item, level + 1) if level < 2 else _api.PyFloat_AsDouble(item))
    return items


def model_table(raw):
    """None when the table is valid, else the ValueError message."""
    if len(raw) == 1:
        return "There's only one stand. Nothing to optimize here."
    if not raw or not raw[0]:
        return "Data table must not have empty entries."
    n = len(raw[0][0])
    for i, stand in enumerate(raw):
        for j, option in enumerate(stand):
            if not option:
                return "Data table must not have empty entries."
            if len(option) != n:
                return (
                    "There are %d variables in the first entry, but got %d at index [%d][%d]. "
                    "Need same number of variables in all data table entries!" % (n, len(option), i, j)
                )
    return None


def model_count(obj):
    if issubclass(type(obj), int):
        wide = _api.PyLong_AsUnsignedLongLong(obj)
    else:
        wide = _api.PyLong_AsUnsignedLongLong(operator.index(obj))
    if wide > 0xFFFFFFFF:
        raise OverflowError("out of range integral type conversion attempted")
    return wide


def model_bind(form, name, first, second):
    """The (data, second) objects, or the binding error."""
    full = name + "()"
    second_name = "epsilon" if name == "find_pareto_front" else "n_points"
    if form == "three_positional":
        return Raises(TypeError("%s takes 2 positional arguments but 3 were given" % full))
    if form == "unknown_keyword":
        return Raises(TypeError("%s got an unexpected keyword argument 'eps'" % full))
    if form == "twice":
        return Raises(TypeError("%s got multiple values for argument 'data'" % full))
    if form == "first_only":
        return Raises(TypeError("%s missing 1 required positional argument: '%s'" % (full, second_name)))
    if form == "second_only":
        return Raises(TypeError("%s missing 1 required positional argument: 'data'" % full))
    if form == "nothing":
        return Raises(
            TypeError("%s missing 2 required positional arguments: 'data' and '%s'" % (full, second_name))
        )
    return (first, second)


def call_real(function, form, first, second):
    second_name = "epsilon" if function is trelvik.find_pareto_front else "n_points"
    if form == "positional":
        return function(first, second)
    if form == "keywords":
        return function(data=first, **{second_name: second})
    if form == "mixed":
        return function(first, **{second_name: second})
    if form == "keywords_reversed":
        return function(**{second_name: second, "data": first})
    if form == "three_positional":
        return function(first, second, 5, data=first)
    if form == "unknown_keyword":
        return function(first, second, eps=second)
    if form == "twice":
        return function(first, second, data=first)
    if form == "first_only":
        return function(first)
    if form == "second_only":
        return function(**{second_name: second})
    if form == "nothing":
        return function()
    raise AssertionError(form)


def front_outcome(raw, epsilon):
    """'list', 'panic' or 'either' for a valid table."""
    counts = [len(stand) for stand in raw]
    reached = next((i for i in range(1, len(raw)) if counts[i] == 0), len(raw))
    if reached < 2:
        return "list"  # the second stand has no options: nothing is ever keyed
    bad_scale = (
        math.isnan(epsilon) or epsilon <= 0.0 and epsilon != -1.0 or 0.0 < epsilon < 1e-300
    )
    if bad_scale:
        return "either" if 0.0 < epsilon < 1e-300 else "panic"
    n = len(raw[0][0])
    minima = [math.inf] * n
    for stand in raw:
        for option in stand:
            for k, value in enumerate(option):
                if value < minima[k]:
                    minima[k] = value
    total = [0.0] * n
    for stand in raw[:reached]:
        largest = [0.0] * n
        for option in stand:
            for k, value in enumerate(option):
                shifted = (value - minima[k]) + 1e-9
                if not math.isfinite(shifted):
                    return "panic"
                largest[k] = max(largest[k], shifted)
        total = [a + b for a, b in zip(total, largest)]
    return "list" if all(math.isfinite(t) for t in total) else "either"


def evaluate(raw, design):
    target = [0.0] * len(raw[0][0])
    for stand, choice in zip(raw, design):
        target = [a + b for a, b in zip(target, stand[choice])]
    return target


def same_float(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


def check_solutions(result, raw):
    assert type(result) is list
    counts = [len(stand) for stand in raw]
    for solution in result:
        assert type(solution) is trelvik.ParetoFrontSolution
        design = solution.design_vector
        assert len(design) == len(raw)
        assert all(0 <= choice < count for choice, count in zip(design, counts))
        target = solution.target_vector
        expected = evaluate(raw, design)
        assert len(target) == len(expected)
        assert all(same_float(a, b) for a, b in zip(target, expected)), (target, expected)


def expected_outcome(name, form, data_recipe_, second_recipe):
    """Runs the model on fresh objects: Raises(error), or a checker for the list."""
    ctx = Context()
    first = build(data_recipe_, ctx, 0)
    second = build(second_recipe, Context(), 3)
    bound = model_bind(form, name, first, second)
    if isinstance(bound, Raises):
        return bound
    try:
        raw = model_level(first, 0)
    except BaseException as error:  # noqa: B036
        return Raises(model_argument_error("data", error))
    try:
        value = _api.PyFloat_AsDouble(second) if name == "find_pareto_front" else model_count(second)
    except BaseException as error:  # noqa: B036
        return Raises(model_argument_error("epsilon" if name == "find_pareto_front" else "n_points", error))
    message = model_table(raw)
    if message is not None:
        return Raises(ValueError(message))
    if name == "find_pareto_front":
        outcome = front_outcome(raw, value)
        reached_end = all(len(stand) for stand in raw)

        def check(result):
            check_solutions(result, raw)
            assert (len(result) > 0) == reached_end
            designs = [tuple(s.design_vector) for s in result]
            assert len(set(designs)) == len(designs)

        return outcome, check, PANIC_FRONT
    if value > 0 and not all(len(stand) for stand in raw):
        return Raises(PANIC("cannot sample empty range"))

    def check_sample(result):
        check_solutions(result, raw)
        assert len(result) == value

    return "list", check_sample, None


PANIC_FRONT = "negative coordinate value: "


def safe_text(error):
    try:
        return str(error)
    except BaseException:  # noqa: B036
        return "<unprintable>"


def run_and_compare(function, form, data_recipe_, second_recipe):
    expected = expected_outcome(function.__name__, form, data_recipe_, second_recipe)
    first = build(data_recipe_, Context(), 0)
    second = build(second_recipe, Context(), 3)
    try:
        result = call_real(function, form, first, second)
        error = None
    except BaseException as caught:  # noqa: B036
        result, error = None, caught

    outcome_label = "outcome: " + (type(error).__name__ if error is not None else "list of %d" % min(len(result), 2))
    if isinstance(expected, Raises):
        want = expected.error
        assert error is not None, "expected %r, got a result" % (want,)
        assert type(error) is type(want), "expected %r, got %r" % (want, error)
        assert safe_text(error) == safe_text(want), "expected %r, got %r" % (want, error)
        if type(want) is TypeError:
            assert type(error.__cause__) is type(want.__cause__)
        return outcome_label
    outcome, check, panic_prefix = expected
    if error is not None:
        assert outcome in ("panic", "either") and type(error) is PANIC, "unexpected %r" % (error,)
        assert safe_text(error).startswith(panic_prefix)
        return outcome_label
    assert outcome in ("list", "either"), "expected a PanicException, got a list"
    check(result)
    return outcome_label


class quiet_hooks:
    """Deprecation warnings as errors (they are part of what hooks may cause),
    and unraisable reports kept out of the test's output."""

    def __enter__(self):
        self.warnings = warnings.catch_warnings()
        self.warnings.__enter__()
        warnings.simplefilter("error", DeprecationWarning)
        self.hook = sys.unraisablehook
        sys.unraisablehook = lambda report: None
        return self

    def __exit__(self, *exc):
        sys.unraisablehook = self.hook
        self.warnings.__exit__(*exc)
        return False


@HOSTILE_SETTINGS
@given(form=call_form(), data=data_recipe(), epsilon=epsilon_recipe())
def test_hostile_input_find_pareto_front(form, data, epsilon):
    with quiet_hooks():
        event(run_and_compare(trelvik.find_pareto_front, form, data, epsilon))
    still_works()


@HOSTILE_SETTINGS
@given(form=call_form(), data=data_recipe(), n_points=count_recipe())
def test_hostile_input_create_random_points(form, data, n_points):
    with quiet_hooks():
        event(run_and_compare(trelvik.create_random_points, form, data, n_points))
    still_works()


# ---------------------------------------------------------------------------
# Every exception that a hook can raise, at every place where the module runs a
# hook, checked on every run (the random runs reach each pair only now and then).

OPTION = ("list", [("float", 1.0), ("float", 2.0)])
HOOK_SITES = {
    "value __float__": lambda k: (
        ("list", [("list", [("list", [("float", 1.0), ("number", "FloatOnly", {"float": "raise:" + k, "index": "int"})])]),
                  ("list", [OPTION])]), ("float", 0.1), ("int", 3)),
    "value __index__": lambda k: (
        ("list", [("list", [("list", [("float", 1.0), ("number", "IndexOnly", {"float": "float", "index": "raise:" + k})])]),
                  ("list", [OPTION])]), ("float", 0.1), ("int", 3)),
    "stand __len__": lambda k: (
        ("list", [("list", [OPTION]), ("sequence", "IterLen", {"len": "raise:" + k}, [OPTION, OPTION])]),
        ("float", 0.1), ("int", 3)),
    "stand __iter__": lambda k: (
        ("list", [("list", [OPTION]), ("sequence", "IterLen", {"iter": "raise:" + k}, [OPTION])]),
        ("float", 0.1), ("int", 3)),
    "option __next__": lambda k: (
        ("list", [("list", [OPTION]), ("list", [("sequence", "IterNoLen", {"next": "raise_at:1:" + k},
                                                  [("float", 1.0), ("float", 2.0)])])]),
        ("float", 0.1), ("int", 3)),
    "data __getitem__": lambda k: (
        ("sequence", "GetItemNoLen", {"getitem": "raise_at:1:" + k}, [("list", [OPTION]), ("list", [OPTION])]),
        ("float", 0.1), ("int", 3)),
    "epsilon and n_points": lambda k: (
        ("list", [("list", [OPTION]), ("list", [OPTION])]),
        ("number", "FloatOnly", {"float": "raise:" + k, "index": "int"}),
        ("number", "IndexOnly", {"float": "float", "index": "raise:" + k})),
}


@pytest.mark.parametrize("kind", EXCEPTION_KINDS)
@pytest.mark.parametrize("site", sorted(HOOK_SITES))
def test_hostile_input_every_hook_exception_at_every_site(site, kind):
    data, epsilon, n_points = HOOK_SITES[site](kind)
    with quiet_hooks():
        run_and_compare(trelvik.find_pareto_front, "positional", data, epsilon)
        run_and_compare(trelvik.create_random_points, "positional", data, n_points)
    still_works()


# ---------------------------------------------------------------------------
# Hand-picked cases that the model reasons about less directly


def test_hostile_input_reentrant_panic_is_resumed_with_the_same_class(capfd):
    class Calls:
        def __float__(self):
            return trelvik.find_pareto_front([[[1.0]], [[2.0]]], 0.0)

    with pytest.raises(BaseException) as caught:  # noqa: B017
        trelvik.find_pareto_front([[[Calls()]], [[1.0]]], 0.1)
    assert type(caught.value) is PANIC
    assert caught.value.args == ("negative coordinate value: inf",)
    assert "Python stack trace below:" in capfd.readouterr().err
    still_works()


@pytest.mark.parametrize("action", MUTATIONS)
@pytest.mark.parametrize("function", [trelvik.find_pareto_front, trelvik.create_random_points])
def test_hostile_input_outer_list_mutated_by_every_value(function, action):
    """Every value of every option changes the stand list and the data list
    while they are being read; the call still ends in a list or an exception."""
    data = [[[1.0, 2.0], [2.0, 1.0]], [[0.5, 0.5], [3.0, 0.0]], [[1.0, 1.0]]]

    class Mutating:
        def __init__(self, stand):
            self.stand = stand

        def __float__(self):
            if len(data) < 50:
                mutate(action, (data, 1))
                mutate(action, (self.stand, 2))
            return 1.0

    for stand in list(data):
        for option in stand:
            option[:] = [Mutating(stand) for _ in option]
    try:
        result = function(data, 0.1) if function is trelvik.find_pareto_front else function(data, 5)
    except (ValueError, TypeError):
        pass
    except BaseException as error:  # noqa: B036
        assert type(error) is PANIC
    else:
        assert type(result) is list
        assert all(type(s) is trelvik.ParetoFrontSolution for s in result)
    still_works()


def test_hostile_input_endless_reentry_ends_in_recursion_error():
    """A value whose conversion calls trelvik on a table holding another such
    value: the interpreter's recursion limit (the default one; a limit raised
    far enough lets any C recursion overflow the stack, with or without
    trelvik) ends it, and the process survives."""
    script = (
        "import sys, trelvik\n"
        "class Deep:\n"
        "    def __float__(self):\n"
        "        return trelvik.find_pareto_front([[[Deep()]], [[1.0]]], 0.1)[0].target_vector[0]\n"
        "try:\n"
        "    trelvik.find_pareto_front([[[Deep()]], [[1.0]]], 0.1)\n"
        "except RecursionError:\n"
        "    print('RecursionError')\n"
        "print(trelvik.find_pareto_front([[[1.0]], [[2.0]]], 0.1)[0].target_vector)\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=pace.seconds(120))
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == ["RecursionError", "[3.0]"]


def test_hostile_input_lying_length_does_not_reserve_memory():
    """A stand list that claims sys.maxsize items holds two."""

    class Liar(list):
        def __len__(self):
            return sys.maxsize

    data = Liar([[[1.0]], [[2.0]]])
    for _ in range(200):
        assert [s.design_vector for s in trelvik.find_pareto_front(data, 0.1)] == [[0, 0]]
    assert len(trelvik.create_random_points(Liar([Liar([Liar([1.0])]), Liar([[2.0]])]), 4)) == 4
