"""Fits of multivariate exponential Hawkes models row by row.

With the decays fixed, the log-likelihood of a D-dimensional exponential Hawkes process is a sum
of D independent terms, one per target dimension m, each depending on mu[m] and row m of alpha
only. Each row is a small convex problem (D + 1 parameters) solved by Newton steps with the
closed-form observed information, whose inverse gives the standard errors: the covariance is
block-diagonal across rows. Rows run on any executor the package accepts (None, a
``concurrent.futures`` executor, a Dask client) and give the same bits there as serially.

A shared fitted decay couples the rows through one scalar: it is profiled, an outer
one-dimensional search over β with the rows refitted (warm-started) at each trial β. Per-cell
decays start from the shared fit, so their log-likelihood is never below it.

`fit(events, MultivariateExponential(...))` uses this module when the fit holds nothing fixed
and sets no bounds; :func:`l1_path` gives penalised (sparse) fits over a path of strengths with
a choice of strength by BIC.

Memory: a fixed-decay fit keeps the events, per realisation the events grouped by source with
their kernel levels at the decay (a few N doubles), one row's design at a time and what it is
cut from (a few n_m × (D + 1) doubles, n_m the events of dimension m: a row's excitations are
computed from the levels for that row alone) and the covariance only when it is no larger than
N·(D + 1) doubles: O(N + n_m·D) doubles, within O(N·D), refused with a MemoryError before
anything is allocated when that cannot fit. Each worker of an executor holds the same for its
rows.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, cast

import numpy as np

from . import _rows
from ._checks import FloatArray, as_int, fmt, usable_memory
from ._progress import progress_bar
from ._threads import one_blas_thread
from .events import Events
from ._results import FitResult, StartResult
from ._scan import SCAN_ITER as _SCAN_ITER
from ._scan import SCAN_MAX as _SCAN_MAX
from ._scan import SCAN_PER_DECADE as _SCAN_PER_DECADE
from ._scan import WEAK_Z as _WEAK_Z
from ._scan import scan_count
from .models._base import Model, event_stats, prepare, time_scale
from .models.multivariate import MultivariateExponential

__all__ = ["fit_rows", "l1_path", "SparsePath"]


# -- memory ------------------------------------------------------------------------------------


#: Searches of a row: after a search that found a better point and the fit from there, the
#: row is searched again; the optimum is verified when the last search finds nothing better.
_SCAN_ROUNDS = 4


def memory_needed(
    n_events: int, n_dims: int, covariance: bool, largest_row: int
) -> int:
    """Doubles a row-by-row fixed-decay fit allocates beyond the events: the events by source,
    their levels and the recursion's and the per-row counting pass's working arrays (8·N in
    all), one row's excitations, their positions, its design and the design's weighted copy
    (5·n_m·(D + 1)), and the covariance when it is formed as a dense (p × p) matrix."""
    p = n_dims + n_dims * n_dims
    doubles = n_events * 8 + 5 * largest_row * (n_dims + 1) + 4 * p
    if covariance and _dense_covariance(n_events, n_dims):
        doubles += p * p
    return doubles


def _dense_covariance(n_events: int, n_dims: int) -> bool:
    """The full covariance matrix (p² doubles, p = D + D²) is formed when it is no larger than
    the O(N·D) the fit needs anyway (or small); otherwise only its row blocks give the standard
    errors."""
    p = n_dims + n_dims * n_dims
    return p * p <= max(n_events * (n_dims + 1), 1 << 22)


def _check_memory(
    n_events: int, n_dims: int, covariance: bool, largest_row: int
) -> None:
    doubles = memory_needed(n_events, n_dims, covariance, largest_row)
    available = usable_memory()  # the native module's rules
    if doubles * 8 > available:
        raise MemoryError(
            f"a row-by-row fit of {n_events} events in {n_dims} dimensions needs "
            f"{doubles} doubles ({doubles * 8 / 2**30:.1f} GiB) beyond the events, more than "
            f"the memory this process may use ({available / 2**30:.1f} GiB)"
        )


# -- rows on executors -------------------------------------------------------------------------


@dataclass(frozen=True)
class _RowTask:
    realisations: list[_rows.Sources]
    beta: float
    rows: list[int]
    lower: FloatArray  # per row: the lower bound of mu
    starts: list[FloatArray]
    free: list[Any]
    penalty: float
    max_iter: int
    covariance: bool


def _run_row_task(task: _RowTask) -> list[_rows.RowFit]:
    """Fit the rows of a task (module level: it runs in other processes)."""
    with one_blas_thread():
        shared = _rows.designs(task.realisations, task.beta)
        out = []
        # A source without events excites nothing: its alphas are not identified and stay 0.
        silent = np.concatenate([[False], shared.compensator == 0.0])
        for row, lower_mu, start, free in zip(
            task.rows, task.lower, task.starts, task.free
        ):
            design = _rows.row_design(shared, row)
            free = free & ~silent
            start = np.where(silent, 0.0, start)
            lower = np.zeros(start.shape[0])
            lower[0] = lower_mu
            penalty = np.full(start.shape[0], task.penalty)
            penalty[0] = 0.0
            out.append(
                _rows.newton_row(
                    design, lower, free, start, penalty, task.max_iter, task.covariance
                )
            )
            del design
        return out


#: Tasks per worker: a few, so that a worker slowed by other work on the machine hands rows
#: to the others; each task costs one pass over the events (their levels at the decay) and
#: one copy of them shipped.
_TASKS_PER_WORKER = 2


def _chunks(counts: Any, workers: int) -> list[list[int]]:
    """Contiguous runs of rows of about equal work, `_TASKS_PER_WORKER` per worker. A row
    costs about its number of events (its design and Newton steps) plus one pass over all
    events (counting the events before its own), taken here as a quarter of the mean row."""
    n_rows = len(counts)
    if workers <= 1:
        return [list(range(n_rows))]
    weights = np.asarray(counts, dtype=np.float64)
    weights = weights + 0.25 * float(np.mean(weights)) + 1.0
    cumulative = np.cumsum(weights)
    tasks = min(n_rows, _TASKS_PER_WORKER * workers)
    targets = cumulative[-1] * np.arange(1, tasks) / tasks
    edges = np.concatenate([[0], np.searchsorted(cumulative, targets) + 1, [n_rows]])
    edges = np.minimum(np.maximum.accumulate(edges), n_rows)
    return [
        list(range(edges[i], edges[i + 1]))
        for i in range(tasks)
        if edges[i] < edges[i + 1]
    ]


def _fit_all_rows(
    realisations: list[_rows.Sources],
    counts: Any,
    beta: float,
    lower_mu: FloatArray,
    starts: list[FloatArray],
    free: list[Any],
    penalty: float,
    max_iter: int,
    covariance: bool,
    executor: Any,
    progress: bool,
) -> list[_rows.RowFit]:
    from ._executors import _worker_count

    chunks = _chunks(counts, 1 if executor is None else _worker_count(executor))
    tasks = [
        _RowTask(
            realisations,
            beta,
            rows,
            lower_mu[rows],
            [starts[r] for r in rows],
            [free[r] for r in rows],
            penalty,
            max_iter,
            covariance,
        )
        for rows in chunks
    ]
    results: list[_rows.RowFit] = []
    for outcome in _map_tasks(executor, _run_row_task, tasks, progress, "rows"):
        results += outcome
    return results


def _indexed(worker: Callable[[Any], Any], index: int, task: Any) -> list[tuple[int, Any]]:
    """Worker: one task's outcome, labelled with its place."""
    return [(index, worker(task))]


