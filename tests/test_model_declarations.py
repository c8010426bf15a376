# Each family declares its parameters once (models/_params.py); the parameter metadata, default
# bounds, start values and constructor checks derived from the declarations must be exactly what
# the hand-written hooks gave. tests/data/model_declarations.json was written by this file
# (`python tests/test_model_declarations.py --write`) from those hand-written hooks; every float
# is compared by its bits.
import json
import math
import pathlib
import sys

import numpy as np
import pytest

import vostrel as vs
from vostrel.models._base import DataStats

PINS = pathlib.Path(__file__).parent / "data" / "model_declarations.json"


def _link(x):
    return x


CASES = {
    "exponential": lambda: vs.Exponential(),
    "exponential_set": lambda: vs.Exponential(0.4, 0.5, 1.5),
    "marked": lambda: vs.MarkedExponential(0.4, 0.3, 1.5),
    "sumexp_1": lambda: vs.SumExponential(0.4, [0.2], [0.5]),
    "sumexp_2": lambda: vs.SumExponential(),
    "sumexp_3": lambda: vs.SumExponential(0.4, [0.1, 0.2, 0.3], [0.5, 4.0, 40.0]),
    "powerlaw": lambda: vs.PowerLaw(0.4, 0.6, 1.2, 0.8),
    "approx_powerlaw": lambda: vs.ApproxPowerLaw(0.4, 0.5, 0.7, 0.1, 2.0, 6),
    "nonparametric_4": lambda: vs.Nonparametric(),
    "nonparametric_1": lambda: vs.Nonparametric(0.4, [0.5, 2.0], [0.3]),
    "softplus": lambda: vs.NonlinearExponential(-0.2, 0.6, 2.0, "softplus"),
    "sigmoid": lambda: vs.NonlinearExponential(0.1, -0.5, 2.0, "sigmoid", 3.0),
    "relu": lambda: vs.NonlinearExponential(0.3, -0.4, 2.0, "relu"),
    "identity": lambda: vs.NonlinearExponential(0.3, 0.4, 2.0, "identity"),
    "callable": lambda: vs.NonlinearExponential(0.3, 0.4, 2.0, _link),
    "mv_1_shared": lambda: vs.MultivariateExponential([0.3], [[0.2]], 1.5),
    "mv_2_shared": lambda: vs.MultivariateExponential(),
    "mv_2_fixed": lambda: vs.MultivariateExponential(
        [0.3, 0.2], [[0.2, 0.3], [0.0, 0.4]], 2.0, "fixed"
    ),
    "mv_2_per_cell": lambda: vs.MultivariateExponential(
        [0.3, 0.2], [[0.2, 0.3], [0.1, 0.4]], [[1.0, 3.0], [0.5, 2.0]], "per_cell"
    ),
    "mv_3_per_cell": lambda: vs.MultivariateExponential(
        [0.3, 0.2, 0.1], np.full((3, 3), 0.1), np.full((3, 3), 2.0), "per_cell"
    ),
}

STATS = {
    "typical": DataStats(1000, 500.0, 500.0, 1e-3, 0.3, 2.0, 499.0),
    "sparse": DataStats(3, 1e6, 2.5e5, 17.0, 3.3e4, 3e-6, 2e5),
}

SEEDS = (0, 7)

