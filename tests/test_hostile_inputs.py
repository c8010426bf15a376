# Hostile input to the constructors of events and models and to simulate: every call ends in a
# valid result or a clear TypeError/ValueError/MemoryError raised by the package and naming an
# argument, and no argument is ever modified. bench/bench_hostile.py runs thousands of calls.
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).parent))
import hostile
from vostrel import Events


@pytest.mark.parametrize("seed", range(4))
def test_generated_hostile_calls_end_in_a_valid_result_or_a_clear_error(seed):
    rng = np.random.default_rng(seed)
    faults = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for call in hostile.calls(rng, 60):
            outcome, detail = hostile.run(call)
            if outcome in hostile.FAULTS:
                faults.append(f"{outcome}: {call.describe()} -> {detail}")
    assert not faults, "\n".join(faults)


_SPECIAL = np.array([0.0, -0.0, 1.0, -1.0, 0.5, 5e-324, 1e-310, 1e308, -1e308, np.nan, np.inf, -np.inf])


def _any_floats(rng, size):
    """Floats of every kind: ordinary, special values and ties."""
    values = np.where(
        rng.random(size) < 0.3,
        _SPECIAL[rng.integers(0, _SPECIAL.size, size)],
        rng.random(size) * 10.0 ** rng.integers(-5, 6, size),
    )
    if size > 2 and rng.random() < 0.5:
        values[1] = values[0]
    return values


@pytest.mark.parametrize("seed", range(3))
def test_from_arrays_on_any_floats(seed):
    rng = np.random.default_rng(seed)
    for _ in range(80):
        times = _any_floats(rng, int(rng.integers(0, 12)))
        if rng.random() < 0.7:
            times = np.sort(times)
        times.flags.writeable = False
        before = times.tobytes()
        end = float(_any_floats(rng, 1)[0]) if rng.random() < 0.4 else 1e6
        ties = "jitter" if rng.random() < 0.6 else "error"
        jitter_seed = int(rng.integers(-2, 2**40))
        resolution = None if rng.random() < 0.6 else float(_any_floats(rng, 1)[0])
        try:
            events = Events.from_arrays(
                times, end, ties=ties, seed=jitter_seed, resolution=resolution
            )
        except (TypeError, ValueError, MemoryError) as exc:
            assert any(w in str(exc) for w in ("times", "end_time", "seed", "resolution")), exc
        else:
            t = events[0].times
            assert np.all(np.isfinite(t)) and np.all(np.diff(t) > 0)
            assert t.size == 0 or (t[0] >= 0.0 and t[-1] <= end)
            moved = np.abs(t - times) if t.size else np.zeros(0)
            if resolution is not None and moved.size:
                assert np.max(moved) < resolution
        assert times.tobytes() == before
