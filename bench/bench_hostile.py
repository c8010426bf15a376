"""Generated hostile calls to the constructors of events and models and to simulate, with the
table of outcome classes and the slowest call.

    python bench/bench_hostile.py [calls] [seed]

A call is a fault when it crashes (an exception other than TypeError, ValueError or
MemoryError), returns a result that breaks an invariant, raises from inside NumPy, pandas or
the OS or names none of its arguments, modifies an argument, or takes more than 10 s. The
classification lives in tests/hostile.py, which the test suite runs on a few hundred calls.
"""

from __future__ import annotations

import collections
import sys
import time
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import hostile

HANG = 10.0


def main() -> int:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 6000
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 2026
    rng = np.random.default_rng(seed)
    table: collections.Counter[tuple[str, str]] = collections.Counter()
    faults = []
    slowest = (0.0, "")
    warnings.simplefilter("ignore")
    for call in hostile.calls(rng, count):
        started = time.monotonic()
        outcome, detail = hostile.run(call)
        elapsed = time.monotonic() - started
        if elapsed > slowest[0]:
            slowest = (elapsed, call.describe())
        if elapsed > HANG:
            outcome = "hang"
        table[(call.entry, outcome)] += 1
        if outcome in hostile.FAULTS or outcome == "hang":
            faults.append(f"{outcome}: {call.describe()} -> {detail}")
    classes = ["result", "TypeError", "ValueError", "MemoryError", *hostile.FAULTS, "hang"]
    entries = sorted({entry for entry, _ in table})
    width = max(len(e) for e in entries)
    short = ["result", "TypeErr", "ValueErr", "MemErr", "crash", "wrong", "unexpl", "modif", "hang"]
    print(f"{count} calls (seed {seed})")
    print(f"{'entry point':<{width}} " + " ".join(f"{c:>8}" for c in short))
    for entry in entries:
        print(f"{entry:<{width}} " + " ".join(f"{table[(entry, c)]:>8}" for c in classes))
    totals = [sum(table[(e, c)] for e in entries) for c in classes]
    print(f"{'total':<{width}} " + " ".join(f"{t:>8}" for t in totals))
    print(f"slowest call {slowest[0]:.2f} s: {slowest[1][:150]}")
    for fault in faults[:20]:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
