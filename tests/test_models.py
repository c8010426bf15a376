# Models: parameter checks, branching ratios, likelihood over realisations, intensity against a
# brute-force kernel sum, compensator against numerical quadrature of the intensity, simulation
# seeds, and pickling.
import pickle

import numpy as np
import pytest
from scipy import integrate

import vostrel as vs
from vostrel._libvostrel import likelihood as native

MODELS = {
    "exponential": vs.Exponential(0.4, 0.5, 1.5),
    "sumexp": vs.SumExponential(0.4, [0.2, 0.3], [0.5, 4.0]),
    "marked": vs.MarkedExponential(0.4, 0.3, 1.5),
    "powerlaw": vs.PowerLaw(0.4, 0.6, 1.2, 0.8),
    "approx_powerlaw": vs.ApproxPowerLaw(0.4, 0.5, 0.7, 0.1, 2.0, 6),
    "nonparametric": vs.Nonparametric(0.4, [0.0, 0.3, 1.0, 2.5], [0.5, 0.2, 0.1]),
    "softplus": vs.NonlinearExponential(-0.2, 0.6, 2.0, "softplus"),
    "sigmoid": vs.NonlinearExponential(0.1, -0.5, 2.0, "sigmoid", 3.0),
    "relu": vs.NonlinearExponential(0.3, -0.4, 2.0, "relu"),
    "identity": vs.NonlinearExponential(0.3, 0.4, 2.0, "identity"),
    "mv_shared": vs.MultivariateExponential([0.3, 0.2], [[0.2, 0.3], [0.0, 0.4]], 1.5),
    "mv_per_cell": vs.MultivariateExponential(
        [0.3, 0.2], [[0.2, 0.3], [0.1, 0.4]], [[1.0, 3.0], [0.5, 2.0]], "per_cell"
    ),
}


def small_events(model, seed=0):
    """A short realisation on a window that does not start at 0, with marks for the marked model."""
    rng = np.random.default_rng(seed)
    times = np.sort(rng.uniform(10.0, 30.0, 15))
    dims = rng.integers(0, model.n_dims, times.shape[0]) if model.n_dims > 1 else None
    marks = rng.uniform(0.5, 2.0, times.shape[0]) if model.needs_marks else None
    return vs.Events.from_arrays(times, end_time=32.0, start_time=8.0, dims=dims, marks=marks)


@pytest.mark.parametrize("name", sorted(MODELS))
def test_compensator_agrees_with_quadrature_of_the_intensity(name):
    model = MODELS[name]
    events = small_events(model)
    r = events[0]
    lam = lambda t: model.intensity(events, np.atleast_1d(t)).reshape(1, -1)[0]  # noqa: E731
    lam_of = lambda t, m: float(lam(t)[m])  # noqa: E731
    computed = model.compensator(events)[0]
    edges = getattr(model, "edges", np.array([]))
    bounds = np.concatenate([[r.start_time], r.times])
    dims = r.dimension_indices()
    for m in range(model.n_dims):
        running = 0.0
        for i in range(r.n_events):
            a, b = bounds[i], bounds[i + 1]
            # Kernel discontinuities, and a fine split so that kinks of a link are resolved.
            breaks = [t + e for t in r.times[:i] for e in edges if a < t + e < b]
            breaks += list(np.linspace(a, b, 17)[1:-1])
            running += integrate.quad(
                lam_of, a, b, args=(m,), points=breaks, limit=500, epsabs=1e-12, epsrel=1e-12
            )[0]
            if dims[i] == m:
                assert computed[i] == pytest.approx(running, rel=1e-7, abs=1e-9)


