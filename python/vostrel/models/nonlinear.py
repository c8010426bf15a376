"""Nonlinear exponential Hawkes model: the exponential excitation passes through a link function,
λ(t) = link(μ + α·β·Σ_{t_j < t} exp(−β·(t − t_j))).

The four built-in links use the native likelihood, whose compensator is a trapezoid rule on a
uniform grid of `n_quad` points per realisation. Any other link is a Python callable evaluated
through JAX (the ``jax`` extra), with the same grid and the gradient from automatic
differentiation.
"""

from __future__ import annotations

import dataclasses
import functools
import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, ClassVar, Literal, cast

import numpy as np

from .. import _libvostrel  # noqa: F401  (loads the extension and its submodules)
from .._checks import FloatArray, as_int, float_array, optional_import
from .._libvostrel import likelihood as native
from ..events import Realization
from . import _expsum
from ._base import DataStats, Model, Prepared, decay, gauss_legendre, previous_index
from ._params import (
    RATE,
    Param,
    check_scalar,
    declarations,
    decay_bounds,
    level,
    set_field,
    weight,
)
from ._params import decay as decay_rate  # `decay` is the numerical helper

__all__ = ["NonlinearExponential", "LINKS"]

#: The built-in links, which the native likelihood evaluates; any other link is a callable.
LINKS = ("softplus", "relu", "sigmoid", "identity")
NativeLink = Literal["softplus", "relu", "sigmoid", "identity"]
_NODES, _WEIGHTS = gauss_legendre(32)


