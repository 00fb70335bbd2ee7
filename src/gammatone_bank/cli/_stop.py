"""How the command line stops on a signal: Ctrl-C and SIGTERM raise once
(KeyboardInterrupt, Terminated), then are ignored while the run tidies up,
and end in status 130 or 143.  Imports nothing heavy, so that it can guard
the loading of the commands themselves."""

import signal
from collections.abc import Iterator
from contextlib import contextmanager


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised like Ctrl-C's KeyboardInterrupt so that clean-up runs."""

    signum = signal.SIGTERM


def _on_signal(signum: int, frame: object) -> None:
    # The first signal stops the run; those that follow (a user pressing
    # Ctrl-C again and again) must not cut the tidying or the last line short.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise Terminated if signum == signal.SIGTERM else KeyboardInterrupt


@contextmanager
def sigterm_raises() -> Iterator[None]:
    """SIGTERM raises Terminated and Ctrl-C KeyboardInterrupt for the
    duration, once: after the first, both are ignored until the process ends."""
    try:
        previous = {signum: signal.signal(signum, _on_signal) for signum in (signal.SIGINT, signal.SIGTERM)}
    except ValueError:  # not the main thread: signals go elsewhere anyway
        yield
        return
    try:
        yield
    finally:
        if signal.getsignal(signal.SIGINT) is _on_signal:  # no signal came
            for signum, handler in previous.items():
                signal.signal(signum, handler)


def settled() -> None:
    """The run's outcome is settled (its outputs go into place now): from here
    to the end of the process Ctrl-C and SIGTERM are ignored, so that one
    that comes late neither cuts the renaming short nor turns a finished
    run into an interrupted one (or a traceback as the process exits)."""
    try:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    except ValueError:  # not the main thread: signals go elsewhere anyway
        pass


def stopped(exc: KeyboardInterrupt) -> tuple[str, int]:
    """How a run stopped by a signal is reported: (word, exit status 130 or 143)."""
    signum = getattr(exc, "signum", signal.SIGINT)
    return ("terminated" if signum == signal.SIGTERM else "interrupted"), 128 + signum
