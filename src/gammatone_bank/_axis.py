"""Batches of signals: x with any number of axes, one of them time.

Every batched entry point takes ``axis`` as ``scipy.signal.lfilter`` does:
the axis of x that holds the samples.  ``axis=None`` (the default) keeps the
1-D contract, so that a (samples, channels) array from a sound-file reader is
never read silently as thousands of short signals.

:func:`signals` turns x into (signals, samples) rows; :func:`batched` puts a
result's leading signal axis back into x's other axes, and :func:`like_x`
puts a time axis back where x had it.
"""

import math
import operator
from typing import NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

Array = NDArray[np.float64]

# The engine takes the sample count as a 32-bit C int.
INT32_MAX = 2**31 - 1


class Signals(NamedTuple):
    """x as rows of samples, and where they came from."""

    #: (signals, samples), C-contiguous float64 (or a strided view of x, when
    #: asked for); 1-D (samples,) when axis is None.
    rows: Array
    #: x's other axes in order, or None for a 1-D x taken with axis=None.
    batch: tuple[int, ...] | None
    #: The time axis of x, normalised to be non-negative (0 for axis=None).
    axis: int


def as_float64(x: ArrayLike, name: str = "x") -> NDArray[np.float64]:
    """x converted with safe casting only, as the extension converts it."""
    try:
        a = np.asarray(x)
        if a.dtype != np.float64:
            a = a.astype(np.float64, casting="safe")
    except (TypeError, ValueError) as exc:
        raise type(exc)(f"{name} cannot be converted to float64: {exc}") from None
    return a


def time_axis(axis: object) -> int | None:
    """A time axis as None or an int, its type checked (a stream's, whose
    range each chunk checks)."""
    if axis is None:
        return None
    if isinstance(axis, (bool, np.bool_)):
        raise TypeError(f"axis must be an int or None, got {axis!r}")
    try:
        return operator.index(axis)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"axis must be an int or None, got {axis!r}") from None


def check_axis(axis: object, ndim: int, name: str = "x") -> int:
    """axis as a non-negative index into an array of ndim dimensions."""
    index = time_axis(axis)
    if index is None:
        raise TypeError("axis must be an int here, got None")
    if not -ndim <= index < ndim:
        raise ValueError(
            f"axis={index} is out of range for {name} of {ndim} dimension{'s' if ndim != 1 else ''}: "
            f"give an axis in {-ndim} .. {ndim - 1}"
        )
    return index % ndim


def one_d(a: NDArray[np.float64], name: str = "x") -> None:
    """Refuse a multi-dimensional x given without axis, with the fix."""
    if a.ndim >= 2:
        raise ValueError(
            f"{name} must be 1-D unless axis is given, got shape {a.shape}: pass axis=-1 when each "
            f"row is a signal, (signals, samples), or axis=0 for the (frames, channels) arrays that "
            f"sound-file readers return"
        )
    if a.ndim != 1:
        raise ValueError(f"{name} must be 1-D, got shape {a.shape}")


def signals(x: ArrayLike, axis: object = None, name: str = "x", strided: bool = False) -> Signals:
    """x as C-contiguous float64 rows of samples, one row per signal.

    With axis None x must be 1-D and comes back 1-D (without a copy when it
    is already C-contiguous float64).  Otherwise the time axis moves last
    and x's other axes flatten, in C order, into the leading axis of rows.
    strided=True lets the rows be a strided view of x when its axes allow
    one (the engine reads any whole-double strides): a (samples, 2) stereo
    array is then read where it lies, without a transposed copy.
    """
    a = as_float64(x, name)
    if axis is None:
        one_d(a, name)
        if a.size > INT32_MAX:
            raise ValueError(f"{name} holds {a.size} samples, more than {INT32_MAX}")
        return Signals(np.ascontiguousarray(a), None, 0)
    if a.ndim == 0:
        raise ValueError(f"{name} must have at least one axis, got a scalar")
    ax = check_axis(axis, a.ndim, name)
    n = a.shape[ax]
    if n > INT32_MAX:
        raise ValueError(f"{name} holds {n} samples along axis {ax}, more than {INT32_MAX}")
    moved = np.moveaxis(a, ax, -1)
    batch = moved.shape[:-1]
    # (-1, n) cannot say how many rows an empty signal has.
    rows = moved.reshape(math.prod(batch), n)
    if not (strided and rows.flags.aligned and all(step % rows.itemsize == 0 for step in rows.strides)):
        rows = np.ascontiguousarray(rows)
    return Signals(rows, tuple(batch), ax)


def batched(out: NDArray[np.generic], batch: tuple[int, ...] | None) -> NDArray[np.generic]:
    """A result of shape (signals, ...) reshaped to batch + (...); as is for batch None."""
    if batch is None:
        return out
    return out.reshape(batch + out.shape[1:])


def like_x(out: Array, s: Signals) -> Array:
    """(signals, samples) rows back in x's shape, the time axis where x had it."""
    if s.batch is None:
        return out
    shaped = out.reshape(s.batch + out.shape[-1:])
    return np.ascontiguousarray(np.moveaxis(shaped, -1, s.axis))
