"""Corpus runs: cochleagram features for many sound files, on Dask distributed.

    gammatone-bank batch INPUT... --out-dir DIR [--channels N] [--low HZ] [--high HZ]
                         [--frame S] [--hop S] [--channel K] [--normalize]
                         [--scheduler ADDRESS] [--workers N] [--retries N]

For every input its path and the analysis parameters go in and one features
file comes out, written to a temporary file beside its target and renamed
into place; nothing else is shared, so any worker can do any input, and do
it again.  The work first looks at the features file already there: one
that matches the input (size and modification time) and the parameters is
kept, which is how a rerun does only what is missing.  Short files go
several to a Dask task.  The tasks run on an embedded LocalCluster (one
single-threaded worker process per core) or on an existing cluster; the
client only plans, collects the outcomes and keeps DIR/manifest.csv.
"""

import argparse
import csv
import fcntl
import importlib.util
import io
import json
import logging
import math
import operator
import os
import re
import secrets
import signal
import sys
import time
import zipfile
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import asdict, dataclass
from typing import IO, TYPE_CHECKING, Any, NamedTuple, TypeVar

import numpy as np

from gammatone_bank._audio import AudioError, open_sound
from gammatone_bank._bank import Array, _frame_count, erb_space
from gammatone_bank._stream import CochleagramStream
from gammatone_bank.cli import (
    DEFAULT_CHANNELS,
    DEFAULT_LOW,
    FRAME,
    HOP,
    PROG,
    CliError,
    _band,
    _channels,
    _count,
    _hertz,
    _index,
    _seconds,
    _signal_handler,
    _signals_ignored,
    frame_times,
)

if TYPE_CHECKING:
    from distributed import Client, Future

INSTALL_HINT = "pip install 'gammatone_c[batch]'"
MANIFEST = "manifest.csv"
PARAMETERS = "parameters.json"
LOCK = ".gammatone-batch.lock"
COLUMNS = ("input", "features", "status", "audio_seconds", "compute_seconds", "reason")
RETRIES = 2
# Short files are handed out several to a task, so that Dask's own cost per
# task (a few ms of scheduler and client time) stays small against the work:
# a task takes files, largest first, until they add up to this many bytes
# (about 9 minutes of 16-bit mono at 16 kHz, a second or so of work) or to a
# quarter of a worker's share of the corpus, whichever is less, so that every
# worker still gets several tasks.
TASK_BYTES = 16 << 20
TASK_FILES = 64
# While a run goes on, the manifest is rewritten at most this often (seconds),
# so that a client that dies outright still leaves most of it behind.
MANIFEST_EVERY = 60.0
# Failures listed one per line on stderr; the manifest holds them all.
SHOW_FAILURES = 10
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

T = TypeVar("T")


class BatchError(ValueError):
    """A run refused before any work: bad inputs, parameters or output directory."""


class BatchInterrupted(KeyboardInterrupt):
    """The run was interrupted; ``result`` holds what finished before it stopped.

    ``signum`` is the signal that stopped it: SIGINT (Ctrl-C), or SIGTERM
    when the command line was terminated.
    """

    def __init__(self, result: "BatchResult", signum: int = signal.SIGINT) -> None:
        super().__init__()
        self.result = result
        self.signum = signum


class _Terminated(KeyboardInterrupt):
    """SIGTERM on the command line: stops the run as Ctrl-C does."""

    signum = signal.SIGTERM


def _on_sigterm(signum: int, frame: object) -> None:
    raise _Terminated


@dataclass(frozen=True)
class Params:
    """The analysis parameters as asked for: `high` None is the per-file default."""

    channels: int
    low: float
    high: float | None
    frame: float
    hop: float
    channel: int | None
    normalize: bool

    def key(self) -> str:
        """The canonical text stored with the features, compared on reruns."""
        return json.dumps(asdict(self), sort_keys=True)


class Job(NamedTuple):
    """One input and where its features go."""

    input: str     # the path as named, or as found under a directory named
    features: str  # the features file, relative to the output directory
    target: str    # the features file's absolute path
    size: int      # bytes, for ordering the work (0 when it cannot be read)


class Row(NamedTuple):
    """One line of the manifest."""

    input: str
    features: str
    status: str                     # done, skipped or failed
    audio_seconds: float | None     # None when the input could not be read
    compute_seconds: float | None   # None when the task never ran to the end
    reason: str                     # one line for failures, else ""


