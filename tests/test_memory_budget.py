"""Runaway simulations stop at the memory budget with a message that explains them, a baseline
that alone would exceed it is refused before anything is drawn, and every MemoryError says what
could not be allocated and how large it was. The budget is made small and independent of the
host by VOSTREL_MEMORY_LIMIT, which the module reads once per process: those cases run in one
child process."""

import re

import numpy as np
import pytest

from vostrel._libvostrel import likelihood as lk
from vostrel._libvostrel import simulation as sim

LIMIT = 64_000_000  # bytes the child may use; the simulators' budget is half of it
BUDGET = r"the memory budget of 32000000 bytes \(30\.5 MiB\), half of the memory this process may use"
STOPPED = (
    r"^the simulation stopped after \d+ events? up to time [0-9.]+ \(t_horizon = {T}\): its event "
    r"lists hold \d+ bytes \([0-9.]+ [KMG]iB\) and may not grow to \d+ bytes \([0-9.]+ [KMG]iB\) "
    r"within " + BUDGET + r"\. "
)

# name -> (call, the expected exception, a regular expression its whole message matches)
CASES = {
    "supercritical thinning": (
        "sim.simulate_uni_exp_hawkes(100.0, 1.0, 1.5, 1.0, 3)",
        "MemoryError",
        STOPPED.format(T=100)
        + r"The intensity kept growing \(its bound reached [0-9.]+\), so the parameters look "
        r"explosive: a branching ratio alpha = 1\.5 of 1 or more makes the process supercritical\.$",
    ),
    "near-critical thinning over a long window": (
        "sim.simulate_uni_exp_hawkes(1e5, 30.0, 0.999, 1.0, 3)",
        "MemoryError",
        STOPPED.format(T=100000)
        + r"The parameters ask for more events than the budget holds: with alpha = 0\.999 the "
        r"expected number of events is mu·t_horizon/\(1 - alpha\) = [0-9.]+\.$",
    ),
    "supercritical multivariate thinning": (
        "sim.simulate_mv_exp_hawkes(100.0, np.array([1.0, 1.0]), np.array([0.8, 0.5, 0.5, 0.8]), 1.0, 3)",
        "MemoryError",
        STOPPED.format(T=100)
        + r"The total intensity kept growing \(its bound reached [0-9.]+\), so the parameters look "
        r"explosive: an alpha matrix with spectral radius 1 or more makes the process "
        r"supercritical \(and otherwise the window holds more events than the budget: at least "
        r"sum\(mu\)·t_horizon = 200\)\.$",
    ),
    "near-critical branching": (
        "sim.simulate_uni_exp_branching(1e4, 30.0, 0.999, 1.0, 3)",
        "MemoryError",
        STOPPED.format(T=10000)
        + r"The clusters are large: each immigrant brings 1/\(1 - alpha\) = 999\.9999999999991 events "
        r"on average, so the expected number of events is mu·t_horizon/\(1 - alpha\) = [0-9.]+; "
        r"the parameters look explosive for this window\.$",
    ),
    "supercritical multivariate branching": (
        "sim.simulate_mv_exp_branching(100.0, np.array([1.0, 1.0]), np.array([0.0, 50.0, 0.5, 0.0]), 1.0, 3)",
        "MemoryError",
        STOPPED.format(T=100)
        + r"\d+ events still wait for their children: the clusters kept growing, so the parameters "
        r"look explosive \(an alpha matrix with spectral radius 1 or more, here with a largest "
        r"cell of 50, makes clusters grow without end\)\.$",
    ),
    "a child count beyond the budget": (
        "sim.simulate_mv_exp_branching(1.0, np.array([5.0]), np.array([1e18]), 1.0, 0)",
        "MemoryError",
        r"^the simulation stopped after 1 event up to time [0-9.]+ \(t_horizon = 1\): .* within "
        + BUDGET
        + r"\. An event of dimension 0 drew \d+ children in dimension 0 \(cell mean alpha = "
        r"1000000000000000000\), more than the budget holds: the parameters look explosive\.$",
    ),
    "an immigrant count beyond the budget": (
        "sim.simulate_uni_exp_branching(1e3, 3900.0, 0.5, 1.0, 0)",
        "MemoryError",
        r"^the simulation stopped before its first event \(t_horizon = 1000\): .* within "
        + BUDGET
        + r"\. The immigrant count alone, \d+, is more than the budget holds \(its mean "
        r"mu·t_horizon is 3900000\)\.$",
    ),
}

