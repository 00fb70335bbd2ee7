"""``gammatone-bank batch``: cochleagram features of many sound files.

    gammatone-bank batch INPUT... --out-dir DIR [--channels N] [--low HZ] [--high HZ]
                         [--frame S] [--hop S] [--channel K] [--normalize] [--features LIST]
                         [--scheduler ADDRESS] [--workers N] [--retries N] [--keep-non-finite]

The options are parsed here; the run itself is the library's batch().
"""

import argparse
import logging
import sys
from collections.abc import Sequence

from gammatone_bank._batch import RETRIES, BatchError, BatchInterrupted, batch
from gammatone_bank._outdir import PARAMETERS
from gammatone_bank.cli._common import (
    PROG,
    CliError,
    add_analysis_options,
    add_features_option,
    check_channels,
    emit,
    count,
    error,
    require,
    say,
)
from gammatone_bank.cli._stop import settled, sigterm_raises, stopped

# Failures listed one per line on stderr; the manifest holds them all.
SHOW_FAILURES = 10

HELP = "Cochleagram features of many sound files, on one machine or a Dask cluster."
EPILOG = f"""\
INPUT is a sound file, a directory (walked for every file soundfile reads,
names starting with a dot passed over) or @FILE (one path a line).  Each
input gets DIR/<path relative to the directory named>.npz (a file named
directly: DIR/<its name>.npz) holding levels (channels x frames, dB), cfs,
times, fs, the parameters and the input's path, size and modification time
(the file --save writes; gammatone_bank.load_features reads it), and the
--features asked for besides the levels: gfcc, ratemap.
DIR/manifest.csv gets a row per input: input, features, status (done,
skipped or failed), audio_seconds, compute_seconds, reason.

Every file of a run gets the same centre frequencies: without --high the
top is that of the lowest sample rate among the inputs.  A rerun skips the
inputs whose features file matches them (size and modification time), the
parameters and its checksums, and redoes the others; a rerun into DIR with
other parameters is refused (DIR/{PARAMETERS} records them, and is rebuilt
from the features files when lost).

The work runs on a Dask LocalCluster with one worker process per core
(--workers to choose), or with --scheduler on an existing cluster whose
workers have this package installed and see the same paths.

Exit status: 0 when every input is done or skipped; 1 when any failed (see
the manifest); 2 for bad usage, or a run refused before any work (an
input named that does not exist, an output directory that cannot be
created or written or holds features of other parameters); 130 when interrupted (Ctrl-C)
and 143 on SIGTERM, with no partial features file left: a rerun does what
is missing."""


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=f"{PROG} batch", description=HELP, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("inputs", nargs="+", metavar="INPUT",
                   help="sound file, directory of sound files, or @FILE listing paths")
    p.add_argument("--out-dir", required=True, metavar="DIR", help="where the features files go")
    add_analysis_options(p, each="each input", high_default=", for the lowest rate among the inputs")
    add_features_option(p, "each features file", full=False)
    p.add_argument("--scheduler", default=None, metavar="ADDRESS",
                   help="run on the Dask cluster of this scheduler (default: a local cluster)")
    p.add_argument("--workers", type=count(1), default=None, metavar="N",
                   help="worker processes of the local cluster (default: one per core); "
                   "with --scheduler, wait for N workers")
    p.add_argument("--keep-non-finite", action="store_true",
                   help="keep the features of an input whose levels are not finite (samples too large "
                   "for the filter) instead of failing it")
    p.add_argument("--retries", type=count(0), default=RETRIES, metavar="N",
                   help=f"times a task that raised is tried again (default {RETRIES})")
    return p


def main(argv: Sequence[str]) -> int:
    """Entry point of ``gammatone-bank batch``."""
    args = _parser().parse_args(argv)
    # Dask logs what goes wrong with its connections in pages of tracebacks
    # (a lost scheduler, say); the command line's word on it is the summary
    # and the manifest's reasons.
    try:
        import distributed  # noqa: F401  (which sets up its loggers, each with its level)
    except ImportError:
        pass  # require() below says what to install
    for name in ["distributed", "asyncio", *logging.root.manager.loggerDict]:
        # asyncio: "Future exception was never retrieved" as the cluster closes.
        if name.startswith("distributed") or name == "asyncio":
            logging.getLogger(name).setLevel(logging.CRITICAL)
    try:
        require(["distributed", "tqdm", "soundfile"], "batch")
        check_channels(args.channels)
        with sigterm_raises():
            result = batch(
                args.inputs, args.out_dir, channels=args.channels, low=args.low, high=args.high,
                frame=args.frame, hop=args.hop, channel=args.channel, normalize=args.normalize,
                scheduler=args.scheduler, workers=args.workers, retries=args.retries,
                keep_non_finite=args.keep_non_finite, features=args.features,
            )
            settled()  # the run is over: what is left is to report it
    except (BatchError, CliError, ValueError) as exc:  # a ValueError: a parameter batch() refuses
        return error(exc)
    except BatchInterrupted as stop:
        r = stop.result
        word, status = stopped(stop)
        if r.manifest_error:
            say(f"error: {r.manifest_error}")
        say(f"{word}: {len(r.rows)} of {r.inputs} inputs finished ({r.done} done, "
            f"{r.skipped} skipped, {r.failed} failed), recorded in {r.manifest}; rerun to do the rest")
        return status
    except KeyboardInterrupt as stop:  # before the run started
        word, status = stopped(stop)
        say(word)
        return status
    failures = [row for row in result.rows if row.status == "failed"]
    for row in failures[:SHOW_FAILURES]:
        say(f"failed: {row.reason}")
    if len(failures) > SHOW_FAILURES:
        say(f"... and {len(failures) - SHOW_FAILURES} more failures: see {result.manifest}")
    if result.manifest_error:
        # The features files are in place: a rerun finds them and records them.
        say(f"error: {result.manifest_error}; the features are in place, a rerun records them")
    emit(result.summary)
    return 1 if failures or result.manifest_error else 0
