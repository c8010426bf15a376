"""Hostile inputs for the public constructors of events and models and for `simulate`.

`calls(rng, count)` draws `count` calls from seeded generators: each call is an entry point and
arguments mixed from valid values and a new user's mistakes (wrong types, NaN, infinities,
subnormals, huge sizes, read-only and broadcast arrays, ragged nestings, strings that look like
numbers, complex numbers, DataFrames with awkward columns). `run(call)` makes the call and
classifies what happened:

- "result": a value came back and it is valid (events sorted and inside their windows, read-only
  copies; models that print, pickle and report a branching ratio; simulations that `Events`
  accepts again);
- "TypeError" / "ValueError" / "MemoryError": a clear error, raised by the package, whose
  message names one of the arguments given;
- anything else is a fault: "crash" (another exception type), "silent wrong result" (a result
  that breaks an invariant), "unexplained error" (raised from inside NumPy, pandas or the OS, or
  naming no argument), "input modified" (an argument changed by the call).

The test suite runs a few hundred of these; bench/bench_hostile.py runs thousands and times
each call.
"""

from __future__ import annotations

import copy
import math
import pickle
import traceback
from collections.abc import Callable
from dataclasses import dataclass, field
from decimal import Decimal
from fractions import Fraction
from typing import Any

import numpy as np
import vostrel as vs
from vostrel import Events, Realization

try:
    import pandas as pd
except ImportError:  # pragma: no cover - pandas is a test dependency
    pd = None

FAULTS = ("crash", "silent wrong result", "unexplained error", "input modified")


@dataclass
class Call:
    entry: str
    function: Callable[..., Any]
    args: tuple[Any, ...] = ()
    kwargs: dict[str, Any] = field(default_factory=dict)
    names: tuple[str, ...] = ()  # words one of which a clear message must contain

    def describe(self) -> str:
        parts = [_short(a) for a in self.args] + [f"{k}={_short(v)}" for k, v in self.kwargs.items()]
        return f"{self.entry}({', '.join(parts)})"


def _short(value: Any) -> str:
    text = repr(value)
    return text if len(text) < 80 else text[:77] + "..."


# -- values ------------------------------------------------------------------------------------------

SCALARS: list[Any] = [
    0, 1, -1, 0.5, 2.0, 1e6, -0.0, 1e308, -1e308, 5e-324, 1e-310, math.nan, math.inf, -math.inf,
    True, None, "1", b"1", 1 + 2j, np.float32(2.5), np.int64(3), np.uint64(2**64 - 1), 10**400,
    Decimal("1.5"), Fraction(1, 3), [], [1.0], np.array(2.0), np.array([1.0, 2.0]), object(),
]


def _pick(rng: np.random.Generator, options: Any) -> Any:
    return options[int(rng.integers(len(options)))]


def _scalar(rng: np.random.Generator, valid: float) -> Any:
    return valid if rng.random() < 0.5 else SCALARS[int(rng.integers(len(SCALARS)))]


def _sorted_times(rng: np.random.Generator, n: int, end: float) -> np.ndarray:
    return np.sort(rng.random(n)) * end


def _times(rng: np.random.Generator, end: float) -> Any:
    n = int(rng.integers(0, 30))
    t = _sorted_times(rng, n, end)
    kind = int(rng.integers(0, 18))
    if kind < 6:
        return t
    if kind == 6:
        return t.tolist()
    if kind == 7 and n > 1:
        return t[::-1].copy()
    if kind == 8 and n:
        t[int(rng.integers(n))] = [math.nan, math.inf, -math.inf][int(rng.integers(3))]
        return t
    if kind == 9 and n > 1:
        t[1] = t[0]  # a tie
        return t
    if kind == 10:
        t.flags.writeable = False  # read-only
        return t
    if kind == 11:
        return np.broadcast_to(np.float64(end / 2), (int(rng.integers(1, 5)),))
    if kind == 12:
        return np.array([str(x) for x in t], dtype=object)
    if kind == 13:
        return t.astype(np.complex128)
    if kind == 14:
        return t.reshape(1, -1)
    if kind == 15:
        return [[0.1, 0.2], [0.3]]  # ragged
    if kind == 16 and n:
        return np.round(t).astype(np.int64)
    if kind == 17:
        return t * 1e300  # beyond the window or overflowing
    return t


