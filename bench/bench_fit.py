"""Benchmark of the Python layer's fit and goodness of fit on a million events.

Reports:
- the share of a fit's wall time spent inside native likelihood calls (target: at least 90%);
- the gradient evaluations spent on standard errors (target: at most 2p + 1);
- goodness of fit against one native likelihood call (target: at most 20x);
- memory allocated by the fit beyond the events themselves, in copies of the event array;
- a fit with a periodic baseline (4 and 24 bins) against the constant-baseline fit of the same
  events, alternating in one run: one likelihood-and-gradient evaluation, and the whole fit
  (target: at most 1.5x), with the iterations and the gradient calls spent on standard errors
  of each (the periodic fit's observed information is in closed form: one native pass).

Run: python bench/bench_fit.py [--quick]
"""

from __future__ import annotations

import argparse
import statistics
import time
import tracemalloc


import vostrel as vs
from vostrel._libvostrel import likelihood as native
from vostrel.models import univariate


class TimedNative:
    """Stands in for the native likelihood module and adds up the time spent in its calls."""

    def __init__(self) -> None:
        self.seconds = 0.0
        self.calls = 0

    def __getattr__(self, name: str):
        function = getattr(native, name)

        def timed(*args, **kwargs):
            start = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                self.seconds += time.perf_counter() - start
                self.calls += 1

        return timed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    args = parser.parse_args()
    n_target = 10_000 if args.quick else 1_000_000
    rounds = 1 if args.quick else 3

    truth = vs.Exponential(0.5, 0.6, 2.0)
    events = truth.simulate(n_target / 1.25, seed=1)
    print(f"{events.n_events} events, exponential model, {rounds} round(s); medians shown")

    # One-time costs (scipy's import, the first calls) are not what is measured.
    warm = truth.simulate(200.0, seed=2)
    vs.fit(warm, vs.Exponential(), n_starts=1)
    vs.goodness_of_fit(warm, truth)

    shares, walls, hessian_calls = [], [], []
    for _ in range(rounds):
        timer = TimedNative()
        univariate.native = timer  # type: ignore[assignment]
        try:
            start = time.perf_counter()
            result = vs.fit(events, vs.Exponential(), n_starts=1)
            wall = time.perf_counter() - start
        finally:
            univariate.native = native
        walls.append(wall)
        shares.append(timer.seconds / wall)
        hessian_calls.append(result.n_hessian_evaluations)
    # Memory in a separate run: tracing allocations slows the Python side down.
    tracemalloc.start()
    vs.fit(events, vs.Exponential(), n_starts=1)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    peaks = [peak / (8 * events.n_events)]
    p = len(result.names)
    print(
        f"fit: {statistics.median(walls):.3f} s, {result.n_iter} iterations, "
        f"converged={result.converged}"
    )
    print(f"  share of time inside native calls: {statistics.median(shares):.3f} (target >= 0.90)")
    print(
        f"  gradient evaluations for standard errors: {max(hessian_calls)} "
        f"(target <= 2p + 1 = {2 * p + 1})"
    )
    print(
        f"  peak memory allocated during the fit: {statistics.median(peaks):.2f} event-array copies"
    )

    r = events[0]
    ratios = []
    for _ in range(rounds):
        start = time.perf_counter()
        native.uni_exp_neg_ll(r.times, r.end_time, 0.5, 0.6, 2.0)
        one_call = time.perf_counter() - start
        start = time.perf_counter()
        vs.goodness_of_fit(events, truth)
        gof = time.perf_counter() - start
        ratios.append(gof / one_call)
    print(
        f"goodness of fit: {statistics.median(ratios):.1f}x one uni_exp_neg_ll call (target <= 20)"
    )

    periodic_baseline(events, rounds)


def periodic_baseline(events: vs.Events, rounds: int) -> None:
    """Periodic-baseline fits against constant-baseline fits of the same events, alternating
    (this machine's speed drifts: each ratio compares neighbouring runs); medians shown."""
    import numpy as np

    from vostrel.baselines import PeriodicBaseline, WithBaseline
    from vostrel.models._base import prepare

    constant = vs.Exponential(0.5, 0.6, 2.0)
    data = prepare(events)
    repeats = max(3 * rounds, 3)
    print(
        f"periodic baseline vs constant, alternating, {repeats} pairs; medians "
        "(target: whole fit <= 1.5x)"
    )
    print(
        "  bins | one evaluation | whole fit | fit seconds (constant, periodic) "
        "| iterations | gradient calls for standard errors"
    )
    for n_bins in (4, 24):
        model = WithBaseline(vs.Exponential(), PeriodicBaseline(24.0, n_bins=n_bins))
        x = np.concatenate([np.full(n_bins, 0.5), [0.6, 2.0]])
        model._neg_ll_grad(data, x)  # the events' bins are found once per fit
        evaluations, fits, seconds = [], [], []
        for _ in range(repeats):
            start = time.perf_counter()
            constant._neg_ll_grad(data, constant.to_vector())
            one = time.perf_counter() - start
            start = time.perf_counter()
            model._neg_ll_grad(data, x)
            evaluations.append((time.perf_counter() - start) / one)
        for _ in range(repeats):
            start = time.perf_counter()
            plain = vs.fit(events, vs.Exponential(), n_starts=1)
            one = time.perf_counter() - start
            start = time.perf_counter()
            varying = vs.fit(events, model, n_starts=1)
            other = time.perf_counter() - start
            fits.append(other / one)
            seconds.append((one, other))
        print(
            f"  {n_bins:4d} | {statistics.median(evaluations):13.2f}x "
            f"| {statistics.median(fits):8.2f}x "
            f"| {statistics.median(s[0] for s in seconds):.3f}, "
            f"{statistics.median(s[1] for s in seconds):.3f} "
            f"| {plain.n_iter}, {varying.n_iter} "
            f"| {plain.n_hessian_evaluations}, {varying.n_hessian_evaluations}"
        )


if __name__ == "__main__":
    main()