@dataclass(frozen=True, eq=False, repr=False)
class NonlinearExponential(Model):
    """Univariate nonlinear Hawkes process with exponential excitation.

    Parameters
    ----------
    mu : float
        Baseline excitation μ (any sign for softplus and sigmoid links).
    alpha : float
        Excitation amplitude α (negative values inhibit).
    beta : float
        Decay rate β > 0.
    link : {"softplus", "relu", "sigmoid", "identity"} or callable
        The link. A callable must map a JAX array to a JAX array elementwise (e.g.
        ``jax.nn.softplus``) and needs the ``jax`` extra; make it a module-level function if
        the model is to be pickled.
    sigmoid_scale : float, default 1.0
        Upper bound of the sigmoid link (fixed in fits).
    n_quad : int, optional
        Grid points of the compensator's trapezoid rule per realisation; by default
        ``max(1001, 16·N + 1)`` for a realisation of N events. Fits use the rule as it is, so
        raise it for kernels much sharper than the typical gap.

    Notes
    -----
    A change of time unit maps this model to an equivalent one for the relu, identity and
    sigmoid links (the sigmoid's upper bound is a rate and μ has no unit there, α a unit of
    time), and fits rescale time internally for them; the softplus link and callables do not
    commute with a change of time unit, so their fits use the data's unit as it is and
    :meth:`rescale_time` refuses them.
    """

    # As a model accepts them, μ and α of either sign (_free_params says what fits allow).
    mu: float = level(0.5)
    alpha: float = weight(0.5)
    beta: float = decay_rate(1.0)
    link: str | Callable[[Any], Any] = "softplus"
    sigmoid_scale: float = 1.0
    n_quad: int | None = None

    family: ClassVar[str] = "nonlinear exponential"

    def __post_init__(self) -> None:
        if isinstance(self.link, str):
            if self.link not in LINKS:
                raise ValueError(
                    f"link must be one of {', '.join(map(repr, LINKS))} or a callable; "
                    f"got {self.link!r}"
                )
        elif not callable(self.link):
            raise TypeError(f"link must be a string or a callable; got {type(self.link).__name__}")
        super().__post_init__()
        check_scalar(self, "sigmoid_scale", lower=0.0, strict=True)
        if self.n_quad is not None:
            set_field(self, "n_quad", as_int(self.n_quad, "n_quad", minimum=2))
        if self.link in ("relu", "identity") and self.mu < 0:
            raise ValueError(f"mu must be non-negative with the {self.link} link; got {self.mu}")

    def _positive_mu(self) -> bool:
        return self.link in ("relu", "identity")

    def _free_params(self) -> tuple[Param, ...]:
        mu, alpha, beta = declarations(type(self))
        if self._positive_mu():
            # The relu and identity links need a positive baseline excitation: a rate.
            mu = RATE.but(name="mu")
        elif self.link == "sigmoid":
            # With the sigmoid link the excitation μ + α·β·Σ… is a pure number inside the link,
            # so μ has no unit and α one of time; otherwise the excitation is a rate.
            mu, alpha = mu.but(time_power=0), alpha.but(time_power=1)
        return (mu, alpha, beta)

    def _rescalable(self) -> bool:
        # link(x)/s is the same link of a rescaled excitation for relu (x/s), for the identity
        # (x/s, up to its floor of 1e-12 on the intensity) and for the sigmoid (its upper bound
        # divided by s, x unchanged); not for softplus or a callable.
        return self.link in ("relu", "identity", "sigmoid")

    def _with_structure_scaled(self, s: float) -> NonlinearExponential:
        if self.link == "sigmoid":
            return dataclasses.replace(self, sigmoid_scale=self.sigmoid_scale / s)
        return self

    def _amplitude_pairs(self) -> list[tuple[list[int], int]]:
        return [([1], 2)]

    @property
    def branching_ratio(self) -> float:
        """``|α|``, the L1 norm of the excitation kernel before the link."""
        return abs(self.alpha)

    @property
    def is_stationary(self) -> bool:
        """A bounded (sigmoid) intensity is always stationary; otherwise ``|α| < 1`` suffices for
        the built-in links, which grow at most linearly."""
        if self.link == "sigmoid":
            return True
        return self.branching_ratio < 1.0

    def grid_size(self, n_events: int) -> int:
        """Points of the compensator's trapezoid grid for a realisation of `n_events` events.

        Parameters
        ----------
        n_events : int

        Returns
        -------
        int
        """
        return self.n_quad if self.n_quad is not None else max(1001, 16 * n_events + 1)

    # -- the link in NumPy, as the native module evaluates it ---------------------------------

    def link_values(self, x: FloatArray) -> FloatArray:
        """The link applied to excitations `x`.

        Parameters
        ----------
        x : ndarray of float

        Returns
        -------
        ndarray
        """
        if callable(self.link):
            return np.asarray(_jax_call(self.link, x), dtype=np.float64)
        if self.link == "softplus":
            with np.errstate(over="ignore"):
                return np.where(x > 35.0, x, np.log(np.exp(np.minimum(x, 35.0)) + 1.0))
        if self.link == "relu":
            return np.where(x > 0.0, x, 0.0)
        if self.link == "identity":
            return np.where(x > 1e-12, x, 1e-12)
        z = np.maximum(x, -40.0)
        scale = self.sigmoid_scale
        return np.where(z > 40.0, scale, scale / (np.exp(-np.minimum(z, 40.0)) + 1.0))

    # -- likelihood ------------------------------------------------------------------------------

    def _piece(
        self, data: Prepared, index: int, x: FloatArray, mode: str
    ) -> tuple[float, FloatArray]:
        mu, alpha, beta = (float(v) for v in x)
        times, horizon = data.times[index], data.horizons[index]
        g_points = self.grid_size(times.shape[0])
        if callable(self.link):
            return _jax_neg_ll_grad(self.link, times, horizon, mu, alpha, beta, g_points)
        value, g = native.nonlinear_uni_exp_neg_ll_with_grad(
            times,
            horizon,
            mu,
            alpha,
            beta,
            cast(NativeLink, self.link),
            self.sigmoid_scale,
            g_points,
        )
        return value, g

    # -- intensity and compensator --------------------------------------------------------------

    def _history(self, r: Realization) -> Any:
        return _expsum.states(
            r.times, r.start_time, np.array([self.beta]), np.ones((r.n_events, 1))
        )[:, 0]

    def _excitation(self, r: Realization, history: FloatArray, t: FloatArray) -> FloatArray:
        j = previous_index(r.times, t)
        out = np.full(t.shape[0], self.mu)
        seen = j >= 0
        jj = j[seen]
        out[seen] += (
            self.alpha * self.beta * history[jj] * decay(-self.beta * (t[seen] - r.times[jj]))
        )
        return out

    def _intensity_at(self, r: Realization, history: Any, t: FloatArray) -> FloatArray:
        return self.link_values(self._excitation(r, history, t))[:, None]

    def _compensator_increments(self, r: Realization, history: Any) -> FloatArray:
        n = r.n_events
        delta = np.empty(n + 1)
        delta[:n] = _expsum.gaps(r.times, r.start_time)
        delta[n] = r.end_time - (r.times[-1] if n else r.start_time)
        # Excitation just after the previous event: μ + c·exp(−β·u) for u in (0, Δ].
        c = np.zeros(n + 1)
        c[1:] = self.alpha * self.beta * history
        if self.link in ("relu", "identity"):
            out = self._piecewise_linear_integral(c, delta)
        else:
            out = self._quadrature_integral(c, delta)
        return out[:, None]

    def _quadrature_integral(self, c: FloatArray, delta: FloatArray) -> FloatArray:
        """∫₀^Δ link(μ + c·e^(−βu)) du = link(μ)·Δ + ∫_{e^(−βΔ)}^1 (link(μ + c·w) − link(μ))/(β·w) dw,
        the second integral by Gauss–Legendre quadrature in w, where the integrand is smooth."""
        base = float(self.link_values(np.array([self.mu]))[0])
        low = decay(-self.beta * delta)
        w = low[:, None] + (1.0 - low)[:, None] * _NODES[None, :]
        values = self.link_values((self.mu + c[:, None] * w).ravel()).reshape(w.shape)
        integrand = (values - base) / (self.beta * w)
        return base * delta + (1.0 - low) * (integrand @ _WEIGHTS)

    def _piecewise_linear_integral(self, c: FloatArray, delta: FloatArray) -> FloatArray:
        """For link(x) = max(x, floor): exact, split where μ + c·e^(−βu) crosses the floor."""
        floor = 0.0 if self.link == "relu" else 1e-12
        beta, mu = self.beta, self.mu
        with np.errstate(divide="ignore", invalid="ignore"):
            ratio = (floor - mu) / c
            crossing = np.where((ratio > 0) & (ratio < 1), -np.log(ratio) / beta, np.inf)
        split = np.minimum(crossing, delta)

        def piece(u1: FloatArray, u2: FloatArray) -> FloatArray:
            middle = 0.5 * (u1 + u2)
            above = mu + c * np.exp(-beta * middle) > floor
            linear = mu * (u2 - u1) + (c / beta) * (np.exp(-beta * u1) - np.exp(-beta * u2))
            return np.where(u2 > u1, np.where(above, linear, floor * (u2 - u1)), 0.0)

        return piece(np.zeros_like(delta), split) + piece(split, delta)

    def kernel(self, lags: Any) -> FloatArray:
        """The excitation kernel α·β·exp(−β·t) before the link.

        Parameters
        ----------
        lags : array_like of float, shape (L,)
            Lags t; the kernel is 0 at negative lags.

        Returns
        -------
        ndarray
        """
        t = float_array(lags, "lags")
        return np.where(
            t >= 0, self.alpha * self.beta * np.exp(-self.beta * np.maximum(t, 0.0)), 0.0
        )

    def kernel_support(self) -> float:
        return 5.0 / self.beta

    # -- fitting hooks ----------------------------------------------------------------------------

    def _start(self, stats: DataStats, rng: np.random.Generator | None) -> FloatArray:
        alpha = 0.5 if rng is None else float(rng.uniform(-0.5, 0.9))
        target = stats.rate * 0.5
        if self.link == "softplus":
            mu = math.log(math.expm1(target)) if target < 30 else target
        elif self.link == "sigmoid":
            share = min(target / self.sigmoid_scale, 0.9)
            mu = -math.log(1.0 / share - 1.0)
        else:
            mu = target
        if rng is not None:
            mu += float(rng.normal(0.0, 0.1 * max(abs(mu), 1.0)))
            if self._positive_mu():
                mu = abs(mu)
        beta = 1.0 / stats.median_gap * (1.0 if rng is None else math.exp(rng.uniform(-1.5, 1.5)))
        lo, hi = decay_bounds(stats)
        return np.array([mu, alpha, min(max(beta, 2 * lo), 0.5 * hi)])


