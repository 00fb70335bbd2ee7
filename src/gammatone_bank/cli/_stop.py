"""How the command line stops on a signal: Ctrl-C and SIGTERM raise once
(KeyboardInterrupt, Terminated), then are ignored while the run tidies up,
and end in status 130 or 143.  Imports nothing heavy, so that it can guard
the loading of the commands themselves."""

import signal
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType
from typing import Any


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised like Ctrl-C's KeyboardInterrupt so that clean-up runs."""

    signum = signal.SIGTERM


# While a module is being imported, a signal waits for the import to end:
# a KeyboardInterrupt raised inside an extension module's initialisation
# comes out as an ImportError ("initialization failed"), or worse.  The
# import's end is looked for every RETRY seconds (SIGALRM).
#
# And one raised where Python cannot pass it on (a weakref callback, a
# __del__, a garbage collection: matplotlib's figures run such callbacks)
# reaches sys.unraisablehook instead, which would print it as "Exception
# ignored" and let the run go on to the end as if no signal had come: it is
# taken back from there and raised again the same way.
RETRY = 0.01
_IMPORT_FRAMES = "<frozen importlib._bootstrap"
_pending: list[int] = []  # the signal waiting to be raised
_alarm: list[Any] = []  # SIGALRM's handler before the retries


def _importing(frame: FrameType | None) -> bool:
    while frame is not None:
        if frame.f_code.co_filename.startswith(_IMPORT_FRAMES):
            return True
        frame = frame.f_back
    return False


def _raise(signum: int) -> None:
    raise Terminated if signum == signal.SIGTERM else KeyboardInterrupt


def _on_signal(signum: int, frame: FrameType | None) -> None:
    # The first signal stops the run; those that follow (a user pressing
    # Ctrl-C again and again) must not cut the tidying or the last line short.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    if _importing(frame):
        _defer(signum)
        return
    _raise(signum)


def _defer(signum: int) -> None:
    """Raise signum once no import is under way, RETRY seconds from now at
    the earliest."""
    _pending.append(signum)
    _alarm.append(signal.signal(signal.SIGALRM, _retry))
    signal.setitimer(signal.ITIMER_REAL, RETRY, RETRY)


def _unraisable(hook: Any) -> Any:
    """sys.unraisablehook that takes back a signal's exception, else calls hook."""

    def taken_back(unraisable: Any) -> None:
        exc = unraisable.exc_value
        if isinstance(exc, KeyboardInterrupt) and not _pending:
            _defer(getattr(exc, "signum", signal.SIGINT))
            return
        hook(unraisable)

    return taken_back


def _retry(signum: int, frame: FrameType | None) -> None:
    if not _importing(frame):
        _raise_pending()


def _raise_pending() -> None:
    """Raise the signal that came during an import, if one did."""
    if _pending:
        signal.setitimer(signal.ITIMER_REAL, 0.0)
        signal.signal(signal.SIGALRM, _alarm.pop())
        _raise(_pending.pop())


@contextmanager
def sigterm_raises() -> Iterator[None]:
    """SIGTERM raises Terminated and Ctrl-C KeyboardInterrupt for the
    duration, once: after the first, both are ignored until the process
    ends.  One that comes while a module is imported is raised once the
    import is over, and one raised where Python ignores exceptions (a
    weakref callback, a __del__) is raised again a moment later; at the
    latest as the block ends."""
    try:
        previous = {signum: signal.signal(signum, _on_signal) for signum in (signal.SIGINT, signal.SIGTERM)}
    except ValueError:  # not the main thread: signals go elsewhere anyway
        yield
        return
    hook = sys.unraisablehook
    sys.unraisablehook = _unraisable(hook)
    try:
        yield
    finally:
        sys.unraisablehook = hook
        if _pending:
            _raise_pending()  # over whatever the interrupted import raised
        if signal.getsignal(signal.SIGINT) is _on_signal:  # no signal came
            for signum, handler in previous.items():
                signal.signal(signum, handler)


def settled() -> None:
    """The run's outcome is settled (its outputs go into place now): from here
    to the end of the process Ctrl-C and SIGTERM are ignored, so that one
    that comes late neither cuts the renaming short nor turns a finished
    run into an interrupted one (or a traceback as the process exits).
    A signal that came during an import just before is raised now."""
    _raise_pending()
    try:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    except ValueError:  # not the main thread: signals go elsewhere anyway
        pass


def stopped(exc: KeyboardInterrupt) -> tuple[str, int]:
    """How a run stopped by a signal is reported: (word, exit status 130 or 143)."""
    signum = getattr(exc, "signum", signal.SIGINT)
    return ("terminated" if signum == signal.SIGTERM else "interrupted"), 128 + signum
