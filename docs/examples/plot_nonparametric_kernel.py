"""
Estimating the kernel's shape without a formula
===============================================

A nonparametric (piecewise-constant) kernel fitted to data simulated from an exponential
kernel: the step estimate, with its 95% Wald intervals, follows the true kernel without being
told its form. The bin edges are fixed; the baseline and the value of each bin are estimated.
"""

import matplotlib.pyplot as plt
import numpy as np

import vostrel as vs

truth = vs.Exponential(mu=0.5, alpha=0.6, beta=2.0)
events = truth.simulate(2000.0, seed=4, n=3)
print(events)

edges = np.array([0.0, 0.25, 0.5, 0.75, 1.0, 1.5, 2.0, 3.0])
result = vs.fit(events, vs.Nonparametric(edges=edges, values=np.full(7, 0.1)))
print(result.summary())

# %%
# The estimated values with their intervals (``conf_int`` gives one row per parameter, in the
# order of ``result.names``), against the true kernel α·β·exp(−β·t). The last bin, where the
# true kernel is small, has an estimate close to 0, its lower bound: there the Wald interval,
# formed on the log scale, becomes uninformative (its upper end runs off the plot), a sign that
# the normal approximation does not hold at the boundary of the parameter space.
values = result.model.values
intervals = result.conf_int()[1:]  # the first row is mu
centres = 0.5 * (edges[:-1] + edges[1:])
lags = np.linspace(0.0, 3.2, 400)

fig, ax = plt.subplots(figsize=(7, 4.5))
ax.plot(lags, truth.kernel(lags), color="black", label="true kernel")
ax.stairs(values, edges, color="C1", linewidth=2, label="nonparametric estimate")
ax.errorbar(
    centres,
    values,
    yerr=[values - intervals[:, 0], intervals[:, 1] - values],
    fmt="none",
    ecolor="C1",
    capsize=3,
    label="95% interval",
)
ax.set_ylim(0.0, 1.4)
ax.set_xlabel("lag t")
ax.set_ylabel("φ(t)")
ax.legend()
print(f"branching ratio: estimated {result.branching_ratio:.3f}, true {truth.branching_ratio:.3f}")
