"""Goodness of fit by the time-rescaling theorem.

Under the true model, the compensator Λ_m maps the events of dimension m to a unit-rate Poisson
process: the rescaled gaps τ_k = Λ_m(t_k) − Λ_m(t_{k−1}) (from the window's start for the
first event of a realisation) are independent Exp(1) variables. `goodness_of_fit` pools them
over realisations and measures their distance from Exp(1) per dimension with the
Kolmogorov–Smirnov statistic.

With parameters fitted to the same data, the plain KS p-value is conservative (too large: the
fit pulls the residuals towards Exp(1)). Given a :class:`~vostrel.FitResult`, the test is
calibrated by a parametric bootstrap instead: B datasets are simulated from the fitted model on
the data's own windows, the model is refitted to each (with the same fixed parameters), and the
p-value of dimension m is (1 + #{bootstrap statistics ≥ observed}) / (B_m + 1), B_m counting
the refits that gave a statistic for m.
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import html
import math
from collections.abc import Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._checks import FloatArray, IntArray, as_int, as_level, as_seed
from ._results import FitResult
from .events import Events
from .fitting import fit
from .models._base import Model

__all__ = ["compensator", "residuals", "goodness_of_fit", "GoodnessOfFit"]

#: Bootstrap refits of the default test on a FitResult.
DEFAULT_N_BOOT = 199

_PLAIN = "ks"
_BOOTSTRAP = "bootstrap"


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
    """Time-rescaled residuals and a test of their fit to Exp(1) per dimension.

    Attributes
    ----------
    residuals : tuple of ndarray
        Pooled rescaled gaps of each dimension.
    statistics : ndarray
        KS distance of each dimension's residuals from Exp(1) (NaN for a dimension without
        events).
    p_values : ndarray
        The test's p-value per dimension: the parametric bootstrap's when `method` is
        ``"bootstrap"``, else the plain KS test's (NaN for a dimension without events).
    n : ndarray of int
        Number of residuals per dimension.
    model_name : str
    dim_names : tuple or None
    method : {"ks", "bootstrap"}
        ``"ks"``: the plain KS test, exact for a model fixed in advance and conservative when
        its parameters were estimated from the same data; ``"bootstrap"``: the KS statistic
        calibrated by a parametric bootstrap with refits.
    ks_p_values : ndarray
        The plain KS p-values (equal to `p_values` for ``method="ks"``).
    n_boot : int
        Bootstrap datasets asked for (0 for the plain test).
    boot_statistics : ndarray
        Shape (n_boot, n_dims): the KS distance of every bootstrap refit (NaN rows for refits
        that failed, NaN cells for dimensions a simulated dataset left without events).
    n_failed : int
        Bootstrap replicates whose simulation or refit raised an error (left out of the
        p-value; see `notes`).
    n_not_converged : int
        Bootstrap refits that ended without a verified optimum (kept in the p-value).
    seed : int or None
        Seed of the bootstrap.
    notes : tuple of str
        Remarks on the test (its kind, failures, untested dimensions).
    failures : tuple of str
        The distinct errors of the failed bootstrap replicates.
    joint_p_value : float
        Bootstrap p-value of all dimensions at once, for the largest of the statistics
        scaled by √n of the data, max_m √n_m·D_m (which holds its level where testing each
        dimension at that level does not); NaN for the plain test.
    """

    residuals: tuple[FloatArray, ...]
    statistics: FloatArray
    p_values: FloatArray
    n: IntArray
    model_name: str
    dim_names: tuple[Hashable, ...] | None = None
    method: str = _PLAIN
    ks_p_values: FloatArray | None = None
    n_boot: int = 0
    boot_statistics: FloatArray | None = None
    n_failed: int = 0
    n_not_converged: int = 0
    seed: int | None = None
    notes: tuple[str, ...] = ()
    failures: tuple[str, ...] = ()
    joint_p_value: float = math.nan

    @property
    def kind(self) -> str:
        """What test was run, in words."""
        if self.method == _BOOTSTRAP:
            done = self.n_boot - self.n_failed
            return (
                f"parametric bootstrap of the KS statistic ({done} of {self.n_boot} refits "
                "from the fitted model)"
            )
        return (
            "plain KS test against Exp(1) (conservative when the parameters were estimated "
            "from these data)"
        )

    def passed(self, level: float = 0.05) -> bool:
        """Whether every dimension passes the test at `level`.

        A dimension whose p-value is NaN (no events, or no usable bootstrap refit) cannot
        pass: the test could not judge it. Each dimension is tested at `level` on its own, so
        with M dimensions a true model fails somewhere with probability up to M·level.

        Parameters
        ----------
        level : float, default 0.05
            Significance level, in (0, 1).

        Returns
        -------
        bool
        """
        level = as_level(level)
        p = self.p_values
        return bool(p.size > 0 and np.all(np.isfinite(p)) and np.all(p > level))

    def _labels(self) -> list[str]:
        if self.dim_names is not None:
            return [str(n) for n in self.dim_names]
        return [str(i) for i in range(len(self.residuals))]

    def _verdict(self) -> str:
        if not np.all(np.isfinite(self.p_values)):
            return "the test cannot judge every dimension (NaN p-value): no verdict"
        if self.passed():
            return "at the 5% level the residuals are consistent with the model"
        return "at the 5% level the test rejects the model"

    def _columns(self) -> tuple[str, ...]:
        if self.method == _BOOTSTRAP:
            return ("dimension", "n", "KS stat", "p (bootstrap)", "p (plain KS)")
        return ("dimension", "n", "KS stat", "p-value")

    def _rows(self) -> list[tuple[str, ...]]:
        rows: list[tuple[str, ...]] = []
        plain = self.ks_p_values if self.ks_p_values is not None else self.p_values
        for i, label in enumerate(self._labels()):
            row: tuple[str, ...] = (label, f"{self.n[i]:d}", f"{self.statistics[i]:.4f}", f"{self.p_values[i]:.4g}")
            if self.method == _BOOTSTRAP:
                row += (f"{plain[i]:.4g}",)
            rows.append(row)
        return rows

    def summary(self) -> str:
        """A text table of the test per dimension, with the kind of test and its notes."""
        lines = [f"Goodness of fit of {self.model_name}: time-rescaled residuals vs Exp(1)"]
        lines.append(f"test: {self.kind}")
        columns = self._columns()
        rows = [columns, *self._rows()]
        widths = [max(9, *(len(r[c]) for r in rows)) for c in range(len(columns))]
        for r in rows:
            lines.append("  ".join(cell.rjust(w) for cell, w in zip(r, widths)))
        if self.method == _BOOTSTRAP and len(self.residuals) > 1:
            lines.append(f"all dimensions at once (max of √n·KS stat): p = {self.joint_p_value:.4g}")
        lines += [f"note: {n}" for n in self.notes]
        lines.append(self._verdict())
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.summary()

    def __repr__(self) -> str:
        p = ", ".join(f"{v:.3g}" for v in self.p_values)
        test = f"bootstrap B={self.n_boot}" if self.method == _BOOTSTRAP else "plain KS"
        failed = f", failed={self.n_failed}" if self.n_failed else ""
        return (
            f"GoodnessOfFit({self.model_name}, {test}, p_values=[{p}], "
            f"n={self.n.tolist()}{failed})"
        )

    def _repr_html_(self) -> str:
        head = "".join(f"<th>{html.escape(c)}</th>" for c in self._columns())
        body = "".join(
            "<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in row) + "</tr>"
            for row in self._rows()
        )
        notes = "".join(f"<li>{html.escape(n)}</li>" for n in self.notes)
        if self.method == _BOOTSTRAP and len(self.residuals) > 1:
            joint = f"all dimensions at once (max of √n·KS stat): p = {self.joint_p_value:.4g}"
            notes = f"<li>{html.escape(joint)}</li>" + notes
        return (
            f"<div><p><b>Goodness of fit</b> of {html.escape(self.model_name)}: time-rescaled "
            f"residuals vs Exp(1)<br>test: {html.escape(self.kind)}</p>"
            f"<table><tr>{head}</tr>{body}</table>"
            + (f"<ul>{notes}</ul>" if notes else "")
            + f"<p>{html.escape(self._verdict())}</p></div>"
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
        from ._plotbase import draw_qq

        return draw_qq(qq_series(self, dim), ax=ax, level=level, title=qq_title(self))


def qq_series(gof: GoodnessOfFit, dim: int | None) -> list[tuple[FloatArray, str | None]]:
    """(residuals, legend label) of the dimensions a QQ plot of `gof` draws."""
    labels = gof._labels()
    chosen = range(len(gof.residuals)) if dim is None else [as_int(dim, "dim", minimum=0)]
    if dim is not None and chosen[0] >= len(gof.residuals):
        raise ValueError(f"dim must be below {len(gof.residuals)}; got {dim}")
    several = len(gof.residuals) > 1
    out: list[tuple[FloatArray, str | None]] = []
    for i in chosen:
        p = gof.p_values[i]
        test = "bootstrap p" if gof.method == _BOOTSTRAP else "plain KS p"
        name = f"dimension {labels[i]}: " if several else ""
        out.append((gof.residuals[i], f"{name}n={gof.n[i]}, {test}={p:.3g}"))
    return out


def qq_title(gof: GoodnessOfFit) -> str:
    return f"QQ plot of time-rescaled residuals ({gof.model_name})"


def _ks_exponential(values: FloatArray) -> tuple[float, float]:
    """Two-sided one-sample KS test against Exp(1): the statistic and exact p-value that
    ``scipy.stats.kstest(values, "expon")`` gives, bit for bit, at a fraction of its cost (it
    sorts twice with a stable sort, about seven times slower than NumPy's default sort here; the
    sorted values are the same whichever sort produced them)."""
    from scipy import stats  # imported here: scipy takes a second to load

    d = _ks_distance(values)
    p = float(np.clip(stats.kstwo.sf(d, values.shape[0]), 0.0, 1.0))
    return d, p


def _ks_distance(values: FloatArray) -> float:
    """The KS distance of `values` from Exp(1) (NaN if a value is NaN)."""
    from scipy import special

    x = np.sort(values)
    n = x.shape[0]
    cdf = np.where(x < 0.0, 0.0, -special.expm1(-x))  # the distribution's own cdf; NaN stays
    d_plus = float((np.arange(1.0, n + 1) / n - cdf).max())
    d_minus = float((cdf - np.arange(0.0, n) / n).max())
    return d_plus if d_plus > d_minus else d_minus


def _statistics(events: Events, model: Model) -> FloatArray:
    """KS distance per dimension (NaN for a dimension without events)."""
    pooled = _residuals(events, model)
    return np.array([_ks_distance(v) if v.shape[0] else math.nan for v in pooled])


# -- the parametric bootstrap ----------------------------------------------------------------


def _replicate_seed(seed: int, replicate: int, realization: int) -> int:
    """The simulation seed of one realisation of one bootstrap dataset: a function of the
    three numbers alone, so a replicate is the same wherever and in whatever order it runs."""
    sequence = np.random.SeedSequence(seed, spawn_key=(replicate, realization))
    return int(sequence.generate_state(1, np.uint64)[0])


def _simulate_like(
    model: Model, windows: Sequence[tuple[float, float]], seed: int, replicate: int
) -> Events:
    """One bootstrap dataset: a realisation of `model` on each of the data's windows."""
    realizations = [
        model.simulate(end, seed=_replicate_seed(seed, replicate, k), start_time=start)[0]
        for k, (start, end) in enumerate(windows)
    ]
    return Events(realizations, model.n_dims)


