import numpy as np
import numpy.typing as npt

__all__: list[str]

_F64Array = npt.NDArray[np.float64]

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
