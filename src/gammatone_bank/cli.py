"""Command line: draw the cochleagram of a sound file (or of a test signal).

    gammatone-bank [INPUT | -] [--channels N] [--low HZ] [--high HZ]
                   [--channel K] [--frame S] [--hop S] [--normalize]
                   [--range DB] [--top DB] [--out cochleagram.png]
                   [--save outputs.npz [--full bm,env,instp,instf]]

The input is read in blocks and streamed through the filterbank, so memory
follows the number of frames, not the number of samples.  A bad input file,
sample rate or output path ends in one line on stderr and exit status 2 (bad
options get argparse's usage message and the same status), Ctrl-C in one line
and status 130, and neither leaves an output file behind: outputs are written
to temporary files beside their targets and renamed only once everything has
succeeded.
"""

import argparse
import importlib
import importlib.metadata
import importlib.util
import math
import os
import secrets
import shutil
import signal
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import ExitStack, contextmanager
from types import TracebackType
from typing import IO, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from gammatone_bank._audio import STDIN, Audio, AudioError, open_sound
from gammatone_bank._bank import _frame_samples, erb_number, erb_space
from gammatone_bank._signal import DEMO_NAME, demo_signal
from gammatone_bank._stream import CochleagramStream, Stream

Array = NDArray[np.float64]

PROG = "gammatone-bank"
INSTALL_HINT = "pip install 'gammatone_c[cli]' (in a clone of the source: pip install '.[cli]')"

DEFAULT_CHANNELS = 64
DEFAULT_LOW = 50.0
DEFAULT_HIGH = 8000.0
# When the default --high does not fit below fs/2 it drops to this fraction
# of the sample rate, which keeps the top channel's passband clear of fs/2.
HIGH_FRACTION = 0.45
FRAME = 0.025
HOP = 0.010
# Levels are floored here (a mean square of 1e-12): the darkest colour.
FLOOR_DB = -120.0
# The colour scale spans this many dB below its top by default.
DYNAMIC_RANGE = 70.0
# A loudest frame below FLOOR_DB + this is reported as silence.
SILENCE_MARGIN = 10.0
# A mix whose peak is this far below its loudest channel's is reported as
# channels cancelling each other (opposite polarity, say).
CANCEL_DB = 40.0
FIGSIZE = (8.0, 4.5)  # inches, at DPI dots per inch: an 800 x 450 PNG
DPI = 100
# The level matrix is pooled to at most this many columns before drawing:
# the picture's width in pixels, so no column is thinner than a pixel.
MAX_COLUMNS = int(FIGSIZE[0] * DPI)
# Frequency ticks are at least 1/TICK_SLOTS of the axis apart.
TICK_SLOTS = 8
# Samples per block read from the input.  The streams hold about channels x
# block doubles at a time: 16 MiB at 64 channels.
BLOCK_DOUBLES = 1 << 21
FULL_OUTPUTS = ("bm", "env", "instp", "instf")

