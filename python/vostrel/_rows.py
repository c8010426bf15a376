"""The row problems of the multivariate exponential model, in plain NumPy.

With the decays fixed (or fitted per cell) the negative log-likelihood of a multivariate
exponential Hawkes process is a sum of independent terms, one per target dimension m, each a
function of mu[m] and row m of alpha (and of beta). For decays held fixed, row m reads

    f_m(theta) = c · theta - sum over events i of dimension m of log(x_i · theta),

with theta = (mu[m], alpha[m, 0], ..., alpha[m, D-1]), x_i = (1, g_i) where g_i[j] is the
excitation β·Σ exp(-β·(t_i - s)) of the events s of dimension j strictly before t_i, and
c = (total window length, compensator weight of each source). It is convex, its Hessian is
X' diag(1/λ²) X in closed form, and a projected Newton iteration solves it in a handful of steps.

Everything here is a deterministic function of its arguments (NumPy element-wise operations and
single-threaded BLAS products of fixed shapes): the same rows give the same bits in any process.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._checks import FloatArray
from .models._base import linear_recurrence


@dataclass(frozen=True)
class Sources:
    """The events of one realisation in internal time units.

    Attributes
    ----------
    times : ndarray
        All events, ascending, from 0.
    dims : ndarray of int
        The dimension of each event (16-bit when that holds every dimension: it is shipped to
        other processes with every task).
    horizon : float
        Window length.
    n_dims : int
    """

    times: FloatArray
    dims: Any
    horizon: float
    n_dims: int

    def of(self, dim: int) -> FloatArray:
        out: FloatArray = self.times[self.dims == dim]
        return out


def sources(times: FloatArray, dims: Any, horizon: float, n_dims: int) -> Sources:
    if dims is None:
        dims = np.zeros(times.shape[0], dtype=np.int64)
    kind = np.int16 if n_dims < 2**15 else np.int64
    return Sources(times, np.asarray(dims).astype(kind, copy=False), horizon, n_dims)


@dataclass(frozen=True)
class Basis:
    """What the excitations of one realisation are cut from, whatever the decay: the events
    grouped by source in time order, each source led by a placeholder at the first event's
    time (its level is 0), and, when times are tied, the last event at each event's time."""

    data: Sources
    padded: FloatArray  # the events by source, each source led by its placeholder
    first: Any  # (D,) the placeholder's position of each source in `padded`
    counts: Any  # (D,) events per source
    tie_end: Any  # None for distinct times, else per event the index of the last at its time


def basis(data: Sources) -> Basis:
    times, dims, d = data.times, data.dims, data.n_dims
    n = times.shape[0]
    counts = np.bincount(dims, minlength=d)
    # Small integer keys: a stable sort is a radix sort, linear in N.
    order = np.argsort(dims, kind="stable")
    first = np.concatenate([[0], np.cumsum(counts + 1)[:-1]]).astype(np.int64)
    padded = np.full(n + d, times[0] if n else 0.0)
    slots = np.ones(n + d, dtype=bool)
    slots[first] = False
    padded[slots] = times[order]
    tie_end = None
    if n > 1 and not np.all(np.diff(times) > 0.0):
        tie_end = np.searchsorted(times, times, side="right") - 1
    return Basis(data, padded, first, counts, tie_end)


def levels(b: Basis, beta: float) -> FloatArray:
    """Per position of `b.padded`: Σ exp(-β·(s_i - s)) over the events s of the source up to
    and including s_i (0 at the placeholders), by one recursion over every source at once,
    L_i = exp(-β·(s_i - s_{i-1}))·L_{i-1} + 1, that restarts at each placeholder."""
    padded = b.padded
    if padded.shape[0] == 0:
        return np.zeros(0)
    gaps = np.diff(padded, prepend=padded[0])
    gaps[b.first] = 0.0  # from the previous source's last event: not a gap
    factor = np.exp(gaps * (-beta))
    factor[b.first] = 0.0
    jumps = np.ones(padded.shape[0])
    jumps[b.first] = 0.0
    return linear_recurrence(factor, jumps)


