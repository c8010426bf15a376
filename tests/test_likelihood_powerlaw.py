# The exact power-law likelihood and its geometric sum-of-exponentials approximation: in-order
# references bit for bit, the identities between the models, the parameter checks in their
# order, a count too large to allocate, and gradients against central differences.
import math
import os

import numpy as np
import pytest

from vostrel._libvostrel.likelihood import (
    uni_approx_powerlaw_neg_ll,
    uni_approx_powerlaw_neg_ll_with_grad,
    uni_powerlaw_neg_ll,
    uni_powerlaw_neg_ll_with_grad,
    uni_sumexp_neg_ll,
    uni_sumexp_neg_ll_with_grad,
)


def bits(values):
    return [float(v).hex() for v in values]


def floor(lam):
    return lam if lam > 1e-30 else 1e-30


def powerlaw_reference(times, T, mu, alpha, beta, c):
    times = [float(t) for t in times]
    if not times:
        return T * mu, [T, 0.0, 0.0, 0.0]
    q = -(1.0 + beta)
    log_sum = g_mu = g_alpha = g_beta = g_c = 0.0
    for i, ti in enumerate(times):
        s = u = v = 0.0
        for tj in times[:i]:
            x = (ti - tj) + c
            px = x**q
            s += px
            u += math.log(x) * px
            v += px / x
        lam = floor(s * alpha + mu)
        log_sum += math.log(lam)
        inv = 1.0 / lam
        g_mu += inv
        g_alpha += s * inv
        g_beta += inv * u
        g_c += inv * v
    c0, c1 = c ** (-beta), c ** (-1.0 - beta)
    l0 = math.log(c) * c0
    p = w_beta = w_c = 0.0
    for t in times:
        x = (T - t) + c
        a, b = x ** (-beta), x ** (-1.0 - beta)
        p += c0 - a
        w_beta += math.log(x) * a - l0
        w_c += b - c1
    value = ((alpha / beta) * p + T * mu) - log_sum
    grad = [
        T - g_mu,
        (1.0 / beta) * p - g_alpha,
        ((-alpha) / (beta * beta) * p + (alpha / beta) * w_beta) + alpha * g_beta,
        alpha * w_c + ((1.0 + beta) * alpha) * g_c,
    ]
    return value, grad


def geometric_components(K, beta_pow, beta_min, r):
    """Decay rates by square-and-multiply and weights normalised by a sum from -0.0."""
    betas, us = [], []
    for k in range(K):
        result = r if k & 1 else 1.0
        base, b = r, k
        while b > 1:
            base = base * base
            b >>= 1
            if b & 1:
                result = result * base
        beta_k = result * beta_min
        betas.append(beta_k)
        us.append(beta_k ** (beta_pow + (-1.0)))
    z = -0.0
    for u in us:
        z += u
    return np.array(betas), np.array([u / z for u in us])


# Python's float power and the C library's pow are the same function for these finite inputs.
@pytest.mark.parametrize("n", [0, 1, 2, 60])
@pytest.mark.parametrize(("mu", "alpha", "beta", "c"), [(0.5, 0.3, 0.8, 0.5), (0.0, 1.2, 1.5, 0.05)])
def test_exact_power_law_matches_the_reference_bit_for_bit(rng, n, mu, alpha, beta, c):
    times = np.sort(rng.uniform(0.0, 20.0, n))
    value = uni_powerlaw_neg_ll(times, 20.0, mu, alpha, beta, c)
    value2, grad = uni_powerlaw_neg_ll_with_grad(times, 20.0, mu, alpha, beta, c)
    ref_value, ref_grad = powerlaw_reference(times, 20.0, mu, alpha, beta, c)
    assert value.hex() == value2.hex() == ref_value.hex()
    assert bits(grad) == bits(ref_grad)


def test_simultaneous_events_see_the_kernel_at_lag_zero():
    mu, alpha, beta, c, T = 0.2, 0.5, 0.7, 0.3, 3.0
    value = uni_powerlaw_neg_ll(np.array([1.0, 1.0]), T, mu, alpha, beta, c)
    compensator = 2 * (alpha / beta) * (c**-beta - (T - 1.0 + c) ** -beta) + mu * T
    expected = compensator - math.log(mu) - math.log(mu + alpha * c ** -(1 + beta))
    assert value == pytest.approx(expected, rel=1e-14)


def test_invalid_values_give_ieee_results_not_errors():
    times = np.array([0.5, 1.0])
    assert math.isnan(uni_powerlaw_neg_ll(times, 2.0, 0.5, 0.5, 0.8, -1.0))
    assert not math.isfinite(uni_powerlaw_neg_ll(times, 2.0, 0.5, 0.5, 0.0, 0.5))
    assert uni_powerlaw_neg_ll_with_grad(np.empty(0), 2.0, 0.5, 0.5, 0.8, 0.5)[1].tolist() == [2.0, 0, 0, 0]


def test_exact_power_law_gradient_matches_central_differences(rng):
    times = np.sort(rng.uniform(0.0, 25.0, 70))
    params = np.array([0.6, 0.4, 0.9, 0.7])
    _, grad = uni_powerlaw_neg_ll_with_grad(times, 25.0, *params)
    for k in range(4):
        h = 1e-6
        up, down = params.copy(), params.copy()
        up[k] += h
        down[k] -= h
        numeric = (uni_powerlaw_neg_ll(times, 25.0, *up) - uni_powerlaw_neg_ll(times, 25.0, *down)) / (2 * h)
        assert grad[k] == pytest.approx(numeric, rel=1e-6, abs=1e-7)


