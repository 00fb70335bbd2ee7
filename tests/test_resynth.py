"""The analytic output, resynthesis and masks.

The analytic output must carry bm's bits in its real part at every SIMD
target; the causal stream must give the one-shot result's bits however it is
chunked; the designs must reach their quality on in-band noise and under an
ideal mask; masks and gains are checked with messages that name them.
"""

import os
import re
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from gammatone_bank import (
    ResynthesisStream,
    Stream,
    _engine,
    cochleagram,
    erb_space,
    filterbank,
    ideal_binary_mask,
    ideal_ratio_mask,
    resynthesis_design,
    resynthesize,
)
from gammatone_bank import _resynth
from gammatone_bank._resynth import _mask_gains
from helpers import PYTHON, assert_bits, names, run_command, start, stop, temporaries, wait_for

FS = 16000
CFS = erb_space(50.0, 7900.0, 64)
DESIGNS = (None, 0.004, 0.016)


def in_band_noise(n, seed, low=50.0, high=7900.0):
    spectrum = np.fft.rfft(np.random.default_rng(seed).standard_normal(n))
    f = np.fft.rfftfreq(n, 1.0 / FS)
    spectrum[(f < low) | (f > high)] = 0.0
    return np.fft.irfft(spectrum, n)


def voiced(n):
    """A speech-like target: harmonics of a gliding pitch, amplitude-modulated, with pauses."""
    t = np.arange(n) / FS
    phase = 2 * np.pi * np.cumsum(120.0 + 30.0 * np.sin(2 * np.pi * 0.5 * t)) / FS
    s = sum(np.sin(k * phase) / k * (1.0 + np.sin(2 * np.pi * 3.0 * t + k)) for k in range(1, 50))
    s = s * (np.sin(2 * np.pi * 2.0 * t) > -0.3)
    return s / np.std(s)


