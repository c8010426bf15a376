"""Maximum-likelihood fits with standard errors.

`fit` minimises the negative log-likelihood of all realisations of an `Events` (each on its own
window) with L-BFGS-B from several seeded starts, after rescaling time internally by a power of
two so that rates are of order one (fits of epoch timestamps or milliseconds give the same
answer), with positive parameters on the log scale where the family converges faster so. It runs in named steps: starts, optimise
(each start), select (the best start), standard errors (the observed information: the Hessian
at the optimum by central differences of the analytic gradient, 2p gradient evaluations,
symmetrised, never the optimiser's low-rank approximation; then Newton steps on it and the
verification of the optimum), and the result in natural units.
"""

from __future__ import annotations

import dataclasses
import functools
import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from ._checks import FloatArray, as_int, as_scalar, as_seed, fmt
from ._progress import progress_bar
from ._results import FitResult, StartResult
from ._scan import SCAN_ITER as _SCAN_ITER
from ._scan import SCAN_PER_DECADE as _SCAN_PER_DECADE
from ._scan import WEAK_Z as WEAK_Z
from ._scan import scan_count
from ._threads import one_blas_thread
from .events import Events
from .models._base import DataStats, Model, ParamInfo, event_stats, prepare, time_scale

__all__ = ["fit", "FitResult", "StartResult"]

BoolArray = npt.NDArray[np.bool_]
BoundsSpec = Mapping[str, tuple[float | None, float | None]]
FixedSpec = str | Sequence[str] | Mapping[str, Any] | None


# -- the fit -------------------------------------------------------------------------------------

Bound = tuple[float | None, float | None]

