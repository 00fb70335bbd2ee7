"""The gain of each channel's filtered signal at its own centre frequency.

The filter (see gammatone_c) shifts x down by cf, runs the shifted signal
through

    G(z) = (1 + 4a z^-1 + a^2 z^-2) / (1 - a z^-1)^4,   a = exp(-tptbw)

and shifts the result back up: bm[t] = gain * Re(u[t] e^{+i w t}), with
w = 2 pi cf / fs, tptbw = 2 pi / fs * ERB(cf) * 1.019 and gain = tptbw^4 / 3.

For x[t] = cos(v t) = (e^{ivt} + e^{-ivt}) / 2 the complex path is linear and
time-invariant with response G(e^{i(v - w)}) at v, so once the filter has
settled

    u[t] e^{iwt} = (G(e^{i(v-w)}) e^{ivt} + G(e^{-i(v+w)}) e^{-ivt}) / 2

and its real part is a cosine at v of amplitude

    |H(v)| = gain * |G(e^{i(v-w)}) + conj(G(e^{-i(v+w)}))| / 2.

Taking the real part folds in the image of the input at -v, which the shift
leaves at -2w.  G has real coefficients, so conj(G(e^{-i theta})) is
G(e^{i theta}), and at v = w

    |H(cf)| = gain * |G(1) + G(e^{2iw})| / 2.

For a narrow band far from 0 and fs/2 the image term is small and
gain * G(1) / 2 is close to 1; it grows as the band widens relative to fs.
"""

from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

from gammatone_bank import _checks

_TWO_PI = 6.283185307179586


def cf_gain(fs: SupportsIndex | float, cfs: ArrayLike) -> NDArray[np.float64]:
    """The amplitude gain of ``bm`` at each channel's own centre frequency.

    For each cf in ``cfs``, the amplitude of the settled ``bm`` output of the
    channel at cf, sampled at ``fs`` Hz, for a unit-amplitude sine at exactly
    cf.  It comes in closed form from the filter's transfer function::

        |H(cf)| = gain * |G(1) + G(e^{2iw})| / 2,   w = 2 pi cf / fs,

    with G(z) = (1 + 4a z^-1 + a^2 z^-2) / (1 - a z^-1)^4, a = exp(-tptbw),
    tptbw = 2 pi / fs * 24.7 (0.00437 cf + 1) * 1.019 and gain = tptbw^4 / 3,
    the filter's own coefficients.  G(e^{2iw}) is the image of the input at
    -cf, which taking the real part folds back onto +cf.

    The gain is not 1: about +0.25 dB at 100 Hz for fs = 8 kHz, +0.46 dB at
    1 kHz and +1.6 dB at 4 kHz for fs = 16 kHz, rising towards fs/2 as the
    bandwidth grows relative to fs.  Dividing a channel's mean square by
    ``cf_gain(fs, cf) ** 2`` puts a unit sine at cf at a mean square of 1/2
    (-3.01 dB).

    This is the gain of the exact coefficients.  The kernel rounds them to
    doubles, and with a fourfold pole near z = 1 that moves its gain for the
    narrowest bands relative to fs by a little: about 1e-4 dB at 50 Hz for
    fs = 96 kHz, far less elsewhere.

    Parameters
    ----------
    fs : int
        The sample rate in Hz, a whole number in 1 .. 2**31 - 1.
    cfs : float or array_like
        Centre frequencies in Hz, each finite and strictly between 0 and
        fs/2, of any shape.  A bare int is refused (see Raises).

    Returns
    -------
    ndarray
        A new float64 array of the shape of ``cfs`` (0-d for a scalar).

    Raises
    ------
    TypeError
        For ``fs`` or ``cfs`` that is not numbers, and for a bare int
        ``cfs``, which reads as a channel count: give ``erb_space(low, high,
        n)`` for n channels or a float for one, as :func:`filterbank` asks.
    ValueError
        Naming the argument, for an ``fs`` or a cf outside those ranges.

    Examples
    --------
    >>> cf_gain(16000, [100.0, 1000.0, 4000.0]).round(3)
    array([1.015, 1.055, 1.2  ])
    """
    rate = _checks.fs(fs)
    cf = _checks.cfs(cfs, rate, shaped=True)
    # The same operations, in the same order, as the kernel's set-up.
    tpt = _TWO_PI / float(rate)
    tptbw = ((((0.00437 * cf) + 1.0) * 24.7) * tpt) * 1.019
    a = np.exp(-tptbw)
    gain = (((tptbw * tptbw) * tptbw) * tptbw) / 3.0
    # gain * G(z) = (tptbw / (1 - a/z))^4 * (1 + 4a/z + a^2/z^2) / 3, with
    # 1 - a written as -expm1(-tptbw) to keep its digits for narrow bands.
    at_dc = (tptbw / -np.expm1(-tptbw)) ** 4 * ((1.0 + 4.0 * a) + a * a) / 3.0
    zinv = np.exp(-2j * (tpt * cf))  # 1/z at z = e^{2iw}
    image = gain * ((1.0 + 4.0 * a * zinv) + a * a * zinv * zinv) / (1.0 - a * zinv) ** 4
    # asarray: arithmetic on 0-d arrays gives NumPy scalars.
    out: NDArray[np.float64] = np.asarray(np.abs(at_dc + image) / 2.0)
    return out

