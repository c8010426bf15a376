"""Per-call cost of the module's callables as Python sees it.

Prints, for each callable, the time of one call with empty or tiny input (the boundary's
overhead: module functions, a kernel's constructor, methods and getter, the model's methods)
against math.hypot called with five floats, timed in the same run, and the throughput of the
likelihoods at a large N.

Run: python bench/bench_calls.py [--quick]
"""

import math
import sys
import timeit

import numpy as np

from vostrel._libvostrel import kernels, likelihood, simulation


def best_per_call(statement, namespace, number, rounds=7):
    timer = timeit.Timer(statement, globals=namespace)
    return min(timer.repeat(repeat=rounds, number=number)) / number


def main(quick=False):
    number = 2_000 if quick else 200_000
    empty = np.empty(0)
    kernel = kernels.ExponentialKernel(0.5, 1.0)
    model = likelihood.MvExpRecursiveLogLik([np.array([0.5]), np.array([1.0])], 2.0, 1.0)
    coeffs, out = np.full(model.n_coeffs, 0.1), np.empty(model.n_coeffs)
    namespace = {"math": math, "lk": likelihood, "sim": simulation, "empty": empty,
                 "kernels": kernels, "kernel": kernel, "model": model, "coeffs": coeffs,
                 "out": out}
    hypot = best_per_call("math.hypot(1.0, 2.0, 3.0, 4.0, 5.0)", namespace, number)
    print(f"{'math.hypot, 5 floats':44} {hypot * 1e9:8.1f} ns/call")
    calls = {
        "uni_exp_neg_ll (N = 0)": "lk.uni_exp_neg_ll(empty, 1.0, 0.5, 0.5, 1.0)",
        "uni_exp_neg_ll_with_grad (N = 0)": "lk.uni_exp_neg_ll_with_grad(empty, 1.0, 0.5, 0.5, 1.0)",
        "uni_exp_neg_ll (N = 0, keywords)": (
            "lk.uni_exp_neg_ll(times=empty, t_horizon=1.0, mu=0.5, alpha=0.5, beta=1.0)"
        ),
        "simulate_uni_exp_hawkes (mu = 0)": "sim.simulate_uni_exp_hawkes(1.0, 0.0, 0.5, 1.0, 1)",
        "ExponentialKernel(...)": "kernels.ExponentialKernel(0.5, 1.0)",
        "ExponentialKernel.integrate": "kernel.integrate(1.0)",
        "ExponentialKernel.evaluate (N = 0)": "kernel.evaluate(empty)",
        "ExponentialKernel.scale": "kernel.scale(1.0)",
        "ExponentialKernel.l1_norm": "kernel.l1_norm()",
        "ExponentialKernel.alpha": "kernel.alpha",
        "MvExpRecursiveLogLik.loss (M = 2)": "model.loss(coeffs)",
        "MvExpRecursiveLogLik.loss_and_grad (M = 2)": "model.loss_and_grad(coeffs, out)",
        "MvExpRecursiveLogLik.n_dims": "model.n_dims",
    }
    for name, statement in calls.items():
        seconds = best_per_call(statement, namespace, number)
        print(f"{name:44} {seconds * 1e9:8.1f} ns/call  ratio to hypot {seconds / hypot:5.2f}")

    n = 10_000 if quick else 1_000_000
    rng = np.random.default_rng(1)
    times = np.sort(rng.uniform(0.0, n, n))
    namespace.update(times=times, T=float(n))
    for name in ("uni_exp_neg_ll", "uni_exp_neg_ll_with_grad"):
        seconds = best_per_call(f"lk.{name}(times, T, 0.5, 0.5, 1.0)", namespace, 1 if not quick else 3)
        print(f"{name + f' (N = {n})':44} {seconds * 1e9 / n:8.2f} ns/event")


if __name__ == "__main__":
    main(quick="--quick" in sys.argv)
