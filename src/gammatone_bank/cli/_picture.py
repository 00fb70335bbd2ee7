"""Drawing a cochleagram: the level matrix pooled to the picture's width,
the colour scale, the frequency labels on the ERB-spaced axis."""

import math
import os
from collections.abc import Iterator
from typing import IO

import numpy as np

from gammatone_bank._checks import Array
from gammatone_bank._scale import erb_number
from gammatone_bank.cli._common import CliError

# Levels are floored here (a mean square of 1e-12): the darkest colour.
FLOOR_DB = -120.0
# The colour scale spans this many dB below its top by default.
DYNAMIC_RANGE = 70.0
FIGSIZE = (8.0, 4.5)  # inches, at DPI dots per inch: an 800 x 450 PNG
DPI = 100
# The level matrix is pooled to at most this many columns before drawing:
# the picture's width in pixels, so no column is thinner than a pixel.
MAX_COLUMNS = int(FIGSIZE[0] * DPI)
# Frequency ticks are at least 1/TICK_SLOTS of the axis apart.
TICK_SLOTS = 8


def picture_format(path: str) -> str:
    """The matplotlib format named by the extension of path, or CliError."""
    from matplotlib.figure import Figure

    supported = sorted(Figure().canvas.get_supported_filetypes())
    ext = os.path.splitext(path)[1].lower().lstrip(".")
    if ext not in supported:
        what = f"unknown picture format {ext!r}" if ext else "no extension to tell the picture format"
        raise CliError(f"--out {path}: {what} (use one of: {', '.join(supported)})")
    return ext


