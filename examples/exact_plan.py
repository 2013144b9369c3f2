"""The exact plan at the bounds a planner chooses, next to the Pareto front.

The front (forest_plan.py) maps the trade-off between the objectives; a
planner's last step is one decision with bounds: "carbon at least 300 kt,
habitat penalty at most 900 ha, the most income". The best front plan that
meets such bounds is close to the best plan, not always equal to it, and for
some bounds no front plan meets them at all. This example solves that one
decision exactly, as a small mixed-integer program (one binary per stand and
option, one option per stand, a linear row per bound), with the HiGHS solver
started from the best front plan that meets the bounds. It prints both plans,
the gain in each objective and the solve time.

    python examples/exact_plan.py --maximise income --bound "carbon>=300" --bound "biodiversity<=900"
    python examples/exact_plan.py --minimise biodiversity --bound "income>=5000"
    python examples/exact_plan.py --near 600          # front plan 600's values as bounds
    python examples/exact_plan.py --near 600 --time-limit 2 --write plan.csv
    python examples/exact_plan.py --measure 10        # 10 bound sets over the front

Bounds are written in the units shown (k EUR, kt CO2, ha) with the first
word of an objective's name. They hold up to rounding: a plan meets a bound
when its total lies on the bound's side or less than RELATIVE_TOLERANCE
(1e-9) of the objective's scale beyond it. Needs HiGHS:
python -m pip install ".[exact]" (or python -m pip install highspy).
"""

import argparse
import csv
import math
import re
import statistics
import sys
import time
from dataclasses import dataclass
from typing import List, Optional, Sequence

import trelvik
from trelvik_plan import Bound as PlanBound
from trelvik_plan import Problem, Term
from trelvik_plan import solve_exact as plan_solve_exact

from forest import (  # beside this file
    DEFAULT_EPSILON,
    DISPLAY_SCALE,
    OBJECTIVES,
    display,
    header,
    load,
    plan_table,
    relative_to_stand_best,
    totals,
    treatment_mix,
)

INSTALL_HINT = 'python -m pip install ".[exact]"'
# How far beyond a bound a plan's total may lie and still meet it, as a share
# of the objective's scale (see tolerance()). Far above the rounding of a sum
# of a few hundred values, far below any difference that matters.
RELATIVE_TOLERANCE = 1e-9

OPTIMAL = "optimal"
TIME_LIMIT = "time limit"  # a plan was found, but not proven optimal
NO_PLAN = "no plan"  # proven: no plan meets the bounds
NOT_FOUND = "not found"  # the time limit came before any plan
MISSED = "bound missed"  # the solver's plan misses a bound even after tightening


@dataclass(frozen=True)
class Bound:
    """The total of one column of the table kept at or below (or above) a value, in the table's units."""

    column: int
    op: str  # "<=" or ">="
    value: float
    tolerance: float = 1e-6

    def met_by(self, total: float) -> bool:
        if self.op == "<=":
            return total <= self.value + self.tolerance
        return total >= self.value - self.tolerance


@dataclass
class Exact:
    status: str  # OPTIMAL, TIME_LIMIT, NO_PLAN or NOT_FOUND
    design: Optional[List[int]]  # one option per stand; None for NO_PLAN and NOT_FOUND
    objective: Optional[float]  # the design's objective total as the solver has it
    bound: Optional[float]  # the best objective total that the solver has not ruled out
    seconds: float  # time inside the solver
    reason: str = ""  # for NO_PLAN: why


def meets(values: Sequence[float], bounds: Sequence[Bound]) -> bool:
    return all(b.met_by(values[b.column]) for b in bounds)


def best_meeting(values: Sequence[Sequence[float]], column: int, maximise: bool,
                 bounds: Sequence[Bound]) -> Optional[int]:
    """Index of the best plan that meets the bounds (the first of equals), or None."""
    sign = -1.0 if maximise else 1.0
    meeting = [i for i, v in enumerate(values) if meets(v, bounds)]
    return min(meeting, key=lambda i: sign * values[i][column]) if meeting else None


