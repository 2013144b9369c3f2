"""The front of a problem: plans with their totals in the table's units and directions."""

from __future__ import annotations

import time
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import trelvik

from ._files import PathLike, number_text, require, write_csv_atomically
from ._problem import Problem, check_epsilon

__all__ = ["Front", "find_front"]

Record = Dict[str, Union[int, float]]


class Front:
    """The epsilon-thinned Pareto front of a :class:`Problem`.

    Plans are numbered in the order trelvik returns them (the same on every
    call with the same table and epsilon), so a plan's number is stable.
    ``designs[p]`` is plan p's option index per stand, ``totals[p]`` its
    objective totals in the table's units and signs, summed exactly from the
    table (``math.fsum``), not taken from the engine's scaled sums. A Front
    holds only plain data: it pickles, so it crosses a process pool.
    """

    problem: Problem
    epsilon: float
    seconds: float
    designs: Tuple[Tuple[int, ...], ...]
    totals: Tuple[Tuple[float, ...], ...]

    def __init__(self, problem: Problem, epsilon: float, designs: Sequence[Sequence[int]],
                 seconds: float = 0.0) -> None:
        self.problem = problem
        self.epsilon = float(epsilon)
        self.seconds = seconds
        self.designs = tuple(tuple(d) for d in designs)
        self.totals = tuple(problem.totals(d) for d in self.designs)

    def __len__(self) -> int:
        return len(self.designs)

    def __repr__(self) -> str:
        return f"<Front: {len(self)} plans of {self.problem!r} at epsilon {self.epsilon:g}>"

    @property
    def objectives(self) -> Tuple[str, ...]:
        return self.problem.objectives

    @property
    def scales(self) -> Dict[str, float]:
        """Each objective's scale: the unit in which the front saw it (see Problem.scale_of)."""
        return dict(zip(self.problem.objectives, self.problem.scales))

    def _index(self, objective: str) -> int:
        try:
            return self.problem.objectives.index(objective)
        except ValueError:
            raise ValueError(f"unknown objective {objective!r}; the objectives are: "
                             + ", ".join(repr(o) for o in self.problem.objectives)) from None

    def _check_plan(self, plan: int) -> int:
        if not 0 <= plan < len(self.designs):
            raise IndexError(f"plan {plan} is not on the front (plans 0 to {len(self.designs) - 1})")
        return plan

    # --- reading ----------------------------------------------------------------------------

    def records(self) -> List[Record]:
        """One dict per plan: ``{"plan": p, objective: total, ...}``, in plan order."""
        return [{"plan": p, **dict(zip(self.problem.objectives, values))} for p, values in enumerate(self.totals)]

    def to_dataframe(self) -> Any:
        """The records as a pandas DataFrame indexed by plan (needs pandas: the ``pandas`` extra)."""
        pandas = require("pandas")
        frame = pandas.DataFrame(self.totals, columns=list(self.problem.objectives))
        frame.index.name = "plan"
        return frame

    def plan(self, plan: int) -> Dict[str, str]:
        """Plan p as stand label -> option label."""
        return self.problem.plan(self.designs[self._check_plan(plan)])

    def best(self, objective: str) -> int:
        """The plan with the best total in one objective (the first such plan)."""
        k = self._index(objective)
        sign = -1.0 if self.problem.directions[k] == "max" else 1.0
        return min(range(len(self.totals)), key=lambda p: sign * self.totals[p][k])

    def best_alone(self) -> Dict[str, float]:
        """Each objective's best possible total if it were the only one (no plan may reach all at once)."""
        return self.problem.best_alone()

    def balanced(self) -> int:
        """The plan whose worst objective is closest to the front's best, each scaled to 0..1 over the front."""
        n = len(self.problem.objectives)
        signs = [-1.0 if d == "max" else 1.0 for d in self.problem.directions]
        losses = [[s * v for s, v in zip(signs, values)] for values in self.totals]
        low = [min(v[k] for v in losses) for k in range(n)]
        high = [max(v[k] for v in losses) for k in range(n)]

        def worst(p: int) -> float:
            return max(((losses[p][k] - low[k]) / (high[k] - low[k]) if high[k] > low[k] else 0.0)
                       for k in range(n))

        return min(range(len(losses)), key=worst)

    # --- writing ----------------------------------------------------------------------------

    def write_totals(self, path: PathLike) -> None:
        """FRONT.csv: ``plan`` and one column per objective, one row per plan, repr precision."""
        write_csv_atomically(path, ["plan", *self.problem.objectives],
                             ([p, *map(number_text, values)] for p, values in enumerate(self.totals)))

    def write_designs(self, path: PathLike) -> None:
        """DESIGNS.csv in long form: ``plan``, the stand column, the option column; a row per plan and stand."""
        problem = self.problem
        write_csv_atomically(
            path, ["plan", problem.stand_column, problem.option_column],
            ([p, problem.stands[i], problem.options[i][j]]
             for p, design in enumerate(self.designs) for i, j in enumerate(design)))

    def write_plan(self, plan: int, path: PathLike) -> None:
        """One plan: the stand column, the option column and each objective's value for that stand."""
        problem = self.problem
        design = self.designs[self._check_plan(plan)]
        write_csv_atomically(
            path, [problem.stand_column, problem.option_column, *problem.objectives],
            ([problem.stands[i], problem.options[i][j], *map(number_text, problem.values[i][j])]
             for i, j in enumerate(design)))

    def plot(self, path: PathLike, *, units: Optional[Mapping[str, str]] = None, random_plans: int = 3000,
             size: Optional[Tuple[int, int]] = None) -> Tuple[int, int]:
        """Draw the front into a PNG file: pairwise panels of the objectives (needs the ``plot`` extra).

        The front is green, a balanced plan a black star, and ``random_plans``
        plans drawn at random (each stand's option uniformly) grey behind it.
        Axis labels give each objective's name, its unit (from ``units``) and
        which way is better. Returns the picture's size in pixels.
        """
        from ._plot import plot_front

        return plot_front(self, path, units=units or {}, random_plans=random_plans, size=size)


def find_front(problem: Problem, epsilon: float) -> Front:
    """The epsilon-thinned front of a problem, in its units and directions.

    trelvik gets the table with maximised objectives negated, each stand's
    best value subtracted, each objective divided by its scale and rounded
    to a fine grid (see Problem.engine_table), so the result does not depend
    on units or on how far the table's values lie from zero.
    """
    table = problem.engine_table(epsilon=check_epsilon(epsilon))
    began = time.perf_counter()
    solutions = trelvik.find_pareto_front(table, epsilon)
    seconds = time.perf_counter() - began
    return Front(problem, epsilon, [s.design_vector for s in solutions], seconds)
