"""Time-varying baselines: the immigrant rate μ(t) of a Hawkes process as a function of time.

A baseline object describes μ(t) and its parameters; :class:`WithBaseline` puts it in place of
a model's constant baseline::

    model = WithBaseline(Exponential(), PeriodicBaseline(period=24.0, n_bins=24))
    result = vs.fit(events, model)

Its parameters are fitted jointly with the kernel's (named ``"mu[k]"`` for the bins of a
periodic baseline, ``"mu"`` and ``"trend"`` for a log-linear one; ``fixed=`` and ``bounds=``
take a name or the group ``"mu"``), and it has standard errors, an exact compensator (so
residuals and :func:`vostrel.goodness_of_fit` work), simulation (immigrants by thinning against
the baseline's maximum over the window, reproducible like every simulation) and forecasts.

Baselines read absolute time: a periodic baseline's phase is ``(t − origin) mod period`` in the
data's own time axis, whatever window a realisation has.

The likelihoods with a time-varying baseline are native (module ``vostrel._libvostrel_ext``)
for every univariate kernel but the marked one (the exponential kernel with a piecewise-constant
baseline costs one table look-up per event) and for the multivariate exponential model (one
baseline per dimension).
"""

from __future__ import annotations

import math
from abc import ABC, abstractmethod
from dataclasses import dataclass, fields
from typing import TYPE_CHECKING, Any, ClassVar

import numpy as np

from ._checks import FloatArray, IntArray, as_int, finite_scalar, float_array, fmt, freeze
from .events import Events, Realization
from .models._base import (
    DataStats,
    Model,
    ParamInfo,
    Prepared,
    fields_repr,
    param_vector,
    set_field,
)
from .models._params import LEVEL, RATE

if TYPE_CHECKING:
    from typing import Self

__all__ = ["Baseline", "PeriodicBaseline", "LogLinearBaseline", "WithBaseline", "baseline_plot"]

_INF = math.inf


class Baseline(ABC):
    """Base of the frozen baseline objects: μ(t) ≥ 0 with a flat parameter vector."""

    #: Short description used in a model's family name.
    kind: ClassVar[str] = "baseline"

    @abstractmethod
    def param_info(self, dim: int | None = None) -> tuple[ParamInfo, ...]:
        """Metadata of the baseline's parameters.

        Parameters
        ----------
        dim : int, optional
            The dimension the baseline belongs to, for multivariate models: it goes into the
            names (``"mu[1,0]"``); None for one-dimensional models (``"mu[0]"``, ``"mu"``).

        Returns
        -------
        tuple of ParamInfo
            One per parameter, in the order of :meth:`to_vector`.
        """

    @abstractmethod
    def to_vector(self) -> FloatArray:
        """The parameters as one flat vector (order of :meth:`param_info`)."""

    @abstractmethod
    def with_vector(self, x: FloatArray) -> Self:
        """The same structure with parameters from `x`.

        Parameters
        ----------
        x : ndarray
            The parameters, in the order of :meth:`param_info`.

        Returns
        -------
        Baseline
            A new baseline of the same type.
        """

    @abstractmethod
    def _scaled(self, s: float) -> Self:
        """The same baseline in the time unit u = s·t."""

    @abstractmethod
    def values_at(self, t: Any) -> FloatArray:
        """μ at the (absolute) times `t`.

        Parameters
        ----------
        t : array_like of float
            Times in the data's own time axis.

        Returns
        -------
        ndarray
            μ(t), one value per time.
        """

    @abstractmethod
    def cumulative(self, t: FloatArray, start: float) -> FloatArray:
        """∫ μ from `start` to each of `t` (t ≥ start).

        Parameters
        ----------
        t : ndarray
            End points of the integrals (absolute times).
        start : float
            Their common start.

        Returns
        -------
        ndarray
            One integral per entry of `t`.
        """

    @abstractmethod
    def integral_grad(self, start: float, end: float) -> FloatArray:
        """d/dθ of ∫ μ over [start, end].

        Parameters
        ----------
        start, end : float
            The window.

        Returns
        -------
        ndarray
            One derivative per parameter, in the order of :meth:`param_info`.
        """

    @abstractmethod
    def event_grad(self, t: FloatArray, weights: FloatArray) -> FloatArray:
        """Σ_i weights_i · dμ(t_i)/dθ.

        Parameters
        ----------
        t : ndarray
            Event times (absolute).
        weights : ndarray
            One weight per time.

        Returns
        -------
        ndarray
            One entry per parameter, in the order of :meth:`param_info`.
        """

    @abstractmethod
    def maximum(self, start: float, end: float) -> float:
        """An upper bound of μ over [start, end] (attained, for thinning to be efficient).

        Parameters
        ----------
        start, end : float
            The window.

        Returns
        -------
        float
        """

    @abstractmethod
    def _default_bounds(self, stats: DataStats) -> list[tuple[float | None, float | None]]: ...

    @abstractmethod
    def _start(self, rate: float) -> FloatArray:
        """Start values for a mean immigrant rate `rate`."""

    def integral(self, start: float, end: float) -> float:
        """∫ μ over [start, end].

        Parameters
        ----------
        start, end : float
            The window (absolute times).

        Returns
        -------
        float
        """
        return float(self.cumulative(np.array([end]), start)[0])

    def sample(self, rng: np.random.Generator, start: float, end: float) -> FloatArray:
        """Immigrant times on [start, end) by thinning a Poisson process of rate
        :meth:`maximum`.

        Parameters
        ----------
        rng : numpy.random.Generator
            The source of randomness.
        start, end : float
            The window (absolute times).

        Returns
        -------
        ndarray
            The immigrant times, ascending.
        """
        top = self.maximum(start, end)
        if not top > 0:
            return np.empty(0)
        n = int(rng.poisson(top * (end - start)))
        times = np.sort(start + rng.random(n) * (end - start))
        keep = rng.random(n) * top < self.values_at(times)
        return np.asarray(times[keep], dtype=np.float64)

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return all(
            np.array_equal(getattr(self, f.name), getattr(other, f.name))
            for f in fields(self)  # type: ignore[arg-type]
        )

    def __hash__(self) -> int:
        return hash((type(self).__name__, self.to_vector().tobytes()))

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), tuple(getattr(self, f.name) for f in fields(self)))  # type: ignore[arg-type]

    def __repr__(self) -> str:
        return fields_repr(self)


