"""The bank's response: frequency response, impulse response, group delay
and -3 dB bandwidth of each channel, from its transfer function.

Each channel shifts x down by its cf, runs the shifted signal through

    G(z) = N(z) / D(z),   N(z) = 1 + a1 z^-1 + a5 z^-2,
                          D(z) = 1 - a1 z^-1 - a2 z^-2 - a3 z^-3 - a4 z^-4,

and shifts the result back up: for a unit impulse u is G's impulse response
g[t] and bm[t] = gain * g[t] cos(w t), w = 2 pi cf / fs.  Its spectrum is
therefore

    H(v) = gain * (G(e^{i(v - w)}) + G(e^{i(v + w)})) / 2,

the passband at +cf and the image of the one at -cf (see _gain).  The
analytic output gain * u[t] e^{iwt} has the passband alone.

a1 .. a5 are the kernel's own coefficients, doubles rounded from
4a, -6a^2, 4a^3, -a^4, a^2 with a = exp(-tptbw).  With a fourfold pole near
z = 1, D(e^{i theta}) near theta = 0 is far smaller than its terms: summed
as written it would lose up to four of its digits, and the exact (1 - a/z)^4
would miss the roundings, which move a narrow channel's gain by up to 1e-5.
So D is evaluated as

    D(z) = (1 - a z^-1)^4 - sum_k (a_k - c_k) z^-k,

with c_k the exact coefficients of (1 - a z^-1)^4, each a_k - c_k computed
exactly (in fractions) and then rounded.  1 - a z^-1 itself is formed
directly: the rounding of a cos(theta) costs it at most 1e-16 / (1 - a),
below 1e-13 relative for the narrowest channels of audio.
"""

import math
from fractions import Fraction
from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

from gammatone_bank import _bank, _checks
from gammatone_bank._bank import Array

Complex = NDArray[np.complex128]

_TWO_PI = 6.283185307179586

# Points of the grid on which bandwidths() first looks for a channel's peak
# and its -3 dB points, over cf +- SPAN_BW times the bandwidth parameter.
GRID = 1025
SPAN_BW = 4.0
# Golden-section steps refining the peak, bisections refining each edge:
# both shrink the bracket well below a double's resolution.
REFINE = 80


def _coefficients(fs: int, cf: float) -> list[float]:
    """a, a5, gain, w, tptbw and the four a_k - c_k of one channel."""
    # The same operations, in the same order, as the kernel's set-up.
    tpt = _TWO_PI / float(fs)
    tptbw = ((((0.00437 * cf) + 1.0) * 24.7) * tpt) * 1.019
    a = math.exp(-tptbw)
    rounded = (4.0 * a, (-6.0 * a) * a, ((4.0 * a) * a) * a, (((-a) * a) * a) * a)
    exact = Fraction(a)
    ideal = (4 * exact, -6 * exact**2, 4 * exact**3, -(exact**4))
    errors = [float(Fraction(r) - c) for r, c in zip(rounded, ideal)]
    gain = (((tptbw * tptbw) * tptbw) * tptbw) / 3.0
    return [a, a * a, gain, tpt * cf, tptbw, *errors]


class _Channels:
    """The kernel's coefficients of each channel, as (channels, 1) columns
    that broadcast against frequencies (channels, k)."""

    def __init__(self, fs: int, cfs: Array) -> None:
        table = np.array([_coefficients(fs, cf) for cf in cfs.tolist()])
        self.a, self.a5, self.gain, self.w, self.tptbw, *self.errors = table.T[:, :, np.newaxis]

    def g(self, theta: Array) -> tuple[Complex, Complex]:
        """G(e^{i theta}) and its derivative in theta."""
        zinv = np.exp(-1j * theta)
        a, a1 = self.a, 4.0 * self.a
        p = 1.0 - a * zinv
        dp = 1j * a * zinv  # d/d theta of 1 - a e^{-i theta}
        n = (1.0 + a1 * zinv) + self.a5 * zinv * zinv
        dn = -1j * (a1 * zinv + 2.0 * self.a5 * zinv * zinv)
        d, dd = p**4, 4.0 * p**3 * dp
        power = np.ones_like(zinv)
        for k, err in enumerate(self.errors, 1):
            power = power * zinv
            d = d - err * power
            dd = dd + 1j * k * err * power
        return n / d, (dn * d - n * dd) / (d * d)

    def h(self, v: Array) -> tuple[Complex, Complex]:
        """bm's response H at v (radians per sample) and its derivative in v."""
        low, dlow = self.g(v - self.w)
        image, dimage = self.g(v + self.w)
        return self.gain * (low + image) / 2.0, self.gain * (dlow + dimage) / 2.0

    def halves(self, v: Array) -> tuple[Complex, Complex]:
        """gain G(e^{i(v - w)}), the passband (the analytic output's whole
        response), and gain G(e^{i(v + w)}), the image of the one at -cf."""
        return self.gain * self.g(v - self.w)[0], self.gain * self.g(v + self.w)[0]

    def power(self, v: Array) -> Array:
        value = np.abs(self.h(v)[0])
        out: Array = value * value
        return out


