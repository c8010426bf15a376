"""Module initializer: registered by the aggregator crate."""

from typing import final

import numpy as np
import numpy.typing as npt

__all__ = ["ExponentialKernel", "PowerLawKernel", "NonparametricKernel"]

_F64Array = npt.NDArray[np.float64]

@final
class ExponentialKernel:
    """Exponential Hawkes excitation kernel.

    Mirrors `python/vostrel/core/kernels/exponential`."""

    def __new__(
        cls, alpha: float, beta: float, *, allow_signed: bool | np.bool_ = False
    ) -> ExponentialKernel: ...
    @property
    def alpha(self) -> float: ...
    @property
    def beta(self) -> float: ...
    @property
    def allow_signed(self) -> bool: ...
    def evaluate(self, t: _F64Array) -> _F64Array:
        """φ(t) = α·β·exp(-β·t). Accepts a NumPy 1-D array of lags."""
    def integrate(self, t: float) -> float:
        """∫₀^t φ(τ)dτ = α·(1 - exp(-β·t)). Scalar input."""
    def integrate_vec(self, t: _F64Array) -> _F64Array:
        """Vectorized integrate: applies `integrate(t_i)` element-wise."""
    def l1_norm(self) -> float:
        """L1 norm = |α|."""
    def scale(self, factor: float) -> None:
        """Multiply α in-place by `factor`."""
    def has_recursive_form(self) -> bool:
        """Whether the kernel admits the O(N) recursive likelihood path."""
    def recursive_state_update(self, state: float, dt: float) -> float:
        """R_i = exp(-β·dt)·(1 + R_{i-1})."""
    def recursive_decay(self, state: float, dt: float) -> float:
        """Decay-only step: R_dec = exp(-β·dt)·R."""
    def recursive_absorb(self, state: float) -> float:
        """Post-event absorb: R⁺ = R + 1."""
    def recursive_intensity_excitation(self, state: float) -> float:
        """α·β·R."""

@final
class PowerLawKernel:
    """Power-law excitation kernel.

    Mirrors `python/vostrel/core/kernels/power_law`."""

    def __new__(cls, alpha: float, beta: float, c: float = 1.0) -> PowerLawKernel: ...
    @property
    def alpha(self) -> float: ...
    @property
    def beta(self) -> float: ...
    @property
    def c(self) -> float: ...
    def evaluate(self, t: _F64Array) -> _F64Array:
        """φ(t) = α·(t + c)^{-(1+β)}."""
    def integrate(self, t: float) -> float:
        """Scalar integrate."""
    def integrate_vec(self, t: _F64Array) -> _F64Array:
        """Vectorized integrate."""
    def l1_norm(self) -> float: ...
    def scale(self, factor: float) -> None: ...
    def has_recursive_form(self) -> bool: ...

@final
class NonparametricKernel:
    """Nonparametric (piecewise-constant) excitation kernel.

    Mirrors `python/vostrel/core/kernels/nonparametric`."""

    def __new__(cls, edges: _F64Array, values: _F64Array) -> NonparametricKernel: ...
    @property
    def edges(self) -> _F64Array:
        """A fresh copy of the bin edges on every access."""
    @property
    def values(self) -> _F64Array:
        """A fresh copy of the current bin values on every access."""
    @property
    def n_bins(self) -> int: ...
    def evaluate(self, t: _F64Array) -> _F64Array:
        """φ at each lag: the value of the bin [edges[k], edges[k+1]) holding the lag; 0 for a
        negative lag, a lag at or beyond the last edge, and a NaN lag (which lies in no bin)."""
    def integrate(self, t: float) -> float:
        """∫₀^t φ(τ)dτ; 0 for t ≤ 0, the L1 norm beyond the last edge, NaN for a NaN t."""
    def integrate_vec(self, t: _F64Array) -> _F64Array:
        """`integrate(t_i)` for each element."""
    def l1_norm(self) -> float: ...
    def scale(self, factor: float) -> None: ...
    def has_recursive_form(self) -> bool: ...
