"""The command trelvik-plan: fronts and epsilon estimates from a CSV table.

Exit status 0 on success, 2 for bad usage or bad input (one line on standard
error, no traceback). Output files are written through a temporary file and
renamed, so a failed run leaves no half-written file.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import platform
import sys
import time
from typing import Any, Dict, List, NoReturn, Optional, Sequence, TextIO, Tuple, cast

from ._estimate import Progress, estimate
from ._files import MissingDependency, number_text, require, write_csv_atomically, write_text_atomically
from ._plot import MAX_RANDOM_PLANS
from ._problem import Problem

PROG = "trelvik-plan"


class UsageError(Exception):
    """Bad usage or bad input: reported in one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see {self.prog} --help)")


def _version(package: str) -> str:
    from importlib import metadata

    try:
        return metadata.version(package)
    except metadata.PackageNotFoundError:
        return "unknown"


def _report_header(command: str, table: str, problem: Problem) -> Dict[str, Any]:
    """What every RUN.json starts with: the command, the input and its columns."""
    return {
        "command": command,
        "input": {"path": table, "sha256": problem.sha256},
        "stand": problem.stand_column,
        "option": problem.option_column,
        "area": problem.area_column,
        "per_ha": list(problem.per_ha),
    }


def _table_arguments(parser: argparse.ArgumentParser, *, directions: bool = True) -> None:
    parser.add_argument("table", metavar="TABLE.csv", help="the table: one row per stand and option")
    parser.add_argument("--stand", required=True, metavar="COL", help="the column that names the stand")
    parser.add_argument("--option", required=True, metavar="COL", help="the column that names the option")
    if directions:
        parser.add_argument("--max", "--maximise", "--maximize", dest="max", action="extend", nargs="+",
                            default=[], metavar="NAME", help="objective columns to maximise")
        parser.add_argument("--min", "--minimise", "--minimize", dest="min", action="extend", nargs="+",
                            default=[], metavar="NAME", help="objective columns to minimise")
    else:  # in `exact`, --maximise/--minimise name the column to optimise
        parser.add_argument("--max", dest="max", action="extend", nargs="+", default=[], metavar="NAME",
                            help="objective columns to maximise")
        parser.add_argument("--min", dest="min", action="extend", nargs="+", default=[], metavar="NAME",
                            help="objective columns to minimise")
    parser.add_argument("--area", metavar="COL", help="the column with each stand's area")
    parser.add_argument("--per-ha", dest="per_ha", action="extend", nargs="+", default=[], metavar="NAME",
                        help="columns given per hectare: multiplied by the stand's area")
    parser.add_argument("--delimiter", help="the CSV delimiter (default: ',' or ';', from the header line)")
    parser.add_argument("--decimal", choices=(".", ","), default=".", help="the decimal mark (default '.')")


def _positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not (value > 0 and value != float("inf")):
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive finite number")
    return value


