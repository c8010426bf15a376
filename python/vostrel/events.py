"""Event data: one or more realisations of an M-dimensional point process.

`Events` is validated once, when it is built, and is immutable afterwards: every array it holds is
a private float64 (or int64) copy that neither the caller nor anybody else can write to. Each
realisation carries its own observation window [start_time, end_time]; the end time is always
given by the caller and never inferred from the last event (doing so biases the baseline rate).

Tied times
----------
Two events at exactly the same time (in any dimensions of one realisation) are refused by
default (``ties="error"``): the likelihoods disagree on whether a simultaneous event excites its
twin, so ties make results depend on the model's implementation rather than on the data.

Ties usually come from the resolution at which times were recorded: a timestamp in whole seconds
stands for some instant in that second. ``ties="jitter"`` with a ``seed`` reads a tied time t as
an unknown instant of [t, t + resolution) and draws one, uniformly and reproducibly, for every
event of the tie group (the others stay where they are). The resolution is the largest power of
ten (from 10^9 down to 10^-9, and no longer than the window) on whose grid every time of the
realisation lies, found separately for each realisation; when the times lie on no such grid it is
the smallest gap between distinct times. Pass ``resolution=`` to set it. No event moves by as much
as the resolution, nor as far as the next distinct time; a tie at the window's end is spread
backwards over (t - resolution, t] instead. The group's event order is then the order of the
jittered times. Jitter draws of realisation r depend only on ``(seed, r)``.

What this does to estimates: the jitter adds noise below the resolution, so parameters of
time scales well above it barely move between seeds, while a tie group becomes a burst of events
less than one resolution apart, and a kernel with a fast component will fit that burst. Measured
on one year of commit times in whole seconds (3,522 events in 133 tie groups of up to 41, 492
events tied with their predecessor; ``bench/bench_ties.py``), an exponential model fitted after
jitter with seeds 0 to 19 gave a decay β between 2.44 and 2.65 per second (a spread of 9%) and a
branching ratio α between 0.156 and 0.157: the single decay locks onto the sub-second bursts. The
earlier rule of spreading ties over half the gap to the next time moved events by up to 10.9
hours and gave β between 0.0025 and 0.0028 per second (a spread of 15%) with α near 0.35, and one
event per distinct time gives β = 0.00032 and α = 0.50. So the seed matters little, but how ties
are read matters a great deal: if a tie group is one action recorded several times, keep one
event per group (perhaps with the group's size as a mark); if the events are distinct, jitter
and prefer a model with a fast and a slow time scale (SumExponential), and compare a few seeds.
"""

from __future__ import annotations

import math
import numbers
import reprlib
import weakref
from collections.abc import Hashable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, overload

import numpy as np

from ._checks import (
    FloatArray,
    IndexRangeError,
    IntArray,
    as_index,
    as_seed,
    check_memory,
    finite_scalar,
    first_index,
    float_array,
    fmt,
    format_count,
    freeze,
    int_array,
    optional_import,
    position,
    positive_scalar,
    require_finite,
)

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["Events", "Realization", "TiesPolicy"]

#: What the constructors of `Events` do with events at identical times.
TiesPolicy = Literal["error", "jitter"]

_TIME_UNITS = ("D", "h", "min", "s", "ms", "us", "ns")


@dataclass(frozen=True, eq=False, repr=False)
class Realization:
    """One observed realisation: event times on the window [start_time, end_time].

    Attributes
    ----------
    times : ndarray of float64, read-only
        Event times of all dimensions, ascending, inside the window.
    end_time, start_time : float
        The observation window.
    dims : ndarray of int64, read-only, or None
        The dimension of each event (None for one-dimensional data, meaning all zero).
    marks : ndarray of float64, read-only, or None
        A mark per event, when the data carry marks.
    """

    times: FloatArray
    end_time: float
    start_time: float = 0.0
    dims: IntArray | None = None
    marks: FloatArray | None = None

    @property
    def n_events(self) -> int:
        """Number of events in this realisation."""
        return int(self.times.shape[0])

    @property
    def duration(self) -> float:
        """Length of the observation window."""
        return self.end_time - self.start_time

    def dimension_indices(self) -> IntArray:
        """The dimension of every event (zeros for one-dimensional data)."""
        if self.dims is None:
            return freeze(np.zeros(self.n_events, dtype=np.int64))
        return self.dims

    def __reduce__(self) -> tuple[Any, ...]:
        return (
            _restore_realization,
            (self.times, self.end_time, self.start_time, self.dims, self.marks),
        )

    def __repr__(self) -> str:
        if self not in _VALIDATED:
            # Built by hand and not checked yet (Events checks it): show what it holds.
            return (
                f"Realization(times={reprlib.repr(self.times)}, end_time={self.end_time!r}, "
                f"start_time={self.start_time!r}, not validated)"
            )
        return (
            f"Realization(n_events={self.n_events}, "
            f"window=[{fmt(self.start_time)}, {fmt(self.end_time)}])"
        )


# Realisations built by this module (validated, holding private read-only copies). `Events`
# takes these as they are and validates and copies any other.
_VALIDATED: weakref.WeakSet[Realization] = weakref.WeakSet()


def _validated(r: Realization) -> Realization:
    _VALIDATED.add(r)
    return r


def _checked(r: Any, n_dims: int, index: int) -> Realization:
    """A realisation for `Events(realizations, n_dims)`: one built by this module as it is, any
    other validated and copied (whatever its arrays' flags say)."""
    if not isinstance(r, Realization):
        raise TypeError(
            f"realizations[{index}] must be a Realization; build Events with "
            "Events.from_arrays or Events.from_realizations"
        )
    if r in _VALIDATED and (r.dims is None) == (n_dims == 1):
        if r.dims is None or _n_dims_of(r.dims) <= n_dims:
            return r
    return _build(_raw_of(r), n_dims, _Where(f"realizations[{index}]."), _NO_TIES, index)


