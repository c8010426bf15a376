# The per-cell-decay multivariate exponential likelihood: bit equality with an in-order reference,
# the two wordings of the shape checks, the source checks (including labels that do not fit the
# unsigned type of n_dims and an n_dims whose square overflows 64 bits), and gradients.
import math

import numpy as np
import pytest

from vostrel._libvostrel.likelihood import mv_exp_dense_neg_ll, mv_exp_dense_neg_ll_with_grad


def reference(times, sources, T, M, mu, alpha, beta):
    """Plain-loop value and gradient in the documented order and grouping."""
    cells = M * M
    R = [0.0] * cells
    D = [0.0] * cells
    L = 0.0
    p = 0.0
    g_mu, g_alpha, g_beta = [0.0] * M, [0.0] * cells, [0.0] * cells
    for t, k in zip(map(float, times), map(int, sources)):
        dt = t - p
        for c in range(cells):
            v = math.exp((-beta[c]) * dt)
            D[c] = v * D[c] - (R[c] * dt) * v
            R[c] = R[c] * v
        lam = mu[k]
        for j in range(M):
            lam = lam + (alpha[k * M + j] * beta[k * M + j]) * R[k * M + j]
        lam = lam if lam > 1e-30 else 1e-30
        L = L + math.log(lam)
        r = 1.0 / lam
        g_mu[k] = g_mu[k] - r
        for j in range(M):
            c = k * M + j
            g_alpha[c] = g_alpha[c] - (beta[c] * R[c]) * r
            g_beta[c] = g_beta[c] - ((beta[c] * D[c] + R[c]) * alpha[c]) * r
        for m in range(M):
            R[m * M + k] = R[m * M + k] + 1.0
        p = t
    H = 0.0
    for m in range(M):
        H = H + mu[m] * T
        g_mu[m] = g_mu[m] + T
        for t, k in zip(map(float, times), map(int, sources)):
            c = m * M + k
            d = T - t
            v = math.exp((-beta[c]) * d)
            g_alpha[c] = g_alpha[c] + (1.0 - v)
            g_beta[c] = g_beta[c] + (d * alpha[c]) * v
            H = H + alpha[c] * (1.0 - v)
    return H - L, g_mu, g_alpha, g_beta


def hexes(values):
    return [float(v).hex() for v in values]


def problem(rng, M, n, T=20.0, sort=True):
    times = rng.uniform(0.0, T, n)
    if sort:
        times.sort()
    if n > 3:
        times[2] = times[1]  # a tie: full weight from the earlier event
    sources = rng.integers(0, M, n).astype(np.int64)
    mu = rng.uniform(0.1, 1.0, M)
    alpha = rng.uniform(0.0, 0.5, M * M)
    beta = rng.uniform(0.3, 3.0, M * M)
    return times, sources, T, M, mu, alpha, beta


@pytest.mark.parametrize("M", [1, 2, 4, 7, 70])
@pytest.mark.parametrize("n", [0, 1, 5, 600])
def test_value_and_gradient_match_the_reference_bit_for_bit(rng, M, n):
    args = problem(rng, M, n)
    value = mv_exp_dense_neg_ll(*args)
    result = mv_exp_dense_neg_ll_with_grad(*args)
    ref = reference(*args)
    assert value.hex() == result[0].hex() == ref[0].hex()
    for got, want in zip(result[1:], ref[1:]):
        assert hexes(got) == hexes(want)


def test_decays_that_underflow_to_zero_match_the_reference(rng):
    # exp of exponents far below -745 is exactly 0: gaps and horizons of thousands of decay times.
    args = problem(rng, 3, 200, T=5000.0)
    result = mv_exp_dense_neg_ll_with_grad(*args)
    ref = reference(*args)
    assert result[0].hex() == mv_exp_dense_neg_ll(*args).hex() == ref[0].hex()
    for got, want in zip(result[1:], ref[1:]):
        assert hexes(got) == hexes(want)


def test_unsorted_times_and_events_after_the_horizon_are_evaluated_as_given(rng):
    args = problem(rng, 3, 40, sort=False)
    args = (np.append(args[0], 25.0), np.append(args[1], 1), *args[2:])
    assert mv_exp_dense_neg_ll(*args).hex() == reference(*args)[0].hex()


def test_no_events_and_no_dimensions():
    mu = np.array([0.5, 0.25])
    value, g_mu, g_alpha, g_beta = mv_exp_dense_neg_ll_with_grad(
        np.empty(0), np.empty(0, dtype=np.int64), 4.0, 2, mu, np.ones(4), np.ones(4)
    )
    assert value == mv_exp_dense_neg_ll(
        np.empty(0), np.empty(0, dtype=np.int64), 4.0, 2, mu, np.ones(4), np.ones(4)
    ) == 3.0
    assert g_mu.tolist() == [4.0, 4.0] and g_alpha.tolist() == [0.0] * 4 == g_beta.tolist()
    empty = np.empty(0)
    value, *grads = mv_exp_dense_neg_ll_with_grad(empty, np.empty(0, dtype=np.int64), 1.0, 0, empty, empty, empty)
    assert value == 0.0 and all(len(g) == 0 for g in grads)


