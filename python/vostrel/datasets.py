"""Real event data shipped with the package.

:func:`load_commit_times` gives the commit times of one year (2023, UTC) of a large open-source
scientific Python project: 3,522 commits, with an anonymised author rank (0 to 3 for the four
most active committers, -1 for everyone else). The file is package data
(``vostrel/data/commit_times_2023.csv``): seconds since 2023-01-01 00:00 UTC and the rank.

Times are recorded to the second and 492 commits share their time with the commit before them
(commits that landed together). The likelihoods refuse tied times (see :mod:`vostrel.events`),
so the loader resolves them in one of the ways stated in :func:`load_commit_times`.
"""

from __future__ import annotations

from importlib import resources
from typing import Literal

import numpy as np

from ._checks import FloatArray, IntArray, as_int
from .events import Events

__all__ = ["load_commit_times", "COMMIT_TIMES_ORIGIN"]

#: The instant that time 0 of :func:`load_commit_times` stands for (UTC).
COMMIT_TIMES_ORIGIN = np.datetime64("2023-01-01T00:00:00", "s")

_SECONDS = {"s": 1.0, "min": 60.0, "h": 3600.0, "D": 86400.0}
_YEAR_SECONDS = 365 * 86400.0
_N_AUTHORS = 4


def _read_commit_times() -> tuple[FloatArray, IntArray]:
    with resources.files("vostrel").joinpath("data/commit_times_2023.csv").open("rb") as f:
        table = np.loadtxt(f, delimiter=",", skiprows=1, dtype=np.int64, ndmin=2)
    return table[:, 0].astype(np.float64), table[:, 1]


def load_commit_times(
    *,
    unit: Literal["s", "min", "h", "D"] = "h",
    by_author: bool = False,
    ties: Literal["jitter", "merge", "error"] = "jitter",
    seed: int = 0,
) -> Events:
    """Commit times of one year (2023) of a large open-source project.

    One realisation on the window [0, 365 days) from 2023-01-01 00:00 UTC
    (:data:`COMMIT_TIMES_ORIGIN`, kept in ``Events.time_origin``), in the unit `unit`
    (kept in ``Events.time_unit``). Day 0 is a Sunday.

    Parameters
    ----------
    unit : {"s", "min", "h", "D"}, default "h"
        Time unit of the returned times: hours make a daily period 24 and a weekly one 168.
    by_author : bool, default False
        False: one dimension, every commit. True: five dimensions, dimension k holding the
        commits of the k-th most active committer (k = 0..3) and dimension 4 everybody else
        (``Events.dim_names`` labels them).
    ties : {"jitter", "merge", "error"}, default "jitter"
        Tied times (492 commits share their second with the commit before them).
        ``"jitter"``: the package's ``ties="jitter"`` with `seed` (each tied commit is drawn
        uniformly within the resolution of the times, one second, which is the smallest gap
        between distinct times; no commit moves by a second or more and all 3,522 are kept). ``"merge"``: a group of commits with one time counts as one event (a
        push), in the dimension of its first commit in the file; 3,030 events remain.
        ``"error"``: the package's default, which raises on the first tie.
    seed : int, default 0
        Seed of the jitter (the same seed gives the same bits).

    Returns
    -------
    Events

    Examples
    --------
    >>> from vostrel.datasets import load_commit_times
    >>> events = load_commit_times()
    >>> events.n_events, float(events.end_times[0]), events.time_unit
    (3522, 8760.0, 'h')
    """
    if unit not in _SECONDS:
        raise ValueError(f"unit must be one of {sorted(_SECONDS)}; got {unit!r}")
    if ties not in ("jitter", "merge", "error"):
        raise ValueError(f"ties must be 'jitter', 'merge' or 'error'; got {ties!r}")
    if not isinstance(by_author, (bool, np.bool_)):
        raise TypeError(f"by_author must be True or False; got {by_author!r}")
    seed = as_int(seed, "seed", minimum=0)
    seconds, rank = _read_commit_times()
    if ties == "merge":
        first = np.ones(seconds.shape[0], dtype=bool)
        first[1:] = seconds[1:] != seconds[:-1]
        seconds, rank = seconds[first], rank[first]
    factor = _SECONDS[unit]
    times = seconds / factor
    end = _YEAR_SECONDS / factor
    policy: Literal["error", "jitter"] = "error" if ties == "error" else "jitter"
    if by_author:
        dims = np.where(rank < 0, _N_AUTHORS, rank)
        events = Events.from_arrays(
            times, end, dims=dims, n_dims=_N_AUTHORS + 1, ties=policy, seed=seed
        )
        names: tuple[str, ...] = tuple(f"author {k}" for k in range(_N_AUTHORS)) + ("others",)
    else:
        events = Events.from_arrays(times, end, ties=policy, seed=seed)
        names = ()
    return Events(
        list(events),
        events.n_dims,
        dim_names=names or None,
        time_origin=COMMIT_TIMES_ORIGIN,
        time_unit=unit,
    )
