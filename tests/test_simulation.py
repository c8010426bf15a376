"""The simulators' surface: registration, argument checks and their messages, sampler failures,
reproducibility bit for bit, result shapes and ranges, and the guards against hangs and
allocation failures."""

import hashlib
import math

import numpy as np
import pytest

from vostrel._libvostrel import simulation as sim

NAN = float("nan")
INF = float("inf")

UNI = [sim.simulate_uni_exp_hawkes, sim.simulate_uni_exp_branching]
MV = [sim.simulate_mv_exp_hawkes, sim.simulate_mv_exp_branching]
MU2 = np.array([1.0, 0.5])
ALPHA2 = np.array([0.3, 0.1, 0.2, 0.4])


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


def test_registration_order():
    assert sim.__all__ == [
        "simulate_uni_exp_hawkes",
        "simulate_mv_exp_hawkes",
        "simulate_uni_exp_branching",
        "simulate_mv_exp_branching",
    ]


# --- argument checks -------------------------------------------------------------------------


@pytest.mark.parametrize("simulate", UNI)
@pytest.mark.parametrize(
    "args, message",
    [
        ((0.0, 1.0, 0.5, 1.0), "t_horizon must be positive; got 0"),
        ((-INF, 1.0, 0.5, 1.0), "t_horizon must be positive; got -inf"),
        ((1.0, -0.5, 0.5, 1.0), "mu must be non-negative; got -0.5"),
        ((1.0, 1.0, 0.0, 1.0), "alpha and beta must be positive; got alpha=0, beta=1"),
        ((1.0, 1.0, 0.5, -2.0), "alpha and beta must be positive; got alpha=0.5, beta=-2"),
    ],
)
def test_uni_checks(simulate, args, message):
    with pytest.raises(ValueError) as info:
        simulate(*args, 0)
    assert str(info.value) == "invalid parameter: " + message


@pytest.mark.parametrize("simulate", MV)
@pytest.mark.parametrize(
    "args, message",
    [
        ((0.0, MU2, ALPHA2, 1.0), "t_horizon must be positive; got 0"),
        ((1.0, np.array([]), np.array([]), 1.0), "mu is empty"),
        ((1.0, MU2, np.zeros(5), -1.0), "alpha length (5) must be M·M (4)"),
        ((1.0, np.array([1.0, 1.0, -1.0]), np.zeros(9), 0.0), "beta must be positive; got 0"),
    ],
)
def test_mv_checks(simulate, args, message):
    with pytest.raises(ValueError) as info:
        simulate(*args, 0)
    assert str(info.value) == "invalid parameter: " + message


def test_mv_thinning_checks_mu_values():
    message = r"^invalid parameter: mu\[2\] must be non-negative; got -1$"
    with pytest.raises(ValueError, match=message):
        sim.simulate_mv_exp_hawkes(1.0, np.array([1.0, 1.0, -1.0]), np.zeros(9), 1.0, 0)


