"""The features file of one input: the levels of its cochleagram, its centre
frequencies, frame times and sample rate, and the parameters that made it.

``gammatone-bank --save`` and batch() both write it with FeaturesWriter;
load_features() reads it back, files of older --save runs included, and
refuses anything else.
"""

import json
import math
import os
import shutil
import tempfile
import zipfile
from collections.abc import Sequence
from dataclasses import asdict, replace
from types import TracebackType
from typing import IO, Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from gammatone_bank._checks import Array
from gammatone_bank._frames import _frame_count
from gammatone_bank._files import npy_header, open_regular, read_npy
from gammatone_bank._params import DEFAULT_FEATURES, BatchError, Params, check_features, check_params

LEVELS = "levels"
# The key of the level matrix in files written by --save before it and
# batch() shared this format: still read.
OLD_LEVELS = "level"


def frame_times(frames: int, samples: int, fs: int, frame_len: int, hop_len: int) -> Array:
    """Centre of each frame in seconds; the last frame may be clipped by the end."""
    starts = np.arange(frames) * hop_len
    times: Array = (starts + np.minimum(frame_len, samples - starts) / 2) / fs
    return times


# What a file that is no sound zip of .npy members raises as it is read
# (RuntimeError: an encrypted member; NotImplementedError: an unknown
# compression).
ZIP_FAULTS = (ValueError, EOFError, RuntimeError, NotImplementedError, zipfile.BadZipFile, zipfile.LargeZipFile)
# What kept() reads of a features file.
KEPT = ("parameters", "input_size", "input_mtime_ns", "samples", "fs", "compute_seconds", "run")


def kept(target: str, size: int, mtime_ns: int, params: Params,
         run: str = "") -> tuple[str, float, float | None] | None:
    """What the features file at target, when it can be kept, tells of its input's row.

    Its status, audio seconds and compute seconds: "done", with the
    seconds that computing the file took, when the run named `run` (not
    "") wrote it, which is how a task run again (its worker died before
    its row came back) finds its own work; "skipped" and None otherwise
    (the check's own time is the caller's to give).  None when there is
    no such file, or when it is stale (the input's size or modification
    time changed), damaged or not a features file.  BatchError when it
    was made with other parameters: those are refused, never replaced
    (whether or not the input changed since).
    """
    try:
        with open_regular(target) as raw:
            m = _members(raw, KEPT)
            made_with = str(_scalar(m, "parameters"))
            matches = _scalar(m, "input_size") == size and _scalar(m, "input_mtime_ns") == mtime_ns
            seconds = _scalar(m, "samples") / _scalar(m, "fs")
            compute = float(_scalar(m, "compute_seconds"))
            ours = str(_scalar(m, "run")) == run != ""
            found = ("done", seconds, compute) if ours else ("skipped", seconds, None)
            if made_with != params.key():
                raise BatchError(f"{target}: holds features made with other parameters; not replaced")
            if not matches:
                return None
            # A file torn or bit-flipped since it was written is redone: every
            # member is read against its checksum.
            raw.seek(0)
            with zipfile.ZipFile(raw) as zf:
                return found if zf.testzip() is None else None
    except BatchError:
        raise
    except (OSError, TypeError, ArithmeticError, *ZIP_FAULTS):
        return None


class Source(NamedTuple):
    """The input a features file was made from, as recorded in it."""

    input: str     # absolute path, or the name of standard input or the test signal
    size: int      # bytes, -1 when not a file
    mtime_ns: int  # modification time, -1 when not a file

    @classmethod
    def of(cls, path: str, st: os.stat_result | None) -> "Source":
        if st is None:
            return cls(path, -1, -1)
        return cls(os.path.abspath(path), st.st_size, st.st_mtime_ns)


def _member(zf: zipfile.ZipFile, name: str, value: object) -> None:
    with zf.open(f"{name}.npy", "w") as f:
        np.lib.format.write_array(f, np.asarray(value), allow_pickle=False)


