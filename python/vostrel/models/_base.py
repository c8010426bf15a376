"""What every model shares: parameter metadata, the prepared form of the data, the flat parameter
vector that the fitting code optimises, and the numerical helpers (the exponential recursion in
vectorised form) that intensities and compensators use.

Units. A model's parameters are in the time unit of the data. For fitting, time is rescaled by a
power of two (exact in binary floating point) so that rates are of order one; `_scaled(s)` gives
the same model in the unit u = s·t, and every parameter declares how it scales (`time_power`).
"""

# Families declare the kind of each parameter on its field (`models._params`); the metadata,
# default bounds, constructor checks and default starts of Model are derived from those
# declarations.

from __future__ import annotations

import math
import warnings
from abc import ABC, abstractmethod
from collections.abc import Sequence
from dataclasses import dataclass, field, fields
from typing import TYPE_CHECKING, Any, ClassVar, TypeVar

import numpy as np

from .._checks import FloatArray, IntArray, as_index, float_array, fmt, positive_scalar
from ..events import Events, Realization
from ._params import Param, ParamInfo, check_fields, declarations, default_start
from ._params import check_at_least as check_at_least
from ._params import check_scalar as check_scalar
from ._params import param_vector as param_vector
from ._params import scalar_param as scalar_param
from ._params import set_field as set_field

if TYPE_CHECKING:
    from typing import Self

    from ..forecast import Forecast

__all__ = ["Model", "ParamInfo"]

M = TypeVar("M", bound="Model")


class ParamValues(dict[str, float]):
    """A model's parameters by flat name: a plain dict. Calling it, as when `Model.params` was a
    method, still returns the dict, with a DeprecationWarning."""

    def __call__(self) -> dict[str, float]:
        warnings.warn(
            "Model.params is a property: use model.params, not model.params()",
            DeprecationWarning,
            stacklevel=2,
        )
        return dict(self)

# Exponents below this give exactly +0 in double precision: skip the call.
_EXP_UNDERFLOW = -745.2


@dataclass
class Prepared:
    """Events in the form the likelihoods take: per realisation, times shifted to start at 0
    (and rescaled by `scale`), the window length, and dims and marks as stored. Built once per
    fit; native objects that precompute from the data are cached in `cache`."""

    times: list[FloatArray]
    horizons: list[float]
    dims: list[IntArray | None]
    marks: list[FloatArray | None]
    n_dims: int
    n_events: int
    scale: float
    cache: dict[Any, Any] = field(default_factory=dict)
    #: Each realisation's start time (rescaled): time-varying baselines read absolute time.
    starts: list[float] = field(default_factory=list)


def prepare(events: Events, scale: float = 1.0) -> Prepared:
    """Shift each realisation to start at 0 and multiply by `scale` (a power of two). A
    realisation that already starts at 0 with scale 1 is used as it is, without a copy."""
    times, horizons, dims, marks = [], [], [], []
    for r in events:
        t = r.times
        if r.start_time != 0.0 or scale != 1.0:
            t = (t - r.start_time) * scale
        times.append(t)
        horizons.append((r.end_time - r.start_time) * scale)
        dims.append(r.dims)
        marks.append(r.marks)
    starts = [r.start_time * scale for r in events]
    return Prepared(times, horizons, dims, marks, events.n_dims, events.n_events, scale, {}, starts)


def time_scale(events: Events) -> float:
    """A power of two s such that the mean event rate in units of s·t is close to one."""
    duration = events.total_duration
    n = max(events.n_events, 1)
    if 0 < duration and not math.isfinite(n / duration):
        raise ValueError(
            f"events: a total window of {fmt(duration)} time units is too short to compute with "
            f"({n} events in less than {fmt(2.0**-1022)}); measure time in a larger unit"
        )
    exponent = int(round(math.log2(n / duration))) if duration > 0 else 0
    return math.ldexp(1.0, max(-1000, min(1000, exponent)))


@dataclass(frozen=True)
class DataStats:
    """Summary of prepared data that sets default bounds and start values."""

    n_events: int
    duration: float  # total window length
    max_window: float
    min_gap: float  # smallest positive gap between consecutive events
    median_gap: float
    rate: float  # events per unit time over all dimensions
    max_lag: float  # largest lag between two events of one realisation

    def in_units(self, factor: float) -> DataStats:
        """The same summary with times multiplied by `factor`."""
        return DataStats(
            self.n_events,
            self.duration * factor,
            self.max_window * factor,
            self.min_gap * factor,
            self.median_gap * factor,
            self.rate / factor,
            self.max_lag * factor,
        )


