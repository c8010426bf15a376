import numpy as np
import numpy.typing as npt

__all__ = [
    "simulate_uni_exp_hawkes",
    "simulate_mv_exp_hawkes",
    "simulate_uni_exp_branching",
    "simulate_mv_exp_branching",
]

_F64Array = npt.NDArray[np.float64]

def simulate_uni_exp_hawkes(
    t_horizon: float, mu: float, alpha: float, beta: float, seed: int
) -> _F64Array:
    """Univariate ExponentialKernel Hawkes via Ogata thinning.
    Returns a 1-D float64 NumPy array of sorted event times."""

def simulate_mv_exp_hawkes(
    t_horizon: float, mu: _F64Array, alpha: _F64Array, beta: float, seed: int
) -> list[_F64Array]:
    """Multivariate ExponentialKernel Hawkes (shared β) via Ogata thinning.
    Returns a Python list of M 1-D float64 NumPy arrays."""

def simulate_uni_exp_branching(
    t_horizon: float, mu: float, alpha: float, beta: float, seed: int
) -> _F64Array:
    """Univariate ExponentialKernel Hawkes via branching (Galton-Watson).
    Faster than thinning for near-critical α; same statistical distribution."""

def simulate_mv_exp_branching(
    t_horizon: float, mu: _F64Array, alpha: _F64Array, beta: float, seed: int
) -> list[_F64Array]:
    """Multivariate ExponentialKernel Hawkes (shared β) via branching."""
