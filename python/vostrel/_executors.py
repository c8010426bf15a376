"""Running batches of independent work on any executor the package accepts (none: serial in
this process; a concurrent.futures executor; a Dask client), with results gathered in input
order, so that they are the same bits whatever the executor and the number of workers; and the
Dask fault handling shared by all scale-out: a worker silent for the ``vostrel.frozen-worker``
time is restarted and its work rescheduled, a client closed or cut off from its scheduler gives
one RuntimeError. Used by `parallel` (many sequences), the joint fit's Dask backend, row-by-row
network fits, bootstrap goodness of fit and forecasts.
"""

from __future__ import annotations

import concurrent.futures
import math
import os
import pickle
import traceback
from collections.abc import Callable, Sequence
from typing import Any, Literal, cast

from ._checks import as_int
from ._progress import progress_bar

#: Seconds without a heartbeat after which a worker that a call waits on counts as frozen and is
#: restarted, as Dask's scheduler does after ``distributed.scheduler.worker-ttl`` (5 minutes by
#: default); Dask then runs its tasks elsewhere and joint fits place its partition anew. Healthy
#: workers heartbeat twice a second on small clusters; only one native call holding the
#: interpreter lock for this long (far beyond one likelihood evaluation) would look frozen.
#: Set with ``dask.config.set({"vostrel.frozen-worker": "2 minutes"})``; None: left to Dask.
FROZEN_WORKER_SECONDS = 30.0
POLL_SECONDS = 1.0  # how often a waiting call asks the scheduler about its workers


def is_dask_client(executor: Any) -> bool:
    return type(executor).__module__.startswith("distributed") and hasattr(executor, "nthreads")


def restart_silent(client: Any, workers: Sequence[str], keys: Sequence[str]) -> list[str]:
    """Restart those of `workers`, and of the workers running the tasks `keys`, that have been
    silent for the ``vostrel.frozen-worker`` time; returns their addresses."""
    import dask.config
    from dask.utils import parse_timedelta

    seconds = dask.config.get("vostrel.frozen-worker", FROZEN_WORKER_SECONDS)
    if seconds is None:
        return []

    # Defined here so that it travels by value: the scheduler need not have vostrel installed.
    async def silent_ones(workers: Any, keys: Any, seconds: float, dask_scheduler: Any) -> Any:
        from distributed.metrics import time

        tasks = [dask_scheduler.tasks.get(key) for key in keys]
        watched = set(workers) | {t.processing_on.address for t in tasks if t and t.processing_on}
        silent = sorted(
            w
            for w in watched
            if w in dask_scheduler.workers
            and time() - dask_scheduler.workers[w].last_seen > seconds
        )
        if silent:
            await dask_scheduler.restart_workers(
                silent, wait_for_workers=False, on_error="return", stimulus_id="vostrel-frozen"
            )
        return silent

    seconds = parse_timedelta(seconds, default="seconds")
    return client.run_on_scheduler(silent_ones, list(workers), list(keys), seconds)  # type: ignore


def client_gone(client: Any, exc: BaseException) -> RuntimeError | None:
    """The error to raise for `exc` when the client was closed or lost its scheduler."""
    if getattr(client, "status", "running") == "running":
        return None
    return RuntimeError(
        "the Dask client was closed, or lost its connection to the scheduler, before the work "
        f"finished ({': '.join([type(exc).__name__, *str(exc).splitlines()[:1]])})"
    )


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
    if is_dask_client(executor):
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
    if is_dask_client(executor):
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
    if not is_dask_client(executor):
        return concurrent.futures.wait(pending, return_when="FIRST_COMPLETED")
    import distributed

    try:
        done, waiting = cast(Any, distributed).wait(
            pending, timeout=POLL_SECONDS, return_when="FIRST_COMPLETED"
        )
        return set(done), set(waiting)
    except TimeoutError:
        restart_silent(executor, [], [future.key for future in pending])
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
    dask = is_dask_client(executor)
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
            gone = client_gone(executor, exc) if dask else None
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


def lost_worker(exc: BaseException) -> bool:
    """Whether a call failed because a worker (or its data) went away, which a new placement
    mends, rather than in the computation itself, which would only fail again."""
    return isinstance(exc, (OSError, KeyError, TimeoutError)) or any(
        word in type(exc).__name__ for word in ("Comm", "Worker", "Cancelled")
    )
