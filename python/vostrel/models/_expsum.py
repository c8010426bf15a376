"""The exponential recursion in vectorised form, shared by every model whose kernel is a sum of
exponentials (exponential, sum of exponentials, marked, approximate power law, multivariate).

For one target dimension the excitation is Σ_k w_k·β_k·A_k, where A_k (the state of component k
just after an event) obeys A_k,i = exp(-β_k·Δ_i)·A_k,i-1 + b_k,i with b the jump of event i in
component k (1, the event's mark, or whether the event belongs to the component's source
dimension). Everything below works on that representation.
"""

from __future__ import annotations

import numpy as np

from .._checks import FloatArray
from ._base import decay, linear_recurrence, previous_index


def gaps(times: FloatArray, start: float) -> FloatArray:
    """Δ_i = t_i − t_{i−1}, with the first gap measured from the window's start."""
    out = np.empty_like(times)
    if times.shape[0]:
        out[0] = times[0] - start
        np.subtract(times[1:], times[:-1], out=out[1:])
    return out


def states(times: FloatArray, start: float, decays: FloatArray, jumps: FloatArray) -> FloatArray:
    """A, shape (N, K): each component's state just after each event."""
    factors = decay(-gaps(times, start)[:, None] * decays[None, :])
    return linear_recurrence(factors, np.broadcast_to(jumps, factors.shape))


def intensity(
    times: FloatArray,
    a: FloatArray,
    mu: float,
    decays: FloatArray,
    weights: FloatArray,
    at: FloatArray,
) -> FloatArray:
    """λ(at) = μ + Σ_k w_k·β_k·A_k(previous event)·exp(−β_k·(at − previous event))."""
    j = previous_index(times, at)
    out = np.full(at.shape[0], mu, dtype=np.float64)
    seen = j >= 0
    if seen.any():
        jj = j[seen]
        lag = at[seen] - times[jj]
        excitation = a[jj] * decay(-lag[:, None] * decays[None, :])
        out[seen] += excitation @ (weights * decays)
    return out


def increments(
    times: FloatArray,
    start: float,
    end: float,
    a: FloatArray,
    mu: float,
    decays: FloatArray,
    weights: FloatArray,
) -> FloatArray:
    """∫ λ over (t_{i−1}, t_i] for each event (t_{−1} = start), then over (t_{N−1}, end]:
    μ·Δ + Σ_k w_k·A_k,i−1·(1 − exp(−β_k·Δ)), the state before the first event being 0."""
    n = times.shape[0]
    delta = np.empty(n + 1)
    delta[:n] = gaps(times, start)
    delta[n] = end - (times[-1] if n else start)
    out = mu * delta
    if n:
        # 1 - exp(-βΔ) without cancellation for short gaps.
        fraction = -np.expm1(-delta[1:, None] * decays[None, :])
        out[1:] += (a * fraction) @ weights
    return out
