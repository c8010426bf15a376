# Time-varying baselines: the native likelihoods against the constant one and against the
# intensity and compensator, gradients, the baselines' integrals, fits by name, simulation and
# forecasts with a baseline, and the second extension module's stubs.
import ast
import inspect
import math
import os
import pathlib
import pickle

import numpy as np
import pytest

import vostrel as vs
from vostrel import _libvostrel_ext as ext
from vostrel._libvostrel import likelihood as native
from vostrel.baselines import LogLinearBaseline, PeriodicBaseline, WithBaseline, baseline_plot
from vostrel.models._base import prepare

HISTORY = vs.Exponential(0.5, 0.4, 2.0).simulate(300.0, seed=2, start_time=7.0)

KERNELS = [
    vs.Exponential(0.0, 0.4, 2.0),
    vs.SumExponential(0.0, [0.2, 0.1], [3.0, 0.5]),
    vs.ApproxPowerLaw(0.0, 0.4, 0.7, 0.2, n_components=5),
    vs.PowerLaw(0.0, 0.3, 1.2, 0.5),
    vs.Nonparametric(0.0, [0.0, 0.3, 1.0, 2.5], [0.3, 0.2, 0.05]),
]
BASELINES = [
    PeriodicBaseline(24.0, n_bins=5, values=[0.2, 0.4, 0.6, 0.8, 1.0], origin=3.0),
    LogLinearBaseline(0.5, 0.003, origin=10.0),
]


def test_one_bin_reproduces_the_constant_likelihood_bit_for_bit():
    t = HISTORY[0].times - 7.0
    constant = native.uni_exp_neg_ll_with_grad(t, 300.0, 0.5, 0.4, 2.0)
    binned = ext.uni_exp_binned_neg_ll_with_grad(
        t, 300.0, np.zeros(t.shape[0], dtype=np.int64), np.array([300.0]), np.array([0.5]), 0.4, 2.0
    )
    varying = ext.uni_exp_varying_neg_ll_with_grad(
        t, 300.0, np.full(t.shape[0], 0.5), 150.0, 0.4, 2.0
    )
    assert binned[0] == constant[0] and binned[1].tobytes() == constant[1].tobytes()
    assert varying[0] == constant[0] and varying[1].tobytes() == constant[1][1:].tobytes()
    model = WithBaseline(
        vs.Exponential(0.0, 0.4, 2.0), PeriodicBaseline(24.0, n_bins=1, values=[0.5])
    )
    plain = vs.Exponential(0.5, 0.4, 2.0)
    assert model.neg_log_likelihood(HISTORY) == plain.neg_log_likelihood(HISTORY)
    assert np.array_equal(model.compensator(HISTORY)[0], plain.compensator(HISTORY)[0])


@pytest.mark.parametrize("baseline", BASELINES, ids=lambda b: type(b).__name__)
@pytest.mark.parametrize("kernel", KERNELS, ids=lambda k: type(k).__name__)
def test_likelihood_gradient_intensity_and_compensator_agree(kernel, baseline):
    model = WithBaseline(kernel, baseline)
    # In a rescaled unit, as fits evaluate it; the window starts at 7, so absolute time matters.
    data, scaled = prepare(HISTORY, 0.25), model._scaled(0.25)
    x = scaled.to_vector()
    value, gradient = scaled._neg_ll_grad(data, x)
    steps = 1e-6 * np.abs(x) + 1e-9
    numeric = [
        (scaled._neg_ll_grad(data, x + h)[0] - scaled._neg_ll_grad(data, x - h)[0]) / (2 * h[i])
        for i, h in enumerate(np.diag(steps))
    ]
    np.testing.assert_allclose(gradient, numeric, rtol=1e-5, atol=1e-5)
    r = HISTORY[0]
    lam = model.intensity(HISTORY, r.times)
    total = model._compensator_increments(r, model._history(r)).sum()
    assert math.isclose(model.neg_log_likelihood(HISTORY), total - np.log(lam).sum(), rel_tol=1e-12)
    assert math.isclose(
        value - HISTORY.n_events * math.log(0.25), model.neg_log_likelihood(HISTORY), rel_tol=1e-12
    )


