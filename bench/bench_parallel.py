"""Benchmark of the scale-out paths.

1. 2,000 sequences of about 1,000 events, exponential model: fits per second serially, on a
   two-process pool and on a two-worker Dask LocalCluster, with the speed-up over serial
   (targets on a two-core machine: >= 1.7x for the pool, >= 1.5x for Dask).
2. Joint fit of 200 realisations totalling about 10^6 events: time of one likelihood-and-gradient
   evaluation (one optimiser iteration) on two Dask workers against the serial joint fit
   (target <= 0.8x).
3. With --transports REV: the round trip of one joint-fit evaluation of 2,000 and 200,000 events
   on two workers through each transport, the backend of this tree (Dask actors) against the
   two transports of the package at git revision REV (a direct TCP connection per worker, and
   `client.run`), alternating. The old module is copied into the package for the run (workers
   must import it) and removed afterwards.

Every measurement is repeated; medians are shown, and the sides alternate within each round.
Run: python bench/bench_parallel.py [--quick] [--joint-only] [--transports REV]
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import pathlib
import statistics
import subprocess
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np
from dask.distributed import Client, LocalCluster

import vostrel as vs
from vostrel.models._base import prepare, time_scale
from vostrel._joint import DistributedData
from vostrel.parallel import fit_many, simulate_many


def timed(function):
    start = time.perf_counter()
    value = function()
    return time.perf_counter() - start, value


def workers_own_time(model, x, dask_worker=None):
    """On a worker: the time of its share of one evaluation, with no transport around it."""
    from distributed.protocol.pickle import dumps

    pickled = dumps((model, "default"))
    start = time.perf_counter()
    for partition in dask_worker.state.actors.values():
        partition._pieces(pickled, x)
    return time.perf_counter() - start


@contextlib.contextmanager
def module_at(revision):
    """vostrel/parallel.py as it was at `revision`, importable here and on the workers."""
    root = pathlib.Path(__file__).resolve().parents[1]
    source = subprocess.run(
        ["git", "show", f"{revision}:python/vostrel/parallel.py"],
        cwd=root, check=True, capture_output=True, text=True,
    ).stdout  # fmt: skip
    path = root / "python" / "vostrel" / "_bench_before.py"
    path.write_text(source)
    try:
        yield importlib.import_module("vostrel._bench_before")
    finally:
        path.unlink()


def transports(client, before):
    """Median round trip of one evaluation through each transport, alternating, in ms."""
    print("one joint-fit evaluation, serial and on two workers (median ms, alternating):")
    print(f"{'events':>8} {'serial':>8} {'direct TCP':>11} {'client.run':>11} {'Dask actor':>11}")
    truth = vs.Exponential(0.5, 0.6, 2.0)
    for total in (2_000, 200_000, 1_000_000):
        events = truth.simulate(total / 20 / 1.25, seed=2, n=20)
        model, x = truth, truth.to_vector()
        data = prepare(events)
        direct = before.DistributedData(client, events, 1.0)
        run = before.DistributedData(client, events, 1.0)
        run.channels = {}  # the fallback: Dask calls
        actors = DistributedData(client, events, 1.0)
        evaluations = {
            "serial": lambda: model._neg_ll_grad(data, x),
            "direct": lambda: direct.evaluate(model, x),
            "run": lambda: run.evaluate(model, x),
            "actor": lambda: actors.evaluate(model, x),
        }
        expected = evaluations["serial"]()
        for evaluation in evaluations.values():
            value = evaluation()
            assert value[0] == expected[0] and value[1].tobytes() == expected[1].tobytes()
        times: dict[str, list[float]] = {name: [] for name in evaluations}
        for _ in range(60):
            for name, evaluation in evaluations.items():
                times[name].append(timed(evaluation)[0])
        for side in (direct, run, actors):
            side.close()
        ms = [statistics.median(times[name]) * 1e3 for name in evaluations]
        print(f"{events.n_events:8d} {ms[0]:8.2f} " + " ".join(f"{m:11.2f}" for m in ms[1:]))


def summary(ratios):
    ratios = sorted(ratios)
    low, high = ratios[len(ratios) // 4], ratios[3 * len(ratios) // 4]
    return f"{statistics.median(ratios):.2f} (middle half {low:.2f}-{high:.2f})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument(
        "--joint-events",
        type=float,
        default=1e6,
        help="events in the joint fit (default 10^6; the ratio falls as the work per round grows)",
    )
    parser.add_argument("--joint-only", action="store_true", help="skip the many-sequences part")
    parser.add_argument(
        "--transports", metavar="REV", help="compare the transports with those at git revision REV"
    )
    args = parser.parse_args()
    n_sequences, rounds = (40, 1) if args.quick else (2000, 3)
    truth = vs.Exponential(0.5, 0.6, 2.0)
    # About 1,000 events each: the stationary rate is mu / (1 - alpha) = 1.25.
    sequences = simulate_many(truth, 800.0, n=n_sequences, seed=1)
    print(
        f"{n_sequences} sequences, {np.mean([s.n_events for s in sequences]):.0f} events on average"
    )

    before = contextlib.ExitStack()
    old = before.enter_context(module_at(args.transports)) if args.transports else None
    cluster = LocalCluster(
        n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None
    )
    client = Client(cluster)
    pool = ProcessPoolExecutor(2)
    try:
        if old is not None:
            transports(client, old)
        if not args.joint_only:
            # Warm this process and the workers (imports, first calls) before timing.
            fit_many(sequences[:8], vs.Exponential(), n_starts=1)
            fit_many(sequences[:8], vs.Exponential(), executor=pool, n_starts=1)
            fit_many(sequences[:8], vs.Exponential(), executor=client, n_starts=1)
            times: dict[str, list[float]] = {"serial": [], "pool": [], "dask": []}
            reference = None
            for _ in range(rounds):
                for name, executor in (("serial", None), ("pool", pool), ("dask", client)):
                    seconds, results = timed(
                        lambda: fit_many(sequences, vs.Exponential(), executor=executor, n_starts=1)
                    )
                    times[name].append(seconds)
                    estimates = np.array([r.estimates for r in results])
                    if reference is None:
                        reference = estimates
                    assert np.array_equal(estimates, reference), "results differ between executors"
            serial = statistics.median(times["serial"])
            print(f"{'executor':8} {'fits/s':>9} {'speed-up':>9}")
            for name in times:
                median = statistics.median(times[name])
                print(f"{name:8} {n_sequences / median:9.1f} {serial / median:9.2f}")

        n_realisations, total = (20, 20_000) if args.quick else (200, int(args.joint_events))
        events = truth.simulate(total / n_realisations / 1.25, seed=2, n=n_realisations)
        scale = time_scale(events)
        model = vs.Exponential()._scaled(scale)
        x = vs.Exponential(0.5, 0.6, 2.0)._scaled(scale).to_vector()
        data = prepare(events, scale)
        distributed = DistributedData(client, events, scale)
        distributed.evaluate(model, x)  # the workers prepare their partitions once
        serial_times, dask_times, floors = [], [], []
        for _ in range(5 if args.quick else 100):
            seconds, a = timed(lambda: model._neg_ll_grad(data, x))
            serial_times.append(seconds)
            seconds, b = timed(lambda: distributed.evaluate(model, x))
            dask_times.append(seconds)
            assert a[0] == b[0] and np.array_equal(a[1], b[1]), "distributed evaluation differs"
            # The workers' shares computed at once, timed inside the workers: what a transport
            # costing nothing would reach on this machine at this moment.
            shares = client.run(workers_own_time, model, x)
            floors.append(max(shares.values()))
        distributed.close()
        s, d = statistics.median(serial_times), statistics.median(dask_times)
        # Medians of each round's ratio: steadier than ratios of medians on a busy machine.
        print(
            f"joint fit, {events.n_events} events in {n_realisations} realisations, per iteration "
            f"({len(serial_times)} rounds):"
        )
        print(
            f"  serial {s * 1e3:.1f} ms, two Dask workers {d * 1e3:.1f} ms: ratio "
            f"{summary(dt / st for st, dt in zip(serial_times, dask_times))}; target <= 0.8"
        )
        print(
            "  the workers' shares alone, both at once: ratio "
            f"{summary(ft / st for st, ft in zip(serial_times, floors))}"
        )
    finally:
        pool.shutdown()
        client.close()
        cluster.close()
        before.close()


if __name__ == "__main__":
    main()
