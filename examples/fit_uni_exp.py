"""Fit the baseline mu, branching ratio alpha and decay beta of a univariate exponential Hawkes
process by maximum likelihood, with scipy's L-BFGS-B driving the closed-form gradient.

Run: python examples/fit_uni_exp.py
"""

import numpy as np
from scipy.optimize import minimize

from vostrel._libvostrel.likelihood import uni_exp_neg_ll_with_grad
from vostrel._libvostrel.simulation import simulate_uni_exp_hawkes


def fit(times, t_horizon):
    def objective(theta):
        value, grad = uni_exp_neg_ll_with_grad(times, t_horizon, *theta)
        return value, grad

    start = np.array([len(times) / t_horizon / 2.0, 0.3, 1.0])
    bounds = [(1e-6, None), (1e-6, 0.999), (1e-3, None)]
    return minimize(objective, start, jac=True, method="L-BFGS-B", bounds=bounds)


def main():
    truth = {"mu": 0.8, "alpha": 0.6, "beta": 2.0}
    t_horizon = 5000.0
    times = simulate_uni_exp_hawkes(t_horizon, truth["mu"], truth["alpha"], truth["beta"], seed=7)
    result = fit(times, t_horizon)
    print(f"{len(times)} events on [0, {t_horizon:g}]; converged: {result.success}")
    print(f"{'':8}{'truth':>10}{'estimate':>12}")
    for name, estimate in zip(("mu", "alpha", "beta"), result.x):
        print(f"{name:8}{truth[name]:10.4f}{estimate:12.4f}")


if __name__ == "__main__":
    main()
