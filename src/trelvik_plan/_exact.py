"""The best plan for one column at chosen bounds, solved exactly as a mixed-integer program (HiGHS).

One binary per stand and option, one row per stand that picks exactly one
option, one row per bound. Every row and the objective use each stand's
values minus the stand's smallest one and are divided by their spread, so
that HiGHS's absolute tolerances mean the same on every table whatever its
units. After a solve, the plan's bounded sums are recomputed from the table
with math.fsum; a bound missed by more than its tolerance (see
_bounds.RELATIVE_TOLERANCE) is tightened by the miss and the model solved
again, a few times; a plan that still misses is never reported optimal.
"""

from __future__ import annotations

import math
import os
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import trelvik

from ._bounds import RELATIVE_TOLERANCE, Bound, parse_bound, tolerance
from ._files import require
from ._problem import Problem, check_epsilon

__all__ = ["ExactPlan", "SolverError", "solve_exact", "RELATIVE_TOLERANCE", "OPTIMAL", "TIME_LIMIT", "INFEASIBLE", "NOT_FOUND", "MISSED",
           "WARM_START_EPSILON"]

OPTIMAL = "optimal"
TIME_LIMIT = "time limit"  # a plan, not proven optimal
INFEASIBLE = "infeasible"  # proven: no plan meets the bounds
NOT_FOUND = "not found"  # the time limit came before any plan
MISSED = "bound missed"  # the solver's plan misses a bound even after tightening

# The front whose best plan that meets the bounds starts the solver: coarse,
# so that it takes well under a second on tables of a few hundred stands.
WARM_START_EPSILON = 0.3
# The front is built over the optimised column and at most this many bounds.
WARM_START_BOUNDS = 3
# How often a missed bound is tightened and the model solved again.
RESOLVES = 4
# HiGHS's feasibility tolerances on the scaled rows (its default is 1e-6).
FEASIBILITY = 1e-9


@dataclass
class ExactPlan:
    """An exact solve's result, in the table's units and directions.

    ``status``: OPTIMAL, TIME_LIMIT (``gap`` tells how far the optimum may
    lie, relative to the plan's value), INFEASIBLE, NOT_FOUND or MISSED.
    ``design`` and ``plan`` are None without a plan.
    """

    status: str
    column: str
    sense: str  # "max" or "min"
    bounds: Tuple[Bound, ...]
    design: Optional[List[int]] = None
    plan: Optional[Dict[str, str]] = None
    value: Optional[float] = None  # the column's total, summed exactly
    best_bound: Optional[float] = None  # the best value the solver has not ruled out
    gap: Optional[float] = None  # relative: |value - best_bound| / |value|
    bound_totals: Tuple[float, ...] = ()  # each bound's sum for the plan
    tolerances: Tuple[float, ...] = ()  # how far beyond each bound a sum may lie
    ranges: Tuple[Tuple[float, float], ...] = ()  # what each bound's sum can reach, each alone
    tightened: Tuple[float, ...] = ()  # how much each bound was tightened to hold
    seconds: float = 0.0  # inside the solver, over every solve
    solves: int = 0
    start: Optional[int] = None  # the warm-start front plan, if one met the bounds
    front_plans: int = 0
    front_seconds: float = 0.0
    solver: str = ""
    totals: Dict[str, float] = field(default_factory=lambda: {})  # the problem's objectives for the plan

    @property
    def found(self) -> bool:
        return self.design is not None


def _quiet_highs(highspy: Any) -> Any:
    """A HiGHS instance that prints nothing (its banner, on the first instance, goes to the null device)."""
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        solver = highspy.Highs()
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)
    solver.setOptionValue("output_flag", False)
    return solver


def _shifted(rows: Sequence[Sequence[float]]) -> Tuple[List[List[float]], float, float]:
    """Each stand's values minus its smallest, divided by the mean spread; the offset and the scale."""
    low = [min(stand) for stand in rows]
    spread = math.fsum(max(stand) - lo for stand, lo in zip(rows, low)) / len(rows)
    scale = spread if spread > 0 and math.isfinite(spread) else 1.0
    return [[(v - lo) / scale for v in stand] for stand, lo in zip(rows, low)], math.fsum(low), scale


