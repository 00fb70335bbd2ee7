"""ERB-spaced centre frequencies, the filterbank and the cochleagram.

Every channel runs on the compiled engine (gammatone_bank._engine), which
packs channels side by side into SIMD lanes and filters groups of them on
several threads at once, without the interpreter lock.  Each channel holds
exactly the bits a lone call of the single-channel gammatone_c filter would
have produced.
"""

import math
import os
import queue
import threading
from collections.abc import Callable
from typing import NamedTuple, SupportsIndex, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from gammatone_bank import _axis, _checks, _engine
from gammatone_bank._checks import INT32_MAX, MAX_CHANNELS

# Glasberg & Moore: ERB(f) = 24.7 (0.00437 f + 1) Hz, and the ERB number
# (the count of ERBs below f) is 21.4 log10(0.00437 f + 1).
ERB_SCALE = 21.4
ERB_SLOPE = 0.00437

# Mean squares below this (-120 dB) are shown as -120 dB, so silence gives a
# finite level instead of -inf.
LEVEL_FLOOR = 1e-12

Array = NDArray[np.float64]


class Filterbank(NamedTuple):
    """The outputs of :func:`filterbank`, one row per centre frequency.

    Every array is C-contiguous of shape (channels, samples), or for a batch
    (x's other axes) + (channels, samples), float64 but for ``analytic``
    (complex128); an output that was not asked for is None.

    Attributes
    ----------
    cfs : ndarray
        The centre frequencies in Hz, a float64 copy.
    bm : ndarray
        The filtered signal of each channel.
    env : ndarray or None
        Its envelope.
    instp : ndarray or None
        Its unwrapped instantaneous phase relative to cf, in radians.
    instf : ndarray or None
        Its instantaneous frequency in Hz.
    analytic : ndarray or None
        ``bm`` plus i times its quadrature, complex128.
    """

    cfs: Array
    bm: Array
    env: Array | None
    instp: Array | None
    instf: Array | None
    analytic: NDArray[np.complex128] | None = None


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
    lo, hi = _checks.real("low", low), _checks.real("high", high)
    if not (math.isfinite(lo) and lo > 0.0):
        raise ValueError(f"low must be a positive finite frequency, got {low!r}")
    if not (math.isfinite(hi) and hi > lo):
        raise ValueError(f"high must be finite and above low ({lo!r}), got {high!r}")
    count = _checks.index("n", n)
    if count < 2:
        raise ValueError(f"n must be an int of at least 2 (both low and high are included), got {n!r}")
    if count > MAX_CHANNELS:
        raise ValueError(f"n must be at most {MAX_CHANNELS}, got {n!r}")
    steps = np.linspace(erb_number(lo), erb_number(hi), count)
    cfs: Array = (10.0 ** (steps / ERB_SCALE) - 1.0) / ERB_SLOPE
    # The round trip through the logarithm may move the ends by an ulp or two.
    cfs[0], cfs[-1] = lo, hi
    if not np.all(np.diff(cfs) > 0.0):
        raise ValueError(f"low and high are too close for {count} distinct frequencies")
    return cfs


