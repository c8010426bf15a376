"""Results never depend on which exp/log path ran: a panel of likelihoods and kernel methods,
on data that reaches every special case of the vector forms (tails below the underflow cut,
subnormal and overflowing exps, intensities near 1, NaN and infinite inputs), computed in this
process and in a child process whose path is forced the other way by VOSTREL_SCALAR_MATH, must
agree bit for bit. The underflow cut itself must give the C library's bits (Python's math.exp is
the C library's exp)."""

import json
import math
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from vostrel._libvostrel import kernels, likelihood


def bits(value):
    return [float(v).hex() for v in np.ravel(np.asarray(value, dtype=np.float64))]


def events(n, horizon, seed):
    rng = np.random.default_rng(seed)
    return np.sort(rng.uniform(0.0, horizon, n))


def panel():
    """Every result of the panel, as hex strings, keyed by a name."""
    out = {}
    for window, horizon in (("long", 4000.0), ("short", 40.0)):
        t = events(3000, horizon, 1)
        marks = np.random.default_rng(2).uniform(0.5, 1.5, t.size)
        out["uni_exp " + window] = bits(likelihood.uni_exp_neg_ll(t, horizon, 0.6, 0.4, 1.2))
        value, grad = likelihood.uni_exp_neg_ll_with_grad(t, horizon, 0.6, 0.4, 1.2)
        out["uni_exp_with_grad " + window] = bits([value, *grad])
        out["marked " + window] = bits(likelihood.marked_uni_exp_neg_ll(t, marks, horizon, 0.5, 0.6, 1.5))
        value, grad = likelihood.marked_uni_exp_neg_ll_with_grad(t, marks, horizon, 0.5, 0.6, 1.5)
        out["marked_with_grad " + window] = bits([value, *grad])
        alphas, betas = np.array([0.1, 0.15, 0.2, 0.05]), np.array([0.5, 1.0, 2.0, 400.0])
        out["sumexp " + window] = bits(likelihood.uni_sumexp_neg_ll(t, horizon, 0.5, alphas, betas))
        value, g_mu, g_alpha, g_beta = likelihood.uni_sumexp_neg_ll_with_grad(t, horizon, 0.5, alphas, betas)
        out["sumexp_with_grad " + window] = bits([value, g_mu, *g_alpha, *g_beta])
        out["approx_powerlaw " + window] = bits(
            likelihood.uni_approx_powerlaw_neg_ll(t, horizon, 0.5, 0.3, 1.5, 0.05, 2.0, 40)
        )
        value, grad = likelihood.uni_approx_powerlaw_neg_ll_with_grad(t, horizon, 0.5, 0.3, 1.5, 0.05, 2.0, 40)
        out["approx_powerlaw_with_grad " + window] = bits([value, *grad])
        for link in ("softplus", "relu", "sigmoid", "identity"):
            # A large alpha*beta drives the softplus link past 35 and the sigmoid past 40.
            args = (t, horizon, -0.5, 3.0, 20.0, link, 2.0, 2000)
            out["nonlinear %s %s" % (link, window)] = bits(likelihood.nonlinear_uni_exp_neg_ll(*args))
            value, grad = likelihood.nonlinear_uni_exp_neg_ll_with_grad(*args)
            out["nonlinear_with_grad %s %s" % (link, window)] = bits([value, *grad])

        sources = np.random.default_rng(3).integers(0, 3, t.size)
        mu, alpha = np.array([0.3, 0.2, 0.4]), np.linspace(0.05, 0.4, 9)
        beta = np.array([0.5, 1.0, 2.0, 0.25, 1.5, 3.0, 700.0, 1.0, 0.01])
        out["dense " + window] = bits(likelihood.mv_exp_dense_neg_ll(t, sources, horizon, 3, mu, alpha, beta))
        value, g_mu, g_alpha, g_beta = likelihood.mv_exp_dense_neg_ll_with_grad(t, sources, horizon, 3, mu, alpha, beta)
        out["dense_with_grad " + window] = bits([value, *g_mu, *g_alpha, *g_beta])

        for dims in (1, 3):
            stamps = [t[sources % dims == d] for d in range(dims)] if dims > 1 else [t]
            model = likelihood.MvExpRecursiveLogLik(stamps, horizon, 1.3)
            # Intensities near 1 (the logarithm's path near 1) and far from it.
            for mu_value in (0.9, 0.05):
                coeffs = np.full(dims + dims * dims, 0.1 / dims)
                coeffs[:dims] = mu_value
                out["recursive loss M=%d mu=%g %s" % (dims, mu_value, window)] = bits(model.loss(coeffs))
                grad = np.empty_like(coeffs)
                value = model.loss_and_grad(coeffs, grad)
                out["recursive grad M=%d mu=%g %s" % (dims, mu_value, window)] = bits([value, *grad])

    # The pair-loop models, on fewer events.
    t = events(400, 40.0, 4)
    out["powerlaw"] = bits(likelihood.uni_powerlaw_neg_ll(t, 40.0, 0.5, 0.3, 0.8, 0.5))
    value, grad = likelihood.uni_powerlaw_neg_ll_with_grad(t, 40.0, 0.5, 0.3, 0.8, 0.5)
    out["powerlaw_with_grad"] = bits([value, *grad])
    edges, values = np.linspace(0.0, 4.0, 9), np.linspace(0.4, 0.05, 8)
    out["nonparametric"] = bits(likelihood.uni_nonparametric_neg_ll(t, 40.0, 0.5, edges, values))
    value, g_mu, g_values = likelihood.uni_nonparametric_neg_ll_with_grad(t, 40.0, 0.5, edges, values)
    out["nonparametric_with_grad"] = bits([value, g_mu, *g_values])

    # Degenerate inputs: NaN and infinite times and parameters, events after the horizon.
    t = np.array([0.5, 1.0, np.nan, 2.0, np.inf])
    for name, args in {
        "uni_exp nan": (t, 3.0, 0.5, 0.5, 1.0),
        "uni_exp inf mu": (t[:2], 3.0, np.inf, 0.5, 1.0),
        "uni_exp after horizon": (np.array([1.0, 5.0]), 3.0, 0.5, 0.5, 800.0),
    }.items():
        out[name] = bits(likelihood.uni_exp_neg_ll(*args))

    lags = np.concatenate(
        [
            np.linspace(-600.0, 700.0, 257),
            [0.0, -0.0, 5e-324, np.nan, np.inf, -np.inf, 1e300],
            np.linspace(620.0, 622.0, 65),  # exponents around the underflow cut at beta = 1.2
        ]
    )
    kernel = kernels.ExponentialKernel(0.7, 1.2)
    out["kernel evaluate"] = bits(kernel.evaluate(lags))
    out["kernel integrate_vec"] = bits(kernel.integrate_vec(lags))
    out["kernel recursive"] = bits(
        [kernel.recursive_state_update(0.5, dt) + kernel.recursive_decay(0.25, dt) for dt in (0.5, 700.0, 1e6)]
    )
    return out