#: Largest number of starts: each is a whole optimisation, so more is a slip, not a request.
MAX_STARTS = 10_000
#: Largest iteration limit of one start.
MAX_ITER = 1_000_000
#: With fewer events than this per free parameter the estimates are noted as unreliable.
EVENTS_PER_PARAMETER = 10
#: A verified optimum: the Newton step from the estimate to the stationary point of the
#: quadratic model is below this many standard errors for every estimated parameter.
STEP_TOLERANCE = 1e-3
#: Without standard errors: the largest scaled gradient per event that still counts as zero.
GRADIENT_TOLERANCE = 1e-6
#: Newton steps that refine the best point (each one likelihood evaluation, more only when a
#: step has to be shortened).
_NEWTON_STEPS = 4
#: Below this many standard errors a Newton step is not worth an evaluation.
_NEGLIGIBLE_STEP = 1e-7


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
    std_errors: bool = True,
    penalty: float | None = None,
) -> FitResult:
    """Fit `model` to `events` by maximum likelihood.

    Parameters
    ----------
    events : Events
        One or more realisations; their likelihoods are summed, each on its own window. At
        least one event is needed.
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
        Number of starts, at most 10,000: one from simple moments of the data (or the model),
        the rest random, drawn from `seed`.
    seed : int, default 0
        Seed of the random starts; the fit is a deterministic function of its arguments.
    start : {"moments", "model"}, default "moments"
        Where the first start comes from.
    max_iter : int, default 1000
        Iteration limit of each start, at most 1,000,000.
    progress : bool, default False
        Show a progress bar over the starts (needs the ``progress`` extra).
    executor : optional
        A ``dask.distributed.Client``: the realisations are spread over its workers once and
        every evaluation sums their pieces in realisation order (same result as without). Each
        worker holds its block in a Dask actor, released when the fit ends; a block lost with
        its worker is placed again, and a worker silent for 30 s (the ``vostrel.frozen-worker``
        Dask setting) is restarted.
        For ``MultivariateExponential`` fits (which run row by row, see
        :mod:`vostrel.network`), a ``concurrent.futures`` executor or a Dask client that
        fits the rows in parallel, with the same result as serially.
    std_errors : bool, default True
        Whether to compute standard errors (``False`` skips the observed information; the
        standard errors and the covariance are then NaN).
    penalty : float, optional
        ``MultivariateExponential`` with ``decay="fixed"`` only: an L1 penalty strength on
        alpha (nats per unit of alpha). The result is penalised: no Wald errors. See
        :func:`vostrel.network.l1_path` for a path of strengths and a data-driven choice.

    Returns
    -------
    FitResult

    Raises
    ------
    TypeError, ValueError
        Bad arguments, or no events at all: the message names the argument.

    Notes
    -----
    Time is rescaled internally by a power of two so that the event rate is of order one, for
    every family whose likelihood allows it exactly; for the exponential families the strictly
    positive parameters (rates, decays) are optimised on the log scale, where they are well
    conditioned. The best start
    is refined by Newton steps on the observed information and then verified: the fit is
    ``converged`` only when the estimate is within 0.001 standard errors of the stationary
    point for every estimated parameter (without standard errors: when the gradient scaled by
    the parameter's magnitude is below 1e-6 per event), no parameter on a bound could move
    inwards, and no start reached a lower value. Otherwise the notes say which parameter failed
    and by how much. With fewer than 10 events per free parameter the notes say that the
    estimates are unreliable.

    When every amplitude that a decay shapes ends on 0 or within two standard errors of it (on
    data with little or no excitation), the decay is barely determined and every start can stop
    where the excitation vanished although an excitation at another time scale fits better. The
    fit then holds the decay (or the power law's lag offset) at time scales from the shortest
    gap to the longest window, refits the rest there (on the bound, only where the likelihood
    rises into the interior: one gradient per time scale otherwise), and starts full fits from
    the points that beat the optimum, under the same selection rules; these starts are listed
    in :attr:`FitResult.starts`. A value found on the way that the result does not reach makes
    it not converged, with a note. Fits whose amplitudes are clearly non-zero run none of this.

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
    n_starts = _bounded_int(n_starts, "n_starts", MAX_STARTS)
    max_iter = _bounded_int(max_iter, "max_iter", MAX_ITER)
    seed = as_seed(seed)
    if start not in ("moments", "model"):
        raise ValueError(f"start must be 'moments' or 'model'; got {start!r}")
    if not isinstance(std_errors, (bool, np.bool_)):
        raise TypeError(f"std_errors must be True or False; got {std_errors!r}")
    if penalty is not None:
        penalty = as_scalar(penalty, "penalty")
        if not (math.isfinite(penalty) and penalty >= 0):
            raise ValueError(f"penalty must be a non-negative finite number; got {fmt(penalty)}")
    if events.n_events == 0:
        raise ValueError(
            "events holds no events at all: there is nothing to fit (a Hawkes model needs at "
            "least one event; the maximum-likelihood baseline of an empty record is 0)"
        )
    if _by_rows(model, fixed, bounds, penalty):
        from .network import fit_rows

        return fit_rows(
            events, model, n_starts=n_starts, seed=seed, start=start, max_iter=max_iter,
            progress=progress, executor=executor, std_errors=bool(std_errors), penalty=penalty,
        )
    problem = _problem(events, model, fixed, bounds)
    evaluate, close = _evaluator(problem, executor)
    try:
        with one_blas_thread():
            objective = _Objective(evaluate, problem)
            starts = _starts(problem, start, n_starts, seed)
            runs = _optimise(objective, problem, starts, max_iter, progress)
            best = _select(runs)
            optimum = _standard_errors(objective, problem, best, runs, bool(std_errors))
            optimum, runs = _escape(
                objective, problem, optimum, runs, max_iter, bool(std_errors)
            )
            return _result(problem, runs, optimum, seed)
    finally:
        close()


def _bounded_int(value: Any, name: str, maximum: int) -> int:
    result = as_int(value, name, minimum=1)
    if result > maximum:
        raise ValueError(f"{name} must be at most {maximum:,}; got {result:,}")
    return result


def _by_rows(model: Model, fixed: FixedSpec, bounds: BoundsSpec | None, penalty: Any) -> bool:
    """Whether the row-by-row engine (vostrel.network) fits this model: multivariate
    exponential models with nothing held fixed and no bounds."""
    from .models.multivariate import MultivariateExponential

    if not isinstance(model, MultivariateExponential):
        if penalty is not None:
            raise ValueError("penalty is available for MultivariateExponential models only")
        return False
    if penalty is not None and (fixed is not None or bounds is not None):
        raise ValueError("penalty cannot be combined with fixed= or bounds=")
    return fixed is None and bounds is None


@dataclass(frozen=True, eq=False)
class _Problem:
    """What a fit works on, in internal units (times multiplied by `scale`)."""

    events: Events
    model: Model  # the template, in internal units
    info: tuple[ParamInfo, ...]
    x_template: FloatArray
    free: BoolArray
    box: list[Bound]
    scale: float
    stats: DataStats  # in internal units
    log: BoolArray  # parameters the optimiser moves on the log scale

    @property
    def log_scale_shift(self) -> float:
        """Internal minus natural log-likelihood: N·log(scale)."""
        return self.events.n_events * math.log(self.scale)

    def natural(self, x: FloatArray) -> FloatArray:
        return self.model.with_vector(x)._scaled(1.0 / self.scale).to_vector()


def _problem(events: Events, model: Model, fixed: FixedSpec, bounds: BoundsSpec | None) -> _Problem:
    info = model.param_info()
    template = _apply_fixed_values(model, fixed, info)
    free = _free_mask(fixed, info)
    user_bounds = _check_bounds(bounds, info)
    _check_fixed_within_bounds(template.to_vector(), free, user_bounds, info)
    if model._rescalable() and model._boxes_survive_rescaling(set(user_bounds)):
        scale = time_scale(events)
    else:
        scale = 1.0
    stats = event_stats(events).in_units(scale)
    internal = template._scaled(scale)
    box = _internal_bounds(internal._default_bounds(stats), user_bounds, info, scale)
    return _Problem(
        events,
        internal,
        tuple(info),
        internal.to_vector(),
        free,
        box,
        scale,
        stats,
        _log_mask(model, box, free),
    )


def _log_mask(model: Model, box: Sequence[Bound], free: BoolArray) -> BoolArray:
    """Free parameters whose domain is strictly positive and whose box keeps them away from
    0 (rates, decays), for the families that converge faster with them as logarithms (see
    ``Model._log_scale_fit``): they vary over orders of magnitude and are far better
    conditioned so. Parameters that may be exactly 0 (excitations, kernel values) stay on their
    natural scale, so that a fit can land on the bound."""
    info = model.param_info()
    out = np.zeros(len(info), dtype=bool)
    if not model._log_scale_fit:
        return out
    for i, p in enumerate(info):
        lower, upper = box[i]
        out[i] = bool(
            free[i]
            and p.strict
            and p.lower == 0.0
            and lower is not None
            and lower > 0.0
            and (upper is None or upper > lower)
        )
    return out


def _evaluator(
    problem: _Problem, executor: Any
) -> tuple[Callable[[FloatArray], tuple[float, FloatArray]], Callable[[], None]]:
    """The likelihood with its gradient in internal units, and what to call when done."""
    mode = problem.model._mode(problem.free)
    if executor is None:
        data = prepare(problem.events, problem.scale)
        return functools.partial(problem.model._neg_ll_grad, data, mode=mode), lambda: None
    from ._joint import DistributedData

    distributed = DistributedData(executor, problem.events, problem.scale)
    return functools.partial(distributed.evaluate, problem.model, mode=mode), distributed.close


class _Objective:
    """The negative log-likelihood in internal units. The optimiser sees it over the free
    parameters, those in `problem.log` as logarithms, divided by the number of events so that
    its tolerances mean the same at any data size. The last few evaluations are remembered, so
    that the end point of a start is not evaluated again."""

    _MEMORY = 8

    def __init__(
        self, evaluate: Callable[[FloatArray], tuple[float, FloatArray]], problem: _Problem
    ) -> None:
        self.evaluate = evaluate
        self.template = problem.x_template
        self.free = problem.free
        self.log = problem.log[problem.free]
        # exp(log(bound)) may miss the bound by an ulp: the log-scale parameters are clipped.
        free_box = [problem.box[i] for i in np.flatnonzero(problem.free).tolist()]
        self._lower = np.array([-math.inf if lo is None else lo for lo, _ in free_box])[self.log]
        self._upper = np.array([math.inf if hi is None else hi for _, hi in free_box])[self.log]
        self.norm = float(max(problem.events.n_events, 1))
        self.calls = 0
        self._memory: dict[bytes, tuple[float, FloatArray]] = {}

    def to_optimiser(self, x: FloatArray) -> FloatArray:
        z: FloatArray = x[self.free].copy()
        z[self.log] = np.log(z[self.log])
        return z

    def full(self, z: FloatArray) -> FloatArray:
        values = np.array(z, dtype=np.float64)
        with np.errstate(over="ignore"):  # a line search's trial beyond the box: clipped
            values[self.log] = np.clip(np.exp(values[self.log]), self._lower, self._upper)
        x = self.template.copy()
        x[self.free] = values
        return x

    def optimiser_bounds(self, box: Sequence[Bound]) -> list[Bound]:
        out: list[Bound] = []
        for log, i in zip(self.log, np.flatnonzero(self.free).tolist()):
            lower, upper = box[i]
            if log:
                assert lower is not None
                out.append((math.log(lower), None if upper is None else math.log(upper)))
            else:
                out.append((lower, upper))
        return out

    def value_and_gradient(self, x: FloatArray) -> tuple[float, FloatArray]:
        key = x.tobytes()
        if key in self._memory:
            value, gradient = self._memory[key]
            return value, gradient.copy()
        self.calls += 1
        value, raw = self.evaluate(x)
        gradient = np.asarray(raw, dtype=np.float64)
        if len(self._memory) >= self._MEMORY:
            del self._memory[next(iter(self._memory))]
        self._memory[key] = (float(value), gradient.copy())
        return float(value), gradient

    def gradient(self, x: FloatArray) -> FloatArray:
        return self.value_and_gradient(x)[1]

    def normalised(self, z: FloatArray) -> tuple[float, FloatArray]:
        x = self.full(z)
        value, gradient = self.value_and_gradient(x)
        if not math.isfinite(value) or not np.all(np.isfinite(gradient)):
            # Let the line search step back from a region where the likelihood breaks down.
            return math.inf, np.zeros(int(self.free.sum()))
        g = gradient[self.free]
        g[self.log] *= x[self.free][self.log]
        return value / self.norm, g / self.norm


# -- step 1: starts --------------------------------------------------------------------------------


def _starts(problem: _Problem, start: str, n_starts: int, seed: int) -> list[FloatArray]:
    """The first start from the data's moments (or the model), the rest random from `seed`;
    fixed parameters at their values, every start inside the box."""
    rng = np.random.default_rng(seed)
    model, template = problem.model, problem.x_template
    first = template.copy() if start == "model" else model._start(problem.stats, None)
    starts = [first] + [model._start(problem.stats, rng) for _ in range(n_starts - 1)]
    return [_clip(np.where(problem.free, x, template), problem.box, problem.free) for x in starts]


# -- step 2: optimise --------------------------------------------------------------------------------


@dataclass(frozen=True, eq=False)
class _Run:
    """One start: its report in natural units, and its end point in internal units."""

    report: StartResult
    x: FloatArray | None  # None when the start failed
    value: float  # internal negative log-likelihood (inf when the start failed)
    optimiser_converged: bool
    outcome: Any
    error: BaseException | None = None


def _optimise(
    objective: _Objective,
    problem: _Problem,
    starts: Sequence[FloatArray],
    max_iter: int,
    progress: bool,
) -> list[_Run]:
    runs = []
    with progress_bar(progress, len(starts), "fit") as bar:
        for x0 in starts:
            runs.append(_optimise_one(objective, problem, x0, max_iter))
            bar.update()
    return runs


def _optimise_one(objective: _Objective, problem: _Problem, x0: FloatArray, max_iter: int) -> _Run:
    from scipy import optimize  # imported here: it takes a second to load

    start = problem.natural(x0)
    function: Callable[[FloatArray], tuple[float, FloatArray]] = objective.normalised
    z0 = objective.to_optimiser(x0)
    bounds = objective.optimiser_bounds(problem.box)
    scale = _preconditioner(objective, problem, x0)
    if scale is not None:
        function, z0 = _scaled(objective.normalised, scale), z0 * scale
        bounds = [
            (None if lo is None else lo * s, None if hi is None else hi * s)
            for (lo, hi), s in zip(bounds, scale.tolist())
        ]
    try:
        outcome = optimize.minimize(
            function,
            z0,
            jac=True,
            method="L-BFGS-B",
            bounds=bounds,
            options={"maxiter": max_iter, "ftol": 1e-13, "gtol": 1e-9, "maxcor": 20},
        )
    except (ValueError, FloatingPointError, ArithmeticError) as exc:
        report = StartResult(start, np.full_like(start, np.nan), math.inf, False, str(exc), 0, 0)
        return _Run(report, None, math.inf, False, None, exc)
    x = objective.full(outcome.x if scale is None else outcome.x / scale)
    value = float(outcome.fun) * objective.norm
    if not (math.isfinite(value) and np.all(np.isfinite(x))):
        value = math.inf
    converged = _optimiser_converged(outcome, x, problem.box, problem.free, objective)
    report = StartResult(
        start=start,
        estimate=problem.natural(x),
        neg_log_likelihood=value - problem.log_scale_shift,
        converged=converged,
        message=str(outcome.message),
        n_iter=int(outcome.nit),
        n_eval=int(outcome.nfev),
    )
    return _Run(report, x, value, converged, outcome)


def _preconditioner(objective: _Objective, problem: _Problem, x0: FloatArray) -> FloatArray | None:
    """Scales of the optimiser's variables for models whose whole Hessian is known in closed
    form at the cost of one evaluation (`_exact_block`; the exponential kernel with a periodic
    baseline): each variable is multiplied by the square root of its curvature at the start, so
    that L-BFGS-B meets a problem whose diagonal is about even. A bin of a periodic baseline
    holds 1/K of the events, and so about 1/K of the kernel's curvature: unscaled, the optimiser
    spends its first iterations learning that. None (the plain path) for every other model, and
    where only some variables' curvature is known (scaling only those was measured to help in
    some fits and to cost iterations in others)."""
    index = np.flatnonzero(problem.free)
    exact, block = _exact_block(objective, x0, index)
    if index.size == 0 or not exact.all():
        return None
    curvature = np.diag(block).copy()
    on_log = objective.log
    # d²/d(log x)² = x²·d²/dx² + x·d/dx; the first-order term is left out (it vanishes at the
    # optimum and may be negative at the start).
    curvature[on_log] *= x0[index][on_log] ** 2
    if not np.all(np.isfinite(curvature) & (curvature > 0.0)):
        return None
    scale = np.sqrt(curvature)
    # Only the ratios matter to the optimiser's model; their geometric mean is set to one, so
    # that its first step (scaled by the gradient's size) and its tolerances keep their sense.
    return np.asarray(scale / np.exp(np.mean(np.log(scale))), dtype=np.float64)


def _scaled(
    function: Callable[[FloatArray], tuple[float, FloatArray]], scale: FloatArray
) -> Callable[[FloatArray], tuple[float, FloatArray]]:
    """`function` of the variables z / scale, with its gradient with respect to z."""

    def scaled(z: FloatArray) -> tuple[float, FloatArray]:
        value, gradient = function(np.asarray(z) / scale)
        return value, gradient / scale

    return scaled


def _optimiser_converged(
    outcome: Any, x: FloatArray, box: Sequence[Bound], free: BoolArray, objective: _Objective
) -> bool:
    """The optimiser's verdict, or a line search that gave up at the optimum: L-BFGS-B reports
    an abnormal end when no step improves the value in the last bits, which at a projected
    gradient below 1e-6 per event means the optimum was reached to machine precision."""
    if outcome.success:
        return True
    if "ABNORMAL" not in str(outcome.message):
        return False
    gradient = np.zeros(x.shape[0])
    gradient[free] = objective.gradient(x)[free] / objective.norm
    return bool(np.max(np.abs(_projected_gradient(x, gradient, box, free)), initial=0.0) < 1e-6)


# -- step 3: select ----------------------------------------------------------------------------------


def _select(runs: Sequence[_Run]) -> _Run:
    """The start with the lowest value; among values equal to rounding, one the optimiser
    reported converged."""
    best: _Run | None = None
    for run in runs:
        if not math.isfinite(run.value):
            continue
        if best is None or _better(
            run.value, run.optimiser_converged, best.value, best.optimiser_converged
        ):
            best = run
    if best is None:
        errors = [run.error for run in runs if run.error is not None]
        if errors:
            raise errors[0]
        raise RuntimeError(
            "every start of the fit failed: the likelihood was not finite anywhere tried"
        )
    return best


def _better(value: float, converged: bool, best_value: float, best_converged: bool) -> bool:
    """Lower is better; among values equal to rounding, a converged start wins."""
    tolerance = 1e-9 * max(1.0, abs(best_value))
    if abs(value - best_value) <= tolerance:
        return converged and not best_converged
    return value < best_value


# -- step 4: standard errors, refinement and verification ------------------------------------------


@dataclass(frozen=True, eq=False)
class _Optimum:
    """The refined best point (internal units) with its observed information and verdict."""

    x: FloatArray
    value: float
    gradient: FloatArray
    covariance: FloatArray
    estimated: BoolArray
    unidentified: BoolArray
    hessian_ok: bool
    hessian_calls: int
    run: _Run
    failures: list[tuple[int, str]]  # (parameter index, why) for a fit that is not verified


def _standard_errors(
    objective: _Objective,
    problem: _Problem,
    best: _Run,
    runs: Sequence[_Run],
    want_errors: bool = True,
) -> _Optimum:
    """Standard errors at the best point, Newton steps from there on the observed information
    (which make the estimate exact to many digits), and the verification of the result. When
    the steps moved the estimate by more than a hundredth of a standard error, the observed
    information is computed again where they ended."""
    assert best.x is not None
    x, box, free = best.x, problem.box, problem.free
    value, gradient = objective.value_and_gradient(x)
    unidentified = free & problem.model._unidentified(x)
    estimated = free & ~_on_bounds(x, box) & ~unidentified
    if want_errors:
        covariance, hessian_ok, calls = _observed_information(objective, x, estimated, box)
    else:  # verified by the scaled gradient alone, as for parameters without errors
        estimated = np.zeros_like(estimated)
        covariance, hessian_ok, calls = np.full((x.shape[0], x.shape[0]), np.nan), True, 0
    if hessian_ok and estimated.any():
        start = x
        x, value, gradient = _newton(objective, x, value, gradient, covariance, estimated, box)
        index = np.flatnonzero(estimated)
        moved = (x - start)[index] / np.sqrt(np.diag(covariance)[index])
        if np.max(np.abs(moved)) > 1e-2:
            covariance, hessian_ok, more = _observed_information(objective, x, estimated, box)
            calls += more
    if not hessian_ok:
        estimated = np.zeros_like(estimated)
    failures = _verify(problem, x, gradient, covariance, estimated, unidentified)
    # The selection takes the lowest value, but prefers a start the optimiser called converged
    # among values equal to rounding: no start may be better than that.
    tolerance = 1e-9 * max(1.0, abs(value))
    for k, run in enumerate(runs):
        if run.value < value - tolerance:
            failures.append(
                (-1, f"start {k} reached a lower value ({run.report.neg_log_likelihood:.10g})")
            )
    return _Optimum(
        x, value, gradient, covariance, estimated, unidentified, hessian_ok, calls, best, failures
    )


def _newton(
    objective: _Objective,
    x: FloatArray,
    value: float,
    gradient: FloatArray,
    covariance: FloatArray,
    estimated: BoolArray,
    box: Sequence[Bound],
) -> tuple[FloatArray, float, FloatArray]:
    """Newton steps over the estimated parameters with the Hessian of the best start's end
    point, each kept inside the box and shortened until the value does not rise."""
    index = np.flatnonzero(estimated)
    inverse = covariance[np.ix_(index, index)]
    se = np.sqrt(np.diag(inverse))
    for _ in range(_NEWTON_STEPS):
        if not np.all(np.isfinite(gradient[index])):
            break
        step = -(inverse @ gradient[index])
        if np.max(np.abs(step) / se) <= _NEGLIGIBLE_STEP:
            break
        length = _room(x[index], step, [box[i] for i in index.tolist()])
        for _halving in range(8):
            trial = x.copy()
            trial[index] = x[index] + length * step
            trial_value, trial_gradient = objective.value_and_gradient(trial)
            if math.isfinite(trial_value) and trial_value <= value + 1e-13 * abs(value):
                x, value, gradient = trial, trial_value, trial_gradient
                break
            length *= 0.5
        else:
            break
    return x, value, gradient


def _room(x: FloatArray, step: FloatArray, box: Sequence[Bound]) -> float:
    """The largest length up to 1 that keeps x + length·step strictly inside the box (half the
    way to a bound at most)."""
    length = 1.0
    for xi, si, (lower, upper) in zip(x.tolist(), step.tolist(), box):
        if si < 0 and lower is not None:
            length = min(length, 0.5 * (xi - lower) / -si)
        if si > 0 and upper is not None:
            length = min(length, 0.5 * (upper - xi) / si)
    return length


def _verify(
    problem: _Problem,
    x: FloatArray,
    gradient: FloatArray,
    covariance: FloatArray,
    estimated: BoolArray,
    unidentified: BoolArray,
) -> list[tuple[int, str]]:
    """Why `x` is not a verified optimum (empty when it is). Estimated parameters: the Newton
    step in standard errors; other free parameters in the interior: the gradient scaled by the
    parameter's magnitude (its logarithm's gradient for positive parameters), per event;
    parameters on a bound: that the likelihood does not rise into the box."""
    failures: list[tuple[int, str]] = []
    free, box = problem.free, problem.box
    if not np.all(np.isfinite(gradient[free])):
        bad = int(np.flatnonzero(free & ~np.isfinite(gradient))[0])
        return [(bad, f"the gradient is {gradient[bad]} at the estimate")]
    index = np.flatnonzero(estimated)
    if index.size:
        inverse = covariance[np.ix_(index, index)]
        steps = -(inverse @ gradient[index]) / np.sqrt(np.diag(inverse))
        for i, s in zip(index.tolist(), steps.tolist()):
            if abs(s) > STEP_TOLERANCE:
                failures.append((i, f"is {abs(s):.2g} standard errors from the stationary point"))
    on_bound = _on_bounds(x, box)
    norm = max(problem.events.n_events, 1)
    for i in np.flatnonzero(free & ~estimated & ~unidentified).tolist():
        magnitude = abs(x[i]) if problem.log[i] else max(abs(x[i]), 1.0)
        scaled = gradient[i] * magnitude / norm
        if on_bound[i]:
            lower = box[i][0]
            at_lower = lower is not None and x[i] - lower <= 1e-8 * max(1.0, abs(x[i]))
            inwards = -scaled if at_lower else scaled  # a fall of the objective into the box
            if inwards > GRADIENT_TOLERANCE:
                why = (
                    "is on a bound although the likelihood rises into the interior "
                    f"(scaled gradient {inwards:.2g} per event)"
                )
                failures.append((i, why))
        elif abs(scaled) > GRADIENT_TOLERANCE:
            failures.append((i, f"has a scaled gradient of {abs(scaled):.2g} per event"))
    return failures


# -- step 4b: escape from a vanished excitation -------------------------------------------------


#: An amplitude on its lower bound, or whose estimate is within `WEAK_Z` standard errors of 0,
#: is weak (see `_scan`): the decay it shapes is then poorly determined and the fit may have
#: missed another time scale.
#: Rounds of the escape: each scans the weak pairs of the current best point.
_ESCAPE_ROUNDS = 2
#: Full starts per round, from the best points of the scan that beat the current best.
_ESCAPE_STARTS = 2


@dataclass(frozen=True)
class _Known:
    """A value reached by a constrained optimisation during the escape: no fit may end above it."""

    value: float
    where: str


def _escape(
    objective: _Objective,
    problem: _Problem,
    optimum: _Optimum,
    runs: list[_Run],
    max_iter: int,
    want_errors: bool = True,
) -> tuple[_Optimum, list[_Run]]:
    """Search other time scales when an excitation vanished.

    When every amplitude that a decay shapes ends on its lower bound (0) or within two standard
    errors of 0, the decay is not (or hardly) determined by the data, and all starts may have
    fallen into the same place although an excitation at another time scale fits better. The
    decay is then held at time scales spread over the data's (from the shortest gap to the
    longest window) and the other parameters refitted; where an amplitude sits exactly on its
    bound, only the time scales at which the likelihood rises into the interior are refitted
    (for the linear families the likelihood is concave in the amplitudes at a fixed decay, so
    that test is exact). The best of those points that beat the current optimum start full
    fits, which keep the selection rules. Nothing runs when no amplitude is weak. A value
    reached on the way that the final optimum does not match makes the fit unverified."""
    known: list[_Known] = []
    for _round in range(_ESCAPE_ROUNDS):
        scanned = _scan(objective, problem, optimum, max_iter)
        if not scanned:
            break
        known += [k for _, k in scanned]
        tolerance = 1e-9 * max(1.0, abs(optimum.value))
        better = sorted(
            (item for item in scanned if item[1].value < optimum.value - tolerance),
            key=lambda item: item[1].value,
        )
        if not better:
            break
        new = [_optimise_one(objective, problem, x, max_iter) for x, _ in better[:_ESCAPE_STARTS]]
        runs = runs + new
        best = _select(runs)
        if best is optimum.run:
            break
        optimum = _standard_errors(objective, problem, best, runs, want_errors)
    tolerance = 1e-9 * max(1.0, abs(optimum.value))
    missed = [k for k in known if k.value < optimum.value - tolerance]
    if missed:
        worst = min(missed, key=lambda k: k.value)
        why = (
            f"with {worst.where} the likelihood reaches a higher value "
            f"({-(worst.value - problem.log_scale_shift):.10g}) than at the estimate"
        )
        optimum = dataclasses.replace(optimum, failures=optimum.failures + [(-1, why)])
    return optimum, runs


def _weak_pairs(problem: _Problem, optimum: _Optimum) -> list[tuple[list[int], int]]:
    """(amplitudes, decay) pairs whose free decay, a time scale, shapes only weak amplitudes."""
    x, free, info = optimum.x, problem.free, problem.info
    on_bound = _on_lower_bounds(x, problem.box)
    with np.errstate(invalid="ignore"):
        se = np.sqrt(np.diag(optimum.covariance))
    out = []
    for amplitudes, decay in problem.model._amplitude_pairs():
        if not free[decay] or info[decay].time_power == 0 or not all(free[amplitudes]):
            continue
        # Without a standard error (a flat direction elsewhere) an amplitude off its bound
        # cannot be called weak: the scan would cost refits on a fit that has other troubles.
        weak = all(
            on_bound[a] or (math.isfinite(se[a]) and abs(x[a]) < WEAK_Z * se[a])
            for a in amplitudes
        )
        if weak:
            out.append((amplitudes, decay))
    return out


def _on_lower_bounds(x: FloatArray, box: Sequence[Bound]) -> BoolArray:
    return np.array(
        [lo is not None and v - lo <= 1e-8 * max(1.0, abs(v)) for v, (lo, _) in zip(x, box)],
        dtype=bool,
    )


def _time_scales(problem: _Problem, decay: int, per_decade: float) -> list[float]:
    """Values of a decay (a rate or a lag) at time scales from the shortest gap to the longest
    window, evenly on the log scale, strictly inside the decay's box."""
    stats = problem.stats
    shortest, longest = stats.min_gap, stats.max_window
    count = scan_count(shortest, longest, per_decade)
    if count == 0:
        return []
    scales = np.geomspace(shortest, longest, count)
    values = scales ** float(problem.info[decay].time_power)
    lower, upper = problem.box[decay]
    out = []
    for v in values.tolist():
        if lower is not None and v <= lower:
            v = lower * 1.01 if lower > 0 else v
        if upper is not None and v >= upper:
            v = upper / 1.01 if upper > 0 else v
        if (lower is None or v > lower) and (upper is None or v < upper):
            out.append(float(v))
    return out


