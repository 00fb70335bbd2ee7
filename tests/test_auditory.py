"""The auditory features: the inner-hair-cell envelope, the ratemap and GFCC.

Each is checked against a SciPy computation of its definition, streamed under
random chunkings and batched, bit for bit against its one-shot 1-D call.
"""

import warnings

import numpy as np
import pytest

from gammatone_bank import FeatureStream, _auditory, _engine, cochleagram, erb_space, filterbank, gfcc, ihc_envelope, ratemap
from gammatone_bank._gain import cf_gain
from helpers import assert_bits

signal = pytest.importorskip("scipy.signal")
fft = pytest.importorskip("scipy.fft")

FS = 16000
CFS = erb_space(60.0, 7000.0, 19)  # two full groups of 8 lanes and a partial one
FUNCTIONS = {"ihc": ihc_envelope, "ratemap": ratemap, "gfcc": gfcc, "levels": cochleagram}


@pytest.fixture(params=["noise", "tone"])
def x(request, rng):
    """5001 samples (a clipped last frame) of noise, or a 1 kHz tone in silence."""
    if request.param == "noise":
        return rng.standard_normal(5001)
    t = np.arange(5001) / FS
    return np.where(t > 0.05, np.sin(2 * np.pi * 1000.0 * t), 0.0)


