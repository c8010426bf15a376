# The nonlinear exponential likelihood: bit equality with an in-order reference of the grid
# recursion, trapezoid compensator and event pass for each link, the link thresholds, the checks
# and their wording, an oversized grid refused cleanly, and gradients against central differences.
import math

import numpy as np
import pytest

from vostrel._libvostrel.likelihood import (
    nonlinear_uni_exp_neg_ll,
    nonlinear_uni_exp_neg_ll_with_grad,
)

LINKS = ["softplus", "relu", "sigmoid", "identity"]


def link_value(link, x, c):
    if link == "softplus":
        return x if x > 35 else math.log(math.exp(x) + 1.0)
    if link == "relu":
        return x if x > 0 else 0.0
    if link == "sigmoid":
        z = -40.0 if x < -40 else x
        return c if z > 40 else c / (math.exp(-z) + 1.0)
    return x if x > 1e-12 else 1e-12


def link_derivative(link, x, v, c):
    if link == "softplus":
        return 1.0 / (math.exp(-x) + 1.0)
    if link == "relu":
        return 1.0 if x > 0 else 0.0
    if link == "sigmoid":
        return (1.0 - v / c) * v
    return 1.0 if x > 1e-12 else 0.0


def reference(times, T, mu, alpha, beta, link, c, n_quad):
    times = [float(t) for t in times]
    G = n_quad if n_quad >= 9 else 8
    grid = [(i * T) / (G - 1) for i in range(G)]
    S_grid, dS_grid = [], []
    k, S, D, e = 0, 0.0, 0.0, 0.0
    for s in grid:
        while k < len(times) and times[k] <= s:
            g = math.exp((times[k] - e) * (-beta))
            D = D * g - (times[k] - e) * (S * g)
            S = S * g + 1.0
            e = times[k]
            k += 1
        f = math.exp((s - e) * (-beta))
        S_grid.append(S * f)
        dS_grid.append(f * D - (S * f) * (s - e))
    ab = alpha * beta
    x = [Si * ab + mu for Si in S_grid]
    v = [link_value(link, xi, c) for xi in x]
    w = [link_derivative(link, xi, vi, c) for xi, vi in zip(x, v)]
    C = C_mu = C_alpha = C_beta = 0.0
    for i in range(G - 1):
        h = (grid[i + 1] - grid[i]) * 0.5
        C = C + (v[i + 1] + v[i]) * h
        C_mu = C_mu + (w[i + 1] + w[i]) * h
        C_alpha = C_alpha + ((beta * w[i + 1]) * S_grid[i + 1] + (w[i] * beta) * S_grid[i]) * h
        C_beta = C_beta + (
            ((dS_grid[i + 1] * beta) + S_grid[i + 1]) * (alpha * w[i + 1])
            + ((dS_grid[i] * beta) + S_grid[i]) * (alpha * w[i])
        ) * h
    L = E_mu = E_alpha = E_beta = 0.0
    A = dA = p = 0.0
    for i, t in enumerate(times):
        ei = math.exp((t - p) * (-beta))
        R = 0.0 if i == 0 else ei * A
        dR = dA * ei - (t - p) * R
        xi = ab * R + mu
        vi = link_value(link, xi, c)
        lam = vi if vi > 1e-30 else 1e-30
        L = L + math.log(lam)
        r = 1.0 / lam
        u = link_derivative(link, xi, vi, c)
        E_mu = E_mu + r * u
        E_alpha = E_alpha + r * ((beta * u) * R)
        E_beta = E_beta + ((beta * dR + R) * (alpha * u)) * r
        dA, A, p = dR, R + 1.0, t
    return C - L, [C_mu - E_mu, C_alpha - E_alpha, C_beta - E_beta]


def hexes(values):
    return [float(v).hex() for v in values]


@pytest.mark.parametrize("link", LINKS)
@pytest.mark.parametrize(("n", "n_quad"), [(0, 0), (1, 8), (40, 9), (300, 700), (600, 257)])
@pytest.mark.parametrize(("mu", "alpha"), [(0.4, 0.6), (-0.3, 0.9)])
def test_matches_the_reference_bit_for_bit(rng, link, n, n_quad, mu, alpha):
    T, beta, c = 30.0, 1.4, 2.5
    times = np.sort(rng.uniform(0.0, T, n))
    if n > 5:
        times[3] = times[2]  # a tie: the second event sees R = 1 from the first
        times[5] = (5 * T) / (max(n_quad, 8) - 1)  # an event exactly on a grid point
        times.sort()
    value = nonlinear_uni_exp_neg_ll(times, T, mu, alpha, beta, link, c, n_quad)
    value2, grad = nonlinear_uni_exp_neg_ll_with_grad(times, T, mu, alpha, beta, link, c, n_quad)
    ref_value, ref_grad = reference(times, T, mu, alpha, beta, link, c, n_quad)
    assert value.hex() == value2.hex() == ref_value.hex()
    assert hexes(grad) == hexes(ref_grad)


