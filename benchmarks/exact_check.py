"""trelvik_plan.solve_exact against brute force on random tables, and its times on the sample table.

Tables of 4 to 7 stands with 2 to 4 options (up to 2,401 designs), values of
0 to 10 or of 0 to 0.01 (small units), one to three bounds drawn from
between-column, per-group and plain forms at values that designs reach.
Then the sample table (examples/data/forest_sample.csv) with and without
an even-flow bound, each solved five times.

    PYTHONPATH=src python benchmarks/exact_check.py
"""

import itertools
import math
import random
import statistics
import sys
from pathlib import Path

from trelvik_plan import Problem, parse_bound, solve_exact

ROOT = Path(__file__).resolve().parent.parent
COLUMNS = ["a", "b", "c", "unit"]


def table(seed, scale):
    rng = random.Random(seed)
    rows = []
    for i in range(rng.randint(4, 7)):  # stands 0 and 1 always in N and S
        unit = "SN"[i] if i < 2 else rng.choice("NS")
        for j in range(rng.randint(2, 4)):
            rows.append({"stand": str(i), "option": str(j), "unit": unit,
                         **{c: rng.uniform(0, 10) * scale for c in "abc"}})
    return Problem.from_rows(rows, stand="stand", option="option", objectives={"a": "max", "b": "min"})


def brute(problem, column, sense, bounds):
    values = problem.column_values(column)
    rows = [b.coefficients(problem) for b in bounds]
    best = None
    for design in itertools.product(*[range(len(o)) for o in problem.options]):
        if all(b.met(math.fsum(r[i][j] for i, j in enumerate(design)), 0.0) for b, r in zip(bounds, rows)):
            v = math.fsum(values[i][j] for i, j in enumerate(design))
            best = v if best is None or (v > best if sense == "max" else v < best) else best
    return best


def main():
    agree, infeasible, cases = 0, 0, 0
    for seed in range(24):
        rng = random.Random(seed)
        problem = table(seed, 0.001 if seed % 3 == 0 else 1.0)
        forms = ["b>={f}*c", "a[unit=N]<={v}", "b + c <= {v}", "c[unit=S] >= {v}"]
        bounds = []
        for form in rng.sample(forms, rng.randint(1, 3)):
            if "{v}" in form:
                rows = parse_bound(form.format(v=0), COLUMNS).coefficients(problem)
                reach = sorted(math.fsum(r[rng.randrange(len(r))] for r in rows) for _ in range(3))[1]
                bounds.append(parse_bound(form.format(v=repr(reach)), COLUMNS))
            else:
                bounds.append(parse_bound(form.format(f=rng.choice([0.8, 1.0, 1.25])), COLUMNS))
        column, sense = rng.choice([("a", "max"), ("b", "min"), ("c", "max")])
        result = solve_exact(problem, column, sense, bounds)
        best = brute(problem, column, sense, bounds)
        ok = (best is None and result.status == "infeasible") or (
            result.status == "optimal" and best is not None and abs(result.value - best) <= 1e-12 * max(1, abs(best)))
        agree += ok
        infeasible += best is None
        cases += 1
        designs = math.prod(len(o) for o in problem.options)
        print(f"table {seed:2d}: {len(problem.stands)} stands, {designs:5d} designs, {len(bounds)} bound(s), "
              f"{column} {sense}: {result.status:10s} {result.value!r:>24} brute force {best!r:>24}  "
              f"{'agree' if ok else 'DIFFER'}")
    print(f"\n{agree} of {cases} agree with brute force ({infeasible} with no plan meeting the bounds)\n")

    sample = Problem.from_csv(ROOT / "examples" / "data" / "forest_sample.csv", stand="stand", option="option",
                              objectives={"income": "max"}, area="area", per_ha=["vol_p1", "vol_p2", "vol_p3"])
    for label, bounds in [("no bound", []), ("vol_p2>=0.95*vol_p1", ["vol_p2>=0.95*vol_p1"]),
                          ("even flow over three periods", ["vol_p2>=0.95*vol_p1", "vol_p3>=0.95*vol_p2"])]:
        runs = [solve_exact(sample, "income", "max", bounds) for _ in range(5)]
        times = [r.seconds for r in runs]
        print(f"sample table, maximise income, {label}: {runs[0].status}, income {runs[0].value!r}, "
              f"solver median {statistics.median(times):.3f} s (min {min(times):.3f}, max {max(times):.3f}), "
              f"warm-start front {runs[0].front_seconds:.3f} s")
    return 0 if agree == cases else 1


if __name__ == "__main__":
    sys.exit(main())
