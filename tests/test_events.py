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