def frequency_response(
    fs: SupportsIndex | float, cfs: ArrayLike, *, n: SupportsIndex = 8192
) -> tuple[Array, Complex]:
    """Each channel's frequency response, at the bins of an n-point rfft.

    Parameters
    ----------
    fs : int
        The sample rate in Hz, as for :func:`filterbank`.
    cfs : float or array_like
        The centre frequencies in Hz, as for :func:`filterbank`.
    n : int, optional
        The FFT length whose rfft bins are taken, at least 1 (8192 by
        default).

    Returns
    -------
    f : ndarray
        The ``n // 2 + 1`` frequencies ``numpy.fft.rfftfreq(n, 1 / fs)`` in
        Hz, float64.
    h : ndarray
        complex128 of shape (len(cfs), n // 2 + 1): the response of each
        channel's ``bm`` at f.

    Raises
    ------
    TypeError
        For cfs that is None or a bare int, and for an n that is not an int.
    ValueError
        Naming the argument, for a bad fs or cfs and for an n below 1.

    See Also
    --------
    impulse_response : the same response in time.
    cf_gain : its magnitude at each channel's own cf.

    Notes
    -----
    With v = 2 pi f / fs and w = 2 pi cf / fs,

    .. math::

        h = \\mathrm{gain} \\cdot \\frac{G(e^{i(v - w)}) + G(e^{i(v + w)})}{2},
        \\qquad G(z) = \\frac{1 + 4a z^{-1} + a^2 z^{-2}}{(1 - a z^{-1})^4},

    a = exp(-tptbw), tptbw = 2 pi / fs * 24.7 (0.00437 cf + 1) * 1.019 and
    gain = tptbw^4 / 3: the passband at +cf and the image of the one at
    -cf, which taking the real part folds in.  It is computed from the
    kernel's own rounded coefficients, without losing digits (a long
    double recursion of them agrees to 4e-13 of the peak at 50 Hz for
    fs = 16 kHz).  So it is the DTFT of ``impulse_response(fs, cfs, m)``,
    once m is long enough for the channels to ring down, but for the
    rounding in the kernel's recursion.  That stays below 1e-9 of the peak
    but for the channels narrowest against fs: 8e-10 at 50 Hz for
    fs = 16 kHz, 4e-9 at 44.1 kHz, 1.3e-7 at 200 Hz and 6e-7 at 20 Hz for
    96 kHz.  At f = cf its magnitude is what :func:`cf_gain` gives (which
    takes the exact coefficients: up to 1e-4 dB apart for those channels).

    Examples
    --------
    >>> f, h = frequency_response(16000, [100.0, 1000.0], n=16000)
    >>> f.shape, h.shape, h.dtype
    ((8001,), (2, 8001), dtype('complex128'))
    >>> abs(h[1, 1000]).round(4), cf_gain(16000, 1000.0).round(4)
    (np.float64(1.0545), np.float64(1.0545))
    """
    rate = _checks.fs(fs)
    centres = _checks.cfs(cfs, rate)
    size = _checks.length("n", n)
    f = np.fft.rfftfreq(size, 1.0 / rate)
    channels = _Channels(rate, centres)
    h, _ = channels.h((_TWO_PI / float(rate)) * f)
    return f, h