@pytest.mark.parametrize("link", LINKS)
def test_decays_that_underflow_to_zero_match_the_reference(rng, link):
    times = np.sort(rng.uniform(0.0, 3000.0, 40))
    args = (3000.0, 0.5, 0.4, 2.0, link, 1.5, 400)
    value, grad = nonlinear_uni_exp_neg_ll_with_grad(times, *args)
    ref_value, ref_grad = reference(times, *args)
    assert value.hex() == nonlinear_uni_exp_neg_ll(times, *args).hex() == ref_value.hex()
    assert hexes(grad) == hexes(ref_grad)


def test_unsorted_times_and_events_beyond_the_horizon(rng):
    times = np.append(rng.uniform(0.0, 10.0, 30), [12.0, 3.0])
    args = (10.0, 0.5, 0.4, 1.0, "softplus", 1.0, 50)
    assert nonlinear_uni_exp_neg_ll(times, *args).hex() == reference(times, *args)[0].hex()


def grid_case(name, rng):
    """Events, a grid and a baseline (times, T, n_quad, mu) that stress how grid points absorb
    events."""
    if name == "many events per point":
        return np.sort(rng.uniform(0.0, 20.0, 3000)), 20.0, 40, 0.4
    if name == "many points per event":
        return np.sort(rng.uniform(0.0, 20.0, 12)), 20.0, 3000, 0.4
    if name == "events on grid points":
        T, G = 7.3, 1000
        points = np.sort(rng.choice(G, 300, replace=False))
        return np.array([(float(q) * T) / (G - 1) for q in points]), T, G, 0.4
    if name == "unsorted across blocks":
        times = np.sort(rng.uniform(0.0, 30.0, 400))
        times[::7] -= rng.uniform(0.0, 1.0, len(times[::7]))
        return times, 30.0, 900, 0.4
    if name == "a NaN ends absorption":
        times = np.sort(rng.uniform(0.0, 10.0, 100))
        times[40] = np.nan
        return times, 10.0, 700, 0.4
    if name == "subnormal grid":
        # Grid points no longer evenly spaced; a huge baseline keeps the grid's share of the
        # gradient visible next to the events' share.
        return np.sort(rng.uniform(0.0, 1e-310, 50)), 1e-310, 600, 1e300
    if name == "grid products past the largest double":
        return np.sort(rng.uniform(0.0, 1e305, 50)), 1e305, 2000, 0.4
    raise AssertionError(name)


@pytest.mark.parametrize("link", ["softplus", "relu"])
@pytest.mark.parametrize(
    "case",
    [
        "many events per point",
        "many points per event",
        "events on grid points",
        "unsorted across blocks",
        "a NaN ends absorption",
        "subnormal grid",
        "grid products past the largest double",
    ],
)
def test_grid_absorption_matches_the_reference(rng, link, case):
    times, T, n_quad, mu = grid_case(case, rng)
    args = (T, mu, 0.6, 1.4, link, 2.5, n_quad)
    value, grad = nonlinear_uni_exp_neg_ll_with_grad(times, *args)
    ref_value, ref_grad = reference(times, *args)
    assert value.hex() == nonlinear_uni_exp_neg_ll(times, *args).hex() == ref_value.hex()
    assert hexes(grad) == hexes(ref_grad)


@pytest.mark.parametrize("n_quad", [0, 1, 8])
def test_small_grids_use_eight_points(rng, n_quad):
    times = np.sort(rng.uniform(0.0, 5.0, 10))
    args = (5.0, 0.5, 0.4, 1.0, "softplus", 1.0)
    assert nonlinear_uni_exp_neg_ll(times, *args, n_quad) == nonlinear_uni_exp_neg_ll(times, *args, 8)
    assert nonlinear_uni_exp_neg_ll(times, *args, 9) != nonlinear_uni_exp_neg_ll(times, *args, 8)


@pytest.mark.parametrize(
    ("link", "mu", "expected"),
    [
        ("softplus", 35.0, math.log(math.exp(35.0) + 1.0)),
        ("softplus", math.nextafter(35.0, 36.0), math.nextafter(35.0, 36.0)),
        ("sigmoid", -50.0, 2.0 / (math.exp(40.0) + 1.0)),
        ("sigmoid", 40.5, 2.0),
        ("sigmoid", 40.0, 2.0 / (math.exp(-40.0) + 1.0)),
        ("identity", 0.0, 1e-12),
        ("identity", 2e-12, 2e-12),
        ("relu", 0.7, 0.7),
    ],
)
def test_link_thresholds_on_an_empty_process(link, mu, expected):
    # No events: x = mu on the whole grid, so C is the trapezoid sum of the link's value at mu.
    T = 7.0
    C = 0.0
    grid = [(i * T) / 7 for i in range(8)]
    for i in range(7):
        C = C + (expected + expected) * ((grid[i + 1] - grid[i]) * 0.5)
    value = nonlinear_uni_exp_neg_ll(np.empty(0), T, mu, 0.3, 1.0, link, 2.0, 8)
    assert value.hex() == C.hex()


