"""Corpus runs: cochleagram features for many sound files, on Dask distributed.

For every input its path and the analysis parameters go in and one features
file comes out, written to a temporary file beside its target and renamed
into place; nothing else is shared, so any worker can do any input, and do
it again.  The work first looks at the features file already there: one
that matches the input (size and modification time) and the parameters is
kept, which is how a rerun does only what is missing.  Short files go
several to a Dask task.  The tasks run on an embedded LocalCluster (one
single-threaded worker process per core) or on an existing cluster; the
client only plans, collects the outcomes and keeps DIR/manifest.csv.

This module plans the inputs and holds the task; the output directory is
:mod:`gammatone_bank._outdir`'s, the cluster :mod:`gammatone_bank._runner`'s.
"""

import functools
import os
import select
import stat
import sys
import time
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import replace
from typing import IO

import numpy as np

from gammatone_bank import _checks
from gammatone_bank._audio import AudioError, open_sound
from gammatone_bank._checks import Array
from gammatone_bank._frames import _frame_count
from gammatone_bank._scale import erb_space
from gammatone_bank._auditory import feature_streams
from gammatone_bank._features import FeatureSpool, FeaturesWriter, Source
from gammatone_bank._features import kept as _kept
from gammatone_bank._files import NotRegularFile, open_regular, refuse_unless_regular
from gammatone_bank._files import write_atomically
from gammatone_bank._outdir import Job, OutDir, Row
from gammatone_bank._params import (
    DEFAULT_CHANNELS,
    DEFAULT_LOW,
    FRAME,
    HIGH_FRACTION,
    HOP,
    BatchError,
    Params,
    band,
    check_params,
    default_high,
)
from gammatone_bank._runner import (
    BatchInterrupted,
    BatchResult,
    GroupError,
    check_main_guard,
    run,
    task_reason,
)
from gammatone_bank._stream import CochleagramStream

__all__ = [
    "BatchError", "BatchInterrupted", "BatchResult", "Job", "Params", "Row",
    "analyse", "analyse_group", "batch",
]

RETRIES = 2
# A directory walk takes the files whose extension is one of soundfile's
# format names (wav, flac, ogg, ...) or one of these other spellings of them.
# RAW files cannot be read without being told their layout, so a walk never
# picks them up.
EXTENSION_ALIASES = {
    "aiff": ("aif", "aifc"),
    "au": ("snd",),
    "ircam": ("sf",),
    "nist": ("sph",),
    "ogg": ("oga", "opus"),
}
NOT_WALKED = frozenset({"raw"})
# A list of inputs (@FILE) is read line by line within these bounds, so that
# a wrong file (/dev/zero, a FIFO nobody writes) is refused, not waited on
# or held in memory: lines of at most LIST_LINE bytes (a path's limit), at
# most LIST_BYTES in all (a million paths or so), and no more than
# LIST_WAIT seconds without a byte from a pipe.
LIST_LINE = 4096
LIST_BYTES = 64 << 20
LIST_WAIT = 10.0
BOM = b"\xef\xbb\xbf"



def _sound_extensions() -> frozenset[str]:
    """Lower-case extensions, without the dot, of the formats soundfile reads."""
    import soundfile

    names = {name.lower() for name in soundfile.available_formats()} - NOT_WALKED
    for name in list(names):
        names.update(EXTENSION_ALIASES.get(name, ()))
    return frozenset(names)


def _walk(root: str, extensions: frozenset[str]) -> Iterator[tuple[str, str]]:
    """(path, path relative to root) of the sound files below root, in order.

    Names starting with a dot are passed over (hidden files, and the
    "._name.wav" companions some systems leave beside every file); links to
    directories are not followed, so a link loop cannot trap the walk.
    """

    def refuse(exc: OSError) -> None:
        raise BatchError(f"{exc.filename}: cannot list the directory ({exc.strerror})")

    for folder, dirs, files in os.walk(root, onerror=refuse):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for name in sorted(files):
            ext = name.rpartition(".")[2].lower() if "." in name else ""
            if not name.startswith(".") and ext in extensions:
                path = os.path.join(folder, name)
                # Regular files only, and links to them: a FIFO named x.wav
                # would block its task, a device never end.  A dangling
                # link is taken, and fails alone with its reason.
                try:
                    regular = stat.S_ISREG(os.stat(path).st_mode)
                except OSError:
                    regular = True
                if regular:
                    yield path, os.path.relpath(path, root)


