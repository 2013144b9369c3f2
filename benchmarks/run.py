"""Benchmarks of find_pareto_front on realistic forest-planning tables.

    python benchmarks/run.py           # the fixed set (a few minutes)
    python benchmarks/run.py --quick   # a small subset (well under a minute)
    python benchmarks/run.py --rounds 3  # each call timed in 3 rounds, for a noisy machine

For every workload it prints the wall time of one call, the number of
candidates the engine formed (front after the previous stage times the
options of the stand), the time per candidate, the largest front of any
stage, the final front and the peak resident memory of the call. The cost per
candidate is set against the bare per-candidate work of candidate_floor.cpp
in this folder (N additions, N log1p, one hash), compiled with the C++
compiler in $CXX (else c++, g++ or clang++) and run before and after the
workloads on the same machine.

How the figures are obtained:

* Timed run: each workload runs in a fresh interpreter. The table is built,
  the garbage collector is run and switched off, the kernel's peak-RSS mark is
  reset (/proc/self/clear_refs), and the call is timed, by wall clock and by
  the CPU time of the process; the call is repeated (at most 5 times) until
  2 s of CPU time are spent, and the best times are kept. The time per
  candidate is taken from the CPU time, which other work on a shared machine
  disturbs far less than the wall time. With --rounds R, the timed runs of
  all workloads are repeated R - 1 times after the first pass, each round
  followed by another run of the floor, and the best times and the lowest
  floor are kept: a slow spell of a shared host that lasts through one
  workload's timing (seconds) then no longer decides its figure. Peak memory
  is ru_maxrss after the first call minus the resident size before it
  (without the reset, minus ru_maxrss before it).
* Stage statistics: the module reports no per-stage figures, so they are
  replayed in another fresh interpreter, never within the timed run. The
  engine is deterministic and works stand by stand, so the final front of the
  table cut after its first k stands is the front after stage k-1 of the full
  call, provided that the cut table has the same per-variable minima (every
  value is shifted by them). When the cut drops a stand that holds a minimum,
  one extra stand with the single option "all minima" is appended: its shifted
  vector is 1e-9 in every variable, so it restores the shift and moves every
  front member by 1e-9, which changes the front only if that moves two
  members into one box. Prefixes are replayed within a time budget per
  workload (--stats-budget): every short prefix while a third of it lasts,
  then a sample of longer ones that is refined evenly over the rest of the
  table (halves, quarters, ...). When every prefix fits, the figures are
  exact; otherwise the front sizes between the replayed prefixes are
  interpolated linearly, the candidates are marked "~" (an estimate) and the
  largest front ">=" (the largest one seen).
* Conversion: a call whose table is valid and whose epsilon is "x" converts
  the whole table and then fails on epsilon, so it times the conversion of the
  Python table alone.
"""

import argparse
import gc
import json
import math
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from forest_tables import forest_table  # noqa: E402

FLOOR_SOURCE = os.path.join(HERE, "candidate_floor.cpp")
FLOOR_VARIABLES = [2, 3, 4, 5, 6]
SEED = 1

# name, stands, options, variables, epsilon. Workloads sharing a name prefix
# before "/" form an epsilon pair: the second has the smaller epsilon.
WORKLOADS = [
    ("n2-5000-stands", 5000, 3, 2, 7e-5),
    ("n2-pair/a", 1000, 10, 2, 2e-4),
    ("n2-pair/b", 1000, 10, 2, 1e-4),
    ("n2-30-options", 100, 30, 2, 1e-4),
    ("n3-pair/a", 200, 10, 3, 2e-3),
    ("n3-pair/b", 200, 10, 3, 1.5e-3),
    ("n3-1000-stands", 1000, 10, 3, 1e-3),
    ("n3-30-options", 100, 30, 3, 3e-3),
    ("n4-pair/a", 100, 5, 4, 6e-3),
    ("n4-pair/b", 100, 5, 4, 4.6e-3),
    ("n4-300-stands", 300, 3, 4, 2e-3),
    ("n4-20-options", 100, 20, 4, 4e-3),
    ("n4-4-options", 150, 4, 4, 2.5e-3),
    ("n5-100-stands", 100, 4, 5, 1e-2),
    ("n6-100-stands", 100, 4, 6, 1.5e-2),
]
QUICK = [
    ("n2-quick/a", 200, 10, 2, 2e-4),
    ("n2-quick/b", 200, 10, 2, 1e-4),
    ("n3-quick", 100, 10, 3, 2e-3),
    ("n4-quick", 100, 5, 4, 5e-3),
    ("n5-quick", 60, 4, 5, 1e-2),
    ("n6-quick", 60, 4, 6, 2e-2),
]
# stands, options, variables for the conversion timings
CONVERSION = [(2000, 20, 2), (2000, 20, 3), (2000, 20, 4)]
QUICK_CONVERSION = [(500, 20, 3)]

