"""trelvik_plan's problems and fronts against every design of small tables."""

import io
import itertools
import math
import pickle
import random
from pathlib import Path

import pytest

import trelvik
from trelvik_plan import Problem, estimate

ROOT = Path(__file__).resolve().parents[2]


def rows_of(table, directions, stand_labels=None):
    labels = stand_labels or [f"{i:03d}" for i in range(len(table))]
    return [{"stand": labels[i], "option": f"opt {j}", **{f"v{k}": v for k, v in enumerate(option)}}
            for i, stand in enumerate(table) for j, option in enumerate(stand)]


def problem_of(table, directions, **kwargs):
    return Problem.from_rows(rows_of(table, directions), stand="stand", option="option",
                             objectives={f"v{k}": d for k, d in enumerate(directions)}, **kwargs)


def random_table(seed, n_stands, n_options, n_objectives, offset=0.0):
    rng = random.Random(seed)
    return [[[offset * (i + 1) + rng.uniform(-5, 5) for _ in range(n_objectives)]
             for _ in range(rng.randint(1 + (i < 2), n_options))] for i in range(n_stands)]


def pareto_totals(table, directions):
    """Every design's totals, and the set of those that no other design dominates (in the directions)."""
    signs = [-1.0 if d == "max" else 1.0 for d in directions]
    designs = list(itertools.product(*[range(len(s)) for s in table]))
    totals = {d: tuple(math.fsum(table[i][j][k] for i, j in enumerate(d)) for k in range(len(directions)))
              for d in designs}
    loss = {d: [s * v for s, v in zip(signs, t)] for d, t in totals.items()}

    def dominated(a):
        return any(all(y <= x + 1e-9 for x, y in zip(loss[a], loss[b])) and
                   any(y < x - 1e-9 for x, y in zip(loss[a], loss[b])) for b in designs)

    return totals, {tuple(round(v, 6) for v in totals[d]) for d in designs if not dominated(d)}


# Directions of 2 and 3 objectives; offsets far from zero, where raw negation goes wrong.
@pytest.mark.parametrize("seed, directions, offset", [
    (1, ["max", "min"], 0.0), (2, ["min", "max"], 1000.0), (3, ["max", "max", "min"], 0.0),
    (4, ["min", "max", "max"], -500.0), (5, ["max", "min", "max"], 1e6),
])
def test_front_is_the_brute_force_front_in_table_units(seed, directions, offset):
    table = random_table(seed, 5, 4, len(directions), offset)
    problem = problem_of(table, directions)
    front = problem.front(1e-7)
    totals, pareto = pareto_totals(table, directions)
    assert {tuple(round(v, 6) for v in t) for t in front.totals} == pareto
    for design, values in zip(front.designs, front.totals):
        assert values == totals[design]  # summed exactly from the table, in its signs
    for k, (name, direction) in enumerate(zip(problem.objectives, directions)):
        best = (max if direction == "max" else min)(t[k] for t in totals.values())
        assert front.totals[front.best(name)][k] == best == problem.best_alone()[name]


def test_raw_negation_is_a_trap_that_the_package_avoids():
    """Values far from zero: negating them for a direct call leaves the front far from the best income."""
    rng = random.Random(5)
    table = [[[1000.0 + rng.uniform(0, 30) * (j + 1), rng.uniform(0, 10) - 3 * j] for j in range(4)]
             for _ in range(200)]
    raw = trelvik.find_pareto_front([[[-a, b] for a, b in stand] for stand in table], 0.01)
    problem = problem_of(table, ["max", "min"])
    front = problem.front(0.01)
    best = problem.best_alone()["v0"]
    raw_best = max(math.fsum(table[i][j][0] for i, j in enumerate(s.design_vector)) for s in raw)
    assert best - raw_best > 100 * (best - front.totals[front.best("v0")][0])
    assert len(front) > 5 * len(raw)


@pytest.mark.parametrize("change", ["unit 1000", "unit 1/1024", "stand offset", "direction flip"])
def test_front_does_not_depend_on_units_offsets_or_how_a_direction_is_written(change):
    table = random_table(11, 30, 5, 3)
    directions = ["max", "min", "min"]
    changed, changed_directions = [], list(directions)
    for i, stand in enumerate(table):
        options = []
        for option in stand:
            a, b, c = option
            if change == "unit 1000":
                a *= 1000
            elif change == "unit 1/1024":
                b /= 1024
            elif change == "stand offset":
                a, c = a + 1e4 * (i % 3), c - 50.0 * i
            else:
                c = -c
            options.append([a, b, c])
        changed.append(options)
    if change == "direction flip":
        changed_directions[2] = "max"
    for epsilon in (0.3, 0.05):
        before = problem_of(table, directions).front(epsilon)
        after = problem_of(changed, changed_directions).front(epsilon)
        assert after.designs == before.designs and len(before) > 3


