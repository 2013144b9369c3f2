"""A planning problem read from the planner's own long table.

One row per stand and option (treatment); a column names the stand, a column
names the option, and the objectives are further columns, each to be
maximised or minimised. Everything is checked while the table is read, so a
problem that exists is sound: at least two stands, every stand with at least
one option, every objective value a finite number.
"""

from __future__ import annotations

import csv
import hashlib
import io
import math
import numbers
import os
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

__all__ = ["Problem", "Direction", "read_csv", "check_epsilon", "SMALLEST_EPSILON"]

Direction = str  # "max" or "min"
PathLike = Union[str, "os.PathLike[str]"]

_DIRECTIONS = {
    "max": "max", "maximise": "max", "maximize": "max",
    "min": "min", "minimise": "min", "minimize": "min",
}


def _direction(name: str, text: str) -> Direction:
    try:
        return _DIRECTIONS[str(text).strip().lower()]
    except KeyError:
        raise ValueError(f"objective {name!r}: direction {text!r} is neither 'max' nor 'min'") from None


# Below this, trelvik's box numbers stop growing (about ln(1 + sum) / 2**64) and the
# front collapses to a few plans; the engine itself accepts such values.
SMALLEST_EPSILON = 1e-15


def check_epsilon(epsilon: float) -> float:
    """Epsilon as the front needs it: a finite number of at least SMALLEST_EPSILON."""
    if isinstance(epsilon, bool) or not isinstance(epsilon, numbers.Real) or not (
            math.isfinite(epsilon) and epsilon > 0):
        raise ValueError(f"epsilon must be a positive finite number, not {epsilon!r}")
    if epsilon < SMALLEST_EPSILON:
        raise ValueError(f"epsilon {epsilon!r} is below {SMALLEST_EPSILON:g}: the boxes stop growing and the "
                         "front would collapse to a few plans")
    return float(epsilon)


def _grid(epsilon: float) -> float:
    """The power of two that engine values are rounded to: about a millionth of epsilon."""
    return math.ldexp(1.0, math.frexp(epsilon)[1] - 21)


def _is_missing(cell: object) -> bool:
    if cell is None:
        return True
    if isinstance(cell, str):
        return cell.strip() == ""
    if isinstance(cell, float):
        return math.isnan(cell)
    # pandas' NA and NaT, NumPy's NaN scalars: anything that is not equal to itself.
    try:
        return bool(cell != cell)
    except Exception:  # noqa: BLE001 - an object that cannot compare is not a missing marker
        return False


def _label(cell: object) -> str:
    """A stand or option label as text: strings exactly as written, other values through str()."""
    return cell if isinstance(cell, str) else str(cell)


