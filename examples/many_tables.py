"""Many independent tables at once: one Pareto front per region, in parallel.

A call of find_pareto_front holds the interpreter lock until it returns, so
threads do not make it faster; separate processes do. This example solves
the forests of many regions (made up by forest.py, as in forest_plan.py) with
concurrent.futures.ProcessPoolExecutor and then combines, for every region,
its balanced plan into one programme.

    python examples/many_tables.py                      # 200 regions, all cores
    python examples/many_tables.py --regions 20 --workers 2
    python examples/many_tables.py --dask local         # needs dask[distributed]
    python examples/many_tables.py --dask tcp://scheduler:8786

Results do not pickle: a ParetoFrontSolution cannot be sent from a worker
to the parent. Each worker therefore turns its front into plain lists
(design vector, objective totals) before it returns, and only those travel.
Nor does trelvik's PanicException (its class lives in a module that cannot
be imported): in a worker it would reach the parent as a PicklingError with
its message lost, so the worker raises a RuntimeError with the same message
in its place. Try it with a failing epsilon:

    python examples/many_tables.py --regions 4 --epsilon 0
"""

import argparse
import os
import sys
import time
from concurrent.futures import BrokenExecutor, ProcessPoolExecutor
from typing import List, Tuple

import trelvik

import forest  # beside this file

EPSILON = 0.3
N_OBJECTIVES = 3

# What one region gives back: plain, picklable data only.
Plan = Tuple[List[int], List[float]]  # (option per stand, objective totals in real units)


def load_region(region: int):
    """The region's table and option names. Stands in for reading an inventory.

    Reading the data in the worker saves sending the table through a pipe;
    if your tables are made in the parent, pass them as the argument instead.
    """
    n_stands = 20 + (region * 37) % 61  # 20 to 80 stands
    stands = forest.make_forest(n_stands, seed=1000 + region)
    return forest.build_table(stands, N_OBJECTIVES, seed=1000 + region)


def solve_region(region: int, epsilon: float = EPSILON) -> Tuple[int, int, List[Plan], float]:
    """Runs in a worker: (region, stands, front as plain lists, seconds)."""
    table, _ = load_region(region)
    data = forest.relative_to_stand_best(table)
    start = time.perf_counter()
    try:
        front = trelvik.find_pareto_front(data, epsilon)
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        # PanicException cannot be pickled: send a plain exception with the
        # same message to the parent instead.
        raise RuntimeError(*error.args) from error
    seconds = time.perf_counter() - start
    # ParetoFrontSolution objects cannot be pickled: convert before returning.
    plans = [(s.design_vector, forest.totals(table, s.design_vector)) for s in front]
    return region, len(table), plans, seconds


def solve_with_processes(regions: List[int], workers: int, epsilon: float = EPSILON):
    with ProcessPoolExecutor(max_workers=workers) as pool:
        # chunksize > 1 sends several small regions per round trip.
        return list(pool.map(solve_region, regions, [epsilon] * len(regions), chunksize=4))


def solve_with_dask(regions: List[int], address: str, workers: int, epsilon: float = EPSILON):
    """The same work on a Dask cluster, for when one machine is not enough.

    Every Dask worker needs trelvik installed (`python -m pip install .` on
    each node or in the worker image). This module's functions travel by
    value with the tasks; forest is imported by name, so it is uploaded
    to the workers first. Use one thread per worker process: a call holds the
    interpreter lock, so more threads in one process would wait for each other.
    """
    from dask.distributed import Client, LocalCluster

    if address == "local":
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True)
        client = Client(cluster)
    else:
        cluster = None
        client = Client(address)
    try:
        client.upload_file(forest.__file__)
        futures = client.map(solve_region, regions, epsilon=epsilon)
        return client.gather(futures)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--regions", type=int, default=200, help="number of regions (default 200)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="worker processes (default: one per core)")
    parser.add_argument("--dask", metavar="ADDRESS",
                        help='run on a Dask cluster: a scheduler address, or "local" for one on this machine')
    parser.add_argument("--epsilon", type=float, default=EPSILON, help=f"box size of the thinning (default {EPSILON})")
    args = parser.parse_args(argv)
    regions = list(range(args.regions))

    start = time.perf_counter()
    try:
        if args.dask:
            try:
                import dask.distributed  # noqa: F401
            except ImportError:
                print('--dask needs Dask: python -m pip install "dask[distributed]"')
                return 1
            results = solve_with_dask(regions, args.dask, args.workers, args.epsilon)
            how = f"Dask ({args.dask})"
        else:
            results = solve_with_processes(regions, args.workers, args.epsilon)
            how = f"{args.workers} worker processes"
    except RuntimeError as error:
        if isinstance(error, BrokenExecutor):
            raise
        # A worker's PanicException, turned into a RuntimeError by solve_region.
        print(f"a region failed in trelvik: {error}", file=sys.stderr)
        return 1
    wall = time.perf_counter() - start

    n_stands = sum(stands for _, stands, _, _ in results)
    n_plans = sum(len(plans) for _, _, plans, _ in results)
    busy = sum(seconds for _, _, _, seconds in results)
    print(f"regions: {len(results)} ({n_stands} stands), solved with {how} in {wall:.2f} s "
          f"({busy:.2f} s inside find_pareto_front)")
    sizes = sorted(len(plans) for _, _, plans, _ in results)
    print(f"front sizes: {n_plans} plans in all, smallest {sizes[0]}, median {sizes[len(sizes) // 2]}, "
          f"largest {sizes[-1]}")

    # One programme: every region contributes its balanced plan.
    programme = [0.0] * N_OBJECTIVES
    for _, _, plans, _ in results:
        values = [totals for _, totals in plans]
        chosen = values[forest.balanced_index(values)]
        programme = [a + b for a, b in zip(programme, chosen)]
    shown = forest.display(programme)
    names = [f"{forest.OBJECTIVES[k][0]} {shown[k]:,.1f} {forest.OBJECTIVES[k][1]}"
             for k in range(N_OBJECTIVES)]
    print("balanced plans of all regions together: " + ", ".join(names))
    return 0


if __name__ == "__main__":
    sys.exit(main())
