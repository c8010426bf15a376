# The piecewise-constant likelihood: an in-order reference bit for bit, where lags on the edges
# fall, the length check, and the gradient (exact, the model being linear in its values).
import bisect
import math

import numpy as np
import pytest

from vostrel._libvostrel.likelihood import uni_nonparametric_neg_ll, uni_nonparametric_neg_ll_with_grad


def bits(values):
    return [float(v).hex() for v in values]


def reference(times, T, mu, edges, values):
    times, edges, values = list(map(float, times)), list(map(float, edges)), list(map(float, values))
    M = len(values)
    log_sum = g_mu = 0.0
    g_v = [0.0] * M
    for i, ti in enumerate(times):
        s, counts = 0.0, [0] * M
        for tj in times[:i]:
            lag = ti - tj
            if 0.0 <= lag < edges[-1]:
                m = bisect.bisect_right(edges, lag) - 1
                if m >= 0:
                    s += values[m]
                    counts[m] += 1
        lam = s + mu
        lam = lam if lam > 1e-30 else 1e-30
        log_sum += math.log(lam)
        inv = 1.0 / lam
        g_mu += inv
        for m in range(M):
            if counts[m]:
                g_v[m] = counts[m] * inv + g_v[m]
    q, exposure = 0.0, [0.0] * M
    for t in times:
        d = T - t
        if d <= 0:
            continue
        m = 0
        while m < M and edges[m] < d:
            overlap = (edges[m + 1] if edges[m + 1] <= d else d) - edges[m]
            q += values[m] * overlap
            exposure[m] += overlap
            m += 1
    return (T * mu + q) - log_sum, T - g_mu, [exposure[m] - g_v[m] for m in range(M)]


CASES = [
    ([0.0, 0.5, 1.0, 2.0, 4.0], [0.3, 0.2, 0.1, 0.05]),
    ([0.5, 1.0, 2.0], [0.4, -0.1]),  # starts above 0; a negative value
    ([0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0, 1.5, 2.0, 3.0, 5.0, 8.0, 13.0], list(np.linspace(0.3, 0.01, 16))),
]


@pytest.mark.parametrize(("edges", "values"), CASES)
@pytest.mark.parametrize("n", [0, 1, 150])
def test_value_and_gradient_match_the_reference_bit_for_bit(rng, n, edges, values):
    times = np.sort(rng.uniform(0.0, 20.0, n))
    edges, values = np.array(edges), np.array(values)
    value = uni_nonparametric_neg_ll(times, 20.0, 0.3, edges, values)
    got = uni_nonparametric_neg_ll_with_grad(times, 20.0, 0.3, edges, values)
    ref = reference(times, 20.0, 0.3, edges, values)
    assert value.hex() == got[0].hex() == ref[0].hex()
    assert got[1].hex() == ref[1].hex() and bits(got[2]) == bits(ref[2])


def test_lags_on_edges():
    edges, values = np.array([0.0, 1.0, 2.0]), np.array([0.5, 0.25])
    mu = 0.1
    # lag 1.0 falls in the bin to its right; lag 2.0 (the last edge) in none
    on_inner = uni_nonparametric_neg_ll(np.array([0.0, 1.0]), 1.0, mu, edges, values)
    on_last = uni_nonparametric_neg_ll(np.array([0.0, 2.0]), 2.0, mu, edges, values)
    assert on_inner == pytest.approx(mu * 1.0 + 0.5 - math.log(mu) - math.log(mu + 0.25), rel=1e-15)
    assert on_last == pytest.approx(mu * 2.0 + (0.5 + 0.25) - 2 * math.log(mu), rel=1e-15)


def test_bins_below_the_first_edge_contribute_nothing():
    edges, values = np.array([0.5, 1.0, 2.0]), np.array([0.5, 0.25])
    value, g_mu, g_values = uni_nonparametric_neg_ll_with_grad(np.array([0.0, 0.2]), 0.4, 0.3, edges, values)
    assert value == pytest.approx(0.3 * 0.4 - 2 * math.log(0.3), rel=1e-15)
    assert g_values.tolist() == [0.0, 0.0]


def test_no_bins_is_a_poisson_process():
    times = np.array([0.2, 0.4, 0.9])
    value, g_mu, g_values = uni_nonparametric_neg_ll_with_grad(times, 1.0, 2.0, np.array([1.0]), np.empty(0))
    assert value == pytest.approx(2.0 - 3 * math.log(2.0), rel=1e-15)
    assert g_mu == pytest.approx(1.0 - 3 / 2.0) and g_values.shape == (0,)


@pytest.mark.parametrize("times", [np.empty(0), np.array([1.0])])
@pytest.mark.parametrize("func", [uni_nonparametric_neg_ll, uni_nonparametric_neg_ll_with_grad])
def test_edges_length_is_checked_even_without_events(func, times):
    with pytest.raises(ValueError) as info:
        func(times, 2.0, 0.5, np.arange(4.0), np.ones(2))
    assert str(info.value) == "invalid parameter: edges length (4) must be values length (2) + 1"


def test_empty_times():
    assert uni_nonparametric_neg_ll(np.empty(0), 4.0, 0.25, np.arange(3.0), np.ones(2)) == 1.0
    value, g_mu, g_values = uni_nonparametric_neg_ll_with_grad(np.empty(0), 4.0, 0.25, np.arange(3.0), np.ones(2))
    assert (value, g_mu, g_values.tolist()) == (1.0, 4.0, [0.0, 0.0])


@pytest.mark.parametrize("position", [0, 1, 2])
def test_contiguity_is_checked_times_edges_values(position):
    # the lengths do not match either: contiguity is tested first
    arrays = [np.array([0.0, 1.0]), np.arange(4.0), np.ones(2)]
    arrays[position] = np.repeat(arrays[position], 2)[::2]
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        uni_nonparametric_neg_ll_with_grad(arrays[0], 2.0, 0.5, arrays[1], arrays[2])


def test_unsorted_edges_and_nan_lags_stay_in_range():
    edges = np.array([3.0, 0.0, 2.0, 1.0])
    times = np.array([0.0, 0.5, math.nan, 2.5])
    value, g_mu, g_values = uni_nonparametric_neg_ll_with_grad(times, 4.0, 0.5, edges, np.ones(3))
    assert isinstance(value, float) and g_values.shape == (3,)


def test_gradient_matches_central_differences(rng):
    times = np.sort(rng.uniform(0.0, 30.0, 90))
    edges, values, mu = np.array([0.0, 0.3, 1.0, 2.5, 6.0]), np.array([0.3, 0.2, 0.1, 0.02]), 0.5
    _, g_mu, g_values = uni_nonparametric_neg_ll_with_grad(times, 30.0, mu, edges, values)
    h = 1e-6
    f = lambda mu, v: uni_nonparametric_neg_ll(times, 30.0, mu, edges, v)  # noqa: E731
    assert g_mu == pytest.approx((f(mu + h, values) - f(mu - h, values)) / (2 * h), rel=1e-6)
    for m in range(4):
        step = np.zeros(4)
        step[m] = h
        assert g_values[m] == pytest.approx((f(mu, values + step) - f(mu, values - step)) / (2 * h), rel=1e-6)
