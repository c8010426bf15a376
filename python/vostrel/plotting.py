"""Plots of fits and diagnostics, drawn with matplotlib (the ``plot`` extra).

matplotlib is imported only when a plot is drawn. Every function takes an optional `ax` to draw
into and returns the axes (or the figure, for :func:`diagnostic_figure`), so plots compose with
the caller's own figures. Axis labels carry the data's time unit when it is known (data built
from datetimes) or given with ``time_unit=``.
"""

from __future__ import annotations

import math
from typing import Any, cast

import numpy as np

from ._checks import FloatArray, as_int
from ._plotbase import QQ_POINTS as _QQ_POINTS  # noqa: F401  (kept for callers of the old name)
from ._plotbase import axes as _axes
from ._plotbase import check_level, draw_qq
from ._plotbase import pyplot as _pyplot
from ._results import FitResult
from .diagnostics import GoodnessOfFit, goodness_of_fit, qq_series, qq_title
from .events import Events
from .models._base import Model
from .models.multivariate import MultivariateExponential
from .models.univariate import ApproxPowerLaw, PowerLaw

__all__ = [
    "qq_plot",
    "intensity_plot",
    "kernel_plot",
    "compensator_plot",
    "alpha_heatmap",
    "diagnostic_figure",
]

#: Families whose kernels decay as a power of the lag: drawn on log–log axes by default.
_HEAVY_TAILED = (PowerLaw, ApproxPowerLaw)


def _model_of(source: Model | FitResult, argument: str = "model") -> Model:
    if isinstance(source, FitResult):
        return source.model
    if isinstance(source, Model):
        return source
    raise TypeError(
        f"{argument} must be a vostrel model or a FitResult; got {type(source).__name__}"
    )


def _unit(time_unit: str | None) -> str:
    return f" ({time_unit})" if time_unit else ""


def _per(time_unit: str | None) -> str:
    return f" (per {time_unit})" if time_unit else ""


def _dim_label(names: Any, m: int) -> str:
    return str(names[m]) if names else str(m)


def _legend_by_dimension(ax: Any, colours: list[Any], names: Any) -> None:
    """A compact legend for several dimensions: one colour entry per dimension, then one entry
    per kind of artist (drawn in grey), instead of every dimension times every kind."""
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    handles: list[Any] = [Patch(color=c) for c in colours]
    labels = [f"dimension {_dim_label(names, k)}" for k in range(len(colours))]
    seen: set[str] = set()
    for artist, label in zip(*ax.get_legend_handles_labels()):
        if label in seen or label.startswith("_"):
            continue
        seen.add(label)
        if isinstance(artist, Line2D):
            proxy: Any = Line2D(
                [], [], color="grey", linestyle=artist.get_linestyle(),
                marker=artist.get_marker(), markerfacecolor="none",
            )
        elif hasattr(artist, "get_fill") and not artist.get_fill():
            proxy = Line2D([], [], color="grey")
        else:
            proxy = Patch(color="grey", alpha=0.3)
        handles.append(proxy)
        labels.append(label)
    ax.legend(handles, labels, fontsize="x-small", loc="upper left")


def qq_plot(
    residuals: GoodnessOfFit | FloatArray,
    *,
    dim: int | None = None,
    ax: Any = None,
    level: float = 0.95,
) -> Any:
    """QQ plot of time-rescaled residuals against Exp(1), with a pointwise band.

    Parameters
    ----------
    residuals : GoodnessOfFit or array_like
        A goodness-of-fit result (all dimensions are drawn unless `dim` is given; each
        legend entry gives the dimension's count and p-value) or one array of residuals.
    dim : int, optional
        The dimension to draw from a `GoodnessOfFit`.
    ax : matplotlib Axes, optional
    level : float, default 0.95
        Coverage of the band: for each plotted quantile, the interval that holds that order
        statistic of an Exp(1) sample with this probability (from the Beta distribution of
        uniform order statistics). It is pointwise, not simultaneous; the legend says so.

    Returns
    -------
    matplotlib Axes
    """
    if isinstance(residuals, GoodnessOfFit):
        series = qq_series(residuals, dim)
        title = qq_title(residuals)
    else:
        values = np.asarray(residuals, dtype=np.float64)
        if values.ndim != 1:
            raise ValueError(f"residuals must be 1-dimensional; got shape {values.shape}")
        series = [(values, f"residuals (n={values.shape[0]})")]
        title = "QQ plot of time-rescaled residuals"
    return draw_qq(series, ax=ax, level=level, title=title)


