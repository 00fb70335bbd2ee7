"""Paths read and written as regular files only.

A FIFO opened for reading waits for a writer, a device never ends, and a
file renamed over a FIFO or a device node replaces the node: so every path
the package reads is opened without blocking and checked on the open
descriptor, and every path it writes must be missing or a regular file (or
a link to one).
"""

import errno
import os
import stat
from typing import IO


class NotRegularFile(OSError):
    """A path that is a FIFO, a device, a socket or a directory where a
    regular file is wanted; ``strerror`` says which ("is a FIFO, not a
    regular file")."""


def kind(mode: int) -> str:
    """What a node of this st_mode is, for messages ("a FIFO")."""
    for test, name in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return name
    return "not a regular file"


def _refusal(path: str, mode: int) -> NotRegularFile:
    what = kind(mode)
    why = what if what == "a directory" else f"{what}, not a regular file"
    return NotRegularFile(errno.EISDIR if stat.S_ISDIR(mode) else errno.EINVAL, f"is {why}", path)


def refuse_unless_regular(path: str | os.PathLike[str]) -> None:
    """NotRegularFile when path exists as anything but a regular file or a link to one.

    A missing path (or a link to nothing) passes: writing creates it.
    Other failures to look the path up pass too, for the write to report.
    """
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return
    if not stat.S_ISREG(mode):
        raise _refusal(os.fsdecode(path), mode)


def open_regular(path: str | os.PathLike[str]) -> IO[bytes]:
    """path opened for reading in binary, when it is a regular file (or a link to one).

    Opened without blocking and checked on the descriptor itself, so that
    a FIFO is refused at once (NotRegularFile), whatever it is swapped for
    between a look and the open.  OSError when it cannot be opened.
    """
    if not isinstance(path, (str, bytes, os.PathLike)):
        # An int would be taken as a file descriptor, and closed with the file.
        raise TypeError(f"path must be a path (str or os.PathLike), got {type(path).__name__}")
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise _refusal(os.fsdecode(path), mode)
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    # Outside the try: once the file object owns fd, only it may close it.
    return os.fdopen(fd, "rb")
