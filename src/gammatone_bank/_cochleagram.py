"""The cochleagram: each channel's level in dB over each frame.

A batch of signals (or one 1-D signal) goes through a small state machine
(a "core", ``_Levels``) in chunks: :func:`cochleagram` feeds it once, and
``CochleagramStream`` (in ``_stream.py``) chunk by chunk, so both give the
same bits, as the auditory features' functions and ``FeatureStream`` do.
``_FrameSums``, the engine's frame sums and their counts, is shared with
the features whose frames are the cochleagram's (GFCC).
"""

from typing import NamedTuple, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike

from gammatone_bank import _axis, _bank, _checks, _engine, _frames
from gammatone_bank._checks import Array
from gammatone_bank._frames import _frame_count
from gammatone_bank._gain import cf_gain


class _Recipe(NamedTuple):
    """The cochleagram's options checked: how to make a core."""

    fs: int
    cfs: Array
    frame_len: int
    hop_len: int
    scale: Array | None  # cf_gain(fs, cfs) ** 2 with normalize
    threads: int

    def make(self, signals: int) -> "_Levels":
        """A core for that many signals side by side (1 for a 1-D signal)."""
        return _Levels(self, signals)


def _recipe(fs: int, cfs: Array, frame: float, hop: float, normalize: bool, workers: int | None) -> _Recipe:
    """The cochleagram's options, checked in this order, of an fs and cfs already checked."""
    frame_len, hop_len = _frames._frame_samples(fs, frame, hop)
    threads = _checks.workers(workers)
    scale = cf_gain(fs, cfs) ** 2 if _checks.flag("normalize", normalize) else None
    return _Recipe(fs, cfs, frame_len, hop_len, scale, threads)


class _FrameSums:
    """Each lane's sum of squares of ``bm`` over each frame, for signals fed in chunks.

    The engine keeps the open frames' sums between chunks; this keeps the
    count of the samples fed and of the frames given so far.
    """

    def __init__(self, fs: int, cfs: Array, frame_len: int, hop_len: int, threads: int, signals: int) -> None:
        self.frame_len, self.hop_len = frame_len, hop_len
        self._engine = _engine.Engine(fs, cfs, frame_len=frame_len, hop_len=hop_len, signals=signals)
        self._threads = threads
        self.samples = 0
        self.frames = 0

    def completes(self, n: int) -> int:
        """Frames that the next n samples complete."""
        return _frames._completed(self.samples + n, self.frame_len, self.hop_len) - self.frames

    def feed(self, x: Array, sums: Array) -> None:
        """Filter x (rows as the engine takes them), writing the sums of the
        frames it completes to sums, (lanes, completes(n))."""
        _bank._drive(self._engine, x, {"frames": sums}, self._threads)
        self.samples += x.shape[-1]
        self.frames += sums.shape[-1]

    def finish(self, sums: Array) -> int:
        """The open frame's sums (if any) to sums[:, 0], (lanes, 0 or 1);
        returns the samples that frame covers, 0 when there is none."""
        k: int = self._engine.partial(0, self._engine.groups, sums)
        covered = self.samples - self.frames * self.hop_len if k else 0
        self.frames += k
        return covered

    def held(self) -> bool:
        """Whether finish() would give a frame."""
        return _frames._open_frame(self.samples, self.frames, self.frame_len, self.hop_len) > 0


class _Levels:
    """The levels of a batch of signals (or of one 1-D signal) fed in chunks.

    feed and finish give (signals, channels, frames) arrays, or write the
    levels to `out`, an array of any leading axes whose rows are the
    engine's lanes in order (the result's shape in a batch).
    """

    def __init__(self, recipe: _Recipe, signals: int) -> None:
        self.rows = recipe.cfs.size
        self._signals = signals
        self._scale = recipe.scale
        self._sums = _FrameSums(recipe.fs, recipe.cfs, recipe.frame_len, recipe.hop_len, recipe.threads, signals)

    def completes(self, n: int) -> int:
        """Frames that the next n samples complete."""
        return self._sums.completes(n)

    def feed(self, x: Array, out: Array | None = None) -> Array:
        """The levels of the frames x completes; out, when given, has completes(n) columns."""
        level = np.empty((self._signals, self.rows, self.completes(x.shape[-1]))) if out is None else out
        self._sums.feed(x, _bank._lanes(level))
        return _frames._levels(level, self._sums.frame_len, self._scale)

    def finish(self, out: Array | None = None) -> Array:
        """The levels of the last, clipped frame, or no column when there is
        none; out, when given, has one column (or none)."""
        level = np.empty((self._signals, self.rows, 1)) if out is None else out
        covered = self._sums.finish(_bank._lanes(level)) if level.shape[-1] else 0
        if not covered:
            return level[..., :0]
        return _frames._levels(level[..., :1], covered, self._scale)

    def held(self) -> bool:
        """Whether finish() would give a frame."""
        return self._sums.held()

    def whole(self, x: Array, out: Array | None = None) -> Array:
        """feed(x) then finish() of a fresh core, as one array; out, when
        given, has a column for every frame."""
        n = x.shape[-1]
        if out is None:
            out = np.empty((self._signals, self.rows, _frame_count(n, self._sums.frame_len, self._sums.hop_len)))
        done = self.completes(n)
        self.feed(x, out[..., :done])
        self.finish(out[..., done:])
        return out


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
    recipe = _recipe(rate, centres, frame, hop, normalize, workers)
    core = recipe.make(_bank._signal_count(s))
    n = s.rows.shape[-1]
    return core.whole(s.rows, np.empty(_bank._lead(s) + (centres.size, _frame_count(n, recipe.frame_len,
                                                                                     recipe.hop_len))))
