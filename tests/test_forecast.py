# Forecasts from an observed history: the exponential model's expected count against its closed
# form, every simulating family, the same bits on every executor, and the summaries.
import concurrent.futures
import math
import multiprocessing
import pickle

import numpy as np
import pytest

import vostrel as vs
from vostrel.forecast import Forecast

MODEL = vs.Exponential(mu=0.5, alpha=0.6, beta=2.0)


@pytest.fixture(scope="module")
def history():
    return MODEL.simulate(200.0, seed=3)


def closed_form(model, r, h):
    """E[N(T+h) - N(T) | history]: the mean intensity relaxes from λ(T) to μ/(1-α) at rate
    β(1-α)."""
    lam = model.mu + np.sum(model.alpha * model.beta * np.exp(-model.beta * (r.end_time - r.times)))
    rate, level = model.beta * (1 - model.alpha), model.mu / (1 - model.alpha)
    return level * h + (lam - level) * (1 - math.exp(-rate * h)) / rate


@pytest.mark.parametrize("tail", [0.0, 0.05, 3.0])
@pytest.mark.parametrize("h", [0.5, 10.0])
def test_expected_count_matches_the_closed_form_for_the_exponential(tail, h):
    # A burst just before T (tail 0.05: its excitation is still high) and a quiet end (tail 3).
    times = np.concatenate([np.linspace(1.0, 20.0, 30), 30.0 - tail - np.array([0.03, 0.02, 0.01])])
    events = vs.Events.from_arrays(np.sort(times), 30.0)
    f = MODEL.forecast(events, h, 4000, seed=11)
    mean, se = f.expected_count()
    assert abs(mean - closed_form(MODEL, events[0], h)) < 4 * se


@pytest.mark.parametrize(
    "model",
    [
        vs.SumExponential(0.4, [0.3, 0.2], [0.5, 4.0]),
        vs.ApproxPowerLaw(0.4, 0.5),
        vs.PowerLaw(0.4, 0.3, 1.0, 1.0),
        vs.Nonparametric(0.4),
        vs.MultivariateExponential([0.3, 0.2], [[0.3, 0.1], [0.2, 0.2]], 2.0),
        vs.MultivariateExponential(
            [0.3, 0.2], [[0.3, 0.1], [0.2, 0.2]], [[1.0, 2.0], [3.0, 0.5]], decay="per_cell"
        ),
    ],
    ids=lambda m: type(m).__name__,
)
def test_every_simulating_family_forecasts_and_history_raises_the_count(model):
    quiet = model.simulate(100.0, seed=1)
    r = quiet[0]
    # The same history with a burst of events at its very end excites the near future.
    burst_t = np.concatenate([r.times, 99.9 + 0.01 * np.arange(1, 6)])
    burst_d = None if model.n_dims == 1 else np.concatenate([r.dims, np.zeros(5, dtype=np.int64)])
    order = np.argsort(burst_t, kind="stable")
    burst = vs.Events.from_arrays(
        burst_t[order], 100.0, dims=None if burst_d is None else burst_d[order], n_dims=model.n_dims
    )
    a = model.forecast(quiet, 1.0, 2000, seed=2)
    b = model.forecast(burst, 1.0, 2000, seed=2)
    assert b.expected_count()[0] > a.expected_count()[0] + 4 * b.expected_count()[1]
    for k in (0, 1999):
        times, dims = b.path(k)
        assert np.all(np.diff(times) >= 0) and np.all((times >= 100.0) & (times < 101.0))
        assert (dims is None) == (model.n_dims == 1)


def test_forecast_is_the_same_bits_on_every_executor(history):
    serial = MODEL.forecast(history, 5.0, 50, seed=4)
    assert pickle.loads(pickle.dumps(serial)).times.tobytes() == serial.times.tobytes()
    # A path does not depend on how many paths are drawn.
    fewer = MODEL.forecast(history, 5.0, 20, seed=4)
    assert np.array_equal(fewer.path(19)[0], serial.path(19)[0])
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        threaded = MODEL.forecast(history, 5.0, 50, seed=4, executor=pool, batch_size=7)
    ctx = multiprocessing.get_context("forkserver")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=ctx) as pool:
        processes = MODEL.forecast(history, 5.0, 50, seed=4, executor=pool, batch_size=3)
    for other in (threaded, processes):
        assert np.array_equal(other.offsets, serial.offsets)
        assert other.times.tobytes() == serial.times.tobytes()


def test_forecast_on_dask_matches_serial(history):
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(
            n_workers=1,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        remote = MODEL.forecast(history, 5.0, 30, seed=4, executor=client)
    assert remote.times.tobytes() == MODEL.forecast(history, 5.0, 30, seed=4).times.tobytes()


def test_summaries_agree_with_the_paths(history):
    f = MODEL.forecast(history, 4.0, 300, seed=5)
    T = f.start_time
    counts = f.counts()
    assert counts.sum() == f.times.shape[0]
    assert np.array_equal(f.count_at([f.end_time])[:, 0], counts)
    half = f.counts(T, T + 2.0) + f.counts(T + 2.0, f.end_time)
    assert np.array_equal(half, counts)
    p, se = f.prob_at_least(3, T, T + 1.0)
    assert p == np.mean(f.counts(T, T + 1.0) >= 3) and 0 <= se < 0.05
    q = f.quantiles([T, T + 2.0, f.end_time], [0.1, 0.5, 0.9])
    assert q.shape == (3, 3) and np.all(np.diff(q, axis=0) >= 0) and np.all(np.diff(q, axis=1) >= 0)
    assert (
        q[:, 0].tolist() == [0, 0, 0] and "expected count" in f.summary() and "Forecast(" in repr(f)
    )
    assert not f.times.flags.writeable


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"horizon": 0.0}, "horizon"),
        ({"n_paths": 0}, "n_paths"),
        ({"realization": 1}, "realization"),
        ({"seed": -1}, "seed"),
    ],
)
def test_bad_arguments_are_named(history, kwargs, error):
    args = {"horizon": 1.0, "n_paths": 5, "seed": 1} | kwargs
    with pytest.raises(ValueError, match=error):
        MODEL.forecast(history, **args)


def test_models_without_a_simulator_refuse_to_forecast(history):
    marked = vs.Events.from_arrays(history[0].times, 200.0, marks=np.ones(history.n_events))
    with pytest.raises(NotImplementedError, match="cannot forecast"):
        vs.MarkedExponential().forecast(marked, 1.0, 5, seed=1)
    with_baseline = vs.WithBaseline(vs.MarkedExponential(), vs.PeriodicBaseline(1.0, n_bins=2))
    with pytest.raises(NotImplementedError, match="cannot forecast"):
        with_baseline.forecast(marked, 1.0, 5, seed=1)
    with pytest.raises(ValueError, match="branching ratio"):
        vs.Exponential(1.0, 1.2, 1.0).forecast(history, 1.0, 5, seed=1)


def test_fan_chart_draws(history, tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    ax = MODEL.forecast(history, 4.0, 100, seed=5).plot()
    assert len(ax.collections) == 3
    ax.figure.savefig(tmp_path / "fan.png")