# -- the JAX path for callable links ----------------------------------------------------------------


def _import_jax() -> Any:
    return optional_import("jax", "jax", "a callable link needs JAX")


def _x64(jax: Any) -> Any:
    enable = getattr(jax, "enable_x64", None)
    if enable is not None:
        return enable(True)
    from jax.experimental import enable_x64  # type: ignore[attr-defined, unused-ignore]  # older

    return enable_x64()


def _jax_call(link: Callable[[Any], Any], x: FloatArray) -> Any:
    jax = _import_jax()
    with _x64(jax):
        return np.asarray(link(jax.numpy.asarray(x, dtype=jax.numpy.float64)))


@functools.lru_cache(maxsize=32)
def _jax_objective(link: Callable[[Any], Any], g_points: int) -> Any:
    jax = _import_jax()
    jnp = jax.numpy

    def neg_ll(params: Any, times: Any, horizon: Any) -> Any:
        mu, alpha, beta = params[0], params[1], params[2]
        gaps = jnp.diff(times, prepend=0.0)
        factors = jnp.exp(-beta * gaps)

        def step(carry: Any, factor: Any) -> Any:
            before = factor * carry  # excitation just before the event
            return before + 1.0, before

        _, before = jax.lax.scan(step, jnp.asarray(0.0, dtype=jnp.float64), factors)
        after = before + 1.0
        # Log-intensities at the events, floored as the native likelihoods do.
        lam = link(alpha * beta * before + mu)
        log_sum = jnp.sum(jnp.log(jnp.where(lam > 1e-30, lam, 1e-30)))
        # Trapezoid rule on the grid, counting every event at or before a grid point.
        # A leading zero state stands for "no event yet", so no index is ever out of range.
        grid = jnp.arange(g_points, dtype=jnp.float64) * horizon / (g_points - 1)
        index = jnp.searchsorted(times, grid, side="right")
        padded_after = jnp.concatenate([jnp.zeros(1), after])
        padded_times = jnp.concatenate([jnp.zeros(1), times])
        state = padded_after[index] * jnp.exp(-beta * (grid - padded_times[index]))
        values = link(alpha * beta * state + mu)
        compensator = jnp.sum((values[1:] + values[:-1]) * (jnp.diff(grid) * 0.5))
        return compensator - log_sum

    return jax.jit(jax.value_and_grad(neg_ll))


def _jax_neg_ll_grad(
    link: Callable[[Any], Any],
    times: FloatArray,
    horizon: float,
    mu: float,
    alpha: float,
    beta: float,
    g_points: int,
) -> tuple[float, FloatArray]:
    jax = _import_jax()
    with _x64(jax):
        function = _jax_objective(link, g_points)
        params = jax.numpy.asarray([mu, alpha, beta], dtype=jax.numpy.float64)
        value, grad = function(params, jax.numpy.asarray(times, dtype=jax.numpy.float64), horizon)
        return float(value), np.asarray(grad, dtype=np.float64)
