"""Command line: ``gammatone-bank`` (or ``python -m gammatone_bank``).

Without a subcommand it draws the cochleagram of one sound file; each
subcommand is a module of this package with a ``main(argv)``, imported only
when it is asked for.
"""

import importlib
import os
import signal
import sys
from collections.abc import Sequence

from gammatone_bank.cli._stop import sigterm_raises, stopped

# Subcommand -> the module that runs it.
COMMANDS = {
    "batch": "gammatone_bank.cli._batch",
    "resynthesize": "gammatone_bank.cli._resynth",
    "response": "gammatone_bank.cli._response",
}
DEFAULT = "gammatone_bank.cli._analyse"


def _standard_streams() -> None:
    """Standard streams fit for any name and never missing.

    A closed descriptor 0, 1 or 2 (``2>&-``) is opened on /dev/null: left
    closed, the next file opened would take its number, and a message meant
    for stderr would land in it.  Paths are bytes to the file system, and
    go out as the same bytes, whatever their encoding.
    """
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            os.open(os.devnull, os.O_RDWR)  # takes the lowest free number: fd
    for name in ("stdout", "stderr"):
        stream = getattr(sys, name)
        if stream is None:
            setattr(sys, name, stream := open(1 if name == "stdout" else 2, "w", closefd=False))
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="surrogateescape")


def _quiet(fds: Sequence[int] = (1, 2)) -> None:
    """Send whatever is still buffered for these descriptors to /dev/null."""
    null = os.open(os.devnull, os.O_WRONLY)
    for fd in fds:
        os.dup2(null, fd)
    os.close(null)


def _quiet_stdout() -> None:
    _quiet([1])


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of ``gammatone-bank`` and ``python -m gammatone_bank``.

    Called without argv, as the process's entry point, a run that a signal
    stopped ends the process at once with its status (130, 143), once its
    lines are out: CPython would otherwise end it by SIGINT instead, when
    the KeyboardInterrupt passed through certain of its own calls on the
    way (an import it interrupted, say).
    """
    status = _main(argv)
    if argv is None and status in (128 + signal.SIGINT, 128 + signal.SIGTERM):
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError):
                pass
        os._exit(status)
    return status


def _main(argv: Sequence[str] | None) -> int:
    _standard_streams()
    args = list(sys.argv[1:] if argv is None else argv)
    name = COMMANDS.get(args[0]) if args else None
    # A signal while the command's modules load (NumPy, the engine, Dask)
    # ends in one line too; the command installs its own handlers after.
    try:
        with sigterm_raises():
            from gammatone_bank.cli._common import OutputError

            module = importlib.import_module(name or DEFAULT)
    except KeyboardInterrupt as stop:
        word, code = stopped(stop)
        print(f"gammatone-bank: {word}", file=sys.stderr)
        return code
    try:
        status: int = module.main(args[1:] if name else args)
        sys.stdout.flush()
    except OutputError as exc:
        _quiet_stdout()
        from gammatone_bank.cli._common import error

        return error(exc)
    except BrokenPipeError:
        # The reader went away (``... | head``): end quietly, as a process
        # killed by SIGPIPE would, which is what the shell expects.
        _quiet()
        return 128 + signal.SIGPIPE
    return status