def _warm_start(problem: Problem, objective: Sequence[Sequence[float]], sense: str,
                rows: Sequence[Sequence[Sequence[float]]], bounds: Sequence[Bound], tolerances: Sequence[float],
                epsilon: float) -> Tuple[Optional[List[int]], int, float, int]:
    """The best plan of a coarse front (the column and the bounds as objectives) that meets every bound."""
    variables = [(objective, sense)] + [(r, "max" if b.op == ">=" else "min")
                                       for r, b in list(zip(rows, bounds))[:WARM_START_BOUNDS]]
    table: List[List[List[float]]] = [[[] for _ in options] for options in problem.options]
    for values, direction in variables:
        sign = -1.0 if direction == "max" else 1.0
        shifted, _, _ = _shifted([[sign * v for v in stand] for stand in values])
        for i, stand in enumerate(shifted):
            for j, v in enumerate(stand):
                table[i][j].append(v)
    began = time.perf_counter()
    front = trelvik.find_pareto_front(table, epsilon)
    seconds = time.perf_counter() - began
    best: Optional[List[int]] = None
    best_value = -math.inf
    best_index = -1
    sign = 1.0 if sense == "max" else -1.0
    for index, solution in enumerate(front):
        design = solution.design_vector
        if all(b.met(math.fsum(r[i][j] for i, j in enumerate(design)), t)
               for r, b, t in zip(rows, bounds, tolerances)):
            value = sign * math.fsum(objective[i][j] for i, j in enumerate(design))
            if value > best_value:
                best, best_value, best_index = design, value, index
    return best, len(front), seconds, best_index


class SolverError(RuntimeError):
    """HiGHS stopped without an answer that can be trusted: no plan is reported."""


def _design_of(x: Sequence[float], options: Sequence[Sequence[str]]) -> List[int]:
    """The option with the largest value in each stand's block of binaries."""
    design: List[int] = []
    first = 0
    for stand in options:
        design.append(max(range(len(stand)), key=lambda j: x[first + j]))
        first += len(stand)
    return design


def _trusted(highspy: Any, solver: Any, cost: Sequence[Sequence[float]], with_start: bool) -> bool:
    """Whether HiGHS's answer agrees with itself.

    HiGHS (1.16 at least) has reported "optimal" for a plan that is not, with
    an objective value that is not the plan's own, when it was given a start
    plan and presolved the model. An answer with a plan is trusted when the
    plan's binaries are whole and its objective, recomputed from the plan,
    is the one HiGHS reports (and, if optimal, its dual bound). A proof that
    no plan exists is not trusted from a run with a start plan that met the
    bounds.
    """
    status = solver.getModelStatus()
    info = solver.getInfo()
    models = highspy.HighsModelStatus
    if status == models.kInfeasible:
        return not with_start
    if status not in (models.kOptimal, models.kTimeLimit):
        return False
    if info.primal_solution_status != highspy.SolutionStatus.kSolutionStatusFeasible:
        return bool(status == models.kTimeLimit)
    x: List[float] = list(solver.getSolution().col_value)
    first = 0
    chosen: List[float] = []
    for stand in cost:
        block = x[first:first + len(stand)]
        j = max(range(len(stand)), key=lambda k: block[k])
        if abs(block[j] - 1.0) > 1e-6 or abs(math.fsum(block) - 1.0) > 1e-6:
            return False
        chosen.append(stand[j])
        first += len(stand)
    reach = 1e-6 * (1.0 + math.fsum(max(abs(c) for c in stand) for stand in cost))
    objective = math.fsum(chosen)
    if not abs(float(info.objective_function_value) - objective) <= reach:
        return False
    return bool(status != models.kOptimal) or abs(float(info.mip_dual_bound) - objective) <= reach