def _dims(rng: np.random.Generator, n: int) -> Any:
    kind = int(rng.integers(0, 10))
    if kind < 4:
        return None
    if kind < 7:
        return rng.integers(0, 3, size=n)
    if kind == 7:
        return rng.integers(-2, 5, size=n).astype(np.float64)
    if kind == 8:
        return np.broadcast_to(np.int64(0), (n + int(rng.integers(0, 2)),))
    return rng.integers(0, 3, size=max(n - 1, 0))


def _marks(rng: np.random.Generator, n: int) -> Any:
    kind = int(rng.integers(0, 6))
    if kind < 3:
        return None
    if kind == 3:
        return rng.random(n)
    if kind == 4:
        m = rng.random(n)
        if n:
            m[0] = math.nan
        return m
    return ["a"] * n


def _length(value: Any) -> int:
    try:
        return len(value)
    except TypeError:
        return 0


# -- calls ---------------------------------------------------------------------------------------


def _events_call(rng: np.random.Generator) -> Call:
    end = _pick(rng, [1.0, 10.0, 1e9])
    times = _times(rng, end)
    n = _length(times)
    kind = int(rng.integers(0, 6))
    ties_kwargs: dict[str, Any] = {}
    if rng.random() < 0.4:
        ties_kwargs = {"ties": _pick(rng, ["jitter", "jitter", "error", "drop"])}
        ties_kwargs["seed"] = _scalar(rng, int(rng.integers(0, 100)))
        if rng.random() < 0.3:
            ties_kwargs["resolution"] = _scalar(rng, 0.5)
    if kind <= 1:
        kwargs: dict[str, Any] = {"dims": _dims(rng, n), "marks": _marks(rng, n), **ties_kwargs}
        if rng.random() < 0.3:
            kwargs["n_dims"] = _scalar(rng, 3)
        if rng.random() < 0.3:
            kwargs["start_time"] = _scalar(rng, 0.0)
        return Call(
            "Events.from_arrays", Events.from_arrays, (times, _scalar(rng, end)), kwargs,
            ("times", "end_time", "start_time", "dims", "marks", "n_dims", "ties", "seed",
             "resolution"),
        )
    if kind == 2:
        per_dim = [_times(rng, end) for _ in range(int(rng.integers(1, 4)))]
        if rng.random() < 0.1:
            per_dim = times  # a flat array instead of a list of arrays
        return Call(
            "Events.from_dimensions", Events.from_dimensions, (per_dim, _scalar(rng, end)),
            ties_kwargs, ("times", "end_time", "start_time", "ties", "seed", "resolution"),
        )
    if kind == 3:
        items: list[Any] = []
        for _ in range(int(rng.integers(0, 4))):
            t = _times(rng, end)
            choice = int(rng.integers(0, 5))
            if choice == 0:
                items.append({"times": t, "end_time": _scalar(rng, end), "dims": _dims(rng, _length(t))})
            elif choice == 1:
                items.append(Realization(t, _scalar(rng, end)))
            elif choice == 2:
                items.append(vs.Exponential(0.5, 0.3, 1.0).simulate(5.0, seed=int(rng.integers(9))))
            elif choice == 3:
                items.append({"times": t})
            else:
                items.append({"times": t, "end_time": end, "marks": _marks(rng, _length(t))})
        kwargs = dict(ties_kwargs)
        if rng.random() < 0.3:
            kwargs["n_dims"] = _scalar(rng, 2)
        return Call(
            "Events.from_realizations", Events.from_realizations, (items,), kwargs,
            ("realizations", "n_dims", "ties", "seed", "resolution", "marks", "dims",
             "end_time", "times"),
        )
    if kind == 4:
        r = Realization(times, _scalar(rng, end), _scalar(rng, 0.0), _dims(rng, n), _marks(rng, n))
        return Call(
            "Events(Realization)", Events, ([r], _scalar(rng, 1)), {},
            ("realizations", "n_dims", "times", "end_time", "start_time", "dims", "marks"),
        )
    return _frame_call(rng, times, end, ties_kwargs)