def _map_tasks(
    executor: Any, worker: Callable[[Any], Any], tasks: Sequence[Any], progress: bool, what: str
) -> list[Any]:
    """`worker(task)` for every task, serially or on the executor (through the package's batch
    runner, with its handling of lost and frozen workers), in task order."""
    from ._executors import _run

    payloads = [(worker, i, task) for i, task in enumerate(tasks)]
    batches = [range(i, i + 1) for i in range(len(tasks))]
    return _run(executor, payloads, batches, "raise", progress, what, worker=_indexed)


# -- the fit -----------------------------------------------------------------------------------


@dataclass
class _Prepared:
    realisations: list[_rows.Sources]
    scale: float
    n_events: int
    n_dims: int
    counts: Any  # events per dimension
    lower_mu: float
    beta_box: tuple[float, float]
    beta_start: float
    shortest: float  # the shortest gap between events, internal units
    longest: float  # the longest window


def _prepare(events: Events, model: MultivariateExponential) -> _Prepared:
    scale = time_scale(events)
    data = prepare(events, scale)
    n_dims = model.n_dims
    realisations = [
        _rows.sources(t, d, h, n_dims)
        for t, d, h in zip(data.times, data.dims, data.horizons)
    ]
    counts = np.zeros(n_dims, dtype=np.int64)
    for sources in realisations:
        counts += np.bincount(sources.dims, minlength=n_dims)
    stats = event_stats(events).in_units(scale)
    bounds = model._default_bounds(stats)
    lo, hi = 1e-3 / stats.max_window, 1e3 / stats.min_gap
    beta0 = min(max(1.0 / stats.median_gap, 2 * lo), 0.5 * hi)
    lower_mu = bounds[0][0]
    return _Prepared(
        realisations,
        scale,
        events.n_events,
        n_dims,
        counts,
        0.0 if lower_mu is None else float(lower_mu),
        (lo, hi),
        beta0,
        float(stats.min_gap),
        float(stats.max_window),
    )


def _time_scales(prepared: _Prepared, per_decade: float) -> FloatArray:
    """Decays (internal units) at time scales from the shortest gap to the longest window,
    evenly on the log scale (`per_decade` a decade, 3 to `_SCAN_MAX` of them), strictly
    inside the decay's box; the same rule as the joint fit's search."""
    shortest, longest = prepared.shortest, prepared.longest
    count = scan_count(shortest, longest, per_decade)
    if count == 0:
        return np.empty(0)
    lo, hi = prepared.beta_box
    values = 1.0 / np.geomspace(longest, shortest, count)
    values = np.clip(values, lo * 1.01, hi / 1.01)
    out: FloatArray = np.unique(values)
    return out


def _row_start(n_dims: int, count: int, horizon: float) -> FloatArray:
    theta = np.full(n_dims + 1, 0.5 / n_dims)
    theta[0] = max(count, 1) / (2.0 * horizon)
    return theta


def fit_rows(
    events: Events,
    model: Model,
    *,
    n_starts: int = 1,
    seed: int = 0,
    start: str = "moments",
    max_iter: int = 1000,
    progress: bool = False,
    executor: Any = None,
    std_errors: bool = True,
    penalty: float | None = None,
) -> FitResult:
    """Fit a multivariate exponential model row by row (see the module's docstring).

    Called by :func:`vostrel.fit` for ``MultivariateExponential`` models without ``fixed`` or
    ``bounds``; the arguments mean the same, except that there is one start: the rows of a
    fixed decay are concave (their optimum is unique), a shared decay is searched along its
    one dimension from the moments' value (or the model's with ``start="model"``), and per-cell
    decays start from the shared-decay fit; `n_starts` and `seed` are recorded only.
    ``penalty`` adds strength·Σ alpha to the negative log-likelihood (decay="fixed" only): the
    result is then penalised, with no Wald errors.

    Parameters
    ----------
    events : Events
        The data.
    model : MultivariateExponential
        The model; its decay mode chooses the engine.
    n_starts : int, default 1
        Recorded only.
    seed : int, default 0
        Recorded only.
    start : {"moments", "model"}, default "moments"
        Where the shared decay's search starts.
    max_iter : int, default 1000
        Iteration limit of each row.
    progress : bool, default False
        Show a progress bar over the rows.
    executor : optional
        A ``concurrent.futures`` executor or a Dask client that fits the rows in parallel.
    std_errors : bool, default True
        Whether to compute standard errors.
    penalty : float, optional
        L1 strength on alpha, in nats per unit of alpha.

    Returns
    -------
    FitResult
    """
    if not isinstance(model, MultivariateExponential):
        raise TypeError(
            f"model must be a MultivariateExponential; got {type(model).__name__}"
        )
    model.check_events(events)
    if penalty is not None and model.decay != "fixed":
        raise ValueError(
            f"penalty needs decay='fixed' (got decay={model.decay!r}): fit the decay first "
            "(a shared-decay fit), then the penalised fit at that decay"
        )
    prepared = _prepare(events, model)
    largest = int(prepared.counts.max(initial=0))
    _check_memory(prepared.n_events, prepared.n_dims, std_errors, largest)
    if model.decay == "fixed":
        beta = float(model.beta) / prepared.scale
        starts = _starts(prepared, model, start, beta)
        fits = _fixed_fits(
            prepared,
            beta,
            starts,
            None,
            penalty,
            max_iter,
            std_errors,
            executor,
            progress,
        )
        return _result(
            events,
            model,
            prepared,
            fits,
            beta,
            None,
            penalty,
            starts,
            std_errors,
            "fixed decay: each row is a concave problem, solved by Newton steps",
            seed=int(seed),
        )
    if model.decay == "shared":
        result = _fit_shared(
            events, model, prepared, start, max_iter, progress, executor, std_errors
        )
    else:
        result = _fit_per_cell(
            events, model, prepared, start, max_iter, progress, executor, std_errors
        )
    from dataclasses import replace

    return replace(result, seed=int(seed))


