"""Bounds and exact plans of trelvik_plan against every design of small tables, and `trelvik-plan exact`."""

import csv
import itertools
import json
import math
import random
import re
import subprocess
import sys
from pathlib import Path

import pytest

from trelvik_plan import Problem, parse_bound, solve_exact

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "examples" / "data" / "forest_sample.csv"
COLUMNS = ["a", "b", "vol p1", "vol p2", "habitat [ha]", "unit"]


def grouped_table(seed, n_stands=4, scale=1.0):
    """Rows with numeric columns a, b, 'vol p1', 'vol p2', 'habitat [ha]' and a group column unit."""
    rng = random.Random(seed)
    rows = []
    for i in range(n_stands):
        unit = rng.choice(["North", "South"])
        for j in range(rng.randint(2, 3)):
            rows.append({"stand": f"{i:02d}", "option": f"o{j}", "unit": unit,
                         **{c: round(rng.uniform(0, 10), 3) * scale for c in COLUMNS[:5]}})
    return rows


def problem_of(rows):
    return Problem.from_rows(rows, stand="stand", option="option", objectives={"a": "max", "b": "min"})


def brute_force(problem, column, sense, bounds, slack=1e-9):
    """The best total of `column` over every design that meets the bounds (None if none does)."""
    values = problem.column_values(column)
    rows = [b.coefficients(problem) for b in bounds]
    best = None
    for design in itertools.product(*[range(len(o)) for o in problem.options]):
        if all(b.met(math.fsum(r[i][j] for i, j in enumerate(design)), slack * (1 + abs(b.constant)))
               for b, r in zip(bounds, rows)):
            total = math.fsum(values[i][j] for i, j in enumerate(design))
            if best is None or (total > best if sense == "max" else total < best):
                best = total
    return best


@pytest.mark.parametrize("text, expected", [
    ("a>=5", "a >= 5"),
    ("vol p2>=0.95*vol p1", "vol p2 - 0.95*vol p1 >= 0"),
    ("habitat [ha][unit=North]<=40", "habitat [ha][unit=North] <= 40"),
    ("habitat [ha] [unit = South] + 2*a <= 1,000,000.5", "habitat [ha][unit=South] + 2*a <= 1000000.5"),
    ("a - 3 >= b - 2*b - 1e3", "a + b >= -997"),
    ("2*a <= a + .5", "a <= 0.5"),
])
def test_bounds_parse_and_echo(text, expected):
    assert str(parse_bound(text, COLUMNS)) == expected


