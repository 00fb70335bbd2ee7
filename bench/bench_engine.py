"""Time the multi-channel engine against the per-row kernel and other banks.

64 channels erb_space(50, 7900, 64) over seeded noise at 16 kHz (1 s by
default).  In each round every function below runs for a short slot of
repeated calls, one function after another, so that all of them see the same
machine; each figure is the best single call over all rounds.  The ratios between figures of this one run are what to
read: the machine is shared, and the "load" column says how many CPUs other
processes kept busy, on average, while a figure's calls ran.

- engine, bm only, one thread, at each SIMD target this CPU has (an Engine
  made with simd=TARGET, preallocated output), side by side, the default
  marked, with the scores of the first-use timing that chose it; against a
  Python loop of gammatone_c.gammatone_c over the rows of a preallocated
  (64, n) array;
- cochleagram() against the route it replaces: that per-row loop into a new
  (64, n) array, then frame levels from a sliding-window sum of the padded
  squares (old_frame_levels below), both on one thread;
- filterbank() (bm only) and cochleagram() with workers=2 against workers=1;
- the SciPy sosfilt loop (gammatone(cf, "iir") -> tf2sos, designed before
  timing) and pyfar's GammatoneBands([50, 7900], resolution=0.5) against
  filterbank() at the default workers and at one thread;
- unless --no-cli: `python -m gammatone_bank FILE --out X.png` on a generated
  one-hour 48 kHz mono 16-bit WAV, with its wall time, real-time factor and
  peak resident memory (the child's ru_maxrss).

With --targets only the SIMD targets are timed (no SciPy or pyfar needed).

Usage: python bench/bench_engine.py [--rounds R] [--slot S] [--duration S] [--no-cli] [--targets]
"""

import argparse
import math
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

import gammatone_c
from gammatone_bank import _engine, cochleagram, erb_space, filterbank
from gammatone_bank._frames import _frame_count, _frame_samples

FS = 16000
CHANNELS = 64
LOW, HIGH = 50.0, 7900.0
CLI_FS, CLI_SECONDS = 48000, 3600


def cpu_seconds_elsewhere() -> float:
    """CPU seconds the machine has been busy, less this process's own and its
    waited-for children's (Linux /proc/stat; NaN elsewhere)."""
    try:
        with open("/proc/stat") as f:
            ticks = [int(v) for v in f.readline().split()[1:]]
    except OSError:
        return math.nan
    own = os.times()
    return (sum(ticks) - ticks[3] - ticks[4]) / os.sysconf("SC_CLK_TCK") - sum(own[:4])


def best_times(fns: dict[str, Callable[[], object]], rounds: int, slot: float) -> dict[str, tuple[float, float]]:
    """{name: (best seconds of one call, load)} over `rounds` interleaved rounds.

    In each round every function is called for at least `slot` seconds, so
    that /proc/stat, which counts in 10 ms ticks, can say what else ran.
    """
    best = {name: math.inf for name in fns}
    busy = dict.fromkeys(fns, 0.0)
    spent = dict.fromkeys(fns, 0.0)
    for fn in fns.values():
        fn()  # warm-up: first touch of memory, thread start-up
    for _ in range(rounds):
        for name, fn in fns.items():
            elsewhere, first = cpu_seconds_elsewhere(), time.perf_counter()
            while (start := time.perf_counter()) - first < slot:
                fn()
                best[name] = min(best[name], time.perf_counter() - start)
            busy[name] += cpu_seconds_elsewhere() - elsewhere
            spent[name] += time.perf_counter() - first
    return {name: (best[name], max(busy[name] / spent[name], 0.0)) for name in fns}


def old_frame_levels(bm: np.ndarray, frame_len: int, hop_len: int) -> np.ndarray:
    """The frame levels as they were computed before the engine: squares
    padded to whole windows, summed over a sliding window view."""
    channels, n = bm.shape
    frames = _frame_count(n, frame_len, hop_len)
    starts = np.arange(frames) * hop_len
    covered = np.minimum(starts + frame_len, n) - starts
    squares = np.zeros((channels, max((frames - 1) * hop_len + frame_len, n)))
    np.square(bm, out=squares[:, :n])
    sums = sliding_window_view(squares, frame_len, axis=1)[:, ::hop_len].sum(axis=-1)
    return 10.0 * np.log10(np.maximum(sums / covered, 1e-12))