@pytest.mark.parametrize(
    "baseline",
    BASELINES + [PeriodicBaseline(7.0, edges=[0, 1, 2.5, 7], values=[1, 0.5, 2])],
    ids=str,
)
def test_baseline_cumulative_matches_quadrature_and_gradients(baseline):
    a, b = 5.3, 61.7
    grid = np.linspace(a, b, 400_001)
    values = baseline.values_at(grid)
    trapezoid = float(np.sum((values[1:] + values[:-1]) * np.diff(grid)) / 2)
    assert math.isclose(baseline.integral(a, b), trapezoid, rel_tol=2e-4)
    x = baseline.to_vector()
    steps = 1e-6 * np.abs(x) + 1e-7
    numeric = [
        (baseline.with_vector(x + h).integral(a, b) - baseline.with_vector(x - h).integral(a, b))
        / (2 * h[i])
        for i, h in enumerate(np.diag(steps))
    ]
    np.testing.assert_allclose(baseline.integral_grad(a, b), numeric, rtol=1e-6, atol=1e-9)
    t = np.array([6.0, 30.5, 61.0])
    w = np.array([0.5, 2.0, 1.0])
    numeric = [
        (
            w @ baseline.with_vector(x + h).values_at(t)
            - w @ baseline.with_vector(x - h).values_at(t)
        )
        / (2 * h[i])
        for i, h in enumerate(np.diag(steps))
    ]
    np.testing.assert_allclose(baseline.event_grad(t, w), numeric, rtol=1e-6, atol=1e-9)


def test_periodic_bins_exposure_and_scaling():
    b = PeriodicBaseline(24.0, n_bins=4, values=[1, 2, 3, 4], origin=2.0)
    assert b.values_at([2.0, 7.999, 8.0, 25.9, 26.0, 1.0]).tolist() == [1, 1, 2, 4, 1, 4]
    exposure = b.exposure(0.0, 100.0)
    assert math.isclose(exposure.sum(), 100.0) and exposure.tolist() == pytest.approx(
        [26, 24, 24, 26]
    )
    s = b._scaled(0.5)
    assert s.values_at([1.0, 4.0]).tolist() == [2 * 1, 2 * 2] and s.period == 12.0
    assert pickle.loads(pickle.dumps(b)) == b and "PeriodicBaseline(period=24" in repr(b)


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"period": 0.0, "n_bins": 2}, "period must be positive"),
        ({"period": 24.0}, "n_bins or edges"),
        ({"period": 24.0, "edges": [0, 12, 20]}, "from 0 to period"),
        ({"period": 24.0, "edges": [0, 12, 12, 24]}, "strictly increasing"),
        ({"period": 24.0, "n_bins": 2, "values": [1.0, -1.0]}, r"values\[1\]"),
        ({"period": 24.0, "n_bins": 2, "values": [1.0]}, "shape"),
    ],
)
def test_periodic_baseline_refuses_bad_structure(kwargs, error):
    with pytest.raises((ValueError, TypeError), match=error):
        PeriodicBaseline(**kwargs)


def test_with_baseline_checks_its_parts():
    with pytest.raises(TypeError, match="Baseline"):
        WithBaseline(vs.Exponential(), 0.5)
    with pytest.raises(ValueError, match="one baseline per dimension"):
        WithBaseline(
            vs.MultivariateExponential([0.1, 0.1], np.full((2, 2), 0.1), 1.0), BASELINES[0]
        )
    marked = vs.Events.from_arrays(
        HISTORY[0].times, 307.0, start_time=7.0, marks=np.ones(HISTORY.n_events)
    )
    with pytest.raises(NotImplementedError, match="MarkedExponential"):
        vs.fit(marked, WithBaseline(vs.MarkedExponential(), BASELINES[0]))
    # The kernel's own mu is replaced by the baseline; nothing the caller passed changes.
    kernel = vs.Exponential(0.7, 0.4, 2.0)
    model = WithBaseline(kernel, BASELINES[0])
    assert model.kernel_model.mu == 0.0 and kernel.mu == 0.7
    assert pickle.loads(pickle.dumps(model)) == model


@pytest.fixture(scope="module")
def periodic_data():
    truth = WithBaseline(
        vs.Exponential(0.0, 0.4, 2.0), PeriodicBaseline(24.0, n_bins=4, values=[0.2, 1.0, 2.0, 0.5])
    )
    return truth, truth.simulate(24 * 150.0, seed=5)


