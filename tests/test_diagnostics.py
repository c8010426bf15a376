# Goodness of fit: time-rescaled residuals are Exp(1) under the true model (the KS test rejects
# at its nominal rate), a wrong model is rejected, and the pieces add up to the compensator.
import numpy as np
import pytest

import vostrel as vs


@pytest.mark.parametrize(
    "model, end_time, runs",
    [
        (vs.Exponential(0.5, 0.6, 2.0), 300.0, 200),
        (vs.MultivariateExponential([0.3, 0.2], [[0.2, 0.3], [0.1, 0.4]], 1.5), 300.0, 100),
        (vs.Nonparametric(0.5, [0.0, 0.5, 1.5], [0.4, 0.2]), 300.0, 100),
    ],
)
def test_true_model_passes_at_the_nominal_rate(model, end_time, runs):
    data = model.simulate(end_time, seed=31, n=runs)
    p_values = np.concatenate([vs.goodness_of_fit(data[[r]], model).p_values for r in range(runs)])
    rejected = np.mean(p_values < 0.05)
    assert 0.01 <= rejected <= 0.10, rejected
    # Uniform p-values: their mean is close to one half.
    assert abs(p_values.mean() - 0.5) < 0.06


def test_wrong_model_is_rejected():
    events = vs.Exponential(0.3, 0.8, 1.0).simulate(3000.0, seed=2)
    poisson = vs.Exponential(events.n_events / 3000.0, 0.0, 1.0)
    result = vs.goodness_of_fit(events, poisson)
    assert result.p_values[0] < 1e-6 and not result.passed()
    assert str(result).endswith("at the 5% level the test rejects the model")
    truth = vs.goodness_of_fit(events, vs.Exponential(0.3, 0.8, 1.0))
    assert truth.passed() == str(truth).endswith("the residuals are consistent with the model")
    assert "rejects" in result.summary()


def test_residuals_add_up_to_the_compensator():
    model = vs.MultivariateExponential([0.3, 0.2], [[0.2, 0.3], [0.1, 0.4]], 1.5)
    events = model.simulate(200.0, seed=4, n=2)
    pooled = vs.residuals(events, model)
    compensators = vs.compensator(events, model)
    for m in range(2):
        per_realisation = [c[r.dims == m] for c, r in zip(compensators, events)]
        assert pooled[m].shape[0] == sum(p.shape[0] for p in per_realisation)
        # Each realisation's residuals sum to its last compensator value of that dimension.
        counts = [p.shape[0] for p in per_realisation]
        pieces = np.split(pooled[m], np.cumsum(counts)[:-1])
        for piece, values in zip(pieces, per_realisation):
            assert piece.sum() == pytest.approx(values[-1], rel=1e-12)
            assert np.all(piece > 0)


def test_result_object():
    model = vs.Exponential(0.5, 0.5, 1.0)
    result = vs.goodness_of_fit(model.simulate(500.0, seed=1), model)
    assert result.n.tolist() == [result.residuals[0].shape[0]]
    assert (
        "KS" in str(result)
        and "<table>" in result._repr_html_()
        and "GoodnessOfFit" in repr(result)
    )
    with pytest.raises(ValueError, match="level must be in"):
        result.passed(1.5)
    with pytest.raises(TypeError, match="model must be a vostrel model"):
        vs.goodness_of_fit(model.simulate(10.0, seed=1), "exponential")


@pytest.mark.parametrize("n", [1, 7, 10_000, 10_001, 300_000])
@pytest.mark.parametrize("scale", [1.0, 1.4])
def test_ks_test_matches_scipy_bit_for_bit(n, scale):
    # The KS test sorts with NumPy's default sort and evaluates the statistic itself; it must
    # give scipy's statistic and p-value exactly (on both sides of scipy's exact/asymptotic
    # switch), with a zero residual and a NaN handled alike.
    from scipy import stats

    from vostrel.diagnostics import _ks_exponential

    values = np.random.default_rng(n).exponential(scale, size=n)
    values[0] = 0.0
    for sample in (values, np.r_[values, np.nan]):
        expected = stats.kstest(sample, "expon")
        got = _ks_exponential(sample)
        np.testing.assert_array_equal(got, (expected.statistic, expected.pvalue))
