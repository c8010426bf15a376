"""One-dimensional linear Hawkes models: exponential, sum of exponentials, marked exponential,
exact and approximate power law, and nonparametric (piecewise-constant) kernels.

Each is a frozen dataclass of its parameters. The likelihoods are the native module's; the
intensity and compensator are computed here in vectorised NumPy.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from typing import Any, ClassVar

import numpy as np

from .. import _libvostrel  # noqa: F401  (loads the extension and its submodules)
from .._checks import FloatArray, as_int, float_array, fmt
from .._libvostrel import likelihood as native
from .._libvostrel import simulation as native_simulation
from ..events import Events, Realization
from . import _expsum, _simulate
from ._base import DataStats, Model, Prepared, previous_index
from ._params import (
    amplitude,
    branching,
    check_scalar,
    clip_start,
    decay,
    decay_bounds,
    exponent,
    height,
    lag,
    param_vector,
    rate,
    set_field,
)

__all__ = [
    "Exponential",
    "SumExponential",
    "MarkedExponential",
    "PowerLaw",
    "ApproxPowerLaw",
    "Nonparametric",
]

_INF = math.inf


def _power(base: float, exponent: float) -> float:
    """base**exponent for base > 0, +inf where it overflows (Python raises OverflowError)."""
    try:
        return float(base**exponent)
    except OverflowError:
        return math.inf


def _clip_rate(value: float, stats: DataStats) -> float:
    return clip_start(value, decay_bounds(stats))


class _ExpSumModel(Model):
    """A one-dimensional model whose kernel is Σ_k w_k·β_k·exp(−β_k·t)."""

    mu: float

    def _components(self) -> tuple[FloatArray, FloatArray]:
        """(decays β_k, weights w_k)."""
        raise NotImplementedError

    def _jumps(self, r: Realization) -> FloatArray:
        return np.ones((r.n_events, 1))

    def _history(self, r: Realization) -> Any:
        decays, _ = self._components()
        return _expsum.states(r.times, r.start_time, decays, self._jumps(r))

    def _intensity_at(self, r: Realization, history: Any, t: FloatArray) -> FloatArray:
        decays, weights = self._components()
        return _expsum.intensity(r.times, history, self.mu, decays, weights, t)[:, None]

    def _compensator_increments(self, r: Realization, history: Any) -> FloatArray:
        decays, weights = self._components()
        return _expsum.increments(
            r.times, r.start_time, r.end_time, history, self.mu, decays, weights
        )[:, None]

    def kernel(self, lags: Any) -> FloatArray:
        t = float_array(lags, "lags")
        decays, weights = self._components()
        values = np.exp(-np.maximum(t, 0.0)[:, None] * decays[None, :]) @ (weights * decays)
        return np.where(t >= 0, values, 0.0)

    def kernel_support(self) -> float:
        decays, _ = self._components()
        return float(5.0 / np.min(decays))


@dataclass(frozen=True, eq=False, repr=False)
class Exponential(_ExpSumModel):
    """Univariate Hawkes process with the exponential kernel φ(t) = α·β·exp(−β·t).

    Parameters
    ----------
    mu : float
        Baseline rate μ ≥ 0.
    alpha : float
        Branching ratio α ≥ 0 (the kernel's integral).
    beta : float
        Decay rate β > 0.

    Examples
    --------
    >>> from vostrel import Exponential
    >>> model = Exponential(mu=0.5, alpha=0.6, beta=2.0)
    >>> events = model.simulate(1000.0, seed=1)
    """

    mu: float = rate(1.0)
    alpha: float = branching(0.5)
    beta: float = decay(1.0)

    family: ClassVar[str] = "exponential"

    @property
    def branching_ratio(self) -> float:
        return self.alpha

    def _components(self) -> tuple[FloatArray, FloatArray]:
        return np.array([self.beta]), np.array([self.alpha])

    def _piece(
        self, data: Prepared, index: int, x: FloatArray, mode: str
    ) -> tuple[float, FloatArray]:
        mu, alpha, beta = (float(v) for v in x)
        value, g = native.uni_exp_neg_ll_with_grad(
            data.times[index], data.horizons[index], mu, alpha, beta
        )
        return value, g

    def _neg_ll(self, data: Prepared, x: FloatArray) -> float:
        mu, alpha, beta = (float(v) for v in x)
        total = 0.0
        for times, horizon in zip(data.times, data.horizons):
            total += native.uni_exp_neg_ll(times, horizon, mu, alpha, beta)
        return total

    def _amplitude_pairs(self) -> list[tuple[list[int], int]]:
        return [([1], 2)]

    def _notes(self, x: FloatArray, se: FloatArray, stats: DataStats) -> list[str]:
        return _weak_excitation_note(x[1], se[1], "alpha", "beta")

    def _offspring(self) -> _simulate.Offspring:
        # Children of an event: Poisson(α) of them, each after an Exp(β) delay (for forecasts;
        # simulate() uses the native simulator).
        return _simulate.univariate_offspring(
            self.alpha, _simulate.mixture_of_exponentials(np.ones(1), np.array([self.beta]))
        )

    def _simulate_realization(self, end: float, start: float, seed: int, index: int) -> Realization:
        # The native branching simulator; it needs μ > 0 and α > 0.
        horizon = end - start
        if self.mu == 0.0:
            times = np.empty(0)
        elif self.alpha == 0.0:
            rng = _simulate.generator(seed, index)
            times = np.sort(rng.random(rng.poisson(self.mu * horizon)) * horizon)
        else:
            times = native_simulation.simulate_uni_exp_branching(
                horizon, self.mu, self.alpha, self.beta, _simulate.native_seed(seed, index)
            )
        return _simulate.realization(times, None, start, end, 1)


@dataclass(frozen=True, eq=False, repr=False)
class MarkedExponential(Exponential):
    """Univariate exponential Hawkes process in which each event's excitation is scaled by its
    mark: φ_j(t) = α·g_j·β·exp(−β·t), with g_j the mark carried by the data (`Events` built with
    `marks=`). Marks are data, not parameters; transform them before building the events if the
    multiplier should be a function of the raw mark.

    Parameters
    ----------
    mu, alpha, beta : float
        As in :class:`Exponential`; α is the branching ratio of an event with mark 1.
    """

    family: ClassVar[str] = "marked exponential"
    needs_marks: ClassVar[bool] = True

    def _jumps(self, r: Realization) -> FloatArray:
        assert r.marks is not None
        return r.marks[:, None]

    def _branching_ratio_for(self, events: Events) -> float:
        marks = np.concatenate([r.marks for r in events if r.marks is not None])
        return self.alpha * float(marks.mean()) if marks.size else self.alpha

    def _piece(
        self, data: Prepared, index: int, x: FloatArray, mode: str
    ) -> tuple[float, FloatArray]:
        mu, alpha, beta = (float(v) for v in x)
        marks = data.marks[index]
        if marks is None:
            raise ValueError("the marked model needs marks on every realisation")
        value, g = native.marked_uni_exp_neg_ll_with_grad(
            data.times[index], marks, data.horizons[index], mu, alpha, beta
        )
        return value, g

    def _neg_ll(self, data: Prepared, x: FloatArray) -> float:
        mu, alpha, beta = (float(v) for v in x)
        total = 0.0
        for times, marks, horizon in zip(data.times, data.marks, data.horizons):
            if marks is None:
                raise ValueError("the marked model needs marks on every realisation")
            total += native.marked_uni_exp_neg_ll(times, marks, horizon, mu, alpha, beta)
        return total

    def _simulate_realization(self, end: float, start: float, seed: int, index: int) -> Realization:
        raise NotImplementedError(
            "MarkedExponential cannot simulate: it does not model the distribution of the marks"
        )


@dataclass(frozen=True, eq=False, repr=False)
class SumExponential(_ExpSumModel):
    """Univariate Hawkes process with a sum of K exponential kernels,
    φ(t) = Σ_k α_k·β_k·exp(−β_k·t).

    Parameters
    ----------
    mu : float
        Baseline rate μ ≥ 0.
    alphas : array_like, shape (K,)
        Branching ratio of each component (≥ 0).
    betas : array_like, shape (K,)
        Decay rate of each component (> 0). Fits sort the components by decay, since their
        labels are interchangeable.
    """

    mu: float = rate(1.0)
    alphas: Any = branching((0.3, 0.2), shape=("K",))
    betas: Any = decay((0.5, 5.0), shape=("K",))

    family: ClassVar[str] = "sum of exponentials"

    @property
    def n_components(self) -> int:
        """Number of exponential components K."""
        return int(self.alphas.shape[0])

    @property
    def branching_ratio(self) -> float:
        return float(self.alphas.sum())

    def _components(self) -> tuple[FloatArray, FloatArray]:
        return self.betas, self.alphas

    def _piece(
        self, data: Prepared, index: int, x: FloatArray, mode: str
    ) -> tuple[float, FloatArray]:
        k = self.n_components
        mu, alphas, betas = (
            float(x[0]),
            np.ascontiguousarray(x[1 : 1 + k]),
            np.ascontiguousarray(x[1 + k :]),
        )
        value, g_mu, g_alphas, g_betas = native.uni_sumexp_neg_ll_with_grad(
            data.times[index], data.horizons[index], mu, alphas, betas
        )
        return value, np.concatenate([[g_mu], g_alphas, g_betas])

    def _start(self, stats: DataStats, rng: np.random.Generator | None) -> FloatArray:
        k = self.n_components
        total = 0.5 if rng is None else float(rng.uniform(0.05, 0.9))
        alphas = np.full(k, total / k)
        # The data's time scales: from well inside a cluster (a tenth of the typical gap) to
        # well beyond the gaps between clusters (ten times the mean gap). The moment start puts
        # the decays evenly (on the log scale) inside that range, a random start anywhere in it.
        fast, slow = 10.0 / stats.median_gap, 0.1 * stats.rate
        fast, slow = max(fast, slow), min(fast, slow)
        if rng is None:
            betas = (
                np.geomspace(fast / 3.0, slow * 3.0, k)
                if k > 1
                else np.array([1.0 / stats.median_gap])
            )
        else:
            betas = np.sort(np.exp(rng.uniform(math.log(slow), math.log(fast), k)))[::-1]
        betas = np.array([_clip_rate(float(b), stats) for b in betas])
        return np.concatenate([[stats.rate * (1.0 - total)], alphas, betas])

    def _amplitude_pairs(self) -> list[tuple[list[int], int]]:
        k = self.n_components
        return [([1 + i], 1 + k + i) for i in range(k)]

    def _canonical(self, x: FloatArray) -> FloatArray:
        k = self.n_components
        order = np.argsort(x[1 + k :], kind="stable")
        index = np.concatenate([[0], 1 + order, 1 + k + order])
        return np.asarray(np.eye(x.shape[0])[index], dtype=np.float64)

    def _notes(self, x: FloatArray, se: FloatArray, stats: DataStats) -> list[str]:
        notes = ["components are ordered by decay (their labels are interchangeable)"]
        k = self.n_components
        for i in range(k):
            notes += _weak_excitation_note(x[1 + i], se[1 + i], f"alphas[{i}]", f"betas[{i}]")
        return notes

    def _offspring(self) -> _simulate.Offspring:
        # A mixture of exponential delays.
        total = self.branching_ratio
        weights = self.alphas / total if total > 0 else np.ones(self.n_components)
        return _simulate.univariate_offspring(
            total, _simulate.mixture_of_exponentials(weights, self.betas)
        )

    def _simulate_realization(self, end: float, start: float, seed: int, index: int) -> Realization:
        # The cluster construction.
        return _cluster_realization(self.mu, self._offspring(), end, start, seed, index)


@dataclass(frozen=True, eq=False, repr=False)
class ApproxPowerLaw(_ExpSumModel):
    """Univariate Hawkes process whose kernel approximates a power law by K exponentials on a
    geometric grid of decays: φ(t) = α·Σ_k w_k·β_k·exp(−β_k·t), β_k = beta_min·r^k,
    w_k ∝ β_k^(beta_pow − 1), Σ w_k = 1.

    Parameters
    ----------
    mu : float
        Baseline rate μ ≥ 0.
    alpha : float
        Branching ratio α > 0.
    beta_pow : float
        Exponent of the weight law (> 0).
    beta_min : float
        Smallest decay rate (> 0).
    r : float, default 2.0
        Ratio of consecutive decays (> 1); fixed in fits.
    n_components : int, default 10
        Number of components K; fixed in fits.
    """

    mu: float = rate(1.0)
    # The likelihood weights the components by alpha and needs it positive.
    alpha: float = branching(0.5, positive=True, bounds=(1e-8, None))
    beta_pow: float = exponent(0.5, bounds=(1e-3, 20.0))
    beta_min: float = decay(0.1)
    r: float = 2.0
    n_components: int = 10

    family: ClassVar[str] = "approximate power law"
    _log_scale_fit: ClassVar[bool] = False

    def __post_init__(self) -> None:
        self._check_params("mu")
        if self.alpha == 0:
            raise ValueError(
                "alpha must be positive for ApproxPowerLaw; got 0 (for a process without "
                "excitation use Exponential(mu, alpha=0.0))"
            )
        self._check_params("alpha", "beta_pow", "beta_min")
        check_scalar(self, "r", lower=1.0, strict=True)
        set_field(self, "n_components", as_int(self.n_components, "n_components", minimum=1))

    @property
    def branching_ratio(self) -> float:
        return self.alpha

    def _components(self) -> tuple[FloatArray, FloatArray]:
        decays = self.beta_min * self.r ** np.arange(self.n_components, dtype=np.float64)
        u = decays ** (self.beta_pow - 1.0)
        return decays, self.alpha * (u / u.sum())

    def _piece(
        self, data: Prepared, index: int, x: FloatArray, mode: str
    ) -> tuple[float, FloatArray]:
        mu, alpha, beta_pow, beta_min = (float(v) for v in x)
        value, g = native.uni_approx_powerlaw_neg_ll_with_grad(
            data.times[index],
            data.horizons[index],
            mu,
            alpha,
            beta_pow,
            beta_min,
            self.r,
            self.n_components,
        )
        return value, g

    def _start(self, stats: DataStats, rng: np.random.Generator | None) -> FloatArray:
        alpha = 0.5 if rng is None else float(rng.uniform(0.05, 0.9))
        beta_pow = 0.5 if rng is None else float(rng.uniform(0.1, 2.0))
        # Slowest decay about the window's scale, so that the grid covers the gaps.
        beta_min = (
            1.0 / stats.max_window * (1.0 if rng is None else math.exp(rng.uniform(0.0, 3.0)))
        )
        return np.array([stats.rate * (1.0 - alpha), alpha, beta_pow, _clip_rate(beta_min, stats)])

    def _amplitude_pairs(self) -> list[tuple[list[int], int]]:
        # alpha's bound is just above 0: there the decays barely matter (never exactly, so
        # they are not reported as unidentified), and fits search beta_min's time scales.
        return [([1], 3), ([1], 2)]

    def _offspring(self) -> _simulate.Offspring:
        decays, weights = self._components()
        norm = weights / weights.sum() if self.alpha > 0 else np.ones_like(weights)
        return _simulate.univariate_offspring(
            self.alpha, _simulate.mixture_of_exponentials(norm, decays)
        )

    def _simulate_realization(self, end: float, start: float, seed: int, index: int) -> Realization:
        return _cluster_realization(self.mu, self._offspring(), end, start, seed, index)


# -- kernels without a finite recursion -------------------------------------------------------------


class _PairwiseModel(Model):
    """A one-dimensional model whose intensity sums the kernel over every earlier event."""

    mu: float

    def _kernel_values(self, lags: FloatArray) -> FloatArray:
        raise NotImplementedError

    def _kernel_integral(self, lags: FloatArray) -> FloatArray:
        """∫₀^lag φ for lags ≥ 0."""
        raise NotImplementedError

    def _support(self) -> float:
        """Lag at and beyond which the kernel is zero (inf when it never is)."""
        return _INF

    def _history(self, r: Realization) -> Any:
        return None

    def _windowed_sum(
        self, times: FloatArray, at: FloatArray, f: Any, far_value: float
    ) -> FloatArray:
        """Σ over events strictly before each query time of f(lag); lags at or beyond the
        kernel's support count far_value each, without evaluating f."""
        hi = previous_index(times, at)  # last event strictly before
        support = self._support()
        if math.isinf(support):
            lo = np.zeros_like(hi)
        else:
            lo = np.searchsorted(times, at - support, side="right").astype(np.int64)
            lo = np.minimum(lo, hi + 1)
        count = hi - lo + 1
        out: FloatArray = np.asarray(
            lo * far_value if far_value else np.zeros(at.shape[0]), dtype=np.float64
        )
        for d in range(int(np.max(count, initial=0))):
            live = count > d
            j = hi[live] - d
            out[live] += f(at[live] - times[j])
        return out

    def _intensity_at(self, r: Realization, history: Any, t: FloatArray) -> FloatArray:
        return (self.mu + self._windowed_sum(r.times, t, self._kernel_values, 0.0))[:, None]

    def _compensator_increments(self, r: Realization, history: Any) -> FloatArray:
        # Λ at each event and at the window's end, then differences.
        ends = np.append(r.times, r.end_time)
        excitation = self._windowed_sum(
            r.times, ends, self._kernel_integral, self._signed_integral()
        )
        cumulative = self.mu * (ends - r.start_time) + excitation
        return np.diff(cumulative, prepend=0.0)[:, None]

    def _signed_integral(self) -> float:
        """The kernel's integral (signed)."""
        return self.branching_ratio

    def branching_ratio_raw(self) -> float:
        """Deprecated: the kernel's integral; use :attr:`branching_ratio`."""
        warnings.warn(
            "branching_ratio_raw() is deprecated: use the branching_ratio property",
            DeprecationWarning,
            stacklevel=2,
        )
        return self._signed_integral()

    def kernel(self, lags: Any) -> FloatArray:
        t = float_array(lags, "lags")
        out = np.zeros_like(t)
        live = t >= 0
        out[live] = self._kernel_values(t[live])
        return out


@dataclass(frozen=True, eq=False, repr=False)
class PowerLaw(_PairwiseModel):
    """Univariate Hawkes process with the power-law kernel φ(t) = α·(t + c)^(−(1+β)).

    The likelihood sums the kernel over all pairs of events: O(N²) time.

    Parameters
    ----------
    mu : float
        Baseline rate μ ≥ 0.
    alpha : float
        Amplitude α ≥ 0 (branching ratio α·c^(−β)/β).
    beta : float
        Tail exponent β > 0.
    c : float
        Lag offset c > 0 (a time).
    """

    mu: float = rate(1.0)
    # α's time power depends on β; _scaled and _unscale_jacobian handle it.
    alpha: float = amplitude(0.5)
    beta: float = exponent(1.0)
    c: float = lag(1.0)

    family: ClassVar[str] = "power law"
    _log_scale_fit: ClassVar[bool] = False

    @property
    def branching_ratio(self) -> float:
        # c^(−β) overflows for a tiny c and a large β: the branching ratio is then infinite.
        return float(self.alpha * _power(self.c, -self.beta) / self.beta)

    def _scaled(self, s: float) -> PowerLaw:
        # In the unit u = s·t: φ_u(u) = α·s^β·(u + s·c)^(−(1+β)).
        return PowerLaw(self.mu / s, self.alpha * s**self.beta, self.beta, self.c * s)

    def _boxes_survive_rescaling(self, bounded: set[int]) -> bool:
        # α's unit depends on β, so a box on α is not a box after rescaling.
        return 1 not in bounded

    def _unscale_jacobian(self, x_scaled: FloatArray, s: float) -> FloatArray:
        alpha_scaled, beta = float(x_scaled[1]), float(x_scaled[2])
        jacobian = np.diag([s, s ** (-beta), 1.0, 1.0 / s])
        jacobian[1, 2] = -alpha_scaled * s ** (-beta) * math.log(s)
        return jacobian

    def _kernel_values(self, lags: FloatArray) -> FloatArray:
        return np.asarray(self.alpha * (lags + self.c) ** (-(1.0 + self.beta)), dtype=np.float64)

    def _kernel_integral(self, lags: FloatArray) -> FloatArray:
        tail = (lags + self.c) ** (-self.beta)
        return np.asarray(
            (self.alpha / self.beta) * (_power(self.c, -self.beta) - tail), dtype=np.float64
        )

    def kernel_support(self) -> float:
        return 100.0 * self.c

    def _piece(
        self, data: Prepared, index: int, x: FloatArray, mode: str
    ) -> tuple[float, FloatArray]:
        mu, alpha, beta, c = (float(v) for v in x)
        value, g = native.uni_powerlaw_neg_ll_with_grad(
            data.times[index], data.horizons[index], mu, alpha, beta, c
        )
        return value, g

    def _start(self, stats: DataStats, rng: np.random.Generator | None) -> FloatArray:
        branching = 0.5 if rng is None else float(rng.uniform(0.05, 0.9))
        beta = 1.0 if rng is None else float(rng.uniform(0.3, 3.0))
        c = stats.median_gap * (1.0 if rng is None else math.exp(rng.uniform(-2.0, 2.0)))
        c = min(max(c, 2e-3 * stats.min_gap), 5.0 * stats.max_window)
        alpha = branching * beta * c**beta
        return np.array([stats.rate * (1.0 - branching), alpha, beta, c])

    def _amplitude_pairs(self) -> list[tuple[list[int], int]]:
        # With alpha = 0 neither the lag offset nor the tail exponent matters.
        return [([1], 3), ([1], 2)]

    def _notes(self, x: FloatArray, se: FloatArray, stats: DataStats) -> list[str]:
        return []

    def _offspring(self) -> _simulate.Offspring:
        beta, c = self.beta, self.c

        def delays(rng: np.random.Generator, size: int) -> FloatArray:
            # Inverse of the normalised kernel's survival function (1 + t/c)^(−β).
            return c * (rng.random(size) ** (-1.0 / beta) - 1.0)

        return _simulate.univariate_offspring(self.branching_ratio, delays)

    def _simulate_realization(self, end: float, start: float, seed: int, index: int) -> Realization:
        return _cluster_realization(self.mu, self._offspring(), end, start, seed, index)


@dataclass(frozen=True, eq=False, repr=False)
class Nonparametric(_PairwiseModel):
    """Univariate Hawkes process with a piecewise-constant kernel: φ(t) = values[m] for
    edges[m] ≤ t < edges[m+1], and 0 outside [edges[0], edges[-1]).

    Parameters
    ----------
    mu : float
        Baseline rate μ ≥ 0.
    edges : array_like, shape (K + 1,)
        Strictly increasing, non-negative bin edges (fixed in fits).
    values : array_like, shape (K,)
        Kernel value in each bin (≥ 0).
    """

    mu: float = rate(1.0)
    edges: Any = (0.0, 0.5, 1.0, 2.0, 4.0)
    values: Any = height((0.3, 0.2, 0.1, 0.025), shape=("K",))

    family: ClassVar[str] = "nonparametric"
    _log_scale_fit: ClassVar[bool] = False

    def __post_init__(self) -> None:
        self._check_params("mu")
        edges = param_vector(self.edges, "edges", None)
        if edges.ndim != 1 or edges.shape[0] < 2:
            raise ValueError(
                f"edges must be a 1-dimensional array of at least 2 entries; got shape {edges.shape}"
            )
        if edges[0] < 0:
            raise ValueError(f"edges[0] must be non-negative; got {fmt(edges[0])}")
        steps = np.diff(edges) <= 0
        if steps.any():
            i = int(np.argmax(steps)) + 1
            raise ValueError(
                f"edges must be strictly increasing: edges[{i}] = {fmt(edges[i])} <= edges[{i - 1}]"
            )
        self._check_params("values", sizes={"K": edges.shape[0] - 1})
        set_field(self, "edges", edges)

    @property
    def n_bins(self) -> int:
        """Number of bins K."""
        return int(self.values.shape[0])

    def _with_structure_scaled(self, s: float) -> Nonparametric:
        return Nonparametric(self.mu, self.edges * s, self.values)

    @property
    def branching_ratio(self) -> float:
        return float(np.abs(self.values) @ np.diff(self.edges))

    def _support(self) -> float:
        return float(self.edges[-1])

    def kernel_support(self) -> float:
        return float(self.edges[-1]) * 1.1

    def _kernel_values(self, lags: FloatArray) -> FloatArray:
        index = np.searchsorted(self.edges, lags, side="right") - 1
        inside = (index >= 0) & (index < self.n_bins)
        return np.where(inside, np.asarray(self.values)[np.clip(index, 0, self.n_bins - 1)], 0.0)

    def _kernel_integral(self, lags: FloatArray) -> FloatArray:
        cumulative = np.concatenate([[0.0], np.cumsum(self.values * np.diff(self.edges))])
        return np.asarray(
            np.interp(lags, self.edges, cumulative, left=0.0, right=cumulative[-1]),
            dtype=np.float64,
        )

    def _signed_integral(self) -> float:
        return float(self.values @ np.diff(self.edges))

    def _piece(
        self, data: Prepared, index: int, x: FloatArray, mode: str
    ) -> tuple[float, FloatArray]:
        mu, values = float(x[0]), np.ascontiguousarray(x[1:])
        value, g_mu, g_values = native.uni_nonparametric_neg_ll_with_grad(
            data.times[index], data.horizons[index], mu, self.edges, values
        )
        return value, np.concatenate([[g_mu], g_values])

    def _start(self, stats: DataStats, rng: np.random.Generator | None) -> FloatArray:
        total = 0.5 if rng is None else float(rng.uniform(0.05, 0.9))
        widths = np.diff(self.edges)
        shape = np.ones(self.n_bins) if rng is None else rng.uniform(0.2, 1.0, self.n_bins)
        values = total * shape / (shape @ widths)
        return np.concatenate([[stats.rate * (1.0 - total)], values])

    def _notes(self, x: FloatArray, se: FloatArray, stats: DataStats) -> list[str]:
        beyond = [i for i in range(self.n_bins) if self.edges[i] >= stats.max_lag]
        if beyond:
            return [
                f"bins {beyond[0]}..{beyond[-1]} start beyond the largest observed lag "
                f"({stats.max_lag:.4g}): the data carry no information about them"
            ]
        return []

    def _offspring(self) -> _simulate.Offspring:
        widths = np.diff(self.edges)
        areas = self.values * widths
        total = float(areas.sum())
        probabilities = areas / total if total > 0 else np.full(self.n_bins, 1.0 / self.n_bins)
        edges = self.edges

        def delays(rng: np.random.Generator, size: int) -> FloatArray:
            bins = rng.choice(self.n_bins, size=size, p=probabilities)
            return np.asarray(edges[bins] + rng.random(size) * widths[bins], dtype=np.float64)

        return _simulate.univariate_offspring(total, delays)

    def _simulate_realization(self, end: float, start: float, seed: int, index: int) -> Realization:
        return _cluster_realization(self.mu, self._offspring(), end, start, seed, index)


def _cluster_realization(
    mu: float, offspring: _simulate.Offspring, end: float, start: float, seed: int, index: int
) -> Realization:
    times, _ = _simulate.cluster(
        _simulate.generator(seed, index), end - start, np.array([mu]), offspring
    )
    return _simulate.realization(times, None, start, end, 1)


def _weak_excitation_note(alpha: float, se: float, name: str, decay_name: str) -> list[str]:
    if alpha < 1e-3 or (math.isfinite(se) and alpha < 2.0 * se):
        return [
            f"{name} is close to 0: the data look like a Poisson process and {decay_name} is "
            "poorly identified"
        ]
    return []