class Outcome(NamedTuple):
    """What a task returns to the client."""

    status: str
    audio_seconds: float | None
    compute_seconds: float
    reason: str


@dataclass(frozen=True)
class BatchResult:
    """What :func:`batch` did: one row per input of the run."""

    rows: tuple[Row, ...]
    inputs: int       # inputs in the run (more than rows when interrupted)
    out_dir: str
    manifest: str
    seconds: float
    workers: int

    def count(self, status: str) -> int:
        return sum(row.status == status for row in self.rows)

    @property
    def done(self) -> int:
        return self.count("done")

    @property
    def skipped(self) -> int:
        return self.count("skipped")

    @property
    def failed(self) -> int:
        return self.count("failed")

    @property
    def audio_seconds(self) -> float:
        """Seconds of audio analysed by this run (inputs done, not skipped)."""
        return sum(row.audio_seconds or 0.0 for row in self.rows if row.status == "done")

    @property
    def summary(self) -> str:
        return (
            f"{len(self.rows)} inputs: {self.done} done, {self.skipped} skipped, "
            f"{self.failed} failed; {self.audio_seconds / 3600:.3f} h of audio analysed in "
            f"{self.seconds:.1f} s on {self.workers} workers; manifest {self.manifest}"
        )


# ---------------------------------------------------------------- the plan


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
                yield path, os.path.relpath(path, root)


def _named(inputs: Iterable[str]) -> Iterator[str]:
    """The paths named: arguments as they are, @FILE as the paths it lists."""
    for arg in inputs:
        if not isinstance(arg, (str, os.PathLike)):
            raise TypeError(f"inputs must be paths, got {arg!r}")
        arg = os.fspath(arg)
        if arg == "-":
            raise BatchError("standard input (-) cannot be an input of a batch run")
        if not arg.startswith("@"):
            yield arg
            continue
        try:
            with open(arg[1:], encoding="utf-8") as f:
                lines = f.read().splitlines()
        except (OSError, UnicodeDecodeError) as exc:
            reason = getattr(exc, "strerror", None) or exc
            raise BatchError(f"{arg[1:]}: cannot read the list of inputs ({reason})") from None
        # One path per line, relative to the current directory like an
        # argument; blank lines and lines starting with # are passed over.
        yield from (line.strip() for line in lines if line.strip() and not line.lstrip().startswith("#"))


def _plan(inputs: Iterable[str], out_dir: str) -> list[Job]:
    """The jobs for the inputs, one per features file, or BatchError.

    A directory gives its sound files, each mapped to the same path relative
    to the output directory; a file (or a path that does not exist, which
    then fails on its own) maps to its base name.  Two different inputs that
    would share a features file are refused; one file named twice over the
    same mapping is taken once.
    """
    if isinstance(inputs, (str, os.PathLike)):
        raise TypeError("inputs must be a sequence of paths, not a single path")
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


# ------------------------------------------------------- the output directory


def _write_atomically(path: str, write: Callable[[IO[bytes]], T]) -> T:
    """Write a new temporary file beside path with write(), then rename it over path."""
    folder, base = os.path.split(path)
    tmp = os.path.join(folder, f".{base}.{secrets.token_hex(4)}.tmp")
    # Created like any new file (0o666 less the umask).
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(fd, "wb") as f:
            value = write(f)
        os.replace(tmp, path)
        return value
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise


def _temporary_names(base: str) -> "re.Pattern[str]":
    return re.compile(rf"\.{re.escape(base)}\.[0-9a-f]{{8}}\.tmp")


def _remove_temporaries(jobs: Sequence[Job]) -> None:
    """Delete temporary files left beside this run's targets by tasks that died.

    A task removes its own temporary file when it fails; one whose worker
    process was killed cannot, and this is run once every task is over.
    """
    by_folder: dict[str, set[str]] = {}
    for job in jobs:
        folder, base = os.path.split(job.target)
        by_folder.setdefault(folder, set()).add(base)
    for folder, bases in by_folder.items():
        try:
            names = os.listdir(folder)
        except OSError:
            continue
        for name in names:
            if name.startswith(".") and name.endswith(".tmp"):
                base = name[1:].rsplit(".", 2)[0]
                if base in bases and _temporary_names(base).fullmatch(name):
                    try:
                        os.unlink(os.path.join(folder, name))
                    except OSError:
                        pass


