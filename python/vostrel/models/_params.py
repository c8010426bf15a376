"""Parameters declared once per family, where the family's dataclass fields are.

A family's parameter fields say what kind of parameter they are, beside their defaults::

    mu: float = rate(1.0)
    alpha: float = branching(0.5)
    beta: float = decay(1.0)

The kind fixes what every parameter of that kind shares: its domain (what a model accepts and
what a fit may reach), how it scales with the time unit (`time_power`), whether its Wald
intervals are formed on the log scale, its default fit bounds from the data's summary, and,
where one is natural, its start value. Fields declared without a kind (bin edges, a link, a
decay mode) are settings, not parameters. The flat parameter vector holds the parameter fields
in field order. From the declarations :class:`~vostrel.models.Model` derives
:meth:`~vostrel.models.Model.param_info`, the default bounds, the checks of the constructor
and, for families of scalar rates, branching ratios, decays and lags, the start values; a family
overrides only what is its own (its likelihood, intensity, kernel, simulator; starts that use
the data in its own way; checks of its settings).

Array parameters name their dimensions with symbols, ``shape=("K",)`` or ``shape=("M", "M")``:
the first array of a symbol fixes its size (it must be non-empty), later ones must match.

Adding a family: its class (fields declared as above, plus its likelihood and intensity
hooks) and its name in its module's ``__all__``; for the package namespace, the name in
``vostrel/__init__.py`` (``_EXPORTS``, the ``TYPE_CHECKING`` imports and the docstring:
``tests/test_exports.py`` fails until all three are there); then the models guide, the README
and the test lists.
"""

from __future__ import annotations

import dataclasses
import functools
import itertools
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeVar

import numpy as np

from .._checks import FloatArray, finite_scalar, float_array, fmt

if TYPE_CHECKING:
    from ._base import DataStats

__all__ = [
    "ParamInfo",
    "Param",
    "RATE",
    "BRANCHING",
    "AMPLITUDE",
    "DECAY",
    "LAG",
    "EXPONENT",
    "HEIGHT",
    "LEVEL",
    "WEIGHT",
    "declared",
    "declarations",
    "rate",
    "branching",
    "amplitude",
    "decay",
    "lag",
    "exponent",
    "height",
    "level",
    "weight",
    "check_fields",
    "default_start",
    "decay_bounds",
    "clip_start",
]

_INF = math.inf
T = TypeVar("T")

Bounds = tuple[float | None, float | None]
BoundsRule = Callable[["DataStats"], Bounds]
StartRule = Callable[["DataStats", np.random.Generator | None], float]


@dataclass(frozen=True)
class ParamInfo:
    """Metadata of one scalar parameter of a model's flat parameter vector.

    Attributes
    ----------
    name : str
        Name as shown in results, e.g. ``"mu"``, ``"alpha[0,1]"``.
    group : str
        The model field it belongs to, e.g. ``"alpha"``; `fit(fixed=...)` and
        `fit(bounds=...)` accept either name.
    lower, upper : float
        The parameter's domain (bounds of a fit must lie inside it).
    log_scale : bool
        Whether Wald intervals are formed on the log scale (positive parameters).
    time_power : int
        The parameter has units of time**time_power: a rate has -1, a time lag +1.
    strict : bool
        Whether the domain excludes `lower` itself in fits (rates and decays must stay
        positive).
    """

    name: str
    group: str
    lower: float
    upper: float
    log_scale: bool
    time_power: int
    strict: bool = False


@dataclass(frozen=True)
class Param:
    """A kind of parameter (:data:`RATE`, :data:`DECAY`, ...), and once read from a family's
    field (:func:`declarations`), that field's declaration; adjusted with :meth:`but`."""

    #: The model field.
    name: str
    #: The kind that made it ("rate", "decay", ...).
    kind: str
    #: () for a number, else one size symbol per dimension, e.g. ("M", "M").
    shape: tuple[str, ...]
    #: The domain; a fit never reaches `lower` itself when `strict`.
    lower: float
    upper: float
    strict: bool
    #: Whether a model refuses `lower` itself (a rate may be 0 in a model, not in a fit).
    model_strict: bool
    #: Wald intervals on the log scale.
    log_scale: bool
    #: Units of time**time_power.
    time_power: int
    #: Default fit bounds: a constant pair or a rule of the data's summary.
    bounds: Bounds | BoundsRule
    #: Start value from the data's summary (moments when the generator is None, else random);
    #: None when the family chooses its starts itself.
    start: StartRule | None = None

    def but(self, **changes: Any) -> Param:
        """The same declaration with some attributes changed."""
        return dataclasses.replace(self, **changes)

    def infos(self, shape: tuple[int, ...]) -> tuple[ParamInfo, ...]:
        """The metadata of each entry of a field of this `shape`, row by row."""
        return _infos(self, shape)

    def info(self, name: str, group: str | None = None) -> ParamInfo:
        """The metadata of one entry `name` of this kind, in `group` (by default the field)."""
        return ParamInfo(
            name,
            self.name if group is None else group,
            self.lower,
            self.upper,
            self.log_scale,
            self.time_power,
            self.strict,
        )

    def default_bounds(self, stats: DataStats) -> Bounds:
        """The default fit bounds for data with this summary (in its units)."""
        return self.bounds(stats) if callable(self.bounds) else self.bounds