HELP = "Draw the cochleagram of a sound file through an ERB-spaced gammatone filterbank."
EPILOG = """\
INPUT is read with soundfile (WAV in PCM or float, FLAC, OGG, ...), block by
block, so an hour-long file takes memory for its frames only.  "-" reads
standard input (a pipe is first copied to an unlinked temporary file, since
the sound formats need seeking).  A file with several channels is mixed down
to mono by averaging its channels, or --channel K analyses channel K alone.
Without INPUT the built-in test signal is used: 1.6 s at 16 kHz of a vowel
whose pitch glides from 110 to 220 Hz, then a chirp from 100 Hz to 7 kHz.

Centre frequencies are equally spaced on the ERB-number scale from --low to
--high, both included.  --high must be below half the sample rate; without
it the top is 8000 Hz, or 0.45 x the sample rate when that is lower (7200 Hz
for the 16 kHz test signal).

The picture shows each channel's level in dB (re a mean square of 1) over
frames of --frame seconds every --hop seconds.  Long inputs are pooled to
the picture's width (the mean power of the frames a column covers).  The
colour scale spans --range dB below --top (default: the loudest frame); it
never extends below the -120 dB floor, which is the darkest colour, and a
(nearly) silent input is warned about on stderr.  The picture's format
follows the extension of --out (png, pdf, svg, jpg, ...).

--save writes an .npz holding fs, cfs (channels), level (channels x frames,
dB), times (frame centres in s), frame_len, hop_len, samples, channel (-1
for the mean) and normalize.  --full adds full-rate outputs (channels x
samples, stored in Fortran order so that they stream to disk as they are
computed): bm (the filter output), env (its envelope), instp, instf.  The run
is refused up front when the file system lacks the space for them.  One
summary line goes to stdout; a progress bar to stderr when it is a terminal.

For many files, "gammatone-bank batch INPUT... --out-dir DIR" writes the
levels of each to DIR on a Dask cluster (gammatone-bank batch --help).

Needs matplotlib and soundfile (and tqdm for the progress bar): pip install
'gammatone_c[cli]', or pip install '.[cli]' in a clone of the source.
Exit status: 0 on success; 2 on a bad option (with the usage message) or a
bad input file, sample rate or output path (one line on stderr); 130 on
Ctrl-C.  A failed or interrupted run writes and replaces no output file."""


class CliError(Exception):
    """A failure to report as one line on stderr with exit status 2."""


def warn(message: str) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


# ---------------------------------------------------------------- options


def _count(least: int) -> Callable[[str], int]:
    """An option's parser for whole numbers of at least `least`."""

    def parse(text: str) -> int:
        try:
            n = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if n < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}, got {n}")
        return n

    return parse


_channels = _count(2)


