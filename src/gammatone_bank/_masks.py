"""Time-frequency masks on cochleagram frames: checking them, and the
ideal masks.

A mask holds one weight per channel and frame, on the frames of
:func:`cochleagram` with the same ``frame`` and ``hop``, so a mask computed
from cochleagrams lines up with the signal they were computed from.
"""

from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

from gammatone_bank import _axis, _checks
from gammatone_bank._checks import Array
from gammatone_bank._frames import _frame_count, _frame_samples
from gammatone_bank._cochleagram import cochleagram

def _check_mask(mask: ArrayLike, shape: tuple[int, ...]) -> Array:
    """mask as float64 of the given shape (a batch's other axes, channels,
    frames), every weight in [0, 1]."""
    m = _checks.float64("mask", mask, "real weights in [0, 1]")
    if m.shape != shape:
        raise ValueError(
            f"mask must have shape (channels, frames) = {shape}, the shape of the cochleagram with the same "
            f"frame and hop" + (f" (with x's other axes in front)" if len(shape) > 2 else "") + f", got {m.shape}"
        )
    bad = np.flatnonzero(~((m >= 0.0) & (m <= 1.0)))
    if bad.size:
        at = tuple(int(i) for i in np.unravel_index(int(bad[0]), shape))
        raise ValueError(f"mask weights must lie in [0, 1], got {float(m[at])!r} at {at}")
    return m


def _energies(
    target: ArrayLike,
    interference: ArrayLike,
    fs: SupportsIndex | float,
    cfs: ArrayLike,
    frame: float,
    hop: float,
    axis: int | None,
) -> tuple[Array, Array]:
    """The frame levels of target and interference, from their cochleagrams,
    shaped (other axes) + (channels, frames)."""
    rate = _checks.fs(fs)
    centres = _checks.cfs(cfs, rate)
    parts = [_axis.signals(a, axis, name) for a, name in ((target, "target"), (interference, "interference"))]
    s, v = parts
    if s.rows.shape != v.rows.shape or s.batch != v.batch:
        raise ValueError(
            f"target and interference must have the same shape (the two parts of one mixture), "
            f"got {np.shape(target)} and {np.shape(interference)}"
        )
    for p, name in zip(parts, ("target", "interference")):
        _checks.finite(name, p.rows)
    frames = _frame_count(s.rows.shape[-1], *_frame_samples(rate, frame, hop))
    levels: list[Array] = []
    for p in parts:
        rows = p.rows if p.batch is not None else p.rows[np.newaxis]
        out = np.empty((rows.shape[0], centres.size, frames))
        for i, row in enumerate(rows):
            out[i] = cochleagram(row, rate, centres, frame=frame, hop=hop)
        levels.append(out[0] if p.batch is None else out.reshape(p.batch + out.shape[1:]))
    return levels[0], levels[1]


_MASK_ARGS = """target, interference : array_like
        The two parts of a mixture, of the same shape and finite
        (ValueError naming the one with a NaN or inf otherwise): 1-D, or
        many signals with ``axis`` naming their time axis.
    fs, cfs
        As for :func:`cochleagram` (same checks).
    frame, hop : float, default 0.025, 0.010
        The frames in seconds, as for :func:`cochleagram`.
    axis : int or None, default None
        None for 1-D parts, else their time axis, as for
        :func:`resynthesize`; every signal's mask has the bits of a 1-D
        call."""

_MASK_RETURNS = """Returns
    -------
    ndarray
        float64, the shape of the parts' cochleagram: (channels, frames),
        with their other axes in front when ``axis`` is given, ready for
        ``resynthesize(target + interference, fs, cfs, mask=..., axis=axis)``
        with the same frame and hop."""

_MASK_RAISES = """TypeError
        For a non-numeric part, and as :func:`cochleagram` for fs, cfs,
        frame, hop and axis."""


