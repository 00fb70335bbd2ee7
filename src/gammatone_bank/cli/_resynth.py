"""``gammatone-bank resynthesize``: a sound file analysed and summed back,
optionally under a time-frequency mask.

    gammatone-bank resynthesize INPUT --out OUT.wav [--mask MASK.npy] [--delay S]
                   [--channels N] [--low HZ] [--high HZ] [--frame S] [--hop S]
                   [--channel K] [--subtype NAME]
"""

import argparse
import os
from collections.abc import Sequence
from typing import IO

import numpy as np

from gammatone_bank._audio import STDIN, Audio, AudioError, open_sound
from gammatone_bank._files import NotRegularFile, npy_header, open_regular, read_npy
from gammatone_bank._checks import MAX_CHANNELS, Array
from gammatone_bank._params import DEFAULT_CHANNELS, DEFAULT_LOW, FRAME, HOP, band
from gammatone_bank._scale import erb_space
from gammatone_bank._resynth import MAX_DELAY, resynthesize
from gammatone_bank.cli._common import (
    Outputs,
    writing,
    PROG,
    CliError,
    check_channels,
    count,
    overflows,
    positive,
    require,
    run_command,
    warn,
)

# How an .npz (a zip) begins.
NPZ_MAGIC = b"PK\x03\x04"
# Subtypes that hold any float; every other one is clipped to full scale.
FLOAT_SUBTYPES = ("FLOAT", "DOUBLE")

HELP = "Analyse a sound file with the gammatone filterbank and sum the channels back into sound."
EPILOG = """\
INPUT is any file soundfile reads, mixed down to mono by averaging its
channels (or --channel K alone); it is read whole, since the zero-phase
design filters it backwards too.  OUT is written with soundfile in the
format its extension names, with the input's subtype (PCM_16, FLOAT, ...)
unless --subtype is given.  OUT must be a new file or a regular one (or a
link to one): a FIFO, a device or a directory is refused and left as it is.

Without --delay the resynthesis is zero-phase (each channel filtered again,
time-reversed); --delay S uses the causal design with a total delay of S
seconds (as a live stream would), removed from the result, so OUT lines up
with INPUT either way.

--mask names an .npy array of (channels x frames) weights in [0, 1] on the
frames of the cochleagram with the same --channels, --low, --high, --frame
and --hop (gammatone-bank INPUT --save features.npz shows the frame count:
the shape of load_features("features.npz").levels).  Samples beyond full
scale are clipped in an integer subtype, with a warning saying how many
and by how much.  An input so loud that the filter overflows is refused.

Exit status: 0 on success; 2 on a bad option or input, mask or output path
(one line on stderr); 130 on Ctrl-C, 143 on SIGTERM.  A failed or
interrupted run writes and replaces no output file."""


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=f"{PROG} resynthesize", description=HELP, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("input", metavar="INPUT", help="sound file to resynthesise; - reads standard input")
    p.add_argument("--out", required=True, metavar="FILE", help="sound file to write; the extension picks the format")
    p.add_argument("--mask", default=None, metavar="NPY", help="(channels x frames) weights in [0, 1]")
    p.add_argument("--delay", type=float, default=None, metavar="S",
                   help="causal design with this total delay in seconds (default: zero-phase)")
    p.add_argument("--channels", type=count(2), default=DEFAULT_CHANNELS, metavar="N",
                   help=f"number of channels, 2 to {MAX_CHANNELS} (default {DEFAULT_CHANNELS})")
    p.add_argument("--low", type=positive, default=DEFAULT_LOW, metavar="HZ",
                   help=f"lowest centre frequency (default {DEFAULT_LOW:g})")
    p.add_argument("--high", type=positive, default=None, metavar="HZ",
                   help="highest centre frequency, below fs/2 (default 8000, or 0.45 x fs when lower)")
    p.add_argument("--frame", type=positive, default=FRAME, metavar="S",
                   help=f"mask frame length in seconds (default {FRAME:g})")
    p.add_argument("--hop", type=positive, default=HOP, metavar="S",
                   help=f"time between mask frame starts in seconds (default {HOP:g})")
    p.add_argument("--channel", type=count(0), default=None, metavar="K",
                   help="resynthesise only channel K of the input, counting from 0 (default: their mean)")
    p.add_argument("--subtype", default=None, metavar="NAME",
                   help="subtype of OUT, e.g. PCM_16, PCM_24, FLOAT (default: the input's)")
    return p


def _output_format(path: str, subtype: str | None, input_subtype: str | None) -> tuple[str, str]:
    """(format, subtype) for OUT, or CliError saying what to pass."""
    import soundfile as sf

    extension = os.path.splitext(path)[1][1:].upper()
    formats = sf.available_formats()
    if extension not in formats:
        raise CliError(f"{path}: unknown sound format {extension or '(no extension)'!r}; use .wav, .flac, ...")
    chosen = subtype.upper() if subtype is not None else input_subtype
    if chosen is None:
        raise CliError("the subtype of the input is unknown: pass --subtype (PCM_16, FLOAT, ...)")
    if not sf.check_format(extension, chosen):
        known = ", ".join(sorted(sf.available_subtypes(extension)))
        how = "--subtype" if subtype is not None else "the input's subtype; pass --subtype"
        raise CliError(f"{path}: {extension} cannot hold {chosen} ({how}: one of {known})")
    return extension, chosen


def _read(path: str, channel: int | None) -> tuple[Array, Audio]:
    try:
        with open_sound(path, channel=channel) as (audio, blocks):
            x = np.concatenate(list(blocks))
    except AudioError as exc:
        raise CliError(str(exc)) from None
    return x, audio


