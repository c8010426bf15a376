# The shipped commit times: what the loader returns under each tie policy and unit.
import numpy as np
import pytest

from vostrel.datasets import COMMIT_TIMES_ORIGIN, load_commit_times


@pytest.mark.parametrize(
    "kwargs, n_events, n_dims, end",
    [
        ({}, 3522, 1, 8760.0),
        ({"ties": "merge"}, 3030, 1, 8760.0),
        ({"unit": "D", "by_author": True}, 3522, 5, 365.0),
        ({"unit": "s", "ties": "merge", "by_author": True}, 3030, 5, 31_536_000.0),
    ],
)
def test_loader_shapes(kwargs, n_events, n_dims, end):
    events = load_commit_times(**kwargs)
    assert (events.n_events, events.n_dims, events.end_times[0]) == (n_events, n_dims, end)
    assert events.time_unit == kwargs.get("unit", "h") and events.time_origin == COMMIT_TIMES_ORIGIN
    times = events[0].times
    assert np.all(np.diff(times) > 0) and times[0] >= 0 and times[-1] < end


def test_by_author_counts_and_reproducible_jitter():
    events = load_commit_times(by_author=True)
    assert events.dim_names == ("author 0", "author 1", "author 2", "author 3", "others")
    assert np.bincount(events[0].dims).tolist() == [604, 424, 317, 237, 1940]
    assert load_commit_times(seed=3) == load_commit_times(seed=3) != load_commit_times(seed=4)


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"ties": "error"}, "tied"),
        ({"ties": "drop"}, "ties"),
        ({"unit": "week"}, "unit"),
        ({"seed": -1}, "seed"),
    ],
)
def test_loader_refusals(kwargs, error):
    with pytest.raises(ValueError, match=error):
        load_commit_times(**kwargs)
