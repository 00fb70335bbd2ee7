"""Filter a built-in signal through a few gammatone channels and summarise.

The signal is one second at 16 kHz: a 1 kHz tone for the first half, a
1.6 kHz tone for the second, in light noise.  Each channel reports its
output level in both halves and the median instantaneous frequency it
tracks there: a channel near a tone locks onto that tone's frequency.
"""

import time

import numpy as np

import gammatone_c

FS = 16000
N = FS
t = np.arange(N) / FS
half = N // 2
x = np.where(t < 0.5, np.sin(2 * np.pi * 1000 * t), np.sin(2 * np.pi * 1600 * t))
x += 0.05 * np.random.default_rng(0).standard_normal(N)

print(f"signal: {N} samples at {FS} Hz, 1000 Hz tone then 1600 Hz tone, in noise")
print(f"{'cf (Hz)':>8} {'rms 1st':>9} {'rms 2nd':>9} {'instf 1st':>10} {'instf 2nd':>10} {'ns/sample':>10}")
for cf in (500.0, 1000.0, 1600.0, 3000.0):
    bm, env, instp, instf = (np.empty(N) for _ in range(4))
    t0 = time.perf_counter()
    gammatone_c.gammatone_c(x, N, FS, cf, bm, env, instp, instf)
    ns = 1e9 * (time.perf_counter() - t0) / N
    # skip the first 50 ms of each half, where the filter settles
    first, second = slice(800, half), slice(half + 800, N - 1)
    rms = [np.sqrt(np.mean(bm[s] ** 2)) for s in (first, second)]
    med = [np.median(instf[s]) for s in (first, second)]
    print(f"{cf:8.0f} {rms[0]:9.4f} {rms[1]:9.4f} {med[0]:10.1f} {med[1]:10.1f} {ns:10.1f}")