def row_excitation(b: Basis, level: FloatArray, beta: float, target: int) -> FloatArray:
    """E[i, k] = Σ exp(-β·(t_i - s)) over the events s of source k strictly before t_i, for
    the events t_i of dimension `target` (shape (n_target, D)).

    The events before each target event are counted per source in one pass over all events
    (a histogram of (targets at or before the event, source), summed down the targets); the
    last of them carries the source's level, decayed to t_i. Work O(N + n_target·D) and
    memory O(N + n_target·D): a row never needs the other rows' excitations."""
    data = b.data
    d = data.n_dims
    n_target = int(b.counts[target])
    if n_target == 0:
        return np.zeros((0, d))
    is_target = data.dims == target
    seen = np.cumsum(is_target)  # targets at or before each event
    if b.tie_end is not None:
        seen = seen[b.tie_end]  # and those tied with it: not strictly after
    key = seen * d + data.dims
    histogram = np.bincount(key, minlength=(n_target + 1) * d)[: n_target * d]
    # Events of each source strictly before target i: those with at most i targets at or
    # before them (the placeholder's position plus that count is the last one's position).
    last = np.cumsum(histogram.reshape(n_target, d), axis=0)
    last += b.first
    out: FloatArray = np.subtract(data.times[is_target][:, None], b.padded[last])
    out *= -beta
    np.exp(out, out=out)
    out *= level[last]
    return out


def excitations(data: Sources, beta: float) -> tuple[FloatArray, Any]:
    """E[i, j] = Σ exp(-β·(t_i - s)) over the events s of dimension j strictly before event i,
    for every event (N·D doubles: for checks; fits work row by row), and None (row i is
    event i)."""
    b = basis(data)
    level = levels(b, beta)
    out = np.zeros((data.times.shape[0], data.n_dims))
    for m in range(data.n_dims):
        out[data.dims == m] = row_excitation(b, level, beta, m)
    return out, None


def compensator_weights(data: Sources, beta: float) -> FloatArray:
    """Σ_s (1 - exp(-β·(T - s))) over the events s of each dimension (shape (D,))."""
    weights = -np.expm1((data.horizon - data.times) * (-beta))
    return np.bincount(data.dims, weights=weights, minlength=data.n_dims).astype(np.float64)


# -- the fixed-decay row ---------------------------------------------------------------------------


@dataclass
class RowDesign:
    """Row m of a fixed-decay model: x_i for its events (rows of `design`, first column ones)
    and the linear coefficients c."""

    design: FloatArray
    linear: FloatArray


@dataclass
class Designs:
    """What every row's design is cut from, for one decay: per realisation the events by
    source and their levels (O(N) doubles), and the compensator weights."""

    bases: list[Basis]
    levels: list[FloatArray]
    compensator: FloatArray
    horizon: float
    beta: float
    n_dims: int


def designs(realisations: list[Sources], beta: float) -> Designs:
    compensator = np.zeros(realisations[0].n_dims)
    for data in realisations:
        compensator += compensator_weights(data, beta)
    bases = [basis(data) for data in realisations]
    return Designs(
        bases,
        [levels(b, beta) for b in bases],
        compensator,
        math.fsum(data.horizon for data in realisations),
        beta,
        realisations[0].n_dims,
    )


def row_design(shared: Designs, target: int) -> RowDesign:
    """The design of row `target` over every realisation (stacked in realisation order)."""
    d = shared.n_dims
    sizes = [int(b.counts[target]) for b in shared.bases]
    design = np.empty((sum(sizes), d + 1))
    design[:, 0] = 1.0
    at = 0
    for b, level, size in zip(shared.bases, shared.levels, sizes):
        if size:
            block = row_excitation(b, level, shared.beta, target)
            np.multiply(block, shared.beta, out=design[at : at + size, 1:])
            del block
        at += size
    return RowDesign(design, np.concatenate([[shared.horizon], shared.compensator]))


