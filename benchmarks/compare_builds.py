"""Times the workloads of run.py under two builds of the module, in turns.

    python benchmarks/compare_builds.py BEFORE AFTER [--rounds 3] [--only n4-pair/a,n4-4-options]

BEFORE and AFTER are folders that hold a built module (a development build
such as build-dev). Each round runs every workload in a fresh interpreter
under BEFORE, then under AFTER; a workload's time is the CPU time of one
call, best of 7 calls per round and then best over the rounds. Taking turns
spreads slow spells of a shared machine over both builds.
"""

import argparse
import subprocess
import sys
from pathlib import Path

from run import WORKLOADS

HERE = Path(__file__).resolve().parent

# Runs in the child: PATH is the build to import, then the workload's arguments.
CHILD = """
import gc, sys, time
sys.path.insert(0, sys.argv[1])
sys.path.insert(0, sys.argv[2])
import trelvik
from forest_tables import forest_table
from run import SEED
stands, options, variables, epsilon = int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]), float(sys.argv[6])
table = forest_table(stands, options, variables, SEED)
gc.collect()
gc.disable()
best = float("inf")
for _ in range(7):
    start = time.process_time()
    trelvik.find_pareto_front(table, epsilon)
    best = min(best, time.process_time() - start)
print(best)
"""


def time_once(build, workload):
    _, stands, options, variables, epsilon = workload
    args = [sys.executable, "-c", CHILD, str(Path(build).resolve()), str(HERE)]
    args += [str(stands), str(options), str(variables), repr(epsilon)]
    return float(subprocess.run(args, check=True, capture_output=True, text=True).stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", help="comma-separated workload names")
    options = parser.parse_args()
    chosen = WORKLOADS
    if options.only:
        names = options.only.split(",")
        chosen = [w for w in WORKLOADS if w[0] in names]
        if len(chosen) != len(names):
            parser.error("unknown workload in --only; known: " + ", ".join(w[0] for w in WORKLOADS))
    best = {(build, w[0]): float("inf") for build in (options.before, options.after) for w in chosen}
    for round_number in range(options.rounds):
        for build in (options.before, options.after):
            for workload in chosen:
                key = (build, workload[0])
                best[key] = min(best[key], time_once(build, workload))
        print(f"round {round_number + 1} of {options.rounds} done", file=sys.stderr)
    print(f"{'workload':16} {'before s':>9} {'after s':>9} {'after/before':>13}")
    for name, *_ in chosen:
        before, after = best[(options.before, name)], best[(options.after, name)]
        print(f"{name:16} {before:9.4f} {after:9.4f} {after / before:13.3f}")


if __name__ == "__main__":
    main()
