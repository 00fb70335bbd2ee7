"""The cochleagram of a whole signal: the streaming cochleagram fed once."""

from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike

from gammatone_bank import _axis
from gammatone_bank._bank import Array, _check_cfs, _check_fs, _frame_count
from gammatone_bank._stream import CochleagramStream


def cochleagram(
    x: ArrayLike,
    fs: SupportsIndex | float,
    cfs: ArrayLike,
    *,
    frame: float = 0.025,
    hop: float = 0.010,
    normalize: bool = False,
    workers: int | None = None,
    axis: int | None = None,
) -> Array:
    """Level in dB of each channel's filtered signal, frame by frame.

    Filters x as :func:`filterbank` does (same x, fs, cfs, workers and axis,
    same checks) without keeping its output: memory follows the number of
    frames, never channels x samples.  Returns a C-contiguous float64 array
    of shape (channels, frames); with ``axis``, of x's other axes followed by
    (channels, frames), each signal's levels bit for bit those of its own
    call.  Frames are ``round(frame * fs)`` samples long and
    start every ``round(hop * fs)`` samples from sample 0, so frame k starts
    at k * hop seconds; they go on while they start before the end of x and
    the previous frame stopped short of it, and the last may be clipped (a
    signal shorter than one frame gives one frame, an empty one none).

    Each value is 10 log10(mean square of the filter output over the frame),
    floored at -120 dB: dB re a mean square of 1.  The filter's gain at cf
    is not exactly 1 (see :func:`cf_gain`); ``normalize=True`` divides each
    channel's mean square by ``cf_gain(fs, cfs) ** 2``, so that a unit sine at
    a channel's cf reads 10 log10(1/2) = -3.01 dB in that channel.

    ValueError, naming the argument, for frame or hop that is not a positive
    finite number of seconds of at least one sample.
    """
    rate = _check_fs(fs)
    centres = _check_cfs(cfs, rate)
    s = _axis.signals(x, axis, strided=True)
    stream = CochleagramStream(rate, centres, frame=frame, hop=hop, normalize=normalize, workers=workers, axis=axis)
    n = s.rows.shape[-1]
    level = np.empty(stream._settle(s) + (centres.size, _frame_count(n, stream.frame_len, stream.hop_len)))
    done = stream._completed(n)
    stream._feed(s.rows, level[..., :done])
    stream._finish(level[..., done:])
    return level
