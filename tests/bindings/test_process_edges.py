"""The edges of a process: forked children, interpreter exit with a daemon
thread inside a call, and a finalizer that comes back into the module while
it creates a process-wide class."""
import multiprocessing
import os
import subprocess
import sys
import textwrap
import time

import pytest

import pace
import trelvik

needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")

TABLE = [[[float(s + o), float(o)] for o in range(10)] for s in range(30)]


def designs(n_points):
    return [tuple(s.design_vector) for s in trelvik.create_random_points(TABLE, n_points)]


@needs_fork
def test_forked_child_draws_other_designs_than_its_parent():
    designs(1)  # the parent's generator is keyed before the fork
    read, write = os.pipe()
    child = os.fork()
    if child == 0:
        os.close(read)
        os.write(write, repr(designs(20)).encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        in_child = pipe.read()
    os.waitpid(child, 0)
    assert eval(in_child) != designs(20)


def _draw_three(_):
    time.sleep(0.1)  # spreads the tasks over the workers
    return os.getpid(), tuple(designs(3))


@needs_fork
def test_fork_pool_workers_draw_distinct_designs():
    designs(1)
    with multiprocessing.get_context("fork").Pool(4) as pool:
        results = pool.map(_draw_three, range(8), chunksize=1)
    assert len({pid for pid, _ in results}) > 1
    assert len({drawn for _, drawn in results}) == 8


EXIT_WITH_DAEMON = textwrap.dedent(
    """
    import gc, sys, threading, time
    import trelvik

    started = threading.Event()
    DATA = [[[1.0]], [[2.0]]]

    def let_go():  # gives up the interpreter lock every millisecond, for seconds
        started.set()
        for _ in range(5000):
            time.sleep(0.001)

    class Slow:
        def __float__(self):
            let_go()
            return 1.0

    def call():
        trelvik.find_pareto_front([[[Slow()]], [[1.0]]], 0.1)

    def fill():  # inside the first creation of PanicException (on 3.9 to 3.11)
        def inside_fill(phase, info):
            if phase == "start" and threading.current_thread() is not threading.main_thread():
                gc.callbacks.clear()
                let_go()
        gc.callbacks.append(inside_fill)
        gc.set_threshold(1)
        trelvik.find_pareto_front(DATA, 0.0)

    threading.Thread(target={"call": call, "fill": fill}[sys.argv[1]], daemon=True).start()
    started.wait()  # the main thread ends; the daemon wakes while the interpreter finalises
    """
)


@pytest.mark.parametrize("inside", ["call", "fill"])
def test_exit_with_a_daemon_thread_inside(inside):
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", EXIT_WITH_DAEMON, inside],
                              capture_output=True, text=True, timeout=pace.seconds(60))
        assert done.returncode == 0, done.stderr[-2000:]


REENTER_DURING_FILL = textwrap.dedent(
    """
    import gc, sys
    import trelvik

    DATA = [[[1.0]], [[2.0]]]
    state = {"armed": False, "inner": None}

    def on_collection(phase, info):
        # Like a finalizer: calls the module while a collection runs, which a
        # low threshold starts inside the first creation of PanicException.
        if phase == "start" and state["armed"] and state["inner"] is None:
            state["armed"] = False
            try:
                trelvik.find_pareto_front(DATA, 0.0)
            except BaseException as error:
                state["inner"] = error

    gc.callbacks.append(on_collection)
    gc.collect()
    gc.set_threshold(int(sys.argv[1]))
    state["armed"] = True
    try:
        trelvik.find_pareto_front(DATA, 0.0)
    except BaseException as error:
        outer = error
    gc.set_threshold(700)
    inner = state["inner"]
    print(inner is None or type(inner) is type(outer))
    """
)


def test_reentered_fill_keeps_one_panic_class():
    for threshold in range(1, 9):
        done = subprocess.run([sys.executable, "-c", REENTER_DURING_FILL, str(threshold)],
                              capture_output=True, text=True, timeout=pace.seconds(60))
        assert done.stdout.strip() == "True", (threshold, done.stdout, done.stderr[-2000:])


def memory_cgroup_folder():
    """The folder of this process's memory control group (v2, or v1's memory
    hierarchy), where a child group can be made; None where there is none."""
    try:
        with open("/proc/self/cgroup") as lines:
            groups = [line.rstrip("\n").split(":", 2) for line in lines]
    except OSError:
        return None
    for _, controllers, path in groups:
        if "memory" in controllers.split(","):
            return "/sys/fs/cgroup/memory" + path
    for hierarchy, controllers, path in groups:
        if hierarchy == "0" and not controllers:
            return "/sys/fs/cgroup" + path
    return None


OVER_THE_LIMIT = """
import trelvik
try:
    trelvik.create_random_points([[[1.0]], [[2.0]]], 5_000_000)  # about 1 GB of results
    print("drawn")
except MemoryError:
    print("MemoryError")
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="control groups are Linux's")
def test_memory_refusal_sees_the_control_group_limit():
    """In a group limited to 256 MiB, a request that fits the machine but not
    the group is refused with MemoryError, not killed by the kernel."""
    parent = memory_cgroup_folder()
    folder = f"{parent}/trelvik-test-{os.getpid()}"
    limit = 256 * 2**20
    try:
        os.mkdir(folder)
    except (OSError, TypeError) as error:
        pytest.skip(f"cannot make a control group here: {error}")
    try:
        limit_file = "memory.max" if os.path.exists(f"{folder}/memory.max") else "memory.limit_in_bytes"
        try:
            with open(f"{folder}/{limit_file}", "w") as out:
                out.write(str(limit))
        except OSError as error:
            pytest.skip(f"cannot limit a control group here: {error}")

        def enter_group():
            with open(f"{folder}/cgroup.procs", "w") as procs:
                procs.write(str(os.getpid()))

        done = subprocess.run([sys.executable, "-c", OVER_THE_LIMIT], preexec_fn=enter_group,
                              capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stdout.strip()) == (0, "MemoryError"), done.stderr[-2000:]
    finally:
        os.rmdir(folder)
