"""Forecasts: simulated continuations of an observed realisation, given everything up to its end.

For a linear Hawkes process observed on [start, T], the events after T are, given the history,
the immigrants after T (the baseline), the children after T of every observed event, and the
descendants of both. The children of the observed events form a Poisson process of intensity
Σ_i φ(t − t_i) for t > T, whatever the parents of the observed events were; for kernels that are
sums of exponentials that process is drawn from the state of each component at T (Poisson
counts of Exp(β_k) delays, by memorylessness), for other kernels by drawing each observed event's
children and keeping those after T. Every path then grows generation by generation, like
``simulate``, until no child lands before T + horizon.

Path k of a forecast with seed s uses the seed sequence (s, spawn key (realisation, k)) of
:class:`numpy.random.SeedSequence`, so a path's events do not depend on how many paths are
drawn, on the executor, or on the batch size.
"""

from __future__ import annotations

import html
import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._checks import FloatArray, IntArray, as_int, finite_scalar, float_array, fmt, freeze
from .events import Events, Realization
from .models._base import Model, decay
from .models._simulate import descendants

__all__ = ["Forecast", "forecast"]


@dataclass(frozen=True, eq=False, repr=False)
class Forecast:
    """Simulated continuations of one observed realisation over [start_time, end_time).

    Attributes
    ----------
    start_time, end_time : float
        The end of the observed window, T, and T + horizon.
    n_dims : int
    times : ndarray
        The events of every path, path after path (each path ascending).
    dims : ndarray or None
        Their dimensions (None for one-dimensional models).
    offsets : ndarray of int, shape (n_paths + 1,)
        Path k is ``times[offsets[k]:offsets[k + 1]]``.
    seed : int
    model_name : str
    recent : ndarray
        The observed events in [T − horizon, T] (all dimensions), for plots.
    """

    start_time: float
    end_time: float
    n_dims: int
    times: FloatArray
    dims: IntArray | None
    offsets: IntArray
    seed: int
    model_name: str
    recent: FloatArray

    @property
    def n_paths(self) -> int:
        """Number of paths."""
        return int(self.offsets.shape[0] - 1)

    @property
    def horizon(self) -> float:
        """Length of the forecast window."""
        return self.end_time - self.start_time

    def path(self, k: int) -> tuple[FloatArray, IntArray | None]:
        """Times (and dimensions, or None) of path `k`.

        Parameters
        ----------
        k : int
            Index of the path, in [0, n_paths).

        Returns
        -------
        times : ndarray
            The path's events, ascending.
        dims : ndarray or None
            Their dimensions (None for one-dimensional models).
        """
        k = as_int(k, "k", minimum=0)
        if k >= self.n_paths:
            raise IndexError(f"k = {k} is out of range for {self.n_paths} paths")
        lo, hi = int(self.offsets[k]), int(self.offsets[k + 1])
        return self.times[lo:hi], None if self.dims is None else self.dims[lo:hi]

    def _select(self, dim: int | None) -> FloatArray:
        if dim is None:
            return self.times
        d = as_int(dim, "dim", minimum=0)
        if d >= self.n_dims:
            raise ValueError(f"dim = {d} is not in [0, {self.n_dims})")
        if self.dims is None:
            return self.times
        return np.where(self.dims == d, self.times, np.inf)

    def count_at(self, t: Any, dim: int | None = None) -> FloatArray:
        """N(t) − N(T) on every path at the times `t`: events in [T, t], of dimension `dim` or
        of all dimensions.

        Parameters
        ----------
        t : array_like of float
            Finite times (absolute, in the data's time axis).
        dim : int, optional
            Count only events of this dimension; all dimensions by default.

        Returns
        -------
        ndarray of shape (n_paths, len(t))
            The counts (as floats).
        """
        grid = float_array(t, "t")
        if grid.shape[0] and not np.all(np.isfinite(grid)):
            raise ValueError("t must be finite")
        times = self._select(dim)
        out = np.empty((self.n_paths, grid.shape[0]), dtype=np.float64)
        for k in range(self.n_paths):
            lo, hi = int(self.offsets[k]), int(self.offsets[k + 1])
            part = times[lo:hi]
            if dim is not None and self.dims is not None:
                part = np.sort(part)
            out[k] = np.searchsorted(part, grid, side="right")
        return out

    def counts(
        self, start: float | None = None, end: float | None = None, dim: int | None = None
    ) -> IntArray:
        """Number of events of each path in [start, end) (default: the whole window).

        Parameters
        ----------
        start : float, optional
            Start of the interval; default ``start_time`` (T).
        end : float, optional
            End of the interval (> start); default ``end_time`` (T + horizon).
        dim : int, optional
            Count only events of this dimension; all dimensions by default.

        Returns
        -------
        ndarray of int, shape (n_paths,)
        """
        lo = self.start_time if start is None else finite_scalar(start, "start")
        hi = self.end_time if end is None else finite_scalar(end, "end")
        if not hi > lo:
            raise ValueError(f"end ({fmt(hi)}) must be greater than start ({fmt(lo)})")
        times = self._select(dim)
        inside = (times >= lo) & (times < hi)
        cumulative = np.concatenate([[0], np.cumsum(inside, dtype=np.int64)])
        return np.asarray(
            cumulative[self.offsets[1:]] - cumulative[self.offsets[:-1]], dtype=np.int64
        )

    def expected_count(
        self, start: float | None = None, end: float | None = None, dim: int | None = None
    ) -> tuple[float, float]:
        """Monte Carlo estimate of E[N(end) − N(start) | history] and its standard error.

        Parameters
        ----------
        start : float, optional
            Start of the interval; default ``start_time`` (T).
        end : float, optional
            End of the interval (> start); default ``end_time`` (T + horizon).
        dim : int, optional
            Count only events of this dimension; all dimensions by default.

        Returns
        -------
        mean : float
            The mean count over the paths.
        se : float
            Its Monte Carlo standard error (NaN with one path).
        """
        c = self.counts(start, end, dim).astype(np.float64)
        se = float(c.std(ddof=1) / math.sqrt(c.shape[0])) if c.shape[0] > 1 else math.nan
        return float(c.mean()), se

    def prob_at_least(
        self, k: int, start: float | None = None, end: float | None = None, dim: int | None = None
    ) -> tuple[float, float]:
        """Monte Carlo estimate of P(at least `k` events in [start, end) | history) and its
        standard error.

        Parameters
        ----------
        k : int
            The number of events (≥ 0).
        start : float, optional
            Start of the interval; default ``start_time`` (T).
        end : float, optional
            End of the interval (> start); default ``end_time`` (T + horizon).
        dim : int, optional
            Count only events of this dimension; all dimensions by default.

        Returns
        -------
        p : float
            The share of paths with at least `k` events.
        se : float
            Its binomial standard error, sqrt(p(1 − p)/n_paths).
        """
        k = as_int(k, "k", minimum=0)
        hits = (self.counts(start, end, dim) >= k).astype(np.float64)
        p = float(hits.mean())
        return p, math.sqrt(p * (1.0 - p) / hits.shape[0])

    def quantiles(
        self, t: Any, q: Any = (0.05, 0.25, 0.5, 0.75, 0.95), dim: int | None = None
    ) -> FloatArray:
        """Quantiles of N(t) − N(T) across paths (empirical quantiles of the paths; the lower
        of two order statistics, so values are counts).

        Parameters
        ----------
        t : array_like of float
            Finite times (absolute, in the data's time axis).
        q : array_like of float, default (0.05, 0.25, 0.5, 0.75, 0.95)
            Probabilities, in [0, 1].
        dim : int, optional
            Count only events of this dimension; all dimensions by default.

        Returns
        -------
        ndarray of shape (len(q), len(t))
        """
        levels = float_array(q, "q")
        if np.any((levels < 0) | (levels > 1)):
            raise ValueError("q must lie in [0, 1]")
        return np.asarray(
            np.quantile(self.count_at(t, dim), levels, axis=0, method="lower"), dtype=np.float64
        )

    def summary(self) -> str:
        """A text table: the window, the number of paths, and the forecast count."""
        mean, se = self.expected_count()
        c = self.counts()
        q = np.quantile(c, [0.05, 0.5, 0.95], method="lower")
        p0, _ = self.prob_at_least(1)
        lines = [
            f"Forecast of {self.model_name} over [{self.start_time:.6g}, {self.end_time:.6g})",
            f"paths              {self.n_paths} (seed {self.seed})",
            f"expected count     {mean:.4g} (Monte Carlo s.e. {se:.2g})",
            f"count quantiles    5%: {q[0]:g}   50%: {q[1]:g}   95%: {q[2]:g}",
            f"P(at least 1)      {p0:.4g}",
        ]
        return "\n".join(lines)

    def __repr__(self) -> str:
        mean, se = self.expected_count()
        return (
            f"Forecast({self.model_name}, window [{self.start_time:.6g}, {self.end_time:.6g}), "
            f"{self.n_paths} paths, expected count {mean:.4g} ± {se:.2g})"
        )

    def _repr_html_(self) -> str:
        return f"<pre>{html.escape(self.summary())}</pre>"

    def plot(
        self,
        *,
        ax: Any = None,
        levels: Sequence[float] = (0.5, 0.8, 0.95),
        n_points: int = 200,
        dim: int | None = None,
        history: bool = True,
    ) -> Any:
        """Fan chart of N(t) − N(T): central bands of the paths at each level (nested, in
        shades of one colour from the widest, lightest, to the narrowest, each named in the
        legend), the median and the mean; with `history`, the observed counts over the previous
        horizon (ending at 0).

        Parameters
        ----------
        ax : matplotlib Axes, optional
        levels : sequence of float, default (0.5, 0.8, 0.95)
            Coverage of each band (the central interval between quantiles (1 ± level)/2).
        n_points : int, default 200
            Number of grid points.
        dim : int, optional
            Only events of this dimension.
        history : bool, default True

        Returns
        -------
        matplotlib Axes
        """
        from ._plotbase import axes as _axes

        from ._checks import optional_import

        ax = _axes(ax)
        colors = optional_import("matplotlib.colors", "plot", "plots need matplotlib")
        n_points = as_int(n_points, "n_points", minimum=2)
        ordered = sorted(set(float(v) for v in levels), reverse=True)
        for level in ordered:
            if not 0 < level < 1:
                raise ValueError(f"levels must lie in (0, 1); got {level}")
        grid = np.linspace(self.start_time, self.end_time, n_points)
        counts = self.count_at(grid, dim)
        # Opaque shades of one colour, the widest band lightest and each narrower one drawn
        # over it darker: nested bands stay apart, in the chart and in the legend.
        base, white = np.array(colors.to_rgb("C0")), np.ones(3)
        depth = np.linspace(0.25, 0.6, len(ordered)) if len(ordered) > 1 else [0.4]
        for level, share in zip(ordered, depth):
            lo, hi = np.quantile(counts, [(1 - level) / 2, (1 + level) / 2], axis=0)
            shade = tuple(white + share * (base - white))
            label = f"{100 * level:.10g}% band"
            ax.fill_between(grid, lo, hi, color=shade, linewidth=0, label=label)
        ax.plot(grid, np.median(counts, axis=0), color="C0", label="median")
        ax.plot(grid, counts.mean(axis=0), color="C1", linestyle="--", label="mean")
        if history and self.recent.shape[0] and self.dims is None:
            before = np.sort(self.recent)
            steps = np.arange(before.shape[0], 0, -1, dtype=np.float64)
            ax.step(
                np.concatenate([[self.start_time - self.horizon], before, [self.start_time]]),
                -np.concatenate([[before.shape[0]], steps - 1, [0]]),
                where="post",
                color="k",
                label="observed (counted back from T)",
            )
        ax.axvline(self.start_time, color="0.5", linewidth=0.8)
        ax.set_xlabel("time")
        ax.set_ylabel("events after T")
        ax.legend(loc="upper left")
        return ax

    def __reduce__(self) -> tuple[Any, ...]:
        return (
            Forecast,
            (
                self.start_time,
                self.end_time,
                self.n_dims,
                self.times,
                self.dims,
                self.offsets,
                self.seed,
                self.model_name,
                self.recent,
            ),
        )

    def __post_init__(self) -> None:
        for name in ("times", "dims", "offsets", "recent"):
            value = getattr(self, name)
            if value is not None:
                object.__setattr__(self, name, freeze(np.array(value)))


