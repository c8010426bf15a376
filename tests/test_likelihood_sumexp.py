# The sum-of-exponentials likelihood: both routines against plain in-order reference loops (bit
# for bit, across the event blocks and the unblocked path for many components), agreement with
# the exponential model at K = 1, the validation of each function, and the gradient against
# central differences.
import math

import numpy as np
import pytest

from vostrel._libvostrel.likelihood import (
    uni_exp_neg_ll,
    uni_exp_neg_ll_with_grad,
    uni_sumexp_neg_ll,
    uni_sumexp_neg_ll_with_grad,
)


def bits(values):
    return [float(v).hex() for v in values]


def floor(lam):
    return lam if lam > 1e-30 else 1e-30


def sumexp_value_reference(times, T, mu, alphas, betas):
    K = len(alphas)
    a = [0.0] * K
    p = log_sum = 0.0
    for t in map(float, times):
        lam = mu
        for k in range(K):
            e = math.exp((-betas[k]) * (t - p))
            r = e * a[k]
            a[k] = r + 1.0
            lam = lam + (betas[k] * alphas[k]) * r
        log_sum += math.log(floor(lam))
        p = t
    q = 0.0
    for t in map(float, times):
        d = T - t
        for k in range(K):
            q = q + (1.0 - math.exp((-betas[k]) * d)) * alphas[k]
    return (T * mu + q) - log_sum


def sumexp_grad_reference(times, T, mu, alphas, betas):
    K = len(alphas)
    a, dd, ga, gb = [0.0] * K, [0.0] * K, [0.0] * K, [0.0] * K
    p = log_sum = g_mu = 0.0
    for t in map(float, times):
        delta = t - p
        lam = mu
        rs, ds = [], []
        for k in range(K):
            e = math.exp((-betas[k]) * delta)
            r = a[k] * e
            rs.append(r)
            ds.append(e * dd[k] - delta * r)
            lam = lam + (betas[k] * alphas[k]) * r
        lam = floor(lam)
        inv = 1.0 / lam
        for k in range(K):
            ga[k] = (betas[k] * rs[k]) * inv + ga[k]
            gb[k] = ((betas[k] * ds[k] + rs[k]) * alphas[k]) * inv + gb[k]
            a[k] = rs[k] + 1.0
            dd[k] = ds[k]
        log_sum += math.log(lam)
        g_mu += inv
        p = t
    c, s2 = [0.0] * K, [0.0] * K
    for t in map(float, times):
        d = T - t
        for k in range(K):
            f = math.exp((-betas[k]) * d)
            c[k] = (1.0 - f) + c[k]
            s2[k] = f * d + s2[k]
    x = 0.0
    for k in range(K):
        x = x + alphas[k] * c[k]
    value = (mu * T + x) - log_sum
    return value, T - g_mu, [c[k] - ga[k] for k in range(K)], [alphas[k] * s2[k] - gb[k] for k in range(K)]


def components(rng, K):
    return rng.uniform(0.05, 0.3, K), rng.uniform(0.2, 5.0, K)


# Event counts straddle the blocks (256 events for K <= 4, 204 for K = 5).
@pytest.mark.parametrize(("n", "K"), [(1, 1), (257, 1), (255, 3), (513, 4), (205, 5), (409, 5), (600, 7)])
def test_both_routines_match_in_order_references_bit_for_bit(rng, n, K):
    times = np.sort(rng.uniform(0.0, 100.0, n))
    alphas, betas = components(rng, K)
    value = uni_sumexp_neg_ll(times, 100.0, 0.4, alphas, betas)
    assert value.hex() == sumexp_value_reference(times, 100.0, 0.4, alphas, betas).hex()
    got = uni_sumexp_neg_ll_with_grad(times, 100.0, 0.4, alphas, betas)
    ref = sumexp_grad_reference(times, 100.0, 0.4, alphas, betas)
    assert bits(got[:2]) == bits(ref[:2])
    assert bits(got[2]) == bits(ref[2]) and bits(got[3]) == bits(ref[3])


def test_more_components_than_one_block_holds(rng):
    times = np.sort(rng.uniform(0.0, 10.0, 6))
    alphas, betas = components(rng, 1100)
    alphas /= 1100
    assert uni_sumexp_neg_ll(times, 10.0, 0.4, alphas, betas).hex() == sumexp_value_reference(
        times, 10.0, 0.4, alphas, betas
    ).hex()
    got = uni_sumexp_neg_ll_with_grad(times, 10.0, 0.4, alphas, betas)
    ref = sumexp_grad_reference(times, 10.0, 0.4, alphas, betas)
    assert got[0].hex() == ref[0].hex() and bits(got[3]) == bits(ref[3])


