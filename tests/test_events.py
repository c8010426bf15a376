# Events: validation with errors that name the argument and the first offending position, private
# read-only copies, constructors from arrays, dimensions, realisations and DataFrames, ties.
import pickle

import numpy as np
import pytest
from vostrel import Events, Realization

pd = pytest.importorskip("pandas")


def test_from_arrays_copies_and_freezes():
    times = np.array([0.5, 1.0, 2.5])
    events = Events.from_arrays(times, end_time=3.0)
    times[0] = 99.0
    stored = events[0].times
    assert stored[0] == 0.5
    assert stored.dtype == np.float64 and stored.flags.c_contiguous
    with pytest.raises(ValueError):
        stored[0] = 1.0
    with pytest.raises(ValueError):
        stored.flags.writeable = True
    with pytest.raises(AttributeError):
        events.n_dims = 3


def test_integer_times_become_float64_and_lists_are_accepted():
    events = Events.from_arrays([1, 2, 3], end_time=5)
    assert events[0].times.dtype == np.float64
    assert events.n_events == 3 and events.total_duration == 5.0


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        (dict(times=[1.0, 0.5, 2.0], end_time=3.0), ValueError, r"times\[1\] = 0.5 comes after 1"),
        (dict(times=[1.0, np.nan], end_time=3.0), ValueError, r"times\[1\] is nan"),
        (dict(times=[1.0, np.inf], end_time=3.0), ValueError, r"times\[1\] is inf"),
        (
            dict(times=[-1.0, 1.0], end_time=3.0),
            ValueError,
            r"times\[0\] = -1 is before start_time = 0",
        ),
        (
            dict(times=[1.0, 4.0, 5.0], end_time=3.0),
            ValueError,
            r"times\[1\] = 4 is after end_time = 3",
        ),
        (dict(times=[1.0, 2.0], end_time=None), TypeError, "end_time is required"),
        (
            dict(times=[1.0, 2.0], end_time=1.0, start_time=1.0),
            ValueError,
            "must be greater than start_time",
        ),
        (dict(times=[1.0, 2.0], end_time=np.nan), ValueError, "end_time must be finite"),
        (dict(times=["a", "b"], end_time=3.0), TypeError, "times must be an array of real numbers"),
        (dict(times=[[1.0, 2.0]], end_time=3.0), ValueError, "times must be 1-dimensional"),
        (dict(times=[1.0, 2.0], end_time="3"), TypeError, "end_time must be a real number"),
        (dict(times=[1.0, 1.0], end_time=3.0), ValueError, r"times\[1\] = 1 is tied"),
        (
            dict(times=[1.0, 2.0], end_time=3.0, dims=[0, 2], n_dims=2),
            ValueError,
            r"dims\[1\] = 2 is not in \[0, 2\)",
        ),
        (
            dict(times=[1.0, 2.0], end_time=3.0, dims=[0.0, 1.0]),
            TypeError,
            "dims must be an array of integers",
        ),
        (dict(times=[1.0, 2.0], end_time=3.0, dims=[0]), ValueError, "dims has 1 entries"),
        (
            dict(times=[1.0, 2.0], end_time=3.0, marks=[1.0, np.nan]),
            ValueError,
            r"marks\[1\] is nan",
        ),
        (dict(times=[1.0, 2.0], end_time=3.0, ties="drop"), ValueError, "ties must be"),
        (dict(times=[1.0, 2.0], end_time=3.0, ties="jitter"), TypeError, "needs a seed"),
    ],
)
def test_bad_input_names_argument_and_position(kwargs, error, text):
    times = kwargs.pop("times")
    before = repr(times)
    with pytest.raises(error, match=text):
        Events.from_arrays(times, **kwargs)
    assert repr(times) == before


def test_jitter_separates_ties_reproducibly_inside_the_gap():
    times = np.array([1.0, 1.0, 1.0, 2.0, 2.0])
    dims = np.array([0, 1, 0, 1, 1])
    a = Events.from_arrays(times, 3.0, dims=dims, ties="jitter", seed=4)
    b = Events.from_arrays(times, 3.0, dims=dims, ties="jitter", seed=4)
    c = Events.from_arrays(times, 3.0, dims=dims, ties="jitter", seed=5)
    assert a == b and a != c
    t = a[0].times
    assert np.all(np.diff(t) > 0)
    # Whole-number times: each tie spreads over [t, t + 1), the data's resolution.
    assert np.all((t[:3] >= 1.0) & (t[:3] < 2.0)) and np.all((t[3:] >= 2.0) & (t[3:] < 3.0))
    assert sorted(a[0].dims.tolist()) == sorted(dims.tolist())
    assert times.tolist() == [1.0, 1.0, 1.0, 2.0, 2.0]


