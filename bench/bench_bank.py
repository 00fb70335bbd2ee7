"""Time the 64-channel filterbank against SciPy and pyfar filterbanks.

Seeded white noise at 16 kHz, 1 s and 10 s long, through 64 channels spaced
by erb_space(50, 7900, 64): 7900 Hz rather than 8000 Hz at the top, because
8000 Hz is the Nyquist frequency at 16 kHz and neither our filterbank nor
scipy.signal.gammatone accepts a centre frequency there.  Compared, in one run:

- ours, gammatone_bank.filterbank, with one thread and with all usable CPUs
  (the filtered signal only, and all four outputs);
- a Python loop of scipy.signal.sosfilt over the same centre frequencies,
  with scipy.signal.gammatone(cf, "iir", fs=fs) designs turned into
  second-order sections by tf2sos; the designs are made before timing;
- pyfar.dsp.filter.GammatoneBands (a reconstructing filterbank of another
  design, complex output) over 50 to 7900 Hz at two bands per ERB, which
  gives a similar channel count (printed); the filterbank object and the
  input Signal are made before timing.

Each figure is the best of at least --runs runs, and of as many more as fit
in --seconds, timed with time.perf_counter.  The machine may be shared: the
"load" column says how many CPUs other processes kept busy during each
figure, and the ratios are to be read between figures of one quiet run.

Usage: python bench/bench_bank.py [--runs N] [--seconds S]
"""

import argparse
import math
import os
import platform
import time
from collections.abc import Callable

import numpy as np
import scipy
import scipy.signal

from gammatone_bank import erb_space, filterbank

FS = 16000
CHANNELS = 64
LOW, HIGH = 50.0, 7900.0
DURATIONS = (1.0, 10.0)
GOALS = {"threads": 1.8, "scipy": 3.0}


def cpu_seconds_elsewhere() -> float:
    """CPU seconds the whole machine has been busy, less this process's own.

    Read before and after a measurement, the difference tells how much of the
    machine other processes took meanwhile (Linux /proc/stat; NaN elsewhere).
    """
    try:
        with open("/proc/stat") as f:
            ticks = [int(v) for v in f.readline().split()[1:]]
    except OSError:
        return math.nan
    busy = sum(ticks) - ticks[3] - ticks[4]  # all but idle and iowait
    own = os.times()
    return busy / os.sysconf("SC_CLK_TCK") - own.user - own.system


def best_time(fn: Callable[[], object], runs: int, seconds: float) -> tuple[float, float]:
    """(best time of at least `runs` runs and `seconds` of running, load).

    load: CPUs that other processes kept busy meanwhile, on average.
    """
    best = float("inf")
    elsewhere, start_all = cpu_seconds_elsewhere(), time.perf_counter()
    done = 0
    while done < runs or time.perf_counter() - start_all < seconds:
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
        done += 1
    load = (cpu_seconds_elsewhere() - elsewhere) / (time.perf_counter() - start_all)
    return best, max(load, 0.0)


def scipy_designs(cfs):
    """One set of second-order sections per centre frequency."""
    designs = []
    for cf in cfs:
        b, a = scipy.signal.gammatone(cf, "iir", fs=FS)
        designs.append(scipy.signal.tf2sos(b, a))
    return designs


