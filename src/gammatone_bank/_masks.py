"""Time-frequency masks on cochleagram frames: checking, ideal masks, and
spreading a mask's frames over samples.

A mask holds one weight per channel and frame, on the frames of
:func:`cochleagram` with the same ``frame`` and ``hop``, so a mask computed
from cochleagrams lines up with the signal they were computed from.
"""

from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike

from gammatone_bank._bank import Array, _check_cfs, _check_fs, _check_x, _frame_count, _frame_samples, _real
from gammatone_bank._cochleagram import cochleagram

# Rows spread at a time, so that memory follows this, not channels x samples.
SPREAD_ROWS = 16


def _float64(name: str, value: ArrayLike, what: str) -> Array:
    """value as a float64 array, safely cast, or TypeError naming it."""
    try:
        a = np.asarray(value)
        if a.dtype != np.float64:
            a = a.astype(np.float64, casting="safe")
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{name} must be {what}: {exc}") from None
    return a


def _check_mask(mask: ArrayLike, channels: int, frames: int) -> Array:
    """mask as float64 (channels x frames), every weight in [0, 1]."""
    m = _float64("mask", mask, "real weights in [0, 1]")
    if m.shape != (channels, frames):
        raise ValueError(
            f"mask must have shape (channels, frames) = ({channels}, {frames}), the shape of the "
            f"cochleagram with the same frame and hop, got {m.shape}"
        )
    bad = np.flatnonzero(~((m >= 0.0) & (m <= 1.0)))
    if bad.size:
        c, k = divmod(int(bad[0]), max(frames, 1))
        raise ValueError(f"mask weights must lie in [0, 1], got {float(m[c, k])!r} at ({c}, {k})")
    return m


def _window(length: int) -> Array:
    """A raised cosine of `length` samples, positive at every sample."""
    return 0.5 - 0.5 * np.cos(2.0 * np.pi * (np.arange(length) + 0.5) / length)


class _Spread:
    """A mask's frames turned into one gain per channel and sample.

    Frame k's weight rides on a raised cosine over the frame's samples
    (over its hop instead where the hop is longer, so no sample is left
    uncovered), and every sample's gain is the windowed sum of the weights
    divided by the sum of the windows.  Both sums add the same windows in
    the same order, so an all-ones mask gives gains of exactly 1 and an
    all-zeros mask gains of exactly 0.
    """

    def __init__(self, mask: Array, n: int, frame_len: int, hop_len: int) -> None:
        self.mask, self.n, self.hop = mask, n, hop_len
        self.win = _window(max(frame_len, hop_len))

    def _sum(self, weights: Array, a: int, b: int) -> Array:
        """Sum over frames k of weights[:, k] * win[t - k hop], for t in [a, b).

        Only the frames that reach [a, b) are added, each sample's terms in
        the order of their offset into the window, from 0.0: the same bits
        for a sample whatever block it is computed in.
        """
        size, hop = self.win.size, self.hop
        k0 = max(0, (a - size) // hop + 1)
        k1 = min(weights.shape[1], (b - 1) // hop + 1)
        frames, start = k1 - k0, k0 * hop
        out = np.zeros((weights.shape[0], max((frames - 1) * hop + size, b - start)))
        if frames > 0:
            part = weights[:, k0:k1]
            for j, w in enumerate(self.win):
                out[:, j:j + frames * hop:hop] += part * w
        return out[:, a - start:b - start]

    def gains(self, r0: int, r1: int, a: int, b: int) -> Array:
        """The gains of channels r0 .. r1-1 at samples a .. b-1."""
        out = self._sum(self.mask[r0:r1], a, b)
        np.divide(out, self._sum(np.ones((1, self.mask.shape[1])), a, b), out=out)
        return out

    def apply(self, rows: Array) -> None:
        """Multiply every row of (channels x n) rows by its gains, in place."""
        for r in range(0, rows.shape[0], SPREAD_ROWS):
            block = rows[r:r + SPREAD_ROWS]
            block *= self.gains(r, r + block.shape[0], 0, self.n)


def _mask_gains(mask: ArrayLike, n: int, fs: int, channels: int, frame: float, hop: float) -> _Spread:
    """The checked mask for n samples, ready to spread over them."""
    frame_len, hop_len = _frame_samples(fs, frame, hop)
    return _Spread(_check_mask(mask, channels, _frame_count(n, frame_len, hop_len)), n, frame_len, hop_len)


def _energies(
    target: ArrayLike, interference: ArrayLike, fs: SupportsIndex | float, cfs: ArrayLike, frame: float, hop: float
) -> tuple[Array, Array]:
    """The frame mean squares of target and interference, from their cochleagrams."""
    rate = _check_fs(fs)
    centres = _check_cfs(cfs, rate)
    s, v = _check_x(target, "target"), _check_x(interference, "interference")
    if s.size != v.size:
        raise ValueError(
            f"target and interference must have the same length (the two parts of one mixture), "
            f"got {s.size} and {v.size}"
        )
    levels = [cochleagram(a, rate, centres, frame=frame, hop=hop) for a in (s, v)]
    return levels[0], levels[1]


def ideal_binary_mask(
    target: ArrayLike,
    interference: ArrayLike,
    fs: SupportsIndex | float,
    cfs: ArrayLike,
    *,
    frame: float = 0.025,
    hop: float = 0.010,
    lc: float = 0.0,
) -> Array:
    """1.0 where the target's level exceeds the interference's by more than lc dB, else 0.0.

    target and interference: the two parts of a mixture, 1-D of equal length.
    The levels are those of :func:`cochleagram` with the same fs, cfs,
    frame and hop (floored at -120 dB, so where both are silent the mask is
    0 for lc >= 0), and the result has its shape (channels x frames), ready
    for ``resynthesize(target + interference, ..., mask=...)``.  lc: the
    local criterion in dB, a finite number.
    """
    criterion = _real("lc", lc)
    if not np.isfinite(criterion):
        raise ValueError(f"lc must be a finite number of dB, got {lc!r}")
    s, v = _energies(target, interference, fs, cfs, frame, hop)
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
) -> Array:
    """(S / (S + N)) ** beta per channel and frame, S and N the frame energies.

    S and N are the mean squares of target and interference over the frames
    of :func:`cochleagram` (from its levels, so floored at 1e-12); beta, a
    positive finite exponent (0.5 by default, the usual choice), shapes the
    mask: 1 gives the Wiener-like power ratio.  Arguments and shape as for
    :func:`ideal_binary_mask`.
    """
    exponent = _real("beta", beta)
    if not (np.isfinite(exponent) and exponent > 0.0):
        raise ValueError(f"beta must be a positive finite exponent, got {beta!r}")
    s, v = _energies(target, interference, fs, cfs, frame, hop)
    np.divide(s, 10.0, out=s)
    np.divide(v, 10.0, out=v)
    power_s, power_v = np.power(10.0, s), np.power(10.0, v)
    ratio: Array = np.power(power_s / (power_s + power_v), exponent)
    return ratio