def _starts(
    prepared: _Prepared, model: MultivariateExponential, start: str, beta: float
) -> list[FloatArray]:
    horizon = math.fsum(s.horizon for s in prepared.realisations)
    out = []
    for m in range(prepared.n_dims):
        if start == "model":
            theta = np.concatenate([[model.mu[m] / prepared.scale], model.alpha[m]])
        else:
            theta = _row_start(prepared.n_dims, int(prepared.counts[m]), horizon)
        out.append(theta)
    return out


def _fixed_fits(
    prepared: _Prepared,
    beta: float,
    starts: list[FloatArray],
    free: list[Any] | None,
    penalty: float | None,
    max_iter: int,
    covariance: bool,
    executor: Any,
    progress: bool,
) -> list[_rows.RowFit]:
    d = prepared.n_dims
    if free is None:
        free = [np.ones(d + 1, dtype=bool) for _ in range(d)]
    lower = np.full(d, prepared.lower_mu)
    return _fit_all_rows(
        prepared.realisations,
        prepared.counts,
        beta,
        lower,
        starts,
        free,
        0.0 if penalty is None else penalty,
        max_iter,
        covariance and penalty is None,
        executor,
        progress,
    )


# -- shared decay: the profile -----------------------------------------------------------------


def _fit_shared(
    events: Events,
    model: MultivariateExponential,
    prepared: _Prepared,
    start: str,
    max_iter: int,
    progress: bool,
    executor: Any,
    std_errors: bool,
) -> FitResult:
    from scipy import optimize

    lo, hi = prepared.beta_box
    beta0 = (
        float(model.beta) / prepared.scale if start == "model" else prepared.beta_start
    )
    beta0 = min(max(beta0, lo * 1.0001), hi * 0.9999)
    cache: dict[float, tuple[float, list[_rows.RowFit]]] = {}
    warm = {"starts": _starts(prepared, model, start, beta0)}

    def profile(log_beta: float) -> float:
        beta = math.exp(min(max(log_beta, math.log(lo)), math.log(hi)))
        if beta not in cache:
            fits = _fixed_fits(
                prepared,
                beta,
                warm["starts"],
                None,
                None,
                max_iter,
                False,
                executor,
                False,
            )
            value = math.fsum(f.value for f in fits)
            cache[beta] = (value, fits)
            if math.isfinite(value):
                warm["starts"] = [f.theta for f in fits]
        return cache[beta][0]

    # Bracket downhill from the start in steps of a factor 2, then Brent.
    with progress_bar(progress, 1, "shared decay") as bar:
        x0 = math.log(beta0)
        step = math.log(2.0)
        f0 = profile(x0)
        fr, fl = profile(x0 + step), profile(x0 - step)
        if fr < f0 and fr <= fl:
            a, b, fb = x0, x0 + step, fr
            direction = 1.0
        elif fl < f0:
            a, b, fb = x0, x0 - step, fl
            direction = -1.0
        else:
            a, b, fb, direction = x0 - step, x0, f0, 0.0
        c = b + step
        if direction != 0.0:
            while True:
                c = b + direction * step
                if not math.log(lo) < c < math.log(hi):
                    break
                fc = profile(c)
                if fc >= fb:
                    break
                a, b, fb = b, c, fc
                step *= 1.6
        else:
            c = x0 + step
        low, high = sorted((a, c))
        low, high = max(low, math.log(lo)), min(high, math.log(hi))
        minimize_scalar: Any = optimize.minimize_scalar  # typed differently across SciPy stubs
        outcome = minimize_scalar(
            profile, bounds=(low, high), method="bounded", options={"xatol": 1e-9}
        )
        bar.update()
    best_beta = min(cache, key=lambda k: cache[k][0])

    def final(beta: float) -> list[_rows.RowFit]:
        # The rows at the optimum with their information (for the standard errors, and for
        # telling whether every excitation vanishes).
        return _fixed_fits(
            prepared,
            beta,
            [f.theta for f in cache[beta][1]],
            None,
            None,
            max_iter,
            True,
            executor,
            progress,
        )

    fits = final(best_beta)
    scan = None
    if _all_weak(fits, prepared.n_dims):
        # Every excitation vanishes: the shared decay is poorly identified and the profile may
        # have a better optimum at another time scale. Evaluate it at the data's time scales;
        # from a better one, search again between its neighbours.
        value = cache[best_beta][0]
        scales = _time_scales(prepared, _SCAN_PER_DECADE[False])
        scanned = [(profile(math.log(b)), b) for b in scales.tolist()]
        tolerance = 1e-9 * max(1.0, abs(value))
        found = min(scanned, default=(math.inf, 0.0))
        better = found[0] < value - tolerance
        if better:
            at = scales.tolist().index(found[1])
            low = math.log(scales[at - 1] if at > 0 else lo)
            high = math.log(scales[at + 1] if at + 1 < len(scales) else hi)
            outcome = minimize_scalar(
                profile, bounds=(low, high), method="bounded", options={"xatol": 1e-9}
            )
            best_beta = min(cache, key=lambda k: cache[k][0])
            fits = final(best_beta)
        s = prepared.scale
        scan = (
            "every excitation vanishes or lies within "
            f"{_WEAK_Z:g} standard errors of 0 (errors at the decay held), so the decay is "
            f"poorly identified: the profile likelihood was evaluated at {len(scales)} time "
            f"scales from {prepared.shortest / s:.3g} to {prepared.longest / s:.3g}"
            + (
                ", and searched further around the best of them, which beat the first optimum"
                if better
                else "; none gives a higher likelihood"
            )
        )
    return _result(
        events,
        model,
        prepared,
        fits,
        best_beta,
        (outcome, len(cache)),
        None,
        _starts(prepared, model, start, beta0),
        std_errors,
        "shared decay: profiled over beta (bounded Brent search), rows refitted by Newton steps",
        start_beta=beta0,
        scan=scan,
    )


