"""Frames: their lengths in samples, their count, and the level in dB of
each channel over each frame."""

from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

from gammatone_bank import _checks
from gammatone_bank._checks import INT32_MAX, Array

# Mean squares below this (-120 dB) are shown as -120 dB, so silence gives a
# finite level instead of -inf.
LEVEL_FLOOR = 1e-12

# Frames open at once, at most: frame / hop.
MAX_OPEN_FRAMES = 1 << 16


def _frame_samples(fs: int, frame: float, hop: float) -> tuple[int, int]:
    """The frame and hop lengths in whole samples (rounded to nearest)."""
    lengths = []
    for name, seconds in (("frame", frame), ("hop", hop)):
        value = _checks.positive(name, seconds, "duration in seconds")
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


def _completed(n: int, frame_len: int, hop_len: int) -> int:
    """Frames whose last sample is among the first n."""
    return 0 if n < frame_len else (n - frame_len) // hop_len + 1


def _open_frame(samples: int, frames: int, frame_len: int, hop_len: int) -> int:
    """Samples the clipped last frame covers at the end, 0 when there is none.

    `frames` frames of `samples` are complete; the one after them is open
    when it starts before the end and the one before it stopped short of it.
    """
    start = frames * hop_len
    if samples == 0 or start >= samples or (frames and start - hop_len + frame_len >= samples):
        return 0
    return samples - start


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