def _compensator_at(
    fitted: Model, events: Events, realization: int, points: FloatArray
) -> FloatArray:
    """Λ_m at arbitrary times of one realisation, shape (len(points), M): the exact compensator
    at the event before each point, plus the share of the exact increment up to the next event
    that the intensity puts before the point (by the trapezoid rule on a grid packed towards
    the event, where the intensity changes fastest)."""
    r = events[realization]
    increments = fitted._compensator_increments(r, fitted._history(r))
    cumulative = np.vstack([np.zeros((1, increments.shape[1])), np.cumsum(increments, axis=0)])
    bounds = np.concatenate([[r.start_time], r.times, [r.end_time]])
    out = np.empty((points.shape[0], increments.shape[1]))
    for j, t in enumerate(points):
        i = int(np.clip(np.searchsorted(bounds, t, side="right") - 1, 0, bounds.shape[0] - 2))
        a, b = float(bounds[i]), float(bounds[i + 1])
        if t <= a or b <= a:
            out[j] = cumulative[i]
            continue
        if t >= b:
            out[j] = cumulative[i + 1]
            continue
        grid = np.unique(np.concatenate([a + np.geomspace((b - a) * 1e-9, b - a, 200), [t]]))
        grid = grid[(grid > a) & (grid <= b)]
        values = fitted.intensity(events, grid, realization)
        values = values[:, None] if values.ndim == 1 else values
        pieces = 0.5 * (values[:-1] + values[1:]) * np.diff(grid)[:, None]
        before = pieces[: int(np.searchsorted(grid, t))].sum(axis=0)
        total = pieces.sum(axis=0)
        share = np.divide(before, total, out=np.zeros_like(total), where=total > 0)
        out[j] = cumulative[i] + increments[i] * share
    return out


def _binned_intensity(
    fitted: Model, events: Events, realization: int, lo: float, hi: float, n_bins: int
) -> tuple[FloatArray, FloatArray]:
    """Bin edges, and per bin and dimension the mean intensity: the compensator's increment
    over the bin divided by its width."""
    edges = np.linspace(lo, hi, n_bins + 1)
    width = edges[1] - edges[0]
    mean = np.diff(_compensator_at(fitted, events, realization, edges), axis=0) / width
    return edges, mean