def _all_weak(fits: list[_rows.RowFit], d: int) -> bool:
    """Whether every excitation of a shared-decay fit is 0 or within `_WEAK_Z` standard errors
    of it, the errors taken from each row's information at the decay held (smaller than with
    the decay's own uncertainty: fewer cells count as weak). Sources without events excite
    nothing and are left out."""
    any_cell = False
    for f in fits:
        alpha = f.theta[1:]
        est = np.asarray(f.estimated)[1:]
        se = np.full(d, np.nan)
        if f.covariance is not None and est.any():
            diagonal = np.diag(f.covariance)[int(bool(f.estimated[0])) :]
            se[est] = np.sqrt(np.maximum(diagonal, 0.0))
        weak = (alpha <= 0.0) | (np.isfinite(se) & (alpha < _WEAK_Z * se))
        if not weak.all():
            return False
        any_cell = True
    return any_cell


def _beta_curvature(
    prepared: _Prepared, fits: list[_rows.RowFit], beta: float
) -> tuple[float, list[FloatArray]]:
    """At (θ, β) for a shared decay: ∂²f/∂β² by the second central difference of the value
    and, for each row, ∂/∂β of the row's gradient in θ by central differences of the analytic
    gradient (the value is a sum of N terms of order one: with a step of 1e-4·β, rounding
    leaves about 1e-8 of relative error)."""
    h = 1e-4 * beta
    values = []
    gradients = []
    for b in (beta + h, beta, beta - h):
        shared = _rows.designs(prepared.realisations, b)
        total = 0.0
        per_row = []
        for m, fit in enumerate(fits):
            row = _rows.row_design(shared, m)
            lam = row.design @ fit.theta
            total += float(row.linear @ fit.theta - np.sum(np.log(lam)))
            per_row.append(row.linear - row.design.T @ (1.0 / lam))
        values.append(total)
        gradients.append(per_row)
    second = (values[0] - 2.0 * values[1] + values[2]) / (h * h)
    cross = [(p - q) / (2 * h) for p, q in zip(gradients[0], gradients[2])]
    return second, cross


# -- per-cell decays: rows warm-started from the shared fit --------------------------------------


@dataclass(frozen=True)
class _CellTask:
    realisations: list[_rows.Sources]
    rows: list[int]
    starts: list[FloatArray]
    lower_mu: float
    beta_box: tuple[float, float]
    max_iter: int
    covariance: bool
    scales: dict[bool, FloatArray]  # decays of the search: {on the bound: ..., inside: ...}


def _run_cell_task(task: _CellTask) -> list[_rows.RowFit]:
    """Fit rows with a decay per cell (module level: it runs in other processes)."""
    with one_blas_thread():
        return [
            _fit_cell_row(_rows.cell_row(task.realisations, m), x0, task)
            for m, x0 in zip(task.rows, task.starts)
        ]


def _fit_cell_row(row: _rows.CellRow, x0: FloatArray, task: _CellTask) -> _rows.RowFit:
    d = row.n_dims
    lower = np.array([task.lower_mu] + [0.0] * d + [task.beta_box[0]] * d)
    upper = np.array([math.inf] * (d + 1) + [task.beta_box[1]] * d)
    start_value = _rows.cell_derivatives(row, x0)[0]
    x, value, gradient, hessian, n_iter, converged, message = _rows.newton_cell_row(
        row, x0, lower, upper, task.max_iter
    )
    if not value <= start_value:
        # Never below the shared-decay optimum this row started from.
        x = x0.copy()
        value, gradient, hessian = _rows.cell_derivatives(row, x)
        converged = False
    # The search of other time scales for the decays of vanishing excitations.
    clean = True
    searched = 0
    weak = np.zeros(d, dtype=bool)
    kernels: dict[tuple[int, float], tuple[FloatArray, float]] = {}  # the same in every round
    for _round in range(_SCAN_ROUNDS):
        weak = _weak_cells(x, hessian, lower, upper, d)
        with np.errstate(all="ignore"):  # a refit that fails is not a better point
            point, point_value, points = _scan_cells(row, x, value, weak, task, kernels)
        searched += points
        clean = point is None
        if point is None:
            break
        # A better point: the full fit from there (its value never exceeds the point's).
        outcome = _rows.newton_cell_row(row, point, lower, upper, task.max_iter)
        n_iter += outcome[4]
        if not outcome[1] <= point_value:
            break  # rounding: keep the optimum, unverified
        x, value, gradient, hessian, _, converged, message = outcome
    if not clean:
        # The last search still found higher likelihoods: the optimum is not verified.
        converged = False
    # Cells of sources without events, or of a row without events, have nothing to search.
    weak = weak & np.isin(np.arange(d), row.source) & (row.n_targets > 0)
    scale = np.maximum(1.0, np.abs(x))
    at_lower = x - lower <= 1e-8 * scale
    at_upper = upper - x <= 1e-8 * scale
    projected = np.where(
        (at_lower & (gradient > 0)) | (at_upper & (gradient < 0)), 0.0, gradient
    )
    alpha_zero = x[1 : d + 1] == 0.0
    unidentified = np.concatenate([[False], np.zeros(d, dtype=bool), alpha_zero])
    projected[unidentified] = 0.0
    on_bound = (at_lower | at_upper) | unidentified
    estimated = ~on_bound
    covariance = None
    hessian_ok = True
    if task.covariance and estimated.any():
        covariance, hessian_ok = _rows._invert(hessian[estimated][:, estimated])
    return _rows.RowFit(
        x,
        float(value),
        float(value),
        n_iter,
        converged,
        projected,
        on_bound,
        covariance,
        hessian_ok,
        message,
        estimated,
        weak,
        searched,
        clean,
    )


