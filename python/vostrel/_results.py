"""The results of a fit: `FitResult` (estimates, standard errors, intervals, the verdict and its
notes, with a text and an HTML summary) and `StartResult` (one start of the optimiser). Plain
frozen data: they hold no native object and pickle as they are. Their conveniences that need the
data again (profile intervals, goodness of fit) call `inference` and `diagnostics`.
"""

from __future__ import annotations

import dataclasses
import html
import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from ._checks import FloatArray, as_level
from .events import Events
from .models._base import Model

if TYPE_CHECKING:
    from .inference import StoredProfile

__all__ = ["FitResult", "StartResult"]


@dataclass(frozen=True, eq=False)
class StartResult:
    """The outcome of one start of the optimiser (natural units).

    Attributes
    ----------
    start, estimate : ndarray
        Parameter vector at the start and at the end.
    neg_log_likelihood : float
        At the end (``inf`` when the start failed).
    converged : bool
        The optimiser's own verdict for this start (the fit's verdict is verified
        separately: see :attr:`FitResult.converged`).
    message : str
        The optimiser's message.
    n_iter, n_eval : int
        Iterations and likelihood evaluations.
    """

    start: FloatArray
    estimate: FloatArray
    neg_log_likelihood: float
    converged: bool
    message: str
    n_iter: int
    n_eval: int