def test_relu_with_negative_excitation_floors_the_intensity():
    value, grad = nonlinear_uni_exp_neg_ll_with_grad(np.array([1.0]), 2.0, -1.0, 0.5, 1.0, "relu", 1.0, 8)
    assert value == pytest.approx(-math.log(1e-30))
    assert grad.tolist() == [0.0, 0.0, 0.0]


def test_sigmoid_with_zero_scale_gives_nan_gradient_without_error():
    value, grad = nonlinear_uni_exp_neg_ll_with_grad(np.array([1.0]), 2.0, 0.5, 0.5, 1.0, "sigmoid", 0.0, 8)
    assert not math.isnan(value) and np.isnan(grad).all()


@pytest.mark.parametrize("link", LINKS)
def test_gradient_matches_central_differences(rng, link):
    T = 40.0
    times = np.sort(rng.uniform(0.0, T, 80))
    theta = np.array([0.6, 0.5, 1.3])
    _, grad = nonlinear_uni_exp_neg_ll_with_grad(times, T, *theta, link, 3.0, 2000)
    for c in range(3):
        h = 1e-6
        up, down = theta.copy(), theta.copy()
        up[c] += h
        down[c] -= h
        numeric = (
            nonlinear_uni_exp_neg_ll(times, T, *up, link, 3.0, 2000)
            - nonlinear_uni_exp_neg_ll(times, T, *down, link, 3.0, 2000)
        ) / (2 * h)
        assert grad[c] == pytest.approx(numeric, rel=1e-5, abs=1e-6)


OK = np.array([1.0, 2.0])


@pytest.mark.parametrize(
    ("args", "error", "value_message", "grad_message"),
    [
        ((OK, 0.0, 0.5, 0.5, 1.0, "relu", 1.0, 8), ValueError,
         "invalid parameter: t_horizon and beta must be positive",
         "invalid parameter: t_horizon must be positive; got 0"),
        ((OK, -1.0, 0.5, 0.5, -1.0, "relu", 1.0, 8), ValueError,
         "invalid parameter: t_horizon and beta must be positive",
         "invalid parameter: t_horizon must be positive; got -1"),
        ((OK, 3.0, 0.5, 0.5, -0.5, "relu", 1.0, 8), ValueError,
         "invalid parameter: t_horizon and beta must be positive",
         "invalid parameter: beta must be positive; got -0.5"),
        # The link name is checked before contiguity and positivity, byte for byte.
        ((np.zeros(6)[::2], 0.0, 0.5, 0.5, 1.0, "Sigmoid", 1.0, 8), ValueError,
         "link_function must be 'softplus', 'relu', 'sigmoid', or 'identity'; got 'Sigmoid' "
         "(callable link_function falls back to the JAX path)", None),
        ((OK, 3.0, 0.5, 0.5, 1.0, "relu ", 1.0, 8), ValueError,
         "link_function must be 'softplus', 'relu', 'sigmoid', or 'identity'; got 'relu ' "
         "(callable link_function falls back to the JAX path)", None),
        ((np.zeros(6)[::2], 0.0, 0.5, 0.5, 1.0, "relu", 1.0, 8), TypeError,
         "The given array is not contiguous", None),
        ((OK, 3.0, 0.5, 0.5, 1.0, len, 1.0, 8), TypeError,
         "argument 'link': 'builtin_function_or_method' object cannot be cast as 'str'", None),
        ((OK, 3.0, 0.5, 0.5, 1.0, "relu", 1.0, 8.0), TypeError, None, None),
        ((OK, 3.0, 0.5, 0.5, 1.0, "relu", 1.0, -1), OverflowError, None, None),
    ],
)
def test_checks_and_their_wording(args, error, value_message, grad_message):
    for function, message in (
        (nonlinear_uni_exp_neg_ll, value_message),
        (nonlinear_uni_exp_neg_ll_with_grad, grad_message or value_message),
    ):
        with pytest.raises(error) as info:
            function(*args)
        if message is not None:
            assert str(info.value) == message


@pytest.mark.parametrize("n_quad", [2**32 + 1, 2**63, 2**64 - 1])
def test_oversized_grid_is_refused_with_a_value_error(n_quad):
    for function in (nonlinear_uni_exp_neg_ll, nonlinear_uni_exp_neg_ll_with_grad):
        with pytest.raises(ValueError) as info:
            function(OK, 3.0, 0.5, 0.5, 1.0, "relu", 1.0, n_quad)
        assert str(info.value) == f"invalid parameter: n_quad must be at most 4294967296; got {n_quad}"