def _weak_cells(
    x: FloatArray, hessian: FloatArray, lower: FloatArray, upper: FloatArray, d: int
) -> Any:
    """The cells whose excitation is 0 or within `_WEAK_Z` standard errors of it (standard
    errors from the observed information of the entries off their bounds; a cell without one,
    in a flat direction elsewhere, is not called weak)."""
    alpha = x[1 : d + 1]
    scale = np.maximum(1.0, np.abs(x))
    on_bound = (x - lower <= 1e-8 * scale) | (upper - x <= 1e-8 * scale)
    on_bound[d + 1 :] |= alpha <= 0.0
    estimated = ~on_bound
    se = np.full(x.shape[0], np.nan)
    if estimated.any():
        covariance, ok = _rows._invert(hessian[estimated][:, estimated])
        if ok and covariance is not None:
            se[estimated] = np.sqrt(np.maximum(np.diag(covariance), 0.0))
    alpha_se = se[1 : d + 1]
    with np.errstate(invalid="ignore"):
        close = np.isfinite(alpha_se) & (alpha < _WEAK_Z * alpha_se)
    weak: Any = on_bound[1 : d + 1] | close
    return weak


def _scan_cells(
    row: _rows.CellRow,
    x: FloatArray,
    value: float,
    weak: Any,
    task: _CellTask,
    kernels: dict[tuple[int, float], tuple[FloatArray, float]],
) -> tuple[FloatArray | None, float, int]:
    """Search other time scales for the weak cells of a row at its optimum `x`.

    Cell after cell, the cell's decay is held at each time scale of the search with the other
    decays held where they are, and the row's baseline and excitations refitted (a convex
    problem, solved exactly by `newton_row`); where the excitation is 0, only the time scales
    at which the likelihood rises into the interior along it are refitted (the likelihood is
    concave in the excitations at fixed decays, so that test is exact), and elsewhere a time
    scale whose refit provably cannot beat the current point is skipped (`cannot_beat`). A
    time scale that
    beats the current point becomes the current point before the next cell is searched.
    Returns the best point found when it beats `value` (else None), its value, and the number
    of time scales examined. `kernels` keeps each source's kernel at each time scale for the
    row's later searches."""
    d = row.n_dims
    if not weak.any() or row.n_targets == 0:
        return None, value, 0
    beta = x[d + 1 :].copy()
    theta = x[: d + 1].copy()
    design = np.empty((row.n_targets, d + 1))
    design[:, 0] = 1.0
    linear = np.empty(d + 1)
    linear[0] = row.horizon
    for j in range(d):
        design[:, 1 + j], linear[1 + j] = _rows.source_kernel(row, j, float(beta[j]))
    free = np.concatenate([[True], linear[1:] > 0.0])  # a source without events excites nothing
    theta = np.where(free, theta, 0.0)
    lower = np.zeros(d + 1)
    lower[0] = task.lower_mu
    zero = np.zeros(d + 1)
    tolerance = 1e-9 * max(1.0, abs(value))
    current = value
    moved = False
    points = 0
    for k in np.flatnonzero(weak & free[1:]).tolist():
        at_bound = bool(theta[1 + k] <= 0.0)
        inverse = 1.0 / (design @ theta)
        best: tuple[float, float, FloatArray, FloatArray, float] | None = None
        for b in task.scales[at_bound].tolist():
            points += 1
            if (k, b) not in kernels:
                kernels[k, b] = _rows.source_kernel(row, k, b)
            kernel, weight = kernels[k, b]
            if at_bound and not (float(kernel @ inverse) - weight) / row.n_targets > 1e-6:
                continue
            trial = design.copy()
            trial[:, 1 + k] = kernel
            coefficients = linear.copy()
            coefficients[1 + k] = weight
            if _rows.cannot_beat(
                trial, coefficients, theta, lower, free, current - tolerance
            ):
                continue
            fit = _rows.newton_row(
                _rows.RowDesign(trial, coefficients), lower, free, theta, zero, _SCAN_ITER, False
            )
            if fit.value < current - tolerance and (best is None or fit.value < best[0]):
                best = (fit.value, b, fit.theta, kernel, weight)
        if best is not None:
            current, beta[k], theta = best[0], best[1], best[2]
            design[:, 1 + k], linear[1 + k] = best[3], best[4]
            moved = True
    if not moved:
        return None, value, points
    return np.concatenate([theta, beta]), current, points


def _fit_per_cell(
    events: Events,
    model: MultivariateExponential,
    prepared: _Prepared,
    start: str,
    max_iter: int,
    progress: bool,
    executor: Any,
    std_errors: bool,
) -> FitResult:
    from ._executors import _worker_count

    d = prepared.n_dims
    shared_model = MultivariateExponential(
        model.mu,
        model.alpha,
        float(np.exp(np.mean(np.log(model._beta_matrix())))),
        "shared",
    )
    shared = _fit_shared(
        events, shared_model, prepared, start, max_iter, False, executor, False
    )
    fitted = cast(MultivariateExponential, shared.model)
    beta = float(fitted.beta) / prepared.scale
    starts = [
        np.concatenate(
            [[fitted.mu[m] / prepared.scale], fitted.alpha[m], np.full(d, beta)]
        )
        for m in range(d)
    ]
    lo, hi = prepared.beta_box
    chunks = _chunks(prepared.counts, 1 if executor is None else 2 * _worker_count(executor))
    tasks = [
        _CellTask(
            prepared.realisations,
            rows,
            [starts[m] for m in rows],
            prepared.lower_mu,
            (lo, hi),
            max_iter,
            std_errors,
            {flag: _time_scales(prepared, per) for flag, per in _SCAN_PER_DECADE.items()},
        )
        for rows in chunks
    ]
    fits: list[_rows.RowFit] = []
    for outcome in _map_tasks(executor, _run_cell_task, tasks, progress, "rows"):
        fits += outcome
    result = _result(
        events,
        model,
        prepared,
        fits,
        beta,
        None,
        None,
        starts,
        std_errors,
        "per-cell decays: rows by Newton steps from the shared-decay fit",
    )
    from dataclasses import replace

    notes = result.notes + (
        f"started from the shared-decay fit (log-likelihood {shared.log_likelihood:.10g}); "
        "each row's likelihood is at least that row's at the start",
    )
    return replace(result, notes=notes)


# -- assembling the result ---------------------------------------------------------------------