def test_from_dimensions_merges_in_time_order():
    events = Events.from_dimensions([[0.1, 0.7], [0.3, 0.5, 0.9]], end_time=1.0)
    r = events[0]
    assert r.times.tolist() == [0.1, 0.3, 0.5, 0.7, 0.9]
    assert r.dims.tolist() == [0, 1, 1, 0, 1]
    assert [x.tolist() for x in events.times_by_dim()] == [[0.1, 0.7], [0.3, 0.5, 0.9]]
    with pytest.raises(ValueError, match=r"times\[1\]\[1\] = 0.2 comes after 0.5"):
        Events.from_dimensions([[0.1], [0.5, 0.2]], end_time=1.0)


def test_from_realizations_keeps_each_window_and_names_the_realisation():
    events = Events.from_realizations(
        [
            {"times": [0.5, 1.0], "end_time": 2.0},
            {"times": [], "end_time": 5.0, "start_time": 1.0},
            Events.from_arrays([3.0], end_time=4.0),
        ]
    )
    assert len(events) == 3
    assert events.end_times.tolist() == [2.0, 5.0, 4.0]
    assert events.start_times.tolist() == [0.0, 1.0, 0.0]
    assert events.counts.ravel().tolist() == [2, 0, 1]
    with pytest.raises(
        ValueError,
        match=r"realizations\[1\]\.times\[0\] = 3 is after realizations\[1\]\.end_time = 2",
    ):
        Events.from_realizations(
            [{"times": [1.0], "end_time": 2.0}, {"times": [3.0], "end_time": 2.0}]
        )
    with pytest.raises(TypeError, match=r"realizations\[0\] needs the keys"):
        Events.from_realizations([{"times": [1.0]}])


def test_indexing_slicing_equality_and_pickle():
    events = Events.from_realizations(
        [
            {"times": [0.5, 1.0], "end_time": 2.0, "marks": [1.0, 2.0]},
            {"times": [0.1], "end_time": 1.0, "marks": [3.0]},
        ]
    )
    assert isinstance(events[1], Realization) and events[1].marks.tolist() == [3.0]
    assert events[1:] == Events.from_realizations(
        [{"times": [0.1], "end_time": 1.0, "marks": [3.0]}]
    )
    restored = pickle.loads(pickle.dumps(events))
    assert restored == events
    assert not restored[0].times.flags.writeable and not restored[0].marks.flags.writeable
    assert "2 realizations" in repr(events) and "<table>" in events._repr_html_()


def test_from_dataframe_groups_sorts_and_labels():
    frame = pd.DataFrame(
        {
            "t": [2.0, 1.0, 0.5, 3.0, 0.2],
            "kind": ["buy", "sell", "buy", "sell", "buy"],
            "who": ["b", "a", "a", "b", "b"],
            "size": [1.0, 2.0, 3.0, 4.0, 5.0],
        }
    )
    events = Events.from_dataframe(
        frame,
        time="t",
        dim="kind",
        realization="who",
        mark="size",
        end_time={"a": 2.0, "b": 4.0, "c": 1.0},
    )
    assert events.realization_names == ("a", "b", "c")
    assert events.dim_names == ("buy", "sell")
    assert events[0].times.tolist() == [0.5, 1.0] and events[0].dims.tolist() == [0, 1]
    assert events[1].times.tolist() == [0.2, 2.0, 3.0] and events[1].marks.tolist() == [
        5.0,
        1.0,
        4.0,
    ]
    assert events[2].n_events == 0 and events[2].end_time == 1.0
    with pytest.raises(ValueError, match="end_time has no entry for realization 'b'"):
        Events.from_dataframe(frame, time="t", realization="who", end_time={"a": 2.0})
    with pytest.raises(ValueError, match="time: no column 'x'"):
        Events.from_dataframe(frame, time="x", end_time=5.0)


