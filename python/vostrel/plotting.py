"""Plots of fits and diagnostics, drawn with matplotlib (the ``plot`` extra).

matplotlib is imported only when a plot is drawn. Every function takes an optional `ax` to draw
into and returns the axes (or the figure, for :func:`diagnostic_figure`), so plots compose with
the caller's own figures.
"""

from __future__ import annotations

from typing import Any, cast

import numpy as np

from ._checks import FloatArray, as_int
from .diagnostics import GoodnessOfFit, goodness_of_fit
from .events import Events
from .fitting import FitResult
from .models._base import Model
from .models.multivariate import MultivariateExponential

__all__ = ["qq_plot", "intensity_plot", "kernel_plot", "alpha_heatmap", "diagnostic_figure"]

# At most this many points of a QQ plot are drawn; quantiles in between add nothing visible.
_QQ_POINTS = 2000


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError(
            "plots need matplotlib: install it with pip install 'vostrel[plot]'"
        ) from None
    return plt


def _axes(ax: Any) -> Any:
    if ax is not None:
        return ax
    _, ax = _pyplot().subplots()
    return ax


def _model_of(source: Model | FitResult, argument: str = "model") -> Model:
    if isinstance(source, FitResult):
        return source.model
    if isinstance(source, Model):
        return source
    raise TypeError(
        f"{argument} must be a vostrel model or a FitResult; got {type(source).__name__}"
    )


def qq_plot(
    residuals: GoodnessOfFit | FloatArray,
    *,
    dim: int | None = None,
    ax: Any = None,
    level: float = 0.95,
) -> Any:
    """QQ plot of time-rescaled residuals against Exp(1), with a pointwise confidence band.

    Parameters
    ----------
    residuals : GoodnessOfFit or array_like
        A goodness-of-fit result (all dimensions are drawn unless `dim` is given) or one array
        of residuals.
    dim : int, optional
        The dimension to draw from a `GoodnessOfFit`.
    ax : matplotlib Axes, optional
    level : float, default 0.95
        Coverage of the band, from the Beta distribution of uniform order statistics.

    Returns
    -------
    matplotlib Axes
    """
    if isinstance(residuals, GoodnessOfFit):
        labels = residuals._labels()
        chosen = range(len(residuals.residuals)) if dim is None else [as_int(dim, "dim", minimum=0)]
        series: list[tuple[FloatArray, str | None]] = [
            (residuals.residuals[i], f"dimension {labels[i]}") for i in chosen
        ]
    else:
        values = np.asarray(residuals, dtype=np.float64)
        if values.ndim != 1:
            raise ValueError(f"residuals must be 1-dimensional; got shape {values.shape}")
        series = [(values, None)]
    if not 0.0 < level < 1.0:
        raise ValueError(f"level must be in (0, 1); got {level}")
    from scipy import special

    ax = _axes(ax)
    top = 0.0
    for values, label in series:
        n = values.shape[0]
        if n == 0:
            continue
        ranks = np.unique(np.linspace(1, n, min(n, _QQ_POINTS)).round().astype(np.int64))
        ordered = np.sort(values)[ranks - 1]
        theoretical = -np.log1p(-(ranks - 0.5) / n)
        lower = -np.log1p(-special.betaincinv(ranks, n - ranks + 1, (1 - level) / 2))
        upper = -np.log1p(-special.betaincinv(ranks, n - ranks + 1, (1 + level) / 2))
        ax.fill_between(theoretical, lower, upper, alpha=0.2, linewidth=0)
        ax.plot(theoretical, ordered, ".", markersize=3, label=label)
        top = max(top, float(theoretical[-1]), float(ordered[-1]))
    ax.plot([0, top], [0, top], "k--", linewidth=1)
    ax.set_xlabel("Exp(1) quantile")
    ax.set_ylabel("residual quantile")
    ax.set_title("QQ plot of time-rescaled residuals")
    if any(label for _, label in series) and len(series) > 1:
        ax.legend()
    return ax


def intensity_plot(
    model: Model | FitResult,
    events: Events,
    *,
    realization: int = 0,
    ax: Any = None,
    start: float | None = None,
    end: float | None = None,
    n_points: int = 2000,
) -> Any:
    """The conditional intensity over time, with the events as ticks below it.

    Parameters
    ----------
    model : Model or FitResult
    events : Events
    realization : int, default 0
    ax : matplotlib Axes, optional
    start, end : float, optional
        The time range drawn (default: the realisation's window).
    n_points : int, default 2000
        Grid points between events; every event is added so that jumps are drawn sharp.

    Returns
    -------
    matplotlib Axes
    """
    fitted = _model_of(model)
    fitted.check_events(events)
    r = events[as_int(realization, "realization")]
    lo = r.start_time if start is None else float(start)
    hi = r.end_time if end is None else float(end)
    if not lo < hi:
        raise ValueError(f"start ({lo}) must be below end ({hi})")
    inside = (r.times >= lo) & (r.times <= hi)
    jumps = r.times[inside]
    # Just after each event the intensity has jumped: sample there too.
    after = np.nextafter(jumps, np.inf)
    grid = np.unique(
        np.concatenate([np.linspace(lo, hi, as_int(n_points, "n_points", minimum=2)), jumps, after])
    )
    grid = grid[(grid >= lo) & (grid <= hi)]
    values = fitted.intensity(events, grid, realization)
    values = values[:, None] if values.ndim == 1 else values
    ax = _axes(ax)
    dims = r.dimension_indices()[inside]
    names = events.dim_names
    for m in range(values.shape[1]):
        label = None if values.shape[1] == 1 else f"λ{names[m] if names else m}"
        (line,) = ax.plot(grid, values[:, m], linewidth=1, label=label)
        ticks = jumps[dims == m]
        ax.plot(ticks, np.zeros_like(ticks), "|", color=line.get_color(), markersize=8)
    ax.set_xlim(lo, hi)
    ax.set_xlabel("time")
    ax.set_ylabel("intensity")
    ax.set_title("conditional intensity")
    if values.shape[1] > 1:
        ax.legend()
    return ax


