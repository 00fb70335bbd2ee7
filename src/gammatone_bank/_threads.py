"""The threads that filter groups of a bank's channels at once.

The engine releases the interpreter lock while it filters, so groups of
channels run in parallel on helper threads kept waiting between calls.
"""

import os
import queue
import signal
import threading
from collections.abc import Callable

# Below this many lane-samples a call filters in the calling thread only:
# starting threads would cost more than they save.
THREAD_MIN = 1 << 16

# Lane-samples a thread takes at a time, at least (a few tenths of a
# millisecond of filtering), so that a batch of many short signals is handed
# out in a few hundred pieces rather than one per group of lanes; and each
# thread gets this many pieces, at least, to even out the load.
TASK_MIN = 1 << 17
TASKS_PER_THREAD = 4


def useful(work: int, threads: int) -> int:
    """The threads worth starting for `work` lane-samples: 1 below THREAD_MIN, else `threads`."""
    return 1 if work < THREAD_MIN else threads


def _task_size(work: int, groups: int, threads: int) -> int:
    """The lane groups a thread takes at a time, for `work` lane-samples per group."""
    return max(1, min(-(-TASK_MIN // work), groups // (TASKS_PER_THREAD * threads)))


# Signals held off while a helper thread starts.  Thread.start() waits on a
# threading.Event, whose Python-level bookkeeping a KeyboardInterrupt raised
# in the middle of it leaves broken ("release unlocked lock"); and a helper
# started with them blocked keeps them blocked, so that they always reach
# the main thread.
_HELD = {signal.SIGINT, signal.SIGTERM, signal.SIGALRM}


def _start(thread: threading.Thread) -> None:
    """thread.start(), with Ctrl-C and SIGTERM arriving only once it returns."""
    if not hasattr(signal, "pthread_sigmask"):
        thread.start()
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, _HELD)
    try:
        thread.start()
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


class _Helpers:
    """Threads kept waiting for work, so that a call does not pay for
    starting and joining threads: with a 1 s signal the whole bank takes
    about a millisecond, of which a thread's start and join would be a
    large share.  Each helper takes callables from its own queue; the pool
    grows to the most helpers any call has asked for.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._queues: list[queue.SimpleQueue[Callable[[], None]]] = []

    def _serve(self, jobs: "queue.SimpleQueue[Callable[[], None]]") -> None:
        while True:
            jobs.get()()

    def start(self, work: Callable[[], None], count: int) -> None:
        """Run work() on `count` helpers."""
        with self._lock:
            while len(self._queues) < count:
                jobs: queue.SimpleQueue[Callable[[], None]] = queue.SimpleQueue()
                name = f"gammatone_bank-{len(self._queues) + 1}"
                _start(threading.Thread(target=self._serve, args=(jobs,), name=name, daemon=True))
                self._queues.append(jobs)
            for jobs in self._queues[:count]:
                jobs.put(work)

    def forget(self) -> None:
        """In a forked child the helper threads are gone: start afresh."""
        self._lock = threading.Lock()
        self._queues = []


_helpers = _Helpers()
os.register_at_fork(after_in_child=_helpers.forget)


def _run(task: Callable[[int], None], count: int, threads: int) -> None:
    """task(0) .. task(count - 1) on up to `threads` threads, the caller's included.

    Tasks are handed out one at a time from a shared iterator, so a thread
    slowed down by other work on the machine simply takes fewer of them.  The
    calling thread works too, and the others are helpers kept waiting
    between calls.  The first exception a task raises stops every thread
    after its current task and is raised here, once every helper is done.
    """
    threads = min(threads, count)
    if threads == 1:
        for i in range(count):
            task(i)
        return
    rows = iter(range(count))
    lock = threading.Lock()
    errors: list[BaseException] = []
    finished: queue.SimpleQueue[None] = queue.SimpleQueue()

    def work() -> None:
        while not errors:
            with lock:
                i = next(rows, None)
            if i is None:
                return
            try:
                task(i)
            except BaseException as exc:
                errors.append(exc)

    def helper() -> None:
        try:
            work()
        finally:
            finished.put(None)

    _helpers.start(helper, threads - 1)
    try:
        work()
    finally:
        for _ in range(threads - 1):
            finished.get()
    if errors:
        raise errors[0]
