"""
Goodness of fit: a Poisson model against a Hawkes model
=======================================================

The time-rescaling test tells a self-exciting process from a Poisson process. The same data,
simulated from an exponential Hawkes process, are fitted twice: once with the excitation held
at zero (a homogeneous Poisson process, whose only free parameter is the rate) and once with the
full model. The residuals of the Poisson fit are far from Exp(1); those of the Hawkes fit are
not.
"""

import matplotlib.pyplot as plt

import vostrel as vs
from vostrel import plotting

events = vs.Exponential(mu=0.5, alpha=0.6, beta=2.0).simulate(2000.0, seed=6)

# Holding alpha at 0 and beta at any value leaves the rate mu alone to fit.
poisson = vs.fit(events, vs.Exponential(alpha=0.0, beta=1.0), fixed=["alpha", "beta"])
hawkes = vs.fit(events, vs.Exponential())
print(poisson.summary())
print()
print(hawkes.summary())

# %%
# The Kolmogorov–Smirnov tests of the residuals, and their QQ plots. Given a fit, the test is a
# parametric bootstrap: 199 datasets simulated from the fitted model and refitted (with the
# same parameters held fixed), so that the p-value accounts for the estimation. Its smallest
# possible value is 1/200; the plain KS p-value, conservative for fitted parameters, is shown
# beside it.
fig, axes = plt.subplots(1, 2, figsize=(9, 4.2), sharey=True)
for ax, (name, result) in zip(axes, [("Poisson", poisson), ("Hawkes", hawkes)]):
    gof = vs.goodness_of_fit(events, result, seed=1)
    print(gof.summary())
    plotting.qq_plot(gof, ax=ax)
    ax.set_title(
        f"{name} fit: bootstrap p {gof.p_values[0]:.2g}\n(plain KS p {gof.ks_p_values[0]:.2g})"
    )
fig.tight_layout()

# %%
# The likelihood and the information criteria tell the same story.
print(f"AIC: Poisson {poisson.aic:.1f}, Hawkes {hawkes.aic:.1f}")
