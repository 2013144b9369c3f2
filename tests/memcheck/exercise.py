"""Every entry point and every failure path of trelvik, each at least once, in
a form small enough to run under valgrind (see run_memcheck.sh).

Not a pytest module: it is a plain script, so that valgrind watches one short
process. It asserts what it can cheaply; the point is what valgrind sees.
The last line it prints is "exercise complete".
"""

import gc
import math
import sys
import threading

import trelvik

F, C = trelvik.find_pareto_front, trelvik.create_random_points


def raises(expected, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        if isinstance(expected, str):
            assert type(error).__name__ == expected, repr(error)
        else:
            assert isinstance(error, expected), repr(error)
        return error
    raise AssertionError("no exception from %r" % (call,))


def check(result, data):
    for solution in result:
        design, target = solution.design_vector, solution.target_vector
        assert len(design) == len(data)
        expected = [0.0] * len(data[0][0])
        for stand, choice in zip(data, design):
            expected = [a + b for a, b in zip(expected, stand[choice])]
        assert target == expected or any(map(math.isnan, target))
    return result


class HookError(Exception):
    pass


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


class Number:
    def __init__(self, value=None, error=None, nested=None):
        self.value, self.error, self.nested = value, error, nested

    def __float__(self):
        if self.nested:
            self.nested()
        if self.error is not None:
            raise self.error
        return self.value


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Sequence:
    """A sequence by __getitem__ only, with a __len__ that may fail."""

    def __init__(self, items, length_error=None, fail_at=None):
        self.items, self.length_error, self.fail_at = items, length_error, fail_at

    def __len__(self):
        if self.length_error is not None:
            raise self.length_error
        return len(self.items)

    def __getitem__(self, index):
        if index == self.fail_at:
            raise HookError("getitem")
        return self.items[index]


class Iterates:
    """A sequence whose iterator fails after some items."""

    def __init__(self, items, fail_after):
        self.items, self.fail_after = items, fail_after

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.fail_after:
                raise HookError("iteration")
            yield item


def panic_now():
    F([[[1.0]], [[2.0]]], 0.0)


def main():
    small = [[[1.0, 5.0], [3.0, 3.0], [5.0, 1.0]], [[0.0, 2.0], [2.0, 0.0]]]

    # Module surface and the result class.
    assert trelvik.__all__ == ["ParetoFrontSolution", "find_pareto_front", "create_random_points"]
    front = check(F(small, 0.01), small)
    assert len(front) == 4
    solution = front[0]
    assert solution.design_vector == solution.design_vector
    assert len(solution.target_vector) == 2
    repr(solution)
    raises(TypeError, trelvik.ParetoFrontSolution)
    raises(TypeError, trelvik.ParetoFrontSolution, [0], [1.0])
    raises(AttributeError, setattr, solution, "design_vector", [1])
    raises(AttributeError, delattr, solution, "target_vector")
    raises(AttributeError, setattr, solution, "other", 1)
    raises(TypeError, type, "Sub", (trelvik.ParetoFrontSolution,), {})
    import weakref

    raises(TypeError, weakref.ref, solution)
    del front, solution

    # The engine: every variable count with its own code path, small and large
    # fronts (plain scan, two, three and many variables), many stands (the
    # design history is compacted), epsilon edge values, empty later stand.
    for n in (1, 2, 3, 4, 5, 7):
        data = [[[float((i * (k + 3)) % 17) + 0.5 * k for k in range(n)] for i in range(40)] for _ in range(3)]
        check(F(data, 0.05), data)
        check(F(data, math.inf), data)
        check(F(data, -1.0), data)
        check(F(data, 1e-300), data)
    anti = [[[float(i), float(300 - i), float((i * 7) % 31), float((i * 11) % 37)] for i in range(300)],
            [[0.0, 1.0, 0.5, 0.25], [1.0, 0.0, 0.25, 0.5]]]
    check(F(anti, 1e-6), anti)
    check(F([stand[:150] for stand in anti[:1]] + anti[1:], 1e-6), anti[:1] + anti[1:])
    three = [[[float(i), float(200 - i), float((i * 13) % 41)] for i in range(200)], [[0.0, 0.0, 0.0], [1.0, 0.0, 2.0]]]
    check(F(three, 1e-6), three)
    two = [[[float(i), float(500 - i)] for i in range(500)], [[0.0, 1.0], [1.0, 0.0]]]
    check(F(two, 1e-6), two)
    chain = [[[0.0, 1.0], [1.0, 0.0]]] * 1600  # the front grows by one per stand: > 2**20 history entries
    (longest,) = [s for s in F(chain, 1e-12) if s.target_vector == [0.0, 1600.0]]
    assert longest.design_vector == [0] * 1600
    assert F([[[1.0]], [], [[2.0]]], 0.1) == []
    wide = [[[float((i + k) % 9) for k in range(1000)] for i in range(4)] for _ in range(2)]
    check(F(wide, 0.1), wide)
    assert len(F([[[1.0]]] * 20000, 0.1)[0].design_vector) == 20000

    # The sampler: zero points, enough draws to rekey the generator, threads
    # with generators of their own.
    assert C(small, 0) == []
    check(C(small, 20000), small)
    threads = [threading.Thread(target=lambda: check(C(small, 500), small)) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    # Binding.
    raises(TypeError, F, small, 0.1, 5)
    raises(TypeError, F, small, 0.1, eps=1)
    raises(TypeError, F, small, 0.1, data=small)
    raises(TypeError, F, small)
    raises(TypeError, C)
    raises(TypeError, C, n_points=1)
    check(F(epsilon=0.1, data=small), small)
    raises(TypeError, F, small, **{"\udc80": 1})  # a keyword that is not valid UTF-8

    # Conversion of data: every kind of level object, and failures at depth.
    check(F((tuple(map(tuple, small[0])), [range(2), bytes([1, 2])]), 0.1), [small[0], [[0.0, 1.0], [1.0, 2.0]]])
    check(F([Sequence(small[0], length_error=HookError("len")), Sequence(small[1])], 0.1), small)
    raises(TypeError, F, "abc", 0.1)
    raises(TypeError, F, ["abc"], 0.1)
    raises(TypeError, F, [["abc"]], 0.1)
    raises(TypeError, F, [[["a"]]], 0.1)
    raises(TypeError, F, 5, 0.1)
    raises(TypeError, F, None, 0.1)
    raises(TypeError, F, {1: 2}, 0.1)
    raises(TypeError, F, [[1.0]], 0.1)
    raises(OverflowError, F, [[[2**1024]]], 0.1)
    raises(HookError, F, small + [[[Number(error=HookError("float"))]]], 0.1)
    raises(TypeError, F, small + [[[Number(error=TypeError(Unprintable()))]]], 0.1)
    cause = TypeError("outer")
    cause.__cause__ = ValueError("inner")
    assert type(raises(TypeError, F, small + [[[Number(error=cause)]]], 0.1).__cause__) is ValueError
    raises(HookError, F, small + [Sequence([[1.0, 1.0]] * 3, fail_at=2)], 0.1)
    raises(HookError, F, small + [Iterates([[1.0, 1.0]] * 3, fail_after=2)], 0.1)
    raises(MemoryError, F, small + [[[Number(error=MemoryError())]]], 0.1)
    outer = [[[1.0]], [[2.0]]]
    outer.append([[Number(value=1.0, nested=outer.clear)]])
    F(outer, 0.1)

    # Conversion of epsilon and n_points.
    raises(TypeError, F, small, "x")
    raises(OverflowError, F, small, 2**1024)
    check(F(small, 1), small)
    check(C(small, True), small)
    check(C(small, Index(7)), small)
    raises(TypeError, C, small, 3.0)
    raises(TypeError, C, small, Index("7"))
    raises(OverflowError, C, small, -1)
    raises(OverflowError, C, small, 2**32)
    raises(OverflowError, C, small, 2**64)

    # Table validation.
    for bad in ([], [[[1.0]]], [[]], [[], [[1.0]]], [[[1.0]], [[]]], [[[1.0, 2.0], [3.0]], [[4.0, 5.0]]]):
        raises(ValueError, F, bad, 0.1)
        raises(ValueError, C, bad, 1)

    # Internal checks, the PanicException class, resumed panics.
    for epsilon in (0.0, -0.0, -0.5, -2.0, math.nan, 5e-324):
        raises("PanicException", F, [[[1e6]], [[1e6]]], epsilon)
    raises("PanicException", F, small + [[[math.nan, 1.0]]], 0.1)
    raises("PanicException", F, [[[1e308]], [[-1e308]]], 0.1)
    raises("PanicException", F, [[[math.inf]], [[1.0]]], 0.1)
    raises("PanicException", C, [[[1.0]], []], 3)
    assert C([[[1.0]], []], 0) == []
    raises("PanicException", F, small + [[[Number(value=1.0, nested=panic_now), 1.0]]], 0.1)
    raises("PanicException", F, [Sequence(small[0], length_error=None)] + [Sequence(small[1])], 0.0)

    class LenPanics(list):
        def __len__(self):
            panic_now()

    raises("PanicException", F, LenPanics(small), 0.1)

    # Memory refused up front.
    raises(MemoryError, C, small, 4294967295)

    # Large result lists and their release.
    points = C(small, 200_000)
    assert len(points) == 200_000
    del points
    gc.collect()
    print("exercise complete")


if __name__ == "__main__":
    sys.unraisablehook = lambda report: None  # the unprintable TypeError is reported there
    main()
