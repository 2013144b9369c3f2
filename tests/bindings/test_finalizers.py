"""Finalizers that run in the middle of a conversion.

Any allocation inside the module can start a garbage collection, and the
finalizers it wakes can run any Python code: here they clear, grow, shrink or
replace levels of the very table being converted. Whatever they do, the call
must end in a list or an ordinary exception, with a message that names a type
really present in the table, and never read an object that was freed.

Each example runs in a fresh interpreter, because some windows exist only the
first time a process takes a path (a first import, a cache being filled). Run
under AddressSanitizer with PYTHONMALLOC=malloc (the sanitizer CI step), a
freed object read is reported even where the normal build would go on.

TRELVIK_FINALIZER_EXAMPLES sets the number of examples (default 60).
"""

import json
import os
import re
import subprocess
import sys

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

EXAMPLES = int(os.environ.get("TRELVIK_FINALIZER_EXAMPLES", "60"))

# The child builds the table from its recipe with fresh objects (so that the
# table's references are the only ones), plants garbage cycles whose __del__
# acts on the table, lowers the collection threshold to 1 and converts.
CHILD = r"""
import gc, json, sys
import trelvik

recipe = json.loads(sys.argv[1])
table_box = []
fired = []


def resolve(path):
    target = table_box[0]
    for index in path:
        items = target.items if isinstance(target, Lazy) else target
        if not isinstance(items, (list, tuple)) or index >= len(items):
            return None
        target = items[index]
    return target.items if isinstance(target, Lazy) else target


class Bomb:
    def __init__(self, action):
        self.action = action
        self.cycle = self

    def __del__(self):
        path, verb, node = self.action
        target = resolve(path)
        fired.append(verb)
        if not isinstance(target, list):
            return
        if verb == "clear":
            target.clear()
        elif verb == "append":
            target.append(build(node))
        elif verb == "pop" and target:
            target.pop(0)
        elif verb == "replace" and target:
            target[-1] = build(node)


def plant(actions):
    for action in actions:
        Bomb(action)  # unreachable at once: only a collection frees it


class Lazy:
    # A sequence written in Python: every call plants its cycles again.
    def __init__(self, items, actions):
        self.items, self.actions = items, actions

    def __len__(self):
        plant(self.actions)
        return len(self.items)

    def __getitem__(self, index):
        plant(self.actions)
        return self.items[index]


def build(node):
    kind = node[0]
    if kind == "float":
        return float(repr(node[1]))  # a new object, not a shared constant
    if kind == "int":
        return int(str(node[1]))
    if kind == "none":
        return None
    if kind == "str":
        return "x" * node[1]
    items = [build(child) for child in node[1]]
    if kind == "tuple":
        return tuple(items)
    if kind == "lazy":
        return Lazy(items, node[2])
    return items


table_box.append(build(recipe["table"]))
plant(recipe["bombs"])
gc.set_threshold(1)
try:
    result = trelvik.find_pareto_front(table_box[0], 0.25)
    outcome = ["list", len(result), [len(s.target_vector) for s in result]]
except Exception as error:
    outcome = [type(error).__name__, str(error)]
gc.set_threshold(700)
print(json.dumps({"outcome": outcome, "fired": len(fired)}))
"""

paths = st.lists(st.integers(0, 2), max_size=3)
actions = st.tuples(
    paths,
    st.sampled_from(["clear", "append", "pop", "replace"]),
    st.deferred(lambda: nodes),
).map(list)
numbers = st.one_of(
    st.floats(-10, 10, allow_nan=False).map(lambda v: ["float", v]),
    st.integers(-5, 5).map(lambda v: ["int", v]),
)
odd = st.one_of(st.just(["none"]), st.integers(0, 2).map(lambda n: ["str", n]))


def level(children):
    return st.one_of(
        st.tuples(st.just("list"), st.lists(children, max_size=3)),
        st.tuples(st.just("tuple"), st.lists(children, max_size=3)),
        st.tuples(st.just("lazy"), st.lists(children, max_size=3), st.lists(actions, max_size=2)),
    ).map(list)


# Options hold numbers; stands and the table hold the level below, or a number
# or an odd object standing where a sequence belongs.
options = st.one_of(level(numbers), numbers, odd)
stands = st.one_of(level(options), numbers, odd)
nodes = st.one_of(level(stands), numbers, odd)
recipes = st.fixed_dictionaries({"table": level(stands), "bombs": st.lists(actions, max_size=3)})


def names_in(node):
    """The names of the types that the recipe puts anywhere in the table,
    including what its bombs may bring in."""
    names = {"float": {"float"}, "int": {"int"}, "none": {"None"}, "str": {"str"}}
    kind = node[0]
    if kind in names:
        return names[kind]
    found = {"list", "tuple", "Lazy"}
    for child in node[1]:
        found |= names_in(child)
    for action in node[2] if kind == "lazy" else []:
        found |= names_in(action[2])
    return found


MISMATCH = re.compile(r"^argument 'data': '(.+?)'(?: object)? is not an instance of 'Sequence'$")
# Errors ordinary input can give: a mismatch or a str where a sequence
# belongs, a non-number value, a table of the wrong shape.
ALLOWED = {"TypeError", "ValueError"}


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck), print_blob=True)
@given(recipes)
def test_finalizers_mutating_the_table_mid_conversion(recipe):
    child = subprocess.run(
        [sys.executable, "-c", CHILD, json.dumps(recipe)], capture_output=True, text=True, timeout=120
    )
    assert child.returncode == 0, child.stderr[-3000:]
    assert "AddressSanitizer" not in child.stderr and "runtime error" not in child.stderr, child.stderr[-3000:]
    outcome = json.loads(child.stdout)["outcome"]
    if outcome[0] == "list":
        return
    kind, message = outcome
    assert kind in ALLOWED, outcome
    mismatch = MISMATCH.match(message)
    if mismatch:
        present = names_in(recipe["table"]).union(*(names_in(a[2]) for a in recipe["bombs"]))
        assert mismatch.group(1) in present, (message, present)
