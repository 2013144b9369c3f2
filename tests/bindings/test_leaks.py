"""No leaks, by measurement: thousands of calls through every way in and out
of the module leave the interpreter's allocated blocks, the reference counts
of everything that was passed in, and the resident memory of the process flat.

A leaked Python object shows in sys.getallocatedblocks(); a leaked native
array (converted table, engine state, result pairs) shows in the resident set,
since every call below converts a table of several kilobytes; a reference that
is taken and never given back shows in sys.getrefcount of the argument.

These measurements mean nothing under AddressSanitizer (its quarantine holds
freed memory back, and PYTHONMALLOC=malloc empties getallocatedblocks), so the
module skips itself there.
"""

import gc
import json
import os
import subprocess
import sys
import textwrap

import pytest

import pace
import trelvik


def _sanitized():
    try:
        with open("/proc/self/maps") as maps:
            return "libasan" in maps.read()
    except OSError:
        return False


pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm"),
    pytest.mark.skipif(_sanitized(), reason="memory measurements are meaningless under AddressSanitizer"),
    pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="needs the interpreter's own allocator"),
]

CALLS = pace.repeat(1500, floor=400)
BLOCK_SLACK = 100  # a leak of one object per call adds CALLS (400 or more); caches of the interpreter move by dozens
RSS_SLACK = 1 << 20  # a leak of one converted table (4.8 kB of values) per call adds 1.8 MiB in 400 calls


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Quiet:
    """Sends the failure reports of internal checks (fd 2), Python-level
    tracebacks (sys.stderr) and unraisable reports to nowhere, so that
    thousands of them cost neither output nor memory."""

    def __enter__(self):
        sys.stderr.flush()
        self.null = open(os.devnull, "w")
        self.saved_fd = os.dup(2)
        os.dup2(self.null.fileno(), 2)
        self.saved_stderr, sys.stderr = sys.stderr, self.null
        self.saved_hook, sys.unraisablehook = sys.unraisablehook, lambda report: None
        return self

    def __exit__(self, *exc):
        sys.unraisablehook = self.saved_hook
        sys.stderr = self.saved_stderr
        os.dup2(self.saved_fd, 2)
        os.close(self.saved_fd)
        self.null.close()
        return False