# -- drawing the paths --------------------------------------------------------------------------------


def _generator(seed: int, realization: int, k: int) -> np.random.Generator:
    return np.random.Generator(
        np.random.PCG64(np.random.SeedSequence(seed, spawn_key=(realization, k)))
    )


def _immigrants(
    model: Model, rng: np.random.Generator, start: float, end: float
) -> tuple[FloatArray, IntArray]:
    sampler = getattr(model, "_sample_immigrants", None)
    if sampler is not None:
        return sampler(rng, start, end)  # type: ignore[no-any-return]
    mu = np.atleast_1d(np.asarray(getattr(model, "mu"), dtype=np.float64))
    counts = rng.poisson(mu * (end - start))
    times = np.concatenate([start + rng.random(int(c)) * (end - start) for c in counts])
    dims = np.concatenate([np.full(int(c), m, dtype=np.int64) for m, c in enumerate(counts)])
    return times, dims


@dataclass(frozen=True)
class _Driver:
    """What the history contributes after T: for exponential components, per (target, source
    component) the expected number of children after T (`means`) and their decay; otherwise
    the parents whose children are drawn and cut at T."""

    means: FloatArray | None  # (C,)
    decays: FloatArray | None  # (C,)
    targets: IntArray | None  # (C,)
    parents: FloatArray | None
    parent_dims: IntArray | None


