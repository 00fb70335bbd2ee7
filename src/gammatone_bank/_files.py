"""Paths read and written as regular files only, files written through a
temporary and renamed into place, and .npy data read within what its header
declares.

A FIFO opened for reading waits for a writer, a device never ends, and a
file renamed over a FIFO or a device node replaces the node: so every path
the package reads is opened without blocking and checked on the open
descriptor, and every path it writes must be missing or a regular file (or
a link to one).
"""

import errno
import fcntl
import math
import os
import re
import secrets
import stat
from collections.abc import Callable, Sequence
from typing import IO, Any, NamedTuple, TypeVar

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


T = TypeVar("T")

# Temporary files are named ".<target's name>.<8 hex digits>.tmp"; for a
# target whose name is near the file system's limit the name is cut short.
TEMPORARY = re.compile(r"\..*\.[0-9a-f]{8}\.tmp", re.DOTALL)
# Those of a batch run's files: a directory may hold other programs' files.
BATCH_TEMPORARY = re.compile(r"\.(?:.*\.npz|manifest\.csv|parameters\.json|probe)\.[0-9a-f]{8}\.tmp", re.DOTALL)
NAME_MAX = 255


def temporary_path(path: str) -> str:
    """A new temporary file's path beside path, within the length a name may have."""
    folder, base = os.path.split(path)
    name = os.fsencode(base)[:NAME_MAX - len(".12345678.tmp") - 1]
    # Cut at a byte, the name may end in half a character: fsdecode keeps it.
    return os.path.join(folder, f".{os.fsdecode(name)}.{secrets.token_hex(4)}.tmp")


def sweep_temporaries(folder: str, targets: Sequence[str] | None = None, held_too: bool = False) -> None:
    """Delete the temporary files below folder that no process holds.

    Every writer holds a lock on its temporary file (flock) while it writes,
    so one that can be locked here was left by a process that died (or,
    with `held_too`, any).  Without `targets`, those of a batch run's own
    files anywhere below folder (features, manifest, parameters, probe);
    with them, only those of these targets, in folder itself.
    """
    if targets is not None:
        prefixes = {os.path.basename(temporary_path(t))[:-len("12345678.tmp")] for t in targets}
    for where, _, names in os.walk(folder):
        for name in names:
            if targets is None:
                wanted = BATCH_TEMPORARY.fullmatch(name) is not None
            else:
                wanted = TEMPORARY.fullmatch(name) is not None and name[:-len("12345678.tmp")] in prefixes
            if wanted:
                path = os.path.join(where, name)
                try:
                    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
                except OSError:
                    continue
                try:
                    if not held_too:
                        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    os.unlink(path)
                except OSError:
                    pass  # held by a live writer, or gone already
                finally:
                    os.close(fd)
        if targets is not None:
            return


def create_temporary(tmp: str, mode: int = os.O_WRONLY) -> int:
    """Create the new file tmp (a name from temporary_path) and lock it while it is open; its fd.

    The caller records tmp, for its clean-up to remove, before this call:
    a signal that lands just after the file is created then finds it
    recorded, never a file that nothing knows of.
    """
    # Created like any new file (0o666 less the umask).
    fd = os.open(tmp, mode | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        pass  # a file system without locks: it is swept only by the lock of the run
    return fd


def discard(tmp: str) -> None:
    """Remove a temporary file, if it was created at all."""
    try:
        os.unlink(tmp)
    except OSError:
        pass  # never created, or gone; a clean-up never hides the failure it tidies after


def write_atomically(path: str, write: Callable[[IO[bytes]], T]) -> T:
    """Write a new temporary file beside path with write(), then rename it over path.

    OSError when path exists as anything but a regular file (or a link to
    one), which is left as it is.
    """
    refuse_unless_regular(path)
    tmp = temporary_path(path)  # named before it exists, so that any exit removes it
    try:
        with os.fdopen(create_temporary(tmp), "wb") as f:
            value = write(f)
        refuse_unless_regular(path)
        os.replace(tmp, path)
        return value
    except BaseException:
        discard(tmp)
        raise


def remove_temporaries(targets: Sequence[str]) -> None:
    """Delete temporary files left beside this run's targets by tasks that died.

    A task removes its own temporary file when it fails; one whose worker
    process was killed cannot, and this is run once every task is over.
    Their locks are not asked: a worker killed a moment ago may not have
    let go of its lock yet.
    """
    by_folder: dict[str, list[str]] = {}
    for target in targets:
        by_folder.setdefault(os.path.dirname(target), []).append(target)
    for folder, beside in by_folder.items():
        sweep_temporaries(folder, beside, held_too=True)