def test_uni_branching_refuses_supercritical_alpha():
    with pytest.raises(ValueError) as info:
        sim.simulate_uni_exp_branching(1.0, 1.0, 1.0, 1.0, 0)
    assert str(info.value) == (
        "invalid parameter: alpha (= L1 norm) must be < 1 for the branching process to be "
        "subcritical; got 1"
    )
    sim.simulate_uni_exp_branching(1.0, 1.0, 0.999999, 1.0, 0)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: sim.simulate_uni_exp_hawkes(1.0, NAN, 0.5, 1.0, 0),
         "exponential distribution: lambda is negative or NaN in exponential distribution"),
        (lambda: sim.simulate_mv_exp_hawkes(1.0, np.array([1.0, NAN]), ALPHA2, 1.0, 0),
         "exponential distribution: lambda is negative or NaN in exponential distribution"),
        (lambda: sim.simulate_uni_exp_branching(1.0, 0.0, 0.5, 1.0, 0),
         "Poisson(μT): lambda is not positive in Poisson distribution"),
        (lambda: sim.simulate_uni_exp_branching(INF, 1.0, 0.5, 1.0, 0),
         "Poisson(μT): lambda is infinite or nan in Poisson distribution"),
        (lambda: sim.simulate_uni_exp_branching(1.0, 1e300, 0.5, 1.0, 0),
         "Poisson(μT): lambda is too large in Poisson distribution, see Poisson::MAX_LAMBDA"),
        (lambda: sim.simulate_uni_exp_branching(1.0, 1.0, NAN, 1.0, 0),
         "Poisson(α): lambda is infinite or nan in Poisson distribution"),
        (lambda: sim.simulate_uni_exp_branching(1e-300, 1e-300, 0.5, NAN, 0),
         "Poisson(μT): lambda is not positive in Poisson distribution"),
        (lambda: sim.simulate_uni_exp_branching(1.0, 1e-3, 0.5, NAN, 0),
         "Exp(β): lambda is negative or NaN in exponential distribution"),
        (lambda: sim.simulate_mv_exp_branching(1.0, np.array([1.0, NAN]), ALPHA2, 1.0, 0),
         "Poisson(μ_1·T): lambda is infinite or nan in Poisson distribution"),
        (lambda: sim.simulate_mv_exp_branching(1.0, np.array([0.0, 0.0]), ALPHA2, NAN, 0),
         "Exp(β): lambda is negative or NaN in exponential distribution"),
        (lambda: sim.simulate_mv_exp_branching(
            10.0, np.array([1.0, 0.0]), np.array([0.3, 0.1, NAN, 0.4]), 1.0, 0),
         "Poisson(α_10): lambda is infinite or nan in Poisson distribution"),
    ],
)
def test_sampler_failures(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == "invalid parameter: " + message


def test_nan_cell_of_a_silent_source_is_never_reached():
    # alpha[1*M + 0] is NaN but dimension 0 has no immigrants and no parent: the cell is never used.
    out = sim.simulate_mv_exp_branching(
        10.0, np.array([0.0, 1.0]), np.array([0.3, 0.0, NAN, 0.4]), 1.0, 0)
    assert len(out[0]) == 0 and len(out[1]) > 0


@pytest.mark.parametrize("simulate", UNI + MV)
def test_seed_conversion(simulate):
    args = (1.0, 1.0, 0.5, 1.0) if simulate in UNI else (1.0, MU2, ALPHA2, 1.0)
    for bad in (None, 1.0):
        with pytest.raises(TypeError, match=r"^argument 'seed': "):
            simulate(*args, bad)
    for bad in (-1, 2**64):
        with pytest.raises(OverflowError) as info:
            simulate(*args, bad)
        assert not str(info.value).startswith("argument")
    simulate(*args, np.uint64(2**64 - 1))
    simulate(*args, seed=True)


@pytest.mark.parametrize("simulate", MV)
def test_mv_contiguity_mu_first(simulate):
    strided = np.zeros(8)[::2]
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        simulate(1.0, np.ones(4)[::2], strided, 1.0, 0)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        simulate(1.0, MU2, strided, 1.0, 0)
    message = r"^argument 'mu': 'list' object cannot be cast as 'ndarray'$"
    with pytest.raises(TypeError, match=message):
        simulate(1.0, [1.0], np.ones(1), 1.0, 0)


# --- reproducibility and shapes ----------------------------------------------------------------


def _run(simulate, seed, t_horizon=50.0):
    if simulate in UNI:
        return [simulate(t_horizon, 1.0, 0.5, 2.0, seed)]
    return simulate(t_horizon, MU2, ALPHA2, 2.0, seed)


@pytest.mark.parametrize("simulate", UNI + MV)
@pytest.mark.parametrize("seed", [0, 1, 2**64 - 1])
def test_same_seed_same_bits(simulate, seed):
    first, second = _run(simulate, seed), _run(simulate, seed)
    assert len(first) == len(second)
    for a, b in zip(first, second):
        assert a.dtype == np.float64 and a.ndim == 1 and a.flags.c_contiguous and a.flags.writeable
        assert np.array_equal(bits(a), bits(b))


@pytest.mark.parametrize("simulate", UNI + MV)
def test_different_seeds_differ(simulate):
    runs = [np.concatenate(_run(simulate, seed)) for seed in (0, 1, 2, 2**64 - 1)]
    for i in range(len(runs)):
        for j in range(i):
            assert len(runs[i]) != len(runs[j]) or not np.array_equal(runs[i], runs[j])


@pytest.mark.parametrize("simulate", UNI + MV)
def test_sorted_and_in_window(simulate):
    closed = simulate in (sim.simulate_uni_exp_branching, sim.simulate_mv_exp_branching)
    for seed in range(20):
        for times in _run(simulate, seed, t_horizon=5.0):
            assert np.all(np.diff(times) >= 0)
            assert np.all(times >= 0)
            assert np.all(times <= 5.0) if closed else np.all(times < 5.0)


# The order of draws is part of the contract: these first events must never change.
@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: [sim.simulate_uni_exp_hawkes(10.0, 1.0, 0.5, 2.0, 0)[:3]],
         [["0x1.c800485efc53ep-1", "0x1.12904e506fbafp+2", "0x1.3530d2c6de56dp+2"]]),
        (lambda: [sim.simulate_uni_exp_branching(10.0, 1.0, 0.5, 2.0, 0)[:3]],
         [["0x1.f9db47583d3a8p-2", "0x1.20ef34ce764eep+0", "0x1.8dcbd33cdbea1p+0"]]),
        (lambda: [a[:2] for a in sim.simulate_mv_exp_hawkes(10.0, MU2, ALPHA2, 2.0, 0)],
         [["0x1.300034acb85c4p-1", "0x1.96a4a23a74ffdp+0"],
          ["0x1.520d2e042cb36p+0", "0x1.3e3549cd8e40cp+1"]]),
        (lambda: [a[:2] for a in sim.simulate_mv_exp_branching(10.0, MU2, ALPHA2, 2.0, 0)],
         [["0x1.f9db47583d3a8p-2", "0x1.16ece6865f5a2p+0"],
          ["0x1.33b6651e54808p-3", "0x1.07f5157a1f4f4p-1"]]),
    ],
)
def test_pinned_first_events(call, expected):
    assert [[float(v).hex() for v in a] for a in call()] == expected