def _bootstrap_batch(
    model: Model,
    windows: Sequence[tuple[float, float]],
    fixed: tuple[str, ...],
    options: dict[str, Any],
    seed: int,
    replicates: Sequence[int],
) -> list[tuple[int, FloatArray | str, bool]]:
    """Worker: simulate, refit and measure the replicates of one batch. Each outcome is
    (replicate, KS distance per dimension, refit converged) or (replicate, error text,
    False)."""
    out: list[tuple[int, FloatArray | str, bool]] = []
    for b in replicates:
        try:
            data = _simulate_like(model, windows, seed, b)
            refit = fit(data, model, fixed=list(fixed), **options)
            out.append((b, _statistics(data, refit.model), bool(refit.converged)))
        except Exception as exc:
            out.append((b, f"{type(exc).__name__}: {exc}", False))
    return out


def _bootstrap_pairs(*payload: Any) -> list[tuple[int, tuple[FloatArray | str, bool]]]:
    """Worker for the package's batch runner: the outcomes of `_bootstrap_batch` as
    (replicate, (statistics or error text, converged)) pairs."""
    return [(b, (value, ok)) for b, value, ok in _bootstrap_batch(*payload)]


def _pool(executor: Any) -> concurrent.futures.Executor | None:
    if executor is None:
        return None
    if type(executor).__module__.startswith("distributed") and hasattr(executor, "get_executor"):
        return executor.get_executor(pure=False)  # type: ignore[no-any-return]
    if isinstance(executor, concurrent.futures.Executor):
        return executor
    raise TypeError(
        "executor must be None, a concurrent.futures.Executor (e.g. a ProcessPoolExecutor) or "
        f"a dask.distributed.Client; got {type(executor).__name__}"
    )


