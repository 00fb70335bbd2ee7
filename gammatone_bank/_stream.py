"""Streams: a filterbank and a cochleagram fed one chunk at a time.

TEMPORARY STAND-IN: recomputes from the whole history on every chunk.  The
public API below is final; the compiled engine replaces the internals.
"""

from types import TracebackType
from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike

from gammatone_bank import _bank
from gammatone_bank._bank import Array, Filterbank


class Stream:
    """A filterbank whose state carries from one chunk to the next.

    ``process(chunk)`` returns the rows for the chunk's samples; ``close()``
    returns what is held back at the end.  Concatenating every result along
    the sample axis gives exactly ``filterbank(x, fs, cfs, ...)`` on the whole
    signal.  ``instf`` lags one sample behind the other outputs (its forward
    difference needs the next sample's phase): ``process`` returns it for the
    samples before the chunk's last, the first chunk excepted, and ``close``
    returns the final column.
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
    ) -> None:
        self.fs = _bank._check_fs(fs)
        self.cfs = _bank._check_cfs(cfs, self.fs)
        self._want = (env, instp, instf)
        self._workers = _bank._check_workers(workers)
        self._x = np.empty(0)
        self._closed = False
        self.samples = 0

    def process(self, chunk: ArrayLike) -> Filterbank:
        if self._closed:
            raise ValueError("the stream is closed")
        x = _bank._check_x(chunk, "chunk")
        whole = np.concatenate([self._x, x])
        env, instp, instf = self._want
        bank = _bank.filterbank(whole, self.fs, self.cfs, env=env, instp=instp, instf=instf,
                                workers=self._workers)
        t0 = self.samples
        self._x = whole
        self.samples = whole.size

        def cut(a: Array | None, lo: int, hi: int) -> Array | None:
            return None if a is None else np.ascontiguousarray(a[:, lo:hi])

        f0 = max(t0 - 1, 0)
        f1 = max(whole.size - 1, 0)
        return Filterbank(self.cfs.copy(), cut(bank.bm, t0, whole.size), cut(bank.env, t0, whole.size),
                          cut(bank.instp, t0, whole.size), cut(bank.instf, f0, f1))

    def close(self) -> Filterbank:
        if self._closed:
            raise ValueError("the stream is closed")
        self._closed = True
        c = self.cfs.size
        env, instp, instf = self._want
        tail = np.empty((c, 0))
        last = self.cfs[:, np.newaxis].copy() if self.samples else np.empty((c, 0))
        return Filterbank(self.cfs.copy(), tail, tail.copy() if env else None,
                          tail.copy() if instp else None, last if instf else None)

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 tb: TracebackType | None) -> None:
        if not self._closed:
            self._closed = True


class CochleagramStream:
    """Frame levels of a signal fed in chunks, as :func:`cochleagram` gives them.

    ``process(chunk)`` returns the levels (channels x k) of the frames that the
    chunk completes; ``close()`` returns the last, clipped frame if there is
    one.  Concatenated they equal ``cochleagram(x, fs, cfs, frame=..., hop=...,
    normalize=...)`` on the whole signal bit for bit.  ``frame_len`` and
    ``hop_len`` are the lengths in samples.
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
        self._frame, self._hop = frame, hop
        self._workers = _bank._check_workers(workers)
        self._normalize = normalize
        self._x = np.empty(0)
        self._done = 0
        self._closed = False
        self.samples = 0
        self.frames = 0

    def process(self, chunk: ArrayLike) -> Array:
        if self._closed:
            raise ValueError("the stream is closed")
        x = _bank._check_x(chunk, "chunk")
        self._x = np.concatenate([self._x, x])
        self.samples = self._x.size
        # Frames complete once their last sample has arrived.
        complete = 0 if self.samples < self.frame_len else (self.samples - self.frame_len) // self.hop_len + 1
        level = _bank.cochleagram(self._x, self.fs, self.cfs, frame=self._frame, hop=self._hop,
                                  workers=self._workers)
        out = np.ascontiguousarray(level[:, self.frames:complete])
        self.frames = complete
        return out

    def close(self) -> Array:
        if self._closed:
            raise ValueError("the stream is closed")
        self._closed = True
        level = _bank.cochleagram(self._x, self.fs, self.cfs, frame=self._frame, hop=self._hop,
                                  workers=self._workers)
        out = np.ascontiguousarray(level[:, self.frames:])
        self.frames = level.shape[1]
        return out

    def __enter__(self) -> "CochleagramStream":
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 tb: TracebackType | None) -> None:
        self._closed = True
