"""examples/exact_plan.py: its exact plans against every design of small tables, and its output.

Everything that solves needs HiGHS (the `exact` extra) and is skipped without it.
"""

import csv
import itertools
import random
import re

import pytest

import trelvik
from test_examples import EXAMPLES, number, run_example

TOLERANCE = 1e-6


@pytest.fixture
def exact_plan(monkeypatch):
    pytest.importorskip("highspy")
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import exact_plan

    return exact_plan


def small_table(seed, n_stands, n_variables, integers):
    rng = random.Random(seed)
    value = (lambda: float(rng.randint(0, 2))) if integers else (lambda: round(rng.uniform(-5, 5), 3))
    return [[[value() for _ in range(n_variables)] for _ in range(rng.randint(1 + (i < 2), 4))]
            for i in range(n_stands)]


def plain_sums(table, design):
    return [sum(table[i][j][k] for i, j in enumerate(design)) for k in range(len(table[0][0]))]


def within(total, op, value):
    return total <= value + TOLERANCE if op == "<=" else total >= value - TOLERANCE


# (kind, seed, stands, variables). Column 0 is optimised, maximised for odd seeds.
CASES = [(kind, seed, 4 + seed % 3, n) for n in (2, 3, 4) for seed, kind in enumerate(
    ["random"] * 3 + ["ties"] * 3 + ["only one design", "jointly infeasible", "beyond reach", "empty stand"],
    start=10 * n)]


@pytest.mark.parametrize("kind, seed, n_stands, n_variables", CASES)
def test_exact_plan_is_the_brute_force_optimum(exact_plan, kind, seed, n_stands, n_variables):
    table = small_table(seed, n_stands, n_variables, integers=(kind == "ties"))
    if kind == "empty stand":
        table[2] = []
    designs = list(itertools.product(*[range(len(stand)) for stand in table]))
    sums = {design: plain_sums(table, design) for design in designs}
    rng = random.Random(seed)
    if kind in ("random", "ties"):  # bounds at values that designs reach exactly
        bounds = [(k, rng.choice(["<=", ">="]), sums[rng.choice(designs)][k]) for k in range(1, n_variables)]
    elif kind == "only one design":  # only the unique lowest design in column 1 meets it
        bounds = [(1, "<=", min(v[1] for v in sums.values()))]
    elif kind == "jointly infeasible":  # each bound alone is met, both together are not
        lowest = min(sums.values(), key=lambda v: v[1])
        bounds = [(1, "<=", lowest[1]), (n_variables - 1, ">=", lowest[n_variables - 1] + 0.5)]
    elif kind == "beyond reach":
        bounds = [(n_variables - 1, ">=", 1 + max(v[n_variables - 1] for v in sums.values()))]
    else:  # no design at all
        bounds = [(1, "<=", 0.0)]
    maximise = seed % 2 == 1
    meeting = [v for v in sums.values() if all(within(v[k], op, value) for k, op, value in bounds)]
    if kind == "only one design":
        assert len(meeting) == 1
    if kind in ("jointly infeasible", "beyond reach", "empty stand"):
        assert not meeting

    as_bounds = [exact_plan.Bound(k, op, value, TOLERANCE) for k, op, value in bounds]
    front = trelvik.find_pareto_front(table, 0.01)
    front_values = [s.target_vector for s in front]
    start = exact_plan.best_meeting(front_values, 0, maximise, as_bounds)
    front_meeting = [v[0] for v in front_values if all(within(v[k], op, value) for k, op, value in bounds)]
    assert (start is None) == (not front_meeting)
    if front_meeting:  # the example's start is the best front plan that meets the bounds
        assert front_values[start][0] == (max if maximise else min)(front_meeting)
    for given in (None, start):
        exact = exact_plan.solve_exact(table, 0, maximise, as_bounds,
                                       start=None if given is None else front[given].design_vector)
        if not meeting:
            assert exact.status == exact_plan.NO_PLAN and exact.design is None
            continue
        assert exact.status == exact_plan.OPTIMAL
        values = plain_sums(table, exact.design)
        assert all(within(values[k], op, value) for k, op, value in bounds)
        best = (max if maximise else min)(v[0] for v in meeting)
        assert values[0] == pytest.approx(best, abs=1e-9)
        assert exact.objective == pytest.approx(values[0], abs=1e-6)
        for v in front_meeting:  # no front plan that meets the bounds does better
            assert (v <= values[0] + 1e-9) if maximise else (v >= values[0] - 1e-9)


def rows_of(out):
    rows = {}
    for line in out.splitlines():
        match = re.match(r"(best front plan \(\d+\)|exact plan|gain \(positive: better\))\s{2,}(.*)$", line)
        if match:
            rows[match.group(1).split(" (")[0]] = [number(v) for v in match.group(2).split()]
    return rows


# (arguments, optimised column, +1 where larger is better in it)
@pytest.mark.parametrize("args, column, better", [
    (["--near", "5"], 0, 1),
    (["--near", "5", "--bound", "carbon>=30"], 0, 1),
    (["--minimise", "biodiversity", "--bound", "income>=400"], 2, -1),
])
def test_example_reports_the_plan_it_writes(exact_plan, args, column, better, tmp_path):
    import forest

    out = run_example("exact_plan.py", "--stands", "40", *args, "--write", "plan.csv", cwd=tmp_path)
    assert "exact plan: optimal (relative gap 0)" in out
    with open(tmp_path / "plan.csv", newline="") as f:
        written = list(csv.reader(f))[1:]
    design = [int(row[1]) for row in written]
    assert [int(row[0]) for row in written] == list(range(40))
    table, _ = forest.load(40, 3, 7)
    recomputed = forest.display(forest.totals(table, design))
    rows = rows_of(out)
    assert rows["exact plan"] == pytest.approx(recomputed, abs=0.051)
    for k, value in enumerate(recomputed):
        assert sum(float(row[3 + k]) for row in written) == pytest.approx(value, abs=1e-6)
    if "best front plan" in rows:
        gain = better * (rows["exact plan"][column] - rows["best front plan"][column])
        assert gain >= -0.05 and rows["gain"][column] == pytest.approx(gain, abs=0.11)


def test_time_limit_reports_the_plan_without_claiming_optimality(exact_plan, tmp_path):
    out = run_example("exact_plan.py", "--near", "600", "--time-limit", "0.001", cwd=tmp_path)
    assert "NOT proven optimal" in out and "remaining gap:" in out
    assert "optimal (relative gap 0)" not in out
    rows = rows_of(out)
    assert rows["exact plan"][0] >= rows["best front plan"][0] - 0.05


def test_without_highspy_the_example_says_how_to_install_it(tmp_path):
    out = run_example("exact_plan.py", "--stands", "30", cwd=tmp_path, prelude="sys.modules['highspy'] = None")
    assert re.search(r"front: \d+ plans", out)
    assert 'python -m pip install ".[exact]"' in out
    assert not re.search(r"^exact plan", out, flags=re.M)
