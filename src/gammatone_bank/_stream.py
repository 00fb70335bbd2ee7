"""Streams: a filterbank and a cochleagram fed one chunk at a time.

Both run on the compiled engine, which keeps every channel's state (the
recursion, the oscillator, the phase tracker and the open frames) from one
chunk to the next, so the concatenated results are bit for bit those of one
call over the whole signal.
"""

import threading
import warnings
from types import TracebackType
from typing import Self, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike

from gammatone_bank import _axis, _bank, _checks, _cochleagram, _engine
from gammatone_bank._axis import Signals
from gammatone_bank._engine import Engine
from gammatone_bank._bank import Array, Filterbank

CLOSED = "the stream is closed"


class _Closable:
    """One call at a time, and closed on leaving a ``with`` block.

    Leaving the block without ``close()`` while the stream holds back
    something that ``close()`` would have returned warns (RuntimeWarning)
    with the stream and what was dropped, unless the block ends by an
    exception, which has lost the signal's end anyway.
    """

    _lock: threading.Lock
    closed: bool

    def _start(self) -> None:
        raise NotImplementedError

    def _held_back(self) -> str | None:
        """What close() would still return, in words, or None if nothing."""
        return None

    def reset(self) -> None:
        """Return every channel to rest, as a new stream with the same arguments.

        What was held back (the last ``instf`` column, the open frame) is
        dropped, the counters restart from 0, and a closed stream is open
        again.  Use it after a non-finite sample, which otherwise makes every
        later output non-finite, or between unrelated signals.
        """
        with self._lock:
            self._start()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None
    ) -> None:
        with self._lock:
            dropped = None if self.closed or kind is not None else self._held_back()
            self.closed = True
        if dropped is not None:
            warnings.warn(
                f"{type(self).__name__} left its with block holding {dropped}, which close() never returned: "
                f"call close() before the block ends, or pass last=True with the last chunk",
                RuntimeWarning,
                stacklevel=2,
            )


class _Signals:
    """The signals a stream filters side by side: the time axis of its
    chunks, given once, and the other axes that its first chunk with samples
    fixed (None until then).  What filters them (an engine, or a core around
    one) is made by _make once they are fixed, and from the start for 1-D
    chunks (axis None)."""

    _time_axis: int | None
    _batch: tuple[int, ...] | None

    def _make(self, signals: int | None) -> None:
        """Make what filters that many signals side by side; None: nothing yet."""
        raise NotImplementedError

    def _start_signals(self) -> None:
        self._batch = None
        self._make(1 if self._time_axis is None else None)

    def _rows(self, chunk: ArrayLike) -> Signals:
        return _axis.signals(chunk, self._time_axis, "chunk", strided=True)

    def _settle(self, s: Signals) -> tuple[int, ...]:
        """The axes before (channels, columns) in the results for chunk s.

        The first chunk with samples fixes the stream's signals; a later
        chunk with other axes raises ValueError before anything changes.
        """
        lead = _bank._lead(s)
        if self._time_axis is None:
            return lead
        if self._batch is None:
            if s.rows.shape[-1]:
                self._make(_bank._signal_count(s))
                self._batch = lead
        elif lead != self._batch:
            raise ValueError(
                f"chunk has other axes {lead} around its time axis {self._time_axis}, but this stream's first chunk "
                f"with samples had {self._batch}: give every chunk the same other axes, or reset() the stream"
            )
        return lead

    def _closing_lead(self) -> tuple[int, ...]:
        """The axes before (channels, columns) in what close() returns."""
        return self._batch or ()


