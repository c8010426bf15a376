# The observed information of fits with a periodic baseline: the block known in closed form (the
# whole Hessian natively for the exponential kernel, the bins' diagonal from 1/λ for the other
# kernels and several dimensions, a log-linear baseline's columns by finite differences) against
# the finite-difference Hessian of the gradient, and the fits' standard errors.
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


def test_fits_unchanged_by_the_exact_block(fitted, monkeypatch):
    # The closed-form block gives the observed information and scales the optimiser's variables
    # (fewer iterations); without it, the same optimum to far below a standard error, and the
    # same standard errors to the accuracy of the finite differences.
    events, truth, result = fitted
    _finite_difference_only(monkeypatch)
    numeric = _fit(events, truth)
    assert result.converged and numeric.converged
    assert abs(result.log_likelihood - numeric.log_likelihood) < 1e-8
    assert np.all(np.abs(result.estimates - numeric.estimates) <= 1e-6 * numeric.std_errors)
    np.testing.assert_allclose(result.std_errors, numeric.std_errors, rtol=1e-4)
    assert result.n_hessian_evaluations < numeric.n_hessian_evaluations
    # The exponential kernel's whole Hessian is known: its variables are scaled.
    assert result.n_iter < numeric.n_iter or not isinstance(truth.model, vs.Exponential)


def test_native_hessian_is_symmetric_with_the_likelihoods_intensities():
    data = prepare(vs.Exponential(0.5, 0.4, 2.0).simulate(200.0, seed=3, start_time=5.0))
    bins, exposure = CASES["exponential"]._periodic_bins(data, 0)
    t, horizon, mu, (alpha, beta) = data.times[0], data.horizons[0], DAILY.values, (0.4, 2.0)
    hessian = ext.uni_exp_binned_neg_ll_hessian(t, horizon, bins, mu, alpha, beta).reshape(8, 8)
    _, _, inverse = ext.uni_exp_varying_neg_ll_with_grad(
        t, horizon, mu[bins], float(mu @ exposure), alpha, beta
    )
    assert np.array_equal(hessian, hessian.T)
    assert np.array_equal(np.diag(hessian)[:6], np.bincount(bins, inverse * inverse, 6))
    assert not np.any(hessian[:6, :6] - np.diag(np.diag(hessian)[:6]))
    with pytest.raises(ValueError, match=r"bins\[0\] is not in \[0, 6\)"):
        ext.uni_exp_binned_neg_ll_hessian(t, horizon, bins + 6, mu, alpha, beta)


@pytest.mark.parametrize("layout", ["runs", "alternating", "random", "mixed"])
def test_binned_likelihood_has_the_bits_of_the_varying_one(layout):
    # The binned loop adds each bin's 1/λ in a register along runs of one bin and in memory
    # where bins alternate: either way the bits of the general loop (whose per-event 1/λ,
    # summed per bin in event order, give the same sums).
    r = vs.Exponential(0.5, 0.6, 2.0).simulate(3000.0, seed=4)[0]
    t, n = r.times, r.n_events
    bins = {
        "runs": (t // 100.0).astype(np.int64) % 6,
        "alternating": np.arange(n, dtype=np.int64) % 6,
        "random": np.random.default_rng(1).integers(0, 6, n),
        "mixed": np.where(t < 1500.0, (t // 100.0) % 6, np.arange(n) % 6).astype(np.int64),
    }[layout]
    mu, exposure = np.linspace(0.2, 0.7, 6), np.full(6, 500.0)
    value, gradient = ext.uni_exp_binned_neg_ll_with_grad(t, 3000.0, bins, exposure, mu, 0.6, 2.0)
    general, kernel, inverse = ext.uni_exp_varying_neg_ll_with_grad(
        t, 3000.0, mu[bins], float(mu @ exposure), 0.6, 2.0
    )
    assert value == general and gradient[6:].tobytes() == kernel.tobytes()
    assert gradient[:6].tobytes() == (exposure - np.bincount(bins, inverse, 6)).tobytes()


def _reference_bins(baseline, t):
    # The phase as PeriodicBaseline._phase computes it, then the last edge at or below it.
    _, phase = baseline._phase(t)
    index = np.searchsorted(baseline.edges, phase, side="right") - 1
    return np.clip(index, 0, baseline.n_bins - 1)


@pytest.mark.parametrize(
    "baseline",
    [
        DAILY,
        PeriodicBaseline(168.0, n_bins=168),
        PeriodicBaseline(0.1, n_bins=7, origin=-5e-3),
        PeriodicBaseline(10.0, edges=[0.0, 1e-9, 9.9, 10.0], origin=1e6),
    ],
    ids=["daily", "weekly", "short", "uneven"],
)
def test_native_bins_match_the_phase_arithmetic(baseline):
    # Times on and one ulp either side of every edge, whole periods and far from the origin.
    marks = np.concatenate(
        [np.arange(-50, 50) * baseline.period, baseline.edges, baseline.edges * 1e5]
    )
    marks = marks + baseline.origin
    t = np.concatenate(
        [
            np.random.default_rng(2).uniform(-1e6, 1e6, 20_000),
            marks,
            np.nextafter(marks, np.inf),
            np.nextafter(marks, -np.inf),
        ]
    )
    for shift in (0.0, 12.345, -1e3):
        found = baseline._bins_after(t, shift)
        assert found.dtype == np.int64
        assert np.array_equal(found, _reference_bins(baseline, t + shift))
    with pytest.raises(ValueError, match="strictly increasing"):
        ext.periodic_bins(t, 0.0, 10.0, 0.0, np.array([0.0, 5.0, 5.0, 10.0]))
