"""Row-by-row fits of multivariate exponential models (vostrel.network)."""

import concurrent.futures
import math
import multiprocessing
import pickle

import numpy as np
import pytest

import vostrel as vs
from vostrel import _rows, network
from vostrel.network import l1_path

MV = vs.MultivariateExponential
TRUTH = MV([0.4, 0.3, 0.2], [[0.3, 0.1, 0.0], [0.2, 0.2, 0.1], [0.0, 0.3, 0.2]], 2.0, "fixed")


@pytest.fixture(scope="module")
def events():
    return TRUTH.simulate(1500.0, seed=4, n=2)


def start(decay):
    beta = np.ones((3, 3)) if decay == "per_cell" else (2.0 if decay == "fixed" else 1.0)
    return MV(np.ones(3), np.zeros((3, 3)), beta, decay)


def rows_of(pair):
    matrix, position = pair
    return matrix if position is None else matrix[position]


def test_excitations_match_the_sum_over_pairs_with_and_without_ties():
    rng = np.random.default_rng(3)
    times = np.sort(rng.uniform(0, 50, 300))
    times[[40, 41]] = times[40]  # a tie across two dimensions
    dims = rng.integers(0, 3, 300)
    dims[40], dims[41] = 0, 1
    data = _rows.sources(times, dims, 50.0, 3)
    lags = times[:, None] - times[None, :]
    expected = np.stack(
        [np.where((lags > 0) & (dims[None, :] == j), np.exp(-1.5 * np.maximum(lags, 0)), 0.0).sum(1)
         for j in range(3)],
        axis=1,
    )
    np.testing.assert_allclose(rows_of(_rows.excitations(data, 1.5)), expected, rtol=1e-12,
                               atol=1e-300)
    distinct = _rows.sources(np.delete(times, 41), np.delete(dims, 41), 50.0, 3)
    keep = np.delete(np.arange(300), 41)
    lags = times[keep][:, None] - times[keep][None, :]
    kept_dims = dims[keep]
    direct = np.stack(
        [np.where((lags > 0) & (kept_dims[None, :] == j), np.exp(-1.5 * np.maximum(lags, 0)), 0.0).sum(1)
         for j in range(3)],
        axis=1,
    )
    np.testing.assert_allclose(rows_of(_rows.excitations(distinct, 1.5)), direct, rtol=1e-12,
                               atol=1e-300)


@pytest.mark.parametrize("decay", ["fixed", "shared"])
def test_rows_reach_the_joint_optimum_with_the_same_standard_errors(events, decay):
    rows = vs.fit(events, start(decay))
    joint = vs.fit(events, start(decay), bounds={}, n_starts=1)  # bounds: the joint L-BFGS-B fit
    assert rows.converged and joint.converged
    assert rows.n_hessian_evaluations == 0 and rows.names == joint.names
    ll_rows, ll_joint = rows.model.log_likelihood(events), joint.model.log_likelihood(events)
    assert ll_rows >= ll_joint - 1e-7
    assert rows.log_likelihood == pytest.approx(ll_rows, abs=1e-8)
    np.testing.assert_allclose(rows.estimates, joint.estimates, rtol=2e-4, atol=1e-6)
    assert rows.on_bound == joint.on_bound
    np.testing.assert_allclose(rows.std_errors, joint.std_errors, rtol=2e-3)
    finite = np.isfinite(joint.covariance)
    np.testing.assert_allclose(rows.covariance[finite], joint.covariance[finite], rtol=2e-3,
                               atol=1e-3 * np.nanmax(np.abs(joint.covariance)))


def test_per_cell_decays_start_from_the_shared_fit_and_never_end_below_it(events):
    shared = vs.fit(events, start("shared"))
    cells = vs.fit(events, start("per_cell"))
    assert cells.log_likelihood >= shared.log_likelihood
    assert cells.model.decay == "per_cell" and cells.model.beta.shape == (3, 3)
    assert cells.log_likelihood == pytest.approx(cells.model.log_likelihood(events), abs=1e-6)
    assert any("shared-decay fit" in note for note in cells.notes)


@pytest.mark.parametrize("kind", ["thread", "process"])
def test_rows_on_an_executor_are_the_serial_fit_bit_for_bit(events, kind):
    if kind == "thread":
        pool = concurrent.futures.ThreadPoolExecutor(2)
    else:
        context = multiprocessing.get_context("forkserver")
        pool = concurrent.futures.ProcessPoolExecutor(2, mp_context=context)
    with pool:
        for decay in ("fixed", "shared"):
            serial = vs.fit(events, start(decay))
            parallel = vs.fit(events, start(decay), executor=pool)
            assert serial.estimates.tobytes() == parallel.estimates.tobytes()
            assert serial.std_errors.tobytes() == parallel.std_errors.tobytes()
            assert serial.log_likelihood == parallel.log_likelihood
        path = l1_path(events, start("fixed"), n_strengths=4)
        pooled = l1_path(events, start("fixed"), n_strengths=4, executor=pool)
        assert path.alphas.tobytes() == pooled.alphas.tobytes()