def _driver(model: Model, r: Realization) -> _Driver:
    from .models.multivariate import MultivariateExponential
    from .models.univariate import _ExpSumModel

    kernel = getattr(model, "kernel_model", model)
    T = r.end_time
    if isinstance(kernel, _ExpSumModel):
        decays, weights = kernel._components()
        lags = T - r.times
        states = np.array([float(np.sum(decay(-b * lags))) for b in decays])
        return _Driver(
            weights * states, decays, np.zeros(decays.shape[0], dtype=np.int64), None, None
        )
    if isinstance(kernel, MultivariateExponential):
        m = kernel.n_dims
        betas = kernel._beta_matrix()
        dims = r.dimension_indices()
        lags = T - r.times
        means, rates, targets = [], [], []
        for target in range(m):
            for source in range(m):
                b = float(betas[target, source])
                s = float(np.sum(decay(-b * lags[dims == source])))
                means.append(float(kernel.alpha[target, source]) * s)
                rates.append(b)
                targets.append(target)
        return _Driver(
            np.array(means), np.array(rates), np.array(targets, dtype=np.int64), None, None
        )
    return _Driver(None, None, None, r.times, r.dimension_indices())


def _draw_path(
    model: Model,
    offspring: Any,
    driver: _Driver,
    start: float,
    end: float,
    rng: np.random.Generator,
) -> tuple[FloatArray, IntArray]:
    times, dims = _immigrants(model, rng, start, end)
    parts_t, parts_d = [times], [dims]
    if driver.means is not None:
        assert driver.decays is not None and driver.targets is not None
        counts = rng.poisson(driver.means)
        delays = rng.exponential(1.0, int(counts.sum())) / np.repeat(driver.decays, counts)
        parts_t.append(start + delays)
        parts_d.append(np.repeat(driver.targets, counts))
    else:
        assert driver.parents is not None and driver.parent_dims is not None
        child_t, child_d = offspring(rng, driver.parents, driver.parent_dims)
        keep = child_t >= start
        parts_t.append(child_t[keep])
        parts_d.append(child_d[keep])
    first_t = np.concatenate(parts_t)
    first_d = np.concatenate(parts_d).astype(np.int64)
    keep = first_t < end
    return descendants(rng, first_t[keep], first_d[keep], end, offspring)


