# Profile-likelihood intervals and the likelihood-ratio test of no excitation: intervals that
# include 0 where they should, ends where the likelihood ratio reaches the level, agreement with
# Wald on a well-determined fit, the boundary-corrected references, and the result objects.
import math
import pickle

import numpy as np
import pytest
from scipy import stats

import vostrel as vs
from vostrel import inference

MV_ALPHA = np.array([[0.3, 0.0, 0.2], [0.0, 0.3, 0.0], [0.2, 0.15, 0.0]])


@pytest.fixture(scope="module")
def poisson():
    events = vs.Exponential(1.0, 0.0, 2.0).simulate(1000.0, seed=3)
    return events, vs.fit(events, vs.Exponential())


@pytest.fixture(scope="module")
def excited():
    events = vs.Exponential(1.0, 0.5, 2.0).simulate(5000.0, seed=3)
    return events, vs.fit(events, vs.Exponential())


@pytest.fixture(scope="module")
def multivariate():
    truth = vs.MultivariateExponential([0.3] * 3, MV_ALPHA, 1.0, decay="fixed")
    events = truth.simulate(600.0, seed=5)
    start = vs.MultivariateExponential(
        [0.3] * 3, np.full((3, 3), 0.1), 1.0, decay="fixed"
    )
    return events, vs.fit(events, start)


def test_profile_interval_of_poisson_alpha_contains_zero(poisson):
    events, result = poisson
    wald = result.conf_int(method="wald")
    assert wald[1, 0] > 0.0  # log-scale Wald: never 0
    profile = vs.profile_intervals(events, result, "alpha")
    assert profile[1, 0] == 0.0 and profile[1, 1] > result.params["alpha"]
    assert np.isnan(profile[[0, 2]]).all()  # not asked for


def test_profile_agrees_with_wald_for_a_well_determined_fit(excited):
    events, result = excited
    profile = vs.profile_intervals(events, result)
    wald = result.conf_int(method="wald")
    assert np.all(np.abs(profile - wald) < 0.1 * result.std_errors[:, None])


@pytest.mark.parametrize("level", [0.5, 0.95])
def test_profile_ends_sit_where_the_likelihood_ratio_reaches_the_level(poisson, level):
    events, result = poisson
    low, high = vs.profile_intervals(events, result, "mu", level)[0]
    q = stats.chi2.ppf(level, 1)
    for end in (low, high):
        refit = vs.fit(
            events, result.model, fixed={"mu": end}, start="model", n_starts=1
        )
        root = math.sqrt(2.0 * (result.log_likelihood - refit.log_likelihood))
        assert root == pytest.approx(math.sqrt(q), abs=5e-3)
    assert low < result.params["mu"] < high


def test_profile_of_multivariate_cells_includes_zero_only_where_warranted(multivariate):
    events, result = multivariate
    intervals = result.conf_int(method="profile", events=events)[3:12]
    strong = MV_ALPHA.ravel() >= 0.2
    assert np.all(intervals[strong, 0] > 0.0)
    on_bound = [result.names.index(n) - 3 for n in result.on_bound]
    assert np.all(intervals[on_bound, 0] == 0.0)
    assert np.all(intervals[:, 0] <= result.estimates[3:12])
    assert np.all(result.estimates[3:12] <= intervals[:, 1])


def test_conf_int_auto_profiles_only_parameters_whose_domain_starts_at_zero(
    multivariate,
):
    events, result = multivariate
    wald = result.conf_int(method="wald")
    auto = result.conf_int(events=events)
    np.testing.assert_array_equal(auto[:3], wald[:3])  # mu: log-scale Wald
    np.testing.assert_array_equal(
        auto[3:], result.conf_int(method="profile", events=events)[3:]
    )
    # Without the events, the default stays Wald.
    np.testing.assert_array_equal(result.conf_int(), wald)


def test_conf_int_auto_falls_back_to_wald_beyond_the_budget(multivariate, monkeypatch):
    events, result = multivariate
    monkeypatch.setattr(inference, "PROFILE_BUDGET", 10)
    np.testing.assert_array_equal(
        result.conf_int(events=events), result.conf_int(method="wald")
    )


def test_summary_marks_interval_kinds_and_with_profile_carries_them(poisson):
    events, result = poisson
    text = result.summary()
    assert "log-Wald" in text and "profile" not in text.split("note:")[0]
    assert "exclude 0 by construction" in text
    profiled = result.with_profile(events, "alpha", level=0.9)
    text = profiled.summary()
    row = next(line for line in text.splitlines() if line.startswith("alpha"))
    assert row.split()[-1] == "profile" and " 0 " in row
    assert "[0.05" in text and "0.95]" in text
    assert "exclude 0 by construction" not in text
    assert "<td>profile</td>" in profiled._repr_html_()
    np.testing.assert_array_equal(
        profiled.conf_int(0.9)[1], vs.profile_intervals(events, result, "alpha", 0.9)[1]
    )
    # The copy pickles with its intervals; the original is untouched.
    again = pickle.loads(pickle.dumps(profiled))
    np.testing.assert_array_equal(again.conf_int(0.9), profiled.conf_int(0.9))
    assert result._profile is None


