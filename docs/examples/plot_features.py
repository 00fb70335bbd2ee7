"""
Auditory features: IHC envelope, ratemap and GFCC
=================================================

Three front ends on the same bank, each with the frames of
:func:`~gammatone_bank.cochleagram`: the inner-hair-cell envelope (``bm``
half-wave rectified, then low-passed as in Dau et al. 1996), the ratemap
(that envelope smoothed by an 8 ms leaky integrator and averaged over each
frame) and gammatone cepstral coefficients with their deltas.
"""

import matplotlib.pyplot as plt
import numpy as np

from gammatone_bank import erb_space, gfcc, ihc_envelope, ratemap

fs = 16000
t = np.arange(fs) / fs
x = np.sin(2 * np.pi * 200 * t) * (1 + np.sin(2 * np.pi * 4 * t)) + 0.3 * np.sin(2 * np.pi * 3000 * t * t)
cfs = erb_space(50, 7000, 64)

envelope = ihc_envelope(x, fs, cfs, model="dau1996")  # (64, 16000), at the sample rate
rates = ratemap(x, fs, cfs, compression="cbrt")  # (64, 99)
ceps = gfcc(x, fs, cfs, n_ceps=13, deltas=2)  # (39, 99): 13 coefficients, their deltas and delta-deltas

fig, axes = plt.subplots(3, 1, figsize=(8, 8), layout="constrained")
axes[0].imshow(envelope[:, ::40], origin="lower", aspect="auto", cmap="magma")
axes[0].set(title="inner-hair-cell envelope (every 40th sample)", ylabel="channel")
axes[1].imshow(rates, origin="lower", aspect="auto", cmap="magma")
axes[1].set(title="ratemap, cube root", ylabel="channel")
axes[2].imshow(ceps, origin="lower", aspect="auto", cmap="coolwarm")
axes[2].set(title="GFCC with deltas", ylabel="coefficient", xlabel="frame (10 ms)")
plt.show()
