"""vostrel: Hawkes (self-exciting) point processes.

Build :class:`Events` from your data, pick a model (:class:`Exponential`,
:class:`SumExponential`, :class:`PowerLaw`, :class:`ApproxPowerLaw`, :class:`Nonparametric`,
:class:`MarkedExponential`, :class:`NonlinearExponential`, :class:`MultivariateExponential`),
:func:`fit` it, judge it with :func:`goodness_of_fit`, :func:`profile_intervals` and
:func:`likelihood_ratio_test`, simulate from it with
``model.simulate``, plot with :mod:`vostrel.plotting`, and scale out with
:mod:`vostrel.parallel`. The numerical core is the extension module `vostrel._libvostrel`.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

# Names are loaded on first use, so that importing the extension module alone
# (`import vostrel._libvostrel`) does not load NumPy and the rest of the layer.
_EXPORTS = {
    "Events": "events",
    "Realization": "events",
    "Model": "models",
    "Exponential": "models",
    "SumExponential": "models",
    "MarkedExponential": "models",
    "PowerLaw": "models",
    "ApproxPowerLaw": "models",
    "Nonparametric": "models",
    "NonlinearExponential": "models",
    "MultivariateExponential": "models",
    "fit": "fitting",
    "FitResult": "_results",
    "StartResult": "_results",
    "goodness_of_fit": "diagnostics",
    "GoodnessOfFit": "diagnostics",
    "residuals": "diagnostics",
    "compensator": "diagnostics",
    "profile_intervals": "inference",
    "likelihood_ratio_test": "inference",
    "LikelihoodRatioTest": "inference",
    "Forecast": "forecast",
    "WithBaseline": "baselines",
    "PeriodicBaseline": "baselines",
    "LogLinearBaseline": "baselines",
}

__all__ = list(_EXPORTS)

if TYPE_CHECKING:
    from ._results import FitResult as FitResult
    from ._results import StartResult as StartResult
    from .baselines import LogLinearBaseline as LogLinearBaseline
    from .baselines import PeriodicBaseline as PeriodicBaseline
    from .baselines import WithBaseline as WithBaseline
    from .diagnostics import GoodnessOfFit as GoodnessOfFit
    from .diagnostics import compensator as compensator
    from .diagnostics import goodness_of_fit as goodness_of_fit
    from .diagnostics import residuals as residuals
    from .events import Events as Events
    from .events import Realization as Realization
    from .fitting import fit as fit
    from .forecast import Forecast as Forecast
    from .inference import LikelihoodRatioTest as LikelihoodRatioTest
    from .inference import likelihood_ratio_test as likelihood_ratio_test
    from .inference import profile_intervals as profile_intervals
    from .models import ApproxPowerLaw as ApproxPowerLaw
    from .models import Exponential as Exponential
    from .models import MarkedExponential as MarkedExponential
    from .models import Model as Model
    from .models import MultivariateExponential as MultivariateExponential
    from .models import NonlinearExponential as NonlinearExponential
    from .models import Nonparametric as Nonparametric
    from .models import PowerLaw as PowerLaw
    from .models import SumExponential as SumExponential

def __getattr__(name: str) -> Any:
    if name in _EXPORTS:
        value = getattr(importlib.import_module(f".{_EXPORTS[name]}", __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'vostrel' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_EXPORTS))