@pytest.mark.parametrize("column, factor", [("carbon", 1000), ("income", "0.001"), ("biodiversity", "3.7")])
def test_unit_change_in_the_csv_text_gives_the_same_front(tmp_path, column, factor):
    """The sample's decimal values tie often; a unit change alters their last bits, never the front."""
    import csv
    from decimal import Decimal

    sample = ROOT / "examples" / "data" / "forest_sample.csv"
    rows = list(csv.DictReader(open(sample, newline="", encoding="utf-8")))
    for row in rows:
        row[column] = str(Decimal(row[column]) * Decimal(factor))
    objectives = {"income": "max", "carbon": "max", "biodiversity": "min"}
    before = Problem.from_csv(sample, stand="stand", option="option", objectives=objectives)
    after = Problem.from_rows(rows, stand="stand", option="option", objectives=objectives)
    for epsilon in (0.05, 0.03):
        assert after.front(epsilon).designs == before.front(epsilon).designs


@pytest.mark.parametrize("epsilon", [1e-16, 1e-300, float("nan"), 0.0, True])
def test_an_epsilon_that_would_collapse_the_front_is_refused(epsilon):
    problem = problem_of(random_table(2, 4, 3, 2), ["max", "min"])
    with pytest.raises(ValueError, match="epsilon"):
        problem.front(epsilon)
    with pytest.raises(ValueError, match="epsilon"):
        estimate(problem, [0.1, epsilon])


def test_labels_plans_and_files(tmp_path):
    table = random_table(3, 4, 3, 2)
    labels = ["0102", "A 7", "x,y", "0102 "]
    problem = Problem.from_rows(rows_of(table, ["max", "min"], labels), stand="stand", option="option",
                                objectives={"v0": "max", "v1": "min"})
    assert problem.stands == tuple(labels)
    front = problem.front(0.01)
    for p, design in enumerate(front.designs):
        assert front.plan(p) == {labels[i]: f"opt {j}" for i, j in enumerate(design)}
        assert problem.design_of(front.plan(p)) == list(design)
    assert [r["plan"] for r in front.records()] == list(range(len(front)))
    front.write_totals(tmp_path / "front.csv")
    front.write_designs(tmp_path / "designs.csv")
    front.write_plan(0, tmp_path / "plan.csv")
    import csv

    written = list(csv.reader(open(tmp_path / "front.csv", newline="")))
    assert written[0] == ["plan", "v0", "v1"]
    assert [tuple(float(x) for x in row[1:]) for row in written[1:]] == list(front.totals)
    designs = list(csv.reader(open(tmp_path / "designs.csv", newline="")))
    assert designs[0] == ["plan", "stand", "option"] and len(designs) == 1 + len(front) * 4
    assert {row[1] for row in designs[1:]} == set(labels)
    plan = list(csv.reader(open(tmp_path / "plan.csv", newline="")))
    assert [row[:2] for row in plan[1:]] == [[s, o] for s, o in front.plan(0).items()]
    with pytest.raises(IndexError, match="not on the front"):
        front.plan(len(front))


def test_front_pickles_and_crosses_a_process_pool():
    from concurrent.futures import ProcessPoolExecutor

    problem = problem_of(random_table(8, 6, 3, 2), ["max", "min"])
    front = problem.front(0.05)
    again = pickle.loads(pickle.dumps(front))
    assert again.designs == front.designs and again.totals == front.totals
    assert again.plan(0) == front.plan(0)
    with ProcessPoolExecutor(1) as pool:
        remote = pool.submit(problem.front, 0.05).result()
    assert remote.designs == front.designs


def test_area_weighting_and_dataframe_agree_with_rows():
    rows = [{"stand": s, "option": o, "area": a, "income": inc, "habitat": h}
            for s, a in (("a", 2.0), ("b", 0.5), ("c", 4.0))
            for o, inc, h in (("keep", 0.0, 1.0), ("cut", 3.0, 4.0), ("thin", 1.0, 2.0))]
    weighted = Problem.from_rows(rows, stand="stand", option="option",
                                 objectives={"income": "max", "habitat": "min"}, area="area", per_ha=["income"])
    assert weighted.values[1][1] == (1.5, 4.0)  # income per ha times 0.5 ha, habitat as given
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame(rows)
    same = Problem.from_dataframe(frame, stand="stand", option="option",
                                  objectives={"income": "max", "habitat": "min"}, area="area", per_ha=["income"])
    assert same.values == weighted.values and same.stands == weighted.stands
    front = same.front(0.01)
    assert list(front.to_dataframe().columns) == ["income", "habitat"] and len(front.to_dataframe()) == len(front)


CSV = "stand,option,income,habitat\n0102,keep,0,1.5\n0102,cut,3.25,4\n0007,keep,1,2\n0007,\"thin, light\",2,2.5\n"


