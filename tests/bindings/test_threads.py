"""Threads: many Python threads calling both functions at once get correct and
complete results, and the first calls of a fresh process (which create the
PanicException class and fill the once-only caches) neither deadlock nor hand
different threads different class objects.

TRELVIK_THREAD_SECONDS sets how long the concurrent run lasts (default 3).
"""

import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import pace
import trelvik

THREADS = 8
SECONDS = float(os.environ.get("TRELVIK_THREAD_SECONDS", "3"))
SUBPROCESS_TIMEOUT = pace.seconds(60)

# Two stands: the returned set is the same on every call, only its order varies.
SMALL = [[[1.0, 5.0], [3.0, 3.0], [5.0, 1.0]], [[0.0, 2.0], [2.0, 0.0]]]
SMALL_FRONT = {((0, 0), (1.0, 7.0)), ((0, 1), (3.0, 5.0)), ((1, 1), (5.0, 3.0)), ((2, 1), (7.0, 1.0))}
WIDE = [
    [[float(i), float(60 - i), float((i * 7) % 13)] for i in range(60)],
    [[float(j % 5), float((j * 3) % 7), float(j)] for j in range(12)],
]
DEEP = [[[float((s * 5 + o) % 7), float((s + o * 3) % 5)] for o in range(4)] for s in range(25)]


def result_set(result):
    return {(tuple(s.design_vector), tuple(s.target_vector)) for s in result}


def evaluate(data, design):
    target = [0.0] * len(data[0][0])
    for stand, choice in zip(data, design):
        target = [a + float(b) for a, b in zip(target, stand[choice])]
    return target


def check_designs(result, data):
    for solution in result:
        design = solution.design_vector
        assert len(design) == len(data)
        assert all(0 <= d < len(stand) for d, stand in zip(design, data))
        assert solution.target_vector == evaluate(data, design)


class Quiet:
    """Failure reports of internal checks go to fd 2; keep thousands of them
    out of the test output."""

    def __enter__(self):
        sys.stderr.flush()
        self.saved = os.dup(2)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 2)
        os.close(null)

    def __exit__(self, *exc):
        os.dup2(self.saved, 2)
        os.close(self.saved)
        return False


def panic_class():
    with Quiet():
        try:
            trelvik.find_pareto_front([[[1.0]], [[2.0]]], 0.0)
        except BaseException as caught:  # noqa: B036
            return type(caught)
    raise AssertionError("epsilon 0 did not fail")


class Yields:
    """A value whose conversion runs Python code that lets other threads in."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


class CallsBack:
    """A value whose conversion calls trelvik itself."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        assert result_set(trelvik.find_pareto_front(SMALL, 0.01)) == SMALL_FRONT
        return self.value


def test_threads_concurrent_calls_are_correct_and_complete():
    panic = panic_class()
    wide_front = result_set(trelvik.find_pareto_front(WIDE, 0.05))
    assert len(wide_front) > 10
    yielding = [[[Yields(v) for v in option] for option in stand] for stand in SMALL]
    calling_back = [[[CallsBack(v) for v in option] for option in stand] for stand in SMALL]

    def expect(error_type, message, call):
        try:
            call()
        except BaseException as error:  # noqa: B036
            assert type(error) is error_type, repr(error)
            assert str(error) == message
            return
        raise AssertionError("no exception")

    checks = [
        lambda: result_set(trelvik.find_pareto_front(SMALL, 0.01)) == SMALL_FRONT or "small front",
        lambda: result_set(trelvik.find_pareto_front(WIDE, 0.05)) == wide_front or "wide front",
        lambda: result_set(trelvik.find_pareto_front(yielding, 0.01)) == SMALL_FRONT or "yielding front",
        lambda: result_set(trelvik.find_pareto_front(calling_back, 0.01)) == SMALL_FRONT or "nested front",
        lambda: check_designs(trelvik.find_pareto_front(DEEP, 0.1), DEEP),
        lambda: check_sample(trelvik.create_random_points(DEEP, 300), DEEP, 300),
        lambda: check_sample(trelvik.create_random_points(yielding, 50), SMALL, 50),
        lambda: expect(TypeError, "argument 'data': 'int' object is not an instance of 'Sequence'",
                       lambda: trelvik.find_pareto_front(5, 0.1)),
        lambda: expect(ValueError, "There's only one stand. Nothing to optimize here.",
                       lambda: trelvik.create_random_points([[[1.0]]], 3)),
        lambda: expect(panic, "negative coordinate value: inf", lambda: trelvik.find_pareto_front(WIDE, 0.0)),
        lambda: expect(panic, "cannot sample empty range",
                       lambda: trelvik.create_random_points([[[1.0]], []], 5)),
        lambda: expect(OverflowError, "out of range integral type conversion attempted",
                       lambda: trelvik.create_random_points(SMALL, 2**32)),
    ]

    def check_sample(result, data, n):
        assert len(result) == n
        check_designs(result, data)

    failures = []
    counts = [0] * THREADS
    start = threading.Barrier(THREADS + 1)

    def worker(index):
        start.wait()
        deadline = time.monotonic() + SECONDS
        k = index
        while time.monotonic() < deadline:
            try:
                outcome = checks[k % len(checks)]()
                if isinstance(outcome, str):
                    failures.append("wrong result: " + outcome)
            except BaseException as error:  # noqa: B036
                failures.append("%d: %r" % (k % len(checks), error))
            k += 1
            counts[index] += 1

    switch_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as possible
    try:
        with Quiet():
            threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
            for thread in threads:
                thread.start()
            start.wait()
            for thread in threads:
                thread.join()
    finally:
        sys.setswitchinterval(switch_interval)
    assert not failures, failures[:10]
    assert all(count >= len(checks) for count in counts), counts


