# Scale-out: results identical bit for bit serially, on a process pool and on a two-worker Dask
# LocalCluster (loopback only); a failing sequence holds its error; a killed worker gives a clear
# error or a retried result, never a hang; Ctrl-C in the driver returns promptly.
import concurrent.futures
import contextlib
import multiprocessing
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import vostrel as vs
from vostrel.parallel import fit_many, simulate_many

MODEL = vs.Exponential(0.5, 0.6, 2.0)
# Workers start from a clean server process, not by forking a test process that may have loaded
# multi-threaded libraries.
FORKSERVER = multiprocessing.get_context("forkserver")


def same_fits(a, b):
    return all(
        x.estimates.tobytes() == y.estimates.tobytes()
        and np.array_equal(x.std_errors, y.std_errors, equal_nan=True)
        and x.log_likelihood == y.log_likelihood
        for x, y in zip(a, b)
    )


@pytest.fixture(scope="module")
def sequences():
    return simulate_many(MODEL, 400.0, n=24, seed=1)


@pytest.fixture(scope="module")
def pool():
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=FORKSERVER) as executor:
        yield executor


def test_simulate_many_is_simulate_split_whatever_runs_it(sequences, pool):
    together = MODEL.simulate(400.0, seed=1, n=24)
    assert all(s == together[[k]] for k, s in enumerate(sequences))
    assert simulate_many(MODEL, 400.0, n=24, seed=1, executor=pool, batch_size=5) == sequences


def test_fit_many_is_identical_on_a_pool_and_isolates_failures(sequences, pool):
    datasets = (
        list(sequences[:10]) + [{"times": [2.0, 1.0], "end_time": 3.0}] + list(sequences[10:])
    )
    serial = fit_many(datasets, vs.Exponential(), n_starts=2)
    pooled = fit_many(datasets, vs.Exponential(), n_starts=2, executor=pool, batch_size=3)
    assert isinstance(serial[10], ValueError) and isinstance(pooled[10], ValueError)
    assert "comes after" in str(pooled[10])
    good = [i for i in range(len(datasets)) if i != 10]
    assert same_fits([serial[i] for i in good], [pooled[i] for i in good])
    assert same_fits(
        [serial[i] for i in good], [vs.fit(datasets[i], vs.Exponential(), n_starts=2) for i in good]
    )
    with pytest.raises(ValueError, match="comes after"):
        fit_many(datasets, vs.Exponential(), n_starts=1, executor=pool, errors="raise")


def test_fit_many_progress_bar_counts_sequences(sequences, capsys):
    pytest.importorskip("tqdm")
    fit_many(sequences[:6], vs.Exponential(), n_starts=1, progress=True, batch_size=2)
    assert "6/6" in capsys.readouterr().err


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: fit_many([], "exponential"), TypeError, "model must be a vostrel model"),
        (lambda: fit_many([], MODEL, executor=object()), TypeError, "executor must be"),
        (lambda: fit_many([], MODEL, errors="ignore"), ValueError, "errors must be"),
        (
            lambda: fit_many(vs.Events.from_arrays([1.0], 2.0), MODEL),
            TypeError,
            "datasets must be a list",
        ),
        (
            lambda: simulate_many(vs.Exponential(1, 1.2, 1), 10.0, n=2, seed=1),
            ValueError,
            "branching ratio",
        ),
        (
            lambda: vs.fit(vs.Events.from_arrays([1.0], 2.0), MODEL, executor=object()),
            TypeError,
            "dask.distributed.Client",
        ),
    ],
)
def test_bad_arguments(call, error, text):
    with pytest.raises(error, match=text):
        call()


def finish_within(seconds, function):
    """Run `function` in a thread; fail (instead of hanging) if it has not returned in time."""
    box = {}

    def target():
        try:
            box["value"] = function()
        except BaseException as exc:  # noqa: BLE001 - handed to the test
            box["error"] = exc

    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    thread.join(seconds)
    assert not thread.is_alive(), "the call hung after a worker was killed"
    return box


def slow_datasets(count):
    # Power-law fits are O(N^2): long enough per sequence to interrupt the run.
    model = vs.PowerLaw(0.5, 0.3, 1.0, 0.5)
    return model, simulate_many(model, 400.0, n=count, seed=2)


class Exit:
    """A dataset whose unpickling ends the worker process at once (a worker killed mid-run)."""

    def __reduce__(self):
        return os._exit, (1,)