def filterbank(
    x: ArrayLike,
    fs: SupportsIndex | float,
    cfs: ArrayLike,
    *,
    env: bool = False,
    instp: bool = False,
    instf: bool = False,
    workers: int | None = None,
    analytic: bool = False,
    axis: int | None = None,
) -> Filterbank:
    """Filter x through one gammatone channel per centre frequency.

    Parameters
    ----------
    x : array_like
        The signal: 1-D samples, or with ``axis`` a batch of signals.  Any
        array_like that casts safely to float64, converted once and shared
        by every channel (C-contiguous float64 is read without a copy).
        Samples are filtered as the numbers they are: integer audio (int16
        from a WAV reader, say) is not scaled, so divide it by its full
        scale (32768 for int16) first to read levels re full scale.  One
        NaN or infinity makes every later sample of every channel of its
        signal non-finite.
    fs : int
        The sample rate in Hz, 1 .. 2**31 - 1; a float only when it is a
        whole number (16000.0 is 16000).
    cfs : float or array_like
        The centre frequencies in Hz: a number (one channel) or a non-empty
        1-D array_like, each finite and strictly between 0 and fs/2.  A
        bare int is refused (see Raises).
    env, instp, instf : bool, optional
        Also return the envelope, the unwrapped instantaneous phase
        relative to cf (radians) and the instantaneous frequency (Hz).
    workers : int or None, optional
        Threads to filter groups of channels on, the calling thread among
        them; 1 filters in the calling thread only.  None (the default):
        the CPUs this process may use, ``os.process_cpu_count()``.  Short
        inputs run in the calling thread whatever it is.
    analytic : bool, optional
        Also return the analytic output, complex128: ``bm`` plus i times its
        quadrature, computed in the same pass.  Its real part is ``bm`` bit
        for bit and its magnitude ``env`` to rounding.
    axis : int or None, optional
        None (the default): x must be 1-D.  An int: the axis of x that
        holds time, as in ``scipy.signal.lfilter``; every signal along it
        (x's other axes, in C order) is filtered.  ``axis=-1`` takes a
        (signals, samples) array, ``axis=0`` the (frames, channels) arrays
        that sound-file readers return.  Negative values count from the
        end.

    Returns
    -------
    Filterbank
        ``cfs`` (a float64 copy) and one new C-contiguous array per output
        asked for (None for the others): float64 (``analytic``:
        complex128) of shape (len(cfs), len(x)) for a 1-D x; with
        ``axis``, x's other axes in order followed by (len(cfs), samples).
        A (2, 3, n) x with ``axis=-1`` gives (2, 3, channels, n); an (n, 2)
        x with ``axis=0`` gives (2, channels, n).  A zero-length signal
        gives rows of length 0.

    Raises
    ------
    TypeError
        When x does not cast safely to float64 (complex, strings); when
        axis is not an int or None (a bool is refused); when cfs is None or
        a bare int (a channel count is not a centre frequency: use
        ``erb_space(low, high, n)``); when env, instp, instf or analytic is
        not a bool.
    ValueError
        Naming the argument: for fs, cfs or workers out of range; for x
        that is not 1-D when axis is None (the message gives the fix,
        ``axis=-1`` for (signals, samples) and ``axis=0`` for (frames,
        channels)); for a 0-d x or an axis out of range with axis given;
        and for more than 2**31 - 1 samples per signal.

    See Also
    --------
    Stream : the same outputs for a signal fed in chunks.
    cochleagram : frame levels without keeping the filtered signals.
    impulse_response, frequency_response : the bank's response.

    Notes
    -----
    Row i is bit for bit what ``gammatone_c.gammatone_c(x, len(x), fs,
    cfs[i], ...)`` writes, whatever ``workers`` and the SIMD target are:
    every channel starts from rest and runs alone.  In a batch, every
    (signal, channel) row is bit for bit the row of the 1-D call on that
    signal.  The engine fills its vectors with the channels of several
    signals at once, so many short signals run about as fast as one long
    signal of the same total length.  A batch whose axes allow it (an
    (n, 2) stereo array with ``axis=0``, say) is read where it lies,
    without a transposed copy; no array larger than the outputs is made.

    Examples
    --------
    >>> fs = 16000
    >>> cfs = erb_space(100, 4000, 8)
    >>> x = np.random.default_rng(0).standard_normal((3, fs // 10))
    >>> bank = filterbank(x, fs, cfs, env=True, axis=-1)
    >>> bank.bm.shape, bank.env.shape, bank.instp is None
    ((3, 8, 1600), (3, 8, 1600), True)
    >>> np.array_equal(bank.bm[1], filterbank(x[1], fs, cfs).bm)
    True

    A stereo array as sound-file readers return it, (frames, channels):

    >>> stereo = x[:2].T
    >>> filterbank(stereo, fs, cfs, axis=0).bm.shape
    (2, 8, 1600)
    """
    rate = _checks.fs(fs)
    centres = _checks.cfs(cfs, rate)
    s = _axis.signals(x, axis, strided=True)
    threads = _checks.workers(workers)
    env, instp, instf, analytic = (
        _checks.flag(k, v) for k, v in (("env", env), ("instp", instp), ("instf", instf), ("analytic", analytic))
    )
    n = s.rows.shape[-1]
    shape = _lead(s) + (centres.size, n)
    bm = np.empty(shape)
    env_out = np.empty(shape) if env else None
    instp_out = np.empty(shape) if instp else None
    instf_out = np.empty(shape) if instf else None
    analytic_out = np.empty(shape, np.complex128) if analytic else None
    engine = _engine.Engine(rate, centres, phase=instp or instf, signals=_signal_count(s))
    outputs = (*map(_lanes, (bm, env_out, instp_out, instf_out)), None, _lanes(analytic_out))
    _drive(engine, s.rows, outputs, threads)
    # The last sample has no next phase to difference: its frequency is cf.
    if instf_out is not None and n:
        instf_out[..., n - 1] = centres
    return Filterbank(centres, bm, env_out, instp_out, instf_out, analytic_out)


def _lead(s: _axis.Signals) -> tuple[int, ...]:
    """The axes that come before (channels, columns) in a result for x taken as s."""
    return () if s.batch is None else s.batch


