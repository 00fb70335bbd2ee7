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

from gammatone_bank import _bank, _engine
from gammatone_bank._bank import Array, Filterbank
from gammatone_bank._gain import cf_gain

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


class Stream(_Closable):
    """A filterbank whose state carries over from one chunk to the next.

    Takes the arguments of :func:`filterbank`, less x (``analytic`` too:
    ``close`` then returns zero analytic columns).  ``process(chunk)``
    filters the next samples and returns a :class:`Filterbank` whose rows
    hold the chunk's samples; ``close()`` returns what is held back at the
    end.  Concatenating every result along the sample axis gives exactly
    ``filterbank(x, fs, cfs, ...)`` on the whole signal, for every output.

    ``instf`` lags one sample behind the other outputs: a sample's forward
    difference needs the next sample's phase.  ``process`` returns ``instf``
    for the samples from the previous chunk's last up to this chunk's
    second-to-last (on the first chunk: its first to its second-to-last), and
    ``close`` returns a single last column, which equals ``cfs``.  Every other
    output of ``close`` has zero columns.  A stream that saw no sample closes
    with zero columns everywhere.

    A chunk that fails its checks raises TypeError or ValueError naming
    ``chunk`` and leaves the stream as it was.  ``process`` or ``close``
    after ``close`` raises ValueError.  ``reset()`` returns every channel to
    rest (after a NaN, say, which otherwise stays in every later sample).
    Use it as a context manager to close it on the way out: leaving the
    block with something held back that ``close()`` never returned (here the
    last ``instf`` column) warns with a RuntimeWarning, and
    ``process(chunk, last=True)`` returns the chunk's rows and that together.  One call runs at a time; calls from several threads
    are serialised.
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
    ) -> None:
        self.fs = _bank._check_fs(fs)
        self.cfs = _bank._check_cfs(cfs, self.fs)
        self._want = (_bank._check_flag("env", env), _bank._check_flag("instp", instp),
                      _bank._check_flag("instf", instf))
        self._analytic = _bank._check_flag("analytic", analytic)
        self._workers = _bank._check_workers(workers)
        self._lock = threading.Lock()
        self._start()

    def _start(self) -> None:
        self._engine = _engine.Engine(self.fs, self.cfs, phase=self._want[1] or self._want[2])
        self.closed = False
        #: samples filtered so far
        self.samples = 0

    def process(self, chunk: ArrayLike, *, last: bool = False) -> Filterbank:
        """Filter the next samples; returns their rows (see the class).

        ``last=True`` also closes the stream, and returns the chunk's rows
        with what ``close()`` would return after them.
        """
        x = _bank._check_x(chunk, "chunk")
        ending = _bank._check_flag("last", last)
        with self._lock:
            if self.closed:
                raise ValueError(CLOSED)
            env, instp, instf = self._want
            n, channels = x.size, self.cfs.size
            lag = 1 if self.samples == 0 and n > 0 else 0
            bm = np.empty((channels, n))
            env_out = np.empty((channels, n)) if env else None
            instp_out = np.empty((channels, n)) if instp else None
            instf_out = np.empty((channels, n - lag)) if instf else None
            analytic = np.empty((channels, n), np.complex128) if self._analytic else None
            outputs = (bm, env_out, instp_out, instf_out, None, _bank._pairs(analytic))
            _bank._drive(self._engine, x, outputs, self._workers)
            self.samples += n
            out = Filterbank(self.cfs.copy(), bm, env_out, instp_out, instf_out, analytic)
            if not ending:
                return out
            tail = self._close()
            return Filterbank._make([out.cfs, *(None if a is None else np.concatenate([a, b], axis=1)
                                                for a, b in zip(out[1:], tail[1:]))])

    def close(self) -> Filterbank:
        """End the stream; returns the held-back last ``instf`` column."""
        with self._lock:
            return self._close()

    def _close(self) -> Filterbank:
        if self.closed:
            raise ValueError(CLOSED)
        self.closed = True
        env, instp, instf = self._want
        channels = self.cfs.size
        last = self.cfs[:, np.newaxis].copy() if self.samples else np.empty((channels, 0))
        return Filterbank(
            self.cfs.copy(),
            np.empty((channels, 0)),
            np.empty((channels, 0)) if env else None,
            np.empty((channels, 0)) if instp else None,
            last if instf else None,
            np.empty((channels, 0), np.complex128) if self._analytic else None,
        )

    def _held_back(self) -> str | None:
        return "the last instf column" if self._want[2] and self.samples else None


class CochleagramStream(_Closable):
    """The frame levels of a signal fed in chunks, as :func:`cochleagram` gives them.

    Takes the arguments of :func:`cochleagram`, less x.  ``process(chunk)``
    returns the levels (channels x k) of the k frames that the chunk
    completes, possibly none; ``close()`` returns the last, clipped frame if
    there is one (channels x 0 or 1).  Concatenated along axis 1 they equal
    ``cochleagram(x, fs, cfs, ...)`` on the whole signal bit for bit, and
    memory never grows with the signal's length.

    Attributes: ``frame_len`` and ``hop_len`` (samples), ``samples`` (fed so
    far) and ``frames`` (levels returned so far).  Errors, closing and
    ``reset()`` work as for :class:`Stream`.
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
    ) -> None:
        self.fs = _bank._check_fs(fs)
        self.cfs = _bank._check_cfs(cfs, self.fs)
        self.frame_len, self.hop_len = _bank._frame_samples(self.fs, frame, hop)
        self._workers = _bank._check_workers(workers)
        self._scale = cf_gain(self.fs, self.cfs) ** 2 if _bank._check_flag("normalize", normalize) else None
        self._lock = threading.Lock()
        self._start()

    def _start(self) -> None:
        self._engine = _engine.Engine(self.fs, self.cfs, frame_len=self.frame_len, hop_len=self.hop_len)
        self.closed = False
        self.samples = 0
        self.frames = 0

    def _completed(self, n: int) -> int:
        """Frames whose last sample is among the first n."""
        return 0 if n < self.frame_len else (n - self.frame_len) // self.hop_len + 1

    def process(self, chunk: ArrayLike, *, last: bool = False) -> Array:
        """Feed the next samples; returns the levels of the frames they complete.

        ``last=True`` also closes the stream, and returns the last, clipped
        frame (if there is one) after them.
        """
        x = _bank._check_x(chunk, "chunk")
        ending = _bank._check_flag("last", last)
        with self._lock:
            k = self._completed(self.samples + x.size) - self.frames
            level = np.empty((self.cfs.size, k + ending))
            self._feed(x, level[:, :k])
            return level[:, :k + self._finish(level[:, k:])] if ending else level

    def close(self) -> Array:
        """End the stream; returns the last, clipped frame's levels if there is one."""
        with self._lock:
            level = np.empty((self.cfs.size, 1))
            return level[:, :self._finish(level)]

    def _feed(self, x: Array, level: Array) -> None:
        """Filter x, writing the levels of the frames it completes to level."""
        if self.closed:
            raise ValueError(CLOSED)
        k = level.shape[1]
        _bank._drive(self._engine, x, (None, None, None, None, level), self._workers)
        _bank._levels(level, self.frame_len, self._scale)
        self.samples += x.size
        self.frames += k

    def _held_back(self) -> str | None:
        t, k, hop = self.samples, self.frames, self.hop_len
        if t > 0 and k * hop < t and (k == 0 or (k - 1) * hop + self.frame_len < t):
            return "the last, clipped frame"
        return None

    def _finish(self, level: Array) -> int:
        """Close, writing the open frame's levels (if any) to level[:, 0]; returns 0 or 1."""
        if self.closed:
            raise ValueError(CLOSED)
        self.closed = True
        k: int = self._engine.partial(0, self._engine.groups, level)
        if k:
            _bank._levels(level[:, :1], self.samples - self.frames * self.hop_len, self._scale)
        self.frames += k
        return k
