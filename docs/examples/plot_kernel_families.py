"""
Kernel families
===============

The excitation kernels φ(t) of the one-dimensional families, side by side on logarithmic axes:
exponential kernels fall off at a fixed rate, the power law (and its approximation by a sum of
exponentials on a geometric grid of decays) has a heavy tail, and the nonparametric kernel is a
step function on fixed bins. Each model also gives its branching ratio, the kernel's integral:
0.6 for every model here.
"""

import matplotlib.pyplot as plt

import vostrel as vs
from vostrel import plotting

models = {
    "Exponential": vs.Exponential(mu=0.5, alpha=0.6, beta=2.0),
    "SumExponential": vs.SumExponential(mu=0.5, alphas=[0.3, 0.3], betas=[0.2, 5.0]),
    "PowerLaw": vs.PowerLaw(mu=0.5, alpha=0.6, beta=1.0, c=1.0),
    "ApproxPowerLaw": vs.ApproxPowerLaw(mu=0.5, alpha=0.6, beta_pow=1.0, beta_min=0.01),
    "Nonparametric": vs.Nonparametric(
        mu=0.5, edges=[0.0, 0.5, 1.0, 2.0, 4.0], values=[0.6, 0.3, 0.1, 0.025]
    ),
}

for name, model in models.items():
    print(f"{name:15s} branching ratio {model.branching_ratio:.3f}")

# %%
# :func:`vostrel.plotting.kernel_plot` draws into the axes it is given; ``log=True`` puts
# both axes on a logarithmic scale.
fig, ax = plt.subplots(figsize=(7, 4.5))
for name, model in models.items():
    plotting.kernel_plot(model, ax=ax, t_max=100.0, log=True)
    ax.lines[-1].set_label(name)
ax.set_ylim(1e-6, 10.0)
ax.legend()
ax.set_title("Excitation kernels φ(t)")
plt.show()