def solve_exact(table, column: int, maximise: bool, bounds: Sequence[Bound],
                time_limit: Optional[float] = None, start: Optional[Sequence[int]] = None) -> Exact:
    """The best plan for one column of `table` under `bounds`, solved by trelvik_plan.solve_exact.

    The nested table becomes a planner's table with columns v0, v1, ... (one
    row per stand and option); each bound is a row on its column, held to
    trelvik_plan's tolerance (1e-9 of the column's scale). `start` (a design
    that meets the bounds) is handed to the solver as its first incumbent.
    """
    empty = [i for i, stand in enumerate(table) if not stand]
    if empty:
        return Exact(NO_PLAN, None, None, None, 0.0, f"stand {empty[0]} has no options")
    n = len(table[0][0])
    rows = [{"stand": str(i), "option": str(j), **{f"v{k}": v for k, v in enumerate(option)}}
            for i, stand in enumerate(table) for j, option in enumerate(stand)]
    problem = Problem.from_rows(rows, stand="stand", option="option", objectives={f"v{k}": "min" for k in range(n)})
    rows_as_bounds = [PlanBound((Term(1.0, f"v{b.column}"),), b.op, b.value) for b in bounds]
    result = plan_solve_exact(problem, f"v{column}", "max" if maximise else "min", rows_as_bounds,
                              time_limit=time_limit, start=start)
    kind = {"optimal": OPTIMAL, "time limit": TIME_LIMIT, "infeasible": NO_PLAN, "not found": NOT_FOUND,
            "bound missed": MISSED}[result.status]
    reason = f"{result.solver} proved that none exists" if kind == NO_PLAN else ""
    return Exact(kind, result.design, result.value, result.best_bound, result.seconds, reason)


def quiet_highs():
    """A HiGHS instance that prints nothing (for its version)."""
    import highspy

    from trelvik_plan._exact import _quiet_highs

    return _quiet_highs(highspy)


# --- The example forest, in the units shown -------------------------------------------------


def factor(k: int) -> float:
    """Shown value = table value * factor(k)."""
    return OBJECTIVES[k][2] * DISPLAY_SCALE[k]


def objective_index(name: str, n_objectives: int) -> int:
    """The column of an objective given by its name or its name's first word."""
    wanted = name.strip().lower()
    for k in range(n_objectives):
        label = OBJECTIVES[k][0]
        if wanted in (label, label.split()[0]):
            return k
    names = ", ".join(OBJECTIVES[k][0].split()[0] for k in range(n_objectives))
    later = [k for k in range(n_objectives, len(OBJECTIVES))
             if wanted in (OBJECTIVES[k][0], OBJECTIVES[k][0].split()[0])]
    hint = f" (add --objectives {later[0] + 1} for {OBJECTIVES[later[0]][0]})" if later else ""
    raise ValueError(f"unknown objective '{name}': with {n_objectives} objectives the names are {names}{hint}")


def tolerance(table, k: int) -> float:
    """RELATIVE_TOLERANCE of column k's scale: the largest total its absolute values can reach."""
    return RELATIVE_TOLERANCE * max(1.0, sum(max(abs(option[k]) for option in stand) for stand in table if stand))


def shown_bound(table, k: int, op: str, shown: float) -> Bound:
    """A bound written in the units shown, as a bound on the table's column k."""
    f = factor(k)
    if f < 0:  # the table stores this objective negated: the comparison turns around
        op = "<=" if op == ">=" else ">="
    return Bound(k, op, shown / f, tolerance(table, k))


def parse_bound(table, text: str, n_objectives: int) -> Bound:
    match = re.fullmatch(r"\s*([A-Za-z][A-Za-z ]*?)\s*(<=|>=)\s*([-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?)\s*", text)
    if not match:
        raise ValueError(f"cannot read the bound '{text}': write it as NAME>=VALUE or NAME<=VALUE, "
                         "for example \"carbon>=300\"")
    name, op, number = match.groups()
    return shown_bound(table, objective_index(name, n_objectives), op, float(number))


