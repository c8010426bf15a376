"""Benchmark of the Python layer's fit and goodness of fit on a million events.

Reports:
- the share of a fit's wall time spent inside native likelihood calls (target: at least 90%);
- the gradient evaluations spent on standard errors (target: at most 2p + 1);
- goodness of fit against one native likelihood call (target: at most 20x);
- memory allocated by the fit beyond the events themselves, in copies of the event array.

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


if __name__ == "__main__":
    main()
