"""Goodness of fit by the time-rescaling theorem.

Under the true model, the compensator Λ_m maps the events of dimension m to a unit-rate Poisson
process: the rescaled gaps τ_k = Λ_m(t_k) − Λ_m(t_{k−1}) (from the window's start for the
first event of a realisation) are independent Exp(1) variables. `goodness_of_fit` pools them
over realisations and tests them per dimension with a Kolmogorov–Smirnov test.
"""

from __future__ import annotations

import html
import math
from collections.abc import Hashable
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._checks import FloatArray, IntArray, as_scalar, fmt
from .events import Events
from .models._base import Model

__all__ = ["compensator", "residuals", "goodness_of_fit", "GoodnessOfFit"]


def compensator(events: Events, model: Model) -> list[FloatArray]:
    """Compensator at the events: for each realisation, Λ_m(t_i) from the window's start, m
    being the dimension of event i.

    Parameters
    ----------
    events : Events
    model : Model

    Returns
    -------
    list of ndarray
        One array per realisation, aligned with its events.
    """
    _check(events, model)
    return model.compensator(events)


def residuals(events: Events, model: Model) -> list[FloatArray]:
    """Time-rescaled residuals per dimension, pooled over realisations (in realisation order).

    Parameters
    ----------
    events : Events
    model : Model

    Returns
    -------
    list of ndarray
        ``residuals[m]`` holds the rescaled gaps of dimension m; Exp(1) under the model.
    """
    _check(events, model)
    return _residuals(events, model)


def _check(events: Events, model: Model) -> None:
    if not isinstance(model, Model):
        raise TypeError(f"model must be a vostrel model; got {type(model).__name__}")
    model.check_events(events)


def _residuals(events: Events, model: Model) -> list[FloatArray]:
    m = model.n_dims
    pieces: list[list[FloatArray]] = [[] for _ in range(m)]
    for r in events:
        increments = model._compensator_increments(r, model._history(r))
        if m == 1:
            # The compensator between consecutive events is the increment itself (more accurate
            # than differences of its running sum, and no pass over the data).
            pieces[0].append(increments[:-1, 0])
            continue
        cumulative = np.cumsum(increments[:-1], axis=0)
        dims = r.dimension_indices()
        for k in range(m):
            own = cumulative[dims == k, k]
            pieces[k].append(np.diff(own, prepend=0.0))
    return [np.concatenate(p) if p else np.empty(0) for p in pieces]