class Stream(_Closable, _Signals):
    """A filterbank whose state carries over from one chunk to the next.

    Concatenating along the sample axis everything ``process`` and
    ``close`` return gives exactly ``filterbank(x, fs, cfs, ...)`` on the
    whole signal, bit for bit, for every output, however x was split.

    Parameters
    ----------
    fs, cfs, env, instp, instf, workers, analytic
        As for :func:`filterbank` (``close`` returns zero analytic columns).
    axis : int or None, optional
        Given once, the time axis of every chunk.  None (the default):
        every chunk must be 1-D.  An int: chunks are batches of signals as
        for :func:`filterbank`, and the results are shaped (chunk's other
        axes) + (channels, columns).  The first chunk with samples fixes the
        other axes for the rest of the stream; a later chunk with other
        axes raises ValueError and leaves the stream as it was.  Before
        that, an empty chunk's results take its own other axes, and a
        stream closed before it returns (channels, columns).  The int's
        range is checked on each chunk.

    Attributes
    ----------
    fs : int
        The sample rate in Hz.
    cfs : ndarray
        The centre frequencies in Hz, float64.
    samples : int
        Samples fed so far (per signal).
    closed : bool
        Whether the stream is closed.

    Raises
    ------
    TypeError, ValueError
        As :func:`filterbank` does for fs, cfs, the flags and workers;
        TypeError when axis is not an int or None.

    See Also
    --------
    filterbank : the whole signal in one call.
    CochleagramStream : frame levels fed in chunks.

    Notes
    -----
    ``instf`` lags one sample behind the other outputs: a sample's forward
    difference needs the next sample's phase.  ``process`` returns
    ``instf`` for the samples from the previous chunk's last up to this
    chunk's second-to-last (on the first chunk: its first to its
    second-to-last), and ``close`` returns a single last column, which
    equals ``cfs``.  Every other output of ``close`` has zero columns.  A
    stream that saw no sample closes with zero columns everywhere.

    ``reset()`` returns every channel to rest, as a new stream with the same
    arguments: the counters restart, a closed stream is open again, and a
    stream with ``axis`` forgets the other axes its chunks had.  Use it
    after a NaN or infinity, which otherwise stays in every later sample,
    or between unrelated signals.  Leaving a ``with`` block closes the
    stream; leaving it with something held back that ``close()`` never
    returned (here the last ``instf`` column) warns with a RuntimeWarning,
    unless the block ends by an exception.  ``process(chunk, last=True)``
    returns the chunk's rows and that tail together.  One call runs at a
    time; calls from several threads are serialised.

    Examples
    --------
    >>> fs, cfs = 16000, erb_space(100, 4000, 4)
    >>> x = np.random.default_rng(1).standard_normal(1000)
    >>> with Stream(fs, cfs, instf=True) as stream:
    ...     parts = [stream.process(chunk) for chunk in np.array_split(x, 3)]
    ...     tail = stream.close()
    >>> whole = filterbank(x, fs, cfs, instf=True)
    >>> np.array_equal(np.concatenate([p.bm for p in parts], axis=-1), whole.bm)
    True
    >>> np.array_equal(np.concatenate([p.instf for p in parts] + [tail.instf], axis=-1), whole.instf)
    True

    A stereo stream, fed (frames, 2) blocks as a sound-file reader gives
    them:

    >>> stereo = Stream(fs, cfs, axis=0)
    >>> stereo.process(np.zeros((256, 2))).bm.shape
    (2, 4, 256)
    >>> stereo.process(np.zeros((256, 3)))
    Traceback (most recent call last):
    ...
    ValueError: chunk has other axes (3,) around its time axis 0, but this stream's first chunk with samples had (2,): give every chunk the same other axes, or reset() the stream
    """

    def __init__(
        self,
        fs: SupportsIndex | float,
        cfs: ArrayLike,
        *,
        env: bool = False,
        instp: bool = False,
        instf: bool = False,
        workers: int | None = None,
        analytic: bool = False,
        axis: int | None = None,
    ) -> None:
        self.fs = _checks.fs(fs)
        self.cfs = _checks.cfs(cfs, self.fs)
        self._want = (_checks.flag("env", env), _checks.flag("instp", instp),
                      _checks.flag("instf", instf))
        self._analytic = _checks.flag("analytic", analytic)
        self._workers = _checks.workers(workers)
        self._time_axis = _axis.time_axis(axis)
        self._lock = threading.Lock()
        self._start()

    def _make(self, signals: int | None) -> None:
        self._engine: Engine | None = None if signals is None else _engine.Engine(
            self.fs, self.cfs, phase=self._want[1] or self._want[2], signals=signals)

    def _start(self) -> None:
        self._start_signals()
        self.closed = False
        #: samples filtered so far
        self.samples = 0

    def process(self, chunk: ArrayLike, *, last: bool = False) -> Filterbank:
        """Filter the next samples.

        Parameters
        ----------
        chunk : array_like
            The next samples: 1-D, or with the stream's ``axis`` a batch
            whose other axes are those of the first chunk with samples.
            Any length, 0 included.
        last : bool, optional
            Also close the stream, and return the chunk's rows with what
            ``close()`` would return after them.

        Returns
        -------
        Filterbank
            The chunk's rows of every output asked for, shaped (channels,
            len(chunk)), or (chunk's other axes) + (channels, samples) with
            ``axis``; ``instf`` has one column fewer on the first chunk with
            samples (see the class).

        Raises
        ------
        TypeError
            Naming ``chunk``, when it does not cast safely to float64.
        ValueError
            Naming ``chunk``, when it is not 1-D without axis, when the
            axis is out of its range, when its other axes differ from the
            stream's; and when the stream is closed.  A refused chunk leaves
            the stream as it was.
        """
        s = self._rows(chunk)
        ending = _checks.flag("last", last)
        with self._lock:
            if self.closed:
                raise ValueError(CLOSED)
            lead = self._settle(s)
            env, instp, instf = self._want
            n, channels = s.rows.shape[-1], self.cfs.size
            lag = 1 if self.samples == 0 and n > 0 else 0
            shape = lead + (channels, n)
            bm = np.empty(shape)
            env_out = np.empty(shape) if env else None
            instp_out = np.empty(shape) if instp else None
            instf_out = np.empty(lead + (channels, n - lag)) if instf else None
            analytic = np.empty(shape, np.complex128) if self._analytic else None
            # No engine yet only for an empty chunk, which has nothing to filter.
            if self._engine is not None:
                outputs = _bank._outputs(bm=bm, env=env_out, instp=instp_out, instf=instf_out, analytic=analytic)
                _bank._drive(self._engine, s.rows, outputs, self._workers)
            self.samples += n
            out = Filterbank(self.cfs.copy(), bm, env_out, instp_out, instf_out, analytic)
            if not ending:
                return out
            tail = self._close()
            return Filterbank._make([out.cfs, *(None if a is None else np.concatenate([a, b], axis=-1)
                                                for a, b in zip(out[1:], tail[1:]))])

    def close(self) -> Filterbank:
        """End the stream and return what was held back.

        Returns
        -------
        Filterbank
            ``instf`` (when asked for) holds the last sample's column,
            which equals ``cfs``, or no column when no sample was fed;
            every other output has zero columns.  The shapes are (channels,
            columns), or (the fixed other axes) + (channels, columns) with
            ``axis``.

        Raises
        ------
        ValueError
            When the stream is already closed.
        """
        with self._lock:
            return self._close()

    def _close(self) -> Filterbank:
        if self.closed:
            raise ValueError(CLOSED)
        self.closed = True
        env, instp, instf = self._want
        empty = self._closing_lead() + (self.cfs.size, 0)
        last = np.empty(empty[:-1] + (1 if self.samples else 0,))
        last[...] = self.cfs[:, np.newaxis]
        return Filterbank(
            self.cfs.copy(),
            np.empty(empty),
            np.empty(empty) if env else None,
            np.empty(empty) if instp else None,
            last if instf else None,
            np.empty(empty, np.complex128) if self._analytic else None,
        )

    def _held_back(self) -> str | None:
        return "the last instf column" if self._want[2] and self.samples else None