def _scan(
    objective: _Objective, problem: _Problem, optimum: _Optimum, max_iter: int
) -> list[tuple[FloatArray, _Known]]:
    """For every weak pair: the decay held at each time scale and the other parameters refitted
    (only where the likelihood rises into the interior when the amplitudes are on their bound).
    Returns the end points (all parameters, internal units) with their values."""
    out: list[tuple[FloatArray, _Known]] = []
    x = optimum.x
    norm = max(problem.events.n_events, 1)
    for amplitudes, decay in _weak_pairs(problem, optimum):
        at_bound = bool(np.all(_on_lower_bounds(x, problem.box)[amplitudes]))
        for value in _time_scales(problem, decay, _SCAN_PER_DECADE[at_bound]):
            trial = x.copy()
            trial[decay] = value
            if at_bound:
                # The other parameters are optimal whatever the decay: the likelihood can rise
                # only if it rises into the interior along an amplitude.
                gradient = objective.gradient(trial)
                if not np.max(-gradient[amplitudes] / norm, initial=-math.inf) > GRADIENT_TOLERANCE:
                    continue
            end = _constrained(objective, problem, trial, decay, min(max_iter, _SCAN_ITER))
            if end is not None:
                shown = problem.natural(end[0])[decay]
                where = f"{problem.info[decay].name} held at {shown:.6g}"
                out.append((end[0], _Known(end[1], where)))
    return out