def _forecast_batch(
    model: Model,
    r: Realization,
    horizon: float,
    seed: int,
    realization: int,
    indices: Sequence[int],
) -> list[tuple[int, Any]]:
    """Worker: paths `indices` of one seeded forecast."""
    from ._executors import _portable

    offspring = model._offspring()  # type: ignore[attr-defined]
    driver = _driver(model, r)
    start, end = r.end_time, r.end_time + horizon
    out: list[tuple[int, Any]] = []
    for k in indices:
        try:
            out.append(
                (
                    k,
                    _draw_path(
                        model, offspring, driver, start, end, _generator(seed, realization, k)
                    ),
                )
            )
        except Exception as exc:
            out.append((k, _portable(exc)))
    return out


def forecast(
    model: Model,
    events: Events,
    horizon: float,
    n_paths: int,
    *,
    seed: int,
    realization: int = 0,
    executor: Any = None,
    batch_size: int | None = None,
    progress: bool = False,
) -> Forecast:
    """Simulate `n_paths` continuations of one observed realisation over
    [T, T + horizon), T being the end of its window, given all its events.

    Parameters
    ----------
    model : Model
        A model that simulates (every linear family but the marked one, and the multivariate
        exponential), with or without a time-varying baseline.
    events : Events
        The observed history.
    horizon : float
        Length of the forecast window (> 0), in the data's time unit.
    n_paths : int
        Number of paths.
    seed : int
        Non-negative seed (see the module documentation).
    realization : int, default 0
        Which realisation of `events` to continue.
    executor : optional
        None, a ``concurrent.futures`` executor or a ``dask.distributed.Client``: the paths
        are drawn in batches there; the result is the same bits whatever the executor.
    batch_size : int, optional
        Paths per task.
    progress : bool, default False
        Show a progress bar (the ``progress`` extra).

    Returns
    -------
    Forecast

    Raises
    ------
    NotImplementedError
        The model has no simulator.
    ValueError
        A branching ratio of 1 or more, or bad arguments.
    """
    from .models._simulate import check_simulation
    from ._executors import _batches, _run, _worker_count

    if not isinstance(model, Model):
        raise TypeError(f"model must be a vostrel model; got {type(model).__name__}")
    model.check_events(events)
    kernel = getattr(model, "kernel_model", model)
    if (
        getattr(kernel, "_offspring", None) is None
        or kernel.needs_marks
        or type(kernel)._simulate_realization is Model._simulate_realization
    ):
        raise NotImplementedError(f"{type(model).__name__} cannot forecast: it has no simulator")
    h = finite_scalar(horizon, "horizon")
    if not h > 0:
        raise ValueError(f"horizon must be positive; got {fmt(h)}")
    index = as_int(realization, "realization", minimum=0)
    if index >= events.n_realizations:
        raise ValueError(
            f"realization = {index} is out of range: events has {events.n_realizations}"
        )
    r = events[index]
    count = as_int(n_paths, "n_paths", minimum=1)
    _, _, seed, _ = check_simulation(model.branching_ratio, r.end_time + h, r.end_time, seed, 1)
    batches = _batches(count, batch_size, _worker_count(executor))
    payloads = [(model, r, h, seed, index, list(b)) for b in batches]
    paths = _run(
        executor, payloads, batches, "raise", progress, "forecast", worker=_forecast_batch
    )
    sizes = np.array([p[0].shape[0] for p in paths], dtype=np.int64)
    offsets = np.concatenate([[0], np.cumsum(sizes)]).astype(np.int64)
    times = np.concatenate([p[0] for p in paths]) if paths else np.empty(0)
    dims = np.concatenate([p[1] for p in paths]).astype(np.int64) if model.n_dims > 1 else None
    recent = r.times[r.times >= r.end_time - h]
    return Forecast(
        start_time=r.end_time,
        end_time=r.end_time + h,
        n_dims=model.n_dims,
        times=times,
        dims=dims,
        offsets=offsets,
        seed=seed,
        model_name=type(model).__name__,
        recent=recent,
    )
