"""Signal handlers held for a stretch of code: clean-up that a second Ctrl-C
must not cut short, and the command line's SIGTERM."""

import signal
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any


@contextmanager
def signal_handler(signum: int, handler: Any) -> Iterator[None]:
    """Install a handler for the duration (in the main thread only)."""
    try:
        previous = signal.signal(signum, handler)
    except ValueError:  # not the main thread: signals go elsewhere anyway
        yield
        return
    try:
        yield
    finally:
        signal.signal(signum, previous)


@contextmanager
def signals_ignored() -> Iterator[None]:
    with signal_handler(signal.SIGINT, signal.SIG_IGN), signal_handler(signal.SIGTERM, signal.SIG_IGN):
        yield