def _refit_options(fit_options: Mapping[str, Any] | None) -> dict[str, Any]:
    options: dict[str, Any] = {"start": "model", "n_starts": 1, "seed": 0}
    if fit_options is None:
        return options
    if not isinstance(fit_options, Mapping):
        raise TypeError(f"fit_options must be a mapping; got {type(fit_options).__name__}")
    for key in ("fixed", "executor", "progress"):
        if key in fit_options:
            raise ValueError(
                f"fit_options must not set {key!r}: the refits hold the fit's own fixed "
                "parameters and run serially inside the bootstrap's workers"
            )
    options.update(fit_options)
    return options


def _run_bootstrap(
    result: FitResult,
    events: Events,
    n_boot: int,
    seed: int,
    executor: Any,
    progress: bool,
    options: dict[str, Any],
) -> tuple[FloatArray, FloatArray, list[str]]:
    """Bootstrap statistics (n_boot, n_dims), a converged flag per replicate (NaN when failed)
    and the distinct failure messages."""
    model = result.model
    windows = [(r.start_time, r.end_time) for r in events]
    # A family that cannot simulate, or an explosive fitted model, is told now, in this process.
    try:
        _simulate_like(model, windows, seed, 0)
    except (NotImplementedError, ValueError) as exc:
        raise type(exc)(
            f"the parametric bootstrap simulates from the fitted model, and here it cannot: "
            f"{exc}. Pass n_boot=0 for the plain KS test (conservative with estimated "
            "parameters)"
        ) from exc
    stats = np.full((n_boot, model.n_dims), math.nan)
    converged = np.full(n_boot, math.nan)
    failures: list[str] = []

    from ._executors import _run

    _pool(executor)  # the executor's type, checked with this function's message
    size = max(1, min(16, math.ceil(n_boot / 16)))
    batches = [range(i, min(i + size, n_boot)) for i in range(0, n_boot, size)]
    payloads = [(model, windows, result.fixed, options, seed, list(b)) for b in batches]
    outcomes = _run(
        executor, payloads, batches, "store", progress, "bootstrap refits", worker=_bootstrap_pairs
    )
    # In replicate order, whatever order the workers finished in.
    for b, (value, ok) in enumerate(outcomes):
        if isinstance(value, str):
            if value not in failures:
                failures.append(value)
            continue
        stats[b] = value
        converged[b] = float(ok)
    return stats, converged, failures


