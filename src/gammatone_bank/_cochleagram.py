"""The cochleagram of a whole signal: the streaming cochleagram fed once."""

from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike

from gammatone_bank import _axis, _checks
from gammatone_bank._checks import Array
from gammatone_bank._frames import _frame_count
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

    Filters x as :func:`filterbank` does, without keeping its output:
    memory follows the number of frames, never channels x samples.

    Parameters
    ----------
    x : array_like
        The signal: 1-D samples, or with ``axis`` a batch of signals; as
        for :func:`filterbank`.
    fs : int
        The sample rate in Hz, as for :func:`filterbank`.
    cfs : float or array_like
        The centre frequencies in Hz, as for :func:`filterbank`.
    frame, hop : float, optional
        The frame length and the hop in seconds (25 ms and 10 ms by
        default).  Frames are ``round(frame * fs)`` samples long and start
        every ``round(hop * fs)`` samples from sample 0.
    normalize : bool, optional
        Divide each channel's mean square by ``cf_gain(fs, cfs) ** 2``, so
        that a unit sine at a channel's cf reads 10 log10(1/2) = -3.01 dB
        in that channel.
    workers : int or None, optional
        Threads, as for :func:`filterbank`.
    axis : int or None, optional
        None (the default): x must be 1-D.  An int: the axis of x that
        holds time, as for :func:`filterbank`.

    Returns
    -------
    ndarray
        A new C-contiguous float64 array of shape (len(cfs), frames); with
        ``axis``, x's other axes in order followed by (len(cfs), frames).
        Each value is 10 log10(max(mean square of ``bm`` over the frame,
        1e-12)): dB re a mean square of 1, floored at -120 dB.

    Raises
    ------
    TypeError
        As :func:`filterbank` does for x, cfs and axis, and for a normalize
        that is not a bool.
    ValueError
        As :func:`filterbank` does for x, fs, cfs, workers and axis (a 2-D
        x without axis is refused with the fix); naming ``frame`` or
        ``hop`` unless it is a positive finite number of seconds of at
        least one sample.

    See Also
    --------
    CochleagramStream : the same levels for a signal fed in chunks.
    frame_levels : the same framing of a bank you already have.

    Notes
    -----
    Frames go on while they start before the end of x and the previous
    frame stopped short of it; the last may be clipped, so frame k starts
    at k * hop seconds.  A signal shorter than one frame gives one frame,
    an empty one none.  Each frame's squares are added in sample order, so
    the levels equal ``frame_levels(filterbank(x, fs, cfs).bm, ...)`` and
    those of :class:`CochleagramStream` bit for bit.  In a batch, each
    signal's levels are bit for bit those of its own 1-D call; nothing of
    size signals x channels x samples is made.

    The filter's gain at cf is not exactly 1 (see :func:`cf_gain`): without
    ``normalize`` a unit sine at cf reads 20 log10(cf_gain) - 3.01 dB.

    Examples
    --------
    >>> fs = 16000
    >>> t = np.arange(fs // 2) / fs
    >>> x = np.sin(2 * np.pi * 1000 * t)
    >>> level = cochleagram(x, fs, [500.0, 1000.0, 2000.0], normalize=True)
    >>> level.shape
    (3, 49)
    >>> level[:, 25].round(2)
    array([-66.94,  -3.01, -52.98])

    A batch of two signals, (signals, samples):

    >>> cochleagram(np.stack([x, 0.1 * x]), fs, [1000.0], normalize=True, axis=-1)[:, 0, 25].round(2)
    array([ -3.01, -23.01])
    """
    rate = _checks.fs(fs)
    centres = _checks.cfs(cfs, rate)
    s = _axis.signals(x, axis, strided=True)
    stream = CochleagramStream(rate, centres, frame=frame, hop=hop, normalize=normalize, workers=workers, axis=axis)
    n = s.rows.shape[-1]
    level = np.empty(stream._settle(s) + (centres.size, _frame_count(n, stream.frame_len, stream.hop_len)))
    done = stream._completed(n)
    stream._feed(s.rows, level[..., :done])
    stream._finish(level[..., done:])
    return level
