"""
Do the 95% intervals hold their level?
======================================

A hundred independent sequences are simulated from one model and fitted one by one with
:func:`vostrel.parallel.fit_many`. If the standard errors are right, about 95 of the hundred
Wald intervals for the branching ratio α contain the true value, and the standardised errors
(estimate − truth) / standard error look like a standard normal sample. Simulation and fits are
seeded, so this page shows the same numbers on every build.
"""

import matplotlib.pyplot as plt
import numpy as np
from scipy import stats

import vostrel as vs
from vostrel.parallel import fit_many, simulate_many

truth = vs.Exponential(mu=0.5, alpha=0.6, beta=2.0)
sequences = simulate_many(truth, 1000.0, n=100, seed=3)
print("events per sequence: median", int(np.median([s.n_events for s in sequences])))

# Serial here; pass executor=ProcessPoolExecutor() or a Dask client for the same bits in parallel.
results = fit_many(sequences, vs.Exponential())
print(results[0].summary())

# %%
# Coverage of the intervals of each parameter, and the standardised errors of α.
for i, name in enumerate(results[0].names):
    true_value = truth.params[name]
    intervals = np.array([r.conf_int()[i] for r in results])
    covered = (intervals[:, 0] <= true_value) & (true_value <= intervals[:, 1])
    print(f"{name:6s} 95% intervals that cover the truth: {covered.sum()} of {len(results)}")

z = np.array([(r.params["alpha"] - truth.alpha) / r.std_errors[1] for r in results])
fig, ax = plt.subplots(figsize=(6, 4))
ax.hist(z, bins=15, density=True, alpha=0.6, label="(estimate − truth) / std err")
grid = np.linspace(-4, 4, 200)
ax.plot(grid, stats.norm.pdf(grid), color="black", label="N(0, 1)")
ax.set_ylim(0.0, 0.6)
ax.set_xlabel("standardised error of α")
ax.legend(loc="upper left", fontsize="small")