def event_stats(events: Events) -> DataStats:
    """Summary of the events in their own time unit, read in blocks so that no copy of the
    whole event array is made."""
    block = 1 << 16
    minimum, samples = math.inf, []
    for r in events:
        t, n = r.times, r.n_events
        for low in range(0, n - 1, block):
            gaps = np.diff(t[low : min(low + block + 1, n)])
            gaps = gaps[gaps > 0]
            if gaps.size:
                minimum = min(minimum, float(np.min(gaps)))
        if n > 1:
            # The median only sets start values: a strided sample of a long series is enough.
            stride = max(1, (n - 1) // block)
            sample = t[1::stride][: (n - 2) // stride + 1] - t[: n - 1 : stride]
            samples.append(sample[sample > 0])
    pooled = np.concatenate(samples) if samples else np.empty(0)
    duration = events.total_duration
    max_window = max(r.duration for r in events)
    return DataStats(
        n_events=events.n_events,
        duration=duration,
        max_window=max_window,
        min_gap=minimum if math.isfinite(minimum) else max_window,
        median_gap=float(np.median(pooled)) if pooled.size else max_window,
        rate=events.n_events / duration,
        max_lag=max((float(r.times[-1] - r.times[0]) for r in events if r.n_events > 1), default=0.0),
    )


class Model(ABC):
    """Base of the frozen parameter objects.

    A model is immutable, picklable and compares by value. Subclasses are frozen dataclasses
    whose fields are the parameters (and structural settings such as bin edges); they provide
    the flat parameter vector used by :func:`vostrel.fit`, the likelihood over an
    :class:`~vostrel.Events`, the conditional intensity and the compensator.
    """

    #: Human-readable family name.
    family: ClassVar[str] = "model"
    #: Whether the native likelihood accepts marks (the marked model needs them).
    needs_marks: ClassVar[bool] = False
    #: Whether fits move the strictly positive parameters (rates, decays) as logarithms. The
    #: exponential families converge in fewer evaluations that way (sums of exponentials in
    #: about half); the power laws and the nonparametric kernel in fewer on the natural scale.
    _log_scale_fit: ClassVar[bool] = True
    def __post_init__(self) -> None:
        check_fields(self, declarations(type(self)))

    def _check_params(self, *names: str, sizes: dict[str, int] | None = None) -> dict[str, int]:
        """Check the declared fields `names`, in that order (for constructors that check
        settings of their own in between); returns the sizes of the shape symbols."""
        declared = {p.name: p for p in declarations(type(self))}
        return check_fields(self, [declared[name] for name in names], sizes)

    def _free_params(self) -> tuple[Param, ...]:
        """The declarations of the parameters this model fits, in vector order: the declared
        fields (see `models._params`), unless a setting such as a link or a decay mode changes
        them."""
        return declarations(type(self))

    # -- structure -----------------------------------------------------------------------------

    @property
    def n_dims(self) -> int:
        """Number of dimensions."""
        return 1

    def param_info(self) -> tuple[ParamInfo, ...]:
        """Metadata of each entry of the flat parameter vector, in order."""
        return tuple(
            info
            for p in self._free_params()
            for info in p.infos(np.shape(getattr(self, p.name)))
        )

    def _groups(self) -> list[str]:
        groups: list[str] = []
        for p in self.param_info():
            if p.group not in groups:
                groups.append(p.group)
        return groups

    def to_vector(self) -> FloatArray:
        """The free parameters as one flat float64 vector (order of :meth:`param_info`):
        each parameter field in turn, arrays flattened row by row."""
        return np.concatenate(
            [np.ravel(np.asarray(getattr(self, g), dtype=np.float64)) for g in self._groups()]
        )

    def with_vector(self, vector: Any) -> Self:
        """A model of the same structure with parameters taken from `vector`.

        Parameters
        ----------
        vector : array_like of float
            One value per entry of :meth:`param_info`, in its order.

        Returns
        -------
        Model
        """
        x = float_array(vector, "vector")
        expected = len(self.param_info())
        if x.shape[0] != expected:
            raise ValueError(
                f"vector must have {expected} entries for {type(self).__name__}; got {x.shape[0]}"
            )
        values = {f.name: getattr(self, f.name) for f in fields(self)}  # type: ignore[arg-type]
        offset = 0
        for group in self._groups():
            current = np.asarray(getattr(self, group))
            chunk = x[offset : offset + current.size]
            offset += current.size
            values[group] = float(chunk[0]) if current.ndim == 0 else chunk.reshape(current.shape)
        return type(self)(**values)

    @property
    def param_names(self) -> tuple[str, ...]:
        """Names of the entries of the flat parameter vector."""
        return tuple(p.name for p in self.param_info())

    @property
    def params(self) -> ParamValues:
        """The parameters as a mapping from flat name to value (a property, as
        :attr:`FitResult.params <vostrel.FitResult.params>` is)."""
        return ParamValues(zip(self.param_names, self.to_vector().tolist()))

    def rescale_time(self, factor: float) -> Self:
        """The same model with time measured in a unit `factor` times smaller (times multiplied
        by `factor`): rates divide by `factor`, lags multiply by it.

        Parameters
        ----------
        factor : float
            Positive factor applied to every time.

        Raises
        ------
        ValueError
            The model has no equivalent in another time unit (a nonlinear link such as
            softplus does not commute with a change of unit).
        """
        s = positive_scalar(factor, "factor")
        if not self._rescalable():
            raise ValueError(
                f"{self!r} has no equivalent model in another time unit: its likelihood is not "
                "invariant to a change of time unit; fit it to the data in the unit wanted"
            )
        try:
            return self._scaled(s)
        except ValueError as exc:
            raise ValueError(
                f"factor = {fmt(s)} takes a parameter of {type(self).__name__} out of the range "
                f"of double precision ({exc})"
            ) from None

    def _scaled(self, s: float) -> Self:
        info = self.param_info()
        x = self.to_vector()
        powers = np.array([p.time_power for p in info], dtype=np.float64)
        return self._with_structure_scaled(s).with_vector(x * np.power(s, powers))

    def _with_structure_scaled(self, s: float) -> Self:
        """Structural settings in time units (e.g. bin edges), rescaled; parameters untouched."""
        return self

    def _unscale_jacobian(self, x_scaled: FloatArray, s: float) -> FloatArray:
        """d(natural parameters)/d(parameters in units s·t), at `x_scaled`."""
        powers = np.array([p.time_power for p in self.param_info()], dtype=np.float64)
        return np.diag(np.power(s, -powers))

    def _rescalable(self) -> bool:
        """Whether rescaling time is an exact reparameterisation of this model."""
        return True

    def _boxes_survive_rescaling(self, bounded: set[int]) -> bool:
        """Whether user bounds on the parameters at these indices stay boxes after rescaling."""
        return True

    def _mode(self, free: Any) -> str:
        """How to evaluate the likelihood when only the parameters in `free` vary: a model may
        have a cheaper evaluation for some patterns of fixed parameters."""
        return "default"

    # -- statistics of the process -----------------------------------------------------------

    @property
    @abstractmethod
    def branching_ratio(self) -> float:
        """Expected number of direct offspring of an event (the kernel's L1 norm; for
        multivariate models the spectral radius of the matrix of L1 norms)."""

    @property
    def is_stationary(self) -> bool:
        """Whether the process is stationary (branching ratio below one)."""
        return self.branching_ratio < 1.0

    # -- likelihood ----------------------------------------------------------------------------

    def check_events(self, events: Events, argument: str = "events") -> None:
        """Raise if `events` cannot be evaluated under this model.

        Parameters
        ----------
        events : Events
        argument : str, default "events"
            The name the error messages give the data.
        """
        if not isinstance(events, Events):
            raise TypeError(
                f"{argument} must be a vostrel.Events; got {type(events).__name__} "
                "(build one with Events.from_arrays(times, end_time))"
            )
        if events.n_dims != self.n_dims:
            raise ValueError(
                f"{argument} has {events.n_dims} dimension(s) but the model has {self.n_dims}"
            )
        if self.needs_marks and not events.has_marks:
            raise ValueError(f"{argument} carries no marks, which {type(self).__name__} needs")

    def neg_log_likelihood(self, events: Events) -> float:
        """Negative log-likelihood of all realisations of `events` (summed in realisation
        order), each on its own window.

        Parameters
        ----------
        events : Events

        Returns
        -------
        float
        """
        self.check_events(events)
        data = prepare(events)
        return self._neg_ll(data, self.to_vector())

    def log_likelihood(self, events: Events) -> float:
        """Log-likelihood of all realisations of `events` (minus :meth:`neg_log_likelihood`).

        Parameters
        ----------
        events : Events

        Returns
        -------
        float
        """
        return -self.neg_log_likelihood(events)

    def _neg_ll(self, data: Prepared, x: FloatArray) -> float:
        return self._neg_ll_grad(data, x)[0]

    def _neg_ll_grad(
        self, data: Prepared, x: FloatArray, mode: str = "default"
    ) -> tuple[float, FloatArray]:
        """Negative log-likelihood and gradient over the flat vector `x`, in the data's units,
        summed over the realisations in order."""
        return self._combine(
            [self._piece(data, i, x, mode) for i in range(len(data.times))], x, mode
        )

    @abstractmethod
    def _piece(
        self, data: Prepared, index: int, x: FloatArray, mode: str
    ) -> tuple[float, FloatArray]:
        """One realisation's negative log-likelihood and raw gradient (what the native call
        returns, flattened). Pieces computed anywhere combine to the same bits."""

    def _combine(
        self, pieces: Sequence[tuple[float, FloatArray]], x: FloatArray, mode: str
    ) -> tuple[float, FloatArray]:
        """Sum pieces in realisation order, then map the raw gradient onto `x`."""
        total = 0.0
        raw = np.zeros(pieces[0][1].shape[0]) if pieces else np.zeros(x.shape[0])
        for value, gradient in pieces:
            total += value
            raw += gradient
        return total, self._finish(raw, x, mode)

    def _finish(self, raw: FloatArray, x: FloatArray, mode: str) -> FloatArray:
        return raw

    # -- intensity and compensator -------------------------------------------------------------

    @abstractmethod
    def _history(self, r: Realization) -> Any:
        """Whatever the intensity and compensator of one realisation need from its events."""

    @abstractmethod
    def _intensity_at(self, r: Realization, history: Any, t: FloatArray) -> FloatArray:
        """λ at times `t` (shape (P, M)), from the events strictly before each time."""

    @abstractmethod
    def _compensator_increments(self, r: Realization, history: Any) -> FloatArray:
        """Shape (N + 1, M): ∫ λ_m over (previous event or start, event i], and a last row for
        (last event, end]."""

    def intensity(self, events: Events, t: Any, realization: int = 0) -> FloatArray:
        """Conditional intensity at the times `t`, given the events of one realisation
        strictly before each time.

        Parameters
        ----------
        events : Events
        t : array_like of float
            Times inside the realisation's window.
        realization : int, default 0
            Which realisation of `events` supplies the history.

        Returns
        -------
        ndarray
            Shape ``(len(t),)`` for one-dimensional models, ``(len(t), M)`` otherwise.
        """
        self.check_events(events)
        r = events[as_index(realization, len(events), "realization")]
        times = float_array(t, "t")
        bad = ~np.isfinite(times)
        if bad.any():
            i = int(np.argmax(bad))
            raise ValueError(f"t[{i}] is {fmt(times[i])}; times must be finite")
        values = self._intensity_at(r, self._history(r), times)
        return values[:, 0] if self.n_dims == 1 else values

    def compensator(self, events: Events) -> list[FloatArray]:
        """Compensator at the events: for each realisation, Λ_m(t_i) = ∫ λ_m from the window's
        start to event i, where m is the event's own dimension.

        Parameters
        ----------
        events : Events

        Returns
        -------
        list of ndarray
            One array per realisation, aligned with its events.
        """
        self.check_events(events)
        out = []
        for r in events:
            increments = self._compensator_increments(r, self._history(r))
            totals = np.cumsum(increments[:-1], axis=0)
            out.append(totals[np.arange(r.n_events), r.dimension_indices()])
        return out

    # -- the kernel ----------------------------------------------------------------------------

    @abstractmethod
    def kernel(self, lags: Any) -> FloatArray:
        """Excitation kernel φ at the given lags (shape (L,), or (L, M, M) for multivariate
        models, cell [m, k] being the effect of dimension k on dimension m).

        Parameters
        ----------
        lags : array_like of float, shape (L,)
            Lags t; the kernel is 0 at negative lags.

        Returns
        -------
        ndarray
        """

    def kernel_support(self) -> float:
        """A lag beyond which the kernel is negligible (for plots)."""
        return 10.0

    # -- fitting hooks --------------------------------------------------------------------------

    def _default_bounds(self, stats: DataStats) -> list[tuple[float | None, float | None]]:
        """Default bounds of the flat vector for data in the given units."""
        bounds: list[tuple[float | None, float | None]] = []
        for p in self._free_params():
            bounds += [p.default_bounds(stats)] * int(np.size(getattr(self, p.name)))
        return bounds

    def _start(self, stats: DataStats, rng: np.random.Generator | None) -> FloatArray:
        """A start vector: from simple moments of the data when `rng` is None, else random."""
        return default_start(self._free_params(), stats, rng)

    def _notes(self, x: FloatArray, se: FloatArray, stats: DataStats) -> list[str]:
        """Identifiability remarks about an estimate (natural units)."""
        return []

    def _amplitude_pairs(self) -> list[tuple[list[int], int]]:
        """(amplitudes, decay): the decay at that index is not identified when every amplitude
        listed is exactly zero."""
        return []

    def _unidentified(self, x: FloatArray) -> Any:
        """Mask of parameters that the likelihood does not depend on at `x`."""
        out = np.zeros(x.shape[0], dtype=bool)
        for amplitudes, decay_index in self._amplitude_pairs():
            if np.all(x[amplitudes] == 0.0):
                out[decay_index] = True
        return out

    def _canonical(self, x: FloatArray) -> FloatArray:
        """A permutation matrix that puts equivalent estimates in canonical order (e.g. sorting
        sum-of-exponential components by decay); identity by default."""
        return np.eye(x.shape[0])

    def _branching_ratio_for(self, events: Events) -> float:
        return self.branching_ratio

    # -- simulation ----------------------------------------------------------------------------

    def simulate(
        self,
        end_time: float,
        *,
        seed: int,
        n: int = 1,
        start_time: float = 0.0,
    ) -> Events:
        """Simulate `n` realisations on [start_time, end_time).

        Parameters
        ----------
        end_time : float
            End of each window.
        seed : int
            Non-negative seed. Realisation k uses the seed sequence (seed, spawn key k) of
            :class:`numpy.random.SeedSequence`, so it is the same whatever `n` is and wherever
            it is computed.
        n : int, default 1
            Number of realisations.
        start_time : float, default 0.0
            Start of each window.

        Returns
        -------
        Events
            Valid input for :func:`vostrel.fit`: events that rounding to doubles left at one
            time are moved apart by a unit in the last place, in the simulator's order.

        Raises
        ------
        ValueError
            The branching ratio is 1 or more: the process would grow without bound.
        MemoryError
            The expected events of `n` realisations exceed the memory budget (checked before
            anything is drawn).
        NotImplementedError
            This model has no simulator.
        """
        end, start, seed, count = self._check_simulation(end_time, start_time, seed, n)
        return Events(
            [self._simulate_realization(end, start, seed, k) for k in range(count)], self.n_dims
        )

    def forecast(
        self,
        events: Events,
        horizon: float,
        n_paths: int,
        *,
        seed: int,
        realization: int = 0,
        executor: Any = None,
        batch_size: int | None = None,
        progress: bool = False,
    ) -> Forecast:
        """Simulate `n_paths` continuations of an observed realisation over [T, T + horizon),
        given its events up to its end T; see :func:`vostrel.forecast.forecast`.

        Parameters
        ----------
        events : Events
            The observed history.
        horizon : float
            Length of the forecast window (> 0), in the data's time unit.
        n_paths : int
            Number of paths.
        seed : int
            Non-negative seed. Path k uses the seed sequence (seed, spawn key
            (realization, k)) of :class:`numpy.random.SeedSequence`, so a path does not depend
            on `n_paths`, the executor or the batch size.
        realization : int, default 0
            Which realisation of `events` to continue.
        executor : optional
            None, a ``concurrent.futures`` executor or a ``dask.distributed.Client``: the paths
            are drawn in batches there; the result is the same bits whatever the executor.
        batch_size : int, optional
            Paths per task.
        progress : bool, default False
            Show a progress bar (the ``progress`` extra).

        Returns
        -------
        vostrel.forecast.Forecast
            The paths, with their summaries and a fan chart.

        Raises
        ------
        NotImplementedError
            The model has no simulator.
        ValueError
            A branching ratio of 1 or more, or bad arguments.
        """
        from ..forecast import forecast

        return forecast(
            self,
            events,
            horizon,
            n_paths,
            seed=seed,
            realization=realization,
            executor=executor,
            batch_size=batch_size,
            progress=progress,
        )

    def _check_simulation(
        self, end_time: float, start_time: float, seed: int, n: int
    ) -> tuple[float, float, int, int]:
        from ._simulate import check_simulation

        if type(self)._simulate_realization is Model._simulate_realization:
            raise NotImplementedError(f"{type(self).__name__} has no simulator")
        return check_simulation(
            self.branching_ratio, end_time, start_time, seed, n, baseline=getattr(self, "mu", None)
        )

    def _simulate_realization(self, end: float, start: float, seed: int, index: int) -> Realization:
        """Realisation number `index` of a simulation with `seed` (arguments checked)."""
        raise NotImplementedError(f"{type(self).__name__} has no simulator")

    # -- value semantics ------------------------------------------------------------------------

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        for f in fields(self):  # type: ignore[arg-type]
            a, b = getattr(self, f.name), getattr(other, f.name)
            if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
                if not np.array_equal(a, b):
                    return False
            elif a != b:
                return False
        return True

    def __hash__(self) -> int:
        return hash((type(self).__name__, self.to_vector().tobytes()))

    def __reduce__(self) -> tuple[Any, ...]:
        # Through the constructor, so that unpickled arrays are read-only again.
        return (type(self), tuple(getattr(self, f.name) for f in fields(self)))  # type: ignore[arg-type]

    def __repr__(self) -> str:
        return fields_repr(self)


# -- conversions for model fields -----------------------------------------------------------------


def fields_repr(obj: Any) -> str:
    """``Name(field=value, ...)`` of a frozen dataclass: arrays abbreviated, floats to six
    significant digits."""
    parts = []
    for f in fields(obj):
        value = getattr(obj, f.name)
        if isinstance(value, np.ndarray):
            text = np.array2string(value, precision=6, separator=", ", threshold=20)
            parts.append(f"{f.name}={text}")
        elif isinstance(value, float):
            parts.append(f"{f.name}={value:.6g}")
        else:
            parts.append(f"{f.name}={value!r}")
    return f"{type(obj).__name__}({', '.join(parts)})"


# -- numerical helpers ----------------------------------------------------------------------------


def linear_recurrence(a: FloatArray, b: FloatArray) -> FloatArray:
    """x_i = a_i·x_{i-1} + b_i with x_{-1} = 0, along the first axis (any trailing shape).

    Computed in O(N) vector work with about 2·√N Python steps: the sequence is cut into blocks,
    each block's recursion runs in lockstep across blocks, and the values carried into each block
    are then propagated. With a, b ≥ 0 (decays and unit jumps) every operation adds or multiplies
    non-negative numbers, so nothing cancels.
    """
    n = a.shape[0]
    if n == 0:
        return np.zeros_like(b)
    length = max(1, math.isqrt(n))
    blocks = -(-n // length)
    pad = blocks * length - n
    tail = a.shape[1:]
    if pad:
        a = np.concatenate([a, np.ones((pad, *tail))])
        b = np.concatenate([b, np.zeros((pad, *tail))])
    # Position k of every block side by side: row k holds the k-th element of each block.
    a2 = np.ascontiguousarray(np.swapaxes(a.reshape(blocks, length, *tail), 0, 1))
    b2 = np.ascontiguousarray(np.swapaxes(b.reshape(blocks, length, *tail), 0, 1))
    x = np.empty_like(b2)
    p = np.empty_like(a2)
    x[0] = b2[0]
    p[0] = a2[0]
    for k in range(1, length):
        np.multiply(a2[k], x[k - 1], out=x[k])
        x[k] += b2[k]
        np.multiply(a2[k], p[k - 1], out=p[k])
    # Value entering each block.
    carry = np.zeros((blocks, *tail))
    ends, products = x[-1], p[-1]
    state = np.zeros(tail)
    for j in range(1, blocks):
        state = products[j - 1] * state + ends[j - 1]
        carry[j] = state
    x += p * carry[None]
    return np.swapaxes(x, 0, 1).reshape(blocks * length, *tail)[:n]


def decay(exponent: FloatArray) -> FloatArray:
    """exp(exponent) for exponents ≤ 0, with underflowing ones answered directly."""
    out = np.zeros_like(exponent)
    live = exponent > _EXP_UNDERFLOW
    np.exp(exponent, out=out, where=live)
    return out


def previous_index(times: FloatArray, t: FloatArray) -> IntArray:
    """For each query time, the index of the last event strictly before it (-1 if none)."""
    return np.searchsorted(times, t, side="left").astype(np.int64) - 1


def gauss_legendre(n: int) -> tuple[FloatArray, FloatArray]:
    legendre: Any = np.polynomial.legendre  # untyped in older NumPy stubs
    nodes, weights = legendre.leggauss(n)
    return 0.5 * (nodes + 1.0), 0.5 * weights
