"""Argument checks shared by the Python layer.

Every public entry point validates what it is given before any work starts, and every failure
names the argument and, for arrays, the first offending position. Nothing the caller passed is
modified: arrays are copied (or read) and never written.
"""

from __future__ import annotations

import importlib
import math
import numbers
import os
from collections.abc import Callable
from types import ModuleType
from typing import Any

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]


# Scans of long arrays run in blocks of this many elements: each block is one NumPy call, and
# Ctrl-C lands between blocks, so no scan holds the interpreter for long.
SCAN_BLOCK = 1 << 18


def fmt(value: float) -> str:
    """A number as a message shows it: shortest round-trip form, integers without '.0'."""
    value = float(value)
    if value.is_integer() and abs(value) < 1e16:
        return str(int(value))
    return repr(value)


def as_scalar(value: Any, name: str) -> float:
    """A real number as a float; TypeError naming `name` for anything else (None, str, bool,
    complex, arrays of more than one element)."""
    if isinstance(value, (bool, np.bool_)) or value is None or isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a real number; got {value!r}")
    if isinstance(value, np.ndarray):
        if value.ndim != 0:
            raise TypeError(f"{name} must be a real number; got an array of shape {value.shape}")
        value = value[()]
    if not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number; got {type(value).__name__}")
    try:
        return float(value)
    except OverflowError:
        digits = str(value)
        shown = digits if len(digits) < 25 else f"{digits[:12]}...({len(digits)} digits)"
        raise ValueError(
            f"{name} must be finite; got {shown}, beyond the range of double precision"
        ) from None


def finite_scalar(value: Any, name: str) -> float:
    result = as_scalar(value, name)
    if not math.isfinite(result):
        raise ValueError(f"{name} must be finite; got {fmt(result)}")
    return result


def positive_scalar(value: Any, name: str) -> float:
    result = finite_scalar(value, name)
    if result <= 0.0:
        raise ValueError(f"{name} must be positive; got {fmt(result)}")
    return result


def as_int(value: Any, name: str, *, minimum: int | None = None) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer; got {value!r}")
    result = int(value)
    if minimum is not None and result < minimum:
        raise ValueError(f"{name} must be at least {minimum}; got {result}")
    return result


def float_array(value: Any, name: str, *, ndim: int = 1) -> FloatArray:
    """A float64 array of `ndim` dimensions, always a fresh C-contiguous copy.

    Refuses what cannot be a real number (strings, objects, complex, booleans) with a TypeError
    and a wrong number of dimensions with a ValueError; both name the argument.
    """
    if value is None:
        raise TypeError(f"{name} is required; got None")
    try:
        array = np.asarray(value)
    except (TypeError, ValueError, OverflowError) as exc:
        ragged = _ragged(value, name)
        if ragged:
            raise ValueError(f"{name} must be a rectangular array: {ragged}") from None
        raise TypeError(f"{name} must be an array of real numbers: {exc}") from None
    if array.dtype == object and array.size > 0:
        # A list of numbers and None, or of ragged rows, ends up here; strings that look like
        # numbers are refused like any string.
        array = _object_to_float(array, name)
    if array.dtype.kind not in "iuf" and not (array.dtype == object and array.size == 0):
        raise TypeError(f"{name} must be an array of real numbers; got dtype {array.dtype}")
    if array.ndim != ndim:
        raise ValueError(f"{name} must be {ndim}-dimensional; got shape {array.shape}")
    check_memory(8.0 * array.size, name, f"{array.size} values")
    return _copy(array, np.float64)


def _ragged(value: Any, name: str) -> str | None:
    """How a nested sequence fails to be rectangular (``"alpha[1] has 1 entries but alpha[0]
    has 2"``), or None when it is not ragged."""
    from collections.abc import Sequence

    def is_row(item: Any) -> bool:
        return isinstance(item, (Sequence, np.ndarray)) and not isinstance(item, (str, bytes))

    if not is_row(value):
        return None
    rows = list(value)
    shapes = [len(r) if is_row(r) else None for r in rows]
    for i, shape in enumerate(shapes[1:], start=1):
        if shape != shapes[0]:
            def count(k: int) -> str:
                return "a scalar" if shapes[k] is None else f"{shapes[k]} entries"

            return f"{name}[{i}] has {count(i)} but {name}[0] has {count(0)}"
    for i, row in enumerate(rows):
        inner = _ragged(row, f"{name}[{i}]") if is_row(row) else None
        if inner:
            return inner
    return None