def impulse_response(
    fs: SupportsIndex | float, cfs: ArrayLike, n: SupportsIndex, *, analytic: bool = False
) -> Array | Complex:
    """Each channel's first n samples after a unit impulse.

    Parameters
    ----------
    fs : int
        The sample rate in Hz, as for :func:`filterbank`.
    cfs : float or array_like
        The centre frequencies in Hz, as for :func:`filterbank`.
    n : int
        How many samples, 1 .. 2**31 - 1.
    analytic : bool, optional
        Return the complex128 analytic output (``bm`` plus i times its
        quadrature) in place of ``bm``.

    Returns
    -------
    ndarray
        A new C-contiguous array of shape (len(cfs), n), float64 (``bm``) or
        complex128 (the analytic output): bit for bit
        ``filterbank(x, fs, cfs, analytic=analytic)`` of
        ``x = [1, 0, 0, ...]``.

    Raises
    ------
    TypeError
        For cfs that is None or a bare int, an n that is not an int and an
        analytic that is not a bool.
    ValueError
        Naming the argument, for a bad fs or cfs and an n out of range.

    See Also
    --------
    frequency_response : its DFT, once n is long enough for the channel to
        ring down (the passband alone for the analytic output).

    Examples
    --------
    >>> ir = impulse_response(16000, [1000.0], 256)
    >>> x = np.zeros(256)
    >>> x[0] = 1.0
    >>> ir.shape, np.array_equal(ir, filterbank(x, 16000, [1000.0]).bm)
    ((1, 256), True)
    """
    rate = _checks.fs(fs)
    centres = _checks.cfs(cfs, rate)
    size = _checks.length("n", n)
    if size > _checks.INT32_MAX:
        raise ValueError(f"n must be at most {_checks.INT32_MAX} samples, got {n!r}")
    complex_out = _checks.flag("analytic", analytic)
    x = np.zeros(size)
    x[0] = 1.0
    bank = _bank.filterbank(x, rate, centres, analytic=complex_out)
    if complex_out:
        assert bank.analytic is not None
        return bank.analytic
    return bank.bm


def group_delay(fs: SupportsIndex | float, cfs: ArrayLike) -> Array:
    """Each channel's group delay at its own centre frequency, in seconds.

    Parameters
    ----------
    fs : int
        The sample rate in Hz, as for :func:`filterbank`.
    cfs : float or array_like
        The centre frequencies in Hz, as for :func:`filterbank`.

    Returns
    -------
    ndarray
        A new float64 array of shape (len(cfs),).

    Raises
    ------
    TypeError, ValueError
        As :func:`filterbank` does for fs and cfs.

    See Also
    --------
    frequency_response : the response whose phase this differentiates.
    resynthesis_design : the delays the causal resynthesis aligns.

    Notes
    -----
    Minus the derivative of the phase of :func:`frequency_response` over
    angular frequency, at f = cf, in closed form from the transfer
    function.  For the passband alone (the analytic output) it is very
    nearly 4 / (2 pi b) - 1 / fs, b = 1.019 ERB(cf): the mean time of the
    t^3 exp(-2 pi b t) envelope, less the sample its numerator takes back
    (20.7 ms at 50 Hz, 4.65 ms at 1 kHz, 1.31 ms at 4 kHz for fs = 16 kHz).
    ``bm`` also holds the image of the passband at -cf, which bends its
    phase near 0 and fs/2: there this, bm's group delay, departs from the
    analytic output's (the one :func:`resynthesis_design` measures): within
    0.2 % from 50 Hz to 0.4 fs, but +9 % at 20 Hz, +1 % at 0.43 fs, +4 % at
    0.45 fs and -20 % at 0.48 fs, at any rate of audio.

    Examples
    --------
    >>> (1000 * group_delay(16000, [50.0, 1000.0, 4000.0])).round(2)
    array([20.69,  4.65,  1.31])
    """
    rate = _checks.fs(fs)
    channels = _Channels(rate, _checks.cfs(cfs, rate))
    h, dh = channels.h(channels.w)
    delay: Array = -(dh / h).imag[:, 0] / rate
    return delay


