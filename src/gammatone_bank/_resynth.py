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

from gammatone_bank import _axis, _bank, _checks, _engine, _frames, _scale, _threads
from gammatone_bank._bank import Array
from gammatone_bank._checks import finite as _finite, float64 as _float64
from gammatone_bank._masks import _check_mask
from gammatone_bank._stream import CLOSED, _Closable

# The longest total delay a causal design takes, in seconds.
MAX_DELAY = 1.0

# The impulse response the designs are fitted to, whatever the delay: enough
# for the lowest channel's response to ring down (about -90 dB at 50 Hz
# after 0.1 s), and never fewer than MIN_RESPONSE samples, so that a tiny
# rate still has bins either side of every cf.
TAIL = 0.25
MIN_RESPONSE = 64

# Channels whose impulse responses and spectra are computed at a time.
DESIGN_ROWS = 16

# The most memory a design may take, in bytes: beyond it the design is refused.
DESIGN_MEMORY = 2 << 30

# The ridge, relative to the mean diagonal of the normal equations.
RIDGE_CAUSAL = 1e-3
RIDGE_ZERO_PHASE = 1e-4

# Samples per block of a causal resynthesis.
CAUSAL_BLOCK = 1 << 15

# Samples per block of a zero-phase resynthesis: memory follows channels x this.
ZERO_PHASE_BLOCK = 1 << 16

# Bytes of forward output (channels x samples, rung out, as doubles) that a
# zero-phase resynthesis keeps whole: up to it, the forward pass runs once
# into memory; beyond it, in blocks rerun from saved engine copies.  The
# bits are the same either way.
ZERO_PHASE_MEMORY = 256 << 20

# Samples per step of the zero-phase second pass, whose output is summed from
# a buffer this long that stays in cache (SUM_CHANNELS rows: 512 KiB).
SECOND_PASS_BLOCK = 8192

# Channels whose weighted outputs the zero-phase sum adds in channel order
# before adding these partial sums in order: the same bits at every SIMD
# level (each width divides it), on any number of threads.
SUM_CHANNELS = 8

# The forward pass of a zero-phase resynthesis runs on past the last sample
# until the slowest channel's envelope has fallen this far below its peak.
RING_OUT_DB = 120.0

Complex = NDArray[np.complex128]


def _envelope_decay(db: float) -> float:
    """u such that the envelope t^3 exp(-b t) at t = u / b is db below its peak.

    The peak is at b t = 3, and (u / 3)^3 exp(3 - u) falls monotonically
    past it: the fixed point u = 3 + 3 ln(u / 3) + db ln(10) / 20 converges
    from above, the map's slope 3 / u being below 1 there.
    """
    target = db * math.log(10.0) / 20.0
    u = 3.0 + 2.0 * target
    for _ in range(200):
        u = 3.0 + 3.0 * math.log(u / 3.0) + target
    return u


RING_OUT = _envelope_decay(RING_OUT_DB)


def _ring_out(fs: int, cfs: Array) -> int:
    """Samples the forward pass runs past the end: until the lowest channel,
    the slowest to decay, has rung down by RING_OUT_DB.  The ERB's floor
    bounds it: about 0.15 s whatever the channels."""
    rate = 2.0 * math.pi * 1.019 * 24.7 * (_scale.ERB_SLOPE * float(cfs.min()) + 1.0)
    return math.ceil(RING_OUT / rate * fs)


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
    """The delay in whole samples (rounded to nearest), or None for zero-phase."""
    if delay is None:
        return None
    if isinstance(delay, (bool, np.bool_)):
        raise TypeError(f"delay must be None (zero-phase) or a number of seconds, got {delay!r}")
    seconds = _checks.real("delay", delay)
    if not (math.isfinite(seconds) and 0.0 <= seconds <= MAX_DELAY):
        raise ValueError(
            f"delay must be None (zero-phase) or a number of seconds in [0, {MAX_DELAY:g}], got {delay!r}"
        )
    return round(seconds * fs)


def _ridge(normal: Array, rhs: Array, ridge: float) -> Array:
    """argmin |a w - b|^2 + ridge * mean(diag(a'a)) |w|^2, from a'a and a'b."""
    normal[np.diag_indices_from(normal)] += ridge * np.trace(normal) / normal.shape[0]
    solution: Array = np.linalg.solve(normal, rhs)
    return solution