def test_from_dataframe_datetimes_become_offsets_in_the_unit():
    stamps = pd.to_datetime(["2026-01-01 00:00:01.000", "2026-01-01 00:00:03.500"], utc=True)
    frame = pd.DataFrame({"time": stamps})
    start = pd.Timestamp("2026-01-01", tz="UTC")
    events = Events.from_dataframe(
        frame, start_time=start, end_time=start + pd.Timedelta(seconds=10), unit="ms"
    )
    assert events[0].times.tolist() == [1000.0, 3500.0]
    assert (events[0].start_time, events[0].end_time) == (0.0, 10000.0)
    assert events.time_origin == start and events.time_unit == "ms"
    with pytest.raises(TypeError, match="start_time is required"):
        Events.from_dataframe(frame, end_time=start)
    late = pd.DataFrame({"time": pd.to_datetime(["2026-01-01 00:00:11"], utc=True)})
    with pytest.raises(ValueError, match="is after end_time"):
        Events.from_dataframe(late, start_time=start, end_time=start + pd.Timedelta(seconds=10))


def test_a_realisation_built_by_hand_is_validated_and_frozen():
    times = np.array([1.0, 0.5])
    with pytest.raises(ValueError, match=r"realizations\[0\]\.times\[1\] = 0.5 comes after 1"):
        Events([Realization(times, end_time=2.0)], 1)
    events = Events([Realization(np.array([0.5, 1.0]), end_time=2.0)], 1)
    assert not events[0].times.flags.writeable


# -- every constructor validates and copies; ties within the data's resolution ---------------------


def test_a_read_only_array_in_a_realisation_is_still_validated_and_copied():
    bad = np.array([1.0, 0.5, np.nan])
    bad.flags.writeable = False
    with pytest.raises(ValueError, match=r"realizations\[0\]\.times\[2\] is nan"):
        Events([Realization(bad, 0.5)], 1)
    mine = np.array([0.1, 0.2])
    mine.flags.writeable = False
    events = Events([Realization(mine, 0.5)], 1)
    assert not np.shares_memory(events[0].times, mine)
    mine.flags.writeable = True
    mine[0] = 0.4
    assert events[0].times.tolist() == [0.1, 0.2]


@pytest.mark.parametrize(
    "times, end, kwargs, tied, low, high",
    [
        # whole seconds: a tie at t spreads over [t, t + 1)
        ([10.0, 10.0, 10.0, 12.0], 20.0, {}, slice(0, 3), 10.0, 11.0),
        # milliseconds
        ([1.001, 1.001, 1.002], 3.0, {}, slice(0, 2), 1.001, 1.002),
        # the next distinct time closer than the given resolution caps the spread
        ([1.0, 1.0, 1.5], 3.0, {"resolution": 10.0}, slice(0, 2), 1.0, 1.5),
        # a tie at the window's end spreads backwards
        ([1.0, 3.0, 3.0], 3.0, {}, slice(1, 3), 2.0, 3.0),
    ],
)
def test_jitter_stays_within_the_resolution(times, end, kwargs, tied, low, high):
    a = Events.from_arrays(times, end, ties="jitter", seed=3, **kwargs)[0].times
    assert np.all(np.diff(a) > 0) and a[-1] <= end
    assert np.all((a[tied] >= low) & (a[tied] < high) | (a[tied] == end))
    again = Events.from_arrays(times, end, ties="jitter", seed=3, **kwargs)[0].times
    assert a.tolist() == again.tolist()


def test_jitter_resolution_is_one_data_unit_on_commit_like_times():
    times = np.array([5.0, 5.0, 7.0, 9.0, 9.0, 9.0]) + 1.7e9
    jittered = Events.from_arrays(times, 1.7e9 + 20, start_time=1.7e9, ties="jitter", seed=0)
    assert np.max(np.abs(jittered[0].times - times)) < 1.0


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        (dict(seed=-1), ValueError, "seed must be a non-negative integer; got -1"),
        (dict(seed=1.5), TypeError, "seed must be a non-negative integer; got 1.5"),
        (dict(seed="1"), TypeError, "seed must be a non-negative integer"),
        (dict(seed=1, resolution=0.0), ValueError, "resolution must be positive"),
        (dict(seed=1, resolution="1"), TypeError, "resolution must be a real number"),
    ],
)
def test_jitter_arguments_are_checked(kwargs, error, text):
    with pytest.raises(error, match=text):
        Events.from_arrays([1.0, 1.0], 3.0, ties="jitter", **kwargs)


