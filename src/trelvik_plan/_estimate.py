"""Choosing epsilon: the front of a sample of the stands, scaled up to the whole table."""

from __future__ import annotations

import math
import random
import sys
import time
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence, TextIO

import trelvik

from ._problem import Problem, check_epsilon

__all__ = ["Estimate", "estimate", "Progress"]

# Fewer stands than this say little about the whole front; a sample this
# small is solved in milliseconds anyway.
MIN_SAMPLE = 20


@dataclass(frozen=True)
class Estimate:
    """What one epsilon gave on the sample and what that predicts for the whole table."""

    epsilon: float
    sample_stands: int
    sample_plans: int  # front size on the sample
    sample_seconds: float  # time of the sample's call
    plans: int  # predicted front size of the whole table
    seconds: float  # predicted time of the whole table's call


class Progress:
    """A plain progress line on a terminal: rewritten in place, cleared at the end, silent elsewhere.

    Only ever written between engine calls (a call holds the interpreter and
    cannot report while it runs).
    """

    def __init__(self, stream: Optional[TextIO] = None, enabled: Optional[bool] = None) -> None:
        self.stream = sys.stderr if stream is None else stream
        if enabled is None:
            isatty = getattr(self.stream, "isatty", None)
            enabled = bool(isatty and isatty())
        self.enabled = enabled
        self._width = 0

    def __call__(self, text: str) -> None:
        if self.enabled:
            self.stream.write("\r" + text.ljust(self._width))
            self.stream.flush()
            self._width = len(text)

    def done(self) -> None:
        if self.enabled and self._width:
            self.stream.write("\r" + " " * self._width + "\r")
            self.stream.flush()
            self._width = 0


def _silent(text: str) -> None:
    pass


def estimate(problem: Problem, epsilons: Sequence[float], *, sample: float = 0.2, seed: int = 0,
             progress: Optional[Callable[[str], None]] = None) -> List[Estimate]:
    """Front size and time for each epsilon, from a seeded random sample of the stands.

    The sample (``sample`` of the stands, at least 20, chosen with
    ``random.Random(seed)``, kept in table order) is solved with the whole
    table's scales. A front's size grows with the number of stands n about
    as ln(1 + n): the epsilon boxes along an objective grow with the
    logarithm of how far its scaled sums reach, about one unit per stand. So
    the sample's front size is multiplied by ln(1 + n) / ln(1 + sample
    stands), and its time by that and by the ratio of the options (a call's
    time grows with the stages' front sizes times their options). Measured
    on 18 tables of 2 to 5 objectives: the size within 25 % in most cases,
    the time within a factor of two (see benchmarks/estimate_accuracy.py).
    """
    if not 0 < sample <= 1:
        raise ValueError(f"the sample must be a fraction of the stands above 0 and at most 1, not {sample!r}")
    for epsilon in epsilons:
        check_epsilon(epsilon)
    n = len(problem.stands)
    count = min(n, max(MIN_SAMPLE, round(sample * n)))
    chosen = sorted(random.Random(seed).sample(range(n), count))
    size_factor = math.log1p(n) / math.log1p(count)
    options_factor = sum(len(o) for o in problem.options) / sum(len(problem.options[i]) for i in chosen)

    out: List[Estimate] = []
    report: Callable[[str], None] = progress or _silent
    for number, epsilon in enumerate(epsilons, start=1):
        report(f"estimate: epsilon {epsilon:g} ({number} of {len(epsilons)}) on {count} of {n} stands")
        table = problem.engine_table(chosen, epsilon)
        began = time.perf_counter()
        plans = len(trelvik.find_pareto_front(table, epsilon))
        seconds = time.perf_counter() - began
        out.append(Estimate(float(epsilon), count, plans, seconds, max(1, round(plans * size_factor)),
                            seconds * size_factor * options_factor))
    if isinstance(progress, Progress):
        progress.done()
    return out
