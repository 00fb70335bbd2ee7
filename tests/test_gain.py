"""cf_gain: the gain at cf derived from the transfer function, against the filter."""

import math

import numpy as np
import pytest

from gammatone_bank import CochleagramStream, cf_gain, cochleagram, erb_space, filterbank

RATES = (8000, 16000, 44100, 48000, 96000)
FLOOR = 1e-12
TOL_DB = 0.002


def settled_mean_square(fs, cf):
    """Mean square of bm for a unit sine at cf, over whole periods after settling.

    The transient decays as t^3 exp(-tptbw t); 40 / tptbw samples leave it far
    below the tolerance.  The window holds the whole number of periods nearest
    to about one second, so the mean of cos^2 over it is 1/2 to within 1e-4.
    """
    tptbw = 2 * math.pi / fs * 24.7 * (0.00437 * cf + 1) * 1.019
    settle = math.ceil(40 / tptbw)
    periods = max(1, round(cf))
    window = round(periods * fs / cf)
    x = np.cos(2 * math.pi * cf / fs * np.arange(settle + window))
    bm = filterbank(x, fs, [cf]).bm[0, settle:]
    return float(np.sum(bm * bm)) / window


@pytest.mark.parametrize("fs", RATES)
def test_matches_the_settled_sine_across_the_band(fs):
    # Omitting the image term G(e^{2iw}) is off by 0.02-0.04 dB at 50 Hz and
    # about 0.3 dB at 0.45 fs; a wrong gain or bandwidth moves every channel.
    cfs = erb_space(50.0, 0.45 * fs, 6)
    gains = cf_gain(fs, cfs)
    for cf, g in zip(cfs, gains):
        ms = settled_mean_square(fs, cf)
        assert 10 * math.log10(2 * ms) == pytest.approx(20 * math.log10(g), abs=TOL_DB), cf
        # The normalised level of the cochleagram: a unit sine at cf is -3.01 dB.
        level = 10 * math.log10(max(ms / g**2, FLOOR))
        assert level == pytest.approx(10 * math.log10(0.5), abs=TOL_DB), cf


@pytest.mark.parametrize(
    ("fs", "cf", "db"),
    [(8000, 100.0, 0.25), (16000, 1000.0, 0.45), (16000, 4000.0, 1.6)],
)
def test_gains_quoted_for_the_filter(fs, cf, db):
    # Pins the filter's defined gain: rescaling both the kernel and cf_gain
    # together would still pass the test above.
    assert 20 * math.log10(float(cf_gain(fs, [cf])[0])) == pytest.approx(db, abs=0.05)


def test_keeps_the_shape_of_cfs():
    grid = [[100.0, 1000.0], [4000.0, 7000.0]]
    out = cf_gain(16000, grid)
    assert out.shape == (2, 2) and out.dtype == np.float64
    scalar = cf_gain(16000.0, 1000.0)
    assert isinstance(scalar, np.ndarray) and scalar.shape == ()
    assert cf_gain(16000, 1000.0) == out[0, 1]
    assert np.array_equal(cf_gain(16000, [4000.0, 7000.0]), out[1])


@pytest.mark.parametrize(
    ("fs", "cfs", "name", "error"),
    [
        (0, [1000.0], "fs", ValueError),
        (16000.5, [1000.0], "fs", ValueError),
        (True, [1000.0], "fs", TypeError),
        ("16000", [1000.0], "fs", TypeError),
        (16000, [1000.0, math.nan], "cfs", ValueError),
        (16000, [8000.0], "cfs", ValueError),
        (16000, [0.0], "cfs", ValueError),
        (16000, ["a"], "cfs", TypeError),
        (16000, 64, "cfs", TypeError),  # a channel count, refused as filterbank refuses it
    ],
)
def test_refuses_bad_arguments_by_name(fs, cfs, name, error):
    with pytest.raises(error, match=f"^{name} must"):
        cf_gain(fs, cfs)


@pytest.mark.parametrize(("fs", "cfs"), [(8000, [100.0, 1000.0, 3500.0]), (16000, [50.0, 4000.0, 7200.0]),
                                         (48000, [200.0, 8000.0, 21000.0])])
def test_normalized_cochleagram_reads_minus_3_db_at_cf(fs, cfs):
    # Half-second frames hold whole periods of these even frequencies, so a
    # unit sine's mean square over a settled frame is cf_gain^2 / 2.
    t = np.arange(3 * fs) / fs
    for i, cf in enumerate(cfs):
        x = np.sin(2 * np.pi * cf * t)
        raw = cochleagram(x, fs, cfs, frame=0.5, hop=0.5)[i, 2:]
        level = cochleagram(x, fs, cfs, frame=0.5, hop=0.5, normalize=True)[i, 2:]
        np.testing.assert_allclose(level, 10 * math.log10(0.5), atol=TOL_DB)
        np.testing.assert_allclose(raw - level, 20 * math.log10(float(cf_gain(fs, cf))), atol=1e-9)


def normalized_levels(x, fs, cfs, chunks):
    """The one-shot cochleagram and the stream's over x cut at chunks, normalised."""
    whole = cochleagram(x, fs, cfs, normalize=True)
    with CochleagramStream(fs, cfs, normalize=True) as stream:
        parts = [stream.process(c) for c in np.array_split(x, chunks)]
        parts.append(stream.close())
    return whole, np.concatenate(parts, axis=1)


def test_normalized_levels_are_the_levels_less_the_gain(rng):
    # 3001 samples in 400-sample frames every 160: the last frame holds 281.
    fs, cfs = 16000, np.array([100.0, 1000.0, 4000.0, 7000.0])
    x = rng.standard_normal(3001)
    bm = filterbank(x, fs, cfs).bm
    starts = np.arange(18) * 160
    mean_square = np.stack([np.mean(bm[:, s:s + 400] ** 2, axis=1) for s in starts], axis=1)
    want = 10 * np.log10(mean_square / cf_gain(fs, cfs)[:, np.newaxis] ** 2)
    for got in normalized_levels(x, fs, cfs, [1, 1500, 2900]):
        assert got.shape == want.shape
        np.testing.assert_allclose(got, want, rtol=0, atol=1e-9)


def test_normalized_silence_is_the_floor():
    # The floor holds after normalisation: silence never reads below -120 dB.
    for got in normalized_levels(np.zeros(3001), 16000, [100.0, 1000.0, 4000.0, 7000.0], [7, 2000]):
        assert got.shape == (4, 18)
        assert (got == 10 * math.log10(FLOOR)).all()