def test_fit_recovers_a_periodic_baseline_and_takes_names(periodic_data):
    truth, events = periodic_data
    template = WithBaseline(vs.Exponential(), PeriodicBaseline(24.0, n_bins=4))
    result = vs.fit(events, template, n_starts=1)
    assert result.converged and result.names[:4] == ("mu[0]", "mu[1]", "mu[2]", "mu[3]")
    z = (result.estimates - truth.to_vector()) / result.std_errors
    assert np.all(np.abs(z) < 4), z
    assert vs.goodness_of_fit(events, result.model).p_values[0] > 0.01
    held = vs.fit(events, template, fixed={"mu[3]": 0.5}, bounds={"mu": (0.05, 5.0)}, n_starts=1)
    assert held.params["mu[3]"] == 0.5 and "mu[3]" in held.fixed
    assert all(0.05 <= held.params[f"mu[{k}]"] <= 5.0 for k in range(3))


def test_log_linear_trend_is_recovered():
    truth = WithBaseline(vs.Exponential(0.0, 0.3, 2.0), LogLinearBaseline(0.3, 0.002))
    events = truth.simulate(1000.0, seed=8)
    result = vs.fit(events, WithBaseline(vs.Exponential(), LogLinearBaseline()), n_starts=1)
    z = (result.estimates - truth.to_vector()) / result.std_errors
    assert result.converged and np.all(np.abs(z) < 4), z


def test_simulation_is_reproducible_and_follows_the_baseline(periodic_data):
    truth, events = periodic_data
    assert truth.simulate(24 * 150.0, seed=5) == events
    assert truth.simulate(24 * 150.0, seed=5, n=2)[[0]] == events
    # Without excitation the counts per bin are Poisson with mean value x exposure.
    poisson = WithBaseline(vs.Exponential(0.0, 0.0, 1.0), truth.baseline)
    sample = poisson.simulate(24 * 400.0, seed=6, start_time=5.0)
    counts = np.bincount(truth.baseline.bins(sample[0].times), minlength=4)
    expected = truth.baseline.values * truth.baseline.exposure(5.0, 24 * 400.0)
    assert np.all(np.abs(counts - expected) < 4 * np.sqrt(expected))


def test_forecast_with_a_baseline_counts_the_baseline(periodic_data):
    truth, events = periodic_data
    poisson = WithBaseline(vs.Exponential(0.0, 0.0, 1.0), truth.baseline)
    f = poisson.forecast(events, 30.0, 2000, seed=3)
    mean, se = f.expected_count()
    T = events.end_times[0]
    assert abs(mean - truth.baseline.integral(T, T + 30.0)) < 4 * se
    assert (
        truth.forecast(events, 30.0, 50, seed=3).times.tobytes()
        == truth.forecast(events, 30.0, 50, seed=3).times.tobytes()
    )


@pytest.mark.parametrize("baseline", BASELINES, ids=lambda b: type(b).__name__)
def test_baseline_plot_draws(periodic_data, baseline):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    truth = WithBaseline(vs.Exponential(0.0, 0.3, 2.0), baseline)
    events = truth.simulate(500.0, seed=1)
    result = vs.fit(events, WithBaseline(vs.Exponential(), baseline), n_starts=1)
    ax = baseline_plot(result, start=0.0, end=500.0)
    assert ax.get_ylabel() == "baseline rate"


STUB = pathlib.Path(vs.__file__).parent / "_libvostrel_ext.pyi"


def test_extension_stub_declares_the_runtime_members_and_parameters():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    functions = [n for n in tree.body if isinstance(n, ast.FunctionDef)]
    assert {f.name for f in functions} == set(ext.__all__)
    for node in functions:
        runtime = list(inspect.signature(getattr(ext, node.name)).parameters)
        assert [a.arg for a in node.args.args] == runtime, node.name


@pytest.mark.parametrize("decay", ["shared", "per_cell", "fixed"])
def test_multivariate_baselines_per_dimension(decay):
    beta = [[1.0, 2.0], [3.0, 0.5]] if decay == "per_cell" else 1.5
    kernel = vs.MultivariateExponential([0.0, 0.0], [[0.3, 0.1], [0.2, 0.2]], beta, decay=decay)
    events = vs.MultivariateExponential([0.3, 0.2], kernel.alpha, beta, decay=decay).simulate(
        300.0, seed=2, start_time=7.0
    )
    model = WithBaseline(kernel, [BASELINES[0], LogLinearBaseline(0.3, 0.002)])
    assert model.param_names[:7] == (
        "mu[0,0]",
        "mu[0,1]",
        "mu[0,2]",
        "mu[0,3]",
        "mu[0,4]",
        "mu[1]",
        "trend[1]",
    )
    data, scaled = prepare(events, 0.25), model._scaled(0.25)
    x = scaled.to_vector()
    _, gradient = scaled._neg_ll_grad(data, x)
    steps = 1e-6 * np.abs(x) + 1e-9
    numeric = [
        (scaled._neg_ll_grad(data, x + h)[0] - scaled._neg_ll_grad(data, x - h)[0]) / (2 * h[i])
        for i, h in enumerate(np.diag(steps))
    ]
    np.testing.assert_allclose(gradient, numeric, rtol=1e-5, atol=1e-5)
    r = events[0]
    lam = model.intensity(events, r.times)[np.arange(r.n_events), r.dims]
    total = model._compensator_increments(r, model._history(r)).sum()
    assert math.isclose(model.neg_log_likelihood(events), total - np.log(lam).sum(), rel_tol=1e-12)
    # Constant baselines give the native multivariate likelihood (to rounding: other sum order).
    flat = WithBaseline(kernel, [PeriodicBaseline(24.0, n_bins=1, values=[v]) for v in (0.3, 0.2)])
    plain = vs.MultivariateExponential([0.3, 0.2], kernel.alpha, beta, decay=decay)
    assert math.isclose(
        flat.neg_log_likelihood(events), plain.neg_log_likelihood(events), rel_tol=1e-12
    )