def goodness_of_fit(
    events: Events,
    model: FitResult | Model,
    *,
    n_boot: int | None = None,
    seed: int = 0,
    executor: Any = None,
    progress: bool = False,
    fit_options: Mapping[str, Any] | None = None,
) -> GoodnessOfFit:
    """Test a fitted model against its data with time-rescaled residuals.

    Parameters
    ----------
    events : Events
        The data (at least one event).
    model : FitResult or Model
        A :class:`~vostrel.FitResult` of a fit to `events`: the test is a parametric bootstrap
        (see the module documentation), calibrated for estimated parameters. A plain model:
        the plain KS test, exact for a model fixed in advance and conservative (p-values too
        large) when its parameters were estimated from `events`.
    n_boot : int, optional
        Bootstrap datasets (refits). Default 199 for a FitResult; 0 runs the plain KS test.
        A plain model accepts only 0.
    seed : int, default 0
        Seed of the bootstrap: dataset b, realisation k is simulated from the seed sequence
        (seed, spawn key (b, k)) of :class:`numpy.random.SeedSequence`.
    executor : optional
        None (serial, in this process), a :class:`concurrent.futures.Executor` such as a
        :class:`~concurrent.futures.ProcessPoolExecutor`, or a ``dask.distributed.Client``:
        the refits run there in batches. The result is the same, bit for bit, on any of them.
    progress : bool, default False
        A progress bar over the refits (the ``progress`` extra).
    fit_options : mapping, optional
        Passed to each refit's :func:`vostrel.fit` (``bounds``, ``max_iter``, ``n_starts``,
        ...). By default a refit starts once from the fitted model (``start="model"``,
        ``n_starts=1``) and holds the fit's fixed parameters at their values; bounds given to
        the original fit are not known to its result and must be passed here again.

    Returns
    -------
    GoodnessOfFit
        Residuals per dimension, KS statistics, p-values, the kind of test and its notes.

    Raises
    ------
    ValueError
        `events` holds no events; or the fitted model cannot be simulated (branching ratio
        of 1 or more).
    NotImplementedError
        The bootstrap was asked for a family without a simulator.

    Examples
    --------
    >>> import vostrel as vs
    >>> events = vs.Exponential(0.5, 0.6, 2.0).simulate(2000.0, seed=1)
    >>> result = vs.fit(events, vs.Exponential())
    >>> gof = vs.goodness_of_fit(events, result, n_boot=99, seed=1)
    >>> gof.passed()  # doctest: +SKIP
    True
    """
    bootstrap_source = model if isinstance(model, FitResult) else None
    fitted = model.model if isinstance(model, FitResult) else model
    _check(events, fitted)
    if n_boot is None:
        count = DEFAULT_N_BOOT if bootstrap_source is not None else 0
    else:
        count = as_int(n_boot, "n_boot", minimum=0)
    if count and bootstrap_source is None:
        raise ValueError(
            "n_boot > 0 needs a FitResult (the bootstrap refits with the fit's fixed "
            f"parameters); got a {type(fitted).__name__}: pass fit(...)'s result"
        )
    seed = as_seed(seed)
    options = _refit_options(fit_options)
    if events.n_events == 0:
        raise ValueError(
            "events holds no events: there are no residuals to test (a fit of no events "
            "says nothing about the model)"
        )
    pooled = _residuals(events, fitted)
    n = np.array([v.shape[0] for v in pooled], dtype=np.int64)
    statistics = np.full(len(pooled), math.nan)
    ks_p = np.full(len(pooled), math.nan)
    for m, values in enumerate(pooled):
        if values.shape[0]:
            statistics[m], ks_p[m] = _ks_exponential(values)
    labels = [str(x) for x in events.dim_names] if events.dim_names else None
    notes = [
        f"dimension {labels[m] if labels else m} has no events: it is not tested"
        for m in range(len(pooled))
        if n[m] == 0
    ]
    plain = GoodnessOfFit(
        residuals=tuple(pooled),
        statistics=statistics,
        p_values=ks_p.copy(),
        n=n,
        model_name=type(fitted).__name__,
        dim_names=events.dim_names,
        ks_p_values=ks_p,
    )
    if bootstrap_source is None or not count:
        if bootstrap_source is not None or n_boot == 0:
            notes.append(
                "the plain KS p-value assumes parameters fixed in advance; with parameters "
                "estimated from these data it is conservative (too large): pass the FitResult "
                "with n_boot > 0 for a calibrated test"
            )
        return dataclasses.replace(plain, notes=tuple(notes))

    if events.n_events != bootstrap_source.n_events:
        notes.append(
            f"these data hold {events.n_events} events and the fit's data "
            f"{bootstrap_source.n_events}: the bootstrap calibrates a test of a fit to the data "
            "tested, and its p-value says little here"
        )
    seed = int(seed)
    boot, converged, failures = _run_bootstrap(
        bootstrap_source, events, count, seed, executor, progress, options
    )
    p_values = np.full(len(pooled), math.nan)
    for m in range(len(pooled)):
        column = boot[:, m]
        usable = column[np.isfinite(column)]
        if math.isfinite(statistics[m]) and usable.shape[0]:
            p_values[m] = (1 + int(np.count_nonzero(usable >= statistics[m]))) / (
                usable.shape[0] + 1
            )
    n_failed = int(np.count_nonzero(np.isnan(converged)))
    n_not_converged = int(np.count_nonzero(converged == 0.0))
    if n_failed:
        worst = [
            (1 + int(np.count_nonzero(boot[:, m] >= statistics[m])) + n_failed) / (count + 1)
            for m in range(len(pooled))
        ]
        notes.append(
            f"{n_failed} of {count} bootstrap replicates failed (simulation or refit raised) and "
            "are left out; counted as at least as extreme the p-values would be "
            + ", ".join(f"{w:.3g}" for w in worst)
            + f"; first error: {failures[0]}"
        )
    if n_not_converged:
        notes.append(
            f"{n_not_converged} bootstrap refits ended without a verified optimum; their "
            "statistics are kept"
        )
    weights = np.sqrt(n.astype(np.float64))
    complete = np.all(np.isfinite(boot), axis=1)
    joint = math.nan
    if complete.any() and np.all(np.isfinite(statistics)):
        observed = float(np.max(weights * statistics))
        replicates = np.max(weights * boot[complete], axis=1)
        joint = (1 + int(np.count_nonzero(replicates >= observed))) / (replicates.shape[0] + 1)
    done = ~np.isnan(converged)
    empty = [
        m for m in range(len(pooled)) if n[m] and done.any() and np.all(np.isnan(boot[done, m]))
    ]
    if empty:
        notes.append(
            "no bootstrap dataset gave events in dimension(s) "
            + ", ".join(str(m) for m in empty)
            + ": no p-value"
        )
    return dataclasses.replace(
        plain,
        p_values=p_values,
        method=_BOOTSTRAP,
        n_boot=count,
        boot_statistics=boot,
        n_failed=n_failed,
        n_not_converged=n_not_converged,
        seed=seed,
        notes=tuple(notes),
        failures=tuple(failures),
        joint_p_value=joint,
    )
