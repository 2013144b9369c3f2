"""The interpreter's edges: sub-interpreters, the recursion limit, errors that
must not be swallowed, and instances that the module never filled."""
import importlib.util
import subprocess
import sys
import textwrap

import pytest

import trelvik

TABLE = [[[1.0, 2.0], [2.0, 1.0]], [[0.0, 0.0]]]


def run_script(script, *args):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout.splitlines()


# ---------------------------------------------------------------------------
# Sub-interpreters: refused at import, in every configuration, and the main
# interpreter keeps working whether it imported the module first or after.

SUB_INTERPRETER = """
    import sys
    CODE = '''
    try:
        import trelvik
    except ImportError as error:
        print("ImportError:", error)
    else:
        print("imported")
    '''
    config, order = sys.argv[1], sys.argv[2]
    if order == "main first":
        import trelvik
    sys.stdout.flush()
    if config == "legacy":  # a shared GIL and allocator, as mod_wsgi makes them
        import _testcapi
        _testcapi.run_in_subinterp(CODE)
    elif sys.version_info >= (3, 13):
        import _interpreters
        gil = "shared" if config == "isolated, shared GIL" else "own"
        interpreter = _interpreters.create(_interpreters.new_config("isolated", gil=gil))
        _interpreters.run_string(interpreter, CODE)
        _interpreters.destroy(interpreter)
    else:
        import _testcapi
        _testcapi.run_in_subinterp_with_config(
            CODE, use_main_obmalloc=False, allow_fork=True, allow_exec=True, allow_threads=True,
            allow_daemon_threads=False, check_multi_interp_extensions=True,
            gil=1 if config == "isolated, shared GIL" else 2)
    sys.stdout.flush()
    import copy, trelvik
    front = trelvik.find_pareto_front([[[1.0]], [[2.0]]], 0.1)
    print("main:", front[0].target_vector)
    try:
        copy.copy(front[0])
    except TypeError:
        print("main: copy refused")
"""

def needs(module):
    """Sub-interpreters are made through the interpreter's test modules, which
    some distributions ship apart (Debian: libpython3.x-testsuite)."""
    return pytest.mark.skipif(importlib.util.find_spec(module) is None, reason=f"no {module} here")


ISOLATED = [pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated interpreters are new in 3.12"),
            needs("_interpreters" if sys.version_info >= (3, 13) else "_testcapi")]


@pytest.mark.parametrize("order", ["main first", "sub-interpreter first"])
@pytest.mark.parametrize("config", [
    pytest.param("legacy", marks=needs("_testcapi")),
    pytest.param("isolated, shared GIL", marks=ISOLATED),
    pytest.param("isolated, own GIL", marks=ISOLATED),
])
def test_sub_interpreters_cannot_import(config, order):
    sub, *main = run_script(SUB_INTERPRETER, config, order)
    assert sub.startswith("ImportError: ")
    if config != "isolated, own GIL":  # there the interpreter refuses before the module runs
        assert "only be imported in the main interpreter" in sub and "WSGIApplicationGroup" in sub
    assert main == ["main: [3.0]", "main: copy refused"]


# ---------------------------------------------------------------------------
# At the recursion limit: the type mismatch keeps its message, and a failed
# internal check whose PanicException cannot be created gives the error that
# stopped it (with the check's message as a note) instead of ending the process.

AT_THE_LIMIT = """
    import sys, trelvik
    DATA = {"mismatch": 5, "panic": [[[0.0]], [[0.0]]]}[sys.argv[1]]
    EPSILON = {"mismatch": 0.1, "panic": 0.0}[sys.argv[1]]
    sys.setrecursionlimit(200)

    def dive(n):
        if n > 0:
            return dive(n - 1)
        try:
            trelvik.find_pareto_front(DATA, EPSILON)
        except BaseException as error:
            return error

    def depth():
        frame, n = sys._getframe(), 0
        while frame:
            frame, n = frame.f_back, n + 1
        return n

    for n in reversed(range(200 - depth() - 24, 200 - depth() + 6)):  # the deepest first
        try:
            error = dive(n)
        except RecursionError:  # the Python frames alone reached the limit
            continue
        print(" | ".join([type(error).__name__, str(error), *getattr(error, "__notes__", [""])]))
    sys.setrecursionlimit(1000)
    print("later | %s" % dive(0))
"""


@pytest.mark.parametrize("call", ["mismatch", "panic"])
def test_recursion_limit(call):
    lines = run_script(AT_THE_LIMIT, call)
    expected = {"mismatch": "argument 'data': 'int' object is not an instance of 'Sequence'",
                "panic": "negative coordinate value: inf"}[call]
    assert lines[-1] == "later | " + expected
    for line in lines[:-1]:
        kind, message, note = line.split(" | ")
        if kind != "RecursionError":
            assert (kind, message) == ({"mismatch": "TypeError", "panic": "PanicException"}[call], expected)
        else:
            assert note in ("", "trelvik: could not raise PanicException for a failed internal check: " + expected)


# ---------------------------------------------------------------------------
# The length hint ignores ordinary errors of __len__, but an interrupt, an
# exit request or any other BaseException that is not an Exception passes.


class Stop(BaseException):
    pass


@pytest.mark.parametrize("raised", [KeyboardInterrupt, SystemExit, GeneratorExit, Stop, ValueError, MemoryError])
def test_length_hint_errors(raised):
    class Lying(list):
        def __len__(self):
            raise raised("from __len__")

    data = [Lying([[1.0, 2.0], [2.0, 1.0]]), [[0.0, 0.0]]]
    if issubclass(raised, Exception):
        assert len(trelvik.find_pareto_front(data, 0.1)) == 2
    else:
        with pytest.raises(raised, match="from __len__"):
            trelvik.find_pareto_front(data, 0.1)
    assert len(trelvik.find_pareto_front(TABLE, 0.1)) == 2


# ---------------------------------------------------------------------------
# An instance made by a replaced __new__, which the module never filled.

UNFILLED = """
    import gc, trelvik
    cls = trelvik.ParetoFrontSolution
    cls.__new__ = lambda c: object.__new__(c)
    for _ in range(3):
        empty = cls()
        print(empty.design_vector, empty.target_vector)
        del empty
    gc.collect()
    del cls.__new__
    print(trelvik.find_pareto_front([[[1.0]], [[2.0]]], 0.1)[0].target_vector)
"""


def test_instance_never_filled_reads_as_empty():
    assert run_script(UNFILLED) == ["[] []"] * 3 + ["[3.0]"]