def describe(bound: Bound) -> str:
    """A bound as the user reads it: in the units shown."""
    f = factor(bound.column)
    op = bound.op if f > 0 else ("<=" if bound.op == ">=" else ">=")
    label, unit, _ = OBJECTIVES[bound.column]
    return f"{label} {op} {bound.value * f:,.3f} {unit}"


def near_bounds(table, values: Sequence[float], column: int) -> List[Bound]:
    """A plan's values (table units) as bounds on every objective but `column`: no worse than the plan."""
    return [Bound(k, "<=", values[k], tolerance(table, k)) for k in range(len(values)) if k != column]


def gains(better: Sequence[float], base: Sequence[float], column: int, maximise_table: bool) -> List[float]:
    """How much `better` improves on `base` per objective, in the units shown (negative: worse).

    For the optimised objective the direction is the one asked for; the
    others count as the table does: smaller is better.
    """
    out = []
    for k, (a, b) in enumerate(zip(better, base)):
        smaller_is_better = not (k == column and maximise_table)
        out.append((b - a if smaller_is_better else a - b) * abs(factor(k)) + 0.0)
    return out


def decide(table, plans, column, maximise_table, bounds, time_limit):
    """The best front plan meeting the bounds (index or None) and the exact plan, started from it."""
    front = best_meeting([v for _, v in plans], column, maximise_table, bounds)
    start = plans[front][0] if front is not None else None
    return front, solve_exact(table, column, maximise_table, bounds, time_limit, start)


def report(table, names, plans, column, maximise_shown, maximise_table, bounds, front, exact,
           time_limit=None) -> List[str]:
    n = len(table[0][0])
    label, unit, _ = OBJECTIVES[column]
    goal = "maximise" if maximise_shown else "minimise"
    lines = [f"{goal} {label} ({unit})" + (" subject to " + ", ".join(describe(b) for b in bounds) if bounds else ""),
             f"(bounds hold up to rounding: a relative tolerance of {RELATIVE_TOLERANCE:g})"]
    meeting = sum(meets(v, bounds) for _, v in plans)
    if front is None:
        lines.append(f"front plans that meet the bounds: none of {len(plans)}")
    else:
        lines.append(f"front plans that meet the bounds: {meeting} of {len(plans)}, the best is plan {front}")
    lines.append("")

    if exact.status == NO_PLAN:
        lines.append(f"no plan meets these bounds: {exact.reason} (in {exact.seconds:.2f} s)")
        return lines
    if exact.status == NOT_FOUND:
        lines.append(f"no plan found within the time limit of {time_limit:g} s (HiGHS {highs_version()}); "
                     "the bounds may be too strict, or run again with a longer --time-limit")
        return lines

    values = totals(table, exact.design)
    rows = []
    if front is not None:
        rows.append((f"best front plan ({front})", display(plans[front][1])))
    rows.append(("exact plan", display(values)))
    if front is not None:
        rows.append(("gain (positive: better)", gains(values, plans[front][1], column, maximise_table)))
    lines += plan_table(rows, n)
    lines.append("")
    solver = f"HiGHS {highs_version()} in {exact.seconds:.2f} s"
    started = f", started from front plan {front}" if front is not None else ", no front plan to start from"
    if exact.status == OPTIMAL:
        lines.append(f"exact plan: optimal (relative gap 0), solved by {solver}{started}")
    elif exact.status == MISSED:
        lines.append(f"exact plan: NOT optimal: {solver} gave a plan that misses a bound{started}")
    else:
        lines.append(f"exact plan: NOT proven optimal: the time limit of {time_limit:g} s stopped {solver}{started}")
        gap = abs(exact.objective - exact.bound) * abs(factor(column))
        if math.isfinite(gap):
            relative = gap / max(abs(exact.objective * factor(column)), 1e-9)
            lines.append(f"remaining gap: the optimum may be up to {gap:,.1f} {unit} ({100 * relative:.2f} %) better")
        else:
            lines.append("remaining gap: unknown, the solver has no bound on the optimum yet")
    missed = [describe(b) for b in bounds if not b.met_by(values[b.column])]
    if missed:
        lines.append("warning: the solver's plan misses " + ", ".join(missed) + " by more than the tolerance")
    lines.append("exact plan, stands per treatment: " + treatment_mix(names, exact.design))
    return lines


