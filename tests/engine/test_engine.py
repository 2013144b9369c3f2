"""The front engine against the plain model, brute force and worked examples."""
import itertools
import math
import random
import subprocess
import sys

import pytest

import trelvik
from model import ModelPanic, build_front


def front_of(data, epsilon):
    return [(s.design_vector, s.target_vector) for s in trelvik.find_pareto_front(data, epsilon)]


def outcome(call):
    """The result of call(), or the message of the PanicException it raised."""
    try:
        return call()
    except ModelPanic as panic:
        return ("panic", str(panic))
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        return ("panic", str(error))


def random_table(rng, n_stands, n_options, n_variables, kind):
    def value():
        if kind == "int":
            return rng.randint(-5, 20)
        if kind == "real":
            return rng.uniform(-3.0, 50.0)
        return rng.choice([0.0, 1.0, 2.5, 1e6, -7.0, 0.1])  # many ties, mixed scales

    return [[[value() for _ in range(n_variables)] for _ in range(rng.randint(1, n_options))]
            for _ in range(n_stands)]


@pytest.mark.parametrize("seed", range(400))
def test_matches_model_on_small_tables(seed):
    rng = random.Random(seed)
    data = random_table(rng, rng.randint(2, 8), rng.randint(1, 8), rng.randint(1, 5),
                        rng.choice(["int", "real", "mixed"]))
    epsilon = rng.choice([1e-4, 0.003, 0.05, 0.3, 1.0, 7.0])
    assert outcome(lambda: front_of(data, epsilon)) == outcome(lambda: build_front(data, epsilon))


@pytest.mark.parametrize("n_variables", [2, 3, 4, 5])
@pytest.mark.parametrize("seed", range(3))
def test_matches_model_on_large_fronts(n_variables, seed):
    # Anti-correlated objectives and a fine grid give stages with hundreds of
    # survivors, which go through the sorting filters rather than the plain scan.
    rng = random.Random(1000 * n_variables + seed)
    data = []
    for _ in range(6):
        stand = []
        for _ in range(rng.randint(5, 9)):
            weights = [rng.random() for _ in range(n_variables)]
            total = sum(weights)
            stand.append([round(100 * w / total + rng.uniform(0, 3), 3) for w in weights])
        data.append(stand)
    epsilon = {2: 1e-3, 3: 0.1, 4: 0.3, 5: 0.5}[n_variables]  # fronts of some hundreds
    expected = build_front(data, epsilon)
    assert len(expected) > 64
    assert front_of(data, epsilon) == expected


@pytest.mark.parametrize("seed", range(3))
def test_matches_model_with_many_poor_options(seed):
    # Two variables and thirty options per stand, most of them far behind the
    # front: the engine drops their boxes before the lookup, which must change
    # nothing.
    rng = random.Random(7000 + seed)
    data = []
    for _ in range(4):
        stand = []
        for _ in range(30):
            w = rng.random()
            penalty = rng.choice([0.0, rng.uniform(0, 5), rng.uniform(5, 60)])
            stand.append([100 * w + penalty + rng.uniform(0, 1), 100 * (1 - w) + penalty + rng.uniform(0, 1)])
        data.append(stand)
    epsilon = rng.choice([1e-4, 1e-3, 3e-3])
    expected = build_front(data, epsilon)
    assert len(expected) > 64
    assert front_of(data, epsilon) == expected


def test_exact_front_by_brute_force():
    # Multiples of 2**27 absorb the 1e-9 of the shift and keep every sum exact,
    # and at this epsilon distinct sums never share a box: the engine must then
    # find exactly the Pareto front of all designs.
    rng = random.Random(5)
    unit = 2.0**27
    for trial in range(40):
        n_variables = rng.randint(1, 4)
        data = [[[unit * rng.randint(-20, 40) for _ in range(n_variables)]
                 for _ in range(rng.randint(1, 5))] for _ in range(rng.randint(2, 5))]
        targets = sorted({tuple(map(sum, zip(*options))) for options in itertools.product(*data)})
        pareto = []  # in lexicographic order only an earlier target can dominate a later one
        for t in targets:
            if not any(all(a <= b for a, b in zip(p, t)) for p in pareto):
                pareto.append(t)
        found = [tuple(s.target_vector) for s in trelvik.find_pareto_front(data, 1e-13)]
        assert len(found) == len(set(found)), trial
        assert set(found) == set(pareto), trial