def _object_to_float(array: npt.NDArray[Any], name: str) -> npt.NDArray[Any]:
    flat = array.reshape(-1)
    for i, item in enumerate(flat):
        if isinstance(item, (bool, np.bool_)) or not isinstance(item, numbers.Real):
            where = position(name, i if array.ndim == 1 else np.unravel_index(i, array.shape))
            kind = "None" if item is None else type(item).__name__
            raise TypeError(f"{name} must be an array of real numbers; {where} is a {kind}")
    try:
        return array.astype(np.float64)
    except (TypeError, ValueError, OverflowError) as exc:
        raise TypeError(f"{name} must be an array of real numbers: {exc}") from None


def _copy(array: npt.NDArray[Any], dtype: Any) -> npt.NDArray[Any]:
    """A fresh C-contiguous copy in `dtype`; a long one-dimensional array is copied in blocks,
    so that Ctrl-C is not held up by one long copy."""
    if array.ndim != 1 or array.shape[0] <= SCAN_BLOCK:
        return np.array(array, dtype=dtype, order="C", copy=True)
    out = np.empty(array.shape[0], dtype=dtype)
    for lo in range(0, array.shape[0], SCAN_BLOCK):
        out[lo : lo + SCAN_BLOCK] = array[lo : lo + SCAN_BLOCK]
    return out