def _band(fs: int, cfs: Array, size: int) -> tuple[Array, NDArray[np.bool_]]:
    """The rfft bin frequencies of size samples and which lie in the bank's
    band, from the lowest cf to the highest, with the bin nearest each cf
    (so that a single channel has one)."""
    f = np.fft.rfftfreq(size, 1.0 / fs)
    band = (f >= cfs[0]) & (f <= cfs[-1])
    band[np.minimum(np.rint(cfs * size / fs).astype(np.int64), f.size - 1)] = True
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


def _design_size(fs: int, channels: int, causal: bool) -> tuple[int, int]:
    """The response length, and the bytes the design needs at most."""
    n = max(round(TAIL * fs), MIN_RESPONSE)
    size = 1 << (2 * n - 1).bit_length()
    unknowns = 2 * channels if causal else channels
    spectra = (2 if causal else 1) * channels * (size // 2 + 1) * 16
    return n, spectra + 3 * unknowns * unknowns * 16 + DESIGN_ROWS * size * 48


@functools.lru_cache(maxsize=32)
def _design(fs: int, cfs_bytes: bytes, lag: int | None) -> ResynthesisDesign:
    cfs = np.frombuffer(cfs_bytes, dtype=np.float64)
    n, _ = _design_size(fs, cfs.size, lag is not None)
    size = 1 << (2 * n - 1).bit_length()
    f_all, band = _band(fs, cfs, size)
    f = f_all[band]
    # Channel by channel (a few at a time): each channel's analytic response
    # and spectra, of which only the band's bins are kept.
    real = np.empty((cfs.size, f.size), np.complex128)
    imag = np.empty_like(real) if lag is not None else None
    group = np.empty(cfs.size)
    impulse = np.zeros(n)
    impulse[0] = 1.0
    for r in range(0, cfs.size, DESIGN_ROWS):
        rows = slice(r, min(r + DESIGN_ROWS, cfs.size))
        response = _bank.filterbank(impulse, fs, cfs[rows], analytic=True, workers=1).analytic
        assert response is not None
        real[rows] = np.fft.rfft(response.real, size)[:, band]
        if imag is not None:
            imag[rows] = np.fft.rfft(response.imag, size)[:, band]
        # From the analytic response: near fs/2 the real part's spectrum
        # folds in its image, which bends the phase.
        group[rows] = _group_delays(np.fft.fft(response, size)[:, :f_all.size], f_all, cfs[rows]) * fs
    if lag is None or imag is None:
        power = np.abs(real) ** 2
        weights: Array | Complex = _ridge(power @ power.T, power.sum(axis=1), RIDGE_ZERO_PHASE)
        delays = np.zeros(cfs.size, np.int64)
    else:
        delays = np.maximum(np.rint(lag - group), 0).astype(np.int64)
        shift = np.exp(-2j * np.pi * np.outer(delays, f) / fs)
        # Re(w a) = wr Re(a) - wi Im(a): real unknowns (wr, wi), complex
        # equations; the real least squares of both parts has the normal
        # equations Re(B B^H) w = Re(B conj(target)).
        basis = np.concatenate([real * shift, -(imag * shift)])
        target = np.exp(-2j * np.pi * f * lag / fs)
        w = _ridge((basis @ basis.conj().T).real, (basis @ target.conj()).real, RIDGE_CAUSAL)
        weights = w[:cfs.size] + 1j * w[cfs.size:]
    for array in (cfs, group, delays, weights):
        array.flags.writeable = False
    return ResynthesisDesign(fs, cfs, None if lag is None else lag / fs, lag or 0, group, delays, weights)


def resynthesis_design(fs: SupportsIndex | float, cfs: ArrayLike, delay: float | None = None) -> ResynthesisDesign:
    """The design :func:`resynthesize` uses for these fs, cfs and delay.

    Derived once from the filters' own impulse responses (0.25 s of each,
    whatever the delay, computed a few channels at a time) and cached, so
    repeated calls are cheap.

    Parameters
    ----------
    fs : int
        The sample rate in Hz.
    cfs : array_like
        Centre frequencies in Hz, in strictly ascending order.
    delay : float or None, optional
        None for zero-phase, else the total delay in seconds, in [0, 1]; the
        lag is ``round(delay * fs)`` samples.

    Returns
    -------
    ResynthesisDesign
        Each channel's delay and weight, read-only.

    Raises
    ------
    TypeError
        For a delay that is not None or a number (a bool, a string).
    ValueError
        Naming the argument, for a bad fs, cfs (unsorted ones included) or
        delay, and for a bank whose design would take more than 2 GiB (the
        message gives the size and how many channels fit).
    """
    rate = _checks.fs(fs)
    centres = _checks.cfs(cfs, rate)
    if centres.size > 1 and not np.all(np.diff(centres) > 0.0):
        raise ValueError("cfs must be in strictly ascending order for resynthesis (erb_space gives them so)")
    lag = _check_delay(delay, rate)
    need = _design_size(rate, centres.size, lag is not None)[1]
    if need > DESIGN_MEMORY:
        fit = next(c for c in range(centres.size, 0, -1) if _design_size(rate, c, lag is not None)[1] <= DESIGN_MEMORY)
        raise ValueError(
            f"cfs: a resynthesis design for {centres.size} channels at {rate} Hz needs {need / 2**30:.1f} GiB, "
            f"more than the {DESIGN_MEMORY / 2**30:g} GiB allowed: use at most {fit} channels"
        )
    return _design(rate, centres.tobytes(), lag)


def _check_gains(gains: ArrayLike | None, channels: int, n: int, batch: tuple[int, ...] | None) -> Array | None:
    """gains as float64 (signals, channels, 1 or n), finite; None stays None.

    Shared by every signal as (channels,) or (channels, n), or one per
    signal as batch + either.
    """
    if gains is None:
        return None
    g = _float64("gains", gains, "real numbers")
    ends = ((channels,), (channels, n))
    shared = g.shape in ends
    if not (shared or (batch is not None and g.shape[:len(batch)] == batch and g.shape[len(batch):] in ends)):
        raise ValueError(
            f"gains must have shape (channels,) = ({channels},) or (channels, len(chunk)) = ({channels}, {n})"
            + ("" if batch is None else f", or the chunk's other axes {batch} before either")
            + f", got {g.shape}"
        )
    if not np.all(np.isfinite(g)):
        raise ValueError("gains must be finite")
    rest = g.shape if shared else g.shape[len(batch or ()):]
    columns = 1 if rest == (channels,) else n
    signals = 1 if batch is None else math.prod(batch)
    return np.broadcast_to(g.reshape(1 if shared else signals, channels, columns), (signals, channels, columns))


class _Signal:
    """One signal's part of a causal resynthesis: its engine, the last
    ``history`` samples of each channel's weighted output, and the gains of
    its last sample (None: unit gains)."""

    def __init__(self, design: ResynthesisDesign, history: int) -> None:
        self.design = design
        self.engine = _engine.Engine(design.fs, design.cfs, weights=np.asarray(design.weights, np.complex128))
        self.held = np.zeros((design.cfs.size, history))
        self.last: Array | None = None

    def step(self, x: Array, gains: Array | None, workers: int) -> Array:
        n, held = x.size, self.held.shape[1]
        # Each channel's Re(weight * analytic output) goes straight after
        # the samples held back from the previous chunk.
        rows = np.empty((self.held.shape[0], held + n))
        rows[:, :held] = self.held
        fresh = rows[:, held:]
        _bank._drive(self.engine, x, {"weighted": fresh}, workers)
        if gains is not None:
            fresh *= gains
        y = np.zeros(n)
        for c, start in enumerate((held - self.design.delays).tolist()):
            y += rows[c, start:start + n]
        if held:
            self.held = rows[:, n:].copy()
        if n:
            self.last = None if gains is None else gains[:, -1:]
        return y


# ---------------------------------------------------------------- masks over samples


def _window(offsets: NDArray[np.int64], length: int) -> Array:
    """A raised cosine of `length` samples at the given offsets into it, positive at every sample.

    Computed where it is needed, offset by offset, so that a long frame
    costs no window-long buffer: the same bits as the whole window indexed.
    """
    return 0.5 - 0.5 * np.cos(2.0 * np.pi * (offsets + 0.5) / length)


class _Spread:
    """A mask's frames turned into one gain per channel and sample.

    Frame k's weight rides on a raised cosine over the frame's samples
    (over its hop instead where the hop is longer, so no sample is left
    uncovered), and every sample's gain is the windowed sum of the weights
    divided by the sum of the windows.  Both sums add the same windows in
    the same order, so an all-ones mask gives gains of exactly 1 and an
    all-zeros mask gains of exactly 0.  Past the last sample the gains stay
    those of the last sample.
    """

    def __init__(self, mask: Array, n: int, frame_len: int, hop_len: int) -> None:
        self.mask, self.n, self.hop = mask, n, hop_len
        self.size = max(frame_len, hop_len)

    def _sum(self, weights: Array, a: int, b: int) -> Array:
        """Sum over frames k of weights[:, k] * win[t - k hop], for t in [a, b).

        Sample t = q hop + r lies at offset r + i hop into frame q - i, for
        i = 0, 1, ... while the offset stays in the window.  The samples are
        laid out as a grid of rows q and columns r, so that each i adds one
        weight per row times one window value per column: a pass per frame
        that overlaps a sample (frame / hop of them), not one per window
        sample, and no window-long buffer.  Each sample's terms are added in
        the order of their offset, from 0.0, so it gets the same bits
        whatever block it is computed in.
        """
        hop = self.hop
        out = np.empty((weights.shape[0], b - a))
        # A block no longer than a hop is cut where a hop starts, so that
        # each piece lies in one grid row: never a whole row of a long hop.
        cut = (a // hop + 1) * hop
        pieces = [(a, b)] if b - a > hop or cut >= b else [(a, cut), (cut, b)]
        for lo, hi in pieces:
            q0, q1 = lo // hop, (hi - 1) // hop + 1
            r0, r1 = (0, hop) if q1 - q0 > 1 else (lo - q0 * hop, hi - q0 * hop)
            start = q0 * hop + r0
            grid = self._grid(weights, q0, q1, r0, r1).reshape(weights.shape[0], -1)
            out[:, lo - a:hi - a] = grid[:, lo - start:hi - start]
        return out

    def _grid(self, weights: Array, q0: int, q1: int, r0: int, r1: int) -> Array:
        """The sums at t = q hop + r for rows q0 .. q1-1 and columns r0 .. r1-1."""
        hop, size, frames = self.hop, self.size, weights.shape[1]
        grid = np.zeros((weights.shape[0], q1 - q0, r1 - r0))
        k = np.arange(q0, q1)
        for i in range(-(-size // hop)):
            j = np.arange(r0, r1) + i * hop
            j = j[j < size]
            inside = (k - i >= 0) & (k - i < frames)
            if not j.size:
                break
            if inside.any():
                w = np.where(inside, weights[:, np.clip(k - i, 0, max(frames - 1, 0))], 0.0)
                grid[:, :, :j.size] += w[:, :, np.newaxis] * _window(j, size)
        return grid

    def gains(self, r0: int, r1: int, a: int, b: int) -> Array:
        """The gains of channels r0 .. r1-1 at samples a .. b-1 (any b: see the class)."""
        if b <= a or self.n == 0:
            return np.ones((r1 - r0, max(b - a, 0)))
        # Past the end: the last sample's gains, repeated.
        lo = min(a, self.n - 1)
        hi = max(min(b, self.n), lo + 1)
        out = self._sum(self.mask[r0:r1], lo, hi)
        np.divide(out, self._sum(np.ones((1, self.mask.shape[1])), lo, hi), out=out)
        if b > self.n:
            out = out[:, np.minimum(np.arange(a, b), self.n - 1) - lo]
        return out


def _mask_gains(mask: ArrayLike, n: int, fs: int, channels: int, frame: float, hop: float) -> _Spread:
    """The checked (channels x frames) mask for n samples, ready to spread over them."""
    frame_len, hop_len = _frames._frame_samples(fs, frame, hop)
    return _Spread(_check_mask(mask, (channels, _frames._frame_count(n, frame_len, hop_len))), n, frame_len, hop_len)


class ResynthesisStream(_Closable):
    """The causal resynthesis of a signal fed in chunks.

    ``process(chunk, gains=None)`` returns as many samples as it is given:
    the resynthesis delayed by ``lag = round(delay * fs)`` samples (the
    first ``lag`` are the filters' start from rest).  ``close()`` returns
    the last ``lag`` samples, as if ``lag`` zeros followed, under the gains
    of the last sample given (unit gains if its chunk had ``gains=None``).
    ``process(chunk, gains, last=True)`` returns the chunk's samples and
    these together, and closes the stream.  Concatenated, less the first
    ``lag`` samples, everything returned equals ``resynthesize(x, fs, cfs,
    delay=delay)`` bit for bit, however x is chunked.

    Parameters
    ----------
    fs, cfs, workers
        As for :func:`resynthesize` (cfs strictly ascending).
    delay : float, default 0.004
        The total delay in seconds, in [0, 1].  A stream is necessarily
        causal: it returns each sample before the signal ends, so it cannot
        run :func:`resynthesize`'s default zero-phase design, which filters
        every channel backwards from the end.  4 ms keeps a live signal's
        latency short and reaches about 37 dB SNR on in-band noise; a
        longer delay reaches more (16 ms: about 53 dB), as more of the low
        channels' group delay (about 21 ms at 50 Hz, 6 ms at 500 Hz) fits
        within it.
    axis : int or None, default None
        None: chunks are 1-D.  Otherwise the time axis of chunks holding
        many signals, as for :func:`resynthesize`.  The first chunk with
        samples fixes the other axes; a chunk with others is refused
        (ValueError) and leaves the stream as it was.  Each chunk's result
        is shaped like it; ``close()`` returns each signal's last ``lag``
        samples, shaped likewise (an empty array if no chunk had samples).
        Every signal gives the bits of a 1-D stream fed that signal alone.

    Attributes
    ----------
    design : ResynthesisDesign
        The design in use (``design.lag`` is the delay in samples).
    fs : int
    cfs : ndarray
    samples : int
        Samples fed so far, per signal.
    closed : bool

    Raises
    ------
    TypeError
        For a delay that is not a number (a bool included), an axis that is
        not an int, and as :func:`resynthesize` for fs, cfs and workers.
    ValueError
        For ``delay=None`` (a stream cannot be zero-phase), a delay outside
        [0, 1] s, and as :func:`resynthesize`.  ``process`` raises it for a
        chunk with other axes, gains of another shape or not finite, and
        after ``close()``; a refused chunk leaves the stream as it was.

    Notes
    -----
    gains: None (every channel 1), or per-channel weights applied to the
    channels' analytic outputs before the delays and the sum, (channels,)
    for the whole chunk or (channels x len(chunk)) per sample: a live mask.
    With ``axis`` they are shared by every signal, or given per signal
    with the chunk's other axes in front.

    Why ``gains`` here and ``mask`` in :func:`resynthesize`: they are the
    same weights at two stages.  A mask holds one weight per channel and
    cochleagram frame, the form ideal masks and models produce, and needs
    the frames around a sample to weight it; a stream has no later frames
    when it must return a sample, so it takes the weights already spread
    over samples (or one per channel), which is what ``resynthesize``
    turns its mask into before it filters.

    Leaving a ``with`` block with samples held back that ``close()`` never
    returned warns (RuntimeWarning), unless the block ends by an exception.
    ``reset()`` starts afresh; one call runs at a time, as for
    :class:`Stream`.

    Examples
    --------
    >>> fs = 16000
    >>> cfs = erb_space(100, 6000, 32)
    >>> x = np.random.default_rng(0).standard_normal(fs // 4)
    >>> with ResynthesisStream(fs, cfs, delay=0.004) as live:
    ...     parts = [live.process(chunk) for chunk in np.array_split(x[:3000], 3)]
    ...     parts.append(live.process(x[3000:], gains=np.ones(32), last=True))
    >>> lag = live.design.lag
    >>> lag, sum(p.size for p in parts) - x.size
    (64, 64)
    >>> np.array_equal(np.concatenate(parts)[lag:], resynthesize(x, fs, cfs, delay=0.004))
    True
    >>> ResynthesisStream(fs, cfs, delay=None)
    Traceback (most recent call last):
        ...
    ValueError: delay must be a number of seconds: a stream cannot be zero-phase
    """

    def __init__(
        self,
        fs: SupportsIndex | float,
        cfs: ArrayLike,
        *,
        delay: float = 0.004,
        workers: int | None = None,
        axis: int | None = None,
    ) -> None:
        if delay is None:
            raise ValueError("delay must be a number of seconds: a stream cannot be zero-phase")
        self.design = resynthesis_design(fs, cfs, delay)
        self.fs, self.cfs = self.design.fs, self.design.cfs.copy()
        self._workers = _checks.workers(workers)
        self._axis = _axis.time_axis(axis)
        self._history = int(self.design.delays.max())
        self._lock = threading.Lock()
        self._start()

    def _start(self) -> None:
        # One part per signal; with an axis, made by the first chunk with samples.
        self._signals = [] if self._axis is not None else [_Signal(self.design, self._history)]
        self._batch: tuple[int, ...] | None = None
        self._time_axis = 0
        self.closed = False
        self.samples = 0

    def _chunk(self, chunk: ArrayLike) -> _axis.Signals:
        """The chunk's signals, checked against the stream's other axes."""
        s = _axis.signals(chunk, self._axis, "chunk")
        if self._axis is not None and self._batch is not None and s.batch != self._batch:
            raise ValueError(
                f"chunk must keep the other axes of the stream's first chunk, {self._batch}, got {s.batch} "
                f"(axis={self._axis}): feed each batch to a stream of its own"
            )
        return s

    def process(self, chunk: ArrayLike, gains: ArrayLike | None = None, *, last: bool = False) -> Array:
        """Resynthesise the next samples (see the class); with ``last=True`` also close."""
        ending = _checks.flag("last", last)
        with self._lock:
            if self.closed:
                raise ValueError(CLOSED)
            s = self._chunk(chunk)
            rows = s.rows if s.batch is not None else s.rows[np.newaxis]
            n = rows.shape[1]
            g = _check_gains(gains, self.cfs.size, n, s.batch)
            if s.batch is not None and self._batch is None:
                if rows.size == 0:
                    out = np.empty(rows.shape)
                    return _axis.like_x(out, s) if not ending else self._close(s)
                self._batch, self._time_axis = s.batch, s.axis
                self._signals = [_Signal(self.design, self._history) for _ in range(rows.shape[0])]
            out = np.empty((rows.shape[0], n))
            for i, part in enumerate(self._signals):
                out[i] = part.step(rows[i], None if g is None else g[i], self._workers)
            self.samples += n
            if ending:
                out = np.concatenate([out, self._tail()], axis=1)
                self.closed = True
            return out[0] if s.batch is None else _axis.like_x(out, s)

    def close(self) -> Array:
        """End the stream; returns the last ``lag`` samples (see the class)."""
        with self._lock:
            if self.closed:
                raise ValueError(CLOSED)
            self.closed = True
            tail = self._tail()
            if self._axis is None:
                one: Array = tail[0]
                return one
            if self._batch is None:
                return np.empty(0)
            return _axis.like_x(tail, _axis.Signals(tail, self._batch, self._time_axis))

    def _close(self, s: _axis.Signals) -> Array:
        """close() for a stream that never saw a sample, shaped like the empty chunk s."""
        self.closed = True
        return _axis.like_x(np.zeros((s.rows.shape[0], 0)), s)

    def _tail(self) -> Array:
        lag = self.design.lag
        return np.array([part.step(np.zeros(lag), part.last, self._workers) for part in self._signals]).reshape(
            len(self._signals), lag)

    def _held_back(self) -> str | None:
        if not self.samples or not self.design.lag:
            return None
        count = len(self._signals)
        return f"the last {self.design.lag} samples" + (f" of each of its {count} signals" if count > 1 else "")


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
    axis: int | None = None,
) -> Array:
    """x analysed by the bank and summed back: len(x) samples aligned with x.

    Parameters
    ----------
    x : array_like
        The signal, real and finite: 1-D, or many signals with ``axis``
        naming their time axis.
    fs, cfs, workers
        As for :func:`filterbank` (same checks); cfs must also be in
        strictly ascending order, as :func:`erb_space` gives them.
    mask : array_like or None, default None
        None resynthesises unmasked.  Otherwise (channels, frames) weights
        in [0, 1] on the frames of ``cochleagram(x, fs, cfs, frame=frame,
        hop=hop)`` (with x's other axes in front when ``axis`` is given).
        Each frame's weight is spread over its samples by overlapping raised
        cosines, normalised so that an all-ones mask changes nothing (to
        1e-12 relative) and an all-zeros mask gives silence, and multiplies
        the channel's analysis output: the very signal whose levels the
        cochleagram holds.
    frame, hop : float, default 0.025, 0.010
        The mask's frames in seconds, as for :func:`cochleagram`; checked
        even without a mask.
    delay : float or None, default None
        None: the zero-phase design.  Each channel's output, continued past
        the end of x until the slowest channel has rung down by 120 dB
        (about 0.15 s at most), is time-reversed, filtered again by the same
        channel, reversed back and weighted, so the last samples come back
        as well as the middle.  Up to 256 MiB of forward output (channels x
        samples as doubles: 64 channels of about 10 s at 48 kHz) the
        forward pass is kept whole; beyond it, it runs in blocks of 65536
        samples from saved copies of the engine, rerun on the way back, so
        memory follows channels x 65536 samples, not the signal.  Either way
        the result has the bits of the whole signal done at once.

        A number of seconds in [0, 1]: the causal design with that total
        delay, ``round(delay * fs)`` samples (:class:`ResynthesisStream`
        fed once), removed from the result.  The default differs from the
        stream's 0.004 because a one-shot call has the whole signal, so it
        need not be causal; pass ``delay=0.004`` to get the stream's result.
    axis : int or None, default None
        None: x is 1-D.  Otherwise the time axis of an x holding many
        signals (``axis=-1`` for (signals, samples), ``axis=0`` for the
        (frames, channels) arrays of sound-file readers).  The result has
        x's shape, time where it was, and each signal the bits of a 1-D
        call on it.

    Returns
    -------
    ndarray
        float64, x's shape: the resynthesis, aligned with x.

    Raises
    ------
    TypeError
        For an argument of the wrong kind: a delay that is not None or a
        number (a bool included), a complex or non-numeric mask, an axis
        that is not an int, and as :func:`filterbank` for x, fs, cfs and
        workers.
    ValueError
        For x with a NaN or infinite sample (named with its index: it would
        spread to every sample the zero-phase passes reach), unsorted cfs, a
        delay outside [0, 1] s, a frame or hop that is not a positive
        duration, a mask of another shape than the cochleagram's or with a
        weight outside [0, 1], a design over 2 GiB, and as
        :func:`filterbank`.

    Notes
    -----
    Only the band from the lowest to the highest centre frequency is
    reconstructed (what lies outside is attenuated as the outermost filters
    attenuate it), and a causal delay shorter than the group delay of the
    lowest channels (about 20 ms at 50 Hz) leaves those channels late,
    which the weights can only partly correct.

    Examples
    --------
    >>> fs = 16000
    >>> cfs = erb_space(100, 6000, 32)
    >>> x = np.random.default_rng(0).standard_normal(fs // 4)
    >>> y = resynthesize(x, fs, cfs)
    >>> y.shape
    (4000,)
    >>> mask = np.ones((32, 24))            # the shape of cochleagram(x, fs, cfs)
    >>> np.allclose(resynthesize(x, fs, cfs, mask=mask), y, rtol=0, atol=1e-12 * np.abs(y).max())
    True
    >>> stereo = np.stack([x, -x], axis=1)  # (samples, 2), as sound-file readers give it
    >>> both = resynthesize(stereo, fs, cfs, axis=0)
    >>> both.shape, np.array_equal(both[:, 0], y)
    ((4000, 2), True)
    >>> resynthesize(x, fs, cfs, delay=True)
    Traceback (most recent call last):
        ...
    TypeError: delay must be None (zero-phase) or a number of seconds, got True
    """
    rate = _checks.fs(fs)
    centres = _checks.cfs(cfs, rate)
    s = _axis.signals(x, axis)
    lag = _check_delay(delay, rate)
    frame_len, hop_len = _frames._frame_samples(rate, frame, hop)
    rows = s.rows if s.batch is not None else s.rows[np.newaxis]
    _finite("x", s.rows)
    design = resynthesis_design(rate, centres, None if lag is None else lag / rate)
    n = rows.shape[1]
    shape = (centres.size, _frames._frame_count(n, frame_len, hop_len))
    masks = None if mask is None else _check_mask(mask, (s.batch or ()) + shape).reshape((-1,) + shape)
    threads = _checks.workers(workers)
    out = np.empty(rows.shape)
    for i, row in enumerate(rows):
        spread = None if masks is None else _Spread(masks[i], n, frame_len, hop_len)
        if lag is None:
            out[i] = _zero_phase(row, design, spread, threads)
        else:
            out[i] = _causal(row, design, spread, threads)
    return out[0] if s.batch is None else _axis.like_x(out, s)


def _causal(x: Array, design: ResynthesisDesign, spread: _Spread | None, threads: int) -> Array:
    """The stream fed block by block, which gives the same bits as one call
    and keeps memory at channels x block."""
    part = _Signal(design, int(design.delays.max()))
    n, lag, channels = x.size, design.lag, design.cfs.size
    out = np.empty(n + lag)
    for a in range(0, n, CAUSAL_BLOCK):
        b = min(a + CAUSAL_BLOCK, n)
        gains = None if spread is None else spread.gains(0, channels, a, b)
        out[a:b] = part.step(x[a:b], gains, threads)
    out[n:] = part.step(np.zeros(lag), part.last, threads)
    return out[lag:]


def _zero_phase(x: Array, design: ResynthesisDesign, spread: _Spread | None, threads: int) -> Array:
    """Analysis rung out past the end, time reversal, a second pass, time
    reversal and the weighted sum.

    Where the forward output fits ZERO_PHASE_MEMORY it is one block, kept
    whole.  Beyond it, blocks of ZERO_PHASE_BLOCK samples: the forward pass
    keeps a copy of its engine at each block's start; the backward pass then
    takes the blocks last to first, reruns each from its copy (the engine
    gives the same bits however a signal is split) and feeds it, reversed,
    to the second engine.  The result has the same bits for any block size,
    SIMD level and number of threads.
    """
    fs, cfs = design.fs, design.cfs
    weights = np.asarray(design.weights, np.float64)
    n, channels = x.size, cfs.size
    total = n + _ring_out(fs, cfs) if n else 0
    block = max(total, 1) if channels * total * 8 <= ZERO_PHASE_MEMORY else ZERO_PHASE_BLOCK
    starts = list(range(0, total, block))
    u = np.empty((channels, min(block, total)))
    forward = _engine.Engine(fs, cfs)
    states = []
    for a in starts[:-1]:
        states.append(forward.copy())
        _bank._drive(forward, _padded(x, a, a + block), {"bm": u}, threads)
    states.append(forward)
    backward = _engine.Engine(fs, cfs)
    out = np.empty(n)
    for a in reversed(starts):
        b = min(a + block, total)
        m = b - a
        _bank._drive(states.pop(), _padded(x, a, b), {"bm": u[:, :m]}, threads)
        if spread is not None:
            # The gains a ZERO_PHASE_BLOCK at a time, whatever the block.
            for c in range(a, b, ZERO_PHASE_BLOCK):
                d = min(c + ZERO_PHASE_BLOCK, b)
                u[:, c - a:d - a] *= spread.gains(0, channels, c, d)
        y = _second_pass(backward, u[:, :m][:, ::-1], weights, threads)
        if a < n:
            end = min(b, n)
            out[a:end] = y[::-1][:end - a]
    return out


def _second_pass(engine: _engine.Engine, backwards: Array, weights: Array, threads: int) -> Array:
    """The weighted sum of every channel filtering its own row of backwards.

    Each task takes SUM_CHANNELS channels (whole groups of the engine) and
    runs them through the block a step at a time into a small buffer that
    the weighted sum then reads from cache: no second (channels x samples)
    array, whose first touch alone would cost about as much as the
    filtering.  Each task sums its channels in order, and the tasks' sums
    are added in order, so the result depends neither on threads nor on
    the SIMD level.
    """
    channels, n = backwards.shape
    width = engine.width
    chunks = -(-channels // SUM_CHANNELS)
    partial = np.zeros((chunks, n))

    def task(j: int) -> None:
        c0, c1 = j * SUM_CHANNELS, min((j + 1) * SUM_CHANNELS, channels)
        g0, g1 = c0 // width, -(-c1 // width)
        # Only these groups' rows of the buffer are ever written (or touched).
        buffer = np.empty((channels, min(n, SECOND_PASS_BLOCK)))
        rows, w = buffer[c0:c1], weights[c0:c1, np.newaxis]
        for b in range(0, n, SECOND_PASS_BLOCK):
            m = min(SECOND_PASS_BLOCK, n - b)
            engine.process(backwards[:, b:b + m], g0, g1, bm=buffer)
            # Every product rounded on its own, as weights[c] * row would be.
            weighted = np.multiply(rows[:, :m], w, out=rows[:, :m])
            total = partial[j, b:b + m]
            for row in weighted:
                np.add(total, row, out=total)

    _threads._run(task, chunks, _threads.useful(n * channels, threads))
    y = np.zeros(n)
    for row in partial:
        np.add(y, row, out=y)
    return y


def _padded(x: Array, a: int, b: int) -> Array:
    """Samples a .. b-1 of x followed by zeros."""
    if b <= x.size:
        return x[a:b]
    out = np.zeros(b - a)
    out[:max(x.size - a, 0)] = x[a:]
    return out