def _frame_call(rng: np.random.Generator, times: Any, end: float, ties: dict[str, Any]) -> Call:
    if pd is None:  # pragma: no cover
        return _events_call(rng)
    try:
        t = np.ravel(np.array(times, dtype=object))
    except ValueError:  # a ragged nesting
        t = np.array([1.0, 0.5], dtype=object)
    n = t.shape[0]
    columns: dict[str, Any] = {"time": t}
    kind = int(rng.integers(0, 9))
    kwargs: dict[str, Any] = {"end_time": _scalar(rng, end), **ties}
    if kind == 0:
        columns["time"] = pd.to_datetime(rng.integers(0, 10**9, size=n), unit="s", utc=bool(rng.random() < 0.5))
        kwargs["start_time"] = _pick(rng, 
            [pd.Timestamp(0), pd.Timestamp(0, tz="UTC"), 0.0, None, "1970-01-01"]
        )
        kwargs["end_time"] = _pick(rng, 
            [pd.Timestamp(2 * 10**9, unit="s"), pd.Timestamp(2 * 10**9, unit="s", tz="UTC"), 5.0]
        )
        kwargs["unit"] = _pick(rng, ["s", "ms", "weeks"])
    elif kind == 1:
        columns["who"] = rng.integers(0, 3, size=n)
        kwargs["realization"] = "who"
        kwargs["end_time"] = {0: end, 1: end, 7: _scalar(rng, end)} if rng.random() < 0.5 else end
    elif kind == 2:
        columns["kind"] = [_pick(rng, ["buy", "sell", None]) for _ in range(n)]
        kwargs["dim"] = "kind"
    elif kind == 3:
        columns["size"] = _marks(rng, n) if rng.random() < 0.7 else rng.random(n) + 1j
        kwargs["mark"] = "size"
    elif kind == 4:
        kwargs["time"] = _pick(rng, ["t", "time", 3])
    try:
        frame = pd.DataFrame(columns)
        if kind == 5:
            frame.index = np.arange(10, 10 + n)
        if kind == 6:
            frame = pd.concat([frame, frame[["time"]]], axis=1)  # duplicate columns
        if kind == 7:
            frame["time"] = frame["time"].astype(object)
    except (ValueError, TypeError):
        frame = pd.DataFrame({"time": [1.0]})
    frame_arg: Any = frame if kind != 8 else columns
    return Call(
        "Events.from_dataframe", Events.from_dataframe, (frame_arg,), kwargs,
        ("frame", "time", "dim", "realization", "mark", "end_time", "start_time", "unit",
         "n_dims", "ties", "seed", "resolution"),
    )


