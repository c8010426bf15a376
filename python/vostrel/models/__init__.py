"""Frozen, picklable parameter objects for every kernel family of the native module.

Each model knows its branching ratio and stationarity, its negative log-likelihood over the
realisations of an :class:`~vostrel.Events`, its conditional intensity and compensator, and, where
it can, how to simulate itself.
"""

# What each module exports is listed once, in its own `__all__`: a family defined there (and
# added to that list) is exported here without an edit.
from . import _base, multivariate, nonlinear, univariate
from ._base import *  # noqa: F403
from .multivariate import *  # noqa: F403
from .nonlinear import *  # noqa: F403
from .univariate import *  # noqa: F403

__all__: list[str] = []
__all__ += _base.__all__
__all__ += univariate.__all__
__all__ += nonlinear.__all__
__all__ += multivariate.__all__
