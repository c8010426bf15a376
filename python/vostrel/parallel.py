"""Scale-out of many independent sequences (fits, simulations) on a process pool or a Dask
cluster. All work travels as plain data to module-level functions that import the native module
themselves; results are the same bits whatever the executor and the number of workers. On
Dask, a worker silent for 30 s (the ``vostrel.frozen-worker`` Dask setting) is restarted and its
work rescheduled; a client closed, or cut off from its scheduler, gives one RuntimeError.
"""

from __future__ import annotations

import concurrent.futures
import math
import os
import pickle
import traceback
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal, cast

from . import _joint
from ._checks import as_int
from ._progress import progress_bar
from .events import Events
from .fitting import FitResult, fit
from .models._base import Model

__all__ = ["fit_many", "simulate_many", "FitFailure"]

Dataset = Events | Mapping[str, Any] | tuple[Any, float]


class FitFailure(RuntimeError):
    """Stands in for an exception raised in another process that could not be sent back as it
    was; carries its type name, message and traceback text.

    Parameters
    ----------
    kind : str
        Type name of the original exception.
    message : str
        Its message.
    trace : str
        Its traceback, as text.
    """

    def __init__(self, kind: str, message: str, trace: str) -> None:
        super().__init__(f"{kind}: {message}")
        self.kind = kind
        self.message = message
        self.trace = trace

    def __reduce__(self) -> tuple[Any, ...]:
        return (FitFailure, (self.kind, self.message, self.trace))



def _worker_count(executor: Any) -> int:
    if executor is None:
        return 1
    if _joint.is_dask_client(executor):
        return max(1, len(executor.nthreads()))
    if not isinstance(executor, concurrent.futures.Executor):
        raise TypeError(
            "executor must be a concurrent.futures.Executor (e.g. a ProcessPoolExecutor) or a "
            f"dask.distributed.Client; got {type(executor).__name__}"
        )
    count = getattr(executor, "_max_workers", None)
    return int(count) if count else (os.cpu_count() or 1)


def _as_executor(executor: Any) -> concurrent.futures.Executor | None:
    """A concurrent.futures executor for `executor` (a Dask client's own), or None."""
    if executor is None:
        return None
    _worker_count(executor)  # the type check and its message
    if _joint.is_dask_client(executor):
        return cast(concurrent.futures.Executor, executor.get_executor(pure=False))
    return cast(concurrent.futures.Executor, executor)


def _batches(n: int, batch_size: int | None, workers: int) -> list[range]:
    if batch_size is None:
        # Several batches per worker balance uneven sequences; a few dozen items per batch keep
        # the per-task overhead small.
        batch_size = max(1, min(32, math.ceil(n / (8 * workers))))
    else:
        batch_size = as_int(batch_size, "batch_size", minimum=1)
    return [range(i, min(i + batch_size, n)) for i in range(0, n, batch_size)]


def _next_done(executor: Any, pending: set[Any]) -> tuple[set[Any], set[Any]]:
    """Wait until some of `pending` are done. On Dask, wait in slices, restarting the workers
    running them that have gone silent (Dask then runs their tasks again elsewhere)."""
    if not _joint.is_dask_client(executor):
        return concurrent.futures.wait(pending, return_when="FIRST_COMPLETED")
    import distributed

    try:
        done, waiting = cast(Any, distributed).wait(
            pending, timeout=_joint.POLL_SECONDS, return_when="FIRST_COMPLETED"
        )
        return set(done), set(waiting)
    except TimeoutError:
        _joint.restart_silent(executor, [], [future.key for future in pending])
        return set(), pending


def _run(
    executor: Any,
    payloads: list[tuple[Any, ...]],
    batches: list[range],
    on_error: Literal["store", "raise"],
    progress: bool,
    description: str,
    worker: Callable[..., list[tuple[int, Any]]] | None = None,
) -> list[Any]:
    """Run `worker(*payload)` (by default `_batch`) for every batch; collect (index, outcome)
    pairs into input order. An outcome that is an exception is stored, or raised with
    ``on_error="raise"``."""
    worker = _batch if worker is None else worker
    n, sizes = sum(map(len, batches)), [len(batch) for batch in batches]
    results: list[Any] = [None] * n
    dask = _joint.is_dask_client(executor)
    with progress_bar(progress, n, description) as bar:
        if executor is None:
            for payload, size in zip(payloads, sizes):
                _store(results, worker(*payload), on_error)
                bar.update(size)
            return results
        options = {"pure": False} if dask else {}
        futures: dict[Any, int] = {}
        try:
            for payload, size in zip(payloads, sizes):
                futures[executor.submit(worker, *payload, **options)] = size
            pending = set(futures)
            while pending:
                done, pending = _next_done(executor, pending)
                for future in done:
                    _store(results, future.result(), on_error)
                    bar.update(futures[future])
        except BaseException as exc:
            # Ctrl-C, a failed sequence under on_error="raise", or a lost worker: nothing more
            # is waited for.
            gone = _joint.client_gone(executor, exc) if dask else None
            if gone is None:
                for future in futures:
                    future.cancel()
            if isinstance(exc, concurrent.futures.process.BrokenProcessPool):
                raise RuntimeError(
                    "a worker process of the pool died (killed, or out of memory) before its "
                    "sequences finished; the pool cannot be used any more"
                ) from exc
            if gone is not None:
                raise gone from exc
            raise
    return results


def _store(results: list[Any], outcomes: list[tuple[int, Any]], on_error: str) -> None:
    for index, outcome in outcomes:
        if on_error == "raise" and isinstance(outcome, BaseException):
            raise outcome
        results[index] = outcome


def _portable(exc: BaseException) -> BaseException:
    """The exception itself when it survives pickling, else a FitFailure describing it."""
    try:
        pickle.loads(pickle.dumps(exc))
        return exc
    except Exception:
        return FitFailure(type(exc).__name__, str(exc), "".join(traceback.format_exception(exc)))



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


def _batch(function: Callable[..., Any], items: list[tuple[int, Any]], *args: Any) -> list[Any]:
    """Worker: `function(item, *args)` for every (index, item) of a batch; a failure is returned
    in its slot."""
    out: list[tuple[int, Any]] = []
    for index, item in items:
        try:
            out.append((index, function(item, *args)))
        except Exception as exc:
            out.append((index, _portable(exc)))
    return out


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
