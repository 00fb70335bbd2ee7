"""Auditory features on the bank: the inner-hair-cell envelope, the ratemap
and gammatone cepstral coefficients (GFCC), one-shot and streamed.

Each feature is one small state machine (a "core") that takes a signal, or
a batch of signals, in chunks: the one-shot functions feed it once, and
:class:`FeatureStream` feeds it chunk by chunk, so both give the same bits.
A batch goes through one engine whose lanes hold every channel of every
signal.  The recursions per sample (the gammatone channels, the lowpass
stages, the leaky integrator) run in the compiled engine, runs of lane
groups on parallel threads, a block of about 1 MiB at a time so that its
rows stay in cache between the filter and what follows it.
"""

import functools
import math
import threading
import warnings
from collections.abc import Callable
from types import TracebackType
from typing import Any, NamedTuple, Protocol, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike

from gammatone_bank import _axis, _bank, _checks, _cochleagram, _engine, _frames
from gammatone_bank import _threads as _pool
from gammatone_bank._bank import Array
from gammatone_bank._gain import cf_gain
from gammatone_bank._stream import CLOSED, _Closable

# The lowpass presets: (first-order stages, cutoff in Hz of each).
MODELS: dict[str, tuple[int, float]] = {
    "dau1996": (1, 1000.0),
    "breebaart2001": (5, 2000.0),
    "none": (0, 0.0),
}
FEATURES = ("levels", "ihc", "ratemap", "gfcc")
RATEMAP_COMPRESSIONS = (None, "cbrt", "log")
GFCC_COMPRESSIONS = ("cbrt", "log")
# The ratemap's "log" floor (a value of 1e-6 is -120 dB, as the levels' floor)
# and the floor under the natural log of GFCC's frame energies.
RATEMAP_FLOOR = 1e-6
GFCC_FLOOR = 1e-12
# A task's lane groups are filtered a block of columns at a time, a block of
# about BLOCK lane-samples (1 MiB) that stays in cache between the filter and
# the recursion that follows it; a block has at most COLUMNS columns, and at
# least COLUMNS_MIN, so that the Python calls per block cost little.
BLOCK = 1 << 17
COLUMNS = 8192
COLUMNS_MIN = 256
# The ratemap's envelope goes through a scratch of one row per lane, of at
# most this many doubles (16 MiB) unless COLUMNS_MIN columns need more: never
# a (signals x channels x samples) array.
SCRATCH = 1 << 21
# The coefficients GFCC keeps by default (as MATLAB's gtcc and spafe's gfcc).
N_CEPS = 13
# Frames each delta looks ahead (and back): d_t uses c_{t-2} .. c_{t+2}.
DELTA_REACH = 2


def butter1(fc: float, fs: int) -> tuple[float, float, float]:
    """(b0, b1, a1) of ``scipy.signal.butter(1, fc, fs=fs)``, bit for bit.

    The bilinear design with a prewarped cutoff, computed with the same
    operations (NumPy's complex division included): b0 == b1 = k, a1 = -p.
    """
    warped = 4.0 * math.tan(math.pi * (2.0 * fc / fs) / 2.0)
    pole = -np.complex128(warped)
    p = (np.complex128(4.0) + pole) / (np.complex128(4.0) - pole)
    k = warped * float(np.real(1.0 / (np.complex128(4.0) - pole)))
    return k, k, -float(np.real(p))