def _model_call(rng: np.random.Generator) -> Call:
    kind = int(rng.integers(0, 8))
    s = lambda valid: _scalar(rng, valid)
    if kind == 0:
        kwargs = {"mu": s(0.5), "alpha": s(0.5), "beta": s(1.0)}
        return Call("Exponential", vs.Exponential, (), kwargs, tuple(kwargs))
    if kind == 1:
        kwargs = {"mu": s(0.5), "alpha": s(0.5), "beta": s(1.0)}
        return Call("MarkedExponential", vs.MarkedExponential, (), kwargs, tuple(kwargs))
    if kind == 2:
        alphas = _pick(rng, [(0.2, 0.3), [[0.1], [0.2, 0.3]], (0.1,), np.array([0.1, np.nan]), "ab"])
        kwargs = {"mu": s(0.5), "alphas": alphas, "betas": _pick(rng, [(1.0, 5.0), (1.0,), (-1.0, 2.0)])}
        return Call("SumExponential", vs.SumExponential, (), kwargs, tuple(kwargs))
    if kind == 3:
        kwargs = {"mu": s(0.5), "alpha": s(1.0), "beta": s(1.0), "c": s(1.0)}
        return Call("PowerLaw", vs.PowerLaw, (), kwargs, tuple(kwargs))
    if kind == 4:
        kwargs = {
            "mu": s(0.5), "alpha": s(0.5), "beta_pow": s(0.5), "beta_min": s(0.1), "r": s(2.0),
            "n_components": s(5),
        }
        return Call("ApproxPowerLaw", vs.ApproxPowerLaw, (), kwargs, tuple(kwargs))
    if kind == 5:
        edges = _pick(rng, [(0.0, 1.0, 2.0), (1.0, 0.5), (0.0, math.inf), (-1.0, 1.0), ()])
        kwargs = {"mu": s(0.5), "edges": edges, "values": _pick(rng, [(0.1, 0.2), (0.1,), ("a", "b")])}
        return Call("Nonparametric", vs.Nonparametric, (), kwargs, tuple(kwargs))
    if kind == 6:
        alpha = _pick(rng, 
            [((0.2, 0.1), (0.1, 0.2)), ((0.2, 0.1), (0.1,)), np.eye(3) * 0.1, np.full((2, 2), np.inf), 0.5]
        )
        kwargs = {
            "mu": _pick(rng, [(0.5, 0.5), (0.5,), (), (np.nan, 1.0), (0.5, 0.5, 0.5)]),
            "alpha": alpha,
            "beta": _pick(rng, [1.0, np.ones((2, 2)), -1.0, "x"]),
            "decay": _pick(rng, ["shared", "per_cell", "fixed", "none"]),
        }
        return Call("MultivariateExponential", vs.MultivariateExponential, (), kwargs, tuple(kwargs))
    kwargs = {
        "mu": s(0.5), "alpha": s(0.5), "beta": s(1.0),
        "link": _pick(rng, ["softplus", "relu", "sigmoid", "identity", "exp", 3]),
        "n_quad": _pick(rng, [None, 1, 101, 2.5, 10**12]),
    }
    return Call("NonlinearExponential", vs.NonlinearExponential, (), kwargs, tuple(kwargs))


SIMULATED = [
    vs.Exponential(0.5, 0.5, 1.0),
    vs.SumExponential(0.5, (0.2, 0.3), (1.0, 5.0)),
    vs.PowerLaw(0.5, 0.5, 1.5, 1.0),
    vs.ApproxPowerLaw(0.5, 0.5, 0.5, 0.1, 2.0, 5),
    vs.Nonparametric(0.5, (0.0, 1.0, 2.0), (0.2, 0.1)),
    vs.MultivariateExponential((0.5, 0.5), ((0.2, 0.1), (0.1, 0.2)), 1.0),
    vs.PowerLaw(0.5, 1.0, 10.0, 1e-40),  # branching ratio inf
    vs.Exponential(0.5, 1.5, 1.0),  # explosive
]


def _simulate_call(rng: np.random.Generator) -> Call:
    model = SIMULATED[int(rng.integers(len(SIMULATED)))]
    kwargs: dict[str, Any] = {"seed": _scalar(rng, int(rng.integers(0, 1000)))}
    if rng.random() < 0.3:
        kwargs["n"] = _pick(rng, [0, 2, 10**12, -1, 2.0, None, 10**40]) if rng.random() < 0.8 else 3
    if rng.random() < 0.3:
        kwargs["start_time"] = _scalar(rng, _pick(rng, [0.0, 1e15, -5.0]))
    end_time = _scalar(rng, 20.0)
    if isinstance(end_time, float) and math.isfinite(end_time) and abs(end_time) > 1e7:
        end_time = 20.0  # keep simulations small: a long window is only slow, not hostile
    if isinstance(kwargs.get("start_time"), float) and kwargs["start_time"] == 1e15:
        end_time = 1e15 + 20.0
    return Call(
        f"{type(model).__name__}.simulate", model.simulate, (end_time,), kwargs,
        ("end_time", "seed", "n", "start_time", "branching ratio", "simulation"),
    )


def _access_call(rng: np.random.Generator) -> Call:
    events = vs.Exponential(0.5, 0.5, 1.0).simulate(5.0, seed=1, n=2)
    index = _pick(rng, [0, 1, -1, 2, -3, 1.0, "0", None, True, [0, 1], [5], [], slice(0, 5)])
    if rng.random() < 0.5:
        return Call("Events[index]", events.__getitem__, (index,), {}, ("index", "realisation", "Events"))
    return Call(
        "Events.times_by_dim", events.times_by_dim, (index,), {}, ("realization", "realisation")
    )