@pytest.mark.parametrize(
    "name", ["exponential", "sumexp", "powerlaw", "nonparametric", "mv_per_cell"]
)
def test_intensity_is_the_kernel_summed_over_earlier_events(name):
    model = MODELS[name]
    events = small_events(model, seed=1)
    r = events[0]
    at = np.array([8.0, r.times[3], r.times[3] + 0.01, 31.9])
    got = model.intensity(events, at).reshape(len(at), -1)
    baseline = np.atleast_1d(model.mu)
    for row, t in zip(got, at):
        earlier = r.times < t
        phi = model.kernel(t - r.times[earlier])
        if model.n_dims == 1:
            expected = baseline + phi.sum()
        else:
            sources = r.dims[earlier]
            expected = baseline + np.array(
                [phi[np.arange(sources.shape[0]), m, sources].sum() for m in range(2)]
            )
        np.testing.assert_allclose(row, expected, rtol=1e-12)


def test_neg_log_likelihood_sums_realisations_on_their_own_windows():
    model = MODELS["exponential"]
    events = vs.Events.from_realizations(
        [
            {"times": [1.0, 1.5, 4.0], "end_time": 5.0},
            {"times": [12.0, 13.0], "start_time": 10.0, "end_time": 20.0},
        ]
    )
    expected = native.uni_exp_neg_ll(
        np.array([1.0, 1.5, 4.0]), 5.0, 0.4, 0.5, 1.5
    ) + native.uni_exp_neg_ll(np.array([2.0, 3.0]), 10.0, 0.4, 0.5, 1.5)
    assert model.neg_log_likelihood(events) == expected
    assert model.log_likelihood(events) == -expected


@pytest.mark.parametrize(
    "model, ratio",
    [
        (vs.Exponential(1.0, 0.7, 3.0), 0.7),
        (vs.SumExponential(1.0, [0.2, 0.3], [1.0, 2.0]), 0.5),
        (vs.PowerLaw(1.0, 0.6, 1.5, 2.0), 0.6 * 2.0**-1.5 / 1.5),
        (vs.Nonparametric(1.0, [0.0, 1.0, 3.0], [0.2, 0.1]), 0.4),
        (vs.MultivariateExponential([1.0, 1.0], [[0.0, 0.5], [0.5, 0.0]], 1.0), 0.5),
    ],
)
def test_branching_ratio_is_the_kernel_integral(model, ratio):
    assert model.branching_ratio == pytest.approx(ratio, rel=1e-12)
    lags = np.linspace(0.0, 400.0, 400001)
    values = model.kernel(lags)
    if values.ndim == 3:
        values = values.sum(axis=(1,)).max(axis=1)  # column sums: offspring of one event
    assert integrate.trapezoid(values, lags) == pytest.approx(
        ratio if model.n_dims == 1 else 0.5, rel=2e-2
    )


def test_spectral_radius_uses_absolute_alpha_and_decides_stationarity():
    model = vs.MultivariateExponential([0.1, 0.1], [[0.9, 0.5], [0.5, 0.9]], 1.0)
    assert model.branching_ratio == pytest.approx(1.4)
    assert not model.is_stationary
    with pytest.raises(ValueError, match="branching ratio is 1.4"):
        model.simulate(10.0, seed=1)
    with pytest.raises(ValueError, match="branching ratio is 1 "):
        vs.Exponential(1.0, 1.0, 1.0).simulate(10.0, seed=1)


@pytest.mark.parametrize(
    "build, error, text",
    [
        (lambda: vs.Exponential(-1.0, 0.5, 1.0), ValueError, "mu must be non-negative; got -1"),
        (lambda: vs.Exponential(1.0, 0.5, 0.0), ValueError, "beta must be positive; got 0"),
        (lambda: vs.Exponential(1.0, np.nan, 1.0), ValueError, "alpha must be finite"),
        (lambda: vs.Exponential("1", 0.5, 1.0), TypeError, "mu must be a real number"),
        (
            lambda: vs.SumExponential(1.0, [0.1, 0.2], [1.0]),
            ValueError,
            r"betas must have shape \(2,\)",
        ),
        (
            lambda: vs.SumExponential(1.0, [0.1, -0.2], [1.0, 2.0]),
            ValueError,
            r"alphas\[1\] must be non-negative",
        ),
        (
            lambda: vs.Nonparametric(1.0, [0.0, 1.0, 1.0], [0.1, 0.1]),
            ValueError,
            "strictly increasing",
        ),
        (lambda: vs.ApproxPowerLaw(r=1.0), ValueError, "r must be greater than 1"),
        (lambda: vs.NonlinearExponential(link="tanh"), ValueError, "link must be one of"),
        (
            lambda: vs.MultivariateExponential([1.0], [[0.1]], [[1.0]]),
            ValueError,
            "beta must be one number",
        ),
        (
            lambda: vs.MultivariateExponential([1.0, 1.0], [[0.1]], 1.0),
            ValueError,
            r"alpha must have shape \(2, 2\)",
        ),
    ],
)
def test_bad_parameters_are_refused_by_name(build, error, text):
    with pytest.raises(error, match=text):
        build()