@functools.lru_cache(maxsize=256)
def _infos(p: Param, shape: tuple[int, ...]) -> tuple[ParamInfo, ...]:
    # Cached: fits and results ask for the metadata of one structure many times.
    if not shape:
        return (p.info(p.name),)
    return tuple(
        p.info(f"{p.name}[{','.join(map(str, index))}]")
        for index in itertools.product(*map(range, shape))
    )


# -- the kinds ------------------------------------------------------------------------------------


def _rate_floor(stats: DataStats) -> Bounds:
    return (1e-10 * stats.rate, None)


def decay_bounds(stats: DataStats) -> tuple[float, float]:
    """A range for a decay rate: from far slower than the longest window to far faster than the
    shortest gap."""
    return 1e-3 / stats.max_window, 1e3 / stats.min_gap


def _lag_bounds(stats: DataStats) -> tuple[float, float]:
    return 1e-3 * stats.min_gap, 10.0 * stats.max_window


def clip_start(value: float, bounds: tuple[float, float]) -> float:
    """A start value kept well inside finite bounds: between twice the lower bound and half the
    upper one."""
    lo, hi = bounds
    return min(max(value, 2 * lo), 0.5 * hi)


def _branching_start(stats: DataStats, rng: np.random.Generator | None) -> float:
    return 0.5 if rng is None else float(rng.uniform(0.05, 0.9))


def _decay_start(stats: DataStats, rng: np.random.Generator | None) -> float:
    # The typical gap's time scale, spread over a factor e² either way in random starts.
    beta = 1.0 / stats.median_gap
    if rng is not None:
        beta *= math.exp(rng.uniform(-2.0, 2.0))
    return clip_start(beta, decay_bounds(stats))


def _lag_start(stats: DataStats, rng: np.random.Generator | None) -> float:
    lag = stats.median_gap
    if rng is not None:
        lag *= math.exp(rng.uniform(-2.0, 2.0))
    return clip_start(lag, _lag_bounds(stats))


# What each kind fixes; a declaration below copies it into a dataclass field of the family.


def _kind(
    kind: str,
    *,
    time_power: int,
    bounds: Bounds | BoundsRule,
    lower: float = 0.0,
    upper: float = _INF,
    strict: bool = False,
    model_strict: bool = False,
    log_scale: bool = True,
    start: StartRule | None = None,
) -> Param:
    """A kind: by default at least 0 in models and fits, with log-scale Wald intervals."""
    return Param(
        "", kind, (), lower, upper, strict, model_strict, log_scale, time_power, bounds, start
    )