# ---------------------------------------------------------------------------
# The first calls of a fresh process

FIRST_CALLS = textwrap.dedent(
    """
    import gc, importlib, sys, threading, time

    THREADS, VARIANT, ROTATION = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    local = threading.local()
    state = {"nested": False}

    def inside_fill(phase, info):
        # A collection that the threshold of 1 starts inside a panicking call
        # runs while the PanicException class is being created (on 3.9 to
        # 3.11): widens the window in which other threads arrive, or calls
        # the module again from inside the fill.
        if phase != "start" or not getattr(local, "panicking", False):
            return
        local.panicking = False
        time.sleep(0.02)
        if VARIANT == "reentrant" and not state["nested"]:
            state["nested"] = True
            try:
                sys.modules["trelvik"].find_pareto_front([[[1.0]], [[2.0]]], 0.0)
            except BaseException:
                pass

    def panicking(call):
        def marked():
            local.panicking = True
            try:
                return call()
            finally:
                local.panicking = False
        return marked

    if VARIANT in ("slow_fill", "reentrant"):
        gc.callbacks.append(inside_fill)
        gc.set_threshold(1)
    if VARIANT != "import_race":
        import trelvik

    barrier = threading.Barrier(THREADS)
    seen = [None] * THREADS

    def first_calls(index):
        barrier.wait()
        module = importlib.import_module("trelvik")
        found = {"module": module, "solution_class": module.ParetoFrontSolution}
        calls = [
            ("panic", panicking(lambda: module.find_pareto_front([[[1.0]], [[2.0]]], 0.0))),
            ("mismatch", lambda: module.find_pareto_front(5, 0.1)),
            ("refused", lambda: module.ParetoFrontSolution()),
            ("sample_panic", panicking(lambda: module.create_random_points([[[1.0]], []], 1))),
            ("result", lambda: module.find_pareto_front([[[1.0]], [[2.0]]], 0.1)),
        ]
        shift = (index + ROTATION) % len(calls)
        for name, call in calls[shift:] + calls[:shift]:
            try:
                found[name] = call()
            except BaseException as error:
                found[name] = error
        seen[index] = found

    threads = [threading.Thread(target=first_calls, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    first = seen[0]
    panic = type(first["panic"])
    assert panic.__name__ == "PanicException" and panic.__bases__ == (BaseException,), panic
    for found in seen:
        assert found["module"] is first["module"]
        assert found["solution_class"] is first["solution_class"]
        assert type(found["panic"]) is panic and type(found["sample_panic"]) is panic
        assert str(found["panic"]) == "negative coordinate value: inf"
        assert str(found["sample_panic"]) == "cannot sample empty range"
        assert type(found["mismatch"]) is TypeError
        assert str(found["mismatch"]) == "argument 'data': 'int' object is not an instance of 'Sequence'"
        assert type(found["refused"]) is TypeError
        assert str(found["refused"]) == "cannot create 'trelvik.ParetoFrontSolution' instances"
        (solution,) = found["result"]
        assert type(solution) is first["solution_class"]
        assert solution.design_vector == [0, 0] and solution.target_vector == [3.0]
    print("ok")
    """
)


