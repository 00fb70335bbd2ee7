"""The features file of one input: the levels of its cochleagram, its centre
frequencies, frame times and sample rate, and the parameters that made it."""

import os
import time
import zipfile
from collections.abc import Iterator
from typing import IO, NamedTuple

import numpy as np

from gammatone_bank._audio import AudioError
from gammatone_bank._bank import Array, _frame_count
from gammatone_bank._params import BatchError, Params
from gammatone_bank._stream import CochleagramStream


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
    modification time changed) or not a features file.  BatchError when it
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
            found = Kept(int(f["samples"]) / int(f["fs"]), float(f["compute_seconds"]), str(f["run"]))
    except (KeyError, OSError, ValueError, TypeError, zipfile.BadZipFile):
        return None
    if made_with != params.key():
        raise BatchError(f"{target}: holds features made with other parameters; not replaced")
    return found if matches else None


def _member(zf: zipfile.ZipFile, name: str, value: object) -> None:
    with zf.open(f"{name}.npy", "w") as f:
        np.lib.format.write_array(f, np.asarray(value), allow_pickle=False)


def write_features(
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
                if not np.isfinite(level).all():
                    raise AudioError(f"{path}: its levels are not finite: its samples are too large "
                                     f"for the filter (scale the input down)")
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
