"""The picture of a front: pairwise panels over random plans."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, Mapping, Optional, Sequence, Tuple

import trelvik

from ._files import PathLike, replace_atomically, require

if TYPE_CHECKING:
    from ._front import Front

DPI = 100
# More grey dots than this add nothing to a picture of a few hundred pixels.
MAX_RANDOM_PLANS = 1_000_000


def default_size(n_objectives: int) -> Tuple[int, int]:
    """Pixels: one panel for two objectives, a square matrix of panels for more."""
    return (700, 500) if n_objectives <= 2 else (800, 800)


def axis_label(name: str, direction: str, unit: Optional[str]) -> str:
    better = "more is better" if direction == "max" else "less is better"
    return f"{name} ({unit}), {better}" if unit else f"{name}, {better}"


def plot_front(front: "Front", path: PathLike, *, units: Mapping[str, str], random_plans: int,
               size: Optional[Tuple[int, int]]) -> Tuple[int, int]:
    if isinstance(random_plans, bool) or not 0 <= random_plans <= MAX_RANDOM_PLANS:
        raise ValueError(f"random_plans must be a whole number from 0 to {MAX_RANDOM_PLANS:,}, not {random_plans!r}")
    matplotlib = require("matplotlib")
    problem = front.problem
    unknown = [name for name in units if name not in problem.objectives]
    if unknown:
        raise ValueError(f"a unit for {unknown[0]!r}, which is not an objective; the objectives are: "
                         + ", ".join(repr(o) for o in problem.objectives))
    if not len(front):
        raise ValueError("the front has no plans to draw")
    matplotlib.use("Agg")
    plt: Any = require("matplotlib.pyplot")

    n = len(problem.objectives)
    points = front.totals
    cloud: List[Tuple[float, ...]] = []
    if random_plans > 0:
        drawn = trelvik.create_random_points(problem.engine_table(), random_plans)
        cloud = [problem.totals(s.design_vector) for s in drawn]
    star = points[front.balanced()]
    labels = [axis_label(name, d, units.get(name)) for name, d in zip(problem.objectives, problem.directions)]
    width, height = size or default_size(n)
    figure: Any = plt.figure(figsize=(width / DPI, height / DPI), dpi=DPI)
    title = f"Pareto front: {len(points)} plans (green), balanced plan (star)"
    if cloud:
        title += f", {len(cloud)} random plans (grey)"

    def scatter(ax: Any, x: int, y: int, dots: Sequence[Tuple[float, ...]]) -> None:
        draw = ax.scatter
        if cloud:
            draw([p[x] for p in cloud], [p[y] for p in cloud], s=2, c="0.7", linewidths=0)
        draw([p[x] for p in dots], [p[y] for p in dots], s=3, c="tab:green", linewidths=0)
        draw([star[x]], [star[y]], s=70, marker="*", c="black", zorder=3)

    if n == 1:
        ax = figure.add_subplot(1, 1, 1)
        ax.hist([p[0] for p in points], bins=30, color="tab:green")
        ax.set_xlabel(labels[0])
        ax.set_title(title, fontsize=9)
    elif n == 2:
        ax = figure.add_subplot(1, 1, 1)
        scatter(ax, 0, 1, points)
        ax.set_xlabel(labels[0])
        ax.set_ylabel(labels[1])
        ax.set_title(title, fontsize=9)
    else:
        axes = figure.subplots(n, n)
        for row in range(n):
            for col in range(n):
                ax = axes[row][col]
                if row == col:
                    ax.hist([p[col] for p in points], bins=30, color="tab:green")
                    ax.set_yticks([])
                else:
                    scatter(ax, col, row, points)
                ax.tick_params(labelsize=7)
                if row == n - 1:
                    ax.set_xlabel(labels[col], fontsize=7)
                if col == 0:
                    ax.set_ylabel(labels[row], fontsize=7)
        figure.suptitle(title, fontsize=9)
    figure.tight_layout()
    # Written to a temporary name and renamed, like every output file; no
    # bbox_inches="tight", so the picture keeps the size asked for.
    try:
        replace_atomically(path, lambda name: figure.savefig(name, dpi=DPI, format="png"), suffix=".png")
    finally:
        plt.close(figure)
    return width, height
