import numpy as np
import numpy.typing as npt

__all__ = [
    "uni_exp_binned_neg_ll_with_grad",
    "uni_exp_binned_neg_ll_hessian",
    "periodic_bins",
    "uni_exp_varying_neg_ll_with_grad",
    "uni_sumexp_varying_neg_ll_with_grad",
    "mv_exp_varying_neg_ll_with_grad",
    "uni_powerlaw_varying_neg_ll_with_grad",
    "uni_nonparametric_varying_neg_ll_with_grad",
]

_F64Array = npt.NDArray[np.float64]
_I64Array = npt.NDArray[np.int64]

def uni_exp_binned_neg_ll_with_grad(
    times: _F64Array,
    t_horizon: float,
    bins: _I64Array,
    exposure: _F64Array,
    mu: _F64Array,
    alpha: float,
    beta: float,
) -> tuple[float, _F64Array]: ...
def uni_exp_binned_neg_ll_hessian(
    times: _F64Array,
    t_horizon: float,
    bins: _I64Array,
    mu: _F64Array,
    alpha: float,
    beta: float,
) -> _F64Array: ...
def periodic_bins(
    times: _F64Array,
    shift: float,
    period: float,
    origin: float,
    edges: _F64Array,
) -> _F64Array: ...
def uni_exp_varying_neg_ll_with_grad(
    times: _F64Array,
    t_horizon: float,
    base: _F64Array,
    base_integral: float,
    alpha: float,
    beta: float,
) -> tuple[float, _F64Array, _F64Array]: ...
def uni_sumexp_varying_neg_ll_with_grad(
    times: _F64Array,
    t_horizon: float,
    base: _F64Array,
    base_integral: float,
    alphas: _F64Array,
    betas: _F64Array,
) -> tuple[float, _F64Array, _F64Array, _F64Array]: ...
def mv_exp_varying_neg_ll_with_grad(
    times: _F64Array,
    dims: _I64Array,
    t_horizon: float,
    base: _F64Array,
    base_integral: float,
    alpha: _F64Array,
    beta: _F64Array,
) -> tuple[float, _F64Array, _F64Array, _F64Array]: ...
def uni_powerlaw_varying_neg_ll_with_grad(
    times: _F64Array,
    t_horizon: float,
    base: _F64Array,
    base_integral: float,
    alpha: float,
    beta: float,
    c: float,
) -> tuple[float, _F64Array, _F64Array]: ...
def uni_nonparametric_varying_neg_ll_with_grad(
    times: _F64Array,
    t_horizon: float,
    base: _F64Array,
    base_integral: float,
    edges: _F64Array,
    values: _F64Array,
) -> tuple[float, _F64Array, _F64Array]: ...