def ideal_binary_mask(
    target: ArrayLike,
    interference: ArrayLike,
    fs: SupportsIndex | float,
    cfs: ArrayLike,
    *,
    frame: float = 0.025,
    hop: float = 0.010,
    lc: float = 0.0,
    axis: int | None = None,
) -> Array:
    """1.0 where the target's level exceeds the interference's by more than lc dB, else 0.0.

    The levels are those of :func:`cochleagram` with the same fs, cfs,
    frame and hop (floored at -120 dB, so where both are silent the mask is
    0 for lc >= 0).

    Parameters
    ----------
    {args}
    lc : float, default 0.0
        The local criterion in dB, a finite number.

    {returns}

    Raises
    ------
    {raises}  A bool or non-number as lc.
    ValueError
        For parts of different shapes or not finite, an lc that is not
        finite, and as :func:`cochleagram`.

    Examples
    --------
    >>> fs = 16000
    >>> cfs = erb_space(100, 6000, 16)
    >>> t = np.arange(fs // 4) / fs
    >>> speech = np.sin(2 * np.pi * 500 * t)
    >>> noise = 0.1 * np.random.default_rng(0).standard_normal(t.size)
    >>> mask = ideal_binary_mask(speech, noise, fs, cfs)
    >>> mask.shape, bool(mask[cfs.searchsorted(500)].all())
    ((16, 24), True)
    >>> cleaner = resynthesize(speech + noise, fs, cfs, mask=mask)
    """
    criterion = _checks.real("lc", lc)
    if not np.isfinite(criterion):
        raise ValueError(f"lc must be a finite number of dB, got {lc!r}")
    s, v = _energies(target, interference, fs, cfs, frame, hop, axis)
    return (s - v > criterion).astype(np.float64)


def ideal_ratio_mask(
    target: ArrayLike,
    interference: ArrayLike,
    fs: SupportsIndex | float,
    cfs: ArrayLike,
    *,
    frame: float = 0.025,
    hop: float = 0.010,
    beta: float = 0.5,
    axis: int | None = None,
) -> Array:
    """(S / (S + N)) ** beta per channel and frame, S and N the frame energies.

    S and N are the mean squares of target and interference over the frames
    of :func:`cochleagram` (from its levels, so floored at 1e-12).

    Parameters
    ----------
    {args}
    beta : float, default 0.5
        A positive finite exponent that shapes the mask (0.5, the usual
        choice; 1 gives the Wiener-like power ratio).

    {returns}

    Raises
    ------
    {raises}  A bool or non-number as beta.
    ValueError
        For parts of different shapes or not finite, a beta that is not
        positive and finite, and as :func:`cochleagram`.

    Examples
    --------
    >>> fs = 16000
    >>> cfs = erb_space(100, 6000, 16)
    >>> rng = np.random.default_rng(0)
    >>> target, interference = rng.standard_normal((2, fs // 4))
    >>> mask = ideal_ratio_mask(target, interference, fs, cfs)
    >>> mask.shape, bool(((mask >= 0) & (mask <= 1)).all())
    ((16, 24), True)
    >>> both = ideal_ratio_mask(np.stack([target, target]), np.stack([interference, target]), fs, cfs, axis=-1)
    >>> both.shape, np.array_equal(both[0], mask), bool(np.allclose(both[1], 0.5 ** 0.5))
    ((2, 16, 24), True, True)
    >>> ideal_ratio_mask(target, interference, fs, cfs, beta=0)
    Traceback (most recent call last):
        ...
    ValueError: beta must be a positive finite exponent, got 0
    """
    exponent = _checks.positive("beta", beta, "exponent")
    s, v = _energies(target, interference, fs, cfs, frame, hop, axis)
    np.divide(s, 10.0, out=s)
    np.divide(v, 10.0, out=v)
    power_s, power_v = np.power(10.0, s), np.power(10.0, v)
    ratio: Array = np.power(power_s / (power_s + power_v), exponent)
    return ratio


def _fill(doc: str, key: str, text: str) -> str:
    """doc with {key} replaced by text, indented as the line it stands on
    (text's later lines are written indented by four spaces, as in a
    function's body, whether or not the compiler strips docstrings)."""
    at = doc.index("{" + key + "}")
    indent = doc[doc.rindex("\n", 0, at) + 1:at]
    lines = text.split("\n")
    body = "\n".join(indent + line[4:] if line else line for line in lines[1:])
    return doc[:at] + lines[0] + ("\n" + body if body else "") + doc[at + len(key) + 2:]


for _f in (ideal_binary_mask, ideal_ratio_mask):
    assert _f.__doc__ is not None
    for _key, _text in (("args", _MASK_ARGS), ("returns", _MASK_RETURNS), ("raises", _MASK_RAISES)):
        _f.__doc__ = _fill(_f.__doc__, _key, _text)