def _constrained(
    objective: _Objective, problem: _Problem, x0: FloatArray, decay: int, max_iter: int
) -> tuple[FloatArray, float] | None:
    """Refit from `x0` with the decay held at its value there: the end point and its value."""
    free = problem.free.copy()
    free[decay] = False
    sub = dataclasses.replace(problem, x_template=x0.copy(), free=free, log=problem.log & free)
    inner = _Objective(objective.evaluate, sub)
    run = _optimise_one(inner, sub, x0, max_iter)
    objective.calls += inner.calls
    if run.x is None or not math.isfinite(run.value):
        return None
    return run.x, run.value


# -- step 5: the result ------------------------------------------------------------------------------


def _result(problem: _Problem, runs: Sequence[_Run], optimum: _Optimum, seed: int) -> FitResult:
    """Map the optimum to natural units and canonical order, and assemble the result."""
    x, scale, free = optimum.x, problem.scale, problem.free
    internal = problem.model.with_vector(x)
    jacobian = internal._unscale_jacobian(x, scale)
    fitted = internal._scaled(1.0 / scale)
    # Canonical order (e.g. components sorted by decay); every per-parameter mask follows it.
    order = np.argmax(fitted._canonical(fitted.to_vector()), axis=1)
    estimates = fitted.to_vector()[order]
    fitted = fitted.with_vector(estimates)
    covariance = (jacobian @ np.nan_to_num(optimum.covariance) @ jacobian.T)[np.ix_(order, order)]
    estimated = optimum.estimated[order]
    covariance[~estimated, :] = np.nan
    covariance[:, ~estimated] = np.nan
    diagonal = np.diag(covariance)
    std_errors = np.sqrt(np.where(diagonal >= 0, diagonal, np.nan))

    names = tuple(p.name for p in problem.info)
    on_bound_mask = (free & _on_bounds(x, problem.box))[order]
    projected = _projected_gradient(x, optimum.gradient, problem.box, free)
    grad_natural = np.linalg.solve(jacobian.T, projected) if projected.size else projected
    position = np.argsort(order)  # where internal parameter i is shown
    failures = [
        (names[position[i]] if i >= 0 else "", why, float(grad_natural[i]) if i >= 0 else math.nan)
        for i, why in optimum.failures
    ]
    n_free = int(free.sum())
    notes = _notes(
        fitted,
        estimates,
        std_errors,
        covariance,
        problem.stats.in_units(1.0 / scale),
        names,
        optimum.hessian_ok,
        failures,
        problem.events.n_events,
        n_free,
    )
    notes += [
        f"{n} is not identified: the excitation it shapes is zero; it has no standard error"
        for n, u in zip(names, optimum.unidentified[order])
        if u
    ]
    outcome = optimum.run.outcome
    return FitResult(
        model=fitted,
        names=names,
        estimates=estimates,
        std_errors=std_errors,
        covariance=covariance,
        fixed=tuple(n for n, f in zip(names, free[order]) if not f),
        on_bound=tuple(n for n, b in zip(names, on_bound_mask) if b),
        log_likelihood=-(optimum.value - problem.log_scale_shift),
        n_events=problem.events.n_events,
        n_realizations=problem.events.n_realizations,
        converged=not failures,
        message=str(outcome.message),
        n_iter=int(outcome.nit),
        grad_norm=float(np.max(np.abs(grad_natural), initial=0.0)),
        starts=tuple(run.report for run in runs),
        seed=int(seed),
        branching_ratio=fitted._branching_ratio_for(problem.events),
        notes=tuple(notes),
        time_scale=scale,
        n_hessian_evaluations=optimum.hessian_calls,
        _log_scale=tuple(p.log_scale for p in problem.info),
    )


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


