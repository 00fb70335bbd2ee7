"""
Streaming a live signal
=======================

A live source hands over its samples in blocks whose length varies, as an
audio callback does.  :class:`~gammatone_bank.CochleagramStream` turns each
block into the frames it completes, and
:class:`~gammatone_bank.ResynthesisStream` gives back as many samples as it
was given, 4 ms late, under gains that may change with every block: here a
live control that mutes the channels above 1 kHz for the middle second.
Every channel's state runs on from block to block, so the streamed results
equal the one-shot ones bit for bit, however the signal was cut.
"""

import matplotlib.pyplot as plt
import numpy as np

from gammatone_bank import CochleagramStream, ResynthesisStream, cochleagram, erb_space

fs = 16000
cfs = erb_space(50, 7000, 48)
rng = np.random.default_rng(2)
t = np.arange(3 * fs) / fs
signal = 0.5 * np.sin(2 * np.pi * 300 * t) + 0.3 * np.sin(2 * np.pi * (500 + 1000 * t) * t)
signal += 0.05 * rng.standard_normal(t.size)


def live(x):
    """The signal as a live source gives it: blocks of 64 to 512 samples."""
    start = 0
    while start < x.size:
        n = int(rng.integers(64, 513))
        yield x[start:start + n]
        start += n


levels = CochleagramStream(fs, cfs)
frames, out = [], []
with ResynthesisStream(fs, cfs, delay=0.004) as voice:
    for block in live(signal):
        frames.append(levels.process(block))  # (48, frames completed by this block)
        now = voice.samples / fs
        gains = np.where((cfs > 1000) & (1 <= now) & (now < 2), 0.0, 1.0)  # one weight per channel
        out.append(voice.process(block, gains=gains))  # as many samples as the block, 4 ms late
    out.append(voice.close())
frames.append(levels.close())
streamed = np.concatenate(frames, axis=1)
y = np.concatenate(out)[round(0.004 * fs):]  # the 4 ms delay taken off again

assert np.array_equal(streamed, cochleagram(signal, fs, cfs))
print(f"{len(out) - 1} blocks; streamed levels {streamed.shape}, equal to the one-shot cochleagram bit for bit")

# %%
# The input's cochleagram as the stream built it, and the output's.

fig, axes = plt.subplots(2, 1, figsize=(8, 6), sharex=True, layout="constrained")
top = streamed.max()
for ax, (name, levels_) in zip(axes, (("input, streamed", streamed),
                                       ("output: channels above 1 kHz muted from 1 to 2 s",
                                        cochleagram(y, fs, cfs)))):
    image = ax.imshow(levels_, origin="lower", aspect="auto", cmap="magma", vmin=top - 70, vmax=top,
                      extent=(0, signal.size / fs, 0, cfs.size))
    ticks = [0, 12, 24, 36, 47]
    ax.set_yticks([k + 0.5 for k in ticks], [f"{cfs[k]:.0f}" for k in ticks])
    ax.set(title=name, ylabel="centre frequency (Hz)")
axes[1].set_xlabel("time (s)")
fig.colorbar(image, ax=axes, label="level (dB)")
plt.show()