class Problem:
    """A planner's table: stands, their options, objectives with directions.

    Build one with :meth:`from_csv`, :meth:`from_dataframe` or
    :meth:`from_rows`. Labels are text (``"0102"`` stays ``"0102"``); a label
    that is not a string (from a DataFrame or mapping) is turned into one with
    ``str()``. Stands keep the order in which they first appear, and each
    stand's options the order of their rows. With ``area`` and ``per_ha``, the
    columns named in ``per_ha`` hold values per hectare, and every use of them
    (objectives, totals, bounds) multiplies them by the stand's area.

    Attributes (read-only by convention):

    - ``columns``: every column of the table, in order.
    - ``stand_column``, ``option_column``: the names of the label columns.
    - ``objectives``: the objective columns; ``directions``: "max" or "min" for each.
    - ``stands``: the stand labels; ``options``: each stand's option labels.
    - ``values``: ``values[i][j][k]`` is objective k of option j of stand i, in
      the table's units and sign (times the area for a per-hectare column).
    - ``scales``: the unit of each objective as the front sees it (see :meth:`scale_of`).
    - ``sha256``: the SHA-256 of the input file (None for data that was not read from a file).
    """

    columns: Tuple[str, ...]
    stand_column: str
    option_column: str
    objectives: Tuple[str, ...]
    directions: Tuple[Direction, ...]
    area_column: Optional[str]
    per_ha: Tuple[str, ...]
    stands: Tuple[str, ...]
    options: Tuple[Tuple[str, ...], ...]
    values: Tuple[Tuple[Tuple[float, ...], ...], ...]
    scales: Tuple[float, ...]
    areas: Optional[Tuple[float, ...]]
    sha256: Optional[str]
    source: str

    def __init__(
        self,
        rows: Iterable[Mapping[str, object]],
        *,
        stand: str,
        option: str,
        objectives: Mapping[str, str],
        area: Optional[str] = None,
        per_ha: Sequence[str] = (),
        columns: Optional[Sequence[str]] = None,
        row_names: Optional[Sequence[str]] = None,
        decimal: str = ".",
        source: str = "rows",
        sha256: Optional[str] = None,
    ) -> None:
        """A problem from rows of mappings (column -> value); prefer the ``from_*`` constructors."""
        if decimal not in (".", ","):
            raise ValueError(f"decimal must be '.' or ',', not {decimal!r}")
        if isinstance(per_ha, str):
            per_ha = (per_ha,)
        materialised = [dict(row) for row in rows]
        if columns is None:
            seen: Dict[str, None] = {}
            for row in materialised:
                for key in row:
                    seen.setdefault(str(key), None)
            columns = list(seen)
        self.columns = tuple(str(c) for c in columns)
        self._decimal = decimal
        self.source = source
        self.sha256 = sha256
        if not objectives:
            raise ValueError("no objectives: name at least one column to maximise or minimise")
        wanted = [stand, option, *objectives, *per_ha] + ([area] if area is not None else [])
        for name in wanted:
            self._check_column(name)
        if stand == option:
            raise ValueError(f"column {stand!r} cannot name both the stand and the option")
        if area is not None and area in per_ha:
            raise ValueError(f"column {area!r} is the area; it cannot also be given per hectare")
        for name in (stand, option):
            if name in objectives:
                raise ValueError(f"column {name!r} cannot be both a label and an objective")
        if area is not None and area in objectives:
            raise ValueError(f"column {area!r} cannot be both the area and an objective")
        if area is None and per_ha:
            raise ValueError("per-hectare columns need an area column")
        self.stand_column = stand
        self.option_column = option
        self.objectives = tuple(objectives)
        self.directions = tuple(_direction(name, d) for name, d in objectives.items())
        self.area_column = area
        self.per_ha = tuple(dict.fromkeys(per_ha))

        if row_names is None:
            row_names = [f"row {n}" for n in range(1, len(materialised) + 1)]
        stand_index: Dict[str, int] = {}
        stands: List[str] = []
        options: List[List[str]] = []
        rows_of: List[List[Mapping[str, object]]] = []
        where: List[List[str]] = []
        seen_options: List[Dict[str, str]] = []
        for row, name in zip(materialised, row_names):
            stand_cell = row.get(stand)
            if _is_missing(stand_cell):
                raise ValueError(f"{name}: no stand label in column {stand!r}")
            label = _label(stand_cell)
            i = stand_index.get(label)
            if i is None:
                i = stand_index[label] = len(stands)
                stands.append(label)
                options.append([])
                rows_of.append([])
                where.append([])
                seen_options.append({})
            option_cell = row.get(option)
            if _is_missing(option_cell):
                # A stand listed with nothing else is a stand without options;
                # a row with values but no option label is a missing value.
                if all(_is_missing(row.get(c)) for c in self.columns if c not in (stand, option)):
                    continue
                raise ValueError(f"stand {label!r} ({name}): missing value in column {option!r}")
            option_label = _label(option_cell)
            if option_label in seen_options[i]:
                raise ValueError(f"stand {label!r}, option {option_label!r} appears twice "
                                 f"({seen_options[i][option_label]} and {name})")
            seen_options[i][option_label] = name
            options[i].append(option_label)
            rows_of[i].append(row)
            where[i].append(name)
        for label, opts in zip(stands, options):
            if not opts:
                raise ValueError(f"stand {label!r} has no options")
        if len(stands) < 2:
            found = f"1 stand ({stands[0]!r})" if stands else "no stands"
            raise ValueError(f"the table has {found}; a plan needs at least two stands")
        self.stands = tuple(stands)
        self.options = tuple(tuple(o) for o in options)
        self._rows = [list(r) for r in rows_of]
        self._where = where

        if area is not None:
            areas: List[float] = []
            for i, label in enumerate(stands):
                found_areas = [self._number(i, j, area) for j in range(len(options[i]))]
                if any(a != found_areas[0] for a in found_areas):
                    raise ValueError(f"stand {label!r}: column {area!r} differs between its options "
                                     f"({found_areas[0]!r} and {next(a for a in found_areas if a != found_areas[0])!r})")
                if found_areas[0] < 0:
                    raise ValueError(f"stand {label!r}, option {options[i][0]!r}: column {area!r} "
                                     f"holds a negative area ({found_areas[0]!r})")
                areas.append(found_areas[0])
            self.areas = tuple(areas)
        else:
            self.areas = None
        per_objective = [self.column_values(name) for name in self.objectives]
        self.values = tuple(
            tuple(tuple(col[i][j] for col in per_objective) for j in range(len(self.options[i])))
            for i in range(len(self.stands)))
        self.scales = tuple(self.scale_of(k) for k in range(len(self.objectives)))

    # --- constructors -----------------------------------------------------------------------

    @classmethod
    def from_csv(
        cls,
        path: PathLike,
        *,
        stand: str,
        option: str,
        objectives: Mapping[str, str],
        area: Optional[str] = None,
        per_ha: Sequence[str] = (),
        delimiter: Optional[str] = None,
        decimal: str = ".",
    ) -> "Problem":
        """A problem from a CSV file (UTF-8, with or without Excel's byte-order mark).

        The first line names the columns. The delimiter is ``,`` or ``;``,
        found from the first line unless given. Values stay text until they
        are used: labels exactly as written, numbers parsed where a column is
        used as one (with ``decimal=","`` a decimal comma, as ``;``-separated
        files from Excel often have).
        """
        raw = _read_bytes(path)
        try:
            text = raw.decode("utf-8-sig")
        except UnicodeDecodeError as error:
            raise ValueError(f"{os.fspath(path)}: not UTF-8 text ({error.reason} at byte {error.start})") from None
        first = text.split("\n", 1)[0]
        if delimiter is None:
            delimiter = ";" if first.count(";") > first.count(",") else ","
        if len(delimiter) != 1:
            raise ValueError(f"the delimiter must be one character, not {delimiter!r}")
        reader = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter)
        try:
            header = next(reader)
        except StopIteration:
            raise ValueError(f"{os.fspath(path)}: the file is empty") from None
        header = [h.strip() for h in header]
        duplicates = sorted({h for h in header if header.count(h) > 1})
        if duplicates:
            raise ValueError(f"{os.fspath(path)}: column {duplicates[0]!r} appears twice in the header")
        rows: List[Dict[str, object]] = []
        names: List[str] = []
        for record in reader:
            line = reader.line_num
            if not record or all(not cell.strip() for cell in record):
                continue
            if len(record) > len(header):
                raise ValueError(f"line {line}: {len(record)} cells, but the header names {len(header)} columns")
            rows.append(dict(zip(header, record)))
            names.append(f"line {line}")
        return cls(rows, stand=stand, option=option, objectives=objectives, area=area, per_ha=per_ha,
                   columns=header, row_names=names, decimal=decimal, source=os.fspath(path),
                   sha256=hashlib.sha256(raw).hexdigest())

    @classmethod
    def from_rows(
        cls,
        rows: Iterable[Mapping[str, Any]],
        *,
        stand: str,
        option: str,
        objectives: Mapping[str, str],
        area: Optional[str] = None,
        per_ha: Sequence[str] = (),
    ) -> "Problem":
        """A problem from rows of mappings, such as polars' ``frame.iter_rows(named=True)``
        or ``csv.DictReader``. The columns are the keys, in order of first appearance."""
        return cls(rows, stand=stand, option=option, objectives=objectives, area=area, per_ha=per_ha)

    @classmethod
    def from_dataframe(
        cls,
        frame: Any,
        *,
        stand: str,
        option: str,
        objectives: Mapping[str, str],
        area: Optional[str] = None,
        per_ha: Sequence[str] = (),
    ) -> "Problem":
        """A problem from a pandas DataFrame (one row per stand and option)."""
        columns = [str(c) for c in frame.columns]
        records = frame.to_dict("records")
        rows = [{str(k): v for k, v in record.items()} for record in records]
        names = [f"row {index!r}" for index in frame.index]
        return cls(rows, stand=stand, option=option, objectives=objectives, area=area, per_ha=per_ha,
                   columns=columns, row_names=names, source="DataFrame")

    # --- columns ----------------------------------------------------------------------------

    def _check_column(self, name: str) -> None:
        if name not in self.columns:
            raise ValueError(f"unknown column {name!r}; the table's columns are: "
                             + ", ".join(repr(c) for c in self.columns))

    def _cell(self, i: int, j: int, column: str) -> object:
        return self._rows[i][j].get(column)

    def _number(self, i: int, j: int, column: str) -> float:
        cell = self._cell(i, j, column)
        where = f"stand {self.stands[i]!r}, option {self.options[i][j]!r} ({self._where[i][j]}): column {column!r}"
        if _is_missing(cell):
            raise ValueError(f"{where}: missing value")
        value: float
        if isinstance(cell, str):
            text = cell.strip()
            if self._decimal == ",":
                text = text.replace(",", ".")
            try:
                value = float(text)
            except ValueError:
                raise ValueError(f"{where}: {cell!r} is not a number") from None
        elif isinstance(cell, bool) or not isinstance(cell, numbers.Real):
            raise ValueError(f"{where}: {cell!r} is not a number")
        else:
            value = float(cell)
        if not math.isfinite(value):
            raise ValueError(f"{where}: {cell!r} is not a finite number")
        return value

    def column_values(self, column: str) -> List[List[float]]:
        """``[stand][option]`` values of a numeric column (times the area for a per-hectare column).

        Raises ValueError naming the stand, option and column for a missing,
        non-numeric or non-finite value, and for an unknown column.
        """
        self._check_column(column)
        weighted = column in self.per_ha and self.areas is not None
        out: List[List[float]] = []
        for i, opts in enumerate(self.options):
            area = self.areas[i] if weighted and self.areas is not None else 1.0
            out.append([self._number(i, j, column) * area if weighted else self._number(i, j, column)
                        for j in range(len(opts))])
        self._check_range(column, out)
        return out

    def _check_range(self, column: str, values: Sequence[Sequence[float]]) -> None:
        """A column whose plan totals (or differences between options) could overflow is refused."""
        largest = [max(abs(v) for v in stand) for stand in values]
        try:
            reach = 2.0 * math.fsum(largest)
        except OverflowError:
            reach = math.inf
        if not math.isfinite(reach):
            i = max(range(len(largest)), key=lambda n: largest[n])
            j = max(range(len(values[i])), key=lambda n: abs(values[i][n]))
            raise ValueError(f"stand {self.stands[i]!r}, option {self.options[i][j]!r} ({self._where[i][j]}): "
                             f"column {column!r}: {values[i][j]!r} is too large: a plan's total would "
                             "overflow floating-point numbers")

    def column_text(self, column: str) -> List[List[str]]:
        """``[stand][option]`` cells of a column as text (an empty string where missing)."""
        self._check_column(column)
        return [["" if _is_missing(self._cell(i, j, column)) else _label(self._cell(i, j, column))
                 for j in range(len(opts))] for i, opts in enumerate(self.options)]

    # --- what the front sees ----------------------------------------------------------------

    def scale_of(self, k: int) -> float:
        """The unit in which objective k enters the front.

        The mean over the stands of the spread between a stand's best and worst
        option in that objective (1 where no stand has a spread). Changing an
        objective's unit multiplies its scale by the same factor, so the front
        does not depend on units, and a typical stand's choice moves the
        scaled objective by about 1.
        """
        spreads = [max(o[k] for o in stand) - min(o[k] for o in stand) for stand in self.values]
        mean = math.fsum(spreads) / len(spreads)
        return mean if mean > 0 and math.isfinite(mean) else 1.0

    def engine_table(self, stands: Optional[Sequence[int]] = None,
                     epsilon: Optional[float] = None) -> List[List[List[float]]]:
        """The table as trelvik's engine gets it: smaller is better, each stand's best at 0, scaled.

        Maximised objectives are negated; every value is then taken relative to
        its stand's best option in that objective, so that every plan's scaled
        sum starts at 0 and measures how far the plan is from each stand's best
        (a constant per stand and objective: the front as a set of plans is the
        same), and divided by the objective's scale. With ``epsilon``, each
        value is rounded to a power of two about a millionth of epsilon: the
        same table in other units differs by a rounding error in the last
        bits, which would otherwise split ties and move plans between boxes,
        and after the rounding it is the same table, so it gives the same front.
        """
        signs = [-1.0 if d == "max" else 1.0 for d in self.directions]
        chosen = range(len(self.stands)) if stands is None else stands
        grid = None if epsilon is None else _grid(check_epsilon(epsilon))
        table: List[List[List[float]]] = []
        for i in chosen:
            stand = self.values[i]
            oriented = [[s * v for s, v in zip(signs, option)] for option in stand]
            best = [min(option[k] for option in oriented) for k in range(len(signs))]
            scaled = [[(v - b) / scale for v, b, scale in zip(option, best, self.scales)] for option in oriented]
            if grid is not None:
                scaled = [[round(v / grid) * grid for v in option] for option in scaled]
            table.append(scaled)
        return table

    def totals(self, design: Sequence[int]) -> Tuple[float, ...]:
        """A plan's objective totals in the table's units and signs, summed exactly (math.fsum)."""
        if len(design) != len(self.stands):
            raise ValueError(f"a plan has one option per stand ({len(self.stands)}), not {len(design)}")
        return tuple(math.fsum(self.values[i][j][k] for i, j in enumerate(design))
                     + 0.0 for k in range(len(self.objectives)))

    def best_alone(self) -> Dict[str, float]:
        """Each objective's best possible total, each stand taking its best option for it alone."""
        out: Dict[str, float] = {}
        for k, (name, direction) in enumerate(zip(self.objectives, self.directions)):
            pick = max if direction == "max" else min
            out[name] = math.fsum(pick(o[k] for o in stand) for stand in self.values) + 0.0
        return out

    def plan(self, design: Sequence[int]) -> Dict[str, str]:
        """A design (option index per stand) as stand label -> option label."""
        return {self.stands[i]: self.options[i][j] for i, j in enumerate(design)}

    def design_of(self, plan: Mapping[str, str]) -> List[int]:
        """A plan given as stand label -> option label back as option indices."""
        design: List[int] = []
        for i, stand in enumerate(self.stands):
            if stand not in plan:
                raise ValueError(f"the plan has no option for stand {stand!r}")
            try:
                design.append(self.options[i].index(plan[stand]))
            except ValueError:
                raise ValueError(f"stand {stand!r} has no option {plan[stand]!r}") from None
        return design

    def row_text(self, i: int, j: int, column: str) -> str:
        """One cell as text (for copying columns through to output files)."""
        self._check_column(column)
        cell = self._cell(i, j, column)
        return "" if _is_missing(cell) else _label(cell)

    def front(self, epsilon: float) -> "Front":
        """The epsilon-thinned Pareto front of this problem (see :class:`trelvik_plan.Front`)."""
        from ._front import find_front

        return find_front(self, epsilon)

    def __repr__(self) -> str:
        objectives = ", ".join(f"{n} ({d})" for n, d in zip(self.objectives, self.directions))
        n_options = sum(len(o) for o in self.options)
        return f"<Problem: {len(self.stands)} stands, {n_options} options, objectives {objectives}>"


def _read_bytes(path: PathLike) -> bytes:
    try:
        with open(path, "rb") as handle:
            return handle.read()
    except OSError as error:
        raise ValueError(f"cannot read {os.fspath(path)}: {error.strerror}") from None


def read_csv(
    path: PathLike,
    *,
    stand: str,
    option: str,
    objectives: Mapping[str, str],
    area: Optional[str] = None,
    per_ha: Sequence[str] = (),
    delimiter: Optional[str] = None,
    decimal: str = ".",
) -> Problem:
    """The same as :meth:`Problem.from_csv`."""
    return Problem.from_csv(path, stand=stand, option=option, objectives=objectives, area=area,
                            per_ha=per_ha, delimiter=delimiter, decimal=decimal)


if TYPE_CHECKING:  # at run time Problem.front imports it, to keep the modules free of a cycle
    from ._front import Front
