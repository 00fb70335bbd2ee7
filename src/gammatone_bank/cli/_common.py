"""What every subcommand shares: the option types (wrapping the library's
checks), the band and frame options, one-line errors and warnings, the exit
statuses of Ctrl-C and SIGTERM, the version and the install hint."""

import argparse
import importlib.metadata
import importlib.util
import os
import re
import sys
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from types import TracebackType
from typing import IO

from gammatone_bank._params import (
    DEFAULT_CHANNELS,
    DEFAULT_HIGH,
    DEFAULT_LOW,
    FRAME,
    HIGH_FRACTION,
    HOP,
    FEATURE_KEYS,
    check_features,
)
from gammatone_bank import _checks
from gammatone_bank._checks import MAX_CHANNELS
from gammatone_bank._files import (
    NotRegularFile,
    create_temporary,
    discard,
    refuse_unless_regular,
    sweep_temporaries,
    temporary_path,
)
from gammatone_bank._signals import signals_ignored
from gammatone_bank.cli._stop import settled, sigterm_raises, stopped

PROG = "gammatone-bank"


def install_hint(extra: str) -> str:
    return f"pip install 'gammatone_c[{extra}]' (in a clone of the source: pip install '.[{extra}]')"


class CliError(Exception):
    """A failure to report as one line on stderr with exit status 2."""


def say(line: str) -> None:
    """One line on stderr, on a line of its own: on a terminal, whatever a
    progress bar left on the current line (a signal can cut its drawing
    short, before it knows to erase itself) is erased first."""
    start = ""
    if sys.stderr.isatty():
        try:
            start = "\r" + " " * (os.get_terminal_size(sys.stderr.fileno()).columns - 1) + "\r"
        except (OSError, ValueError):
            start = "\r\x1b[K"
    print(f"{start}{PROG}: {line}", file=sys.stderr)


class OutputError(Exception):
    """Standard output cannot be written (a full disk behind ``> file``)."""


def emit(line: str) -> None:
    """The summary line on stdout; OutputError when it cannot be written.

    BrokenPipeError (the reader went away) is left to the caller, which
    ends quietly.
    """
    try:
        print(line)
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise OutputError(f"standard output: cannot write ({exc.strerror or exc})") from None


def warn(message: str) -> None:
    say(f"warning: {message}")


# A library message names an argument as `low=`; the command line's as its option.
_ARGUMENT = re.compile(r"(?<![\w-])(low|high)= ?")


def as_options(message: str) -> str:
    """A library message in the command line's words: ``low=50 Hz`` -> ``--low 50 Hz``."""
    return _ARGUMENT.sub(r"--\1 ", message)


def error(message: object) -> int:
    """Report a refusal in one line; returns its exit status."""
    say(f"error: {as_options(str(message))}")
    return 2


# ---------------------------------------------------------------- options


def _library_check(check: Callable[[], object]) -> None:
    try:
        check()
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def count(least: int) -> Callable[[str], int]:
    """An option's parser for whole numbers of at least `least`."""

    def parse(text: str) -> int:
        try:
            n = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        _library_check(lambda: _checks.count(None, n, least))
        return n

    return parse


def positive(text: str) -> float:
    """An option's parser for positive finite numbers (Hz, seconds, dB)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    _library_check(lambda: _checks.positive(None, value))
    return value


def add_analysis_options(p: argparse.ArgumentParser, *, each: str, high_default: str) -> None:
    """The band, frame and input-channel options of every subcommand that analyses."""
    p.add_argument(
        "--channels", type=count(2), default=DEFAULT_CHANNELS, metavar="N",
        help=f"number of channels, 2 to {MAX_CHANNELS} (default {DEFAULT_CHANNELS})",
    )
    p.add_argument(
        "--low", type=positive, default=DEFAULT_LOW, metavar="HZ",
        help=f"lowest centre frequency (default {DEFAULT_LOW:g})",
    )
    p.add_argument(
        "--high", type=positive, default=None, metavar="HZ",
        help=f"highest centre frequency, below fs/2 (default {DEFAULT_HIGH:g}, "
        f"or {HIGH_FRACTION:g} x fs when lower{high_default})",
    )
    p.add_argument(
        "--channel", type=count(0), default=None, metavar="K",
        help=f"analyse only channel K of {each}, counting from 0 (default: the mean of its channels)",
    )
    p.add_argument(
        "--frame", type=positive, default=FRAME, metavar="S",
        help=f"frame length in seconds (default {FRAME:g})",
    )
    p.add_argument(
        "--hop", type=positive, default=HOP, metavar="S",
        help=f"time between frame starts in seconds (default {HOP:g})",
    )
    p.add_argument(
        "--normalize", action="store_true",
        help="scale each channel to unit gain at its centre frequency before taking levels",
    )


def feature_names(full: bool) -> Callable[[str], tuple[str, ...]]:
    """--features: names from FEATURE_KEYS separated by commas; ihc only where
    `full` outputs can be asked for (and then checked against --full)."""

    def parse(text: str) -> tuple[str, ...]:
        names = tuple(name.strip() for name in text.split(","))
        _library_check(lambda: check_features([n for n in names if not full or n != "ihc"]))
        return names

    return parse


def add_features_option(p: argparse.ArgumentParser, where: str, full: bool) -> None:
    p.add_argument(
        "--features", type=feature_names(full), default=("levels",), metavar="LIST",
        help=f"what {where} holds, comma-separated from {','.join(FEATURE_KEYS if full else FEATURE_KEYS[:-1])} "
        "(default levels, which are always written; gfcc and ratemap with their functions' defaults and "
        "--frame, --hop" + ("; ihc, channels x samples, only with --full)" if full else ")"),
    )


def check_channels(channels: int) -> None:
    """Refuse more channels than any analysis needs, in one line, before any work."""
    if channels > MAX_CHANNELS:
        raise CliError(f"--channels must be at most {MAX_CHANNELS}, got {channels}")


def overflows(label: str, what: str, peak: float) -> CliError:
    """The refusal of an input so loud that the filter's output is not finite."""
    return CliError(f"{label}: {what} not finite: samples up to {peak:g} overflow the filter "
                    f"(scale the input down)")


