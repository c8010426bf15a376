"""Argument checks shared by the Python layer.

Every public entry point validates what it is given before any work starts, and every failure
names the argument and, for arrays, the first offending position. Nothing the caller passed is
modified: arrays are copied (or read) and never written.
"""

from __future__ import annotations

import math
import numbers
from typing import Any

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]


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
    return float(value)


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
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{name} must be an array of real numbers: {exc}") from None
    if array.dtype == object and array.size > 0:
        # A list of numbers and None, or of ragged rows, ends up here.
        try:
            array = array.astype(np.float64)
        except (TypeError, ValueError):
            raise TypeError(f"{name} must be an array of real numbers; got dtype object") from None
    if array.dtype.kind not in "iuf" and not (array.dtype == object and array.size == 0):
        raise TypeError(f"{name} must be an array of real numbers; got dtype {array.dtype}")
    if array.ndim != ndim:
        raise ValueError(f"{name} must be {ndim}-dimensional; got shape {array.shape}")
    return np.array(array, dtype=np.float64, order="C", copy=True)


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
    if array.dtype.kind == "u" and array.size and int(array.max()) > np.iinfo(np.int64).max:
        index = int(np.argmax(array > np.iinfo(np.int64).max))
        raise ValueError(f"{name}[{index}] = {array[index]} is out of range")
    return np.array(array, dtype=np.int64, order="C", copy=True)


def first_true(mask: npt.NDArray[np.bool_]) -> int:
    """Index of the first True element (the caller knows there is one)."""
    return int(np.argmax(mask))


def require_finite(array: FloatArray, name: str) -> None:
    bad = ~np.isfinite(array)
    if bad.any():
        i = first_true(bad)
        raise ValueError(f"{name}[{i}] is {fmt(array[i])}; values must be finite")


def freeze(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """A read-only view whose base is read-only too, so that nobody can make it writeable
    again (NumPy refuses to set the flag on a view of a read-only array)."""
    array.flags.writeable = False
    view = array.view()
    view.flags.writeable = False
    return view