class CochleagramStream(_Closable, _Signals):
    """The frame levels of a signal fed in chunks, as :func:`cochleagram` gives them.

    Concatenated along the frame axis, everything ``process`` and ``close``
    return equals ``cochleagram(x, fs, cfs, ...)`` on the whole signal bit
    for bit, however x was split, and memory never grows with the signal's
    length.

    Parameters
    ----------
    fs, cfs, frame, hop, normalize, workers
        As for :func:`cochleagram`.
    axis : int or None, optional
        Given once, the time axis of every chunk, as for :class:`Stream`:
        with it, chunks are batches of signals, the first chunk with samples
        fixes their other axes, a chunk with other axes is refused and
        leaves the stream as it was, and the levels are shaped (chunk's
        other axes) + (channels, frames).

    Attributes
    ----------
    fs : int
        The sample rate in Hz.
    cfs : ndarray
        The centre frequencies in Hz, float64.
    frame_len, hop_len : int
        The frame length and the hop in samples.
    samples : int
        Samples fed so far (per signal).
    frames : int
        Frames whose levels were returned so far.
    closed : bool
        Whether the stream is closed.

    Raises
    ------
    TypeError, ValueError
        As :func:`cochleagram` does for its arguments; TypeError when axis
        is not an int or None.

    See Also
    --------
    cochleagram : the whole signal in one call.
    Stream : the filtered signals fed in chunks.

    Notes
    -----
    Errors, closing, ``reset()`` and threads work as for :class:`Stream`.

    Examples
    --------
    >>> fs, cfs = 16000, erb_space(100, 4000, 4)
    >>> x = np.random.default_rng(2).standard_normal((3, 5000))
    >>> stream = CochleagramStream(fs, cfs, axis=-1)
    >>> parts = [stream.process(chunk) for chunk in np.array_split(x, 4, axis=-1)]
    >>> parts.append(stream.close())
    >>> [p.shape[-1] for p in parts]
    [6, 8, 7, 8, 1]
    >>> levels = np.concatenate(parts, axis=-1)
    >>> levels.shape, np.array_equal(levels, cochleagram(x, fs, cfs, axis=-1))
    ((3, 4, 30), True)
    """

    def __init__(
        self,
        fs: SupportsIndex | float,
        cfs: ArrayLike,
        *,
        frame: float = 0.025,
        hop: float = 0.010,
        normalize: bool = False,
        workers: int | None = None,
        axis: int | None = None,
    ) -> None:
        self.fs = _checks.fs(fs)
        self.cfs = _checks.cfs(cfs, self.fs)
        self._recipe = _cochleagram._recipe(self.fs, self.cfs, frame, hop, normalize, workers)
        self.frame_len, self.hop_len = self._recipe.frame_len, self._recipe.hop_len
        self._time_axis = _axis.time_axis(axis)
        self._lock = threading.Lock()
        self._start()

    def _make(self, signals: int | None) -> None:
        self._core: _cochleagram._Levels | None = None if signals is None else self._recipe.make(signals)

    def _start(self) -> None:
        self._start_signals()
        self.closed = False
        self.samples = 0
        self.frames = 0

    def process(self, chunk: ArrayLike, *, last: bool = False) -> Array:
        """Feed the next samples and return the levels of the frames they complete.

        Parameters
        ----------
        chunk : array_like
            The next samples, as for :meth:`Stream.process`.
        last : bool, optional
            Also close the stream, and return the last, clipped frame (if
            there is one) after the chunk's frames.

        Returns
        -------
        ndarray
            float64 of shape (channels, k), or (chunk's other axes) +
            (channels, k) with ``axis``: the k frames (possibly none) whose
            last sample is in this chunk.

        Raises
        ------
        TypeError, ValueError
            As for :meth:`Stream.process`; a refused chunk leaves the
            stream as it was.
        """
        s = self._rows(chunk)
        ending = _checks.flag("last", last)
        with self._lock:
            if self.closed:
                raise ValueError(CLOSED)
            lead = self._settle(s)
            n = s.rows.shape[-1]
            # No core yet only for an empty chunk, which completes no frame.
            k = 0 if self._core is None else self._core.completes(n)
            level = np.empty(lead + (self.cfs.size, k + ending))
            if self._core is not None:
                self._core.feed(s.rows, level[..., :k])
            self.samples += n
            self.frames += k
            return level[..., :k + self._finish(level[..., k:])] if ending else level

    def close(self) -> Array:
        """End the stream and return the last, clipped frame's levels if there is one.

        Returns
        -------
        ndarray
            float64 of shape (channels, 0 or 1), or (the fixed other axes) +
            (channels, 0 or 1) with ``axis``.

        Raises
        ------
        ValueError
            When the stream is already closed.
        """
        with self._lock:
            if self.closed:
                raise ValueError(CLOSED)
            level = np.empty(self._closing_lead() + (self.cfs.size, 1))
            return level[..., :self._finish(level)]

    def _held_back(self) -> str | None:
        return "the last, clipped frame" if self._core is not None and self._core.held() else None

    def _finish(self, level: Array) -> int:
        """Close, writing the open frame's levels (if any) to level[..., 0]; returns 0 or 1."""
        self.closed = True
        k = 0 if self._core is None else self._core.finish(level).shape[-1]
        self.frames += k
        return k
