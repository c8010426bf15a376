# The marked exponential likelihood: an in-order reference bit for bit across event blocks,
# identity with the exponential model for unit marks, the length check, and the gradient.
import math

import numpy as np
import pytest

from vostrel._libvostrel.likelihood import (
    marked_uni_exp_neg_ll,
    marked_uni_exp_neg_ll_with_grad,
    uni_exp_neg_ll,
    uni_exp_neg_ll_with_grad,
)


def bits(values):
    return [float(v).hex() for v in values]


def reference(times, marks, T, mu, alpha, beta):
    ab = alpha * beta
    a = d = p = log_sum = g_mu = g_alpha = g_beta = 0.0
    for t, g in zip(map(float, times), map(float, marks)):
        delta = t - p
        e = math.exp(delta * (-beta))
        r = a * e
        dn = d * e - delta * r
        lam = ab * r + mu
        lam = lam if lam > 1e-30 else 1e-30
        inv = 1.0 / lam
        g_beta += ((beta * dn + r) * alpha) * inv
        g_alpha += (beta * r) * inv
        g_mu += inv
        d = dn
        log_sum += math.log(lam)
        a = r + g
        p = t
    s1 = s2 = 0.0
    for t, g in zip(map(float, times), map(float, marks)):
        dt = T - t
        f = math.exp(dt * (-beta))
        s1 += g * (1.0 - f)
        s2 += f * (dt * g)
    return (alpha * s1 + mu * T) - log_sum, [T - g_mu, s1 - g_alpha, alpha * s2 - g_beta]


@pytest.mark.parametrize("n", [1, 255, 256, 257, 700])
@pytest.mark.parametrize(("mu", "alpha", "beta"), [(0.7, 0.5, 1.3), (0.0, 0.9, 20.0)])
def test_value_and_gradient_match_the_reference_bit_for_bit(rng, n, mu, alpha, beta):
    times = np.sort(rng.uniform(0.0, 50.0, n))
    marks = rng.uniform(-0.5, 3.0, n)
    value = marked_uni_exp_neg_ll(times, marks, 50.0, mu, alpha, beta)
    value2, grad = marked_uni_exp_neg_ll_with_grad(times, marks, 50.0, mu, alpha, beta)
    ref_value, ref_grad = reference(times, marks, 50.0, mu, alpha, beta)
    assert value.hex() == value2.hex() == ref_value.hex()
    assert bits(grad) == bits(ref_grad)


@pytest.mark.parametrize("n", [0, 1, 300])
def test_unit_marks_are_the_exponential_model(rng, n):
    times = np.sort(rng.uniform(0.0, 40.0, n))
    args = (40.0, 0.6, 0.45, 1.7)
    assert marked_uni_exp_neg_ll(times, np.ones(n), *args).hex() == uni_exp_neg_ll(times, *args).hex()
    value, grad = marked_uni_exp_neg_ll_with_grad(times, np.ones(n), *args)
    exp_value, exp_grad = uni_exp_neg_ll_with_grad(times, *args)
    assert bits([value, *grad]) == bits([exp_value, *exp_grad])


def test_zero_marks_give_a_poisson_process():
    times = np.array([0.5, 1.0, 1.5])
    value, grad = marked_uni_exp_neg_ll_with_grad(times, np.zeros(3), 2.0, 0.5, 0.8, 1.2)
    assert value == pytest.approx(0.5 * 2.0 - 3 * math.log(0.5), rel=1e-15)
    assert grad[1] == 0.0 and grad[2] == 0.0


def test_last_mark_enters_only_the_compensator():
    times = np.array([0.5, 1.0, 1.5])
    base = marked_uni_exp_neg_ll(times, np.array([1.0, 2.0, 0.0]), 2.0, 0.5, 0.8, 1.2)
    more = marked_uni_exp_neg_ll(times, np.array([1.0, 2.0, 1.0]), 2.0, 0.5, 0.8, 1.2)
    assert more - base == pytest.approx(0.8 * (1 - math.exp(-1.2 * 0.5)), rel=1e-12)


@pytest.mark.parametrize(
    ("times", "marks", "message"),
    [(np.ones(3), np.ones(2), "times.len() (3) != g_values.len() (2)"), (np.empty(0), np.ones(1), "times.len() (0) != g_values.len() (1)")],
)
@pytest.mark.parametrize("func", [marked_uni_exp_neg_ll, marked_uni_exp_neg_ll_with_grad])
def test_length_mismatch(func, times, marks, message):
    with pytest.raises(ValueError) as info:
        func(times, marks, 2.0, 0.5, 0.5, 1.0)
    assert str(info.value) == "invalid parameter: " + message


def test_empty_and_contiguity():
    assert marked_uni_exp_neg_ll(np.empty(0), np.empty(0), 4.0, 0.25, 0.5, 1.0) == 1.0
    value, grad = marked_uni_exp_neg_ll_with_grad(np.empty(0), np.empty(0), 4.0, 0.25, 0.5, 1.0)
    assert value == 1.0 and grad.tolist() == [4.0, 0.0, 0.0]
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        marked_uni_exp_neg_ll(np.ones(2), np.ones(6)[::2], 2.0, 0.5, 0.5, 1.0)  # lengths differ too


def test_gradient_matches_central_differences(rng):
    times = np.sort(rng.uniform(0.0, 30.0, 80))
    marks = rng.uniform(0.2, 2.0, 80)
    params = np.array([0.8, 0.4, 1.7])
    _, grad = marked_uni_exp_neg_ll_with_grad(times, marks, 30.0, *params)
    for k in range(3):
        h = 1e-6
        up, down = params.copy(), params.copy()
        up[k] += h
        down[k] -= h
        numeric = (marked_uni_exp_neg_ll(times, marks, 30.0, *up) - marked_uni_exp_neg_ll(times, marks, 30.0, *down)) / (2 * h)
        assert grad[k] == pytest.approx(numeric, rel=1e-6, abs=1e-7)