def frames_of(y, frame_len=400, hop_len=160):
    """Each frame's mean of y, the clipped last frame included (SciPy-free, by slices)."""
    n = y.shape[1]
    count = min(-(-n // hop_len), 1 + -(-max(n - frame_len, 0) // hop_len))
    return np.stack([y[:, k * hop_len:k * hop_len + frame_len].mean(axis=1) for k in range(count)], axis=1)


class TestDefinitions:
    @pytest.mark.parametrize("fs", [2500, 4001, 8000, 11025, 16000, 22050, 44100, 48000, 96000, 12345])
    @pytest.mark.parametrize("fc", [1000.0, 2000.0])
    def test_butterworth_coefficients_are_scipys(self, fs, fc):
        if fc >= fs / 2:
            with pytest.raises(ValueError, match=f"lowpasses at {fc:g} Hz, which needs fs above"):
                ihc_envelope(np.zeros(3), fs, 100.0, model="dau1996" if fc == 1000.0 else "breebaart2001")
            return
        b, a = signal.butter(1, fc, fs=fs)
        assert _auditory.butter1(fc, fs) == (b[0], b[1], a[1])

    @pytest.mark.parametrize("model", ["dau1996", "breebaart2001", "none"])
    def test_ihc_is_lfilter_of_rectified_bm(self, target, x, model):
        stages, fc = _auditory.MODELS[model]
        expected = filterbank(x, FS, CFS).bm
        expected = np.where(expected < 0.0, 0.0, expected)
        if stages:
            b, a = signal.butter(1, fc, fs=FS)
            for _ in range(stages):
                expected = signal.lfilter(b, a, expected, axis=1)
        assert_bits(ihc_envelope(x, FS, CFS, model=model), expected)

    @pytest.mark.parametrize("model, fs, cutoff", [
        ("dau1996", 16000, 1000.0), ("dau1996", 48000, 1000.0),
        # Five stages at 2000 Hz: 770 Hz overall in the analog prototype; the
        # bilinear design's frequency warping moves it to 807 Hz at 16 kHz.
        ("breebaart2001", 48000, 775.1), ("breebaart2001", 16000, 806.6),
    ])
    def test_lowpass_minus_3_db(self, model, fs, cutoff):
        stages, fc = _auditory.MODELS[model]
        b0, b1, a1 = _auditory.butter1(fc, fs)
        f, h = signal.freqz([b0, b1], [1.0, a1], worN=1 << 16, fs=fs)
        gain = np.abs(h) ** stages
        below = np.flatnonzero(gain < 2 ** -0.5)[0]
        # Linear interpolation between the bins either side of the crossing.
        g0, g1 = gain[below - 1], gain[below]
        crossing = f[below - 1] + (g0 - 2 ** -0.5) / (g0 - g1) * (f[below] - f[below - 1])
        assert crossing == pytest.approx(cutoff, rel=1e-3)
        if model == "breebaart2001":
            analog = fc * np.sqrt(2 ** (1 / stages) - 1)
            assert analog == pytest.approx(770.0, rel=2e-3)
            warped = fs / np.pi * np.arctan(np.sqrt(2 ** (1 / stages) - 1) * np.tan(np.pi * fc / fs))
            assert crossing == pytest.approx(warped, rel=1e-3)

    @pytest.mark.parametrize("compression", [None, "cbrt", "log"])
    @pytest.mark.parametrize("tau", [0.008, 0.0003])
    def test_ratemap_is_smoothed_envelope_averaged(self, target, x, compression, tau):
        env = filterbank(x, FS, CFS, env=True).env
        a = np.exp(-1 / (tau * FS))
        expected = frames_of(signal.lfilter([1 - a], [1, -a], env, axis=1))
        if compression == "cbrt":
            expected = np.cbrt(expected)
        elif compression == "log":
            expected = 20 * np.log10(np.maximum(expected, 1e-6))
        got = ratemap(x, FS, CFS, tau=tau, compression=compression)
        np.testing.assert_allclose(got, expected, rtol=1e-11, atol=1e-11 * np.abs(expected).max())

    @pytest.mark.parametrize("compression, normalize", [("cbrt", False), ("log", False), ("log", True)])
    def test_gfcc_is_dct_of_compressed_frame_energies(self, x, compression, normalize):
        bm = filterbank(x, FS, CFS).bm
        energy = frames_of(bm ** 2)
        if normalize:
            energy /= cf_gain(FS, CFS)[:, None] ** 2
        energy = np.cbrt(energy) if compression == "cbrt" else np.log(np.maximum(energy, 1e-12))
        c = fft.dct(energy, type=2, norm="ortho", axis=0)[:12]

        def delta(v):
            p = np.pad(v, ((0, 0), (2, 2)), mode="edge")
            return sum(k * (p[:, 2 + k:p.shape[1] - 2 + k] - p[:, 2 - k:p.shape[1] - 2 - k]) for k in (1, 2)) / 10

        expected = np.concatenate([c, delta(c), delta(delta(c))])
        got = gfcc(x, FS, CFS, n_ceps=12, compression=compression, normalize=normalize)
        np.testing.assert_allclose(got, expected, rtol=1e-10, atol=1e-12 * np.abs(expected).max())
        # Fewer deltas are the leading rows.
        assert_bits(gfcc(x, FS, CFS, n_ceps=12, compression=compression, normalize=normalize, deltas=1),
                    got[:24])

        def rounded_delta(v):  # the documented rounding, bit for bit
            p = np.pad(v, ((0, 0), (2, 2)), mode="edge")
            m = v.shape[1]
            return ((p[:, 3:3 + m] - p[:, 1:1 + m]) + 2.0 * (p[:, 4:4 + m] - p[:, :m])) / 10.0

        assert_bits(got[12:24], rounded_delta(got[:12]))
        assert_bits(got[24:], rounded_delta(got[12:24]))

    @pytest.mark.parametrize("sections", [0, 1, 5])
    @pytest.mark.parametrize("b0, a1", [(0.3, -0.5), (0.25, 0.1), (-0.2, -0.9)])
    def test_engine_lowpass_is_lfilter_of_rectified_bm(self, target, rng, sections, b0, a1):
        # Any coefficients, each lane's sections carried from one call to
        # the next, and two signals whose lanes share vectors.
        x = rng.standard_normal((2, 700))
        x[1, 100:400] = 0.0
        bm = np.stack([filterbank(row, FS, CFS).bm for row in x]).reshape(2 * CFS.size, -1)
        expected = np.where(bm < 0.0, 0.0, bm)
        for _ in range(sections):
            expected = signal.lfilter([b0, b0], [1.0, a1], expected, axis=1)
        engine = _engine.Engine(FS, CFS, signals=2, lowpass=(sections, b0, a1))
        got = np.empty_like(expected)
        for cols in (slice(0, 1), slice(1, 333), slice(333, 700)):
            engine.process(x[:, cols], 0, engine.groups, ihc=got[:, cols])
        assert_bits(got, expected)

    def test_dct_sums_channels_in_order_for_any_frame_count(self, target, rng):
        m = _auditory.dct_matrix(13, 64)
        e = rng.standard_normal((64, 37))
        expected = np.zeros((13, 37))
        for n in range(64):
            expected += m[:, n:n + 1] * e[n]
        for a, b in ((0, 37), (0, 1), (5, 36)):
            out = np.empty((13, b - a))
            _engine.project(m, np.ascontiguousarray(e[:, a:b]), out)
            assert_bits(out, expected[:, a:b])

    @pytest.mark.parametrize("n", [0, 1, 399, 400, 401, 560])
    def test_frames_are_the_cochleagrams(self, rng, n):
        x = rng.standard_normal(n)
        frames = cochleagram(x, FS, CFS).shape[1]
        assert ratemap(x, FS, CFS).shape == (CFS.size, frames)
        assert gfcc(x, FS, CFS).shape == (39, frames)
        assert ihc_envelope(x, FS, CFS).shape == (CFS.size, n)


class TestStreamsAndBatches:
    OPTIONS = {
        "ihc": {"model": "breebaart2001"},
        "ratemap": {"compression": "log", "frame": 0.02, "hop": 0.005},
        "gfcc": {"deltas": 2, "hop": 0.003},
        "levels": {},
    }

    @pytest.mark.parametrize("feature, options", [
        *OPTIONS.items(), ("gfcc", {"deltas": 1}), ("gfcc", {"deltas": 0, "frame": 0.002, "hop": 0.004}),
    ])
    def test_any_chunking_equals_one_shot(self, rng, feature, options):
        x = rng.standard_normal(4000)
        expected = FUNCTIONS[feature](x, FS, CFS, **options)
        for trial in range(12):
            cuts = np.sort(rng.integers(0, x.size + 1, rng.integers(0, 9)))
            if trial == 0:
                cuts = np.arange(1, x.size, 47)  # many chunks shorter than a hop
            edges = [0, *cuts, x.size]
            with FeatureStream(FS, CFS, feature, **options) as stream:
                parts = [stream.process(x[a:b]) for a, b in zip(edges[:-1], edges[1:])]
                parts.append(stream.close())
            assert_bits(np.concatenate(parts, axis=1), expected)

    @pytest.mark.parametrize("feature", list(OPTIONS))
    def test_batch_is_one_d_calls(self, rng, feature):
        x = rng.standard_normal((700, 2, 3))  # time first, as sound-file readers give it
        options = self.OPTIONS[feature]
        got = FUNCTIONS[feature](x, FS, CFS, axis=0, **options) if feature != "levels" else None
        stream = FeatureStream(FS, CFS, feature, axis=0, **options)
        streamed = np.concatenate([stream.process(x[:333]), stream.process(x[333:]), stream.close()], axis=-1)
        for i in range(2):
            for j in range(3):
                one = FUNCTIONS[feature](x[:, i, j], FS, CFS, **options)
                if got is not None:
                    assert_bits(got[i, j], one)
                assert_bits(streamed[i, j], one)

    @pytest.mark.parametrize("feature", ["ihc", "ratemap", "gfcc"])
    def test_threads_and_levels_change_no_bit(self, rng, monkeypatch, feature):
        x = rng.standard_normal(20000)
        cfs = erb_space(50.0, 7000.0, 40)
        expected = FUNCTIONS[feature](x, FS, cfs, workers=1)
        for simd in _engine.targets():
            monkeypatch.setenv("GAMMATONE_BANK_SIMD", simd)
            assert_bits(FUNCTIONS[feature](x, FS, cfs, workers=3), expected)


class TestRefusals:
    @pytest.mark.parametrize("call, kind, match", [
        (lambda x: ihc_envelope(np.stack([x, x]), FS, CFS), ValueError, "axis=-1"),
        (lambda x: ihc_envelope(x, FS, CFS, model="dau"), ValueError, "model must be one of"),
        (lambda x: ihc_envelope(x, FS, CFS, model=1), TypeError, "model"),
        (lambda x: ratemap(x, FS, CFS, tau=0.0), ValueError, "tau must be a positive"),
        (lambda x: ratemap(x, FS, CFS, compression="cube"), ValueError, "compression must be one of"),
        (lambda x: ratemap(x, FS, CFS, hop=0.0), ValueError, "hop must be"),
        (lambda x: gfcc(x, FS, CFS, n_ceps=20), ValueError, "n_ceps must be an int in 1 .. 19"),
        (lambda x: gfcc(x, FS, CFS, deltas=3), ValueError, "deltas"),
        (lambda x: gfcc(x, FS, CFS, deltas=1.0), TypeError, "deltas must be an int"),
        (lambda x: gfcc(x, FS, CFS, compression=None), ValueError, "compression"),
        (lambda x: gfcc(x, FS, CFS, axis=2), ValueError, "axis=2 is out of range"),
        (lambda x: FeatureStream(FS, CFS, "mfcc"), ValueError, "feature must be one of"),
        (lambda x: FeatureStream(FS, CFS, "ihc", tau=0.01), TypeError, "takes no option 'tau'"),
    ])
    def test_refused(self, rng, call, kind, match):
        with pytest.raises(kind, match=match):
            call(rng.standard_normal(100))

    def test_chunk_with_other_axes_leaves_the_stream_as_it_was(self, rng):
        x = rng.standard_normal((2, 3000))
        stream = FeatureStream(FS, CFS, "gfcc", axis=-1)
        first = stream.process(x[:, :1000])
        with pytest.raises(ValueError, match="other axes"):
            stream.process(rng.standard_normal((3, 10)))
        rest = np.concatenate([first, stream.process(x[:, 1000:]), stream.close()], axis=-1)
        assert_bits(rest, gfcc(x, FS, CFS, axis=-1))
        with pytest.raises(ValueError, match="closed"):
            stream.process(x)

    def test_dropping_held_frames_warns_and_reset_starts_afresh(self, rng):
        x = rng.standard_normal(1000)
        stream = FeatureStream(FS, CFS, "ratemap")
        with pytest.warns(RuntimeWarning, match="close"):
            with stream:
                stream.process(x)
        stream.reset()
        assert_bits(np.concatenate([stream.process(x), stream.close()], axis=1), ratemap(x, FS, CFS))

    @pytest.mark.parametrize("feature, options, n, held", [
        ("levels", {}, 1000, True),  # the clipped frame from 800
        ("levels", {}, 400, False),  # one frame, which ends with the signal
        ("gfcc", {}, 400, True),  # that frame, held back for its deltas
        ("gfcc", {"deltas": 0}, 400, False),
        ("gfcc", {"deltas": 0}, 1000, True),
        ("ihc", {}, 1000, False),
    ])
    def test_leaving_without_close_warns_only_when_something_is_held(self, rng, feature, options, n, held):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with FeatureStream(FS, CFS, feature, **options) as stream:
                stream.process(rng.standard_normal(n))
        assert [w.category for w in caught] == ([RuntimeWarning] if held else [])


class TestBatchedEngine:
    """A batch fills one engine's lanes across signals and channels: each (signal, channel) must stay its
    1-D call's bits whatever the blocks, tasks, threads and SIMD target that split the lanes and columns."""

    @pytest.mark.parametrize("feature, options", [
        ("ihc", {"model": "breebaart2001"}), ("ihc", {"model": "none"}),
        ("ratemap", {"compression": "cbrt", "hop": 0.004}), ("gfcc", {"deltas": 2, "normalize": True}),
    ])
    def test_blocks_threads_and_chunks_change_no_bit(self, rng, monkeypatch, target, feature, options):
        # Blocks of a few hundred columns that cut frames, tasks of a few lane groups: many of each.
        monkeypatch.setattr(_auditory, "BLOCK", 1 << 11)
        monkeypatch.setattr(_auditory, "COLUMNS", 333)
        monkeypatch.setattr(_auditory, "COLUMNS_MIN", 50)
        monkeypatch.setattr(_auditory, "SCRATCH", 1 << 12)
        x = rng.standard_normal((3, 5, 2400))
        x[1, 2] = 0.0  # a silent signal among the others
        ones = [FUNCTIONS[feature](row, FS, CFS, workers=1, **options) for row in x.reshape(15, -1)]
        expected = np.stack(ones).reshape(3, 5, *ones[0].shape)
        assert_bits(FUNCTIONS[feature](x, FS, CFS, workers=2, axis=-1, **options), expected)
        cuts = np.sort(rng.integers(0, x.shape[-1] + 1, 5))
        edges = [0, *cuts, x.shape[-1]]
        with FeatureStream(FS, CFS, feature, axis=-1, workers=2, **options) as stream:
            parts = [stream.process(x[..., a:b]) for a, b in zip(edges[:-1], edges[1:])]
            parts.append(stream.close())
        assert_bits(np.concatenate(parts, axis=-1), expected)