def test_results_do_not_depend_on_the_path():
    forced = os.environ.get("VOSTREL_SCALAR_MATH", "") not in ("", "0")
    env = dict(os.environ, VOSTREL_SCALAR_MATH="0" if forced else "1")
    tests = pathlib.Path(__file__).resolve().parent
    code = "import json, test_exp_log_paths as p; print(json.dumps(p.panel()))"
    child = subprocess.run(
        [sys.executable, "-c", code], cwd=tests, env=env, capture_output=True, text=True, check=True
    )
    other = json.loads(child.stdout)
    here = panel()
    assert here.keys() == other.keys()
    differing = [name for name in here if here[name] != other[name]]
    assert differing == []


@pytest.mark.parametrize("beta", [1.0, 1.2, 7.5])
def test_kernel_decays_below_the_underflow_cut_are_the_library_exp(beta):
    # Lags whose exponent crosses -745.2 (answered directly) and the subnormal range above it.
    lags = np.linspace(740.0 / beta, 750.0 / beta, 401)
    kernel = kernels.ExponentialKernel(0.5, beta)
    got = kernel.evaluate(lags)
    expected = [math.exp(lag * -beta) * (0.5 * beta) for lag in lags]
    assert bits(got) == bits(expected)
    assert float(kernel.recursive_decay(1.0, 800.0 / beta)).hex() == float(math.exp(-800.0) * 1.0).hex()
