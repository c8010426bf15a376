"""What breaking ties does to estimates: an exponential model fitted to one year of commit times
(whole seconds, 492 of 3,522 times tied) after jitter with several seeds, under the rule of
spreading ties within the data's resolution (ties="jitter") and, for comparison, under the
earlier rule of spreading them over half the gap to the next distinct time.

    python bench/bench_ties.py [path/to/commit_times_2023.csv] [n_seeds]
"""

from __future__ import annotations

import sys

import numpy as np
import vostrel as vs

YEAR = 365 * 86400.0


def half_gap_jitter(t: np.ndarray, seed: int) -> np.ndarray:
    """The earlier rule: every tied event moves by U[0, 1/2) of the gap to the next distinct
    time (or the window's end)."""
    tied = t[1:] == t[:-1]
    in_group = np.zeros(t.shape[0], dtype=bool)
    in_group[1:] |= tied
    in_group[:-1] |= tied
    distinct = np.append(t[1:][t[1:] != t[:-1]], YEAR)
    following = distinct[np.searchsorted(distinct, t, side="right")]
    rng = np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(0,)))
    moved = np.where(in_group, t + rng.random(t.shape[0]) * 0.5 * (following - t), t)
    return np.sort(moved)


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else "/work/shared/data/commit_times_2023.csv"
    n_seeds = int(sys.argv[2]) if len(sys.argv) > 2 else 8
    t = np.sort(np.loadtxt(path, delimiter=",", skiprows=1, usecols=0))
    print(f"{t.shape[0]} events, {int((t[1:] == t[:-1]).sum())} tied with their predecessor")
    rows = {}
    for rule in ("resolution", "half gap"):
        estimates = []
        for seed in range(n_seeds):
            if rule == "resolution":
                events = vs.Events.from_arrays(t, YEAR, ties="jitter", seed=seed)
                shift = np.max(np.abs(events[0].times - t))
            else:
                jittered = half_gap_jitter(t, seed)
                events = vs.Events.from_arrays(jittered, YEAR)
                shift = np.max(np.abs(jittered - t))
            result = vs.fit(events, vs.Exponential())
            estimates.append((*result.params.values(), result.log_likelihood, shift))
        rows[rule] = np.array(estimates)
    print(f"{'rule':>10} {'beta min':>11} {'beta max':>11} {'max/min':>8} {'alpha min':>9} "
          f"{'alpha max':>9} {'largest move (s)':>17}")
    for rule, e in rows.items():
        beta, alpha = e[:, 2], e[:, 1]
        print(f"{rule:>10} {beta.min():11.4g} {beta.max():11.4g} {beta.max() / beta.min():8.3f} "
              f"{alpha.min():9.4f} {alpha.max():9.4f} {e[:, 4].max():17.4g}")


if __name__ == "__main__":
    main()