#: A rate of events (units 1/time), such as a baseline: at least 0 in a model, positive in
#: fits, bounded below by 1e-10 of the data's mean rate. Its start is the part of the mean rate
#: that the family's branching ratios leave to immigrants.
RATE = _kind("rate", strict=True, time_power=-1, bounds=_rate_floor)
#: A branching ratio (no unit, at least 0): the expected number of events one event triggers.
#: Starts at 0.5, or uniformly in [0.05, 0.9).
BRANCHING = _kind("branching", time_power=0, bounds=(0.0, None), start=_branching_start)
#: A non-negative scale of a kernel whose integral is not the parameter itself (e.g. a power
#: law's α, whose unit depends on other parameters: the family then handles its rescaling).
AMPLITUDE = _kind("amplitude", time_power=0, bounds=(0.0, None))
#: A decay rate (units 1/time, positive), bounded from far slower than the longest window to far
#: faster than the shortest gap; starts at the inverse of the typical gap.
DECAY = _kind(
    "decay", strict=True, model_strict=True, time_power=-1, bounds=decay_bounds, start=_decay_start
)
#: A time lag or offset (units of time, positive), bounded from far below the shortest gap to
#: ten windows; starts at the typical gap.
LAG = _kind(
    "lag", strict=True, model_strict=True, time_power=1, bounds=_lag_bounds, start=_lag_start
)
#: A positive shape exponent (no unit).
EXPONENT = _kind("exponent", strict=True, model_strict=True, time_power=0, bounds=(1e-3, 50.0))
#: A kernel's value on a bin (units 1/time, at least 0).
HEIGHT = _kind("height", time_power=-1, bounds=(0.0, None))
#: A level of the excitation inside a nonlinear link (any sign; in the excitation's unit, a
#: rate unless the link says otherwise); unbounded in fits.
LEVEL = _kind("level", lower=-_INF, log_scale=False, time_power=-1, bounds=(None, None))
#: A signed excitation amplitude inside a nonlinear link (negative values inhibit); unbounded
#: in fits.
WEIGHT = _kind("weight", lower=-_INF, log_scale=False, time_power=0, bounds=(None, None))

_KEY = "vostrel.param"


def declared(default: T, kind: Param) -> T:
    """A dataclass field with this `default` that is a parameter of the given kind."""
    return dataclasses.field(default=default, metadata={_KEY: kind})


def rate(default: T, *, shape: tuple[str, ...] = ()) -> T:
    """A field that is a rate (:data:`RATE`)."""
    return declared(default, RATE.but(shape=shape))


def branching(
    default: T,
    *,
    shape: tuple[str, ...] = (),
    positive: bool = False,
    bounds: Bounds = (0.0, None),
) -> T:
    """A field that is a branching ratio (:data:`BRANCHING`); positive with `positive`."""
    kind = BRANCHING.but(shape=shape, strict=positive, model_strict=positive, bounds=bounds)
    return declared(default, kind)


def amplitude(default: T, *, shape: tuple[str, ...] = ()) -> T:
    """A field that is an amplitude (:data:`AMPLITUDE`)."""
    return declared(default, AMPLITUDE.but(shape=shape))


def decay(default: T, *, shape: tuple[str, ...] = ()) -> T:
    """A field that is a decay rate (:data:`DECAY`)."""
    return declared(default, DECAY.but(shape=shape))


def lag(default: T, *, shape: tuple[str, ...] = ()) -> T:
    """A field that is a time lag (:data:`LAG`)."""
    return declared(default, LAG.but(shape=shape))


def exponent(default: T, *, bounds: Bounds = (1e-3, 50.0)) -> T:
    """A field that is a shape exponent (:data:`EXPONENT`) with these default bounds."""
    return declared(default, EXPONENT.but(bounds=bounds))


def height(default: T, *, shape: tuple[str, ...] = ()) -> T:
    """A field that holds a kernel's bin heights (:data:`HEIGHT`)."""
    return declared(default, HEIGHT.but(shape=shape))


def level(default: T) -> T:
    """A field that is an excitation level inside a link (:data:`LEVEL`)."""
    return declared(default, LEVEL)


def weight(default: T) -> T:
    """A field that is a signed excitation amplitude inside a link (:data:`WEIGHT`)."""
    return declared(default, WEIGHT)


@functools.cache
def declarations(cls: type) -> tuple[Param, ...]:
    """The declared parameter fields of a dataclass, in field order, each named. A field that a
    subclass redefines without a kind (to change its default) keeps the kind declared above."""
    inherited = {
        p.name: p
        for base in reversed(cls.__mro__[1:])
        if dataclasses.is_dataclass(base)
        for p in declarations(base)
    }
    out = []
    for f in dataclasses.fields(cls):
        if _KEY in f.metadata:
            out.append(f.metadata[_KEY].but(name=f.name))
        elif f.name in inherited:
            out.append(inherited[f.name])
    return tuple(out)


# -- what the declarations give ----------------------------------------------------------------