def _restore_realization(
    times: FloatArray,
    end_time: float,
    start_time: float,
    dims: IntArray | None,
    marks: FloatArray | None,
) -> Realization:
    # Unpickled arrays come back writeable; the data were validated when first built.
    return _validated(
        Realization(
            freeze(np.array(times, dtype=np.float64)),
            float(end_time),
            float(start_time),
            None if dims is None else freeze(np.array(dims, dtype=np.int64)),
            None if marks is None else freeze(np.array(marks, dtype=np.float64)),
        )
    )


class Events:
    """One or more realisations of an M-dimensional point process.

    Build it with one of the constructors: :meth:`from_arrays` (one realisation, merged times
    with an optional dimension per event), :meth:`from_dimensions` (one array per dimension),
    :meth:`from_realizations` (several realisations, each with its own window) or
    :meth:`from_dataframe` (a pandas table). All of them validate the data once: times finite,
    ascending and inside their window; dimensions in range; marks finite; ties handled by the
    ``ties`` policy (see the module documentation).

    An `Events` object is immutable and picklable; indexing gives a :class:`Realization`
    (or, with a slice or a list of indices, a new `Events`).

    Examples
    --------
    >>> import numpy as np
    >>> from vostrel import Events
    >>> ev = Events.from_arrays(np.array([0.5, 1.2, 3.0]), end_time=5.0)
    >>> ev
    Events(1 realization, 1 dimension, 3 events, window [0, 5])
    """

    __slots__ = (
        "_dim_names",
        "_n_dims",
        "_realization_names",
        "_realizations",
        "_time_origin",
        "_time_unit",
    )

    _realizations: tuple[Realization, ...]
    _n_dims: int
    _dim_names: tuple[Hashable, ...] | None
    _realization_names: tuple[Hashable, ...] | None
    _time_origin: Any
    _time_unit: str | None

    def __init__(
        self,
        realizations: Sequence[Realization],
        n_dims: int,
        *,
        dim_names: Sequence[Hashable] | None = None,
        realization_names: Sequence[Hashable] | None = None,
        time_origin: Any = None,
        time_unit: str | None = None,
    ) -> None:
        # A realisation built by hand is validated and copied here, whatever its arrays are
        # (read-only ones included): only realisations built by this module are taken as they are.
        if isinstance(realizations, (Realization, Mapping, str, bytes)) or not isinstance(
            realizations, Sequence
        ):
            raise TypeError(
                "realizations must be a list of Realization; build Events with "
                "Events.from_arrays or Events.from_realizations"
            )
        if not realizations:
            raise ValueError(
                "realizations must not be empty: an Events object needs at least one realisation"
            )
        m = _resolve_n_dims(n_dims, [], len(realizations))
        checked = [_checked(r, m, index) for index, r in enumerate(realizations)]
        if len({r.marks is not None for r in checked}) > 1:
            raise ValueError("either every realisation carries marks or none does")
        self._set(checked, m, dim_names, realization_names, time_origin, time_unit)

    def _set(
        self,
        realizations: Sequence[Realization],
        n_dims: int,
        dim_names: Sequence[Hashable] | None,
        realization_names: Sequence[Hashable] | None,
        time_origin: Any,
        time_unit: str | None,
    ) -> None:
        object.__setattr__(self, "_realizations", tuple(realizations))
        object.__setattr__(self, "_n_dims", int(n_dims))
        object.__setattr__(self, "_dim_names", None if dim_names is None else tuple(dim_names))
        object.__setattr__(
            self,
            "_realization_names",
            None if realization_names is None else tuple(realization_names),
        )
        object.__setattr__(self, "_time_origin", time_origin)
        object.__setattr__(self, "_time_unit", time_unit)

    @classmethod
    def _of(
        cls,
        realizations: Sequence[Realization],
        n_dims: int,
        *,
        dim_names: Sequence[Hashable] | None = None,
        realization_names: Sequence[Hashable] | None = None,
        time_origin: Any = None,
        time_unit: str | None = None,
    ) -> Events:
        """Events of realisations that this module has just validated (no second pass)."""
        events = cls.__new__(cls)
        events._set(realizations, n_dims, dim_names, realization_names, time_origin, time_unit)
        return events

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"Events is immutable; cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"Events is immutable; cannot delete {name!r}")

    # -- constructors -------------------------------------------------------------------------

    @classmethod
    def from_arrays(
        cls,
        times: Any,
        end_time: float,
        *,
        start_time: float = 0.0,
        dims: Any = None,
        marks: Any = None,
        n_dims: int | None = None,
        ties: TiesPolicy = "error",
        seed: int | None = None,
        resolution: float | None = None,
    ) -> Events:
        """One realisation from an array of times.

        Parameters
        ----------
        times : array_like of float, shape (N,)
            Event times of all dimensions, ascending.
        end_time : float
            End of the observation window (required; never inferred from the data).
        start_time : float, default 0.0
            Start of the observation window.
        dims : array_like of int, shape (N,), optional
            Dimension of each event, in ``[0, n_dims)``; omit for one-dimensional data.
        marks : array_like of float, shape (N,), optional
            A finite mark per event.
        n_dims : int, optional
            Number of dimensions; by default one more than the largest entry of `dims`.
        ties : {"error", "jitter"}, default "error"
            What to do with events at identical times: refuse them, or spread each tie group
            at random within the data's resolution (see the module documentation, which also
            says what jitter does to estimates).
        seed : int, optional
            Seed of the jitter (a non-negative integer); required with ``ties="jitter"``.
        resolution : float, optional
            With ``ties="jitter"``: the resolution at which the times were recorded (1.0 for
            whole seconds when times are in seconds). By default it is inferred from the times.
            No event moves by as much as this.

        Returns
        -------
        Events

        Raises
        ------
        TypeError
            A missing end time, or times, dims or marks of the wrong type.
        ValueError
            Unsorted, non-finite or out-of-window times, dimensions out of range, arrays of
            different lengths, or tied times under ``ties="error"``. The message names the
            argument and the first offending position.
        MemoryError
            Arrays, or an `n_dims`, larger than the memory budget (checked before any work).
        """
        policy = _tie_policy(ties, seed, resolution)
        m = _resolve_n_dims(n_dims, [dims])
        raw = _Raw(times, end_time, start_time, dims, marks)
        return cls._of([_build(raw, m, _Where(""), policy, 0)], m)

    @classmethod
    def from_dimensions(
        cls,
        times: Sequence[Any],
        end_time: float,
        *,
        start_time: float = 0.0,
        ties: TiesPolicy = "error",
        seed: int | None = None,
        resolution: float | None = None,
    ) -> Events:
        """One realisation from one array of times per dimension.

        Parameters
        ----------
        times : sequence of array_like
            ``times[m]`` holds the ascending event times of dimension m.
        end_time : float
            End of the observation window (required).
        start_time : float, default 0.0
            Start of the observation window.
        ties, seed, resolution
            As in :meth:`from_arrays`.

        Returns
        -------
        Events
        """
        policy = _tie_policy(ties, seed, resolution)
        if (
            isinstance(times, (np.ndarray, str, bytes))
            or not isinstance(times, Sequence)
            or not len(times)
        ):
            raise TypeError(
                "times must be a non-empty list with one array of event times per dimension"
            )
        m = _resolve_n_dims(len(times), [])
        per_dim = []
        for k, values in enumerate(times):
            array = float_array(values, f"times[{k}]")
            require_finite(array, f"times[{k}]")
            _check_sorted(array, f"times[{k}]")
            per_dim.append(array)
        merged = np.concatenate(per_dim)
        dims = np.concatenate(
            [np.full(a.shape[0], k, dtype=np.int64) for k, a in enumerate(per_dim)]
        )
        order = np.argsort(merged, kind="stable")
        raw = _Raw(merged[order], end_time, start_time, dims[order], None)
        return cls._of([_build(raw, m, _Where(""), policy, 0)], m)

    @classmethod
    def from_realizations(
        cls,
        realizations: Sequence[Events | Realization | Mapping[str, Any]],
        *,
        n_dims: int | None = None,
        ties: TiesPolicy = "error",
        seed: int | None = None,
        resolution: float | None = None,
    ) -> Events:
        """Several realisations, each with its own window.

        Parameters
        ----------
        realizations : sequence
            Each item is an `Events` (all its realisations are taken, in order), a
            :class:`Realization`, or a mapping with the keys ``times`` and ``end_time`` and
            optionally ``start_time``, ``dims`` and ``marks`` (as in :meth:`from_arrays`).
        n_dims : int, optional
            Number of dimensions; by default the largest needed by any realisation.
        ties, seed, resolution
            As in :meth:`from_arrays`; jitter draws of realisation r depend only on
            ``(seed, r)``, and the resolution is inferred for each realisation.

        Returns
        -------
        Events
        """
        policy = _tie_policy(ties, seed, resolution)
        if isinstance(realizations, (Mapping, np.ndarray, str, bytes)) or not isinstance(
            realizations, Sequence
        ):
            raise TypeError("realizations must be a list of Events, Realization or mappings")
        if not realizations:
            raise ValueError("realizations must not be empty")
        items = _realization_items(realizations)
        needed = max(k for _, _, k in items)
        if n_dims is None:
            _check_dims_memory(needed, len(items), "dims", "the largest entry makes")
        m = needed if n_dims is None else _resolve_n_dims(n_dims, [], len(items))
        if m < needed:
            raise ValueError(f"n_dims = {m} but the data have {needed} dimensions")
        result = [
            _build(raw, m, _Where(f"{where}."), policy, r)
            for r, (where, raw, _) in enumerate(items)
        ]
        if len({r.marks is not None for r in result}) > 1:
            raise ValueError("either every realisation carries marks or none does")
        return cls._of(result, m)

    @classmethod
    def from_dataframe(
        cls,
        frame: pd.DataFrame,
        *,
        end_time: Any,
        time: str = "time",
        dim: str | None = None,
        realization: str | None = None,
        mark: str | None = None,
        start_time: Any = None,
        unit: str = "s",
        n_dims: int | None = None,
        ties: TiesPolicy = "error",
        seed: int | None = None,
        resolution: float | None = None,
    ) -> Events:
        """Events from a pandas DataFrame with one row per event.

        Rows need not be in time order: they are sorted (stably) by time within each
        realisation.

        Parameters
        ----------
        frame : pandas.DataFrame
        end_time : scalar or mapping
            End of the observation window: one value for every realisation, or a mapping (dict
            or Series) from realisation label to its end time. A label in the mapping without
            any row becomes an empty realisation.
        time : str, default "time"
            Column of event times: numbers, or datetimes (naive or time-zone aware).
        dim : str, optional
            Column of dimensions: integers in ``[0, n_dims)``, or any labels, which are
            numbered in sorted order (the labels are kept in :attr:`dim_names`).
        realization : str, optional
            Column naming the realisation of each row; realisations are ordered by label.
        mark : str, optional
            Column of marks.
        start_time : scalar or mapping, optional
            Start of each window, like `end_time`. Defaults to 0 for numeric times; required for
            datetimes.
        unit : {"D", "h", "min", "s", "ms", "us", "ns"}, default "s"
            For datetimes: the unit of the float offsets. Offsets are measured from the earliest
            start time (kept in :attr:`time_origin`), so float precision is spent on the data,
            not on the epoch.
        n_dims, ties, seed, resolution
            As in :meth:`from_arrays` (`resolution` in the float unit of the times: with
            datetimes, in `unit`).

        Returns
        -------
        Events
        """
        pd = _import_pandas()
        policy = _tie_policy(ties, seed, resolution)
        _check_frame(pd, frame, {"time": time, "dim": dim, "realization": realization, "mark": mark})
        if unit not in _TIME_UNITS:
            raise ValueError(f"unit must be one of {', '.join(_TIME_UNITS)}; got {unit!r}")
        if end_time is None:
            raise TypeError("end_time is required: the end of every observation window")
        column = frame[time]
        is_datetime = _check_time_column(pd, column, time)
        labels, groups = _frame_groups(pd, frame, realization, end_time, start_time)
        windows = _Windows(pd, end_time, start_time)
        clock = _Clock.of(pd, column, time, windows, labels, unit) if is_datetime else None
        dim_values, dim_names = _frame_dims(pd, frame, dim, n_dims)
        m = _resolve_n_dims(n_dims, [dim_values], len(labels))
        times_all = np.asarray(column if clock is None else clock.offsets(column), dtype=np.float64)
        marks_all = _frame_marks(pd, frame, mark)
        row_labels = frame.index.to_numpy()
        realizations = []
        for r, label in enumerate(labels):
            rows = groups[label]
            order = rows[np.argsort(times_all[rows], kind="stable")]
            start, end = windows.of(label, clock)
            raw = _Raw(
                times_all[order],
                end,
                start,
                None if dim_values is None else dim_values[order],
                None if marks_all is None else marks_all[order],
            )
            where = _Where("" if realization is None else f"realization {_plain(label)!r}: ",
                           row_labels[order])
            realizations.append(_build(raw, m, where, policy, r))
        return cls._of(
            realizations,
            m,
            dim_names=dim_names,
            realization_names=None if realization is None else labels,
            time_origin=None if clock is None else clock.origin,
            time_unit=None if clock is None else unit,
        )

    # -- access -------------------------------------------------------------------------------

    @property
    def n_dims(self) -> int:
        """Number of dimensions M."""
        return self._n_dims

    @property
    def n_realizations(self) -> int:
        """Number of realisations."""
        return len(self._realizations)

    @property
    def n_events(self) -> int:
        """Total number of events over all realisations."""
        return sum(r.n_events for r in self._realizations)

    @property
    def counts(self) -> IntArray:
        """Events per realisation and dimension, shape (n_realizations, n_dims)."""
        out = np.zeros((len(self._realizations), self._n_dims), dtype=np.int64)
        for i, r in enumerate(self._realizations):
            out[i] = np.bincount(r.dimension_indices(), minlength=self._n_dims)
        return out

    @property
    def start_times(self) -> FloatArray:
        """Start of each realisation's window."""
        return np.array([r.start_time for r in self._realizations])

    @property
    def end_times(self) -> FloatArray:
        """End of each realisation's window."""
        return np.array([r.end_time for r in self._realizations])

    @property
    def total_duration(self) -> float:
        """Sum of the window lengths."""
        return math.fsum(r.duration for r in self._realizations)

    @property
    def has_marks(self) -> bool:
        """Whether the events carry marks."""
        return self._realizations[0].marks is not None

    @property
    def dim_names(self) -> tuple[Hashable, ...] | None:
        """Labels of the dimensions, when built from labelled data."""
        return self._dim_names

    @property
    def realization_names(self) -> tuple[Hashable, ...] | None:
        """Labels of the realisations, when built from labelled data."""
        return self._realization_names

    @property
    def time_origin(self) -> Any:
        """For data built from datetimes: the instant that time 0 stands for."""
        return self._time_origin

    @property
    def time_unit(self) -> str | None:
        """For data built from datetimes: the unit of the float times."""
        return self._time_unit

    def times_by_dim(self, realization: int = 0) -> list[FloatArray]:
        """The event times of one realisation split by dimension (fresh arrays).

        Parameters
        ----------
        realization : int, default 0
            Which realisation.

        Returns
        -------
        list of ndarray
            ``times[m]`` holds the times of dimension m.
        """
        r = self._realizations[as_index(realization, len(self), "realization")]
        if r.dims is None:
            return [np.array(r.times)]
        return [r.times[r.dims == m] for m in range(self._n_dims)]

    def __len__(self) -> int:
        return len(self._realizations)

    def __iter__(self) -> Iterator[Realization]:
        return iter(self._realizations)

    @overload
    def __getitem__(self, index: int) -> Realization: ...

    @overload
    def __getitem__(self, index: slice | Sequence[int]) -> Events: ...

    def __getitem__(self, index: int | slice | Sequence[int]) -> Realization | Events:
        n = len(self._realizations)
        if isinstance(index, (int, np.integer)) and not isinstance(index, (bool, np.bool_)):
            if not -n <= index < n:
                raise IndexRangeError(
                    f"realisation index {int(index)} is out of range for {n} realisation(s)"
                )
            return self._realizations[index]
        if isinstance(index, slice):
            chosen = list(range(n))[index]
        elif isinstance(index, (str, bytes, Mapping)) or not isinstance(
            index, (Sequence, np.ndarray)
        ):
            raise TypeError(
                f"Events indices must be integers, slices or lists of integers; got "
                f"{type(index).__name__}"
            )
        else:
            chosen = [as_index(i, n, "index") for i in index]
        if not chosen:
            raise ValueError("an empty selection of realisations: Events needs at least one")
        names = self._realization_names
        return Events(
            [self._realizations[i] for i in chosen],
            self._n_dims,
            dim_names=self._dim_names,
            realization_names=None if names is None else [names[i] for i in chosen],
            time_origin=self._time_origin,
            time_unit=self._time_unit,
        )

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Events):
            return NotImplemented
        if (
            self._n_dims != other._n_dims
            or len(self) != len(other)
            or self._dim_names != other._dim_names
            or self._realization_names != other._realization_names
        ):
            return False
        for a, b in zip(self, other):
            if (a.start_time, a.end_time) != (b.start_time, b.end_time):
                return False
            for x, y in ((a.times, b.times), (a.dims, b.dims), (a.marks, b.marks)):
                if (x is None) != (y is None):
                    return False
                if x is not None and y is not None and not np.array_equal(x, y):
                    return False
        return True

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[Any, ...]:
        return (
            _restore_events,
            (
                self._realizations,
                self._n_dims,
                self._dim_names,
                self._realization_names,
                self._time_origin,
                self._time_unit,
            ),
        )

    def __repr__(self) -> str:
        n = len(self)
        starts, ends = self.start_times, self.end_times
        if n == 1:
            window = f"window [{fmt(starts[0])}, {fmt(ends[0])}]"
        else:
            window = f"total duration {self.total_duration:.6g}"
        marks = ", marked" if self.has_marks else ""
        return (
            f"Events({n} realization{'s' if n != 1 else ''}, {self._n_dims} dimension"
            f"{'s' if self._n_dims != 1 else ''}, {self.n_events} events{marks}, {window})"
        )

    def _repr_html_(self) -> str:
        counts = self.counts
        rows = "".join(
            f"<tr><td>{i if self._realization_names is None else self._realization_names[i]}</td>"
            f"<td>{fmt(r.start_time)}</td><td>{fmt(r.end_time)}</td>"
            + "".join(f"<td>{c}</td>" for c in counts[i])
            + "</tr>"
            for i, r in enumerate(self._realizations[:20])
        )
        more = "" if len(self) <= 20 else f"<tr><td colspan='99'>… {len(self) - 20} more</td></tr>"
        names = self._dim_names or list(range(self._n_dims))
        head = "".join(f"<th>events[{name}]</th>" for name in names)
        return (
            f"<p><b>Events</b>: {len(self)} realisation(s), {self._n_dims} dimension(s), "
            f"{self.n_events} events</p><table><tr><th>realisation</th><th>start</th><th>end</th>"
            f"{head}</tr>{rows}{more}</table>"
        )


