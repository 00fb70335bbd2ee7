"""Leak and reference soak of gammatone_c.gammatone_c.

Each argument form, the successful ones with five to eight arguments and
every error path, is called many times over (10**5 by default; the
environment variable GAMMATONE_SOAK_CALLS changes that, and the sanitizer
run sets it lower because every call is slower there).  Afterwards:

- the reference count of every argument is what it was, exactly: one
  reference kept or dropped per call shows as a difference of the call count;
- the resident set size has grown by less than RSS_SLACK (2 MiB) over all
  the calls, so a leak of 21 bytes per call or more fails at 10**5 calls
  (a leaked array or exception is over 100 bytes);
- memory traced by tracemalloc, over a tenth of the calls (tracing is slow),
  has grown by less than TRACED_SLACK (4 KiB): at 10**4 calls that is under
  half a byte per call, while any object kept per call costs 16 bytes or
  more.  NumPy reports its data buffers to tracemalloc too.

Under AddressSanitizer the allocator holds freed blocks in a quarantine to
catch use after free, so the resident size grows by design and is not
checked there; the counts and tracemalloc are.
"""

import ctypes
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import gammatone_c
from helpers import ArrayLike

CALLS = int(os.environ.get("GAMMATONE_SOAK_CALLS", 100_000))
WARMUP = 1_000
RSS_SLACK = 2 * 1024 * 1024
TRACED_SLACK = 4 * 1024

N, FS, CF = 4, 16000, 1000.0


def _under_asan():
    return hasattr(ctypes.CDLL(None), "__asan_init")


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Refusing:
    """An array-like whose conversion fails."""

    def __array__(self, dtype=None, copy=None):
        raise ValueError("no array here")


def forms():
    """(name, args, kwargs, expected exception or None); fresh objects each
    time, so that no form sees another's references."""
    x = np.linspace(-1.0, 1.0, N)
    bm, env, instp, instf = (np.zeros(N) for _ in range(4))
    outs = (bm, env, instp, instf)
    shared = np.zeros(3 * N)
    misaligned = np.zeros(8 * N + 1, np.uint8)[1:].view(np.float64)
    read_only = np.zeros(N)
    read_only.flags.writeable = False
    return [
        # Calls that succeed.
        ("5 args", (x, N, FS, CF, bm), {}, None),
        ("6 args", (x, N, FS, CF, bm, env), {}, None),
        ("7 args", (x, N, FS, CF, bm, env, instp), {}, None),
        ("8 args", (x, N, FS, CF, *outs), {}, None),
        ("None for optional outputs", (x, N, FS, CF, bm, None, None, instf), {}, None),
        ("no samples", (x, 0, FS, CF, *outs), {}, None),
        ("in place", (bm, N, FS, CF, bm, env, instp, instf), {}, None),
        ("x a list", ([0.5, -1, 2, 0], N, FS, CF, *outs), {}, None),
        ("x strided", (np.ones(2 * N)[::2], N, FS, CF, *outs), {}, None),
        ("x float32", (np.ones(N, np.float32), N, FS, CF, *outs), {}, None),
        ("x via __array__", (ArrayLike(x), N, FS, CF, *outs), {}, None),
        ("x overlaps an output", (shared[1:N + 1], N, FS, CF, shared[:N], shared[N:2 * N]),
         {}, None),
        # Every way to fail.
        ("4 args", (x, N, FS, CF), {}, TypeError),
        ("9 args", (x, N, FS, CF, *outs, np.zeros(N)), {}, TypeError),
        ("keyword", (x, N, FS, CF, bm), {"env": env}, TypeError),
        ("nsamples 2**31", (x, 2**31, FS, CF, bm), {}, OverflowError),
        ("nsamples a str", (x, "4", FS, CF, bm), {}, TypeError),
        ("nsamples negative", (x, -1, FS, CF, bm), {}, ValueError),
        ("fs zero", (x, N, 0, CF, bm), {}, ValueError),
        ("fs a float", (x, N, 16000.0, CF, bm), {}, TypeError),
        ("cf nan", (x, N, FS, float("nan"), bm), {}, ValueError),
        ("cf a str", (x, N, FS, "1000", bm), {}, TypeError),
        ("cf too large an int", (x, N, FS, 10**400, bm), {}, OverflowError),
        ("bm None", (x, N, FS, CF, None), {}, TypeError),
        ("bm a list", (x, N, FS, CF, [0.0] * N), {}, TypeError),
        ("bm float32", (x, N, FS, CF, np.zeros(N, np.float32)), {}, TypeError),
        ("bm strided", (x, N, FS, CF, np.zeros(2 * N)[::2]), {}, ValueError),
        ("bm misaligned", (x, N, FS, CF, misaligned), {}, ValueError),
        ("bm read-only", (x, N, FS, CF, read_only), {}, ValueError),
        ("bm short", (x, N, FS, CF, np.zeros(N - 1)), {}, ValueError),
        ("instf wrong dtype", (x, N, FS, CF, bm, env, instp, np.zeros(N, int)), {}, TypeError),
        ("outputs overlap", (x, N, FS, CF, shared[:N], shared[N - 1:2 * N]), {}, ValueError),
        ("x None", (None, N, FS, CF, bm), {}, TypeError),
        ("x complex", (np.ones(N, complex), N, FS, CF, bm), {}, TypeError),
        ("x a word", ("abc", N, FS, CF, bm), {}, ValueError),
        ("x refuses conversion", (Refusing(), N, FS, CF, bm), {}, ValueError),
        ("x an int too large", ([10**400] * N, N, FS, CF, bm), {}, OverflowError),
        ("x short array", (np.ones(N - 1), N, FS, CF, *outs), {}, ValueError),
        ("x short list", ([1.0] * (N - 1), N, FS, CF, *outs), {}, ValueError),
    ]


FORM_NAMES = [name for name, *_ in forms()]


def repeat(calls, args, kwargs, expected):
    f = gammatone_c.gammatone_c
    catch = expected or ()
    for _ in range(calls):
        try:
            f(*args, **kwargs)
        except catch:
            pass


@pytest.mark.parametrize("name", FORM_NAMES)
def test_repeated_calls_keep_memory_and_references_flat(name):
    _, args, kwargs, expected = next(f for f in forms() if f[0] == name)
    objects = list(args) + list(kwargs.values())

    # The form does what it says once, so the loop runs the intended path.
    if expected is None:
        assert gammatone_c.gammatone_c(*args, **kwargs) is None
    else:
        with pytest.raises(expected):
            gammatone_c.gammatone_c(*args, **kwargs)

    repeat(WARMUP, args, kwargs, expected)
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    rss = _rss()
    repeat(CALLS, args, kwargs, expected)
    gc.collect()
    rss_growth = _rss() - rss
    assert [sys.getrefcount(o) for o in objects] == refs

    tracemalloc.start()
    try:
        repeat(WARMUP // 10, args, kwargs, expected)
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0]
        repeat(CALLS // 10, args, kwargs, expected)
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    assert traced_growth < TRACED_SLACK, f"{traced_growth} bytes kept over {CALLS // 10} calls"
    if not _under_asan():
        assert rss_growth < RSS_SLACK, f"resident set grew {rss_growth} bytes in {CALLS} calls"
