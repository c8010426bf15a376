# fit(): recovery of the truth for every model family, Wald coverage, standard errors against an
# independent Hessian, invariance to the time unit and origin, joint fits over realisations with
# their own windows, fixed parameters, bounds, and the result object.
import math
import pickle

import numpy as np
import pytest
from scipy import optimize

import vostrel as vs
from vostrel._libvostrel import likelihood as native


def simulate_marked(model, end_time, seed):
    """Cluster simulation of the marked model with marks drawn uniformly from [0.5, 1.5]."""
    rng = np.random.default_rng(seed)
    times = list(rng.uniform(0.0, end_time, rng.poisson(model.mu * end_time)))
    marks = list(rng.uniform(0.5, 1.5, len(times)))
    queue = list(zip(times, marks))
    while queue:
        t, g = queue.pop()
        for _ in range(rng.poisson(model.alpha * g)):
            child = t + rng.exponential(1.0 / model.beta)
            if child < end_time:
                mark = rng.uniform(0.5, 1.5)
                times.append(child)
                marks.append(mark)
                queue.append((child, mark))
    order = np.argsort(times)
    return vs.Events.from_arrays(np.array(times)[order], end_time, marks=np.array(marks)[order])


def simulate_nonlinear(model, end_time, seed):
    """Thinning with the intensity's bound between events (the excitation decays monotonically)."""
    rng = np.random.default_rng(seed)
    link = lambda x: float(model.link_values(np.array([x]))[0])  # noqa: E731
    t, last, state, out = 0.0, 0.0, 0.0, []
    while True:
        excitation = model.alpha * model.beta * state * math.exp(-model.beta * (t - last))
        bound = max(link(model.mu + excitation), link(model.mu)) + 1e-9
        t += rng.exponential(1.0 / bound)
        if t >= end_time:
            return vs.Events.from_arrays(np.array(out), end_time)
        x = model.mu + model.alpha * model.beta * state * math.exp(-model.beta * (t - last))
        if rng.random() * bound <= link(x):
            state = state * math.exp(-model.beta * (t - last)) + 1.0
            last = t
            out.append(t)


