"""Benchmark of row-by-row multivariate fits (vostrel.network).

Reports, with medians of alternating rounds:
- fixed decay, D = 20, N = 10^5: the default fit with standard errors in units of one
  evaluation of the whole model's native loss_and_grad timed in the same run (target: at most
  130), and the log-likelihood against the generic joint fit (target: the same to 1e-6);
- per-cell decays, D = 20, N = 10^5: time, convergence, and the log-likelihood against the
  fixed- and shared-decay optima (target: at least both, in at most 30 s);
- fixed decay, D = 100, N = 10^6: time and peak memory of the fit with standard errors,
  serially and on a two-process pool (target: pool at most 0.6 of serial);
- sparse: precision and recall of the support chosen by l1_path on a D = 20 network with 80%
  zero cells, N = 10^5 (target: at least 0.9 each).

Run: python bench/bench_network.py [--quick] [--skip per_cell,big,...]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import vostrel as vs
from vostrel.models._base import prepare
from vostrel.network import l1_path


def network(
    d: int,
    n: float,
    seed: int,
    density: float,
    radius: float,
    diagonal: bool = True,
    high: float = 1.0,
) -> tuple[vs.Events, vs.MultivariateExponential]:
    rng = np.random.default_rng(seed)
    mask = (rng.uniform(size=(d, d)) < density) | (np.eye(d, dtype=bool) & diagonal)
    alpha = np.where(mask, rng.uniform(0.1, high, (d, d)), 0.0)
    alpha *= radius / np.max(np.abs(np.linalg.eigvals(alpha)))
    mu = np.full(d, 0.5)
    truth = vs.MultivariateExponential(mu, alpha, 2.0, "fixed")
    rate = np.linalg.solve(np.eye(d) - alpha, mu).sum()
    return truth.simulate(n / rate, seed=seed + 1), truth


def load() -> str:
    return "load average " + " ".join(f"{x:.2f}" for x in os.getloadavg())


def fixed_case(d: int, n: float, rounds: int) -> None:
    events, truth = network(d, n, 1, 0.3, 0.6)
    start = vs.MultivariateExponential(np.ones(d), np.zeros((d, d)), 2.0, "fixed")
    data = prepare(events)
    x = truth.to_vector()
    truth._neg_ll_grad(data, x)  # builds the native model once
    vs.fit(events, start)  # warm-up: imports, first calls
    ratios, walls, evals = [], [], []
    for _ in range(rounds):
        times = []
        for _ in range(15):
            t0 = time.perf_counter()
            truth._neg_ll_grad(data, x)
            times.append(time.perf_counter() - t0)
        evaluation = statistics.median(times)
        t0 = time.perf_counter()
        result = vs.fit(events, start)
        wall = time.perf_counter() - t0
        ratios.append(wall / evaluation)
        walls.append(wall)
        evals.append(evaluation)
    generic = vs.fit(events, start, bounds={})  # the joint L-BFGS-B fit
    ll_rows = result.model.log_likelihood(events)
    ll_generic = generic.model.log_likelihood(events)
    print(f"fixed decay, D = {d}, N = {events.n_events} ({load()})")
    print(f"  one native loss_and_grad: {statistics.median(evals) * 1e3:.2f} ms")
    print(f"  default fit with standard errors: {statistics.median(walls):.3f} s = "
          f"{statistics.median(ratios):.0f} evaluations (target <= 130); rounds {[round(r) for r in ratios]}")
    print(f"  log-likelihood rows {ll_rows:.9f}, joint fit {ll_generic:.9f}, "
          f"difference {ll_rows - ll_generic:.2e} (target |.| <= 1e-6 or rows higher)")
    print(f"  converged {result.converged}; joint fit converged {generic.converged}")


def per_cell_case(d: int, n: float) -> None:
    events, _ = network(d, n, 1, 0.3, 0.6)
    fixed = vs.fit(events, vs.MultivariateExponential(np.ones(d), np.zeros((d, d)), 2.0, "fixed"))
    shared = vs.fit(events, vs.MultivariateExponential(np.ones(d), np.zeros((d, d)), 1.0, "shared"))
    t0 = time.perf_counter()
    cells = vs.fit(
        events, vs.MultivariateExponential(np.ones(d), np.zeros((d, d)), np.ones((d, d)), "per_cell")
    )
    wall = time.perf_counter() - t0
    print(f"per-cell decays, D = {d}, N = {events.n_events} ({load()})")
    print(f"  time {wall:.1f} s (target <= 30 s), converged {cells.converged}")
    print(f"  log-likelihood per-cell {cells.log_likelihood:.6f}, shared {shared.log_likelihood:.6f}, "
          f"fixed {fixed.log_likelihood:.6f}")
    for note in cells.notes:
        print(f"  note: {note}")


def _tiny_fit() -> None:
    """One small row-by-row fit: the imports and first calls a fit makes (SciPy's optimiser and
    linear algebra, the BLAS thread limit), so that the timed fit measures the work itself."""
    model = vs.MultivariateExponential([0.5, 0.5], [[0.2, 0.1], [0.1, 0.2]], 2.0, "fixed")
    vs.fit(model.simulate(200.0, seed=1), model)


def _warm(barrier: object) -> int:
    _tiny_fit()
    barrier.wait(timeout=120)  # type: ignore[attr-defined]  # every worker warms, not one twice
    return os.getpid()


def big_child(path: str, workers: int) -> None:
    import resource

    archive = np.load(path)
    events = vs.Events.from_arrays(archive["times"], float(archive["end"]), dims=archive["dims"],
                                   n_dims=int(archive["d"]))
    d = int(archive["d"])
    model = vs.MultivariateExponential(np.ones(d), np.zeros((d, d)), 2.0, "fixed")
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if workers > 1:
        import multiprocessing
        from concurrent.futures import ProcessPoolExecutor

        _tiny_fit()
        with multiprocessing.Manager() as manager, ProcessPoolExecutor(workers) as pool:
            # The pool's processes start, import the package and make a first small fit
            # before the clock starts, as the serial run does below.
            barrier = manager.Barrier(workers)
            list(pool.map(_warm, [barrier] * workers))
            t0 = time.perf_counter()
            result = vs.fit(events, model, executor=pool)
            wall = time.perf_counter() - t0
    else:
        _tiny_fit()
        t0 = time.perf_counter()
        result = vs.fit(events, model)
        wall = time.perf_counter() - t0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    children = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    print(json.dumps({"wall": wall, "peak_mib": peak / 1024, "before_mib": before / 1024,
                      "children_mib": children / 1024, "converged": result.converged,
                      "ll": result.log_likelihood}))


def big_case(d: int, n: float, rounds: int) -> None:
    """Serial and pool runs alternate, each in a fresh process. On a shared machine the pool's
    ratio holds only while two cores are free: the load average is printed with the result."""
    events, _ = network(d, n, 3, 0.05, 0.5)
    r = events[0]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "events.npz")
        np.savez(path, times=r.times, dims=r.dims, end=r.end_time, d=d)
        runs: dict[int, list[dict]] = {1: [], 2: []}
        for _ in range(rounds):
            for workers in (1, 2):
                out = subprocess.run(
                    [sys.executable, __file__, "--child", path, str(workers)],
                    capture_output=True, text=True, check=True,
                )
                runs[workers].append(json.loads(out.stdout.strip().splitlines()[-1]))
    serial = statistics.median(x["wall"] for x in runs[1])
    pooled = statistics.median(x["wall"] for x in runs[2])
    print(f"fixed decay, D = {d}, N = {events.n_events} ({load()})")
    print(f"  serial {serial:.1f} s, peak RSS {statistics.median(x['peak_mib'] for x in runs[1]):.0f} MiB "
          f"(events alone: {events.n_events * 16 / 2**20:.0f} MiB)")
    print(f"  two-process pool {pooled:.1f} s = {pooled / serial:.2f} of serial (target <= 0.6); "
          f"driver peak {statistics.median(x['peak_mib'] for x in runs[2]):.0f} MiB, "
          f"largest worker {statistics.median(x['children_mib'] for x in runs[2]):.0f} MiB")
    print(f"  rounds (serial, pool) s: "
          f"{[(round(a['wall'], 1), round(b['wall'], 1)) for a, b in zip(runs[1], runs[2])]}; "
          f"pool/serial per round {[round(b['wall'] / a['wall'], 2) for a, b in zip(runs[1], runs[2])]}")
    print(f"  same log-likelihood serial and pool: {runs[1][0]['ll'] == runs[2][0]['ll']}; "
          f"converged {all(x['converged'] for x in runs[1] + runs[2])}")


def sparse_case(d: int, n: float) -> None:
    # Two networks of 20% nonzero cells: moderate effects (alpha drawn from [0.1, 0.5] before
    # scaling to a spectral radius of 0.7) and a wider spread that includes weak cells ([0.1, 1]).
    for high in (0.5, 1.0):
        events, truth = network(d, n, 7, 0.2, 0.7, diagonal=False, high=high)
        nonzero = truth.alpha > 0
        model = vs.MultivariateExponential(np.ones(d), np.zeros((d, d)), 2.0, "fixed")
        t0 = time.perf_counter()
        path = l1_path(events, model)
        wall = time.perf_counter() - t0
        hits = (path.support & nonzero).sum()
        print(f"sparse, D = {d}, N = {events.n_events}, {nonzero.sum()} nonzero cells, alpha in "
              f"[{truth.alpha[nonzero].min():.3f}, {truth.alpha.max():.3f}] ({load()})")
        print(f"  path of {len(path.strengths)} strengths in {wall:.1f} s; precision "
              f"{hits / max(path.support.sum(), 1):.3f}, recall {hits / nonzero.sum():.3f} "
              "(targets >= 0.9)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--skip", default="", help="comma-separated cases to skip")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        big_child(args.child[0], int(args.child[1]))
        return
    skip = set(filter(None, args.skip.split(",")))
    if args.quick:
        sizes = {"fixed": (5, 1e4, 1), "per_cell": (3, 3e3), "big": (10, 2e4, 1), "sparse": (6, 1e4)}
    else:
        sizes = {"fixed": (20, 1e5, 5), "per_cell": (20, 1e5), "big": (100, 1e6, 3), "sparse": (20, 1e5)}
    if "fixed" not in skip:
        fixed_case(*sizes["fixed"])
    if "sparse" not in skip:
        sparse_case(*sizes["sparse"])
    if "big" not in skip:
        big_case(*sizes["big"])
    if "per_cell" not in skip:
        per_cell_case(*sizes["per_cell"])


if __name__ == "__main__":
    main()