def _suffix(dim: int | None, index: int | None = None) -> str:
    parts = [str(p) for p in (dim, index) if p is not None]
    return f"[{','.join(parts)}]" if parts else ""


@dataclass(frozen=True, eq=False, repr=False)
class PeriodicBaseline(Baseline):
    """A periodic, piecewise-constant baseline: μ(t) = values[k] while the phase
    (t − origin) mod period lies in [edges[k], edges[k+1]).

    Parameters
    ----------
    period : float
        Length of one period (> 0), e.g. 24 for a daily rhythm in hours, 168 for a weekly one.
    n_bins : int, optional
        Number of bins of equal width; or give `edges`.
    values : array_like, shape (K,), optional
        Rate in each bin (≥ 0); default 1 everywhere (a fit starts from the data anyway).
    edges : array_like, shape (K + 1,), optional
        Bin edges of the phase: strictly increasing from 0 to `period`.
    origin : float, default 0.0
        The time at which phase 0 starts.

    Examples
    --------
    >>> from vostrel.baselines import PeriodicBaseline
    >>> PeriodicBaseline(24.0, n_bins=4, values=[1.0, 2.0, 3.0, 4.0]).values_at([1.0, 7.0, 25.0])
    array([1., 2., 1.])
    """

    period: float = 1.0
    n_bins: int | None = None
    values: Any = None
    edges: Any = None
    origin: float = 0.0

    kind: ClassVar[str] = "periodic"

    def __post_init__(self) -> None:
        period = finite_scalar(self.period, "period")
        if not period > 0:
            raise ValueError(f"period must be positive; got {fmt(period)}")
        origin = finite_scalar(self.origin, "origin")
        if self.edges is None:
            if self.n_bins is None:
                raise TypeError("PeriodicBaseline needs n_bins or edges")
            k = as_int(self.n_bins, "n_bins", minimum=1)
            edges = np.arange(k + 1, dtype=np.float64) * (period / k)
            edges[-1] = period
        else:
            edges = float_array(self.edges, "edges")
            if edges.shape[0] < 2:
                raise ValueError("edges must have at least 2 entries")
            if edges[0] != 0.0 or edges[-1] != period:
                raise ValueError(
                    f"edges must run from 0 to period ({fmt(period)}); got "
                    f"{fmt(edges[0])} .. {fmt(edges[-1])}"
                )
            if np.any(np.diff(edges) <= 0):
                raise ValueError("edges must be strictly increasing")
            k = edges.shape[0] - 1
            if self.n_bins is not None and as_int(self.n_bins, "n_bins") != k:
                raise ValueError(f"n_bins ({self.n_bins}) disagrees with edges ({k} bins)")
        values = param_vector(np.ones(k) if self.values is None else self.values, "values", (k,))
        if np.any(values < 0):
            i = int(np.argmax(values < 0))
            raise ValueError(f"values[{i}] must be non-negative; got {fmt(values[i])}")
        set_field(self, "period", period)
        set_field(self, "origin", origin)
        set_field(self, "n_bins", k)
        set_field(self, "edges", freeze(edges))
        set_field(self, "values", values)

    def param_info(self, dim: int | None = None) -> tuple[ParamInfo, ...]:
        return tuple(
            RATE.info(f"mu{_suffix(dim, k)}", "mu") for k in range(self.values.shape[0])
        )

    def to_vector(self) -> FloatArray:
        return np.array(self.values, dtype=np.float64)

    def with_vector(self, x: FloatArray) -> PeriodicBaseline:
        return PeriodicBaseline(self.period, None, x, self.edges, self.origin)

    def _scaled(self, s: float) -> PeriodicBaseline:
        return PeriodicBaseline(
            self.period * s, None, self.values / s, self.edges * s, self.origin * s
        )

    def _phase(self, t: FloatArray) -> tuple[FloatArray, FloatArray]:
        """(number of whole periods since the origin, phase in [0, period))."""
        shifted = t - self.origin
        cycles = np.floor(shifted / self.period)
        phase = shifted - cycles * self.period
        # Rounding can put the phase at `period` itself (or a hair below 0).
        phase = np.clip(phase, 0.0, np.nextafter(self.period, 0.0))
        return cycles, phase

    def bins(self, t: Any) -> IntArray:
        """The bin of each time.

        Parameters
        ----------
        t : array_like of float
            Absolute times.

        Returns
        -------
        ndarray of int
            The index of each time's bin, in [0, n_bins).
        """
        times = float_array(t, "t")
        return self._bins_after(times, 0.0)

    def _bins_after(self, times: FloatArray, shift: float) -> IntArray:
        """The bins of the times `times` + `shift` (the phase as :meth:`_phase` computes it,
        then the bin holding it), by one native pass."""
        from . import _libvostrel_ext as ext

        flat = np.ascontiguousarray(times, dtype=np.float64)
        found = ext.periodic_bins(flat, float(shift), self.period, self.origin, self.edges)
        return found.astype(np.int64)

    def values_at(self, t: Any) -> FloatArray:
        return np.asarray(self.values[self.bins(t)], dtype=np.float64)

    def _time_in_bins(self, t: FloatArray) -> FloatArray:
        """Shape (len(t), K): time spent in each bin from the origin to t (negative before)."""
        cycles, phase = self._phase(t)
        widths = np.diff(self.edges)
        partial = np.clip(phase[:, None] - self.edges[None, :-1], 0.0, widths[None, :])
        return np.asarray(cycles[:, None] * widths[None, :] + partial, dtype=np.float64)

    def exposure(self, start: float, end: float) -> FloatArray:
        """Time the window [start, end] spends in each bin.

        Parameters
        ----------
        start, end : float
            The window (absolute times).

        Returns
        -------
        ndarray of shape (n_bins,)
        """
        both = self._time_in_bins(np.array([start, end], dtype=np.float64))
        return np.asarray(np.maximum(both[1] - both[0], 0.0), dtype=np.float64)

    def cumulative(self, t: FloatArray, start: float) -> FloatArray:
        areas = self.values * np.diff(self.edges)
        running = np.concatenate([[0.0], np.cumsum(areas)])

        def from_origin(x: FloatArray) -> FloatArray:
            cycles, phase = self._phase(x)
            return np.asarray(
                cycles * running[-1] + np.interp(phase, self.edges, running), dtype=np.float64
            )

        out = from_origin(np.asarray(t, dtype=np.float64)) - from_origin(np.array([start]))[0]
        return np.asarray(out, dtype=np.float64)

    def integral_grad(self, start: float, end: float) -> FloatArray:
        return self.exposure(start, end)

    def event_grad(self, t: FloatArray, weights: FloatArray) -> FloatArray:
        return np.bincount(self.bins(t), weights=weights, minlength=self.values.shape[0]).astype(
            np.float64
        )

    def maximum(self, start: float, end: float) -> float:
        return float(self.values.max())

    def _default_bounds(self, stats: DataStats) -> list[tuple[float | None, float | None]]:
        return [(1e-10 * stats.rate, None)] * self.values.shape[0]

    def _start(self, rate: float) -> FloatArray:
        return np.full(self.values.shape[0], rate)