@dataclass
class RowFit:
    """The outcome of one row: estimate, value and the facts a result reports."""

    theta: FloatArray
    value: float  # the negative log-likelihood of the row (without penalty)
    objective: float  # with the penalty
    n_iter: int
    converged: bool
    gradient: FloatArray  # projected gradient of the penalised objective
    on_bound: Any
    covariance: FloatArray | None  # over the estimated entries
    hessian_ok: bool
    message: str
    estimated: Any  # free and not on a bound
    # The search of other time scales (per-cell rows): the weak cells whose decay was held at
    # each time scale, the points refitted, and whether the last search found nothing better.
    weak: Any = None
    searched: int = 0
    clean: bool = True


def _value(design: FloatArray, linear: FloatArray, theta: FloatArray) -> tuple[float, FloatArray]:
    with np.errstate(invalid="ignore", over="ignore"):
        lam = design @ theta
        if not (np.all(lam > 0.0) and np.all(np.isfinite(lam))):
            return math.inf, lam
        value = float(linear @ theta - np.sum(np.log(lam)))
    return (value if math.isfinite(value) else math.inf), lam


def newton_row(
    row: RowDesign,
    lower: FloatArray,
    free: Any,
    theta0: FloatArray,
    penalty: FloatArray,
    max_iter: int,
    covariance: bool,
) -> RowFit:
    """Minimise c·θ + penalty·θ - Σ log(x_i·θ) over θ ≥ lower (entries not `free` stay at
    θ0), by Newton steps on the free entries off their bounds with a backtracking search along
    the projected path. The objective is convex, so a stationary point is the optimum."""
    design, linear = row.design, row.linear + penalty
    n = design.shape[0]
    p = theta0.shape[0]
    theta = np.where(free, np.maximum(theta0, lower), theta0)
    if n == 0:
        # No event of this dimension: the likelihood is maximal at the lower bounds.
        theta = np.where(free, lower, theta0)
        value = float(row.linear @ theta)
        return RowFit(theta, value, float(linear @ theta), 0, True, np.zeros(p),
                      free & (theta <= lower), None, True, "no events in this dimension",
                      np.zeros(p, dtype=bool))
    # The best multiple of the start: along a ray the optimum has c·θ = n.
    scale = linear[free] @ theta[free]
    fixed_part = linear[~free] @ theta[~free]
    if scale > 0 and n - fixed_part > 0:
        theta[free] = np.maximum(theta[free] * ((n - fixed_part) / scale), lower[free])
    objective, lam = _value(design, linear, theta)
    if not math.isfinite(objective):
        theta = np.where(free, np.maximum(lower, np.where(np.arange(p) == 0, n / linear[0], 0.0)), theta0)
        objective, lam = _value(design, linear, theta)
    converged = False
    message = "the iteration limit was reached"
    iterations = 0
    gradient = np.zeros(p)
    # The row's objective is self-concordant: with a Newton decrement λ² at most 1e-4, one
    # more full step leaves a decrement of at most (λ/(1 - λ))⁴ ≈ 1.04e-8, so the value is
    # within 5.2e-9 of the optimum's and the estimate within about 1e-4 of a standard error.
    tolerance = 1e-4
    for iterations in range(1, max_iter + 1):
        inverse = 1.0 / lam
        weighted = design * inverse[:, None]
        gradient = linear - weighted.sum(axis=0)
        held = ~free | ((theta <= lower) & (gradient > 0.0))
        moving = ~held
        hessian = _gram(weighted)
        if not moving.all():
            hessian = hessian[moving][:, moving]
        step = _solve(hessian, -gradient[moving])
        decrement = float(-gradient[moving] @ step)
        if decrement <= tolerance:
            # Within rounding of the optimum in value; one last full step takes the estimate
            # there too (the decrement measures the value's error, the square of the step's).
            trial = theta.copy()
            trial[moving] = np.maximum(lower[moving], theta[moving] + step)
            value, trial_lam = _value(design, linear, trial)
            if value <= objective + 1e-12 * abs(objective):
                theta, objective, lam = trial, value, trial_lam
            converged = True
            message = "Newton decrement below tolerance"
            break
        t = 1.0
        accepted = False
        while t > 1e-14:
            trial = theta.copy()
            trial[moving] = np.maximum(lower[moving], theta[moving] + t * step)
            value, trial_lam = _value(design, linear, trial)
            if value <= objective + 1e-4 * float(gradient @ (trial - theta)):
                accepted = True
                break
            t *= 0.5
        if not accepted:
            # No decrease in the last bits: optimal to rounding when the gradient is small.
            converged = _projected_norm(theta, gradient, lower, free) <= 1e-6 * max(n, 1)
            message = "no further decrease (line search at rounding level)"
            break
        theta, objective, lam = trial, value, trial_lam
    inverse = 1.0 / lam
    gradient = linear - design.T @ inverse
    projected = _projected(theta, gradient, lower, free)
    on_bound = free & (theta - lower <= 1e-8 * np.maximum(1.0, np.abs(theta)))
    cov: FloatArray | None = None
    hessian_ok = True
    estimated = free & ~on_bound
    if covariance:
        if estimated.any():
            weighted = design[:, estimated] * inverse[:, None]
            information = _gram(weighted)
            cov, hessian_ok = _invert(information)
    value = float(row.linear @ theta - np.sum(np.log(lam)))
    return RowFit(theta, value, objective, iterations, converged, projected, on_bound, cov,
                  hessian_ok, message, estimated)


