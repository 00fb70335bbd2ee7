"""The ERB-number scale of Glasberg & Moore, on which the bank's centre
frequencies are spaced."""

import math

import numpy as np
from numpy.typing import ArrayLike

from gammatone_bank import _checks
from gammatone_bank._checks import MAX_CHANNELS, Array

# Glasberg & Moore: ERB(f) = 24.7 (0.00437 f + 1) Hz, and the ERB number
# (the count of ERBs below f) is 21.4 log10(0.00437 f + 1).
ERB_SCALE = 21.4
ERB_SLOPE = 0.00437


def erb_number(f: ArrayLike) -> Array:
    """The ERB number 21.4 log10(0.00437 f + 1) of each frequency f in Hz.

    Parameters
    ----------
    f : array_like
        Frequencies in Hz.

    Returns
    -------
    ndarray
        float64, of the shape of ``f``: the scale of Glasberg & Moore on
        which :func:`erb_space` spaces its frequencies equally.
    """
    return ERB_SCALE * np.log10(ERB_SLOPE * np.asarray(f, dtype=np.float64) + 1.0)


def erb_space(low: float, high: float, n: int) -> Array:
    """n centre frequencies from low to high Hz, equally spaced in ERB number.

    Parameters
    ----------
    low, high : float
        The lowest and the highest centre frequency in Hz, 0 < low < high,
        both finite.  Both are always included.
    n : int
        How many frequencies, at least 2; for a single channel pass its
        frequency to :func:`filterbank` directly.

    Returns
    -------
    ndarray
        A new 1-D float64 array in strictly ascending order whose first
        element is exactly ``low`` and whose last is exactly ``high``; the
        steps between neighbours are equal on the ERB-number scale
        21.4 log10(0.00437 f + 1) of Glasberg & Moore (to rounding).

    Raises
    ------
    TypeError
        Naming the argument, when low or high is not a number or n is not
        an int (2.0 and 2.5 alike, as for ``range``).
    ValueError
        Naming the argument, unless 0 < low < high (both finite) and n >= 2;
        and when low and high are too close together to hold n distinct
        doubles.

    See Also
    --------
    erb_number : the scale itself.

    Examples
    --------
    >>> erb_space(50, 8000, 4).round(1)
    array([  50. ,  632.8, 2434. , 8000. ])
    """
    lo, hi = _checks.positive("low", low, "frequency"), _checks.real("high", high)
    if not (math.isfinite(hi) and hi > lo):
        raise ValueError(f"high must be finite and above low ({lo!r}), got {high!r}")
    count = _checks.count("n", n, 2, MAX_CHANNELS)
    steps = np.linspace(erb_number(lo), erb_number(hi), count)
    cfs: Array = (10.0 ** (steps / ERB_SCALE) - 1.0) / ERB_SLOPE
    # The round trip through the logarithm may move the ends by an ulp or two.
    cfs[0], cfs[-1] = lo, hi
    if not np.all(np.diff(cfs) > 0.0):
        raise ValueError(f"low and high are too close for {count} distinct frequencies")
    return cfs
