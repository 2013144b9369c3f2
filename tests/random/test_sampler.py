"""Random designs: uniform, independent, evaluated, and safe for huge requests."""
import itertools
import math
import subprocess
import sys

import pytest

import trelvik


def hoeffding_slack(draws, cells, failure_probability=1e-12):
    # Every cell count lies within this distance of draws / cells, except with
    # the given probability over all cells together: a bound that cannot flake.
    return math.sqrt(draws * math.log(2 * cells / failure_probability) / 2)


@pytest.mark.parametrize("counts", [(2, 3), (7, 1, 5), (10, 10)])
def test_draws_are_uniform_and_independent(counts):
    data = [[[float(j)] for j in range(k)] for k in counts]
    draws = 120000
    tally = {}
    for solution in trelvik.create_random_points(data, draws):
        design = tuple(solution.design_vector)
        tally[design] = tally.get(design, 0) + 1
    cells = math.prod(counts)
    assert set(tally) <= set(itertools.product(*map(range, counts)))
    assert len(tally) == cells
    slack = hoeffding_slack(draws, cells)
    for design, count in tally.items():
        assert abs(count - draws / cells) <= slack, (design, count)


def test_targets_are_evaluated_designs():
    data = [[[1.0, 2.0], [3.0, 4.0]], [[10.0, 20.0], [30.0, 40.0]], [[0.5, 0.25]]]
    for solution in trelvik.create_random_points(data, 500):
        expected = [0.0, 0.0]
        for stand, j in zip(data, solution.design_vector):
            expected = [a + b for a, b in zip(expected, stand[j])]
        assert solution.target_vector == expected


def test_single_options_give_equal_entries():
    points = trelvik.create_random_points([[[1.0, -1.0]], [[2.0, 0.5]]], 50)
    assert [(p.design_vector, p.target_vector) for p in points] == [([0, 0], [3.0, -0.5])] * 50


def test_calls_draw_different_designs():
    data = [[[float(j)] for j in range(1000)] for _ in range(5)]
    first = [p.design_vector for p in trelvik.create_random_points(data, 20)]
    second = [p.design_vector for p in trelvik.create_random_points(data, 20)]
    assert first != second


def test_streams_differ_between_processes():
    code = ("import trelvik; print([p.design_vector for p in "
            "trelvik.create_random_points([[[0.0]] * 1000] * 4, 8)])")
    outputs = {subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              check=True).stdout for _ in range(2)}
    assert len(outputs) == 2


def test_impossible_request_raises_memory_error():
    with pytest.raises(MemoryError):
        trelvik.create_random_points([[[1.0]] * 3, [[2.0]] * 3], 4294967295)
    assert len(trelvik.create_random_points([[[1.0]], [[2.0]]], 3)) == 3


def test_lying_length_hint_is_not_trusted():
    class Huge(list):
        def __len__(self):
            return 2**62

    (point,) = trelvik.create_random_points(Huge([Huge([Huge([1.0])]), [[2.0]]]), 1)
    assert point.target_vector == [3.0]