def _plans(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if not 0 <= value <= MAX_RANDOM_PLANS:
        raise argparse.ArgumentTypeError(f"{text!r} is not from 0 to {MAX_RANDOM_PLANS:,}")
    return value


def _fraction(text: str) -> float:
    value = _positive(text)
    if value > 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a fraction of the stands (above 0, at most 1)")
    return value


def _objectives(args: argparse.Namespace, header: Sequence[str]) -> Dict[str, str]:
    """The objectives in the table's column order, each with its direction."""
    both = sorted(set(args.max) & set(args.min))
    if both:
        raise UsageError(f"column {both[0]!r} is given both to maximise and to minimise")
    directions = {**{name: "max" for name in args.max}, **{name: "min" for name in args.min}}
    order = {name: i for i, name in enumerate(header)}
    return {name: directions[name] for name in sorted(directions, key=lambda n: order.get(n, len(order)))}


def _header(path: str, delimiter: Optional[str]) -> List[str]:
    """The column names, for ordering the objectives (errors are left to the full read)."""
    import csv

    try:
        with open(path, encoding="utf-8-sig", newline="") as handle:
            first = handle.readline()
    except (OSError, UnicodeDecodeError):
        return []
    if delimiter is None:
        delimiter = ";" if first.count(";") > first.count(",") else ","
    try:
        none: List[str] = []
        cells = next(csv.reader([first], delimiter=delimiter), none)
        return [cell.strip() for cell in cells]
    except csv.Error:
        return []


def load(args: argparse.Namespace, extra_objectives: Optional[Dict[str, str]] = None) -> Problem:
    header = _header(args.table, args.delimiter)
    objectives = _objectives(args, header)
    for name, direction in (extra_objectives or {}).items():
        objectives.setdefault(name, direction)
    order = {name: i for i, name in enumerate(header)}
    objectives = {name: objectives[name] for name in sorted(objectives, key=lambda n: order.get(n, len(order)))}
    if not objectives:
        raise UsageError("no objectives: name the columns with --max and --min")
    return Problem.from_csv(args.table, stand=args.stand, option=args.option, objectives=objectives,
                            area=args.area, per_ha=args.per_ha, delimiter=args.delimiter, decimal=args.decimal)


def _units(texts: Sequence[str]) -> Dict[str, str]:
    units: Dict[str, str] = {}
    for text in texts:
        name, sep, unit = text.partition("=")
        if not sep or not name:
            raise UsageError(f"--unit {text!r}: write it as NAME=TEXT, for example income=k EUR")
        units[name] = unit
    return units


def _table_lines(problem: Problem, rows: Sequence[tuple[str, Sequence[float]]],
                 units: Dict[str, str]) -> List[str]:
    heads = [f"{n} ({units[n]})" if units.get(n) else n for n in problem.objectives]
    heads = [f"{h} {'max' if d == 'max' else 'min'}" for h, d in zip(heads, problem.directions)]
    label_width = max(len(label) for label, _ in rows)
    widths = [max(12, len(h)) for h in heads]
    lines = ["  ".join(["plan".ljust(label_width)] + [h.rjust(w) for h, w in zip(heads, widths)])]
    for label, values in rows:
        lines.append("  ".join([label.ljust(label_width)] + [f"{v:,.6g}".rjust(w) for v, w in zip(values, widths)]))
    return lines


def describe(problem: Problem) -> str:
    n_options = sum(len(o) for o in problem.options)
    return (f"table: {len(problem.stands)} stands, {n_options} options, objectives "
            + ", ".join(f"{n} ({d})" for n, d in zip(problem.objectives, problem.directions)))


def cmd_front(args: argparse.Namespace) -> int:
    _check_outputs(args.table, [("--out", args.out), ("--designs", args.designs), ("--plot", args.plot),
                                ("--report", args.report)])
    units = _units(args.unit)
    if args.plot is not None:
        require("matplotlib")
    began = time.perf_counter()
    problem = load(args)
    unknown = [name for name in units if name not in problem.objectives]
    if unknown:
        raise UsageError(f"--unit {unknown[0]}: not an objective; the objectives are "
                         + ", ".join(problem.objectives))
    front = problem.front(args.epsilon)
    print(describe(problem))
    print(f"front: {len(front)} plans with epsilon {args.epsilon:g}, computed in {front.seconds:.2f} s")
    if not len(front):
        raise UsageError("the front is empty")
    print()
    best_alone = problem.best_alone()
    rows = [(f"{p}: best {name}", front.totals[p]) for name in problem.objectives for p in [front.best(name)]]
    balanced = front.balanced()
    rows.append((f"{balanced}: balanced", front.totals[balanced]))
    rows.append(("best possible, one by one", tuple(best_alone[n] for n in problem.objectives)))
    print("\n".join(_table_lines(problem, rows, units)))
    print()
    front.write_totals(args.out)
    print(f"wrote {args.out} ({len(front)} plans)")
    if args.designs:
        front.write_designs(args.designs)
        print(f"wrote {args.designs} ({len(front)} plans x {len(problem.stands)} stands)")
    if args.plot:
        width, height = front.plot(args.plot, units=units, random_plans=args.random_plans)
        print(f"wrote {args.plot} ({width} x {height} pixels)")
    if args.report:
        report = {
            **_report_header("front", args.table, problem),
            "objectives": [{"name": n, "direction": d, "scale": s, "unit": units.get(n),
                            "best_alone": best_alone[n]}
                           for n, d, s in zip(problem.objectives, problem.directions, problem.scales)],
            "epsilon": args.epsilon,
            "plans": len(front),
            "front_seconds": front.seconds,
            "seconds": time.perf_counter() - began,
            "versions": {"trelvik": _version("trelvik"), "python": platform.python_version()},
        }
        write_text_atomically(args.report, json.dumps(report, indent=2) + "\n")
        print(f"wrote {args.report}")
    return 0


def cmd_estimate(args: argparse.Namespace) -> int:
    problem = load(args)
    print(describe(problem))
    results = estimate(problem, args.epsilon, sample=args.sample, seed=args.seed, progress=Progress())
    first = results[0]
    print(f"sample: {first.sample_stands} of {len(problem.stands)} stands (seed {args.seed}); "
          "predicted for the whole table from the sample")
    print()
    print(f"{'epsilon':>10}  {'sample plans':>12}  {'sample s':>9}  {'predicted plans':>15}  {'predicted s':>11}")
    for r in results:
        print(f"{r.epsilon:>10g}  {r.sample_plans:>12,}  {r.sample_seconds:>9.3f}  {r.plans:>15,}  {r.seconds:>11.3f}")
    print()
    print("The prediction is rough: the size was within 25 % and the time within a factor of two on most "
          "tables measured.")
    return 0


def _remove(path: str) -> None:
    """No file is left at --out when no plan is written, an earlier one included."""
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def cmd_exact(args: argparse.Namespace) -> int:
    from . import _exact as exact  # pyright: ignore[reportPrivateUsage]
    from ._bounds import parse_bound

    _check_outputs(args.table, [("--out", args.out), ("--report", args.report)])
    require("highspy")
    began = time.perf_counter()
    column = args.maximise or args.minimise
    sense = "max" if args.maximise else "min"
    problem = load(args, {column: sense})
    bounds = [parse_bound(text, problem.columns) for text in args.bound]
    for name in args.keep:
        if name not in problem.columns:
            raise UsageError(f"--keep {name}: unknown column; the table's columns are: "
                             + ", ".join(repr(c) for c in problem.columns))
    try:
        result = exact.solve_exact(problem, column, sense, bounds, time_limit=args.time_limit, epsilon=args.epsilon)
    except exact.SolverError as error:
        _remove(args.out)
        print("status: solver failed")
        sys.stdout.flush()
        print(f"{PROG}: {error}; nothing written", file=sys.stderr)
        return 1
    writes = result.found and result.status in (exact.OPTIMAL, exact.TIME_LIMIT) and not (
        args.require_optimal and result.status != exact.OPTIMAL)

    if result.status == exact.TIME_LIMIT and result.gap is not None:
        print(f"status: time limit, gap {100 * result.gap:.2f} %")
    elif result.status == exact.OPTIMAL:
        print("status: optimal")
    elif result.status == exact.INFEASIBLE:
        print("status: no plan meets the bounds")
    elif result.status == exact.NOT_FOUND:
        print("status: time limit, no plan found")
    else:
        print("status: bound missed")
    print(describe(problem))
    goal = "maximise" if sense == "max" else "minimise"
    print(f"{goal} {column}" + (f" subject to {len(bounds)} bound(s), each held to {exact.RELATIVE_TOLERANCE:g} "
                                "of its scale:" if bounds else ""))
    for k, bound in enumerate(bounds):
        line = f"  bound {k + 1}: {bound}"
        if result.found:
            line += f"  (plan: {result.bound_totals[k]!r})"
        if result.status == exact.INFEASIBLE:
            low, high = result.ranges[k]
            line += f"  (each plan reaches {low!r} to {high!r})"
        print(line)
    if result.status == exact.INFEASIBLE:
        print(f"no plan meets every bound: {result.solver} proved it in {result.seconds:.2f} s "
              "(the ranges above are what each bounded sum can reach on its own)")
    elif result.status == exact.NOT_FOUND:
        print(f"no plan found within the time limit of {args.time_limit:g} s; run again with a longer --time-limit")
    else:
        print(f"{column}: {result.value!r}" + (f" (the optimum is at most {result.best_bound!r} away: "
                                               f"{abs((result.best_bound or 0) - (result.value or 0))!r})"
                                               if result.status == exact.TIME_LIMIT else ""))
        if any(result.tightened):
            print("bounds tightened to hold after the solver's tolerance: "
                  + ", ".join(f"bound {k + 1} by {t!r}" for k, t in enumerate(result.tightened) if t))
        if result.status == exact.MISSED:
            print("the solver's plan misses a bound by more than its tolerance even after tightening: not written")
    start = (f"started from front plan {result.start} of {result.front_plans} (epsilon {args.epsilon:g})"
             if result.start is not None else
             f"no plan of the front ({result.front_plans} plans, epsilon {args.epsilon:g}) met the bounds")
    print(f"solved by {result.solver} in {result.seconds:.2f} s ({result.solves} solve(s)), {start}")

    if args.report:
        report = {
            **_report_header("exact", args.table, problem),
            "objectives": [{"name": n, "direction": d} for n, d in zip(problem.objectives, problem.directions)],
            "optimise": {"column": column, "sense": sense},
            "bounds": [{"text": b.text, "parsed": str(b), "tolerance": result.tolerances[k],
                        "reach": list(result.ranges[k]),
                        "plan": result.bound_totals[k] if result.bound_totals else None}
                       for k, b in enumerate(bounds)],
            "status": result.status,
            "written": args.out if writes else None,
            "value": result.value,
            "best_bound": result.best_bound,
            "gap": result.gap,
            "totals": result.totals,
            "warm_start": {"epsilon": args.epsilon, "front_plans": result.front_plans, "plan": result.start},
            "solver_seconds": result.seconds,
            "seconds": time.perf_counter() - began,
            "versions": {"trelvik": _version("trelvik"), "python": platform.python_version(),
                         "highspy": _version("highspy"), "solver": result.solver},
        }
        write_text_atomically(args.report, json.dumps(report, indent=2) + "\n")
        print(f"wrote {args.report}")
    if not writes:
        _remove(args.out)
        if result.status == exact.TIME_LIMIT and args.require_optimal:
            print("--require-optimal: the plan is not proven optimal; nothing written")
        return 1
    assert result.design is not None
    # A --keep column already in the header (or given twice) is written once.
    columns = [problem.stand_column, problem.option_column, *problem.objectives]
    kept = [name for name in dict.fromkeys(args.keep) if name not in columns]
    keep = [[problem.row_text(i, j, name) for name in kept] for i, j in enumerate(result.design)]
    write_csv_atomically(args.out, [*columns, *kept],
                         ([problem.stands[i], problem.options[i][j], *map(number_text, problem.values[i][j]),
                           *keep[i]] for i, j in enumerate(result.design)))
    print(f"wrote {args.out} ({len(problem.stands)} stands)")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Pareto fronts and plans from a planner's table (CSV).",
                     allow_abbrev=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    front = commands.add_parser("front", help="the epsilon-thinned Pareto front", allow_abbrev=False,
                                description="The front in the table's units: totals, designs, a picture.")
    _table_arguments(front)
    front.add_argument("--epsilon", type=_positive, required=True, metavar="E", help="the box size of the thinning")
    front.add_argument("--out", required=True, metavar="FRONT.csv", help="the plans' totals, one row per plan")
    front.add_argument("--designs", metavar="DESIGNS.csv", help="the plans' options, one row per plan and stand")
    front.add_argument("--plot", metavar="FRONT.png", help="draw the front (needs the plot extra)")
    front.add_argument("--random-plans", type=_plans, default=3000, metavar="N",
                       help="random plans drawn behind the front (default 3000)")
    front.add_argument("--unit", action="append", default=[], metavar="NAME=TEXT",
                       help="an objective's unit for labels, e.g. income='k EUR'")
    front.add_argument("--report", metavar="RUN.json", help="what was run, with which input and versions")
    front.set_defaults(run=cmd_front)

    guess = commands.add_parser("estimate", help="front size and time per epsilon, from a sample",
                                allow_abbrev=False,
                                description="Solves a seeded sample of the stands at each epsilon and "
                                            "scales the front size and time to the whole table.")
    _table_arguments(guess)
    guess.add_argument("--epsilon", type=_positive, nargs="+", required=True, metavar="E", help="epsilons to try")
    guess.add_argument("--sample", type=_fraction, default=0.2, metavar="FRACTION",
                       help="the share of the stands to solve (default 0.2)")
    guess.add_argument("--seed", type=int, default=0, metavar="N", help="the sample's seed (default 0)")
    guess.set_defaults(run=cmd_estimate)

    from ._exact import WARM_START_EPSILON

    best = commands.add_parser("exact", help="the best plan for one column at chosen bounds (HiGHS)",
                               allow_abbrev=False,
                               description="Maximise or minimise one column subject to bounds, exactly "
                                           "(needs the exact extra). Exit status 0 when a plan is written, "
                                           "1 when none is, 2 for bad usage or input.")
    _table_arguments(best, directions=False)
    goal = best.add_mutually_exclusive_group(required=True)
    goal.add_argument("--maximise", "--maximize", dest="maximise", metavar="NAME", help="the column to maximise")
    goal.add_argument("--minimise", "--minimize", dest="minimise", metavar="NAME", help="the column to minimise")
    best.add_argument("--bound", action="append", default=[], metavar='"EXPR>=V"',
                      help='a bound, e.g. "vol_p2>=0.95*vol_p1" or "habitat[unit=North]<=40"; repeatable')
    best.add_argument("--epsilon", type=_positive, default=WARM_START_EPSILON, metavar="E",
                      help=f"epsilon of the front that gives the start plan (default {WARM_START_EPSILON:g})")
    best.add_argument("--time-limit", type=_positive, metavar="S", help="stop the solver after S seconds")
    best.add_argument("--require-optimal", action="store_true",
                      help="write nothing and exit 1 unless the plan is proven optimal")
    best.add_argument("--keep", action="extend", nargs="+", default=[], metavar="COL",
                      help="columns copied into PLAN.csv as written")
    best.add_argument("--out", required=True, metavar="PLAN.csv", help="the plan: one row per stand")
    best.add_argument("--report", metavar="RUN.json", help="what was run, the status and the versions")
    best.set_defaults(run=cmd_exact)
    return parser


class _Stdout:
    """Standard output that a reader who has gone cannot break.

    With ``trelvik-plan exact ... | head -1`` the pipe closes after the status
    line; the rest of the report is then dropped (standard output goes to the
    null device) and the command still writes its files and returns its status.
    """

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.gone = False

    def _drop(self) -> None:
        self.gone = True
        try:
            null = os.open(os.devnull, os.O_WRONLY)
            try:
                os.dup2(null, self.stream.fileno())
            finally:
                os.close(null)
        except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
            pass

    def write(self, text: str) -> int:
        if not self.gone:
            try:
                return self.stream.write(text)
            except BrokenPipeError:
                self._drop()
        return len(text)

    def flush(self) -> None:
        if not self.gone:
            try:
                self.stream.flush()
            except BrokenPipeError:
                self._drop()

    def __getattr__(self, name: str) -> Any:
        return getattr(self.stream, name)


def _check_outputs(table: str, outputs: Sequence[Tuple[str, Optional[str]]]) -> None:
    """Before any work: no output may overwrite (or, on exit 1, remove) the table or another output,
    and each must go to a folder that exists."""
    seen: Dict[str, str] = {}
    for flag, path in outputs:
        if not path:
            continue
        real = os.path.realpath(path)
        same = real == os.path.realpath(table)
        if not same and os.path.exists(path) and os.path.exists(table):
            same = os.path.samefile(path, table)
        if same:
            raise UsageError(f"{flag} {path}: that is the input table")
        if real in seen:
            raise UsageError(f"{flag} {path}: the same file as {seen[real]}")
        seen[real] = f"{flag} {path}"
        if os.path.isdir(real):
            raise UsageError(f"{flag} {path}: is a folder")
        if os.path.exists(real) and not os.path.isfile(real):
            raise UsageError(f"{flag} {path}: not a regular file (outputs are written to a temporary file "
                             "and renamed over it)")
        folder = os.path.dirname(real)
        if not os.path.isdir(folder):
            raise UsageError(f"{flag} {path}: no folder {folder}")


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    saved = sys.stdout
    sys.stdout = cast(TextIO, _Stdout(saved))
    try:
        args = parser.parse_args(argv)
        status: int = args.run(args)
        return status
    except (UsageError, ValueError, MissingDependency) as error:
        sys.stdout.flush()
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        sys.stdout.flush()
        name = f"{error.filename}: " if error.filename else ""
        print(f"{PROG}: error: {name}{error.strerror or error}", file=sys.stderr)
        return 2
    except MemoryError:
        sys.stdout.flush()
        print(f"{PROG}: error: out of memory (a larger --epsilon gives a smaller front; "
              f"{PROG} estimate predicts its size)", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    finally:
        # What is still buffered goes out now, where a reader who has gone is
        # caught, not at the interpreter's exit, which would end with status 120.
        sys.stdout.flush()
        sys.stdout = saved


def run() -> None:
    """The console script's entry point."""
    sys.exit(main())


__all__ = ["main", "run", "build_parser", "number_text"]
