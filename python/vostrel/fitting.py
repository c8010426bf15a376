"""Maximum-likelihood fits with standard errors.

`fit` minimises the negative log-likelihood of all realisations of an `Events` (each on its own
window) with L-BFGS-B on the natural scale of the parameters, from several seeded starts, after
rescaling time internally by a power of two so that rates are of order one (fits of epoch
timestamps or milliseconds give the same answer). Standard errors come from the observed
information: the Hessian at the optimum by central differences of the analytic gradient
(2p gradient evaluations, symmetrised), never from the optimiser's low-rank approximation.
"""

from __future__ import annotations

import functools
import html
import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np

from ._checks import FloatArray, as_int, as_scalar, fmt
from ._progress import progress_bar
from ._threads import one_blas_thread
from .events import Events
from .models._base import DataStats, Model, ParamInfo, event_stats, prepare, time_scale

__all__ = ["fit", "FitResult", "StartResult"]

BoundsSpec = Mapping[str, tuple[float | None, float | None]]
FixedSpec = str | Sequence[str] | Mapping[str, Any] | None


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
        Whether the best start converged.
    message : str
        The optimiser's message for the best start.
    n_iter : int
        Iterations of the best start.
    grad_norm : float
        Largest absolute projected gradient of the negative log-likelihood at the estimate.
    starts : tuple of StartResult
        Every start, in the order they were run; the first starts from simple moments of the
        data (or from the given model with ``start="model"``).
    seed : int
        Seed of the random starts.
    branching_ratio : float
        Of the fitted model (for marked models, at the mean mark of the data).
    notes : tuple of str
        Remarks on identifiability and on the fit.
    time_scale : float
        The factor by which time was multiplied internally.
    n_hessian_evaluations : int
        Gradient evaluations spent on the standard errors.
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

    def conf_int(self, level: float = 0.95) -> FloatArray:
        """Wald confidence intervals, shape (p, 2).

        Positive parameters get intervals on the log scale, exp(log θ ± z·se/θ), which stay
        positive; the others θ ± z·se. Parameters without a standard error get NaN.

        Parameters
        ----------
        level : float, default 0.95
            Coverage, in (0, 1).
        """
        level = as_scalar(level, "level")
        if not 0.0 < level < 1.0:
            raise ValueError(f"level must be in (0, 1); got {fmt(level)}")
        from scipy import special

        z = float(special.ndtri(0.5 + level / 2.0))
        est, se = self.estimates, self.std_errors
        out = np.column_stack([est - z * se, est + z * se])
        with np.errstate(divide="ignore", invalid="ignore"):
            for i, log_scale in enumerate(self._log_scale):
                if log_scale and est[i] > 0:
                    half = z * se[i] / est[i]
                    out[i] = est[i] * np.exp([-half, half])
        return out

    def goodness_of_fit(self, events: Events) -> Any:
        """Time-rescaled residuals and KS tests of the fitted model on `events`
        (see :func:`vostrel.goodness_of_fit`)."""
        from .diagnostics import goodness_of_fit

        return goodness_of_fit(events, self.model)

    # -- display -------------------------------------------------------------------------------

    def _rows(self) -> list[tuple[str, str, str, str, str, str]]:
        intervals = self.conf_int()
        rows = []
        for i, name in enumerate(self.names):
            if name in self.fixed:
                rows.append((name, _num(self.estimates[i]), "fixed", "", "", ""))
                continue
            se = self.std_errors[i]
            rows.append(
                (
                    name,
                    _num(self.estimates[i]),
                    _num(se),
                    _num(self.z_values[i], 2) if math.isfinite(se) else "",
                    _num(intervals[i, 0]),
                    _num(intervals[i, 1]),
                )
            )
        return rows

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
        """A text table: estimate, standard error, z and 95% interval of every parameter."""
        header = self._header()
        width = max(len(k) for k, _ in header)
        lines = [f"{k:<{width}}  {v}" for k, v in header]
        titles = ("parameter", "estimate", "std err", "z", "[0.025", "0.975]")
        rows = [titles] + self._rows()
        widths = [max(len(r[c]) for r in rows) for c in range(6)]
        rule = "-" * (sum(widths) + 2 * 5)
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
        titles = ("parameter", "estimate", "std err", "z", "[0.025", "0.975]")
        body = "".join(
            "<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in row) + "</tr>"
            for row in self._rows()
        )
        notes = [f"{n} is on a bound of the fit; it has no standard error" for n in self.on_bound]
        notes += list(self.notes)
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


