"""Command line: draw the cochleagram of a sound file (or of a test signal).

    gammatone-bank [INPUT] [--channels N] [--low HZ] [--high HZ]
                   [--out cochleagram.png] [--save outputs.npz]

A bad input file, sample rate or output path ends in one line on stderr and
exit status 2 (bad options get argparse's usage message and the same status),
with no output file left behind: outputs are written to temporary files
beside their targets and renamed only once everything has succeeded.
"""

import argparse
import importlib.util
import math
import os
import secrets
import sys
import time
from collections.abc import Callable, Sequence
from typing import IO, NamedTuple

import numpy as np
from numpy.typing import NDArray

from gammatone_bank._bank import _frame_samples, erb_number, erb_space, filterbank, frame_levels
from gammatone_bank._signal import DEMO_NAME, demo_signal

PROG = "gammatone-bank"
INSTALL_HINT = "pip install 'gammatone_c[cli]'"

DEFAULT_CHANNELS = 64
DEFAULT_LOW = 50.0
DEFAULT_HIGH = 8000.0
# When the default --high does not fit below fs/2 it drops to this fraction
# of the sample rate, which keeps the top channel's passband clear of fs/2.
HIGH_FRACTION = 0.45
FRAME = 0.025
HOP = 0.010
# The colour scale spans this many dB below the loudest frame.
DYNAMIC_RANGE = 70.0
FIGSIZE = (8.0, 4.5)  # inches, at DPI dots per inch: an 800 x 450 PNG
DPI = 100
TICKS_HZ = (50, 100, 200, 500, 1000, 2000, 4000, 8000, 16000)

HELP = "Draw the cochleagram of a sound file through an ERB-spaced gammatone filterbank."
EPILOG = """\
INPUT is read with soundfile (WAV in PCM or float, FLAC, OGG, ...); a file
with several channels is mixed down to mono by averaging its channels.
Without INPUT the built-in test signal is used: 1.6 s at 16 kHz of a vowel
whose pitch glides from 110 to 220 Hz, then a chirp from 100 Hz to 7 kHz.

Centre frequencies are equally spaced on the ERB-number scale from --low to
--high, both included.  --high must be below half the sample rate; without
it the top is 8000 Hz, or 0.45 x the sample rate when that is lower (7200 Hz
for the 16 kHz test signal).

The picture shows each channel's level in dB (re a mean square of 1) over
25 ms frames every 10 ms, on a 70 dB colour scale.  --save writes an .npz
holding fs, cfs (channels), bm and env (channels x samples: the filter
output and its envelope), level (channels x frames, dB) and times (frame
centres in s).  One summary line goes to stdout.

Needs matplotlib, and soundfile to read INPUT: pip install 'gammatone_c[cli]'.
Exit status: 0 on success; 2 on a bad option (with the usage message) or a
bad input file, sample rate or output path (one line on stderr).  A failed
run writes and replaces no output file."""


class CliError(Exception):
    """A failure to report as one line on stderr with exit status 2."""


def _channels(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if n < 2:
        raise argparse.ArgumentTypeError(f"must be at least 2, got {n}")
    return n


def _hertz(text: str) -> float:
    try:
        f = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(f) and f > 0.0):
        raise argparse.ArgumentTypeError(f"must be a positive frequency, got {text!r}")
    return f


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description=HELP,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument(
        "input", nargs="?", metavar="INPUT",
        help="sound file to analyse, mixed down to mono (default: the built-in test signal)",
    )
    p.add_argument(
        "--channels", type=_channels, default=DEFAULT_CHANNELS, metavar="N",
        help=f"number of channels, at least 2 (default {DEFAULT_CHANNELS})",
    )
    p.add_argument(
        "--low", type=_hertz, default=DEFAULT_LOW, metavar="HZ",
        help=f"lowest centre frequency (default {DEFAULT_LOW:g})",
    )
    p.add_argument(
        "--high", type=_hertz, default=None, metavar="HZ",
        help=f"highest centre frequency, below fs/2 (default {DEFAULT_HIGH:g}, "
        f"or {HIGH_FRACTION:g} x fs when lower)",
    )
    p.add_argument(
        "--out", default="cochleagram.png", metavar="PNG",
        help="cochleagram picture to write (default cochleagram.png)",
    )
    p.add_argument(
        "--save", default=None, metavar="NPZ",
        help="also write the filter outputs to this .npz file (written exactly to this path)",
    )
    return p


