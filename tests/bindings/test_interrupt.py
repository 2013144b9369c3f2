"""Keyboard interrupt: SIGINT during a long call lets the call finish, then
raises KeyboardInterrupt in Python; the process survives the signal.

Evidence, gathered in a child process:
- the child exits normally after catching KeyboardInterrupt;
- the interrupt's traceback points at the line of the call, so the signal
  arrived during the call and was raised as soon as the call returned (had it
  arrived later, the interrupt would come from the sleep after the call);
- the peak of the interpreter's traced memory during the call covers the whole
  result list, which the module builds only after the computation is done, so
  the call ran to its end instead of giving up when the signal arrived.
"""

import signal
import subprocess
import sys
import textwrap
import time

import pytest

import pace

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="sends SIGINT")

CHILD = textwrap.dedent(
    """
    import signal, sys, time, traceback, tracemalloc
    import trelvik

    # A process started in the background by a shell without job control
    # inherits SIGINT ignored, and Python then installs no handler of its own.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    FRONT = sys.argv[1] == "find_pareto_front"

    def front_data(n):
        # about n * n candidates, n * 77 boxes: time grows with n squared
        return [[[float(i), float(n - i)] for i in range(n)],
                [[float(j % 7), float((j * 3) % 11)] for j in range(n)]]

    # 1000 stands of 1000 variables: every point costs a million additions
    sample_data = [[[float((s + k) % 13) for k in range(1000)]] for s in range(1000)]

    def timed(size):
        start = time.perf_counter()
        if FRONT:
            result = trelvik.find_pareto_front(front_data(size), 1e-9)
        else:
            result = trelvik.create_random_points(sample_data, size)
        assert len(result) == size  # the front holds one design per option of stand 0
        return time.perf_counter() - start

    # Calibrate: the smallest size whose call takes half a second, then a
    # size that takes about two.
    size = 500 if FRONT else 250
    while timed(size) < 0.5 and size < 10**7:
        size *= 2
    size *= 2 if FRONT else 4
    data = front_data(size) if FRONT else sample_data

    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    tracemalloc.reset_peak()
    print("calling", flush=True)
    try:
        if FRONT:
            trelvik.find_pareto_front(data, 1e-9)  # THE CALL
        else:
            trelvik.create_random_points(data, size)  # THE CALL
        print("returned before the signal arrived", flush=True)
        time.sleep(60)
    except KeyboardInterrupt as interrupt:
        peak = tracemalloc.get_traced_memory()[1]
        line = traceback.extract_tb(interrupt.__traceback__)[-1].lineno
        print("interrupted at line", line)
        print("results", size)
        print("peak bytes during the call", peak - before)
    """
)
CALL_LINES = [i + 1 for i, line in enumerate(CHILD.splitlines()) if line.endswith("# THE CALL")]


@pytest.mark.parametrize("function", ["find_pareto_front", "create_random_points"])
def test_interrupt_during_a_long_call(function):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, function],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline().strip() == "calling"
        time.sleep(0.3)  # the call is now under way; it lasts about two seconds
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=pace.seconds(300))
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, "the child died (%d): %s" % (child.returncode, err[-2000:])
    lines = out.splitlines()
    assert "returned before the signal arrived" not in lines, "make the call longer"
    (line,) = [int(text.split()[-1]) for text in lines if text.startswith("interrupted at line")]
    assert line in CALL_LINES, out
    (results,) = [int(text.split()[-1]) for text in lines if text.startswith("results")]
    (peak,) = [int(text.split()[-1]) for text in lines if text.startswith("peak bytes")]
    # Per result at least a list slot (8 bytes) and an instance (24 bytes).
    assert peak >= results * 32, "the result list was never built: %s" % out
