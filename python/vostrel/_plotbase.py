"""Drawing helpers shared by :mod:`vostrel.plotting` and the result objects' own ``plot_*``
methods. This module imports no other module of the package, so results can draw themselves
without importing :mod:`vostrel.plotting` (which imports them)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from ._checks import FloatArray, as_level, optional_import

# At most this many points of a QQ plot are drawn; quantiles in between add nothing visible.
QQ_POINTS = 2000


def pyplot() -> Any:
    return optional_import("matplotlib.pyplot", "plot", "plots need matplotlib")


def axes(ax: Any) -> Any:
    if ax is not None:
        return ax
    _, ax = pyplot().subplots()
    return ax


def check_level(level: Any) -> float:
    return as_level(level)


def draw_qq(
    series: Sequence[tuple[FloatArray, str | None]],
    *,
    ax: Any = None,
    level: float = 0.95,
    title: str = "QQ plot of time-rescaled residuals",
) -> Any:
    """QQ plot of residual samples against Exp(1), each with its pointwise band.

    The band of each sample holds its k-th order statistic with probability `level` under
    Exp(1) (from the Beta distribution of uniform order statistics); it is pointwise, not
    simultaneous. With several samples the points of each take their own colour and marker,
    and its band is drawn as a pair of thin lines of the same colour so that the samples stay
    apart.
    """
    level = check_level(level)
    from scipy import special

    ax = axes(ax)
    top = 0.0
    drawn = [(values, label) for values, label in series if values.shape[0]]
    several = len(drawn) > 1
    markers = "o^sDv<>ph"
    for i, (values, label) in enumerate(drawn):
        n = values.shape[0]
        ranks = np.unique(np.linspace(1, n, min(n, QQ_POINTS)).round().astype(np.int64))
        ordered = np.sort(values)[ranks - 1]
        theoretical = -np.log1p(-(ranks - 0.5) / n)
        lower = -np.log1p(-special.betaincinv(ranks, n - ranks + 1, (1 - level) / 2))
        upper = -np.log1p(-special.betaincinv(ranks, n - ranks + 1, (1 + level) / 2))
        (points,) = ax.plot(
            theoretical,
            ordered,
            markers[i % len(markers)] if several else ".",
            markersize=2.5 if several else 3,
            alpha=0.8,
            label=label,
            zorder=3,
        )
        colour = points.get_color()
        band = f"{level:.0%} pointwise band (Exp(1) order statistics)"
        if several:
            # An outline only: filled bands of several samples would hide each other.
            ax.fill_between(
                theoretical, lower, upper, facecolor="none", edgecolor=colour, linewidth=0.8,
                alpha=0.7,
            )
        else:
            ax.fill_between(
                theoretical, lower, upper, color=colour, alpha=0.2, linewidth=0, label=band
            )
        top = max(top, float(theoretical[-1]), float(ordered[-1]))
    ax.plot([0, top], [0, top], "k--", linewidth=1, label="y = x (Exp(1))", zorder=2)
    ax.set_xlabel("Exp(1) quantile")
    ax.set_ylabel("residual quantile")
    ax.set_title(title)
    if drawn:
        handles, labels = ax.get_legend_handles_labels()
        if several:
            # One entry explains the bands of all samples.
            from matplotlib.patches import Patch

            handles.append(Patch(facecolor="none", edgecolor="grey", linewidth=0.8))
            labels.append(f"{level:.0%} pointwise bands (Exp(1) order statistics)")
        ax.legend(handles, labels, fontsize="x-small", loc="upper left")
    return ax