def _options(params: Params, names: Iterable[str]) -> str:
    """Parameters as the command line's options, for messages."""
    shown = {
        "high": "auto" if params.high is None else f"{params.high:g}",
        "channel": "mix" if params.channel is None else str(params.channel),
        "normalize": "on" if params.normalize else "off",
    }
    return " ".join(f"--{name} {shown.get(name, f'{getattr(params, name):g}')}" for name in names)


class OutDir:
    """The output directory, checked, locked and holding this run's parameters."""

    def __init__(self, out_dir: str, params: Params) -> None:
        self.path = os.path.abspath(out_dir)
        self.manifest = os.path.join(self.path, MANIFEST)
        if os.path.exists(self.path) and not os.path.isdir(self.path):
            raise BatchError(f"{out_dir}: not a directory")
        try:
            os.makedirs(self.path, exist_ok=True)
            # Permission bits do not stop every user (root), so try it.
            probe = os.path.join(self.path, f".probe.{secrets.token_hex(4)}.tmp")
            os.close(os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
            os.unlink(probe)
        except OSError as exc:
            raise BatchError(f"{out_dir}: cannot create or write the output directory "
                             f"({exc.strerror or exc})") from None
        self._lock = os.open(os.path.join(self.path, LOCK), os.O_RDWR | os.O_CREAT, 0o666)
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(self._lock)
            raise BatchError(f"{out_dir}: another batch run is writing there") from None
        except OSError:
            pass  # a file system without locks: run unguarded
        try:
            self._claim(params)
            self.rows = self._read_manifest()
        except BaseException:
            self.close()
            raise

    def _claim(self, params: Params) -> None:
        """Record the parameters, or refuse ones that differ from those recorded.

        Features made with other parameters are never replaced nor mixed
        with new ones: the run is refused and the directory left as it is.
        """
        path = os.path.join(self.path, PARAMETERS)
        try:
            with open(path, encoding="utf-8") as f:
                recorded = Params(**json.load(f))
        except FileNotFoundError:
            text = json.dumps(asdict(params), indent=1, sort_keys=True) + "\n"
            _write_atomically(path, lambda f: f.write(text.encode()))
            return
        except (OSError, ValueError, TypeError) as exc:
            raise BatchError(f"{path}: cannot read the parameters of the features there ({exc})") from None
        changed = [name for name in asdict(params) if getattr(recorded, name) != getattr(params, name)]
        if changed:
            raise BatchError(
                f"{self.path} holds features made with {_options(recorded, changed)}; this run "
                f"asks for {_options(params, changed)}: use another output directory"
            )

    def _read_manifest(self) -> dict[str, dict[str, str]]:
        """The rows of an earlier run's manifest, by features file."""
        try:
            with open(self.manifest, newline="", encoding="utf-8") as f:
                reader = csv.DictReader(f)
                if tuple(reader.fieldnames or ()) != COLUMNS:
                    return {}
                return {row["features"]: row for row in reader}
        except (OSError, csv.Error, UnicodeDecodeError):
            return {}

    def write_manifest(self, rows: Iterable[Row]) -> None:
        """Rewrite the manifest: earlier rows, updated by this run's."""
        for row in rows:
            self.rows[row.features] = {
                "input": row.input,
                "features": row.features,
                "status": row.status,
                "audio_seconds": "" if row.audio_seconds is None else f"{row.audio_seconds:.3f}",
                "compute_seconds": "" if row.compute_seconds is None else f"{row.compute_seconds:.3f}",
                "reason": row.reason,
            }
        text = io.StringIO()
        writer = csv.DictWriter(text, COLUMNS, lineterminator="\n")
        writer.writeheader()
        writer.writerows(self.rows[key] for key in sorted(self.rows))
        _write_atomically(self.manifest, lambda f: f.write(text.getvalue().encode()))

    def close(self) -> None:
        if self._lock >= 0:
            os.close(self._lock)  # also releases the lock
            self._lock = -1


# ----------------------------------------------------------------- the task


class Kept(NamedTuple):
    """A features file that matches its input and the parameters."""

    audio_seconds: float
    compute_seconds: float
    run: str  # the run that wrote it


def _kept(target: str, size: int, mtime_ns: int, params: Params) -> Kept | None:
    """The features file at target, when it can be kept.

    None when there is none, or when it is stale (the input's size or
    modification time changed) or not a features file.  CliError when it
    was made with other parameters: those are refused, never replaced.
    """
    try:
        f = np.load(target, allow_pickle=False)
    except (OSError, ValueError, EOFError, zipfile.BadZipFile):
        return None
    try:
        with f:
            made_with = str(f["parameters"])
            matches = int(f["input_size"]) == size and int(f["input_mtime_ns"]) == mtime_ns
            kept = Kept(int(f["samples"]) / int(f["fs"]), float(f["compute_seconds"]), str(f["run"]))
    except (KeyError, OSError, ValueError, TypeError, zipfile.BadZipFile):
        return None
    if made_with != params.key():
        raise CliError(f"{target}: holds features made with other parameters; not replaced")
    return kept if matches else None


def _member(zf: zipfile.ZipFile, name: str, value: object) -> None:
    with zf.open(f"{name}.npy", "w") as f:
        np.lib.format.write_array(f, np.asarray(value), allow_pickle=False)


def _write_features(
    f: IO[bytes], path: str, st: os.stat_result, params: Params,
    fs: int, expected: int, cfs: Array, high: float, stream: CochleagramStream,
    blocks: Iterator[Array], run: str, start: float,
) -> int:
    """Stream the levels into an .npz and add the rest; returns the samples read.

    `levels` is stored column-major, so each chunk of frames the stream
    completes is appended as it comes and memory stays bounded whatever the
    file's length; np.load gives it back as an ordinary (channels, frames)
    array.  `expected` is the sample count the file announces, which fixes
    the array's shape before any sample is read.
    """
    frames = _frame_count(expected, stream.frame_len, stream.hop_len)
    n = 0
    written = 0
    with zipfile.ZipFile(f, "w", compression=zipfile.ZIP_STORED, allowZip64=True) as zf:
        with zf.open("levels.npy", "w", force_zip64=True) as member:
            np.lib.format.write_array_header_2_0(
                member, {"descr": np.dtype(np.float64).str, "fortran_order": True,
                         "shape": (cfs.size, frames)})

            def put(level: Array) -> None:
                nonlocal written
                written += level.shape[1]
                if written <= frames:
                    member.write(level.tobytes(order="F"))

            for x in blocks:
                n += x.size
                put(stream.process(x))
            put(stream.close())
        if n != expected or written != frames:
            raise AudioError(f"{path}: announces {expected} samples but holds {n}")
        times = frame_times(frames, n, fs, stream.frame_len, stream.hop_len)
        for name, value in {
            "cfs": cfs, "times": times, "fs": np.int64(fs), "samples": np.int64(n),
            "frame_len": np.int64(stream.frame_len), "hop_len": np.int64(stream.hop_len),
            "channels": np.int64(params.channels), "low": params.low, "high": high,
            "frame": params.frame, "hop": params.hop,
            "channel": np.int64(-1 if params.channel is None else params.channel),
            "normalize": np.bool_(params.normalize), "parameters": params.key(),
            "input": os.path.abspath(path), "input_size": np.int64(st.st_size),
            "input_mtime_ns": np.int64(st.st_mtime_ns), "input_mtime": st.st_mtime,
            "run": run, "compute_seconds": time.perf_counter() - start,
        }.items():
            _member(zf, name, value)
    return n


def _count_samples(path: str, channel: int | None) -> int:
    with open_sound(path, channel=channel) as (_, blocks):
        return sum(x.size for x in blocks)


def analyse(path: str, target: str, params: Params, run: str = "") -> Outcome:
    """The task: the features file of one input, or the reason there is none.

    Pure in the sense that matters to Dask: whatever it does is decided by
    its arguments and the files they name, and running it twice (a retry
    after a worker died) writes the same file.  A failure that lies with
    the input is returned as an outcome; anything else (a full disk, a bug)
    is raised, so the scheduler retries it.  `run` names the run: a features
    file that this very run wrote is reported done, not skipped, when the
    task runs again because the worker holding its outcome died.
    """
    start = time.perf_counter()

    def outcome(status: str, seconds: float | None, reason: str = "") -> Outcome:
        return Outcome(status, seconds, time.perf_counter() - start, reason)

    try:
        try:
            st = os.stat(path)
        except OSError:
            st = None
        if st is not None and not os.path.isdir(path):
            kept = _kept(target, st.st_size, st.st_mtime_ns, params)
            if kept is not None and run and kept.run == run:
                return Outcome("done", kept.audio_seconds, kept.compute_seconds, "")
            if kept is not None:
                return outcome("skipped", kept.audio_seconds)
        with open_sound(path, channel=params.channel) as (audio, blocks):
            info = st if st is not None else os.stat(path)  # it appeared since
            low, high = _band(params.low, params.high, audio.fs)
            cfs = erb_space(low, high, params.channels)
            # One worker process per core: no threads inside a task.
            stream = CochleagramStream(audio.fs, cfs, frame=params.frame, hop=params.hop,
                                       normalize=params.normalize, workers=1)
            expected = audio.frames if audio.frames >= 0 else _count_samples(path, params.channel)
            os.makedirs(os.path.dirname(target), exist_ok=True)

            def write(f: IO[bytes]) -> int:
                return _write_features(f, path, info, params, audio.fs, expected, cfs, high,
                                       stream, blocks, run, start)

            # No fsync: the rename keeps a half-written file out of sight,
            # and a file a power cut leaves torn fails to load and is redone.
            samples = _write_atomically(target, write)
            return outcome("done", samples / audio.fs)
    except (AudioError, CliError) as exc:
        return outcome("failed", None, str(exc))
    except ValueError as exc:  # frame or hop too short for the file's sample rate
        return outcome("failed", None, f"{path}: {exc}")


class GroupError(Exception):
    """Some input of a task raised; ``args[0]`` holds every input's outcome.

    Raised so that Dask retries the task (the inputs already done are found
    done again at once); after the last retry the client takes the outcomes
    from it, the failures' reasons among them.
    """


def analyse_group(paths: Sequence[str], targets: Sequence[str], params: Params, run: str) -> list[Outcome]:
    """The task: :func:`analyse` for each input in turn."""
    outcomes: list[Outcome] = []
    raised = False
    for path, target in zip(paths, targets):
        try:
            outcomes.append(analyse(path, target, params, run))
        except Exception as exc:
            raised = True
            outcomes.append(Outcome("failed", None, 0.0, f"{path}: {_reason(exc)}"))
    if raised:
        raise GroupError(outcomes)
    return outcomes


def _groups(jobs: Sequence[Job], workers: int) -> list[list[Job]]:
    """The jobs, largest first, packed into tasks (see TASK_BYTES)."""
    order = sorted(jobs, key=lambda j: -j.size)
    share = sum(j.size for j in order) / (4 * max(workers, 1))
    target = max(1.0, min(TASK_BYTES, share))
    groups: list[list[Job]] = [[]]
    size = 0
    for job in order:
        if groups[-1] and (size >= target or len(groups[-1]) >= TASK_FILES):
            groups.append([])
            size = 0
        groups[-1].append(job)
        size += job.size
    return groups


# ------------------------------------------------------------------ the run


def _reason(exc: BaseException) -> str:
    """One line for a task that raised (after its retries) or whose workers died."""
    from distributed import KilledWorker

    if isinstance(exc, KilledWorker):
        return "the worker processes running it died, repeatedly (out of memory?)"
    text = " ".join(str(exc).split())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def dask_setup(worker: object) -> None:
    """Preload hook of the embedded cluster's workers: leave SIGINT to the client."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _check_params(
    channels: int, low: float, high: float | None, frame: float, hop: float,
    channel: int | None, normalize: bool,
) -> Params:
    def number(name: str, value: object) -> float:
        if isinstance(value, (bool, str, bytes)):
            raise ValueError(f"{name} must be a number, got {value!r}")
        try:
            v = float(value)  # type: ignore[arg-type]
        except (TypeError, ValueError):
            raise ValueError(f"{name} must be a number, got {value!r}") from None
        if not (math.isfinite(v) and v > 0.0):
            raise ValueError(f"{name} must be positive and finite, got {value!r}")
        return v

    lo = number("low", low)
    hi = None if high is None else number("high", high)
    if hi is not None and hi <= lo:
        raise ValueError(f"high must be above low ({lo:g}), got {high!r}")
    if not isinstance(normalize, (bool, np.bool_)):
        raise ValueError(f"normalize must be True or False, got {normalize!r}")
    return Params(
        channels=_check_count("channels", channels, 2), low=lo, high=hi,
        frame=number("frame", frame), hop=number("hop", hop),
        channel=None if channel is None else _check_count("channel", channel, 0),
        normalize=bool(normalize),
    )


class Progress:
    """A tqdm bar on stderr: files done and left, audio hours analysed."""

    def __init__(self, total: int, enabled: bool | None) -> None:
        from tqdm import tqdm

        self.left = total
        self.hours = 0.0
        self.failed = 0
        self.bar = tqdm(
            total=total, unit="file", file=sys.stderr, disable=None if enabled is None else not enabled,
            bar_format="{l_bar}{bar}| {n_fmt}/{total_fmt} files [{elapsed}<{remaining}]{postfix}",
            dynamic_ncols=True, postfix=f"{total} left, 0.00 h audio",
        )

    def _show(self) -> None:
        failed = f", {self.failed} failed" if self.failed else ""
        self.bar.set_postfix_str(f"{self.left} left, {self.hours:.2f} h audio{failed}", refresh=False)

    def add(self, row: Row) -> None:
        self.left -= 1
        if row.status == "done":
            self.hours += (row.audio_seconds or 0.0) / 3600
        self.failed += row.status == "failed"
        self._show()
        self.bar.update(1)

    def close(self) -> None:
        self.bar.close()


def _connect(scheduler: str | None, workers: int | None) -> tuple["Client", Any, int]:
    """A client of the embedded cluster or of the one at `scheduler`."""
    from distributed import Client, LocalCluster

    if scheduler is None:
        import dask

        count = workers or os.process_cpu_count() or 1
        # The workers are this process's children, in its process group: a
        # Ctrl-C in the terminal reaches them too, and they leave it to this
        # process, which cancels the work and closes the cluster.
        preload = [*dask.config.get("distributed.worker.preload", []), __name__]
        cluster = LocalCluster(
            n_workers=count, threads_per_worker=1, processes=True, host="127.0.0.1",
            dashboard_address=":0", silence_logs=logging.ERROR, preload=preload,
        )
        try:
            return Client(cluster), cluster, count
        except BaseException:
            cluster.close()
            raise
    try:
        # Waits for the scheduler as long as Dask's connect timeout allows
        # (distributed.comm.timeouts.connect, 30 s unless configured).
        client = Client(scheduler)
    except (OSError, TimeoutError, ValueError) as exc:
        raise BatchError(f"cannot reach the scheduler at {scheduler} ({_reason(exc)})") from None
    try:
        if workers:
            client.wait_for_workers(workers)
        count = len(client.scheduler_info(n_workers=-1)["workers"])
    except BaseException:
        client.close()
        raise
    return client, None, count


def _rows(group: Sequence[Job], value: object) -> list[Row]:
    """The manifest rows of a task's inputs from what the task gave back."""
    exc = value[1] if isinstance(value, tuple) and len(value) == 3 else value
    if isinstance(exc, GroupError):
        value = exc.args[0]
    if isinstance(value, list):
        return [Row(j.input, j.features, o.status, o.audio_seconds, o.compute_seconds, o.reason)
                for j, o in zip(group, value)]
    # Its workers kept dying, or it was cancelled.
    reason = _reason(exc) if isinstance(exc, BaseException) else repr(exc)
    return [Row(j.input, j.features, "failed", None, None, f"{j.input}: {reason}") for j in group]


def _stop(client: "Client", cluster: Any, futures: Sequence["Future[list[Outcome]]"]) -> None:
    """Cancel what is left and close the client and the embedded cluster.

    A worker asked to close first lets its running task finish, which can
    take as long as the task; the embedded cluster's workers, this process's
    own children, are killed instead, and what they leave is tidied up after.
    """
    # The nanny of a killed worker reports the loss as an error while it closes.
    log = logging.getLogger("distributed")
    level = log.level
    try:
        pending = [f for f in futures if not f.done()]
        if pending:
            client.cancel(pending, force=True)
            if cluster is not None:
                log.setLevel(logging.CRITICAL)
                _kill_workers(client)
    finally:
        try:
            client.close()
            if cluster is not None:
                cluster.close()
        finally:
            log.setLevel(level)


def _kill_workers(client: "Client") -> None:
    import psutil

    try:
        pids = client.run(os.getpid, on_error="return")
    except Exception:
        return
    for pid in pids.values():
        try:
            if isinstance(pid, int) and psutil.Process(pid).ppid() == os.getpid():
                os.kill(pid, signal.SIGKILL)
        except (psutil.Error, OSError):
            pass


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
) -> BatchResult:
    """Cochleagram features of many sound files, on Dask distributed.

    inputs: paths of sound files, of directories (walked for the files
    soundfile reads) and "@FILE" for the paths listed in FILE, one a line.
    Each input gets ``out_dir/<path relative to the directory named>.npz``
    (a file named directly: its base name) holding ``levels`` (channels x
    frames, dB, equal to :func:`cochleagram` on the samples as read),
    ``cfs``, ``times``, ``fs``, the parameters and the input's path, size
    and modification time, and a row in ``out_dir/manifest.csv``.

    channels, low, high, frame, hop: as for the command line; high None is
    8000 Hz, or 0.45 x the sample rate when that is lower, per file.
    channel: the 0-based input channel to analyse (default: the mean of all).
    normalize: passed to the cochleagram.  scheduler: address of a Dask
    scheduler to run on; None starts a LocalCluster of ``workers`` worker
    processes (default: one per core) for the run.  With a scheduler,
    ``workers`` waits for that many workers before starting.  progress: a
    progress bar on stderr (None: only when stderr is a terminal).
    retries: times a task that raised is tried again.

    An input whose features file already matches it (size, modification
    time) and the parameters is skipped.  BatchError (a ValueError) before
    any work for two inputs sharing a features file, no inputs at all, an
    output directory that cannot be created or written, or one holding
    features made with other parameters.  On KeyboardInterrupt the run
    stops, leaves no partial features file, writes the manifest of what
    finished and raises :class:`BatchInterrupted` carrying that result.
    """
    params = _check_params(channels, low, high, frame, hop, channel, normalize)
    if workers is not None:
        workers = _check_count("workers", workers, 1)
    retries = _check_count("retries", retries, 0)
    if scheduler is not None and not isinstance(scheduler, str):
        raise ValueError(f"scheduler must be an address or None, got {scheduler!r}")
    jobs = _plan(inputs, out_dir)
    out = OutDir(out_dir, params)
    try:
        return _run(jobs, out, params, scheduler, workers, progress, retries)
    finally:
        out.close()