def run_fresh(script, *args):
    done = subprocess.run(
        [sys.executable, "-c", script, *map(str, args)],
        capture_output=True,
        text=True,
        timeout=SUBPROCESS_TIMEOUT,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


# From 3.12 on, a collection waits for the next bytecode, so no fill of the
# module runs Python code and the variants that act inside one cannot.
ACTS_INSIDE_A_FILL = pytest.mark.skipif(
    sys.version_info >= (3, 12), reason="3.12+: no Python code runs inside a fill"
)


@pytest.mark.parametrize(
    "variant",
    ["plain", "import_race", pytest.param("slow_fill", marks=ACTS_INSIDE_A_FILL),
     pytest.param("reentrant", marks=ACTS_INSIDE_A_FILL)],
)
def test_threads_first_calls_race_in_fresh_processes(variant):
    for rotation in range(5):
        assert run_fresh(FIRST_CALLS, THREADS, variant, rotation).strip() == "ok"


# A collection started inside a panicking call, by a threshold of 1 to 8,
# runs while the PanicException class is being created (on 3.9 to 3.11; the
# threshold that lands inside the creation differs between versions).
FORK_DURING_FILL = textwrap.dedent(
    """
    import gc, os, signal, sys, threading, time
    import trelvik

    DATA = [[[1.0]], [[2.0]]]
    filling = threading.Event()
    local = threading.local()

    def inside_fill(phase, info):
        if phase == "start" and getattr(local, "panicking", False) and not filling.is_set():
            filling.set()
            time.sleep(1.0)

    def panic_name():
        try:
            trelvik.find_pareto_front(DATA, 0.0)
        except BaseException as error:
            return type(error).__name__

    def first():
        local.panicking = True
        panic_name()
        local.panicking = False

    gc.callbacks.append(inside_fill)
    gc.set_threshold(int(sys.argv[1]))
    thread = threading.Thread(target=first)
    thread.start()
    filling.wait(5)  # the thread now creates the class
    child = os.fork()
    if child == 0:
        os._exit(0 if panic_name() == "PanicException" else 1)
    thread.join()
    for _ in range(30):  # a healthy child is done within milliseconds
        pid, status = os.waitpid(child, os.WNOHANG)
        if pid:
            print("child exited with", os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode") else status)
            break
        time.sleep(0.1)
    else:
        os.kill(child, signal.SIGKILL)
        os.waitpid(child, 0)
        print("child hangs")
    """
)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@ACTS_INSIDE_A_FILL
@pytest.mark.parametrize("threshold", [1, 2, 4, 8])
def test_threads_fork_while_a_cache_is_being_filled(threshold):
    assert run_fresh(FORK_DURING_FILL, threshold).strip() == "child exited with 0"


FORK_INSIDE_FILL = textwrap.dedent(
    """
    import gc, os, sys, time
    import trelvik

    DATA = [[[1.0]], [[2.0]]]
    state = {"child": None, "armed": False}

    def inside_fill(phase, info):
        if phase == "start" and state["armed"] and state["child"] is None:
            state["child"] = os.fork()  # this very thread is creating the class

    gc.callbacks.append(inside_fill)
    messages = []
    for _ in range(2):
        gc.set_threshold(int(sys.argv[1]))
        state["armed"] = True
        try:
            trelvik.find_pareto_front(DATA, 0.0)
        except BaseException as error:
            messages.append(type(error).__name__ + ": " + str(error))
        state["armed"] = False
        gc.set_threshold(700)
    ok = messages == ["PanicException: negative coordinate value: inf"] * 2
    if state["child"] == 0:
        os._exit(0 if ok else 1)
    for _ in range(30):
        pid, status = os.waitpid(state["child"], os.WNOHANG)
        if pid:
            print("parent", ok, "child exited with", status >> 8 if status & 0x7F == 0 else -(status & 0x7F))
            break
        time.sleep(0.1)
    else:
        print("child hangs")
    """
)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@ACTS_INSIDE_A_FILL
@pytest.mark.parametrize("threshold", [1, 2, 4, 8])
def test_threads_fork_from_inside_a_fill(threshold):
    """Parent and child both finish the fill that was under way at the fork."""
    assert run_fresh(FORK_INSIDE_FILL, threshold).strip() == "parent True child exited with 0"