@dataclass(frozen=True, eq=False)
class FitResult:
    """A fitted model with its uncertainty and the facts of the fit.

    Attributes
    ----------
    model : Model
        The fitted model (natural units).
    names : tuple of str
        Parameter names, in the order of every array below.
    estimates, std_errors : ndarray
        Estimates, and standard errors from the observed information (NaN for fixed
        parameters and parameters on a bound).
    covariance : ndarray
        Covariance of the estimates (NaN rows and columns for parameters not estimated).
    fixed : tuple of str
        Parameters held at given values.
    on_bound : tuple of str
        Parameters that ended on a bound of the fit (no standard error).
    log_likelihood : float
    n_events, n_realizations : int
    converged : bool
        Whether the estimate is a verified optimum: within 0.001 standard errors of the
        stationary point for every estimated parameter (the Newton step on the observed
        information; without standard errors, the gradient scaled by each free parameter's
        magnitude below 1e-6 per event), no parameter on a bound pulled into the interior, and
        no start at a lower value. When False the notes
        say which parameter failed, by how much, and its gradient.
    message : str
        The optimiser's message for the best start.
    n_iter : int
        Iterations of the best start.
    grad_norm : float
        Largest absolute projected gradient of the negative log-likelihood at the estimate.
    starts : tuple of StartResult
        Every start, in the order they were run; the first starts from simple moments of the
        data (or from the given model with ``start="model"``). Starts beyond ``n_starts``
        come from the search of other time scales when an excitation vanished (see
        :func:`fit`).
    seed : int
        Seed of the random starts.
    branching_ratio : float
        Of the fitted model (for marked models, at the mean mark of the data).
    notes : tuple of str
        Remarks on identifiability and on the fit.
    time_scale : float
        The factor by which time was multiplied internally.
    n_hessian_evaluations : int
        Evaluations spent on the standard errors: gradient calls for the finite differences,
        plus one for each pass that computes a block of the Hessian in closed form (periodic
        baselines).

    Notes
    -----
    :meth:`conf_int` gives Wald intervals (on the log scale for positive parameters) and,
    given the events, profile-likelihood intervals, which can include 0; :meth:`with_profile`
    returns a copy that carries profile intervals, shown by :meth:`summary`. The summary
    marks the kind of every interval.
    """

    model: Model
    names: tuple[str, ...]
    estimates: FloatArray
    std_errors: FloatArray
    covariance: FloatArray
    fixed: tuple[str, ...]
    on_bound: tuple[str, ...]
    log_likelihood: float
    n_events: int
    n_realizations: int
    converged: bool
    message: str
    n_iter: int
    grad_norm: float
    starts: tuple[StartResult, ...]
    seed: int
    branching_ratio: float
    notes: tuple[str, ...]
    time_scale: float
    n_hessian_evaluations: int
    _log_scale: tuple[bool, ...] = field(repr=False, default=())
    _profile: StoredProfile | None = field(repr=False, default=None)

    @property
    def n_params(self) -> int:
        """Number of estimated (free) parameters."""
        return len(self.names) - len(self.fixed)

    @property
    def aic(self) -> float:
        """Akaike information criterion, 2k − 2·log-likelihood."""
        return 2.0 * self.n_params - 2.0 * self.log_likelihood

    @property
    def bic(self) -> float:
        """Bayesian information criterion, k·log(N) − 2·log-likelihood."""
        return self.n_params * math.log(max(self.n_events, 1)) - 2.0 * self.log_likelihood

    @property
    def params(self) -> dict[str, float]:
        """Estimates by name."""
        return dict(zip(self.names, self.estimates.tolist()))

    @property
    def z_values(self) -> FloatArray:
        """Estimate divided by standard error."""
        with np.errstate(divide="ignore", invalid="ignore"):
            return self.estimates / self.std_errors

    def conf_int(
        self,
        level: float = 0.95,
        method: Literal["auto", "wald", "profile"] = "auto",
        *,
        events: Events | None = None,
    ) -> FloatArray:
        """Confidence intervals, shape (p, 2), in the order of :attr:`names`.

        Parameters
        ----------
        level : float, default 0.95
            Coverage, in (0, 1).
        method : {"auto", "wald", "profile"}, default "auto"
            ``"wald"``: Wald intervals from the standard errors; positive parameters get them
            on the log scale, exp(log θ ± z·se/θ), which stay positive (and so never contain
            0), the others θ ± z·se; parameters without a standard error get NaN.
            ``"profile"``: profile-likelihood intervals of every free parameter (see
            :func:`vostrel.profile_intervals`), which need `events` unless this result
            carries them (:meth:`with_profile`). ``"auto"``: profile intervals where this
            result carries them and, given `events`, for the parameters whose domain starts
            at 0 (excitation amplitudes) when ``n_events × n_params × (number of them)`` is
            at most :data:`vostrel.inference.PROFILE_BUDGET` (2e6; about ten one-start refits
            per parameter); Wald intervals elsewhere.
        events : Events, optional
            The events of the fit, for profile intervals.

        Examples
        --------
        >>> import vostrel as vs
        >>> events = vs.Exponential(1.0, 0.0, 2.0).simulate(500.0, seed=3)
        >>> result = vs.fit(events, vs.Exponential())
        >>> result.conf_int(method="profile", events=events)  # doctest: +SKIP
        """
        return self._intervals(level, method, events)[0]

    def with_profile(
        self,
        events: Events,
        params: str | Sequence[str] | None = None,
        level: float = 0.95,
        *,
        progress: bool = False,
    ) -> FitResult:
        """A copy of this result that carries profile-likelihood intervals of `params` (every
        free parameter by default) at `level`: :meth:`conf_int` and :meth:`summary` use them.

        Parameters
        ----------
        events : Events
            The events of the fit.
        params : str or sequence of str, optional
            Parameters or groups to profile.
        level : float, default 0.95
        progress : bool, default False
            Show a progress bar (needs the ``progress`` extra).
        """
        from . import inference

        stored = inference.store_profile(events, self, params, level, progress)
        return dataclasses.replace(self, _profile=stored)

    def _intervals(
        self, level: float, method: str, events: Events | None
    ) -> tuple[FloatArray, list[str]]:
        """Intervals and the kind of each ("profile", "log-Wald", "Wald" or "")."""
        level = as_level(level)
        if method not in ("auto", "wald", "profile"):
            raise ValueError(f"method must be 'auto', 'wald' or 'profile'; got {method!r}")
        from scipy import special

        z = float(special.ndtri(0.5 + level / 2.0))
        est, se = self.estimates, self.std_errors
        out = np.column_stack([est - z * se, est + z * se])
        kinds = ["Wald" if math.isfinite(s) else "" for s in se]
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            for i, log_scale in enumerate(self._log_scale):
                if log_scale and est[i] > 0:
                    half = z * se[i] / est[i]
                    out[i] = est[i] * np.exp([-half, half])
                    kinds[i] = "log-Wald" if kinds[i] else ""
        if method == "wald":
            return out, kinds
        from . import inference

        profiled = inference.profiled(self, events, level, method)
        for i, row in profiled.items():
            out[i] = row
            kinds[i] = "profile"
        return out, kinds

    def goodness_of_fit(self, events: Events, **options: Any) -> Any:
        """Goodness of fit of this fit on its data `events` (see
        :func:`vostrel.goodness_of_fit`): by default a parametric bootstrap of the KS
        statistic of the time-rescaled residuals.

        Parameters
        ----------
        events : Events
            The data the model was fitted to.
        **options
            ``n_boot``, ``seed``, ``executor``, ``progress``, ``fit_options``, as for
            :func:`vostrel.goodness_of_fit`.

        Returns
        -------
        GoodnessOfFit
        """
        from .diagnostics import goodness_of_fit

        return goodness_of_fit(events, self, **options)

    # -- display -------------------------------------------------------------------------------

    def _level(self) -> float:
        """The level of the intervals shown: that of the carried profile intervals, or 0.95."""
        return 0.95 if self._profile is None else self._profile.level

    def _titles(self) -> tuple[str, ...]:
        tail = (1.0 - self._level()) / 2.0
        return (
            "parameter", "estimate", "std err", "z",
            f"[{tail:.3g}", f"{1.0 - tail:.3g}]", "interval",
        )  # fmt: skip

    def _rows(self) -> list[tuple[str, ...]]:
        intervals, kinds = self._intervals(self._level(), "auto", None)
        rows: list[tuple[str, ...]] = []
        for i, name in enumerate(self.names):
            if name in self.fixed:
                rows.append((name, _num(self.estimates[i]), "fixed", "", "", "", ""))
                continue
            se = self.std_errors[i]
            rows.append(
                (
                    name,
                    _num(self.estimates[i]),
                    _num(se),
                    _num(self.z_values[i], 2) if math.isfinite(se) else "",
                    _num(intervals[i, 0]) if kinds[i] else "",
                    _num(intervals[i, 1]) if kinds[i] else "",
                    kinds[i],
                )
            )
        return rows

    def _interval_notes(self) -> list[str]:
        """What the reader of the interval columns must know."""
        _, kinds = self._intervals(self._level(), "auto", None)
        from .inference import starts_at_zero

        info = self.model.param_info()
        # Where 0 is within three standard errors, or the estimate has none.
        at_zero = [
            n
            for n, k, p, z in zip(self.names, kinds, info, self.z_values)
            if k in ("log-Wald", "")
            and n not in self.fixed
            and starts_at_zero(p)
            and not abs(z) >= 3.0
        ]
        notes = []
        if at_zero:
            notes.append(
                f"{', '.join(at_zero)}: within three standard errors of 0 or on the bound; "
                "log-scale Wald intervals exclude 0 by construction and a parameter on its bound "
                "has none: result.with_profile(events) gives profile intervals, which can "
                "include 0"
            )
        if self._profile is not None:
            notes += list(self._profile.notes)
        return notes

    def _header(self) -> list[tuple[str, str]]:
        iterations = f"{self.n_iter} iterations, {len(self.starts)} start(s)"
        return [
            ("model", f"{self.model.family} ({type(self.model).__name__})"),
            ("events", f"{self.n_events} in {self.n_realizations} realisation(s)"),
            ("log-likelihood", f"{self.log_likelihood:.6g}"),
            ("AIC / BIC", f"{self.aic:.6g} / {self.bic:.6g}"),
            ("branching ratio", f"{self.branching_ratio:.4g}"),
            (
                "converged",
                f"{'yes' if self.converged else 'NO'} ({iterations}; |grad| {self.grad_norm:.2g})",
            ),
        ]

    def summary(self) -> str:
        """A text table: estimate, standard error, z and interval of every parameter, with the
        interval's kind (Wald, log-Wald or profile); 95% unless the result carries profile
        intervals at another level."""
        header = self._header()
        width = max(len(k) for k, _ in header)
        lines = [f"{k:<{width}}  {v}" for k, v in header]
        titles = self._titles()
        rows = [titles] + self._rows()
        widths = [max(len(r[c]) for r in rows) for c in range(len(titles))]
        rule = "-" * (sum(widths) + 2 * (len(titles) - 1))
        table = [
            "  ".join(
                cell.ljust(widths[c]) if c == 0 else cell.rjust(widths[c])
                for c, cell in enumerate(r)
            )
            for r in rows
        ]
        lines += [rule, table[0], rule, *table[1:], rule]
        for name in self.on_bound:
            lines.append(f"note: {name} is on a bound of the fit; it has no standard error")
        lines += [f"note: {n}" for n in self.notes]
        lines += [f"note: {n}" for n in self._interval_notes()]
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.summary()

    def __repr__(self) -> str:
        return (
            f"FitResult({type(self.model).__name__}, log_likelihood={self.log_likelihood:.6g}, "
            f"converged={self.converged}, n_events={self.n_events})"
        )

    def _repr_html_(self) -> str:
        head = "".join(
            f"<tr><th style='text-align:left'>{html.escape(k)}</th><td style='text-align:left'>{html.escape(v)}</td></tr>"
            for k, v in self._header()
        )
        titles = self._titles()
        body = "".join(
            "<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in row) + "</tr>"
            for row in self._rows()
        )
        notes = [f"{n} is on a bound of the fit; it has no standard error" for n in self.on_bound]
        notes += list(self.notes)
        notes += self._interval_notes()
        foot = "".join(f"<li>{html.escape(n)}</li>" for n in notes)
        return (
            f"<div><table>{head}</table><table><tr>"
            + "".join(f"<th>{t}</th>" for t in titles)
            + f"</tr>{body}</table>"
            + (f"<ul>{foot}</ul>" if foot else "")
            + "</div>"
        )


def _num(value: float, digits: int = 4) -> str:
    if not math.isfinite(value):
        return "nan" if math.isnan(value) else str(value)
    return (
        f"{value:.{digits}g}"
        if abs(value) < 1e5 and (abs(value) >= 1e-3 or value == 0)
        else f"{value:.{digits}e}"
    )