def _list_lines(path: str) -> Iterator[str]:
    """The lines of a list of inputs, read within the LIST_ bounds, or BatchError.

    Read as bytes, so that a path in any encoding comes through as the
    file system names it (decoded as os.fsdecode does); a UTF-8 byte order
    mark at the start is dropped.
    """
    def refuse(why: str) -> BatchError:
        return BatchError(f"{path}: cannot read the list of inputs ({why})")

    try:
        # Non-blocking, so that a FIFO with no writer does not hang the open.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as exc:
        raise refuse(exc.strerror or str(exc)) from None
    try:
        mode = os.fstat(fd).st_mode
        if not (stat.S_ISREG(mode) or stat.S_ISFIFO(mode)):
            raise refuse("not a regular file or a pipe")
        total, count, rest = 0, 0, b""
        while True:
            if not select.select([fd], [], [], LIST_WAIT)[0]:
                raise refuse(f"nothing was written to it for {LIST_WAIT:g} s")
            try:
                chunk = os.read(fd, 1 << 16)
            except BlockingIOError:
                continue
            except OSError as exc:
                raise refuse(exc.strerror or str(exc)) from None
            total += len(chunk)
            if total > LIST_BYTES:
                raise refuse(f"longer than {LIST_BYTES >> 20} MiB")
            if total == len(chunk) and chunk.startswith(BOM):
                chunk = chunk[len(BOM):]
            lines = (rest + chunk).split(b"\n")
            rest = lines.pop() if chunk else b""
            for line in lines:
                count += 1
                if len(line) > LIST_LINE:
                    raise refuse(f"line {count} is longer than {LIST_LINE} bytes: not a list of paths")
                yield os.fsdecode(line.rstrip(b"\r"))
            if len(rest) > LIST_LINE:
                raise refuse(f"line {count + 1} is longer than {LIST_LINE} bytes: not a list of paths")
            if not chunk:
                return
    finally:
        os.close(fd)


def _named(inputs: Iterable[str]) -> Iterator[str]:
    """The paths named: arguments as they are, @FILE as the paths it lists."""
    for arg in inputs:
        if not isinstance(arg, (str, bytes, os.PathLike)):
            raise TypeError(f"inputs must be paths, got {arg!r}")
        # A path as bytes is taken in any encoding, as the file system names it.
        arg = os.fsdecode(arg)
        if arg == "-":
            raise BatchError("standard input (-) cannot be an input of a batch run")
        if not arg.startswith("@"):
            # A path typed in that is not there is a slip to refuse before
            # any work; one of a long list fails on its own instead.
            if not os.path.lexists(arg):
                raise BatchError(f"{arg}: no such file or directory")
            yield arg
            continue
        # One path per line, relative to the current directory like an
        # argument; blank lines and lines starting with # are passed over.
        for line in _list_lines(arg[1:]):
            if line.strip() and not line.lstrip().startswith("#"):
                yield line.strip()


def _plan(inputs: Iterable[str], out_dir: str) -> list[Job]:
    """The jobs for the inputs, one per features file, or BatchError.

    A directory gives its sound files, each mapped to the same path relative
    to the output directory; a file (or a listed path that does not exist,
    which then fails on its own) maps to its base name.  Two different inputs that
    would share a features file are refused; one file named twice over the
    same mapping is taken once.
    """
    if isinstance(inputs, (str, os.PathLike)):
        raise TypeError("inputs must be a sequence of paths, not a single path")
    if not os.fsdecode(out_dir):
        raise BatchError("the output directory is named by an empty string: name one (. for the current one)")
    extensions = _sound_extensions()
    out = os.path.abspath(out_dir)
    jobs: dict[str, Job] = {}
    clashes: list[str] = []
    for arg in _named(inputs):
        found = list(_walk(arg, extensions)) if os.path.isdir(arg) else [(arg, os.path.basename(arg))]
        for path, rel in found:
            features = rel.replace(os.sep, "/") + ".npz"
            target = os.path.join(out, rel + ".npz")
            try:
                size = os.stat(path).st_size
            except OSError:
                size = 0
            try:
                refuse_unless_regular(target)
            except NotRegularFile as exc:
                raise BatchError(f"{target}: {exc.strerror}, where the features of {path} go; remove it "
                                 f"or use another output directory") from None
            job = Job(path, features, target, size)
            other = jobs.setdefault(target, job)
            if other is not job and os.path.realpath(other.input) != os.path.realpath(path):
                clashes.append(f"{other.input} and {path} would both write {target}")
    if clashes:
        more = f" (and {len(clashes) - 1} more)" if len(clashes) > 1 else ""
        raise BatchError(f"two inputs map to one features file: {clashes[0]}{more}")
    if not jobs:
        raise BatchError("no sound files in the inputs")
    return list(jobs.values())