WORKED = [[[1, 5], [3, 3], [5, 1]], [[0, 2], [2, 0]]]


@pytest.mark.parametrize(
    "data, epsilon, expected",
    [
        (WORKED, 0.01, [([0, 0], [1, 7]), ([0, 1], [3, 5]), ([1, 1], [5, 3]), ([2, 1], [7, 1])]),
        # [5, 3] shares its box with [3, 5], and neither dominates the other.
        (WORKED, 1.0, [([0, 0], [1, 7]), ([0, 1], [3, 5]), ([2, 1], [7, 1])]),
        # The extra option's candidates get boxes but are dominated in the archive.
        ([WORKED[0] + [[4, 4]], WORKED[1]], 0.01,
         [([0, 0], [1, 7]), ([0, 1], [3, 5]), ([1, 1], [5, 3]), ([2, 1], [7, 1])]),
        # A later stand without options leaves nothing.
        ([[[1.0]], [[2.0]], []], 0.1, []),
        # One box for everything: the first candidate, replaced by each dominating one.
        (WORKED, math.inf, [([0, 0], [1, 7])]),
        (WORKED, -1.0, [([0, 0], [1, 7])]),
    ],
)
def test_worked_examples(data, epsilon, expected):
    assert front_of(data, epsilon) == expected


@pytest.mark.parametrize(
    "data, epsilon, message",
    [
        (WORKED, 0.0, "inf"),
        (WORKED, -0.0, "-inf"),
        (WORKED, -0.5, "-2"),
        ([[[3e-9]], [[0.0]]], -0.5, "-1"),
        ([[[100.0]], [[0.0]]], -0.5, "-7"),
        (WORKED, -2.0, "NaN"),
        (WORKED, math.nan, "NaN"),
        ([[[1.0, math.nan]], [[1.0, 2.0]]], 0.1, "NaN"),
        ([[[1.0], [math.inf]], [[1.0]]], 0.1, "inf"),
        ([[[1e308], [-1e308]], [[0.0]]], 0.1, "inf"),
        ([[[1.7e308]], [[1.7e308], [0.0]]], 0.1, "inf"),
        # A large negative quotient is written with all its integer digits.
        ([[[1.0]], [[5.0]]], -1e-300, None),
    ],
)
def test_rejected_quotients(data, epsilon, message, capfd):
    expected = outcome(lambda: build_front(data, epsilon))
    assert expected[0] == "panic"
    if message is not None:
        assert expected[1] == "negative coordinate value: " + message
    else:
        number = expected[1].rsplit(" ", 1)[1]
        assert number.startswith("-") and number[1:].isdigit() and len(number) > 290
    assert outcome(lambda: front_of(data, epsilon)) == expected
    assert expected[1] in capfd.readouterr().err


def test_keys_saturate_for_tiny_epsilon():
    # Every quotient is beyond 2**64: all candidates share the largest key.
    assert front_of(WORKED, 1e-300) == [([0, 0], [1, 7])]


def test_one_option_per_stand_over_many_stands():
    data = [[[float(i % 7), 1.0]] for i in range(200000)]
    (solution,) = trelvik.find_pareto_front(data, 0.01)
    assert solution.design_vector == [0] * 200000
    assert solution.target_vector == [float(sum(i % 7 for i in range(200000))), 200000.0]


def test_targets_are_unshifted_sums():
    rng = random.Random(3)
    data = random_table(rng, 12, 6, 3, "real")
    for solution in trelvik.find_pareto_front(data, 0.01):
        expected = [0.0] * 3
        for stand, j in zip(data, solution.design_vector):
            expected = [a + b for a, b in zip(expected, stand[j])]
        assert solution.target_vector == expected


DETERMINISM = """
import random, trelvik
rng = random.Random(9)
data = [[[rng.uniform(0, 100) for _ in range(3)] for _ in range(8)] for _ in range(40)]
print([(s.design_vector, s.target_vector) for s in trelvik.find_pareto_front(data, 0.002)])
"""


def test_same_order_in_every_call_and_process():
    runs = [subprocess.run([sys.executable, "-c", DETERMINISM], capture_output=True, text=True,
                           check=True).stdout for _ in range(2)]
    assert runs[0] == runs[1]
    assert runs[0].count("[") > 100
    namespace = {}
    exec(DETERMINISM.replace("print(", "result = ("), namespace)
    assert repr(namespace["result"]) + "\n" == runs[0]
