"""The cochleagram of one sound file (or of the test signal).

    gammatone-bank [INPUT | -] [--channels N] [--low HZ] [--high HZ]
                   [--channel K] [--frame S] [--hop S] [--normalize]
                   [--range DB] [--top DB] [--out cochleagram.png]
                   [--save outputs.npz [--full bm,env,instp,instf] [--features LIST]]

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
import math
import os
import shutil
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import ExitStack, contextmanager
from typing import IO, Any

import numpy as np

from gammatone_bank._audio import STDIN, Audio, AudioError, open_sound
from gammatone_bank._auditory import feature_streams
from gammatone_bank._checks import Array
from gammatone_bank._scale import erb_space
from gammatone_bank._features import FeatureSpool, FeaturesWriter, Source
from gammatone_bank._params import Params, band, check_features, frame_lengths
from gammatone_bank._demo import DEMO_NAME, demo_signal
from gammatone_bank._stream import CochleagramStream, Stream
from gammatone_bank.cli._common import (
    Outputs,
    regular_or_nothing,
    writing,
    PROG,
    CliError,
    add_analysis_options,
    add_features_option,
    check_channels,
    overflows,
    positive,
    require,
    run_command,
    version,
    warn,
)
from gammatone_bank.cli._picture import (
    DYNAMIC_RANGE,
    FLOOR_DB,
    colour_limits,
    draw,
    picture_format,
    pool_levels,
)

# A loudest frame below FLOOR_DB + this is reported as silence.
SILENCE_MARGIN = 10.0
# A mix whose peak is this far below its loudest channel's is reported as
# channels cancelling each other (opposite polarity, say).
CANCEL_DB = 40.0
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

--save writes the features file that "gammatone-bank batch" writes too
(gammatone_bank.load_features reads it): levels (channels x frames, dB),
cfs, times (frame centres in s), fs, samples and the parameters (see the
README for every key).  --full adds full-rate outputs (channels x
samples, stored in Fortran order so that they stream to disk as they are
computed): bm (the filter output), env (its envelope), instp, instf.
--features adds auditory features to the --save file under their names:
gfcc, ratemap (frame by frame) and, with --full, ihc (channels x samples),
as gammatone_bank.gfcc, ratemap and ihc_envelope give them.  The run
is refused up front when the file system lacks the space for them.  One
summary line goes to stdout; a progress bar to stderr when it is a terminal.

For many files, "gammatone-bank batch INPUT... --out-dir DIR" writes the
levels of each to DIR on a Dask cluster (gammatone-bank batch --help).
"gammatone-bank resynthesize INPUT --out OUT.wav [--mask MASK.npy]" sums the
channels back into sound (gammatone-bank resynthesize --help).
"gammatone-bank response --out response.png" draws the bank's frequency
response (gammatone-bank response --help).

Needs matplotlib and soundfile (and tqdm for the progress bar): pip install
'gammatone_c[cli]', or pip install '.[cli]' in a clone of the source.
Exit status: 0 on success; 2 on a bad option (with the usage message) or a
bad input file, sample rate or output path (one line on stderr); 130 on
Ctrl-C.  A failed or interrupted run writes and replaces no output file."""



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
    p.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    add_analysis_options(p, each="the input", high_default="")
    p.add_argument(
        "--range", type=positive, default=DYNAMIC_RANGE, metavar="DB", dest="range_db",
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
    add_features_option(p, "the --save file", full=True)
    return p




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




class _Levels:
    """The level matrix, filled in place as frames arrive.

    Allocated once for the frames the input's length promises (pages of it
    are only touched as they are filled) and grown by doubling if more come.
    """

    def __init__(self, channels: int, frames: int) -> None:
        self._buf = np.empty((channels, max(frames, 1)))
        self.finite = True
        self.count = 0
        self.loudest = -math.inf

    def add(self, level: Array) -> None:
        k = level.shape[1]
        if k == 0:
            return
        self.finite = self.finite and bool(np.isfinite(level).all())
        if self.count + k > self._buf.shape[1]:
            grown = np.empty((self._buf.shape[0], max(2 * self._buf.shape[1], self.count + k)))
            grown[:, :self.count] = self._buf[:, :self.count]
            self._buf = grown
        self._buf[:, self.count:self.count + k] = level
        self.count += k
        self.loudest = max(self.loudest, float(level.max()))

    def array(self) -> Array:
        return self._buf[:, :self.count]




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


@contextmanager
def _progress(total: int) -> Iterator[Any]:
    """A tqdm bar on stderr, shown only when stderr is a terminal.

    It appears after half a second of work, so short runs show none, and it
    is first drawn from within the ``with`` block, whose exit (on an error or
    Ctrl-C too) erases it again.
    """
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        yield _NoBar()
        return
    bar = tqdm(total=total if total > 0 else None, unit="sample", unit_scale=True,
               leave=False, disable=None, file=sys.stderr, dynamic_ncols=True, delay=0.5)
    try:
        yield bar
    finally:
        # A signal that lands while the bar is first drawn comes before tqdm
        # notes that it drew it, and close() alone would then leave it there.
        bar.clear()
        bar.close()


@contextmanager
def _spooled(spool: FeatureSpool) -> Iterator[FeatureSpool]:
    try:
        yield spool
    finally:
        spool.close()


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
    require(["matplotlib", "soundfile"] if args.input else ["matplotlib"], "cli")
    fmt = picture_format(args.out)
    if args.save is not None and os.path.realpath(args.save) == os.path.realpath(args.out):
        raise CliError(f"--out and --save name the same file: {args.out}")
    if args.input and args.input != STDIN:
        for option, path in (("--out", args.out), ("--save", args.save)):
            if path is not None and os.path.realpath(path) == os.path.realpath(args.input):
                raise CliError(f"{option} names the input file: {path}")
    full: tuple[str, ...] = args.full
    asked: tuple[str, ...] = args.features
    check_channels(args.channels)
    # Every output path before any work: a FIFO or a device is refused, untouched.
    saves = [] if args.save is None else [args.save, *(full_path(args.save, name) for name in full)]
    for path in (args.out, *saves):
        regular_or_nothing(path)

    with ExitStack() as stack:
        outputs = stack.enter_context(Outputs())
        picture = outputs.add(args.out)
        saved = outputs.add(args.save) if args.save is not None else None

        peaks = _Peaks()
        block = max(1024, BLOCK_DOUBLES // args.channels)
        try:
            audio, blocks = stack.enter_context(_input(args.input, args.channel, block, peaks))
        except AudioError as exc:
            raise CliError(str(exc)) from None
        label = args.input if args.input and args.input != STDIN else audio.name
        source = Source.of(args.input, os.stat(args.input)) if label == args.input else Source.of(label, None)
        fs, expected = audio.fs, audio.frames
        try:
            low, high = band(args.low, args.high, fs)
            cfs = erb_space(low, high, args.channels)
            frame_len, hop_len = frame_lengths(fs, args.frame, args.hop)
        except ValueError as exc:
            raise CliError(str(exc)) from None
        guess = 1 + max(expected - frame_len, 0) // hop_len + 1 if expected > 0 else 1024

        streams: dict[str, IO[bytes]] = {}
        if saved is not None:
            if full and expected < 0:
                raise CliError(f"{label}: its length is unknown before reading it, which --full needs")
            rates = len(full) + ("ihc" in asked)
            _check_space(args.save, 8 * cfs.size * (rates * max(expected, 0) + guess) + (1 << 20))
            for name in full:
                path = full_path(args.save, name)
                streams[name] = outputs.add(path)
                with writing(path):
                    _npy_start(streams[name], (cfs.size, expected))

        levels = _Levels(cfs.size, guess)
        cochlea = CochleagramStream(fs, cfs, frame=args.frame, hop=args.hop, normalize=args.normalize)
        bank = (
            Stream(fs, cfs, env="env" in full, instp="instp" in full, instf="instf" in full)
            if full else None
        )
        more = feature_streams(fs, cfs, asked, args.frame, args.hop, args.normalize, None) if saved else {}
        spools = {name: stack.enter_context(_spooled(FeatureSpool(m.rows))) for name, m in more.items()}

        def store(outs: Any) -> None:
            for name, f in streams.items():
                # (channels x k) rows become k runs of channels: Fortran order.
                with writing(full_path(args.save, name)):
                    f.write(np.ascontiguousarray(getattr(outs, name).T).data)

        start = time.perf_counter()
        n = 0
        try:
            with _progress(expected) as bar:
                for x in blocks:
                    levels.add(cochlea.process(x))
                    if bank is not None:
                        store(bank.process(x))
                    for name, m in more.items():
                        spools[name].add(m.process(x))
                    n += x.size
                    bar.update(x.size)
        except AudioError as exc:
            raise CliError(str(exc)) from None
        levels.add(cochlea.close())
        if bank is not None:
            store(bank.close())
        for name, m in more.items():
            spools[name].add(m.close())
        elapsed = time.perf_counter() - start
        if full and n != expected:
            raise CliError(f"{label}: held {n} samples, not the {expected} its header announced")

        level = levels.array()
        if not levels.finite:
            peak = float(np.max(peaks.channels)) if peaks.channels is not None else math.inf
            raise overflows(label, "its levels are", peak)
        _warn_if_silent(label, levels.loudest, audio, args.channel, peaks)

        # A name that is not UTF-8 is drawn with its odd bytes as U+FFFD:
        # the fonts have no glyph for the escapes that carry them.
        name = os.fsencode(audio.name).decode("utf-8", "replace")
        if args.channel is not None:
            title = f"Cochleagram of {name}, channel {args.channel}"
        elif audio.channels > 1:
            title = f"Cochleagram of {name}, mean of {audio.channels} channels"
        else:
            title = f"Cochleagram of {name}"
        limits = colour_limits(levels.loudest, args.range_db, args.top)
        with writing(args.out):
            draw(picture, fmt, pool_levels(level), n / fs, cfs, title, limits, levels.loudest)
        if saved is not None:
            with writing(args.save):
                params = Params(channels=args.channels, low=low, high=high, frame=args.frame,
                                hop=args.hop, channel=args.channel, normalize=args.normalize,
                                features=asked)
                with FeaturesWriter(saved, cfs.size, level.shape[1]) as features:
                    features.add(level)
                    features.finish(cfs=cfs, fs=fs, samples=n, frame_len=frame_len, hop_len=hop_len,
                                    params=params, source=source, compute_seconds=elapsed, features=spools)
        outputs.commit()

    written = [args.out] + ([args.save] if args.save is not None else [])
    written += [full_path(args.save, name) for name in full] if args.save is not None else []
    wrote = ", ".join(written[:-1]) + " and " + written[-1] if len(written) > 1 else written[0]
    return (
        f"{args.channels} channels ({low:g} to {high:g} Hz), {n / fs:.2f} s at "
        f"{fs} Hz of {audio.name}: filtered in {elapsed:.3f} s, wrote {wrote}"
    )


def main(argv: Sequence[str]) -> int:
    """The single-file command: ``gammatone-bank [INPUT] ...``."""

    def work() -> str:
        parser = _parser()
        args = parser.parse_args(argv)
        if args.full and args.save is None:
            parser.error("--full needs --save")
        if args.features != ("levels",) and args.save is None:
            parser.error("--features needs --save")
        try:
            args.features = check_features(args.features, full=bool(args.full))
        except ValueError as exc:
            parser.error(str(exc))
        return run(args)

    return run_command(work)