CASES = {
    "exponential": (vs.Exponential(0.5, 0.6, 2.0), 3000.0),
    "sumexp": (vs.SumExponential(0.5, [0.3, 0.3], [0.5, 6.0]), 8000.0),
    "marked": (vs.MarkedExponential(0.5, 0.5, 2.0), 3000.0),
    "powerlaw": (vs.PowerLaw(0.3, 0.6 * 0.2, 1.0, 0.2), 1000.0),
    "approx_powerlaw": (vs.ApproxPowerLaw(0.5, 0.5, 0.6, 0.05, 2.0, 10), 6000.0),
    "nonparametric": (
        vs.Nonparametric(0.5, [0.0, 0.5, 1.0, 2.0, 4.0], [0.4, 0.3, 0.1, 0.05]),
        3000.0,
    ),
    "softplus": (vs.NonlinearExponential(0.2, 0.5, 2.0, "softplus"), 2000.0),
    "sigmoid": (vs.NonlinearExponential(-0.5, 0.5, 2.0, "sigmoid", 2.0), 2000.0),
    "mv_shared": (vs.MultivariateExponential([0.3, 0.2], [[0.3, 0.1], [0.4, 0.2]], 1.5), 4000.0),
    "mv_fixed": (
        vs.MultivariateExponential([0.3, 0.2], [[0.3, 0.1], [0.4, 0.2]], 1.5, "fixed"),
        4000.0,
    ),
    "mv_per_cell": (
        vs.MultivariateExponential(
            [0.3, 0.2], [[0.3, 0.1], [0.4, 0.2]], [[1.0, 2.0], [3.0, 1.5]], "per_cell"
        ),
        8000.0,
    ),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_fit_recovers_the_truth(name):
    truth, end_time = CASES[name]
    if name == "marked":
        events = simulate_marked(truth, end_time, seed=5)
    elif isinstance(truth, vs.NonlinearExponential):
        events = simulate_nonlinear(truth, end_time, seed=5)
    else:
        events = truth.simulate(end_time, seed=5)
    result = vs.fit(events, truth, n_starts=2, seed=1)
    assert result.converged, result.message
    assert not result.on_bound
    assert np.all(np.isfinite(result.std_errors)), result.summary()
    z = (result.estimates - truth.to_vector()) / result.std_errors
    assert np.max(np.abs(z)) < 4.0, result.summary()
    if name == "powerlaw":
        # α, β and c trade off; the branching ratio and the baseline are what the data pin down.
        assert result.branching_ratio == pytest.approx(truth.branching_ratio, abs=0.15)


def test_wald_intervals_cover_the_truth_at_the_nominal_rate():
    truth = vs.Exponential(0.5, 0.5, 2.0)
    data = truth.simulate(800.0, seed=2026, n=300)
    covered = np.zeros(3)
    for r in range(len(data)):
        result = vs.fit(data[[r]], vs.Exponential(), n_starts=1)
        low, high = result.conf_int(0.95).T
        covered += (low <= truth.to_vector()) & (truth.to_vector() <= high)
    rates = covered / len(data)
    assert np.all((0.90 <= rates) & (rates <= 0.98)), rates


def brute_force_neg_ll(times, end_time, mu, alpha, beta):
    """The exponential likelihood from the kernel summed over all pairs, in plain NumPy."""
    lags = times[:, None] - times[None, :]
    excitation = np.where(
        lags > 0, alpha * beta * np.exp(-beta * np.where(lags > 0, lags, 0.0)), 0.0
    ).sum(axis=1)
    return (
        mu * end_time
        + alpha * np.sum(1.0 - np.exp(-beta * (end_time - times)))
        - np.sum(np.log(mu + excitation))
    )


def test_standard_errors_match_an_independent_hessian():
    events = vs.Exponential(0.8, 0.5, 1.5).simulate(400.0, seed=9)
    result = vs.fit(events, vs.Exponential())
    times, end_time = events[0].times, events[0].end_time
    theta = result.estimates
    f = lambda x: brute_force_neg_ll(times, end_time, *x)  # noqa: E731
    h = 1e-4 * theta
    hessian = np.empty((3, 3))
    for i in range(3):
        for j in range(3):
            ei, ej = np.eye(3)[i] * h[i], np.eye(3)[j] * h[j]
            hessian[i, j] = (
                f(theta + ei + ej) - f(theta + ei - ej) - f(theta - ei + ej) + f(theta - ei - ej)
            ) / (4 * h[i] * h[j])
    np.testing.assert_allclose(
        result.std_errors, np.sqrt(np.diag(np.linalg.inv(hessian))), rtol=1e-3
    )
    assert result.n_hessian_evaluations <= 2 * 3 + 1


@pytest.mark.parametrize("scale, origin", [(1000.0, 0.0), (1.0 / 3600.0, 0.0), (1.0, 1.7e9)])
def test_time_unit_and_origin_do_not_change_the_answer(scale, origin):
    events = vs.Exponential(0.5, 0.6, 2.0).simulate(3000.0, seed=4)
    base = vs.fit(events, vs.Exponential())
    r = events[0]
    moved = vs.Events.from_arrays(
        r.times * scale + origin, r.end_time * scale + origin, start_time=origin
    )
    result = vs.fit(moved, vs.Exponential())
    expected = base.estimates * np.array([1.0 / scale, 1.0, 1.0 / scale])
    tolerance = 1e-5 if origin == 0.0 else 1e-3
    np.testing.assert_allclose(result.estimates, expected, rtol=tolerance)
    np.testing.assert_allclose(
        result.std_errors, base.std_errors * np.array([1.0 / scale, 1.0, 1.0 / scale]), rtol=1e-3
    )
    n = events.n_events
    assert result.log_likelihood == pytest.approx(
        base.log_likelihood - n * math.log(scale), rel=1e-8, abs=1e-5
    )


def test_joint_fit_minimises_the_sum_over_windows():
    model = vs.Exponential(0.5, 0.6, 2.0)
    windows = [(0.0, 300.0), (50.0, 1000.0), (10.0, 90.0)]
    parts = [
        model.simulate(end, seed=k, start_time=start) for k, (start, end) in enumerate(windows)
    ]
    events = vs.Events.from_realizations(parts)
    result = vs.fit(events, vs.Exponential())

    shifted = [
        (np.array(p[0].times) - p[0].start_time, p[0].end_time - p[0].start_time) for p in parts
    ]

    def summed(theta):
        values = [native.uni_exp_neg_ll_with_grad(t, end, *theta) for t, end in shifted]
        return sum(v for v, _ in values), sum(g for _, g in values)

    direct = optimize.minimize(
        summed,
        [0.4, 0.5, 1.0],
        jac=True,
        method="L-BFGS-B",
        bounds=[(1e-9, None), (0, None), (1e-6, None)],
        options={"ftol": 1e-15, "gtol": 1e-10},
    )
    np.testing.assert_allclose(result.estimates, direct.x, rtol=1e-5)
    assert -result.log_likelihood == pytest.approx(direct.fun, rel=1e-10)
    # Concatenating the windows would be a different (wrong) model: the result must differ.
    assert result.model.neg_log_likelihood(events) == pytest.approx(direct.fun, rel=1e-10)


def test_one_directional_excitation_lands_in_its_cell():
    truth = vs.MultivariateExponential([0.4, 0.3], [[0.0, 0.0], [0.6, 0.0]], 2.0)
    events = truth.simulate(5000.0, seed=8)
    result = vs.fit(events, vs.MultivariateExponential(decay="shared"))
    alpha = result.model.alpha
    assert alpha[1, 0] == pytest.approx(0.6, abs=0.08)
    assert max(alpha[0, 0], alpha[0, 1], alpha[1, 1]) < 0.05


def test_fixed_parameters_and_bounds():
    events = vs.Exponential(0.5, 0.6, 2.0).simulate(2000.0, seed=3)
    held = vs.fit(events, vs.Exponential(), fixed={"beta": 2.0})
    assert held.fixed == ("beta",) and held.model.beta == 2.0 and math.isnan(held.std_errors[2])
    assert held.n_params == 2 and "fixed" in held.summary()
    bounded = vs.fit(events, vs.Exponential(), bounds={"alpha": (0.0, 0.3)})
    assert bounded.model.alpha == pytest.approx(0.3) and bounded.on_bound == ("alpha",)
    assert "on a bound" in bounded.summary()
    mv = vs.MultivariateExponential([0.3, 0.2], [[0.3, 0.1], [0.4, 0.2]], 1.5)
    mv_events = mv.simulate(1000.0, seed=2)
    shared = vs.fit(mv_events, mv, fixed=["beta"])
    fixed = vs.fit(mv_events, vs.MultivariateExponential(mv.mu, mv.alpha, 1.5, "fixed"))
    np.testing.assert_allclose(shared.estimates[:6], fixed.estimates, rtol=1e-6)


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        (dict(fixed=["gamma"]), ValueError, "fixed: unknown parameter 'gamma'"),
        (dict(fixed=["mu", "alpha", "beta"]), ValueError, "every parameter is fixed"),
        (
            dict(bounds={"beta": (2.0, 1.0)}),
            ValueError,
            r"bounds\['beta'\]: lower \(2\) must be below upper \(1\)",
        ),
        (dict(bounds={"beta": (0.0, 1.0)}), ValueError, "lower bound of beta must be above 0"),
        (
            dict(bounds={"alpha": (-1.0, 1.0)}),
            ValueError,
            "lower bound of alpha must be at least 0",
        ),
        (dict(bounds={"beta": 3.0}), TypeError, "must be a pair"),
        (dict(n_starts=0), ValueError, "n_starts must be at least 1"),
        (dict(seed=-1), ValueError, "seed must be a non-negative integer"),
        (dict(seed=1.5), TypeError, "seed must be a non-negative integer"),
        (dict(start="best"), ValueError, "start must be"),
    ],
)
def test_bad_fit_arguments(kwargs, error, text):
    events = vs.Events.from_arrays([1.0, 2.0, 3.0], end_time=4.0)
    with pytest.raises(error, match=text):
        vs.fit(events, vs.Exponential(), **kwargs)


