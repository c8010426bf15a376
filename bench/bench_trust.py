"""Benchmark of how far a fit's verdict can be trusted.

Reports:
- sumexp: over seeded default fits of a sum of two exponentials (truth mu 0.5, alphas (0.3, 0.3),
  betas (0.2, 5.0), window 2,000), how many say "converged" while ending more than 0.1 nats
  below a fit started at the truth (target: none), and how many end there at all;
- units: the power law fitted to the real commit times (ties jittered with a fixed seed) in
  seconds, milliseconds, minutes, hours and days: the largest relative spread of the estimates
  and standard errors once mapped back to seconds, and of the log-likelihood shifted by N·log s;
- timing: the wall time of a default exponential fit, this tree against another copy of the
  package (``--compare PATH``, a directory holding ``vostrel``), alternating in one run, medians.

Run: python bench/bench_trust.py [--quick] [--only sumexp,units,timing] [--compare PATH]
"""

from __future__ import annotations

import argparse
import math
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

DATA = Path("/work/shared/data/commit_times_2023.csv")
TRUTH = (0.5, (0.3, 0.3), (0.2, 5.0))


def bench_sumexp(n_fits: int) -> None:
    import vostrel as vs

    truth = vs.SumExponential(*TRUTH)
    below, below_converged, not_converged = [], [], 0
    start = time.perf_counter()
    for k in range(n_fits):
        seed = 40000 + k
        events = truth.simulate(2000.0, seed=seed)
        default = vs.fit(events, vs.SumExponential())
        reference = vs.fit(events, truth, start="model", n_starts=1)
        gap = reference.log_likelihood - default.log_likelihood
        not_converged += not default.converged
        if gap > 0.1:
            below.append((seed, gap))
            if default.converged:
                below_converged.append((seed, gap))
    wall = time.perf_counter() - start
    print(f"sumexp: {n_fits} default fits ({wall:.1f} s)")
    print(f"  ending > 0.1 nats below the fit started at the truth: {len(below)}")
    print(f"  ... of which say converged: {len(below_converged)} (target 0)")
    print(f"  say not converged: {not_converged}")
    for seed, gap in below[:10]:
        print(f"    seed {seed}: {gap:.3f} nats below")


UNITS = {"s": 1.0, "ms": 1e3, "min": 1.0 / 60.0, "h": 1.0 / 3600.0, "d": 1.0 / 86400.0}


def bench_units(quick: bool) -> None:
    import vostrel as vs

    seconds = np.sort(np.loadtxt(DATA, delimiter=",", skiprows=1, usecols=0))
    end = 365.0 * 86400.0
    if quick:
        # The first month: the same checks at a tenth of the cost.
        seconds, end = seconds[seconds < 31 * 86400.0], 31 * 86400.0
    base = vs.Events.from_arrays(seconds, end, ties="jitter", seed=2023)
    times = base[0].times
    rows = {}
    for name, s in UNITS.items():
        events = vs.Events.from_arrays(times * s, end * s)
        start = time.perf_counter()
        result = vs.fit(events, vs.PowerLaw())
        wall = time.perf_counter() - start
        back = result.model.rescale_time(1.0 / s)  # back to seconds
        # Standard errors to seconds through the same map (the Jacobian of the change of unit).
        jacobian = result.model._unscale_jacobian(result.model.to_vector(), s)
        se = np.sqrt(np.diag(jacobian @ np.nan_to_num(result.covariance) @ jacobian.T))
        se[~np.isfinite(result.std_errors)] = np.nan
        rows[name] = (back.to_vector(), se, result.log_likelihood + events.n_events * math.log(s))
        print(
            f"units {name:>3}: log-lik (in s) {rows[name][2]:.6f}, converged {result.converged}, "
            f"branching {result.branching_ratio:.4g}, {wall:.1f} s, "
            f"{sum(s.n_eval for s in result.starts) + result.n_hessian_evaluations} evaluations"
        )
        for note in result.notes:
            print(f"      note: {note}")
    est = np.array([r[0] for r in rows.values()])
    se = np.array([r[1] for r in rows.values()])
    ll = np.array([r[2] for r in rows.values()])
    print(f"  estimates (s): {est[0]}")
    print(f"  std errors (s): {se[0]}")
    with np.errstate(invalid="ignore"):
        print(
            f"  largest relative spread of estimates: {np.max(np.ptp(est, 0) / np.abs(est[0])):.2e}"
        )
        print(
            f"  largest relative spread of standard errors: {np.nanmax(np.ptp(se, 0) / se[0]):.2e}"
        )
    print(f"  spread of shifted log-likelihoods: {np.ptp(ll):.2e} nats")


TIMING = """
import statistics, sys, time
import vostrel as vs
events = vs.Exponential(0.5, 0.6, 2.0).simulate({end}, seed=1)
vs.fit(vs.Exponential(0.5, 0.6, 2.0).simulate(200.0, seed=2), vs.Exponential())
walls = []
for _ in range({repeats}):
    start = time.perf_counter()
    vs.fit(events, vs.Exponential())
    walls.append(time.perf_counter() - start)
print(statistics.median(walls))
"""


def bench_timing(compare: str, quick: bool) -> None:
    here = str(Path(__file__).resolve().parent.parent / "python")
    rounds = 3 if quick else 8
    end = 8_000.0 if quick else 200_000.0
    code = TIMING.format(end=end, repeats=3)
    walls: dict[str, list[float]] = {"before": [], "after": []}
    for _ in range(rounds):
        for label, path in (("before", compare), ("after", here)):
            env = dict(os.environ, PYTHONPATH=path)
            out = subprocess.run(
                [sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True
            )
            walls[label].append(float(out.stdout.strip()))
    before, after = statistics.median(walls["before"]), statistics.median(walls["after"])
    print(
        f"timing: default exponential fit of about {int(end * 1.25)} events, {rounds} alternating "
        f"rounds: before {before * 1e3:.1f} ms, after {after * 1e3:.1f} ms "
        f"(ratio {after / before:.3f}; target <= 1.10)"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--only", default="sumexp,units,timing", help="comma-separated parts")
    parser.add_argument("--compare", default=None, help="a directory holding another vostrel")
    parser.add_argument("--fits", type=int, default=None, help="number of sum-of-exponential fits")
    args = parser.parse_args()
    parts = set(args.only.split(","))
    if "sumexp" in parts:
        bench_sumexp(args.fits or (10 if args.quick else 300))
    if "units" in parts and DATA.exists():
        bench_units(args.quick)
    if "timing" in parts and args.compare:
        bench_timing(args.compare, args.quick)


if __name__ == "__main__":
    main()