def cannot_beat(
    design: FloatArray,
    linear: FloatArray,
    theta: FloatArray,
    lower: FloatArray,
    free: Any,
    target: float,
) -> bool:
    """Whether min over θ' ≥ lower of c·θ' - Σ log(x_i·θ') (free entries only) is provably
    at least `target`, from one Newton decrement at θ.

    With ν ≥ 0 the gradient's push against the bounds where θ sits on them, the function
    f(θ') - ν·(θ' - lower) is below f wherever θ' ≥ lower and equals f(θ) at θ; it is
    standard self-concordant (a linear term minus logarithms of affine functions), so with its
    Newton decrement δ = √(g'H⁻¹g) < 1 at θ its unconstrained minimum, and hence the bounded
    one of f, is at least f(θ) - (-δ - log(1 - δ)). False when that does not settle it (δ ≥
    1, a singular Hessian): the refit must run."""
    value, lam = _value(design, linear, theta)
    if not math.isfinite(value):
        return False
    weighted = design[:, free] * (1.0 / lam)[:, None]
    gradient = linear[free] - weighted.sum(axis=0)
    at_bound = theta[free] <= lower[free]
    gradient = np.where(at_bound, np.minimum(gradient, 0.0), gradient)
    hessian = _gram(weighted)
    try:
        factor = np.linalg.cholesky(hessian)
    except np.linalg.LinAlgError:
        return False
    half = np.linalg.solve(factor, gradient)
    delta = math.sqrt(float(half @ half))
    if not delta < 1.0:
        return False
    return value - (-delta - math.log1p(-delta)) >= target


def _gram(weighted: FloatArray) -> FloatArray:
    """W'W by a symmetric rank-k update (half the work of a product), made symmetric."""
    from scipy.linalg import blas

    if weighted.shape[0] == 0 or weighted.shape[1] == 0:
        return np.zeros((weighted.shape[1], weighted.shape[1]))
    upper = blas.dsyrk(1.0, np.asfortranarray(weighted.T), trans=0)
    symmetric: FloatArray = np.triu(upper) + np.triu(upper, 1).T
    return symmetric


def _solve(matrix: FloatArray, rhs: FloatArray) -> FloatArray:
    if rhs.shape[0] == 0:
        return rhs
    diagonal = np.diag(matrix)
    ridge = 0.0
    identity = np.eye(rhs.shape[0])
    for _ in range(8):
        try:
            shifted = matrix + ridge * identity if ridge else matrix
            np.linalg.cholesky(shifted)  # positive definite, or an error
            out: FloatArray = np.asarray(np.linalg.solve(shifted, rhs), dtype=np.float64)
            return out
        except np.linalg.LinAlgError:
            ridge = max(ridge * 100.0, 1e-12 * max(float(np.max(diagonal)), 1e-300))
    solution: FloatArray = rhs / np.where(diagonal > 0, diagonal, 1.0)
    return solution