class FeatureSpool:
    """One more feature's (rows x columns) blocks, kept until the file is finished.

    Blocks are appended column-major to a temporary file (in memory while
    small), so memory stays bounded whatever the input's length; the shape
    is known only at the end, when :meth:`FeaturesWriter.finish` writes it.
    """

    # Kept in memory up to this many bytes, then on disk.
    MEMORY = 32 << 20

    def __init__(self, rows: int) -> None:
        self.rows = rows
        self.columns = 0
        self._file = tempfile.SpooledTemporaryFile(max_size=self.MEMORY)

    def add(self, block: Array) -> None:
        """Append a (rows x k) block."""
        self._file.write(block.tobytes(order="F"))
        self.columns += block.shape[1]

    def write(self, zf: zipfile.ZipFile, name: str) -> None:
        """Store the blocks as member name.npy, a (rows, columns) float64 array."""
        with zf.open(f"{name}.npy", "w", force_zip64=True) as f:
            np.lib.format.write_array_header_2_0(
                f, {"descr": np.dtype(np.float64).str, "fortran_order": True, "shape": (self.rows, self.columns)})
            self._file.seek(0)
            shutil.copyfileobj(self._file, f, 1 << 20)

    def close(self) -> None:
        self._file.close()


class FeaturesWriter:
    """One features file (an .npz), the levels written as they come.

    The level matrix's shape is fixed before the first frame: ``frames``
    columns of ``channels`` rows, stored column-major so that each chunk of
    frames a stream completes is appended at once and memory stays bounded
    whatever the input's length; np.load gives it back as an ordinary
    (channels, frames) array.  Frames beyond ``frames`` are counted in
    ``written`` but not stored, so a caller can tell that the input held
    more than it announced.  ``finish()`` adds every other key; leaving the
    ``with`` block without it leaves an incomplete file for the caller to
    discard.
    """

    def __init__(self, f: IO[bytes], channels: int, frames: int) -> None:
        self.frames = frames
        self.written = 0
        self._zip = zipfile.ZipFile(f, "w", compression=zipfile.ZIP_STORED, allowZip64=True)
        self._levels: IO[bytes] | None = self._zip.open(f"{LEVELS}.npy", "w", force_zip64=True)
        np.lib.format.write_array_header_2_0(
            self._levels, {"descr": np.dtype(np.float64).str, "fortran_order": True,
                           "shape": (channels, frames)})

    def __enter__(self) -> "FeaturesWriter":
        return self

    def add(self, level: Array) -> None:
        """Append frames (a channels x k block of levels in dB)."""
        if self._levels is None:
            raise ValueError("the features file is finished")
        room = min(max(self.frames - self.written, 0), level.shape[1])
        # A megabyte at a time: a whole matrix (--save) is never copied at once.
        step = max(1, (1 << 17) // max(level.shape[0], 1))
        for a in range(0, room, step):
            self._levels.write(level[:, a:min(a + step, room)].tobytes(order="F"))
        self.written += level.shape[1]

    def finish(self, *, cfs: Array, fs: int, samples: int, frame_len: int, hop_len: int,
               params: Params, source: Source, run: str = "", compute_seconds: float = 0.0,
               features: dict[str, FeatureSpool] | None = None) -> None:
        """Write every other key; ValueError when fewer or more frames came than announced.

        features: the other features asked for (gfcc, ratemap, ihc), by key.
        """
        if self._levels is None:
            raise ValueError("the features file is finished")
        if self.written != self.frames:
            raise ValueError(f"{self.written} frames came, not the {self.frames} announced")
        self._levels.close()
        self._levels = None
        for name, value in {
            "cfs": cfs, "times": frame_times(self.frames, samples, fs, frame_len, hop_len),
            "fs": np.int64(fs), "samples": np.int64(samples),
            "frame_len": np.int64(frame_len), "hop_len": np.int64(hop_len),
            "channels": np.int64(params.channels), "low": params.low, "high": float(cfs[-1]),
            "frame": params.frame, "hop": params.hop,
            "channel": np.int64(-1 if params.channel is None else params.channel),
            "normalize": np.bool_(params.normalize), "parameters": params.key(),
            "input": source.input, "input_size": np.int64(source.size),
            "input_mtime_ns": np.int64(source.mtime_ns),
            "run": run, "compute_seconds": compute_seconds,
        }.items():
            _member(self._zip, name, value)
        for name, spool in (features or {}).items():
            spool.write(self._zip, name)
        self._zip.close()

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 tb: TracebackType | None) -> None:
        if self._levels is not None:
            self._levels.close()
            self._levels = None
        self._zip.close()


