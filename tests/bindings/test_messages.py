"""Every error a caller can provoke, with its exact type and message, and the order of checks."""
import pytest

import trelvik

D = [[[1.0, 2.0], [3.0, 4.0]], [[10.0, 20.0], [30.0, 40.0]]]
ONE_STAND = [[[1.0, 2.0]]]
FPF, CRP = trelvik.find_pareto_front, trelvik.create_random_points


def error_of(call):
    with pytest.raises(BaseException) as caught:
        call()
    return type(caught.value), str(caught.value), caught.value


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: FPF(D, 0.1, 5), "find_pareto_front() takes 2 positional arguments but 3 were given"),
        (lambda: FPF(D, 0.1, 5, bogus=1), "find_pareto_front() takes 2 positional arguments but 3 were given"),
        (lambda: CRP(1, 2, 3, 4), "create_random_points() takes 2 positional arguments but 4 were given"),
        (lambda: FPF(D, eps=0.1), "find_pareto_front() got an unexpected keyword argument 'eps'"),
        (lambda: FPF(eps=0.1), "find_pareto_front() got an unexpected keyword argument 'eps'"),
        (lambda: FPF(D, 0.1, data=D), "find_pareto_front() got multiple values for argument 'data'"),
        (lambda: FPF(D), "find_pareto_front() missing 1 required positional argument: 'epsilon'"),
        (lambda: FPF(epsilon=0.1), "find_pareto_front() missing 1 required positional argument: 'data'"),
        (lambda: CRP(), "create_random_points() missing 2 required positional arguments: 'data' and 'n_points'"),
        (lambda: CRP(**{"Data": D, "n_points": 1}), "create_random_points() got an unexpected keyword argument 'Data'"),
        (lambda: FPF(D, **{"\udcff": 1}), "find_pareto_front() got an unexpected keyword argument '\udcff'"),
    ],
)
def test_binding_errors(call, message):
    assert error_of(call)[:2] == (TypeError, message)


def test_keywords_bind_like_positions():
    assert [s.design_vector for s in FPF(epsilon=0.1, data=D)] == [s.design_vector for s in FPF(D, 0.1)]


class LenRaises(list):
    def __len__(self):
        raise RuntimeError("no length")


class TypeErrorSubclass(TypeError):
    pass


class RaisesSubclass:
    def __float__(self):
        raise TypeErrorSubclass("custom")


class RaisesValue:
    def __float__(self):
        raise ValueError("bad value")


class RaisesTypeErrorWithCause:
    def __float__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("outer") from inner


class Indexable:
    def __index__(self):
        return 7


STR_MESSAGE = "argument 'data': Can't extract `str` to `Vec`"


@pytest.mark.parametrize(
    "data, kind, message",
    [
        ("abc", TypeError, STR_MESSAGE),
        (["abc"], TypeError, STR_MESSAGE),
        ([["abc"]], TypeError, STR_MESSAGE),
        ([[["a"]]], TypeError, "argument 'data': must be real number, not str"),
        (5, TypeError, "argument 'data': 'int' object is not an instance of 'Sequence'"),
        (None, TypeError, "argument 'data': 'None' is not an instance of 'Sequence'"),
        ({}, TypeError, "argument 'data': 'dict' object is not an instance of 'Sequence'"),
        ([{1}], TypeError, "argument 'data': 'set' object is not an instance of 'Sequence'"),
        ([[1.0, 2.0], [3.0]], TypeError, "argument 'data': 'float' object is not an instance of 'Sequence'"),
        ([[[1.0]], range(2)], TypeError, "argument 'data': 'int' object is not an instance of 'Sequence'"),
        ([[[TypeError]]], TypeError, "argument 'data': must be real number, not type"),
        ([[[10**400]]], OverflowError, "int too large to convert to float"),
        ([[[RaisesSubclass()]]], TypeErrorSubclass, "custom"),
        ([[[RaisesValue()]]], ValueError, "bad value"),
        ([[[RaisesTypeErrorWithCause()]]], TypeError, "argument 'data': outer"),
    ],
)
def test_data_conversion_errors(data, kind, message):
    for function, second in ((FPF, 0.1), (CRP, 1)):
        error = error_of(lambda: function(data, second))
        assert error[:2] == (kind, message)
        assert len(error[2].args) == 1


def test_prefixed_error_keeps_the_cause():
    error = error_of(lambda: FPF([[[RaisesTypeErrorWithCause()]]], 0.1))[2]
    assert isinstance(error.__cause__, KeyError)
    assert error.__suppress_context__