def test_result_survives_pickle_and_prints():
    events = vs.SumExponential(0.5, [0.3, 0.2], [0.5, 5.0]).simulate(3000.0, seed=1)
    result = vs.fit(events, vs.SumExponential(), n_starts=2, seed=7)
    restored = pickle.loads(pickle.dumps(result))
    assert restored.model == result.model
    assert np.array_equal(restored.covariance, result.covariance, equal_nan=True)
    assert [s.neg_log_likelihood for s in restored.starts] == [
        s.neg_log_likelihood for s in result.starts
    ]
    assert len(result.starts) == 2 and result.seed == 7
    assert np.all(np.diff(result.model.betas) > 0)  # components sorted by decay
    text = result.summary()
    for name in result.names:
        assert name in text
    assert "AIC" in text and "<table>" in result._repr_html_()
    assert result.aic == pytest.approx(2 * 5 - 2 * result.log_likelihood)
    low, high = result.conf_int(0.5).T
    assert np.all(low < result.estimates) and np.all(result.estimates < high)


def test_identifiability_is_reported_instead_of_failing():
    # Evenly spaced events are anything but clustered: alpha goes to its bound and beta is then
    # not identified.
    events = vs.Events.from_arrays(np.arange(0.5, 1000.0), 1000.0)
    result = vs.fit(events, vs.Exponential())
    assert result.on_bound == ("alpha",)
    assert math.isnan(result.std_errors[2]) and math.isfinite(result.std_errors[0])
    assert any("beta is not identified" in n for n in result.notes)
    # Bins that start beyond every observed lag carry no information.
    short = vs.Events.from_arrays([0.1, 0.4, 0.9], 10.0)
    model = vs.Nonparametric(0.5, [0.0, 0.5, 1.0, 5.0], [0.2, 0.1, 0.01])
    assert any("bins 2..2" in n for n in vs.fit(short, model, n_starts=1).notes)


