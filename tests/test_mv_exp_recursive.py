# MvExpRecursiveLogLik: bit equality with an in-order reference of the weight precomputation and
# the evaluation, construction checks and their order, the `out` write view, agreement with the
# dense model, gradients against central differences, and a bivariate fit recovering its truth.
import importlib.util
import math
import pathlib

import numpy as np
import pytest

from vostrel._libvostrel.likelihood import MvExpRecursiveLogLik, mv_exp_dense_neg_ll_with_grad
from vostrel._libvostrel.simulation import simulate_mv_exp_hawkes

ROOT = pathlib.Path(__file__).resolve().parent.parent


def reference(timestamps, T, beta, coeffs):
    """Plain-loop weights and evaluation, every sum in the documented order and grouping."""
    M = len(timestamps)
    ts = [[float(t) for t in d] for d in timestamps]
    total = 0.0
    out = [0.0] * (M + M * M)
    for i in range(M):
        n_i = len(ts[i])
        g = [[0.0] * M for _ in range(n_i)]
        S = [0.0] * M
        for j in range(M):
            p = 0
            G = [0.0] * (n_i + 1)
            for h in range(n_i + 1):
                tau = ts[i][h] if h < n_i else T
                if h >= 1:
                    a = math.exp((tau - ts[i][h - 1]) * (-beta))
                    if h < n_i:
                        g[h][j] = g[h - 1][j] * a
                    G[h] = ((1.0 - a) * g[h - 1][j]) / beta
                while p < len(ts[j]) and ts[j][p] < tau:
                    e = math.exp((tau - ts[j][p]) * (-beta))
                    if h < n_i:
                        g[h][j] = beta * e + g[h][j]
                    G[h] = (1.0 - e) + G[h]
                    p += 1
                S[j] = G[h] + S[j]
        mu = coeffs[i]
        alpha = coeffs[M + i * M : M + (i + 1) * M]
        L = mu * T
        for j in range(M):
            L = L + alpha[j] * S[j]
        out[i] = out[i] + T
        for j in range(M):
            out[M + i * M + j] = out[M + i * M + j] + S[j]
        for k in range(n_i):
            lam = mu
            for j in range(M):
                lam = lam + alpha[j] * g[k][j]
            lam = lam if lam > 1e-30 else 1e-30
            L = L - math.log(lam)
            r = 1.0 / lam
            out[i] = out[i] - r
            for j in range(M):
                out[M + i * M + j] = out[M + i * M + j] - g[k][j] * r
        total = total + L
    return total, out


def hexes(values):
    return [float(v).hex() for v in values]


def random_events(rng, M, n, T, ties=False):
    events = []
    for d in range(M):
        t = np.sort(rng.uniform(0.0, T, n + 3 * d))
        if ties and len(t) > 2:
            t[1] = t[0]  # a tie inside the dimension
        events.append(t)
    if ties and M > 1 and len(events[0]) and len(events[1]) > 1:
        events[1][-1] = events[0][-1]  # a tie across dimensions
        events[1].sort()
    return events


def coefficients(rng, M):
    return np.concatenate([rng.uniform(0.2, 1.0, M), rng.uniform(0.0, 0.4, M * M)])


# Distinct times take the time-ordered walk over all events; ties, and events at T, take the
# per-pair cursors: both must give the reference's bits.
@pytest.mark.parametrize("M", [1, 2, 3, 4, 5, 8, 9])
@pytest.mark.parametrize("n", [0, 1, 7, 300, 700])
@pytest.mark.parametrize("ties", [False, True])
def test_loss_and_gradient_match_the_reference_bit_for_bit(rng, M, n, ties):
    T, beta = 40.0, 0.9
    events = random_events(rng, M, n, T, ties=ties)
    model = MvExpRecursiveLogLik(events, T, beta)
    coeffs = coefficients(rng, M)
    out = np.full(model.n_coeffs, np.nan)
    loss = model.loss_and_grad(coeffs, out)
    ref_loss, ref_out = reference(events, T, beta, coeffs)
    assert loss.hex() == ref_loss.hex() == model.loss(coeffs).hex()
    assert hexes(out) == hexes(ref_out)