def int_array(value: Any, name: str) -> IntArray:
    """A one-dimensional int64 copy; floats are refused even when integral."""
    if value is None:
        raise TypeError(f"{name} is required; got None")
    array = np.asarray(value)
    if array.size == 0 and array.dtype.kind in "fO":
        array = array.astype(np.int64)
    if array.dtype.kind not in "iu":
        raise TypeError(f"{name} must be an array of integers; got dtype {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"{name} must be 1-dimensional; got shape {array.shape}")
    check_memory(8.0 * array.size, name, f"{array.size} values")
    if array.dtype.kind == "u" and array.size and int(array.max()) > np.iinfo(np.int64).max:
        index = int(np.argmax(array > np.iinfo(np.int64).max))
        raise ValueError(f"{name}[{index}] = {array[index]} is out of range")
    return _copy(array, np.int64)


def first_true(mask: npt.NDArray[np.bool_]) -> int:
    """Index of the first True element (the caller knows there is one)."""
    return int(np.argmax(mask))


def freeze(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """A read-only view whose base is read-only too, so that nobody can make it writeable
    again (NumPy refuses to set the flag on a view of a read-only array)."""
    array.flags.writeable = False
    view = array.view()
    view.flags.writeable = False
    return view


# -- one validator per concept --------------------------------------------------------------------


def as_seed(value: Any, name: str = "seed") -> int:
    """A seed: a non-negative integer. TypeError for anything that is not an integer (None,
    floats, booleans, strings), ValueError for a negative one; both name the argument."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be a non-negative integer; got {value!r}")
    result = int(value)
    if result < 0:
        raise ValueError(f"{name} must be a non-negative integer; got {result}")
    return result


def as_level(value: Any, name: str = "level") -> float:
    """A probability level strictly between 0 and 1 (a confidence or test level)."""
    result = as_scalar(value, name)
    if not 0.0 < result < 1.0:
        raise ValueError(f"{name} must be in (0, 1); got {fmt(result)}")
    return result


def position(name: str, index: Any, labels: Any = None) -> str:
    """Where an offending element sits: ``name[i]``, ``name[i,j]`` for a multi-index, or the
    row label when the data came from a labelled table (labels print as plain Python values)."""
    if labels is not None:
        label = labels[int(index)]
        if isinstance(label, np.generic):
            label = label.item()
        return f"{name} at row {label!r}"
    if isinstance(index, tuple):
        return f"{name}[{','.join(str(int(k)) for k in index)}]"
    return f"{name}[{int(index)}]"


def first_index(n: int, block_mask: Callable[[int, int], npt.NDArray[np.bool_]]) -> int | None:
    """The first index i < n at which a condition holds, or None.

    `block_mask(lo, hi)` gives the condition for the indices lo..hi-1. The scan runs in blocks
    of :data:`SCAN_BLOCK` elements, so it needs no temporary as long as the array and Ctrl-C
    interrupts it between blocks.
    """
    for lo in range(0, n, SCAN_BLOCK):
        hi = min(lo + SCAN_BLOCK, n)
        mask = block_mask(lo, hi)
        if mask.any():
            return lo + first_true(mask)
    return None


def first_non_finite(array: npt.NDArray[Any]) -> Any:
    """The (multi-)index of the first NaN or infinity of `array`, or None when all are finite."""
    flat = array.reshape(-1)
    i = first_index(flat.shape[0], lambda lo, hi: ~np.isfinite(flat[lo:hi]))
    if i is None:
        return None
    return i if array.ndim == 1 else tuple(int(k) for k in np.unravel_index(i, array.shape))


def require_finite(
    array: npt.NDArray[Any], name: str, what: str = "values", labels: Any = None
) -> None:
    """ValueError naming the first NaN or infinity: ``"{name}[i] is nan; {what} must be finite"``."""
    i = first_non_finite(array)
    if i is not None:
        raise ValueError(f"{position(name, i, labels)} is {fmt(array[i])}; {what} must be finite")


def optional_import(module: str, extra: str, needed_by: str) -> ModuleType:
    """Import an optional dependency, or raise an ImportError that names the extra providing it:
    ``"{needed_by}: install it with pip install 'vostrel[{extra}]'"``."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(f"{needed_by}: install it with pip install 'vostrel[{extra}]'") from None


# -- the memory budget ------------------------------------------------------------------------------


def _cgroup_limit(path: str) -> int:
    try:
        with open(path, encoding="ascii") as file:
            text = file.readline().strip()
    except OSError:
        return 0
    return int(text) if text.isdigit() else 0


def usable_memory() -> int:
    """Bytes this process may plan to use, by the native simulators' rules: the environment
    variable VOSTREL_MEMORY_LIMIT (a positive number of bytes) when set, else the least of the
    machine's memory, the address-space and data limits, and the control group's limit."""
    text = os.environ.get("VOSTREL_MEMORY_LIMIT", "")
    if text.isdigit() and int(text) > 0:
        return int(text)
    memory = 2**64 - 1
    try:
        memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        pass
    try:
        import resource

        for kind in (resource.RLIMIT_AS, resource.RLIMIT_DATA):
            soft = resource.getrlimit(kind)[0]
            if soft != resource.RLIM_INFINITY and soft > 0:
                memory = min(memory, soft)
    except (ImportError, OSError, ValueError):
        pass
    for path in ("/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"):
        limit = _cgroup_limit(path)
        if limit > 0:
            memory = min(memory, limit)
    return memory


def memory_budget() -> int:
    """Half of :func:`usable_memory`, the budget the native simulators grow their event lists in."""
    return usable_memory() // 2


def format_count(count: float) -> str:
    """An integer count as a message shows it; one of hundreds of digits is abbreviated."""
    if isinstance(count, float):
        return fmt(count) if math.isfinite(count) else str(count)
    digits = str(int(count))
    return digits if len(digits) <= 24 else f"{digits[:6]}...({len(digits)} digits)"


def format_bytes(count: float) -> str:
    """``"32000000 bytes (30.5 MiB)"``: the exact count and a readable size."""
    if count >= 1e300:
        return f"{format_count(count)} bytes"
    scaled, unit = float(count) / 1024.0, 0
    units = ("KiB", "MiB", "GiB", "TiB", "PiB", "EiB", "ZiB", "YiB")
    while scaled >= 1024.0 and unit + 1 < len(units):
        scaled /= 1024.0
        unit += 1
    exact = f"{int(count)}" if count < 1e18 else f"{float(count):.3g}"
    return f"{exact} bytes ({scaled:.1f} {units[unit]})"


def check_memory(needed: float, argument: str, what: str) -> None:
    """MemoryError, before any work, when `needed` bytes exceed the memory budget.

    The message names the argument and says what needed the memory, e.g. ``check_memory(8 *
    n, "n", f"n = {n} realisations")``.
    """
    budget = memory_budget()
    if not needed <= budget:
        raise MemoryError(
            f"{argument}: {what} need at least {format_bytes(needed)}, more than the memory "
            f"budget of {format_bytes(budget)}, half of the memory this process may use"
        )


class IndexRangeError(IndexError, ValueError):
    """An index out of range: an IndexError, as Python's sequences raise, and a ValueError, as
    every other bad argument value is (like NumPy's AxisError)."""


def as_index(value: Any, size: int, name: str, what: str = "realisation") -> int:
    """An index into `size` items (negative ones count from the end), as a non-negative int."""
    index = as_int(value, name)
    if not -size <= index < size:
        raise IndexRangeError(
            f"{name} = {index} is out of range: there are {size} {what}(s), numbered 0 to "
            f"{size - 1} (or -{size} to -1 from the end)"
        )
    return index % size
