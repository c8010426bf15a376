# The observed information of fits with a periodic baseline: its bins' block in closed form (one
# pass over the events) against the finite-difference Hessian of the gradient, for each path
# (native per-bin sums, 1/λ from the other likelihoods, several dimensions, a mix with
# a log-linear baseline whose columns stay finite differences), and the fits' standard errors.
import numpy as np
import pytest

import vostrel as vs
from vostrel import _libvostrel_ext as ext
from vostrel import fitting
from vostrel.baselines import LogLinearBaseline, PeriodicBaseline, WithBaseline
from vostrel.models._base import prepare

EXP = vs.Exponential(0.0, 0.4, 2.0)
MV = vs.MultivariateExponential([0.0, 0.0], [[0.3, 0.1], [0.2, 0.2]], 1.5)
DAILY = PeriodicBaseline(24.0, n_bins=6, values=[0.3, 0.6, 1.2, 1.0, 0.5, 0.2], origin=2.0)
CASES = {
    "exponential": WithBaseline(EXP, DAILY),
    "edges": WithBaseline(
        EXP, PeriodicBaseline(7.0, edges=[0.0, 1.0, 2.5, 7.0], values=[1.0, 0.4, 0.7])
    ),
    "sum-exponential": WithBaseline(vs.SumExponential(0.0, [0.2, 0.15], [4.0, 0.5]), DAILY),
    "multivariate": WithBaseline(
        MV, [DAILY, PeriodicBaseline(24.0, n_bins=3, values=[0.2, 0.5, 0.3])]
    ),
    "multivariate, log-linear": WithBaseline(MV, [DAILY, LogLinearBaseline(0.3, 0.001)]),
}


def _template(model):
    return WithBaseline(type(model.model)(), [type(b)(**_structure(b)) for b in model.baselines])


def _structure(b):
    if isinstance(b, PeriodicBaseline):
        return {"period": b.period, "edges": b.edges, "origin": b.origin}
    return {}


def _fit(events, truth):
    return vs.fit(events, _template(truth), n_starts=1)


@pytest.fixture(scope="module", params=list(CASES), ids=list(CASES))
def fitted(request):
    truth = CASES[request.param]
    # Two realisations, starting late: the blocks add up over them and read absolute time.
    events = truth.simulate(24 * 40.0, seed=11, n=2, start_time=5.0)
    return events, truth, _fit(events, truth)


def _finite_difference_only(monkeypatch):
    monkeypatch.setattr(WithBaseline, "_hessian_block", None)


def test_exact_block_equals_the_finite_difference_hessian(fitted, monkeypatch):
    events, _, result = fitted
    problem = fitting._problem(events, result.model, None, None)
    objective = fitting._Objective(fitting._evaluator(problem, None)[0], problem)
    x, estimated = problem.x_template, problem.free
    exact, calls = fitting._observed_information(objective, x, estimated, problem.box)[::2]
    _finite_difference_only(monkeypatch)
    numeric, more = fitting._observed_information(objective, x, estimated, problem.box)[::2]
    np.testing.assert_allclose(exact, numeric, rtol=1e-6, atol=0.0)
    assert calls < more == 2 * x.shape[0]


def test_standard_errors_unchanged_by_the_exact_block(fitted, monkeypatch):
    events, truth, result = fitted
    _finite_difference_only(monkeypatch)
    numeric = _fit(events, truth)
    assert result.converged and numeric.converged
    np.testing.assert_allclose(result.std_errors, numeric.std_errors, rtol=1e-6)
    np.testing.assert_allclose(result.estimates, numeric.estimates, rtol=1e-9)
    assert result.n_hessian_evaluations < numeric.n_hessian_evaluations


def test_native_per_bin_sums_are_the_likelihoods_intensities():
    data = prepare(vs.Exponential(0.5, 0.4, 2.0).simulate(200.0, seed=3, start_time=5.0))
    model = CASES["exponential"]
    bins, exposure = model._periodic_bins(data, 0)
    mu, (alpha, beta) = DAILY.values, (0.4, 2.0)
    t, horizon = data.times[0], data.horizons[0]
    sums = ext.uni_exp_binned_inverse_square_sums(t, horizon, bins, mu, alpha, beta)
    _, _, inverse = ext.uni_exp_varying_neg_ll_with_grad(
        data.times[0], data.horizons[0], mu[bins], float(mu @ exposure), alpha, beta
    )
    assert sums.tobytes() == np.bincount(bins, weights=inverse * inverse, minlength=6).tobytes()
    with pytest.raises(ValueError, match=r"bins\[0\] is not in \[0, 6\)"):
        ext.uni_exp_binned_inverse_square_sums(
            data.times[0], data.horizons[0], bins + 6, mu, alpha, beta
        )