def scipy_loop(designs, x):
    return [scipy.signal.sosfilt(sos, x) for sos in designs]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5, help="least runs per figure, best kept (default 5)")
    parser.add_argument("--seconds", type=float, default=0.5,
                        help="least time spent on each figure (default 0.5)")
    args = parser.parse_args()

    try:
        import pyfar
    except ImportError:
        pyfar = None

    cpus = os.process_cpu_count() or 1
    cfs = erb_space(LOW, HIGH, CHANNELS)
    designs = scipy_designs(cfs)
    gtb = None
    if pyfar is not None:
        gtb = pyfar.dsp.filter.GammatoneBands([LOW, HIGH], resolution=0.5, sampling_rate=FS)

    print(f"python {platform.python_version()}, numpy {np.__version__}, scipy {scipy.__version__}, "
          f"pyfar {pyfar.__version__ if pyfar else 'not installed (pip install pyfar)'}")
    print(f"{CHANNELS} channels erb_space({LOW:g}, {HIGH:g}, {CHANNELS}), fs {FS} Hz, seeded noise, "
          f"{cpus} usable CPUs, best of at least {args.runs} runs and {args.seconds:g} s")

    # Each row: (channels, prepare), where prepare(x) does the set-up that is
    # not timed and returns the call that is.
    rows: dict[str, tuple[int, Callable[[np.ndarray], Callable[[], object]]]] = {
        "ours, 1 thread": (CHANNELS, lambda x: lambda: filterbank(x, FS, cfs, workers=1)),
        f"ours, {cpus} threads": (CHANNELS, lambda x: lambda: filterbank(x, FS, cfs, workers=cpus)),
        f"ours, {cpus} threads, 4 outputs": (
            CHANNELS,
            lambda x: lambda: filterbank(x, FS, cfs, env=True, instp=True, instf=True, workers=cpus),
        ),
        "scipy sosfilt loop": (CHANNELS, lambda x: lambda: scipy_loop(designs, x)),
    }
    if gtb is not None:

        def pyfar_call(x):
            signal = pyfar.Signal(x, FS)
            return lambda: gtb.process(signal)

        rows["pyfar GammatoneBands"] = (gtb.n_bands, pyfar_call)

    rng = np.random.default_rng(20261208)
    seconds: dict[str, dict[float, float]] = {name: {} for name in rows}
    load: dict[str, dict[float, float]] = {name: {} for name in rows}
    for d in DURATIONS:
        x = rng.standard_normal(round(d * FS))
        for name, (_, prepare) in rows.items():
            call = prepare(x)
            call()  # warm-up: first touch of memory, thread start-up
            seconds[name][d], load[name][d] = best_time(call, args.runs, args.seconds)

    head = "".join(f"{f'{d:g} s: seconds':>16}{'ns/ch-sample':>14}{'load':>6}" for d in DURATIONS)
    print(f"\n{'method':<34}{'channels':>9}{head}")
    for name, (channels, _) in rows.items():
        cells = "".join(
            f"{seconds[name][d]:16.4f}{seconds[name][d] / (channels * d * FS) * 1e9:14.2f}"
            f"{load[name][d]:6.2f}"
            for d in DURATIONS
        )
        print(f"{name:<34}{channels:>9}{cells}")
    worst = max(v for per in load.values() for v in per.values())
    print(f"load: CPUs other processes kept busy while a row was timed (worst {worst:.2f}); "
          "above about 0.1 the threaded figures are not to be trusted")

    ours_1, ours_all = seconds["ours, 1 thread"], seconds[f"ours, {cpus} threads"]
    ratios = [
        (f"threads speed-up (1 thread / {cpus} threads)", ours_1, ours_all, GOALS["threads"]),
        (f"scipy loop / ours {cpus} threads", seconds["scipy sosfilt loop"], ours_all, GOALS["scipy"]),
    ]
    if gtb is not None:
        ratios.append((f"pyfar / ours {cpus} threads", seconds["pyfar GammatoneBands"], ours_all, None))
    print(f"\n{'ratio':<40}" + "".join(f"{f'{d:g} s':>9}" for d in DURATIONS) + "   goal")
    for label, num, den, goal in ratios:
        values = [num[d] / den[d] for d in DURATIONS]
        cells = "".join(f"{v:8.2f}x" for v in values)
        verdict = "" if goal is None else (
            f">= {goal:g}x " + ("met" if min(values) >= goal else "MISSED"))
        print(f"{label:<40}{cells}   {verdict}")


if __name__ == "__main__":
    main()
