"""``gammatone-bank response``: a picture of the bank's frequency response.

    gammatone-bank response --out response.png [--fs HZ] [--channels N]
                   [--low HZ] [--high HZ]
"""

import argparse
import os
from collections.abc import Sequence
from typing import IO

import numpy as np

from gammatone_bank._checks import Array
from gammatone_bank._scale import erb_space
from gammatone_bank._params import DEFAULT_CHANNELS, DEFAULT_LOW, band
from gammatone_bank._response import responses_at
from gammatone_bank._resynth import resynthesis_design
from gammatone_bank.cli._common import PROG, CliError, Outputs, count, positive, require, run_command, writing
from gammatone_bank.cli._picture import picture_format

DEFAULT_FS = 16000
# The resynthesis designs are fitted to a quarter second of every channel's
# impulse response, so their memory grows with channels x fs: this bound
# keeps it near 200 MB (64 channels at 192 kHz, 781 at 16 kHz).
MAX_CHANNEL_HZ = 12_500_000
# The causal design drawn beside the zero-phase one, in seconds.
CAUSAL_DELAY = 0.004
# Frequencies drawn, log-spaced from a quarter of the lowest cf to fs/2.
POINTS = 2000
FIGSIZE = (8.0, 6.5)  # inches, at DPI dots per inch: an 800 x 650 PNG
DPI = 100
# The channels' panel shows this many dB below the highest peak.
CHANNEL_RANGE_DB = 60.0

HELP = "Draw the gammatone filterbank's frequency response: every channel, their sum and the resynthesis."
EPILOG = f"""\
The upper panel draws every channel's magnitude response (its bm output) in
dB on a log-frequency axis, the magnitude of the channels' sum (where their
phases differ they cancel) and the sum of their powers (how evenly the
channels cover the band).  The
lower panel draws, on a finer dB scale, the summed response of the two
resynthesis designs: zero-phase (each channel filtered twice, weighted) and
causal with a total delay of {CAUSAL_DELAY * 1e3:g} ms (each channel delayed and weighted).
Dashed lines mark the lowest and highest centre frequency, between which
the designs make the sum flat: their ripple there is in the legend.

The responses come from each channel's transfer function, as
gammatone_bank.frequency_response computes them; the designs are those of
gammatone_bank.resynthesis_design.

Exit status: 0 on success; 2 on a bad option or output path (one line on
stderr); 130 on Ctrl-C, 143 on SIGTERM.  A failed or interrupted run writes
and replaces no file."""


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=f"{PROG} response", description=HELP, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("--out", required=True, metavar="FILE",
                   help="picture to write; the extension picks the format (.png, .pdf, .svg, ...)")
    p.add_argument("--fs", type=count(1), default=DEFAULT_FS, metavar="HZ",
                   help=f"sampling rate in Hz (default {DEFAULT_FS})")
    p.add_argument("--channels", type=count(2), default=DEFAULT_CHANNELS, metavar="N",
                   help=f"number of channels, at least 2 (default {DEFAULT_CHANNELS}); "
                   f"channels x fs at most {MAX_CHANNEL_HZ:g}")
    p.add_argument("--low", type=positive, default=DEFAULT_LOW, metavar="HZ",
                   help=f"lowest centre frequency (default {DEFAULT_LOW:g})")
    p.add_argument("--high", type=positive, default=None, metavar="HZ",
                   help="highest centre frequency, below fs/2 (default 8000, or 0.45 x fs when lower)")
    return p


def _db(magnitude: Array) -> Array:
    out: Array = 20.0 * np.log10(np.maximum(magnitude, 1e-15))
    return out


def _ripple(db: Array) -> str:
    """The span of a curve in dB, as +- half of it about its middle."""
    return f"\u00b1{(float(db.max()) - float(db.min())) / 2:.2f} dB"


def _responses(fs: int, cfs: Array, f: Array) -> tuple[Array, Array, Array, Array]:
    """|H| of every channel, and the magnitudes of the channels' sum and of
    the zero-phase and the causal designs' sums, at f."""
    passband, image = responses_at(fs, cfs, f)
    h = (passband + image) / 2.0
    zero_phase = resynthesis_design(fs, cfs, None)
    # Each channel contributes weight * |H|^2: filtered forwards and backwards.
    zero_sum = np.asarray(zero_phase.weights, np.float64) @ (np.abs(h) ** 2)
    causal = resynthesis_design(fs, cfs, CAUSAL_DELAY)
    weights = np.asarray(causal.weights, np.complex128)[:, np.newaxis]
    # Re(weight * analytic output), delayed by the channel's whole samples.
    shift = np.exp(-2j * np.pi * np.outer(causal.delays, f) / fs)
    causal_sum = np.sum(shift * (weights * passband + np.conj(weights) * image) / 2.0, axis=0)
    return np.abs(h), np.abs(h.sum(axis=0)), np.abs(zero_sum), np.abs(causal_sum)


