"""Scale-out: many independent sequences on a process pool or a Dask cluster, and joint fits whose
realisations live on Dask workers.

The native calls keep the interpreter lock and native objects cannot be pickled, so all work
travels as plain data (events, models, results) to module-level functions of this module, which
import the native module themselves in whatever process runs them. Every result is a
deterministic function of its inputs, so results are the same bits whatever the executor and
the number of workers.
"""

from __future__ import annotations

import concurrent.futures
import hmac
import math
import os
import pickle
import secrets
import socket
import struct
import threading
import traceback
import uuid
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal

import numpy as np

from ._checks import FloatArray, as_int
from ._progress import progress_bar
from .events import Events
from .fitting import FitResult, fit
from .models._base import Model, Prepared, prepare

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


# -- executors -------------------------------------------------------------------------------------


def _is_dask_client(executor: Any) -> bool:
    return type(executor).__module__.startswith("distributed") and hasattr(
        executor, "scheduler_info"
    )


def _workers(client: Any) -> list[str]:
    """The addresses of all the workers of a Dask client (some Dask versions list only the first
    few unless asked for all)."""
    import inspect

    if "n_workers" in inspect.signature(client.scheduler_info).parameters:
        info = client.scheduler_info(n_workers=-1)
    else:
        info = client.scheduler_info()
    return sorted(info.get("workers", {}))


def _as_executor(executor: Any) -> concurrent.futures.Executor | None:
    if executor is None:
        return None
    if _is_dask_client(executor):
        return executor.get_executor(pure=False)  # type: ignore[no-any-return]
    if isinstance(executor, concurrent.futures.Executor):
        return executor
    raise TypeError(
        "executor must be a concurrent.futures.Executor (e.g. a ProcessPoolExecutor) or a "
        f"dask.distributed.Client; got {type(executor).__name__}"
    )


def _worker_count(executor: Any) -> int:
    if executor is None:
        return 1
    if _is_dask_client(executor):
        return max(1, len(_workers(executor)))
    count = getattr(executor, "_max_workers", None)
    return int(count) if count else (os.cpu_count() or 1)


def _batches(n: int, batch_size: int | None, workers: int) -> list[range]:
    if batch_size is None:
        # Several batches per worker balance uneven sequences; a few dozen items per batch keep
        # the per-task overhead small.
        batch_size = max(1, min(32, math.ceil(n / (8 * workers))))
    else:
        batch_size = as_int(batch_size, "batch_size", minimum=1)
    return [range(i, min(i + batch_size, n)) for i in range(0, n, batch_size)]


def _run(
    executor: Any,
    function: Callable[..., list[tuple[int, Any]]],
    payloads: list[tuple[Any, ...]],
    sizes: list[int],
    n: int,
    on_error: Literal["store", "raise"],
    progress: bool,
    description: str,
) -> list[Any]:
    """Run `function(*payload)` for every batch; collect (index, outcome) pairs into input
    order. An outcome that is an exception is stored, or raised with ``on_error="raise"``."""
    results: list[Any] = [None] * n
    pool = _as_executor(executor)
    with progress_bar(progress, n, description) as bar:
        if pool is None:
            for payload, size in zip(payloads, sizes):
                _store(results, function(*payload), on_error)
                bar.update(size)
            return results
        futures = {pool.submit(function, *payload): size for payload, size in zip(payloads, sizes)}
        try:
            for future in concurrent.futures.as_completed(futures):
                _store(results, future.result(), on_error)
                bar.update(futures[future])
        except BaseException as exc:
            # Ctrl-C, a failed sequence under on_error="raise", or a lost worker: nothing more
            # is waited for.
            for future in futures:
                future.cancel()
            if isinstance(exc, concurrent.futures.process.BrokenProcessPool):
                raise RuntimeError(
                    "a worker process of the pool died (killed, or out of memory) before its "
                    "sequences finished; the pool cannot be used any more"
                ) from exc
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


# -- many independent fits -----------------------------------------------------------------------------


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