# -- the fit -------------------------------------------------------------------------------------


def fit(
    events: Events,
    model: Model,
    *,
    fixed: FixedSpec = None,
    bounds: BoundsSpec | None = None,
    n_starts: int = 3,
    seed: int = 0,
    start: Literal["moments", "model"] = "moments",
    max_iter: int = 1000,
    progress: bool = False,
    executor: Any = None,
) -> FitResult:
    """Fit `model` to `events` by maximum likelihood.

    Parameters
    ----------
    events : Events
        One or more realisations; their likelihoods are summed, each on its own window.
    model : Model
        The model family and its structure (number of components, bin edges, link, decay
        mode); its parameter values are the starting point with ``start="model"`` and the
        values of fixed parameters.
    fixed : str, sequence of str, or mapping, optional
        Parameters held fixed: names (``"beta"``, ``"alpha[0,1]"``) or groups (``"alpha"``)
        kept at the model's values, or a mapping from name to the value to hold.
    bounds : mapping, optional
        ``{name: (lower, upper)}`` in the data's time unit, overriding the defaults (``None``
        for no bound on that side). Bounds must lie in the parameter's domain.
    n_starts : int, default 3
        Number of starts: one from simple moments of the data (or the model), the rest
        random, drawn from `seed`.
    seed : int, default 0
        Seed of the random starts; the fit is a deterministic function of its arguments.
    start : {"moments", "model"}, default "moments"
        Where the first start comes from.
    max_iter : int, default 1000
        Iteration limit of each start.
    progress : bool, default False
        Show a progress bar over the starts (needs the ``progress`` extra).
    executor : optional
        A ``dask.distributed.Client``: the realisations are spread over its workers once and
        every evaluation sums their pieces in realisation order (same result as without). Each
        worker holds its block in a Dask actor, released when the fit ends; a block lost with
        its worker is placed again, and a worker silent for 30 s (the ``vostrel.frozen-worker``
        Dask setting) is restarted.

    Returns
    -------
    FitResult

    Raises
    ------
    TypeError, ValueError
        Bad arguments: the message names the argument.

    Examples
    --------
    >>> import vostrel as vs
    >>> events = vs.Exponential(0.5, 0.6, 2.0).simulate(2000.0, seed=1)
    >>> result = vs.fit(events, vs.Exponential())
    >>> print(result.summary())  # doctest: +SKIP
    """
    if not isinstance(model, Model):
        raise TypeError(
            f"model must be a vostrel model such as Exponential(); got {type(model).__name__}"
        )
    model.check_events(events)
    n_starts = as_int(n_starts, "n_starts", minimum=1)
    max_iter = as_int(max_iter, "max_iter", minimum=1)
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or seed < 0:
        raise TypeError(f"seed must be a non-negative integer; got {seed!r}")
    if start not in ("moments", "model"):
        raise ValueError(f"start must be 'moments' or 'model'; got {start!r}")
    info = model.param_info()
    template = _apply_fixed_values(model, fixed, info)
    free = _free_mask(fixed, info)
    user_bounds = _check_bounds(bounds, info)

    if model._rescalable() and model._boxes_survive_rescaling(set(user_bounds)):
        scale = time_scale(events)
    else:
        scale = 1.0
    stats_internal = event_stats(events).in_units(scale)
    template_internal = template._scaled(scale)
    box = _internal_bounds(
        template_internal._default_bounds(stats_internal), user_bounds, info, scale
    )
    mode = template_internal._mode(free)
    if executor is not None:
        from ._joint import DistributedData

        distributed = DistributedData(executor, events, scale)
        evaluate = functools.partial(distributed.evaluate, template_internal, mode=mode)
    else:
        data = prepare(events, scale)
        evaluate = functools.partial(template_internal._neg_ll_grad, data, mode=mode)
    try:
        with one_blas_thread():
            return _fit(
                events,
                template_internal,
                evaluate,
                stats_internal,
                box,
                info,
                free,
                scale,
                start,
                n_starts,
                seed,
                max_iter,
                progress,
            )
    finally:
        if executor is not None:
            distributed.close()


