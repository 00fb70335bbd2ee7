"""Resynthesis: the bank's channels summed back into one signal.

Two designs, both fitted once per (fs, cfs, delay) to the filter's own
impulse response, computed with the engine itself:

- zero-phase (``delay=None``): each channel's output is filtered again by
  the same channel, time-reversed, so each channel contributes
  |H_c(f)|^2 with no phase at all; real weights make the sum flat.
- causal, total delay D: each channel's analytic output is delayed by D
  minus its own group delay (never below 0), multiplied by a complex weight,
  and the real parts are summed.  The weights correct what delays alone
  leave: each channel's phase at the overlap with its neighbours.

The weights minimise, over the band from the lowest to the highest centre
frequency, the squared distance of the summed response from a pure delay,
plus a ridge term.  Without the ridge the least-squares solution reaches a
flatter sum by large weights of opposite sign in neighbouring channels,
which cancel only while every channel is kept: under a mask they no longer
cancel and the masked result is worse.  The ridge keeps the weights close
to what each channel alone would need.
"""

import functools
import math
import threading
from typing import NamedTuple, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

from gammatone_bank import _bank, _engine
from gammatone_bank._bank import Array
from gammatone_bank._masks import _float64, _mask_gains, _Spread
from gammatone_bank._stream import CLOSED, _Closable

# The longest total delay a causal design takes, in seconds.
MAX_DELAY = 1.0

# Impulse response kept past the delay: enough for the lowest channel's
# response to ring down (about -90 dB at 50 Hz after 0.1 s).
TAIL = 0.25

# The ridge, relative to the mean diagonal of the normal equations.
RIDGE_CAUSAL = 1e-3
RIDGE_ZERO_PHASE = 1e-4

# Samples per block of a causal resynthesis.
CAUSAL_BLOCK = 1 << 15

# Samples per block of the zero-phase second pass.
SECOND_PASS_BLOCK = 2048

Complex = NDArray[np.complex128]


class ResynthesisDesign(NamedTuple):
    """How :func:`resynthesize` sums the channels for one (fs, cfs, delay).

    The arrays are read-only: the design is shared.

    Attributes
    ----------
    fs : int
        The sample rate in Hz.
    cfs : ndarray
        The centre frequencies in Hz.
    delay : float or None
        The total delay in seconds, None for zero-phase.
    lag : int
        The same in whole samples, ``round(delay * fs)``; 0 for zero-phase.
    group_delays : ndarray
        Each channel's group delay at its centre frequency, in samples,
        measured on its impulse response.
    delays : ndarray
        The whole samples each channel's output is delayed by before the
        sum (``lag`` minus the group delay, never below 0; all 0 for
        zero-phase), so that channel c delayed by ``delays[c]`` lines up
        with the others: the delay compensation of other toolboxes.
    weights : ndarray
        complex128 for a causal design (output = sum over c of
        Re(weights[c] * analytic[c] delayed)), float64 for zero-phase
        (output = sum over c of weights[c] times the channel filtered twice).
    """

    fs: int
    cfs: Array
    delay: float | None
    lag: int
    group_delays: Array
    delays: NDArray[np.int64]
    weights: Array | Complex


def _check_delay(delay: float | None, fs: int) -> int | None:
    """The delay in whole samples, or None for zero-phase."""
    if delay is None:
        return None
    seconds = _bank._real("delay", delay)
    if not (math.isfinite(seconds) and 0.0 <= seconds <= MAX_DELAY):
        raise ValueError(
            f"delay must be None (zero-phase) or a number of seconds in [0, {MAX_DELAY:g}], got {delay!r}"
        )
    return round(seconds * fs)


def _impulse(fs: int, cfs: Array, n: int) -> Complex:
    """Each channel's analytic response to a unit impulse, n samples."""
    x = np.zeros(n)
    x[0] = 1.0
    response = _bank.filterbank(x, fs, cfs, analytic=True, workers=1).analytic
    assert response is not None
    return response


def _ridge(a: Array, b: Array, ridge: float) -> Array:
    """argmin |a w - b|^2 + ridge * mean(diag(a'a)) |w|^2."""
    normal = a.T @ a
    normal[np.diag_indices_from(normal)] += ridge * np.trace(normal) / normal.shape[0]
    solution: Array = np.linalg.solve(normal, a.T @ b)
    return solution


