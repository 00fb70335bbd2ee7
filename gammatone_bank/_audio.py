"""Sound files read in blocks, so that memory never follows the file's length."""

import os
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

# Samples per block read from a file: about 2 MiB of float64 per channel.
BLOCK = 1 << 18


class AudioError(Exception):
    """An input that cannot be analysed; the message is one line naming it."""


class Audio(NamedTuple):
    """What is known of a sound file before its samples are read."""

    fs: int
    frames: int       # samples per channel (-1 when the format cannot tell)
    channels: int     # channels in the file
    name: str         # the file's base name, for titles and summaries


def _soundfile() -> Any:
    import soundfile

    return soundfile


@contextmanager
def open_sound(
    path: str, *, channel: int | None = None, block: int = BLOCK
) -> Iterator[tuple[Audio, Iterator[NDArray[np.float64]]]]:
    """Open a sound file and yield (Audio, blocks).

    blocks yields 1-D C-contiguous float64 arrays (full scale 1) of at most
    `block` samples: the mean of the file's channels, or only channel
    `channel` (0-based) when it is given.  AudioError, with a one-line reason
    naming the path, when the file is missing, a directory, unreadable or
    empty, or when `channel` is not one of its channels.  Non-finite samples
    raise AudioError when the block holding them is read.
    """
    sf = _soundfile()
    if not os.path.exists(path):
        raise AudioError(f"{path}: no such file")
    if os.path.isdir(path):
        raise AudioError(f"{path}: is a directory, not a sound file")
    try:
        f = sf.SoundFile(path)
    except (sf.SoundFileError, OSError, RuntimeError) as exc:
        reason = " ".join(str(exc).split())
        raise AudioError(f"{path}: not a readable sound file ({reason})") from None
    with f:
        info = Audio(int(f.samplerate), int(f.frames), int(f.channels), os.path.basename(path))
        if info.frames == 0:
            raise AudioError(f"{path}: holds no samples")
        if channel is not None and not 0 <= channel < info.channels:
            raise AudioError(f"{path}: has {info.channels} channel(s), no channel {channel}")

        def blocks() -> Iterator[NDArray[np.float64]]:
            while True:
                try:
                    data = f.read(block, dtype="float64", always_2d=True)
                except (sf.SoundFileError, OSError, RuntimeError) as exc:
                    reason = " ".join(str(exc).split())
                    raise AudioError(f"{path}: read failed ({reason})") from None
                if data.shape[0] == 0:
                    return
                x = data[:, channel] if channel is not None else data.mean(axis=1)
                x = np.ascontiguousarray(x)
                if not np.all(np.isfinite(x)):
                    raise AudioError(f"{path}: holds samples that are not finite")
                yield x

        yield info, blocks()
