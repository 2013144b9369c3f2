"""A planner's script with trelvik_plan: what type checkers must accept and reject.

Checked against the installed wheel by .ci/steps/12-types with mypy --strict
--warn-unused-ignores and pyright (strict), like user_script.py: every line
marked "# type: ignore[arg-type]" / "# pyright: ignore[reportArgumentType]"
must be an error of exactly that code, nothing else may be one. Then the
script runs: it builds a small table, computes the front and writes its files.
"""

import csv
import sys
import tempfile
from pathlib import Path
from typing import Dict, List, Mapping, Union

from trelvik_plan import Estimate, Front, MissingDependency, Problem, estimate, read_csv

rows: List[Dict[str, Union[str, float]]] = [
    {"stand": f"{i:04d}", "option": name, "income": income * (1 + i % 3), "habitat": habitat + i % 2}
    for i in range(12)
    for name, income, habitat in (("keep", 0.0, 1.0), ("thin", 2.0, 1.5), ("cut", 5.0, 4.0))
]
directions: Mapping[str, str] = {"income": "max", "habitat": "min"}
problem: Problem = Problem.from_rows(rows, stand="stand", option="option", objectives=directions)
front: Front = problem.front(0.05)
plans: int = len(front)
first: Dict[str, str] = front.plan(0)
best: int = front.best("income")
balanced: int = front.balanced()
alone: Dict[str, float] = front.best_alone()
totals: List[float] = list(front.totals[best])
records = front.records()
plan_ids: List[int] = [int(r["plan"]) for r in records]
guesses: List[Estimate] = estimate(problem, [0.3, 0.1], sample=0.5, seed=1)
predicted: int = guesses[0].plans

with tempfile.TemporaryDirectory() as folder:
    table = Path(folder) / "table.csv"
    with open(table, "w", newline="") as out:
        writer = csv.DictWriter(out, ["stand", "option", "income", "habitat"])
        writer.writeheader()
        writer.writerows(rows)
    again = read_csv(table, stand="stand", option="option", objectives=directions).front(0.05)
    assert again.designs == front.designs
    front.write_totals(Path(folder) / "front.csv")
    front.write_designs(str(Path(folder) / "designs.csv"))
    front.write_plan(balanced, Path(folder) / "plan.csv")
    try:
        front.plot(Path(folder) / "front.png", units={"income": "k EUR"})
    except MissingDependency as error:
        print(error, file=sys.stderr)

# Rejected: an epsilon as text, a plan label where a plan number belongs.
try:
    problem.front("0.1")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
except (TypeError, ValueError):
    pass
try:
    front.plan("0001")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
except TypeError:
    pass

assert plans > 1 and first["0000"] in ("keep", "thin", "cut") and predicted >= 1
assert plan_ids == list(range(plans)) and totals[0] == alone["income"]
print(f"plan_script: {plans} plans, balanced plan {balanced}")
