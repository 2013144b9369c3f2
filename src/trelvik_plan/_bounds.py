"""Bounds on a plan's totals, as linear rows over the table's columns.

A bound is written ``EXPR>=V`` or ``EXPR<=V``. It is split at its last
``>=`` or ``<=``; either side is a sum of terms ``[FACTOR*]COLUMN``,
``[FACTOR*]COLUMN[GROUP=VALUE]`` (only the rows whose GROUP column holds
VALUE count) or a plain number, joined by ``+`` and ``-``:

    income>=5000
    vol_p2>=0.95*vol_p1                 (even flow between two periods)
    habitat[unit=North]<=40             (one group of stands)
    clear-cut area <= 1,000.5           (a name with spaces; a thousands separator)

Column names are matched exactly, the longest name that fits first, so a
name may hold spaces, brackets or operators. Numbers take a thousands
separator only in the strict form ``1,000,000.5``; any other comma is
refused, as it may be a decimal comma.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

from ._problem import Problem

__all__ = ["Bound", "Term", "parse_bound", "parse_number"]

# A bound holds when its total, summed exactly from the table, is on the
# bound's side or beyond it by at most this share of the bound's scale (the
# sum over the stands of the largest absolute coefficient of an option).
RELATIVE_TOLERANCE = 1e-9

_NUMBER = re.compile(r"[0-9][0-9,]*(?:\.[0-9]*)?(?:[eE][+-]?[0-9]+)?|\.[0-9]+(?:[eE][+-]?[0-9]+)?")
_STRICT = re.compile(r"(?:[0-9]{1,3}(?:,[0-9]{3})+|[0-9]+)(?:\.[0-9]*)?(?:[eE][+-]?[0-9]+)?|\.[0-9]+(?:[eE][+-]?[0-9]+)?")


def parse_number(text: str) -> float:
    """A number as a bound holds it: ``1000000.5``, ``1,000,000.5``, ``1e6``; not ``1,5``."""
    stripped = text.strip()
    sign = 1.0
    if stripped[:1] in "+-" and stripped[:1]:
        sign = -1.0 if stripped[0] == "-" else 1.0
        stripped = stripped[1:].strip()
    if not _NUMBER.fullmatch(stripped):
        raise ValueError(f"{text.strip()!r} is not a number")
    if not _STRICT.fullmatch(stripped):
        raise ValueError(f"{text.strip()!r}: a comma is read only as a thousands separator, as in 1,000,000.5 "
                         "(for a decimal write a point)")
    value = sign * float(stripped.replace(",", ""))
    if not math.isfinite(value):
        raise ValueError(f"{text.strip()!r} is not a finite number")
    return value


def _number_text(value: float) -> str:
    return str(int(value)) if value.is_integer() and abs(value) < 1e15 else repr(value)


@dataclass(frozen=True)
class Term:
    """``factor * column``, counting only the rows whose ``group`` column holds ``value`` (if a group is given)."""

    factor: float
    column: str
    group: Optional[str] = None
    value: Optional[str] = None

    def name(self) -> str:
        return self.column + (f"[{self.group}={self.value}]" if self.group is not None else "")


@dataclass(frozen=True)
class Bound:
    """``sum of terms  op  constant``, op being ``">="`` or ``"<="``; ``text`` is what was written."""

    terms: Tuple[Term, ...]
    op: str
    constant: float
    text: str = ""

    def __str__(self) -> str:
        parts: List[str] = []
        for term in self.terms:
            factor = abs(term.factor)
            body = term.name() if factor == 1 else f"{_number_text(factor)}*{term.name()}"
            sign = "-" if term.factor < 0 else "+"
            parts.append(("-" + body if sign == "-" else body) if not parts else f"{sign} {body}")
        return f"{' '.join(parts) or '0'} {self.op} {_number_text(self.constant + 0.0)}"

    def coefficients(self, problem: Problem) -> List[List[float]]:
        """``[stand][option]``: what each option adds to the bound's sum."""
        out = [[0.0] * len(options) for options in problem.options]
        for term in self.terms:
            values = problem.column_values(term.column)
            groups: List[List[str]] = []
            if term.group is not None:
                groups = problem.column_text(term.group)
                if not any(g == term.value for stand in groups for g in stand):
                    present = sorted({g for stand in groups for g in stand})
                    shown = ", ".join(repr(g) for g in present[:10]) + (", ..." if len(present) > 10 else "")
                    raise ValueError(f"bound {self.text or str(self)!r}: no row has {term.value!r} in column "
                                     f"{term.group!r} (its values: {shown})")
            for i, stand in enumerate(values):
                for j, v in enumerate(stand):
                    if term.group is None or groups[i][j] == term.value:
                        out[i][j] += term.factor * v
        try:
            reach = 2.0 * math.fsum(max(abs(c) for c in stand) for stand in out)
        except OverflowError:
            reach = math.inf
        if not math.isfinite(reach):
            raise ValueError(f"bound {self.text or str(self)!r}: its sums would overflow floating-point numbers")
        return out

    def met(self, total: float, tolerance: float) -> bool:
        if self.op == "<=":
            return total <= self.constant + tolerance
        return total >= self.constant - tolerance

    def miss(self, total: float) -> float:
        """How far a total lies beyond the bound (0 when it holds exactly)."""
        return max(0.0, total - self.constant if self.op == "<=" else self.constant - total)


