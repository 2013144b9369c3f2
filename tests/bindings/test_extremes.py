"""Extremes: very many stands, options, variables and points. Each call
completes or fails with MemoryError, within memory that a 24 GiB machine has;
none aborts the process.

Every case runs in a child process, so that an abort or a crash is reported as
a failure instead of ending the test run, and under a 20 GiB address-space
limit (not under AddressSanitizer, which needs far more address space), so
that a runaway allocation fails inside the module instead of exhausting the
machine. Where the limit does not hold (qemu-user accepts it and ignores it),
the cases that need a small one to make memory run out skip.

The slowest cases run only when TRELVIK_SLOW_TESTS=1 (CI sets it).
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import pace

slow = pytest.mark.skipif(
    os.environ.get("TRELVIK_SLOW_TESTS") != "1", reason="slow: set TRELVIK_SLOW_TESTS=1 to run"
)

# The children bound their address space through /proc/self/statm and
# setrlimit; elsewhere a runaway case could take all of the machine's memory.
pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux"), reason="bounds the address space as only Linux can"
)

PRELUDE = textwrap.dedent(
    """
    import json, os, random, resource, sys
    import trelvik

    def sanitized():
        with open("/proc/self/maps") as maps:
            return "libasan" in maps.read()

    def limit_address_space(extra_bytes=None):
        if sanitized():
            return
        if extra_bytes is None:
            limit = 20 << 30
        else:
            with open("/proc/self/statm") as statm:
                limit = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE") + extra_bytes
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
        if extra_bytes is not None and resource.getrlimit(resource.RLIMIT_AS)[0] != limit:
            report(skip="the address-space limit does not hold here (as under qemu-user)")
            sys.exit(0)  # a case that needs it would take the machine's memory instead

    def evaluate(data, design):
        target = [0.0] * len(data[0][0])
        for stand, choice in zip(data, design):
            target = [a + b for a, b in zip(target, stand[choice])]
        return target

    def check(results, data, some=None):
        picked = results if some is None else results[:some] + results[-some:]
        for solution in picked:
            design = solution.design_vector
            assert len(design) == len(data), len(design)
            assert all(0 <= d < len(stand) for d, stand in zip(design, data))
            assert solution.target_vector == evaluate(data, design)

    def report(**values):
        print(json.dumps(values))
    """
)


def run_child(body, timeout=pace.seconds(900)):
    done = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert done.returncode == 0, "the child ended with %d:\n%s" % (done.returncode, done.stderr[-3000:])
    result = json.loads(done.stdout.strip().splitlines()[-1])
    if "skip" in result:
        pytest.skip(result["skip"])
    return result


def test_extremes_a_million_stands_with_one_option_each():
    result = run_child(
        """
        limit_address_space()
        data = [[[1.0, 2.0]]] * 1_000_000
        (front,) = trelvik.find_pareto_front(data, 0.1)
        assert front.design_vector == [0] * 1_000_000
        assert front.target_vector == [1_000_000.0, 2_000_000.0]
        points = trelvik.create_random_points(data, 3)
        assert [p.design_vector == [0] * 1_000_000 for p in points] == [True] * 3
        assert [p.target_vector for p in points] == [[1_000_000.0, 2_000_000.0]] * 3
        report(ok=True)
        """
    )
    assert result == {"ok": True}


def test_extremes_a_hundred_thousand_options_then_a_second_stand():
    result = run_child(
        """
        limit_address_space()
        n = 100_000
        data = [[[float(i), float(n - i)] for i in range(n)], [[0.0, 1.0], [1.0, 0.0], [2.0, 2.0]]]
        front = trelvik.find_pareto_front(data, 1e-6)
        check(front, data)
        targets = sorted(tuple(s.target_vector) for s in front)
        # mutually non-dominated: along the first variable the second falls strictly
        assert all(a[1] > b[1] for a, b in zip(targets, targets[1:]))
        assert len({tuple(s.design_vector) for s in front}) == len(front)
        points = trelvik.create_random_points(data, 50_000)
        check(points, data)
        report(front=len(front), points=len(points))
        """
    )
    assert result["points"] == 50_000
    assert result["front"] > 50_000  # the anti-diagonal survives nearly whole at this epsilon


def test_extremes_a_thousand_variables():
    result = run_child(
        """
        limit_address_space()
        rng = random.Random(7)
        data = [[[float(rng.randrange(100)) for _ in range(1000)] for _ in range(6)] for _ in range(3)]
        front = trelvik.find_pareto_front(data, 0.1)
        check(front, data)
        assert len({tuple(s.design_vector) for s in front}) == len(front)
        points = trelvik.create_random_points(data, 1000)
        check(points, data)
        report(front=len(front), points=len(points))
        """
    )
    assert result["points"] == 1000
    assert result["front"] >= 1


@pytest.mark.parametrize("stands, options, variables", [(2, 1, 1), (2000, 10, 5)])
def test_extremes_the_largest_count(stands, options, variables):
    """4294967295 points: a MemoryError, or a result, never an abort."""
    result = run_child(
        """
        limit_address_space()
        data = [[[float(s + o + v) for v in range(%d)] for o in range(%d)] for s in range(%d)]
        try:
            points = trelvik.create_random_points(data, 4294967295)
        except MemoryError:
            outcome = "MemoryError"
        else:
            outcome = "list of %%d" %% len(points)
        assert len(trelvik.create_random_points(data, 2)) == 2  # the module still works
        report(outcome=outcome)
        """
        % (variables, options, stands)
    )
    assert result["outcome"] in ("MemoryError", "list of 4294967295")


@slow
def test_extremes_millions_of_random_points():
    result = run_child(
        """
        limit_address_space()
        data = [[[1.0, 2.0], [3.0, 0.5], [0.0, 4.0]], [[1.0, 1.0], [2.0, 0.0]], [[0.25, 0.25]]]
        points = trelvik.create_random_points(data, 4_000_000)
        check(points, data, some=1000)
        seen = {tuple(p.design_vector) for p in points[:10_000]}
        del points
        report(designs=len(seen))
        """
    )
    assert result["designs"] == 6  # every one of the 3 x 2 x 1 designs turns up


def _under_address_sanitizer():
    try:
        with open("/proc/self/maps") as maps:
            return "libasan" in maps.read()
    except OSError:
        return True


@slow
@pytest.mark.skipif(_under_address_sanitizer(), reason="needs an address-space limit, which AddressSanitizer rules out")
def test_extremes_memory_runs_out_while_the_result_list_is_built():
    """8,000,000 points fit the machine, but not 1.2 GiB of address space: the
    pairs are drawn, then creating the Python objects fails part way."""
    result = run_child(
        """
        data = [[[1.0], [2.0]], [[3.0], [4.0]]]
        limit_address_space(1200 << 20)
        try:
            trelvik.create_random_points(data, 8_000_000)
        except MemoryError:
            outcome = "MemoryError"
        else:
            outcome = "list"
        points = trelvik.create_random_points(data, 1000)
        check(points, data)
        report(outcome=outcome)
        """
    )
    assert result["outcome"] == "MemoryError"


@slow
@pytest.mark.skipif(_under_address_sanitizer(), reason="needs an address-space limit, which AddressSanitizer rules out")
def test_extremes_memory_runs_out_inside_the_engine():
    """20,000 x 20,000 candidates, nearly every one in a box of its own, need
    far more memory than a 2 GiB address space gives the engine."""
    result = run_child(
        """
        n = 20_000
        data = [[[float(i), float(n - i)] for i in range(n)], [[float(j) * 1e-5, 1.0 - float(j) * 1e-5] for j in range(n)]]
        limit_address_space(2 << 30)
        try:
            trelvik.find_pareto_front(data, 1e-12)
        except MemoryError:
            outcome = "MemoryError"
        else:
            outcome = "list"
        small = [[[1.0, 2.0], [2.0, 1.0]], [[0.0, 0.0]]]
        assert len(trelvik.find_pareto_front(small, 0.1)) == 2
        report(outcome=outcome)
        """
    )
    assert result["outcome"] == "MemoryError"
