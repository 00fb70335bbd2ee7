"""The output directory of a corpus run: its lock, its manifest and the
record of its parameters (each written through a temporary and renamed into
place, by the helpers of _files)."""

import csv
import fcntl
import io
import json
import os
import secrets
from collections.abc import Iterable
from dataclasses import asdict
from typing import NamedTuple

from gammatone_bank._features import read_members
from gammatone_bank._files import (
    NotRegularFile,
    discard,
    open_regular,
    refuse_unless_regular,
    sweep_temporaries,
    write_atomically,
)
from gammatone_bank._params import BatchError, Params

MANIFEST = "manifest.csv"
PARAMETERS = "parameters.json"
LOCK = ".gammatone-batch.lock"
# parameters.json is a few hundred bytes; more is not one.
PARAMETERS_BYTES = 1 << 16

class Job(NamedTuple):
    """One input and where its features go."""

    input: str     # the path as named, or as found under a directory named
    features: str  # the features file, relative to the output directory
    target: str    # the features file's absolute path
    size: int      # bytes, for ordering the work (0 when it cannot be read)


class Row(NamedTuple):
    """What became of one input of a run.

    The one record of it: the task that made, kept or failed its features
    file returns it, the manifest writes it as a line (these fields are its
    columns, in this order) and ``BatchResult.rows`` holds it.
    """

    input: str
    features: str
    status: str                     # done, skipped or failed
    audio_seconds: float | None     # None when the input could not be read
    compute_seconds: float | None   # None when the task never ran to the end
    reason: str                     # one line for failures, else ""


COLUMNS = Row._fields


def _options(params: Params, names: Iterable[str]) -> str:
    """Parameters as the command line's options, for messages."""

    def shown(name: str) -> str:
        value = getattr(params, name)
        if name == "high" and value is None:
            return "auto (per file)"  # directories written before one top per run
        if name == "channel":
            return "mix" if value is None else str(value)
        if name == "normalize":
            return "on" if value else "off"
        if name == "features":
            return ",".join(value)
        return f"{value:g}"

    return " ".join(f"--{name} {shown(name)}" for name in names)


def _recorded_in_features(folder: str) -> Params | None:
    """The parameters the features files below folder record, when they agree.

    None when there are none; BatchError when they disagree.  Files that
    cannot be read are passed over: their inputs are redone.
    """
    found: dict[str, str] = {}
    for where, dirs, names in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for name in sorted(names):
            if name.startswith(".") or not name.endswith(".npz"):
                continue
            path = os.path.join(where, name)
            try:
                parameters = read_members(path, ["parameters"]).get("parameters")
            except (OSError, ValueError):
                continue
            if parameters is not None:
                found.setdefault(str(parameters[()]), path)
    if len(found) > 1:
        a, b = list(found.values())[:2]
        raise BatchError(f"{folder} has no {PARAMETERS} and its features files disagree on their "
                         f"parameters ({a} and {b}, say): use another output directory")
    for key in found:
        try:
            return Params(**json.loads(key))
        except (ValueError, TypeError):
            return None
    return None


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
            try:
                os.close(os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
            finally:
                discard(probe)
        except OSError as exc:
            raise BatchError(f"{out_dir}: cannot create or write the output directory "
                             f"({exc.strerror or exc})") from None
        for name in (MANIFEST, PARAMETERS, LOCK):
            try:
                refuse_unless_regular(os.path.join(self.path, name))
            except NotRegularFile as exc:
                raise BatchError(f"{os.path.join(out_dir, name)}: {exc.strerror}; remove it or use another "
                                 f"output directory") from None
        self._lock = os.open(os.path.join(self.path, LOCK), os.O_RDWR | os.O_CREAT, 0o666)
        locked = False
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            locked = True
        except BlockingIOError:
            os.close(self._lock)
            raise BatchError(f"{out_dir}: another batch run is writing there") from None
        except OSError:
            pass  # a file system without locks: run unguarded
        try:
            if locked:
                # No other run is writing here: what temporaries there are
                # were left by runs that died, or by their killed workers.
                sweep_temporaries(self.path)
            try:
                self._claim(params)
            except OSError as exc:
                raise BatchError(f"{out_dir}: cannot write {PARAMETERS} ({exc.strerror or exc})") from None
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
            with open_regular(path) as f:
                recorded = Params(**json.loads(f.read(PARAMETERS_BYTES)))
        except FileNotFoundError:
            # Lost (or never written): the features there record theirs.
            found = _recorded_in_features(self.path)
            text = json.dumps(asdict(found or params), indent=1, sort_keys=True) + "\n"
            write_atomically(path, lambda f: f.write(text.encode()))
            if found is None:
                return
            recorded = found
        except (OSError, ValueError, TypeError, RecursionError) as exc:
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
            with open_regular(self.manifest) as raw, io.TextIOWrapper(
                    raw, encoding="utf-8", errors="surrogateescape", newline="") as f:
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
        # Paths are written as the file system names them: bytes that are
        # not UTF-8 stay as they are (read back with errors="surrogateescape").
        data = text.getvalue().encode("utf-8", "surrogateescape")
        write_atomically(self.manifest, lambda f: f.write(data))

    def close(self) -> None:
        if self._lock >= 0:
            os.close(self._lock)  # also releases the lock
            self._lock = -1
