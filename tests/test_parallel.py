# Scale-out: results identical bit for bit serially, on a process pool and on a two-worker Dask
# LocalCluster (loopback only); a failing sequence holds its error; a killed worker gives a clear
# error or a retried result, never a hang; Ctrl-C in the driver returns promptly.
import concurrent.futures
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


def slow_datasets(count):
    # Power-law fits are O(N^2): long enough per sequence to interrupt the run.
    model = vs.PowerLaw(0.5, 0.3, 1.0, 0.5)
    return model, simulate_many(model, 400.0, n=count, seed=2)


def test_killed_pool_worker_gives_a_clear_error():
    model, datasets = slow_datasets(8)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=FORKSERVER) as executor:
        # Start the workers, then kill one while the fits run.
        executor.submit(os.getpid).result()
        victim = next(iter(executor._processes))
        threading.Timer(1.0, os.kill, (victim, signal.SIGKILL)).start()
        start = time.monotonic()
        with pytest.raises(RuntimeError, match="worker process of the pool died"):
            fit_many(datasets, model, executor=executor, batch_size=1, n_starts=1)
        assert time.monotonic() - start < 60


def test_ctrl_c_in_the_driver_returns_promptly(tmp_path):
    script = tmp_path / "interrupted.py"
    script.write_text(
        textwrap.dedent("""
        import concurrent.futures, sys
        import vostrel as vs
        from vostrel.parallel import fit_many, simulate_many
        if __name__ == "__main__":
            model = vs.PowerLaw(0.5, 0.3, 1.0, 0.5)
            data = simulate_many(model, 800.0, n=40, seed=2)
            with concurrent.futures.ProcessPoolExecutor(2) as pool:
                print("started", flush=True)
                fit_many(data, model, executor=pool, batch_size=1, n_starts=1)
            print("finished", flush=True)
    """)
    )
    process = subprocess.Popen(
        [sys.executable, str(script)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    assert process.stdout.readline().strip() == "started"
    time.sleep(1.5)
    process.send_signal(signal.SIGINT)
    start = time.monotonic()
    out, err = process.communicate(timeout=60)
    assert time.monotonic() - start < 30
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


def kill_a_worker(client, delay):
    pids = client.run(os.getpid)
    victim = sorted(pids.values())[0]
    threading.Timer(delay, os.kill, (victim, signal.SIGKILL)).start()


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


def test_killed_dask_worker_gives_a_retried_result_or_a_clear_error(client):
    model, datasets = slow_datasets(8)
    expected = fit_many(datasets, model, n_starts=1)
    kill_a_worker(client, 1.0)
    box = finish_within(
        240, lambda: fit_many(datasets, model, n_starts=1, executor=client, batch_size=1)
    )
    print("outcome:", "error" if "error" in box else "retried", box.get("error"))
    if "error" in box:
        assert (
            "KilledWorker" in type(box["error"]).__name__ or "worker" in str(box["error"]).lower()
        )
    else:
        assert same_fits(box["value"], expected)
    client.wait_for_workers(2, timeout=60)


def test_killed_dask_worker_during_a_joint_fit(client):
    model = vs.PowerLaw(0.5, 0.3, 1.0, 0.5)
    events = model.simulate(600.0, seed=5, n=6)
    expected = vs.fit(events, model, n_starts=1)
    kill_a_worker(client, 1.0)
    box = finish_within(240, lambda: vs.fit(events, model, n_starts=1, executor=client))
    print("outcome:", "error" if "error" in box else "retried", box.get("error"))
    if "error" in box:
        assert "worker" in str(box["error"]).lower()
    else:
        assert same_fits([box["value"]], [expected])
    client.wait_for_workers(2, timeout=60)


def joint_fit_threads(client, token):
    """Names of the threads serving the joint fit with this token, on each worker."""

    def names():
        return [t.name for t in threading.enumerate() if t.name.endswith(token[:8])]

    return client.run(names)


def test_partitions_and_their_native_objects_are_built_once_per_worker(client):
    from vostrel.models._base import prepare
    from vostrel.parallel import DistributedData

    def held():
        import vostrel.parallel as p

        return sorted(id(v) for d in p._PARTITIONS.values() for v in d.cache.values())

    model = vs.MultivariateExponential([0.3, 0.2], [[0.3, 0.1], [0.4, 0.2]], 1.5, "fixed")
    events = model.simulate(100.0, seed=1, n=4)
    data = DistributedData(client, events, 1.0)
    x = model.to_vector()
    first = data.evaluate(model, x)
    assert len(data.channels) == 2  # the evaluations went over direct connections
    objects = client.run(held)
    assert sum(len(ids) for ids in objects.values()) == 4  # one native model per realisation
    data.evaluate(model, x * 1.01)
    assert client.run(held) == objects
    value, gradient = model._neg_ll_grad(prepare(events), x)
    assert first[0] == value and first[1].tobytes() == gradient.tobytes()
    token = data.token
    assert any(joint_fit_threads(client, token).values())
    data.close()
    assert all(not ids for ids in client.run(held).values())
    deadline = time.monotonic() + 10
    while any(joint_fit_threads(client, token).values()) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not any(joint_fit_threads(client, token).values()), "a worker serves a closed fit"


@pytest.fixture(params=["direct", "dask calls"])
def transport(request, monkeypatch):
    """Evaluations over the direct connections, or over Dask calls: the fallback when this
    process cannot reach the workers (as on TLS and other transports)."""
    if request.param == "dask calls":
        import socket

        def refuse(*args, **kwargs):
            raise ConnectionRefusedError("no route to the worker")

        monkeypatch.setattr(socket, "create_connection", refuse)
    return request.param


class Unloadable:
    def __reduce__(self):
        return int, ("not a number",)


def test_a_failing_evaluation_on_dask_raises_its_own_error(client, transport):
    # An error in the computation (here a parameter vector of the wrong length) reaches the
    # caller as it is: only a lost worker leads to a new placement and a retry.
    from vostrel.parallel import DistributedData

    model = vs.Exponential(0.5, 0.6, 2.0)
    data = DistributedData(client, model.simulate(100.0, seed=1, n=4), 1.0)
    try:
        with pytest.raises(ValueError, match="not enough values"):
            data.evaluate(model, np.array([0.5]))
        with pytest.raises(Exception, match="invalid literal"):  # the model fails to unpickle
            data.evaluate(Unloadable(), model.to_vector())
        assert data.evaluate(model, model.to_vector())[0] == model.neg_log_likelihood(
            model.simulate(100.0, seed=1, n=4)
        )
        assert len(data.channels) == (2 if transport == "direct" else 0)
    finally:
        data.close()


def test_an_evaluation_interrupted_mid_round_leaves_no_stale_reply(client, monkeypatch):
    # Ctrl-C between sending the parameters and reading the replies: the next evaluation must
    # not read the interrupted round's replies as its own.
    from vostrel.models._base import prepare
    from vostrel.parallel import DistributedData

    model = vs.Exponential(0.5, 0.6, 2.0)
    events = model.simulate(100.0, seed=1, n=4)
    data = DistributedData(client, events, 1.0)
    try:
        data.evaluate(model, model.to_vector())
        await_reply = DistributedData._await_reply

        def interrupted(self, worker, sock):
            monkeypatch.setattr(DistributedData, "_await_reply", await_reply)
            raise KeyboardInterrupt

        monkeypatch.setattr(DistributedData, "_await_reply", interrupted)
        with pytest.raises(KeyboardInterrupt):
            data.evaluate(model, model.to_vector())
        x = model.to_vector() * 1.1
        value, gradient = data.evaluate(model, x)
        expected = model._neg_ll_grad(prepare(events), x)
        assert value == expected[0] and gradient.tobytes() == expected[1].tobytes()
    finally:
        data.close()


def test_a_worker_admits_only_the_connection_with_its_key():
    import socket

    from vostrel.parallel import _accept_driver, _dumps

    key = bytes(range(32))
    server = socket.create_server(("127.0.0.1", 0))
    address = server.getsockname()
    result = {}
    thread = threading.Thread(target=lambda: result.update(sock=_accept_driver(server, key)))
    thread.start()
    stranger = socket.create_connection(address)
    stranger.sendall(bytes(32))
    assert stranger.recv(1) == b""  # closed on the wrong key
    driver = socket.create_connection(address)
    driver.sendall(key)
    thread.join(10)
    result["sock"].sendall(b"ok")
    assert driver.recv(2) == b"ok"
    with pytest.raises(ConnectionRefusedError):  # one driver per fit: nobody else gets in
        socket.create_connection(address)
    for sock in (stranger, driver, result["sock"]):
        sock.close()
    # Parameters that plain pickle cannot take (a lambda as a link) still travel.
    assert pickle.loads(_dumps((lambda v: 2 * v,)))[0](3) == 6


def test_a_stalled_worker_that_the_scheduler_drops_gives_a_retried_result(client, monkeypatch):
    # A worker that stops answering without closing its connection (a frozen host): once the
    # scheduler has dropped it, the waiting evaluation places the data anew instead of hanging.
    from vostrel.models._base import prepare
    from vostrel.parallel import DistributedData

    async def drop(address, dask_scheduler=None):
        await dask_scheduler.remove_worker(address, stimulus_id="test-drop", close=False)

    monkeypatch.setattr(DistributedData, "_LIVENESS_SECONDS", 0.2)
    model = vs.Exponential(0.5, 0.6, 2.0)
    events = model.simulate(100.0, seed=1, n=4)
    x = model.to_vector()
    data = DistributedData(client, events, 1.0)
    try:
        data.evaluate(model, x)
        address, victim = sorted(client.run(os.getpid).items())[0]
        os.kill(victim, signal.SIGSTOP)
        try:
            client.run_on_scheduler(drop, address)
            box = finish_within(60, lambda: data.evaluate(model, x))
        finally:
            os.kill(victim, signal.SIGKILL)
        expected = model._neg_ll_grad(prepare(events), x)
        assert box["value"][0] == expected[0]
        assert box["value"][1].tobytes() == expected[1].tobytes()
    finally:
        data.close()
    client.wait_for_workers(2, timeout=60)