def calls(rng: np.random.Generator, count: int) -> list[Call]:
    makers = [_events_call] * 5 + [_model_call] * 3 + [_simulate_call] * 2 + [_access_call]
    return [makers[int(rng.integers(len(makers)))](rng) for _ in range(count)]


# -- classification -------------------------------------------------------------------------------


def _snapshot(value: Any) -> Any:
    try:
        return pickle.dumps(value)
    except Exception:
        return copy.deepcopy(repr(value))


def _invalid_events(events: Events) -> str | None:
    for k, r in enumerate(events):
        t = r.times
        if t.flags.writeable or t.dtype != np.float64:
            return f"realisation {k}: times writeable or not float64"
        if t.size and (not np.all(np.isfinite(t)) or t[0] < r.start_time or t[-1] > r.end_time):
            return f"realisation {k}: a time outside [{r.start_time}, {r.end_time}] or not finite"
        if t.size > 1 and not np.all(np.diff(t) > 0):
            return f"realisation {k}: times not strictly ascending"
        if r.dims is not None and (np.any(r.dims < 0) or np.any(r.dims >= events.n_dims)):
            return f"realisation {k}: dims out of range"
        if r.marks is not None and not np.all(np.isfinite(r.marks)):
            return f"realisation {k}: marks not finite"
    # What fit reads must come back through the validating constructor unchanged.
    again = Events([Realization(np.array(r.times), r.end_time, r.start_time,
                                None if r.dims is None else np.array(r.dims),
                                None if r.marks is None else np.array(r.marks)) for r in events],
                   events.n_dims)
    if not np.array_equal(np.concatenate([r.times for r in again]),
                          np.concatenate([r.times for r in events])):
        return "not accepted back unchanged"
    return None


def _invalid_result(result: Any) -> str | None:
    if isinstance(result, Events):
        return _invalid_events(result)
    if isinstance(result, Realization):
        return None if not result.times.flags.writeable else "writeable realisation"
    if isinstance(result, vs.Model):
        ratio = result.branching_ratio
        if not isinstance(ratio, float) or math.isnan(ratio):
            return f"branching ratio {ratio!r}"
        if pickle.loads(pickle.dumps(result)) != result:
            return "pickle round trip differs"
        repr(result)
        return None
    if isinstance(result, list):
        return None
    return f"unexpected result type {type(result).__name__}"


def _raised_inside_library(exc: BaseException) -> bool:
    frames = traceback.extract_tb(exc.__traceback__)
    if not frames:
        return True
    last = frames[-1].filename.replace("\\", "/")
    return "/vostrel/" in last or last.endswith("hostile.py")


def run(call: Call) -> tuple[str, str]:
    """(outcome class, detail) of one call."""
    before = [_snapshot(a) for a in call.args] + [_snapshot(v) for v in call.kwargs.values()]
    try:
        result = call.function(*call.args, **call.kwargs)
    except (TypeError, ValueError, MemoryError) as exc:
        outcome, detail = type(exc).__name__, str(exc)
        if isinstance(exc, IndexError):
            outcome = "ValueError"
        if not _raised_inside_library(exc):
            frame = traceback.extract_tb(exc.__traceback__)[-1]
            return "unexplained error", f"{detail} (raised in {frame.filename}:{frame.lineno})"
        text = detail.lower()
        if not any(name.lower() in text for name in call.names) or "np.int64(" in detail:
            return "unexplained error", f"{type(exc).__name__}: {detail}"
    except Exception as exc:  # noqa: BLE001 - every other class is what the suite looks for
        return "crash", f"{type(exc).__name__}: {exc}"
    else:
        problem = _invalid_result(result)
        if problem:
            return "silent wrong result", problem
        outcome, detail = "result", type(result).__name__
    after = [_snapshot(a) for a in call.args] + [_snapshot(v) for v in call.kwargs.values()]
    if before != after:
        return "input modified", call.describe()
    return outcome, detail