def test_killed_pool_worker_gives_a_clear_error():
    model, datasets = slow_datasets(8)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=FORKSERVER) as executor:
        work = lambda: fit_many(
            datasets[:3] + [Exit()] + datasets[3:], model, executor=executor, batch_size=1
        )
        box = finish_within(60, work)
        assert isinstance(box.get("error"), RuntimeError), box
        assert "worker process of the pool died" in str(box["error"])
        with pytest.raises(RuntimeError, match="worker process of the pool died"):
            fit_many(datasets, model, executor=executor)  # broken before any submission


def test_ctrl_c_in_the_driver_returns_promptly(tmp_path):
    script = tmp_path / "interrupted.py"
    script.write_text(
        textwrap.dedent("""
        import concurrent.futures, os, sys
        import vostrel as vs
        from vostrel.parallel import fit_many, simulate_many
        class Announce:
            def __reduce__(self):
                return os.write, (1, b"working\\n")
        if __name__ == "__main__":
            # Many short fits: Ctrl-C must not wait for more than the two running ones.
            model = vs.Exponential(0.5, 0.5, 2.0)
            data = simulate_many(model, 400.0, n=2000, seed=2)
            with concurrent.futures.ProcessPoolExecutor(2) as pool:
                print("started", flush=True)
                fit_many([Announce()] + data, model, executor=pool, batch_size=1, n_starts=1)
            print("finished", flush=True)
    """)
    )
    process = subprocess.Popen(
        [sys.executable, str(script)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    assert process.stdout.readline().strip() == "started"
    assert process.stdout.readline().strip() == "working"  # a worker has its first task
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=30)
    assert "KeyboardInterrupt" in err and "finished" not in out


# -- Dask -------------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    )
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


@pytest.fixture
def whole():
    """A cluster of its own for a test that kills or freezes a worker: a machine too busy to
    start a replacement in time leaves the other tests' cluster whole."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    ) as cluster, distributed.Client(cluster) as c:  # fmt: skip
        yield c


@pytest.fixture
def frozen_after(monkeypatch):
    """Workers count as frozen after 5 s of silence (30 s by default)."""
    import dask

    with dask.config.set({"vostrel.frozen-worker": "5s"}):
        yield


def wait_until(condition, seconds=60):
    """Poll `condition` until it holds; fail after `seconds` (a bound, not a timing)."""
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "the awaited event did not happen"
        time.sleep(0.02)


def victim(client):
    address, pid = sorted(client.run(os.getpid).items())[0]
    return address, pid


def once_busy(client, address, action):
    """Run `action` on a thread as soon as the worker `address` is running a task."""

    def busy():
        return bool(client.processing([address]).get(address))

    thread = threading.Thread(target=lambda: (wait_until(busy), action()), daemon=True)
    thread.start()
    return thread


def partitions_held(client):
    return client.run(lambda dask_worker: len(dask_worker.state.actors))


def test_dask_fit_many_and_simulate_many_match_serial(client, sequences):
    assert simulate_many(MODEL, 400.0, n=24, seed=1, executor=client) == sequences
    assert same_fits(
        fit_many(sequences, vs.Exponential(), n_starts=1, executor=client),
        fit_many(sequences, vs.Exponential(), n_starts=1),
    )


@pytest.mark.parametrize(
    "model",
    [
        vs.Exponential(0.5, 0.6, 2.0),
        vs.MultivariateExponential([0.3, 0.2], [[0.3, 0.1], [0.4, 0.2]], 1.5, "fixed"),
        vs.MultivariateExponential([0.3, 0.2], [[0.3, 0.1], [0.4, 0.2]], 1.5, "shared"),
    ],
)
def test_joint_fit_on_dask_is_the_serial_fit_bit_for_bit(client, model):
    events = model.simulate(150.0, seed=3, n=9)
    serial = vs.fit(events, model, n_starts=2)
    distributed = vs.fit(events, model, n_starts=2, executor=client)
    assert same_fits([serial], [distributed])
    assert [s.neg_log_likelihood for s in serial.starts] == [
        s.neg_log_likelihood for s in distributed.starts
    ]
    wait_until(lambda: not any(partitions_held(client).values()))  # released after the fit


@pytest.mark.parametrize("fault", ["killed", "frozen"])
def test_a_lost_or_frozen_worker_during_fit_many_gives_the_serial_result(
    whole, frozen_after, fault
):
    model, datasets = slow_datasets(8)
    expected = fit_many(datasets, model, n_starts=1)
    address, pid = victim(whole)
    stop = signal.SIGKILL if fault == "killed" else signal.SIGSTOP
    once_busy(whole, address, lambda: os.kill(pid, stop))
    try:
        box = finish_within(
            60, lambda: fit_many(datasets, model, n_starts=1, executor=whole, batch_size=1)
        )
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)
    assert "error" not in box, box.get("error")
    assert same_fits(box["value"], expected)


@pytest.mark.parametrize("fault", ["killed", "frozen"])
def test_a_lost_or_frozen_worker_during_a_joint_fit_gives_the_serial_result(
    whole, frozen_after, monkeypatch, fault
):
    from vostrel._joint import DistributedData

    model = vs.PowerLaw(0.5, 0.3, 1.0, 0.5)
    events = model.simulate(600.0, seed=5, n=6)
    expected = vs.fit(events, model, n_starts=1)
    _, pid = victim(whole)
    evaluate, rounds = DistributedData.evaluate, []

    def faulty(self, *args, **kwargs):
        rounds.append(1)
        if len(rounds) == 3:  # the third evaluation finds the worker gone, or silent
            os.kill(pid, signal.SIGKILL if fault == "killed" else signal.SIGSTOP)
        return evaluate(self, *args, **kwargs)

    monkeypatch.setattr(DistributedData, "evaluate", faulty)
    try:
        box = finish_within(60, lambda: vs.fit(events, model, n_starts=1, executor=whole))
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)
    assert "error" not in box, box.get("error")
    assert same_fits([box["value"]], [expected])
    assert box["value"].log_likelihood == expected.log_likelihood


def test_partitions_and_their_native_objects_are_built_once_per_worker(client):
    from vostrel._joint import DistributedData
    from vostrel.models._base import prepare

    def held(dask_worker):
        return sorted(
            id(v) for p in dask_worker.state.actors.values() for v in p.data.cache.values()
        )

    model = vs.MultivariateExponential([0.3, 0.2], [[0.3, 0.1], [0.4, 0.2]], 1.5, "fixed")
    events = model.simulate(100.0, seed=1, n=4)
    wait_until(lambda: not any(partitions_held(client).values()))  # earlier tests' are gone
    data = DistributedData(client, events, 1.0)
    x = model.to_vector()
    first = data.evaluate(model, x)
    objects = client.run(held)
    assert sum(len(ids) for ids in objects.values()) == 4  # one native model per realisation
    assert all(objects.values())  # on both workers
    data.evaluate(model, x * 1.01)
    assert client.run(held) == objects
    value, gradient = model._neg_ll_grad(prepare(events), x)
    assert first[0] == value and first[1].tobytes() == gradient.tobytes()
    data.close()
    wait_until(lambda: not any(partitions_held(client).values()))


class Unloadable:
    def __reduce__(self):
        return int, ("not a number",)


def test_a_failing_evaluation_on_dask_raises_its_own_error(client):
    # An error in the computation (here a parameter vector of the wrong length) reaches the
    # caller as it is: only a lost worker leads to a new placement and a retry.
    from vostrel._joint import DistributedData

    model = vs.Exponential(0.5, 0.6, 2.0)
    events = model.simulate(100.0, seed=1, n=4)
    data = DistributedData(client, events, 1.0)
    try:
        with pytest.raises(ValueError, match="not enough values"):
            data.evaluate(model, np.array([0.5]))
        with pytest.raises(Exception, match="invalid literal"):  # the model fails to unpickle
            data.evaluate(Unloadable(), model.to_vector())
        assert data.evaluate(model, model.to_vector())[0] == model.neg_log_likelihood(events)
    finally:
        data.close()


def test_an_evaluation_interrupted_mid_round_leaves_no_stale_reply(client, monkeypatch):
    # Ctrl-C between sending the parameters and reading the replies: the next evaluation gets
    # its own replies, not the interrupted round's.
    from vostrel._joint import DistributedData
    from vostrel.models._base import prepare

    model = vs.Exponential(0.5, 0.6, 2.0)
    events = model.simulate(100.0, seed=1, n=4)
    data = DistributedData(client, events, 1.0)
    try:
        data.evaluate(model, model.to_vector())
        wait = DistributedData._wait

        def interrupted(self, calls):
            monkeypatch.setattr(DistributedData, "_wait", wait)
            raise KeyboardInterrupt

        monkeypatch.setattr(DistributedData, "_wait", interrupted)
        with pytest.raises(KeyboardInterrupt):
            data.evaluate(model, model.to_vector())
        x = model.to_vector() * 1.1
        value, gradient = data.evaluate(model, x)
        expected = model._neg_ll_grad(prepare(events), x)
        assert value == expected[0] and gradient.tobytes() == expected[1].tobytes()
    finally:
        data.close()


DRIVER = """
import sys
import vostrel as vs
from distributed import Client
from vostrel._joint import DistributedData
client = Client(sys.argv[1])
model = vs.Exponential(0.5, 0.6, 2.0)
data = DistributedData(client, model.simulate(100.0, seed=1, n=4), 1.0)
data.evaluate(model, model.to_vector())
print("placed", flush=True)
sys.stdin.readline()
"""


def test_partitions_are_released_when_the_driver_dies(client):
    wait_until(lambda: not any(partitions_held(client).values()))
    process = subprocess.Popen(
        [sys.executable, "-c", DRIVER, client.scheduler.address],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
    )  # fmt: skip
    try:
        assert process.stdout.readline() == "placed\n"
        assert sum(partitions_held(client).values()) == len(client.nthreads())
    finally:
        process.kill()
        process.wait()
    wait_until(lambda: not any(partitions_held(client).values()))


@pytest.mark.parametrize("call", ["fit_many", "joint fit"])
def test_closing_the_client_mid_call_gives_one_clear_error(client, call):
    distributed = pytest.importorskip("distributed")
    model, datasets = slow_datasets(8)
    wait_until(lambda: not any(partitions_held(client).values()))
    other = distributed.Client(client.scheduler.address)
    if call == "fit_many":
        work = lambda: fit_many(datasets, model, n_starts=1, executor=other, batch_size=1)
        started = lambda: any(client.processing().values())
    else:
        events = model.simulate(600.0, seed=5, n=6)
        work = lambda: vs.fit(events, model, n_starts=1, executor=other)
        started = lambda: any(partitions_held(client).values())
    threading.Thread(target=lambda: (wait_until(started), other.close()), daemon=True).start()
    box = finish_within(60, work)
    assert isinstance(box.get("error"), RuntimeError), box
    assert "client was closed, or lost its connection to the scheduler" in str(box["error"])
    wait_until(lambda: not any(partitions_held(client).values()))


@pytest.mark.parametrize("call", ["fit_many", "joint fit"])
def test_losing_the_scheduler_mid_call_gives_one_clear_error(tmp_path, call):
    distributed = pytest.importorskip("distributed")
    address_file = tmp_path / "scheduler.json"
    scheduler = subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
         "--port", "0", "--no-dashboard", "--scheduler-file", str(address_file)],
        stderr=subprocess.DEVNULL,
    )  # fmt: skip
    workers = None
    try:
        wait_until(lambda: address_file.exists() and address_file.read_text().endswith("}"))
        address = __import__("json").loads(address_file.read_text())["address"]
        workers = subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_worker", address, "--nworkers", "2",
             "--nthreads", "1", "--no-dashboard"],
            stderr=subprocess.DEVNULL,
        )  # fmt: skip
        # The client gives up reconnecting after 5 s (30 s by default).
        with distributed.Client(address, timeout=5) as lone:
            lone.wait_for_workers(2, timeout=60)
            model, datasets = slow_datasets(8)
            if call == "fit_many":
                work = lambda: fit_many(datasets, model, n_starts=1, executor=lone, batch_size=1)
                started = lambda: any(lone.processing().values())
            else:
                events = model.simulate(600.0, seed=5, n=6)
                work = lambda: vs.fit(events, model, n_starts=1, executor=lone)
                started = lambda: sum(
                    lone.run(lambda dask_worker: len(dask_worker.state.actors)).values()
                )
            threading.Thread(
                target=lambda: (wait_until(started), scheduler.kill()), daemon=True
            ).start()
            box = finish_within(60, work)
        assert isinstance(box.get("error"), RuntimeError), box
        assert "lost its connection to the scheduler" in str(box["error"])
    finally:
        for process in (scheduler, workers):
            if process is not None:
                process.kill()
                process.wait()


def test_tls_cluster_works_like_a_plain_one():
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("cryptography")
    security = distributed.security.Security.temporary()
    model = vs.Exponential(0.5, 0.6, 2.0)
    events = model.simulate(150.0, seed=3, n=6)
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None,
        security=security, protocol="tls",
    ) as cluster, distributed.Client(cluster, security=security) as tls:  # fmt: skip
        assert all(w.startswith("tls://") for w in tls.nthreads())
        assert same_fits([vs.fit(events, model, executor=tls)], [vs.fit(events, model)])
        assert same_fits(fit_many([events], model, executor=tls), [vs.fit(events, model)])