def bandwidths(fs: SupportsIndex | float, cfs: ArrayLike) -> Array:
    """Each channel's -3 dB bandwidth in Hz: where ``bm``'s power response
    stays within half of its peak.

    Parameters
    ----------
    fs : int
        The sample rate in Hz, as for :func:`filterbank`.
    cfs : float or array_like
        The centre frequencies in Hz, as for :func:`filterbank`.

    Returns
    -------
    ndarray
        A new float64 array of shape (len(cfs),).

    Raises
    ------
    TypeError, ValueError
        As :func:`filterbank` does for fs and cfs.

    See Also
    --------
    frequency_response : the response whose -3 dB points these are.
    erb_space : centre frequencies spaced by the ERB.

    Notes
    -----
    The band is the stretch of (0, fs/2) around the peak of
    ``abs(frequency_response(...)) ** 2`` where it is at least half the
    peak; where it is still above half at 0 or fs/2, the band ends there.
    Found by bisection on the closed-form response, to a double's
    resolution.

    How it relates to the ERB: a fourth-order gammatone with bandwidth
    parameter b has a power response (1 + (df / b)^2)^-4 near its peak,
    half at df = b sqrt(2^(1/4) - 1), so a -3 dB bandwidth of
    2 sqrt(2^(1/4) - 1) b = 0.8700 b.  Here b = 1.019 ERB(cf), with
    ERB(cf) = 24.7 (0.00437 cf + 1) Hz, which makes it 0.8865 ERB(cf):
    so it is for this filter, to 0.1 %, from about 100 Hz up to 0.35 fs at
    any rate of audio.  Near 0 and fs/2 the image of the passband at -cf
    adds to bm's response and widens the band (0.891 ERB at 50 Hz, 0.95 at
    30 Hz, 1.2 at 20 Hz; 0.890 at 0.4 fs, 0.96 at 0.45 fs), until its upper
    edge would pass fs/2, where it is cut (0.76 ERB at 0.48 fs for 16 kHz).

    Examples
    --------
    >>> cfs = np.array([1000.0, 4000.0])
    >>> (bandwidths(16000, cfs) / (24.7 * (0.00437 * cfs + 1))).round(4)
    array([0.8865, 0.8865])
    """
    rate = _checks.fs(fs)
    channels = _Channels(rate, _checks.cfs(cfs, rate))
    # A grid around each cf, clipped to [0, pi]: the peak's neighbourhood and
    # both -3 dB points lie well inside cf +- SPAN_BW bandwidth parameters.
    lo = np.maximum(channels.w - SPAN_BW * channels.tptbw, 0.0)
    hi = np.minimum(channels.w + SPAN_BW * channels.tptbw, math.pi)
    grid = lo + (hi - lo) * np.linspace(0.0, 1.0, GRID)
    power = channels.power(grid)
    rows = np.arange(grid.shape[0])
    top = np.argmax(power, axis=1)
    peak_v = _golden(channels, grid[rows, np.maximum(top - 1, 0)], grid[rows, np.minimum(top + 1, GRID - 1)])
    half = channels.power(peak_v[:, np.newaxis])[:, 0] / 2.0
    below = power < half[:, np.newaxis]
    edges = []
    for side in (-1, 1):
        # The grid point nearest the peak on this side where the power is
        # below half, if any: the edge lies between it and its neighbour.
        index = np.arange(GRID)[np.newaxis, :]
        beyond = below & ((index - top[:, np.newaxis]) * side > 0)
        if side < 0:
            k = np.where(beyond.any(axis=1), GRID - 1 - np.argmax(beyond[:, ::-1], axis=1), -1)
        else:
            k = np.where(beyond.any(axis=1), np.argmax(beyond, axis=1), -1)
        found = k >= 0
        outside = grid[rows, np.where(found, k, 0)]
        inside = grid[rows, np.where(found, k - side, 0)]
        edge = _bisect(channels, inside, outside, half)
        # Still above half at the end of the grid: the grid reaches 0 or
        # fs/2 there (elsewhere it ends far below half), and so does the band.
        end = 0.0 if side < 0 else math.pi
        edges.append(np.where(found, edge, end))
    width: Array = (edges[1] - edges[0]) * rate / _TWO_PI
    return width


def _golden(channels: _Channels, a: Array, b: Array) -> Array:
    """The frequency of each channel's power peak within [a, b]."""
    ratio = (math.sqrt(5.0) - 1.0) / 2.0
    for _ in range(REFINE):
        c = b - ratio * (b - a)
        d = a + ratio * (b - a)
        left = channels.power(c[:, np.newaxis])[:, 0] >= channels.power(d[:, np.newaxis])[:, 0]
        a, b = np.where(left, a, c), np.where(left, d, b)
    out: Array = (a + b) / 2.0
    return out


def _bisect(channels: _Channels, inside: Array, outside: Array, level: Array) -> Array:
    """Where each channel's power crosses level between inside (above) and outside (below)."""
    for _ in range(REFINE):
        mid = (inside + outside) / 2.0
        above = channels.power(mid[:, np.newaxis])[:, 0] >= level
        inside, outside = np.where(above, mid, inside), np.where(above, outside, mid)
    out: Array = (inside + outside) / 2.0
    return out


def responses_at(fs: int, cfs: Array, f: Array) -> tuple[Complex, Complex]:
    """Each channel's passband and image (see _Channels.halves) at the
    frequencies f in Hz, (channels, len(f)) each: bm's response is their
    mean, Re(c * analytic output)'s (c p + conj(c) i) / 2."""
    return _Channels(fs, cfs).halves((_TWO_PI / float(fs)) * f[np.newaxis, :])