@dataclass(frozen=True, eq=False, repr=False)
class LogLinearBaseline(Baseline):
    """A log-linear trend: μ(t) = mu · exp(trend · (t − origin)).

    Parameters
    ----------
    mu : float
        The rate at `origin` (> 0).
    trend : float, default 0.0
        Growth rate per unit time (either sign).
    origin : float, default 0.0
        Reference time (fixed in fits).
    """

    mu: float = 1.0
    trend: float = 0.0
    origin: float = 0.0

    kind: ClassVar[str] = "log-linear"

    def __post_init__(self) -> None:
        mu = finite_scalar(self.mu, "mu")
        if not mu > 0:
            raise ValueError(f"mu must be positive; got {fmt(mu)}")
        set_field(self, "mu", mu)
        set_field(self, "trend", finite_scalar(self.trend, "trend"))
        set_field(self, "origin", finite_scalar(self.origin, "origin"))

    def param_info(self, dim: int | None = None) -> tuple[ParamInfo, ...]:
        return (
            RATE.info(f"mu{_suffix(dim)}", "mu"),
            LEVEL.info(f"trend{_suffix(dim)}", "trend"),
        )

    def to_vector(self) -> FloatArray:
        return np.array([self.mu, self.trend], dtype=np.float64)

    def with_vector(self, x: FloatArray) -> LogLinearBaseline:
        return LogLinearBaseline(float(x[0]), float(x[1]), self.origin)

    def _scaled(self, s: float) -> LogLinearBaseline:
        return LogLinearBaseline(self.mu / s, self.trend / s, self.origin * s)

    def values_at(self, t: Any) -> FloatArray:
        u = float_array(t, "t") - self.origin
        return np.asarray(self.mu * np.exp(self.trend * u), dtype=np.float64)

    def _primitive(self, u: FloatArray) -> FloatArray:
        """∫_0^u exp(trend·v) dv (expm1 keeps small trends exact)."""
        b = self.trend
        if b == 0.0:
            return u
        return np.asarray(np.expm1(b * u) / b, dtype=np.float64)

    def cumulative(self, t: FloatArray, start: float) -> FloatArray:
        u = np.asarray(t, dtype=np.float64) - self.origin
        a = start - self.origin
        return np.asarray(self.mu * (self._primitive(u) - self._primitive(np.array([a]))[0]))

    def _moment(self, u: float) -> float:
        """∫_0^u v·exp(trend·v) dv."""
        b = self.trend
        if abs(b * u) < 1e-4:
            return u * u / 2 + b * u**3 / 3 + b * b * u**4 / 8
        return ((u * b - 1.0) * math.exp(b * u) + 1.0) / (b * b)

    def integral_grad(self, start: float, end: float) -> FloatArray:
        a, b = start - self.origin, end - self.origin
        primitive = self._primitive(np.array([a, b]))
        return np.array(
            [primitive[1] - primitive[0], self.mu * (self._moment(b) - self._moment(a))]
        )

    def event_grad(self, t: FloatArray, weights: FloatArray) -> FloatArray:
        u = t - self.origin
        e = np.exp(self.trend * u)
        return np.array([float(weights @ e), self.mu * float(weights @ (u * e))])

    def maximum(self, start: float, end: float) -> float:
        return float(np.max(self.values_at(np.array([start, end]))))

    def _default_bounds(self, stats: DataStats) -> list[tuple[float | None, float | None]]:
        limit = 50.0 / stats.duration
        return [(1e-10 * stats.rate, None), (-limit, limit)]

    def _start(self, rate: float) -> FloatArray:
        return np.array([rate, 0.0])