def _fit_batch(
    items: list[tuple[int, Any]], model: Model, options: dict[str, Any]
) -> list[tuple[int, FitResult | BaseException]]:
    """Worker: fit every dataset of a batch; a failure is returned in its slot."""
    out: list[tuple[int, FitResult | BaseException]] = []
    for index, dataset in items:
        try:
            out.append((index, fit(_as_events(dataset), model, **options)))
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
    n = len(datasets)
    batches = _batches(n, batch_size, _worker_count(executor))
    payloads = [([(i, datasets[i]) for i in batch], model, dict(fit_options)) for batch in batches]
    return _run(
        executor, _fit_batch, payloads, [len(b) for b in batches], n, errors, progress, "fit_many"
    )


# -- many independent simulations -------------------------------------------------------------------------


def _simulate_batch(
    model: Model, end: float, start: float, seed: int, indices: Sequence[int]
) -> list[tuple[int, Events | BaseException]]:
    """Worker: realisations `indices` of one seeded simulation, one `Events` each."""
    out: list[tuple[int, Events | BaseException]] = []
    for index in indices:
        try:
            out.append(
                (
                    index,
                    Events([model._simulate_realization(end, start, seed, index)], model.n_dims),
                )
            )
        except Exception as exc:
            out.append((index, _portable(exc)))
    return out


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
    payloads = [(model, end, start, seed, list(batch)) for batch in batches]
    results = _run(
        executor,
        _simulate_batch,
        payloads,
        [len(b) for b in batches],
        count,
        "raise",
        progress,
        "simulate_many",
    )
    return list(results)


# -- joint fits with the realisations on Dask workers ----------------------------------------------------

#: Per-process store of prepared partitions of joint fits, keyed by (fit token, partition).
_PARTITIONS: dict[tuple[str, int], Prepared] = {}


def _partition_pieces(
    token: str, part: int, events: Events, scale: float, model: Model, x: FloatArray, mode: str
) -> tuple[FloatArray, FloatArray]:
    """The likelihood pieces of one partition's realisations, in order, packed as one array of
    values and one of raw gradients (rows). The partition is prepared once per process (with
    whatever the model precomputes from it) and reused."""
    key = (token, part)
    data = _PARTITIONS.get(key)
    if data is None:
        data = _PARTITIONS[key] = prepare(events, scale)
    pieces = [model._piece(data, i, x, mode) for i in range(len(data.times))]
    values = np.array([value for value, _ in pieces], dtype=np.float64)
    gradients = np.array([gradient for _, gradient in pieces], dtype=np.float64)
    return values, gradients


def _pieces_of_worker(
    token: str,
    mine: Sequence[tuple[int, str]],
    scale: float,
    model: Model,
    x: FloatArray,
    mode: str,
    dask_worker: Any,
) -> list[tuple[int, FloatArray, FloatArray]]:
    """Worker: the packed pieces of the partitions `mine` (partition, key of its data)."""
    return [
        (part, *_partition_pieces(token, part, dask_worker.data[key], scale, model, x, mode))
        for part, key in mine
    ]


async def _evaluate_on_worker(
    token: str,
    assignment: Mapping[str, Sequence[tuple[int, str]]],
    scale: float,
    model: Model,
    x: FloatArray,
    mode: str,
    dask_worker: Any = None,
) -> list[tuple[int, FloatArray, FloatArray]]:
    """Worker, called out of band (no task, no scheduler queue): the packed pieces of the
    partitions this worker holds. The computation runs on a thread so that the worker's event
    loop keeps answering while it runs."""
    import asyncio

    mine = assignment.get(dask_worker.address, ())
    return await asyncio.to_thread(
        _pieces_of_worker, token, mine, scale, model, x, mode, dask_worker
    )


# A joint fit's evaluations travel over one plain TCP connection per worker, opened for the fit:
# parameters out, packed pieces back, as length-prefixed pickles. A Dask call costs milliseconds
# a round (event loops and batched message streams on both sides); this costs a wake-up each way.

_FRAME = struct.Struct("!Q")
# The first byte of a message to a worker: the model (and mode) for the evaluations that follow,
# pickled; or the parameters of one evaluation, as raw float64 bytes, to which the worker replies.
_MODEL, _PARAMETERS = b"M", b"X"
#: How long a worker waits for its fit's driver to connect, and a connection to prove itself.
_ACCEPT_SECONDS = 60.0
_PROOF_SECONDS = 5.0