def _require(modules: Sequence[str]) -> None:
    """Check that the optional modules this run needs are installed.

    Only looks them up (importing matplotlib takes a good part of a second),
    so a run that fails on its input fails fast.
    """
    missing = []
    for name in modules:
        try:
            found = importlib.util.find_spec(name) is not None
        except ValueError:  # a module present in sys.modules as None
            found = False
        if not found:
            missing.append(name)
    if missing:
        raise CliError(f"needs {' and '.join(missing)}, not installed: {INSTALL_HINT}")


class Sound(NamedTuple):
    x: NDArray[np.float64]
    fs: int
    name: str


def _read(path: str) -> Sound:
    """The file's samples as float64 (full scale 1), channels averaged to mono."""
    import soundfile

    if not os.path.exists(path):
        raise CliError(f"{path}: no such file")
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory, not a sound file")
    try:
        data, fs = soundfile.read(path, dtype="float64", always_2d=True)
    except (soundfile.SoundFileError, OSError) as exc:
        reason = " ".join(str(exc).split())
        raise CliError(f"{path}: not a readable sound file ({reason})") from None
    if data.shape[0] == 0:
        raise CliError(f"{path}: holds no samples")
    x = np.ascontiguousarray(data.mean(axis=1))
    if not np.all(np.isfinite(x)):
        raise CliError(f"{path}: holds samples that are not finite")
    return Sound(x, int(fs), os.path.basename(path))


def _band(low: float, high: float | None, fs: int) -> tuple[float, float]:
    """The centre-frequency range for a sample rate, checked."""
    nyquist = fs / 2
    if high is None:
        high = min(DEFAULT_HIGH, HIGH_FRACTION * fs)
        if low >= high:
            raise CliError(
                f"sample rate {fs} Hz is too low for --low {low:g} Hz "
                f"(the highest channel would be {high:g} Hz)"
            )
    elif high >= nyquist:
        raise CliError(
            f"--high {high:g} Hz needs a sample rate above {2 * high:g} Hz; "
            f"the input's is {fs} Hz (use --high below {nyquist:g})"
        )
    elif low >= high:
        raise CliError(f"--low {low:g} Hz must be below --high {high:g} Hz")
    return low, high


def _draw(
    out: IO[bytes], level: NDArray[np.float64], times: NDArray[np.float64],
    cfs: NDArray[np.float64], title: str,
) -> None:
    """The cochleagram as an 800 x 450 PNG: time across, ERB-spaced channels up."""
    from matplotlib.figure import Figure

    fig = Figure(figsize=FIGSIZE, dpi=DPI, layout="constrained")
    ax = fig.add_subplot()
    # Rows are equally spaced in ERB number, so the image is drawn on that
    # scale and labelled in Hz: each channel gets the same height.
    erb = erb_number(cfs)
    half = (erb[1] - erb[0]) / 2
    step = times[1] - times[0] if times.size > 1 else 2 * times[0]
    top = float(level.max())
    image = ax.imshow(
        level, origin="lower", aspect="auto", interpolation="nearest", cmap="magma",
        extent=(times[0] - step / 2, times[-1] + step / 2, erb[0] - half, erb[-1] + half),
        vmin=top - DYNAMIC_RANGE, vmax=top,
    )
    ticks = [f for f in TICKS_HZ if cfs[0] <= f <= cfs[-1]]
    ax.set_yticks(erb_number(ticks), labels=[f"{f:g}" for f in ticks])
    ax.set_xlabel("Time (s)")
    ax.set_ylabel("Centre frequency (Hz, ERB-spaced)")
    ax.set_title(title, fontsize="medium")
    fig.colorbar(image, ax=ax, label="Level (dB re mean square 1)")
    fig.savefig(out, format="png")