def _fit(
    events: Events,
    template_internal: Model,
    evaluate: Callable[[FloatArray], tuple[float, FloatArray]],
    stats_internal: DataStats,
    box: list[tuple[float | None, float | None]],
    info: Sequence[ParamInfo],
    free: Any,
    scale: float,
    start: str,
    n_starts: int,
    seed: int,
    max_iter: int,
    progress: bool,
) -> FitResult:
    from scipy import optimize  # imported here: it takes a second to load

    x_template = template_internal.to_vector()
    objective = _Objective(evaluate, x_template, free, max(events.n_events, 1))
    starts_internal = _starts(
        template_internal, stats_internal, start, x_template, free, box, n_starts, seed
    )

    runs: list[StartResult] = []
    best: tuple[float, FloatArray, bool, Any] | None = None
    first_error: BaseException | None = None
    with progress_bar(progress, n_starts, "fit") as bar:
        for x0 in starts_internal:
            try:
                outcome = optimize.minimize(
                    objective.normalised,
                    x0[free],
                    jac=True,
                    method="L-BFGS-B",
                    bounds=[box[int(i)] for i in np.flatnonzero(free)],
                    options={"maxiter": max_iter, "ftol": 1e-13, "gtol": 1e-9, "maxcor": 20},
                )
            except (ValueError, FloatingPointError, ArithmeticError) as exc:
                first_error = first_error or exc
                runs.append(_failed_start(template_internal, x0, scale, str(exc)))
                bar.update()
                continue
            x = objective.full(outcome.x)
            value = float(outcome.fun) * objective.norm
            converged = _converged(outcome, x, box, free, objective)
            natural = template_internal.with_vector(x)._scaled(1.0 / scale).to_vector()
            runs.append(
                StartResult(
                    start=template_internal.with_vector(x0)._scaled(1.0 / scale).to_vector(),
                    estimate=natural,
                    neg_log_likelihood=value - events.n_events * math.log(scale),
                    converged=converged,
                    message=str(outcome.message),
                    n_iter=int(outcome.nit),
                    n_eval=int(outcome.nfev),
                )
            )
            if math.isfinite(value) and (
                best is None or _better(value, converged, best[0], best[2])
            ):
                best = (value, x, converged, outcome)
            bar.update()
    if best is None:
        if first_error is not None:
            raise first_error
        raise RuntimeError(
            "every start of the fit failed: the likelihood was not finite anywhere tried"
        )

    value, x_best, converged, outcome = best
    unidentified = free & template_internal._unidentified(x_best)
    estimated = free & ~_on_bounds(x_best, box) & ~unidentified
    covariance_internal, hessian_ok, hessian_calls = _observed_information(
        objective, x_best, estimated, box
    )
    if not hessian_ok:
        estimated[:] = False
    fitted_internal = template_internal.with_vector(x_best)
    jacobian = fitted_internal._unscale_jacobian(x_best, scale)
    covariance = jacobian @ np.nan_to_num(covariance_internal) @ jacobian.T
    fitted = fitted_internal._scaled(1.0 / scale)
    estimates = fitted.to_vector()
    permutation = fitted._canonical(estimates)
    estimates = permutation @ estimates
    covariance = permutation @ covariance @ permutation.T
    estimated = (permutation @ estimated.astype(float)) > 0.5
    fitted = fitted.with_vector(estimates)
    covariance[~estimated, :] = np.nan
    covariance[:, ~estimated] = np.nan
    std_errors = np.sqrt(np.where(np.diag(covariance) >= 0, np.diag(covariance), np.nan))

    names = tuple(p.name for p in info)
    free_after = (permutation @ free.astype(float)) > 0.5
    bound_after = (permutation @ (free & _on_bounds(x_best, box)).astype(float)) > 0.5
    unidentified_after = (permutation @ unidentified.astype(float)) > 0.5
    on_bound = tuple(n for n, b in zip(names, bound_after) if b)
    gradient = objective.gradient(x_best)
    projected = _projected_gradient(x_best, gradient, box, free)
    grad_natural = np.linalg.solve(jacobian.T, projected) if projected.size else projected
    stats_natural = stats_internal.in_units(1.0 / scale)
    notes = _notes(
        fitted, estimates, std_errors, covariance, stats_natural, names, hessian_ok, converged
    )
    notes += [
        f"{n} is not identified: the excitation it shapes is zero; it has no standard error"
        for n, u in zip(names, unidentified_after)
        if u
    ]
    return FitResult(
        model=fitted,
        names=names,
        estimates=estimates,
        std_errors=std_errors,
        covariance=covariance,
        fixed=tuple(n for n, f in zip(names, free_after) if not f),
        on_bound=on_bound,
        log_likelihood=-(value - events.n_events * math.log(scale)),
        n_events=events.n_events,
        n_realizations=events.n_realizations,
        converged=converged,
        message=str(outcome.message),
        n_iter=int(outcome.nit),
        grad_norm=float(np.max(np.abs(grad_natural), initial=0.0)),
        starts=tuple(runs),
        seed=int(seed),
        branching_ratio=fitted._branching_ratio_for(events),
        notes=tuple(notes),
        time_scale=scale,
        n_hessian_evaluations=hessian_calls,
        _log_scale=tuple(p.log_scale for p in info),
    )


