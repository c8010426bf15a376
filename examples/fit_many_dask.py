"""Fit a few thousand simulated sequences on a Dask cluster: a local one with two workers, or an
existing cluster whose scheduler address is given.

Run: python examples/fit_many_dask.py [tcp://scheduler-host:8786]
"""

import sys

import numpy as np
from dask.distributed import Client, LocalCluster

import vostrel as vs
from vostrel.parallel import fit_many, simulate_many


def main() -> None:
    if len(sys.argv) > 1:
        client = Client(sys.argv[1])  # an existing cluster
        cluster = None
    else:
        cluster = LocalCluster(
            n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None
        )
        client = Client(cluster)
    try:
        truth = vs.Exponential(mu=0.5, alpha=0.6, beta=2.0)
        sequences = simulate_many(truth, 400.0, n=3000, seed=1, executor=client)
        results = fit_many(sequences, vs.Exponential(), executor=client, n_starts=1, progress=False)
        fitted = [r for r in results if isinstance(r, vs.FitResult)]
        failed = len(results) - len(fitted)
        estimates = np.array([r.estimates for r in fitted])
        print(
            f"{len(fitted)} fits ({failed} failed) "
            f"on {len(client.nthreads())} workers"
        )
        for name, true, column in zip(fitted[0].names, truth.to_vector(), estimates.T):
            print(f"{name:6} truth {true:6.3f}   median estimate {np.median(column):6.3f}")
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


if __name__ == "__main__":
    main()