def _count_samples(path: str, channel: int | None) -> int:
    with open_sound(path, channel=channel) as (_, blocks):
        return sum(x.size for x in blocks)


class Cancelled(Exception):
    """The scheduler let go of the running task: its run was cancelled."""


def _cancelled() -> bool:
    """Whether this thread runs a Dask task that its scheduler has cancelled.

    Dask cannot stop a running task, so a task checks between blocks and
    leaves off early instead of landing files for a run that has stopped
    (Ctrl-C on a client of a remote cluster).  Looked up in the worker's
    own state, so the check costs no round trip.
    """
    try:
        from distributed.worker import get_worker, thread_state

        worker, key = get_worker(), thread_state.key
    except (ImportError, ValueError, AttributeError):
        return False  # not in a task
    ts = worker.state.tasks.get(key)
    return ts is not None and ts.state in ("cancelled", "released", "forgotten")


def _checked(blocks: Iterator[Array], path: str) -> Iterator[Array]:
    for x in blocks:
        if _cancelled():
            raise Cancelled(f"{path}: the run was cancelled")
        yield x


def _finite(level: Array, path: str, keep: bool) -> Array:
    if not keep and not np.isfinite(level).all():
        raise AudioError(f"{path}: its levels are not finite: its samples are too large for the filter "
                         f"(scale the input down, or keep such files with --keep-non-finite)")
    return level


def landed(job: Job, params: Params, run: str) -> Row | None:
    """The row of a job whose features file this run wrote, or None.

    For the tasks whose rows were lost with the scheduler or the client's
    connection: the file on disk tells what became of them.
    """
    try:
        st = os.stat(job.input)
        found = _kept(job.target, st.st_size, st.st_mtime_ns, params, run)
    except (OSError, BatchError):
        return None
    if found is None or found[0] != "done":
        return None
    return Row(job.input, job.features, *found, "")


def analyse(path: str, target: str, params: Params, run: str = "", keep_non_finite: bool = False, *,
            features: str = "") -> Row:
    """The task: the features file of one input, or the reason there is none.

    Pure in the sense that matters to Dask: whatever it does is decided by
    its arguments and the files they name, and running it twice (a retry
    after a worker died) writes the same file.  A failure that lies with
    the input is returned in its row; anything else (a full disk, a bug)
    is raised, so the scheduler retries it.  `run` names the run: a features
    file that this very run wrote is reported done, not skipped, when the
    task runs again because the worker holding its row died.  Levels
    that are not finite fail the input unless `keep_non_finite`.
    `features` is the row's name for the features file (relative to the
    output directory).
    """
    start = time.perf_counter()

    def row(status: str, seconds: float | None, reason: str = "", compute: float | None = None) -> Row:
        took = time.perf_counter() - start if compute is None else compute
        return Row(path, features, status, seconds, took, reason)

    try:
        try:
            st = os.stat(path)
        except OSError:
            st = None
        if st is not None and not os.path.isdir(path):
            found = _kept(target, st.st_size, st.st_mtime_ns, params, run)
            if found is not None:
                status, seconds, compute = found
                return row(status, seconds, compute=compute)
        with open_sound(path, channel=params.channel) as (audio, blocks):
            info = st if st is not None else os.stat(path)  # it appeared since
            low, high = band(params.low, params.high, audio.fs)
            cfs = erb_space(low, high, params.channels)
            # One worker process per core: no threads inside a task.
            stream = CochleagramStream(audio.fs, cfs, frame=params.frame, hop=params.hop,
                                       normalize=params.normalize, workers=1)
            more = feature_streams(audio.fs, cfs, params.features, params.frame, params.hop,
                                   params.normalize, workers=1)
            expected = audio.frames if audio.frames >= 0 else _count_samples(path, params.channel)
            os.makedirs(os.path.dirname(target), exist_ok=True)

            def write(f: IO[bytes]) -> int:
                frames = _frame_count(expected, stream.frame_len, stream.hop_len)
                n = 0
                spools = {name: FeatureSpool(s.rows) for name, s in more.items()}
                with FeaturesWriter(f, cfs.size, frames) as features:
                    try:
                        for x in _checked(blocks, path):
                            n += x.size
                            features.add(_finite(stream.process(x), path, keep_non_finite))
                            for name, s in more.items():
                                spools[name].add(s.process(x))
                        features.add(_finite(stream.close(), path, keep_non_finite))
                        for name, s in more.items():
                            spools[name].add(s.close())
                        if n != expected or features.written != frames:
                            raise AudioError(f"{path}: announces {expected} samples but holds {n}")
                        features.finish(cfs=cfs, fs=audio.fs, samples=n, frame_len=stream.frame_len,
                                        hop_len=stream.hop_len, params=params, source=Source.of(path, info),
                                        run=run, compute_seconds=time.perf_counter() - start,
                                        features=spools)
                    finally:
                        for spool in spools.values():
                            spool.close()
                return n

            # No fsync: the rename keeps a half-written file out of sight,
            # and a file a power cut leaves torn fails to load and is redone.
            samples = write_atomically(target, write)
            return row("done", samples / audio.fs)
    except (AudioError, BatchError) as exc:
        return row("failed", None, str(exc))
    except ValueError as exc:  # frame or hop too short for the file's sample rate
        return row("failed", None, f"{path}: {exc}")


