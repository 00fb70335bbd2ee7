"""Paths read and written as regular files only, and .npy data read within
what its header declares.

A FIFO opened for reading waits for a writer, a device never ends, and a
file renamed over a FIFO or a device node replaces the node: so every path
the package reads is opened without blocking and checked on the open
descriptor, and every path it writes must be missing or a regular file (or
a link to one).
"""

import errno
import math
import os
import stat
from typing import IO, Any, NamedTuple

import numpy as np
from numpy.typing import NDArray


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


def open_regular(path: str | bytes | os.PathLike[str]) -> IO[bytes]:
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


class NpyHeader(NamedTuple):
    """What an .npy header declares."""

    shape: tuple[int, ...]
    fortran_order: bool
    dtype: np.dtype[Any]
    offset: int  # bytes before the data

    @property
    def nbytes(self) -> int:
        return math.prod(self.shape) * self.dtype.itemsize


def npy_header(f: IO[bytes]) -> NpyHeader:
    """The header at the start of an .npy file or member, read without the data.

    ValueError, with a reason, when there is none, or when it declares
    Python objects (which only a pickle could give back).
    """
    try:
        version = np.lib.format.read_magic(f)
        if version == (1, 0):
            shape, fortran_order, dtype = np.lib.format.read_array_header_1_0(f)
        elif version == (2, 0):
            shape, fortran_order, dtype = np.lib.format.read_array_header_2_0(f)
        else:
            raise ValueError(f".npy format version {version[0]}.{version[1]} is not read")
    except EOFError:
        raise ValueError("empty or cut short") from None
    except ValueError as exc:
        if "magic" in str(exc) or "EOF" in str(exc):
            raise ValueError("not an .npy array (no .npy header)") from None
        raise ValueError(f"a damaged .npy header ({' '.join(str(exc).split())})") from None
    if dtype.hasobject:
        raise ValueError("holds Python objects, which are never unpickled: not an array of numbers")
    return NpyHeader(tuple(shape), bool(fortran_order), dtype, f.tell())


def read_npy(f: IO[bytes], header: NpyHeader) -> NDArray[Any]:
    """The data that follows `header` in f, exactly header.nbytes of it.

    The caller has checked that f holds that much (a file's size, a zip
    member's declared size), so memory is what the header declares.
    ValueError when f ends sooner or goes on after it; a zip member's
    checksum is checked as its end is read.
    """
    a = np.empty(header.shape[::-1] if header.fortran_order else header.shape, header.dtype)
    view = a.reshape(-1).view(np.uint8)
    done = 0
    while done < view.size:
        n = f.readinto(view[done:])  # type: ignore[attr-defined]
        if not n:
            raise ValueError(f"cut short: {done} of the {view.size} bytes of data its header declares")
        done += n
    if f.read(1):
        raise ValueError("longer than its header declares")
    return a.T if header.fortran_order else a
