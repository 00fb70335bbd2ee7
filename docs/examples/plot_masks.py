"""
Ideal masks: speech out of noise
================================

Speech (espeak-ng where it is installed, else the built-in test signal) in
white noise at 0 dB SNR.  Knowing both parts, the ideal binary mask keeps the
time-frequency frames where the speech is louder than the noise, and the
ideal ratio mask weighs each frame by (S / (S + N))^0.5.  Resynthesised
under either mask, the mixture comes back much closer to the speech.
"""

import shutil
import subprocess
import tempfile
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import soundfile

from gammatone_bank import cochleagram, erb_space, ideal_binary_mask, ideal_ratio_mask, resynthesize


def speech():
    """(samples, fs): espeak-ng's sentence, or the built-in signal."""
    if shutil.which("espeak-ng"):
        with tempfile.TemporaryDirectory() as tmp:
            path = Path(tmp) / "speech.wav"
            subprocess.run(["espeak-ng", "-w", str(path), "Separate the speech from the noise."],
                           check=True, timeout=60)
            return soundfile.read(path)
    from gammatone_bank._demo import demo_signal

    return demo_signal()


target, fs = speech()
noise = np.random.default_rng(1).standard_normal(target.size)
noise *= np.sqrt(np.mean(target**2) / np.mean(noise**2))  # 0 dB SNR
mixture = target + noise
cfs = erb_space(50, min(7000, 0.45 * fs), 64)

ibm = ideal_binary_mask(target, noise, fs, cfs)  # (64, frames) of 0.0 and 1.0
irm = ideal_ratio_mask(target, noise, fs, cfs)  # (64, frames) in [0, 1]


def snr(y):
    """dB of the speech against what differs from it, 0.1 s in from each end."""
    edge = fs // 10
    err = y[edge:-edge] - target[edge:-edge]
    return 10 * np.log10(np.sum(target[edge:-edge] ** 2) / np.sum(err**2))


outputs = {"mixture": mixture}
for name, mask in (("binary mask", ibm), ("ratio mask", irm)):
    outputs[name] = resynthesize(mixture, fs, cfs, mask=mask)
for name, y in outputs.items():
    print(f"{name:12s}: {snr(y):5.1f} dB SNR")

# %%
# The cochleagrams of the mixture and of what each mask lets through, and
# the masks themselves.

fig, axes = plt.subplots(2, 3, figsize=(11, 6), sharex=True, sharey=True, layout="constrained")
top = cochleagram(mixture, fs, cfs).max()
for ax, (name, y) in zip(axes[0], outputs.items()):
    image = ax.imshow(cochleagram(y, fs, cfs), origin="lower", aspect="auto", cmap="magma",
                      vmin=top - 70, vmax=top)
    ax.set_title(f"{name}: {snr(y):.1f} dB SNR")
fig.colorbar(image, ax=axes[0], label="level (dB)")
axes[1, 0].imshow(cochleagram(target, fs, cfs), origin="lower", aspect="auto", cmap="magma",
                  vmin=top - 70, vmax=top)
axes[1, 0].set_title("the speech alone")
for ax, (name, mask) in zip(axes[1, 1:], (("ideal binary mask", ibm), ("ideal ratio mask", irm))):
    weights = ax.imshow(mask, origin="lower", aspect="auto", cmap="gray", vmin=0, vmax=1)
    ax.set_title(name)
fig.colorbar(weights, ax=axes[1], label="weight")
for ax in axes[:, 0]:
    ax.set_ylabel("channel")
for ax in axes[1]:
    ax.set_xlabel("frame (10 ms)")
plt.show()