def _invert(information: FloatArray) -> tuple[FloatArray | None, bool]:
    """The inverse of a positive definite information matrix, computed after scaling it to a
    unit diagonal (parameters on very different scales, decays next to excitations, do not
    make it look singular); None when it is not positive definite."""
    if not np.all(np.isfinite(information)):
        return None, False
    diagonal = np.diag(information)
    if not np.all(diagonal > 0.0):
        return None, False
    scale = 1.0 / np.sqrt(diagonal)
    scaled = information * np.outer(scale, scale)
    eigenvalues = np.linalg.eigvalsh(scaled)
    if np.min(eigenvalues) <= 1e-12 * max(float(np.max(eigenvalues)), 0.0):
        return None, False
    inverse = np.linalg.inv(scaled) * np.outer(scale, scale)
    return np.asarray(inverse, dtype=np.float64), True


def _projected(theta: FloatArray, gradient: FloatArray, lower: FloatArray, free: Any) -> FloatArray:
    at_lower = theta - lower <= 1e-8 * np.maximum(1.0, np.abs(theta))
    return np.where(free & ~(at_lower & (gradient > 0.0)), gradient, 0.0)


def _projected_norm(theta: FloatArray, gradient: FloatArray, lower: FloatArray, free: Any) -> float:
    return float(np.max(np.abs(_projected(theta, gradient, lower, free)), initial=0.0))


# -- per-cell decays ------------------------------------------------------------------------------


@dataclass
class CellRow:
    """Row m with a decay per cell. The events of every source (realisations one after the
    other, sources one after the other) form one sequence with `restart` where a new source
    or realisation begins; for each source j and each target event of the row, `index` is
    the position in that sequence of the last source event strictly before it (-1 for none)
    and `lag` the time since. None of this depends on the decays: it is computed once."""

    n_targets: int
    horizon: float
    n_dims: int
    gaps: FloatArray
    restart: Any
    source: Any  # the source dimension of each position
    rest: FloatArray  # T - s
    index: Any  # (D, n_targets)
    lag: FloatArray  # (D, n_targets)
    position: Any = None  # index + 1: into the sequence's values led by a 0 (no event before)
    restarts: Any = None  # the positions where `restart` holds



def cell_row(realisations: list[Sources], target: int) -> CellRow:
    d = realisations[0].n_dims
    targets_all = [data.of(target) for data in realisations]
    n_targets = sum(t.shape[0] for t in targets_all)
    gaps, restart, source, rest = [], [], [], []
    index = np.full((d, n_targets), -1, dtype=np.int64)
    lag = np.zeros((d, n_targets))
    offset = 0
    for j in range(d):
        column = 0
        for data, targets in zip(realisations, targets_all):
            s = data.of(j)
            n = s.shape[0]
            if n:
                gaps.append(np.concatenate([[0.0], np.diff(s)]))
                flag = np.zeros(n, dtype=bool)
                flag[0] = True
                restart.append(flag)
                source.append(np.full(n, j, dtype=np.int64))
                rest.append(data.horizon - s)
                k = np.searchsorted(s, targets, side="left") - 1
                live = k >= 0
                cols = column + np.flatnonzero(live)
                index[j, cols] = k[live] + offset
                lag[j, cols] = targets[live] - s[k[live]]
            offset += n
            column += targets.shape[0]
    def joined(parts: list[Any], dtype: Any) -> Any:
        return np.concatenate(parts) if parts else np.empty(0, dtype=dtype)

    return CellRow(n_targets, math.fsum(data.horizon for data in realisations), d,
                   joined(gaps, np.float64), joined(restart, bool), joined(source, np.int64),
                   joined(rest, np.float64), index, lag, index + 1,
                   np.flatnonzero(joined(restart, bool)))


def source_kernel(row: CellRow, source: int, beta: float) -> tuple[FloatArray, float]:
    """For one source at decay β: the kernel β·Σ exp(-β·(t - s)) over its events s before
    each target t of the row, and its compensator weight Σ (1 - exp(-β·(T - s))). Work
    O(n_source + n_targets)."""
    start = int(np.searchsorted(row.source, source, side="left"))
    stop = int(np.searchsorted(row.source, source, side="right"))
    out = np.zeros(row.n_targets)
    if start == stop:
        return out, 0.0
    factor = np.where(row.restart[start:stop], 0.0, np.exp(row.gaps[start:stop] * (-beta)))
    level = linear_recurrence(factor, np.ones(stop - start))
    index = row.index[source]
    live = index >= 0
    out[live] = level[index[live] - start] * np.exp(row.lag[source, live] * (-beta))
    out *= beta
    return out, float(np.sum(-np.expm1(row.rest[start:stop] * (-beta))))