_yield_core: Callable[[], None] = getattr(os, "sched_yield", lambda: None)


def _receive_exactly(
    sock: socket.socket, size: int, waiting: Callable[[], None] | None = None
) -> bytearray:
    """`size` bytes from `sock`. On a socket with a timeout, `waiting` runs at each timeout
    (it raises to give up); nothing is lost, the read goes on where it was."""
    buffer = bytearray(size)
    view, got = memoryview(buffer), 0
    while got < size:
        try:
            n = sock.recv_into(view[got:])
        except TimeoutError:
            if waiting is None:
                raise
            waiting()
            continue
        if n == 0:
            raise ConnectionError("the connection was closed")
        got += n
    return buffer


def _receive_frame(sock: socket.socket, waiting: Callable[[], None] | None = None) -> bytearray:
    (size,) = _FRAME.unpack(_receive_exactly(sock, _FRAME.size, waiting))
    return _receive_exactly(sock, size, waiting)


def _send_frame(sock: socket.socket, payload: bytes) -> None:
    sock.sendall(_FRAME.pack(len(payload)) + payload)


def _dumps(value: Any) -> bytes:
    """Pickled; by value through cloudpickle (which Dask brings) for what pickle cannot take,
    such as a lambda as the link of a nonlinear model."""
    try:
        return pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)
    except (pickle.PicklingError, AttributeError, TypeError):
        import cloudpickle

        payload: bytes = cloudpickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)
        return payload


def _tune(sock: socket.socket) -> None:
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # small messages, no delay
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE, 1)  # a vanished peer ends the wait


def _accept_driver(server: socket.socket, key: bytes) -> socket.socket | None:
    """Worker: the first connection that presents `key`, or None when none came in time.
    Connections that present anything else are closed."""
    server.settimeout(_ACCEPT_SECONDS)
    try:
        while True:
            try:
                sock, _ = server.accept()
            except OSError:  # timed out, or closed
                return None
            try:
                sock.settimeout(_PROOF_SECONDS)
                if hmac.compare_digest(bytes(_receive_exactly(sock, len(key))), key):
                    sock.settimeout(None)
                    _tune(sock)
                    return sock
            except OSError:
                pass
            sock.close()
    finally:
        server.close()


def _serve_channel(
    server: socket.socket,
    key: bytes,
    token: str,
    mine: Sequence[tuple[int, str]],
    scale: float,
    dask_worker: Any,
) -> None:
    """Worker thread: answer the fit's evaluations until its driver closes the connection."""
    sock = _accept_driver(server, key)
    if sock is None:
        return
    state: Any = None  # (model, mode), or the exception its message raised
    try:
        with sock:
            while True:
                try:
                    message = _receive_frame(sock)
                except OSError:
                    return
                if message[:1] == _MODEL:
                    try:
                        state = pickle.loads(message[1:])
                    except Exception as exc:
                        state = exc  # told to the driver at its next evaluation
                    continue
                # The driver may share this core (a local cluster on a small machine) and still
                # have messages to send to the other workers: let it finish before this thread
                # holds the core for the whole computation. Costs a system call when alone.
                _yield_core()
                try:
                    if isinstance(state, BaseException):
                        raise state
                    model, mode = state
                    x = np.frombuffer(message, dtype=np.float64, offset=1).copy()
                    reply: tuple[bool, Any] = (
                        True,
                        _pieces_of_worker(token, mine, scale, model, x, mode, dask_worker),
                    )
                except Exception as exc:
                    reply = (False, _portable(exc))
                try:
                    _send_frame(sock, _dumps(reply))
                except OSError:
                    return
    finally:
        _release(token)