INTERRUPTED_CHILD = r"""
import numpy as np
from vostrel import _libvostrel_ext as ext
m, n = 40, 2_000_000
times = np.sort(np.random.default_rng(1).uniform(0.0, 1e4, n))
dims = np.random.default_rng(2).integers(0, m, n)
print("ready", flush=True)
try:
    ext.mv_exp_varying_neg_ll_with_grad(
        times, dims, 1e4, np.full(n, 0.1), 1e3, np.full(m * m, 1e-3), np.full(m * m, 1.0)
    )
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/stat"), reason="needs /proc")
def test_extension_loops_are_interruptible():
    import signal
    import subprocess
    import sys
    import time

    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED_CHILD], stdout=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline().strip() == "ready"
        # Wait until the child has spent CPU time in the call (an event, not a fixed delay).
        ticks = os.sysconf("SC_CLK_TCK")

        def cpu_seconds():
            with open(f"/proc/{child.pid}/stat") as stat:
                return int(stat.read().rsplit(")", 1)[1].split()[11]) / ticks

        before = cpu_seconds()
        while cpu_seconds() < before + 0.3:
            time.sleep(0.01)
        child.send_signal(signal.SIGINT)
        assert child.stdout.readline().strip() == "interrupted"
        assert child.wait(timeout=60) == 0
    finally:
        child.kill()


@pytest.mark.parametrize("trend", [0.0, 1e-12, -1e-7, 1e-3])
def test_log_linear_is_smooth_through_a_zero_trend(trend):
    # Near trend = 0 the closed forms switch to series: the integral must match quadrature and
    # its trend derivative a difference quotient taken across the switch.
    b = LogLinearBaseline(0.4, trend, origin=3.0)
    a, e = 5.0, 45.0
    grid = np.linspace(a, e, 200_001)
    values = b.values_at(grid)
    assert math.isclose(
        b.integral(a, e),
        float(np.sum((values[1:] + values[:-1]) / 2) * (grid[1] - grid[0])),
        rel_tol=1e-9,
    )
    h = 1e-6
    numeric = (
        LogLinearBaseline(0.4, trend + h, 3.0).integral(a, e)
        - LogLinearBaseline(0.4, trend - h, 3.0).integral(a, e)
    ) / (2 * h)
    assert math.isclose(b.integral_grad(a, e)[1], numeric, rel_tol=1e-6)


def test_multivariate_periodic_fit_and_forecast_per_dimension():
    truth = WithBaseline(
        vs.MultivariateExponential([0.0, 0.0], [[0.3, 0.1], [0.2, 0.2]], 1.5),
        [PeriodicBaseline(24.0, n_bins=3, values=v) for v in ([0.2, 0.8, 0.5], [0.6, 0.1, 0.3])],
    )
    events = truth.simulate(24 * 60.0, seed=3)
    template = WithBaseline(
        vs.MultivariateExponential(), [PeriodicBaseline(24.0, n_bins=3) for _ in range(2)]
    )
    result = vs.fit(events, template, n_starts=1)
    z = (result.estimates - truth.to_vector()) / result.std_errors
    assert result.converged and np.all(np.abs(z) < 4), z
    f = result.model.forecast(events, 12.0, 300, seed=1)
    per_dim = [f.counts(dim=d) for d in range(2)]
    assert np.array_equal(per_dim[0] + per_dim[1], f.counts())
    assert np.array_equal(f.count_at([f.end_time], dim=1)[:, 0], per_dim[1])
