"""
A sparse network: which cells of α are there?
=============================================

Six dimensions with a known decay, half of the 36 cells of the branching matrix α zero.
:func:`vostrel.network.l1_path` fits the rows with an L1 penalty over a path of strengths,
chooses a strength per row by the BIC of the unpenalised refit of the row's support, and
:meth:`~vostrel.network.SparsePath.refit` gives the unpenalised fit of the selected support with
standard errors.
"""

import matplotlib.pyplot as plt
from matplotlib.colors import ListedColormap
import numpy as np

import vostrel as vs
from vostrel import network, plotting

rng = np.random.default_rng(7)
d = 6
alpha = np.where(rng.random((d, d)) < 0.5, 0.0, 0.12)
np.fill_diagonal(alpha, 0.25)  # every dimension excites itself
truth = vs.MultivariateExponential(mu=np.full(d, 0.2), alpha=alpha, beta=2.0, decay="fixed")
print(f"true nonzero cells: {int((alpha > 0).sum())} of {alpha.size}")
print(f"branching ratio: {truth.branching_ratio:.3f}")

events = truth.simulate(3000.0, seed=11)
print(events)

# %%
# The path: the decay is held at the model's value (``decay="fixed"``).
path = network.l1_path(events, vs.MultivariateExponential(mu=np.full(d, 0.1), alpha=np.zeros((d, d)), beta=2.0, decay="fixed"))
print(path)
found = path.support
true = alpha > 0
print("cells found that are zero in truth:", int((found & ~true).sum()))
print("nonzero cells missed:", int((~found & true).sum()))

# %%
# The refit of the selected support: cells outside it are held at zero (listed in ``fixed``).
refit = path.refit()
print(refit.summary())

# %%
# The true α, the selected support (dark grey: selected and nonzero in truth; red: selected
# but zero in truth; orange: missed) and the refitted α.
fig, axes = plt.subplots(1, 3, figsize=(12, 3.8))
plotting.alpha_heatmap(truth, ax=axes[0])
axes[0].set_title("true α")
# 0: neither, 1: in both, 2: selected but zero in truth, 3: nonzero in truth but missed.
kind = np.select([found & true, found & ~true, ~found & true], [1, 2, 3], 0)
colours = ListedColormap(["white", "0.25", "tab:red", "tab:orange"])
axes[1].imshow(kind, cmap=colours, vmin=-0.5, vmax=3.5)
axes[1].set_title(f"selected: {int(found.sum())} cells, {int((found != true).sum())} wrong")
axes[1].set_xlabel("source k")
axes[1].set_ylabel("target m")
plotting.alpha_heatmap(refit, ax=axes[2])
axes[2].set_title("refit of the support")
fig.tight_layout()

# %%
# The BIC of each row along the path, with each row's choice marked.
fig, ax = plt.subplots(figsize=(6, 3.8))
for m in range(d):
    line, = ax.plot(path.strengths, path.bic[:, m] - path.bic[:, m].min(), label=f"row {m}")
    ax.plot(path.strengths[path.selected[m]], 0.0, "o", color=line.get_color())
ax.set_xscale("log")
ax.set_xlabel("penalty strength (nats per unit of α)")
ax.set_ylabel("BIC − its minimum")
ax.set_ylim(-3, 60)
ax.legend(ncol=2, fontsize="small")
fig.tight_layout()