def measure(action, calls=CALLS, watched=()):
    """Runs action() `calls` times after a warm-up, twice over; returns the
    smaller growth of allocated blocks and of resident memory of the two
    rounds (a leak grows in both, a cache that fills once in one only), and
    the reference counts of `watched` before and after."""
    with Quiet():
        for _ in range(max(3, calls // 10)):
            action()
        gc.collect()
        refs_before = [sys.getrefcount(obj) for obj in watched]
        growth = []
        for _ in range(2):
            blocks_before, rss_before = sys.getallocatedblocks(), rss()
            for _ in range(calls):
                action()
            gc.collect()
            growth.append((sys.getallocatedblocks() - blocks_before, rss() - rss_before))
        refs_after = [sys.getrefcount(obj) for obj in watched]
    return min(g[0] for g in growth), min(g[1] for g in growth), refs_before, refs_after


def assert_flat(action, calls=CALLS, watched=()):
    blocks, resident, refs_before, refs_after = measure(action, calls, watched)
    assert blocks <= BLOCK_SLACK, "%d more allocated blocks after %d calls" % (blocks, calls)
    assert resident <= RSS_SLACK, "%d more resident bytes after %d calls" % (resident, calls)
    assert refs_after == refs_before, "reference counts of the arguments changed"


def expect(exception_type, function, *args, **kwargs):
    """An action: one call that must raise exception_type."""

    def action():
        try:
            function(*args, **kwargs)
        except exception_type:
            return
        except BaseException as error:  # noqa: B036
            if exception_type is PANIC and type(error) is PANIC:
                return
            raise
        raise AssertionError("no exception")

    return action


def table(stands=40, options=5, variables=3):
    """A table of stands*options*variables distinct floats in fresh objects."""
    return [
        [[float((s * 7 + o * 3 + v) % 11) + 0.5 * v + 0.01 * s for v in range(variables)] for o in range(options)]
        for s in range(stands)
    ]


def _panic_class():
    with Quiet():
        try:
            trelvik.find_pareto_front([[[1.0]], [[2.0]]], 0.0)
        except BaseException as caught:  # noqa: B036
            return type(caught)
    raise AssertionError("epsilon 0 did not fail")


PANIC = _panic_class()
TABLE = table()


class HookError(Exception):
    pass


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


class FloatRaises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error()


class UnprintableTypeError:
    def __float__(self):
        raise TypeError(Unprintable())


class TypeErrorWithCause:
    def __float__(self):
        raise TypeError("outer") from ValueError("inner")


class PanicInFloat:
    def __float__(self):
        trelvik.find_pareto_front([[[1.0]], [[2.0]]], 0.0)


class FailingIteration:
    """A stand that yields two options and then fails."""

    def __init__(self, options):
        self.options = options

    def __len__(self):
        return len(self.options)

    def __getitem__(self, index):
        return self.options[index]

    def __iter__(self):
        yield self.options[0]
        yield self.options[1]
        raise HookError("iteration failed")


class LenRaises(list):
    def __len__(self):
        raise HookError("no length")


class LenPanics(list):
    def __len__(self):
        trelvik.find_pareto_front([[[1.0]], [[2.0]]], 0.0)


class IndexReturnsStr:
    def __index__(self):
        return "7"


def with_last_value(value):
    data = table()
    data[-1][-1][-1] = value
    return data


def with_last_stand(stand):
    data = table()
    data[-1] = stand
    return data


F, C = trelvik.find_pareto_front, trelvik.create_random_points
NAN = float("nan")

FRONT_PATHS = {
    "success": lambda: F(TABLE, 0.3),
    "success_by_keyword": lambda: F(epsilon=0.3, data=TABLE),
    "bind_three_positional": expect(TypeError, F, TABLE, 0.1, 5),
    "bind_unknown_keyword": expect(TypeError, F, TABLE, 0.1, eps=0.1),
    "bind_twice": expect(TypeError, F, TABLE, 0.1, data=TABLE),
    "bind_missing_one": expect(TypeError, F, TABLE),
    "bind_missing_both": expect(TypeError, F),
    "data_str": expect(TypeError, F, "abc", 0.1),
    "data_not_a_sequence": expect(TypeError, F, {1: 2}, 0.1),
    "data_none": expect(TypeError, F, None, 0.1),
    "late_option_str": expect(TypeError, F, with_last_stand(["abc"]), 0.1),
    "late_value_not_a_number": expect(TypeError, F, with_last_value("x"), 0.1),
    "late_value_too_large": expect(OverflowError, F, with_last_value(2**1024), 0.1),
    "late_value_hook_raises": expect(HookError, F, with_last_value(FloatRaises(HookError)), 0.1),
    "late_value_hook_type_error_with_cause": expect(TypeError, F, with_last_value(TypeErrorWithCause()), 0.1),
    "late_value_unprintable_type_error": expect(TypeError, F, with_last_value(UnprintableTypeError()), 0.1),
    "late_value_memory_error": expect(MemoryError, F, with_last_value(FloatRaises(MemoryError)), 0.1),
    "late_iteration_fails": expect(HookError, F, with_last_stand(FailingIteration(table()[0])), 0.1),
    "len_raises_is_ignored": lambda: F(LenRaises(table()), 0.3),
    "epsilon_not_a_number": expect(TypeError, F, TABLE, "x"),
    "epsilon_too_large": expect(OverflowError, F, TABLE, 2**1024),
    "table_no_stands": expect(ValueError, F, [], 0.1),
    "table_one_stand": expect(ValueError, F, table(stands=1), 0.1),
    "table_first_stand_empty": expect(ValueError, F, [[]] + table(), 0.1),
    "table_late_option_empty": expect(ValueError, F, with_last_stand([[]]), 0.1),
    "table_late_mismatch": expect(ValueError, F, with_last_stand([[1.0, 2.0]]), 0.1),
    "check_epsilon_zero": expect(PANIC, F, TABLE, 0.0),
    "check_nan_in_last_stand": expect(PANIC, F, with_last_value(NAN), 0.3),
    "check_resumed_from_a_nested_call": expect(PANIC, F, with_last_value(PanicInFloat()), 0.1),
    "check_resumed_from_len": expect(PANIC, F, LenPanics(table()), 0.1),
}

SAMPLE_PATHS = {
    "success": lambda: C(TABLE, 20),
    "success_zero_points": lambda: C(TABLE, 0),
    "bind_three_positional": expect(TypeError, C, TABLE, 5, 5),
    "bind_twice": expect(TypeError, C, TABLE, 5, data=TABLE),
    "bind_missing_one": expect(TypeError, C, n_points=5),
    "data_not_a_sequence": expect(TypeError, C, 5, 5),
    "late_value_not_a_number": expect(TypeError, C, with_last_value("x"), 5),
    "late_value_hook_raises": expect(HookError, C, with_last_value(FloatRaises(HookError)), 5),
    "late_iteration_fails": expect(HookError, C, with_last_stand(FailingIteration(table()[0])), 5),
    "n_points_float": expect(TypeError, C, TABLE, 3.0),
    "n_points_index_returns_str": expect(TypeError, C, TABLE, IndexReturnsStr()),
    "n_points_negative": expect(OverflowError, C, TABLE, -1),
    "n_points_beyond_32_bits": expect(OverflowError, C, TABLE, 2**32),
    "n_points_beyond_64_bits": expect(OverflowError, C, TABLE, 2**64),
    "table_one_stand": expect(ValueError, C, table(stands=1), 5),
    "table_late_mismatch": expect(ValueError, C, with_last_stand([[1.0, 2.0]]), 5),
    "check_empty_stand": expect(PANIC, C, with_last_stand([]), 1000),
    "check_resumed_from_a_nested_call": expect(PANIC, C, with_last_value(PanicInFloat()), 5),
    "memory_refused_up_front": expect(MemoryError, C, TABLE, 4294967295),
}


@pytest.mark.parametrize("path", sorted(FRONT_PATHS))
def test_leaks_find_pareto_front(path):
    assert_flat(FRONT_PATHS[path], watched=[TABLE, TABLE[0], TABLE[-1][-1]])


@pytest.mark.parametrize("path", sorted(SAMPLE_PATHS))
def test_leaks_create_random_points(path):
    assert_flat(SAMPLE_PATHS[path], watched=[TABLE, TABLE[0], TABLE[-1][-1]])


def test_leaks_arguments_keep_their_reference_counts():
    """Every object handed in, at every level, has the same reference count
    after a successful and after a failing call as before."""
    epsilon = 0.125 + 0.0  # a float object of its own
    n_points = 10**9 + 7  # an int outside the small-int cache (not immortal)
    data = table(stands=3, options=2, variables=2)
    bad = with_last_value(FloatRaises(HookError))
    watched = [data, epsilon, n_points, bad] + data + [o for s in data for o in s] + [v for s in data for o in s for v in o]

    def action():
        F(data, epsilon)
        F(data=data, epsilon=epsilon)
        C(data, 3)
        expect(HookError, F, bad, epsilon)()
        expect(OverflowError, C, data, n_points * 2**40)()
        expect(MemoryError, C, data, 4294967295)()

    assert_flat(action, calls=500, watched=watched)


@pytest.mark.parametrize("attribute", ["design_vector", "target_vector"])
def test_leaks_attribute_getters(attribute):
    (wide,) = F([[[float(v) for v in range(1000)]], [[1.0] * 1000]], 0.1)  # 1000 variables
    (long,) = F([[[1.0]]] * 1000, 0.1)  # 1000 stands

    def action():
        getattr(wide, attribute)
        getattr(long, attribute)

    assert_flat(action, calls=5000, watched=[wide, long])


def test_leaks_refused_construction_and_assignment():
    (solution,) = F([[[1.0]], [[2.0]]], 0.1)

    def action():
        expect(TypeError, trelvik.ParetoFrontSolution)()
        expect(TypeError, trelvik.ParetoFrontSolution, [1], [2.0])()
        expect(AttributeError, setattr, solution, "design_vector", [0])()
        expect(AttributeError, delattr, solution, "target_vector")()

    assert_flat(action, watched=[solution, trelvik.ParetoFrontSolution])


def test_leaks_large_result_lists_are_released():
    """Building and dropping a list of 200,000 results, over and over, gives
    back every instance, every pair of vectors and the class references."""
    data = table(stands=30, options=4, variables=2)
    solution_class = trelvik.ParetoFrontSolution

    def action():
        points = C(data, 200_000)
        assert len(points) == 200_000
        del points

    with Quiet():
        action()
    refs = sys.getrefcount(solution_class)
    blocks, resident, _, _ = measure(action, calls=pace.repeat(10, floor=3))
    assert blocks <= BLOCK_SLACK
    assert resident <= 8 * RSS_SLACK  # one round holds about 100 MiB
    assert sys.getrefcount(solution_class) == refs


# ---------------------------------------------------------------------------
# Native allocations that fail: the process's address space is limited, so
# that the request fails with std::bad_alloc inside the module. (Not under
# qemu-user, which accepts the limit and ignores it: there the cases skip.)

RLIMIT_SCRIPT = textwrap.dedent(
    """
    import gc, json, os, resource, sys
    import trelvik

    def rss():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def vm_size():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")

    CASE, CALLS, HEADROOM = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    if CASE == "sample":
        data = [[[1.0], [2.0]], [[3.0], [4.0]]]
        call = lambda: trelvik.create_random_points(data, 100_000_000)
    else:
        # 40 x 40 candidates of 1000 variables, each in a box of its own
        data = [[[1.0 + i * 0.37 + k for k in range(1000)] for i in range(40)],
                [[2.0 + j * 0.0011 + k for k in range(1000)] for j in range(40)]]
        call = lambda: trelvik.find_pareto_front(data, 1e-12)

    def action():
        try:
            call()
        except MemoryError:
            return True
        return False

    limit = (vm_size() + HEADROOM, resource.RLIM_INFINITY)
    resource.setrlimit(resource.RLIMIT_AS, limit)
    if resource.getrlimit(resource.RLIMIT_AS) != limit:  # qemu-user accepts the limit and ignores it
        print(json.dumps({"unlimited": True}))
        sys.exit(0)
    for _ in range(max(3, CALLS // 10)):
        action()
    gc.collect()
    failures, growth = 0, []
    for _ in range(2):  # a leak grows in both rounds, a cache that fills once in one only
        blocks, resident = sys.getallocatedblocks(), rss()
        failures += sum(action() for _ in range(CALLS))
        gc.collect()
        growth.append((sys.getallocatedblocks() - blocks, rss() - resident))
    print(json.dumps({"failures": failures, "blocks": min(g[0] for g in growth),
                      "rss": min(g[1] for g in growth)}))
    """
)


@pytest.mark.parametrize("case, calls, headroom", [("sample", 1500, 256 << 20), ("front", 100, 8 << 20)])
def test_leaks_memory_error_from_a_failed_native_allocation(case, calls, headroom):
    done = subprocess.run(
        [sys.executable, "-c", RLIMIT_SCRIPT, case, str(calls), str(headroom)],
        capture_output=True,
        text=True,
        timeout=pace.seconds(600),
    )
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    if result.get("unlimited"):
        pytest.skip("the address-space limit does not hold here (as under qemu-user), so no allocation fails")
    assert result["failures"] == 2 * calls, "every call must fail with MemoryError"
    assert result["blocks"] <= BLOCK_SLACK
    assert result["rss"] <= RSS_SLACK
