"""Cost of the interruption polls: each C++ benchmark against its twin built without them.

Configure with -DVOSTREL_BUILD_BENCH=ON -DVOSTREL_BENCH_WITHOUT_POLL=ON, build, then run

    python bench/poll_overhead.py BUILD_DIR [--rounds 5] [bench_uni_exp[:ARGS] ...]

ARGS are passed on to the benchmark (for example bench_kernels:100000 for 10^5 lags); every
benchmark runs at its full default size otherwise.

Each round runs every benchmark and its bench_*_nopoll twin back to back, the order alternating
from round to round, so that load on a shared machine hits both alike. Every result line is
reduced to one number (its ratio to the C library floor timed in the same process where it has
one, otherwise its time per item, or the inverse of a rate), and the table gives the median over
the rounds of each side and their quotient: with polls / without, 1.000 meaning no cost.
"""

import argparse
import re
import statistics
import subprocess
import sys
from pathlib import Path

BENCHMARKS = ["bench_uni_exp", "bench_kernels", "bench_univariate", "bench_multivariate",
              "bench_simulation"]
NUMBER = r"[0-9]+(?:\.[0-9]+)?(?:e[+-]?[0-9]+)?"


def measure(line):
    """The line's key (its text with the measured numbers blanked) and its number (lower is
    better), or None for a line that measures nothing."""
    key = re.sub(rf"\s*{NUMBER}(?=\s*(?:ms|ns/|M \w+/s|x\b))", " #", line)
    key = " ".join(re.sub(rf"(ratios?) {NUMBER}\s*$", r"\1 #", key).split())
    ratio = re.search(rf"ratios? ({NUMBER})\s*$", line)
    if ratio:
        return key, float(ratio.group(1))
    per_item = re.search(rf"({NUMBER}) ns/", line)
    if per_item:
        return key, float(per_item.group(1))
    milliseconds = re.search(rf"({NUMBER}) ms", line)
    if milliseconds:
        return key, float(milliseconds.group(1))
    rate = re.findall(rf"({NUMBER}) M \w+/s", line)
    if rate:
        return key, 1.0 / float(rate[-1])
    return None


def run(executable, arguments):
    output = subprocess.run([str(executable), *arguments], check=True, capture_output=True,
                            text=True).stdout
    results = {}
    section = ""  # the last line that measures nothing heads the lines after it
    key = ""
    for line in output.splitlines():
        measured = measure(line)
        if measured is None:
            section = " ".join(line.split())
        elif line.startswith(" " * 10) and key:  # a deeply indented line adds to the one above
            results.setdefault(f"{key} / {measured[0]}", measured[1])
        else:
            key = f"{section} | {measured[0]}"
            results.setdefault(key, measured[1])
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir", type=Path)
    parser.add_argument("benchmarks", nargs="*", default=BENCHMARKS)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    samples = {}  # (benchmark, key) -> {"poll": [...], "nopoll": [...]}
    for r in range(args.rounds):
        for benchmark in args.benchmarks:
            name, _, arguments = benchmark.partition(":")
            sides = [("poll", name), ("nopoll", name + "_nopoll")]
            if r % 2 == 1:
                sides.reverse()
            for side, executable in sides:
                for key, value in run(args.build_dir / executable, arguments.split()).items():
                    samples.setdefault((name, key), {"poll": [], "nopoll": []})[side].append(value)
        print(f"round {r + 1} of {args.rounds} done", file=sys.stderr)

    print(f"{'benchmark | section | line':100} {'without':>9} {'with':>9} {'with/without':>12}")
    for (name, key), sides in samples.items():
        if not sides["poll"] or not sides["nopoll"]:
            continue
        before = statistics.median(sides["nopoll"])
        after = statistics.median(sides["poll"])
        label = f"{name} | {key}"[:100]
        print(f"{label:100} {before:9.4g} {after:9.4g} {after / before:12.3f}")


if __name__ == "__main__":
    main()