# -- models with a time-varying baseline -----------------------------------------------------------


def _absolute(data: Prepared, index: int) -> FloatArray:
    return np.asarray(data.times[index] + data.starts[index], dtype=np.float64)


@dataclass(frozen=True, eq=False, repr=False)
class WithBaseline(Model):
    """A Hawkes model whose constant baseline μ is replaced by a time-varying one, μ(t).

    Parameters
    ----------
    model : Model
        The kernel family and its parameters (its own ``mu`` is replaced by 0: the baseline
        takes its place).
    baseline : Baseline or sequence of Baseline
        One baseline, or one per dimension for a multivariate model.

    Notes
    -----
    The flat parameter vector holds the baseline's parameters first (per dimension in turn),
    then the model's other parameters.
    """

    model: Any = None
    baseline: Any = None

    family: ClassVar[str] = "time-varying baseline"

    def __post_init__(self) -> None:
        if not isinstance(self.model, Model) or isinstance(self.model, WithBaseline):
            raise TypeError(
                f"model must be a vostrel model such as Exponential(); got {type(self.model).__name__}"
            )
        m = self.model.n_dims
        baselines = self.baseline if isinstance(self.baseline, (list, tuple)) else [self.baseline]
        if m > 1 and len(baselines) == 1:
            raise ValueError(
                f"baseline: the model has {m} dimensions; give one baseline per dimension"
            )
        if len(baselines) != m:
            raise ValueError(f"baseline: {len(baselines)} given for {m} dimension(s)")
        for i, b in enumerate(baselines):
            if not isinstance(b, Baseline):
                raise TypeError(
                    f"baseline{'' if m == 1 else f'[{i}]'} must be a Baseline such as "
                    f"PeriodicBaseline(24.0, n_bins=24); got {type(b).__name__}"
                )
        zero_mu = 0.0 if m == 1 else np.zeros(m)
        model = self.model
        if np.any(np.asarray(getattr(model, "mu")) != 0.0):
            model = _replace_mu(model, zero_mu)
        set_field(self, "model", model)
        set_field(self, "baseline", baselines[0] if m == 1 else tuple(baselines))

    # -- structure ------------------------------------------------------------------------------

    @property
    def baselines(self) -> tuple[Baseline, ...]:
        """The baseline of each dimension."""
        return (self.baseline,) if self.model.n_dims == 1 else tuple(self.baseline)

    @property
    def kernel_model(self) -> Model:
        """The kernel family (with μ = 0)."""
        return self.model  # type: ignore[no-any-return]

    @property
    def n_dims(self) -> int:
        return int(self.model.n_dims)

    def _mu_indices(self) -> list[int]:
        return [i for i, p in enumerate(self.model.param_info()) if p.group == "mu"]

    def _kernel_indices(self) -> list[int]:
        return [i for i, p in enumerate(self.model.param_info()) if p.group != "mu"]

    def _n_baseline(self) -> int:
        return sum(len(b.param_info()) for b in self.baselines)

    def param_info(self) -> tuple[ParamInfo, ...]:
        m = self.n_dims
        info: list[ParamInfo] = []
        for d, b in enumerate(self.baselines):
            info.extend(b.param_info(None if m == 1 else d))
        kernel = self.model.param_info()
        return tuple(info) + tuple(kernel[i] for i in self._kernel_indices())

    def to_vector(self) -> FloatArray:
        kernel = self.model.to_vector()[self._kernel_indices()]
        return np.concatenate([b.to_vector() for b in self.baselines] + [kernel])

    def _split(self, x: FloatArray) -> tuple[list[FloatArray], FloatArray]:
        parts, offset = [], 0
        for b in self.baselines:
            size = len(b.param_info())
            parts.append(x[offset : offset + size])
            offset += size
        return parts, x[offset:]

    def _kernel_full(self, kernel_x: FloatArray) -> FloatArray:
        full = np.zeros(len(self.model.param_info()))
        full[self._kernel_indices()] = kernel_x
        return full

    def with_vector(self, vector: Any) -> Self:
        x = float_array(vector, "vector")
        expected = len(self.param_info())
        if x.shape[0] != expected:
            raise ValueError(
                f"vector must have {expected} entries for WithBaseline; got {x.shape[0]}"
            )
        parts, kernel_x = self._split(x)
        baselines = [b.with_vector(p) for b, p in zip(self.baselines, parts)]
        model = self.model.with_vector(self._kernel_full(kernel_x))
        return type(self)(model, baselines[0] if self.n_dims == 1 else tuple(baselines))

    def _scaled(self, s: float) -> Self:
        baselines = [b._scaled(s) for b in self.baselines]
        return type(self)(
            self.model._scaled(s), baselines[0] if self.n_dims == 1 else tuple(baselines)
        )

    def _unscale_jacobian(self, x_scaled: FloatArray, s: float) -> FloatArray:
        parts, kernel_x = self._split(x_scaled)
        n = x_scaled.shape[0]
        out = np.zeros((n, n))
        nb = self._n_baseline()
        powers = np.array([p.time_power for p in self.param_info()[:nb]], dtype=np.float64)
        out[:nb, :nb] = np.diag(np.power(s, -powers))
        keep = self._kernel_indices()
        kernel_j = self.model._unscale_jacobian(self._kernel_full(kernel_x), s)
        out[nb:, nb:] = kernel_j[np.ix_(keep, keep)]
        return out

    def _rescalable(self) -> bool:
        return bool(self.model._rescalable())

    def _boxes_survive_rescaling(self, bounded: set[int]) -> bool:
        nb, keep = self._n_baseline(), self._kernel_indices()
        return bool(self.model._boxes_survive_rescaling({keep[i - nb] for i in bounded if i >= nb}))

    @property
    def branching_ratio(self) -> float:
        return float(self.model.branching_ratio)

    def _branching_ratio_for(self, events: Events) -> float:
        return float(self.model._branching_ratio_for(events))

    # -- likelihood ---------------------------------------------------------------------------

    def check_events(self, events: Events, argument: str = "events") -> None:
        self.model.check_events(events, argument)

    def _piece(
        self, data: Prepared, index: int, x: FloatArray, mode: str
    ) -> tuple[float, FloatArray]:
        value, gradient, _ = self._evaluate(data, index, x)
        return value, gradient

    def _periodic_bins(self, data: Prepared, index: int) -> tuple[IntArray, FloatArray]:
        """The bin of each event of realisation `index` and the time its window spends in each
        bin (one-dimensional periodic baseline): they depend on the structure only, so they
        are found once per fit."""
        structure = self.baseline
        key = (
            "periodic bins",
            index,
            structure.period,
            structure.origin,
            structure.edges.tobytes(),
        )
        cached = data.cache.get(key)
        if cached is None:
            start, horizon = data.starts[index], data.horizons[index]
            cached = (
                structure._bins_after(data.times[index], start),
                structure.exposure(start, start + horizon),
            )
            data.cache[key] = cached
        return cached

    def _evaluate(
        self, data: Prepared, index: int, x: FloatArray
    ) -> tuple[float, FloatArray, FloatArray | None]:
        """One realisation's value and raw gradient, with each event's 1/λ(t_i) where the
        native call gives them (None for the exponential kernel with a periodic baseline)."""
        from . import _libvostrel_ext as ext
        from .models.multivariate import MultivariateExponential
        from .models.univariate import (
            ApproxPowerLaw,
            Exponential,
            Nonparametric,
            PowerLaw,
            SumExponential,
        )

        kind = type(self.model)
        if kind is MultivariateExponential:
            return self._piece_multivariate(data, index, x)
        if kind not in (Exponential, SumExponential, ApproxPowerLaw, PowerLaw, Nonparametric):
            raise NotImplementedError(
                f"fitting a time-varying baseline is not available for {kind.__name__}"
            )
        parts, kernel_x = self._split(x)
        times, horizon, start = data.times[index], data.horizons[index], data.starts[index]
        periodic = isinstance(self.baseline, PeriodicBaseline)
        if periodic:
            bins, exposure = self._periodic_bins(data, index)
            values = np.ascontiguousarray(parts[0])
            if kind is Exponential:
                value, gradient = ext.uni_exp_binned_neg_ll_with_grad(
                    times, horizon, bins, exposure, values, float(kernel_x[0]), float(kernel_x[1])
                )
                return value, gradient, None
            base = values[bins]
            integral = float(values @ exposure)
        else:
            baseline = self.baseline.with_vector(parts[0])
            absolute = _absolute(data, index)
            base = baseline.values_at(absolute)
            integral = baseline.integral(start, start + horizon)

        def baseline_grad(weights: FloatArray) -> FloatArray:
            if periodic:
                return np.asarray(
                    exposure - np.bincount(bins, weights=weights, minlength=values.shape[0]),
                    dtype=np.float64,
                )
            return np.asarray(
                baseline.integral_grad(start, start + horizon)
                - baseline.event_grad(absolute, weights),
                dtype=np.float64,
            )

        if kind is Exponential:
            value, g_kernel, weights = ext.uni_exp_varying_neg_ll_with_grad(
                times, horizon, base, integral, float(kernel_x[0]), float(kernel_x[1])
            )
            return value, np.concatenate([baseline_grad(weights), g_kernel]), weights
        if kind is PowerLaw:
            value, g_kernel, weights = ext.uni_powerlaw_varying_neg_ll_with_grad(
                times, horizon, base, integral, *(float(v) for v in kernel_x)
            )
            return value, np.concatenate([baseline_grad(weights), g_kernel]), weights
        if kind is Nonparametric:
            value, g_kernel, weights = ext.uni_nonparametric_varying_neg_ll_with_grad(
                times, horizon, base, integral, self.model.edges, np.ascontiguousarray(kernel_x)
            )
            return value, np.concatenate([baseline_grad(weights), g_kernel]), weights
        kernel = self.model.with_vector(self._kernel_full(kernel_x))
        decays, amplitudes = kernel._components()
        value, g_w, g_b, weights = ext.uni_sumexp_varying_neg_ll_with_grad(
            times,
            horizon,
            base,
            integral,
            np.ascontiguousarray(amplitudes),
            np.ascontiguousarray(decays),
        )
        if kind is SumExponential:
            g_kernel = np.concatenate([g_w, g_b])
        else:
            # w_k = α·u_k/Σu with u_k = β_k^(p−1), β_k = beta_min·r^k: the chain rule.
            alpha, beta_min = float(kernel_x[0]), float(kernel_x[2])
            logs = np.log(decays)
            shares = amplitudes / alpha if alpha > 0 else decays ** (kernel_x[1] - 1.0)
            shares = shares / shares.sum()
            g_kernel = np.array(
                [
                    float(g_w @ shares),
                    float(g_w @ (amplitudes * (logs - shares @ logs))),
                    float(g_b @ decays) / beta_min,
                ]
            )
        return value, np.concatenate([baseline_grad(weights), g_kernel]), weights

    def _piece_multivariate(
        self, data: Prepared, index: int, x: FloatArray
    ) -> tuple[float, FloatArray, FloatArray]:
        from . import _libvostrel_ext as ext

        parts, kernel_x = self._split(x)
        kernel = self.model.with_vector(self._kernel_full(kernel_x))
        times, horizon, start = data.times[index], data.horizons[index], data.starts[index]
        dims = data.dims[index]
        if dims is None:
            dims = np.zeros(times.shape[0], dtype=np.int64)
        masks = self._dimension_masks(data, index)
        absolute = _absolute(data, index)
        baselines = [b.with_vector(p) for b, p in zip(self.baselines, parts)]
        base = np.empty(times.shape[0])
        integral = 0.0
        for b, where in zip(baselines, masks):
            base[where] = b.values_at(absolute[where])
            integral += b.integral(start, start + horizon)
        value, g_alpha, g_beta, weights = ext.mv_exp_varying_neg_ll_with_grad(
            times,
            np.ascontiguousarray(dims, dtype=np.int64),
            horizon,
            base,
            integral,
            np.ascontiguousarray(kernel.alpha.ravel()),
            np.ascontiguousarray(kernel._beta_matrix().ravel()),
        )
        g_base = [
            b.integral_grad(start, start + horizon) - b.event_grad(absolute[where], weights[where])
            for b, where in zip(baselines, masks)
        ]
        if kernel.decay == "shared":
            g_decay = [np.array([g_beta.sum()])]
        elif kernel.decay == "per_cell":
            g_decay = [g_beta]
        else:
            g_decay = []
        return value, np.concatenate(g_base + [g_alpha] + g_decay), weights

    def _dimension_masks(self, data: Prepared, index: int) -> list[IntArray]:
        """The events of each dimension of realisation `index`, found once per fit."""
        key = ("dimension masks", index)
        masks = data.cache.get(key)
        if masks is None:
            dims = data.dims[index]
            if dims is None:
                dims = np.zeros(data.times[index].shape[0], dtype=np.int64)
            masks = data.cache[key] = [np.flatnonzero(dims == d) for d in range(self.n_dims)]
        return masks

    def _hessian_block(
        self, data: Prepared, x: FloatArray, mode: str = "default"
    ) -> tuple[IntArray, FloatArray] | None:
        """The block of the Hessian of the negative log-likelihood at `x` that is known in
        closed form, for the fit's observed information.

        λ(t) and the compensator are linear in a periodic baseline's bin rate μ_j, and λ(t_i)
        involves only the rate of t_i's own bin (and dimension), so ∂²/∂μ_j∂μ_k = δ_jk
        Σ_{events i in bin j} 1/λ(t_i)²: one pass over the events instead of two gradient
        calls per bin. With the exponential kernel (one dimension) the whole Hessian comes
        from one native pass. Elsewhere the fit takes the other columns (kernel, log-linear
        baselines) by finite differences, and their cross terms with the bins by symmetry.

        Parameters
        ----------
        data : Prepared
            The events, as the fit's likelihood takes them.
        x : ndarray
            The parameters (internal units).
        mode : str, default "default"
            The likelihood's mode (unused: every mode has the same Hessian).

        Returns
        -------
        (ndarray of int, ndarray) or None
            The indices in `x` of the parameters of the block, and the block; None when no
            baseline is periodic.
        """
        from . import _libvostrel_ext as ext
        from .models.univariate import Exponential

        spans, offset = [], 0
        for d, b in enumerate(self.baselines):
            size = len(b.param_info())
            if isinstance(b, PeriodicBaseline):
                spans.append((d, offset, size))
            offset += size
        if not spans:
            return None
        parts, kernel_x = self._split(x)
        if self.n_dims == 1 and type(self.model) is Exponential:
            p = x.shape[0]
            hessian = np.zeros((p, p))
            for index in range(len(data.times)):  # realisations in order
                bins, _ = self._periodic_bins(data, index)
                hessian += ext.uni_exp_binned_neg_ll_hessian(
                    data.times[index],
                    data.horizons[index],
                    bins,
                    np.ascontiguousarray(parts[0]),
                    float(kernel_x[0]),
                    float(kernel_x[1]),
                ).reshape(p, p)
            return np.arange(p, dtype=np.int64), hessian
        indices = np.concatenate([np.arange(o, o + k) for _, o, k in spans])
        diagonal = np.zeros(indices.shape[0])
        for index in range(len(data.times)):
            _, _, weights = self._evaluate(data, index, x)
            assert weights is not None
            masks = self._dimension_masks(data, index)
            absolute = _absolute(data, index)
            at = 0
            for d, _, size in spans:
                where = masks[d]
                bins = self.baselines[d].bins(absolute[where])  # type: ignore[attr-defined]
                inverse = weights[where]
                diagonal[at : at + size] += np.bincount(
                    bins, weights=inverse * inverse, minlength=size
                )
                at += size
        return indices.astype(np.int64), np.diag(diagonal)

    # -- intensity and compensator ------------------------------------------------------------

    def _history(self, r: Realization) -> Any:
        return self.model._history(r)

    def _intensity_at(self, r: Realization, history: Any, t: FloatArray) -> FloatArray:
        out = np.array(self.model._intensity_at(r, history, t), dtype=np.float64)
        for d, b in enumerate(self.baselines):
            out[:, d] += b.values_at(t)
        return out

    def _compensator_increments(self, r: Realization, history: Any) -> FloatArray:
        out = np.array(self.model._compensator_increments(r, history), dtype=np.float64)
        ends = np.append(r.times, r.end_time)
        for d, b in enumerate(self.baselines):
            out[:, d] += np.diff(b.cumulative(ends, r.start_time), prepend=0.0)
        return out

    # -- the kernel -----------------------------------------------------------------------------

    def kernel(self, lags: Any) -> FloatArray:
        return np.asarray(self.model.kernel(lags), dtype=np.float64)

    def kernel_support(self) -> float:
        return float(self.model.kernel_support())

    # -- fitting hooks --------------------------------------------------------------------------

    def _default_bounds(self, stats: DataStats) -> list[tuple[float | None, float | None]]:
        kernel = self.model._default_bounds(stats)
        per_dim = DataStats(
            stats.n_events,
            stats.duration,
            stats.max_window,
            stats.min_gap,
            stats.median_gap,
            stats.rate / self.n_dims,
            stats.max_lag,
        )
        out: list[tuple[float | None, float | None]] = []
        for b in self.baselines:
            out += b._default_bounds(per_dim)
        return out + [kernel[i] for i in self._kernel_indices()]

    def _start(self, stats: DataStats, rng: np.random.Generator | None) -> FloatArray:
        full = self.model._start(stats, rng)
        rates = full[self._mu_indices()]
        parts = [b._start(float(rate)) for b, rate in zip(self.baselines, rates)]
        return np.concatenate(parts + [full[self._kernel_indices()]])

    def _notes(self, x: FloatArray, se: FloatArray, stats: DataStats) -> list[str]:
        _, kernel_x = self._split(x)
        _, kernel_se = self._split(se)
        notes = list(
            self.model._notes(self._kernel_full(kernel_x), self._kernel_full(kernel_se), stats)
        )
        return notes + [
            "the baseline is time-varying: mu is its value in each bin (or at its origin), "
            "not a constant rate"
        ]

    def _amplitude_pairs(self) -> list[tuple[list[int], int]]:
        nb = self._n_baseline()
        where = {k: nb + j for j, k in enumerate(self._kernel_indices())}
        return [
            ([where[a] for a in amplitudes], where[decay])
            for amplitudes, decay in self.model._amplitude_pairs()
        ]

    def _canonical(self, x: FloatArray) -> FloatArray:
        _, kernel_x = self._split(x)
        keep = self._kernel_indices()
        perm_kernel = self.model._canonical(self._kernel_full(kernel_x))[np.ix_(keep, keep)]
        nb = self._n_baseline()
        out = np.eye(x.shape[0])
        out[nb:, nb:] = perm_kernel
        return out

    # -- simulation -----------------------------------------------------------------------------

    def _sample_immigrants(
        self, rng: np.random.Generator, start: float, end: float
    ) -> tuple[FloatArray, IntArray]:
        times = [b.sample(rng, start, end) for b in self.baselines]
        dims = [np.full(t.shape[0], d, dtype=np.int64) for d, t in enumerate(times)]
        return np.concatenate(times), np.concatenate(dims)

    def _offspring(self) -> Any:
        return self.model._offspring()

    def _simulate_realization(self, end: float, start: float, seed: int, index: int) -> Realization:
        from .models import _simulate

        if getattr(self.model, "_offspring", None) is None or self.model.needs_marks:
            raise NotImplementedError(f"{type(self.model).__name__} has no simulator")
        rng = _simulate.generator(seed, index)
        offspring = self.model._offspring()
        immigrants, immigrant_dims = self._sample_immigrants(rng, start, end)
        merged, merged_d = _simulate.descendants(rng, immigrants, immigrant_dims, end, offspring)
        times = np.minimum(merged, end)
        return Realization(
            freeze(np.ascontiguousarray(times)),
            end,
            start,
            None if self.n_dims == 1 else freeze(np.ascontiguousarray(merged_d.astype(np.int64))),
        )