def _signal_count(s: _axis.Signals) -> int:
    """The signals an engine filters for x taken as s: one for a 1-D x."""
    return 1 if s.batch is None else s.rows.shape[0]


@overload
def _lanes(a: NDArray[np.generic]) -> Array: ...
@overload
def _lanes(a: NDArray[np.generic] | None) -> Array | None: ...
def _lanes(a: NDArray[np.generic] | None) -> Array | None:
    """An output of shape lead + (channels, columns) as a view of the
    engine's (lanes x columns) rows, lane s * channels + c holding channel c
    of signal s; a complex output as its float64 (re, im) pairs."""
    if a is None:
        return None
    if a.dtype == np.complex128:
        a = a.view(np.float64)
    rows: Array = np.reshape(a, (math.prod(a.shape[:-1]), a.shape[-1]), copy=False)
    return rows


# Below this many lane-samples a call filters in the calling thread only:
# starting threads would cost more than they save.
THREAD_MIN = 1 << 16

# Lane-samples a thread takes at a time, at least (a few tenths of a
# millisecond of filtering), so that a batch of many short signals is handed
# out in a few hundred pieces rather than one per group of lanes; and each
# thread gets this many pieces, at least, to even out the load.
TASK_MIN = 1 << 17
TASKS_PER_THREAD = 4