def _restore_events(
    realizations: tuple[Realization, ...],
    n_dims: int,
    dim_names: tuple[Hashable, ...] | None,
    realization_names: tuple[Hashable, ...] | None,
    time_origin: Any,
    time_unit: str | None,
) -> Events:
    return Events(
        realizations,
        n_dims,
        dim_names=dim_names,
        realization_names=realization_names,
        time_origin=time_origin,
        time_unit=time_unit,
    )


# -- validation: one small check per concept ----------------------------------------------------


class _Raw(NamedTuple):
    """One realisation as the caller gave it, before any check."""

    times: Any
    end_time: Any
    start_time: Any
    dims: Any
    marks: Any


class _Where(NamedTuple):
    """How messages name a realisation's arguments: a prefix (``"realizations[1]."``, or
    ``"realization 'a': "`` for a table) and, for a table, the row label of every event."""

    prefix: str
    labels: Any = None

    @property
    def times(self) -> str:
        return f"{self.prefix}times" if self.labels is None else f"{self.prefix}time"

    def at(self, name: str, i: int) -> str:
        return position(name, i, self.labels)


class _TiePolicy(NamedTuple):
    ties: str
    seed: int | None
    resolution: float | None


_NO_TIES = _TiePolicy("error", None, None)


def _tie_policy(ties: Any, seed: Any, resolution: Any) -> _TiePolicy:
    if not isinstance(ties, str) or ties not in ("error", "jitter"):
        raise ValueError(f"ties must be 'error' or 'jitter'; got {ties!r}")
    if ties == "jitter" and seed is None:
        raise TypeError("ties='jitter' needs a seed, so that the jittered data are reproducible")
    checked_seed = None if seed is None else as_seed(seed)
    checked_resolution = None if resolution is None else positive_scalar(resolution, "resolution")
    return _TiePolicy(ties, checked_seed, checked_resolution)