def _check_fixed_within_bounds(
    x: FloatArray,
    free: BoolArray,
    user_bounds: Mapping[int, tuple[float | None, float | None]],
    info: Sequence[ParamInfo],
) -> None:
    """A parameter both held fixed and bounded must be held inside its bounds: otherwise the
    two arguments contradict each other and neither may silently win."""
    for i, (lower, upper) in user_bounds.items():
        if free[i]:
            continue
        value = float(x[i])
        if (lower is not None and value < lower) or (upper is not None and value > upper):
            low = "-inf" if lower is None else fmt(lower)
            high = "inf" if upper is None else fmt(upper)
            raise ValueError(
                f"fixed and bounds contradict each other: {info[i].name} is held at "
                f"{fmt(value)}, outside its bounds [{low}, {high}]"
            )


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
    central differences of the analytic gradient: two gradient calls per parameter, except
    for a block the model knows in closed form (see `_exact_block`)."""
    p = x.shape[0]
    covariance = np.full((p, p), np.nan)
    index = np.flatnonzero(estimated)
    if index.size == 0:
        return covariance, True, 0
    before = objective.calls
    hessian = np.empty((index.size, index.size))
    exact, block = _exact_block(objective, x, index)
    for column, i in enumerate(index.tolist()):
        if exact[column]:
            continue
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
    calls = objective.calls - before
    if exact.any():
        # The exact block (one pass over the events, counted as a call), and its cross terms
        # from the finite-difference columns.
        hessian[np.ix_(exact, exact)] = block
        hessian[np.ix_(~exact, exact)] = hessian[np.ix_(exact, ~exact)].T
        calls += 1
    hessian = 0.5 * (hessian + hessian.T)
    if not np.all(np.isfinite(hessian)):
        return covariance, False, calls
    eigenvalues = np.linalg.eigvalsh(hessian)
    if np.min(eigenvalues) <= 1e-12 * max(float(np.max(eigenvalues)), 0.0):
        return covariance, False, calls
    covariance[np.ix_(index, index)] = np.linalg.inv(hessian)
    return covariance, True, calls


def _exact_block(
    objective: _Objective, x: FloatArray, index: npt.NDArray[np.intp]
) -> tuple[BoolArray, FloatArray]:
    """Which of the estimated parameters `index` have Hessian entries among themselves that
    the model computes in closed form (a ``_hessian_block(data, x, mode)`` method), and that
    block. Only the plain in-process likelihood offers it; other evaluators, and models
    without the method, leave every column to finite differences."""
    evaluate = objective.evaluate
    model = getattr(getattr(evaluate, "func", None), "__self__", None)
    hook = getattr(model, "_hessian_block", None)
    none = np.zeros(index.size, dtype=bool)
    if hook is None or not isinstance(evaluate, functools.partial):
        return none, np.empty((0, 0))
    known = hook(*evaluate.args, x, **evaluate.keywords)
    if known is None:
        return none, np.empty((0, 0))
    indices, block = known
    where = {int(k): j for j, k in enumerate(indices)}
    exact = np.array([int(i) in where for i in index], dtype=bool)
    rows = [where[int(i)] for i in index[exact]]
    return exact, np.asarray(block, dtype=np.float64)[np.ix_(rows, rows)]


def _notes(
    model: Model,
    estimates: FloatArray,
    std_errors: FloatArray,
    covariance: FloatArray,
    stats: DataStats,
    names: Sequence[str],
    hessian_ok: bool,
    failures: Sequence[tuple[str, str, float]],
    n_events: int,
    n_free: int,
) -> list[str]:
    notes = []
    for name, why, gradient in failures:
        where = f"{name} {why} (gradient {gradient:.3g})" if name else why
        notes.append(f"not a verified optimum: {where}; treat the estimates with care")
    if n_events < EVENTS_PER_PARAMETER * n_free:
        notes.append(
            f"only {n_events} event(s) for {n_free} free parameter(s), fewer than "
            f"{EVENTS_PER_PARAMETER} per parameter: the estimates are unreliable and their "
            "standard errors may be far off"
        )
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