def _result(
    events: Events,
    model: MultivariateExponential,
    prepared: _Prepared,
    fits: list[_rows.RowFit],
    beta: float,
    profile: tuple[Any, int] | None,
    penalty: float | None,
    starts: list[FloatArray],
    std_errors: bool,
    method: str,
    start_beta: float | None = None,
    seed: int = 0,
    scan: str | None = None,
) -> FitResult:
    d = prepared.n_dims
    s = prepared.scale
    shared = model.decay == "shared"
    per_cell = model.decay == "per_cell"
    p = d + d * d + (1 if shared else 0) + (d * d if per_cell else 0)
    mu = np.array([f.theta[0] for f in fits]) * s
    alpha = np.array([f.theta[1 : d + 1] for f in fits])
    natural_beta: Any = (
        np.array([f.theta[d + 1 :] for f in fits]) * s if per_cell else beta * s
    )
    fitted = MultivariateExponential(mu, alpha, natural_beta, model.decay)
    estimates = fitted.to_vector()
    names = tuple(info.name for info in fitted.param_info())
    # Flat indices of row m's parameters, and the factor from internal to natural units.
    if per_cell:
        index = [
            np.concatenate(
                [[m], d + m * d + np.arange(d), d + d * d + m * d + np.arange(d)]
            )
            for m in range(d)
        ]
        factor = np.concatenate([[s], np.ones(d), np.full(d, s)])
    else:
        index = [np.concatenate([[m], d + m * d + np.arange(d)]) for m in range(d)]
        factor = np.concatenate([[s], np.ones(d)])
    variance = np.full(p, np.nan)
    notes: list[str] = []
    dense = std_errors and penalty is None and _dense_covariance(prepared.n_events, d)
    # Rows are independent given the decays: zero covariance between rows (NaN for what is
    # not estimated, set below).
    covariance: FloatArray = (
        np.zeros((p, p)) if dense else np.broadcast_to(np.nan, (p, p))
    )
    hessian_ok = all(f.hessian_ok for f in fits)
    beta_variance = math.nan
    if std_errors and penalty is None:
        blocks: list[tuple[Any, FloatArray, Any] | None] = []
        for m, f in enumerate(fits):
            estimated = f.estimated
            if f.covariance is None:
                # Nothing estimated in the row (every entry on a bound): an empty block.
                empty = (np.empty(0, dtype=np.int64), np.empty((0, 0)), estimated)
                blocks.append(None if estimated.any() else empty)
                continue
            sub = index[m][estimated]
            block = f.covariance * np.outer(factor[estimated], factor[estimated])
            blocks.append((sub, block, estimated))
        complete = [b for b in blocks if b is not None]
        if shared and hessian_ok and len(complete) == len(blocks):
            # The decay couples the rows: Schur complement of the rows' blocks.
            second, cross = _beta_curvature(prepared, fits, beta)
            schur = second
            solved = []
            for m, f in enumerate(fits):
                estimated = complete[m][2]
                h = cross[m][estimated]
                w = np.asarray(f.covariance) @ h if estimated.any() else np.empty(0)
                solved.append(w)
                schur -= float(h @ w)
            if schur > 0:
                beta_variance = 1.0 / schur * s * s
                for m, (sub, block, estimated) in enumerate(complete):
                    w = solved[m] * factor[estimated]
                    # Cov(θ_m, β) = -H⁻¹h·Var(β) in natural units (β natural = β·s).
                    cov_beta = -w * (1.0 / schur) * s
                    variance[sub] = np.diag(block) + (w * w) / schur
                    if dense:
                        covariance[np.ix_(sub, sub)] = block
                        covariance[sub, -1] = cov_beta
                        covariance[-1, sub] = cov_beta
                if dense:
                    # The rank-one coupling through β between every pair of rows.
                    all_sub = np.concatenate([b[0] for b in complete])
                    all_w = np.concatenate(
                        [solved[m] * factor[b[2]] for m, b in enumerate(complete)]
                    )
                    covariance[np.ix_(all_sub, all_sub)] += (
                        np.outer(all_w, all_w) / schur
                    )
                    covariance[-1, -1] = beta_variance
                variance[-1] = beta_variance
            else:
                hessian_ok = False
        elif not shared:
            # Fixed decay: the closed-form blocks; per-cell decays: blocks by differences.
            for block_info in blocks:
                if block_info is None:
                    continue
                sub, block, _ = block_info
                variance[sub] = np.diag(block)
                if dense:
                    covariance[np.ix_(sub, sub)] = block
        if not hessian_ok and shared:
            variance[:] = np.nan
            if dense:
                covariance[:] = np.nan
            notes.append(
                "the observed information is not positive definite (a flat or non-identified "
                "direction): standard errors are not available"
            )
        elif not hessian_ok:
            failed = [m for m, f in enumerate(fits) if not f.hessian_ok]
            notes.append(
                "the observed information of rows "
                + ", ".join(str(m) for m in failed[:10])
                + (" ..." if len(failed) > 10 else "")
                + " is not positive definite (a flat or non-identified direction): their "
                "parameters have no standard errors"
            )
        if not dense:
            notes.append(
                f"the covariance matrix ({p}² doubles) was not formed: the standard errors "
                "come from its blocks (block-diagonal across rows for a fixed decay)"
            )
    elif penalty is not None:
        notes.append(
            f"penalised fit (L1 on alpha, strength {fmt(penalty)} nats per unit of alpha): the "
            "estimates are shrunk and have no Wald standard errors; refit the selected support "
            "(vostrel.network.l1_path(...).refit()) for inference"
        )
    if dense:
        missing = ~(variance >= 0)
        covariance[missing, :] = np.nan
        covariance[:, missing] = np.nan
    std = np.sqrt(np.where(variance >= 0, variance, np.nan))
    on_bound_mask = np.zeros(p, dtype=bool)
    gradient = np.zeros(p)
    for m, f in enumerate(fits):
        on_bound_mask[index[m]] = f.on_bound
        # Natural-unit gradient: ∂f/∂μ_natural = ∂f/∂μ_internal / s.
        gradient[index[m]] = f.gradient / factor
    on_bound = tuple(n for n, b in zip(names, on_bound_mask) if b)
    converged = all(f.converged for f in fits)
    bad = [m for m, f in enumerate(fits) if not f.converged]
    if profile is not None:
        outcome, n_profile = profile
        converged = converged and bool(outcome.success)
        method += f" ({n_profile} profile evaluations)"
    silent = [k for k in range(d) if prepared.counts[k] == 0]
    if silent:
        notes.append(
            "dimension(s) "
            + ", ".join(str(k) for k in silent)
            + " have no events: the alphas "
            "of their columns are not identified (held at 0, no standard errors)"
        )
    if bad:
        notes.append(
            "the optimiser did not reach the optimum of rows "
            + ", ".join(str(m) for m in bad[:10])
            + (" ..." if len(bad) > 10 else "")
            + ": treat the estimates with care"
        )
    if per_cell and penalty is None:
        notes += _search_notes(fits, alpha, prepared, s)
    if shared and penalty is None and scan is not None:
        notes.append(scan)
    branching_ratio = fitted.branching_ratio
    if not branching_ratio < 1.0:
        notes.append(
            f"the fitted process is not stationary (branching ratio {branching_ratio:.4g} >= 1)"
        )
    value = math.fsum(f.value for f in fits)
    log_likelihood = -(value - prepared.n_events * math.log(s))
    start_vector = MultivariateExponential(
        np.array([t[0] for t in starts]) * s,
        np.array([t[1 : d + 1] for t in starts]),
        np.array([t[d + 1 :] for t in starts]) * s
        if per_cell
        else (natural_beta if start_beta is None else start_beta * s),
        model.decay,
    ).to_vector()
    n_iter = sum(f.n_iter for f in fits)
    message = f"{method}; {d} rows, {n_iter} iterations in all"
    run = StartResult(
        start=start_vector,
        estimate=estimates,
        neg_log_likelihood=-log_likelihood,
        converged=converged,
        message=message,
        n_iter=n_iter,
        n_eval=n_iter,
    )
    fixed_names: tuple[str, ...] = ()
    return FitResult(
        model=fitted,
        names=names,
        estimates=estimates,
        std_errors=std,
        covariance=covariance,
        fixed=fixed_names,
        on_bound=on_bound,
        log_likelihood=log_likelihood,
        n_events=events.n_events,
        n_realizations=events.n_realizations,
        converged=converged,
        message=message,
        n_iter=n_iter,
        grad_norm=float(np.max(np.abs(gradient), initial=0.0)),
        starts=(run,),
        seed=seed,
        branching_ratio=branching_ratio,
        notes=tuple(notes),
        time_scale=s,
        n_hessian_evaluations=0,
        _log_scale=tuple(info.log_scale for info in fitted.param_info()),
    )


