"""Ctrl-C reaches the long native loops: a child process busy in a runaway simulation, an O(N^2)
likelihood or a simulation with a huge branching cell receives SIGINT and raises
KeyboardInterrupt at once, again and again, leaving neither memory nor references behind."""

import os
import signal
import subprocess
import sys
import time

import pytest

pytestmark = pytest.mark.skipif(
    not os.path.exists("/proc/self/statm"), reason="needs POSIX signals and /proc for the RSS"
)

# The child builds the inputs of one call, then runs it again and again; the parent interrupts
# each run. After each interruption the child reports its resident memory and how the reference
# counts of the input arrays changed.
CHILD = r"""
import os, sys
import numpy as np
from vostrel._libvostrel import likelihood as lk, simulation as sim

PAGE = os.sysconf("SC_PAGE_SIZE")

def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE

def case(name):
    rng = np.random.default_rng(1)
    if name == "supercritical thinning":
        return (lambda: sim.simulate_uni_exp_hawkes(1e6, 1.0, 1.5, 1.0, 1)), []
    if name == "power-law likelihood":
        times = np.sort(rng.uniform(0.0, 1e5, 200_000))
        return (lambda: lk.uni_powerlaw_neg_ll_with_grad(times, 1e5, 1.0, 0.5, 1.0, 1.0)), [times]
    if name == "branching with a huge cell":
        mu, alpha = np.array([1000.0]), np.array([1e6])
        return (lambda: sim.simulate_mv_exp_branching(1.0, mu, alpha, 1e-7, 1)), [mu, alpha]
    if name == "dense multivariate likelihood":
        m, n = 300, 100_000
        times = np.sort(rng.uniform(0.0, 1e3, n))
        sources = rng.integers(0, m, n)
        mu, alpha, beta = np.full(m, 0.1), np.full(m * m, 1e-3), np.full(m * m, 1.0)
        call = lambda: lk.mv_exp_dense_neg_ll_with_grad(times, sources, 1e3, m, mu, alpha, beta)
        return call, [times, sources, mu, alpha, beta]

call, arrays = case(sys.argv[1])
for _ in range(int(sys.argv[2])):
    before = [sys.getrefcount(a) for a in arrays]
    print("running", flush=True)
    try:
        call()
        print("finished", flush=True)
        continue
    except KeyboardInterrupt:
        pass
    # Measured once the exception, and the frames its traceback holds, are gone.
    after = [sys.getrefcount(a) for a in arrays]
    changes = [x - y for x, y in zip(after, before)]
    print("interrupted", resident(), *changes, flush=True)
"""

ROUNDS = 3


@pytest.mark.parametrize(
    "case",
    [
        "supercritical thinning",
        "power-law likelihood",
        "branching with a huge cell",
        "dense multivariate likelihood",
    ],
)
def test_sigint_interrupts_at_once_and_leaves_nothing_behind(case):
    # A memory limit well above what the runs reach keeps a runaway from filling the machine; a
    # fixed mmap threshold makes the C library give every large freed block back at once, so
    # that the resident memory shows what is still held.
    env = dict(os.environ, VOSTREL_MEMORY_LIMIT=str(4 * 10**9), MALLOC_MMAP_THRESHOLD_="131072")
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, case, str(ROUNDS)], stdout=subprocess.PIPE, text=True, env=env
    )
    try:
        resident = []
        for _ in range(ROUNDS):
            assert child.stdout.readline() == "running\n"
            time.sleep(0.3)  # well inside the native call, which would run for minutes
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            report = child.stdout.readline().split()
            latency = time.monotonic() - sent
            assert report[0] == "interrupted"
            assert latency < 0.5
            assert all(change == "0" for change in report[2:])
            resident.append(int(report[1]))
        assert child.wait(timeout=30) == 0
    finally:
        child.kill()
        child.wait()
    # A run cut short has allocated tens of megabytes (the thinning's events); none of it stays.
    assert max(resident) - resident[0] < 8 * 2**20
