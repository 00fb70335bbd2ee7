"""Time-frequency masks on cochleagram frames: checking, ideal masks, and
spreading a mask's frames over samples.

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


def _window(offsets: NDArray[np.int64], length: int) -> Array:
    """A raised cosine of `length` samples at the given offsets into it, positive at every sample.

    Computed where it is needed, offset by offset, so that a long frame
    costs no window-long buffer: the same bits as the whole window indexed.
    """
    return 0.5 - 0.5 * np.cos(2.0 * np.pi * (offsets + 0.5) / length)


class _Spread:
    """A mask's frames turned into one gain per channel and sample.

    Frame k's weight rides on a raised cosine over the frame's samples
    (over its hop instead where the hop is longer, so no sample is left
    uncovered), and every sample's gain is the windowed sum of the weights
    divided by the sum of the windows.  Both sums add the same windows in
    the same order, so an all-ones mask gives gains of exactly 1 and an
    all-zeros mask gains of exactly 0.  Past the last sample the gains stay
    those of the last sample.
    """

    def __init__(self, mask: Array, n: int, frame_len: int, hop_len: int) -> None:
        self.mask, self.n, self.hop = mask, n, hop_len
        self.size = max(frame_len, hop_len)

    def _sum(self, weights: Array, a: int, b: int) -> Array:
        """Sum over frames k of weights[:, k] * win[t - k hop], for t in [a, b).

        Sample t = q hop + r lies at offset r + i hop into frame q - i, for
        i = 0, 1, ... while the offset stays in the window.  The samples are
        laid out as a grid of rows q and columns r, so that each i adds one
        weight per row times one window value per column: a pass per frame
        that overlaps a sample (frame / hop of them), not one per window
        sample, and no window-long buffer.  Each sample's terms are added in
        the order of their offset, from 0.0, so it gets the same bits
        whatever block it is computed in.
        """
        hop = self.hop
        out = np.empty((weights.shape[0], b - a))
        # A block no longer than a hop is cut where a hop starts, so that
        # each piece lies in one grid row: never a whole row of a long hop.
        cut = (a // hop + 1) * hop
        pieces = [(a, b)] if b - a > hop or cut >= b else [(a, cut), (cut, b)]
        for lo, hi in pieces:
            q0, q1 = lo // hop, (hi - 1) // hop + 1
            r0, r1 = (0, hop) if q1 - q0 > 1 else (lo - q0 * hop, hi - q0 * hop)
            start = q0 * hop + r0
            grid = self._grid(weights, q0, q1, r0, r1).reshape(weights.shape[0], -1)
            out[:, lo - a:hi - a] = grid[:, lo - start:hi - start]
        return out

    def _grid(self, weights: Array, q0: int, q1: int, r0: int, r1: int) -> Array:
        """The sums at t = q hop + r for rows q0 .. q1-1 and columns r0 .. r1-1."""
        hop, size, frames = self.hop, self.size, weights.shape[1]
        grid = np.zeros((weights.shape[0], q1 - q0, r1 - r0))
        k = np.arange(q0, q1)
        for i in range(-(-size // hop)):
            j = np.arange(r0, r1) + i * hop
            j = j[j < size]
            inside = (k - i >= 0) & (k - i < frames)
            if not j.size:
                break
            if inside.any():
                w = np.where(inside, weights[:, np.clip(k - i, 0, max(frames - 1, 0))], 0.0)
                grid[:, :, :j.size] += w[:, :, np.newaxis] * _window(j, size)
        return grid

    def gains(self, r0: int, r1: int, a: int, b: int) -> Array:
        """The gains of channels r0 .. r1-1 at samples a .. b-1 (any b: see the class)."""
        if b <= a or self.n == 0:
            return np.ones((r1 - r0, max(b - a, 0)))
        # Past the end: the last sample's gains, repeated.
        lo = min(a, self.n - 1)
        hi = max(min(b, self.n), lo + 1)
        out = self._sum(self.mask[r0:r1], lo, hi)
        np.divide(out, self._sum(np.ones((1, self.mask.shape[1])), lo, hi), out=out)
        if b > self.n:
            out = out[:, np.minimum(np.arange(a, b), self.n - 1) - lo]
        return out


def _mask_gains(mask: ArrayLike, n: int, fs: int, channels: int, frame: float, hop: float) -> _Spread:
    """The checked (channels x frames) mask for n samples, ready to spread over them."""
    frame_len, hop_len = _frame_samples(fs, frame, hop)
    return _Spread(_check_mask(mask, (channels, _frame_count(n, frame_len, hop_len))), n, frame_len, hop_len)


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
    exponent = _checks.real("beta", beta)
    if not (np.isfinite(exponent) and exponent > 0.0):
        raise ValueError(f"beta must be a positive finite exponent, got {beta!r}")
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
