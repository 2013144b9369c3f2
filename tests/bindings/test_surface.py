"""What Python sees of the module: names, signatures, the result class, PanicException."""
import gc
import subprocess
import sys
import weakref

import pytest

import trelvik

DATA = [[[1.0, 2.0], [3.0, 4.0]], [[10.0, 20.0], [30.0, 40.0]]]


def panic(call):
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value).__name__ == "PanicException"
    return caught.value


def test_module_namespace():
    assert trelvik.__all__ == ["ParetoFrontSolution", "find_pareto_front", "create_random_points"]
    assert isinstance(trelvik.__doc__, str) and trelvik.__doc__
    assert not hasattr(trelvik, "PanicException")


@pytest.mark.parametrize(
    "name, signature",
    [("find_pareto_front", "(data, epsilon)"), ("create_random_points", "(data, n_points)")],
)
def test_function_surface(name, signature):
    function = getattr(trelvik, name)
    assert function.__name__ == name
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert function.__module__ == "trelvik"
    assert function.__self__ is trelvik


def test_class_surface():
    cls = trelvik.ParetoFrontSolution
    assert (cls.__module__, cls.__name__, cls.__qualname__) == (
        "trelvik", "ParetoFrontSolution", "ParetoFrontSolution")
    assert cls.__doc__ is None
    assert cls.__bases__ == (object,)
    assert cls.design_vector.__doc__ == "" and cls.target_vector.__doc__ == ""


def test_solution_attributes_are_fresh_lists():
    (solution,) = trelvik.create_random_points([[[1.0, 2.0]], [[3.0, 4.0]]], 1)
    first = solution.design_vector
    assert first == [0, 0] and solution.target_vector == [4.0, 6.0]
    assert all(type(v) is int for v in first)
    assert all(type(v) is float for v in solution.target_vector)
    first.append(99)
    assert solution.design_vector == [0, 0]
    assert solution.design_vector is not solution.design_vector


@pytest.mark.parametrize("args", [(), (DATA, 1), ([1], [2])])
def test_class_cannot_be_created(args):
    with pytest.raises(TypeError) as caught:
        trelvik.ParetoFrontSolution(*args)
    assert str(caught.value) == "cannot create 'trelvik.ParetoFrontSolution' instances"


def test_instances_refuse_changes_subclassing_and_weak_references():
    (solution,) = trelvik.create_random_points(DATA, 1)
    with pytest.raises(AttributeError):
        solution.target_vector = [1.0]
    with pytest.raises(AttributeError):
        del solution.design_vector
    with pytest.raises(AttributeError):
        solution.other = 1
    with pytest.raises(TypeError):
        type("Sub", (trelvik.ParetoFrontSolution,), {})
    with pytest.raises(TypeError):
        weakref.ref(solution)


def test_identity_equality_and_default_repr():
    a, b = trelvik.create_random_points([[[1.0]], [[2.0]]], 2)
    assert a.design_vector == b.design_vector
    assert a != b and a == a
    assert hash(a) != hash(b)
    assert repr(a).startswith("<trelvik.ParetoFrontSolution object at 0x")


def test_results_release_their_class_references():
    cls = trelvik.ParetoFrontSolution
    before = sys.getrefcount(cls)
    results = trelvik.create_random_points(DATA, 1000)
    during = sys.getrefcount(cls)
    del results
    gc.collect()
    after = sys.getrefcount(cls)
    assert (during, after) == (before + 1000, before)


def test_panic_exception(capfd):
    first = panic(lambda: trelvik.find_pareto_front(DATA, 0.0))
    report = capfd.readouterr().err
    assert "negative coordinate value: inf" in report
    second = panic(lambda: trelvik.create_random_points([[[1.0]], []], 1))
    assert "cannot sample empty range" in capfd.readouterr().err
    cls = type(first)
    assert type(second) is cls
    assert cls.__bases__ == (BaseException,)
    assert cls.__name__ == cls.__qualname__ == "PanicException"
    assert cls.__module__ != "trelvik"
    assert cls.__doc__.startswith("\n") and cls.__doc__.endswith("\n")
    assert "Like SystemExit, this exception is derived from BaseException so that\n" in cls.__doc__
    assert first.args == ("negative coordinate value: inf",)
    assert str(second) == "cannot sample empty range"
    assert not isinstance(first, Exception)


def test_panic_escaping_a_nested_call_is_resumed(capfd):
    class Reentrant:
        def __float__(self):
            trelvik.find_pareto_front(DATA, 0.0)  # raises PanicException
            return 1.0

    error = panic(lambda: trelvik.find_pareto_front([[[Reentrant()]], [[1.0]]], 0.1))
    assert str(error) == "negative coordinate value: inf"
    err = capfd.readouterr().err
    assert err.count("negative coordinate value: inf") >= 2  # the report, then the traceback
    assert "Python stack trace below:" in err
    assert "__float__" in err


def test_report_precedes_the_exception():
    code = (
        "import sys, trelvik\n"
        "try:\n"
        "    trelvik.find_pareto_front([[[1.0]], [[2.0]]], float('nan'))\n"
        "except BaseException as e:\n"
        "    sys.stderr.write('caught ' + type(e).__name__ + '\\n')\n"
    )
    err = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stderr
    assert err.index("negative coordinate value: NaN") < err.index("caught PanicException")
    assert err.count("negative coordinate value: NaN") == 1


def test_reimport_in_fresh_module_objects():
    # Each module object made from the definition gets the same class and new functions.
    code = (
        "import importlib.util, sys, trelvik\n"
        "spec = importlib.util.find_spec('trelvik')\n"
        "other = importlib.util.module_from_spec(spec)\n"
        "spec.loader.exec_module(other)\n"
        "assert other.ParetoFrontSolution is trelvik.ParetoFrontSolution\n"
        "assert other.find_pareto_front is not trelvik.find_pareto_front\n"
        "assert other.__all__ == trelvik.__all__\n"
        "print('ok')\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.stdout == "ok\n", run.stderr