def _run_checked(highspy: Any, solver: Any, lp: Any, start: Optional[List[float]],
                 cost: Sequence[Sequence[float]], time_limit: Optional[float],
                 result: "ExactPlan") -> Tuple[Any, Any, bool, List[float]]:
    """Solve the model; if HiGHS's answer does not agree with itself, solve it again without the
    start plan, then without presolve. Returns the status, the info, whether a plan was found and
    the binaries."""
    settings = ([(True, "on")] if start is not None else []) + [(False, "on"), (False, "off")]
    for with_start, presolve in settings:
        solver.clearModel()
        solver.setOptionValue("output_flag", False)
        solver.setOptionValue("presolve", presolve)
        solver.setOptionValue("mip_rel_gap", 0.0)
        solver.setOptionValue("mip_abs_gap", 0.0)
        solver.setOptionValue("mip_feasibility_tolerance", FEASIBILITY)
        solver.setOptionValue("primal_feasibility_tolerance", FEASIBILITY)
        if time_limit is not None:
            solver.setOptionValue("time_limit", max(1e-3, float(time_limit) - result.seconds))
        solver.passModel(lp)
        if with_start:
            solution = highspy.HighsSolution()
            solution.col_value = start
            solution.value_valid = True
            solver.setSolution(solution)
        began = time.perf_counter()
        solver.run()
        result.seconds += time.perf_counter() - began
        result.solves += 1
        if _trusted(highspy, solver, cost, with_start):
            info = solver.getInfo()
            found = info.primal_solution_status == highspy.SolutionStatus.kSolutionStatusFeasible
            x: List[float] = list(solver.getSolution().col_value) if found else []
            return solver.getModelStatus(), info, found, x
    status = solver.modelStatusToString(solver.getModelStatus())
    raise SolverError(f"HiGHS gave no answer that agrees with itself (last status '{status}', "
                      "with and without a start plan and presolve)")