@pytest.mark.parametrize("dialect", ["plain", "bom", "semicolon", "decimal comma", "crlf", "tab given"])
def test_csv_dialects_read_the_same_table(tmp_path, dialect):
    text, kwargs = CSV, {}
    if dialect == "bom":
        text = "\ufeff" + text
    elif dialect == "semicolon":
        text = text.replace(",", ";").replace("thin; light", "thin, light")
    elif dialect == "decimal comma":
        text = text.replace(",", ";").replace("thin; light", "thin, light").replace("3.25", "3,25")
        text = text.replace("1.5", "1,5").replace("2.5", "2,5")
        kwargs["decimal"] = ","
    elif dialect == "crlf":
        text = text.replace("\n", "\r\n")
    elif dialect == "tab given":
        text = text.replace(",", "\t").replace("thin\t light", "thin, light")
        kwargs["delimiter"] = "\t"
    path = tmp_path / "t.csv"
    path.write_bytes(text.encode("utf-8"))
    problem = Problem.from_csv(path, stand="stand", option="option",
                               objectives={"income": "max", "habitat": "min"}, **kwargs)
    assert problem.stands == ("0102", "0007")
    assert problem.options == (("keep", "cut"), ("keep", "thin, light"))
    assert problem.values == (((0.0, 1.5), (3.25, 4.0)), ((1.0, 2.0), (2.0, 2.5)))


GOOD = [("A", "x", "1", "2"), ("A", "y", "3", "1"), ("B", "x", "0", "0"), ("B", "y", "2", "5")]


@pytest.mark.parametrize("change, message", [
    ({3: ("B", "y", "", "5")}, r"stand 'B', option 'y' \(line 5\): column 'income': missing value"),
    ({3: ("B", "y", "1e3x", "5")}, r"stand 'B', option 'y' \(line 5\): column 'income': '1e3x' is not a number"),
    ({1: ("A", "y", "3", "nan")}, r"stand 'A', option 'y' \(line 3\): column 'habitat': 'nan' is not a finite"),
    ({1: ("A", "y", "-inf", "1")}, r"stand 'A', option 'y' \(line 3\): column 'income': '-inf' is not a finite"),
    ({1: ("A", "x", "3", "1")}, r"stand 'A', option 'x' appears twice \(line 2 and line 3\)"),
    ({2: ("B", "", "", ""), 3: ("C", "x", "1", "1")}, r"stand 'B' has no options"),
    ({2: ("A", "z", "0", "0"), 3: ("A", "w", "2", "5")}, r"the table has 1 stand \('A'\); a plan needs at least two"),
    ({0: ("A", "x", "1e308", "2"), 2: ("B", "x", "1e308", "0")},
     r"stand 'A', option 'x' \(line 2\): column 'income': 1e\+308 is too large"),
    ({1: ("A", "y", "3", "-1.7e308")}, r"stand 'A', option 'y' \(line 3\): column 'habitat': -1.7e\+308 is too large"),
])
def test_bad_tables_are_refused_with_the_place_named(tmp_path, change, message):
    rows = [change.get(i, row) for i, row in enumerate(GOOD)]
    path = tmp_path / "t.csv"
    path.write_text("stand,option,income,habitat\n" + "".join(",".join(r) + "\n" for r in rows))
    with pytest.raises(ValueError, match=message):
        Problem.from_csv(path, stand="stand", option="option", objectives={"income": "max", "habitat": "min"})


@pytest.mark.parametrize("kwargs, message", [
    (dict(objectives={"incme": "max"}), r"unknown column 'incme'; the table's columns are: 'stand', 'option', 'income'"),
    (dict(objectives={"income": "up"}), r"direction 'up' is neither 'max' nor 'min'"),
    (dict(objectives={"income": "max"}, per_ha=["income"]), "per-hectare columns need an area column"),
    (dict(objectives={}), "no objectives"),
    (dict(objectives={"income": "max"}, option="stand"), "column 'stand' cannot name both the stand and the option"),
    (dict(objectives={"income": "max"}, area="income", per_ha=["income"]), "'income' is the area; it cannot also"),
])
def test_bad_arguments_are_refused(kwargs, message):
    rows = [dict(zip(["stand", "option", "income"], r[:3])) for r in GOOD]
    with pytest.raises(ValueError, match=message):
        Problem.from_rows(rows, **{"stand": "stand", "option": "option", **kwargs})


def test_estimate_reports_the_sample_and_scales_up():
    problem = problem_of(random_table(4, 60, 5, 2), ["max", "min"])
    results = estimate(problem, [0.1, 0.01], sample=0.5, seed=3)
    assert [r.epsilon for r in results] == [0.1, 0.01]
    assert all(r.sample_stands == 30 for r in results)
    sample_sizes = [r.sample_plans for r in results]
    assert sample_sizes[0] < sample_sizes[1]
    assert all(r.plans > r.sample_plans and r.seconds > r.sample_seconds for r in results)
    assert [r.sample_plans for r in estimate(problem, [0.1, 0.01], sample=0.5, seed=3)] == sample_sizes
    out = io.StringIO()
    out.isatty = lambda: True  # a terminal: the progress line is drawn and cleared
    from trelvik_plan import Progress

    estimate(problem, [0.1], sample=0.1, progress=Progress(out))
    assert "epsilon 0.1 (1 of 1) on 20 of 60 stands" in out.getvalue() and out.getvalue().endswith("\r")
