"""Coverage of interval kinds at the boundary and the level of the no-excitation test.

Reports:
- coverage of 95% intervals of the branching matrix of a 3-dimensional exponential model with
  a fixed decay (beta = 1) and four true-zero cells, over seeded fits: profile intervals (the
  default for these cells given the events) and log-scale Wald intervals, separately for the
  zero and the nonzero cells (target: profile coverage >= 0.90 for both);
- the rejection rate at 5% of the likelihood-ratio test of no excitation on data simulated
  without excitation: all of alpha of a univariate Exponential (beta fitted) on Poisson data,
  and one zero cell of the multivariate model (target: within 3-7%), with a binomial 95%
  interval of the rate and the mean p-value.

Run: python bench/bench_intervals.py [--quick] [--processes N]
"""

from __future__ import annotations

import argparse
import math
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import vostrel as vs

ALPHA = np.array([[0.3, 0.0, 0.2], [0.0, 0.3, 0.0], [0.2, 0.15, 0.0]])
MU = np.array([0.3, 0.3, 0.3])
WINDOW = 1000.0


def coverage_run(
    seed: int,
) -> tuple[list[bool], list[bool], list[bool], list[bool], float]:
    """One seeded fit of the 3-dimensional model: which cells each interval kind covers."""
    truth = vs.MultivariateExponential(MU, ALPHA, 1.0, decay="fixed")
    events = truth.simulate(WINDOW, seed=seed)
    start = vs.MultivariateExponential(MU, np.full((3, 3), 0.1), 1.0, decay="fixed")
    result = vs.fit(events, start, seed=seed)
    began = time.perf_counter()
    profile = vs.profile_intervals(events, result, "alpha")
    seconds = time.perf_counter() - began
    wald = result.conf_int(method="wald")
    true = ALPHA.ravel()
    rows = slice(3, 12)

    def covers(intervals: np.ndarray) -> list[bool]:
        low, high = intervals[rows, 0], intervals[rows, 1]
        return [bool(lo <= t <= hi) for lo, hi, t in zip(low, high, true)]

    p, w = covers(profile), covers(wald)
    zero = true == 0.0
    return (
        [c for c, z in zip(p, zero) if z],
        [c for c, z in zip(p, zero) if not z],
        [c for c, z in zip(w, zero) if z],
        [c for c, z in zip(w, zero) if not z],
        seconds,
    )


def level_univariate(seed: int) -> tuple[float, float]:
    events = vs.Exponential(1.0, 0.0, 2.0).simulate(500.0, seed=seed)
    result = vs.fit(events, vs.Exponential(), seed=seed)
    test = vs.likelihood_ratio_test(events, result, "alpha")
    return test.p_value, test.statistic


def level_cell(seed: int) -> tuple[float, float]:
    truth = vs.MultivariateExponential(MU, ALPHA, 1.0, decay="fixed")
    events = truth.simulate(WINDOW / 2, seed=seed)
    start = vs.MultivariateExponential(MU, np.full((3, 3), 0.1), 1.0, decay="fixed")
    result = vs.fit(events, start, seed=seed)
    test = vs.likelihood_ratio_test(events, result, "alpha[1,0]")
    return test.p_value, test.statistic


def rate(hits: int, n: int) -> str:
    p = hits / n
    half = 1.96 * math.sqrt(max(p * (1 - p), 1e-12) / n)
    return f"{p:.4f} ({hits}/{n}; 95% interval {max(p - half, 0):.4f}-{p + half:.4f})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument(
        "--quick", action="store_true", help="small sizes, for a smoke run"
    )
    parser.add_argument("--processes", type=int, default=1, help="worker processes")
    args = parser.parse_args()
    n_cover = 4 if args.quick else 300
    n_level = 40 if args.quick else 2000

    with ProcessPoolExecutor(args.processes) as pool:
        began = time.perf_counter()
        runs = list(pool.map(coverage_run, range(1, n_cover + 1), chunksize=4))
        wall = time.perf_counter() - began
        pz = [c for r in runs for c in r[0]]
        pn = [c for r in runs for c in r[1]]
        wz = [c for r in runs for c in r[2]]
        wn = [c for r in runs for c in r[3]]
        seconds = sorted(r[4] for r in runs)
        print(
            f"3-dimensional exponential, fixed decay 1, T = {WINDOW:g}, {n_cover} fits"
        )
        print(f"  profile  coverage, zero cells:    {rate(sum(pz), len(pz))}")
        print(f"  profile  coverage, nonzero cells: {rate(sum(pn), len(pn))}")
        print(f"  log-Wald coverage, zero cells:    {rate(sum(wz), len(wz))}")
        print(f"  log-Wald coverage, nonzero cells: {rate(sum(wn), len(wn))}")
        print(
            f"  profile of 9 cells: median {seconds[len(seconds) // 2]:.3f} s per fit "
            f"(wall {wall:.1f} s for all, {args.processes} process(es))"
        )

        for label, function in (
            (
                "univariate Exponential, alpha = 0 (beta fitted), T = 500",
                level_univariate,
            ),
            ("3-dimensional, cell alpha[1,0] = 0 (fixed decay), T = 500", level_cell),
        ):
            began = time.perf_counter()
            outcomes = np.array(
                list(pool.map(function, range(10_001, 10_001 + n_level), chunksize=16))
            )
            wall = time.perf_counter() - began
            p_values, statistics = outcomes[:, 0], outcomes[:, 1]
            hits = int(np.sum(p_values < 0.05))
            print(f"{label}, {n_level} fits ({wall:.1f} s)")
            print(f"  rejection rate at 5%: {rate(hits, n_level)}")
            print(
                f"  share of statistics at 0: {np.mean(statistics == 0.0):.3f} (mixture: 0.5); "
                f"rate at 10%: {np.mean(p_values < 0.10):.4f}"
            )


if __name__ == "__main__":
    main()
