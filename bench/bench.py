"""Time one filter channel against SciPy and against the machine's floor.

Prints ns/sample for the module's output combinations, for SciPy's IIR
gammatone through lfilter and for SciPy's analytic-signal route to the same
four outputs, and for the floor measured by bench/floor.c (built here with
the system C compiler).  All figures come from one run, side by side, and the
ratios between them are what to read: the machine is shared and noisy.

Usage: python bench/bench.py [--samples N] [--fs FS] [--cf CF] [--repeat R]
"""

import argparse
import os
import shutil
import subprocess
import sys
import time

import numpy as np
import scipy.signal

import gammatone_c

HERE = os.path.dirname(os.path.abspath(__file__))


def best_times(fns, repeat):
    """Best time of each function, timed in interleaved rounds so that every
    function sees the same conditions of a shared, noisy machine."""
    best = {name: float("inf") for name in fns}
    for _ in range(repeat):
        for name, fn in fns.items():
            t0 = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - t0)
    return best


def machine_floor(steps):
    """(chain ns/step, atan2 ns/step) from the C floor program."""
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        sys.exit("bench: no C compiler found for the floor program")
    exe = os.path.join(HERE, "_floor")
    subprocess.run([cc, "-O2", "-ffp-contract=off", "-o", exe,
                    os.path.join(HERE, "floor.c"), "-lm"], check=True)
    out = subprocess.run([exe, str(steps)], check=True, capture_output=True, text=True).stdout
    vals = dict(line.split() for line in out.splitlines())
    return float(vals["chain"]), float(vals["atan2"])


def scipy_route(x, b, a, fs):
    """The four outputs through SciPy: IIR filter, analytic signal, angle."""
    bm = scipy.signal.lfilter(b, a, x)
    analytic = scipy.signal.hilbert(bm)
    env = np.abs(analytic)
    instp = np.unwrap(np.angle(analytic))
    instf = np.diff(instp) * (fs / (2 * np.pi))
    return bm, env, instp, instf


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--samples", type=int, default=2_000_000)
    ap.add_argument("--fs", type=int, default=16000)
    ap.add_argument("--cf", type=float, default=1000.0)
    ap.add_argument("--repeat", type=int, default=7)
    args = ap.parse_args()
    n, fs, cf, rep = args.samples, args.fs, args.cf, args.repeat

    x = np.random.default_rng(1).standard_normal(n)
    bm, env, instp, instf = (np.empty(n) for _ in range(4))
    b, a = scipy.signal.gammatone(cf, "iir", fs=fs)

    chain, atan2 = machine_floor(n)
    t = best_times({
        "bm": lambda: gammatone_c.gammatone_c(x, n, fs, cf, bm),
        "bm+env": lambda: gammatone_c.gammatone_c(x, n, fs, cf, bm, env),
        "all four": lambda: gammatone_c.gammatone_c(x, n, fs, cf, bm, env, instp, instf),
        "scipy lfilter": lambda: scipy.signal.lfilter(b, a, x),
        "scipy route": lambda: scipy_route(x, b, a, fs),
    }, rep)
    ns = {k: 1e9 * v / n for k, v in t.items()}

    print(f"{n} noise samples, fs={fs} Hz, cf={cf} Hz, best of {rep}")
    print(f"{'':28s}{'ns/sample':>10s}")
    print(f"{'floor: mul + 4 dep. adds':28s}{chain:10.2f}")
    print(f"{'floor: libm atan2':28s}{atan2:10.2f}")
    for k, v in ns.items():
        print(f"{k:28s}{v:10.2f}")
    print()
    rows = [
        ("bm / floor", ns["bm"] / chain, "<= 1.15"),
        ("bm+env / floor", ns["bm+env"] / chain, ""),
        ("all four / (floor + atan2)", ns["all four"] / (chain + atan2), "<= 1.2"),
        ("scipy lfilter / bm", ns["scipy lfilter"] / ns["bm"], ">= 1.6"),
        ("scipy route / all four", ns["scipy route"] / ns["all four"], ">= 4"),
    ]
    print(f"{'ratio':28s}{'value':>10s}  goal")
    for name, value, goal in rows:
        print(f"{name:28s}{value:10.2f}  {goal}")


if __name__ == "__main__":
    main()
