"""Simulation plumbing: seeds per realisation, the branching-ratio guard, and a vectorised
cluster (branching) simulator for kernels that the native simulators do not cover.

Realisation k of a call with seed s always uses the seed sequence (s, spawn key k), so a
realisation's events do not depend on how many realisations are drawn, in what order, or in
which process.

Ties from rounding. Simulated times are drawn in continuous time, but a window's start added to
them, or a long window, rounds them to doubles, and two events can then share a time, which
`Events` refuses. Such ties are resolved without randomness: each event tied with (or, after a
shift, before) its predecessor moves up to the next double above it, so a tie group at t becomes
t, t + 1 ulp, t + 2 ulp, ... in the simulator's order. No event moves by more than a few units in
the last place; a group that would run past the window's end is packed below it instead. The
result is a pure function of the draws, so the same seed gives the same bits everywhere.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any

import numpy as np

from .._checks import (
    FloatArray,
    IntArray,
    as_int,
    as_seed,
    check_memory,
    finite_scalar,
    first_index,
    fmt,
    format_bytes,
    format_count,
    freeze,
    memory_budget,
    positive_scalar,
)
from ..events import Realization, _validated

# Bytes a realisation costs beyond its events (the objects that hold it), and per event.
_REALIZATION_BYTES = 512
_EVENT_BYTES = 8

#: offspring(rng, parent_times, parent_dims) -> (child_times, child_dims)
Offspring = Callable[[np.random.Generator, FloatArray, IntArray], tuple[FloatArray, IntArray]]


def seed_sequence(seed: int, index: int) -> np.random.SeedSequence:
    return np.random.SeedSequence(seed, spawn_key=(index,))


def native_seed(seed: int, index: int) -> int:
    """A 64-bit seed for the native simulators, derived for realisation `index`."""
    return int(seed_sequence(seed, index).generate_state(1, np.uint64)[0])


def generator(seed: int, index: int) -> np.random.Generator:
    return np.random.Generator(np.random.PCG64(seed_sequence(seed, index)))


def check_simulation(
    branching_ratio: float,
    end_time: float,
    start_time: float,
    seed: int,
    n: int,
    *,
    baseline: Any = None,
) -> tuple[float, float, int, int]:
    """Validate the common arguments of `simulate` and refuse an explosive model.

    `n` realisations are checked against the memory budget before anything is drawn: each
    costs a fixed overhead and, when the model's `baseline` (μ, a number or an array) is given,
    its expected number of events Σμ·T/(1 − branching ratio).
    """
    seed = as_seed(seed)
    count = as_int(n, "n", minimum=1)
    end = finite_scalar(end_time, "end_time")
    start = finite_scalar(start_time, "start_time")
    positive_scalar(end - start, "end_time - start_time")
    if not branching_ratio < 1.0:
        raise ValueError(
            f"cannot simulate a model whose branching ratio is {fmt(branching_ratio)} (>= 1): "
            "the process is not stationary and its event count grows without bound"
        )
    per_realization = float(_REALIZATION_BYTES)
    if baseline is not None:
        expected = float(np.sum(baseline)) * (end - start) / (1.0 - branching_ratio)
        per_realization += _EVENT_BYTES * expected
    # One realisation beyond the budget is left to the simulators, whose messages say why.
    if count > 1 and per_realization <= memory_budget():
        check_memory(
            count * per_realization if count < 2**1000 else math.inf,
            "n",
            f"n = {format_count(count)} realisations of about {per_realization:.3g} bytes each",
        )
    return end, start, seed, count


def realization(
    times: FloatArray, dims: IntArray | None, start: float, end: float, n_dims: int
) -> Realization:
    """A simulated realisation, shifted to its window and with rounding ties resolved (see the
    module documentation); registered as validated, so `Events` takes it without a copy.

    Raises ValueError when the window holds fewer doubles than the realisation has events.
    """
    times = np.array(times, dtype=np.float64, order="C")
    if start != 0.0:
        times += start
        # Rounding of the shift must not push an event past the window's end.
        np.minimum(times, end, out=times)
    separate_ties(times, end)
    if times.shape[0] and times[0] < start:
        raise ValueError(
            f"start_time = {fmt(start)}: the window [{fmt(start)}, {fmt(end)}] holds fewer "
            f"distinct double-precision times than the {times.shape[0]} events simulated in it; "
            "simulate on a window nearer 0 (for example from 0) and shift the times yourself"
        )
    return _validated(
        Realization(
            freeze(times),
            end,
            start,
            None
            if dims is None or n_dims == 1
            else freeze(np.array(dims, dtype=np.int64, order="C")),
        )
    )


def _first_tie(times: FloatArray, offset: int) -> int | None:
    """The first index i >= offset with times[i + 1] <= times[i], or None."""
    tail = times[offset:]
    i = first_index(tail.shape[0] - 1, lambda lo, hi: tail[lo + 1 : hi + 1] <= tail[lo:hi])
    return None if i is None else offset + i


def separate_ties(times: FloatArray, end: float) -> None:
    """Make ascending `times` strictly ascending in place: a time not above its predecessor
    moves to the next double above it; a run that would pass `end` is packed below `end`."""
    n = times.shape[0]
    i = _first_tie(times, 0)
    while i is not None:
        j = i + 1
        while j < n and times[j] <= times[j - 1]:
            times[j] = np.nextafter(times[j - 1], np.inf)
            j += 1
        i = _first_tie(times, j)
    if n and times[-1] > end:
        times[-1] = end
        k = n - 2
        while k >= 0 and times[k] >= times[k + 1]:
            times[k] = np.nextafter(times[k + 1], -np.inf)
            k -= 1


def cluster(
    rng: np.random.Generator, horizon: float, mu: FloatArray, offspring: Offspring
) -> tuple[FloatArray, IntArray]:
    """One realisation on [0, horizon) by the cluster construction, a generation at a time:
    immigrants of dimension m form a Poisson process of rate mu[m]; every event's children come
    from `offspring`; children at or after the horizon are dropped with their descendants."""
    budget = memory_budget()
    expected = float(np.sum(mu)) * horizon
    if not 40.0 * expected <= budget:
        raise MemoryError(
            f"the baseline alone needs more memory than the memory budget of "
            f"{format_bytes(budget)}, half of the memory this process may use: "
            f"sum(mu)·t_horizon = {expected:.6g} expected events at 40 bytes each; check the "
            "units of mu and end_time"
        )
    counts = rng.poisson(mu * horizon)
    total = int(counts.sum())
    _within_budget(total, 0, horizon, budget)
    times = [rng.random(int(c)) * horizon for c in counts]
    dims = [np.full(int(c), m, dtype=np.int64) for m, c in enumerate(counts)]
    return descendants(
        rng,
        np.concatenate(times),
        np.concatenate(dims),
        horizon,
        offspring,
        lambda events, held: _within_budget(events, held, horizon, budget),
    )


def descendants(
    rng: np.random.Generator,
    times: FloatArray,
    dims: IntArray,
    end: float,
    offspring: Offspring,
    check: Callable[[int, int], None] | None = None,
) -> tuple[FloatArray, IntArray]:
    """The events `times, dims` (a first generation) with all their descendants before `end`,
    drawn a generation at a time from `offspring`, merged in time order (a stable sort).
    `check(events, held)`, if given, sees each new total before it is kept."""
    all_times, all_dims = [times], [dims]
    total = times.shape[0]
    while times.shape[0]:
        child_times, child_dims = offspring(rng, times, dims)
        keep = child_times < end
        times, dims = child_times[keep], child_dims[keep]
        if check is not None:
            check(total + times.shape[0], total)
        total += times.shape[0]
        all_times.append(times)
        all_dims.append(dims)
    merged = np.concatenate(all_times)
    merged_dims = np.concatenate(all_dims)
    order = np.argsort(merged, kind="stable")
    return merged[order], merged_dims[order]


def _within_budget(events: int, held: int, horizon: float, budget: int) -> None:
    # Times and dimensions of every event, merged and sorted at the end: about 40 bytes each.
    if 40 * events > budget:
        progress = "before its first event" if held == 0 else f"after {held} events"
        raise MemoryError(
            f"the simulation stopped {progress} (t_horizon = {fmt(horizon)}): {events} events "
            f"need {format_bytes(40 * events)}, more than the memory budget of "
            f"{format_bytes(budget)}, half of the memory this process may use; the parameters "
            "ask for more events than the budget holds (check the units of mu and end_time)"
        )


def univariate_offspring(
    branching: float, delays: Callable[[np.random.Generator, int], FloatArray]
) -> Offspring:
    """Offspring of a one-dimensional kernel: a Poisson(branching) number of children per event,
    each after a delay drawn from the kernel normalised to a density."""

    def offspring(
        rng: np.random.Generator, parents: FloatArray, parent_dims: IntArray
    ) -> tuple[FloatArray, IntArray]:
        counts: IntArray = np.asarray(rng.poisson(branching, size=parents.shape[0]), dtype=np.int64)
        total = int(counts.sum())
        children = np.repeat(parents, counts) + delays(rng, total)
        return children, np.zeros(total, dtype=np.int64)

    return offspring


def mixture_of_exponentials(
    weights: FloatArray, decays: FloatArray
) -> Callable[[np.random.Generator, int], FloatArray]:
    """Delays from the density Σ_k w_k·β_k·exp(−β_k·t) with Σ w_k = 1."""
    probabilities = weights / weights.sum()

    def draw(rng: np.random.Generator, size: int) -> FloatArray:
        component = rng.choice(decays.shape[0], size=size, p=probabilities)
        delays: FloatArray = rng.exponential(1.0, size) / decays[component]
        return delays

    return draw