def _blocks(engine: _engine.Engine, lanes: int, n: int, threads: int, columns: int,
            step: Callable[[int, int, slice, slice], None]) -> None:
    """step(g0, g1, rows, cols) over every block of n samples, tasks on threads.

    A task is a run of lane groups g0 .. g1 - 1, whose lanes are `rows` of
    the engine's `lanes`; it takes them through the columns in order, at
    most `columns` at a time, `cols` being the block's slice of the n
    columns.  Runs are sized so that a block holds about BLOCK lane-samples
    and each thread gets a few tasks.
    """
    groups, width = engine.groups, engine.width
    threads = _pool.useful(n * width * groups, threads)
    run = max(1, min(BLOCK // (columns * width), groups // (_pool.TASKS_PER_THREAD * threads)))

    def task(k: int) -> None:
        g0, g1 = k * run, min(k * run + run, groups)
        rows = slice(g0 * width, min(g1 * width, lanes))
        for b in range(0, n, columns):
            step(g0, g1, rows, slice(b, min(b + columns, n)))

    _pool._run(task, -(-groups // run), threads)


class _Core(Protocol):
    """The feature state of a batch of signals (or of one 1-D signal), fed in chunks.

    feed and finish give (signals, rows, columns) arrays, (1, rows,
    columns) for a core of a 1-D signal.
    """

    rows: int

    def feed(self, x: Array) -> Array: ...

    def finish(self) -> Array: ...

    def held(self) -> bool: ...

    def whole(self, x: Array) -> Array:
        """feed(x) then finish() of a fresh core, as one array."""
        ...


class _Ihc:
    """The inner-hair-cell envelope: bm, rectified, lowpassed, in every lane.

    The engine runs the lowpass in its lanes beside the filter, keeping its
    sections' states from one chunk to the next.
    """

    def __init__(self, fs: int, cfs: Array, model: str, threads: int, signals: int) -> None:
        stages, fc = MODELS[model]
        self.rows = cfs.size
        self._signals = signals
        self._lanes = signals * cfs.size
        # butter1 gives b1 == b0, which the engine's sections take as one.
        b0, _, a1 = butter1(fc, fs) if stages else (0.0, 0.0, 0.0)
        self._engine = _engine.Engine(fs, cfs, signals=signals, lowpass=(stages, b0, a1))
        self._threads = threads

    def feed(self, x: Array) -> Array:
        n = x.shape[-1]
        out = np.empty((self._lanes, n))
        _bank._drive(self._engine, x, {"ihc": out}, self._threads)
        return out.reshape(self._signals, self.rows, n)

    def finish(self) -> Array:
        return np.empty((self._signals, self.rows, 0))

    def held(self) -> bool:
        return False

    def whole(self, x: Array) -> Array:
        return self.feed(x)


class _Ratemap:
    """The ratemap: env smoothed by a leaky integrator, averaged per frame, in every lane."""

    def __init__(self, fs: int, cfs: Array, frame_len: int, hop_len: int, tau: float,
                 compression: str | None, threads: int, signals: int) -> None:
        self.rows = cfs.size
        self._signals = signals
        self._lanes = signals * cfs.size
        self._flen, self._hop = frame_len, hop_len
        self._a = math.exp(-1.0 / (tau * fs))
        self._c = 1.0 - self._a
        self._compression = compression
        self._engine = _engine.Engine(fs, cfs, signals=signals)
        self._state = np.zeros((self._lanes, 1))
        self._sums = np.zeros((self._lanes, frame_len // hop_len + 2))
        self._threads = threads
        self.samples = 0
        self.frames = 0

    def feed(self, x: Array, out: Array | None = None) -> Array:
        """The frames x completes; out, when given, is (lanes, those frames)."""
        n, t = x.shape[-1], self.samples
        before = _frames._completed(t, self._flen, self._hop)
        if out is None:
            out = np.empty((self._lanes, _frames._completed(t + n, self._flen, self._hop) - self.frames))
        # Each task's blocks of env go to its own rows of one shared scratch.
        columns = max(COLUMNS_MIN, min(COLUMNS, SCRATCH // max(self._lanes, 1)))
        env = np.empty((self._lanes, min(n, columns)))

        def step(g0: int, g1: int, rows: slice, cols: slice) -> None:
            m = cols.stop - cols.start
            self._engine.process(x[..., cols], g0, g1, env=env[:, :m])
            lo = _frames._completed(t + cols.start, self._flen, self._hop) - before
            hi = _frames._completed(t + cols.stop, self._flen, self._hop) - before
            _engine.integrate(env[rows, :m], self._state[rows], self._a, self._c, self._sums[rows],
                              t + cols.start, self._flen, self._hop, out[rows, lo:hi])

        _blocks(self._engine, self._lanes, n, self._threads, columns, step)
        self.samples += n
        self.frames += out.shape[1]
        return self._values(out, self._flen)

    def finish(self, out: Array | None = None) -> Array:
        """The last, clipped frame, or none; out, when given, is (lanes, 1)."""
        covered = _frames._open_frame(self.samples, self.frames, self._flen, self._hop)
        if not covered:
            return np.empty((self._signals, self.rows, 0))
        if out is None:
            out = np.empty((self._lanes, 1))
        out[:, 0] = self._sums[:, self.frames % self._sums.shape[1]]
        self.frames += 1
        return self._values(out, covered)

    def held(self) -> bool:
        return _frames._open_frame(self.samples, self.frames, self._flen, self._hop) > 0

    def whole(self, x: Array) -> Array:
        n = x.shape[-1]
        done = _frames._completed(n, self._flen, self._hop)
        out = np.empty((self._lanes, _frames._frame_count(n, self._flen, self._hop)))
        self.feed(x, out[:, :done])
        self.finish(out[:, done:])
        return out.reshape(self._signals, self.rows, out.shape[1])

    def _values(self, sums: Array, covered: int) -> Array:
        """Frame sums of y (lanes, frames) to the values (signals, rows, frames), in place."""
        np.divide(sums, covered, out=sums)
        if self._compression == "cbrt":
            np.cbrt(sums, out=sums)
        elif self._compression == "log":
            np.maximum(sums, RATEMAP_FLOOR, out=sums)
            np.log10(sums, out=sums)
            np.multiply(sums, 20.0, out=sums)
        return sums.reshape(self._signals, self.rows, sums.shape[1])


@functools.lru_cache(maxsize=16)
def dct_matrix(n_ceps: int, channels: int) -> Array:
    """The first n_ceps rows of the orthonormal DCT-II over `channels` points (read-only, shared)."""
    k = np.arange(n_ceps)[:, np.newaxis]
    n = np.arange(channels)[np.newaxis, :]
    m: Array = np.cos(np.pi * k * (2 * n + 1) / (2 * channels))
    m *= np.where(k == 0, math.sqrt(1.0 / channels), math.sqrt(2.0 / channels))
    m.flags.writeable = False
    return m


def _delta(c: Array, left: bool, right: bool) -> Array:
    """The regression Σ_{k=1,2} k (c_{t+k} - c_{t-k}) / 10 along axis 1.

    `left`, `right`: whether c starts (ends) at the signal's first (last)
    frame, whose values are then repeated past the edge.  Returns the
    deltas of the frames whose neighbours are known: from c's first frame
    when `left`, else from its third; to its last when `right`, else to its
    third-last.  Each is ((c[t+1] - c[t-1]) + 2 (c[t+2] - c[t-2])) / 10,
    rounded in that order.
    """
    m = max(c.shape[1] - 2 * DELTA_REACH + DELTA_REACH * (left + right), 0) if c.shape[1] else 0
    d = np.empty((c.shape[0], m))
    if m:
        _engine.delta(c, d, left, right)
    return d


class _Gfcc:
    """The GFCC: frame energies, compressed, DCT, with deltas, of every signal.

    The cepstra of all signals are kept as (signals * n_ceps, frames) rows,
    along which the deltas run.
    """

    def __init__(self, fs: int, cfs: Array, frame_len: int, hop_len: int, n_ceps: int, compression: str,
                 deltas: int, normalize: bool, threads: int, signals: int) -> None:
        self.rows = n_ceps * (1 + deltas)
        self._signals = signals
        self._sums = _cochleagram._FrameSums(fs, cfs, frame_len, hop_len, threads, signals)
        self._scale = np.tile(cf_gain(fs, cfs) ** 2, signals) if normalize else None
        self._dct = dct_matrix(n_ceps, cfs.size)
        self._compression = compression
        self._deltas = deltas
        self._channels = cfs.size
        # Cepstra not yet returned, and the 2 x deltas frames before them that
        # their deltas reach back to.
        self._window = np.empty((signals * n_ceps, 0))
        self._base = 0  # frame index of the window's first column
        self._given = 0  # frames returned

    def _cepstra(self, sums: Array, covered: int | Array) -> Array:
        """Frame sums of squares (lanes x frames) to cepstra (signals * n_ceps x frames);
        covered: the samples each frame sums, one count or one per frame."""
        np.divide(sums, covered, out=sums)
        if self._scale is not None:
            np.divide(sums, self._scale[:, np.newaxis], out=sums)
        if self._compression == "cbrt":
            np.cbrt(sums, out=sums)
        else:
            np.maximum(sums, GFCC_FLOOR, out=sums)
            np.log(sums, out=sums)
        # The DCT summed over channels in order, one product at a time: the
        # same bits whatever the number of frames (a BLAS product is not),
        # so every signal's frames go through one call side by side.
        b, n_ceps, k = self._signals, self._dct.shape[0], sums.shape[1]
        e = np.ascontiguousarray(sums.reshape(b, self._channels, k).transpose(1, 0, 2)).reshape(self._channels, b * k)
        c = np.empty((n_ceps, b * k))
        _engine.project(self._dct, e, c)
        return np.ascontiguousarray(c.reshape(n_ceps, b, k).transpose(1, 0, 2)).reshape(b * n_ceps, k)

    def feed(self, x: Array) -> Array:
        sums = np.empty((self._signals * self._channels, self._sums.completes(x.shape[-1])))
        self._sums.feed(x, sums)
        c = self._cepstra(sums, self._sums.frame_len)
        del sums
        return self._emit(c, False)

    def finish(self) -> Array:
        sums = np.empty((self._signals * self._channels, 1))
        covered = self._sums.finish(sums)
        return self._emit(self._cepstra(sums[:, :1 if covered else 0], covered), True)

    def held(self) -> bool:
        return self._given < self._sums.frames or self._sums.held()

    def whole(self, x: Array) -> Array:
        # The complete frames and the clipped last one go through the cepstra
        # at once, and the deltas straight into the result: no copies of it,
        # and few fresh pages to fault in.
        done = self._sums.completes(x.shape[-1])
        sums = np.empty((self._signals * self._channels, done + 1))
        self._sums.feed(x, sums[:, :done])
        covered = self._sums.finish(sums[:, done:])
        counts = np.full(done + 1, self._sums.frame_len)
        counts[done] = covered
        k = done + 1 if covered else done
        c = self._cepstra(sums[:, :k], counts[:k])
        del sums
        n = self._dct.shape[0]
        out = np.empty((self._signals, self.rows, k))
        out[:, :n] = c.reshape(self._signals, n, k)
        for rows in out:
            for order in range(self._deltas):
                _engine.delta(rows[order * n:(order + 1) * n], rows[(order + 1) * n:(order + 2) * n], True, True)
        self._given = k
        return out

    def _emit(self, c: Array, last: bool) -> Array:
        """The rows of the frames that the new cepstra c complete.

        The window holds the cepstra from frame ``_base`` on.  Each delta
        order needs DELTA_REACH frames on either side, so the deltas of
        the window start DELTA_REACH frames later than what they are taken
        of, unless the window starts at frame 0 (whose value is repeated
        before it), and end as many frames earlier, unless c ends the
        signal.  Every frame's values come from the same numbers by the
        same operations however the signal was chunked.
        """
        window = np.concatenate([self._window, c], axis=1) if self._window.shape[1] else c
        start = self._base == 0
        parts = [window]
        for _ in range(self._deltas):
            parts.append(_delta(parts[-1], start, last))
        shift = 0 if start else DELTA_REACH
        lo = self._given - self._base
        hi = max(len(parts) - 1, 0) * shift + parts[-1].shape[1]
        if hi > lo:
            out = np.concatenate([p[:, lo - i * shift:hi - i * shift].reshape(self._signals, -1, hi - lo)
                                  for i, p in enumerate(parts)], axis=1)
            self._given += hi - lo
        else:
            out = np.empty((self._signals, self.rows, 0))
        keep = max(self._given - DELTA_REACH * self._deltas, self._base)
        self._window = window[:, keep - self._base:]
        self._base = keep
        return out


class _Recipe(NamedTuple):
    """A feature with its options checked: how to make a core, and its shape."""

    make: Callable[[int | None], _Core]  # for that many signals, or one 1-D signal (None)
    rows: int


def _recipe(feature: str, fs: int, cfs: Array, options: dict[str, Any]) -> _Recipe:
    """The feature's options checked (those of its function), as a _Recipe.

    TypeError for an option the feature does not take.
    """
    takes = {
        "levels": ("frame", "hop", "normalize", "workers"),
        "ihc": ("model", "workers"),
        "ratemap": ("frame", "hop", "tau", "compression", "workers"),
        "gfcc": ("n_ceps", "frame", "hop", "compression", "deltas", "normalize", "workers"),
    }[feature]
    unknown = sorted(set(options) - set(takes))
    if unknown:
        raise TypeError(f"feature {feature!r} takes no option {unknown[0]!r} (it takes {', '.join(takes)})")
    threads = _checks.workers(options.get("workers"))
    if feature == "ihc":
        model = _checks.choice("model", options.get("model", "dau1996"), tuple(MODELS))
        cutoff = MODELS[model][1]
        if cutoff >= fs / 2:
            raise ValueError(f"model {model!r} lowpasses at {cutoff:g} Hz, which needs fs above {2 * cutoff:g} Hz, "
                             f"got {fs}: choose another model, or resample x")
        return _Recipe(lambda b: _Ihc(fs, cfs, model, threads, b or 1), cfs.size)
    flen, hop = _frames._frame_samples(fs, options.get("frame", 0.025), options.get("hop", 0.010))
    if feature == "levels":
        levels = _cochleagram._recipe(fs, cfs, options.get("frame", 0.025), options.get("hop", 0.010),
                                      options.get("normalize", False), threads)
        return _Recipe(lambda b: levels.make(b or 1), cfs.size)
    if feature == "ratemap":
        tau = _checks.positive("tau", options.get("tau", 0.008), "time constant in seconds")
        compression = _checks.choice("compression", options.get("compression"), RATEMAP_COMPRESSIONS)
        return _Recipe(lambda b: _Ratemap(fs, cfs, flen, hop, tau, compression, threads, b or 1), cfs.size)
    n_ceps = _checks.count("n_ceps", options.get("n_ceps", N_CEPS), 1, cfs.size)
    compression = _checks.choice("compression", options.get("compression", "cbrt"), GFCC_COMPRESSIONS)
    deltas = _checks.count("deltas", options.get("deltas", 2), 0, 2)
    normalize = _checks.flag("normalize", options.get("normalize", False))
    return _Recipe(lambda b: _Gfcc(fs, cfs, flen, hop, n_ceps, compression, deltas, normalize, threads, b or 1),
                 n_ceps * (1 + deltas))


def _shaped(out: Array, batch: tuple[int, ...] | None) -> Array:
    """A core's (signals, rows, columns) result as batch + (rows, columns), or (rows, columns) for batch None."""
    if batch is None:
        one: Array = out[0]
        return one
    shaped: Array = _axis.batched(out, batch)  # type: ignore[assignment]
    return shaped


def _compute(feature: str, x: ArrayLike, fs: SupportsIndex | float, cfs: ArrayLike, axis: object,
             options: dict[str, Any]) -> Array:
    """A feature of x: one signal, or a batch of signals through one engine."""
    rate = _checks.fs(fs)
    centres = _checks.cfs(cfs, rate)
    s = _axis.signals(x, axis, strided=True)
    recipe = _recipe(feature, rate, centres, options)
    core = recipe.make(None if s.batch is None else s.rows.shape[0])
    return _shaped(core.whole(s.rows), s.batch)


def ihc_envelope(
    x: ArrayLike,
    fs: SupportsIndex | float,
    cfs: ArrayLike,
    *,
    model: str = "dau1996",
    workers: int | None = None,
    axis: int | None = None,
) -> Array:
    """Inner-hair-cell envelope: each channel half-wave rectified and lowpassed.

    Parameters
    ----------
    x, fs, cfs, workers
        As for :func:`filterbank` (same checks).
    model : {"dau1996", "breebaart2001", "none"}, default "dau1996"
        The lowpass after the rectification, named after the papers of
        the Auditory Modeling Toolbox's presets:

        - ``"dau1996"``: one first-order Butterworth lowpass at 1000 Hz;
        - ``"breebaart2001"``: five such stages in series at 2000 Hz each,
          about 770 Hz at -3 dB overall;
        - ``"none"``: the rectification only.

        A cutoff must lie below fs/2 (ValueError otherwise).

        Each stage is the bilinear design of ``scipy.signal.butter(1, fc,
        fs=fs)`` (the same coefficients, bit for bit) run from rest in the
        transposed direct form of ``scipy.signal.lfilter``:
        ``y = z + b0*x; z = b1*x - a1*y``, each operation rounded on its
        own.  ``lfilter(b, a, r)`` of the rectified ``bm`` gives the same
        bits.
    axis : int or None, default None
        None takes a 1-D x.  An int names x's time axis; every other
        axis is a batch of signals, each computed bit for bit as by its own
        1-D call, and the result is shaped (x's other axes) + the 1-D
        result's shape.

    Returns
    -------
    ndarray
        (channels, samples), float64, at the sample rate.  The rectification
        is the single-channel filter's: a negative value of ``bm`` becomes
        +0.0 (-0.0 and NaN pass as they are).

    Raises
    ------
    TypeError
        For a model that is not a string, and as :func:`filterbank` for x,
        fs, cfs, workers and axis.
    ValueError
        For a model not among the presets, a preset whose cutoff is not
        below fs/2 (``"dau1996"`` needs fs above 2000 Hz,
        ``"breebaart2001"`` above 4000 Hz), and as :func:`filterbank`.

    Notes
    -----
    AMT's ``ihcenvelope(..., 'ihc_dau1996')`` and ``'ihc_breebaart2001'``
    are the models named; AMT runs them on its own filterbank's output,
    this on :func:`filterbank`'s ``bm``.

    Examples
    --------
    >>> fs = 16000
    >>> cfs = erb_space(100, 6000, 16)
    >>> x = np.random.default_rng(0).standard_normal(fs // 10)
    >>> e = ihc_envelope(x, fs, cfs)
    >>> e.shape, bool((e >= 0).all())
    ((16, 1600), True)
    >>> rectified = ihc_envelope(x, fs, cfs, model="none")
    >>> np.array_equal(rectified, np.maximum(filterbank(x, fs, cfs).bm, 0.0))
    True
    >>> ihc_envelope(x, 1500, [100.0])
    Traceback (most recent call last):
        ...
    ValueError: model 'dau1996' lowpasses at 1000 Hz, which needs fs above 2000 Hz, got 1500: choose another model, or resample x
    """
    return _compute("ihc", x, fs, cfs, axis, {"model": model, "workers": workers})


def ratemap(
    x: ArrayLike,
    fs: SupportsIndex | float,
    cfs: ArrayLike,
    *,
    frame: float = 0.025,
    hop: float = 0.010,
    tau: float = 0.008,
    compression: str | None = None,
    workers: int | None = None,
    axis: int | None = None,
) -> Array:
    """Ratemap: each channel's envelope smoothed by a leaky integrator, averaged per frame.

    Parameters
    ----------
    x, fs, cfs, workers
        As for :func:`filterbank`.
    frame, hop : float, default 0.025, 0.010
        Seconds, as for :func:`cochleagram`: the same frames, the clipped
        last one included.
    tau : float, default 0.008
        The integrator's time constant in seconds (8 ms, the usual ratemap
        of computational auditory scene analysis).
    compression : {None, "cbrt", "log"}, default None
        None leaves the values as they are; ``"cbrt"`` takes their cube
        root (``numpy.cbrt``); ``"log"`` gives ``20 log10(max(v, 1e-6))``,
        floored at -120 dB like the levels.
    axis : int or None, default None
        x's time axis for a batch of signals, as for :func:`ihc_envelope`.

    Returns
    -------
    ndarray
        (channels, frames), float64.

    Raises
    ------
    TypeError
        For a tau that is not a number (a bool included), and as
        :func:`cochleagram` for x, fs, cfs, frame, hop, workers and axis.
    ValueError
        For a tau that is not positive and finite, a compression not among
        the choices, and as :func:`cochleagram`.

    Notes
    -----
    ``env`` is :func:`filterbank`'s envelope.  It is smoothed from rest by
    ``y[t] = a*y[t-1] + (1 - a)*env[t]`` with ``a = exp(-1/(tau*fs))``
    (``a*y[t-1]`` and ``(1 - a)*env[t]`` rounded each, then added; equal to
    ``scipy.signal.lfilter([1 - a], [1, -a], env)`` to rounding), and a
    frame's value is the mean of y over it: the sum in sample order from
    0.0, divided by the samples the frame covers.

    Examples
    --------
    >>> fs = 16000
    >>> cfs = erb_space(100, 6000, 16)
    >>> x = np.random.default_rng(0).standard_normal(fs // 4)
    >>> r = ratemap(x, fs, cfs, compression="log")
    >>> r.shape == cochleagram(x, fs, cfs).shape
    True
    >>> stereo = np.stack([x, x[::-1]], axis=1)
    >>> both = ratemap(stereo, fs, cfs, compression="log", axis=0)
    >>> both.shape, np.array_equal(both[0], r)
    ((2, 16, 24), True)
    >>> ratemap(x, fs, cfs, compression="sqrt")
    Traceback (most recent call last):
        ...
    ValueError: compression must be one of None, 'cbrt', 'log', got 'sqrt'
    """
    return _compute("ratemap", x, fs, cfs, axis, {"frame": frame, "hop": hop, "tau": tau,
                                                  "compression": compression, "workers": workers})


def gfcc(
    x: ArrayLike,
    fs: SupportsIndex | float,
    cfs: ArrayLike,
    *,
    n_ceps: int = N_CEPS,
    frame: float = 0.025,
    hop: float = 0.010,
    compression: str = "cbrt",
    deltas: int = 2,
    normalize: bool = False,
    workers: int | None = None,
    axis: int | None = None,
) -> Array:
    """Gammatone cepstral coefficients (GFCC), with deltas.

    Parameters
    ----------
    x, fs, cfs, workers
        As for :func:`filterbank`.
    n_ceps : int, default 13
        Coefficients kept, 1 .. channels, the 0th (the mean of the
        compressed energies, times sqrt(channels)) included.
    frame, hop, normalize
        As for :func:`cochleagram`: the same frames, and E divided by
        ``cf_gain(fs, cfs)**2`` with ``normalize``.
    compression : {"cbrt", "log"}, default "cbrt"
        ``"cbrt"``: E**(1/3) (``numpy.cbrt``); ``"log"``: the natural log
        of ``max(E, 1e-12)``.
    deltas : {0, 1, 2}, default 2
        1 appends the deltas, 2 the delta-deltas as well.
    axis : int or None, default None
        x's time axis for a batch of signals, as for :func:`ihc_envelope`.

    Returns
    -------
    ndarray
        (n_ceps * (1 + deltas), frames), float64: the cepstra, then their
        deltas, then the delta-deltas.

    Raises
    ------
    TypeError
        For an n_ceps or deltas that is not an int (2.0 included), a
        normalize that is not a bool, and as :func:`cochleagram` for x, fs,
        cfs, frame, hop, workers and axis.
    ValueError
        For an n_ceps outside 1 .. channels, deltas outside 0 .. 2, a
        compression not among the choices, and as :func:`cochleagram`.

    Notes
    -----
    E is each channel's mean square of ``bm`` over each frame, the very
    sums behind :func:`cochleagram`.  After the compression, the
    orthonormal DCT-II over the channels (``scipy.fft.dct(E, type=2,
    norm="ortho", axis=0)``, to rounding: here each coefficient is summed
    over the channels in order) keeps its first n_ceps rows.  The deltas
    are the regression ``d_t = sum_(k=1,2) k (c_(t+k) - c_(t-k)) / 10``,
    rounded as ``((c[t+1] - c[t-1]) + 2 (c[t+2] - c[t-2])) / 10``, with the
    first and last frames repeated past the edges; the delta-deltas are the
    same of the deltas.

    Other tools' defaults differ, so their coefficients differ too.  Closest
    settings (the values still differ: those tools filter FFT spectra or
    window their frames):

    - MATLAB ``gtcc``: ``frame=0.030, hop=0.010, compression="log",
      n_ceps=13, deltas=0`` over ``erb_space(50, fs/2 * 0.99, n)``
      (MATLAB's gammatone bank spans 50 Hz to fs/2); MATLAB replaces the
      0th coefficient with the frame's log energy by default, and computes
      its deltas (``audioDelta``) over a different window.
    - spafe ``gfcc``: ``frame=0.025, hop=0.010, compression="cbrt",
      n_ceps=13, deltas=0`` over 24 channels up to fs/2, on the
      pre-emphasised signal ``x[1:] - 0.97*x[:-1]``.

    Examples
    --------
    >>> fs = 16000
    >>> cfs = erb_space(100, 6000, 32)
    >>> x = np.random.default_rng(0).standard_normal(fs // 4)
    >>> c = gfcc(x, fs, cfs)
    >>> c.shape                 # 13 cepstra, 13 deltas, 13 delta-deltas; 24 frames
    (39, 24)
    >>> e = np.cbrt(10 ** (cochleagram(x, fs, cfs) / 10))   # E from the levels, compressed
    >>> k, n = np.arange(13)[:, None], np.arange(32)[None, :]
    >>> dct = np.cos(np.pi * k * (2 * n + 1) / 64) * np.where(k == 0, np.sqrt(1 / 32), np.sqrt(2 / 32))
    >>> np.allclose(c[:13], dct @ e, rtol=0, atol=1e-9)
    True
    >>> gfcc(x, fs, cfs, n_ceps=40)
    Traceback (most recent call last):
        ...
    ValueError: n_ceps must be an int in 1 .. 32, got 40
    """
    return _compute("gfcc", x, fs, cfs, axis, {"n_ceps": n_ceps, "frame": frame, "hop": hop,
                                               "compression": compression, "deltas": deltas,
                                               "normalize": normalize, "workers": workers})


class FeatureStream(_Closable):
    """A feature of a signal fed in chunks, as its one-shot function gives it.

    Parameters
    ----------
    fs, cfs
        As for :func:`filterbank`.
    feature : {"levels", "ihc", "ratemap", "gfcc"}
        :func:`cochleagram`'s levels, :func:`ihc_envelope`,
        :func:`ratemap` or :func:`gfcc`.
    axis : int or None, default None
        None takes 1-D chunks.  An int names the chunks' time axis: the
        first non-empty chunk fixes the other axes (a batch of signals,
        each streamed on its own), and a later chunk with other axes is
        refused (ValueError), leaving the stream as it was.
    **options
        The keyword arguments of the feature's function (``model`` for
        ``"ihc"``; ``frame``, ``hop``, ``tau``, ``compression`` for
        ``"ratemap"``; and so on, with the same defaults), and ``workers``.
        TypeError for one the feature does not take.

    Notes
    -----
    ``process(chunk)`` returns what the chunk completes: its samples for
    ``"ihc"`` (channels, samples), else the frames it completes (rows,
    frames), possibly none; with ``axis`` both carry the batch's axes in
    front.  ``"gfcc"`` with deltas holds back the last 2 x deltas complete
    frames, whose deltas need the frames after them.  ``close()`` returns
    the rest: the clipped last frame, and the frames held back.
    Everything returned, concatenated along the last axis, equals the
    one-shot function on the whole signal bit for bit, however it was
    chunked.

    ``reset()`` starts afresh, as a new stream; ``process`` or ``close``
    after ``close`` raises ValueError; one call runs at a time.  Used as a
    context manager it closes on the way out; leaving the block without
    ``close()`` while frames are held back warns (RuntimeWarning) that
    they were dropped.

    Attributes
    ----------
    feature : str
    fs : int
    cfs : ndarray
    rows : int
        Rows of each result: channels, or n_ceps x (1 + deltas) for gfcc.
    samples : int
        Samples fed so far, per signal.

    Raises
    ------
    TypeError
        For an option the feature does not take, and as the feature's
        function for the options' kinds and for fs, cfs and axis.
    ValueError
        For a feature not among the four, and as the feature's function for
        the options' values.  ``process`` raises it for a chunk with other
        axes (the stream is left as it was) and after ``close()``.

    Examples
    --------
    >>> fs = 16000
    >>> cfs = erb_space(100, 6000, 16)
    >>> x = np.random.default_rng(0).standard_normal(fs // 4)
    >>> with FeatureStream(fs, cfs, "gfcc", n_ceps=8) as live:
    ...     parts = [live.process(chunk) for chunk in np.array_split(x, 5)]
    ...     parts.append(live.close())
    >>> [p.shape[1] for p in parts]      # frames completed; the last 4 held back until close()
    [0, 4, 5, 5, 5, 5]
    >>> np.array_equal(np.concatenate(parts, axis=1), gfcc(x, fs, cfs, n_ceps=8))
    True
    >>> FeatureStream(fs, cfs, "ratemap", n_ceps=8)
    Traceback (most recent call last):
        ...
    TypeError: feature 'ratemap' takes no option 'n_ceps' (it takes frame, hop, tau, compression, workers)
    """

    def __init__(
        self,
        fs: SupportsIndex | float,
        cfs: ArrayLike,
        feature: str,
        *,
        axis: int | None = None,
        **options: Any,
    ) -> None:
        self.fs = _checks.fs(fs)
        self.cfs = _checks.cfs(cfs, self.fs)
        self.feature: str = _checks.choice("feature", feature, FEATURES)
        self._axis = _axis.time_axis(axis)  # its range is checked on each chunk
        self._recipe = _recipe(self.feature, self.fs, self.cfs, options)
        #: rows of each result: channels, or n_ceps * (1 + deltas) for "gfcc"
        self.rows = self._recipe.rows
        self._lock = threading.Lock()
        self._start()

    def _start(self) -> None:
        # One core for the whole batch, made by the first non-empty chunk when axis is given.
        self._core: _Core | None = None if self._axis is not None else self._recipe.make(None)
        self._batch: tuple[int, ...] | None = None
        self.closed = False
        self.samples = 0

    def process(self, chunk: ArrayLike) -> Array:
        """Feed the next samples; returns what they complete (see the class)."""
        s = _axis.signals(chunk, self._axis, "chunk")
        with self._lock:
            if self.closed:
                raise ValueError(CLOSED)
            if s.batch is not None:
                if self._batch is None:
                    if s.rows.shape[1] == 0:
                        return np.empty(s.batch + (self._recipe.rows, 0))
                    self._batch = s.batch
                    self._core = self._recipe.make(s.rows.shape[0])
                elif s.batch != self._batch:
                    raise ValueError(
                        f"chunk has other axes {s.batch} than the stream's first chunk {self._batch}: "
                        f"every chunk must hold the same signals, only their length may change"
                    )
            assert self._core is not None
            out = _shaped(self._core.feed(s.rows), self._batch)
            self.samples += s.rows.shape[-1]
            return out

    def close(self) -> Array:
        """End the stream; returns the rest (the clipped frame, the frames held back)."""
        with self._lock:
            if self.closed:
                raise ValueError(CLOSED)
            self.closed = True
            if self._core is None:
                return np.empty((self._recipe.rows, 0))
            return _shaped(self._core.finish(), self._batch)

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None
    ) -> None:
        with self._lock:
            dropped = not self.closed and kind is None and self._core is not None and self._core.held()
            self.closed = True
        if dropped:
            warnings.warn(
                f"FeatureStream({self.feature!r}) left without close(): its last frames were dropped; "
                f"call close() to get them", RuntimeWarning, stacklevel=2,
            )


def feature_streams(fs: int, cfs: Array, names: tuple[str, ...], frame: float, hop: float, normalize: bool,
                    workers: int | None) -> dict[str, FeatureStream]:
    """The streams of the features a features file holds besides the levels.

    Each with its function's defaults, and the file's frame and hop (and
    normalize, for gfcc, whose energies are the levels' own); gfcc keeps
    13 coefficients, or one per channel when there are fewer channels.
    """
    options: dict[str, dict[str, Any]] = {
        "gfcc": {"frame": frame, "hop": hop, "normalize": normalize, "n_ceps": min(N_CEPS, cfs.size)},
        "ratemap": {"frame": frame, "hop": hop},
        "ihc": {},
    }
    return {name: FeatureStream(fs, cfs, name, workers=workers, **options[name])
            for name in names if name != "levels"}