TARGET_FLOOR_RATIO = 1.5
TARGET_MIN_FRONT = 2000
# Four variables with few options per stand: a tighter ratio, on larger fronts.
TARGET_FEW_OPTIONS = 5
TARGET_FEW_OPTIONS_RATIO = 1.2
TARGET_FEW_OPTIONS_MIN_FRONT = 5000
TARGET_PAIR_RATIO = 2.5
TARGET_MEMORY_KIB = 1 << 20
TARGET_CONVERSION_NS = 50.0


# ---------------------------------------------------------------- workers


def _rss_kib():
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _reset_peak():
    """Resets the kernel's peak-RSS mark to the current RSS; False if not possible."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def worker_timed(stands, options, variables, epsilon):
    import trelvik

    table = forest_table(stands, options, variables, SEED)
    gc.collect()
    gc.disable()
    if _reset_peak() and _rss_kib() is not None:
        baseline = _rss_kib()
    else:
        baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    wall, cpu = math.inf, math.inf
    front = peak = None
    repeats = 0
    spent = 0.0
    while repeats < 1 or (spent < 2.0 and repeats < 5):
        start_wall, start_cpu = time.perf_counter(), time.process_time()
        result = trelvik.find_pareto_front(table, epsilon)
        spent += time.process_time() - start_cpu
        cpu = min(cpu, time.process_time() - start_cpu)
        wall = min(wall, time.perf_counter() - start_wall)
        if peak is None:
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            front = len(result)
        del result
        repeats += 1
    return {"seconds": wall, "cpu": cpu, "front": front, "memory_kib": peak - baseline, "repeats": repeats}


def _minima(table, variables):
    """Per-variable minima as the engine takes them (strictly smaller wins)."""
    minima = [math.inf] * variables
    for stand in table:
        for option in stand:
            for k in range(variables):
                if option[k] < minima[k]:
                    minima[k] = option[k]
    return minima


def _sample_order(lo, hi):
    """Prefix lengths in (lo, hi), coarse to fine: halves, then quarters, and so
    on, each level visited in bit-reversed order so that stopping part-way
    through a level still leaves the sample spread over the whole range."""
    seen = set()
    level = 1
    while len(seen) < hi - lo - 1:
        count = 1 << (level - 1)
        bits = level - 1
        for i in range(count):
            j = int(format(i, f"0{bits}b")[::-1], 2) if bits else 0
            k = lo + ((hi - lo) * (2 * j + 1)) // (2 * count)
            if lo < k < hi and k not in seen:
                seen.add(k)
                yield k
        level += 1


def worker_stats(stands, options, variables, epsilon, budget):
    import trelvik

    table = forest_table(stands, options, variables, SEED)
    minima = _minima(table, variables)
    fronts = {1: len(table[0])}  # prefix length k -> front after stage k-1
    padded = 0
    start = time.perf_counter()

    def replay(k):
        nonlocal padded
        prefix = table[:k]
        if _minima(prefix, variables) != minima:
            # Restore the full table's shift with a stand holding all minima.
            prefix = prefix + [[list(minima)]]
            padded += 1
        fronts[k] = len(trelvik.find_pareto_front(prefix, epsilon))

    # Every short prefix while a third of the budget lasts (they are cheap and
    # the front changes fastest there), then a spread sample of the rest.
    head = 1
    while head + 1 < stands and time.perf_counter() - start < budget / 3:
        head += 1
        replay(head)
    for k in _sample_order(head, stands):
        if time.perf_counter() - start >= budget:
            break
        replay(k)
    return {
        "fronts": sorted(fronts.items()),
        "exact": len(fronts) == stands - 1,
        "padded": padded,
        "seconds": time.perf_counter() - start,
    }


def worker_conversion(stands, options, variables):
    import trelvik

    table = forest_table(stands, options, variables, SEED)
    gc.collect()
    gc.disable()
    best = math.inf
    for _ in range(5):
        start = time.process_time()
        try:
            trelvik.find_pareto_front(table, "x")
        except TypeError:
            pass
        else:
            raise RuntimeError("epsilon 'x' was accepted")
        best = min(best, time.process_time() - start)
    # For scale: a Python loop over the same table that calls float() on every value.
    walk = math.inf
    for _ in range(3):
        start = time.process_time()
        for stand in table:
            for option in stand:
                for value in option:
                    float(value)
        walk = min(walk, time.process_time() - start)
    return {"cpu": best, "values": stands * options * variables, "python_walk": walk}


def run_worker(kind, *args):
    """Runs one worker in a fresh interpreter and returns its JSON answer."""
    command = [sys.executable, os.path.abspath(__file__), "--worker", kind, json.dumps(args)]
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"worker {kind} {args} failed:\n{done.stderr}")
    return json.loads(done.stdout)


# ---------------------------------------------------------------- floor


def _compiler():
    for name in (os.environ.get("CXX"), "c++", "g++", "clang++"):
        if name and shutil.which(name):
            return shutil.which(name)
    raise RuntimeError("no C++ compiler found for candidate_floor.cpp; set CXX")


def build_floor(workdir):
    """Compiles candidate_floor.cpp into workdir and returns the program's path."""
    binary = os.path.join(workdir, "candidate_floor")
    subprocess.run([_compiler(), "-O2", "-std=c++20", "-o", binary, FLOOR_SOURCE], check=True)
    return binary


