"""
The cochleagram of speech
=========================

A sentence spoken by espeak-ng where it is installed (``apt-get install
espeak-ng``), else the command line's built-in test signal (a vowel whose
pitch glides up an octave, then a chirp), through 64 ERB-spaced channels
from 50 Hz to 7 kHz.  Each row is one channel's level in dB over 25 ms
frames every 10 ms: the low harmonics are resolved one by one, the formants
show as bands higher up.
"""

import shutil
import subprocess
import tempfile
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import soundfile

from gammatone_bank import cochleagram, erb_space


def speech():
    """(samples, fs, name): espeak-ng's sentence, or the built-in signal."""
    if shutil.which("espeak-ng"):
        with tempfile.TemporaryDirectory() as tmp:
            path = Path(tmp) / "speech.wav"
            subprocess.run(["espeak-ng", "-w", str(path), "The quick brown fox jumps over the lazy dog."],
                           check=True, timeout=60)
            x, fs = soundfile.read(path)
        return x, fs, "espeak-ng speech"
    from gammatone_bank._demo import demo_signal

    x, fs = demo_signal()
    return x, fs, "built-in test signal"


x, fs, name = speech()
cfs = erb_space(50, 7000, 64)
levels = cochleagram(x, fs, cfs, normalize=True)  # (64, frames), dB re unit gain at each cf
print(f"{name}: {x.size / fs:.2f} s at {fs} Hz, levels {levels.shape}")

# %%
# Frames are centred on start + half their length; the rows are drawn on the
# ERB-number scale, one row per channel, with a 70 dB colour range.

times = (np.arange(levels.shape[1]) * round(0.010 * fs) + round(0.025 * fs) / 2) / fs
fig, ax = plt.subplots(figsize=(8, 4), layout="constrained")
top = levels.max()
image = ax.pcolormesh(times, np.arange(cfs.size), levels, vmin=top - 70, vmax=top, cmap="magma",
                      shading="nearest")
ticks = [0, 16, 32, 48, 63]
ax.set_yticks(ticks, [f"{cfs[k]:.0f}" for k in ticks])
ax.set(xlabel="time (s)", ylabel="centre frequency (Hz)", title=f"Cochleagram: {name}")
fig.colorbar(image, label="level (dB)")
plt.show()