@pytest.mark.parametrize("ties", [False, True])
def test_decays_that_underflow_to_zero_match_the_reference(rng, ties):
    # Gaps of hundreds of decay times: many factors are exactly 0.
    T, beta = 20000.0, 2.5
    events = random_events(rng, 3, 150, T, ties=ties)
    coeffs = coefficients(rng, 3)
    model = MvExpRecursiveLogLik(events, T, beta)
    out = np.empty(model.n_coeffs)
    ref_loss, ref_out = reference(events, T, beta, coeffs)
    assert model.loss_and_grad(coeffs, out).hex() == ref_loss.hex()
    assert hexes(out) == hexes(ref_out)


def test_events_at_zero_and_at_the_horizon_and_floored_intensity():
    # mu_0 = 0 and the first event of dimension 0 has nothing before it: floored to 1e-30.
    events = [np.array([0.0, 1.0, 5.0]), np.array([1.0, 5.0])]
    coeffs = np.array([0.0, 0.5, 0.2, 0.1, 0.3, 0.2])
    model = MvExpRecursiveLogLik(events, 5.0, 2.0)
    out = np.empty(6)
    loss = model.loss_and_grad(coeffs, out)
    ref_loss, ref_out = reference(events, 5.0, 2.0, coeffs)
    assert loss.hex() == ref_loss.hex()
    assert hexes(out) == hexes(ref_out)
    assert out[0] < -1e29


def test_out_never_depends_on_its_previous_contents(rng):
    events = random_events(rng, 3, 50, 10.0)
    model = MvExpRecursiveLogLik(events, 10.0, 1.0)
    coeffs = coefficients(rng, 3)
    a, b = np.zeros(12), np.full(12, np.nan)
    b[::2] = np.inf
    assert model.loss_and_grad(coeffs, a) == model.loss_and_grad(coeffs, b)
    assert hexes(a) == hexes(b)


def test_empty_dimensions():
    model = MvExpRecursiveLogLik([np.empty(0), np.empty(0)], 3.0, 1.0)
    assert model.n_total_jumps == 0
    coeffs = np.array([0.5, 0.25, 1.0, 1.0, 1.0, 1.0])
    out = np.full(6, 9.0)
    assert model.loss_and_grad(coeffs, out) == 0.5 * 3.0 + 0.25 * 3.0
    assert out.tolist() == [3.0, 3.0, 0.0, 0.0, 0.0, 0.0]


def test_agrees_with_the_dense_model_when_every_decay_is_shared(rng):
    M, T, beta = 3, 30.0, 1.7
    events = random_events(rng, M, 80, T)
    coeffs = coefficients(rng, M)
    model = MvExpRecursiveLogLik(events, T, beta)
    out = np.empty(model.n_coeffs)
    loss = model.loss_and_grad(coeffs, out)

    times = np.concatenate(events)
    sources = np.concatenate([np.full(len(e), d, dtype=np.int64) for d, e in enumerate(events)])
    order = np.argsort(times, kind="stable")
    dense = mv_exp_dense_neg_ll_with_grad(
        times[order], sources[order], T, M, coeffs[:M], coeffs[M:], np.full(M * M, beta)
    )
    assert dense[0] == pytest.approx(loss, rel=1e-13)
    np.testing.assert_allclose(dense[1], out[:M], rtol=1e-12)
    np.testing.assert_allclose(dense[2], out[M:], rtol=1e-11, atol=1e-12)


def test_gradient_matches_central_differences(rng):
    M, T = 2, 50.0
    events = random_events(rng, M, 60, T)
    model = MvExpRecursiveLogLik(events, T, 1.2)
    coeffs = coefficients(rng, M)
    out = np.empty(model.n_coeffs)
    model.loss_and_grad(coeffs, out)
    h = 1e-6
    for c in range(model.n_coeffs):
        up, down = coeffs.copy(), coeffs.copy()
        up[c] += h
        down[c] -= h
        numeric = (model.loss(up) - model.loss(down)) / (2 * h)
        assert out[c] == pytest.approx(numeric, rel=1e-6, abs=1e-6)