def solve_exact(
    problem: Problem,
    column: str,
    sense: str = "max",
    bounds: Sequence[Union[Bound, str]] = (),
    *,
    time_limit: Optional[float] = None,
    epsilon: float = WARM_START_EPSILON,
    start: Optional[Sequence[int]] = None,
) -> ExactPlan:
    """The best plan for ``column`` (``sense`` "max" or "min") whose bounded sums meet ``bounds``.

    ``column`` and the bounds may name any numeric column of the table;
    per-hectare columns count times the stand's area, as everywhere.
    Bounds are Bound objects or their text (see parse_bound). The solver
    starts from ``start`` (a design) if given, else from the best plan of a
    front at ``epsilon`` that meets the bounds. Needs highspy (the
    ``exact`` extra).
    """
    highspy = require("highspy")
    direction = {"max": "max", "maximise": "max", "maximize": "max",
                 "min": "min", "minimise": "min", "minimize": "min"}.get(sense)
    if direction is None:
        raise ValueError(f"sense must be 'max' or 'min', not {sense!r}")
    if time_limit is not None and not (time_limit > 0):
        raise ValueError(f"the time limit must be a positive number of seconds, not {time_limit!r}")
    check_epsilon(epsilon)
    parsed = tuple(parse_bound(b, problem.columns) if isinstance(b, str) else b for b in bounds)
    objective = problem.column_values(column)
    rows = [b.coefficients(problem) for b in parsed]
    tolerances = tuple(tolerance(r) for r in rows)
    ranges = tuple((math.fsum(min(s) for s in r), math.fsum(max(s) for s in r)) for r in rows)
    result = ExactPlan(status=INFEASIBLE, column=column, sense=direction, bounds=parsed, tolerances=tolerances,
                       ranges=ranges)
    if start is None:
        warm, result.front_plans, result.front_seconds, warm_index = _warm_start(
            problem, objective, direction, rows, parsed, tolerances, epsilon)
        if warm is not None:
            start, result.start = warm, warm_index
    elif len(start) != len(problem.stands):
        raise ValueError(f"a start plan has one option per stand ({len(problem.stands)}), not {len(start)}")

    sign = -1.0 if direction == "max" else 1.0  # HiGHS minimises sign * total
    cost, cost_offset, cost_scale = _shifted([[sign * v for v in stand] for stand in objective])
    scaled_rows = [_shifted(r) for r in rows]
    n_stands = len(problem.stands)
    starts: List[int] = []
    index: List[int] = []
    value: List[float] = []
    costs: List[float] = []
    for i, options in enumerate(problem.options):
        for j in range(len(options)):
            starts.append(len(index))
            costs.append(cost[i][j])
            index.append(i)
            value.append(1.0)
            for r, (coefficients, _, _) in enumerate(scaled_rows):
                if coefficients[i][j] != 0.0:
                    index.append(n_stands + r)
                    value.append(coefficients[i][j])
    starts.append(len(index))
    # Right-hand sides in scaled units, loosened by the stated tolerance.
    limits: List[float] = []
    for b, (_, offset, scale), tol in zip(parsed, scaled_rows, tolerances):
        limits.append((b.constant - offset + (tol if b.op == "<=" else -tol)) / scale)
    shifts = [0.0] * len(parsed)

    cost_rows = [list(stand) for stand in cost]
    inf = highspy.kHighsInf
    solver = _quiet_highs(highspy)
    result.solver = f"HiGHS {solver.version()}"
    for attempt in range(RESOLVES + 1):
        lp = highspy.HighsLp()
        lp.num_col_ = len(costs)
        lp.num_row_ = n_stands + len(parsed)
        lp.col_cost_ = costs
        lp.col_lower_ = [0.0] * len(costs)
        lp.col_upper_ = [1.0] * len(costs)
        lower, upper = [1.0] * n_stands, [1.0] * n_stands
        for b, limit, shift in zip(parsed, limits, shifts):
            if b.op == "<=":
                lower.append(-inf)
                upper.append(limit - shift)
            else:
                lower.append(limit + shift)
                upper.append(inf)
        lp.row_lower_ = lower
        lp.row_upper_ = upper
        lp.a_matrix_.format_ = highspy.MatrixFormat.kColwise
        lp.a_matrix_.start_ = starts
        lp.a_matrix_.index_ = index
        lp.a_matrix_.value_ = value
        lp.integrality_ = [highspy.HighsVarType.kInteger] * len(costs)
        start_vector = ([float(j == chosen) for chosen, options in zip(start, problem.options)
                         for j in range(len(options))] if start is not None and attempt == 0 else None)
        status, info, found, x = _run_checked(highspy, solver, lp, start_vector, cost_rows, time_limit, result)
        if status == highspy.HighsModelStatus.kInfeasible:
            # After a tightening, the earlier plan (which missed a bound) stays as the result.
            result.status = INFEASIBLE if attempt == 0 else MISSED
            break
        if status == highspy.HighsModelStatus.kOptimal:
            result.status = OPTIMAL
        elif status == highspy.HighsModelStatus.kTimeLimit:
            result.status = TIME_LIMIT if found else NOT_FOUND
        if not found:
            result.design = None
            break

        design = _design_of(x, problem.options)
        totals = [math.fsum(r[i][j] for i, j in enumerate(design)) for r in rows]
        misses = [b.miss(t) for b, t in zip(parsed, totals)]
        result.design = design
        result.bound_totals = tuple(totals)
        result.value = math.fsum(objective[i][j] for i, j in enumerate(design)) + 0.0
        if result.status == TIME_LIMIT:
            reached = result.value
            best_bound: float = sign * (float(info.mip_dual_bound) * cost_scale + cost_offset)
            gap = abs(reached - best_bound)
            result.best_bound = best_bound
            result.gap = gap / abs(reached) if reached != 0 else (0.0 if gap == 0 else math.inf)
        else:
            result.best_bound, result.gap = result.value, 0.0
        result.tightened = tuple(s * scale for s, (_, _, scale) in zip(shifts, scaled_rows))
        if all(m <= t for m, t in zip(misses, tolerances)):
            break
        if attempt == RESOLVES or result.status != OPTIMAL:
            result.status = MISSED
            break
        for r, (m, t, (_, _, scale)) in enumerate(zip(misses, tolerances, scaled_rows)):
            if m > t:  # tighten by the miss, and by HiGHS's own tolerance
                shifts[r] += (m - t) / scale + FEASIBILITY * max(1.0, abs(limits[r]))
        start = None
    if result.design is not None:
        result.plan = problem.plan(result.design)
        result.totals = dict(zip(problem.objectives, problem.totals(result.design)))
    return result