def _digest(arrays):
    h = hashlib.sha256()
    for a in arrays:
        h.update(np.asarray(a, dtype=np.float64).tobytes())
        h.update(b"|")
    return h.hexdigest()[:16]


# Whole long runs, thousands of candidates through every path of the thinning loop (rejections
# decided with and without the exp, bound raises, refills), pinned bit for bit; the last one has
# a negative cell, so its intensity can rise between events.
@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: [sim.simulate_uni_exp_hawkes(2000.0, 1.0, 0.6, 2.0, 11)], "898e52393328aa52"),
        (lambda: [sim.simulate_uni_exp_hawkes(500.0, 0.2, 0.95, 0.5, 12)], "3003fb1d9c80e454"),
        (lambda: sim.simulate_mv_exp_hawkes(
            500.0, np.array([0.5, 0.3, 0.2]),
            np.array([0.3, 0.1, 0.1, 0.1, 0.3, 0.1, 0.1, 0.1, 0.3]), 2.0, 13),
         "d3a934810ac3abf5"),
        (lambda: sim.simulate_mv_exp_hawkes(
            500.0, np.array([1.0, 0.5]), np.array([0.3, -0.2, 0.2, 0.4]), 2.0, 14),
         "2a9e5dfb62bc3164"),
    ],
)
def test_pinned_long_runs(call, expected):
    assert _digest(call()) == expected


def test_empty_results_keep_their_shape():
    # mu = 0: candidates at rate 1e-6 are accepted only on a unit draw of exactly 0.
    out = sim.simulate_uni_exp_hawkes(10.0, 0.0, 0.5, 1.0, 0)
    assert out.shape == (0,) and out.dtype == np.float64
    out = sim.simulate_mv_exp_branching(10.0, np.array([0.0, -1.0, 0.0]), np.ones(9) * 0.1, 1.0, 0)
    assert [a.shape for a in out] == [(0,), (0,), (0,)]
    out = sim.simulate_mv_exp_hawkes(1e-9, np.array([1.0, 1.0]), ALPHA2, 1.0, 0)
    assert isinstance(out, list) and [a.shape for a in out] == [(0,), (0,)]


def test_branching_zero_cells_have_no_children():
    # Dimension 1 has no immigrants and no cell feeding it: it stays empty.
    out = sim.simulate_mv_exp_branching(
        20.0, np.array([1.0, 0.0]), np.array([0.5, 0.0, -0.5, 0.9]), 1.0, 3)
    assert len(out[0]) > 0 and len(out[1]) == 0