def test_attributes_repr_and_layout():
    events = [np.array([1.0, 2.0, 3.0]), np.array([0.5, 2.5, 4.0, 5.0])]
    model = MvExpRecursiveLogLik(events, 10.0, 1.5)
    assert repr(model) == "MvExpRecursiveLogLik(n_dims=2, end_time=10, decay=1.5, n_total_jumps=7)"
    assert (model.n_dims, model.end_time, model.decay, model.n_total_jumps, model.n_coeffs) == (
        2, 10.0, 1.5, 7, 6,
    )
    assert type(model).__module__ == "vostrel._libvostrel.likelihood"
    with pytest.raises(AttributeError):
        model.decay = 2.0
    assert not hasattr(model, "__dict__")
    with pytest.raises(TypeError):
        type("Sub", (MvExpRecursiveLogLik,), {})


def test_caller_arrays_are_copied(rng):
    events = random_events(rng, 2, 20, 10.0)
    model = MvExpRecursiveLogLik(events, 10.0, 1.0)
    coeffs = coefficients(rng, 2)
    before = model.loss(coeffs)
    events[0][:] = 0.0
    events[1][:] = 9.0
    assert model.loss(coeffs).hex() == before.hex()


ok = np.array([1.0, 2.0])


@pytest.mark.parametrize(
    ("timestamps", "end_time", "decay", "error", "message"),
    [
        ((ok,), 1.0, 1.0, TypeError, "argument 'timestamps': 'tuple' object cannot be cast as 'list'"),
        (np.zeros((1, 2)), 1.0, 1.0, TypeError, "argument 'timestamps': 'ndarray' object cannot be cast as 'list'"),
        ([ok], "x", 1.0, TypeError, "argument 'end_time': must be real number, not str"),
        ([[1.0]], 1.0, 1.0, TypeError, "each element of `timestamps` must be a 1-D float64 NumPy array"),
        ([np.array([1, 2])], 1.0, 1.0, TypeError, "each element of `timestamps` must be a 1-D float64 NumPy array"),
        ([np.zeros((2, 2))], 1.0, 1.0, TypeError, "each element of `timestamps` must be a 1-D float64 NumPy array"),
        ([np.array([1.0, 2.0])[::-1]], 1.0, 1.0, ValueError, "timestamps arrays must be C-contiguous (use np.ascontiguousarray)"),
        ([np.arange(6.0)[::2]], 1.0, 1.0, ValueError, "timestamps arrays must be C-contiguous (use np.ascontiguousarray)"),
        # The type of every element is checked while copying, before any value check.
        ([ok, [1.0]], -1.0, -1.0, TypeError, "each element of `timestamps` must be a 1-D float64 NumPy array"),
        ([ok], -1.0, -1.0, ValueError, "invalid parameter: decay must be positive; got -1"),
        ([ok], 0.0, 0.5, ValueError, "invalid parameter: end_time must be positive; got 0"),
        ([], 1.0, 1.0, ValueError, "invalid parameter: timestamps must not be empty (need at least 1 dimension)"),
        ([np.array([-1.0, 0.5]), np.array([3.0, 2.0])], 5.0, 1.0, ValueError, "event -1 outside [0, 5]"),
        ([np.array([0.0, 6.5]), np.array([3.0, 2.0])], 5.0, 1.0, ValueError, "event 6.5 outside [0, 5]"),
        ([np.array([0.5, 1.0]), np.array([-3.0, 2.0, 1.5])], 5.0, 1.0, ValueError, "non-monotone events: index 2 (2 > 1.5)"),
    ],
)
def test_construction_checks_and_their_order(timestamps, end_time, decay, error, message):
    with pytest.raises(error) as info:
        MvExpRecursiveLogLik(timestamps, end_time, decay)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("events", "message"),
    [
        # Ties and NaN pass the order check, so the first decreasing pair after them is reported.
        ([1.0, 1.0, 0.5], "non-monotone events: index 2 (1 > 0.5)"),
        ([math.nan, 2.0, 1.0], "non-monotone events: index 2 (2 > 1)"),
        ([0.5, 0.5, 1.0, math.nan, 3.0, 2.0], "non-monotone events: index 5 (3 > 2)"),
        ([1.0, 1.0, 2.0], None),
        ([1.0, math.nan, 0.5], None),
    ],
)
def test_order_check_after_ties_and_nan(events, message):
    timestamps = [np.array([0.25]), np.array(events)]
    if message is None:
        assert MvExpRecursiveLogLik(timestamps, 4.0, 1.0).n_total_jumps == len(events) + 1
    else:
        with pytest.raises(ValueError) as info:
            MvExpRecursiveLogLik(timestamps, 4.0, 1.0)
        assert str(info.value) == message