# Baselines that alone exceed the budget: (call, expression, expected events as printed).
BASELINES = {
    "a unit slip in mu": ("sim.simulate_uni_exp_hawkes(1000.0, 1e7, 0.5, 1.0, 0)", "mu", "10000000000"),
    "an absurd mu": ("sim.simulate_uni_exp_hawkes(1.0, 1e300, 0.5, 1.0, 0)", "mu", "1e300"),
    "a branching baseline": ("sim.simulate_uni_exp_branching(1e4, 1e3, 0.5, 1.0, 0)", "mu", "10000000"),
    "a multivariate thinning baseline": (
        "sim.simulate_mv_exp_hawkes(1e4, np.array([600.0, 0.0]), np.zeros(4), 1.0, 0)",
        "sum(mu)",
        "6000000",
    ),
    "a multivariate branching baseline": (
        "sim.simulate_mv_exp_branching(1e4, np.array([300.0, -1.0, 300.0]), np.zeros(9), 1.0, 0)",
        "sum(mu)",
        "6000000",
    ),
}

# The parameter errors the simulators have always raised still come first, whatever the budget.
FIRST = {
    "Exp(β) before the baseline": (
        "sim.simulate_uni_exp_branching(1e4, 1e3, 0.5, float('nan'), 0)",
        "ValueError",
        r"^invalid parameter: Exp\(β\): lambda is negative or NaN in exponential distribution$",
    ),
    "a too-large Poisson mean before the baseline": (
        "sim.simulate_uni_exp_branching(1.0, 1e20, 0.5, 1.0, 0)",
        "ValueError",
        r"^invalid parameter: Poisson\(μT\): lambda is too large in Poisson distribution, see "
        r"Poisson::MAX_LAMBDA$",
    ),
    "a dimension's Poisson mean before the baseline": (
        "sim.simulate_mv_exp_branching(1e4, np.array([1e3, float('nan')]), np.zeros(4), 1.0, 0)",
        "ValueError",
        r"^invalid parameter: Poisson\(μ_1·T\): lambda is infinite or nan in Poisson distribution$",
    ),
}

# Runs within the budget: their results, compared with the same calls in this process.
WITHIN = {
    "uni thinning": "sim.simulate_uni_exp_hawkes(200.0, 1.0, 0.6, 2.0, 11)",
    "uni branching": "sim.simulate_uni_exp_branching(200.0, 1.0, 0.6, 2.0, 11)",
    "mv thinning": "sim.simulate_mv_exp_hawkes(200.0, np.array([0.5, 0.2]), np.array([0.3, 0.1, 0.2, 0.3]), 1.5, 11)",
    "mv branching": "sim.simulate_mv_exp_branching(200.0, np.array([0.5, 0.2]), np.array([0.3, 0.1, 0.2, 0.3]), 1.5, 11)",
}

@pytest.fixture(scope="module")
def child_results(memory_limited):
    calls = {name: case[0] for table in (CASES, BASELINES, FIRST) for name, case in table.items()}
    calls.update(WITHIN)
    return memory_limited(LIMIT, calls)


@pytest.mark.parametrize("name", list(CASES) + list(FIRST))
def test_failure_and_its_message(child_results, name):
    _, exception, pattern = {**CASES, **FIRST}[name]
    kind, message, _ = child_results[name]
    assert kind == exception
    assert re.match(pattern, message), message


@pytest.mark.parametrize("name", BASELINES)
def test_baseline_beyond_the_budget_is_refused_before_drawing(child_results, name):
    _, expression, expected = BASELINES[name]
    kind, message, seconds = child_results[name]
    assert kind == "MemoryError"
    assert message == (
        "the baseline alone needs more memory than the memory budget of 32000000 bytes "
        f"(30.5 MiB), half of the memory this process may use: {expression}·t_horizon = "
        f"{expected} expected events at 8 bytes each; check the units of mu and t_horizon"
    )
    # Refused at once, not after drawing (the same calls took many seconds before).
    assert seconds < 1.0


@pytest.mark.parametrize("name", WITHIN)
def test_runs_within_the_budget_are_unchanged(child_results, name):
    kind, child_bits, _ = child_results[name]
    assert kind == "result"
    here = eval(WITHIN[name])
    arrays = here if isinstance(here, list) else [here]
    assert child_bits == [np.asarray(a).view(np.uint64).tolist() for a in arrays]


def test_memory_errors_say_what_and_how_large():
    # 2^64 - 1 components: beyond any memory, refused before anything is allocated.
    with pytest.raises(MemoryError) as info:
        lk.uni_approx_powerlaw_neg_ll_with_grad(
            np.array([0.5]), 1.0, 0.5, 0.5, 0.8, 0.3, 2.0, 2**64 - 1
        )
    # The gradient path holds 13 vectors of n_components doubles.
    doubles = 13 * (2**64 - 1)
    assert re.match(
        r"^could not allocate the 13 working arrays of n_components doubles each: "
        rf"{doubles} x 8 bytes = {8 * doubles} bytes \([0-9.]+ EiB\), "
        r"more than the memory this process may use, \d+ bytes",
        str(info.value),
    ), str(info.value)