class _Objective:
    """The negative log-likelihood over the free parameters, in internal units. `normalised`
    divides by the number of events so that the optimiser's tolerances mean the same at any
    data size."""

    def __init__(
        self,
        evaluate: Callable[[FloatArray], tuple[float, FloatArray]],
        template: FloatArray,
        free: Any,
        norm: int,
    ) -> None:
        self.evaluate = evaluate
        self.template = template
        self.free = free
        self.norm = float(norm)
        self.calls = 0

    def full(self, x_free: FloatArray) -> FloatArray:
        x = self.template.copy()
        x[self.free] = x_free
        return x

    def value_and_gradient(self, x: FloatArray) -> tuple[float, FloatArray]:
        self.calls += 1
        value, gradient = self.evaluate(x)
        return float(value), np.asarray(gradient, dtype=np.float64)

    def gradient(self, x: FloatArray) -> FloatArray:
        return self.value_and_gradient(x)[1]

    def normalised(self, x_free: FloatArray) -> tuple[float, FloatArray]:
        value, gradient = self.value_and_gradient(self.full(x_free))
        if not math.isfinite(value) or not np.all(np.isfinite(gradient)):
            # Let the line search step back from a region where the likelihood breaks down.
            return math.inf, np.zeros(int(self.free.sum()))
        return value / self.norm, gradient[self.free] / self.norm


def _converged(
    outcome: Any,
    x: FloatArray,
    box: Sequence[tuple[float | None, float | None]],
    free: Any,
    objective: _Objective,
) -> bool:
    """The optimiser's verdict, or a line search that gave up at the optimum: L-BFGS-B reports
    an abnormal end when no step improves the value in the last bits, which at a projected
    gradient below 1e-6 per event means the optimum was reached to machine precision."""
    if outcome.success:
        return True
    if "ABNORMAL" not in str(outcome.message):
        return False
    gradient = np.zeros(x.shape[0])
    gradient[free] = np.asarray(outcome.jac, dtype=np.float64)
    return bool(np.max(np.abs(_projected_gradient(x, gradient, box, free)), initial=0.0) < 1e-6)


def _better(value: float, converged: bool, best_value: float, best_converged: bool) -> bool:
    """Lower is better; among values equal to rounding, a converged start wins."""
    tolerance = 1e-9 * max(1.0, abs(best_value))
    if abs(value - best_value) <= tolerance:
        return converged and not best_converged
    return value < best_value


def _failed_start(model: Model, x0: FloatArray, scale: float, message: str) -> StartResult:
    start = model.with_vector(x0)._scaled(1.0 / scale).to_vector()
    return StartResult(start, np.full_like(start, np.nan), math.inf, False, message, 0, 0)


def _group_members(name: str, info: Sequence[ParamInfo], argument: str) -> list[int]:
    members = [i for i, p in enumerate(info) if p.name == name or p.group == name]
    if not members:
        names = sorted({p.name for p in info} | {p.group for p in info})
        raise ValueError(
            f"{argument}: unknown parameter {name!r}; the parameters are {', '.join(names)}"
        )
    return members


def _fixed_names(fixed: FixedSpec) -> list[str]:
    if fixed is None:
        return []
    if isinstance(fixed, str):
        return [fixed]
    if isinstance(fixed, Mapping):
        return [str(k) for k in fixed]
    if isinstance(fixed, Sequence):
        for item in fixed:
            if not isinstance(item, str):
                raise TypeError(f"fixed must hold parameter names; got {item!r}")
        return list(fixed)
    raise TypeError(
        f"fixed must be a name, a list of names or a mapping; got {type(fixed).__name__}"
    )