class Features(NamedTuple):
    """A features file as :func:`load_features` reads it.

    Attributes
    ----------
    levels : ndarray
        (channels, frames), dB re a mean square of 1: :func:`cochleagram`.
    cfs : ndarray
        The centre frequencies in Hz, one per channel.
    times : ndarray
        The centre of each frame in seconds.
    fs : int
        The input's sample rate in Hz.
    parameters : dict
        channels, low, high, frame, hop, channel (None: the mean of the
        input's channels), normalize, and features (the features the file
        holds, levels first).
    gfcc : ndarray or None
        (n_ceps x 3, frames), as :func:`gfcc` gives it; None when not
        asked for.
    ratemap : ndarray or None
        (channels, frames), as :func:`ratemap`; None when not asked for.
    ihc : ndarray or None
        (channels, samples), as :func:`ihc_envelope`; None when not asked
        for (only the single-file command writes it, with ``--full``).

    Examples
    --------
    A named tuple: ``f.levels`` or ``levels, cfs, times, fs, parameters,
    *more = f``.

    >>> Features._fields
    ('levels', 'cfs', 'times', 'fs', 'parameters', 'gfcc', 'ratemap', 'ihc')
    """

    levels: Array   # channels x frames, dB re a mean square of 1
    cfs: Array      # centre frequencies in Hz, one per channel
    times: Array    # centre of each frame in seconds
    fs: int         # sample rate of the input in Hz
    parameters: dict[str, Any]  # channels, low, high, frame, hop, channel (None: the mean), normalize, features
    gfcc: Array | None = None     # (n_ceps x 3) x frames, when asked for
    ratemap: Array | None = None  # channels x frames, when asked for
    ihc: Array | None = None      # channels x samples, when asked for (--full)


# The members of a features file that are ever read: name -> (the kinds of
# dtype it may have, as numpy's dtype.kind letters; its shape).  A shape is
# fixed sizes and named ones: the first member read with a name fixes that
# size, and every other member with the name must agree ("channels" and
# "frames" are the level matrix's, which comes first).  Scalars have shape
# ().  Members not listed here are never read; a new member needs a line.
MEMBERS: dict[str, tuple[str, tuple[int | str, ...]]] = {
    LEVELS: ("f", ("channels", "frames")),
    OLD_LEVELS: ("f", ("channels", "frames")),
    "cfs": ("f", ("channels",)),
    "times": ("f", ("frames",)),
    "fs": ("iu", ()),
    "samples": ("iu", ()),
    "frame_len": ("iu", ()),
    "hop_len": ("iu", ()),
    "channel": ("iu", ()),
    "normalize": ("b", ()),
    "parameters": ("U", ()),
    "input_size": ("iu", ()),
    "input_mtime_ns": ("iu", ()),
    "run": ("U", ()),
    "compute_seconds": ("f", ()),
    "gfcc": ("f", ("coefficients", "frames")),
    "ratemap": ("f", ("channels", "frames")),
    "ihc": ("f", ("channels", "columns")),
}
# A deflated member may inflate to at most this many times its stored size:
# levels in dB never compress so well, and a zip bomb does (the writers
# here store every member as it is).
MAX_INFLATION = 100


def read_members(path: str | bytes | os.PathLike[str], names: Sequence[str]) -> dict[str, NDArray[Any]]:
    """The members among `names` that the features file at path holds, as arrays.

    Every member's .npy header is checked against MEMBERS, and its size in
    the zip directory against its header, before any member is inflated:
    memory is what the members' shapes declare, and those shapes agree with
    each other.  Never unpickles.  ValueError naming the file and the fault;
    OSError when it cannot be read (NotRegularFile for a FIFO, a device or
    a directory, refused without waiting).
    """
    with open_regular(path) as raw:
        try:
            return _members(raw, names)
        except ZIP_FAULTS as exc:
            raise ValueError(f"{os.fsdecode(path)}: not a readable features file ({exc})") from None