def test_simulated_rounding_ties_are_separated_reproducibly():
    import vostrel as vs

    # Times near 1e15 are rounded to multiples of 0.125: the shift alone makes ties.
    model = vs.Exponential(0.5, 0.5, 1.0)
    a = model.simulate(1e15 + 100.0, start_time=1e15, seed=1)
    b = model.simulate(1e15 + 100.0, start_time=1e15, seed=1)
    t = a[0].times
    assert a == b and np.all(np.diff(t) > 0) and t[0] >= 1e15 and t[-1] <= 1e15 + 100.0
    assert Events.from_arrays(t, 1e15 + 100.0, start_time=1e15) == a
    assert Events.from_arrays(t - 1e15, 100.0, ties="jitter", seed=0) is not None
    with pytest.raises(ValueError, match="holds fewer distinct double-precision times"):
        vs.Exponential(50.0, 0.5, 1.0).simulate(1e15 + 10.0, start_time=1e15, seed=1)


def test_separate_ties_moves_by_ulps_and_stays_inside_the_window():
    from vostrel.models._simulate import separate_ties

    t = np.array([1.0, 1.0, 1.0, np.nextafter(1.0, 2.0), 3.0, 3.0])
    separate_ties(t, 3.0)
    assert np.all(np.diff(t) > 0) and t[-1] == 3.0
    assert t[3] == np.nextafter(np.nextafter(np.nextafter(1.0, 2.0), 2.0), 2.0)
    assert t[4] == np.nextafter(3.0, 0.0)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: Events.from_arrays(np.array(["1", "2"], dtype=object), 3.0), TypeError, r"times\[0\] is a str"),
        (lambda: Events.from_arrays([1.0, 2.0], 3.0, n_dims=10**13), MemoryError, "n_dims: n_dims = 10000000000000"),
        (lambda: Events.from_arrays([1.0, 2.0], 3.0, dims=[0, 2**62]), MemoryError, "dims: its largest entry makes"),
        (
            lambda: Events.from_arrays([1.0], 3.0, dims=np.broadcast_to(np.int64(0), (10**11,))),
            MemoryError,
            "dims: 100000000000 values",
        ),
        (
            lambda: Events.from_arrays([1.0], 3.0, marks=np.broadcast_to(1.0, (10**9,))),
            ValueError,
            "marks has 1000000000 entries but times has 1",
        ),
        (lambda: Events.from_arrays([1.0], 3.0)[3], IndexError, "index 3 is out of range"),
        (lambda: Events.from_arrays([1.0], 3.0).times_by_dim(2), ValueError, "realization = 2"),
        (lambda: Events([], 1), ValueError, "must not be empty"),
        (lambda: Events("ab", 1), TypeError, "list of Realization"),
    ],
)
def test_hostile_arguments_get_clear_errors(call, error, text):
    with pytest.raises(error, match=text):
        call()


def _frame(**columns):
    return pd.DataFrame(columns)


@pytest.mark.parametrize(
    "frame, kwargs, error, text",
    [
        (_frame(time=[1.0 + 1j, 2.0]), {}, TypeError, "must hold numbers or datetimes; got dtype complex"),
        (pd.DataFrame([[1.0, 2.0]], columns=["time", "time"]), {}, ValueError, "2 columns named 'time'"),
        (
            _frame(time=pd.to_datetime(["2026-01-01 00:00:01"], utc=True)),
            dict(start_time=pd.Timestamp("2026-01-01"), end_time=pd.Timestamp("2026-01-02")),
            TypeError,
            "start_time .* has no time zone but time column 'time' has time zone UTC",
        ),
        (
            _frame(time=pd.to_datetime(["2026-01-01 00:00:01"])),
            dict(start_time=pd.Timestamp("2026-01-01"), end_time=86400.0),
            TypeError,
            "end_time must be a datetime .* got the number",
        ),
        (
            pd.DataFrame({"time": [1.0, 1.0]}, index=np.array([7, 8])),
            dict(end_time=3.0),
            ValueError,
            "time at row 8 = 1 is tied",
        ),
        (
            _frame(time=[1.0, 2.0], size=[1.0 + 1j, 2.0]),
            dict(end_time=3.0, mark="size"),
            TypeError,
            "mark column 'size' must hold numbers",
        ),
    ],
)
def test_from_dataframe_mends(frame, kwargs, error, text):
    kwargs.setdefault("end_time", 3.0)
    with pytest.raises(error, match=text):
        Events.from_dataframe(frame, **kwargs)


def test_from_dataframe_labels_are_plain_python_values():
    frame = pd.DataFrame({"time": [0.5, 0.7, 0.2], "who": np.array([1, 2, 1]), "d": ["x", "y", "x"]})
    events = Events.from_dataframe(frame, end_time=1.0, realization="who", dim="d")
    assert events.realization_names == (1, 2) and type(events.realization_names[0]) is int
    assert events[0].times.tolist() == [0.2, 0.5]