def _free_mask(fixed: FixedSpec, info: Sequence[ParamInfo]) -> Any:
    free = np.ones(len(info), dtype=bool)
    for name in _fixed_names(fixed):
        free[_group_members(name, info, "fixed")] = False
    if not free.any():
        raise ValueError("fixed: every parameter is fixed; nothing is left to fit")
    return free


def _apply_fixed_values(model: Model, fixed: FixedSpec, info: Sequence[ParamInfo]) -> Model:
    if not isinstance(fixed, Mapping):
        _fixed_names(fixed)
        return model
    x = model.to_vector()
    for name, value in fixed.items():
        members = _group_members(str(name), info, "fixed")
        values = (
            np.asarray(value, dtype=np.float64).ravel()
            if not np.isscalar(value)
            else np.array([as_scalar(value, f"fixed[{name!r}]")])
        )
        if values.shape[0] == 1:
            x[members] = values[0]
        elif values.shape[0] == len(members):
            x[members] = values
        else:
            raise ValueError(
                f"fixed[{name!r}] must be one number or {len(members)} numbers; got {values.shape[0]}"
            )
    return model.with_vector(x)


def _check_bounds(
    bounds: BoundsSpec | None, info: Sequence[ParamInfo]
) -> dict[int, tuple[float | None, float | None]]:
    if bounds is None:
        return {}
    if not isinstance(bounds, Mapping):
        raise TypeError(
            f"bounds must be a mapping from parameter name to (lower, upper); got {type(bounds).__name__}"
        )
    out: dict[int, tuple[float | None, float | None]] = {}
    for name, pair in bounds.items():
        members = _group_members(str(name), info, "bounds")
        if not isinstance(pair, (tuple, list)) or len(pair) != 2:
            raise TypeError(f"bounds[{name!r}] must be a pair (lower, upper); got {pair!r}")
        lower = None if pair[0] is None else as_scalar(pair[0], f"bounds[{name!r}] lower")
        upper = None if pair[1] is None else as_scalar(pair[1], f"bounds[{name!r}] upper")
        for value in (lower, upper):
            if value is not None and math.isnan(value):
                raise ValueError(f"bounds[{name!r}] must not be NaN")
        if lower is not None and upper is not None and not lower < upper:
            raise ValueError(
                f"bounds[{name!r}]: lower ({fmt(lower)}) must be below upper ({fmt(upper)}); "
                "use fixed= to hold a parameter at one value"
            )
        for i in members:
            p = info[i]
            if lower is not None and (lower < p.lower or (p.strict and lower <= p.lower)):
                relation = "above" if p.strict else "at least"
                raise ValueError(
                    f"bounds[{name!r}]: the lower bound of {p.name} must be {relation} {fmt(p.lower)}; got {fmt(lower)}"
                )
            if upper is not None and (upper > p.upper or (p.strict and upper <= p.lower)):
                raise ValueError(
                    f"bounds[{name!r}]: the upper bound of {p.name} is outside its domain; got {fmt(upper)}"
                )
            out[i] = (lower, upper)
    return out


def _internal_bounds(
    defaults: list[tuple[float | None, float | None]],
    user: Mapping[int, tuple[float | None, float | None]],
    info: Sequence[ParamInfo],
    scale: float,
) -> list[tuple[float | None, float | None]]:
    box = list(defaults)
    for i, (lower, upper) in user.items():
        factor = scale ** info[i].time_power
        box[i] = (
            None if lower is None else lower * factor,
            None if upper is None else upper * factor,
        )
    return box


def _clip(x: FloatArray, box: Sequence[tuple[float | None, float | None]], free: Any) -> FloatArray:
    out = x.copy()
    for i, (lower, upper) in enumerate(box):
        if free[i]:
            if lower is not None and out[i] < lower:
                out[i] = lower
            if upper is not None and out[i] > upper:
                out[i] = upper
    return out