# --- what a literal reading would get wrong ----------------------------------------------------


@pytest.mark.parametrize("alpha", [np.array([NAN, 0.1, 0.2, 0.3]), np.array([0.1, 0.2, 0.3, NAN])])
def test_nan_intensity_rejects_every_candidate(alpha):
    for seed in range(5):
        out = sim.simulate_mv_exp_hawkes(50.0, MU2, alpha, 1.0, seed)
        assert [len(a) for a in out] == [0, 0]
    out = sim.simulate_mv_exp_hawkes(50.0, MU2, ALPHA2, NAN, 0)
    assert [len(a) for a in out] == [0, 0]
    assert len(sim.simulate_uni_exp_hawkes(50.0, 1.0, NAN, 1.0, 0)) == 0


FINITE = "t_horizon must be finite"
UNBOUNDED = "intensity bound overflowed to inf"


@pytest.mark.parametrize(
    "call, fragment",
    [
        (lambda: sim.simulate_uni_exp_hawkes(NAN, 1.0, 0.5, 1.0, 0), FINITE + "; got NaN"),
        (lambda: sim.simulate_uni_exp_hawkes(INF, 1.0, 0.5, 1.0, 0), FINITE + "; got inf"),
        (lambda: sim.simulate_mv_exp_hawkes(NAN, MU2, ALPHA2, 1.0, 0), FINITE),
        (lambda: sim.simulate_mv_exp_hawkes(INF, MU2, ALPHA2, 1.0, 0), FINITE),
        (lambda: sim.simulate_uni_exp_hawkes(1.0, INF, 0.5, 1.0, 0), UNBOUNDED),
        (lambda: sim.simulate_uni_exp_hawkes(1.0, 1.3e308, 0.5, 1.0, 0), UNBOUNDED),
        (lambda: sim.simulate_mv_exp_hawkes(1.0, np.array([1.0, INF]), ALPHA2, 1.0, 0), UNBOUNDED),
        # Each event lifts the intensity by 1e308: the bound overflows after one or two events.
        (lambda: sim.simulate_uni_exp_hawkes(10.0, 1.0, 1e308, 1.0, 0), UNBOUNDED),
        (lambda: sim.simulate_mv_exp_hawkes(10.0, MU2, np.full(4, 1e308), 1.0, 0), UNBOUNDED),
    ],
)
def test_unreachable_horizon_raises_instead_of_hanging(call, fragment):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value).startswith("invalid parameter: ") and fragment in str(info.value)


def test_bound_errors_keep_their_place():
    # A NaN mu fails on the sampler before the horizon is looked at.
    with pytest.raises(ValueError, match="exponential distribution"):
        sim.simulate_uni_exp_hawkes(NAN, NAN, 0.5, 1.0, 0)
    with pytest.raises(ValueError, match="t_horizon must be positive"):
        sim.simulate_uni_exp_hawkes(-INF, INF, 0.5, 1.0, 0)


@pytest.mark.parametrize(
    "call",
    [
        lambda: sim.simulate_uni_exp_branching(1e15, 1.0, 0.5, 1.0, 0),
        lambda: sim.simulate_uni_exp_branching(1.0, 1.8e19, 0.5, 1.0, 0),
        lambda: sim.simulate_mv_exp_branching(1.0, np.array([1.0, 1e16]), ALPHA2, 1.0, 0),
    ],
)
def test_immigrant_count_too_large_is_memory_error(call):
    with pytest.raises(MemoryError):
        call()


def test_thinning_candidate_at_the_horizon_ends_the_run():
    # Every event lies strictly before T, even for a tiny window.
    for seed in range(50):
        times = sim.simulate_uni_exp_hawkes(0.5, 4.0, 0.5, 1.0, seed)
        assert np.all(times < 0.5)
        assert math.isfinite(times.sum())


def test_child_count_too_large_is_memory_error():
    # One immigrant whose cell mean is 1e18: its children cannot be held.
    with pytest.raises(MemoryError):
        sim.simulate_mv_exp_branching(1.0, np.array([5.0]), np.array([1e18]), 1.0, 0)