def measure_floor(binary):
    """One run of the floor program: ns per candidate for each N.

    The program times itself by its own CPU time (best of five passes), so
    other work on the machine disturbs it far less than a wall clock would;
    run.py runs it before and after the workloads and uses the lower figure."""
    out = subprocess.run([binary], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                         check=True).stdout
    floor = {int(n): float(ns) for n, ns in re.findall(r"N=(\d+): ([\d.]+) ns/candidate", out)}
    if sorted(floor) != FLOOR_VARIABLES:
        raise RuntimeError("unexpected output of candidate_floor:\n" + out)
    return floor


# ---------------------------------------------------------------- statistics


def stage_figures(stands, options, fronts, final_front):
    """Candidates and largest front from the sampled fronts (k -> front after stage k-1)."""
    known = dict(fronts)
    known[stands] = final_front
    ks = sorted(known)
    largest = max(known.values())
    candidates = 0.0
    # candidates of stage s = front after stage s-1 (prefix length s) * options
    for lo, hi in zip(ks, ks[1:]):
        for s in range(lo, hi):
            f = known[lo] + (known[hi] - known[lo]) * (s - lo) / (hi - lo)
            candidates += f * options
    return candidates, largest


def fmt_kib(kib):
    return f"{kib / 1024:.1f}"


