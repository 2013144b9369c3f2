"""How well `trelvik_plan.estimate` predicts the front size and time of the whole table.

For the example forest and tables of other shapes (benchmarks/forest_tables.py
and uniform random values), at a few epsilons each: the estimate from a
sample of the stands (default 20 %, seed 0) against one full call. Prints a
Markdown table and the errors (predicted / actual - 1).

    PYTHONPATH=src:examples:benchmarks python benchmarks/estimate_accuracy.py
    python benchmarks/estimate_accuracy.py --sample 0.1 --seed 3
"""

import argparse
import random
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "examples"), str(ROOT / "benchmarks")]

import trelvik  # noqa: E402
from trelvik_plan import Problem, estimate  # noqa: E402

import forest  # noqa: E402  (examples/)
from forest_tables import forest_table  # noqa: E402  (benchmarks/)


def as_problem(table, directions):
    rows = [{"stand": str(i), "option": str(j), **{f"v{k}": v for k, v in enumerate(option)}}
            for i, stand in enumerate(table) for j, option in enumerate(stand)]
    return Problem.from_rows(rows, stand="stand", option="option",
                             objectives={f"v{k}": d for k, d in enumerate(directions)})


def uniform_table(n_stands, n_options, n_variables, seed):
    rng = random.Random(seed)
    return [[[rng.uniform(0, 100) for _ in range(n_variables)] for _ in range(n_options)]
            for _ in range(n_stands)]


def cases():
    table, _ = forest.load(300, 3, 7)
    yield "example forest 300 x 5-20, 3", as_problem(table, ["min"] * 3), [0.3, 0.1, 0.03]
    for stands, options, variables, epsilons in [
        (2000, 3, 2, [0.01, 0.001]), (1000, 10, 2, [0.003]), (200, 20, 2, [0.001]),
        (1000, 4, 3, [0.1, 0.03]), (500, 10, 3, [0.1]), (100, 30, 3, [0.03]),
        (300, 5, 4, [0.3]), (150, 8, 4, [0.3]), (100, 4, 5, [1.0, 0.5]),
    ]:
        table = forest_table(stands, options, variables, seed=1)
        yield f"forest_tables {stands} x {options}, {variables}", as_problem(table, ["min"] * variables), epsilons
    for stands, options, variables, epsilons in [(800, 6, 2, [0.003]), (400, 5, 3, [0.1]), (200, 4, 4, [0.5])]:
        directions = ["max", "min", "min", "max"][:variables]
        yield (f"uniform {stands} x {options}, {variables}", as_problem(uniform_table(stands, options, variables, 2),
                                                                        directions), epsilons)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sample", type=float, default=0.2)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    print(f"sample {args.sample:g}, seed {args.seed}, trelvik_plan.estimate against one full call\n")
    print("| table (stands x options, objectives) | epsilon | predicted plans | actual plans | "
          "predicted s | actual s | estimate took s |")
    print("|---|---|---|---|---|---|---|")
    size_errors, time_errors = [], []
    for name, problem, epsilons in cases():
        began = time.perf_counter()
        predicted = estimate(problem, epsilons, sample=args.sample, seed=args.seed)
        took = time.perf_counter() - began
        for guess in predicted:
            front = problem.front(guess.epsilon)
            size_errors.append(guess.plans / len(front) - 1)
            time_errors.append(guess.seconds / front.seconds - 1)
            print(f"| {name} | {guess.epsilon:g} | {guess.plans:,} | {len(front):,} | {guess.seconds:.3f} | "
                  f"{front.seconds:.3f} | {took:.2f} |", flush=True)
    for label, errors in (("size", size_errors), ("time", time_errors)):
        absolute = sorted(abs(e) for e in errors)
        print(f"\n{label}: median error {100 * statistics.median(absolute):.0f} %, "
              f"largest {100 * max(absolute):.0f} % (from {100 * min(errors):+.0f} % to {100 * max(errors):+.0f} %), "
              f"{sum(a <= 0.5 for a in absolute)} of {len(errors)} within 50 %")
    print(f"\ntrelvik {getattr(trelvik, '__version__', '')}".rstrip())


if __name__ == "__main__":
    main()
