"""Frozen, picklable parameter objects for every kernel family of the native module.

Each model knows its branching ratio and stationarity, its negative log-likelihood over the
realisations of an :class:`~vostrel.Events`, its conditional intensity and compensator, and, where
it can, how to simulate itself.
"""

from ._base import Model, ParamInfo
from .multivariate import DecayMode, MultivariateExponential
from .nonlinear import LINKS, NonlinearExponential
from .univariate import (
    ApproxPowerLaw,
    Exponential,
    MarkedExponential,
    Nonparametric,
    PowerLaw,
    SumExponential,
)

__all__ = [
    "Model",
    "ParamInfo",
    "Exponential",
    "SumExponential",
    "MarkedExponential",
    "PowerLaw",
    "ApproxPowerLaw",
    "Nonparametric",
    "NonlinearExponential",
    "LINKS",
    "MultivariateExponential",
    "DecayMode",
]