def _mask(path: str) -> Array:
    """The --mask array, read from an .npy file and nothing else.

    Refused in one line: a path that is not a regular file (a FIFO, without
    waiting for it), an empty file, an .npz, text or a sound file, a
    damaged or cut-short .npy, a pickle, and an array that is not of real
    numbers.  Memory is what the header declares, checked against the
    file's size first.
    """
    try:
        with open_regular(path) as f:
            start = f.read(len(NPZ_MAGIC))
            if not start:
                raise CliError(f"{path}: is empty; save the mask with numpy.save")
            if start == NPZ_MAGIC:
                raise CliError(f"{path}: holds several arrays (an .npz); save the mask alone with numpy.save")
            f.seek(0)
            try:
                header = npy_header(f)
            except ValueError as exc:
                raise CliError(f"{path}: not a readable .npy mask ({exc}); save it with numpy.save") from None
            if header.dtype.kind not in "biuf":
                what = "complex numbers" if header.dtype.kind == "c" else f"{header.dtype} values"
                raise CliError(f"{path}: holds {what}; a mask holds real weights in [0, 1]")
            size = os.fstat(f.fileno()).st_size
            if size != header.offset + header.nbytes:
                raise CliError(f"{path}: not a readable .npy mask ({size} bytes where its header "
                               f"declares {header.offset + header.nbytes}: damaged or cut short)")
            try:
                return read_npy(f, header)
            except ValueError as exc:
                raise CliError(f"{path}: not a readable .npy mask ({exc})") from None
    except NotRegularFile as exc:
        raise CliError(f"{path}: {exc.strerror}; --mask reads an .npy file") from None
    except OSError as exc:
        raise CliError(f"{path}: cannot read the mask ({exc.strerror or exc})") from None


def _clip(y: Array) -> None:
    """Clip y to full scale in place, warning by how much."""
    over = np.abs(y) > 1.0
    if over.any():
        peak = float(np.abs(y).max())
        warn(f"{int(over.sum())} samples beyond full scale clipped (peak {peak:.3g}, "
             f"{20 * np.log10(peak):.1f} dB over); scale the input down or pass --subtype FLOAT")
        np.clip(y, -1.0, 1.0, out=y)


class _Written:
    """The unbuffered output file as soundfile writes it, keeping the first
    failed write (a full disk) instead of raising it inside libsndfile's
    callback, where it would only be printed; ``check()`` raises it after."""

    def __init__(self, f: IO[bytes], path: str) -> None:
        self._f = f
        self._path = path
        self.error: OSError | None = None

    def write(self, data: bytes) -> int:
        view, done = memoryview(data), 0
        while done < len(view) and self.error is None:
            try:
                done += self._f.write(view[done:]) or 0
            except OSError as exc:
                self.error = exc
        return done

    def read(self, n: int = -1) -> bytes:
        return self._f.read(n)

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        return self._f.seek(offset, whence)

    def tell(self) -> int:
        return self._f.tell()

    def check(self) -> None:
        if self.error is not None:
            raise CliError(f"{self._path}: cannot write ({self.error.strerror or self.error})")


def _write(out: IO[bytes], path: str, y: Array, fs: int, subtype: str, fmt: str) -> None:
    """y as a sound file into out; one line (CliError) when it cannot be written."""
    import soundfile as sf

    written = _Written(getattr(out, "raw", out), path)
    try:
        with writing(path):
            sf.write(written, y, fs, subtype=subtype, format=fmt)
    except (AssertionError, sf.SoundFileError, RuntimeError):
        # libsndfile stops at a failed write, and soundfile asserts it wrote all.
        written.check()
        raise
    written.check()


def run(args: argparse.Namespace) -> str:
    require(["soundfile"], "cli")
    check_channels(args.channels)
    if args.input != STDIN and os.path.exists(args.out) and os.path.realpath(args.out) == os.path.realpath(args.input):
        raise CliError(f"--out names the input file: {args.out}")
    if args.delay is not None and not 0.0 <= args.delay <= MAX_DELAY:
        raise CliError(f"--delay must be seconds in [0, {MAX_DELAY:g}], got {args.delay:g}")
    with Outputs() as outputs:
        out = outputs.add(args.out)
        x, audio = _read(args.input, args.channel)
        fs = audio.fs
        fmt, subtype = _output_format(args.out, args.subtype, audio.subtype)
        mask = _mask(args.mask) if args.mask is not None else None
        try:
            try:
                low, high = band(args.low, args.high, fs)
            except ValueError as exc:
                raise CliError(f"{args.input}: {exc}") from None
            cfs = erb_space(low, high, args.channels)
            y = resynthesize(x, fs, cfs, mask=mask, frame=args.frame, hop=args.hop, delay=args.delay)
        except (TypeError, ValueError) as exc:
            raise CliError(f"{args.mask}: {exc}" if mask is not None and "mask" in str(exc) else str(exc)) from None
        if not np.isfinite(y).all():
            label = args.input if args.input != STDIN else audio.name
            raise overflows(label, "its resynthesis is", float(np.max(np.abs(x))))
        if subtype not in FLOAT_SUBTYPES:
            _clip(y)
        _write(out, args.out, y, fs, subtype, fmt)
        outputs.commit()
    design = "zero-phase" if args.delay is None else f"causal, {args.delay:g} s delay"
    masked = f", mask {args.mask}" if args.mask is not None else ""
    return (f"{args.channels} channels ({low:g} to {high:g} Hz), {x.size / fs:.2f} s at {fs} Hz, "
            f"{design}{masked}: wrote {args.out} ({fmt} {subtype})")


def main(argv: Sequence[str]) -> int:
    """``gammatone-bank resynthesize INPUT --out OUT ...``."""
    return run_command(lambda: run(_parser().parse_args(argv)))
