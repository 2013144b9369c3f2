"""Whether the time of a call depends on the order in which the table lists its
objectives.

    python benchmarks/column_order.py [WORKLOAD ...]   (default: the workloads of run.py with N >= 4)

For each workload of run.py, the same table is built with each objective in
turn moved to the front (the others keep their order) and timed: CPU time of
one call, best of 5, in this interpreter with the garbage collector off. The
front is the same for every order, up to the order of each target's values;
the script checks its size. It prints each order's time and its ratio to the
table's own order ("given").
"""

import argparse
import gc
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import trelvik  # noqa: E402
from forest_tables import forest_table  # noqa: E402
from run import SEED, WORKLOADS  # noqa: E402

REPEATS = 5


def best_time(table, epsilon):
    best, size = float("inf"), None
    for _ in range(REPEATS):
        start = time.process_time()
        front = trelvik.find_pareto_front(table, epsilon)
        best = min(best, time.process_time() - start)
        size = len(front)
    return best, size


def main():
    known = {w[0]: w for w in WORKLOADS}
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("workloads", nargs="*", help="names of run.py workloads")
    chosen = parser.parse_args().workloads or [w[0] for w in WORKLOADS if w[3] >= 4]
    for name in chosen:
        if name not in known:
            sys.exit(f"unknown workload {name!r}; known: {', '.join(known)}")
    gc.collect()
    gc.disable()
    for name in chosen:
        _, stands, options, variables, epsilon = known[name]
        table = forest_table(stands, options, variables, SEED)
        given, given_size = best_time(table, epsilon)
        figures = [f"given {given:.3f} s"]
        for first in range(1, variables):
            order = [first] + [k for k in range(variables) if k != first]
            moved = [[[option[k] for k in order] for option in stand] for stand in table]
            seconds, size = best_time(moved, epsilon)
            if size != given_size:
                sys.exit(f"{name}: objective {first} first gives a front of {size}, the given order {given_size}")
            figures.append(f"{first} first {seconds / given:.2f}")
        print(f"{name:<15} " + "  ".join(figures), flush=True)


if __name__ == "__main__":
    main()
