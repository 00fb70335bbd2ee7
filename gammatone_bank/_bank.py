"""ERB-spaced centre frequencies, the threaded filterbank and the cochleagram.

Every channel is one call of the compiled single-channel filter on one row of
a preallocated (channels x samples) array.  The extension releases the
interpreter lock while it filters, so rows run on several threads at once,
and each row holds exactly the bits a lone call would have produced.
"""

import math
import operator
import os
import threading
from collections.abc import Callable
from typing import NamedTuple, SupportsIndex

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view
from numpy.typing import ArrayLike, NDArray

import gammatone_c

# The extension takes the sample count and the rate as 32-bit C ints.
INT32_MAX = 2**31 - 1

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

    Every array is C-contiguous float64 of shape (channels, samples); an
    output that was not asked for is None.
    """

    cfs: Array
    bm: Array
    env: Array | None
    instp: Array | None
    instf: Array | None


def erb_number(f: ArrayLike) -> Array:
    """The ERB number 21.4 log10(0.00437 f + 1) of each frequency f in Hz."""
    return ERB_SCALE * np.log10(ERB_SLOPE * np.asarray(f, dtype=np.float64) + 1.0)


def _real(name: str, value: float) -> float:
    """value as a float, or ValueError naming the argument."""
    if isinstance(value, (str, bytes)):
        raise ValueError(f"{name} must be a number, got {value!r}")
    try:
        return float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number, got {value!r}") from None


def erb_space(low: float, high: float, n: int) -> Array:
    """n centre frequencies from low to high Hz, equally spaced in ERB number.

    Returns a new 1-D float64 array in strictly ascending order whose first
    element is exactly ``low`` and whose last is exactly ``high``; the steps
    between neighbours are equal on the ERB-number scale
    21.4 log10(0.00437 f + 1) of Glasberg & Moore (to rounding).

    Both ends are always included, so ``n`` must be an int of at least 2;
    for a single channel pass its frequency to :func:`filterbank` directly.
    ValueError, naming the argument, unless 0 < low < high (both finite) and
    n >= 2, and when low and high are too close together to hold n distinct
    doubles.
    """
    lo, hi = _real("low", low), _real("high", high)
    if not (math.isfinite(lo) and lo > 0.0):
        raise ValueError(f"low must be a positive finite frequency, got {low!r}")
    if not (math.isfinite(hi) and hi > lo):
        raise ValueError(f"high must be finite and above low ({lo!r}), got {high!r}")
    try:
        count = -1 if isinstance(n, bool) else operator.index(n)
    except TypeError:
        count = -1
    if count < 2:
        raise ValueError(f"n must be an int of at least 2 (both low and high are included), got {n!r}")
    steps = np.linspace(erb_number(lo), erb_number(hi), count)
    cfs: Array = (10.0 ** (steps / ERB_SCALE) - 1.0) / ERB_SLOPE
    # The round trip through the logarithm may move the ends by an ulp or two.
    cfs[0], cfs[-1] = lo, hi
    if not np.all(np.diff(cfs) > 0.0):
        raise ValueError(f"low and high are too close for {count} distinct frequencies")
    return cfs


def _check_fs(fs: SupportsIndex | float) -> int:
    """fs as a positive 32-bit int: ints as they are, floats only when whole."""
    message = f"fs must be a whole number of Hz in 1 .. {INT32_MAX}, got {fs!r}"
    if isinstance(fs, (bool, np.bool_, str, bytes)):
        raise ValueError(message)
    try:
        # Exact for every int in range: they all fit a double's 53 bits.
        value = float(fs)
    except (TypeError, ValueError, OverflowError):
        raise ValueError(message) from None
    if not (value.is_integer() and 1 <= value <= INT32_MAX):
        raise ValueError(message)
    return int(value)


def _check_cfs(cfs: ArrayLike, fs: int) -> Array:
    """A private float64 copy of cfs, 1-D, non-empty, each in (0, fs/2)."""
    try:
        c = np.array(cfs, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"cfs must be numbers: {exc}") from None
    if c.ndim != 1:
        raise ValueError(f"cfs must be 1-D, got shape {c.shape}")
    if c.size == 0:
        raise ValueError("cfs must hold at least one centre frequency")
    bad = np.flatnonzero(~np.isfinite(c))
    if bad.size:
        raise ValueError(f"cfs must be finite, got {float(c[bad[0]])!r} at index {bad[0]}")
    nyquist = fs / 2
    bad = np.flatnonzero((c <= 0.0) | (c >= nyquist))
    if bad.size:
        raise ValueError(
            f"cfs must lie in (0, fs/2) = (0, {nyquist:g}) Hz, got {float(c[bad[0]])!r} at index {bad[0]}"
        )
    return c


def _check_x(x: ArrayLike, name: str = "x") -> Array:
    """x as one C-contiguous 1-D float64 array shared by every channel.

    Converted as the extension converts it, with safe casting only, so that a
    row equals a lone call on the same x; float64 C-contiguous input is used
    as it is, without a copy.
    """
    try:
        a = np.asarray(x)
        if a.dtype != np.float64:
            a = a.astype(np.float64, casting="safe")
    except (TypeError, ValueError) as exc:
        raise type(exc)(f"{name} cannot be converted to float64: {exc}") from None
    if a.ndim != 1:
        raise ValueError(f"{name} must be 1-D, got shape {a.shape}")
    if a.size > INT32_MAX:
        raise ValueError(f"{name} holds {a.size} samples, more than {INT32_MAX}")
    return np.ascontiguousarray(a)


def _check_workers(workers: int | None) -> int:
    if workers is None:
        return os.process_cpu_count() or 1
    if not isinstance(workers, bool):
        try:
            count = operator.index(workers)
        except TypeError:
            pass
        else:
            if count >= 1:
                return count
    raise ValueError(f"workers must be a positive int or None, got {workers!r}")


def filterbank(
    x: ArrayLike,
    fs: SupportsIndex | float,
    cfs: ArrayLike,
    *,
    env: bool = False,
    instp: bool = False,
    instf: bool = False,
    workers: int | None = None,
) -> Filterbank:
    """Filter x through one gammatone channel per centre frequency.

    x: 1-D samples, any array_like that casts safely to float64 (converted
    once and shared by all channels).  fs: sampling rate in Hz, a positive
    int; a float is accepted only when it is a whole number.  cfs: 1-D,
    non-empty centre frequencies in Hz, each finite and strictly between 0
    and fs/2.  env, instp, instf: also return the envelope, the unwrapped
    instantaneous phase (radians) and the instantaneous frequency (Hz).
    workers: threads to filter the channels on, the calling thread among them
    (default: the CPUs this process may use, ``os.process_cpu_count()``); 1
    filters them one after another in the calling thread.

    Returns a :class:`Filterbank` with ``cfs`` (a copy) and C-contiguous
    float64 arrays of shape (len(cfs), len(x)).  Row i is bit for bit what
    ``gammatone_c.gammatone_c(x, len(x), fs, cfs[i], ...)`` writes, whatever
    ``workers`` is: every channel starts from rest and runs alone.  A
    zero-length x gives rows of length 0.

    ValueError, naming the argument, for fs, cfs, x that is not 1-D (or longer
    than 2**31 - 1 samples) and workers; TypeError when x does not cast
    safely to float64.
    """
    rate = _check_fs(fs)
    centres = _check_cfs(cfs, rate)
    samples = _check_x(x)
    threads = _check_workers(workers)
    n = samples.size
    shape = (centres.size, n)
    bm = np.empty(shape)
    env_out = np.empty(shape) if env else None
    instp_out = np.empty(shape) if instp else None
    instf_out = np.empty(shape) if instf else None

    def row(a: Array | None, i: int) -> Array | None:
        return None if a is None else a[i]

    def channel(i: int) -> None:
        gammatone_c.gammatone_c(
            samples, n, rate, float(centres[i]), bm[i],
            row(env_out, i), row(instp_out, i), row(instf_out, i),
        )

    _run(channel, centres.size, threads)
    return Filterbank(centres, bm, env_out, instp_out, instf_out)


def _run(task: Callable[[int], None], count: int, threads: int) -> None:
    """task(0) .. task(count - 1) on up to `threads` threads, the caller's included.

    Rows are handed out one at a time from a shared iterator, so a thread
    slowed down by other work on the machine simply takes fewer of them.  The
    calling thread filters too instead of waiting on a pool: with a 1 s signal
    a row takes well under a millisecond, and the hand-offs of an executor
    cost a noticeable share of that.  The first exception a task raises stops
    every thread after its current row and is raised here.
    """
    threads = min(threads, count)
    if threads == 1:
        for i in range(count):
            task(i)
        return
    rows = iter(range(count))
    lock = threading.Lock()
    errors: list[BaseException] = []

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

    helpers = [threading.Thread(target=work, name=f"gammatone_bank-{k}") for k in range(1, threads)]
    started = []
    try:
        for helper in helpers:
            helper.start()
            started.append(helper)
        work()
    finally:
        for helper in started:
            helper.join()
    if errors:
        raise errors[0]


def _frame_samples(fs: int, frame: float, hop: float) -> tuple[int, int]:
    """The frame and hop lengths in whole samples (rounded to nearest)."""
    lengths = []
    for name, seconds in (("frame", frame), ("hop", hop)):
        value = _real(name, seconds)
        if not (math.isfinite(value) and value > 0.0):
            raise ValueError(f"{name} must be a positive finite duration in seconds, got {seconds!r}")
        length = round(value * fs)
        if length < 1:
            raise ValueError(f"{name} must be at least one sample (1/fs = {1 / fs:g} s), got {seconds!r}")
        lengths.append(length)
    return lengths[0], lengths[1]


def _frame_count(n: int, frame_len: int, hop_len: int) -> int:
    """Frames start every hop_len samples until one reaches sample n - 1."""
    return 0 if n == 0 else 1 + -(-max(n - frame_len, 0) // hop_len)


def frame_levels(bm: Array, frame_len: int, hop_len: int) -> Array:
    """Level in dB of each row of bm over frames of frame_len samples.

    Frame k covers samples k*hop_len .. k*hop_len + frame_len - 1, clipped to
    the row; frames start every hop_len samples for as long as the previous
    frame stopped short of the end, so a row of n >= 1 samples gives
    1 + ceil(max(n - frame_len, 0) / hop_len) frames and an empty row none.
    The level is 10 log10(max(mean square, 1e-12)) over the samples a frame
    covers: dB re a mean square of 1, floored at -120 dB.
    """
    channels, n = bm.shape
    frames = _frame_count(n, frame_len, hop_len)
    if frames == 0:
        return np.empty((channels, 0))
    starts = np.arange(frames) * hop_len
    covered = np.minimum(starts + frame_len, n) - starts
    # Squares padded with zeros so the last frame's window is whole; the
    # padding adds nothing to the sum and the mean divides by what is covered.
    squares = np.zeros((channels, (frames - 1) * hop_len + frame_len))
    np.square(bm, out=squares[:, :n])
    sums = sliding_window_view(squares, frame_len, axis=1)[:, ::hop_len].sum(axis=-1)
    level: Array = 10.0 * np.log10(np.maximum(sums / covered, LEVEL_FLOOR))
    return level


def cochleagram(
    x: ArrayLike,
    fs: SupportsIndex | float,
    cfs: ArrayLike,
    *,
    frame: float = 0.025,
    hop: float = 0.010,
    workers: int | None = None,
) -> Array:
    """Level in dB of each channel's filtered signal, frame by frame.

    Filters x as :func:`filterbank` does (same x, fs, cfs and workers, same
    checks), keeping only one row per thread at a time, and returns a C-contiguous float64 array of shape (channels, frames).  Frames
    are ``round(frame * fs)`` samples long and start every ``round(hop * fs)``
    samples from sample 0; they continue until one reaches the end of x, and
    the last may be shorter (a signal shorter than one frame gives one frame,
    an empty one none).  Frame k therefore starts at k * hop seconds.  Each
    value is 10 log10(mean square of the filter output over the frame),
    floored at -120 dB: dB re a mean square of 1 (the mean square of a
    unit-amplitude sine is 1/2, or -3 dB).

    ValueError, naming the argument, for frame or hop that is not a positive
    finite number of seconds of at least one sample.
    """
    rate = _check_fs(fs)
    centres = _check_cfs(cfs, rate)
    samples = _check_x(x)
    threads = _check_workers(workers)
    frame_len, hop_len = _frame_samples(rate, frame, hop)
    n = samples.size
    level = np.empty((centres.size, _frame_count(n, frame_len, hop_len)))

    # Only the levels are kept, so each channel is filtered into a buffer of
    # its own and dropped: memory grows with the threads, not the channels.
    def channel(i: int) -> None:
        bm = np.empty(n)
        gammatone_c.gammatone_c(samples, n, rate, float(centres[i]), bm)
        level[i] = frame_levels(bm[np.newaxis], frame_len, hop_len)[0]

    _run(channel, centres.size, threads)
    return level