_KEYS = {"times", "end_time", "start_time", "dims", "marks"}


def _realization_items(items: Sequence[Any]) -> list[tuple[str, _Raw, int]]:
    """Each realisation of `from_realizations` with its name in messages and the number of
    dimensions it needs (an `Events` item needs its own `n_dims`)."""
    out: list[tuple[str, _Raw, int]] = []
    for index, item in enumerate(items):
        where = f"realizations[{index}]"
        if isinstance(item, Events):
            out.extend((where, _raw_of(r), item.n_dims) for r in item)
        elif isinstance(item, Realization):
            out.append((where, _raw_of(item), _n_dims_of(item.dims)))
        elif isinstance(item, Mapping):
            unknown = set(item) - _KEYS
            if unknown:
                raise ValueError(f"{where} has unknown keys {sorted(map(str, unknown))}")
            if "times" not in item or "end_time" not in item:
                raise TypeError(f"{where} needs the keys 'times' and 'end_time'")
            raw = _Raw(
                item["times"],
                item["end_time"],
                item.get("start_time", 0.0),
                item.get("dims"),
                item.get("marks"),
            )
            out.append((where, raw, _n_dims_of(raw.dims)))
        else:
            raise TypeError(
                f"{where} must be an Events, a Realization or a mapping; got {type(item).__name__}"
            )
    return out


