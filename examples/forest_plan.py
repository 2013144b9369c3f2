"""A 30-year treatment plan for a forest: income against carbon against biodiversity.

The forest (a made-up one of a few hundred stands, each with 5 to 20
treatment schedules scored on income, carbon, biodiversity and scenery) comes
from forest.py beside this file, as the long table a planner would have: one
row per stand and schedule. trelvik_plan reads it, computes the
epsilon-thinned Pareto front in the table's units and directions, and the
example prints the best plan for each objective and a balanced one, and with
--plot draws the front over a cloud of random plans.

    python examples/forest_plan.py
    python examples/forest_plan.py --objectives 2 --epsilon 0.002
    python examples/forest_plan.py --plot front.png      # needs ".[plot]"
    python examples/forest_plan.py --sweep               # front size and time per epsilon
"""

import argparse
import sys
from typing import List, Sequence

import trelvik
from trelvik_plan import Front, MissingDependency, Problem

from forest import (  # beside this file
    DEFAULT_EPSILON,
    OBJECTIVES,
    balanced_index,
    build_table,
    display,
    header,
    long_rows,
    make_forest,
    plan_table,
    totals,
    treatment_mix,
)

FIGURE_PIXELS = {2: (700, 500), 3: (800, 800), 4: (800, 800)}
RANDOM_PLANS = 3000
# The columns of forest.long_rows() in objective order, each with its direction.
COLUMNS = [("income", "max"), ("carbon", "max"), ("biodiversity", "min"), ("scenery", "min")]
# Units shown: the table has carbon in t CO2, the summary in kt.
SHOWN = [1.0, 1e-3, 1.0, 1.0]


def forest_problem(n_stands: int, n_objectives: int, seed: int) -> Problem:
    """The example forest as a planner's long table, read by trelvik_plan."""
    return Problem.from_rows(long_rows(n_stands, seed), stand="stand", option="option",
                             objectives=dict(COLUMNS[:n_objectives]))


def shown(values: Sequence[float]) -> List[float]:
    return [v * f + 0.0 for v, f in zip(values, SHOWN)]


def summary(problem: Problem, front: Front) -> str:
    n = len(problem.objectives)
    counts = [len(o) for o in problem.options]
    lines = [
        f"forest: {len(counts)} stands, {sum(counts)} options ({min(counts)} to {max(counts)} per stand), "
        f"{n} objectives",
        f"front: {len(front)} plans with epsilon {front.epsilon:g}, computed in {front.seconds:.2f} s",
        "",
    ]
    rows = [(f"best {OBJECTIVES[k][0]}", shown(front.totals[front.best(name)]))
            for k, name in enumerate(problem.objectives)]
    balanced = front.balanced()
    rows.append(("balanced", shown(front.totals[balanced])))
    rows.append(("best possible, one by one", shown(list(problem.best_alone().values()))))
    lines += plan_table(rows, n)
    lines.append("")
    treatments = problem.column_text("treatment")
    lines.append("balanced plan, stands per treatment: " + treatment_mix(treatments, front.designs[balanced]))
    return "\n".join(lines)


def raw_summary(n_stands: int, n_objectives: int, seed: int, epsilon: float) -> str:
    """The trap that trelvik_plan avoids: the table's values passed to trelvik as they are,
    quantities to maximise negated, without each stand's best subtracted."""
    table, names = build_table(make_forest(n_stands, seed), n_objectives, seed)
    front = trelvik.find_pareto_front(table, epsilon)
    plans = [(s.design_vector, totals(table, s.design_vector)) for s in front]
    optimum = [sum(min(option[k] for option in stand) for stand in table) for k in range(n_objectives)]
    rows = [(f"best {OBJECTIVES[k][0]}", display(min(plans, key=lambda p: p[1][k])[1]))
            for k in range(n_objectives)]
    balanced = plans[balanced_index([p[1] for p in plans])]
    rows.append(("balanced", display(balanced[1])))
    rows.append(("best possible, one by one", display(optimum)))
    lines = [header(table), f"front: {len(plans)} plans with epsilon {epsilon:g} (raw values, negated)", ""]
    lines += plan_table(rows, n_objectives)
    lines += ["", "balanced plan, stands per treatment: " + treatment_mix(names, balanced[0])]
    return "\n".join(lines)


def sweep(n_stands: int, seed: int, epsilons: Sequence[float], patience: float = 5.0,
          most_plans: int = 20_000) -> None:
    """Front size and time per epsilon and number of objectives.

    A column stops after the first run that takes longer than `patience`
    seconds or returns more than `most_plans` plans: the next smaller
    epsilon would take ten or more times as long and as much memory.
    """
    problems = {k: forest_problem(n_stands, k, seed) for k in (2, 3, 4)}
    print("epsilon  " + "  ".join(f"{k} objectives".rjust(22) for k in problems))
    stopped = set()
    for epsilon in epsilons:
        cells = []
        for k, problem in problems.items():
            if k in stopped:
                cells.append("-")
                continue
            front = problem.front(epsilon)
            cells.append(f"{len(front)} plans, {front.seconds:.2f} s")
            if front.seconds > patience or len(front) > most_plans:
                stopped.add(k)
        print(f"{epsilon:<7g}  " + "  ".join(c.rjust(22) for c in cells), flush=True)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--stands", type=int, default=300, help="number of stands (default 300)")
    parser.add_argument("--objectives", type=int, choices=(2, 3, 4), default=3, help="objectives used (default 3)")
    parser.add_argument("--epsilon", type=float,
                        help="box size of the thinning (default 0.01, 0.1, 0.3 for 2, 3, 4 objectives)")
    parser.add_argument("--seed", type=int, default=7, help="seed of the made-up forest (default 7)")
    parser.add_argument("--raw", action="store_true",
                        help="pass the table's values to trelvik directly, negated where larger is better "
                             "(the trap that trelvik_plan avoids)")
    parser.add_argument("--plot", metavar="FILE.png", help="draw the front into this PNG file")
    parser.add_argument("--sweep", action="store_true", help="print front size and time for several epsilon values")
    args = parser.parse_args(argv)
    epsilon = DEFAULT_EPSILON[args.objectives] if args.epsilon is None else args.epsilon

    if args.sweep:
        sweep(args.stands, args.seed, [1.0, 0.3, 0.1, 0.03, 0.01, 0.003, 0.001])
        return 0
    if args.raw:
        print(raw_summary(args.stands, args.objectives, args.seed, epsilon))
        return 0

    problem = forest_problem(args.stands, args.objectives, args.seed)
    front = problem.front(epsilon)
    print(summary(problem, front))

    if args.plot is None:
        print("\nadd --plot front.png to draw the front")
        return 0
    try:
        units = dict(zip(problem.objectives, ["k EUR", "t CO2", "habitat ha", "visible ha"]))
        width, height = front.plot(args.plot, units=units, random_plans=RANDOM_PLANS,
                                   size=FIGURE_PIXELS[args.objectives])
    except MissingDependency:
        print('\nno picture: matplotlib is not installed. Install it with `python -m pip install ".[plot]"` '
              f"(or `python -m pip install matplotlib`) and run again with --plot {args.plot}")
        return 0
    print(f"\nwrote {args.plot} ({width} x {height} pixels)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