def _index(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if n < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more (channels count from 0), got {n}")
    return n


def _positive(what: str) -> Callable[[str], float]:
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not (math.isfinite(value) and value > 0.0):
            raise argparse.ArgumentTypeError(f"must be a positive {what}, got {text!r}")
        return value

    return parse


_hertz = _positive("frequency")
_seconds = _positive("duration in seconds")
_decibels = _positive("number of dB")


def _top(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value > FLOOR_DB):
        raise argparse.ArgumentTypeError(f"must be above the {FLOOR_DB:g} dB floor, got {text!r}")
    return value


def _full(text: str) -> tuple[str, ...]:
    names = {name.strip() for name in text.split(",")}
    unknown = sorted(names - set(FULL_OUTPUTS))
    if unknown:
        raise argparse.ArgumentTypeError(
            f"unknown output {unknown[0]!r} (choose from {', '.join(FULL_OUTPUTS)})"
        )
    return tuple(name for name in FULL_OUTPUTS if name in names)


def _version() -> str:
    try:
        return importlib.metadata.version("gammatone_c")
    except importlib.metadata.PackageNotFoundError:
        import gammatone_bank

        return str(getattr(gammatone_bank, "__version__", "unknown (not installed)"))


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description=HELP,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument(
        "input", nargs="?", metavar="INPUT",
        help="sound file to analyse, mixed down to mono; - reads standard input "
        "(default: the built-in test signal)",
    )
    p.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
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
        "--channel", type=_index, default=None, metavar="K",
        help="analyse only channel K of the input, counting from 0 (default: the mean of its channels)",
    )
    p.add_argument(
        "--frame", type=_seconds, default=FRAME, metavar="S",
        help=f"frame length in seconds (default {FRAME:g})",
    )
    p.add_argument(
        "--hop", type=_seconds, default=HOP, metavar="S",
        help=f"time between frame starts in seconds (default {HOP:g})",
    )
    p.add_argument(
        "--normalize", action="store_true",
        help="scale each channel to unit gain at its centre frequency before taking levels",
    )
    p.add_argument(
        "--range", type=_decibels, default=DYNAMIC_RANGE, metavar="DB", dest="range_db",
        help=f"span of the colour scale in dB (default {DYNAMIC_RANGE:g})",
    )
    p.add_argument(
        "--top", type=_top, default=None, metavar="DB",
        help="level at the top of the colour scale (default: the loudest frame)",
    )
    p.add_argument(
        "--out", default="cochleagram.png", metavar="FILE",
        help="picture to write; the extension picks the format (default cochleagram.png)",
    )
    p.add_argument(
        "--save", default=None, metavar="NPZ",
        help="also write the levels and their times to this .npz file (written exactly to this path)",
    )
    p.add_argument(
        "--full", type=_full, default=(), metavar="LIST",
        help="with --save, also store these full-rate outputs, comma-separated from "
        f"{','.join(FULL_OUTPUTS)} (channels x samples each)",
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


def _picture_format(path: str) -> str:
    """The matplotlib format named by the extension of path, or CliError."""
    from matplotlib.figure import Figure

    supported = sorted(Figure().canvas.get_supported_filetypes())
    ext = os.path.splitext(path)[1].lower().lstrip(".")
    if ext not in supported:
        what = f"unknown picture format {ext!r}" if ext else "no extension to tell the picture format"
        raise CliError(f"--out {path}: {what} (use one of: {', '.join(supported)})")
    return ext


# ---------------------------------------------------------------- outputs


class Terminated(BaseException):
    """SIGTERM, raised like KeyboardInterrupt so that clean-up runs."""


def _on_sigterm(signum: int, frame: object) -> None:
    raise Terminated


@contextmanager
def _signal_handler(signum: int, handler: Any) -> Iterator[None]:
    """Install a handler for the duration (in the main thread only)."""
    try:
        previous = signal.signal(signum, handler)
    except ValueError:  # not the main thread: signals go elsewhere anyway
        yield
        return
    try:
        yield
    finally:
        signal.signal(signum, previous)


@contextmanager
def _signals_ignored() -> Iterator[None]:
    with _signal_handler(signal.SIGINT, signal.SIG_IGN), _signal_handler(signal.SIGTERM, signal.SIG_IGN):
        yield


class _Outputs:
    """Output files that appear all together or not at all.

    ``add(path)`` checks the path at once and opens a new temporary file
    beside it (creating that file is the surest test that the folder exists
    and is writable); ``commit()`` renames every temporary file onto its
    target.  Leaving the ``with`` block without a commit, by an error or by
    Ctrl-C, removes them all.  (Only a rename failing after an earlier one
    succeeded, which takes the folder changing meanwhile, leaves one written.)
    """

    def __init__(self) -> None:
        self._pending: list[tuple[str, str, IO[bytes]]] = []

    def __enter__(self) -> "_Outputs":
        return self

    def add(self, path: str) -> IO[bytes]:
        if os.path.isdir(path):
            raise CliError(f"{path}: is a directory")
        folder, base = os.path.split(os.path.abspath(path))
        tmp = os.path.join(folder, f".{base}.{secrets.token_hex(4)}.tmp")
        try:
            # Created like any new file (mode 0o666 less the umask), so the
            # result has ordinary permissions after the rename.
            fd = os.open(tmp, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o666)
        except OSError as exc:
            raise CliError(f"{path}: cannot write ({exc.strerror or exc})") from None
        f = os.fdopen(fd, "w+b")
        self._pending.append((tmp, path, f))
        return f

    def commit(self) -> None:
        path = ""
        try:
            for _, path, f in self._pending:
                f.close()
            for tmp, path, _ in self._pending:
                os.replace(tmp, path)
        except OSError as exc:
            raise CliError(f"{path}: cannot write ({exc.strerror or exc})") from None
        self._pending.clear()

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 tb: TracebackType | None) -> None:
        if not self._pending:
            return
        # A second Ctrl-C (or a kill) must not cut the clean-up short.
        with _signals_ignored():
            for tmp, _, f in self._pending:
                f.close()
                try:
                    os.unlink(tmp)
                except FileNotFoundError:
                    pass
            self._pending.clear()


def full_path(save: str, name: str) -> str:
    """Where --full writes output `name` beside the --save file: a.npz -> a.bm.npy."""
    stem = save[:-4] if save.endswith(".npz") else save
    return f"{stem}.{name}.npy"