def _draw(out: IO[bytes], fmt: str, fs: int, cfs: Array) -> str:
    """Both panels; returns the ripples in band for the summary."""
    from matplotlib import colormaps
    from matplotlib.figure import Figure

    f = np.geomspace(cfs[0] / 4.0, fs / 2.0, POINTS)
    channels, total, zero_sum, causal_sum = _responses(fs, cfs, f)
    inside = (f >= cfs[0]) & (f <= cfs[-1])
    curves = {
        "sum of the channels": _db(total),
        "sum of their powers": 10.0 * np.log10(np.maximum(np.sum(channels**2, axis=0), 1e-30)),
        "zero-phase resynthesis": _db(zero_sum),
        f"causal resynthesis, {CAUSAL_DELAY * 1e3:g} ms": _db(causal_sum),
    }
    ripples = {name: _ripple(db[inside]) for name, db in curves.items()}

    fig = Figure(figsize=FIGSIZE, dpi=DPI, layout="constrained")
    top, bottom = fig.subplots(2, 1, sharex=True, height_ratios=[3, 2])
    colours = colormaps["viridis"](np.linspace(0.0, 0.9, cfs.size))
    db = _db(channels)
    for row, colour in zip(db, colours):
        top.plot(f, row, color=colour, linewidth=0.7)
    for name, style in (("sum of the channels", "-"), ("sum of their powers", "--")):
        top.plot(f, curves[name], color="black", linestyle=style, linewidth=1.4,
                 label=f"{name} ({ripples[name]} in band)")
    peak = float(max(db.max(), curves["sum of their powers"].max()))
    top.set_ylim(peak - CHANNEL_RANGE_DB, peak + 5.0)
    top.set_ylabel("Magnitude (dB)")
    top.set_title(f"Gammatone filterbank: {cfs.size} channels, {cfs[0]:g} to {cfs[-1]:g} Hz, fs = {fs} Hz",
                  fontsize="medium")
    top.legend(loc="lower center", fontsize="small")

    designs = list(curves.items())[2:]
    for (name, curve), colour in zip(designs, ("tab:blue", "tab:red")):
        bottom.plot(f, curve, color=colour, linewidth=1.2, label=f"{name} ({ripples[name]} in band)")
    span = max(float(np.abs(np.concatenate([c[inside] for _, c in designs])).max()), 0.5)
    bottom.set_ylim(-3.0 * span, 1.5 * span)
    bottom.set_ylabel("Summed response (dB)")
    bottom.set_xlabel("Frequency (Hz)")
    bottom.legend(loc="lower center", fontsize="small")
    for ax in (top, bottom):
        ax.set_xscale("log")
        ax.set_xlim(f[0], f[-1])
        ax.grid(True, which="both", alpha=0.3, linewidth=0.5)
        for edge in (cfs[0], cfs[-1]):
            ax.axvline(edge, color="grey", linestyle="--", linewidth=0.8)
    fig.savefig(out, format=fmt)
    return ", ".join(f"{name} {ripple}" for name, ripple in ripples.items())


def run(args: argparse.Namespace) -> str:
    require(["matplotlib"], "cli")
    if os.path.exists(args.out) and not os.path.isfile(args.out):
        what = "a directory" if os.path.isdir(args.out) else "not a regular file"
        raise CliError(f"--out {args.out}: {what} (give the path of a picture file to write)")
    fmt = picture_format(args.out)
    if args.channels * args.fs > MAX_CHANNEL_HZ:
        raise CliError(f"--channels {args.channels} at --fs {args.fs} is too many to design for: at most "
                       f"{max(MAX_CHANNEL_HZ // args.fs, 1)} channels at {args.fs} Hz (channels x fs <= "
                       f"{MAX_CHANNEL_HZ:g})")
    try:
        low, high = band(args.low, args.high, args.fs)
        cfs = erb_space(low, high, args.channels)
    except ValueError as exc:
        raise CliError(str(exc)) from None
    with Outputs() as outputs:
        picture = outputs.add(args.out)
        with writing(args.out):
            ripples = _draw(picture, fmt, args.fs, cfs)
        outputs.commit()
    return f"{args.channels} channels ({low:g} to {high:g} Hz) at {args.fs} Hz, in band: {ripples}: wrote {args.out}"


def main(argv: Sequence[str]) -> int:
    """``gammatone-bank response --out FILE ...``."""
    return run_command(lambda: run(_parser().parse_args(argv)))