@pytest.mark.parametrize("n", [0, 1, 300])
def test_one_component_gradient_is_the_exponential_models(rng, n):
    times = np.sort(rng.uniform(0.0, 40.0, n))
    value, g_mu, g_alphas, g_betas = uni_sumexp_neg_ll_with_grad(
        times, 40.0, 0.6, np.array([0.45]), np.array([1.7])
    )
    exp_value, exp_grad = uni_exp_neg_ll_with_grad(times, 40.0, 0.6, 0.45, 1.7)
    assert bits([value, g_mu, g_alphas[0], g_betas[0]]) == bits([exp_value, *exp_grad])
    plain = uni_sumexp_neg_ll(times, 40.0, 0.6, np.array([0.45]), np.array([1.7]))
    assert plain == pytest.approx(uni_exp_neg_ll(times, 40.0, 0.6, 0.45, 1.7), rel=1e-13)


def test_empty_times_still_validates_and_gives_the_poisson_value():
    empty = np.empty(0)
    assert uni_sumexp_neg_ll(empty, 4.0, 0.25, np.ones(2), np.ones(2)) == 1.0
    value, g_mu, g_alphas, g_betas = uni_sumexp_neg_ll_with_grad(empty, 4.0, 0.25, np.ones(2), np.ones(2))
    assert (value, g_mu, g_alphas.tolist(), g_betas.tolist()) == (1.0, 4.0, [0.0, 0.0], [0.0, 0.0])
    with pytest.raises(ValueError, match="^invalid parameter: betas\\[0\\] must be positive; got -1$"):
        uni_sumexp_neg_ll_with_grad(empty, 4.0, 0.25, np.ones(1), -np.ones(1))


@pytest.mark.parametrize(
    ("alphas", "betas", "value_message", "grad_message"),
    [
        ([1.0, 1.0], [1.0, 1.0, 1.0], "alphas/betas length mismatch or empty", "alphas length (2) != betas length (3)"),
        ([], [], "alphas/betas length mismatch or empty", "must have at least one (alpha, beta) component"),
        ([0.1, 0.1, 0.1], [1.0, 0.0, -2.0], None, "betas[1] must be positive; got 0"),
        ([0.1], [-1e-20], None, "betas[0] must be positive; got -0.00000000000000000001"),
    ],
)
def test_validation_messages(alphas, betas, value_message, grad_message):
    times = np.array([0.5, 1.0])
    args = (times, 2.0, 0.5, np.array(alphas, dtype=float), np.array(betas, dtype=float))
    if value_message is None:
        assert isinstance(uni_sumexp_neg_ll(*args), float)
    else:
        with pytest.raises(ValueError) as info:
            uni_sumexp_neg_ll(*args)
        assert str(info.value) == "invalid parameter: " + value_message
    with pytest.raises(ValueError) as info:
        uni_sumexp_neg_ll_with_grad(*args)
    assert str(info.value) == "invalid parameter: " + grad_message


def test_nan_decay_passes_the_gradient_check():
    value, *_ = uni_sumexp_neg_ll_with_grad(np.array([1.0]), 2.0, 0.5, np.ones(1), np.array([math.nan]))
    assert math.isnan(value)


@pytest.mark.parametrize("func", [uni_sumexp_neg_ll, uni_sumexp_neg_ll_with_grad])
def test_contiguity_is_checked_in_parameter_order_before_validation(func):
    strided = np.arange(8.0)[::2]
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        func(np.array([1.0]), 2.0, 0.5, strided, np.ones(3))  # also a length mismatch
    with pytest.raises(TypeError, match="^argument 'betas': 'list' object cannot be cast as 'ndarray'$"):
        func(strided, 2.0, 0.5, np.ones(1), [1.0])


def test_gradient_matches_central_differences(rng):
    times = np.sort(rng.uniform(0.0, 30.0, 80))
    mu, alphas, betas = 0.7, np.array([0.2, 0.3, 0.1]), np.array([0.5, 2.0, 6.0])
    _, g_mu, g_alphas, g_betas = uni_sumexp_neg_ll_with_grad(times, 30.0, mu, alphas, betas)

    def f(mu, alphas, betas):
        return uni_sumexp_neg_ll_with_grad(times, 30.0, mu, alphas, betas)[0]

    h = 1e-6
    assert g_mu == pytest.approx((f(mu + h, alphas, betas) - f(mu - h, alphas, betas)) / (2 * h), rel=1e-6)
    for k in range(3):
        step = np.zeros(3)
        step[k] = h
        da = (f(mu, alphas + step, betas) - f(mu, alphas - step, betas)) / (2 * h)
        db = (f(mu, alphas, betas + step) - f(mu, alphas, betas - step)) / (2 * h)
        assert g_alphas[k] == pytest.approx(da, rel=1e-6, abs=1e-7)
        assert g_betas[k] == pytest.approx(db, rel=1e-6, abs=1e-7)