def _band(fs: int, cfs: Array, size: int) -> tuple[Array, NDArray[np.bool_]]:
    """The rfft bin frequencies of size samples and which lie in the bank's
    band, from the lowest cf to the highest, with the bin nearest each cf
    (so that a single channel has one)."""
    f = np.fft.rfftfreq(size, 1.0 / fs)
    band = (f >= cfs[0]) & (f <= cfs[-1])
    band[np.rint(cfs * size / fs).astype(np.int64)] = True
    return f, band


def _group_delays(spectra: Complex, f: Array, cfs: Array) -> Array:
    """Each channel's group delay at its cf in seconds: minus the slope of
    its phase over angular frequency, from the bins either side of cf."""
    out = np.empty(cfs.size)
    step = 2.0 * np.pi * (f[1] - f[0])
    for c, cf in enumerate(cfs):
        k = int(np.clip(np.searchsorted(f, cf), 1, f.size - 2))
        phase = np.unwrap(np.angle(spectra[c, k - 1:k + 2]))
        out[c] = -(phase[2] - phase[0]) / (2.0 * step)
    return out


@functools.lru_cache(maxsize=32)
def _design(fs: int, cfs_bytes: bytes, lag: int | None) -> ResynthesisDesign:
    cfs = np.frombuffer(cfs_bytes, dtype=np.float64)
    n = (lag or 0) + round(TAIL * fs)
    size = 1 << max(2 * n - 1, 1).bit_length()
    response = _impulse(fs, cfs, n)
    f, band = _band(fs, cfs, size)
    real = np.fft.rfft(response.real, size)
    # From the analytic response: near fs/2 the real part's spectrum folds in
    # its image, which bends the phase.
    group = _group_delays(np.fft.fft(response, size)[:, :f.size], f, cfs) * fs
    if lag is None:
        power = np.abs(real[:, band]) ** 2
        weights: Array | Complex = _ridge(power.T, np.ones(int(band.sum())), RIDGE_ZERO_PHASE)
        delays = np.zeros(cfs.size, np.int64)
    else:
        delays = np.maximum(np.rint(lag - group), 0).astype(np.int64)
        shift = np.exp(-2j * np.pi * np.outer(delays, f[band]) / fs)
        re = real[:, band] * shift
        im = np.fft.rfft(response.imag, size)[:, band] * shift
        # Re(w a) = wr Re(a) - wi Im(a): real unknowns (wr, wi), complex equations.
        basis = np.concatenate([re, -im]).T
        target = np.exp(-2j * np.pi * f[band] * lag / fs)
        a = np.concatenate([basis.real, basis.imag])
        b = np.concatenate([target.real, target.imag])
        w = _ridge(a, b, RIDGE_CAUSAL)
        weights = w[:cfs.size] + 1j * w[cfs.size:]
    for array in (cfs, group, delays, weights):
        array.flags.writeable = False
    return ResynthesisDesign(fs, cfs, None if lag is None else lag / fs, lag or 0, group, delays, weights)


def resynthesis_design(fs: SupportsIndex | float, cfs: ArrayLike, delay: float | None = None) -> ResynthesisDesign:
    """The design :func:`resynthesize` uses for these fs, cfs and delay.

    Derived once from the filters' own impulse responses and cached, so
    repeated calls are cheap.

    Parameters
    ----------
    fs : int
        The sample rate in Hz.
    cfs : array_like
        Centre frequencies in Hz, in strictly ascending order.
    delay : float or None, optional
        None for zero-phase, else the total delay in seconds, in [0, 1].

    Returns
    -------
    ResynthesisDesign
        Each channel's delay and weight, read-only.

    Raises
    ------
    ValueError
        Naming the argument, for a bad fs, cfs (unsorted ones included) or
        delay.
    """
    rate = _bank._check_fs(fs)
    centres = _bank._check_cfs(cfs, rate)
    if centres.size > 1 and not np.all(np.diff(centres) > 0.0):
        raise ValueError("cfs must be in strictly ascending order for resynthesis (erb_space gives them so)")
    return _design(rate, centres.tobytes(), _check_delay(delay, rate))