def default_start(
    params: Sequence[Param], stats: DataStats, rng: np.random.Generator | None
) -> FloatArray:
    """Start vector from each kind's rule, drawn in declaration order; a rate takes what the
    branching ratios leave of the mean rate."""
    values: list[float] = []
    total = 0.0
    for p in params:
        if p.shape or (p.start is None and p.kind != "rate"):
            raise NotImplementedError(
                f"the {p.kind} parameter {p.name!r} has no default start: the family's _start "
                "chooses its start values"
            )
        if p.kind == "rate":
            values.append(math.nan)
            continue
        assert p.start is not None
        value = p.start(stats, rng)
        if p.kind == "branching":
            total += value
        values.append(value)
    immigrants = stats.rate * (1.0 - total)
    return np.array(
        [immigrants if p.kind == "rate" else v for p, v in zip(params, values)], dtype=np.float64
    )


def check_fields(
    obj: object, params: Sequence[Param], sizes: dict[str, int] | None = None
) -> dict[str, int]:
    """Check and freeze the declared fields of a model under construction.

    Numbers are checked (finite, in the domain) one after another; arrays are converted (finite,
    of their shape) in turn, then checked against their domains. Returns the sizes of the
    shape symbols, including those given in `sizes`.
    """
    sizes = dict(sizes or {})
    arrays: list[tuple[Param, FloatArray]] = []
    for p in params:
        value = getattr(obj, p.name)
        lower = p.lower if math.isfinite(p.lower) else None
        if not p.shape:
            set_field(obj, p.name, scalar_param(value, p.name, lower=lower, strict=p.model_strict))
            continue
        if all(symbol in sizes for symbol in p.shape):
            array = param_vector(value, p.name, tuple(sizes[symbol] for symbol in p.shape))
        else:
            array = param_vector(value, p.name, None)
            if array.ndim != len(p.shape) or array.size == 0:
                raise ValueError(
                    f"{p.name} must be a non-empty {len(p.shape)}-dimensional array; "
                    f"got shape {array.shape}"
                )
            for symbol, size in zip(p.shape, array.shape):
                if sizes.setdefault(symbol, size) != size:
                    expected = tuple(sizes[s] for s in p.shape)
                    raise ValueError(f"{p.name} must have shape {expected}; got {array.shape}")
        set_field(obj, p.name, array)
        arrays.append((p, array))
    for p, array in arrays:
        if math.isfinite(p.lower):
            check_at_least(array, p.name, p.lower, p.model_strict)
    return sizes


# -- conversions for model fields -----------------------------------------------------------------


def set_field(obj: object, name: str, value: Any) -> None:
    object.__setattr__(obj, name, value)


def check_scalar(
    obj: object, name: str, *, lower: float | None = None, strict: bool = False
) -> None:
    """Replace the field `name` of a frozen model by its checked float value."""
    set_field(obj, name, scalar_param(getattr(obj, name), name, lower=lower, strict=strict))


def param_vector(value: Any, name: str, shape: tuple[int, ...] | None = None) -> FloatArray:
    """A frozen float64 copy of a parameter array, finite, of the given shape."""
    from .._checks import freeze

    try:
        ndim = len(shape) if shape is not None else np.ndim(value)
    except ValueError:
        ndim = 1  # a ragged nesting: float_array names the row that differs
    array = float_array(value, name, ndim=ndim)
    if shape is not None and array.shape != shape:
        raise ValueError(f"{name} must have shape {shape}; got {array.shape}")
    bad = ~np.isfinite(array)
    if bad.any():
        i = np.unravel_index(int(np.argmax(bad)), array.shape)
        pos = ",".join(str(int(k)) for k in i)
        raise ValueError(f"{name}[{pos}] is {fmt(float(array[i]))}; parameters must be finite")
    return freeze(array)


def check_at_least(array: FloatArray, name: str, lower: float, strict: bool) -> None:
    bad = array <= lower if strict else array < lower
    if bad.any():
        i = np.unravel_index(int(np.argmax(bad)), array.shape)
        pos = ",".join(str(int(k)) for k in i)
        relation = "positive" if strict and lower == 0 else f"at least {fmt(lower)}"
        if not strict and lower == 0:
            relation = "non-negative"
        raise ValueError(f"{name}[{pos}] must be {relation}; got {fmt(float(array[i]))}")


def scalar_param(
    value: Any, name: str, *, lower: float | None = None, strict: bool = False
) -> float:
    result = finite_scalar(value, name)
    if lower is not None and (result <= lower if strict else result < lower):
        relation = (
            ("positive" if lower == 0 else f"greater than {fmt(lower)}")
            if strict
            else ("non-negative" if lower == 0 else f"at least {fmt(lower)}")
        )
        raise ValueError(f"{name} must be {relation}; got {fmt(result)}")
    return result