def row_loop(x: np.ndarray, cfs: np.ndarray, bm: np.ndarray) -> np.ndarray:
    """The single-channel kernel once per row of bm."""
    n = x.size
    for row, cf in zip(bm, cfs):
        gammatone_c.gammatone_c(x, n, FS, float(cf), row)
    return bm


def write_hour(path: str) -> None:
    """One hour of seeded noise at 48 kHz, 16-bit mono, written a minute at a time."""
    import soundfile

    rng = np.random.default_rng(7)
    with soundfile.SoundFile(path, "w", CLI_FS, 1, "PCM_16") as f:
        for _ in range(CLI_SECONDS // 60):
            f.write(np.clip(0.1 * rng.standard_normal(60 * CLI_FS), -1.0, 1.0))


def cli_run() -> None:
    """Wall time, real-time factor and peak RSS of the command line on one hour."""
    with tempfile.TemporaryDirectory(prefix="bench-cli-") as tmp:
        wav = os.path.join(tmp, "hour.wav")
        start = time.perf_counter()
        write_hour(wav)
        print(f"\ncommand line: {CLI_SECONDS} s of noise, {CLI_FS} Hz mono 16-bit WAV "
              f"({os.path.getsize(wav) / 2**20:.0f} MiB, written in {time.perf_counter() - start:.1f} s)")
        cmd = [sys.executable, "-m", "gammatone_bank", wav, "--out", os.path.join(tmp, "X.png")]
        elsewhere, start = cpu_seconds_elsewhere(), time.perf_counter()
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=4 * CLI_SECONDS, cwd=tmp)
        wall = time.perf_counter() - start
        load = max((cpu_seconds_elsewhere() - elsewhere) / wall, 0.0)
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024  # KiB on Linux
    print(f"  $ python -m gammatone_bank hour.wav --out X.png   (exit status {done.returncode})")
    for line in (done.stdout + done.stderr).strip().splitlines()[-3:]:
        print(f"  | {line}")
    print(f"  wall {wall:.1f} s, real-time factor {CLI_SECONDS / wall:.0f}x, "
          f"peak RSS {peak:.0f} MiB, load {load:.2f}")


