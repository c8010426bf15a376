# The univariate exponential likelihood: bit equality with the in-order reference loop, the
# value of the gradient twin, edge cases, and the gradient against finite differences.
import math

import numpy as np
import pytest

from conftest import uni_exp_reference
from vostrel._libvostrel.likelihood import uni_exp_neg_ll, uni_exp_neg_ll_with_grad


def bits(values):
    return [float(v).hex() for v in values]


@pytest.mark.parametrize("n", [0, 1, 2, 255, 256, 257, 1000])
@pytest.mark.parametrize(("mu", "alpha", "beta"), [(0.7, 0.5, 1.3), (0.0, 0.9, 20.0), (2.0, -0.4, 0.01)])
def test_value_and_gradient_match_the_reference_bit_for_bit(rng, n, mu, alpha, beta):
    times = np.sort(rng.uniform(0.0, 50.0, n))
    value = uni_exp_neg_ll(times, 50.0, mu, alpha, beta)
    value2, grad = uni_exp_neg_ll_with_grad(times, 50.0, mu, alpha, beta)
    ref_value, ref_grad = uni_exp_reference(times, 50.0, mu, alpha, beta)
    assert value.hex() == value2.hex() == ref_value.hex()
    assert bits(grad) == bits(ref_grad)


def test_empty_times():
    assert uni_exp_neg_ll(np.empty(0), 4.0, 0.25, 0.5, 1.0) == 1.0
    value, grad = uni_exp_neg_ll_with_grad(np.empty(0), 4.0, 0.25, 0.5, 1.0)
    assert value == 1.0 and grad.tolist() == [4.0, 0.0, 0.0]


def test_single_event_sees_no_excitation():
    t0, T, mu, alpha, beta = 1.5, 4.0, 0.3, 0.5, 2.0
    expected = alpha * (1 - math.exp(-beta * (T - t0))) + mu * T - math.log(mu)
    assert uni_exp_neg_ll(np.array([t0]), T, mu, alpha, beta) == pytest.approx(expected, rel=1e-15)


def test_zero_baseline_floors_the_first_intensity():
    value, grad = uni_exp_neg_ll_with_grad(np.array([1.0, 2.0]), 3.0, 0.0, 0.5, 1.0)
    assert math.isfinite(value)
    assert value > -math.log(1e-30) - 10
    assert grad[0] < -1e29


def test_simultaneous_events_see_a_full_unit_of_excitation():
    alpha, beta, mu = 0.5, 2.0, 0.1
    value = uni_exp_neg_ll(np.array([1.0, 1.0]), 2.0, mu, alpha, beta)
    compensator = 2 * alpha * (1 - math.exp(-beta)) + mu * 2.0
    expected = compensator - math.log(mu) - math.log(alpha * beta + mu)
    assert value == pytest.approx(expected, rel=1e-14)


def test_nothing_is_validated_and_ieee_results_come_back():
    assert math.isnan(uni_exp_neg_ll(np.array([1.0]), 2.0, 0.5, 0.5, float("nan")))
    # an event after the horizon gives a negative compensator term, not an error
    assert np.isfinite(uni_exp_neg_ll(np.array([1.0, 3.0]), 2.0, 0.5, 0.5, 1.0))
    # an infinite intensity passes the floor: its log is +inf, against an infinite compensator
    assert math.isnan(uni_exp_neg_ll(np.array([1.0]), 2.0, float("inf"), 0.5, 1.0))


@pytest.mark.parametrize(("mu", "alpha", "beta"), [(0.8, 0.4, 1.7), (2.5, 0.9, 0.3)])
def test_gradient_matches_central_differences(rng, mu, alpha, beta):
    times = np.sort(rng.uniform(0.0, 30.0, 60))
    _, grad = uni_exp_neg_ll_with_grad(times, 30.0, mu, alpha, beta)
    params = np.array([mu, alpha, beta])
    for k in range(3):
        h = 1e-6 * max(1.0, abs(params[k]))
        up, down = params.copy(), params.copy()
        up[k] += h
        down[k] -= h
        numeric = (uni_exp_neg_ll(times, 30.0, *up) - uni_exp_neg_ll(times, 30.0, *down)) / (2 * h)
        assert grad[k] == pytest.approx(numeric, rel=1e-6, abs=1e-6)