def cell_derivatives(row: CellRow, x: FloatArray) -> tuple[float, FloatArray, FloatArray]:
    """The row's negative log-likelihood, gradient and exact Hessian in x = (mu, alpha[0..D-1],
    beta[0..D-1]).

    With K_ij = β_j·E0_ij (the kernel sums of source j at target i), λ_i = μ + Σ_j α_j·K_ij;
    ∂λ/∂β_j = α_j·K'_ij with K' = E0 - β·E1 and ∂²λ/∂β_j² = α_j·(β·E2 - 2·E1), where Ek sums
    (t - s)^k·exp(-β·(t - s)). The Hessian is J' diag(1/λ²) J minus the second derivatives of
    λ weighted by 1/λ, plus the compensator's.
    """
    d = row.n_dims
    p = 1 + 2 * d
    mu, alpha, beta = x[0], x[1 : d + 1], x[d + 1 :]
    gradient = np.zeros(p)
    hessian = np.zeros((p, p))
    value = mu * row.horizon
    gradient[0] = row.horizon
    e0 = np.zeros((d, row.n_targets))
    e1 = np.zeros((d, row.n_targets))
    e2 = np.zeros((d, row.n_targets))
    if row.gaps.shape[0]:
        rate = beta[row.source]
        gaps = row.gaps
        factor = np.exp(gaps * (-rate))
        factor[row.restarts] = 0.0
        # Each recursion's values are stored after a leading 0: position 0 stands for "no
        # event of the source before the target" (its lag is 0, its values 0).
        n = factor.shape[0]
        level = np.zeros(n + 1)
        level[1:] = linear_recurrence(factor, np.ones(n))
        first = np.zeros(n + 1)
        first[1:] = linear_recurrence(factor, factor * gaps * level[:-1])
        second = np.zeros(n + 1)
        second[1:] = linear_recurrence(
            factor, factor * (2.0 * gaps * first[:-1] + gaps * gaps * level[:-1])
        )
        at = row.position
        lags = row.lag
        weight = np.exp(lags * (-beta[:, None]))
        level_at, first_at = level[at], first[at]
        e0 = level_at * weight
        e1 = weight * (first_at + lags * level_at)
        e2 = weight * (second[at] + lags * (2.0 * first_at + lags * level_at))
        tail = np.exp(row.rest * (-rate))
        compensator = np.bincount(row.source, weights=-np.expm1(row.rest * (-rate)), minlength=d)
        slope = np.bincount(row.source, weights=row.rest * tail, minlength=d)
        curvature = -np.bincount(row.source, weights=row.rest * row.rest * tail, minlength=d)
        gradient[1 : d + 1] = compensator
        gradient[d + 1 :] = alpha * slope
        value += float(alpha @ compensator)
        cells = np.arange(d)
        hessian[1 + cells, d + 1 + cells] += slope
        hessian[d + 1 + cells, 1 + cells] += slope
        hessian[d + 1 + cells, d + 1 + cells] += alpha * curvature
    kernel = beta[:, None] * e0
    kernel_slope = e0 - beta[:, None] * e1
    kernel_curve = beta[:, None] * e2 - 2.0 * e1
    lam = mu + alpha @ kernel
    if not np.all(lam > 0.0):
        return math.inf, gradient, hessian
    inverse = 1.0 / lam
    value -= float(np.sum(np.log(lam)))
    jacobian = np.empty((row.n_targets, p))
    jacobian[:, 0] = 1.0
    jacobian[:, 1 : d + 1] = kernel.T
    jacobian[:, d + 1 :] = (alpha[:, None] * kernel_slope).T
    weighted = jacobian * inverse[:, None]
    gradient -= weighted.sum(axis=0)
    hessian += _gram(weighted)
    cross = kernel_slope @ inverse
    cells = np.arange(d)
    hessian[1 + cells, d + 1 + cells] -= cross
    hessian[d + 1 + cells, 1 + cells] -= cross
    hessian[d + 1 + cells, d + 1 + cells] -= alpha * (kernel_curve @ inverse)
    return float(value), gradient, hessian