def _starts(
    model: Model,
    stats_internal: DataStats,
    start: str,
    template: FloatArray,
    free: Any,
    box: Sequence[tuple[float | None, float | None]],
    n_starts: int,
    seed: int,
) -> list[FloatArray]:
    rng = np.random.default_rng(seed)
    first = template.copy() if start == "model" else model._start(stats_internal, None)
    starts = [first]
    for _ in range(n_starts - 1):
        starts.append(model._start(stats_internal, rng))
    out = []
    for x in starts:
        x = np.where(free, x, template)
        out.append(_clip(x, box, free))
    return out


def _on_bounds(x: FloatArray, box: Sequence[tuple[float | None, float | None]]) -> Any:
    on = np.zeros(x.shape[0], dtype=bool)
    for i, (lower, upper) in enumerate(box):
        tolerance = 1e-8 * max(1.0, abs(x[i]))
        if lower is not None and x[i] - lower <= tolerance:
            on[i] = True
        if upper is not None and upper - x[i] <= tolerance:
            on[i] = True
    return on


def _projected_gradient(
    x: FloatArray, gradient: FloatArray, box: Sequence[tuple[float | None, float | None]], free: Any
) -> FloatArray:
    out = np.where(free, gradient, 0.0)
    on = _on_bounds(x, box)
    for i, (lower, upper) in enumerate(box):
        if on[i]:
            pushes_out = (
                lower is not None and x[i] - lower <= 1e-8 * max(1.0, abs(x[i])) and gradient[i] > 0
            ) or (
                upper is not None and upper - x[i] <= 1e-8 * max(1.0, abs(x[i])) and gradient[i] < 0
            )
            if pushes_out:
                out[i] = 0.0
    return out


def _observed_information(
    objective: _Objective,
    x: FloatArray,
    estimated: Any,
    box: Sequence[tuple[float | None, float | None]],
) -> tuple[FloatArray, bool, int]:
    """Inverse of the Hessian of the negative log-likelihood over the estimated parameters, by
    central differences of the analytic gradient: two gradient calls per parameter."""
    p = x.shape[0]
    covariance = np.full((p, p), np.nan)
    index = np.flatnonzero(estimated)
    if index.size == 0:
        return covariance, True, 0
    before = objective.calls
    hessian = np.empty((index.size, index.size))
    for column, i in enumerate(index.tolist()):
        step = 1e-5 * max(abs(x[i]), 1e-8)
        lower, upper = box[i]
        if lower is not None:
            step = min(step, 0.5 * (x[i] - lower))
        if upper is not None:
            step = min(step, 0.5 * (upper - x[i]))
        plus, minus = x.copy(), x.copy()
        plus[i] += step
        minus[i] -= step
        hessian[:, column] = (
            objective.gradient(plus)[index] - objective.gradient(minus)[index]
        ) / (plus[i] - minus[i])
    hessian = 0.5 * (hessian + hessian.T)
    calls = objective.calls - before
    if not np.all(np.isfinite(hessian)):
        return covariance, False, calls
    eigenvalues = np.linalg.eigvalsh(hessian)
    if eigenvalues.min() <= 1e-12 * max(eigenvalues.max(), 0.0):
        return covariance, False, calls
    covariance[np.ix_(index, index)] = np.linalg.inv(hessian)
    return covariance, True, calls


def _notes(
    model: Model,
    estimates: FloatArray,
    std_errors: FloatArray,
    covariance: FloatArray,
    stats: DataStats,
    names: Sequence[str],
    hessian_ok: bool,
    converged: bool,
) -> list[str]:
    notes = []
    if not converged:
        notes.append("the optimiser did not report convergence: treat the estimates with care")
    if not hessian_ok:
        notes.append(
            "the observed information is not positive definite (a flat or non-identified "
            "direction): standard errors are not available"
        )
    notes += model._notes(estimates, std_errors, stats)
    if not model.is_stationary:
        notes.append(
            f"the fitted process is not stationary (branching ratio {model.branching_ratio:.4g} >= 1)"
        )
    with np.errstate(invalid="ignore", divide="ignore"):
        correlation = covariance / np.outer(std_errors, std_errors)
    strong = [
        (names[i], names[j], correlation[i, j])
        for i in range(len(names))
        for j in range(i + 1, len(names))
        if np.isfinite(correlation[i, j]) and abs(correlation[i, j]) > 0.95
    ]
    for a, b, r in strong:
        notes.append(
            f"{a} and {b} are strongly correlated ({r:+.3f}): they trade off against each other"
        )
    return notes
