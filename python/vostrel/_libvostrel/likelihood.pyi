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
