"""Many signals at once: a batch against a loop of 1-D calls and one long signal.

    python bench/bench_signals.py [--rounds 15] [--clips 256] [--seconds 0.25] [--channels 32] [--workers W]

Seeded noise at 16 kHz through erb_space(50, 7900, CHANNELS), at the default
workers (or W), in one run:

- CLIPS clips of SECONDS each as one (clips, samples) batch with axis=-1,
  against a Python loop of 1-D calls that keeps every result (as a user's
  list would), and against one signal of the same total length;
- the same three for the cochleagram, whose results are small, so that the
  figures show the filtering and the per-call costs without the writing of
  channels x samples outputs;
- a 30 s (samples, 2) stereo array with axis=0 against its mono mix (long
  enough that neither call fits between the time slices of a busy
  machine, which would favour the shorter one).

The variants take turns in each of the rounds, so that load from elsewhere
on the machine falls on all of them alike; each figure is the best call.
The ratios between figures of this one run are what to read, against the
goals in the last column; "load" is how many CPUs other processes kept busy,
on average, over the whole run.  Besides the wall time, each call's CPU time
(this process's, all its threads) is shown: on a busy machine the wall time
waits for CPUs, and the CPU time still says how much work a call did.
"""

import argparse
import math
import os
import platform
import time
from collections.abc import Callable

import numpy as np

from gammatone_bank import _engine, cochleagram, erb_space, filterbank

FS = 16000


def busy_elsewhere() -> float:
    """CPU seconds the machine has been busy, less this process's own (Linux
    /proc/stat; NaN elsewhere)."""
    try:
        with open("/proc/stat") as f:
            ticks = [int(v) for v in f.readline().split()[1:]]
    except OSError:
        return math.nan
    return (sum(ticks) - ticks[3] - ticks[4]) / os.sysconf("SC_CLK_TCK") - sum(os.times()[:2])


def best_times(fns: dict[str, Callable[[], object]], rounds: int) -> dict[str, tuple[float, float]]:
    """{name: (best wall seconds, best CPU seconds) of one call} over
    `rounds` interleaved rounds.

    A call's result is dropped before the next call, so that every call
    allocates its outputs afresh, as a user's call does.
    """
    wall = dict.fromkeys(fns, math.inf)
    cpu = dict.fromkeys(fns, math.inf)
    for fn in fns.values():
        fn()  # warm-up: imports, helper threads
    for _ in range(rounds):
        for name, fn in fns.items():
            start, used = time.perf_counter(), time.process_time()
            result = fn()
            cpu[name] = min(cpu[name], time.process_time() - used)
            wall[name] = min(wall[name], time.perf_counter() - start)
            del result
    return {name: (wall[name], cpu[name]) for name in fns}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=15, help="interleaved rounds, best kept (default 15)")
    ap.add_argument("--clips", type=int, default=256, help="signals in the batch (default 256)")
    ap.add_argument("--seconds", type=float, default=0.25, help="length of each clip (default 0.25)")
    ap.add_argument("--channels", type=int, default=32, help="channels (default 32)")
    ap.add_argument("--stereo-seconds", type=float, default=30.0, help="length of the stereo array (default 30)")
    ap.add_argument("--workers", type=int, default=None, help="threads per call (default: the usable CPUs)")
    args = ap.parse_args()
    w = args.workers

    rng = np.random.default_rng(20261208)
    cfs = erb_space(50.0, 7900.0, args.channels)
    clips = rng.standard_normal((args.clips, round(args.seconds * FS)))
    whole = clips.reshape(-1)
    stereo = rng.standard_normal((round(args.stereo_seconds * FS), 2))
    mono = stereo.mean(axis=1)

    fns: dict[str, Callable[[], object]] = {
        "filterbank, loop of 1-D calls": lambda: [filterbank(x, FS, cfs, workers=w) for x in clips],
        "filterbank, one batch (axis=-1)": lambda: filterbank(clips, FS, cfs, axis=-1, workers=w),
        "filterbank, one long signal": lambda: filterbank(whole, FS, cfs, workers=w),
        "cochleagram, loop of 1-D calls": lambda: [cochleagram(x, FS, cfs, workers=w) for x in clips],
        "cochleagram, one batch (axis=-1)": lambda: cochleagram(clips, FS, cfs, axis=-1, workers=w),
        "cochleagram, one long signal": lambda: cochleagram(whole, FS, cfs, workers=w),
        "filterbank, stereo (n, 2), axis=0": lambda: filterbank(stereo, FS, cfs, axis=0, workers=w),
        "filterbank, its mono mix": lambda: filterbank(mono, FS, cfs, workers=w),
    }

    cpus = os.process_cpu_count() or 1
    print(f"python {platform.python_version()}, numpy {np.__version__}; SIMD target {_engine.simd()}, "
          f"{cpus} usable CPUs, workers={w}")
    print(f"{args.clips} clips of {args.seconds:g} s and {args.stereo_seconds:g} s of stereo at {FS} Hz, "
          f"{args.channels} channels, best call of {args.rounds} interleaved rounds")
    elsewhere, start = busy_elsewhere(), time.perf_counter()
    t = best_times(fns, args.rounds)
    load = max((busy_elsewhere() - elsewhere) / (time.perf_counter() - start), 0.0)

    print(f"\n{'call':<40}{'wall ms':>10}{'CPU ms':>10}")
    for name, (sec, used) in t.items():
        print(f"{name:<40}{1e3 * sec:10.2f}{1e3 * used:10.2f}")
    print(f"load: {load:.2f} CPUs kept busy by other processes, on average")

    print(f"\n{'ratio':<50}{'wall':>7}{'CPU':>7}   goal (wall)")
    for what, a, b, goal, at_least in [
        ("filterbank: loop / batch (batch speed-up)", "loop of 1-D calls", "one batch (axis=-1)", 1.5, True),
        ("filterbank: batch / one long signal", "one batch (axis=-1)", "one long signal", 1.2, False),
        ("cochleagram: loop / batch (batch speed-up)", "loop of 1-D calls", "one batch (axis=-1)", None, True),
        ("cochleagram: batch / one long signal", "one batch (axis=-1)", "one long signal", None, False),
        ("filterbank: stereo / mono mix", "stereo (n, 2), axis=0", "its mono mix", 2.1, False),
    ]:
        kind = what.split(":")[0]
        value, work = (t[f"{kind}, {a}"][i] / t[f"{kind}, {b}"][i] for i in (0, 1))
        mark = "" if goal is None else f"{'>=' if at_least else '<='} {goal:g} " + (
            "ok" if (value >= goal if at_least else value <= goal) else "MISSED")
        print(f"{what:<50}{value:7.2f}{work:7.2f}   {mark}")


if __name__ == "__main__":
    main()