def report(rows, conv_rows, floor_runs, rounds):
    floor = {n: min(run[n] for run in floor_runs) for n in floor_runs[0]}
    print()
    if rounds == 1:
        print("candidate floor (candidate_floor.cpp), ns/candidate of CPU time, run before / after the")
        print("workloads; the lower figure is the floor used:")
    else:
        print("candidate floor (candidate_floor.cpp), ns/candidate of CPU time, run before the workloads")
        print(f"and after each of {rounds} rounds; the lowest figure is the floor used:")
    for n in sorted(floor):
        print(f"  N={n}: {' / '.join(f'{run[n]:.2f}' for run in floor_runs)} -> {floor[n]:.2f}")
    print()
    timing = "best of up to 5, until 2 s of CPU" + ("" if rounds == 1 else f", in each of {rounds} rounds")
    print(f"seconds: wall and CPU time of one call ({timing}); ns/cand and")
    print("x floor from the CPU time; largest: largest front of any stage; peak: peak RSS of the call;")
    print("result: the design and target arrays of the returned solutions alone (final x (stands + N) x 8 bytes)")
    header = (f"{'workload':<15} {'stands':>6} {'opt':>3} {'N':>1} {'epsilon':>7} {'wall s':>7} {'cpu s':>7} "
              f"{'candidates':>12} {'ns/cand':>7} {'x floor':>7} {'largest':>8} {'final':>5} {'peak MiB':>8} {'result':>6}  stage statistics")
    print(header)
    print("-" * len(header))
    for r in rows:
        t, st = r["timed"], r["stats"]
        r["ns"] = t["cpu"] * 1e9 / r["candidates"] if r["candidates"] else math.nan
        mark = "" if st["exact"] else "~"
        how = "exact, all prefixes" if st["exact"] else f"{len(st['fronts']) - 1} of {r['stands'] - 2} prefixes"
        if st["padded"]:
            how += f" ({st['padded']} padded)"
        print(f"{r['name']:<15} {r['stands']:>6} {r['options']:>3} {r['variables']:>1} {r['epsilon']:>7.1e} "
              f"{t['seconds']:>7.3f} {t['cpu']:>7.3f} {mark + format(round(r['candidates']), ','):>12} "
              f"{r['ns']:>7.1f} {r['ns'] / floor[r['variables']]:>7.2f} "
              f"{('>=' if mark else '') + str(r['largest']):>8} {t['front']:>5} {fmt_kib(t['memory_kib']):>8} "
              f"{fmt_kib(t['front'] * (r['stands'] + r['variables']) * 8 / 1024):>6}  {how}")

    print()
    print("epsilon pairs (same table, smaller epsilon second). The front is measured by its mean over the")
    print("stages (candidates / options); 'per doubling' scales the time ratio to a doubling of that mean:")
    pairs = {}
    for r in rows:
        if "/" in r["name"]:
            pairs.setdefault(r["name"].split("/")[0], []).append(r)
    pair_results = []
    for name, (a, b) in pairs.items():
        time_ratio = b["timed"]["cpu"] / a["timed"]["cpu"]
        mean_ratio = b["candidates"] / a["candidates"]  # same table, so same options per stage
        per_doubling = time_ratio ** (math.log(2) / math.log(mean_ratio)) if mean_ratio > 1 else math.nan
        pair_results.append((name, a["variables"], per_doubling))
        ms = [x["timed"]["cpu"] / (x["stands"] - 1) * 1e3 for x in (a, b)]
        print(f"  {name}: epsilon {a['epsilon']:.1e} -> {b['epsilon']:.1e}: mean front x{mean_ratio:.2f}, "
              f"largest x{b['largest'] / a['largest']:.2f}, final x{b['timed']['front'] / a['timed']['front']:.2f}; "
              f"time per stage {ms[0]:.2f} -> {ms[1]:.2f} ms, x{time_ratio:.2f}; per doubling x{per_doubling:.2f}; "
              f"peak {fmt_kib(a['timed']['memory_kib'])} -> {fmt_kib(b['timed']['memory_kib'])} MiB")

    print()
    print("conversion of the Python table (a call with epsilon='x', best of 5, CPU time):")
    conv_results = []
    for s, o, v, c in conv_rows:
        ns = c["cpu"] * 1e9 / c["values"]
        conv_results.append(ns)
        print(f"  {s} stands x {o} options x {v} variables = {c['values']:,} values: {c['cpu'] * 1e3:.2f} ms, "
              f"{ns:.1f} ns/value (Python loop calling float() on each value: "
              f"{c['python_walk'] * 1e9 / c['values']:.1f} ns/value)")

    print()
    print("targets:")
    for n in sorted(floor):
        eligible = [r for r in rows if r["variables"] == n and r["largest"] >= TARGET_MIN_FRONT]
        if not eligible:
            print(f"  cost per candidate <= {TARGET_FLOOR_RATIO} x floor, N={n}: no workload with a front of "
                  f">= {TARGET_MIN_FRONT}")
            continue
        worst = max(r["ns"] / floor[n] for r in eligible)
        best = min(r["ns"] / floor[n] for r in eligible)
        verdict = "met" if worst <= TARGET_FLOOR_RATIO else "MISSED"
        print(f"  cost per candidate <= {TARGET_FLOOR_RATIO} x floor, N={n}: x{best:.2f} to x{worst:.2f} over "
              f"{len(eligible)} workload(s) with a largest front >= {TARGET_MIN_FRONT} -> {verdict}")
    few = [r for r in rows if r["variables"] == 4 and r["options"] <= TARGET_FEW_OPTIONS
           and r["largest"] >= TARGET_FEW_OPTIONS_MIN_FRONT]
    if few:
        ratios = [r["ns"] / floor[4] for r in few]
        verdict = "met" if max(ratios) <= TARGET_FEW_OPTIONS_RATIO else "MISSED"
        print(f"  cost per candidate <= {TARGET_FEW_OPTIONS_RATIO} x floor, N=4 with at most {TARGET_FEW_OPTIONS} "
              f"options: x{min(ratios):.2f} to x{max(ratios):.2f} over {len(few)} workload(s) with a largest "
              f"front >= {TARGET_FEW_OPTIONS_MIN_FRONT} -> {verdict}")
    for name, n, per_doubling in pair_results:
        verdict = "met" if per_doubling <= TARGET_PAIR_RATIO else "MISSED"
        print(f"  time per stage x{TARGET_PAIR_RATIO} at most per doubling of the front, N={n} ({name}): "
              f"x{per_doubling:.2f} -> {verdict}")
    worst_memory = max(r["timed"]["memory_kib"] for r in rows)
    verdict = "met" if worst_memory < TARGET_MEMORY_KIB else "MISSED"
    print(f"  peak memory of a call under 1 GiB: at most {fmt_kib(worst_memory)} MiB -> {verdict}")
    worst_conv = max(conv_results)
    verdict = "met" if worst_conv <= TARGET_CONVERSION_NS else "MISSED"
    print(f"  conversion at most {TARGET_CONVERSION_NS:.0f} ns/value: at most {worst_conv:.1f} ns -> {verdict}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a small subset")
    parser.add_argument("--stats-budget", type=float, default=None,
                        help="seconds of prefix replay per workload (default 8, with --quick 3)")
    parser.add_argument("--rounds", type=int, default=1,
                        help="rounds of timed runs per workload, the best kept (default 1)")
    parser.add_argument("--worker", nargs=2, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.rounds < 1:
        parser.error("--rounds must be at least 1")

    if options.worker:
        kind, args = options.worker[0], json.loads(options.worker[1])
        worker = {"timed": worker_timed, "stats": worker_stats, "conversion": worker_conversion}[kind]
        json.dump(worker(*args), sys.stdout)
        return

    try:
        import trelvik
    except ImportError:
        sys.exit("trelvik is not importable: install it (python -m pip install .) or put a build folder "
                 "on PYTHONPATH (see benchmarks/README.md)")

    workloads = QUICK if options.quick else WORKLOADS
    conversions = QUICK_CONVERSION if options.quick else CONVERSION
    budget = options.stats_budget or (3.0 if options.quick else 8.0)
    started = time.perf_counter()
    print(f"python {sys.version.split()[0]}, trelvik from {os.path.relpath(os.path.dirname(trelvik.__file__))}, "
          f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f} at the start", flush=True)
    workdir = tempfile.mkdtemp(prefix="trelvik-bench-")
    try:
        floor_binary = build_floor(workdir)
        floor_runs = [measure_floor(floor_binary)]
        rows = []
        for name, stands, n_options, variables, epsilon in workloads:
            timed = run_worker("timed", stands, n_options, variables, epsilon)
            stats = run_worker("stats", stands, n_options, variables, epsilon, budget)
            candidates, largest = stage_figures(stands, n_options, stats["fronts"], timed["front"])
            rows.append(dict(name=name, stands=stands, options=n_options, variables=variables,
                             epsilon=epsilon, timed=timed, stats=stats, candidates=candidates,
                             largest=largest))
            print(f"  {name}: {timed['cpu']:.2f} s, replay {stats['seconds']:.1f} s", file=sys.stderr, flush=True)
        conv_rows = [(s, o, v, run_worker("conversion", s, o, v)) for s, o, v in conversions]
        floor_runs.append(measure_floor(floor_binary))
        for round_number in range(2, options.rounds + 1):
            for row in rows:
                again = run_worker("timed", row["stands"], row["options"], row["variables"], row["epsilon"])
                row["timed"]["cpu"] = min(row["timed"]["cpu"], again["cpu"])
                row["timed"]["seconds"] = min(row["timed"]["seconds"], again["seconds"])
            floor_runs.append(measure_floor(floor_binary))
            print(f"  round {round_number} of {options.rounds} done", file=sys.stderr, flush=True)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    report(rows, conv_rows, floor_runs, options.rounds)
    print(f"\ntotal {time.perf_counter() - started:.0f} s, load average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