def test_gradient_matches_central_differences(rng):
    times, sources, T, M, mu, alpha, beta = problem(rng, 3, 120, T=40.0)
    _, g_mu, g_alpha, g_beta = mv_exp_dense_neg_ll_with_grad(times, sources, T, M, mu, alpha, beta)
    params = [mu, alpha, beta]
    for which, grad in enumerate([g_mu, g_alpha, g_beta]):
        for c in range(len(grad)):
            h = 1e-6
            up = [p.copy() for p in params]
            down = [p.copy() for p in params]
            up[which][c] += h
            down[which][c] -= h
            numeric = (
                mv_exp_dense_neg_ll(times, sources, T, M, *up)
                - mv_exp_dense_neg_ll(times, sources, T, M, *down)
            ) / (2 * h)
            assert grad[c] == pytest.approx(numeric, rel=1e-6, abs=1e-6)


F = np.array([0.5, 1.0, 1.5, 2.0])
I = np.array([0, 1, 0, 1], dtype=np.int64)


@pytest.mark.parametrize(
    ("args", "value_message", "grad_message"),
    [
        ((F[:3], I, 3.0, 2, F[:2], F, F), "times.len() (3) != sources.len() (4)", "times.len() (3) != sources.len() (4)"),
        ((F, I, 3.0, 2, F[:3], F, F), "shape mismatch: mu/alpha/beta = 3/4/4, expected M=2, M²=4", "mu.len() (3) != M (2)"),
        ((F, I, 3.0, 2, F[:2], F[:3], F), "shape mismatch: mu/alpha/beta = 2/3/4, expected M=2, M²=4", "alpha/beta length (3/4) != M² (4)"),
        ((F, I, 3.0, 2, F[:2], F, F[:1]), "shape mismatch: mu/alpha/beta = 2/4/1, expected M=2, M²=4", "alpha/beta length (4/1) != M² (4)"),
        # M*M overflows 64 bits: the true square is reported.
        ((F, I, 3.0, 2**32, F[:2], F, F), "shape mismatch: mu/alpha/beta = 2/4/4, expected M=4294967296, M²=18446744073709551616", "mu.len() (2) != M (4294967296)"),
        ((F, I, 3.0, 2**64 - 1, F[:2], F, F), "shape mismatch: mu/alpha/beta = 2/4/4, expected M=18446744073709551615, M²=340282366920938463426481119284349108225", "mu.len() (2) != M (18446744073709551615)"),
        ((F, np.array([0, 1, 0, -1], dtype=np.int64), 3.0, 2, F[:2], F, F), "sources[3] = -1 not in [0, 2)", "sources[3] = -1 not in [0, 2)"),
        ((F, np.array([0, 2, 0, -1], dtype=np.int64), 3.0, 2, F[:2], F, F), "sources[1] = 2 not in [0, 2)", "sources[1] = 2 not in [0, 2)"),
        ((F, np.array([0, -(2**63), 0, 0], dtype=np.int64), 3.0, 2, F[:2], F, F), "sources[1] = -9223372036854775808 not in [0, 2)", "sources[1] = -9223372036854775808 not in [0, 2)"),
        ((F[:1], I[:1], 3.0, 0, F[:0], F[:0], F[:0]), "sources[0] = 0 not in [0, 0)", "sources[0] = 0 not in [0, 0)"),
    ],
)
def test_validation_messages(args, value_message, grad_message):
    with pytest.raises(ValueError) as info:
        mv_exp_dense_neg_ll(*args)
    assert str(info.value) == "invalid parameter: " + value_message
    with pytest.raises(ValueError) as info:
        mv_exp_dense_neg_ll_with_grad(*args)
    assert str(info.value) == "invalid parameter: " + grad_message


@pytest.mark.parametrize(
    ("index", "replacement", "error", "message"),
    [
        (1, np.array([0, 1, 0, 1], dtype=np.int32), TypeError, "argument 'sources': 'ndarray' object cannot be cast as 'ndarray'"),
        (1, np.array([0.0, 1.0, 0.0, 1.0]), TypeError, "argument 'sources': 'ndarray' object cannot be cast as 'ndarray'"),
        (3, -1, OverflowError, None),
        (3, 2.0, TypeError, None),
        (5, np.zeros(8)[::2], TypeError, "The given array is not contiguous"),
        (1, np.zeros(8, dtype=np.int64)[::2], TypeError, "The given array is not contiguous"),
    ],
)
def test_conversion_and_contiguity_errors(index, replacement, error, message):
    args = [F, I, 3.0, 2, F[:2], F, F]
    args[index] = replacement
    for function in (mv_exp_dense_neg_ll, mv_exp_dense_neg_ll_with_grad):
        with pytest.raises(error) as info:
            function(*args)
        if message is not None:
            assert str(info.value) == message
