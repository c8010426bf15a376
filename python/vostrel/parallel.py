"""Scale-out of many independent sequences (fits, simulations) on a process pool or a Dask
cluster. All work travels as plain data to module-level functions that import the native module
themselves; results are the same bits whatever the executor and the number of workers. On
Dask, a worker silent for 30 s (the ``vostrel.frozen-worker`` Dask setting) is restarted and its
work rescheduled; a client closed, or cut off from its scheduler, gives one RuntimeError.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, Literal

from ._executors import FitFailure, _batch, _batches, _run, _worker_count
from ._results import FitResult
from .events import Events
from .fitting import fit
from .models._base import Model

__all__ = ["fit_many", "simulate_many", "FitFailure"]

Dataset = Events | Mapping[str, Any] | tuple[Any, float]


def _as_events(dataset: Any) -> Events:
    if isinstance(dataset, Events):
        return dataset
    if isinstance(dataset, Mapping):
        return Events.from_realizations([dataset])
    if isinstance(dataset, tuple) and len(dataset) == 2:
        return Events.from_arrays(dataset[0], dataset[1])
    raise TypeError(
        "each dataset must be an Events, a mapping with 'times' and 'end_time', or a pair "
        f"(times, end_time); got {type(dataset).__name__}"
    )


def _fit_one(item: Any, model: Model, options: dict[str, Any]) -> FitResult:
    return fit(_as_events(item), model, **options)


def fit_many(
    datasets: Sequence[Dataset],
    model: Model,
    *,
    executor: Any = None,
    batch_size: int | None = None,
    errors: Literal["store", "raise"] = "store",
    progress: bool = False,
    **fit_options: Any,
) -> list[FitResult | BaseException]:
    """Fit one model separately to each of many datasets.

    Parameters
    ----------
    datasets : sequence
        Each item an `Events`, a mapping with ``times`` and ``end_time`` (and optionally
        ``start_time``, ``dims``, ``marks``), or a pair ``(times, end_time)``; raw data are
        validated in the worker, so bad data fail only their own slot.
    model : Model
        The model template, as for :func:`vostrel.fit`.
    executor : optional
        None (serial, in this process), any :class:`concurrent.futures.Executor` such as a
        :class:`~concurrent.futures.ProcessPoolExecutor`, or a ``dask.distributed.Client``.
    batch_size : int, optional
        Datasets per task (default: a few dozen at most, several batches per worker).
    errors : {"store", "raise"}, default "store"
        ``"store"``: a dataset whose data or fit fails holds its exception in its slot;
        ``"raise"``: the first failure seen is raised and pending work is cancelled.
    progress : bool, default False
        A progress bar counting finished datasets, with an ETA (the ``progress`` extra).
    **fit_options
        Passed to :func:`vostrel.fit` (``fixed``, ``bounds``, ``n_starts``, ``seed``, ...).

    Returns
    -------
    list
        In input order: a :class:`~vostrel.FitResult`, or the exception of a failed dataset.
        Identical, bit for bit, whatever the executor and the number of workers.
    """
    if not isinstance(model, Model):
        raise TypeError(f"model must be a vostrel model; got {type(model).__name__}")
    if errors not in ("store", "raise"):
        raise ValueError(f"errors must be 'store' or 'raise'; got {errors!r}")
    if "executor" in fit_options:
        raise TypeError("fit_many takes executor once; it runs each fit serially inside a worker")
    if isinstance(datasets, (Events, Mapping)) or not isinstance(datasets, Sequence):
        raise TypeError(
            "datasets must be a list of datasets (Events, mappings or (times, end_time) pairs)"
        )
    batches = _batches(len(datasets), batch_size, _worker_count(executor))
    payloads = [
        (_fit_one, [(i, datasets[i]) for i in batch], model, dict(fit_options)) for batch in batches
    ]
    return _run(executor, payloads, batches, errors, progress, "fit_many")



def _simulate_one(index: int, model: Model, end: float, start: float, seed: int) -> Events:
    return Events([model._simulate_realization(end, start, seed, index)], model.n_dims)


def simulate_many(
    model: Model,
    end_time: float,
    *,
    n: int,
    seed: int,
    start_time: float = 0.0,
    executor: Any = None,
    batch_size: int | None = None,
    progress: bool = False,
) -> list[Events]:
    """Simulate `n` independent sequences, one `Events` each.

    Sequence k is realisation k of ``model.simulate(end_time, seed=seed, n=n)``: its seed comes
    from :class:`numpy.random.SeedSequence` (seed, spawn key k), so the result does not depend
    on the executor, the batch size or the number of workers.

    Parameters
    ----------
    model : Model
    end_time : float
    n : int
        Number of sequences.
    seed : int
    start_time : float, default 0.0
    executor, batch_size, progress
        As in :func:`fit_many`.

    Returns
    -------
    list of Events
    """
    if not isinstance(model, Model):
        raise TypeError(f"model must be a vostrel model; got {type(model).__name__}")
    end, start, seed, count = model._check_simulation(end_time, start_time, seed, n)
    batches = _batches(count, batch_size, _worker_count(executor))
    payloads = [(_simulate_one, [(i, i) for i in b], model, end, start, seed) for b in batches]
    return list(_run(executor, payloads, batches, "raise", progress, "simulate_many"))