def test_events_must_match_the_model():
    with pytest.raises(ValueError, match="1 dimension.*model has 2"):
        MODELS["mv_shared"].neg_log_likelihood(vs.Events.from_arrays([1.0], end_time=2.0))
    with pytest.raises(ValueError, match="carries no marks"):
        MODELS["marked"].neg_log_likelihood(vs.Events.from_arrays([1.0], end_time=2.0))
    with pytest.raises(TypeError, match="must be a vostrel.Events"):
        MODELS["exponential"].neg_log_likelihood(np.array([1.0]))


@pytest.mark.parametrize(
    "name", ["exponential", "sumexp", "powerlaw", "nonparametric", "mv_shared", "mv_per_cell"]
)
def test_simulation_seeds_do_not_depend_on_how_many_are_drawn(name):
    model = MODELS[name]
    three = model.simulate(50.0, seed=11, n=3, start_time=5.0)
    again = model.simulate(50.0, seed=11, n=3, start_time=5.0)
    one = model.simulate(50.0, seed=11, n=1, start_time=5.0)
    other = model.simulate(50.0, seed=12, n=1, start_time=5.0)
    assert three == again and three[:1] == one and one != other
    assert three[1] != three[0]
    for r in three:
        assert r.start_time == 5.0 and r.end_time == 50.0
        assert np.all(np.diff(r.times) > 0) and (
            r.n_events == 0 or (r.times[0] >= 5.0 and r.times[-1] <= 50.0)
        )


def test_simulated_counts_match_the_stationary_mean():
    model = vs.SumExponential(0.5, [0.2, 0.3], [0.5, 4.0])
    events = model.simulate(200.0, seed=3, n=200)
    # Mean count of a stationary process started empty is a little below mu*T/(1-n).
    mean = events.n_events / 200
    assert 0.9 * 200.0 < mean < 1.02 * 200.0


@pytest.mark.parametrize("name", sorted(MODELS))
def test_models_round_trip_through_pickle_and_rescale(name):
    model = MODELS[name]
    restored = pickle.loads(pickle.dumps(model))
    assert restored == model and hash(restored) == hash(model)
    for value in vars(restored).values():
        if isinstance(value, np.ndarray):
            assert not value.flags.writeable
    assert model.with_vector(model.to_vector()) == model
    assert len(model.param_names) == model.to_vector().shape[0]
    if name not in ("softplus", "sigmoid", "relu", "identity"):
        back = model.rescale_time(1000.0).rescale_time(1e-3)
        np.testing.assert_allclose(back.to_vector(), model.to_vector(), rtol=1e-12)


def test_exponential_rescaling_maps_rates_and_keeps_alpha():
    scaled = vs.Exponential(0.5, 0.6, 2.0).rescale_time(1000.0)
    assert scaled.to_vector().tolist() == pytest.approx([0.0005, 0.6, 0.002])


@pytest.mark.parametrize(
    "name", [n for n in sorted(MODELS) if n not in ("softplus", "sigmoid", "relu", "identity")]
)
def test_rescaled_model_on_rescaled_data_shifts_the_likelihood_by_n_log_s(name):
    # The reparameterisation that fits rely on: time multiplied by s, every parameter mapped by
    # its units, and the log-likelihood shifted by N·log s.
    model = MODELS[name]
    events = small_events(model, seed=2)
    r = events[0]
    s = 7.5
    moved = vs.Events.from_arrays(
        r.times * s, r.end_time * s, start_time=r.start_time * s, dims=r.dims, marks=r.marks
    )
    expected = model.neg_log_likelihood(events) + events.n_events * np.log(s)
    assert model.rescale_time(s).neg_log_likelihood(moved) == pytest.approx(expected, rel=1e-10)


