"""Event data: one or more realisations of an M-dimensional point process.

`Events` is validated once, when it is built, and is immutable afterwards: every array it holds is
a private float64 (or int64) copy that neither the caller nor anybody else can write to. Each
realisation carries its own observation window [start_time, end_time]; the end time is always
given by the caller and never inferred from the last event (doing so biases the baseline rate).

Tied times
----------
Two events at exactly the same time (in any dimensions of one realisation) are refused by
default (``ties="error"``): the likelihoods disagree on whether a simultaneous event excites its
twin, so ties make results depend on the model's implementation rather than on the data. Pass
``ties="jitter"`` with a ``seed`` to spread every group of tied events uniformly over the first
half of the gap to the next distinct time (reproducibly); the event order of the group is then
the order of the jittered times.
"""

from __future__ import annotations

import math
from collections.abc import Hashable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, overload

import numpy as np

from ._checks import (
    FloatArray,
    IntArray,
    finite_scalar,
    first_true,
    float_array,
    fmt,
    freeze,
    int_array,
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
        return (
            f"Realization(n_events={self.n_events}, "
            f"window=[{fmt(self.start_time)}, {fmt(self.end_time)}])"
        )


def _restore_realization(
    times: FloatArray,
    end_time: float,
    start_time: float,
    dims: IntArray | None,
    marks: FloatArray | None,
) -> Realization:
    # Unpickled arrays come back writeable; the data were validated when first built.
    return Realization(
        freeze(np.array(times, dtype=np.float64)),
        float(end_time),
        float(start_time),
        None if dims is None else freeze(np.array(dims, dtype=np.int64)),
        None if marks is None else freeze(np.array(marks, dtype=np.float64)),
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
        "_realizations",
        "_n_dims",
        "_dim_names",
        "_realization_names",
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
        # The public constructors validate before they get here; a realisation built by hand
        # (its arrays still writeable) is validated and copied now.
        if not realizations:
            raise ValueError(
                "realizations must not be empty: an Events object needs at least one realisation"
            )
        checked = []
        for index, r in enumerate(realizations):
            if not isinstance(r, Realization):
                raise TypeError(
                    f"realizations[{index}] must be a Realization; build Events with "
                    "Events.from_arrays or Events.from_realizations"
                )
            arrays = [a for a in (r.times, r.dims, r.marks) if a is not None]
            if any(not isinstance(a, np.ndarray) or a.flags.writeable for a in arrays):
                r = _build(
                    r.times, r.end_time, r.start_time, r.dims, r.marks, int(n_dims),
                    f"realizations[{index}].", "error", None, index,
                )
            checked.append(r)
        object.__setattr__(self, "_realizations", tuple(checked))
        object.__setattr__(self, "_n_dims", int(n_dims))
        object.__setattr__(self, "_dim_names", None if dim_names is None else tuple(dim_names))
        object.__setattr__(
            self,
            "_realization_names",
            None if realization_names is None else tuple(realization_names),
        )
        object.__setattr__(self, "_time_origin", time_origin)
        object.__setattr__(self, "_time_unit", time_unit)

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
            What to do with events at identical times (see the module documentation).
        seed : int, optional
            Seed of the jitter; required with ``ties="jitter"``.

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
        """
        _check_ties(ties, seed)
        m = _resolve_n_dims(n_dims, [dims])
        realization = _build(times, end_time, start_time, dims, marks, m, "", ties, seed, 0)
        return cls([realization], m)

    @classmethod
    def from_dimensions(
        cls,
        times: Sequence[Any],
        end_time: float,
        *,
        start_time: float = 0.0,
        ties: TiesPolicy = "error",
        seed: int | None = None,
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
        ties, seed
            As in :meth:`from_arrays`.

        Returns
        -------
        Events
        """
        _check_ties(ties, seed)
        if isinstance(times, np.ndarray) or not isinstance(times, Sequence) or not len(times):
            raise TypeError(
                "times must be a non-empty list with one array of event times per dimension"
            )
        per_dim = []
        for m, values in enumerate(times):
            array = float_array(values, f"times[{m}]")
            require_finite(array, f"times[{m}]")
            _check_sorted(array, f"times[{m}]")
            per_dim.append(array)
        merged = np.concatenate(per_dim)
        dims = np.concatenate(
            [np.full(a.shape[0], m, dtype=np.int64) for m, a in enumerate(per_dim)]
        )
        order = np.argsort(merged, kind="stable")
        realization = _build(
            merged[order], end_time, start_time, dims[order], None, len(per_dim), "", ties, seed, 0
        )
        return cls([realization], len(per_dim))

    @classmethod
    def from_realizations(
        cls,
        realizations: Sequence[Events | Realization | Mapping[str, Any]],
        *,
        n_dims: int | None = None,
        ties: TiesPolicy = "error",
        seed: int | None = None,
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
        ties, seed
            As in :meth:`from_arrays`; jitter draws of realisation r depend only on
            ``(seed, r)``.

        Returns
        -------
        Events
        """
        _check_ties(ties, seed)
        if isinstance(realizations, (Mapping, np.ndarray)) or not isinstance(
            realizations, Sequence
        ):
            raise TypeError("realizations must be a list of Events, Realization or mappings")
        if not realizations:
            raise ValueError("realizations must not be empty")
        items: list[tuple[str, Any]] = []
        needed = 1
        for index, item in enumerate(realizations):
            where = f"realizations[{index}]"
            if isinstance(item, Events):
                needed = max(needed, item.n_dims)
                items.extend((where, r) for r in item)
            elif isinstance(item, Realization):
                needed = max(needed, _n_dims_of(item.dims))
                items.append((where, item))
            elif isinstance(item, Mapping):
                unknown = set(item) - {"times", "end_time", "start_time", "dims", "marks"}
                if unknown:
                    raise ValueError(f"{where} has unknown keys {sorted(map(str, unknown))}")
                if "times" not in item or "end_time" not in item:
                    raise TypeError(f"{where} needs the keys 'times' and 'end_time'")
                items.append((where, item))
            else:
                raise TypeError(
                    f"{where} must be an Events, a Realization or a mapping; got {type(item).__name__}"
                )
        built = []
        for r, (where, item) in enumerate(items):
            if isinstance(item, Realization):
                item = {
                    "times": item.times,
                    "end_time": item.end_time,
                    "start_time": item.start_time,
                    "dims": item.dims,
                    "marks": item.marks,
                }
            else:
                needed = max(needed, _resolve_n_dims(None, [item.get("dims")]))
            built.append(item)
        m = needed if n_dims is None else _resolve_n_dims(n_dims, [])
        if m < needed:
            raise ValueError(f"n_dims = {m} but the data have {needed} dimensions")
        result = [
            _build(
                item["times"],
                item["end_time"],
                item.get("start_time", 0.0),
                item.get("dims"),
                item.get("marks"),
                m,
                f"{where}.",
                ties,
                seed,
                r,
            )
            for r, ((where, _), item) in enumerate(zip(items, built))
        ]
        marked = {r.marks is not None for r in result}
        if len(marked) > 1:
            raise ValueError("either every realisation carries marks or none does")
        return cls(result, m)

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
        n_dims, ties, seed
            As in :meth:`from_arrays`.

        Returns
        -------
        Events
        """
        pd = _import_pandas()
        _check_ties(ties, seed)
        if not isinstance(frame, pd.DataFrame):
            raise TypeError(f"frame must be a pandas DataFrame; got {type(frame).__name__}")
        for argument, column in (
            ("time", time),
            ("dim", dim),
            ("realization", realization),
            ("mark", mark),
        ):
            if column is not None and column not in frame.columns:
                raise ValueError(f"{argument}: no column {column!r} in the DataFrame")
        if unit not in _TIME_UNITS:
            raise ValueError(f"unit must be one of {', '.join(_TIME_UNITS)}; got {unit!r}")
        if end_time is None:
            raise TypeError("end_time is required: the end of every observation window")

        column = frame[time]
        is_datetime = pd.api.types.is_datetime64_any_dtype(column)
        if not is_datetime and not pd.api.types.is_numeric_dtype(column):
            raise TypeError(
                f"time column {time!r} must hold numbers or datetimes; got dtype {column.dtype}"
            )
        if pd.api.types.is_bool_dtype(column):
            raise TypeError(f"time column {time!r} must hold numbers or datetimes; got dtype bool")
        if column.isna().any():
            label = column.index[first_true(column.isna().to_numpy())]
            raise ValueError(f"time column {time!r} is missing a value at row {label!r}")

        groups: dict[Hashable, IntArray]
        if realization is None:
            labels: list[Hashable] = [None]
            groups = {None: np.arange(len(frame), dtype=np.int64)}
        else:
            codes, uniques = pd.factorize(frame[realization], sort=True)
            if (codes < 0).any():
                label = frame.index[first_true(codes < 0)]
                raise ValueError(
                    f"realization column {realization!r} is missing a value at row {label!r}"
                )
            labels = list(uniques)
            groups = {
                lab: np.flatnonzero(codes == i).astype(np.int64) for i, lab in enumerate(labels)
            }
            for mapping in (end_time, start_time):
                if isinstance(mapping, (Mapping, pd.Series)):
                    for lab in mapping.keys():
                        if lab not in groups:
                            labels.append(lab)
                            groups[lab] = np.arange(0, dtype=np.int64)
            labels = sorted(labels, key=_sort_key)

        def window(value: Any, label: Hashable, argument: str) -> Any:
            if isinstance(value, (Mapping, pd.Series)):
                if label not in value.keys():
                    raise ValueError(f"{argument} has no entry for realization {label!r}")
                return value[label]
            return value

        if is_datetime and start_time is None:
            raise TypeError("start_time is required when the time column holds datetimes")
        origin = None
        if is_datetime:
            starts = [
                _as_timestamp(pd, window(start_time, lab, "start_time"), "start_time")
                for lab in labels
            ]
            origin = min(starts)
            step = pd.Timedelta(1, unit=unit)

            def to_float(values: Any, argument: str) -> Any:
                try:
                    return (values - origin) / step
                except TypeError as exc:
                    raise TypeError(
                        f"{argument}: cannot compare with the time column: {exc}"
                    ) from None

        if dim is not None:
            dim_column = frame[dim]
            if dim_column.isna().any():
                label = dim_column.index[first_true(dim_column.isna().to_numpy())]
                raise ValueError(f"dim column {dim!r} is missing a value at row {label!r}")
            if pd.api.types.is_integer_dtype(dim_column):
                dim_values = dim_column.to_numpy(dtype=np.int64)
                dim_names = None
            else:
                dim_codes, dim_uniques = pd.factorize(dim_column, sort=True)
                dim_values = dim_codes.astype(np.int64)
                dim_names = list(dim_uniques)
                if n_dims is not None and n_dims != len(dim_names):
                    raise ValueError(
                        f"n_dims = {n_dims} but column {dim!r} has {len(dim_names)} labels"
                    )
        else:
            dim_values = None
            dim_names = None
        m = _resolve_n_dims(n_dims, [dim_values])

        times_all = to_float(column, "time") if is_datetime else column
        times_all = np.asarray(times_all, dtype=np.float64)
        marks_all = None
        if mark is not None:
            mark_column = frame[mark]
            if not pd.api.types.is_numeric_dtype(mark_column) or pd.api.types.is_bool_dtype(
                mark_column
            ):
                raise TypeError(
                    f"mark column {mark!r} must hold numbers; got dtype {mark_column.dtype}"
                )
            marks_all = mark_column.to_numpy(dtype=np.float64)

        realizations = []
        for r, lab in enumerate(labels):
            rows = groups[lab]
            order = rows[np.argsort(times_all[rows], kind="stable")]
            where = "" if realization is None else f"realization {lab!r}: "
            end = window(end_time, lab, "end_time")
            start = window(start_time, lab, "start_time")
            if is_datetime:
                end = float(to_float(_as_timestamp(pd, end, "end_time"), "end_time"))
                start = float(to_float(_as_timestamp(pd, start, "start_time"), "start_time"))
            elif start is None:
                start = 0.0
            realizations.append(
                _build(
                    times_all[order],
                    end,
                    start,
                    None if dim_values is None else dim_values[order],
                    None if marks_all is None else marks_all[order],
                    m,
                    where,
                    ties,
                    seed,
                    r,
                    labels=frame.index.to_numpy()[order],
                )
            )
        return cls(
            realizations,
            m,
            dim_names=dim_names,
            realization_names=None if realization is None else labels,
            time_origin=origin,
            time_unit=unit if is_datetime else None,
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
        r = self[realization]
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
        if isinstance(index, (int, np.integer)):
            return self._realizations[index]
        if isinstance(index, slice):
            chosen = list(range(len(self._realizations)))[index]
        else:
            chosen = [int(i) for i in index]
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


# -- validation --------------------------------------------------------------------------------


def _check_ties(ties: str, seed: int | None) -> None:
    if ties not in ("error", "jitter"):
        raise ValueError(f"ties must be 'error' or 'jitter'; got {ties!r}")
    if ties == "jitter" and seed is None:
        raise TypeError("ties='jitter' needs a seed, so that the jittered data are reproducible")


def _n_dims_of(dims: Any) -> int:
    if dims is None:
        return 1
    array = np.asarray(dims)
    return int(array.max()) + 1 if array.size and array.dtype.kind in "iu" else 1


def _resolve_n_dims(n_dims: Any, dims_arrays: Sequence[Any]) -> int:
    if n_dims is None:
        return max([_n_dims_of(d) for d in dims_arrays] + [1])
    if isinstance(n_dims, (bool, np.bool_)) or not isinstance(n_dims, (int, np.integer)):
        raise TypeError(f"n_dims must be an integer; got {n_dims!r}")
    if n_dims < 1:
        raise ValueError(f"n_dims must be at least 1; got {n_dims}")
    return int(n_dims)


def _check_sorted(times: FloatArray, name: str, labels: Any = None) -> None:
    if times.shape[0] > 1:
        bad = times[1:] < times[:-1]
        if bad.any():
            i = first_true(bad) + 1
            raise ValueError(
                f"{_position(name, i, labels)} = {fmt(times[i])} comes after "
                f"{fmt(times[i - 1])}: event times must be in ascending order"
            )


def _position(name: str, i: int, labels: Any) -> str:
    return f"{name}[{i}]" if labels is None else f"{name} at row {labels[i]!r}"


def _build(
    times: Any,
    end_time: Any,
    start_time: Any,
    dims: Any,
    marks: Any,
    n_dims: int,
    where: str,
    ties: str,
    seed: int | None,
    index: int,
    labels: Any = None,
) -> Realization:
    """Validate one realisation and return it with private, read-only copies."""
    name = f"{where}times" if labels is None else f"{where}time"
    if end_time is None:
        raise TypeError(
            f"{where}end_time is required: the end of the observation window is never inferred "
            "from the last event"
        )
    end = finite_scalar(end_time, f"{where}end_time")
    start = finite_scalar(0.0 if start_time is None else start_time, f"{where}start_time")
    if not end > start:
        raise ValueError(
            f"{where}end_time ({fmt(end)}) must be greater than start_time ({fmt(start)})"
        )
    t = float_array(times, name)
    bad = ~np.isfinite(t)
    if bad.any():
        i = first_true(bad)
        raise ValueError(f"{_position(name, i, labels)} is {fmt(t[i])}; event times must be finite")
    _check_sorted(t, name, labels)
    if t.shape[0]:
        if t[0] < start:
            raise ValueError(
                f"{_position(name, 0, labels)} = {fmt(t[0])} is before {where}start_time = {fmt(start)}"
            )
        if t[-1] > end:
            i = first_true(t > end)
            raise ValueError(
                f"{_position(name, i, labels)} = {fmt(t[i])} is after {where}end_time = {fmt(end)}"
            )
    d = None
    if dims is not None:
        d = int_array(dims, f"{where}dims")
        if d.shape != t.shape:
            raise ValueError(f"{where}dims has {d.shape[0]} entries but {name} has {t.shape[0]}")
        out = (d < 0) | (d >= n_dims)
        if out.any():
            i = first_true(out)
            raise ValueError(
                f"{_position(where + 'dims', i, labels)} = {d[i]} is not in [0, {n_dims})"
            )
        if n_dims == 1:
            d = None
    elif n_dims > 1:
        raise ValueError(f"{where}dims is required for {n_dims}-dimensional data")
    g = None
    if marks is not None:
        g = float_array(marks, f"{where}marks")
        if g.shape != t.shape:
            raise ValueError(f"{where}marks has {g.shape[0]} entries but {name} has {t.shape[0]}")
        bad = ~np.isfinite(g)
        if bad.any():
            i = first_true(bad)
            raise ValueError(
                f"{_position(where + 'marks', i, labels)} is {fmt(g[i])}; marks must be finite"
            )
    if t.shape[0] > 1:
        tied = t[1:] == t[:-1]
        if tied.any():
            if ties == "error":
                i = first_true(tied) + 1
                raise ValueError(
                    f"{_position(name, i, labels)} = {fmt(t[i])} is tied with the event before it; "
                    "pass ties='jitter' with a seed to break ties at random, or remove duplicates"
                )
            assert seed is not None
            t, d, g = _jitter(t, d, g, end, tied, seed, index, name)
    return Realization(
        freeze(t), end, start, None if d is None else freeze(d), None if g is None else freeze(g)
    )


def _jitter(
    t: FloatArray,
    d: IntArray | None,
    g: FloatArray | None,
    end: float,
    tied: Any,
    seed: int,
    index: int,
    name: str,
) -> tuple[FloatArray, IntArray | None, FloatArray | None]:
    # Members of a tie group: the event that starts it and every event tied with its predecessor.
    in_group = np.zeros(t.shape[0], dtype=bool)
    in_group[1:] |= tied
    in_group[:-1] |= tied
    # For each event, the next distinct time (or the window's end after the last one).
    distinct = np.append(t[1:][t[1:] != t[:-1]], end)
    next_distinct = distinct[np.searchsorted(distinct, t, side="right")]
    rng = np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(index,)))
    offsets = rng.random(t.shape[0]) * (0.5 * (next_distinct - t))
    jittered = np.where(in_group, t + offsets, t)
    order = np.argsort(jittered, kind="stable")
    jittered = jittered[order]
    if jittered.shape[0] > 1 and (jittered[1:] == jittered[:-1]).any():
        i = first_true(jittered[1:] == jittered[:-1]) + 1
        raise ValueError(
            f"{name}: jitter could not separate the tie at {fmt(jittered[i])}: the gap to the next "
            "time is below the resolution of double precision there"
        )
    return (
        jittered,
        None if d is None else d[order],
        None if g is None else g[order],
    )


def _import_pandas() -> Any:
    try:
        import pandas
    except ImportError:
        raise ImportError(
            "Events.from_dataframe needs pandas: install it with pip install 'vostrel[pandas]'"
        ) from None
    return pandas


def _as_timestamp(pd: Any, value: Any, argument: str) -> Any:
    if value is None:
        raise TypeError(f"{argument} is required")
    try:
        return pd.Timestamp(value)
    except (TypeError, ValueError) as exc:
        raise TypeError(
            f"{argument} must be a datetime for a datetime time column: {exc}"
        ) from None


def _sort_key(label: Any) -> tuple[str, Any]:
    # Labels of mixed types sort by type name first, so that sorting never fails.
    return (type(label).__name__, label)
