"""Benchmark of the parametric-bootstrap goodness of fit.

Reports:
- calibration: bootstrap p-values of fits of the true model (Exponential(0.5, 0.6, 2.0)) over
  many seeded datasets, with a KS test of their uniformity (target p > 0.05), beside the plain
  KS p-values of the same fits;
- power: the rejection rate at 5% of an Exponential model fitted to sum-of-exponentials data
  (SumExponential(0.5, (0.3, 0.3), (0.2, 5.0)), about 6,600 events per dataset);
- time: a bootstrap of 199 refits of an exponential model on 10^4 events, serial and on a
  two-process pool (target at most 10 s), and a bootstrap of the power law.

The datasets of the first two parts are spread over a two-process pool (each bootstrap runs
serially inside its worker). Run: python bench/bench_gof.py [--quick]
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import statistics
import time

import numpy as np
from scipy import stats

import vostrel as vs

TRUTH = vs.Exponential(0.5, 0.6, 2.0)
MISFIT_TRUTH = vs.SumExponential(0.5, (0.3, 0.3), (0.2, 5.0))


def one_test(truth: vs.Model, family: vs.Model, end: float, seed: int, n_boot: int):
    """Worker: simulate one dataset, fit `family`, run both tests; (bootstrap p, plain p,
    events, failed refits)."""
    events = truth.simulate(end, seed=seed)
    result = vs.fit(events, family, seed=seed)
    boot = vs.goodness_of_fit(events, result, n_boot=n_boot, seed=seed)
    return float(boot.p_values[0]), float(boot.ks_p_values[0]), events.n_events, boot.n_failed


FIRST_SEED = 1000


def many_tests(truth, family, end, runs, n_boot, pool):
    futures = [
        pool.submit(one_test, truth, family, end, FIRST_SEED + k, n_boot) for k in range(runs)
    ]
    return [f.result() for f in futures]


def calibration(runs: int, end: float, n_boot: int, pool) -> None:
    start = time.perf_counter()
    out = many_tests(TRUTH, vs.Exponential(), end, runs, n_boot, pool)
    seconds = time.perf_counter() - start
    boot = np.array([o[0] for o in out])
    plain = np.array([o[1] for o in out])
    events = np.mean([o[2] for o in out])
    failed = sum(o[3] for o in out)
    uniform = stats.kstest(boot, "uniform")
    print(
        f"calibration: {runs} datasets of about {events:.0f} events, B = {n_boot}, "
        f"{seconds:.0f} s wall on 2 processes ({failed} failed refits)"
    )
    print(
        f"  bootstrap p-values: mean {boot.mean():.3f}, rejected at 5% {np.mean(boot <= 0.05):.3f}, "
        f"KS test of uniformity p = {uniform.pvalue:.3f} (target > 0.05)"
    )
    print(
        f"  plain KS p-values:  mean {plain.mean():.3f}, rejected at 5% {np.mean(plain <= 0.05):.3f}, "
        f"KS test of uniformity p = {stats.kstest(plain, 'uniform').pvalue:.2g}"
    )


def power(runs: int, end: float, n_boot: int, pool) -> None:
    start = time.perf_counter()
    out = many_tests(MISFIT_TRUTH, vs.Exponential(), end, runs, n_boot, pool)
    seconds = time.perf_counter() - start
    boot = np.array([o[0] for o in out])
    plain = np.array([o[1] for o in out])
    events = np.mean([o[2] for o in out])
    print(
        f"power: Exponential fitted to SumExponential data, {runs} datasets of about "
        f"{events:.0f} events, B = {n_boot}, {seconds:.0f} s wall"
    )
    print(
        f"  rejection rate at 5%: bootstrap {np.mean(boot <= 0.05):.2f}, "
        f"plain KS {np.mean(plain <= 0.05):.2f}"
    )


def timing(label, truth, family, end, n_boot, repeats) -> None:
    events = truth.simulate(end, seed=7)
    result = vs.fit(events, family)
    vs.goodness_of_fit(events, result, n_boot=0)  # scipy loaded before the clock starts
    serial, pooled, cpu = [], [], []
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        pool.submit(sum, [1]).result()  # workers started before the clock starts
        vs.goodness_of_fit(events, result, n_boot=64, executor=pool)  # and warmed up (scipy)
        reference = None
        for _ in range(repeats):  # alternating runs
            for executor, times in ((None, serial), (pool, pooled)):
                start, start_cpu = time.perf_counter(), time.process_time()
                gof = vs.goodness_of_fit(events, result, n_boot=n_boot, seed=3, executor=executor)
                times.append(time.perf_counter() - start)
                if executor is None:
                    cpu.append(time.process_time() - start_cpu)
                if reference is None:
                    reference = gof.boot_statistics
                assert np.array_equal(gof.boot_statistics, reference, equal_nan=True)
    load = os.getloadavg()[0]
    print(
        f"time, {label} (load average {load:.1f} on {os.cpu_count()} cores): "
        f"{events.n_events} events, B = {n_boot}: serial {statistics.median(serial):.2f} s "
        f"(CPU {statistics.median(cpu):.2f} s), two-process pool {statistics.median(pooled):.2f} s "
        f"(medians of {repeats}; identical statistics on both)"
    )


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="a run of seconds")
    parser.add_argument("--timing", action="store_true", help="only the timings")
    parser.add_argument(
        "--no-timing", action="store_true", help="only the calibration and the power"
    )
    parser.add_argument("--first-seed", type=int, default=1000, help="seed of the first dataset")
    args = parser.parse_args()
    global FIRST_SEED
    FIRST_SEED = args.first_seed
    quick = args.quick
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        if args.timing:
            pass
        elif quick:
            calibration(runs=20, end=400.0, n_boot=19, pool=pool)
            power(runs=4, end=5280.0, n_boot=19, pool=pool)
        else:
            calibration(runs=200, end=800.0, n_boot=99, pool=pool)
            power(runs=50, end=5280.0, n_boot=99, pool=pool)
    if args.no_timing:
        return
    if quick:
        timing("exponential", TRUTH, vs.Exponential(), 2000.0, 19, 1)
    else:
        timing("exponential", TRUTH, vs.Exponential(), 8000.0, 199, 3)
        timing("power law", vs.PowerLaw(0.5, 0.5, 1.0, 1.5), vs.PowerLaw(), 600.0, 19, 1)


if __name__ == "__main__":
    main()