def test_non_stationary_estimate_is_noted():
    result = vs.fit(
        vs.Events.from_arrays([1.0, 2.0], 3.0),
        vs.Exponential(1.0, 1.5, 1.0),
        fixed=["alpha", "beta"],
        n_starts=1,
    )
    assert any("not stationary" in n for n in result.notes)


def test_fixed_values_for_a_group_and_bounds_on_power_law_alpha():
    mv = vs.MultivariateExponential([0.3, 0.2], [[0.3, 0.1], [0.4, 0.2]], 1.5)
    events = mv.simulate(500.0, seed=2)
    result = vs.fit(events, mv, fixed={"alpha": [[0.3, 0.0], [0.4, 0.2]]}, n_starts=1)
    assert result.model.alpha.tolist() == [[0.3, 0.0], [0.4, 0.2]]
    assert set(result.fixed) == {"alpha[0,0]", "alpha[0,1]", "alpha[1,0]", "alpha[1,1]"}
    with pytest.raises(ValueError, match=r"fixed\['alpha'\] must be one number or 4 numbers"):
        vs.fit(events, mv, fixed={"alpha": [0.1, 0.2]})
    # A box on the power law's alpha is not a box after a change of time unit: no rescaling.
    law = vs.PowerLaw(0.3, 0.12, 1.0, 0.2)
    law_events = law.simulate(300.0, seed=1)
    boxed = vs.fit(law_events, law, bounds={"alpha": (0.01, 0.5)}, n_starts=1)
    assert boxed.time_scale == 1.0 and 0.01 <= boxed.model.alpha <= 0.5


def test_progress_bar_over_the_starts(capsys):
    pytest.importorskip("tqdm")
    vs.fit(
        vs.Exponential(0.5, 0.5, 1.0).simulate(200.0, seed=1),
        vs.Exponential(),
        n_starts=2,
        progress=True,
    )
    assert "2/2" in capsys.readouterr().err


def test_a_start_that_breaks_the_likelihood_does_not_sink_the_fit():
    events = vs.Exponential(0.5, 0.5, 1.0).simulate(300.0, seed=1)
    result = vs.fit(events, vs.Exponential(), n_starts=4, seed=3)
    assert len(result.starts) == 4 and result.converged
    best = min(s.neg_log_likelihood for s in result.starts)
    assert -result.log_likelihood == pytest.approx(best, rel=1e-9)


@pytest.mark.parametrize(
    "fixed, bounds, ok",
    [
        ({"beta": 2.0}, {"beta": (0.5, 1.0)}, False),  # held above its bounds
        ({"beta": 0.2}, {"beta": (0.5, None)}, False),  # held below a one-sided bound
        ({"beta": 0.8}, {"beta": (0.5, 1.0)}, True),  # held inside: no contradiction
    ],
)
def test_fixed_and_bounds_that_contradict_each_other_are_refused(fixed, bounds, ok):
    events = vs.Exponential(0.5, 0.5, 1.0).simulate(200.0, seed=2)
    if ok:
        assert vs.fit(events, vs.Exponential(), fixed=fixed, bounds=bounds).params["beta"] == 0.8
    else:
        with pytest.raises(ValueError, match="fixed and bounds contradict each other: beta"):
            vs.fit(events, vs.Exponential(), fixed=fixed, bounds=bounds)