# Constructor calls with one or several faults: the first fault reported must stay the same.
BAD = {
    "exp_mu": lambda: vs.Exponential(-1.0),
    "exp_mu_and_alpha": lambda: vs.Exponential(-1.0, math.nan),
    "exp_alpha": lambda: vs.Exponential(1.0, -0.5),
    "exp_beta_zero": lambda: vs.Exponential(1.0, 0.5, 0.0),
    "exp_beta_text": lambda: vs.Exponential(1.0, 0.5, "fast"),
    "exp_beta_array": lambda: vs.Exponential(1.0, 0.5, [1.0, 2.0]),
    "exp_inf": lambda: vs.Exponential(math.inf),
    "sumexp_mu": lambda: vs.SumExponential(-1.0, [0.1], [0.2, 0.3]),
    "sumexp_shape": lambda: vs.SumExponential(1.0, [0.1], [0.2, 0.3]),
    "sumexp_negative_and_shape": lambda: vs.SumExponential(1.0, [-0.1], [0.2, 0.3]),
    "sumexp_empty": lambda: vs.SumExponential(1.0, [], []),
    "sumexp_2d": lambda: vs.SumExponential(1.0, [[0.1]], [[0.2]]),
    "sumexp_nan": lambda: vs.SumExponential(1.0, [0.1, math.nan], [0.2, 0.3]),
    "sumexp_beta_nan_alpha_negative": lambda: vs.SumExponential(1.0, [-0.1, 0.2], [0.2, math.nan]),
    "sumexp_alpha": lambda: vs.SumExponential(1.0, [0.1, -0.2], [0.2, 0.3]),
    "sumexp_beta": lambda: vs.SumExponential(1.0, [0.1, 0.2], [0.2, 0.0]),
    "sumexp_ragged": lambda: vs.SumExponential(1.0, [0.1, [0.2]], [0.2, 0.3]),
    "powerlaw_c": lambda: vs.PowerLaw(1.0, 0.5, 1.0, 0.0),
    "powerlaw_beta": lambda: vs.PowerLaw(1.0, 0.5, -1.0, -1.0),
    "approx_alpha_zero": lambda: vs.ApproxPowerLaw(1.0, 0.0),
    "approx_mu_and_alpha_zero": lambda: vs.ApproxPowerLaw(-1.0, 0.0),
    "approx_alpha_negative": lambda: vs.ApproxPowerLaw(1.0, -0.5),
    "approx_beta_pow": lambda: vs.ApproxPowerLaw(1.0, 0.5, 0.0),
    "approx_r": lambda: vs.ApproxPowerLaw(1.0, 0.5, 0.5, 0.1, 1.0),
    "approx_n": lambda: vs.ApproxPowerLaw(1.0, 0.5, 0.5, 0.1, 2.0, 0),
    "nonparametric_edges": lambda: vs.Nonparametric(1.0, [0.0, 1.0, 1.0], [0.1, 0.2]),
    "nonparametric_values_shape": lambda: vs.Nonparametric(1.0, [0.0, 1.0, 2.0], [0.1]),
    "nonparametric_values": lambda: vs.Nonparametric(1.0, [0.0, 1.0, 2.0], [0.1, -0.2]),
    "nonparametric_mu_and_edges": lambda: vs.Nonparametric(-1.0, [1.0], [0.1]),
    "nonlinear_link": lambda: vs.NonlinearExponential(-1.0, 0.5, 1.0, "tanh"),
    "nonlinear_link_type": lambda: vs.NonlinearExponential(-1.0, 0.5, 1.0, 3),
    "nonlinear_relu_mu": lambda: vs.NonlinearExponential(-1.0, 0.5, 1.0, "relu"),
    "nonlinear_relu_mu_and_beta": lambda: vs.NonlinearExponential(-1.0, 0.5, 0.0, "relu"),
    "nonlinear_alpha": lambda: vs.NonlinearExponential(-1.0, math.inf, 1.0),
    "nonlinear_scale": lambda: vs.NonlinearExponential(-1.0, 0.5, 1.0, "sigmoid", 0.0),
    "nonlinear_quad": lambda: vs.NonlinearExponential(-1.0, 0.5, 1.0, "sigmoid", 1.0, 1),
    "mv_decay": lambda: vs.MultivariateExponential([0.1], [[0.1]], 1.0, "both"),
    "mv_mu_empty": lambda: vs.MultivariateExponential([], [[0.1]], 1.0),
    "mv_alpha_shape": lambda: vs.MultivariateExponential([0.1, 0.2], [[0.1]], 1.0),
    "mv_mu_negative_alpha_shape": lambda: vs.MultivariateExponential([-0.1, 0.2], [[0.1]], 1.0),
    "mv_mu_negative_beta": lambda: vs.MultivariateExponential([-0.1], [[0.1]], -1.0),
    "mv_alpha_negative_beta_nan": lambda: vs.MultivariateExponential(
        [0.1, 0.2], [[0.1, 0.0], [-0.1, 0.0]], [[1.0, math.nan], [1.0, 1.0]], "per_cell"
    ),
    "mv_beta_matrix_shared": lambda: vs.MultivariateExponential([0.1], [[0.1]], [[1.0]]),
    "mv_beta_per_cell_shape": lambda: vs.MultivariateExponential([0.1], [[0.1]], 1.0, "per_cell"),
    "mv_beta_per_cell": lambda: vs.MultivariateExponential([0.1], [[0.1]], [[0.0]], "per_cell"),
}


def _float(value):
    if value is None:
        return None
    return float(value).hex()


def snapshot():
    """What the declarations must reproduce, as JSON-ready data."""
    out = {"models": {}, "errors": {}}
    for key, make in CASES.items():
        model = make()
        entry = {
            "info": [
                [
                    p.name,
                    p.group,
                    _float(p.lower),
                    _float(p.upper),
                    p.log_scale,
                    p.time_power,
                    p.strict,
                ]
                for p in model.param_info()
            ],
            "bounds": {},
            "starts": {},
        }
        for name, stats in STATS.items():
            entry["bounds"][name] = [
                [_float(lo), _float(hi)] for lo, hi in model._default_bounds(stats)
            ]
            starts = [[_float(v) for v in model._start(stats, None)]]
            for seed in SEEDS:
                rng = np.random.default_rng(seed)
                starts += [[_float(v) for v in model._start(stats, rng)] for _ in range(3)]
            entry["starts"][name] = starts
        out["models"][key] = entry
    for key, make in BAD.items():
        try:
            make()
        except (TypeError, ValueError) as exc:
            out["errors"][key] = [type(exc).__name__, str(exc)]
        else:  # pragma: no cover - a case that no longer fails shows up as a mismatch
            out["errors"][key] = None
    return out


PINNED = json.loads(PINS.read_text(encoding="utf-8")) if PINS.exists() else None


@pytest.fixture(scope="module")
def current():
    return snapshot()


@pytest.mark.parametrize("key", sorted(CASES))
def test_derived_info_bounds_and_starts_are_the_hand_written_ones(key, current):
    assert current["models"][key] == PINNED["models"][key]


@pytest.mark.parametrize("key", sorted(BAD))
def test_constructor_checks_report_the_same_first_fault(key, current):
    assert current["errors"][key] == PINNED["errors"][key]


def _write(data):
    """The pins, one line per case."""
    parts = []
    for section, entries in data.items():
        rows = ",\n".join(f"  {json.dumps(k)}: {json.dumps(v)}" for k, v in entries.items())
        parts.append(f" {json.dumps(section)}: {{\n{rows}\n }}")
    PINS.write_text("{\n" + ",\n".join(parts) + "\n}\n", encoding="utf-8")


if __name__ == "__main__":
    if "--write" in sys.argv:
        _write(snapshot())