@pytest.mark.parametrize("M", [1, 3])
def test_misaligned_event_arrays_give_the_same_bits(rng, M):
    events = random_events(rng, M, 40, 10.0)
    shifted = []
    for times in events:
        raw = np.zeros(times.size * 8 + 1, dtype=np.uint8)
        view = raw[1:].view(np.float64)
        view[:] = times
        shifted.append(view)
    coeffs = coefficients(rng, M)
    expected = MvExpRecursiveLogLik(events, 10.0, 0.8).loss(coeffs)
    assert MvExpRecursiveLogLik(shifted, 10.0, 0.8).loss(coeffs).hex() == expected.hex()


def test_one_element_reversed_view_and_list_subclass_are_accepted():
    class Events(list):
        pass

    model = MvExpRecursiveLogLik(Events([np.array([1.0, 2.0])[::-1][:1]]), 3.0, 1.0)
    assert model.n_total_jumps == 1


def test_list_is_read_after_the_doubles_convert():
    events = [np.array([1.0])]

    class Mutating:
        def __float__(self):
            events.append(np.array([0.5, 1.5]))
            return 2.0

    model = MvExpRecursiveLogLik(events, Mutating(), 1.0)
    assert model.n_dims == 2 and model.n_total_jumps == 3


@pytest.fixture
def model():
    return MvExpRecursiveLogLik([np.array([0.5, 1.0]), np.array([0.7])], 2.0, 1.0)


def test_read_only_out_is_a_value_error_and_out_is_untouched(model):
    out = np.full(6, 4.0)
    out.flags.writeable = False
    with pytest.raises(ValueError, match=r"NotWriteable$"):
        model.loss_and_grad(np.full(6, 0.2), out)
    assert out.tolist() == [4.0] * 6


@pytest.mark.parametrize("offset", [0, 3, -3])
def test_out_overlapping_coeffs_is_a_value_error(model, offset):
    buffer = np.arange(12.0) / 10.0
    coeffs = buffer[3:9]
    out = buffer[3 + offset : 9 + offset]
    before = buffer.copy()
    with pytest.raises(ValueError, match=r"AlreadyBorrowed$"):
        model.loss_and_grad(coeffs, out)
    assert buffer.tolist() == before.tolist()


@pytest.mark.parametrize(
    ("n_coeffs", "n_out", "message"),
    [
        (5, 6, "invalid parameter: coeffs length mismatch: expected 6, got 5"),
        (6, 7, "invalid parameter: out length mismatch: expected 6, got 7"),
        (0, 0, "invalid parameter: coeffs length mismatch: expected 6, got 0"),
    ],
)
def test_length_mismatch_leaves_out_untouched(model, n_coeffs, n_out, message):
    out = np.full(n_out, 3.0)
    with pytest.raises(ValueError) as info:
        model.loss_and_grad(np.full(n_coeffs, 0.2), out)
    assert str(info.value) == message
    assert out.tolist() == [3.0] * n_out


