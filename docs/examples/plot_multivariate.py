"""
A bivariate process: who excites whom
=====================================

Two dimensions in which events of dimension 0 trigger events of dimension 1 but not the other
way round. The fitted branching matrix α (row m holds the effects *on* dimension m) recovers the
one-way excitation, with standard errors for every cell.
"""

import matplotlib.pyplot as plt
import numpy as np

import vostrel as vs
from vostrel import plotting

truth = vs.MultivariateExponential(
    mu=[0.4, 0.2],
    alpha=[[0.3, 0.0], [0.5, 0.2]],
    beta=1.5,
)
events = truth.simulate(2000.0, seed=5, n=2)
print(events)
print("events per realisation and dimension:\n", events.counts)

result = vs.fit(events, vs.MultivariateExponential(mu=[0.1, 0.1], alpha=np.full((2, 2), 0.1)))
print(result.summary())

# %%
# The true and the fitted branching matrices side by side.
fig, axes = plt.subplots(1, 2, figsize=(9, 4))
plotting.alpha_heatmap(truth, ax=axes[0])
axes[0].set_title("true α")
plotting.alpha_heatmap(result, ax=axes[1])
axes[1].set_title("fitted α")
fig.tight_layout()

# %%
# The time-rescaled residuals of each dimension against Exp(1).
gof = vs.goodness_of_fit(events, result.model)
print(gof.summary())
ax = gof.plot_qq()
