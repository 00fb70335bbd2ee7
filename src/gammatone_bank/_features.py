"""The features file of one input: the levels of its cochleagram, its centre
frequencies, frame times and sample rate, and the parameters that made it.

``gammatone-bank --save`` and batch() both write it with FeaturesWriter;
load_features() reads it back, files of older --save runs included.
"""

import json
import os
import shutil
import tempfile
import zipfile
from dataclasses import asdict
from types import TracebackType
from typing import IO, Any, NamedTuple

import numpy as np

from gammatone_bank._bank import Array
from gammatone_bank._params import DEFAULT_FEATURES, BatchError, Params

LEVELS = "levels"
# The key of the level matrix in files written by --save before it and
# batch() shared this format: still read.
OLD_LEVELS = "level"


def frame_times(frames: int, samples: int, fs: int, frame_len: int, hop_len: int) -> Array:
    """Centre of each frame in seconds; the last frame may be clipped by the end."""
    starts = np.arange(frames) * hop_len
    times: Array = (starts + np.minimum(frame_len, samples - starts) / 2) / fs
    return times


class Kept(NamedTuple):
    """A features file that matches its input and the parameters."""

    audio_seconds: float
    compute_seconds: float
    run: str  # the run that wrote it


def kept(target: str, size: int, mtime_ns: int, params: Params) -> Kept | None:
    """The features file at target, when it can be kept.

    None when there is none, or when it is stale (the input's size or
    modification time changed), damaged or not a features file.
    BatchError when it was made with other parameters: those are refused,
    never replaced.
    """
    try:
        with open(target, "rb") as raw, np.load(raw, allow_pickle=False) as f:
            made_with = str(f["parameters"])
            matches = int(f["input_size"]) == size and int(f["input_mtime_ns"]) == mtime_ns
            found = Kept(int(f["samples"]) / int(f["fs"]), float(f["compute_seconds"]), str(f["run"]))
    except (KeyError, OSError, ValueError, TypeError, EOFError, zipfile.BadZipFile):
        return None
    if made_with != params.key():
        raise BatchError(f"{target}: holds features made with other parameters; not replaced")
    if not matches:
        return None
    # A file torn or bit-flipped since it was written is redone: every
    # member is read against its checksum.
    try:
        with zipfile.ZipFile(target) as zf:
            if zf.testzip() is not None:
                return None
    except (OSError, zipfile.BadZipFile, EOFError):
        return None
    return found


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
    """A features file as :func:`load_features` reads it."""

    levels: Array   # channels x frames, dB re a mean square of 1
    cfs: Array      # centre frequencies in Hz, one per channel
    times: Array    # centre of each frame in seconds
    fs: int         # sample rate of the input in Hz
    parameters: dict[str, Any]  # channels, low, high, frame, hop, channel (None: the mean), normalize, features
    gfcc: Array | None = None     # (n_ceps x 3) x frames, when asked for
    ratemap: Array | None = None  # channels x frames, when asked for
    ihc: Array | None = None      # channels x samples, when asked for (--full)


def load_features(path: str | os.PathLike[str]) -> Features:
    """Read a features file written by ``gammatone-bank --save`` or :func:`batch`.

    path: the .npz file.  Files of older ``--save`` runs, which stored the
    levels under ``level``, are read too.  ``parameters`` holds the analysis
    parameters that made the file: channels, low and high (the lowest and
    highest centre frequency in Hz), frame and hop (seconds), channel (the
    input channel analysed, None for the mean of all), normalize and
    features (the features the file holds, levels first).  ``gfcc``,
    ``ratemap`` and ``ihc`` are those features, as :func:`gfcc`,
    :func:`ratemap` and :func:`ihc_envelope` with their defaults (and the
    file's frame, hop and normalize) give them on the samples as read; None
    when the file holds none.

    ValueError when the file is not a features file or is damaged (a torn
    or bit-flipped file fails its checksums); OSError when it cannot be read.
    """
    # Opened here, so that the file is closed also when it is no zip at all.
    with open(path, "rb") as raw:
        return _read(os.fspath(path), raw)


def _read(path: str, raw: IO[bytes]) -> Features:
    try:
        with np.load(raw, allow_pickle=False) as f:
            key = LEVELS if LEVELS in f.files else OLD_LEVELS
            levels, cfs, times = f[key], f["cfs"], f["times"]
            fs = int(f["fs"])
            more = [f[name] if name in f.files else None for name in ("gfcc", "ratemap", "ihc")]
            if "parameters" in f.files:
                parameters = dict(json.loads(str(f["parameters"])))
                parameters["high"] = float(cfs[-1])  # the top used, also when asked for by default
                parameters["features"] = tuple(parameters.get("features", DEFAULT_FEATURES))
            else:  # an older --save file: rebuilt from what it holds
                channel = int(f["channel"])
                parameters = asdict(Params(
                    channels=int(cfs.size), low=float(cfs[0]), high=float(cfs[-1]),
                    frame=int(f["frame_len"]) / fs, hop=int(f["hop_len"]) / fs,
                    channel=None if channel < 0 else channel, normalize=bool(f["normalize"]),
                ))
    except (KeyError, ValueError, EOFError, zipfile.BadZipFile) as exc:
        raise ValueError(f"{path}: not a readable features file ({exc})") from None
    return Features(levels, cfs, times, fs, parameters, *more)