def intensity_plot(
    model: Model | FitResult,
    events: Events,
    *,
    realization: int = 0,
    ax: Any = None,
    start: float | None = None,
    end: float | None = None,
    n_points: int = 2000,
    max_events: int = 400,
    n_bins: int | None = None,
    time_unit: str | None = None,
) -> Any:
    """The conditional intensity over time, with the events.

    Up to `max_events` events in the range, the intensity is drawn exactly (every jump sharp)
    with the events as ticks below it. Over longer ranges, where single jumps can no longer be
    told apart, the range is cut into `n_bins` bins and each shows the model's mean intensity
    over the bin (its expected events per unit time, from the exact compensator) beside the
    observed rate (events in the bin per unit time).

    Parameters
    ----------
    model : Model or FitResult
    events : Events
    realization : int, default 0
    ax : matplotlib Axes, optional
    start, end : float, optional
        The time range drawn (default: the realisation's window).
    n_points : int, default 2000
        Grid points between events in the exact drawing; every event is added so that jumps
        are drawn sharp.
    max_events : int, default 400
        Most events drawn exactly; more switch to the binned drawing.
    n_bins : int, optional
        Bins of the binned drawing (default: about ten events per dimension and bin, 10
        to 150 bins).
    time_unit : str, optional
        Unit for the axis labels (default: ``events.time_unit``).

    Returns
    -------
    matplotlib Axes
    """
    fitted = _model_of(model)
    fitted.check_events(events)
    index = as_int(realization, "realization")
    r = events[index]
    which = f" of realisation {index}" if events.n_realizations > 1 else ""
    lo = r.start_time if start is None else float(start)
    hi = r.end_time if end is None else float(end)
    if not lo < hi:
        raise ValueError(f"start ({lo}) must be below end ({hi})")
    unit = events.time_unit if time_unit is None else time_unit
    inside = (r.times >= lo) & (r.times <= hi)
    jumps = r.times[inside]
    dims = r.dimension_indices()[inside]
    names = events.dim_names
    ax = _axes(ax)
    m = fitted.n_dims
    if jumps.shape[0] > as_int(max_events, "max_events", minimum=1):
        if n_bins is None:
            # About ten events of each dimension per bin: an observed rate worth comparing.
            bins = max(10, min(150, jumps.shape[0] // (10 * m)))
        else:
            bins = as_int(n_bins, "n_bins", minimum=1)
        edges, mean = _binned_intensity(fitted, events, index, lo, hi, bins)
        floor = 0.0
        width = edges[1] - edges[0]
        colours = []
        for k in range(m):
            stairs = ax.stairs(
                mean[:, k], edges, baseline=None, linewidth=1.2,
                label="model: mean intensity over the bin",
            )
            colour = stairs.get_edgecolor()
            colours.append(colour)
            counts = np.histogram(jumps[dims == k], bins=edges)[0]
            ax.plot(
                0.5 * (edges[:-1] + edges[1:]), counts / width, "o", color=colour,
                markersize=3, markerfacecolor="none", markeredgewidth=0.8,
                label="data: events in the bin / bin width",
            )
        ax.set_title(
            f"conditional intensity{which}: {jumps.shape[0]} events in {bins} bins of width "
            f"{width:.3g}{' ' + unit if unit else ''}"
        )
        if m == 1:
            ax.legend(fontsize="x-small")
        else:
            _legend_by_dimension(ax, colours, names)
    else:
        # Just after each event the intensity has jumped: sample there too.
        after = np.nextafter(jumps, np.inf)
        grid = np.unique(
            np.concatenate(
                [np.linspace(lo, hi, as_int(n_points, "n_points", minimum=2)), jumps, after]
            )
        )
        grid = grid[(grid >= lo) & (grid <= hi)]
        values = fitted.intensity(events, grid, index)
        values = values[:, None] if values.ndim == 1 else values
        for k in range(m):
            label = None if m == 1 else f"λ{_dim_label(names, k)}"
            (line,) = ax.plot(grid, values[:, k], linewidth=1, label=label)
            # Each dimension's events on a row of their own below the curves.
            row = -0.04 * k * float(np.max(values, initial=1.0))
            ticks = jumps[dims == k]
            ax.plot(ticks, np.full_like(ticks, row), "|", color=line.get_color(), markersize=8)
        floor = -0.04 * (m - 1) * float(np.max(values, initial=1.0))
        ax.set_title(f"conditional intensity{which} and its {jumps.shape[0]} events (ticks)")
        if m > 1:
            ax.legend(fontsize="x-small")
    ax.set_xlim(lo, hi)
    ax.set_ylim(bottom=floor - (0.02 * float(ax.get_ylim()[1]) if m > 1 else 0.0))
    ax.set_xlabel(f"time{_unit(unit)}")
    ax.set_ylabel(f"intensity{_per(unit)}")
    return ax


def _kernel_draws(
    result: FitResult, lags: FloatArray, n_draws: int, level: float, seed: int
) -> tuple[FloatArray, FloatArray, int] | None:
    """Pointwise band of the kernel over parameter draws from the fit's covariance (positive
    parameters drawn on the log scale, as their Wald intervals are formed), or None when the
    fit has no usable covariance."""
    est = np.asarray(result.estimates, dtype=np.float64)
    cov = np.asarray(result.covariance, dtype=np.float64)
    free = np.isfinite(np.diag(cov)) & (np.diag(cov) > 0.0)
    if not free.any():
        return None
    info = result.model.param_info()
    positive = np.array([p.lower >= 0.0 for p in info]) & (est > 0.0)
    sub = cov[np.ix_(free, free)]
    if not np.all(np.isfinite(sub)):
        return None
    # Delta method: the covariance of log θ is D Σ D with D = diag(1/θ) on positive entries.
    scale = np.where(positive[free], 1.0 / np.where(est[free] > 0, est[free], 1.0), 1.0)
    sub = sub * scale[:, None] * scale[None, :]
    centre = np.where(positive[free], np.log(np.where(est[free] > 0, est[free], 1.0)), est[free])
    rng = np.random.default_rng(seed)
    try:
        z = rng.multivariate_normal(centre, sub, size=n_draws, method="eigh")
    except (np.linalg.LinAlgError, ValueError):
        return None
    curves = []
    for row in z:
        x = est.copy()
        x[free] = np.where(positive[free], np.exp(row), row)
        try:
            values = result.model.with_vector(x).kernel(lags)
        except (ValueError, FloatingPointError):
            continue
        if np.all(np.isfinite(values)):
            curves.append(values)
    if len(curves) < 10:
        return None
    stack = np.stack(curves)
    lower = np.quantile(stack, (1 - level) / 2, axis=0)
    upper = np.quantile(stack, (1 + level) / 2, axis=0)
    return lower, upper, len(curves)


def kernel_plot(
    model: Model | FitResult,
    *,
    ax: Any = None,
    t_max: float | None = None,
    n_points: int = 500,
    log: bool | None = None,
    time_unit: str | None = None,
    band: bool = True,
    level: float = 0.95,
    n_draws: int = 400,
    seed: int = 0,
) -> Any:
    """The fitted excitation kernel(s) φ(t) over lags (one line per cell for multivariate
    models, labelled source → target), with a band from the fit's uncertainty.

    Parameters
    ----------
    model : Model or FitResult
        Given a FitResult with standard errors, a pointwise band is drawn from `n_draws`
        parameter vectors drawn from the normal approximation of the estimates (positive
        parameters on the log scale, fixed parameters held).
    ax : matplotlib Axes, optional
    t_max : float, optional
        Largest lag drawn (default: where the kernel has become negligible).
    n_points : int, default 500
    log : bool, optional
        Log–log axes. Default: on for heavy-tailed kernels (power law, approximate power law),
        whose tail a linear plot hides.
    time_unit : str, optional
        The unit of the lags, for the axis labels (the kernel is per unit time).
    band : bool, default True
        Draw the uncertainty band when `model` is a FitResult.
    level : float, default 0.95
        Pointwise coverage of the band.
    n_draws : int, default 400
        Parameter draws behind the band.
    seed : int, default 0
        Seed of the draws.

    Returns
    -------
    matplotlib Axes
    """
    fitted = _model_of(model)
    level = check_level(level)
    if log is None:
        log = isinstance(fitted, _HEAVY_TAILED)
    top = fitted.kernel_support() if t_max is None else float(t_max)
    count = as_int(n_points, "n_points", minimum=2)
    lags = np.geomspace(top * 1e-4, top, count) if log else np.linspace(0.0, top, count)
    values = fitted.kernel(lags)
    drawn = None
    if band and isinstance(model, FitResult):
        drawn = _kernel_draws(model, lags, as_int(n_draws, "n_draws", minimum=10), level, seed)
    ax = _axes(ax)
    band_label = (
        f"{level:.0%} pointwise band, {drawn[2]} draws from the fit's covariance"
        if drawn is not None
        else None
    )
    if values.ndim == 1:
        (line,) = ax.plot(lags, values, linewidth=1.5, label="fitted kernel")
        if drawn is not None:
            ax.fill_between(
                lags, drawn[0], drawn[1], color=line.get_color(), alpha=0.25, linewidth=0,
                label=band_label,
            )
        if drawn is not None:
            ax.legend(fontsize="x-small")
    else:
        m = values.shape[1]
        for target in range(m):
            for source in range(m):
                (line,) = ax.plot(
                    lags, values[:, target, source], linewidth=1.2, label=f"{source} → {target}"
                )
                if drawn is not None:
                    ax.fill_between(
                        lags, drawn[0][:, target, source], drawn[1][:, target, source],
                        color=line.get_color(), alpha=0.15, linewidth=0,
                    )
        handles, labels = ax.get_legend_handles_labels()
        if drawn is not None:
            from matplotlib.patches import Patch

            handles.append(Patch(color="grey", alpha=0.3))
            labels.append(cast(str, band_label))
        ax.legend(handles, labels, fontsize="x-small")
    if log:
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlim(lags[0], lags[-1])
        # The fitted curve sets the scale; a band of a poorly determined kernel may span many
        # decades and is cut two decades below and one above the curve.
        positive = values[values > 0.0]
        if positive.size:
            ax.set_ylim(float(np.min(positive)) / 100.0, float(np.max(positive)) * 10.0)
    else:
        ax.set_xlim(0.0, top)
        ax.set_ylim(bottom=0.0)
    ax.set_xlabel(f"lag{_unit(time_unit)}")
    ax.set_ylabel(f"φ(lag){_per(time_unit)}")
    scale = ", log–log axes" if log else ""
    ax.set_title(f"{fitted.family} kernel{scale}")
    return ax


def compensator_plot(
    model: Model | FitResult,
    events: Events,
    *,
    realization: int = 0,
    ax: Any = None,
    level: float = 0.95,
    detrend: bool = False,
) -> Any:
    """The cumulative count of events against the compensator, per dimension.

    By the time-rescaling theorem the count N_m, read against Λ_m, is a unit-rate Poisson
    process under the model, so the curve follows the diagonal and, at each compensator
    value s, N lies in the band of Poisson(s) quantiles with probability `level` (pointwise).
    Where the curve leaves the band the model expects too few or too many events.

    Parameters
    ----------
    model : Model or FitResult
    events : Events
    realization : int, default 0
    ax : matplotlib Axes, optional
    level : float, default 0.95
    detrend : bool, default False
        Draw N − Λ against Λ instead (the band becomes the Poisson quantiles minus s), which
        shows small departures on long records.

    Returns
    -------
    matplotlib Axes
    """
    from scipy import stats

    fitted = _model_of(model)
    fitted.check_events(events)
    level = check_level(level)
    index = as_int(realization, "realization")
    r = events[index]
    which = f", realisation {index}" if events.n_realizations > 1 else ""
    increments = fitted._compensator_increments(r, fitted._history(r))
    cumulative = np.cumsum(increments, axis=0)  # row i: Λ at event i; last row: at the end
    dims = r.dimension_indices()
    names = events.dim_names
    ax = _axes(ax)
    m = fitted.n_dims
    top = 0.0
    colours: list[Any] = []
    for k in range(m):
        at_events = cumulative[:-1][dims == k, k]
        end = float(cumulative[-1, k])
        x = np.concatenate([[0.0], at_events, [end]])
        n = np.arange(at_events.shape[0] + 1, dtype=np.float64)
        y = np.concatenate([n, [n[-1]]])
        s = np.linspace(0.0, end, 400)
        lower = stats.poisson.ppf((1 - level) / 2, s)
        upper = stats.poisson.ppf((1 + level) / 2, s)
        shift_y = x if detrend else 0.0
        shift_s = s if detrend else 0.0
        curve = "N(t) − Λ(t)" if detrend else "N(t)"
        (line,) = ax.step(x, y - shift_y, where="post", linewidth=1.2, label=curve)
        colours.append(line.get_color())
        band_label = f"{level:.0%} pointwise Poisson band"
        if m == 1:
            ax.fill_between(
                s, lower - shift_s, upper - shift_s, color=line.get_color(), alpha=0.15,
                linewidth=0, label=band_label,
            )
        else:
            # Filled bands of several dimensions would hide each other: draw their edges.
            for edge in (lower, upper):
                ax.plot(
                    s, edge - shift_s, ":", color=line.get_color(), linewidth=0.9,
                    label=band_label,
                )
        top = max(top, end, float(n[-1]))
    if detrend:
        ax.axhline(0.0, color="k", linestyle="--", linewidth=1, label="N = Λ")
        ax.set_ylabel("N(t) − Λ(t)")
        ax.set_title(f"count minus compensator{which}")
    else:
        ax.plot([0.0, top], [0.0, top], "k--", linewidth=1, label="N = Λ")
        ax.set_ylabel("cumulative count N(t)")
        ax.set_title(f"cumulative count against the compensator{which}")
    ax.set_xlabel("compensator Λ(t): expected count under the model")
    if m == 1:
        ax.legend(fontsize="x-small", loc="upper left")
    else:
        _legend_by_dimension(ax, colours, names)
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


def _figure_title(result: FitResult | Model, events: Events) -> str:
    fitted = _model_of(result, "result")
    data = f"{events.n_events} events in {events.n_realizations} realisation(s)"
    if isinstance(result, FitResult):
        converged = "converged" if result.converged else "NOT converged"
        return (
            f"{fitted.family} fit ({type(fitted).__name__}) to {data}: log-likelihood "
            f"{result.log_likelihood:.6g}, {converged}"
        )
    return f"{fitted.family} model ({type(fitted).__name__}) on {data}"


def diagnostic_figure(
    result: FitResult | Model,
    events: Events,
    *,
    path: str | None = None,
    realization: int = 0,
    gof: GoodnessOfFit | None = None,
    title: str | None = None,
) -> Any:
    """One figure with the QQ plot, the fitted kernel, the cumulative count against the
    compensator, the intensity of one realisation and, for multivariate models, the α heat
    map, under a title naming the fit.

    Parameters
    ----------
    result : FitResult or Model
    events : Events
    path : str, optional
        Save the figure there (the format follows the extension, e.g. ``.png``).
    realization : int, default 0
    gof : GoodnessOfFit, optional
        A test already run (e.g. the bootstrap); its p-values go into the QQ plot's legend.
        Default: the plain KS test of the fitted model (no refits).
    title : str, optional
        The figure's title (default: the family, the data and the fit's log-likelihood).

    Returns
    -------
    matplotlib Figure
    """
    fitted = _model_of(result, "result")
    plt = _pyplot()
    multivariate = isinstance(fitted, MultivariateExponential)
    figure = plt.figure(figsize=(18 if multivariate else 14, 9), layout="constrained")
    grid = figure.add_gridspec(2, 4 if multivariate else 3)
    tested = gof if gof is not None else goodness_of_fit(events, fitted)
    qq_plot(tested, ax=figure.add_subplot(grid[0, 0])).set_title("QQ plot of the residuals")
    kernel_plot(result, ax=figure.add_subplot(grid[0, 1]), time_unit=events.time_unit)
    # Against the compensator a long record is a straight line; the difference shows the fit.
    compensator_plot(
        fitted, events, realization=realization, ax=figure.add_subplot(grid[0, 2]), detrend=True
    )
    if multivariate:
        alpha_heatmap(
            cast(MultivariateExponential, fitted),
            ax=figure.add_subplot(grid[0, 3]),
            labels=events.dim_names,
        )
    intensity_plot(
        fitted, events, realization=realization, ax=figure.add_subplot(grid[1, :])
    )
    figure.suptitle(_figure_title(result, events) if title is None else title)
    if path is not None:
        figure.savefig(path, dpi=110)
    return figure
