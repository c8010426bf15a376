"""Joint fits whose realisations stay on the workers of a Dask cluster (`fit(events, model,
executor=client)`). Each worker holds a block of
realisations in a Dask actor, released by the scheduler when the fit ends or its process dies;
an evaluation's per-realisation pieces are summed here in realisation order (the serial bits).
Everything travels over Dask's own connections, so TLS clusters work like plain ones.
"""

from __future__ import annotations

import math
import pickle
import time
import uuid
from collections.abc import Sequence
from typing import Any, cast

import numpy as np

from ._checks import FloatArray
from ._executors import POLL_SECONDS, client_gone, is_dask_client, lost_worker, restart_silent
from .events import Events
from .models._base import Model, Prepared, prepare

class _Partition:
    """On a worker (a Dask actor): one block of realisations, prepared on first use. A quick
    evaluation runs on the worker's event loop (a hop to a thread costs milliseconds); a slow
    one on the actor thread, so that the worker keeps answering and heartbeating meanwhile."""

    INLINE_SECONDS = 0.1

    def __init__(self, events: Events, scale: float) -> None:
        self.events, self.scale = events, scale
        self.data: Prepared | None = None
        self.seconds = math.inf  # the last evaluation's time
        self.lock: Any = None  # one evaluation at a time: an interrupted one may still run

    async def pieces(self, pickled: bytes, x: FloatArray) -> tuple[FloatArray, FloatArray]:
        import asyncio

        from distributed import get_worker

        self.lock = self.lock or asyncio.Lock()
        async with self.lock:
            if self.seconds < self.INLINE_SECONDS:
                return self._pieces(pickled, x)
            executor = get_worker().executors["actor"]
            return await asyncio.get_running_loop().run_in_executor(
                executor, self._pieces, pickled, x
            )

    def _pieces(self, pickled: bytes, x: FloatArray) -> tuple[FloatArray, FloatArray]:
        """The pieces of the block's realisations in order (values, gradient rows) under the
        model and mode `pickled` (unpickled here, so that a failure is this call's error)."""
        start = time.perf_counter()
        model, mode = pickle.loads(pickled)
        if self.data is None:
            self.data = prepare(self.events, self.scale)
        pieces = [model._piece(self.data, i, x, mode) for i in range(len(self.data.times))]
        values = np.array([value for value, _ in pieces], dtype=np.float64)
        gradients = np.array([gradient for _, gradient in pieces], dtype=np.float64)
        self.seconds = time.perf_counter() - start
        return values, gradients


def _blocks(counts: Sequence[int], parts: int) -> list[tuple[int, int]]:
    """Contiguous blocks of realisations with about the same number of events (an empty
    realisation counts as one) each."""
    ends = np.cumsum(np.asarray(counts, dtype=np.float64) + 1.0)
    cuts = np.searchsorted(ends, ends[-1] * np.arange(1, parts) / parts) + 1
    edges = sorted({0, len(counts), *np.minimum(cuts, len(counts)).tolist()})
    return list(zip(edges[:-1], edges[1:]))


class DistributedData:
    """The realisations of a joint fit, partitioned over the workers of a Dask client when first
    evaluated. A partition lost with its worker, or on a silent worker, is placed again and the
    evaluation retried (`RETRIES` times)."""

    RETRIES = 2

    def __init__(self, client: Any, events: Events, scale: float) -> None:
        if not is_dask_client(client):
            raise TypeError(
                "fit(executor=...) needs a dask.distributed.Client, whose workers keep the data "
                "between evaluations; for many separate fits on a process pool use fit_many"
            )
        self.client, self.events, self.scale = client, events, scale
        self.parts: list[tuple[str, Any]] = []  # worker, actor's future
        self.actors: list[Any] = []
        self._sent: tuple[Any, ...] = (None, None, b"")  # model, mode, and both pickled

    def _place(self) -> None:
        workers = sorted(self.client.nthreads())
        if not workers:
            raise RuntimeError("the Dask cluster has no workers")
        blocks = _blocks([r.n_events for r in self.events], min(len(workers), len(self.events)))
        for (first, stop), worker in zip(blocks, workers):
            future = self.client.submit(
                _Partition, self.events[first:stop], self.scale, actor=True, workers=[worker],
                allow_other_workers=True, key=f"vostrel-partition-{uuid.uuid4().hex}",
            )  # fmt: skip
            self.parts.append((worker, future))
        self.actors = self._wait([future for _, future in self.parts])

    def _wait(self, calls: list[Any]) -> list[Any]:
        """The results of `calls` (futures or actor calls, in the order of `parts`); while
        waiting, ask the scheduler whether the workers concerned still answer."""

        async def results() -> list[Any]:
            return [await call for call in calls]

        while True:
            try:
                return self.client.sync(results, callback_timeout=POLL_SECONDS)  # type: ignore
            except TimeoutError:
                waiting = [w for (w, f), c in zip(self.parts, calls) if not c.done()]
                keys = [f.key for (_, f), c in zip(self.parts, calls) if c is f and not f.done()]
                if restart_silent(self.client, waiting, keys):
                    raise OSError(f"a Dask worker among {waiting} stopped answering") from None

    def evaluate(
        self, model: Model, x: FloatArray, mode: str = "default"
    ) -> tuple[float, FloatArray]:
        for attempt in range(self.RETRIES + 1):
            try:
                if not self.parts:
                    self._place()
                if self._sent[0] is not model or self._sent[1] != mode:
                    from distributed.protocol import pickle as by_value  # pickle, else cloudpickle

                    self._sent = (model, mode, cast(Any, by_value).dumps((model, mode)))
                replies = self._wait([actor.pieces(self._sent[2], x) for actor in self.actors])
                break
            except Exception as exc:
                gone = client_gone(self.client, exc)
                if gone is not None:
                    raise gone from exc
                if not lost_worker(exc):
                    raise
                if attempt == self.RETRIES:
                    raise RuntimeError(
                        f"the joint fit lost its Dask workers {self.RETRIES + 1} times: {exc}"
                    ) from exc
                self.close()
        pieces = [(float(v), g) for values, grads in replies for v, g in zip(values, grads)]
        return model._combine(pieces, x, mode)

    def close(self) -> None:
        """Release the partitions: the workers drop them and their native objects."""
        futures = [future for _, future in self.parts]
        self.parts, self.actors = [], []
        if futures and getattr(self.client, "status", "") == "running":
            self.client.cancel(futures)