def highs_version() -> str:
    return quiet_highs().version()


def write_plan(path: str, table, names, design: Sequence[int]) -> None:
    """One row per stand: its chosen option and that option's values in the units shown."""
    n = len(table[0][0])
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["stand", "option", "treatment"] + [f"{OBJECTIVES[k][0]} ({OBJECTIVES[k][1]})"
                                                           for k in range(n)])
        for stand, option in enumerate(design):
            writer.writerow([stand, option, names[stand][option]] + [repr(v) for v in display(table[stand][option])])


def measure(table, plans, column, maximise_table, n_sets, time_limit) -> List[str]:
    """Exact plans at `n_sets` bound sets spread over the front.

    Bound set i comes from the front plan at rank (i + 0.5) / n_sets in the
    optimised objective: its values in the other objectives, rounded to a
    whole unit as shown in the stricter direction, as a planner reading the
    map would write them down.
    """
    n = len(table[0][0])
    sign = -1.0 if maximise_table else 1.0
    ranked = sorted(range(len(plans)), key=lambda i: (-sign * plans[i][1][column], i))
    label, unit, _ = OBJECTIVES[column]
    heads = [f"{OBJECTIVES[k][0].split()[0]} bound" for k in range(n) if k != column]
    lines = ["  ".join(h.rjust(18) for h in heads) + f"  {'front plans meeting':>19}  {'best front':>11}  "
             f"{'exact':>11}  {'gain':>9}  {'solve s':>7}  status",
             " " * (20 * len(heads)) + f"{'':>19}  {unit:>11}  {unit:>11}  {unit:>9}"]
    gained, seconds, none_met, proven = [], [], 0, 0
    for i in range(n_sets):
        plan = plans[ranked[min(len(ranked) - 1, int((i + 0.5) / n_sets * len(ranked)))]][1]
        bounds = []
        for k in range(n):
            if k == column:
                continue
            shown = plan[k] * factor(k)
            gain_up = factor(k) < 0  # larger shown values are better: a lower bound
            rounded = float(-(-shown // 1)) if gain_up else float(shown // 1)
            bounds.append(shown_bound(table, k, ">=" if gain_up else "<=", rounded))
        front, exact = decide(table, plans, column, maximise_table, bounds, time_limit)
        cells = [f"{'>=' if factor(b.column) < 0 else '<='} {b.value * factor(b.column):,.0f}".rjust(18)
                 for b in bounds]
        met = sum(meets(v, bounds) for _, v in plans)
        front_cell = f"{plans[front][1][column] * factor(column):,.1f}" if front is not None else "none"
        if exact.design is None:
            exact_cell, gain_cell = exact.status, "-"
        else:
            exact_cell = f"{totals(table, exact.design)[column] * factor(column):,.1f}"
            if front is None:
                gain_cell = "-"
            else:
                gain = gains(totals(table, exact.design), plans[front][1], column, maximise_table)[column]
                gain_cell = f"{gain:,.1f}"
                gained.append(gain)
        none_met += front is None
        proven += exact.status in (OPTIMAL, NO_PLAN)
        seconds.append(exact.seconds)
        lines.append("  ".join(cells) + f"  {met:>19}  {front_cell:>11}  {exact_cell:>11}  {gain_cell:>9}  "
                     f"{exact.seconds:>7.2f}  {exact.status}")
    lines.append("")
    lines.append(f"solve time: median {statistics.median(seconds):.2f} s, longest {max(seconds):.2f} s; "
                 f"{proven} of {n_sets} solved to proven optimality (or proven infeasible)")
    if gained:
        lines.append(f"gain in {label} over the best front plan: median {statistics.median(gained):,.1f} {unit}, "
                     f"smallest {min(gained):,.1f}, largest {max(gained):,.1f} "
                     f"(over the {len(gained)} bound sets that a front plan met)")
    lines.append(f"bound sets that no front plan met: {none_met} of {n_sets}")
    return lines


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    goal = parser.add_mutually_exclusive_group()
    goal.add_argument("--maximise", metavar="NAME", help="objective to maximise (default: income)")
    goal.add_argument("--minimise", metavar="NAME", help="objective to minimise")
    parser.add_argument("--bound", action="append", default=[], metavar='"NAME>=VALUE"',
                        help="a bound on an objective in the units shown; may be repeated")
    parser.add_argument("--near", type=int, metavar="K",
                        help="take front plan K's values as the bounds on all other objectives "
                             "(--bound replaces one of them)")
    parser.add_argument("--time-limit", type=float, metavar="SECONDS", help="stop the solver after this time")
    parser.add_argument("--write", metavar="FILE.csv", help="write the exact plan, one row per stand")
    parser.add_argument("--measure", type=int, metavar="N",
                        help="solve N bound sets spread over the front and summarise them")
    parser.add_argument("--stands", type=int, default=300, help="number of stands (default 300)")
    parser.add_argument("--objectives", type=int, choices=(2, 3, 4), default=3, help="objectives used (default 3)")
    parser.add_argument("--epsilon", type=float,
                        help="box size of the thinning (default 0.01, 0.1, 0.3 for 2, 3, 4 objectives)")
    parser.add_argument("--seed", type=int, default=7, help="seed of the made-up forest (default 7)")
    args = parser.parse_args(argv)
    epsilon = DEFAULT_EPSILON[args.objectives] if args.epsilon is None else args.epsilon
    n = args.objectives

    table, names = load(args.stands, n, args.seed)
    try:
        column = objective_index(args.minimise or args.maximise or "income", n)
        explicit = [parse_bound(table, text, n) for text in args.bound]
    except ValueError as error:
        parser.error(str(error))
    maximise_shown = args.minimise is None
    maximise_table = maximise_shown == (factor(column) > 0)
    if args.time_limit is not None and not args.time_limit > 0:
        parser.error("--time-limit must be a positive number of seconds")
    if args.measure is not None and args.measure < 1:
        parser.error("--measure needs at least one bound set")

    start = time.perf_counter()
    front = trelvik.find_pareto_front(relative_to_stand_best(table), epsilon)
    seconds = time.perf_counter() - start
    plans = [(s.design_vector, totals(table, s.design_vector)) for s in front]
    print(header(table))
    print(f"front: {len(plans)} plans with epsilon {epsilon:g}, computed in {seconds:.2f} s")
    print()

    try:
        import highspy  # noqa: F401
    except ImportError:
        print(f"no exact plan: HiGHS is not installed. Install it with `{INSTALL_HINT}` "
              "(or `python -m pip install highspy`) and run again")
        return 0

    if args.measure is not None:
        print("\n".join(measure(table, plans, column, maximise_table, args.measure, args.time_limit)))
        return 0

    bounds = []
    if args.near is not None:
        if not 0 <= args.near < len(plans):
            parser.error(f"--near {args.near}: the front has plans 0 to {len(plans) - 1}")
        bounds = near_bounds(table, plans[args.near][1], column)
        print(f"bounds from front plan {args.near}")
    for bound in explicit:  # an explicit bound replaces the one from --near on the same objective
        bounds = [b for b in bounds if b.column != bound.column or b in explicit] + [bound]

    front_index, exact = decide(table, plans, column, maximise_table, bounds, args.time_limit)
    print("\n".join(report(table, names, plans, column, maximise_shown, maximise_table, bounds, front_index, exact,
                           args.time_limit)))
    if args.write and exact.design is not None:
        write_plan(args.write, table, names, exact.design)
        print(f"wrote {args.write} ({len(table)} stands)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