def _raw_of(r: Realization) -> _Raw:
    return _Raw(r.times, r.end_time, r.start_time, r.dims, r.marks)


def _n_dims_of(dims: Any) -> int:
    """One more than the largest dimension index (1 for no dims, or dims that are no integer
    array: their own check reports those). Checked against memory and scanned in blocks."""
    if dims is None:
        return 1
    array = np.asarray(dims)
    if not (array.size and array.dtype.kind in "iu" and array.ndim == 1):
        return 1
    check_memory(8.0 * array.size, "dims", f"{array.size} values")
    largest = max(
        int(array[lo : lo + _BLOCK].max()) for lo in range(0, array.shape[0], _BLOCK)
    )
    return max(largest + 1, 1)


def _resolve_n_dims(n_dims: Any, dims_arrays: Sequence[Any], n_realizations: int = 1) -> int:
    if n_dims is None:
        inferred = max([_n_dims_of(d) for d in dims_arrays] + [1])
        _check_dims_memory(inferred, n_realizations, "dims", "its largest entry makes")
        return inferred
    if isinstance(n_dims, (bool, np.bool_)) or not isinstance(n_dims, (int, np.integer)):
        raise TypeError(f"n_dims must be an integer; got {n_dims!r}")
    if n_dims < 1:
        raise ValueError(f"n_dims must be at least 1; got {n_dims}")
    _check_dims_memory(int(n_dims), n_realizations, "n_dims", "n_dims =")
    return int(n_dims)


