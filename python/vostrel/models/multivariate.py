"""Multivariate exponential Hawkes model: M dimensions, kernel
φ_mk(t) = α_mk·β_mk·exp(−β_mk·t) for the effect of dimension k on dimension m (row m is the
target, as in the native module), with the decay fixed, shared and fitted, or fitted per cell.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, ClassVar, Literal

import numpy as np

from .. import _libvostrel  # noqa: F401  (loads the extension and its submodules)
from .._checks import FloatArray, float_array
from .._libvostrel import likelihood as native
from .._libvostrel import simulation as native_simulation
from ..events import Realization
from . import _expsum, _simulate
from ._base import DataStats, Model, Prepared
from ._params import Param, branching, check_fields, declarations, decay_bounds, rate
from ._params import decay as decay_rate  # `decay` is a field of the model

__all__ = ["MultivariateExponential", "DecayMode"]

#: How a multivariate model treats its decay: held fixed, one fitted decay, or one per cell.
DecayMode = Literal["fixed", "shared", "per_cell"]


@dataclass(frozen=True, eq=False, repr=False)
class MultivariateExponential(Model):
    """M-dimensional Hawkes process with exponential kernels.

    The intensity of dimension m is λ_m(t) = μ_m + Σ_k Σ_{events s of k before t}
    α[m, k]·β[m, k]·exp(−β[m, k]·(t − s)): α[m, k] is the expected number of events of
    dimension m triggered directly by one event of dimension k.

    Parameters
    ----------
    mu : array_like, shape (M,)
        Baseline rates (≥ 0).
    alpha : array_like, shape (M, M)
        Branching matrix (≥ 0); row m holds the effects on dimension m.
    beta : float or array_like of shape (M, M)
        Decay rate(s) (> 0): one number for ``decay="fixed"`` and ``"shared"``, a matrix for
        ``"per_cell"``.
    decay : {"shared", "fixed", "per_cell"}, default "shared"
        ``"fixed"``: β is a constant of the model, not fitted (the fastest fits: the data are
        preprocessed once for that β); ``"shared"``: one β, fitted; ``"per_cell"``: one β per
        cell, fitted.
    """

    mu: Any = rate((0.5, 0.5), shape=("M",))
    alpha: Any = branching(((0.2, 0.1), (0.1, 0.2)), shape=("M", "M"))
    # Declared as one number; per cell it is a matrix (see _free_params), and a fixed decay is
    # a setting of the model, not a parameter.
    beta: Any = decay_rate(1.0)
    decay: DecayMode = "shared"

    family: ClassVar[str] = "multivariate exponential"

    def __post_init__(self) -> None:
        if self.decay not in ("fixed", "shared", "per_cell"):
            raise ValueError(f"decay must be 'fixed', 'shared' or 'per_cell'; got {self.decay!r}")
        sizes = self._check_params("mu", "alpha")
        if self.decay == "per_cell":
            check_fields(self, self._free_params()[2:], sizes)
            return
        if np.ndim(self.beta) != 0:
            raise ValueError(
                f"beta must be one number with decay={self.decay!r}; use decay='per_cell' "
                "for a matrix of decays"
            )
        self._check_params("beta")

    def _free_params(self) -> tuple[Param, ...]:
        mu, alpha, beta = declarations(type(self))
        if self.decay == "fixed":
            return (mu, alpha)
        return (mu, alpha, beta if self.decay == "shared" else beta.but(shape=("M", "M")))

    @property
    def n_dims(self) -> int:
        return int(self.mu.shape[0])

    def _beta_matrix(self) -> FloatArray:
        m = self.n_dims
        return self.beta if self.decay == "per_cell" else np.full((m, m), float(self.beta))

    def _with_structure_scaled(self, s: float) -> MultivariateExponential:
        if self.decay == "fixed":
            return MultivariateExponential(self.mu, self.alpha, self.beta / s, "fixed")
        return self

    @property
    def branching_ratio(self) -> float:
        """Spectral radius of ``|α|``: the process is stationary when it is below one."""
        return float(np.max(np.abs(np.linalg.eigvals(np.abs(self.alpha)))))

    # -- likelihood -----------------------------------------------------------------------------

    def _recursive(self, data: Prepared, index: int, beta: float) -> Any:
        """The native fixed-decay object of one realisation, built once per data and β (it
        precomputes the excitation weights of every event)."""
        key = ("recursive", beta, index)
        if key not in data.cache:
            times, dims = data.times[index], data.dims[index]
            per_dim = [
                np.ascontiguousarray(times if dims is None else times[dims == k])
                for k in range(self.n_dims)
            ]
            data.cache[key] = native.MvExpRecursiveLogLik(per_dim, data.horizons[index], beta)
        return data.cache[key]

    def _mode(self, free: Any) -> str:
        # With one decay held fixed, the precomputing native object is far cheaper than the
        # dense likelihood, which recomputes every exponential at each call.
        if self.decay == "shared" and not free[-1]:
            return "recursive"
        return "default"

    def _piece(
        self, data: Prepared, index: int, x: FloatArray, mode: str
    ) -> tuple[float, FloatArray]:
        m = self.n_dims
        if self.decay == "fixed" or mode == "recursive":
            beta = float(self.beta) if self.decay == "fixed" else float(x[-1])
            coeffs = np.ascontiguousarray(x[: m + m * m])
            out = np.empty(m + m * m)
            value = self._recursive(data, index, beta).loss_and_grad(coeffs, out)
            return value, out
        dims = data.dims[index]
        times = data.times[index]
        sources = np.zeros(times.shape[0], dtype=np.int64) if dims is None else dims
        mu = np.ascontiguousarray(x[:m])
        alpha = np.ascontiguousarray(x[m : m + m * m])
        beta_cells = (
            np.full(m * m, x[-1])
            if self.decay == "shared"
            else np.ascontiguousarray(x[m + m * m :])
        )
        value, g_mu, g_alpha, g_beta = native.mv_exp_dense_neg_ll_with_grad(
            times, sources, data.horizons[index], m, mu, alpha, beta_cells
        )
        return value, np.concatenate([g_mu, g_alpha, g_beta])

    def _finish(self, raw: FloatArray, x: FloatArray, mode: str) -> FloatArray:
        m = self.n_dims
        if self.decay == "fixed":
            return raw
        if mode == "recursive":
            return np.append(raw, 0.0)
        if self.decay == "shared":
            # One decay: its derivative is the sum over the cells.
            return np.append(raw[: m + m * m], raw[m + m * m :].sum())
        return raw

    # -- intensity and compensator --------------------------------------------------------------

    def _history(self, r: Realization) -> Any:
        m = self.n_dims
        jumps = np.zeros((r.n_events, m))
        jumps[np.arange(r.n_events), r.dimension_indices()] = 1.0
        betas = self._beta_matrix()
        if self.decay != "per_cell":
            shared = _expsum.states(r.times, r.start_time, betas[0], jumps)
            return [shared] * m
        return [_expsum.states(r.times, r.start_time, betas[i], jumps) for i in range(m)]

    def _intensity_at(self, r: Realization, history: Any, t: FloatArray) -> FloatArray:
        betas = self._beta_matrix()
        return np.stack(
            [
                _expsum.intensity(
                    r.times, history[i], float(self.mu[i]), betas[i], self.alpha[i], t
                )
                for i in range(self.n_dims)
            ],
            axis=1,
        )

    def _compensator_increments(self, r: Realization, history: Any) -> FloatArray:
        betas = self._beta_matrix()
        return np.stack(
            [
                _expsum.increments(
                    r.times,
                    r.start_time,
                    r.end_time,
                    history[i],
                    float(self.mu[i]),
                    betas[i],
                    self.alpha[i],
                )
                for i in range(self.n_dims)
            ],
            axis=1,
        )

    def kernel(self, lags: Any) -> FloatArray:
        t = float_array(lags, "lags")
        betas = self._beta_matrix()
        values = self.alpha * betas * np.exp(-np.maximum(t, 0.0)[:, None, None] * betas)
        return np.where((t >= 0)[:, None, None], values, 0.0)

    def kernel_support(self) -> float:
        return float(5.0 / np.min(self._beta_matrix()))

    # -- fitting hooks ----------------------------------------------------------------------------

    def _start(self, stats: DataStats, rng: np.random.Generator | None) -> FloatArray:
        m = self.n_dims
        rate = stats.rate / m
        if rng is None:
            alpha = np.full((m, m), 0.5 / m)
        else:
            alpha = rng.uniform(0.0, 0.9 / m, (m, m))
        radius = float(np.max(np.abs(np.linalg.eigvals(alpha))))
        mu = np.full(m, rate * max(1.0 - radius, 0.1))
        lo, hi = decay_bounds(stats)
        beta0 = min(max(1.0 / stats.median_gap, 2 * lo), 0.5 * hi)
        parts = [mu, alpha.ravel()]
        if self.decay == "shared":
            parts.append(
                np.array([beta0 * (1.0 if rng is None else math.exp(rng.uniform(-1.5, 1.5)))])
            )
        elif self.decay == "per_cell":
            factor = np.ones(m * m) if rng is None else np.exp(rng.uniform(-1.5, 1.5, m * m))
            parts.append(np.clip(beta0 * factor, 2 * lo, 0.5 * hi))
        return np.concatenate(parts)

    def _amplitude_pairs(self) -> list[tuple[list[int], int]]:
        m = self.n_dims
        if self.decay == "shared":
            return [(list(range(m, m + m * m)), m + m * m)]
        if self.decay == "per_cell":
            return [([m + c], m + m * m + c) for c in range(m * m)]
        return []

    # -- simulation -------------------------------------------------------------------------------

    def _simulate_realization(self, end: float, start: float, seed: int, index: int) -> Realization:
        # One decay: the native branching simulator; per-cell decays: the cluster construction.
        m = self.n_dims
        horizon = end - start
        if self.decay == "per_cell":
            times, dims = _simulate.cluster(
                _simulate.generator(seed, index), horizon, self.mu, self._offspring()
            )
        elif not self.mu.any():
            times, dims = np.empty(0), np.empty(0, dtype=np.int64)
        else:
            per_dim = native_simulation.simulate_mv_exp_branching(
                horizon,
                self.mu,
                np.ascontiguousarray(self.alpha.ravel()),
                float(self.beta),
                _simulate.native_seed(seed, index),
            )
            times = np.concatenate(per_dim)
            dims = np.concatenate(
                [np.full(a.shape[0], i, dtype=np.int64) for i, a in enumerate(per_dim)]
            )
            order = np.argsort(times, kind="stable")
            times, dims = times[order], dims[order]
        return _simulate.realization(times, dims, start, end, m)

    def _offspring(self) -> _simulate.Offspring:
        alpha, betas, m = self.alpha, self._beta_matrix(), self.n_dims

        def offspring(
            rng: np.random.Generator, parents: FloatArray, parent_dims: Any
        ) -> tuple[FloatArray, Any]:
            times, dims = [], []
            for target in range(m):
                counts = rng.poisson(alpha[target, parent_dims])
                total = int(counts.sum())
                rates = np.repeat(betas[target, parent_dims], counts)
                times.append(np.repeat(parents, counts) + rng.exponential(1.0, total) / rates)
                dims.append(np.full(total, target, dtype=np.int64))
            return np.concatenate(times), np.concatenate(dims)

        return offspring
