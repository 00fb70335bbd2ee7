"""The built-in test signal of the command line, generated from formulas.

It shows the two things a cochleagram is for: resolved low harmonics and
formant peaks that move with the pitch, and a sweep that crosses every
channel in turn.
"""

import math

import numpy as np
from numpy.typing import NDArray

DEMO_FS = 16000
DEMO_NAME = "built-in test signal (vowel with a pitch glide, then a chirp)"

# /a/-like formants: centre frequency, bandwidth (Hz) and relative weight.
FORMANTS = ((730.0, 90.0, 1.0), (1090.0, 110.0, 0.5), (2440.0, 170.0, 0.25))


def _fade(n: int, fs: int, seconds: float = 0.02) -> NDArray[np.float64]:
    """A window that rises and falls over `seconds` with raised cosines."""
    ramp = min(int(seconds * fs), n // 2)
    w = np.ones(n)
    rise = 0.5 - 0.5 * np.cos(np.pi * (np.arange(ramp) + 0.5) / ramp)
    w[:ramp] = rise
    w[n - ramp:] = rise[::-1]
    return w


def _vowel(fs: int, seconds: float) -> NDArray[np.float64]:
    """Harmonics of a pitch gliding from 110 to 220 Hz under fixed formants."""
    t = np.arange(int(seconds * fs)) / fs
    f0 = 110.0 * 2.0 ** (t / seconds)
    phase = 2.0 * np.pi * np.cumsum(f0) / fs
    out = np.zeros_like(t)
    for k in range(1, int(0.4 * fs / 110.0) + 1):
        fk = k * f0
        # Each harmonic is weighted by the formant resonances at its current
        # frequency, so the spectral envelope stays put while the pitch moves.
        gain = sum(w / (1.0 + ((fk - fc) / bw) ** 2) for fc, bw, w in FORMANTS)
        # A gentle fall above the formants (about -6 dB per octave), and
        # nothing near fs/2 where harmonics would alias.
        gain = (gain + 0.1 * 300.0 / fk) * (fk < 0.4 * fs)
        out += gain * np.sin(k * phase)
    return out


def _chirp(fs: int, seconds: float, f_start: float, f_stop: float) -> NDArray[np.float64]:
    """A sine whose frequency rises exponentially from f_start to f_stop."""
    t = np.arange(int(seconds * fs)) / fs
    rate = math.log(f_stop / f_start) / seconds
    chirp: NDArray[np.float64] = np.sin(2.0 * np.pi * f_start * np.expm1(rate * t) / rate)
    return chirp


def demo_signal() -> tuple[NDArray[np.float64], int]:
    """1.6 s at 16 kHz: a 0.9 s vowel, 0.1 s of silence, a 0.6 s chirp.

    The vowel's pitch glides up an octave (110 to 220 Hz); the chirp rises
    from 100 Hz to 7 kHz.  The peak amplitude is 0.5.  Returns (samples, fs).
    """
    fs = DEMO_FS
    vowel = _vowel(fs, 0.9)
    vowel *= _fade(vowel.size, fs) / np.max(np.abs(vowel))
    chirp = _chirp(fs, 0.6, 100.0, 7000.0) * _fade(int(0.6 * fs), fs)
    x = np.concatenate([vowel, np.zeros(int(0.1 * fs)), 0.5 * chirp])
    x *= 0.5 / np.max(np.abs(x))
    return x, fs
