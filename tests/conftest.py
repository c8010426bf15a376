# Shared fixtures: the extension module, a pure-Python reference of the exponential likelihood
# recursion, written as a plain loop in event order so that bit equality can be checked, the
# loading of the table generators kept in the source tree, and a child process whose memory limit
# is small.
import importlib.util
import json
import math
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest


def uni_exp_reference(times, t_horizon, mu, alpha, beta):
    """Plain-loop exponential likelihood and gradient, sums in event order from 0.0."""
    if len(times) == 0:
        return t_horizon * mu, [t_horizon, 0.0, 0.0]
    ab = alpha * beta
    a = p = log_sum = d = g_mu = g_alpha = g_beta = 0.0
    for t in times:
        t = float(t)
        e = math.exp((t - p) * (-beta))
        r = e * a
        d = d * e - (t - p) * r
        lam = ab * r + mu
        lam = lam if lam > 1e-30 else 1e-30
        log_sum += math.log(lam)
        inv = 1.0 / lam
        g_mu += inv
        g_alpha += (beta * r) * inv
        g_beta += ((beta * d + r) * alpha) * inv
        a = r + 1.0
        p = t
    s1 = s2 = 0.0
    for t in times:
        dt = t_horizon - float(t)
        f = math.exp(dt * (-beta))
        s1 += 1.0 - f
        s2 += dt * f
    value = (alpha * s1 + mu * t_horizon) - log_sum
    return value, [t_horizon - g_mu, s1 - g_alpha, alpha * s2 - g_beta]


SOURCES = pathlib.Path(__file__).resolve().parents[1] / "src"


def load_source_script(folder, name):
    """The script src/{folder}/{name}.py imported as a module; skips when the tree is absent."""
    path = SOURCES / folder / (name + ".py")
    if not path.exists():
        pytest.skip("source tree not available")
    module_spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


# Evaluates each call (Python source using np, lk and sim) and reports its result as the bits of
# its arrays, or its exception's type and text, and the seconds it took.
_MEMORY_LIMITED_CHILD = r"""
import json, sys, time
import numpy as np
from vostrel._libvostrel import likelihood as lk, simulation as sim

def bits(result):
    arrays = result if isinstance(result, list) else [result]
    return [np.asarray(a, dtype=np.float64).view(np.uint64).tolist() for a in arrays]

results = {}
for name, call in json.loads(sys.argv[1]).items():
    start = time.monotonic()
    try:
        results[name] = ["result", bits(eval(call))]
    except Exception as error:
        results[name] = [type(error).__name__, str(error)]
    results[name].append(time.monotonic() - start)
print(json.dumps(results))
"""


def run_with_memory_limit(limit, calls):
    """Runs the calls ({name: source}) in a child process that may use `limit` bytes: the module
    reads VOSTREL_MEMORY_LIMIT once per process, so a small limit needs a process of its own.
    Returns {name: ["result", bits of the arrays, seconds] or [exception type, text, seconds]}."""
    env = dict(os.environ, VOSTREL_MEMORY_LIMIT=str(limit))
    output = subprocess.run(
        [sys.executable, "-c", _MEMORY_LIMITED_CHILD, json.dumps(calls)],
        env=env, capture_output=True, text=True, check=True, timeout=120,
    ).stdout
    return json.loads(output)


@pytest.fixture(scope="session")
def memory_limited():
    return run_with_memory_limit