def _check_gains(gains: ArrayLike | None, channels: int, n: int) -> Array | None:
    """gains as float64 (channels,) or (channels x n), finite."""
    if gains is None:
        return None
    g = _float64("gains", gains, "real numbers")
    if g.shape == (channels,):
        g = g[:, np.newaxis]
    elif g.shape != (channels, n):
        raise ValueError(
            f"gains must have shape (channels,) = ({channels},) or (channels, len(chunk)) = ({channels}, {n}), "
            f"got {g.shape}"
        )
    if not np.all(np.isfinite(g)):
        raise ValueError("gains must be finite")
    return g


class ResynthesisStream(_Closable):
    """The causal resynthesis of a signal fed in chunks.

    ``process(chunk, gains=None)`` returns as many samples as it is given:
    the resynthesis delayed by ``lag = round(delay * fs)`` samples (the
    first ``lag`` are the filters' start from rest).  ``close()`` returns
    the last ``lag`` samples, as if ``lag`` zeros followed, under the last
    gains given.  Concatenated, less the first ``lag`` samples, everything
    returned equals ``resynthesize(x, fs, cfs, delay=delay)`` bit for bit,
    however x is chunked.

    gains: None (every channel 1), or per-channel weights applied to the
    channels' analytic outputs before the delays and the sum, (channels,)
    for the whole chunk or (channels x len(chunk)) per sample: a live mask.
    A mask made on cochleagram frames gives the gains of
    ``resynthesize(..., mask=...)``.

    ``design`` is the :class:`ResynthesisDesign` in use.  Errors, closing
    and ``reset()`` work as for :class:`Stream`.
    """

    def __init__(
        self,
        fs: SupportsIndex | float,
        cfs: ArrayLike,
        *,
        delay: float = 0.004,
        workers: int | None = None,
    ) -> None:
        if delay is None:
            raise ValueError("delay must be a number of seconds: a stream cannot be zero-phase")
        self.design = resynthesis_design(fs, cfs, delay)
        self.fs, self.cfs = self.design.fs, self.design.cfs.copy()
        self._workers = _bank._check_workers(workers)
        self._history = int(self.design.delays.max())
        self._lock = threading.Lock()
        self._start()

    def _start(self) -> None:
        self._engine = _engine.Engine(self.fs, self.cfs, weights=np.asarray(self.design.weights, np.complex128))
        # The last `_history` samples of each channel's weighted output.
        self._held = np.zeros((self.cfs.size, self._history))
        self._last: Array | None = None
        self.closed = False
        self.samples = 0

    def process(self, chunk: ArrayLike, gains: ArrayLike | None = None) -> Array:
        """Resynthesise the next samples (see the class)."""
        x = _bank._check_x(chunk, "chunk")
        g = _check_gains(gains, self.cfs.size, x.size)
        with self._lock:
            if self.closed:
                raise ValueError(CLOSED)
            return self._step(x, g)

    def close(self) -> Array:
        """End the stream; returns the last ``lag`` samples."""
        with self._lock:
            if self.closed:
                raise ValueError(CLOSED)
            out = self._step(np.zeros(self.design.lag), self._last)
            self.closed = True
            return out

    def _step(self, x: Array, gains: Array | None) -> Array:
        n, held = x.size, self._history
        # Each channel's Re(weight * analytic output) goes straight after
        # the samples held back from the previous chunk.
        rows = np.empty((self.cfs.size, held + n))
        rows[:, :held] = self._held
        fresh = rows[:, held:]
        _bank._drive(self._engine, x, (None, None, None, None, None, None, fresh), self._workers)
        if gains is not None:
            fresh *= gains
        y = np.zeros(n)
        for c, start in enumerate((held - self.design.delays).tolist()):
            y += rows[c, start:start + n]
        if held:
            self._held = rows[:, n:].copy()
        if gains is not None and n:
            self._last = gains[:, -1:]
        self.samples += n
        return y


