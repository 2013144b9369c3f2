"""Where the engine's time goes: keying, the box map, the filter, the rest.

    python benchmarks/time_split.py n4-300-stands n5-100-stands

For each named workload of run.py it records one process that builds the
table and calls find_pareto_front a few times, with `perf record -e
cpu-clock` (a software clock: no hardware counters needed), and sorts the
samples by function and by the source file of the sampled line, so that
code inlined into the stage loop is told apart:

* keying: lines of grid_key.hpp / grid_key.cpp (the box index of a sum);
* box map: lines of box_map.hpp / box_map.cpp, find_or_add_box and
  grow_slots, and the dominance test with which a box's holder is replaced;
* filter: the non-dominated filter (nondominated.cpp, filters.hpp and the
  filter_*.cpp files, with the library code they inline);
* stage loop and the rest: everything else in the module (the sums, the
  stage's bookkeeping, the design history, tracing the designs, converting
  the table and building the result).

Shares are of the samples in the module and in the C library and kernel
work it causes (copies, page faults); the interpreter's own work (building
the table in Python) is left out. The module needs line information: build
it with -g, e.g.

    cmake -S . -B build-prof -G Ninja -DCMAKE_BUILD_TYPE=Release \\
        -DCMAKE_CXX_FLAGS=-g -DPython_EXECUTABLE=$(which python3)
    cmake --build build-prof
    PYTHONPATH=build-prof python benchmarks/time_split.py n4-300-stands

Needs Linux and perf.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from run import QUICK, SEED, WORKLOADS  # noqa: E402

CATEGORIES = ("keying", "box map", "filter", "stage loop and the rest")
FILTER_FILES = re.compile(r"^(nondominated\.(cpp|hpp)|filters\.hpp|filter_\w+\.(cpp|hpp))$")
FILTER_SYMBOLS = re.compile(r"mark_non_dominated|mark_by_|lexicographic_order|radix_sort|z_order|ZTreeSweep|sweep<")
BOX_SYMBOLS = re.compile(r"find_or_add_box|grow_slots|reset_boxes|place_all")
ENGINE_DSO = re.compile(r"^trelvik\b")
HELPER_DSO = re.compile(r"^(libc\.so|libm\.so|libstdc\+\+\.so|\[kernel)")


def classify(dso, symbol, srcfile):
    """The category of one line of `perf report`, or None for the interpreter's own work."""
    if ENGINE_DSO.match(dso):
        if srcfile.startswith("grid_key."):
            return "keying"
        if FILTER_SYMBOLS.search(symbol) or FILTER_FILES.match(srcfile):
            # dominates() inlined into the stage loop replaces a box's holder.
            if "build_front" in symbol or "fill_boxes" in symbol:
                return "box map"
            return "filter"
        if BOX_SYMBOLS.search(symbol) or srcfile.startswith("box_map."):
            return "box map"
        return "stage loop and the rest"
    if HELPER_DSO.match(dso):
        return "stage loop and the rest"
    return None


def split(workload, repeats):
    name, stands, options, variables, epsilon = workload
    script = (
        "import sys, trelvik\n"
        f"sys.path.insert(0, {HERE!r})\n"
        "from forest_tables import forest_table\n"
        f"table = forest_table({stands}, {options}, {variables}, {SEED})\n"
        f"for _ in range({repeats}):\n"
        f"    trelvik.find_pareto_front(table, {epsilon!r})\n"
    )
    with tempfile.TemporaryDirectory(prefix="trelvik-split-") as workdir:
        data = os.path.join(workdir, "perf.data")
        subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-o", data, sys.executable, "-c", script],
                       check=True, stdout=subprocess.DEVNULL)
        report = subprocess.run(
            ["perf", "report", "-i", data, "--no-children", "--stdio", "-F", "overhead,dso,sym,srcfile"],
            check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    shares = dict.fromkeys(CATEGORIES, 0.0)
    line = re.compile(r"^\s*([\d.]+)%\s+(\S+)\s+\[[.k]\]\s+(.*?)\s{2,}(\S*)\s*$")
    for text in report.splitlines():
        match = line.match(text)
        if not match:
            continue
        share, dso, symbol, srcfile = float(match[1]), match[2], match[3], match[4]
        category = classify(dso, symbol, srcfile)
        if category:
            shares[category] += share
    total = sum(shares.values())
    return {k: 100.0 * v / total for k, v in shares.items()} if total else shares


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("workloads", nargs="+", help="names of run.py workloads")
    parser.add_argument("--repeats", type=int, default=3, help="calls per workload (default 3)")
    options = parser.parse_args()
    if not shutil.which("perf"):
        sys.exit("perf is not installed")
    known = {w[0]: w for w in WORKLOADS + QUICK}
    print(f"{'workload':<15} {'N':>1} {'opt':>3}  " + "  ".join(f"{c:>10}" for c in CATEGORIES[:3]) +
          f"  {CATEGORIES[3]}")
    for name in options.workloads:
        if name not in known:
            sys.exit(f"unknown workload {name!r}; known: {', '.join(known)}")
        shares = split(known[name], options.repeats)
        if not any(shares[c] for c in CATEGORIES[:3]):
            sys.exit("the profile names no function of the engine: the module has no symbols or line "
                     "information (an installed wheel is stripped); use a build with -g, as above")
        w = known[name]
        print(f"{name:<15} {w[3]:>1} {w[2]:>3}  " + "  ".join(f"{shares[c]:>9.1f}%" for c in CATEGORIES[:3]) +
              f"  {shares[CATEGORIES[3]]:>9.1f}%", flush=True)


if __name__ == "__main__":
    main()
