"""gammatone_c.gammatone_c from many threads at once.

The method releases the interpreter lock while it filters, so calls from
different threads really overlap.  Each thread works on buffers of its own
and repeats a mixed list of calls (five to eight arguments, short and long
signals, in place, inputs needing a copy, calls that fail) for a few seconds
(GAMMATONE_THREAD_SECONDS, 2 by default); after every call its whole
buffer must be bit for bit what the same call left when made alone, before
any thread started.  Any state shared between calls would mix one thread's
samples into another's results.

Another counts the loops a Python thread makes while a call in another
thread is visibly half done: the call must not hold the interpreter lock.

A last test prints how much wall time two threads on two long channels
take against one thread doing both, as information only.
"""

import os
import threading
import time

import numpy as np

import gammatone_c
from helpers import bits

THREADS = 8
SECONDS = float(os.environ.get("GAMMATONE_THREAD_SECONDS", 2.0))


class Job:
    """One call on an arena of its own: the arena is reset before each call
    and compared with the expected arena after it."""

    def __init__(self, rng, n, nargs, fs, cf, x_kind, fail=False):
        self.arena = rng.standard_normal(6 * n + 8)
        self.pristine = self.arena.copy()
        a = self.arena
        outs = [a[(k + 1) * n:(k + 2) * n] for k in range(nargs - 4)]
        if x_kind == "in place":
            x = outs[0]
        elif x_kind == "overlapping":        # read from a copy
            x = a[n + 3:2 * n + 3]
        elif x_kind == "strided":
            x = a[5 * n:5 * n + 2 * (n // 2):2]
            n = x.size
        elif x_kind == "list":
            x = a[:n].tolist()
        else:
            x = a[:n]
        if fail:
            outs[-1] = outs[-1][:-1]           # one element short
        self.args = (x, n, fs, cf, *outs)
        self.fail = fail
        self.expected = self.run()
        if fail:
            assert isinstance(self.expected, ValueError), "a call with a short output must fail"
        else:
            assert not np.array_equal(self.arena, self.pristine), "the call wrote nothing"

    def run(self):
        """Reset the arena, call, and return the arena (or the exception)."""
        self.arena[:] = self.pristine
        try:
            gammatone_c.gammatone_c(*self.args)
        except ValueError as exc:
            return exc
        return self.arena.copy()

    def matches(self, result):
        if self.fail:
            return type(result) is ValueError and str(result) == str(self.expected)
        return isinstance(result, np.ndarray) and np.array_equal(
            result.view(np.int64), self.expected.view(np.int64))


def jobs_for_thread(seed):
    rng = np.random.default_rng(seed)
    return [
        Job(rng, 50_000, 8, 16000, 1000.0, "plain"),
        Job(rng, 20_000, 5, 44100, 440.0, "in place"),
        Job(rng, 7, 6, 8000, 300.0, "list"),
        Job(rng, 30_000, 7, 22050, 2000.0 + seed, "overlapping"),
        Job(rng, 1_000, 8, 16000, 50.0, "strided"),
        Job(rng, 300, 8, 16000, 1000.0, "plain", fail=True),
        Job(rng, 257, 6, 16000, 4000.0, "plain"),
    ]


def test_concurrent_calls_equal_sequential_calls():
    per_thread = [jobs_for_thread(1000 + t) for t in range(THREADS)]
    start = threading.Barrier(THREADS)
    deadline = []
    mismatches = []
    rounds = [0] * THREADS

    def work(t):
        start.wait()
        while time.monotonic() < deadline[0]:
            for k, job in enumerate(per_thread[t]):
                if not job.matches(job.run()):
                    mismatches.append((t, k))
            rounds[t] += 1

    deadline.append(time.monotonic() + SECONDS)
    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert mismatches == [], "(thread, job) pairs whose results differed from a lone call"
    assert all(r > 0 for r in rounds), rounds


def test_python_runs_while_a_call_filters():
    """Counts the loops this thread makes while another thread's call is
    visibly half done: its first bm sample written, the last instf sample
    (the call's final write) not yet.  With the interpreter lock held for
    the whole call, Python code sees the buffers only before or after it,
    so the count would be exactly 0."""
    n = 4_000_000
    x = np.ones(n)
    bm, env, instp, instf = (np.full(n, np.nan) for _ in range(4))
    finished = threading.Event()
    errors = []

    def call():
        try:
            gammatone_c.gammatone_c(x, n, 16000, 1000.0, bm, env, instp, instf)
        except BaseException as exc:
            errors.append(exc)
        finally:
            finished.set()

    worker = threading.Thread(target=call)
    during = 0
    deadline = time.monotonic() + 120
    worker.start()
    try:
        while not finished.is_set() and time.monotonic() < deadline:
            if not np.isnan(bm[0]) and np.isnan(instf[-1]):
                during += 1
    finally:
        worker.join(timeout=60)
    assert errors == [] and instf[-1] == 1000.0
    assert during > 100, during


def test_two_threads_on_two_channels(capsys):
    """Prints the wall time of two channels filtered by two threads, over
    twice the time of one channel; near 0.5 means the calls ran in parallel,
    near 1 that they ran one after the other.  Only the results are checked:
    timings on a shared machine are not a pass criterion."""
    n = 1_000_000
    rng = np.random.default_rng(7)
    xs = [rng.standard_normal(n) for _ in range(2)]
    outs = [[np.empty(n) for _ in range(4)] for _ in range(2)]

    def one(k):
        gammatone_c.gammatone_c(xs[k], n, 16000, 1000.0, *outs[k])

    one(0)
    reference = [o.copy() for o in outs[0]]
    single = min(_timed(lambda: one(0)) for _ in range(3))

    def both():
        threads = [threading.Thread(target=one, args=(k,)) for k in range(2)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()

    paired = min(_timed(both) for _ in range(3))
    with capsys.disabled():
        print(f"\ntwo channels on two threads: {paired:.4f} s, one channel: {single:.4f} s, "
              f"ratio to twice one: {paired / (2 * single):.2f}")
    for got, want in zip(outs[0], reference):
        assert np.array_equal(bits(got), bits(want))


def _timed(f):
    t0 = time.perf_counter()
    f()
    return time.perf_counter() - t0