def test_nested_class_is_named_by_its_qualified_name():
    class Outer:
        class Inner:
            pass

    assert error_of(lambda: FPF(Outer.Inner(), 0.1))[1] == (
        "argument 'data': 'test_nested_class_is_named_by_its_qualified_name.<locals>.Outer.Inner'"
        " object is not an instance of 'Sequence'")


@pytest.mark.parametrize(
    "data, expected",
    [
        ([[range(3)], [b"\x01\x02\x03"]], [[0.0, 1.0, 2.0], [1.0, 2.0, 3.0]]),
        (((( 1, True),),  ([2.5, False],)), None),
        (LenRaises([[[1.0]], [[2.0]]]), None),
        ([[[Indexable()]], [[1]]], None),
    ],
)
def test_accepted_sequences_and_numbers(data, expected):
    (solution,) = CRP(data, 1)
    if expected is not None:
        assert solution.target_vector == [a + b for a, b in zip(*expected)]
    assert len(solution.design_vector) == 2


@pytest.mark.parametrize(
    "epsilon, kind, message",
    [
        ("x", TypeError, "argument 'epsilon': must be real number, not str"),
        (None, TypeError, "argument 'epsilon': must be real number, not NoneType"),
        (10**400, OverflowError, "int too large to convert to float"),
    ],
)
def test_epsilon_errors(epsilon, kind, message):
    assert error_of(lambda: FPF(D, epsilon))[:2] == (kind, message)


@pytest.mark.parametrize(
    "n_points, kind, message",
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (2**32, OverflowError, "out of range integral type conversion attempted"),
        (2**64 - 1, OverflowError, "out of range integral type conversion attempted"),
        (3.0, TypeError, "argument 'n_points': 'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "argument 'n_points': 'str' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'n_points': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_n_points_errors(n_points, kind, message):
    assert error_of(lambda: CRP(D, n_points))[:2] == (kind, message)


@pytest.mark.parametrize("n_points, count", [(True, 1), (False, 0), (Indexable(), 7), (0, 0)])
def test_n_points_accepted(n_points, count):
    assert len(CRP(D, n_points)) == count


MISMATCH = ("There are {} variables in the first entry, but got {} at index [{}][{}]."
            " Need same number of variables in all data table entries!")


@pytest.mark.parametrize(
    "data, message",
    [
        ([], "Data table must not have empty entries."),
        ([[[1.0, 2.0]]], "There's only one stand. Nothing to optimize here."),
        ([[]], "There's only one stand. Nothing to optimize here."),
        ([[], [[1.0]]], "Data table must not have empty entries."),
        ([[[1.0]], [[]]], "Data table must not have empty entries."),
        ([[[]], [[1.0]]], "Data table must not have empty entries."),
        ([[[1.0, 2.0], [3.0]], [[4.0, 5.0]]], MISMATCH.format(2, 1, 0, 1)),
        ([[[1.0, 2.0]], [[3.0, 4.0], [5.0, 6.0, 7.0]], [[]]], MISMATCH.format(2, 3, 1, 1)),
    ],
)
def test_table_errors(data, message):
    for function, second in ((FPF, 0.1), (CRP, 0)):
        error = error_of(lambda: function(data, second))
        assert error[:2] == (ValueError, message)
        assert error[2].args == (message,)


def test_table_values_pass_unchanged():
    data = [[[float("nan"), -0.0, float("inf")]], [[-1e308, -0.0, 5e-324]]]
    (solution,) = CRP(data, 1)
    got = solution.target_vector
    assert got[0] != got[0] and got[1] == 0.0 and str(got[1]) == "0.0"
    assert got[2] == float("inf")
    assert CRP([[[5e-324]], [[-0.0]]], 1)[0].target_vector == [5e-324]
    assert CRP([[[1.0]], []], 0) == []


@pytest.mark.parametrize(
    "call, kind",
    [
        # data is converted before the second argument
        (lambda: FPF("x", "y"), TypeError),
        # conversion errors come before table errors
        (lambda: FPF(ONE_STAND, "y"), TypeError),
        (lambda: CRP(ONE_STAND, -1), OverflowError),
        # table errors come before any computation
        (lambda: FPF(ONE_STAND, 0.1), ValueError),
        (lambda: FPF(ONE_STAND, 0.0), ValueError),
        (lambda: CRP([], 0), ValueError),
        # binding errors come before conversion
        (lambda: FPF("x", 0.1, zzz=1), TypeError),
    ],
)
def test_order_of_reporting(call, kind):
    error = error_of(call)
    assert error[0] is kind
    if kind is TypeError and "zzz" not in error[1]:
        assert error[1].startswith("argument 'data'") or error[1].startswith("argument 'epsilon'")
    assert "argument 'data'" in error_of(lambda: FPF("x", "y"))[1]
