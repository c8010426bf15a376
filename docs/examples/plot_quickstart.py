"""
Quick start: simulate, fit, test
================================

Simulate four realisations of an exponential Hawkes process, fit the model by maximum
likelihood, print the summary (estimates, standard errors from the observed information, 95%
Wald intervals) and the goodness-of-fit test, and draw the diagnostic figure.
"""

import vostrel as vs
from vostrel import plotting

# %%
# Four realisations on [0, 2500), each from its own seed stream of ``seed=1``.
truth = vs.Exponential(mu=0.5, alpha=0.6, beta=2.0)
events = truth.simulate(end_time=2500.0, seed=1, n=4)
print(events)

# %%
# The fit starts from simple moments of the data and from two seeded random starts, and keeps
# the best.
result = vs.fit(events, vs.Exponential(), seed=0)
print(result.summary())

# %%
# Time-rescaled residuals: under the fitted model they are independent Exp(1) variables.
gof = vs.goodness_of_fit(events, result.model)
print(gof.summary())

# %%
# The QQ plot of the residuals with its pointwise 95% band, the fitted kernel, and the
# conditional intensity of the first realisation over its window.
fig = plotting.diagnostic_figure(result, events)