@pytest.mark.parametrize(
    "model", [start("fixed"), start("shared"), vs.Exponential()], ids=["fixed", "shared", "uni"]
)
def test_std_errors_false_gives_the_same_estimates_without_errors(events, model):
    data = events if isinstance(model, MV) else vs.Exponential(0.5, 0.5, 2.0).simulate(500.0, seed=1)
    with_errors = vs.fit(data, model, n_starts=1)
    without = vs.fit(data, model, n_starts=1, std_errors=False)
    if isinstance(model, MV):
        assert with_errors.estimates.tobytes() == without.estimates.tobytes()
    else:  # with errors, Newton steps on the observed information polish the last digits
        np.testing.assert_allclose(without.estimates, with_errors.estimates, rtol=1e-5)
        assert without.converged and without.n_hessian_evaluations == 0
    assert np.all(np.isnan(without.std_errors)) and np.all(np.isnan(without.covariance))
    assert np.all(np.isfinite(with_errors.std_errors[: len(model.param_info()) - 1][:1]))
    assert without.n_hessian_evaluations == 0


def test_penalised_fit_says_so_and_large_strengths_empty_the_network(events):
    plain = vs.fit(events, start("fixed"))
    zero = vs.fit(events, start("fixed"), penalty=0.0)
    np.testing.assert_allclose(zero.estimates, plain.estimates, rtol=1e-7, atol=1e-10)
    assert np.all(np.isnan(zero.std_errors))
    assert any("penalised" in note and "refit" in note for note in zero.notes)
    shrunk = vs.fit(events, start("fixed"), penalty=50.0)
    assert shrunk.model.alpha.sum() < plain.model.alpha.sum()
    empty = vs.fit(events, start("fixed"), penalty=1e9)
    assert not empty.model.alpha.any() and empty.converged
    # With alpha at zero the baseline is each dimension's rate.
    counts = np.sum([np.bincount(r.dims, minlength=3) for r in events], axis=0)
    np.testing.assert_allclose(empty.model.mu, counts / events.total_duration, rtol=1e-8)


@pytest.mark.parametrize(
    "model, kwargs, error, text",
    [
        (start("shared"), dict(penalty=1.0), ValueError, "penalty needs decay='fixed'"),
        (start("fixed"), dict(penalty=-1.0), ValueError, "penalty must be a non-negative"),
        (start("fixed"), dict(penalty=1.0, fixed=["mu"]), ValueError, "cannot be combined"),
        (vs.Exponential(), dict(penalty=1.0), ValueError, "MultivariateExponential models only"),
        (start("fixed"), dict(std_errors="no"), TypeError, "std_errors must be True or False"),
    ],
)
def test_bad_penalty_and_std_errors_arguments(events, model, kwargs, error, text):
    data = events if isinstance(model, MV) else vs.Events.from_arrays([1.0, 2.0], 3.0)
    with pytest.raises(error, match=text):
        vs.fit(data, model, **kwargs)


def test_l1_path_recovers_a_sparse_network_and_refits_its_support():
    d = 6
    rng = np.random.default_rng(11)
    nonzero = rng.uniform(size=(d, d)) < 0.2
    alpha = np.where(nonzero, rng.uniform(0.3, 0.6, (d, d)), 0.0)
    alpha *= 0.7 / max(np.max(np.abs(np.linalg.eigvals(alpha))), 0.7)
    truth = MV(np.full(d, 0.3), alpha, 2.0, "fixed")
    events = truth.simulate(4000.0, seed=5)
    path = l1_path(events, MV(np.ones(d), np.zeros((d, d)), 2.0, "fixed"))
    assert np.all(np.diff(path.strengths) < 0) and path.alphas.shape == (40, d, d)
    # The strongest penalty empties every row; BIC picks a support per row.
    assert not path.alphas[0].any()
    hits = (path.support & nonzero).sum()
    assert hits / path.support.sum() >= 0.9 and hits / nonzero.sum() >= 0.9
    refit = path.refit()
    held = {f"alpha[{m},{k}]" for m in range(d) for k in range(d) if not path.support[m, k]}
    assert set(refit.fixed) == held and refit.converged
    assert not refit.model.alpha[~path.support].any()
    free = [i for i, n in enumerate(refit.names) if n not in held and n not in refit.on_bound]
    assert np.all(np.isfinite(refit.std_errors[free]))
    assert "SparsePath" in repr(path)


def test_a_fit_that_cannot_fit_in_memory_is_refused_before_it_starts(events, monkeypatch):
    monkeypatch.setenv("VOSTREL_MEMORY_LIMIT", "1000")
    with pytest.raises(MemoryError, match=r"3 dimensions needs \d+ doubles"):
        vs.fit(events, start("fixed"))