def _write_all(outputs: Sequence[tuple[str, Callable[[IO[bytes]], None]]]) -> None:
    """Write every (path, writer) pair, all or none.

    Each writer fills a new temporary file beside its target; the targets are
    replaced only when every writer has finished, and on any failure the
    temporary files are removed.  (Only a rename failing after an earlier one
    succeeded, which takes the folder changing meanwhile, leaves one written.)
    """
    pending: list[tuple[str, str]] = []
    path = ""
    try:
        for path, write in outputs:
            folder, base = os.path.split(os.path.abspath(path))
            tmp = os.path.join(folder, f".{base}.{secrets.token_hex(4)}.tmp")
            # Created like any new file (mode 0o666 less the umask), so the
            # result has ordinary permissions after the rename.
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            pending.append((tmp, path))
            with os.fdopen(fd, "wb") as f:
                write(f)
        for tmp, path in pending:
            os.replace(tmp, path)
        pending.clear()
    except OSError as exc:
        raise CliError(f"{path}: cannot write ({exc.strerror or exc})") from None
    finally:
        for tmp, _ in pending:
            try:
                os.unlink(tmp)
            except FileNotFoundError:
                pass


def run(args: argparse.Namespace) -> str:
    """Do the work for parsed arguments; returns the summary line."""
    _require(["matplotlib", "soundfile"] if args.input else ["matplotlib"])
    if args.save is not None and os.path.abspath(args.save) == os.path.abspath(args.out):
        raise CliError(f"--out and --save name the same file: {args.out}")

    if args.input:
        sound = _read(args.input)
    else:
        x, fs = demo_signal()
        sound = Sound(x, fs, DEMO_NAME)
    low, high = _band(args.low, args.high, sound.fs)
    try:
        cfs = erb_space(low, high, args.channels)
    except ValueError as exc:
        raise CliError(str(exc)) from None

    try:
        frame_len, hop_len = _frame_samples(sound.fs, FRAME, HOP)
    except ValueError:
        raise CliError(f"sample rate {sound.fs} Hz is too low for {HOP * 1000:g} ms frames") from None

    start = time.perf_counter()
    bank = filterbank(sound.x, sound.fs, cfs, env=args.save is not None)
    level = frame_levels(bank.bm, frame_len, hop_len)
    elapsed = time.perf_counter() - start

    # Frame k covers samples k*hop_len .. k*hop_len + frame_len - 1.
    starts = np.arange(level.shape[1]) * hop_len
    times = (starts + np.minimum(frame_len, sound.x.size - starts) / 2) / sound.fs
    title = f"Cochleagram of {sound.name}"

    def draw(f: IO[bytes]) -> None:
        _draw(f, level, times, cfs, title)

    outputs: list[tuple[str, Callable[[IO[bytes]], None]]] = [(args.out, draw)]
    env = bank.env
    if args.save is not None and env is not None:

        def save(f: IO[bytes]) -> None:
            np.savez(f, fs=np.int64(sound.fs), cfs=cfs, bm=bank.bm, env=env,
                     level=level, times=times)

        outputs.append((args.save, save))
    _write_all(outputs)

    duration = sound.x.size / sound.fs
    wrote = " and ".join(path for path, _ in outputs)
    return (
        f"{args.channels} channels ({low:g} to {high:g} Hz), {duration:.2f} s at "
        f"{sound.fs} Hz of {sound.name}: filtered in {elapsed:.3f} s, wrote {wrote}"
    )


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of ``gammatone-bank`` and ``python -m gammatone_bank``."""
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["batch"]:
        from gammatone_bank._batch import main as batch_main

        return batch_main(argv[1:])
    args = _parser().parse_args(argv)
    try:
        summary = run(args)
    except CliError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    print(summary)
    return 0
