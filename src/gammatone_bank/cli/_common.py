"""What every subcommand shares: the option types (wrapping the library's
checks), the band and frame options, one-line errors and warnings, the exit
statuses of Ctrl-C and SIGTERM, the version and the install hint."""

import argparse
import importlib.metadata
import importlib.util
import os
import sys
from collections.abc import Callable, Sequence

from gammatone_bank._params import (
    DEFAULT_CHANNELS,
    DEFAULT_HIGH,
    DEFAULT_LOW,
    FRAME,
    HIGH_FRACTION,
    HOP,
    FEATURE_KEYS,
    check_count,
    check_features,
    check_positive,
)
from gammatone_bank._checks import MAX_CHANNELS
from gammatone_bank.cli._stop import sigterm_raises, stopped

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


def error(message: object) -> int:
    """Report a refusal in one line; returns its exit status."""
    say(f"error: {message}")
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
        _library_check(lambda: check_count(None, n, least))
        return n

    return parse


def positive(text: str) -> float:
    """An option's parser for positive finite numbers (Hz, seconds, dB)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    _library_check(lambda: check_positive(None, value))
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
