"""Plans from a planner's table: Pareto fronts in the table's units, random designs, exact plans.

A pure-Python layer over trelvik for a long table with one row per stand and
option and a column per objective, each to maximise or minimise::

    from trelvik_plan import Problem

    problem = Problem.from_csv("stands.csv", stand="stand", option="option",
                               objectives={"income": "max", "habitat": "min"})
    front = problem.front(0.1)
    front.write_totals("front.csv")
    print(front.plan(front.balanced()))
"""

from __future__ import annotations

from ._bounds import Bound, Term, parse_bound
from ._estimate import Estimate, Progress, estimate
from ._exact import ExactPlan, SolverError, solve_exact
from ._files import MissingDependency
from ._front import Front, find_front
from ._problem import Problem, read_csv

__all__ = [
    "Bound",
    "Estimate",
    "ExactPlan",
    "Front",
    "MissingDependency",
    "Problem",
    "Progress",
    "SolverError",
    "estimate",
    "find_front",
    "parse_bound",
    "read_csv",
    "solve_exact",
    "Term",
]