def pool_levels(level: Array, width: int = MAX_COLUMNS) -> Array:
    """Squeeze the frames (columns) of level into at most `width` columns.

    Each column is the mean power of `g` consecutive frames, g = ceil(frames /
    width) (the last column takes what is left), back in dB.  Mean power, not
    max, so that a column's colour keeps the meaning of the colour bar: the
    level (dB re a mean square of 1) of that stretch of sound, pauses
    included; and not the mean of dB values, which would make a loud event
    followed by silence look like a moderate sound throughout.  Works on
    slices of about a megabyte, so the drawing never copies the full matrix.
    """
    channels, frames = level.shape
    if frames <= width:
        return level
    g = -(-frames // width)
    whole = frames // g
    out = np.empty((channels, -(-frames // g)))
    step = max(1, (1 << 17) // (channels * g))
    for a in range(0, whole, step):
        b = min(a + step, whole)
        part = level[:, a * g:b * g].reshape(channels, b - a, g)
        out[:, a:b] = 10.0 * np.log10(np.mean(10.0 ** (part / 10.0), axis=-1))
    if out.shape[1] > whole:
        rest = level[:, whole * g:]
        out[:, whole] = 10.0 * np.log10(np.mean(10.0 ** (rest / 10.0), axis=-1))
    return out


def colour_limits(loudest: float, range_db: float = DYNAMIC_RANGE,
                  top: float | None = None) -> tuple[float, float]:
    """(vmin, vmax) of the colour scale in dB.

    The scale spans range_db below its top and never reaches below the floor,
    which is the darkest colour.  The top is --top when given (the span then
    shrinks at the floor); otherwise the loudest frame, or floor + range_db
    when the loudest frame is quieter than that, so that silence and
    near-silence stay dark instead of filling the whole scale.
    """
    if top is not None:
        return max(top - range_db, FLOOR_DB), top
    if loudest - range_db < FLOOR_DB:
        return FLOOR_DB, FLOOR_DB + range_db
    return loudest - range_db, loudest


def _round_numbers(lo: float, hi: float, digits: int) -> Iterator[list[float]]:
    """Numbers strictly between lo and hi with this many significant digits.

    Two lists, rounder first: for one digit 1, 2 and 5 (times a power of
    ten), then any digit; for more digits those ending in 5, then the rest
    (numbers ending in 0 have fewer digits and came earlier).
    """
    first = 10 ** (digits - 1)
    for rounder in (True, False):
        values = []
        for k in range(math.floor(math.log10(lo)) - digits + 1, math.floor(math.log10(hi)) - digits + 2):
            unit = 10.0**k if k >= 0 else 1 / 10.0**-k
            for m in range(max(first, math.floor(lo / unit)), min(10 * first, math.ceil(hi / unit) + 1)):
                if digits == 1:
                    keep = m in (1, 2, 5) if rounder else m not in (1, 2, 5)
                else:
                    keep = m % 10 == 5 if rounder else m % 10 not in (0, 5)
                f = m * 10.0**k if k >= 0 else m / 10.0**-k
                if keep and lo < f < hi:
                    values.append(f)
        yield values


def freq_ticks(cfs: Array, slots: int = TICK_SLOTS) -> list[float]:
    """Hz values to label on the ERB-spaced axis of these centre frequencies.

    Always the lowest and the highest centre frequency; then the roundest
    numbers (fewest significant digits, 1-2-5 and ...5 first) wherever they
    keep at least 1/slots of the drawn axis (one row per channel) from every
    label already placed, until no gap between labels is wider than 2.5
    slots.  So a wide band gets 50, 200, 500, 1000, 2000, ..., a narrow one
    5000, 5500, 6000, ..., the top of a low-rate band its own value, and
    labels never crowd each other however few the channels.
    """
    c = np.asarray(cfs, dtype=np.float64)
    lo, hi = float(c[0]), float(c[-1])
    e_lo, e_hi = float(erb_number(lo)), float(erb_number(hi))
    gap = (e_hi - e_lo) * c.size / (c.size - 1) / slots
    ticks = {lo: e_lo, hi: e_hi}
    # A double has 15 to 17 significant digits; erb_space keeps lo < hi.
    for digits in range(1, 16):
        for values in _round_numbers(lo, hi, digits):
            for f in values:
                e = float(erb_number(f))
                if all(abs(e - placed) >= gap for placed in ticks.values()):
                    ticks[f] = e
            edges = sorted(ticks.values())
            if len(edges) >= 3 and float(np.max(np.diff(edges))) <= 2.5 * gap:
                return sorted(ticks)
    return sorted(ticks)


def draw(
    out: IO[bytes], fmt: str, level: Array, duration: float, cfs: Array,
    title: str, limits: tuple[float, float], loudest: float,
) -> None:
    """The cochleagram: time across from 0 s, ERB-spaced channels up."""
    from matplotlib.figure import Figure

    fig = Figure(figsize=FIGSIZE, dpi=DPI, layout="constrained")
    ax = fig.add_subplot()
    # Rows are equally spaced in ERB number, so the image is drawn on that
    # scale and labelled in Hz: each channel gets the same height.  Columns
    # share the time axis equally, from 0 to the end of the input.
    erb = erb_number(cfs)
    half = (erb[-1] - erb[0]) / (cfs.size - 1) / 2
    vmin, vmax = limits
    image = ax.imshow(
        level, origin="lower", aspect="auto", interpolation="nearest", cmap="magma",
        extent=(0.0, duration, erb[0] - half, erb[-1] + half), vmin=vmin, vmax=vmax,
    )
    ticks = freq_ticks(cfs)
    ax.set_yticks(erb_number(ticks), labels=[f"{f:.12g}" for f in ticks])
    ax.set_xlim(0.0, duration)
    ax.set_xlabel("Time (s)")
    ax.set_ylabel("Centre frequency (Hz, ERB-spaced)")
    ax.set_title(title, fontsize="medium")
    # A triangle on the colour bar when levels above its top were clipped.
    fig.colorbar(image, ax=ax, label="Level (dB re mean square 1)",
                 extend="max" if loudest > vmax else "neither")
    fig.savefig(out, format=fmt)
