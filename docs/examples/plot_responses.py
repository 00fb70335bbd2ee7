"""
The bank's responses
====================

What each channel does to a sine, from the transfer function, before any
signal is filtered: the magnitude of every channel's ``bm`` response on a
log-frequency axis, the sum of the channels and the sum of their powers,
and, for two channels, the impulse response the filter starts with.  Group delays and -3 dB bandwidths
come from the same transfer function; the bandwidth is drawn against the
ERB of each centre frequency, which sets the filter's width.
"""

import matplotlib.pyplot as plt
import numpy as np

from gammatone_bank import bandwidths, erb_space, frequency_response, group_delay, impulse_response

fs = 16000
cfs = erb_space(50, 7000, 32)
f, h = frequency_response(fs, cfs, n=8192)  # f: (4097,) Hz; h: (32, 4097) complex
db = 20 * np.log10(np.maximum(np.abs(h), 1e-12))
total = 20 * np.log10(np.maximum(np.abs(h.sum(axis=0)), 1e-12))
power = 10 * np.log10(np.maximum((np.abs(h) ** 2).sum(axis=0), 1e-24))

fig, ax = plt.subplots(figsize=(8, 4), layout="constrained")
ax.semilogx(f[1:], db[:, 1:].T, color="0.6", linewidth=0.8)
ax.semilogx(f[1:], total[1:], color="k", label="sum of the channels")
ax.semilogx(f[1:], power[1:], color="C3", label="sum of their powers")
ax.set(xlim=(20, fs / 2), ylim=(-60, total.max() + 5), xlabel="frequency (Hz)", ylabel="dB",
       title="32 channels, 50 Hz to 7 kHz, at 16 kHz")
ax.grid(True, which="both", alpha=0.3)
ax.legend()
plt.show()

# %%
# The channels' sum is what adding their ``bm`` rows gives: their phases
# differ, so it dips and ripples where neighbours cancel.  The sum of their
# powers shows how evenly the channels cover the band.  The resynthesis
# designs align the phases; ``gammatone-bank response --out response.png``
# draws their summed responses beside these.
#
# Each channel's group delay at its cf and its -3 dB bandwidth, which is
# 0.8865 ERB from about 100 Hz to 0.35 fs and wider near 0 and fs/2, where
# the image of the passband adds to ``bm``.

erb = 24.7 * (0.00437 * cfs + 1)
fig, (left, right) = plt.subplots(1, 2, figsize=(9, 3.5), layout="constrained")
left.loglog(cfs, 1000 * group_delay(fs, cfs))
left.set(xlabel="centre frequency (Hz)", ylabel="group delay at cf (ms)")
right.semilogx(cfs, bandwidths(fs, cfs) / erb)
right.axhline(0.8865, color="0.5", linestyle="--", linewidth=0.8)
right.set(xlabel="centre frequency (Hz)", ylabel="-3 dB bandwidth / ERB")
for ax in (left, right):
    ax.grid(True, which="both", alpha=0.3)
plt.show()

# %%
# The impulse responses of the channels at 100 Hz and 1 kHz: ``filterbank``
# of a unit impulse, bit for bit.

ir = impulse_response(fs, [100.0, 1000.0], round(0.05 * fs))
t = 1000 * np.arange(ir.shape[1]) / fs
fig, ax = plt.subplots(figsize=(8, 3), layout="constrained")
for row, cf in zip(ir, (100, 1000)):
    ax.plot(t, row / np.abs(row).max(), label=f"{cf} Hz")
ax.set(xlabel="time (ms)", ylabel="bm, scaled to its peak")
ax.legend()
plt.show()