def _check_dims_memory(n_dims: int, n_realizations: int, argument: str, how: str) -> None:
    # Counts per realisation and dimension are the least that any use of the data allocates.
    check_memory(
        8 * n_dims * n_realizations,
        argument,
        f"{how} {format_count(n_dims)} dimensions; counts of {n_realizations} realisation(s)",
    )


_BLOCK = 1 << 18


def _check_sorted(times: FloatArray, name: str, labels: Any = None) -> None:
    n = times.shape[0]
    i = first_index(n - 1, lambda lo, hi: times[lo + 1 : hi + 1] < times[lo:hi])
    if i is not None:
        i += 1
        raise ValueError(
            f"{position(name, i, labels)} = {fmt(times[i])} comes after "
            f"{fmt(times[i - 1])}: event times must be in ascending order"
        )


def _build(raw: _Raw, n_dims: int, where: _Where, policy: _TiePolicy, index: int) -> Realization:
    """Validate one realisation and return it with private, read-only copies."""
    start, end = _check_window(raw.end_time, raw.start_time, where)
    t = _check_times(raw.times, start, end, where)
    d = _check_dims(raw.dims, t.shape[0], n_dims, where)
    g = _check_marks(raw.marks, t.shape[0], where)
    t, d, g = _resolve_ties(t, d, g, (start, end), policy, index, where)
    return _validated(
        Realization(
            freeze(t), end, start, None if d is None else freeze(d), None if g is None else freeze(g)
        )
    )


def _check_window(end_time: Any, start_time: Any, where: _Where) -> tuple[float, float]:
    if end_time is None:
        raise TypeError(
            f"{where.prefix}end_time is required: the end of the observation window is never "
            "inferred from the last event"
        )
    end = finite_scalar(end_time, f"{where.prefix}end_time")
    start = finite_scalar(0.0 if start_time is None else start_time, f"{where.prefix}start_time")
    if not end > start:
        raise ValueError(
            f"{where.prefix}end_time ({fmt(end)}) must be greater than start_time ({fmt(start)})"
        )
    return start, end


def _check_times(times: Any, start: float, end: float, where: _Where) -> FloatArray:
    name = where.times
    t = float_array(times, name)
    require_finite(t, name, "event times", where.labels)
    _check_sorted(t, name, where.labels)
    if t.shape[0]:
        if t[0] < start:
            raise ValueError(
                f"{where.at(name, 0)} = {fmt(t[0])} is before {where.prefix}start_time = "
                f"{fmt(start)}"
            )
        if t[-1] > end:
            i = first_index(t.shape[0], lambda lo, hi: t[lo:hi] > end)
            assert i is not None
            raise ValueError(
                f"{where.at(name, i)} = {fmt(t[i])} is after {where.prefix}end_time = {fmt(end)}"
            )
    return t


def _check_dims(dims: Any, n: int, n_dims: int, where: _Where) -> IntArray | None:
    name = f"{where.prefix}dims"
    if dims is None:
        if n_dims > 1:
            raise ValueError(f"{name} is required for {n_dims}-dimensional data")
        return None
    _check_length(dims, n, name, where)
    d = int_array(dims, name)
    if d.shape[0] != n:
        raise ValueError(f"{name} has {d.shape[0]} entries but {where.times} has {n}")
    i = first_index(n, lambda lo, hi: (d[lo:hi] < 0) | (d[lo:hi] >= n_dims))
    if i is not None:
        raise ValueError(f"{where.at(name, i)} = {d[i]} is not in [0, {n_dims})")
    return None if n_dims == 1 else d


def _check_length(values: Any, n: int, name: str, where: _Where) -> None:
    # An array of the wrong length is refused before it is copied (it may be a huge broadcast).
    if isinstance(values, np.ndarray) and values.ndim == 1 and values.shape[0] != n:
        raise ValueError(f"{name} has {values.shape[0]} entries but {where.times} has {n}")


def _check_marks(marks: Any, n: int, where: _Where) -> FloatArray | None:
    if marks is None:
        return None
    name = f"{where.prefix}marks"
    _check_length(marks, n, name, where)
    g = float_array(marks, name)
    if g.shape[0] != n:
        raise ValueError(f"{name} has {g.shape[0]} entries but {where.times} has {n}")
    require_finite(g, name, "marks", where.labels)
    return g