def _npy_start(f: IO[bytes], shape: tuple[int, int]) -> None:
    """Begin an .npy file of float64 (channels x samples) stored in Fortran
    order: on disk each sample's channels are adjacent, so a stream's
    (channels x k) blocks are appended one after another, and np.load (with
    mmap_mode="r" for large files) gives the usual (channels x samples) array."""
    np.lib.format.write_array_header_2_0(
        f, {"descr": np.lib.format.dtype_to_descr(np.dtype(np.float64)), "fortran_order": True,
            "shape": shape})


# ---------------------------------------------------------------- analysis


def _band(low: float, high: float | None, fs: int) -> tuple[float, float]:
    """The centre-frequency range for a sample rate, checked."""
    nyquist = fs / 2
    if high is None:
        high = min(DEFAULT_HIGH, HIGH_FRACTION * fs)
        if low >= nyquist:
            raise CliError(
                f"--low {low:g} Hz is not below half the sample rate "
                f"({nyquist:g} Hz for this {fs} Hz input)"
            )
        if low >= high:
            why = "" if high == DEFAULT_HIGH else f", {HIGH_FRACTION:g} x the {fs} Hz sample rate"
            raise CliError(
                f"--low {low:g} Hz is not below the default --high ({high:g} Hz{why}): "
                f"pass a --high above {low:g} and below {nyquist:g} Hz"
            )
    elif high >= nyquist:
        raise CliError(
            f"--high {high:g} Hz needs a sample rate above {2 * high:g} Hz; "
            f"the input's is {fs} Hz (use --high below {nyquist:g})"
        )
    elif low >= high:
        raise CliError(f"--low {low:g} Hz must be below --high {high:g} Hz")
    return low, high


def _frame_lengths(fs: int, frame: float, hop: float) -> tuple[int, int]:
    try:
        return _frame_samples(fs, frame, hop)
    except ValueError:
        name, seconds = ("frame", frame) if round(frame * fs) < 1 else ("hop", hop)
        raise CliError(
            f"--{name} {seconds:g} s is less than one sample at {fs} Hz (use at least {1 / fs:.3g} s)"
        ) from None


class _Levels:
    """The level matrix, filled in place as frames arrive.

    Allocated once for the frames the input's length promises (pages of it
    are only touched as they are filled) and grown by doubling if more come.
    """

    def __init__(self, channels: int, frames: int) -> None:
        self._buf = np.empty((channels, max(frames, 1)))
        self.count = 0
        self.loudest = -math.inf

    def add(self, level: Array) -> None:
        k = level.shape[1]
        if k == 0:
            return
        if self.count + k > self._buf.shape[1]:
            grown = np.empty((self._buf.shape[0], max(2 * self._buf.shape[1], self.count + k)))
            grown[:, :self.count] = self._buf[:, :self.count]
            self._buf = grown
        self._buf[:, self.count:self.count + k] = level
        self.count += k
        self.loudest = max(self.loudest, float(level.max()))

    def array(self) -> Array:
        return self._buf[:, :self.count]


def frame_times(frames: int, samples: int, fs: int, frame_len: int, hop_len: int) -> Array:
    """Centre of each frame in seconds; the last frame may be clipped by the end."""
    starts = np.arange(frames) * hop_len
    times: Array = (starts + np.minimum(frame_len, samples - starts) / 2) / fs
    return times


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


