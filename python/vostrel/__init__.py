"""vostrel: Hawkes (self-exciting) point processes.

Build :class:`Events` from your data, pick a model (:class:`Exponential`,
:class:`SumExponential`, :class:`PowerLaw`, :class:`ApproxPowerLaw`, :class:`Nonparametric`,
:class:`MarkedExponential`, :class:`NonlinearExponential`, :class:`MultivariateExponential`),
:func:`fit` it, judge it with :func:`goodness_of_fit`, simulate from it with
``model.simulate``, and plot with :mod:`vostrel.plotting`. The numerical core is the extension
module `vostrel._libvostrel`.
"""

from .diagnostics import GoodnessOfFit, compensator, goodness_of_fit, residuals
from .events import Events, Realization
from .fitting import FitResult, StartResult, fit
from .models import (
    ApproxPowerLaw,
    Exponential,
    MarkedExponential,
    Model,
    MultivariateExponential,
    NonlinearExponential,
    Nonparametric,
    PowerLaw,
    SumExponential,
)

__all__ = [
    "Events",
    "Realization",
    "Model",
    "Exponential",
    "SumExponential",
    "MarkedExponential",
    "PowerLaw",
    "ApproxPowerLaw",
    "Nonparametric",
    "NonlinearExponential",
    "MultivariateExponential",
    "fit",
    "FitResult",
    "StartResult",
    "goodness_of_fit",
    "GoodnessOfFit",
    "residuals",
    "compensator",
]