def resynthesize(
    x: ArrayLike,
    fs: SupportsIndex | float,
    cfs: ArrayLike,
    *,
    mask: ArrayLike | None = None,
    frame: float = 0.025,
    hop: float = 0.010,
    delay: float | None = None,
    workers: int | None = None,
) -> Array:
    """x analysed by the bank and summed back: len(x) samples aligned with x.

    delay=None: zero-phase.  x is processed whole: each channel's output is
    time-reversed, filtered again by the same channel, reversed back and
    weighted.  delay=SECONDS: the causal design with that total delay (see
    :class:`ResynthesisStream`, which this is, fed once), with the delay
    removed from the result.

    mask: None, or (channels x frames) weights in [0, 1] on the frames of
    ``cochleagram(x, fs, cfs, frame=frame, hop=hop)``.  Each frame's weight
    is spread over its samples by overlapping raised cosines, normalised so
    that an all-ones mask changes nothing (to 1e-12 relative) and an
    all-zeros mask gives silence, and multiplies the channel's analysis
    output: the very signal whose levels the cochleagram holds.

    What limits it: only the band from the lowest to the highest centre
    frequency is reconstructed (what lies outside is attenuated as the
    outermost filters attenuate it), and a causal delay shorter than the
    group delay of the lowest channels (about 20 ms at 50 Hz) leaves those
    channels late, which the weights can only partly correct.
    """
    rate = _bank._check_fs(fs)
    centres = _bank._check_cfs(cfs, rate)
    samples = _bank._check_x(x)
    lag = _check_delay(delay, rate)
    spread = None if mask is None else _mask_gains(mask, samples.size, rate, centres.size, frame, hop)
    if lag is None:
        return _zero_phase(samples, rate, centres, spread, _bank._check_workers(workers))
    # The stream fed block by block, which gives the same bits as one call
    # and keeps memory at channels x block.
    stream = ResynthesisStream(rate, centres, delay=lag / rate, workers=workers)
    n = samples.size
    out = np.empty(n + lag)
    for a in range(0, n, CAUSAL_BLOCK):
        b = min(a + CAUSAL_BLOCK, n)
        gains = None if spread is None else spread.gains(0, centres.size, a, b)
        out[a:b] = stream.process(samples[a:b], gains)
    out[n:] = stream.close()
    return out[lag:]


def _zero_phase(x: Array, fs: int, cfs: Array, spread: _Spread | None, threads: int) -> Array:
    """Analysis, time reversal, a second pass, time reversal and the weighted sum."""
    weights = np.asarray(resynthesis_design(fs, cfs, None).weights, dtype=np.float64)
    first = np.empty((cfs.size, x.size))
    _bank._drive(_engine.Engine(fs, cfs), x, (first, None, None, None, None), threads)
    if spread is not None:
        spread.apply(first)
    out: Array = _second_pass(_engine.Engine(fs, cfs), first[:, ::-1], weights, threads)[::-1].copy()
    return out


def _second_pass(engine: _engine.Engine, backwards: Array, weights: Array, threads: int) -> Array:
    """The weighted sum of every channel filtering its own row of backwards.

    Each thread takes whole channel groups and runs each through the signal
    a block at a time into a small buffer that the group's weighted sum then
    reads from cache: no second (channels x samples) array, whose first
    touch alone would cost about as much as the filtering.  The groups'
    sums are added in group order, so the result does not depend on threads.
    """
    channels, n = backwards.shape
    width, groups = engine.width, engine.groups
    partial = np.zeros((groups, n))

    def task(g: int) -> None:
        rows = slice(g * width, min((g + 1) * width, channels))
        # Only this group's rows of the buffer are ever written (or touched).
        block = np.empty((channels, min(n, SECOND_PASS_BLOCK)))
        for b in range(0, n, SECOND_PASS_BLOCK):
            m = min(SECOND_PASS_BLOCK, n - b)
            engine.process(backwards[:, b:b + m], g, g + 1, block, None, None, None, None)
            np.dot(weights[rows], block[rows, :m], out=partial[g, b:b + m])

    _bank._run(task, groups, threads if n * width * groups >= _bank.THREAD_MIN else 1)
    total: Array = partial.sum(axis=0)
    return total