def _search_notes(
    fits: list[_rows.RowFit], alpha: FloatArray, prepared: _Prepared, s: float
) -> list[str]:
    """What the search of other time scales did for a per-cell fit, and what it leaves
    unidentified."""
    d = prepared.n_dims
    notes = []
    weak = np.array([np.zeros(d, dtype=bool) if f.weak is None else f.weak for f in fits])
    unclean = [m for m, f in enumerate(fits) if not f.clean]
    if weak.any():
        cells = [f"alpha[{m},{k}]" for m, k in zip(*np.nonzero(weak))]
        notes.append(
            ", ".join(cells[:6])
            + (f" ... ({len(cells)} in all)" if len(cells) > 6 else "")
            + (" vanishes or lies" if len(cells) == 1 else " vanish or lie")
            + f" within {_WEAK_Z:g} standard errors of 0, so the decays they "
            "shape are poorly identified: each such decay was held at time scales from "
            f"{prepared.shortest / s:.3g} to {prepared.longest / s:.3g} (up to {_SCAN_MAX}, "
            f"{sum(f.searched for f in fits)} points in all) with its row's baseline and "
            "excitations refitted"
            + (
                ", and no higher likelihood was found: the optimum is verified against them"
                if not unclean
                else ""
            )
        )
    if unclean:
        notes.append(
            "not a verified optimum: in rows "
            + ", ".join(str(m) for m in unclean[:10])
            + (" ..." if len(unclean) > 10 else "")
            + f" the search of other time scales still found higher likelihoods after "
            f"{_SCAN_ROUNDS} searches"
        )
    zero = [f"alpha[{m},{k}]" for m, k in zip(*np.nonzero(alpha <= 0.0))]
    if zero:
        notes.append(
            ", ".join(zero[:6])
            + (f" ... ({len(zero)} in all)" if len(zero) > 6 else "")
            + (" is" if len(zero) == 1 else " are")
            + " 0: the decays of those cells have no effect on the likelihood and are not "
            "identified (reported where the fit left them, without standard errors); the "
            "optimum concerns the other parameters"
        )
    return notes


# -- sparse estimation -------------------------------------------------------------------------


@dataclass(frozen=True, eq=False)
class SparsePath:
    """L1-penalised fits of a fixed-decay multivariate model over a path of strengths.

    Attributes
    ----------
    strengths : ndarray
        The penalty strengths (nats per unit of alpha), decreasing.
    alphas : ndarray, shape (K, D, D)
        The penalised alpha at each strength.
    bic : ndarray, shape (K, D)
        For each strength and row, the BIC of the unpenalised refit of the row's support.
    selected : ndarray of int, shape (D,)
        For each row, the index of the strength chosen by BIC.
    support : ndarray of bool, shape (D, D)
        The selected nonzero cells of alpha.
    model : MultivariateExponential
        The model whose decay was used.
    """

    strengths: FloatArray
    alphas: FloatArray
    bic: FloatArray
    selected: Any
    support: Any
    model: MultivariateExponential
    _events: Events

    def refit(self, std_errors: bool = True) -> FitResult:
        """The unpenalised fit of the selected support (cells outside it held at zero), with
        standard errors from the closed-form information of that fit.

        Parameters
        ----------
        std_errors : bool, default True
            Whether to compute standard errors.

        Returns
        -------
        FitResult
        """
        return _fit_support(self._events, self.model, self.support, std_errors)

    def __repr__(self) -> str:
        return (
            f"SparsePath({len(self.strengths)} strengths, {int(self.support.sum())} of "
            f"{self.support.size} cells selected by BIC)"
        )


def _fit_support(
    events: Events, model: MultivariateExponential, support: Any, std_errors: bool
) -> FitResult:
    prepared = _prepare(events, model)
    beta = float(model.beta) / prepared.scale
    d = prepared.n_dims
    starts = []
    free = []
    for m in range(d):
        theta = _row_start(
            d,
            int(prepared.counts[m]),
            math.fsum(r.horizon for r in prepared.realisations),
        )
        mask = np.concatenate([[True], support[m]])
        theta[~mask] = 0.0
        starts.append(theta)
        free.append(mask)
    fits = _fixed_fits(
        prepared, beta, starts, free, None, 1000, std_errors, None, False
    )
    result = _result(
        events,
        model,
        prepared,
        fits,
        beta,
        None,
        None,
        starts,
        std_errors,
        "refit of a selected support",
    )
    names = result.names
    held = tuple(
        names[d + m * d + k] for m in range(d) for k in range(d) if not support[m, k]
    )
    from dataclasses import replace

    on_bound = tuple(n for n in result.on_bound if n not in held)
    return replace(result, fixed=held, on_bound=on_bound)