def _replace_mu(model: Model, mu: Any) -> Model:
    """The same model with its baseline parameter group "mu" set to `mu`."""
    from dataclasses import replace

    return replace(model, mu=mu)  # type: ignore[type-var]


# -- plots ------------------------------------------------------------------------------------------


def baseline_plot(
    result: Any,
    *,
    dim: int = 0,
    ax: Any = None,
    level: float = 0.95,
    start: float | None = None,
    end: float | None = None,
) -> Any:
    """The fitted baseline μ(t) with pointwise intervals.

    For a periodic baseline, one period from its origin, each bin's value with its interval (as
    :meth:`FitResult.conf_int` gives it: log-Wald, or profile where the result carries profile
    intervals; the legend names the kind); for a log-linear one, μ(t) over [start, end] with
    the Wald interval of log μ(t) by the delta method (a log-Wald band).

    Parameters
    ----------
    result : FitResult
        A fit of a :class:`WithBaseline` model.
    dim : int, default 0
    ax : matplotlib Axes, optional
    level : float, default 0.95
    start, end : float, optional
        The time range of a log-linear baseline (default: its origin and one unit of 100).

    Returns
    -------
    matplotlib Axes
    """
    from scipy import stats

    from ._plotbase import axes as _axes

    model = result.model
    if not isinstance(model, WithBaseline):
        raise TypeError("result must be a fit of a WithBaseline model")
    d = as_int(dim, "dim", minimum=0)
    if d >= model.n_dims:
        raise ValueError(f"dim = {d} is not in [0, {model.n_dims})")
    baseline = model.baselines[d]
    offset = sum(len(b.param_info()) for b in model.baselines[:d])
    size = len(baseline.param_info())
    rows = slice(offset, offset + size)
    ax = _axes(ax)
    if isinstance(baseline, PeriodicBaseline):
        # The intervals conf_int gives, labelled by their kind (log-Wald for positive rates,
        # profile where the result carries profile intervals).
        intervals, kinds = result._intervals(level, "auto", None)
        intervals = intervals[rows]
        kind = "/".join(dict.fromkeys(k for k in kinds[rows] if k)) or "no"
        centres = 0.5 * (baseline.edges[:-1] + baseline.edges[1:]) + baseline.origin
        ax.stairs(baseline.values, baseline.edges + baseline.origin, color="C0", label="fitted μ")
        lower = np.where(np.isfinite(intervals[:, 0]), intervals[:, 0], baseline.values)
        upper = np.where(np.isfinite(intervals[:, 1]), intervals[:, 1], baseline.values)
        ax.errorbar(
            centres,
            baseline.values,
            yerr=[baseline.values - lower, upper - baseline.values],
            fmt="none",
            color="C0",
            alpha=0.6,
            label=f"{_percent(level)} {kind} interval",
        )
        ax.set_xlabel("phase")
    else:
        assert isinstance(baseline, LogLinearBaseline)
        lo = baseline.origin if start is None else finite_scalar(start, "start")
        hi = lo + 100.0 if end is None else finite_scalar(end, "end")
        t = np.linspace(lo, hi, 200)
        values = baseline.values_at(t)
        cov = result.covariance[rows, rows]
        u = t - baseline.origin
        # log μ(t) = log mu + trend·u: its variance from the covariance of (mu, trend).
        g = np.stack([np.full_like(u, 1.0 / baseline.mu), u], axis=1)
        sd = np.sqrt(np.einsum("ij,jk,ik->i", g, np.nan_to_num(cov), g))
        z = float(stats.norm.ppf(0.5 + level / 2))
        ax.plot(t, values, color="C0", label="fitted μ(t)")
        ax.fill_between(
            t,
            values * np.exp(-z * sd),
            values * np.exp(z * sd),
            color="C0",
            alpha=0.25,
            label=f"{_percent(level)} log-Wald band",
        )
        ax.set_xlabel("time")
    ax.set_ylabel("baseline rate")
    ax.legend()
    return ax


def _percent(level: float) -> str:
    """A level as a percentage with the digits it has: 0.95 → "95%", 0.975 → "97.5%"."""
    return f"{100 * level:.10g}%"