def test_large_covariances_are_not_formed_and_the_result_still_pickles(events, monkeypatch):
    monkeypatch.setattr(network, "_dense_covariance", lambda n, d: False)
    result = vs.fit(events, start("fixed"))
    assert np.all(np.isnan(result.covariance)) and result.covariance.strides == (0, 0)
    assert np.isfinite(result.std_errors[:3]).all()
    assert any("was not formed" in note for note in result.notes)
    restored = pickle.loads(pickle.dumps(result))
    assert restored.estimates.tobytes() == result.estimates.tobytes()
    assert "mu[0]" in result.summary() and "<table>" in result._repr_html_()
    assert math.isfinite(restored.conf_int()[0, 0])


def test_per_cell_row_derivatives_match_the_model_and_central_differences():
    truth = MV([0.4, 0.3, 0.2], [[0.3, 0.1, 0.0], [0.2, 0.2, 0.1], [0.0, 0.3, 0.2]],
               [[1.0, 2.0, 3.0], [2.0, 1.5, 1.0], [1.0, 1.0, 2.0]], "per_cell")
    data = truth.simulate(300.0, seed=2, n=2)
    realisations = [_rows.sources(r.times.copy(), r.dims, r.end_time, 3) for r in data]
    total = 0.0
    for m in range(3):
        x = np.concatenate([[truth.mu[m]], truth.alpha[m], truth.beta[m]])
        total += _rows.cell_derivatives(_rows.cell_row(realisations, m), x)[0]
    assert total == pytest.approx(truth.neg_log_likelihood(data), rel=1e-12)
    row = _rows.cell_row(realisations, 1)
    x = np.concatenate([[0.3], truth.alpha[1], truth.beta[1]])
    value, gradient, hessian = _rows.cell_derivatives(row, x)
    numeric = np.empty((7, 7))
    for i in range(7):
        h = 1e-6 * max(abs(x[i]), 1e-3)
        plus, minus = x.copy(), x.copy()
        plus[i] += h
        minus[i] -= h
        numeric[:, i] = (
            _rows.cell_derivatives(row, plus)[1] - _rows.cell_derivatives(row, minus)[1]
        ) / (2 * h)
        assert gradient[i] == pytest.approx(
            (_rows.cell_derivatives(row, plus)[0] - _rows.cell_derivatives(row, minus)[0]) / (2 * h),
            rel=1e-5, abs=1e-6,
        )
    np.testing.assert_allclose(hessian, numeric, rtol=1e-5, atol=1e-6 * np.abs(hessian).max())


@pytest.mark.parametrize("decay", ["fixed", "shared"])
def test_one_dimension_is_the_univariate_exponential_fit(decay):
    data = vs.Exponential(0.5, 0.5, 2.0).simulate(500.0, seed=1)
    one = vs.Events.from_arrays(data[0].times, data[0].end_time, n_dims=1)
    beta = 2.0 if decay == "fixed" else 1.0
    rows = vs.fit(one, MV([1.0], [[0.0]], beta, decay))
    fixed = {"beta": 2.0} if decay == "fixed" else None
    uni = vs.fit(data, vs.Exponential(), fixed=fixed)
    keep = [0, 1] if decay == "fixed" else [0, 1, 2]
    assert rows.log_likelihood == pytest.approx(uni.log_likelihood, abs=1e-7)
    np.testing.assert_allclose(rows.estimates, uni.estimates[keep], rtol=1e-5)
    np.testing.assert_allclose(rows.std_errors, uni.std_errors[keep], rtol=1e-4)


def test_a_dimension_without_events_leaves_the_other_rows_their_errors():
    data = TRUTH.simulate(800.0, seed=6)
    r = data[0]
    keep = r.dims != 2
    events = vs.Events.from_arrays(r.times[keep], r.end_time, dims=r.dims[keep], n_dims=3)
    result = vs.fit(events, start("fixed"))
    assert result.converged
    assert result.model.mu[2] == pytest.approx(0.0, abs=1e-6) and not result.model.alpha[2].any()
    assert np.isfinite(result.std_errors[:2]).all() and math.isnan(result.std_errors[2])
    assert {"mu[2]", "alpha[2,0]", "alpha[2,1]"} <= set(result.on_bound)
    # Nothing of dimension 2 excites: its column is held at zero, without errors.
    assert not result.model.alpha[:, 2].any()
    column = [result.names.index(f"alpha[{m},2]") for m in range(3)]
    assert np.all(np.isnan(result.std_errors[column]))
    assert any("have no events" in note for note in result.notes)


def test_shared_decay_starts_from_the_model_when_asked(events):
    model = MV(np.ones(3), np.zeros((3, 3)), 7.0, "shared")
    result = vs.fit(events, model, start="model", seed=5)
    assert result.starts[0].start[-1] == pytest.approx(7.0)
    assert result.seed == 5 and len(result.starts) == 1
    assert result.model.beta == pytest.approx(vs.fit(events, start("shared")).model.beta, rel=1e-6)