def analyse_group(jobs: Sequence[Job], params: Params, run: str, keep_non_finite: bool = False) -> list[Row]:
    """The task: :func:`analyse` for each job in turn, their rows."""
    rows: list[Row] = []
    raised = False
    for job in jobs:
        try:
            rows.append(analyse(job.input, job.target, params, run, keep_non_finite, features=job.features))
        except Cancelled:
            raise  # the rest of the group too
        except Exception as exc:
            raised = True
            rows.append(Row(job.input, job.features, "failed", None, 0.0, f"{job.input}: {task_reason(exc)}"))
    if raised:
        raise GroupError(rows)
    return rows


def _one_band(jobs: Sequence[Job], params: Params) -> tuple[Params, str]:
    """The parameters with the default top centre frequency worked out for the run.

    Every file of a run gets the same centre frequencies: the default top
    (8000 Hz, or 0.45 x the sample rate when lower) of the lowest sample
    rate among the inputs.  Also returns the line that says so when the
    inputs' rates would give different tops ("" otherwise).  Inputs whose header cannot be read are passed over
    (they fail on their own); BatchError when the lowest rate cannot hold
    the band from `low`.
    """
    import soundfile

    lowest: tuple[int, str] | None = None
    tops = set()
    for job in jobs:
        try:
            # Regular files only, checked on the open file: opening a FIFO
            # would wait for a writer.
            with open_regular(job.input) as f:
                fs = int(soundfile.info(f).samplerate)
        except Exception:  # anything a header can raise; the task will report it
            continue
        if fs > 0:
            tops.add(default_high(fs))
            if lowest is None or fs < lowest[0]:
                lowest = (fs, job.input)
    if lowest is None:
        return params, ""
    fs, path = lowest
    try:
        _, high = band(params.low, None, fs)
    except ValueError as exc:
        raise BatchError(f"{path}, the input of the lowest sample rate: {exc}") from None
    note = "" if len(tops) < 2 else (
        f"every input's top centre frequency is {high:g} Hz, {HIGH_FRACTION:g} x the lowest sample "
        f"rate among them ({fs} Hz, {path}); choose another with --high (high= in batch())")
    return replace(params, high=high), note