APPROX = (0.6, 0.5, 0.9, 0.2, 2.5)  # mu, alpha, beta_pow, beta_min, r


@pytest.mark.parametrize("K", [1, 2, 7, 12])
def test_approximation_is_the_sum_of_exponentials_on_its_grid(rng, K):
    times = np.sort(rng.uniform(0.0, 30.0, 300))
    mu, alpha, beta_pow, beta_min, r = APPROX
    betas, weights = geometric_components(K, beta_pow, beta_min, r)
    alphas = weights * alpha
    value = uni_approx_powerlaw_neg_ll(times, 30.0, mu, alpha, beta_pow, beta_min, r, K)
    assert value.hex() == uni_sumexp_neg_ll(times, 30.0, mu, alphas, betas).hex()
    value2, grad = uni_approx_powerlaw_neg_ll_with_grad(times, 30.0, mu, alpha, beta_pow, beta_min, r, K)
    inner = uni_sumexp_neg_ll_with_grad(times, 30.0, mu, alphas, betas)
    assert value2.hex() == inner[0].hex() and grad[0].hex() == inner[1].hex()
    if K == 1:
        assert value.hex() == uni_sumexp_neg_ll(times, 30.0, mu, np.array([alpha]), np.array([beta_min])).hex()
        assert grad[2] == 0.0


def test_approximation_gradient_matches_central_differences(rng):
    times = np.sort(rng.uniform(0.0, 30.0, 120))
    params = np.array(APPROX[:4])
    r, K = APPROX[4], 6
    _, grad = uni_approx_powerlaw_neg_ll_with_grad(times, 30.0, *params, r, K)
    for k in range(4):
        h = 1e-6
        up, down = params.copy(), params.copy()
        up[k] += h
        down[k] -= h
        f_up = uni_approx_powerlaw_neg_ll(times, 30.0, *up, r, K)
        f_down = uni_approx_powerlaw_neg_ll(times, 30.0, *down, r, K)
        assert grad[k] == pytest.approx((f_up - f_down) / (2 * h), rel=1e-6, abs=1e-7)


def test_equal_weights_when_beta_pow_is_one():
    # beta_pow = 1 weights every component 1/K, whatever its rate
    times = np.array([0.3, 1.1, 2.0])
    value = uni_approx_powerlaw_neg_ll(times, 3.0, 0.5, 0.8, 1.0, 0.5, 3.0, 4)
    betas = 0.5 * 3.0 ** np.arange(4)
    assert value == pytest.approx(uni_sumexp_neg_ll(times, 3.0, 0.5, np.full(4, 0.2), betas), rel=1e-14)


@pytest.mark.parametrize(
    ("beta_pow", "beta_min", "r", "K", "message"),
    [
        (0.0, 0.0, 1.0, 0, "beta_pow must be positive; got 0"),
        (0.5, -2.0, 1.0, 0, "beta_min must be positive; got -2"),
        (0.5, 0.1, 1.0, 0, "r must be > 1 for geometric spacing; got 1"),
        (0.5, 0.1, 2.0, 0, "n_components must be positive"),
    ],
)
@pytest.mark.parametrize("func", [uni_approx_powerlaw_neg_ll, uni_approx_powerlaw_neg_ll_with_grad])
def test_component_checks_come_in_order(func, beta_pow, beta_min, r, K, message):
    with pytest.raises(ValueError) as info:
        func(np.empty(0), 1.0, 0.5, -1.0, beta_pow, beta_min, r, K)
    assert str(info.value) == "invalid parameter: " + message


def test_alpha_is_checked_only_by_the_gradient_function():
    times = np.array([0.5, 1.5])
    value = uni_approx_powerlaw_neg_ll(times, 2.0, 0.5, 0.0, 0.8, 0.3, 2.0, 3)
    assert value == pytest.approx(0.5 * 2.0 - 2 * math.log(0.5), rel=1e-15)
    with pytest.raises(ValueError, match="^invalid parameter: alpha must be positive; got 0$"):
        uni_approx_powerlaw_neg_ll_with_grad(times, 2.0, 0.5, 0.0, 0.8, 0.3, 2.0, 3)
    # NaN passes every comparison
    assert math.isnan(uni_approx_powerlaw_neg_ll_with_grad(times, 2.0, 0.5, math.nan, 0.8, 0.3, 2.0, 3)[0])


@pytest.mark.parametrize("func", [uni_approx_powerlaw_neg_ll, uni_approx_powerlaw_neg_ll_with_grad])
def test_n_components_conversion(func):
    times = np.array([0.5])
    with pytest.raises(OverflowError):
        func(times, 1.0, 0.5, 0.5, 0.8, 0.3, 2.0, -1)
    with pytest.raises(TypeError, match="^argument 'n_components': "):
        func(times, 1.0, 0.5, 0.5, 0.8, 0.3, 2.0, 2.0)
    assert func(times, 1.0, 0.5, 0.5, 0.8, 0.3, 2.0, np.uint64(3)) is not None


# Half the physical memory per vector of K doubles: each vector alone could be allocated, all of
# them together cannot, and filling the first ones must not get the process killed.
HALF_MEMORY = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 16


@pytest.mark.parametrize("K", [2**64 - 1, 2**62, 2**45, HALF_MEMORY])
@pytest.mark.parametrize("func", [uni_approx_powerlaw_neg_ll, uni_approx_powerlaw_neg_ll_with_grad])
def test_a_count_too_large_to_allocate_raises_memory_error(func, K):
    with pytest.raises(MemoryError):
        func(np.array([0.5]), 1.0, 0.5, 0.5, 0.8, 0.3, 2.0, K)