def kernel_plot(
    model: Model | FitResult,
    *,
    ax: Any = None,
    t_max: float | None = None,
    n_points: int = 500,
    log: bool = False,
) -> Any:
    """The fitted excitation kernel(s) φ(t) over lags (one line per cell for multivariate
    models, labelled source → target).

    Parameters
    ----------
    model : Model or FitResult
    ax : matplotlib Axes, optional
    t_max : float, optional
        Largest lag drawn (default: where the kernel has become negligible).
    n_points : int, default 500
    log : bool, default False
        Logarithmic axes (useful for power laws).

    Returns
    -------
    matplotlib Axes
    """
    fitted = _model_of(model)
    top = fitted.kernel_support() if t_max is None else float(t_max)
    count = as_int(n_points, "n_points", minimum=2)
    lags = np.geomspace(top * 1e-4, top, count) if log else np.linspace(0.0, top, count)
    values = fitted.kernel(lags)
    ax = _axes(ax)
    if values.ndim == 1:
        ax.plot(lags, values, linewidth=1.5)
    else:
        m = values.shape[1]
        for target in range(m):
            for source in range(m):
                ax.plot(
                    lags, values[:, target, source], linewidth=1.2, label=f"{source} → {target}"
                )
        ax.legend(fontsize="small")
    if log:
        ax.set_xscale("log")
        ax.set_yscale("log")
    ax.set_xlabel("lag")
    ax.set_ylabel("φ(lag)")
    ax.set_title(f"{fitted.family} kernel")
    return ax


def alpha_heatmap(
    model: MultivariateExponential | FitResult,
    *,
    ax: Any = None,
    annotate: bool = True,
    labels: Any = None,
) -> Any:
    """Heat map of the branching matrix α of a multivariate model: cell [m, k] is the expected
    number of events of dimension m triggered by one event of dimension k.

    Parameters
    ----------
    model : MultivariateExponential or FitResult of one
    ax : matplotlib Axes, optional
    annotate : bool, default True
        Write each cell's value.
    labels : sequence, optional
        Dimension labels.

    Returns
    -------
    matplotlib Axes
    """
    fitted = _model_of(model)
    if not isinstance(fitted, MultivariateExponential):
        raise TypeError(
            f"alpha_heatmap needs a MultivariateExponential; got {type(fitted).__name__}"
        )
    alpha = fitted.alpha
    m = alpha.shape[0]
    ax = _axes(ax)
    image = ax.imshow(alpha, cmap="viridis", vmin=0.0)
    ax.figure.colorbar(image, ax=ax, label="α")
    names = [str(x) for x in labels] if labels is not None else [str(i) for i in range(m)]
    ax.set_xticks(range(m), names)
    ax.set_yticks(range(m), names)
    ax.set_xlabel("source dimension k")
    ax.set_ylabel("target dimension m")
    ax.set_title("branching matrix α[m, k]")
    if annotate and m <= 12:
        top = float(alpha.max()) if alpha.size else 0.0
        for i in range(m):
            for j in range(m):
                colour = "black" if alpha[i, j] > 0.6 * top else "white"
                ax.text(
                    j, i, f"{alpha[i, j]:.2g}", ha="center", va="center", color=colour, fontsize=8
                )
    return ax


def diagnostic_figure(
    result: FitResult | Model,
    events: Events,
    *,
    path: str | None = None,
    realization: int = 0,
) -> Any:
    """One figure with the QQ plot, the fitted kernel, the intensity of one realisation and, for
    multivariate models, the α heat map.

    Parameters
    ----------
    result : FitResult or Model
    events : Events
    path : str, optional
        Save the figure there (the format follows the extension, e.g. ``.png``).
    realization : int, default 0

    Returns
    -------
    matplotlib Figure
    """
    fitted = _model_of(result, "result")
    plt = _pyplot()
    multivariate = isinstance(fitted, MultivariateExponential)
    figure = plt.figure(figsize=(11, 8), layout="constrained")
    grid = figure.add_gridspec(2, 3 if multivariate else 2)
    qq_plot(goodness_of_fit(events, fitted), ax=figure.add_subplot(grid[0, 0]))
    kernel_plot(fitted, ax=figure.add_subplot(grid[0, 1]))
    if multivariate:
        alpha_heatmap(
            cast(MultivariateExponential, fitted),
            ax=figure.add_subplot(grid[0, 2]),
            labels=events.dim_names,
        )
    # About three hundred events of the realisation: enough to see clusters, few enough to see
    # each jump.
    r = events[realization]
    end = r.end_time if r.n_events <= 300 else float(r.times[299])
    intensity_plot(
        fitted, events, realization=realization, ax=figure.add_subplot(grid[1, :]), end=end
    )
    if path is not None:
        figure.savefig(path, dpi=110)
    return figure