def cpu_model() -> str:
    """The CPU's model name (Linux /proc/cpuinfo), else the machine type."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def print_targets(t: dict[str, tuple[float, float]], n: int) -> None:
    """Every SIMD target side by side: its time, its speed against the
    default's, and its score in the first-use timing that chose the default."""
    default = _engine.simd()
    forced = os.environ.get("GAMMATONE_BANK_SIMD")
    how = f"forced by GAMMATONE_BANK_SIMD={forced}" if forced else "the fastest in the first-use timing"
    scores = {} if forced else _engine.timings()
    base = t[f"engine {default}, bm, 1 thread"][0]
    print(f"\nSIMD targets, {CHANNELS} channels, bm, 1 thread; default {default} ({how})")
    print(f"{'target':<10}{'ms':>9}{'ns/ch-sample':>14}{'time / default':>16}{'first-use score':>17}{'load':>6}")
    for target in _engine.targets():
        sec, load = t[f"engine {target}, bm, 1 thread"]
        score = f"{scores[target]:17.3f}" if target in scores else f"{'-':>17}"
        mark = "  <- default" if target == default else ""
        per_sample = 1e9 * sec / (CHANNELS * n)
        print(f"{target:<10}{1e3 * sec:9.3f}{per_sample:14.2f}{sec / base:16.3f}{score}{load:6.2f}{mark}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=20, help="interleaved rounds, best kept (default 20)")
    ap.add_argument("--slot", type=float, default=0.05,
                    help="least seconds each function runs per round (default 0.05)")
    ap.add_argument("--duration", type=float, default=1.0, help="seconds of noise (default 1)")
    ap.add_argument("--no-cli", action="store_true", help="skip the one-hour command-line run")
    ap.add_argument("--targets", action="store_true", help="time the SIMD targets only")
    args = ap.parse_args()

    n = round(args.duration * FS)
    x = np.random.default_rng(20261208).standard_normal(n)
    cfs = erb_space(LOW, HIGH, CHANNELS)
    frame_len, hop_len = _frame_samples(FS, 0.025, 0.010)
    cpus = os.process_cpu_count() or 1
    targets = _engine.targets()

    bm = np.empty((CHANNELS, n))
    engines = {target: _engine.Engine(FS, cfs, simd=target) for target in targets}
    fns: dict[str, Callable[[], object]] = {
        f"engine {e.simd}, bm, 1 thread": (lambda e=e: e.process(x, 0, e.groups, bm=bm))
        for e in engines.values()
    }
    if args.targets:
        print(f"python {platform.python_version()}, numpy {np.__version__}; {cpu_model()}")
        print_targets(best_times(fns, args.rounds, args.slot), n)
        return

    import pyfar
    import scipy.signal

    sos = [scipy.signal.tf2sos(*scipy.signal.gammatone(cf, "iir", fs=FS)) for cf in cfs]
    bands = pyfar.dsp.filter.GammatoneBands([LOW, HIGH], resolution=0.5, sampling_rate=FS)
    signal = pyfar.Signal(x, FS)
    fns |= {
        "gammatone_c row loop, 1 thread": lambda: row_loop(x, cfs, bm),
        "old route: row loop + old_frame_levels": lambda: old_frame_levels(
            row_loop(x, cfs, np.empty((CHANNELS, n))), frame_len, hop_len),
        "cochleagram, 1 thread": lambda: cochleagram(x, FS, cfs, workers=1),
        "cochleagram, 2 threads": lambda: cochleagram(x, FS, cfs, workers=2),
        "filterbank bm, 1 thread": lambda: filterbank(x, FS, cfs, workers=1),
        "filterbank bm, 2 threads": lambda: filterbank(x, FS, cfs, workers=2),
        f"filterbank bm, default ({cpus} threads)": lambda: filterbank(x, FS, cfs),
        "scipy sosfilt loop": lambda: [scipy.signal.sosfilt(s, x) for s in sos],
        "pyfar GammatoneBands": lambda: bands.process(signal),
    }

    print(f"python {platform.python_version()}, numpy {np.__version__}, scipy {scipy.__version__}, "
          f"pyfar {pyfar.__version__}; {cpu_model()}; SIMD targets {', '.join(targets)}, default {_engine.simd()}")
    print(f"{CHANNELS} channels erb_space({LOW:g}, {HIGH:g}, {CHANNELS}), {args.duration:g} s of noise "
          f"at {FS} Hz, {cpus} usable CPUs, best call of {args.rounds} interleaved rounds "
          f"of at least {args.slot:g} s each")
    t = best_times(fns, args.rounds, args.slot)
    channels = {"pyfar GammatoneBands": bands.n_bands}

    print(f"\n{'method':<42}{'channels':>9}{'ms':>9}{'ns/ch-sample':>14}{'load':>6}")
    for name, (sec, load) in t.items():
        ch = channels.get(name, CHANNELS)
        print(f"{name:<42}{ch:>9}{1e3 * sec:9.3f}{1e9 * sec / (ch * n):14.2f}{load:6.2f}")
    worst = max(load for _, load in t.values())
    print(f"load: CPUs other processes kept busy while a row was timed (worst {worst:.2f}); "
          "above about 0.1 the 2-thread figures are not to be trusted")

    def ratio(num: str, den: str) -> float:
        return t[num][0] / t[den][0]

    print_targets(t, n)

    rows = [(f"row loop / engine {target}", ratio("gammatone_c row loop, 1 thread",
                                                  f"engine {target}, bm, 1 thread"), 3.0)
            for target in targets]
    ours = f"filterbank bm, default ({cpus} threads)"
    rows += [
        ("old route / cochleagram (1 thread)", ratio("old route: row loop + old_frame_levels",
                                                     "cochleagram, 1 thread"), None),
        ("filterbank bm: 1 thread / 2 threads", ratio("filterbank bm, 1 thread", "filterbank bm, 2 threads"), 1.8),
        ("cochleagram: 1 thread / 2 threads", ratio("cochleagram, 1 thread", "cochleagram, 2 threads"), 1.8),
        (f"scipy loop / filterbank ({cpus} threads)", ratio("scipy sosfilt loop", ours), 10.0),
        ("scipy loop / filterbank (1 thread)", ratio("scipy sosfilt loop", "filterbank bm, 1 thread"), None),
        (f"pyfar / filterbank ({cpus} threads)", ratio("pyfar GammatoneBands", ours), 25.0),
        ("pyfar / filterbank (1 thread)", ratio("pyfar GammatoneBands", "filterbank bm, 1 thread"), None),
    ]
    print(f"\n{'ratio':<42}{'value':>9}   goal")
    for label, value, goal in rows:
        verdict = "" if goal is None else f">= {goal:g}x " + ("met" if value >= goal else "missed")
        print(f"{label:<42}{value:8.2f}x   {verdict}")

    if not args.no_cli:
        cli_run()


if __name__ == "__main__":
    main()
