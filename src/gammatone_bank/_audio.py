"""Sound files read in blocks, so that memory never follows the file's length."""

import errno
import os
import shutil
import sys
import tempfile
from collections.abc import Callable, Iterator
from contextlib import ExitStack, contextmanager
from typing import IO, Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from gammatone_bank._files import NotRegularFile, open_regular

# Frames per block read from a file, at most.
BLOCK = 1 << 18
# Bytes of float64 per block read, at most, whatever the file's channel
# count: a 1024-channel file is read 256 frames at a time, so a read never
# takes more memory than a mono one does.
BLOCK_BYTES = 8 * BLOCK

# The INPUT that means standard input, and how messages name it.
STDIN = "-"
STDIN_NAME = "standard input"


class AudioError(Exception):
    """An input that cannot be analysed; the message is one line naming it."""


class Audio(NamedTuple):
    """What is known of a sound file before its samples are read."""

    fs: int
    frames: int       # samples per channel (-1 when the format cannot tell)
    channels: int     # channels in the file
    name: str         # the file's base name, for titles and summaries
    subtype: str | None = None  # its sample format (PCM_16, FLOAT, ...), None when unknown


def _reason(exc: Exception) -> str:
    """libsndfile's reason on one line, without soundfile's "Error opening X: "."""
    text = str(getattr(exc, "error_string", "") or exc)
    return " ".join(text.split())


def _soundfile() -> Any:
    import soundfile

    return soundfile


def _stdin(stack: ExitStack) -> IO[bytes]:
    """Standard input as a seekable binary file.

    libsndfile seeks in most formats (to the data chunk of a WAV, to the end
    of an OGG to count its frames), so a pipe is first copied into an
    anonymous temporary file: on disk rather than in memory, because an hour
    of audio is hundreds of megabytes, and already unlinked, so nothing is
    left behind however the run ends.  Standard input redirected from a file
    is seekable already and is read in place.
    """
    stream = sys.stdin.buffer if sys.stdin is not None else None
    if stream is None:
        raise AudioError(f"{STDIN_NAME}: not open")
    if stream.isatty():
        raise AudioError(f"{STDIN_NAME}: is a terminal; pipe a sound file into it")
    if stream.seekable():
        return stream
    spool = stack.enter_context(tempfile.TemporaryFile(prefix="gammatone-bank-stdin-"))
    shutil.copyfileobj(stream, spool, 1 << 20)
    spool.seek(0)
    return spool


@contextmanager
def open_sound(
    path: str,
    *,
    channel: int | None = None,
    block: int = BLOCK,
    on_block: Callable[[NDArray[np.float64]], None] | None = None,
) -> Iterator[tuple[Audio, Iterator[NDArray[np.float64]]]]:
    """Open a sound file and yield (Audio, blocks).

    blocks yields 1-D C-contiguous float64 arrays (full scale 1) of at most
    `block` samples (fewer for files of many channels, so that a block read
    stays within BLOCK_BYTES): the mean of the file's channels, or only channel
    `channel` (0-based) when it is given.  ``on_block``, when given, sees
    each block as read, (samples x file channels), before it is mixed down.
    AudioError, with a one-line reason naming the path, when the file is
    missing, a directory, unreadable or empty, or when `channel` is not one
    of its channels, or when it is not a regular file (a FIFO or a device
    would block or never end; standard input is the way to pipe a sound
    in).  Non-finite samples raise AudioError when the block holding them is
    read, and so does a file that ends before the frames its header
    announced (one cut short while it is read).

    The path "-" reads standard input (named "standard input" in messages).
    """
    sf = _soundfile()
    with ExitStack() as stack:
        source: int | IO[bytes]
        if path == STDIN:
            label, name = STDIN_NAME, STDIN_NAME
            source = _stdin(stack)
        else:
            label, name = path, os.path.basename(path)
            try:
                opened = stack.enter_context(open_regular(path))
            except FileNotFoundError:
                raise AudioError(f"{path}: no such file") from None
            except NotRegularFile as exc:
                if exc.errno == errno.EISDIR:
                    raise AudioError(f"{path}: is a directory, not a sound file") from None
                raise AudioError(f"{path}: {exc.strerror}; pipe it into standard input (-) instead") from None
            except OSError as exc:
                raise AudioError(f"{path}: cannot read ({exc.strerror or exc})") from None
            # By its descriptor, which was checked: the name may point elsewhere by now.
            source = opened.fileno()
        try:
            f = stack.enter_context(sf.SoundFile(source, closefd=False))
        except (sf.SoundFileError, OSError, RuntimeError) as exc:
            raise AudioError(f"{label}: not a readable sound file ({_reason(exc)})") from None
        frames = int(f.frames) if f.seekable() else -1
        info = Audio(int(f.samplerate), frames, int(f.channels), name, str(f.subtype))
        if info.frames == 0:
            raise AudioError(f"{label}: holds no samples")
        if channel is not None and not 0 <= channel < info.channels:
            raise AudioError(f"{label}: has {info.channels} channel(s), no channel {channel}")

        step = max(1, min(block, BLOCK_BYTES // (8 * info.channels)))

        def blocks() -> Iterator[NDArray[np.float64]]:
            read = 0
            while True:
                try:
                    data = f.read(step, dtype="float64", always_2d=True)
                except (sf.SoundFileError, OSError, RuntimeError) as exc:
                    raise AudioError(f"{label}: read failed ({_reason(exc)})") from None
                if data.shape[0] == 0:
                    if 0 <= frames != read:
                        raise AudioError(f"{label}: held {read} samples, not the {frames} its header "
                                         f"announced (cut short while it was read?)")
                    return
                read += data.shape[0]
                if on_block is not None:
                    on_block(data)
                x = data[:, channel] if channel is not None else data.mean(axis=1)
                x = np.ascontiguousarray(x)
                if not np.all(np.isfinite(x)):
                    raise AudioError(f"{label}: holds samples that are not finite")
                yield x

        yield info, blocks()