def _drive(
    engine: _engine.Engine,
    x: Array,
    outputs: tuple[Array | None, ...],
    threads: int,
) -> None:
    """Run x through every lane group of engine, on up to `threads` threads.

    outputs are (bm, env, instp, instf, frame sums[, analytic pairs]), each
    None or a (lanes x columns) array the engine writes in place.  x is the
    shared 1-D input, (signals x samples) with one row per signal, or
    (lanes x samples) with one row per lane.  Threads take runs of
    consecutive groups.
    """
    groups = engine.groups
    work = x.shape[-1] * engine.width
    if work * groups < THREAD_MIN:
        threads = 1
    if threads == 1:
        engine.process(x, 0, groups, *outputs)
        return
    run = max(1, min(-(-TASK_MIN // work), groups // (TASKS_PER_THREAD * threads)))

    def task(k: int) -> None:
        engine.process(x, k * run, min(k * run + run, groups), *outputs)

    _run(task, -(-groups // run), threads)


class _Helpers:
    """Threads kept waiting for work, so that a call does not pay for
    starting and joining threads: with a 1 s signal the whole bank takes
    about a millisecond, of which a thread's start and join would be a
    large share.  Each helper takes callables from its own queue; the pool
    grows to the most helpers any call has asked for.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._queues: list[queue.SimpleQueue[Callable[[], None]]] = []

    def _serve(self, jobs: "queue.SimpleQueue[Callable[[], None]]") -> None:
        while True:
            jobs.get()()

    def start(self, work: Callable[[], None], count: int) -> None:
        """Run work() on `count` helpers."""
        with self._lock:
            while len(self._queues) < count:
                jobs: queue.SimpleQueue[Callable[[], None]] = queue.SimpleQueue()
                name = f"gammatone_bank-{len(self._queues) + 1}"
                threading.Thread(target=self._serve, args=(jobs,), name=name, daemon=True).start()
                self._queues.append(jobs)
            for jobs in self._queues[:count]:
                jobs.put(work)

    def forget(self) -> None:
        """In a forked child the helper threads are gone: start afresh."""
        self._lock = threading.Lock()
        self._queues = []


_helpers = _Helpers()
os.register_at_fork(after_in_child=_helpers.forget)


def _run(task: Callable[[int], None], count: int, threads: int) -> None:
    """task(0) .. task(count - 1) on up to `threads` threads, the caller's included.

    Tasks are handed out one at a time from a shared iterator, so a thread
    slowed down by other work on the machine simply takes fewer of them.  The
    calling thread works too, and the others are helpers kept waiting
    between calls.  The first exception a task raises stops every thread
    after its current task and is raised here, once every helper is done.
    """
    threads = min(threads, count)
    if threads == 1:
        for i in range(count):
            task(i)
        return
    rows = iter(range(count))
    lock = threading.Lock()
    errors: list[BaseException] = []
    finished: queue.SimpleQueue[None] = queue.SimpleQueue()

    def work() -> None:
        while not errors:
            with lock:
                i = next(rows, None)
            if i is None:
                return
            try:
                task(i)
            except BaseException as exc:
                errors.append(exc)

    def helper() -> None:
        try:
            work()
        finally:
            finished.put(None)

    _helpers.start(helper, threads - 1)
    try:
        work()
    finally:
        for _ in range(threads - 1):
            finished.get()
    if errors:
        raise errors[0]


# Frames open at once, at most: frame / hop.
MAX_OPEN_FRAMES = 1 << 16


def _frame_samples(fs: int, frame: float, hop: float) -> tuple[int, int]:
    """The frame and hop lengths in whole samples (rounded to nearest)."""
    lengths = []
    for name, seconds in (("frame", frame), ("hop", hop)):
        value = _checks.real(name, seconds)
        if not (math.isfinite(value) and value > 0.0):
            raise ValueError(f"{name} must be a positive finite duration in seconds, got {seconds!r}")
        length = round(value * fs)
        if length < 1:
            raise ValueError(f"{name} must be at least one sample (1/fs = {1 / fs:g} s), got {seconds!r}")
        lengths.append(length)
    # Every open frame keeps a sum per channel, and frame / hop of them are open.
    if lengths[0] > MAX_OPEN_FRAMES * lengths[1]:
        raise ValueError(f"frame must be at most {MAX_OPEN_FRAMES} hops long, got {frame!r} s with hop {hop!r} s")
    if lengths[1] > INT32_MAX:
        raise ValueError(f"hop must be at most {INT32_MAX} samples, got {hop!r} s")
    return lengths[0], lengths[1]


def _frame_count(n: int, frame_len: int, hop_len: int) -> int:
    """Frames start every hop_len samples, before the end of n samples, for
    as long as the previous frame stopped short of the end."""
    if n == 0:
        return 0
    return min(-(-n // hop_len), 1 + -(-max(n - frame_len, 0) // hop_len))


def _levels(sums: Array, covered: int | NDArray[np.int64], scale: Array | None) -> Array:
    """Turn frame sums of squares into dB in place: 10 log10 of the mean
    square sums / covered (samples per frame, one count or one per column),
    divided by scale per channel, floored."""
    np.divide(sums, covered, out=sums)
    if scale is not None:
        np.divide(sums, scale[:, np.newaxis], out=sums)
    np.maximum(sums, LEVEL_FLOOR, out=sums)
    np.log10(sums, out=sums)
    np.multiply(sums, 10.0, out=sums)
    return sums


# Rows squared at a time by frame_levels: its memory follows this, not bm.
LEVEL_ROWS = 16


def frame_levels(bm: ArrayLike, frame_len: SupportsIndex, hop_len: SupportsIndex) -> Array:
    """Level in dB of each row of bm over frames of frame_len samples.

    Frame k covers samples k*hop_len .. k*hop_len + frame_len - 1, clipped to
    the row.  Frames start every hop_len samples, as long as they start
    before the end and the previous frame stopped short of it; an empty row
    gives none.  Each frame's squares are added in sample order, so on a
    bank from :func:`filterbank` the levels equal :func:`cochleagram`'s bit
    for bit.

    Parameters
    ----------
    bm : array_like
        2-D (channels x samples) real numbers, such as ``filterbank(...).bm``.
    frame_len, hop_len : int
        The frame length and the hop in samples, each at least 1.

    Returns
    -------
    ndarray
        (channels, frames) float64: 10 log10(max(mean square, 1e-12)) over
        the samples a frame covers, dB re a mean square of 1, floored at
        -120 dB.

    Raises
    ------
    TypeError
        Naming the argument, for bm that is not real numbers and for
        frame_len or hop_len that is not an int.
    ValueError
        For bm that is not 2-D and for lengths below 1.
    """
    flen = _checks.length("frame_len", frame_len)
    hlen = _checks.length("hop_len", hop_len)
    b = _checks.float64("bm", bm, "real numbers")
    if b.ndim != 2:
        raise ValueError(f"bm must be 2-D (channels x samples), got shape {b.shape}")
    channels, n = b.shape
    # Lengths past the row's own change nothing, and keep the arithmetic small.
    flen, hlen = min(flen, max(n, 1)), min(hlen, max(n, 1))
    frames = _frame_count(n, flen, hlen)
    level = np.empty((channels, frames))
    if frames == 0:
        return level
    starts = np.arange(frames) * hlen
    covered = np.minimum(starts + flen, n) - starts
    # Squares padded with zeros so the last frame's window is whole: adding
    # +0.0 changes no sum.  Each frame's sum grows one sample at a time.
    # Samples past the end add nothing, so no window needs more than n of them.
    span = min(flen, n)
    width = max(int(starts[-1]) + span, n)
    for r in range(0, channels, LEVEL_ROWS):
        rows = b[r:r + LEVEL_ROWS]
        squares = np.zeros((rows.shape[0], width))
        np.square(rows, out=squares[:, :n])
        sums = np.zeros((rows.shape[0], frames))
        for j in range(span):
            sums += squares[:, starts + j]
        level[r:r + LEVEL_ROWS] = _levels(sums, covered, None)
    return level