def _open_channel(
    token: str,
    assignment: Mapping[str, Sequence[tuple[int, str]]],
    scale: float,
    key: bytes,
    dask_worker: Any = None,
) -> tuple[str, int]:
    """Worker: listen on this worker's own address for the fit's driver, and serve it on a
    thread. Returns the (host, port) to connect to."""
    host = dask_worker.ip
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    server = socket.create_server((host, 0), family=family, backlog=8)
    mine = list(assignment.get(dask_worker.address, ()))
    threading.Thread(
        target=_serve_channel,
        args=(server, key, token, mine, scale, dask_worker),
        name=f"vostrel-joint-fit-{token[:8]}",
        daemon=True,
    ).start()
    return host, server.getsockname()[1]


def _release(token: str) -> int:
    """Worker: forget the partitions of a finished fit."""
    # A copy of the keys: other fits' threads may add partitions meanwhile.
    keys = [key for key in list(_PARTITIONS) if key[0] == token]
    for key in keys:
        _PARTITIONS.pop(key, None)
    return len(keys)


def _partition(counts: Sequence[int], parts: int) -> list[tuple[int, int]]:
    """Contiguous blocks of realisations with about the same number of events each."""
    total = sum(counts) + len(counts)  # count an empty realisation as a little work too
    bounds: list[tuple[int, int]] = []
    running, start = 0, 0
    for i, count in enumerate(counts):
        running += count + 1
        if (
            running >= total * (len(bounds) + 1) / parts
            and len(bounds) < parts - 1
            and i + 1 < len(counts)
        ):
            bounds.append((start, i + 1))
            start = i + 1
    bounds.append((start, len(counts)))
    return bounds


def _lost_worker(exc: BaseException) -> bool:
    """Whether an evaluation failed because a worker (or its data) went away, which a new
    placement mends, rather than in the computation itself, which would only fail again."""
    return isinstance(exc, (OSError, KeyError, TimeoutError)) or any(
        word in type(exc).__name__ for word in ("Comm", "Worker", "Cancelled")
    )


