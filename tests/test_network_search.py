"""Row-by-row fits: per-row excitations, the search of other time scales, and what the result
says about it (vostrel.network, vostrel._rows)."""

import concurrent.futures
import math
import multiprocessing

import numpy as np
import pytest

import vostrel as vs
from vostrel import _rows, network

MV = vs.MultivariateExponential
TRUTH = MV([0.4, 0.3, 0.2], [[0.3, 0.1, 0.0], [0.2, 0.2, 0.1], [0.0, 0.3, 0.2]], 2.0, "fixed")


@pytest.fixture(scope="module")
def events():
    return TRUTH.simulate(1500.0, seed=4, n=2)


def per_cell():
    return MV(np.ones(3), np.zeros((3, 3)), np.ones((3, 3)), "per_cell")


def test_row_designs_over_realisations_match_the_sum_over_pairs():
    rng = np.random.default_rng(8)
    realisations = []
    for length in (40.0, 25.0):
        times = np.sort(rng.uniform(0, length, 150))
        times[[10, 11]] = times[10]  # a tie
        realisations.append(_rows.sources(times, rng.integers(0, 3, 150), length, 3))
    shared = _rows.designs(realisations, 0.8)
    for target in range(3):
        blocks = []
        for r in realisations:
            t = r.times[r.dims == target]
            lags = t[:, None] - r.times[None, :]
            blocks.append(np.stack(
                [np.where((lags > 0) & (r.dims[None, :] == j), np.exp(-0.8 * np.maximum(lags, 0)),
                          0.0).sum(1) for j in range(3)], axis=1))
        row = _rows.row_design(shared, target)
        np.testing.assert_allclose(row.design[:, 1:], 0.8 * np.concatenate(blocks), rtol=1e-12,
                                   atol=1e-300)
        assert np.all(row.design[:, 0] == 1.0)
    weights = sum(_rows.compensator_weights(r, 0.8) for r in realisations)
    np.testing.assert_allclose(row.linear, np.concatenate([[65.0], weights]), rtol=1e-14)


@pytest.mark.parametrize("seed", range(4))
def test_the_bound_that_skips_a_refit_never_skips_a_better_point(seed):
    rng = np.random.default_rng(seed)
    n, p = 300, 4
    design = np.concatenate([np.ones((n, 1)), rng.exponential(1.0, (n, p - 1))], axis=1)
    linear = np.concatenate([[n / 2.0], rng.uniform(10, 60, p - 1)])
    lower = np.zeros(p)
    lower[0] = 1e-9
    free = np.ones(p, dtype=bool)
    best = _rows.newton_row(_rows.RowDesign(design, linear), lower, free, np.full(p, 0.3),
                            np.zeros(p), 200, False)
    assert best.converged
    # Near the optimum (entries on their bounds kept there) the bound settles it for a target
    # just below the optimum ...
    near = np.where(best.theta > lower, best.theta * (1 + 1e-4 * rng.standard_normal(p)), lower)
    assert _rows.cannot_beat(design, linear, near, lower, free, best.value - 1e-3)
    # ... and never claims what the optimum contradicts, from anywhere.
    for scale in (0.5, 1.0, 2.0):
        start = np.maximum(best.theta * scale + 0.01 * rng.uniform(size=p), lower)
        assert not _rows.cannot_beat(design, linear, start, lower, free, best.value + 1e-6)


def test_per_cell_fit_searches_vanishing_cells_and_is_verified(events):
    result = vs.fit(events, per_cell())
    shared = vs.fit(events, MV(np.ones(3), np.zeros((3, 3)), 1.0, "shared"))
    assert result.converged
    assert result.log_likelihood >= shared.log_likelihood
    searched = [n for n in result.notes if "held at time scales" in n]
    assert len(searched) == 1 and "no higher likelihood was found" in searched[0]
    assert not any("not a verified optimum" in n for n in result.notes)
    # The cells reported as 0 have decays without standard errors, and say so.
    zero = np.argwhere(result.model.alpha == 0.0)
    for m, k in zero:
        assert math.isnan(result.std_errors[result.names.index(f"beta[{m},{k}]")])
    if len(zero):
        assert any("not identified" in n for n in result.notes)


def test_a_better_time_scale_is_found_from_a_wrong_decay(events):
    # Row 1 started with every decay at a time scale far from the data's: the search moves the
    # weak cells' decays and the final row is at least as good as a fit from the truth.
    prepared = network._prepare(events, per_cell())
    d = 3
    lo, hi = prepared.beta_box
    task = network._CellTask(
        prepared.realisations, [1], [], prepared.lower_mu, (lo, hi), 1000, True,
        {flag: network._time_scales(prepared, per) for flag, per in
         network._SCAN_PER_DECADE.items()},
    )
    row = _rows.cell_row(prepared.realisations, 1)
    s = prepared.scale
    far = np.concatenate([[0.3 / s], [0.2, 0.2, 0.1], np.full(d, 500.0 / s)])
    truth = np.concatenate([[0.3 / s], [0.2, 0.2, 0.1], np.full(d, 2.0 / s)])
    from_far = network._fit_cell_row(row, far, task)
    from_truth = network._fit_cell_row(row, truth, task)
    assert from_far.converged and from_far.clean and from_far.searched > 0
    assert from_far.value <= from_truth.value + 1e-6


def test_shared_decay_without_excitation_searches_the_profile():
    poisson = MV([0.5, 0.4], np.zeros((2, 2)), 1.0, "fixed").simulate(1000.0, seed=3)
    result = vs.fit(poisson, MV(np.ones(2), np.zeros((2, 2)), 1.0, "shared"))
    assert result.converged
    assert any("profile likelihood was evaluated at" in n for n in result.notes)
    # No excitation to speak of: the baselines are the rates.
    counts = np.bincount(poisson[0].dims, minlength=2)
    np.testing.assert_allclose(result.model.mu, counts / poisson.total_duration, rtol=0.05)


def test_per_cell_rows_on_a_process_pool_are_the_serial_fit_bit_for_bit(events):
    serial = vs.fit(events, per_cell())
    context = multiprocessing.get_context("forkserver")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        pooled = vs.fit(events, per_cell(), executor=pool)
    assert serial.estimates.tobytes() == pooled.estimates.tobytes()
    assert serial.std_errors.tobytes() == pooled.std_errors.tobytes()
    assert serial.notes == pooled.notes


def test_memory_estimate_grows_with_the_largest_row_not_with_n_times_d():
    small_rows = network.memory_needed(10**6, 100, False, 10**4)
    assert small_rows < 10**6 * 100 // 4  # far below the N·D excitations of every event
    assert network.memory_needed(10**6, 100, False, 10**5) > small_rows