def l1_path(
    events: Events,
    model: MultivariateExponential,
    *,
    strengths: Sequence[float] | None = None,
    n_strengths: int = 40,
    executor: Any = None,
    progress: bool = False,
) -> SparsePath:
    """L1-penalised fits over a path of strengths, with a strength per row chosen by BIC.

    Each row m minimises −log L_m + strength·Σ_k alpha[m, k] over alpha ≥ 0 (the penalty is
    linear there, so the Newton iteration with bounds handles it exactly). For each strength
    the support of the row is refitted without penalty, and the strength whose refit has the
    smallest BIC, −2·log L_m + k·log N (k the size of the support), is chosen row by row (the BIC of the whole
    model is the sum over rows, so choosing per row minimises it). BIC is used because it is
    consistent for the support when the true network is sparse, and needs neither held-out
    realisations nor repeated fits.

    Parameters
    ----------
    events : Events
    model : MultivariateExponential
        With ``decay="fixed"``: its beta is used.
    strengths : sequence of float, optional
        Penalty strengths in nats per unit of alpha; by default `n_strengths` values from the
        smallest strength that zeroes every alpha down to 1e-3 of it, log-spaced.
    n_strengths : int, default 40
        A dense path: between neighbouring strengths the support mostly changes by a cell.
    executor, progress : as for :func:`vostrel.fit`.

    Returns
    -------
    SparsePath
    """
    if not isinstance(model, MultivariateExponential) or model.decay != "fixed":
        raise ValueError("l1_path needs a MultivariateExponential with decay='fixed'")
    model.check_events(events)
    n_strengths = as_int(n_strengths, "n_strengths", minimum=2)
    prepared = _prepare(events, model)
    d = prepared.n_dims
    _check_memory(prepared.n_events, d, False, int(prepared.counts.max(initial=0)))
    beta = float(model.beta) / prepared.scale
    starts = _starts(prepared, model, "moments", beta)
    if strengths is None:
        # At alpha = 0 the row's optimum has mu = n_m / T; alpha[m, k] stays at zero for
        # strengths above -∂f/∂alpha[m, k] there.
        top = _zeroing_strength(prepared, beta)
        grid = top * np.logspace(0.0, -3.0, n_strengths)
    else:
        grid = np.sort(np.asarray(strengths, dtype=np.float64))[::-1]
        if grid.size == 0 or not np.all(np.isfinite(grid)) or np.any(grid < 0):
            raise ValueError("strengths must be non-negative finite numbers")
    from ._executors import _worker_count

    chunks = _chunks(prepared.counts, 1 if executor is None else _worker_count(executor))
    lower = np.full(d, prepared.lower_mu)
    tasks = [
        _PathTask(
            prepared.realisations,
            beta,
            rows,
            lower[rows],
            [starts[m] for m in rows],
            grid,
            math.log(max(prepared.n_events, 2)),
        )
        for rows in chunks
    ]
    alphas = np.empty((grid.size, d, d))
    bic = np.empty((grid.size, d))
    outcomes = _map_tasks(executor, _run_path_task, tasks, progress, "l1 path")
    for task, outcome in zip(tasks, outcomes):
        for m, (row_alphas, row_bic) in zip(task.rows, outcome):
            alphas[:, m, :] = row_alphas
            bic[:, m] = row_bic
    selected = np.argmin(bic, axis=0)
    support = np.array([alphas[selected[m], m] > 0 for m in range(d)])
    return SparsePath(grid, alphas, bic, selected, support, model, events)


@dataclass(frozen=True)
class _PathTask:
    realisations: list[_rows.Sources]
    beta: float
    rows: list[int]
    lower: FloatArray
    starts: list[FloatArray]
    strengths: FloatArray
    log_n: float


def _run_path_task(task: _PathTask) -> list[tuple[FloatArray, FloatArray]]:
    """For each row of the task, the penalised alpha at every strength (warm-started from the
    previous one) and the BIC of the unpenalised refit of its support."""
    with one_blas_thread():
        shared = _rows.designs(task.realisations, task.beta)
        out = []
        for row, lower_mu, start in zip(task.rows, task.lower, task.starts):
            design = _rows.row_design(shared, row)
            p = start.shape[0]
            lower = np.zeros(p)
            lower[0] = lower_mu
            everything = np.ones(p, dtype=bool)
            alphas = np.empty((task.strengths.shape[0], p - 1))
            bic = np.empty(task.strengths.shape[0])
            theta = start
            refits: dict[bytes, float] = {}
            for k, strength in enumerate(task.strengths.tolist()):
                penalty = np.full(p, strength)
                penalty[0] = 0.0
                fit = _rows.newton_row(
                    design, lower, everything, theta, penalty, 1000, False
                )
                theta = fit.theta
                alphas[k] = theta[1:]
                support = np.concatenate([[True], theta[1:] > 0])
                key = support.tobytes()
                if key not in refits:
                    refit = _rows.newton_row(
                        design,
                        lower,
                        support,
                        np.where(support, theta, 0.0),
                        np.zeros(p),
                        1000,
                        False,
                    )
                    # The row's own BIC: its likelihood is that of its n_m events.
                    log_n = math.log(max(design.design.shape[0], 2))
                    refits[key] = 2.0 * refit.value + int(support.sum()) * log_n
                bic[k] = refits[key]
            out.append((alphas, bic))
        return out


def _zeroing_strength(prepared: _Prepared, beta: float) -> float:
    shared = _rows.designs(prepared.realisations, beta)
    top = 0.0
    for m in range(prepared.n_dims):
        row = _rows.row_design(shared, m)
        mu = max(int(prepared.counts[m]), 1) / shared.horizon
        gradient = row.linear[1:] - row.design[:, 1:].sum(axis=0) / mu
        top = max(top, float(np.max(-gradient, initial=0.0)))
    return max(top, 1e-12)
