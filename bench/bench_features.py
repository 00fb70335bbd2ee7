"""Time the auditory features against the filterbank they sit on and against peers.

Seeded white noise, 10 s at 16 kHz, through 64 channels spaced by
erb_space(50, 7900, 64), our calls on 2 threads.  Each ratio is taken in one
run from pairs timed alternately (A, B, A, B, ...), the best of each kept, so
that load from elsewhere on a shared machine falls on both alike:

- gfcc with deltas (39 rows) against spafe.features.gfcc.gfcc (an FFT
  approximation: 64 gammatone-shaped weightings of 512-point power spectra,
  no deltas) as called, which makes its gammatone filter banks each time,
  and with the banks made once before timing; and against
  the time-domain gtgram of the gammatone package (25 ms windows, 10 ms hop,
  64 channels from 50 Hz);
- ihc_envelope (both presets) against filterbank with bm only;
- ratemap against filterbank with env.

OpenBLAS's idle threads busy-wait for a while after each call (about
0.1 s by default), so in runs that alternate, spafe's matrix products left
two spinning threads on the 2 cores through our next call, which then ran
on one core at half speed; the script starts them sleeping at once instead
(OPENBLAS_THREAD_TIMEOUT=4, unless already set).  spafe's own time does not
change with it.

Usage: python bench/bench_features.py [--runs N]
"""

import os

os.environ.setdefault("OPENBLAS_THREAD_TIMEOUT", "4")  # before NumPy loads OpenBLAS

import argparse  # noqa: E402
import platform  # noqa: E402
import time  # noqa: E402
from collections.abc import Callable  # noqa: E402

import numpy as np  # noqa: E402

from gammatone_bank import erb_space, filterbank, gfcc, ihc_envelope, ratemap  # noqa: E402

FS = 16000
SECONDS = 10.0
CHANNELS = 64
LOW, HIGH = 50.0, 7900.0
THREADS = 2


def paired(a: Callable[[], object], b: Callable[[], object], runs: int) -> tuple[tuple[float, float], ...]:
    """Best (wall, CPU) seconds of a and of b over `runs` alternate calls each, after a warm-up.

    CPU seconds are the process's, all threads together: on a machine that
    other work keeps busy they tell the work done, which the wall-clock
    times no longer do.
    """
    calls = (a, b)
    for call in calls:
        call()
    best = [[float("inf"), float("inf")] for _ in calls]
    for _ in range(runs):
        for i, call in enumerate(calls):
            wall, cpu = time.perf_counter(), time.process_time()
            call()
            best[i][0] = min(best[i][0], time.perf_counter() - wall)
            best[i][1] = min(best[i][1], time.process_time() - cpu)
    return tuple((w, c) for w, c in best)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=15, help="alternate runs per pair, best kept (default 15)")
    args = parser.parse_args()

    x = np.random.default_rng(20261208).standard_normal(round(SECONDS * FS))
    cfs = erb_space(LOW, HIGH, CHANNELS)
    print(f"python {platform.python_version()}, numpy {np.__version__}; {SECONDS:g} s at {FS} Hz, "
          f"{CHANNELS} channels, ours on {THREADS} threads, best of {args.runs} alternate runs; "
          f"OPENBLAS_THREAD_TIMEOUT={os.environ['OPENBLAS_THREAD_TIMEOUT']}")

    # (label, ours, theirs, goal: theirs / ours at least, or ours / theirs at most when negative)
    pairs: list[tuple[str, Callable[[], object], Callable[[], object] | None, float]] = []
    ours_gfcc = lambda: gfcc(x, FS, cfs, deltas=2, workers=THREADS)  # noqa: E731
    try:
        from spafe.features.gfcc import gammatone_filter_banks
        from spafe.features.gfcc import gfcc as spafe_gfcc

        banks = gammatone_filter_banks(nfilts=CHANNELS, nfft=512, fs=FS, low_freq=LOW, high_freq=HIGH)[0]
        pairs.append(("spafe gfcc / ours gfcc+deltas", ours_gfcc,
                      lambda: spafe_gfcc(x, fs=FS, num_ceps=13, nfilts=CHANNELS, low_freq=LOW, high_freq=HIGH),
                      2.0))
        pairs.append(("spafe gfcc, banks made before / ours", ours_gfcc,
                      lambda: spafe_gfcc(x, fs=FS, num_ceps=13, nfilts=CHANNELS, low_freq=LOW, high_freq=HIGH,
                                         fbanks=banks), 2.0))
    except ImportError:
        pairs.append(("spafe gfcc / ours gfcc+deltas (spafe not installed)", ours_gfcc, None, 2.0))
    try:
        from gammatone.gtgram import gtgram

        pairs.append(("gammatone gtgram / ours gfcc+deltas", ours_gfcc,
                      lambda: gtgram(x, FS, 0.025, 0.010, CHANNELS, LOW), 20.0))
    except ImportError:
        pairs.append(("gammatone gtgram / ours (gammatone not installed)", ours_gfcc, None, 20.0))
    bm = lambda: filterbank(x, FS, cfs, workers=THREADS)  # noqa: E731
    for model in ("dau1996", "breebaart2001"):
        pairs.append((f"ihc_envelope {model} / filterbank bm",
                      lambda m=model: ihc_envelope(x, FS, cfs, model=m, workers=THREADS), bm, -1.5))
    pairs.append(("ratemap / filterbank env", lambda: ratemap(x, FS, cfs, workers=THREADS),
                  lambda: filterbank(x, FS, cfs, env=True, workers=THREADS), -1.3))

    print(f"\n{'pair':<46}{'ours s':>8}{'other s':>8}{'wall':>8}{'CPU':>8}   goal (on the wall-clock ratio)")
    for label, ours, theirs, goal in pairs:
        if theirs is None:
            print(f"{label:<46}   not measured")
            continue
        (w_ours, c_ours), (w_theirs, c_theirs) = paired(ours, theirs, args.runs)
        wall, cpu = (w_theirs / w_ours, c_theirs / c_ours) if goal > 0 else (w_ours / w_theirs, c_ours / c_theirs)
        met = wall >= goal if goal > 0 else wall <= -goal
        verdict = f"{'>=' if goal > 0 else '<='} {abs(goal):g}x " + ("met" if met else "MISSED")
        print(f"{label:<46}{w_ours:8.4f}{w_theirs:8.4f}{wall:7.2f}x{cpu:7.2f}x   {verdict}")
    print("wall: best wall-clock times; CPU: best process CPU times (all threads), steadier on a busy machine")


if __name__ == "__main__":
    main()