def _check_count(name: str, value: Any, least: int) -> int:
    try:
        n = -1 if isinstance(value, bool) else operator.index(value)
    except TypeError:
        n = -1
    if n < least:
        raise ValueError(f"{name} must be an int of at least {least}, got {value!r}")
    return n


def _run(
    jobs: list[Job], out: OutDir, params: Params, scheduler: str | None,
    workers: int | None, progress: bool | None, retries: int,
) -> BatchResult:
    from distributed import as_completed

    start = time.perf_counter()
    rows: dict[str, Row] = {}
    count = 0
    futures: list[Future[list[Outcome]]] = []
    client: Client | None = None
    cluster: Any = None
    bar: Progress | None = None

    def result() -> BatchResult:
        ordered = tuple(rows[j.features] for j in jobs if j.features in rows)
        return BatchResult(ordered, len(jobs), out.path, out.manifest, time.perf_counter() - start, count)

    try:
        client, cluster, count = _connect(scheduler, workers)
        bar = Progress(len(jobs), progress)
        # The largest first, so the run does not end waiting on one big file.
        groups = _groups(jobs, count)
        run = secrets.token_hex(4)
        keys = [f"gammatone-batch-{run}-{i:08d}" for i in range(len(groups))]
        futures = client.map(analyse_group, [[j.input for j in g] for g in groups],
                             [[j.target for j in g] for g in groups],
                             params=params, run=run, key=keys, retries=retries, pure=False)
        by_key = dict(zip(keys, groups))
        written = time.monotonic()
        # Outcomes are fetched in the background as tasks finish (one from a
        # worker that died meanwhile is recomputed first), not one blocking
        # round trip at a time.
        for future, value in as_completed(futures, with_results=True, raise_errors=False):
            group = by_key.pop(future.key)
            future.release()
            for job, row in zip(group, _rows(group, value)):
                rows[job.features] = row
                bar.add(row)
            if time.monotonic() - written > MANIFEST_EVERY:
                out.write_manifest(rows.values())
                written = time.monotonic()
    except KeyboardInterrupt as exc:
        raise BatchInterrupted(result(), getattr(exc, "signum", signal.SIGINT)) from None
    finally:
        # A second Ctrl-C must not cut the tidying short.
        with _signals_ignored():
            if bar is not None:
                bar.close()
            if client is not None:
                _stop(client, cluster, futures)
            # Whatever ended the run, no partial features file stays behind.
            _remove_temporaries(jobs)
            out.write_manifest(rows.values())
    return result()