class DistributedData:
    """The realisations of a joint fit, partitioned once over the workers of a Dask client.

    Each evaluation sends only the parameters; every worker returns the per-realisation pieces
    of its partition, which are summed here in realisation order, so the result is the same
    bits as the serial joint fit for any number of workers. A partition lost with its worker is
    sent again from this process and the evaluation retried.

    On a cluster whose workers talk plain TCP, the evaluations travel over one connection per
    worker opened for this fit (a one-time 32-byte key, handed over through Dask, admits the
    connection); elsewhere (TLS, other transports, or a worker this process cannot reach) they
    go through Dask calls, which cost a few milliseconds more per evaluation.
    """

    _RETRIES = 2
    #: While waiting for a reply, how often to ask the scheduler whether the worker still exists.
    _LIVENESS_SECONDS = 2.0

    def __init__(self, client: Any, events: Events, scale: float) -> None:
        if not _is_dask_client(client):
            raise TypeError(
                "fit(executor=...) needs a dask.distributed.Client, whose workers keep the data "
                "between evaluations; for many separate fits on a process pool use fit_many"
            )
        self.client = client
        self.events = events
        self.scale = scale
        self.token = uuid.uuid4().hex
        self.parts: list[tuple[str, int, int, Any]] = []
        # Direct connections by worker: None until opened, empty when Dask calls carry the work.
        self.channels: dict[str, socket.socket] | None = None
        self._sent: tuple[Model, str] | None = None  # the model the connected workers evaluate
        self._place()

    def _place(self) -> None:
        workers = _workers(self.client)
        if not workers:
            raise RuntimeError("the Dask cluster has no workers")
        counts = [r.n_events for r in self.events]
        blocks = _partition(counts, min(len(workers), len(counts)))
        self.parts = []
        # What each worker holds: (partition, key of its scattered data).
        self.assignment: dict[str, list[tuple[int, str]]] = {}
        for part, ((start, stop), worker) in enumerate(zip(blocks, workers)):
            future = self.client.scatter(self.events[start:stop], workers=[worker], hash=False)
            self.parts.append((worker, start, stop, future))
            self.assignment.setdefault(worker, []).append((part, future.key))

    def _connect(self) -> None:
        self.channels = {}
        self._sent = None
        workers = list(self.assignment)
        if not all(worker.startswith("tcp://") for worker in workers):
            return
        key = secrets.token_bytes(32)
        try:
            addresses = self.client.run(
                _open_channel, self.token, self.assignment, self.scale, key, workers=workers
            )
            for worker in workers:
                host, port = addresses[worker]
                sock = socket.create_connection((host, port), timeout=_PROOF_SECONDS)
                self.channels[worker] = sock
                sock.sendall(key)
                _tune(sock)
                # Replies are awaited in slices of this length, checking the worker exists.
                sock.settimeout(self._LIVENESS_SECONDS)
        except Exception:
            # Dask calls carry the evaluations instead, under a new token: the threads of the
            # connections just closed release what they prepared under the old one.
            self._close_channels()
            self.token = uuid.uuid4().hex

    def _close_channels(self) -> None:
        for sock in (self.channels or {}).values():
            sock.close()
        self.channels = {}

    def _await_reply(self, worker: str, sock: socket.socket) -> Any:
        def waiting() -> None:
            if worker not in _workers(self.client):
                raise OSError(f"the Dask worker {worker} is gone")

        try:
            return pickle.loads(_receive_frame(sock, waiting))
        except ConnectionError as exc:
            raise OSError(f"the connection to the Dask worker {worker} broke: {exc}") from exc

    def _exchange(
        self, model: Model, x: FloatArray, mode: str
    ) -> list[list[tuple[int, FloatArray, FloatArray]]]:
        assert self.channels
        messages = [_PARAMETERS + np.ascontiguousarray(x, dtype=np.float64).tobytes()]
        if self._sent is None or self._sent[0] is not model or self._sent[1] != mode:
            messages.insert(0, _MODEL + _dumps((model, mode)))
            self._sent = (model, mode)
        for sock in self.channels.values():
            for message in messages:
                _send_frame(sock, message)
        replies, failure = [], None
        for worker, sock in self.channels.items():
            ok, reply = self._await_reply(worker, sock)
            if ok:
                replies.append(reply)
            elif failure is None:
                failure = reply
        # Every worker has answered, so the connections are in step for the next evaluation.
        if failure is not None:
            raise failure
        return replies

    def evaluate(
        self, model: Model, x: FloatArray, mode: str = "default"
    ) -> tuple[float, FloatArray]:
        for attempt in range(self._RETRIES + 1):
            try:
                if self.channels is None:
                    self._connect()
                if self.channels:
                    replies = self._exchange(model, x, mode)
                else:
                    # One out-of-band call per worker: a task per partition would wait in the
                    # client's, the scheduler's and the workers' batched message streams.
                    replies = list(
                        self.client.run(
                            _evaluate_on_worker,
                            self.token,
                            self.assignment,
                            self.scale,
                            model,
                            x,
                            mode,
                            workers=list(self.assignment),
                        ).values()
                    )
                packed = {part: (v, g) for reply in replies for part, v, g in reply}
                if len(packed) != len(self.parts):
                    raise OSError("a worker holding a partition is gone")
            except (KeyboardInterrupt, SystemExit):
                # A reply may still be on its way: start the next evaluation afresh.
                self._renew()
                raise
            except Exception as exc:
                if not _lost_worker(exc):
                    raise
                if attempt == self._RETRIES:
                    raise RuntimeError(
                        f"the joint fit lost its Dask workers {self._RETRIES + 1} times: {exc}"
                    ) from exc
                self._renew()
                self._place()
                continue
            pieces = [
                (float(value), gradient)
                for part in range(len(self.parts))
                for value, gradient in zip(*packed[part])
            ]
            return model._combine(pieces, x, mode)
        raise AssertionError("unreachable")

    def _renew(self) -> None:
        """Drop the connections and the workers' prepared partitions; the next evaluation
        connects again under a new token."""
        self._close_channels()
        self.channels = None
        self._release_all()
        self.token = uuid.uuid4().hex

    def _release_all(self) -> None:
        try:
            self.client.run(_release, self.token)
        except Exception:
            pass  # a worker that is gone has nothing left to release

    def close(self) -> None:
        self._close_channels()
        self._release_all()
        self.client.cancel([data for _, _, _, data in self.parts])
        self.parts = []