def batch(
    inputs: Iterable[str],
    out_dir: str,
    *,
    channels: int = DEFAULT_CHANNELS,
    low: float = DEFAULT_LOW,
    high: float | None = None,
    frame: float = FRAME,
    hop: float = HOP,
    channel: int | None = None,
    normalize: bool = False,
    scheduler: str | None = None,
    workers: int | None = None,
    progress: bool | None = None,
    retries: int = RETRIES,
    keep_non_finite: bool = False,
    features: str | Sequence[str] = ("levels",),
) -> BatchResult:
    """Cochleagram features of many sound files, on Dask distributed.

    Each input gets ``out_dir/<path relative to the directory named>.npz``
    (a file named directly: its base name) holding ``levels`` (channels x
    frames, dB, equal to :func:`cochleagram` on the samples as read),
    ``cfs``, ``times``, ``fs``, the parameters and the input's path, size
    and modification time, and a row in ``out_dir/manifest.csv``.  An input
    whose features file already matches it (size, modification time) and
    the parameters, and passes its checksums, is skipped.

    Parameters
    ----------
    inputs : iterable of str
        Paths of sound files, of directories (walked for the files
        soundfile reads) and "@FILE" for the paths listed in FILE, one a
        line.
    out_dir : str
        Where the features files, ``manifest.csv`` and ``parameters.json``
        go.
    channels, low, high, frame, hop : default 64, 50.0, None, 0.025, 0.010
        As for the command line.  Every file of a run gets the same centre
        frequencies: high None is 8000 Hz, or 0.45 x the lowest sample rate
        among the inputs when that is lower (said in one line on stderr
        when the inputs' rates differ so, and recorded in
        ``out_dir/parameters.json``); a file whose rate cannot hold an
        explicit high fails, naming the file.
    channel : int or None, default None
        The 0-based input channel to analyse (None: the mean of all).
    normalize : bool, default False
        Passed to the cochleagram (and to gfcc).
    scheduler : str or None, default None
        Address of a Dask scheduler to run on; None starts a LocalCluster
        of ``workers`` worker processes for the run.
    workers : int or None, default None
        The LocalCluster's worker processes (None: one per core); with a
        scheduler, how many workers to wait for before starting.
    progress : bool or None, default None
        A progress bar on stderr (None: only when stderr is a terminal).
    retries : int, default 2
        Times a task that raised is tried again.
    keep_non_finite : bool, default False
        Keep the features of an input whose levels are not finite (samples
        so large that the filter overflows), which otherwise fails.
    features : str or sequence of str, default ("levels",)
        What each features file holds: names, or one comma-separated
        string, from levels, gfcc and ratemap (the levels are always
        written; ihc is refused: it is full-rate, written only by the
        single-file command).  ``gfcc`` and ``ratemap`` are stored under
        those keys, equal bit for bit to :func:`gfcc` and :func:`ratemap`
        with their defaults and the run's frame and hop (and normalize, for
        gfcc; its n_ceps is 13, or channels when fewer) on the samples as
        read.  A rerun into ``out_dir`` that asks for other features is
        refused like any other change of parameters.

    Returns
    -------
    BatchResult
        ``rows`` (one per input: input, features, status done, skipped or
        failed, audio_seconds, compute_seconds, reason), ``done``,
        ``skipped``, ``failed``, ``audio_seconds``, ``summary`` and
        ``manifest``.

    Raises
    ------
    TypeError
        For an argument of the wrong kind (``channels=2.0``,
        ``normalize="yes"``), naming it.
    ValueError
        For an argument out of range, naming it.  BatchError (a ValueError)
        before any work for an input named that does not exist, two inputs
        sharing a features file, no inputs at all, an output directory that
        cannot be created or written, one holding features made with other
        parameters (recorded in its ``parameters.json``, or, when that is
        lost, in the features files), and a call from a script without the
        main guard.
    BatchInterrupted
        On KeyboardInterrupt (it is one): the run stops, leaves no partial
        features file, writes the manifest of what finished and carries
        that result in ``result``.

    Notes
    -----
    Call it under ``if __name__ == "__main__":`` in a script: the embedded
    cluster's worker processes are spawned interpreters that import the
    main script again, and without the guard each would start a run of its
    own.  A call that is not guarded so is refused (BatchError) before any
    worker starts.  The band check it shares with the command line still
    names the options as flags (``--low``).

    Examples
    --------
    In a script (not run here: it starts a Dask cluster)::

        if __name__ == "__main__":
            result = batch(["corpus/"], "features/", channels=32, features="gfcc,ratemap")
            print(result.summary)
            f = load_features("features/a.wav.npz")   # f.levels, f.gfcc, f.ratemap

    Refusals come before any work:

    >>> batch(["no/such/file.wav"], "features/")
    Traceback (most recent call last):
        ...
    gammatone_bank._params.BatchError: no/such/file.wav: no such file or directory
    >>> batch(["corpus/"], "features/", channels=2.0)
    Traceback (most recent call last):
        ...
    TypeError: channels must be an int, not float
    """
    params = check_params(channels, low, high, frame, hop, channel, normalize, features)
    if workers is not None:
        workers = _checks.count("workers", workers, 1)
    retries = _checks.count("retries", retries, 0)
    task = functools.partial(analyse_group, keep_non_finite=_checks.flag("keep_non_finite", keep_non_finite))
    if scheduler is not None and not isinstance(scheduler, str):
        raise TypeError(f"scheduler must be an address (a str) or None, got {scheduler!r}")
    if scheduler is None:
        check_main_guard()
    out_dir = os.fsdecode(out_dir)
    jobs = _plan(inputs, out_dir)
    note = ""
    if params.high is None:
        params, note = _one_band(jobs, params)
    out = OutDir(out_dir, params)
    if note:  # once the run is sure to go ahead
        print(f"gammatone-bank: note: {note}", file=sys.stderr)
    try:
        return run(task, landed, jobs, out, params, scheduler, workers, progress, retries)
    finally:
        out.close()
