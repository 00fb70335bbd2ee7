"""The checks of the arguments every entry point of the library takes.

They follow NumPy's and SciPy's convention:

- an argument of the wrong kind raises TypeError: a string or None where a
  number is wanted, a float where a count is wanted (``n=2.5`` and
  ``n=2.0`` alike, as for ``range(2.5)`` and ``numpy.zeros(2.5)``), anything
  but a bool for a flag (``env="yes"``, ``normalize=1``), and a bare int
  where centre frequencies are wanted (a channel count is not a frequency);
- an argument of the right kind with a value outside its range raises
  ValueError: ``n=1``, ``workers=0``, a negative duration, a centre
  frequency at or above fs/2, a choice not among the choices (a
  choice that is not a string, ``compression=3``, is a TypeError).

The sample rate is a number that must be whole: 16000.0 is 16000, and
16000.5 is a ValueError (a number, but not a rate the filter can run at).

Every message names the argument and says what would be accepted.
"""

import math
import operator
import os
from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

Array = NDArray[np.float64]

# The extension takes the sample count and the rate as 32-bit C ints.
INT32_MAX = 2**31 - 1

# The most channels one bank may have (the engine's limit), for the
# library and the command line alike.
MAX_CHANNELS = 1 << 20


def _named(name: str | None, rule: str) -> str:
    return rule if name is None else f"{name} {rule}"


def real(name: str | None, value: object) -> float:
    """value as a float, or TypeError naming the argument."""
    if not isinstance(value, (str, bytes, bool, np.bool_)):
        try:
            return float(value)  # type: ignore[arg-type]
        except OverflowError:
            raise ValueError(_named(name, f"must be a finite number, got {value!r}")) from None
        except (TypeError, ValueError):
            pass
    raise TypeError(_named(name, f"must be a number, got {value!r}"))


def positive(name: str | None, value: object, what: str | None = None) -> float:
    """value as a positive finite float: TypeError for a non-number, ValueError naming it otherwise.

    `what` words the value in the message ("duration in seconds": "frame
    must be a positive finite duration in seconds, got 0").
    """
    v = real(name, value)
    if not (math.isfinite(v) and v > 0.0):
        rule = "must be positive and finite" if what is None else f"must be a positive finite {what}"
        raise ValueError(_named(name, f"{rule}, got {value!r}"))
    return v


def index(name: str | None, value: object) -> int:
    """value as an int (bools and floats refused), or TypeError naming it."""
    try:
        if not isinstance(value, (bool, np.bool_)):
            return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        pass
    raise TypeError(_named(name, f"must be an int, not {type(value).__name__}"))


def count(name: str | None, value: object, least: int, most: int | None = None) -> int:
    """value as an int in least .. most (no bound above for None): TypeError for a non-int, ValueError outside."""
    n = index(name, value)
    if most is not None and not least <= n <= most:
        raise ValueError(_named(name, f"must be an int in {least} .. {most}, got {value!r}"))
    if n < least:
        raise ValueError(_named(name, f"must be an int of at least {least}, got {value!r}"))
    return n


def length(name: str, value: SupportsIndex) -> int:
    """A positive whole number of samples: TypeError for a non-int, ValueError below 1."""
    n = index(name, value)
    if n < 1:
        raise ValueError(f"{name} must be a positive number of samples, got {value!r}")
    return n


def flag(name: str, value: object) -> bool:
    """A bool, refusing the strings and numbers that would read as one (TypeError)."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {value!r}")
    return bool(value)


def choice[T](name: str, value: T, choices: tuple[T, ...]) -> T:
    """value, one of choices (strings, and perhaps None): TypeError for another kind, ValueError otherwise."""
    shown = ", ".join(repr(c) for c in choices)
    if value is not None and not isinstance(value, str):
        raise TypeError(f"{name} must be one of {shown}, got {value!r}")
    if value not in choices:
        raise ValueError(f"{name} must be one of {shown}, got {value!r}")
    return value


def workers(value: object) -> int:
    """The threads a call may use: None is the CPUs this process may use."""
    if value is None:
        return os.process_cpu_count() or 1
    message = f"workers must be a positive int or None, got {value!r}"
    try:
        n = index(None, value)
    except TypeError:
        raise TypeError(message) from None
    if n < 1:
        raise ValueError(message)
    return n


def fs(value: SupportsIndex | float) -> int:
    """fs as a positive 32-bit int: ints as they are, floats only when whole."""
    message = f"fs must be a whole number of Hz in 1 .. {INT32_MAX}, got {value!r}"
    try:
        # Exact for every int in range: they all fit a double's 53 bits.
        v = real(None, value)
    except TypeError:
        raise TypeError(message) from None
    except ValueError:
        raise ValueError(message) from None
    if not (v.is_integer() and 1 <= v <= INT32_MAX):
        raise ValueError(message)
    return int(v)


def float64(name: str, value: ArrayLike, what: str) -> Array:
    """value as a float64 array, safely cast, or TypeError naming it."""
    try:
        a = np.asarray(value)
        if a.dtype != np.float64:
            a = a.astype(np.float64, casting="safe")
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{name} must be {what}: {exc}") from None
    return a


def cfs(value: ArrayLike, rate: int, *, shaped: bool = False) -> Array:
    """A private float64 copy of the centre frequencies, each finite in (0, rate/2).

    A bank's (``shaped`` False): 1-D, a scalar as one channel, 1 ..
    MAX_CHANNELS of them.  ``shaped``: any shape, kept (0-d for a scalar),
    for functions of the frequencies themselves such as cf_gain.
    """
    if value is None:
        raise TypeError("cfs is missing: give one or more centre frequencies in Hz")
    # cochleagram(x, fs, 64) reads as "64 channels" but would be one channel
    # at 64 Hz: a bare int is refused, a float stays one centre frequency.
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        raise TypeError(
            f"cfs must be centre frequencies in Hz, not a channel count: for {value} channels give "
            f"erb_space(low, high, {value}); for one channel at {value} Hz give {float(value)!r}"
        )
    c = np.array(float64("cfs", value, "numbers"), dtype=np.float64)
    if not shaped:
        if c.ndim == 0:
            c = c.reshape(1)
        if c.ndim != 1:
            raise ValueError(f"cfs must be a number or 1-D, got shape {c.shape}")
        if c.size == 0:
            raise ValueError("cfs must hold at least one centre frequency")
        if c.size > MAX_CHANNELS:
            raise ValueError(f"cfs must hold at most {MAX_CHANNELS} centre frequencies, got {c.size}")
    flat = c.reshape(-1)
    bad = np.flatnonzero(~np.isfinite(flat))
    if bad.size:
        raise ValueError(f"cfs must be finite, got {float(flat[bad[0]])!r} at index {bad[0]}")
    nyquist = rate / 2
    bad = np.flatnonzero((flat <= 0.0) | (flat >= nyquist))
    if bad.size:
        raise ValueError(
            f"cfs must lie in (0, fs/2) = (0, {nyquist:g}) Hz, got {float(flat[bad[0]])!r} at index {bad[0]}"
        )
    return c


def finite(name: str, x: Array) -> None:
    """ValueError naming x and its first sample that is NaN or infinite."""
    bad = np.flatnonzero(~np.isfinite(x.reshape(-1)))
    if bad.size:
        at = tuple(int(i) for i in np.unravel_index(int(bad[0]), x.shape))
        where = at[0] if len(at) == 1 else at
        raise ValueError(f"{name} must be finite, got {float(x[at])!r} at sample {where}: remove or replace it "
                         f"(numpy.nan_to_num) before the call")
