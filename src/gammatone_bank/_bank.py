"""The filterbank: one gammatone channel per centre frequency.

Every channel runs on the compiled engine (gammatone_bank._engine), which
packs channels side by side into SIMD lanes and filters groups of them on
several threads at once, without the interpreter lock.  Each channel holds
exactly the bits a lone call of the single-channel gammatone_c filter would
have produced.
"""

import math
from typing import NamedTuple, SupportsIndex, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from gammatone_bank import _axis, _checks, _engine, _threads
from gammatone_bank._checks import Array as Array

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
    outputs = _outputs(bm=bm, env=env_out, instp=instp_out, instf=instf_out, analytic=analytic_out)
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


def _outputs(**arrays: NDArray[np.generic] | None) -> dict[str, Array | None]:
    """The engine's outputs by name, each array as its (lanes x columns) rows."""
    return {name: _lanes(a) for name, a in arrays.items()}


def _drive(
    engine: _engine.Engine,
    x: Array,
    outputs: dict[str, Array | None],
    threads: int,
) -> None:
    """Run x through every lane group of engine, on up to `threads` threads.

    outputs are the engine's outputs by name (bm, env, instp, instf, frames,
    analytic, weighted), each a (lanes x columns) array the engine writes in
    place; those left out or None are not computed.  x is the
    shared 1-D input, (signals x samples) with one row per signal, or
    (lanes x samples) with one row per lane.  Threads take runs of
    consecutive groups.
    """
    groups = engine.groups
    work = x.shape[-1] * engine.width
    threads = _threads.useful(work * groups, threads)
    if threads == 1:
        engine.process(x, 0, groups, **outputs)
        return
    run = _threads._task_size(work, groups, threads)
    if outputs.get("frames") is not None:
        run += run % 2  # the engine sums two groups' frames side by side

    def task(k: int) -> None:
        engine.process(x, k * run, min(k * run + run, groups), **outputs)

    _threads._run(task, -(-groups // run), threads)