def _resolve_ties(
    t: FloatArray,
    d: IntArray | None,
    g: FloatArray | None,
    window: tuple[float, float],
    policy: _TiePolicy,
    index: int,
    where: _Where,
) -> tuple[FloatArray, IntArray | None, FloatArray | None]:
    i = first_index(t.shape[0] - 1, lambda lo, hi: t[lo + 1 : hi + 1] == t[lo:hi])
    if i is None:
        return t, d, g
    if policy.ties == "error":
        name = where.times
        raise ValueError(
            f"{where.at(name, i + 1)} = {fmt(t[i + 1])} is tied with the event before it; "
            "pass ties='jitter' with a seed to break ties at random, or remove duplicates"
        )
    assert policy.seed is not None
    resolution = policy.resolution or _infer_resolution(t, window, where.times)
    return _jitter(t, d, g, window, resolution, policy.seed, index, where.times)


def _on_grid(t: FloatArray, step: float) -> bool:
    """Whether every time is a whole multiple of `step`, up to the rounding of the division."""
    tolerance = 8.0 * np.finfo(np.float64).eps

    def off(lo: int, hi: int) -> Any:
        q = t[lo:hi] / step
        return np.abs(q - np.rint(q)) > tolerance * np.maximum(1.0, np.abs(q))

    return first_index(t.shape[0], off) is None


def _infer_resolution(t: FloatArray, window: tuple[float, float], name: str) -> float:
    """The largest power of ten, 10^9 to 10^-9 and at most the window's length, on whose grid
    every time lies; else the smallest gap between distinct times."""
    top = min(9, math.floor(math.log10(window[1] - window[0])))
    for exponent in range(top, -10, -1):
        step = 10.0**exponent
        if _on_grid(t, step):
            return step
    gaps = np.diff(t)
    gaps = gaps[gaps > 0]
    if gaps.size:
        return float(np.min(gaps))
    raise ValueError(
        f"{name}: cannot infer the resolution of the times to jitter their ties (they lie on no "
        "grid of a power of ten and have no two distinct values); pass resolution="
    )


def _jitter(
    t: FloatArray,
    d: IntArray | None,
    g: FloatArray | None,
    window: tuple[float, float],
    resolution: float,
    seed: int,
    index: int,
    name: str,
) -> tuple[FloatArray, IntArray | None, FloatArray | None]:
    start, end = window
    tied = t[1:] == t[:-1]
    # Members of a tie group: the event that starts it and every event tied with its predecessor.
    in_group = np.zeros(t.shape[0], dtype=bool)
    in_group[1:] |= tied
    in_group[:-1] |= tied
    # Each event's next and previous distinct times (the window's ends beyond the last and first).
    distinct = np.unique(t)
    at = np.searchsorted(distinct, t)
    following = np.append(distinct, end)[at + 1]
    preceding = np.insert(distinct, 0, start)[at]
    rng = np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(index,)))
    u = rng.random(t.shape[0])
    # A tie at time t stands for an instant of [t, t + resolution); at the window's end, of
    # (t - resolution, t]. Neither reaches the neighbouring distinct time.
    forward = t < end
    width = np.where(
        forward, np.minimum(resolution, following - t), np.minimum(resolution, t - preceding)
    )
    moved = np.where(forward, t + u * width, t - u * width)
    moved = np.where(
        forward,
        np.minimum(moved, np.nextafter(following, -np.inf)),
        np.maximum(moved, np.nextafter(preceding, np.inf)),
    )
    jittered = np.where(in_group, np.clip(moved, start, end), t)
    order = np.argsort(jittered, kind="stable")
    jittered = jittered[order]
    i = first_index(jittered.shape[0] - 1, lambda lo, hi: jittered[lo + 1 : hi + 1] <= jittered[lo:hi])
    if i is not None:
        raise ValueError(
            f"{name}: jitter could not separate the tie at {fmt(jittered[i + 1])}: the gap to "
            "the next time is below the resolution of double precision there"
        )
    return (
        jittered,
        None if d is None else d[order],
        None if g is None else g[order],
    )


# -- DataFrames -----------------------------------------------------------------------------------


def _import_pandas() -> Any:
    return optional_import("pandas", "pandas", "Events.from_dataframe needs pandas")


def _plain(label: Any) -> Any:
    """A label as a plain Python value (a NumPy scalar prints as np.int64(1) otherwise)."""
    return label.item() if isinstance(label, np.generic) else label


def _check_frame(pd: Any, frame: Any, columns: Mapping[str, str | None]) -> None:
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"frame must be a pandas DataFrame; got {type(frame).__name__}")
    for argument, column in columns.items():
        if column is None:
            continue
        try:
            count = int((frame.columns == column).sum())
        except (TypeError, ValueError):
            count = 0
        if count == 0:
            raise ValueError(f"{argument}: no column {column!r} in the DataFrame")
        if count > 1:
            raise ValueError(
                f"{argument}: the DataFrame has {count} columns named {column!r}; rename them "
                "so that each name is used once"
            )


def _check_time_column(pd: Any, column: Any, time: str) -> bool:
    """Whether the time column holds datetimes; refuses anything but real numbers and datetimes
    and a missing value."""
    is_datetime = bool(pd.api.types.is_datetime64_any_dtype(column))
    real = pd.api.types.is_numeric_dtype(column) and not (
        pd.api.types.is_bool_dtype(column) or pd.api.types.is_complex_dtype(column)
    )
    if not is_datetime and not real:
        raise TypeError(
            f"time column {time!r} must hold numbers or datetimes; got dtype {column.dtype}"
        )
    missing = column.isna().to_numpy()
    if missing.any():
        label = _plain(column.index[first_index(missing.shape[0], lambda lo, hi: missing[lo:hi])])
        raise ValueError(f"time column {time!r} is missing a value at row {label!r}")
    return is_datetime


