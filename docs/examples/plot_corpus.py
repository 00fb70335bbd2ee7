"""
A corpus run, and its features loaded for learning
==================================================

:func:`~gammatone_bank.batch` analyses many sound files on Dask (here a local
cluster of two worker processes on this machine) and writes one features
file per input, which :func:`~gammatone_bank.load_features` reads back.  The
corpus is made up on the spot: short recordings of two classes, hums (a few
harmonics of a low tone) and hisses (noise above 2 kHz).  Their levels,
frame by frame, are the examples of a small classifier: the nearest class
mean, in plain NumPy.
"""

import shutil
import tempfile
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import soundfile

from gammatone_bank import batch, load_features

fs = 16000
rng = np.random.default_rng(3)


def hum(seconds):
    t = np.arange(int(seconds * fs)) / fs
    f0 = rng.uniform(90, 180)
    return sum(0.2 / k * np.sin(2 * np.pi * k * f0 * t) for k in range(1, 6))


def hiss(seconds):
    x = rng.standard_normal(int(seconds * fs))
    spectrum = np.fft.rfft(x)
    spectrum[np.fft.rfftfreq(x.size, 1 / fs) < 2000] = 0.0
    return 0.1 * np.fft.irfft(spectrum, x.size)


# %%
# Write the corpus, then run the batch.  Like any script that starts a local
# Dask cluster, it keeps the call under the main guard: the worker processes
# import the main script again.

if __name__ == "__main__":
    tmp = Path(tempfile.mkdtemp())
    for k in range(8):
        for name, make in (("hum", hum), ("hiss", hiss)):
            (tmp / "corpus" / name).mkdir(parents=True, exist_ok=True)
            soundfile.write(tmp / "corpus" / name / f"{k}.wav", make(rng.uniform(0.5, 1.5)), fs)
    result = batch([str(tmp / "corpus")], str(tmp / "features"), channels=32, workers=2, progress=False)
    print(f"{result.inputs} inputs: {result.done} done, {result.failed} failed, in {result.seconds:.1f} s "
          f"on {result.workers} workers")

# %%
# Each features file holds the levels (channels x frames) and the analysis
# parameters.  The frames of all files of a class become that class's
# examples, split by file into a training and a test set.

if __name__ == "__main__":
    examples = {"train": ([], []), "test": ([], [])}
    for path in sorted((tmp / "features").rglob("*.npz")):
        f = load_features(path)
        label = 0 if path.parent.name == "hum" else 1
        part = "test" if path.name.startswith(("6.", "7.")) else "train"
        examples[part][0].append(f.levels.T)  # (frames, channels): one example per frame
        examples[part][1].append(np.full(f.levels.shape[1], label))
    (x_train, y_train), (x_test, y_test) = (
        (np.concatenate(xs), np.concatenate(ys)) for xs, ys in examples.values())
    means = np.stack([x_train[y_train == c].mean(axis=0) for c in (0, 1)])
    guess = np.argmin(((x_test[:, None, :] - means) ** 2).sum(axis=2), axis=1)
    print(f"{x_train.shape[0]} training frames, {x_test.shape[0]} test frames of {f.cfs.size} channels: "
          f"{np.mean(guess == y_test):.1%} of the test frames classified right")

    fig, ax = plt.subplots(figsize=(7, 4), layout="constrained")
    for c, name in enumerate(("hum", "hiss")):
        ax.semilogx(f.cfs, means[c], label=f"{name}: mean level")
    ax.set(xlabel="centre frequency (Hz)", ylabel="level (dB)", title="The two classes' mean frames")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    plt.show()
    shutil.rmtree(tmp)
