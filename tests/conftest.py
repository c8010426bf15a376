# Shared fixtures: the extension module, a pure-Python reference of the exponential likelihood
# recursion, written as a plain loop in event order so that bit equality can be checked, and the
# loading of the table generators kept in the source tree.
import importlib.util
import math
import pathlib

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