def test_likelihood_ratio_test_on_poisson_data(poisson):
    events, result = poisson
    before = result.estimates.copy()
    test = vs.likelihood_ratio_test(events, result)
    np.testing.assert_array_equal(result.estimates, before)
    assert test.params == ("alpha",) and test.df == 1
    assert test.statistic >= 0.0
    assert test.statistic == pytest.approx(
        2 * (test.log_likelihood - test.log_likelihood_null), abs=1e-12
    )
    # beta is not identified without alpha: the mixture plus Davies' bound for its search.
    assert test.reference.startswith("0.5*chi2(0) + 0.5*chi2(1) with Davies")
    mixture = 0.5 * stats.chi2.sf(test.statistic, 1)
    davies = (
        0.5 * math.log(result.n_events) / (2 * math.pi) * math.exp(-test.statistic / 2)
    )
    assert test.p_value == pytest.approx(min(1.0, mixture + davies), rel=1e-12)
    assert not test.rejects()
    assert any("beta is not identified" in n for n in test.notes)


def test_likelihood_ratio_test_of_one_multivariate_cell_uses_the_mixture(multivariate):
    events, result = multivariate
    for cell in ("alpha[0,1]", "alpha[0,0]"):
        test = vs.likelihood_ratio_test(events, result, cell)
        assert test.reference == "0.5*chi2(0) + 0.5*chi2(1)"
        assert test.p_value == pytest.approx(
            0.5 * stats.chi2.sf(test.statistic, 1), rel=1e-12
        )
    assert test.rejects()  # alpha[0,0] = 0.3 in truth
    if result.on_bound:
        zero = vs.likelihood_ratio_test(events, result, result.on_bound[0])
        assert zero.statistic == 0.0 and zero.p_value == 1.0


def test_likelihood_ratio_test_of_several_parameters_is_conservative_chi2(multivariate):
    events, result = multivariate
    test = vs.likelihood_ratio_test(events, result, ["alpha[0,1]", "alpha[1,0]"])
    assert test.df == 2 and test.reference.startswith("chi2(2)")
    assert test.p_value == pytest.approx(stats.chi2.sf(test.statistic, 2), rel=1e-12)
    whole = vs.likelihood_ratio_test(events, result, "alpha")
    assert whole.df == 9 and whole.rejects(0.001)


def test_likelihood_ratio_test_result_is_frozen_picklable_and_prints(poisson):
    events, result = poisson
    test = vs.likelihood_ratio_test(events, result, "alpha")
    again = pickle.loads(pickle.dumps(test))
    assert again == test
    with pytest.raises(AttributeError):
        test.p_value = 0.0  # type: ignore[misc]
    text = test.summary()
    assert "alpha = 0" in text and test.reference in text and "does not reject" in text
    assert repr(test).startswith("LikelihoodRatioTest(params=['alpha']")
    assert "Davies" in test._repr_html_()


@pytest.mark.parametrize(
    ("statistic", "k", "n", "expected"),
    [
        (0.0, 1, None, 1.0),
        (2.705543454095404, 1, None, 0.05),
        (3.0, 2, None, math.exp(-1.5)),
        (0.0, 1, 500, 1.0),
        (
            9.0,
            1,
            100,
            0.5 * stats.chi2.sf(9.0, 1)
            + 0.5 * math.log(100) / (2 * math.pi) * math.exp(-4.5),
        ),
    ],
)
def test_boundary_p_values(statistic, k, n, expected):
    assert inference.boundary_p_value(statistic, k, n)[0] == pytest.approx(
        expected, rel=1e-9
    )


@pytest.mark.parametrize(
    ("call", "error", "match"),
    [
        (lambda e, r: vs.likelihood_ratio_test(e, r, "mu"), ValueError, "cannot be 0"),
        (
            lambda e, r: vs.likelihood_ratio_test(e, r, "gamma"),
            ValueError,
            "unknown parameter",
        ),
        (lambda e, r: vs.likelihood_ratio_test(e, r, []), ValueError, "at least one"),
        (lambda e, r: vs.profile_intervals(e, r, level=1.0), ValueError, "level"),
        (lambda e, r: vs.profile_intervals(r, r), TypeError, "events"),
        (lambda e, r: vs.profile_intervals(e, r.model), TypeError, "result"),
        (lambda e, r: r.conf_int(method="profile"), ValueError, "events"),
        (lambda e, r: r.conf_int(method="score"), ValueError, "method"),
        (
            lambda e, r: vs.profile_intervals(
                vs.Exponential(1.0, 0.0, 2.0).simulate(100.0, seed=1), r
            ),
            ValueError,
            "fitted events",
        ),
    ],
)
def test_bad_arguments_name_what_is_wrong(poisson, call, error, match):
    events, result = poisson
    with pytest.raises(error, match=match):
        call(events, result)


def test_fixed_parameters_stay_fixed_and_cannot_be_tested():
    events = vs.Exponential(1.0, 0.3, 2.0).simulate(400.0, seed=7)
    result = vs.fit(events, vs.Exponential(beta=2.0), fixed="beta")
    with pytest.raises(ValueError, match="beta is fixed"):
        vs.profile_intervals(events, result, "beta")
    intervals = vs.profile_intervals(events, result)
    assert np.isnan(intervals[2]).all() and np.isfinite(intervals[:2]).all()
    assert "fixed" in result.with_profile(events).summary()


def test_a_parameter_with_zero_inside_its_domain_gets_the_ordinary_chi2():
    events = vs.Exponential(1.0, 0.3, 2.0).simulate(150.0, seed=4)
    result = vs.fit(events, vs.NonlinearExponential(), n_starts=1)
    test = vs.likelihood_ratio_test(events, result, "alpha")
    assert test.reference == "chi2(1)" and "boundary" not in test.summary()
    assert test.p_value == pytest.approx(stats.chi2.sf(test.statistic, 1), rel=1e-12)