def snr(reference, y, skip=FS // 10):
    """dB of reference over the error, away from both ends."""
    r, e = reference[skip:reference.size - skip], (y - reference)[skip:reference.size - skip]
    return 10.0 * np.log10(np.sum(r * r) / np.sum(e * e))


class TestAnalytic:
    @pytest.mark.parametrize("n", [0, 1, 255, 256, 257, 3000])
    def test_real_part_is_bm_and_magnitude_env(self, target, rng, n):
        x = rng.standard_normal(n)
        cfs = erb_space(60.0, 7000.0, 13)  # 13: a partly filled last group at every width
        both = filterbank(x, FS, cfs, env=True, analytic=True)
        alone = filterbank(x, FS, cfs)
        assert both.analytic.dtype == np.complex128 and both.analytic.flags.c_contiguous
        assert_bits(both.analytic.real, alone.bm)
        np.testing.assert_array_equal(both.bm, alone.bm)
        np.testing.assert_allclose(np.abs(both.analytic), both.env, rtol=1e-9, atol=1e-300)

    def test_quadrature_is_a_quarter_turn_behind(self):
        # A settled tone at cf: the imaginary part is the real part a quarter period later.
        cf = 1000.0
        t = np.arange(4000) / FS
        a = filterbank(np.cos(2 * np.pi * cf * t), FS, cf, analytic=True).analytic[0, 2000:]
        np.testing.assert_allclose(a.imag[:-4], -a.real[4:], atol=1e-3 * np.abs(a).max())

    def test_stream_chunks_give_the_one_shot_bits(self, target, rng):
        x = rng.standard_normal(2000)
        whole = filterbank(x, FS, CFS[::7], analytic=True).analytic
        with Stream(FS, CFS[::7], analytic=True) as stream:
            parts = [stream.process(c).analytic for c in np.split(x, [1, 300, 301, 1500])]
            parts.append(stream.close().analytic)
        assert_bits(np.concatenate(parts, axis=1), whole)

    def test_last_field_none_unless_asked(self):
        bank = filterbank(np.ones(10), FS, CFS[:3])
        assert bank._fields[-1] == "analytic" and bank.analytic is None


class TestOwnInput:
    """The engine's second-pass mode: every channel filters a row of its own."""

    @pytest.mark.parametrize("backwards", [False, True])
    def test_each_row_as_a_lone_filter(self, target, rng, backwards):
        cfs = CFS[::6]  # 11 channels
        rows = rng.standard_normal((cfs.size, 700))
        view = rows[:, ::-1] if backwards else rows
        out = np.empty(rows.shape)
        engine = _engine.Engine(FS, cfs)
        engine.process(view[:, :333], 0, engine.groups, bm=out)
        engine.process(view[:, 333:], 0, engine.groups, bm=out[:, 333:])
        for c, cf in enumerate(cfs):
            lone = filterbank(np.ascontiguousarray(view[c]), FS, cf).bm[0]
            assert_bits(out[c], lone)

    def test_weighted_output_is_re_of_weight_times_analytic(self, target, rng):
        cfs = CFS[::6]
        x = rng.standard_normal(600)
        w = rng.standard_normal(cfs.size) + 1j * rng.standard_normal(cfs.size)
        a = filterbank(x, FS, cfs, analytic=True).analytic
        engine = _engine.Engine(FS, cfs, weights=w)
        out = np.empty((cfs.size, x.size))
        engine.process(x, 0, engine.groups, weighted=out)
        expected = w.real[:, None] * a.real - w.imag[:, None] * a.imag
        assert_bits(out, expected)

    def test_rows_must_match_channels(self):
        engine = _engine.Engine(FS, CFS[:4])
        with pytest.raises(ValueError, match="4 rows"):
            engine.process(np.zeros((3, 10)), 0, engine.groups, bm=np.empty((4, 10)))


def scalar_causal(x, mask):
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("GAMMATONE_BANK_SIMD", "scalar")
        return resynthesize(x, FS, CFS, delay=0.004, mask=mask)


def streamed(x, cuts, mask=None, delay=0.004):
    """The stream's output over x cut at cuts, each chunk's gains spread from
    mask over that chunk alone, as a live mask would be."""
    spread = None if mask is None else _mask_gains(mask, x.size, FS, CFS.size, 0.025, 0.010)
    with ResynthesisStream(FS, CFS, delay=delay) as stream:
        edges = [0, *sorted(cuts), x.size]
        parts = [stream.process(x[a:b], None if spread is None else spread.gains(0, CFS.size, a, b))
                 for a, b in zip(edges[:-1], edges[1:])]
        parts.append(stream.close())
    return np.concatenate(parts)


class TestStream:
    @settings(max_examples=15, deadline=None)
    @given(cuts=st.lists(st.integers(0, 1500), max_size=6), masked=st.booleans(),
           block=st.sampled_from([256, 1 << 15]))
    def test_any_chunking_gives_the_one_shot_bits(self, cuts, masked, block):
        # block: how resynthesize itself feeds its stream.
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(_resynth, "CAUSAL_BLOCK", block)
            self.check_chunking(cuts, masked)

    def check_chunking(self, cuts, masked):
        rng = np.random.default_rng(len(cuts))
        x = rng.standard_normal(1500)
        mask = rng.uniform(size=(CFS.size, cochleagram(x, FS, CFS).shape[1])) if masked else None
        lag = round(0.004 * FS)
        expected = resynthesize(x, FS, CFS, delay=0.004, mask=mask)
        got = streamed(x, cuts, mask)
        assert got.size == x.size + lag
        assert_bits(got[lag:], expected)

    def test_same_bits_at_every_level(self, target, rng):
        x = rng.standard_normal(700)
        mask = rng.uniform(size=(CFS.size, cochleagram(x, FS, CFS).shape[1]))
        got = resynthesize(x, FS, CFS, delay=0.004, mask=mask)
        np.testing.assert_array_equal(got, scalar_causal(x, mask))

    def test_each_chunk_returns_its_length_and_close_the_lag(self, rng):
        with ResynthesisStream(FS, CFS, delay=0.01) as stream:
            assert stream.process(rng.standard_normal(37)).size == 37
            assert stream.process(np.empty(0)).size == 0
            assert stream.close().size == 160

    def test_constant_gains_scale_the_output(self, rng):
        x = rng.standard_normal(800)
        half, plain = ResynthesisStream(FS, CFS), ResynthesisStream(FS, CFS)
        np.testing.assert_allclose(half.process(x, np.full(CFS.size, 0.5)), 0.5 * plain.process(x), rtol=1e-12,
                                   atol=1e-15)

    def test_reset_starts_afresh(self, rng):
        x = rng.standard_normal(500)
        stream = ResynthesisStream(FS, CFS)
        first = stream.process(x)
        stream.process(x)
        stream.reset()
        np.testing.assert_array_equal(stream.process(x), first)


class TestQuality:
    """Floors a little below the goals, on shorter signals than the benchmark."""

    @pytest.mark.parametrize(("delay", "floor"), [(None, 44.0), (0.004, 29.0), (0.016, 44.0)])
    def test_identity_on_in_band_noise(self, delay, floor):
        x = in_band_noise(FS, 1)
        y = resynthesize(x, FS, CFS, delay=delay)
        assert y.shape == x.shape
        assert snr(x, y) > floor

    @pytest.mark.parametrize(("delay", "floor"), [(None, 8.5), (0.004, 8.0), (0.016, 8.5)])
    def test_ideal_binary_mask_gain_at_0_db(self, delay, floor):
        target = voiced(FS)
        noise = np.random.default_rng(2).standard_normal(FS)
        noise *= np.sqrt(np.sum(target**2) / np.sum(noise**2))
        mask = ideal_binary_mask(target, noise, FS, CFS)
        assert snr(target, target + noise, skip=0) == pytest.approx(0.0, abs=1e-9)
        assert snr(target, resynthesize(target + noise, FS, CFS, mask=mask, delay=delay)) > floor

    @pytest.mark.parametrize("delay", DESIGNS)
    def test_all_ones_changes_nothing_and_all_zeros_is_silence(self, rng, delay):
        x = rng.standard_normal(2345)
        frames = cochleagram(x, FS, CFS).shape[1]
        plain = resynthesize(x, FS, CFS, delay=delay)
        ones = resynthesize(x, FS, CFS, delay=delay, mask=np.ones((CFS.size, frames)))
        np.testing.assert_allclose(ones, plain, rtol=1e-12, atol=1e-12 * np.abs(plain).max())
        zeros = resynthesize(x, FS, CFS, delay=delay, mask=np.zeros((CFS.size, frames)))
        assert not np.any(zeros)

    def test_a_masked_channel_band_goes_quiet(self, rng):
        # Masking out the channels above 2 kHz removes that band, not the rest.
        x = in_band_noise(FS, 3)
        mask = np.ones((CFS.size, cochleagram(x, FS, CFS).shape[1]))
        mask[CFS > 2000.0] = 0.0
        y = resynthesize(x, FS, CFS, mask=mask)
        f = np.fft.rfftfreq(x.size, 1.0 / FS)
        power = np.abs(np.fft.rfft(y)) ** 2 / np.abs(np.fft.rfft(x)) ** 2
        assert np.median(power[(f > 200) & (f < 1500)]) > 0.8
        assert np.median(power[(f > 3000) & (f < 7000)]) < 1e-3


class TestDesign:
    def test_cached_and_read_only(self):
        a = resynthesis_design(FS, CFS, 0.004)
        assert resynthesis_design(FS, list(CFS), 0.004) is a
        with pytest.raises(ValueError):
            a.weights[0] = 0

    def test_delays_align_each_channel_on_the_lag(self):
        d = resynthesis_design(FS, CFS, 0.016)
        assert d.lag == 256 and d.weights.dtype == np.complex128
        np.testing.assert_array_equal(d.delays, np.maximum(np.rint(256 - d.group_delays), 0))
        # Group delay falls with cf: the lowest channels are the latest.
        assert np.all(np.diff(d.group_delays) < 0)
        zero = resynthesis_design(FS, CFS)
        assert zero.delay is None and zero.weights.dtype == np.float64 and not zero.delays.any()

    @pytest.mark.parametrize("delay", DESIGNS)
    def test_one_channel_passes_its_band(self, delay):
        # A lone channel's design still has a band to fit (no FFT bin lies
        # exactly on 1000.3 Hz): a tone at its cf comes back.
        t = np.arange(FS) / FS
        x = np.sin(2 * np.pi * 1000.3 * t)
        assert snr(x, resynthesize(x, FS, 1000.3, delay=delay)) > 20.0

    def test_group_delay_of_a_lone_channel(self):
        # A fourth-order gammatone's group delay at cf is 4 / (2 pi 1.019 ERB(cf)).
        cf = 1000.0
        erb = 24.7 * (0.00437 * cf + 1.0)
        d = resynthesis_design(FS, cf, 0.01)
        assert d.group_delays[0] / FS == pytest.approx(4.0 / (2 * np.pi * 1.019 * erb), rel=0.02)


class TestIdealMasks:
    def test_binary_mask_follows_the_criterion(self, rng):
        noise = rng.standard_normal(4000)
        target = 2.0 * noise  # 6.02 dB above the interference everywhere
        assert ideal_binary_mask(target, noise, FS, CFS, lc=5.0).all()
        assert not ideal_binary_mask(target, noise, FS, CFS, lc=7.0).any()
        assert ideal_binary_mask(target, noise, FS, CFS).shape == cochleagram(noise, FS, CFS).shape

    @pytest.mark.parametrize(("beta", "expected"), [(1.0, 0.8), (0.5, np.sqrt(0.8))])
    def test_ratio_mask(self, rng, beta, expected):
        noise = rng.standard_normal(4000)
        m = ideal_ratio_mask(2.0 * noise, noise, FS, CFS, frame=0.02, hop=0.005, beta=beta)
        assert m.shape == cochleagram(noise, FS, CFS, frame=0.02, hop=0.005).shape
        np.testing.assert_allclose(m, expected, rtol=1e-9)


X = np.random.default_rng(5).standard_normal(1000)
FRAMES = cochleagram(X, FS, CFS).shape[1]


class TestRefusals:
    @pytest.mark.parametrize(
        ("mask", "error", "match"),
        [
            (np.ones((64, FRAMES + 1)), ValueError, rf"\(64, {FRAMES}\).*\(64, {FRAMES + 1}\)"),
            (np.ones(FRAMES), ValueError, "mask must have shape"),
            (np.full((64, FRAMES), 1.5), ValueError, r"mask weights must lie in \[0, 1\], got 1.5"),
            (np.full((64, FRAMES), np.nan), ValueError, "mask weights"),
            (np.full((64, FRAMES), 1j), TypeError, "mask must be real"),
        ],
    )
    @pytest.mark.parametrize("delay", [None, 0.004])
    def test_bad_masks(self, mask, error, match, delay):
        with pytest.raises(error, match=match):
            resynthesize(X, FS, CFS, mask=mask, delay=delay)

    @pytest.mark.parametrize(("delay", "error"), [(-0.001, ValueError), (float("inf"), ValueError),
                                                  (float("nan"), ValueError), (1.5, ValueError), ("4ms", TypeError)])
    def test_bad_delays(self, delay, error):
        with pytest.raises(error, match="delay must be"):
            resynthesize(X, FS, CFS, delay=delay)
        with pytest.raises(error, match="delay must be"):
            ResynthesisStream(FS, CFS, delay=delay)
        with pytest.raises(ValueError, match="a stream cannot be zero-phase"):
            ResynthesisStream(FS, CFS, delay=None)

    @pytest.mark.parametrize(
        ("gains", "error", "match"),
        [
            (np.ones(63), ValueError, r"gains must have shape \(channels,\) = \(64,\)"),
            (np.ones((64, 11)), ValueError, r"\(64, 10\)"),
            (np.full(64, np.inf), ValueError, "gains must be finite"),
            (np.full(64, 1j), TypeError, "gains must be real"),
        ],
    )
    def test_bad_gains_leave_the_stream_as_it_was(self, gains, error, match):
        stream = ResynthesisStream(FS, CFS)
        with pytest.raises(error, match=match):
            stream.process(X[:10], gains)
        assert stream.samples == 0
        np.testing.assert_array_equal(stream.process(X), ResynthesisStream(FS, CFS).process(X))

    def test_unsorted_cfs(self):
        with pytest.raises(ValueError, match="ascending"):
            resynthesize(X, FS, CFS[::-1])

    @pytest.mark.parametrize(("kwargs", "error"), [({"lc": np.inf}, ValueError), ({"lc": "x"}, TypeError)])
    def test_bad_criterion(self, kwargs, error):
        with pytest.raises(error, match="lc must"):
            ideal_binary_mask(X, X, FS, CFS, **kwargs)

    @pytest.mark.parametrize("beta", [0.0, -1.0, np.nan])
    def test_bad_beta(self, beta):
        with pytest.raises(ValueError, match="beta must"):
            ideal_ratio_mask(X, X, FS, CFS, beta=beta)

    def test_parts_of_different_lengths(self):
        with pytest.raises(ValueError, match=r"same shape.*\(1000,\) and \(999,\)"):
            ideal_binary_mask(X, X[:-1], FS, CFS)


# ---------------------------------------------------------------- command line

def command(*args, cwd):
    """Run `gammatone-bank resynthesize ARGS` in cwd to its end."""
    return run_command("resynthesize", *args, cwd=cwd, timeout=120)


@pytest.fixture
def sf():
    return pytest.importorskip("soundfile")


@pytest.fixture
def noise_wav(tmp_path, sf):
    x = 0.25 * in_band_noise(FS, 7)
    sf.write(tmp_path / "in.wav", x, FS, subtype="PCM_24")
    return sf.read(tmp_path / "in.wav")[0]


def band_cfs(channels=64):
    return erb_space(50.0, 0.45 * FS, channels)  # the command's default band at 16 kHz


class TestCommandLine:
    @pytest.mark.parametrize("delay", [None, 0.004])
    def test_writes_the_library_result_in_the_input_subtype(self, tmp_path, sf, noise_wav, delay):
        mask = np.random.default_rng(1).uniform(size=(64, cochleagram(noise_wav, FS, band_cfs()).shape[1]))
        np.save(tmp_path / "mask.npy", mask)
        extra = [] if delay is None else ["--delay", delay]
        done = command("in.wav", "--out", "out.wav", "--mask", "mask.npy", *extra, cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        assert done.stderr == "" and "wrote out.wav (WAV PCM_24)" in done.stdout
        assert sf.info(tmp_path / "out.wav").subtype == "PCM_24"
        y, fs = sf.read(tmp_path / "out.wav")
        expected = resynthesize(noise_wav, FS, band_cfs(), mask=mask, delay=delay)
        assert fs == FS and y.shape == noise_wav.shape
        np.testing.assert_allclose(y, expected, atol=2.0**-23)
        assert names(tmp_path) == ["in.wav", "mask.npy", "out.wav"]

    def test_clipping_is_warned_with_its_size(self, tmp_path, sf):
        x = np.clip(0.6 * np.random.default_rng(4).standard_normal(FS), -1, 1)
        sf.write(tmp_path / "loud.flac", x, FS, subtype="PCM_16")
        done = command("loud.flac", "--out", "out.flac", "--delay", "0.004", cwd=tmp_path)
        assert done.returncode == 0
        found = re.fullmatch(r"gammatone-bank: warning: (\d+) samples beyond full scale clipped "
                             r"\(peak (1\.\d+), (\d\.\d) dB over\).*\n", done.stderr)
        assert found, done.stderr
        # The figures are those of the unclipped output, the dB over as an amplitude ratio.
        y = resynthesize(sf.read(tmp_path / "loud.flac")[0], FS, band_cfs(), delay=0.004)
        assert int(found[1]) == np.count_nonzero(np.abs(y) > 1.0)
        assert float(found[2]) == float(f"{np.abs(y).max():.3g}")
        assert found[3] == f"{20 * np.log10(np.abs(y).max()):.1f}" and float(found[3]) > 0.5
        assert np.abs(sf.read(tmp_path / "out.flac")[0]).max() <= 1.0

    @pytest.mark.parametrize("subtype", ["float", "DOUBLE"])
    def test_float_subtypes_keep_what_lies_beyond_full_scale(self, tmp_path, sf, subtype):
        x = np.clip(0.6 * np.random.default_rng(4).standard_normal(FS), -1, 1)
        sf.write(tmp_path / "loud.flac", x, FS, subtype="PCM_16")
        done = command("loud.flac", "--out", "out.wav", "--subtype", subtype, cwd=tmp_path)
        assert (done.returncode, done.stderr) == (0, "")
        assert np.abs(sf.read(tmp_path / "out.wav")[0]).max() > 1.0

    @pytest.mark.parametrize("delay", [[], ["--delay", "0.004"]])
    def test_overflowing_input_is_refused(self, tmp_path, sf, delay):
        """Samples so large that the filter overflows, as the cochleagram command refuses them."""
        sf.write(tmp_path / "huge.wav", np.full(FS // 10, 1e308), FS, subtype="DOUBLE")
        done = command("huge.wav", "--out", "out.wav", "--channels", "4", *delay, cwd=tmp_path)
        assert done.returncode == 2
        assert done.stderr == ("gammatone-bank: error: huge.wav: its resynthesis is not finite: samples up to "
                               "1e+308 overflow the filter (scale the input down)\n")
        assert names(tmp_path) == ["huge.wav"]

    @pytest.mark.parametrize(("write", "message"), [
        (lambda p: p.write_bytes(b""), "m.npy: is empty; save the mask with numpy.save"),
        (lambda p: p.write_text("0.5 0.5\n"), r"m.npy: not a readable .npy mask \(not an .npy array"),
        (lambda p: np.savez(p, np.ones((4, 9))) or os.rename(f"{p}.npz", p),
         r"m.npy: holds several arrays \(an .npz\); save the mask alone with numpy.save"),
        (lambda p: np.save(p, np.ones((4, 9), complex)),
         r"m.npy: holds complex numbers; a mask holds real weights in \[0, 1\]"),
        (lambda p: np.save(p, np.array([[0.5, None]], object), allow_pickle=True),
         r"m.npy: not a readable .npy mask \(holds Python objects, which are never unpickled"),
        (lambda p: np.save(p, np.ones((4, 9))) or p.write_bytes(p.read_bytes()[:-8]),
         r"m.npy: not a readable .npy mask \(\d+ bytes where its header declares \d+: damaged or cut short\)"),
        (lambda p: np.save(p, np.ones((4, 9), "<U3")), r"m.npy: holds <U3 values; a mask holds real weights"),
    ], ids=["empty", "text", "npz", "complex", "pickle", "cut-short", "text-array"])
    def test_mask_files_refused_in_our_words(self, tmp_path, sf, write, message):
        sf.write(tmp_path / "in.wav", np.zeros(FS // 10), FS, subtype="PCM_16")
        write(tmp_path / "m.npy")
        done = command("in.wav", "--out", "out.wav", "--channels", "4", "--mask", "m.npy", cwd=tmp_path)
        assert done.returncode == 2
        assert re.fullmatch(f"gammatone-bank: error: {message}.*\n", done.stderr), done.stderr
        assert "allow_pickle" not in done.stderr
        assert names(tmp_path) == ["in.wav", "m.npy"]

    def test_help_names_the_levels_key(self, tmp_path):
        done = command("--help", cwd=tmp_path)
        assert done.returncode == 0
        assert 'load_features("features.npz").levels' in done.stdout and "level.shape" not in done.stdout

    @pytest.mark.parametrize(
        ("args", "message"),
        [
            (["--mask", "short.npy"], r"short.npy: mask must have shape .* = \(64, 99\).*got \(64, 98\)"),
            (["--mask", "in.wav"], "in.wav: not a readable .npy mask"),
            (["--delay", "-0.1"], r"--delay must be seconds in \[0, 1\], got -0.1"),
            (["--subtype", "VORBIS"], "out.wav: WAV cannot hold VORBIS"),
            (["--high", "9000"], "in.wav: --high 9000 Hz needs a sample rate above"),
        ],
    )
    def test_refusals_leave_nothing(self, tmp_path, noise_wav, args, message):
        np.save(tmp_path / "short.npy", np.ones((64, 98)))
        before = names(tmp_path)
        done = command("in.wav", "--out", "out.wav", *args, cwd=tmp_path)
        assert done.returncode == 2
        assert re.fullmatch(f"gammatone-bank: error: {message}.*\n", done.stderr), done.stderr
        assert names(tmp_path) == before

    @pytest.mark.parametrize(("out", "message"), [("out.xyz", "unknown sound format 'XYZ'"),
                                                  ("in.wav", "--out names the input file")])
    def test_bad_outputs(self, tmp_path, noise_wav, out, message):
        done = command("in.wav", "--out", out, cwd=tmp_path)
        assert done.returncode == 2 and message in done.stderr

    @pytest.mark.parametrize(("signum", "status"), [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
    def test_signal_ends_cleanly(self, tmp_path, sf, signum, status):
        sf.write(tmp_path / "long.wav", np.zeros(600 * FS, np.int16), FS, subtype="PCM_16")
        proc = start([*PYTHON, "gammatone_bank", "resynthesize", "long.wav", "--out", "o.wav", "--delay", "0.004"],
                     cwd=tmp_path)
        try:
            # The temporary output appears once the run has begun.
            wait_for(lambda: temporaries(tmp_path), 60, every=0.01)
            proc.send_signal(signum)
            out, err = proc.communicate(timeout=60)
        finally:
            stop(proc)
        assert proc.returncode == status, err
        assert out == "" and "Traceback" not in err
        assert names(tmp_path) == ["long.wav"]


def zero_phase_in_memory(x, mask=None, frame=0.025, hop=0.010):
    """The zero-phase definition on whole arrays: the forward pass rung out,
    masked, reversed through each channel again, summed in channel order."""
    total = x.size + _resynth._ring_out(FS, CFS)
    u = filterbank(np.concatenate([x, np.zeros(total - x.size)]), FS, CFS).bm
    if mask is not None:
        u *= _mask_gains(mask, x.size, FS, CFS.size, frame, hop).gains(0, CFS.size, 0, total)
    v = np.empty_like(u)
    engine = _engine.Engine(FS, CFS)
    engine.process(u[:, ::-1], 0, engine.groups, bm=v)
    # Eight channels at a time in channel order, then the eights in order.
    weighted = resynthesis_design(FS, CFS).weights[:, np.newaxis] * v
    y = np.zeros(total)
    for eight in range(0, CFS.size, 8):
        part = np.zeros(total)
        for row in weighted[eight:eight + 8]:
            part += row
        y += part
    return y[::-1][:x.size]


class TestZeroPhaseBlocks:
    @pytest.mark.parametrize("block", [1000, 4096, 1 << 16])
    @pytest.mark.parametrize(("n", "masked"), [(1, False), (2999, True), (9000, False), (9000, True)])
    def test_blocks_give_the_in_memory_bits(self, rng, block, n, masked, monkeypatch):
        monkeypatch.setattr(_resynth, "ZERO_PHASE_BLOCK", block)
        x = rng.standard_normal(n)
        mask = rng.uniform(size=(CFS.size, cochleagram(x, FS, CFS).shape[1])) if masked else None
        np.testing.assert_array_equal(resynthesize(x, FS, CFS, mask=mask), zero_phase_in_memory(x, mask))

    def test_same_bits_at_every_level(self, target, rng, monkeypatch):
        monkeypatch.setattr(_resynth, "ZERO_PHASE_BLOCK", 1500)
        x = rng.standard_normal(4000)
        got = resynthesize(x, FS, CFS, workers=2)
        monkeypatch.setenv("GAMMATONE_BANK_SIMD", "scalar")
        np.testing.assert_array_equal(got, zero_phase_in_memory(x))

    @pytest.mark.parametrize("masked", [False, True])
    def test_in_memory_and_block_paths_give_the_same_bits(self, target, rng, masked, monkeypatch):
        # Forward passes counted: one kept whole within the budget; beyond
        # it, each block but the last run twice (forward, then rerun).
        x = rng.standard_normal(5000)
        mask = rng.uniform(size=(CFS.size, cochleagram(x, FS, CFS).shape[1])) if masked else None
        resynthesis_design(FS, CFS)
        drives = []
        drive = _resynth._bank._drive
        monkeypatch.setattr(_resynth._bank, "_drive", lambda *args: drives.append(args[1].size) or drive(*args))
        monkeypatch.setattr(_resynth, "ZERO_PHASE_BLOCK", 1500)
        whole = resynthesize(x, FS, CFS, mask=mask, workers=2)
        total = x.size + _resynth._ring_out(FS, CFS)
        assert drives == [total]
        monkeypatch.setattr(_resynth, "ZERO_PHASE_MEMORY", CFS.size * total * 8 - 1)
        drives.clear()
        blocks = resynthesize(x, FS, CFS, mask=mask, workers=2)
        assert len(drives) == 2 * -(-total // 1500) - 1
        np.testing.assert_array_equal(blocks, whole)
        monkeypatch.setenv("GAMMATONE_BANK_SIMD", "scalar")
        np.testing.assert_array_equal(whole, zero_phase_in_memory(x, mask))

    def test_edges_come_back_like_the_middle(self):
        # The benchmark's signal: 3 s of in-band noise.
        x = in_band_noise(3 * FS, 1)
        y = resynthesize(x, FS, CFS)
        edge = FS // 10
        assert snr(x, y, skip=0) > 45.0
        assert snr(x[-edge:], y[-edge:], skip=0) > 45.0
        assert snr(x[:edge], y[:edge], skip=0) > 45.0

    @pytest.mark.slow
    def test_ten_minutes_at_48_khz_within_3_gib(self):
        code = ("import numpy as np; from gammatone_bank import erb_space, resynthesize; fs = 48000; "
                "y = resynthesize(np.random.default_rng(0).standard_normal(600 * fs), fs, erb_space(50, 20000, 64)); "
                "assert y.size == 600 * fs and np.isfinite(y).all()")
        run = subprocess.run(["prlimit", f"--as={3 << 30}", sys.executable, "-P", "-c", code],
                             capture_output=True, text=True, timeout=600)
        assert run.returncode == 0, run.stderr[-2000:]


def spread_by_definition(mask, n, frame_len, hop_len):
    """sum_k m[c, k] win(t - k hop) / sum_k win(t - k hop), window over max(frame, hop)."""
    size = max(frame_len, hop_len)
    win = 0.5 - 0.5 * np.cos(2 * np.pi * (np.arange(size) + 0.5) / size)
    cover = np.zeros((mask.shape[1], n))
    for k in range(mask.shape[1]):
        part = win[:max(0, min(size, n - k * hop_len))]
        cover[k, k * hop_len:k * hop_len + part.size] = part
    return (mask @ cover) / cover.sum(axis=0)


class TestMaskSpread:
    @pytest.mark.parametrize(("frame", "hop"), [(0.025, 0.010), (0.005, 0.010), (0.020, 0.020), (0.3, 0.007)])
    def test_gains_follow_the_definition_in_any_block(self, rng, frame, hop):
        n = 3001
        spread = _mask_gains(rng.uniform(size=(5, cochleagram(np.zeros(n), FS, CFS[:5], frame=frame, hop=hop).shape[1])),
                             n, FS, 5, frame, hop)
        expected = spread_by_definition(spread.mask, n, spread.size if frame >= hop else round(frame * FS),
                                        spread.hop)
        whole = spread.gains(0, 5, 0, n)
        np.testing.assert_allclose(whole, expected, rtol=1e-12)
        cut = np.concatenate([spread.gains(0, 5, a, min(a + 777, n)) for a in range(0, n, 777)], axis=1)
        np.testing.assert_array_equal(cut, whole)
        # Past the end the last sample's gains hold.
        np.testing.assert_array_equal(spread.gains(0, 5, n - 1, n + 3), np.repeat(whole[:, -1:], 4, axis=1))

    def test_frame_shorter_than_hop_still_covers_every_sample(self, rng):
        x = rng.standard_normal(3000)
        frames = cochleagram(x, FS, CFS, frame=0.005, hop=0.010).shape[1]
        for delay in DESIGNS:
            plain = resynthesize(x, FS, CFS, delay=delay)
            ones = resynthesize(x, FS, CFS, delay=delay, mask=np.ones((CFS.size, frames)), frame=0.005, hop=0.010)
            np.testing.assert_allclose(ones, plain, rtol=1e-12, atol=1e-12 * np.abs(plain).max())

    def test_an_hour_long_frame_on_a_second(self, rng):
        x = rng.standard_normal(FS)
        y = resynthesize(x, FS, CFS, mask=np.full((CFS.size, 1), 0.5), frame=3600.0, hop=3600.0)
        np.testing.assert_allclose(y, 0.5 * resynthesize(x, FS, CFS), rtol=1e-12, atol=1e-15)


class TestChecks:
    def test_lag_is_rounded(self):
        assert resynthesis_design(44100, CFS, 0.006).lag == 265

    def test_no_delay_is_a_causal_design(self, rng):
        x = rng.standard_normal(500)
        assert resynthesis_design(FS, CFS, 0.0).lag == 0
        assert resynthesize(x, FS, CFS, delay=0.0).shape == x.shape

    @pytest.mark.parametrize(("call", "name"), [
        (lambda x: resynthesize(x, FS, CFS, delay=True), "delay"),
        (lambda x: ResynthesisStream(FS, CFS, delay=True), "delay"),
        (lambda x: ideal_binary_mask(x, x, FS, CFS, lc=True), "lc"),
        (lambda x: ideal_ratio_mask(x, x, FS, CFS, beta=True), "beta"),
    ])
    def test_bools_are_not_numbers(self, call, name):
        with pytest.raises(TypeError, match=name):
            call(np.ones(100))

    @pytest.mark.parametrize("delay", DESIGNS)
    @pytest.mark.parametrize(("frame", "hop"), [(-1.0, 0.01), (0.025, 0.0), (0.025, float("nan")), (1e-9, 0.01)])
    def test_frame_and_hop_checked_without_a_mask(self, delay, frame, hop):
        with pytest.raises(ValueError, match="frame|hop"):
            resynthesize(np.ones(100), FS, CFS, delay=delay, frame=frame, hop=hop)

    @pytest.mark.parametrize("fs", [1, 2, 3, 4, 5])
    @pytest.mark.parametrize("delay", [None, 0.0, 1.0])
    def test_tiny_rates_give_a_result(self, fs, delay):
        # Frames of at least a sample: the default 25 ms is refused as shorter.
        y = resynthesize(np.ones(20), fs, [0.2 * fs], delay=delay, frame=2.0, hop=1.0)
        assert y.shape == (20,) and np.isfinite(y).all()
        with pytest.raises(ValueError, match="frame must be at least one sample"):
            resynthesize(np.ones(20), fs, [0.2 * fs], delay=delay)

    @pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
    @pytest.mark.parametrize(("call", "name"), [
        (lambda x, c: resynthesize(x, FS, CFS), "x"),
        (lambda x, c: resynthesize(x, FS, CFS, delay=0.004), "x"),
        (lambda x, c: ideal_binary_mask(x, c, FS, CFS), "target"),
        (lambda x, c: ideal_ratio_mask(c, x, FS, CFS), "interference"),
    ])
    def test_non_finite_samples_are_named(self, bad, call, name):
        x = np.ones(1000)
        x[700] = bad
        with pytest.raises(ValueError, match=rf"{name} must be finite, got {bad!r} at sample 700"):
            call(x, np.ones(1000))

    def test_a_bad_weight_off_the_first_row_is_named(self):
        mask = np.ones((CFS.size, FRAMES))
        mask[40, 2] = 2.0
        with pytest.raises(ValueError, match=r"got 2.0 at \(40, 2\)"):
            resynthesize(X, FS, CFS, mask=mask)

    def test_silence_in_both_parts_masks_out(self):
        assert not ideal_binary_mask(np.zeros(800), np.zeros(800), FS, CFS).any()

    def test_an_oversized_design_is_refused_with_its_size(self):
        with pytest.raises(ValueError, match=r"needs \d+\.\d GiB.*use at most \d+ channels"):
            resynthesis_design(FS, erb_space(50.0, 7900.0, 20000))


class TestStreamGains:
    def test_close_rings_out_under_unit_gains_after_none(self, rng):
        x = rng.standard_normal(600)
        half = np.full(CFS.size, 0.5)
        ones, none = ResynthesisStream(FS, CFS), ResynthesisStream(FS, CFS)
        for stream, last in ((ones, np.ones(CFS.size)), (none, None)):
            stream.process(x, half)
            stream.process(x, last)
        np.testing.assert_array_equal(none.close(), ones.close())

    def test_calls_from_many_threads_lose_nothing(self):
        # Identical chunks: each call's output depends only on its turn, so
        # the outputs are the one-shot's segments, whatever the order.
        chunk, calls, threads = np.ones(2048), 12, 4
        expected = ResynthesisStream(FS, CFS).process(np.tile(chunk, calls * threads)).reshape(-1, chunk.size)
        stream = ResynthesisStream(FS, CFS, workers=2)
        results, errors = [], []

        def feed():
            try:
                for _ in range(calls):
                    results.append(stream.process(chunk).tobytes())
            except Exception as exc:  # noqa: BLE001 - reported below
                errors.append(exc)

        workers = [threading.Thread(target=feed) for _ in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(60)
        assert not errors
        assert sorted(results) == sorted(row.tobytes() for row in expected)
        assert stream.samples == chunk.size * calls * threads


def random_cuts(rng, n, count):
    return np.sort(rng.integers(0, n + 1, count))


class TestBatches:
    @pytest.mark.parametrize("delay", DESIGNS)
    @pytest.mark.parametrize(("shape", "axis"), [((3, 900), -1), ((900, 2), 0), ((2, 700, 2), 1)])
    def test_each_signal_is_the_one_dimensional_call(self, rng, delay, shape, axis, monkeypatch):
        monkeypatch.setattr(_resynth, "ZERO_PHASE_BLOCK", 500)
        x = rng.standard_normal(shape)
        rows = np.moveaxis(x, axis, -1)
        frames = cochleagram(rows.reshape(-1, shape[axis])[0], FS, CFS).shape[1]
        mask = rng.uniform(size=rows.shape[:-1] + (CFS.size, frames))
        got = resynthesize(x, FS, CFS, delay=delay, mask=mask, axis=axis)
        assert got.shape == x.shape
        for index in np.ndindex(rows.shape[:-1]):
            np.testing.assert_array_equal(np.moveaxis(got, axis, -1)[index],
                                          resynthesize(rows[index], FS, CFS, delay=delay, mask=mask[index]))

    @pytest.mark.parametrize("make", [ideal_binary_mask, ideal_ratio_mask])
    def test_masks_of_a_batch(self, rng, make):
        target, noise = rng.standard_normal((2, 800, 3))
        got = make(target, noise, FS, CFS, axis=0)
        assert got.shape == (3,) + cochleagram(target[:, 0], FS, CFS).shape
        for i in range(3):
            np.testing.assert_array_equal(got[i], make(target[:, i], noise[:, i], FS, CFS))

    @pytest.mark.parametrize("call", [
        lambda x: resynthesize(x, FS, CFS),
        lambda x: ideal_binary_mask(x, x, FS, CFS),
        lambda x: ResynthesisStream(FS, CFS).process(x),
    ])
    def test_many_signals_need_an_axis(self, call):
        with pytest.raises(ValueError, match="axis=-1.*axis=0"):
            call(np.ones((100, 2)))

    @pytest.mark.parametrize("seed", range(4))
    def test_stream_of_a_batch_in_random_chunks(self, seed):
        rng = np.random.default_rng(seed)
        x = rng.standard_normal((1200, 2, 2))
        gains = rng.uniform(size=(2, 2, CFS.size, x.shape[0]))
        stream = ResynthesisStream(FS, CFS, axis=0)
        edges = [0, *random_cuts(rng, x.shape[0], 4), x.shape[0]]
        parts = []
        for a, b in zip(edges[:-1], edges[1:]):
            parts.append(stream.process(x[a:b], gains[..., a:b]))
            # Refused once the first samples fixed the other axes, and the
            # stream goes on as if it had never been given.
            if b > 0:
                with pytest.raises(ValueError, match="other axes"):
                    stream.process(np.ones((10, 3)))
        parts.append(stream.close())
        got = np.concatenate(parts, axis=0)
        assert got.shape == (1200 + 64, 2, 2)
        for i, j in np.ndindex(2, 2):
            one = ResynthesisStream(FS, CFS)
            expected = np.concatenate([one.process(x[:, i, j], gains[i, j]), one.close()])
            np.testing.assert_array_equal(got[:, i, j], expected)