def test_call_sequence_order(model):
    strided = np.zeros(12)[::2]
    read_only = np.zeros(6)
    read_only.flags.writeable = False
    # coeffs contiguity comes before the write view, which comes before out's contiguity.
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        model.loss_and_grad(strided, read_only)
    with pytest.raises(ValueError, match="NotWriteable$"):
        model.loss_and_grad(np.zeros(6), read_only)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        model.loss_and_grad(np.zeros(5), strided)
    with pytest.raises(TypeError, match="^argument 'out': 'list' object cannot be cast as 'ndarray'$"):
        model.loss_and_grad(strided, [0.0] * 6)


def test_misaligned_out_is_written(model):
    raw = np.zeros(6 * 8 + 1, dtype=np.uint8)
    out = raw[1:].view(np.float64)
    coeffs = np.full(6, 0.3)
    expected = np.empty(6)
    model.loss_and_grad(coeffs, expected)
    model.loss_and_grad(coeffs, out)
    assert hexes(out) == hexes(expected)


def load_example():
    path = ROOT / "examples" / "fit_bivariate_exp.py"
    module_spec = importlib.util.spec_from_file_location("fit_bivariate_exp", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def test_bivariate_fit_recovers_the_parameters_within_statistical_error():
    example = load_example()
    mu = np.array([0.5, 0.3])
    alpha = np.array([[0.3, 0.1], [0.2, 0.4]])
    beta, T = 1.5, 4000.0
    events = simulate_mv_exp_hawkes(T, mu, alpha.ravel(), beta, seed=11)
    model, result = example.fit(events, T, beta)
    assert result.success
    estimate = result.x
    # Standard errors from the observed information: the Hessian by central differences of the
    # analytic gradient at the estimate.
    n = model.n_coeffs
    hessian = np.empty((n, n))
    g_up, g_down = np.empty(n), np.empty(n)
    for c in range(n):
        h = 1e-5 * max(1.0, abs(estimate[c]))
        up, down = estimate.copy(), estimate.copy()
        up[c] += h
        down[c] -= h
        model.loss_and_grad(up, g_up)
        model.loss_and_grad(down, g_down)
        hessian[:, c] = (g_up - g_down) / (2 * h)
    errors = np.sqrt(np.diag(np.linalg.inv((hessian + hessian.T) / 2)))
    truth = np.concatenate([mu, alpha.ravel()])
    assert np.all(np.abs(estimate - truth) < 4 * errors), (estimate, truth, errors)
    assert np.all(errors < 0.1)


def test_many_dimensions(rng):
    # Past a few hundred dimensions the weights are built pair by pair: the same bits.
    M, T = 260, 10.0
    events = [np.array([t]) for t in rng.uniform(0.0, T, M)]
    coeffs = coefficients(rng, M)
    model = MvExpRecursiveLogLik(events, T, 0.7)
    out = np.empty(model.n_coeffs)
    ref_loss, ref_out = reference(events, T, 0.7, coeffs)
    assert model.loss_and_grad(coeffs, out).hex() == ref_loss.hex()
    assert hexes(out) == hexes(ref_out)


@pytest.fixture(scope="module")
def small_memory(memory_limited):
    # With 64 MB to use, 3000 dimensions (9 * 10^6 compensator weights, 72 MB) do not fit,
    # whatever memory the host has.
    return memory_limited(64_000_000, {
        "weights": "lk.MvExpRecursiveLogLik([np.empty(0)] * 3000, 1.0, 1.0)",
        "fault": "lk.MvExpRecursiveLogLik([np.array([2.0, 1.0])] + [np.empty(0)] * 2999, 5.0, 1.0)",
    })


def test_weights_beyond_memory_are_a_memory_error(small_memory):
    # Refused before anything is allocated, with what and how large.
    assert small_memory["weights"][:2] == [
        "MemoryError",
        "could not allocate the model's events and weights, N·(M + 1) + M·M doubles: 9000000 x 8 "
        "bytes = 72000000 bytes (68.7 MiB), more than the memory this process may use, 64000000 "
        "bytes (61.0 MiB)",
    ]


def test_event_faults_come_before_the_memory_error(small_memory):
    assert small_memory["fault"][:2] == ["ValueError", "non-monotone events: index 1 (2 > 1)"]