# ------------------------------------------------------------ command line

HELP = "Cochleagram features of many sound files, on one machine or a Dask cluster."
EPILOG = f"""\
INPUT is a sound file, a directory (walked for every file soundfile reads,
names starting with a dot passed over) or @FILE (one path a line).  Each
input gets DIR/<path relative to the directory named>.npz (a file named
directly: DIR/<its name>.npz) holding levels (channels x frames, dB), cfs,
times, fs, the parameters and the input's path, size and modification time.
DIR/manifest.csv gets a row per input: input, features, status (done,
skipped or failed), audio_seconds, compute_seconds, reason.

A rerun skips the inputs whose features file matches them (size and
modification time) and the parameters, and redoes the others; a rerun into
DIR with other parameters is refused (DIR/{PARAMETERS} records them).

The work runs on a Dask LocalCluster with one worker process per core
(--workers to choose), or with --scheduler on an existing cluster whose
workers have this package installed and see the same paths.

Exit status: 0 when every input is done or skipped; 1 when any failed (see
the manifest); 2 for bad usage, or an output directory that cannot be
created or written, refused before any work; 130 when interrupted (Ctrl-C)
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
    p.add_argument("--channels", type=_channels, default=DEFAULT_CHANNELS, metavar="N",
                   help=f"number of channels, at least 2 (default {DEFAULT_CHANNELS})")
    p.add_argument("--low", type=_hertz, default=DEFAULT_LOW, metavar="HZ",
                   help=f"lowest centre frequency (default {DEFAULT_LOW:g})")
    p.add_argument("--high", type=_hertz, default=None, metavar="HZ",
                   help="highest centre frequency, below fs/2 (default 8000, or 0.45 x fs when lower, per file)")
    p.add_argument("--frame", type=_seconds, default=FRAME, metavar="S",
                   help=f"frame length in seconds (default {FRAME:g})")
    p.add_argument("--hop", type=_seconds, default=HOP, metavar="S",
                   help=f"time between frame starts in seconds (default {HOP:g})")
    p.add_argument("--channel", type=_index, default=None, metavar="K",
                   help="analyse only channel K of each input, counting from 0 "
                   "(default: the mean of its channels)")
    p.add_argument("--normalize", action="store_true",
                   help="scale each channel to unit gain at its centre frequency before taking levels")
    p.add_argument("--scheduler", default=None, metavar="ADDRESS",
                   help="run on the Dask cluster of this scheduler (default: a local cluster)")
    p.add_argument("--workers", type=_count(1), default=None, metavar="N",
                   help="worker processes of the local cluster (default: one per core); "
                   "with --scheduler, wait for N workers")
    p.add_argument("--retries", type=_count(0), default=RETRIES, metavar="N",
                   help=f"times a task that raised is tried again (default {RETRIES})")
    return p


def main(argv: Sequence[str]) -> int:
    """Entry point of ``gammatone-bank batch``."""
    args = _parser().parse_args(argv)
    missing = [name for name in ("distributed", "tqdm", "soundfile") if importlib.util.find_spec(name) is None]
    if missing:
        print(f"{PROG}: error: needs {' and '.join(missing)}, not installed: {INSTALL_HINT}", file=sys.stderr)
        return 2
    try:
        with _signal_handler(signal.SIGTERM, _on_sigterm):
            result = batch(
                args.inputs, args.out_dir, channels=args.channels, low=args.low, high=args.high,
                frame=args.frame, hop=args.hop, channel=args.channel, normalize=args.normalize,
                scheduler=args.scheduler, workers=args.workers, retries=args.retries,
            )
    except BatchError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except BatchInterrupted as stop:
        r = stop.result
        how = "terminated" if stop.signum == signal.SIGTERM else "interrupted"
        print(f"{PROG}: {how}: {len(r.rows)} of {r.inputs} inputs finished ({r.done} done, "
              f"{r.skipped} skipped, {r.failed} failed), recorded in {r.manifest}; "
              f"rerun to do the rest", file=sys.stderr)
        return 128 + stop.signum
    except KeyboardInterrupt as stop:  # before the run started
        how = "terminated" if isinstance(stop, _Terminated) else "interrupted"
        print(f"{PROG}: {how}", file=sys.stderr)
        return 128 + getattr(stop, "signum", signal.SIGINT)
    failures = [row for row in result.rows if row.status == "failed"]
    for row in failures[:SHOW_FAILURES]:
        print(f"{PROG}: failed: {row.reason}", file=sys.stderr)
    if len(failures) > SHOW_FAILURES:
        print(f"{PROG}: ... and {len(failures) - SHOW_FAILURES} more failures: see {result.manifest}",
              file=sys.stderr)
    print(result.summary)
    return 1 if failures else 0