def _members(raw: IO[bytes], names: Sequence[str]) -> dict[str, NDArray[Any]]:
    """read_members() on an open file; ValueError (or one of ZIP_FAULTS) with the fault."""
    with zipfile.ZipFile(raw) as zf:
        infos: dict[str, zipfile.ZipInfo] = {}
        for info in zf.infolist():
            name = info.filename.removesuffix(".npy")
            if name in names and info.filename.endswith(".npy"):
                if name in infos:
                    raise ValueError(f"{name} is stored twice")
                infos[name] = info
        sizes: dict[str, tuple[int, str]] = {}  # a named size: (value, the member that fixed it)
        headers = {}
        for name, info in infos.items():
            with zf.open(info) as f:
                try:
                    header = headers[name] = npy_header(f)
                except ValueError as exc:
                    raise ValueError(f"{name}: {exc}") from None
            kinds, shape = MEMBERS[name]
            if header.dtype.kind not in kinds:
                raise ValueError(f"{name} holds {header.dtype}, not {_KINDS[kinds[0]]}")
            if len(header.shape) != len(shape):
                raise ValueError(f"{name} has shape {header.shape}, not {len(shape)} dimension(s)")
            for size, rule in zip(header.shape, shape):
                if isinstance(rule, int):
                    if size != rule:
                        raise ValueError(f"{name} has shape {header.shape}")
                    continue
                known, source = sizes.setdefault(rule, (size, name))
                if size != known:
                    raise ValueError(f"{name} has shape {header.shape}: {size} {rule}, where {source} has {known}")
            if info.file_size != header.offset + header.nbytes:
                raise ValueError(f"{name} is {info.file_size} bytes long where its header declares "
                                 f"{header.offset + header.nbytes}")
            if info.compress_type != zipfile.ZIP_STORED and info.file_size > MAX_INFLATION * max(info.compress_size, 1):
                raise ValueError(f"{name} would inflate from {info.compress_size} to {info.file_size} bytes, "
                                 f"over {MAX_INFLATION} times: no features file compresses so well")
        arrays = {}
        for name, info in infos.items():
            with zf.open(info) as f:
                f.seek(headers[name].offset)
                try:
                    arrays[name] = read_npy(f, headers[name])
                except ValueError as exc:
                    raise ValueError(f"{name}: {exc}") from None
        return arrays


# The features stored beside the levels, in the order of Features' fields.
FEATURE_MEMBERS = ("gfcc", "ratemap", "ihc")

_KINDS = {"f": "floats", "i": "integers", "b": "booleans", "U": "text"}


def load_features(path: str | bytes | os.PathLike[str]) -> Features:
    """Read a features file written by ``gammatone-bank --save`` or :func:`batch`.

    Parameters
    ----------
    path : str or os.PathLike
        The .npz file (a path: a file descriptor number is a TypeError).
        Files of older ``--save`` runs, which stored the levels under
        ``level`` and no parameters, are read too.

    Returns
    -------
    Features
        ``levels`` (channels x frames, dB), ``cfs`` (Hz), ``times`` (frame
        centres in s), ``fs`` (Hz) and ``parameters``: the analysis
        parameters that made the file: channels, low and high (the lowest
        and highest centre frequency in Hz; high is the top used, also
        where the run asked for the default), frame and hop (seconds),
        channel (the input channel analysed, None for the mean of all),
        normalize and features (the features the file holds, levels
        first).  ``gfcc``, ``ratemap`` and ``ihc`` are those features, as
        :func:`gfcc`, :func:`ratemap` and :func:`ihc_envelope` with their
        defaults (and the file's frame, hop and normalize) give them on the
        samples as read; None when the file holds none.

    Raises
    ------
    TypeError
        When path is not a path.
    ValueError
        Naming the file and the fault, when it is not a sound features
        file: not a zip of .npy members, a member missing, of the wrong
        type or shape (levels against cfs and times), damaged (a torn or
        bit-flipped file fails its checksums) or inconsistent (fs, the
        centre frequencies, the parameters).  Each member's size is
        checked before it is inflated, so memory is what the file's shapes
        declare; nothing is ever unpickled.
    OSError
        When it cannot be read; a FIFO, a device or a directory is refused
        at once, without waiting.

    Examples
    --------
    After ``gammatone-bank speech.wav --save speech.npz --features gfcc``
    (not run here)::

        f = load_features("speech.npz")
        f.levels.shape, f.gfcc.shape, f.ratemap is None, f.parameters["frame"]

    What is not a features file is refused, naming it:

    >>> import os, tempfile
    >>> path = os.path.join(tempfile.mkdtemp(), "not_features.npz")
    >>> np.savez(path, x=np.zeros(3))
    >>> load_features(path)  # doctest: +ELLIPSIS
    Traceback (most recent call last):
        ...
    ValueError: ...not_features.npz: not a readable features file (level is missing)
    >>> load_features(3)
    Traceback (most recent call last):
        ...
    TypeError: path must be a path (str or os.PathLike), got int
    """
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"path must be a path (str or os.PathLike), got {type(path).__name__}")
    name = os.fsdecode(path)
    m = read_members(path, list(MEMBERS))
    try:
        return _features(m)
    except ValueError as exc:
        raise ValueError(f"{name}: not a readable features file ({exc})") from None