def tolerance(coefficients: Sequence[Sequence[float]]) -> float:
    """RELATIVE_TOLERANCE of the bound's scale: the sum over stands of the largest absolute coefficient."""
    return RELATIVE_TOLERANCE * math.fsum(max(abs(c) for c in stand) for stand in coefficients)


def _split(text: str) -> Tuple[str, str, str]:
    at = max(text.rfind(">="), text.rfind("<="))
    if at < 0:
        raise ValueError(f"bound {text!r}: write it as EXPR>=VALUE or EXPR<=VALUE")
    return text[:at], text[at:at + 2], text[at + 2:]


def _terms(side: str, columns: Sequence[str], whole: str) -> Tuple[List[Term], float]:
    """Parse one side: its terms and its constant."""
    names = sorted(columns, key=len, reverse=True)
    terms: List[Term] = []
    constant = 0.0
    at, n = 0, len(side)

    def fail(why: str) -> ValueError:
        return ValueError(f"bound {whole!r}: {why}; the columns are: " + ", ".join(repr(c) for c in columns))

    def skip(k: int) -> int:
        while k < n and side[k].isspace():
            k += 1
        return k

    def column_at(k: int) -> Optional[str]:
        return next((c for c in names if c and side.startswith(c, k)), None)

    at = skip(at)
    if at == n:
        raise fail("a side is empty")
    first = True
    while at < n:
        sign = 1.0
        if side[at] in "+-" and column_at(at) is None:
            sign = -1.0 if side[at] == "-" else 1.0
            at = skip(at + 1)
        elif not first:
            raise fail(f"expected + or - at {side[at:]!r}")
        first = False
        factor = 1.0
        column = column_at(at)
        if column is None:
            match = _NUMBER.match(side, at)
            if not match:
                raise fail(f"no column or number at {side[at:].strip()!r}")
            try:
                number = parse_number(match.group(0))
            except ValueError as error:
                raise ValueError(f"bound {whole!r}: {error}") from None
            at = skip(match.end())
            if at < n and side[at] == "*":
                factor = number
                at = skip(at + 1)
                column = column_at(at)
                if column is None:
                    raise fail(f"no column after '*' at {side[at:].strip()!r}")
            else:
                constant += sign * number
                continue
        at += len(column)
        group = value = None
        rest = skip(at)
        if rest < n and side[rest] == "[":
            close = side.find("]", rest)
            inside = side[rest + 1:close] if close > 0 else ""
            key, equals, wanted = inside.partition("=")
            if close < 0 or not equals:
                raise fail(f"a group is written [COLUMN=VALUE], not {side[rest:]!r}")
            group, value = key.strip(), wanted.strip()
            if group not in columns:
                raise fail(f"unknown group column {group!r}")
            at = close + 1
        terms.append(Term(sign * factor, column, group, value))
        at = skip(at)
    return terms, constant


def parse_bound(text: str, columns: Sequence[str]) -> Bound:
    """A bound from its text, against the table's column names (see the module's documentation)."""
    left, op, right = _split(text)
    if not right.strip():
        raise ValueError(f"bound {text!r}: nothing after {op}")
    left_terms, left_constant = _terms(left, columns, text)
    right_terms, right_constant = _terms(right, columns, text)
    terms = left_terms + [Term(-t.factor, t.column, t.group, t.value) for t in right_terms]
    merged: List[Term] = []
    for term in terms:  # one term per column and group
        for k, seen in enumerate(merged):
            if (seen.column, seen.group, seen.value) == (term.column, term.group, term.value):
                merged[k] = Term(seen.factor + term.factor, seen.column, seen.group, seen.value)
                break
        else:
            merged.append(term)
    merged = [t for t in merged if t.factor != 0.0]
    if not merged:
        raise ValueError(f"bound {text!r}: names no column")
    return Bound(tuple(merged), op, right_constant - left_constant, text.strip())