def _frame_groups(
    pd: Any, frame: Any, realization: str | None, end_time: Any, start_time: Any
) -> tuple[list[Hashable], dict[Hashable, IntArray]]:
    """The realisation labels in order and the rows of each (labels that only the window
    mappings name get no rows)."""
    if realization is None:
        return [None], {None: np.arange(len(frame), dtype=np.int64)}
    codes, uniques = pd.factorize(frame[realization], sort=True)
    if (codes < 0).any():
        label = _plain(frame.index[int(np.argmax(codes < 0))])
        raise ValueError(f"realization column {realization!r} is missing a value at row {label!r}")
    labels = [_plain(u) for u in uniques]
    groups = {lab: np.flatnonzero(codes == i).astype(np.int64) for i, lab in enumerate(labels)}
    for mapping in (end_time, start_time):
        if isinstance(mapping, (Mapping, pd.Series)):
            for lab in mapping.keys():
                if lab not in groups:
                    labels.append(lab)
                    groups[lab] = np.arange(0, dtype=np.int64)
    return sorted(labels, key=_sort_key), groups


class _Windows:
    """The `end_time` and `start_time` of `from_dataframe`: one value, or one per label."""

    def __init__(self, pd: Any, end_time: Any, start_time: Any) -> None:
        self.pd, self.end_time, self.start_time = pd, end_time, start_time

    def value(self, which: str, label: Hashable) -> Any:
        value = self.end_time if which == "end_time" else self.start_time
        if isinstance(value, (Mapping, self.pd.Series)):
            if label not in value.keys():
                raise ValueError(f"{which} has no entry for realization {label!r}")
            return value[label]
        return value

    def of(self, label: Hashable, clock: _Clock | None) -> tuple[Any, Any]:
        """(start, end) of one realisation, as offsets in the clock's unit for datetimes."""
        end = self.value("end_time", label)
        start = self.value("start_time", label)
        if clock is not None:
            return clock.offset(start, "start_time"), clock.offset(end, "end_time")
        return (0.0 if start is None else start), end


class _Clock:
    """Datetimes as float offsets in a unit from an origin (the earliest start time)."""

    def __init__(self, pd: Any, origin: Any, unit: str, tz: Any) -> None:
        self.pd, self.origin, self.unit, self.tz = pd, origin, unit, tz
        self.step = pd.Timedelta(1, unit=unit)

    @classmethod
    def of(
        cls, pd: Any, column: Any, time: str, windows: _Windows, labels: list[Hashable], unit: str
    ) -> _Clock:
        if windows.start_time is None:
            raise TypeError("start_time is required when the time column holds datetimes")
        tz = column.dt.tz
        starts = [
            _as_timestamp(pd, windows.value("start_time", lab), "start_time", tz, time)
            for lab in labels
        ]
        return cls(pd, min(starts), unit, tz)

    def offset(self, value: Any, argument: str) -> float:
        stamp = _as_timestamp(self.pd, value, argument, self.tz, None)
        return float((stamp - self.origin) / self.step)

    def offsets(self, column: Any) -> Any:
        return (column - self.origin) / self.step


def _as_timestamp(pd: Any, value: Any, argument: str, tz: Any, time: str | None) -> Any:
    if value is None:
        raise TypeError(f"{argument} is required")
    if isinstance(value, (numbers.Number, np.number)) and not isinstance(value, np.datetime64):
        raise TypeError(
            f"{argument} must be a datetime for a datetime time column; got the number {value!r}"
        )
    try:
        stamp = pd.Timestamp(value)
    except (TypeError, ValueError, OverflowError) as exc:
        raise TypeError(
            f"{argument} must be a datetime for a datetime time column: {exc}"
        ) from None
    if stamp is pd.NaT:
        raise ValueError(f"{argument} is NaT; the window needs a datetime")
    if (stamp.tz is None) != (tz is None):
        column = "the time column" if time is None else f"time column {time!r}"
        have = f"time zone {stamp.tz}" if stamp.tz is not None else "no time zone"
        need = f"time zone {tz}" if tz is not None else "no time zone"
        raise TypeError(
            f"{argument} ({stamp}) has {have} but {column} has {need}: give both with a time "
            "zone or both without"
        )
    return stamp


def _frame_dims(
    pd: Any, frame: Any, dim: str | None, n_dims: Any
) -> tuple[IntArray | None, list[Hashable] | None]:
    """Dimension indices of the rows, and the labels when the column is not integer-valued."""
    if dim is None:
        return None, None
    column = frame[dim]
    missing = column.isna().to_numpy()
    if missing.any():
        label = _plain(column.index[int(np.argmax(missing))])
        raise ValueError(f"dim column {dim!r} is missing a value at row {label!r}")
    if pd.api.types.is_integer_dtype(column):
        return column.to_numpy(dtype=np.int64), None
    codes, uniques = pd.factorize(column, sort=True)
    names = [_plain(u) for u in uniques]
    if n_dims is not None and n_dims != len(names):
        raise ValueError(f"n_dims = {n_dims} but column {dim!r} has {len(names)} labels")
    return codes.astype(np.int64), names


def _frame_marks(pd: Any, frame: Any, mark: str | None) -> FloatArray | None:
    if mark is None:
        return None
    column = frame[mark]
    if (
        not pd.api.types.is_numeric_dtype(column)
        or pd.api.types.is_bool_dtype(column)
        or pd.api.types.is_complex_dtype(column)
    ):
        raise TypeError(f"mark column {mark!r} must hold numbers; got dtype {column.dtype}")
    marks: FloatArray = column.to_numpy(dtype=np.float64)
    return marks


def _sort_key(label: Any) -> tuple[str, Any]:
    # Labels of mixed types sort by type name first, so that sorting never fails.
    return (type(label).__name__, label)