@dataclass(frozen=True, eq=False)
class GoodnessOfFit:
    """Time-rescaled residuals and a Kolmogorov–Smirnov test against Exp(1) per dimension.

    Attributes
    ----------
    residuals : tuple of ndarray
        Pooled rescaled gaps of each dimension.
    statistics, p_values : ndarray
        KS statistic and p-value of each dimension (NaN for a dimension without events).
    n : ndarray of int
        Number of residuals per dimension.
    model_name : str
    dim_names : tuple or None
    """

    residuals: tuple[FloatArray, ...]
    statistics: FloatArray
    p_values: FloatArray
    n: IntArray
    model_name: str
    dim_names: tuple[Hashable, ...] | None = None

    def passed(self, level: float = 0.05) -> bool:
        """Whether every dimension with events passes the test at `level`.

        Parameters
        ----------
        level : float, default 0.05
            Significance level, in (0, 1).

        Returns
        -------
        bool
        """
        level = as_scalar(level, "level")
        if not 0.0 < level < 1.0:
            raise ValueError(f"level must be in (0, 1); got {fmt(level)}")
        tested = self.n > 0
        return bool(np.all(self.p_values[tested] > level))

    def _labels(self) -> list[str]:
        if self.dim_names is not None:
            return [str(n) for n in self.dim_names]
        return [str(i) for i in range(len(self.residuals))]

    def summary(self) -> str:
        """A text table of the test per dimension."""
        lines = [
            f"Goodness of fit of {self.model_name}: time-rescaled residuals vs Exp(1), KS test"
        ]
        lines.append(f"{'dimension':>10}  {'n':>9}  {'KS stat':>9}  {'p-value':>9}")
        for label, n, d, p in zip(self._labels(), self.n, self.statistics, self.p_values):
            lines.append(f"{label:>10}  {n:>9d}  {d:>9.4f}  {p:>9.4g}")
        verdict = "the residuals are consistent with" if self.passed() else "the test rejects"
        lines.append(f"at the 5% level {verdict} the model")
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.summary()

    def __repr__(self) -> str:
        p = ", ".join(f"{v:.3g}" for v in self.p_values)
        return f"GoodnessOfFit({self.model_name}, p_values=[{p}], n={self.n.tolist()})"

    def _repr_html_(self) -> str:
        rows = "".join(
            f"<tr><td>{html.escape(label)}</td><td>{n}</td><td>{d:.4f}</td><td>{p:.4g}</td></tr>"
            for label, n, d, p in zip(self._labels(), self.n, self.statistics, self.p_values)
        )
        return (
            f"<p><b>Goodness of fit</b> of {html.escape(self.model_name)} (KS test of time-rescaled "
            "residuals against Exp(1))</p><table><tr><th>dimension</th><th>n</th><th>KS stat</th>"
            f"<th>p-value</th></tr>{rows}</table>"
        )

    def plot_qq(self, dim: int | None = None, ax: Any = None, level: float = 0.95) -> Any:
        """QQ plot of the residuals (see :func:`vostrel.plotting.qq_plot`).

        Parameters
        ----------
        dim : int, optional
            The dimension to draw (default: all).
        ax : matplotlib Axes, optional
        level : float, default 0.95
            Coverage of the pointwise band.

        Returns
        -------
        matplotlib Axes
        """
        from .plotting import qq_plot

        return qq_plot(self, dim=dim, ax=ax, level=level)


def _ks_exponential(values: FloatArray) -> tuple[float, float]:
    """Two-sided one-sample KS test against Exp(1): the statistic and exact p-value that
    ``scipy.stats.kstest(values, "expon")`` gives, bit for bit, at a fraction of its cost (it
    sorts twice with a stable sort, about seven times slower than NumPy's default sort here; the
    sorted values are the same whichever sort produced them)."""
    from scipy import special, stats  # imported here: scipy takes a second to load

    x = np.sort(values)
    n = x.shape[0]
    cdf = np.where(x < 0.0, 0.0, -special.expm1(-x))  # the distribution's own cdf; NaN stays
    d_plus = float((np.arange(1.0, n + 1) / n - cdf).max())
    d_minus = float((cdf - np.arange(0.0, n) / n).max())
    d = d_plus if d_plus > d_minus else d_minus
    p = float(np.clip(stats.kstwo.sf(d, n), 0.0, 1.0))
    return d, p


def goodness_of_fit(events: Events, model: Model) -> GoodnessOfFit:
    """Test a model against data with time-rescaled residuals.

    Parameters
    ----------
    events : Events
    model : Model
        Typically ``fit(events, ...).model``.

    Returns
    -------
    GoodnessOfFit
        Residuals per dimension, KS statistics and p-values.

    Examples
    --------
    >>> import vostrel as vs
    >>> model = vs.Exponential(0.5, 0.6, 2.0)
    >>> gof = vs.goodness_of_fit(model.simulate(2000.0, seed=1), model)
    >>> gof.passed()  # doctest: +SKIP
    True
    """
    _check(events, model)
    pooled = _residuals(events, model)
    statistics = np.full(len(pooled), math.nan)
    p_values = np.full(len(pooled), math.nan)
    for m, values in enumerate(pooled):
        if values.shape[0]:
            statistics[m], p_values[m] = _ks_exponential(values)
    return GoodnessOfFit(
        residuals=tuple(pooled),
        statistics=statistics,
        p_values=p_values,
        n=np.array([v.shape[0] for v in pooled], dtype=np.int64),
        model_name=type(model).__name__,
        dim_names=events.dim_names,
    )