def _scalar(m: dict[str, NDArray[Any]], name: str) -> Any:
    if name not in m:
        raise ValueError(f"{name} is missing")
    return m[name][()].item()


def _features(m: dict[str, NDArray[Any]]) -> Features:
    key = LEVELS if LEVELS in m else OLD_LEVELS
    for name in (key, "cfs", "times"):
        if name not in m:
            raise ValueError(f"{name} is missing")
    levels, cfs, times = m[key], m["cfs"].astype(np.float64), m["times"].astype(np.float64)
    fs = _scalar(m, "fs")
    if fs < 1:
        raise ValueError(f"fs is {fs} Hz")
    if cfs.size < 1 or not (np.all(np.isfinite(cfs)) and cfs[0] > 0 and np.all(np.diff(cfs) > 0)
                            and cfs[-1] < fs / 2):
        raise ValueError(f"cfs are not rising centre frequencies between 0 and fs/2 = {fs / 2:g} Hz")
    if not (np.all(np.isfinite(times)) and np.all(times >= 0) and np.all(np.diff(times) >= 0)):
        raise ValueError("times are not rising frame centres in seconds")
    lengths = [n for n in ("samples", "frame_len", "hop_len") if n in m]
    if len(lengths) == 3:
        samples, frame_len, hop_len = (_scalar(m, n) for n in lengths)
        if samples < 0 or frame_len < 1 or hop_len < 1:
            raise ValueError(f"samples {samples}, frame_len {frame_len} and hop_len {hop_len} are not lengths")
        frames = _frame_count(samples, frame_len, hop_len)
        if frames != times.size:
            raise ValueError(f"{samples} samples give {frames} frames of {frame_len} every {hop_len}, "
                             f"not the {times.size} it holds")
    if "parameters" in m:
        parameters = _parameters(str(_scalar(m, "parameters")), cfs)
    else:  # an older --save file: rebuilt from what it holds
        channel = _scalar(m, "channel")
        frame_len, hop_len = _scalar(m, "frame_len"), _scalar(m, "hop_len")
        if frame_len < 1 or hop_len < 1:
            raise ValueError(f"frame_len {frame_len} and hop_len {hop_len} are not lengths")
        parameters = asdict(Params(
            channels=int(cfs.size), low=float(cfs[0]), high=float(cfs[-1]),
            frame=frame_len / fs, hop=hop_len / fs,
            channel=None if channel < 0 else int(channel), normalize=bool(_scalar(m, "normalize")),
        ))
    more = [m[key].astype(np.float64) if key in m else None for key in FEATURE_MEMBERS]
    for key, value in zip(FEATURE_MEMBERS, more):
        if value is None and key in parameters["features"] and key != "ihc":
            raise ValueError(f"parameters list the feature {key}, which the file does not hold")
    if more[2] is not None and lengths and more[2].shape[1] != _scalar(m, "samples"):
        raise ValueError(f"ihc holds {more[2].shape[1]} samples, not the {_scalar(m, 'samples')} analysed")
    return Features(levels, cfs, times, int(fs), parameters, *more)


def _parameters(text: str, cfs: Array) -> dict[str, Any]:
    """The recorded parameters, checked against the centre frequencies."""
    try:
        recorded = json.loads(text)
        if not isinstance(recorded, dict):
            raise TypeError
        # ihc is a feature of --full saves, which batch() never writes.
        features = check_features(recorded.pop("features", DEFAULT_FEATURES), full=True)
        params = replace(check_params(**recorded), features=features)
    except (ValueError, TypeError, RecursionError):
        raise ValueError(f"parameters are not the analysis parameters: {text[:80]!r}") from None
    if params.channels != cfs.size:
        raise ValueError(f"parameters say {params.channels} channels, cfs hold {cfs.size}")
    for name, value, cf in (("low", params.low, cfs[0]), ("high", params.high, cfs[-1])):
        if value is not None and not math.isclose(value, cf, rel_tol=1e-9):
            raise ValueError(f"parameters say {name} {value:g} Hz, cfs say {cf:g} Hz")
    parameters = asdict(params)
    parameters["high"] = float(cfs[-1])  # the top used, also when asked for by default
    return parameters