def cell_value(row: CellRow, x: FloatArray) -> float:
    """The row's negative log-likelihood alone (one recursion instead of three, no
    derivatives): for the trial points of a line search."""
    d = row.n_dims
    mu, alpha, beta = x[0], x[1 : d + 1], x[d + 1 :]
    value = mu * row.horizon
    lam = np.full(row.n_targets, mu)
    if row.gaps.shape[0]:
        rate = beta[row.source]
        factor = np.exp(row.gaps * (-rate))
        factor[row.restarts] = 0.0
        level = np.zeros(factor.shape[0] + 1)
        level[1:] = linear_recurrence(factor, np.ones(factor.shape[0]))
        kernel = level[row.position] * np.exp(row.lag * (-beta[:, None]))
        kernel *= beta[:, None]
        lam = mu + alpha @ kernel
        compensator = np.bincount(row.source, weights=-np.expm1(row.rest * (-rate)), minlength=d)
        value += float(alpha @ compensator)
    if not np.all(lam > 0.0):
        return math.inf
    return float(value - np.sum(np.log(lam)))


def newton_cell_row(
    row: CellRow, x0: FloatArray, lower: FloatArray, upper: FloatArray, max_iter: int
) -> tuple[FloatArray, float, FloatArray, FloatArray, int, bool, str]:
    """Minimise a per-cell row from x0 by Newton steps on the entries off their bounds (a
    decay whose amplitude is held at zero is held too: the likelihood does not depend on it),
    with the decays on the log scale (a decay drifting over decades towards a bound gets
    there in a few steps, not by halving), the Hessian's negative curvature turned into
    positive where it is not positive definite (`_modified_step`) and a backtracking search
    along the projected path (trial points after the first by their value alone). Returns (x,
    value, gradient, hessian, iterations, converged, message), gradient and Hessian in the
    decays themselves; the value never exceeds the start's."""
    d = row.n_dims
    x = np.clip(x0, lower, upper)
    value, gradient, hessian = cell_derivatives(row, x)
    converged = False
    message = "the iteration limit was reached"
    iterations = 0
    for iterations in range(1, max_iter + 1):
        held = _held(x, gradient, lower, upper, d)
        moving = ~held
        logs = _log_entries(x, row.horizon, d)
        g, h = _log_decays(x, gradient, hessian, logs)
        sub = h[moving][:, moving]
        positive = _positive_definite(sub)
        if positive:
            step = _solve(sub, -g[moving])
        else:
            step = _modified_step(sub, g[moving])
        decrement = float(-g[moving] @ step)
        if positive and decrement <= 1e-6:
            converged = True
            message = "Newton decrement below tolerance"
            trial = _moved(x, moving, step, lower, upper, logs)
            t_value, t_gradient, t_hessian = cell_derivatives(row, trial)
            if t_value <= value + 1e-12 * abs(value):
                x, value, gradient, hessian = trial, t_value, t_gradient, t_hessian
            break
        if not decrement > 0:
            step = -g[moving] / np.maximum(np.abs(np.diag(sub)), 1e-300)
        t = 1.0
        accepted = False
        full = True
        while t > 1e-14:
            trial = _moved(x, moving, t * step, lower, upper, logs)
            if full:
                t_value, t_gradient, t_hessian = cell_derivatives(row, trial)
            else:
                t_value = cell_value(row, trial)
            if t_value <= value + 1e-4 * float(g @ _log_change(x, trial, logs)):
                accepted = True
                break
            t *= 0.5
            full = False
        if not accepted:
            projected = np.where(held, 0.0, gradient)
            converged = positive and float(np.max(np.abs(projected))) <= 1e-6 * max(row.n_targets, 1)
            message = "no further decrease (line search at rounding level)"
            break
        if not full:
            t_value, t_gradient, t_hessian = cell_derivatives(row, trial)
        x, value, gradient, hessian = trial, t_value, t_gradient, t_hessian
    return x, value, gradient, hessian, iterations, converged, message