def version() -> str:
    try:
        return importlib.metadata.version("gammatone_c")
    except importlib.metadata.PackageNotFoundError:
        import gammatone_bank

        return str(getattr(gammatone_bank, "__version__", "unknown (not installed)"))


def require(modules: Sequence[str], extra: str) -> None:
    """Check that the optional modules this run needs are installed.

    Only looks them up (importing matplotlib takes a good part of a second),
    so a run that fails on its input fails fast.
    """
    missing = []
    for name in modules:
        try:
            found = importlib.util.find_spec(name) is not None
        except ValueError:  # a module present in sys.modules as None
            found = False
        if not found:
            missing.append(name)
    if missing:
        raise CliError(f"needs {' and '.join(missing)}, not installed: {install_hint(extra)}")


# ---------------------------------------------------------------- running


def run_command(work: Callable[[], str]) -> int:
    """Run one command's work and report it: its summary line and 0, one error
    line and 2, or the signal's word and 130 / 143."""
    try:
        with sigterm_raises():
            summary = work()
    except CliError as exc:
        return error(exc)
    except KeyboardInterrupt as exc:
        word, status = stopped(exc)
        say(word)
        return status
    emit(summary)
    return 0


@dataclass
class _Pending:
    """An output on its way: its temporary file, named before it exists."""

    tmp: str
    path: str
    file: IO[bytes] | None = None


class Outputs:
    """Output files that appear all together or not at all.

    ``add(path)`` checks the path at once (missing, or a regular file or a
    link to one: a FIFO, a device or a directory is refused and left as it
    is) and opens a new temporary file beside it (creating that file is the
    surest test that the folder exists and is writable); ``commit()``
    renames every temporary file onto its target, with Ctrl-C and SIGTERM
    ignored from then on (the run has succeeded).  Leaving the ``with``
    block without a commit, by an error or by a signal, removes them all:
    each is recorded before it is created, so a signal that lands just
    after it came into being finds it recorded.  (Only a rename failing after an earlier one succeeded, which
    takes the folder changing meanwhile, leaves one written.)
    """

    def __init__(self) -> None:
        self._pending: list[_Pending] = []

    def __enter__(self) -> "Outputs":
        return self

    def add(self, path: str) -> IO[bytes]:
        regular_or_nothing(path)
        target = os.path.abspath(path)
        try:
            # Those an earlier run left beside this target when it was killed.
            sweep_temporaries(os.path.dirname(target), [target])
        except OSError as exc:
            raise CliError(f"{path}: cannot write ({exc.strerror or exc})") from None
        entry = _Pending(temporary_path(target), path)
        self._pending.append(entry)
        try:
            fd = create_temporary(entry.tmp, os.O_RDWR)
        except OSError as exc:
            self._pending.remove(entry)  # not created: not ours to remove
            raise CliError(f"{path}: cannot write ({exc.strerror or exc})") from None
        entry.file = os.fdopen(fd, "w+b")
        return entry.file

    def commit(self) -> None:
        """Rename every output into place; the run is settled from here on."""
        path = ""
        # Once the first target is replaced the others must follow, and the
        # run has succeeded: a signal from now on is ignored.
        settled()
        try:
            for entry in self._pending:
                path = entry.path
                if entry.file is not None:
                    entry.file.close()
            for entry in self._pending:
                regular_or_nothing(entry.path)  # nothing took its place meanwhile
            for entry in self._pending:
                path = entry.path
                os.replace(entry.tmp, entry.path)
        except OSError as exc:
            raise CliError(f"{path}: cannot write ({exc.strerror or exc})") from None
        self._pending.clear()

    def _discard(self) -> None:
        while self._pending:
            entry = self._pending[-1]
            if entry.file is not None:
                try:
                    entry.file.close()
                except OSError:
                    pass  # a full disk: the file goes anyway
            discard(entry.tmp)
            self._pending.pop()

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 tb: TracebackType | None) -> None:
        try:
            # A second Ctrl-C (or a kill) must not cut the clean-up short.
            with signals_ignored():
                self._discard()
        except KeyboardInterrupt:
            self._discard()  # the first signal came just before they were held off
            raise


def regular_or_nothing(path: str) -> None:
    """CliError when an output path exists as anything but a regular file (or a link to one)."""
    try:
        refuse_unless_regular(path)
    except NotRegularFile as exc:
        raise CliError(f"{path}: {exc.strerror}; name a new file or a regular one") from None


@contextmanager
def writing(path: str) -> Iterator[None]:
    """Report a failed write (a full disk, say) as one line naming the path."""
    try:
        yield
    except OSError as exc:
        raise CliError(f"{path}: cannot write ({exc.strerror or exc})") from None
