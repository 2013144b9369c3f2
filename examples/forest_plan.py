"""A 30-year treatment plan for a forest: income against carbon against biodiversity.

The forest (a made-up one of a few hundred stands, each with 5 to 20
treatment schedules scored on income, carbon, biodiversity and scenery) and
its units come from forest.py beside this file.

The example computes the epsilon-thinned Pareto front, prints the best plan
for each objective and a balanced one, and with --plot draws the front over
a cloud of random plans.

    python examples/forest_plan.py
    python examples/forest_plan.py --objectives 2 --epsilon 0.002
    python examples/forest_plan.py --plot front.png      # needs ".[plot]"
    python examples/forest_plan.py --sweep               # front size and time per epsilon
"""

import argparse
import sys
import time
from typing import Sequence

import trelvik

from forest import (  # beside this file
    DEFAULT_EPSILON,
    OBJECTIVES,
    balanced_index,
    build_table,
    display,
    header,
    make_forest,
    plan_table,
    relative_to_stand_best,
    totals,
    treatment_mix,
)

FIGURE_PIXELS = {2: (700, 500), 3: (800, 800), 4: (800, 800)}
FIGURE_DPI = 100
RANDOM_PLANS = 3000


def summary(table, names, plans, seconds, epsilon) -> str:
    n = len(table[0][0])
    optimum = [sum(min(option[k] for option in stand) for stand in table) for k in range(n)]
    lines = [
        header(table),
        f"front: {len(plans)} plans with epsilon {epsilon:g}, computed in {seconds:.2f} s",
        "",
    ]
    rows = [(f"best {OBJECTIVES[k][0]}", display(min(plans, key=lambda p: p[1][k])[1])) for k in range(n)]
    balanced = plans[balanced_index([p[1] for p in plans])]
    rows.append(("balanced", display(balanced[1])))
    rows.append(("best possible, one by one", display(optimum)))
    lines += plan_table(rows, n)
    lines.append("")
    lines.append("balanced plan, stands per treatment: " + treatment_mix(names, balanced[0]))
    return "\n".join(lines)


def plot(path: str, plans, cloud) -> None:
    """Draw the front (green) over random plans (grey) into a PNG of FIGURE_PIXELS."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    n = len(plans[0][1])
    points = [display(values) for _, values in plans]
    grey = [display(values) for values in cloud]
    star = points[balanced_index([values for _, values in plans])]
    labels = [f"{OBJECTIVES[k][0]} ({OBJECTIVES[k][1]})" for k in range(n)]
    width, height = FIGURE_PIXELS[n]
    fig = plt.figure(figsize=(width / FIGURE_DPI, height / FIGURE_DPI), dpi=FIGURE_DPI)
    title = f"Pareto front: {len(plans)} plans (green), balanced plan (star), {len(cloud)} random plans (grey)"

    def scatter(ax, x, y):
        ax.scatter([p[x] for p in grey], [p[y] for p in grey], s=2, c="0.7", linewidths=0)
        ax.scatter([p[x] for p in points], [p[y] for p in points], s=3, c="tab:green", linewidths=0)
        ax.scatter([star[x]], [star[y]], s=70, marker="*", c="black", zorder=3)

    if n == 2:
        ax = fig.add_subplot(1, 1, 1)
        scatter(ax, 0, 1)
        ax.set_xlabel(labels[0])
        ax.set_ylabel(labels[1])
        ax.set_title(title, fontsize=9)
    else:
        axes = fig.subplots(n, n)
        for row in range(n):
            for col in range(n):
                ax = axes[row][col]
                if row == col:
                    ax.hist([p[col] for p in points], bins=30, color="tab:green")
                    ax.set_yticks([])
                else:
                    scatter(ax, col, row)
                ax.tick_params(labelsize=7)
                if row == n - 1:
                    ax.set_xlabel(labels[col], fontsize=8)
                if col == 0:
                    ax.set_ylabel(labels[row], fontsize=8)
        fig.suptitle(title, fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=FIGURE_DPI)  # no bbox_inches="tight": the size stays FIGURE_PIXELS
    plt.close(fig)


def sweep(table, epsilons: Sequence[float], patience: float = 5.0, most_plans: int = 20_000) -> None:
    """Front size and time per epsilon and number of objectives.

    A column stops after the first run that takes longer than `patience`
    seconds or returns more than `most_plans` plans: the next smaller
    epsilon would take ten or more times as long and as much memory.
    """
    n_max = len(table[0][0])
    print("epsilon  " + "  ".join(f"{k} objectives".rjust(22) for k in range(2, n_max + 1)))
    stopped = set()
    for epsilon in epsilons:
        cells = []
        for k in range(2, n_max + 1):
            if k in stopped:
                cells.append("-")
                continue
            sub = [[option[:k] for option in stand] for stand in table]
            start = time.perf_counter()
            front = trelvik.find_pareto_front(sub, epsilon)
            seconds = time.perf_counter() - start
            cells.append(f"{len(front)} plans, {seconds:.2f} s")
            if seconds > patience or len(front) > most_plans:
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
                        help="give trelvik the values in real units instead of relative to each stand's best")
    parser.add_argument("--plot", metavar="FILE.png", help="draw the front into this PNG file")
    parser.add_argument("--sweep", action="store_true", help="print front size and time for several epsilon values")
    args = parser.parse_args(argv)
    epsilon = DEFAULT_EPSILON[args.objectives] if args.epsilon is None else args.epsilon

    stands = make_forest(args.stands, args.seed)
    table, names = build_table(stands, 4 if args.sweep else args.objectives, args.seed)
    data = table if args.raw else relative_to_stand_best(table)
    if args.sweep:
        sweep(data, [1.0, 0.3, 0.1, 0.03, 0.01, 0.003, 0.001])
        return 0

    start = time.perf_counter()
    front = trelvik.find_pareto_front(data, epsilon)
    seconds = time.perf_counter() - start
    # Plain (design, totals in real units) pairs from here on.
    plans = [(s.design_vector, totals(table, s.design_vector)) for s in front]
    print(summary(table, names, plans, seconds, epsilon))

    if args.plot is None:
        print("\nadd --plot front.png to draw the front")
        return 0
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print('\nno picture: matplotlib is not installed. Install it with `python -m pip install ".[plot]"` '
              f"(or `python -m pip install matplotlib`) and run again with --plot {args.plot}")
        return 0
    cloud = [totals(table, s.design_vector) for s in trelvik.create_random_points(data, RANDOM_PLANS)]
    plot(args.plot, plans, cloud)
    width, height = FIGURE_PIXELS[args.objectives]
    print(f"\nwrote {args.plot} ({width} x {height} pixels)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