@pytest.mark.parametrize("text, message", [
    ("a>=1,5", "a comma is read only as a thousands separator"),
    ("a>=1,00", "a comma is read only as a thousands separator"),
    ("c>=1", "no column or number at 'c'; the columns are: 'a'"),
    ("a=1", "write it as EXPR>=VALUE or EXPR<=VALUE"),
    ("a>=", "nothing after >="),
    ("a[region=North]>=1", "unknown group column 'region'"),
    ("a b>=1", "expected + or -"),
    ("a - a >= 1", "names no column"),
])
def test_bad_bounds_are_refused(text, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        parse_bound(text, COLUMNS)


def test_group_value_that_no_row_has_is_refused():
    bound = parse_bound("a[unit=Nrth]<=1", COLUMNS)
    with pytest.raises(ValueError, match=r"no row has 'Nrth' in column 'unit' \(its values: 'North', 'South'\)"):
        bound.coefficients(problem_of(grouped_table(1)))


# Bounds between columns, per group, on a column that is no objective; at values a design reaches.
@pytest.mark.parametrize("seed", range(8))
def test_exact_plan_is_the_brute_force_optimum(seed):
    pytest.importorskip("highspy")
    problem = problem_of(grouped_table(seed, n_stands=5))
    rng = random.Random(seed)
    templates = ["vol p2>={f}*vol p1", "habitat [ha][unit=North]<={v}", "a + b >= {v}", "vol p1[unit=South] <= {v}"]
    bounds = []
    for template in rng.sample(templates, 2):
        bound = parse_bound(template.format(f=rng.choice([0.8, 1.0, 1.2]), v=0), COLUMNS)
        rows = bound.coefficients(problem)
        reached = [math.fsum(r[rng.randrange(len(r))] for r in rows) for _ in range(3)]
        value = sorted(reached)[1] + (bound.constant if "v}" not in template else 0)
        bounds.append(parse_bound(template.format(f=rng.choice([0.8, 1.0, 1.2]), v=repr(value)), COLUMNS)
                      if "{v}" in template else bound)
    column, sense = rng.choice([("a", "max"), ("b", "min"), ("vol p2", "max")])
    result = solve_exact(problem, column, sense, bounds)
    best = brute_force(problem, column, sense, bounds)
    if best is None:
        assert result.status == "infeasible" and result.design is None
    else:
        assert result.status == "optimal"
        assert result.value == pytest.approx(best, abs=1e-9)
        for bound, total, tol in zip(bounds, result.bound_totals, result.tolerances):
            assert bound.met(total, tol)


def test_small_units_do_not_let_the_solver_break_a_bound():
    """HiGHS accepts row violations up to 1e-6; a bound of 5e-8 must still hold."""
    pytest.importorskip("highspy")
    table = [[[0, 0], [-1e-3, 5e-8]], [[0, 0], [0, 0]]]
    rows = [{"stand": str(i), "option": str(j), "a": v[0], "b": v[1]}
            for i, stand in enumerate(table) for j, v in enumerate(stand)]
    result = solve_exact(problem_of(rows), "a", "min", ["b<=0"])
    assert result.status == "optimal" and result.design == [0, 0] and result.value == 0.0
    rng = random.Random(4)
    for seed in range(25):  # values of 0 to 0.1: the optimum as brute force finds it
        problem = problem_of(grouped_table(100 + seed, n_stands=4, scale=0.01))
        low, high = parse_bound("b <= 0", COLUMNS), None
        values = low.coefficients(problem)
        low, high = sum(min(s) for s in values), sum(max(s) for s in values)
        bound = parse_bound(f"b <= {low + rng.uniform(-0.1, 0.9) * (high - low)!r}", COLUMNS)
        result = solve_exact(problem, "a", "max", [bound])
        best = brute_force(problem, "a", "max", [bound], slack=0.0)
        if best is None:
            assert result.status == "infeasible", seed
        else:
            assert result.status == "optimal" and result.value == pytest.approx(best, rel=1e-12), seed


def plan_command(*args, cwd):
    return subprocess.run([sys.executable, "-m", "trelvik_plan", "exact", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


TABLE = [str(SAMPLE), "--stand", "stand", "--option", "option", "--area", "area", "--per-ha", "vol_p1", "vol_p2"]


def test_exact_command_writes_the_plan_in_stand_order(tmp_path):
    pytest.importorskip("highspy")
    done = plan_command(*TABLE, "--max", "carbon", "--min", "biodiversity", "--maximize", "income",
                        "--bound", "vol_p2>=0.95*vol_p1", "--bound", "carbon >= 30,000", "--keep", "treatment",
                        "block", "--out", "plan.csv", "--report", "run.json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[0] == "status: optimal"
    assert "bound 1: vol_p2 - 0.95*vol_p1 >= 0" in done.stdout and "bound 2: carbon >= 30000" in done.stdout
    plan = list(csv.reader(open(tmp_path / "plan.csv", newline="", encoding="utf-8")))
    assert plan[0] == ["stand", "option", "income", "carbon", "biodiversity", "treatment", "block"]
    table = list(csv.DictReader(open(SAMPLE, newline="", encoding="utf-8")))
    assert [row[0] for row in plan[1:]] == list(dict.fromkeys(r["stand"] for r in table))
    by_key = {(r["stand"], r["option"]): r for r in table}
    chosen = [by_key[(row[0], row[1])] for row in plan[1:]]
    assert [row[5:] for row in plan[1:]] == [[r["treatment"], r["block"]] for r in chosen]
    volume = [math.fsum(float(r[c]) * float(r["area"]) for r in chosen) for c in ("vol_p1", "vol_p2")]
    assert volume[1] >= 0.95 * volume[0] - 1e-6
    assert math.fsum(float(r["carbon"]) for r in chosen) >= 30000
    report = json.loads((tmp_path / "run.json").read_text())
    assert report["status"] == "optimal" and report["value"] == math.fsum(float(r["income"]) for r in chosen)


@pytest.mark.parametrize("args, first_line", [
    (["--bound", "biodiversity[block=North]<=20"], "status: no plan meets the bounds"),
])
def test_no_plan_exits_1_and_leaves_no_file(tmp_path, args, first_line):
    pytest.importorskip("highspy")
    (tmp_path / "plan.csv").write_text("an earlier plan\n")
    done = plan_command(*TABLE, "--maximise", "income", *args, "--out", "plan.csv", cwd=tmp_path)
    assert done.returncode == 1 and done.stdout.splitlines()[0] == first_line
    assert "each plan reaches 22.054 to 47.876" in done.stdout
    assert not (tmp_path / "plan.csv").exists()


def test_time_limit_is_never_called_optimal(tmp_path):
    pytest.importorskip("highspy")
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        import forest
    finally:
        sys.path.remove(str(ROOT / "examples"))
    forest.write_csv(str(tmp_path / "big.csv"), 300, 7)
    args = [tmp_path / "big.csv", "--stand", "stand", "--option", "option", "--maximise", "income",
            "--bound", "carbon>=160000", "--bound", "biodiversity<=900", "--time-limit", "0.001"]
    done = plan_command(*args, "--out", "plan.csv", cwd=tmp_path)
    first = done.stdout.splitlines()[0]
    assert first.startswith("status: time limit"), done.stdout
    assert done.returncode == (0 if "gap" in first else 1)
    strict = plan_command(*args, "--require-optimal", "--out", "plan.csv", cwd=tmp_path)
    assert strict.returncode == 1 and not (tmp_path / "plan.csv").exists()


@pytest.mark.parametrize("args, message", [
    (["--maximise", "income", "--bound", "income>=1,5"], "a comma is read only as a thousands separator"),
    (["--maximise", "income", "--minimise", "carbon"], "not allowed with argument"),
    (["--maximise", "income", "--keep", "colour"], "--keep colour: unknown column"),
    (["--maximise", "income", "--max-bound", "x"], "unrecognized arguments: --max-bound"),
])
def test_exact_bad_usage_exits_2(tmp_path, args, message):
    pytest.importorskip("highspy")
    done = plan_command(*TABLE, *args, "--out", "plan.csv", cwd=tmp_path)
    assert done.returncode == 2 and done.stderr.count("\n") == 1 and message in done.stderr
    assert not (tmp_path / "plan.csv").exists()


def test_empty_first_stand_and_missing_highspy_exit_2(tmp_path):
    (tmp_path / "t.csv").write_text("stand,option,income\n0001,,\n0002,keep,1\n0002,cut,2\n0003,keep,0\n")
    done = plan_command(tmp_path / "t.csv", "--stand", "stand", "--option", "option", "--maximise", "income",
                        "--out", "plan.csv", cwd=tmp_path)
    if "highspy is not installed" not in done.stderr:
        assert "stand '0001' has no options" in done.stderr
    assert done.returncode == 2 and "Traceback" not in done.stderr
    hidden = subprocess.run([sys.executable, "-c", "import sys; sys.modules['highspy'] = None; "
                             "from trelvik_plan._cli import main; sys.exit(main(sys.argv[1:]))", "exact", *TABLE,
                             "--maximise", "income", "--out", "plan.csv"], cwd=tmp_path, capture_output=True,
                            text=True, timeout=300)
    assert hidden.returncode == 2
    assert 'highspy is not installed: python -m pip install "trelvik[exact]"' in hidden.stderr


# HiGHS 1.16, given a start plan, presolved this model to a wrong "optimal": it returned the start
# (or the front's plan) with an objective of 0 that was not the plan's own.
START_TRAP = """00 o0 E 1 5.059 1.955|00 o1 E 3 2 1|00 o2 S 7.088 7.578 2|00 o3 E -0.108 3.308 3|01 o0 S 2.276 1.261 3.408
01 o1 N 2 5 7.2|01 o2 E 5.555 0 9.9|01 o3 E 2 4 4|02 o0 E 5 4 3.238|03 o0 E 1.151 7.467 8.459|03 o1 E 6.549 0 4
03 o2 S 4 0 1|03 o3 E 7.696 0.996 5|04 o0 S 9.659 3 6.303|04 o1 N 5.898 -0.226 3|05 o0 S 3 -0.116 8.392
05 o1 S 0 2 1.269|05 o2 E 0 4 4"""


@pytest.mark.parametrize("start", [None, [0] * 6, [2, 2, 0, 3, 0, 1]])
def test_a_start_plan_cannot_make_the_solver_stop_short(start):
    pytest.importorskip("highspy")
    rows = [dict(zip(["stand", "option", "unit", "a", "b", "vol"], cells[:3] + [float(c) for c in cells[3:]]))
            for cells in (row.split() for row in START_TRAP.replace("\n", "|").split("|"))]
    problem = Problem.from_rows(rows, stand="stand", option="option", objectives={"a": "max"})
    bound = parse_bound("b[unit=N] - vol >= -31.94", ["a", "b", "vol", "unit"])
    assert brute_force(problem, "a", "max", [bound], slack=0.0) == pytest.approx(34.998, abs=1e-9)
    result = solve_exact(problem, "a", "max", [bound], start=start)
    assert result.status == "optimal" and result.design == [2, 2, 0, 3, 0, 1]
    assert result.value == pytest.approx(34.998, abs=1e-9)


def test_a_solver_without_a_sound_answer_writes_nothing(tmp_path, monkeypatch, capsys):
    from trelvik_plan import _cli, _exact

    def fail(*args, **kwargs):
        raise _exact.SolverError("HiGHS gave no answer that agrees with itself")

    monkeypatch.setattr(_exact, "solve_exact", fail)
    monkeypatch.setattr(_cli, "require", lambda name: None)
    (tmp_path / "plan.csv").write_text("an earlier plan\n")
    status = _cli.main(["exact", *TABLE, "--maximise", "income", "--out", str(tmp_path / "plan.csv")])
    out, err = capsys.readouterr()
    assert status == 1 and out.splitlines()[0] == "status: solver failed"
    assert err.count("\n") == 1 and "agrees with itself" in err and not (tmp_path / "plan.csv").exists()


def test_keep_columns_already_in_the_plan_are_written_once(tmp_path):
    pytest.importorskip("highspy")
    done = plan_command(*TABLE, "--maximise", "income", "--keep", "income", "stand", "block", "block",
                        "--out", "plan.csv", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    with open(tmp_path / "plan.csv", newline="", encoding="utf-8") as handle:
        assert next(csv.reader(handle)) == ["stand", "option", "income", "block"]