def _draw(
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


# ---------------------------------------------------------------- the run


class _Peaks:
    """The largest absolute sample of each input channel and of their mean."""

    def __init__(self) -> None:
        self.channels: Array | None = None
        self.mix = 0.0

    def __call__(self, data: Array) -> None:
        p = np.max(np.abs(data), axis=0)
        self.channels = p if self.channels is None else np.maximum(self.channels, p)
        self.mix = max(self.mix, float(np.max(np.abs(np.mean(data, axis=1)))))


@contextmanager
def _input(path: str | None, channel: int | None, block: int,
           on_block: Callable[[Array], None]) -> Iterator[tuple[Audio, Iterator[Array]]]:
    """The input as (Audio, blocks): a sound file, standard input or the test signal."""
    if path:
        with open_sound(path, channel=channel, block=block, on_block=on_block) as opened:
            yield opened
        return
    if channel not in (None, 0):
        raise CliError(f"the {DEMO_NAME} has 1 channel, no channel {channel}")
    x, fs = demo_signal()

    def blocks() -> Iterator[Array]:
        for a in range(0, x.size, block):
            on_block(x[a:a + block, np.newaxis])
            yield x[a:a + block]

    yield Audio(fs, x.size, 1, DEMO_NAME), blocks()


class _NoBar:
    def update(self, n: int) -> None:
        pass


def _progress(total: int) -> Any:
    """A tqdm bar on stderr, shown only when stderr is a terminal.

    It appears after half a second of work, so short runs show none, and it
    is first drawn from within the ``with`` block, whose exit (on an error or
    Ctrl-C too) erases it again.
    """
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        from contextlib import nullcontext

        return nullcontext(_NoBar())
    return tqdm(total=total if total > 0 else None, unit="sample", unit_scale=True,
                leave=False, disable=None, file=sys.stderr, dynamic_ncols=True, delay=0.5)


@contextmanager
def _writing(path: str) -> Iterator[None]:
    """Report a failed write (a full disk, say) as one line naming the path."""
    try:
        yield
    except OSError as exc:
        raise CliError(f"{path}: cannot write ({exc.strerror or exc})") from None


def _size(n: float) -> str:
    return f"{n / 1e9:.1f} GB" if n >= 1e9 else f"{n / 1e6:.1f} MB"


def _check_space(path: str, need: int) -> None:
    """Refuse a --save that its file system cannot hold, before any work."""
    free = shutil.disk_usage(os.path.dirname(os.path.abspath(path))).free
    if need > free:
        raise CliError(f"{path}: needs {_size(need)}, but its file system has {_size(free)} free")


def _warn_if_silent(label: str, loudest: float, audio: Audio, channel: int | None,
                    peaks: _Peaks) -> None:
    """Warn when the analysed signal is (nearly) silent, or a mix cancels out."""
    silent = loudest < FLOOR_DB + SILENCE_MARGIN
    near = f"its loudest frame is {loudest:.1f} dB, within {SILENCE_MARGIN:g} dB of the {FLOOR_DB:g} dB floor"
    if channel is None and audio.channels > 1 and peaks.channels is not None:
        k = int(np.argmax(peaks.channels))
        top = float(peaks.channels[k])
        if top > 0.0 and peaks.mix < top * 10.0 ** (-CANCEL_DB / 20.0):
            how = (
                "exactly" if peaks.mix == 0.0
                else f"down to {20 * math.log10(top / peaks.mix):.0f} dB below channel {k}'s peak"
            )
            warn(
                f"the {audio.channels} channels of {label} cancel in the mix ({how})"
                f"{'; ' + near if silent else ''}; try --channel {k}"
            )
            return
    if silent:
        warn(f"{label} is silent or nearly so ({near})")


def run(args: argparse.Namespace) -> str:
    """Do the work for parsed arguments; returns the summary line."""
    _require(["matplotlib", "soundfile"] if args.input else ["matplotlib"])
    fmt = _picture_format(args.out)
    if args.save is not None and os.path.realpath(args.save) == os.path.realpath(args.out):
        raise CliError(f"--out and --save name the same file: {args.out}")
    if args.input and args.input != STDIN:
        for option, path in (("--out", args.out), ("--save", args.save)):
            if path is not None and os.path.realpath(path) == os.path.realpath(args.input):
                raise CliError(f"{option} names the input file: {path}")
    full: tuple[str, ...] = args.full

    with ExitStack() as stack:
        outputs = stack.enter_context(_Outputs())
        picture = outputs.add(args.out)
        saved = outputs.add(args.save) if args.save is not None else None

        peaks = _Peaks()
        block = max(1024, BLOCK_DOUBLES // args.channels)
        try:
            audio, blocks = stack.enter_context(_input(args.input, args.channel, block, peaks))
        except AudioError as exc:
            raise CliError(str(exc)) from None
        label = args.input if args.input and args.input != STDIN else audio.name
        fs, expected = audio.fs, audio.frames
        low, high = _band(args.low, args.high, fs)
        try:
            cfs = erb_space(low, high, args.channels)
        except ValueError as exc:
            raise CliError(str(exc)) from None
        frame_len, hop_len = _frame_lengths(fs, args.frame, args.hop)
        guess = 1 + max(expected - frame_len, 0) // hop_len + 1 if expected > 0 else 1024

        streams: dict[str, IO[bytes]] = {}
        if saved is not None:
            if full and expected < 0:
                raise CliError(f"{label}: its length is unknown before reading it, which --full needs")
            _check_space(args.save, 8 * cfs.size * (len(full) * max(expected, 0) + guess) + (1 << 20))
            for name in full:
                path = full_path(args.save, name)
                streams[name] = outputs.add(path)
                with _writing(path):
                    _npy_start(streams[name], (cfs.size, expected))

        levels = _Levels(cfs.size, guess)
        cochlea = CochleagramStream(fs, cfs, frame=args.frame, hop=args.hop, normalize=args.normalize)
        bank = (
            Stream(fs, cfs, env="env" in full, instp="instp" in full, instf="instf" in full)
            if full else None
        )

        def store(outs: Any) -> None:
            for name, f in streams.items():
                # (channels x k) rows become k runs of channels: Fortran order.
                with _writing(full_path(args.save, name)):
                    f.write(np.ascontiguousarray(getattr(outs, name).T).data)

        start = time.perf_counter()
        n = 0
        try:
            with _progress(expected) as bar:
                for x in blocks:
                    levels.add(cochlea.process(x))
                    if bank is not None:
                        store(bank.process(x))
                    n += x.size
                    bar.update(x.size)
        except AudioError as exc:
            raise CliError(str(exc)) from None
        levels.add(cochlea.close())
        if bank is not None:
            store(bank.close())
        elapsed = time.perf_counter() - start
        if full and n != expected:
            raise CliError(f"{label}: held {n} samples, not the {expected} its header announced")

        level = levels.array()
        times = frame_times(level.shape[1], n, fs, frame_len, hop_len)
        _warn_if_silent(label, levels.loudest, audio, args.channel, peaks)

        if args.channel is not None:
            title = f"Cochleagram of {audio.name}, channel {args.channel}"
        elif audio.channels > 1:
            title = f"Cochleagram of {audio.name}, mean of {audio.channels} channels"
        else:
            title = f"Cochleagram of {audio.name}"
        limits = colour_limits(levels.loudest, args.range_db, args.top)
        with _writing(args.out):
            _draw(picture, fmt, pool_levels(level), n / fs, cfs, title, limits, levels.loudest)
        if saved is not None:
            with _writing(args.save):
                np.savez(saved, fs=np.int64(fs), cfs=cfs, level=level, times=times,
                         frame_len=np.int64(frame_len), hop_len=np.int64(hop_len), samples=np.int64(n),
                         channel=np.int64(-1 if args.channel is None else args.channel),
                         normalize=np.bool_(args.normalize))
        outputs.commit()

    written = [args.out] + ([args.save] if args.save is not None else [])
    written += [full_path(args.save, name) for name in full] if args.save is not None else []
    wrote = ", ".join(written[:-1]) + " and " + written[-1] if len(written) > 1 else written[0]
    return (
        f"{args.channels} channels ({low:g} to {high:g} Hz), {n / fs:.2f} s at "
        f"{fs} Hz of {audio.name}: filtered in {elapsed:.3f} s, wrote {wrote}"
    )


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of ``gammatone-bank`` and ``python -m gammatone_bank``."""
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["batch"]:
        from gammatone_bank._batch import main as batch_main

        return batch_main(argv[1:])
    try:
        with _signal_handler(signal.SIGTERM, _on_sigterm):
            parser = _parser()
            args = parser.parse_args(argv)
            if args.full and args.save is None:
                parser.error("--full needs --save")
            summary = run(args)
    except CliError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    except Terminated:
        print(f"{PROG}: terminated", file=sys.stderr)
        return 128 + signal.SIGTERM
    print(summary)
    return 0