def _log_entries(x: FloatArray, horizon: float, d: int) -> Any:
    """The entries stepped on the log scale: every decay, and the excitation of a cell whose
    time scale exceeds the window (β·T < 1). There the kernel is nearly β times the count of
    earlier events, so the likelihood depends on α·β alone to first order and its valley,
    α·β constant, is straight in (log α, log β) but curved in (α, log β), where Newton steps
    crawl along it."""
    logs = np.zeros(x.shape[0], dtype=bool)
    logs[d + 1 :] = True
    logs[1 : d + 1] = (x[1 : d + 1] > 0.0) & (x[d + 1 :] * horizon < 1.0)
    return logs


def _log_decays(
    x: FloatArray, gradient: FloatArray, hessian: FloatArray, logs: Any
) -> tuple[FloatArray, FloatArray]:
    """Gradient and Hessian with the entries `logs` replaced by their logarithms u = log x:
    ∂f/∂u = x·∂f/∂x and ∂²f/∂u_i∂u_j = x_i·x_j·∂²f/∂x_i∂x_j (+ x_i·∂f/∂x_i on the
    diagonal)."""
    factor = np.where(logs, x, 1.0)
    g = gradient * factor
    h = hessian * np.outer(factor, factor)
    cells = np.flatnonzero(logs)
    h[cells, cells] += g[cells]
    return g, h


def _moved(
    x: FloatArray, moving: Any, step: FloatArray, lower: FloatArray, upper: FloatArray, logs: Any
) -> FloatArray:
    """x moved by `step` on the moving entries (multiplicatively on the log scale), within
    bounds."""
    full = np.zeros(x.shape[0])
    full[moving] = step
    trial = np.where(logs, x * np.exp(np.minimum(full, 700.0)), x + full)
    return np.where(moving, np.clip(trial, lower, upper), x)


def _log_change(x: FloatArray, trial: FloatArray, logs: Any) -> FloatArray:
    change = trial - x
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.log(trial / np.where(logs, x, 1.0))
    out: FloatArray = np.where(logs, ratio, change)
    return out


def _modified_step(hessian: FloatArray, gradient: FloatArray) -> FloatArray:
    """A descent step for an indefinite Hessian: in the Hessian scaled to a unit diagonal, each
    eigenvalue is replaced by its absolute value (at least 1e-8 of the largest), so that a
    direction of negative curvature is followed as far as its curvature's size suggests
    rather than damped by a ridge just large enough to make the Hessian definite, which
    crawls."""
    diagonal = np.abs(np.diag(hessian))
    scale = 1.0 / np.sqrt(np.where(diagonal > 0.0, diagonal, 1.0))
    values, vectors = np.linalg.eigh(hessian * np.outer(scale, scale))
    size = np.abs(values)
    size = np.maximum(size, 1e-8 * max(float(np.max(size, initial=0.0)), 1e-300))
    step: FloatArray = -scale * (vectors @ ((vectors.T @ (scale * gradient)) / size))
    return step


def _held(x: FloatArray, gradient: FloatArray, lower: FloatArray, upper: FloatArray, d: int) -> Any:
    scale = np.maximum(1.0, np.abs(x))
    at_lower = x - lower <= 1e-12 * scale
    at_upper = upper - x <= 1e-12 * scale
    held = (at_lower & (gradient >= 0.0)) | (at_upper & (gradient <= 0.0))
    # A decay whose amplitude is zero and stays there shapes nothing.
    held[d + 1 :] |= held[1 : d + 1] & (x[1 : d + 1] <= 0.0)
    held[d + 1 :] |= x[1 : d + 1] <= 0.0
    return held


def _positive_definite(matrix: FloatArray) -> bool:
    if matrix.shape[0] == 0:
        return True
    try:
        np.linalg.cholesky(matrix)
    except np.linalg.LinAlgError:
        return False
    return True
