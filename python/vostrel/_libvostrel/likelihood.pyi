from typing import Literal, final

import numpy as np
import numpy.typing as npt

__all__ = [
    "uni_exp_neg_ll_with_grad",
    "uni_exp_neg_ll",
    "uni_powerlaw_neg_ll_with_grad",
    "uni_powerlaw_neg_ll",
    "uni_nonparametric_neg_ll_with_grad",
    "uni_nonparametric_neg_ll",
    "uni_sumexp_neg_ll_with_grad",
    "uni_sumexp_neg_ll",
    "uni_approx_powerlaw_neg_ll_with_grad",
    "uni_approx_powerlaw_neg_ll",
    "marked_uni_exp_neg_ll_with_grad",
    "marked_uni_exp_neg_ll",
    "nonlinear_uni_exp_neg_ll_with_grad",
    "nonlinear_uni_exp_neg_ll",
    "mv_exp_dense_neg_ll_with_grad",
    "mv_exp_dense_neg_ll",
    "MvExpRecursiveLogLik",
]

_F64Array = npt.NDArray[np.float64]
_I64Array = npt.NDArray[np.int64]

def uni_exp_neg_ll(
    times: _F64Array, t_horizon: float, mu: float, alpha: float, beta: float
) -> float: ...
def uni_exp_neg_ll_with_grad(
    times: _F64Array, t_horizon: float, mu: float, alpha: float, beta: float
) -> tuple[float, _F64Array]:
    """Univariate exp Hawkes neg-log-likelihood + closed-form gradient.
    Returns `(neg_loglik, grad_array)` where `grad_array` has shape (3,)
    in (μ, α, β) order. `times` must be sorted on `[0, t_horizon]`."""
def uni_powerlaw_neg_ll(
    times: _F64Array, t_horizon: float, mu: float, alpha: float, beta: float, c: float
) -> float: ...
def uni_powerlaw_neg_ll_with_grad(
    times: _F64Array, t_horizon: float, mu: float, alpha: float, beta: float, c: float
) -> tuple[float, _F64Array]:
    """Univariate power-law Hawkes neg-log-likelihood + closed-form gradient.
    Returns `(neg_loglik, grad_array)` where `grad_array` has shape (4,)
    in (μ, α, β, c) order."""
def uni_nonparametric_neg_ll(
    times: _F64Array, t_horizon: float, mu: float, edges: _F64Array, values: _F64Array
) -> float: ...
def uni_nonparametric_neg_ll_with_grad(
    times: _F64Array, t_horizon: float, mu: float, edges: _F64Array, values: _F64Array
) -> tuple[float, float, _F64Array]:
    """Univariate nonparametric (piecewise-constant) Hawkes neg-log-likelihood +
    closed-form gradient. `edges` is fixed during the fit; `values` (and μ)
    are the free parameters. Returns `(neg_loglik, grad_mu, grad_values)`."""
def uni_sumexp_neg_ll(
    times: _F64Array, t_horizon: float, mu: float, alphas: _F64Array, betas: _F64Array
) -> float: ...
def uni_sumexp_neg_ll_with_grad(
    times: _F64Array, t_horizon: float, mu: float, alphas: _F64Array, betas: _F64Array
) -> tuple[float, float, _F64Array, _F64Array]:
    """Univariate sum-exp Hawkes neg-log-likelihood + closed-form gradient.
    Returns `(neg_loglik, grad_mu, grad_alphas, grad_betas)`. `alphas` and
    `betas` are length-K NumPy arrays."""
def uni_approx_powerlaw_neg_ll(
    times: _F64Array,
    t_horizon: float,
    mu: float,
    alpha: float,
    beta_pow: float,
    beta_min: float,
    r: float,
    n_components: int,
) -> float: ...
def uni_approx_powerlaw_neg_ll_with_grad(
    times: _F64Array,
    t_horizon: float,
    mu: float,
    alpha: float,
    beta_pow: float,
    beta_min: float,
    r: float,
    n_components: int,
) -> tuple[float, _F64Array]: ...
def marked_uni_exp_neg_ll(
    times: _F64Array, g_values: _F64Array, t_horizon: float, mu: float, alpha: float, beta: float
) -> float: ...
def marked_uni_exp_neg_ll_with_grad(
    times: _F64Array, g_values: _F64Array, t_horizon: float, mu: float, alpha: float, beta: float
) -> tuple[float, _F64Array]: ...
def nonlinear_uni_exp_neg_ll(
    times: _F64Array,
    t_horizon: float,
    mu: float,
    alpha: float,
    beta: float,
    link: Literal["softplus", "relu", "sigmoid", "identity"],
    sigmoid_scale: float,
    n_quad: int,
) -> float: ...
def nonlinear_uni_exp_neg_ll_with_grad(
    times: _F64Array,
    t_horizon: float,
    mu: float,
    alpha: float,
    beta: float,
    link: Literal["softplus", "relu", "sigmoid", "identity"],
    sigmoid_scale: float,
    n_quad: int,
) -> tuple[float, _F64Array]: ...
def mv_exp_dense_neg_ll(
    times: _F64Array,
    sources: _I64Array,
    end_time: float,
    n_dims: int,
    mu: _F64Array,
    alpha: _F64Array,
    beta: _F64Array,
) -> float:
    """Value-only entry point (~30% faster than the value+grad call)."""
def mv_exp_dense_neg_ll_with_grad(
    times: _F64Array,
    sources: _I64Array,
    end_time: float,
    n_dims: int,
    mu: _F64Array,
    alpha: _F64Array,
    beta: _F64Array,
) -> tuple[float, _F64Array, _F64Array, _F64Array]:
    """Multivariate exp Hawkes neg-log-likelihood with **per-cell β**
    (joint-decay mode). Closed-form analytic gradient.

    Returns `(neg_loglik, grad_mu, grad_alpha, grad_beta)` where:
    - `grad_mu` shape `(M,)`
    - `grad_alpha`, `grad_beta` shape `(M·M,)` row-major: index `m·M + k`
      is the gradient w.r.t. cell (m, k)."""

@final
class MvExpRecursiveLogLik:
    """Multivariate exp Hawkes negative log-likelihood model with a fixed
    (shared) decay β.
    The model returns the unnormalized loss (no division by `n_total_jumps`).

    Construct once with `(timestamps, end_time, decay)`; weights are
    precomputed eagerly. Then call `loss_and_grad(coeffs, out)` repeatedly
    inside the L-BFGS-B loop. β is fixed; only μ and α are fit.

    Coefficient layout: `[μ_0..μ_{M-1}, α_{0,:}, α_{1,:}, ..., α_{M-1,:}]`,
    length `M + M·M`."""

    def __new__(
        cls, timestamps: list[_F64Array], end_time: float, decay: float
    ) -> MvExpRecursiveLogLik: ...
    def loss_and_grad(self, coeffs: _F64Array, out: _F64Array) -> float:
        """Compute neg-log-likelihood and gradient. `out` is mutated in place.
        Returns the loss as a Python float."""
    def loss(self, coeffs: _F64Array) -> float:
        """Value-only entry point (~5–10% cheaper than `loss_and_grad`)."""
    @property
    def n_dims(self) -> int: ...
    @property
    def end_time(self) -> float: ...
    @property
    def decay(self) -> float: ...
    @property
    def n_total_jumps(self) -> int: ...
    @property
    def n_coeffs(self) -> int: ...
