"""Simulation plumbing: seeds per realisation, the branching-ratio guard, and a vectorised
cluster (branching) simulator for kernels that the native simulators do not cover.

Realisation k of a call with seed s always uses the seed sequence (s, spawn key k), so a
realisation's events do not depend on how many realisations are drawn, in what order, or in
which process.
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np

from .._checks import FloatArray, IntArray, as_int, finite_scalar, fmt, freeze, positive_scalar
from ..events import Realization

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
    branching_ratio: float, end_time: float, start_time: float, seed: int, n: int
) -> tuple[float, float, int, int]:
    """Validate the common arguments of `simulate` and refuse an explosive model."""
    if seed is None or isinstance(seed, bool) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"seed must be a non-negative integer; got {seed!r}")
    if seed < 0:
        raise ValueError(f"seed must be a non-negative integer; got {seed}")
    count = as_int(n, "n", minimum=1)
    end = finite_scalar(end_time, "end_time")
    start = finite_scalar(start_time, "start_time")
    positive_scalar(end - start, "end_time - start_time")
    if not branching_ratio < 1.0:
        raise ValueError(
            f"cannot simulate a model whose branching ratio is {fmt(branching_ratio)} (>= 1): "
            "the process is not stationary and its event count grows without bound"
        )
    return end, start, int(seed), count


def realization(
    times: FloatArray, dims: IntArray | None, start: float, end: float, n_dims: int
) -> Realization:
    if start != 0.0:
        times = times + start
        # Rounding of the shift must not push an event past the window's end.
        np.minimum(times, end, out=times)
    return Realization(
        freeze(np.ascontiguousarray(times, dtype=np.float64)),
        end,
        start,
        None if dims is None or n_dims == 1 else freeze(np.ascontiguousarray(dims, dtype=np.int64)),
    )


def cluster(
    rng: np.random.Generator, horizon: float, mu: FloatArray, offspring: Offspring
) -> tuple[FloatArray, IntArray]:
    """One realisation on [0, horizon) by the cluster construction, a generation at a time:
    immigrants of dimension m form a Poisson process of rate mu[m]; every event's children come
    from `offspring`; children at or after the horizon are dropped with their descendants."""
    counts = rng.poisson(mu * horizon)
    times = [rng.random(int(c)) * horizon for c in counts]
    dims = [np.full(int(c), m, dtype=np.int64) for m, c in enumerate(counts)]
    generation_times = np.concatenate(times)
    generation_dims = np.concatenate(dims)
    all_times, all_dims = [generation_times], [generation_dims]
    while generation_times.shape[0]:
        child_times, child_dims = offspring(rng, generation_times, generation_dims)
        keep = child_times < horizon
        generation_times, generation_dims = child_times[keep], child_dims[keep]
        all_times.append(generation_times)
        all_dims.append(generation_dims)
    merged = np.concatenate(all_times)
    merged_dims = np.concatenate(all_dims)
    order = np.argsort(merged, kind="stable")
    return merged[order], merged_dims[order]


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