def test_power_law_jacobian_of_the_unit_change_matches_finite_differences():
    model = vs.PowerLaw(0.4, 0.6, 1.2, 0.8)
    s = 4.0
    scaled = model._scaled(s).to_vector()
    jacobian = model._unscale_jacobian(scaled, s)
    template = model._scaled(s)
    numeric = np.empty((4, 4))
    for k in range(4):
        step = 1e-6 * scaled[k]
        up, down = scaled.copy(), scaled.copy()
        up[k] += step
        down[k] -= step
        numeric[:, k] = (
            template.with_vector(up)._scaled(1 / s).to_vector()
            - template.with_vector(down)._scaled(1 / s).to_vector()
        ) / (2 * step)
    np.testing.assert_allclose(jacobian, numeric, rtol=1e-6, atol=1e-9)


def test_poisson_special_cases_simulate_without_the_native_branching():
    empty = vs.Exponential(0.0, 0.5, 1.0).simulate(100.0, seed=1)
    assert empty.n_events == 0
    poisson = vs.Exponential(2.0, 0.0, 1.0).simulate(1000.0, seed=1, n=5)
    assert 0.9 * 2000 < poisson.n_events / 5 < 1.1 * 2000


def test_marked_branching_ratio_uses_the_mean_mark():
    events = vs.Events.from_arrays([1.0, 2.0, 3.0], 4.0, marks=[1.0, 2.0, 3.0])
    assert vs.MarkedExponential(0.5, 0.2, 1.0)._branching_ratio_for(events) == pytest.approx(0.4)
    with pytest.raises(NotImplementedError, match="distribution of the marks"):
        vs.MarkedExponential().simulate(10.0, seed=1)
    with pytest.raises(NotImplementedError, match="has no simulator"):
        vs.NonlinearExponential().simulate(10.0, seed=1)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda m, e: m.intensity(e, [1.0, np.nan]), ValueError, r"t\[1\] is nan"),
        (lambda m, e: m.intensity(e, [[1.0]]), ValueError, "t must be 1-dimensional"),
        (lambda m, e: m.intensity(e, [1.0], realization=2), IndexError, "out of range"),
        (lambda m, e: m.simulate(10.0, seed=-1), ValueError, "seed must be a non-negative"),
        (lambda m, e: m.simulate(10.0, seed=1.5), TypeError, "seed must be a non-negative"),
        (lambda m, e: m.simulate(10.0, seed=1, n=0), ValueError, "n must be at least 1"),
        (lambda m, e: m.simulate(10.0, seed=1, start_time=10.0), ValueError, "must be positive"),
        (lambda m, e: m.with_vector([1.0, 2.0]), ValueError, "vector must have 3 entries"),
        (lambda m, e: m.rescale_time(0.0), ValueError, "factor must be positive"),
    ],
)
def test_bad_arguments_to_model_methods(call, error, text):
    events = vs.Events.from_arrays([1.0, 2.0], 3.0)
    with pytest.raises(error, match=text):
        call(MODELS["exponential"], events)


@pytest.mark.parametrize("name", sorted(MODELS))
def test_params_is_a_property_as_on_results_and_the_old_call_still_works(name):
    model = MODELS[name]
    values = model.params
    assert values == dict(zip(model.param_names, model.to_vector().tolist()))
    with pytest.warns(DeprecationWarning, match="property"):
        assert model.params() == values


@pytest.mark.parametrize("model", [MODELS["powerlaw"], MODELS["nonparametric"]])
def test_branching_ratio_raw_is_deprecated_for_the_property(model):
    with pytest.warns(DeprecationWarning, match="branching_ratio"):
        assert model.branching_ratio_raw() == model.branching_ratio
