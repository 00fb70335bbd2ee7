"""The filter's outputs against the sample-by-sample model, bit for bit."""

import math

import numpy as np
import pytest

import gammatone_c
from helpers import assert_same_bits
from model import gammatone as model

N = 700  # many of the kernel's internal blocks, and a part of one

RATES = [
    (16000, 1000.0),
    (8000, 3999.5),      # next to Nyquist
    (44100, 30.0),
    (22050, 5000.0),
    (16000, 12000.0),    # above Nyquist
    (16000, -300.0),     # negative: the pole radius exceeds 1 and outputs blow up
    (3, 0.7),
]


def signal(kind, n, rng):
    if kind == "noise":
        return rng.standard_normal(n)
    if kind == "tone":
        return np.sin(2 * np.pi * 1030.0 * np.arange(n) / 16000.0)
    if kind == "impulse":
        x = np.zeros(n)
        x[0] = 1.0
        return x
    if kind == "tiny":
        # magnitudes from subnormal to well above the flush threshold, so the
        # recursion crosses it in both directions throughout
        return rng.standard_normal(n) * 10.0 ** rng.uniform(-320, -150, n)
    if kind == "tail":
        # a short burst, then silence: the response decays through 1e-200
        x = np.zeros(n)
        x[:20] = rng.standard_normal(20) * 1e-185
        return x
    if kind == "specials":
        x = rng.standard_normal(n)
        x[rng.integers(0, n, 6)] = [np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324]
        return x
    if kind == "huge":
        return rng.standard_normal(n) * 1e306
    raise ValueError(kind)


KINDS = ["noise", "tone", "impulse", "tiny", "tail", "specials", "huge"]


def padded(n, fill=7.5):
    """n usable samples followed by a sentinel tail that must survive."""
    return np.full(n + 3, fill)


@pytest.mark.parametrize("fs, cf", RATES)
@pytest.mark.parametrize("kind", KINDS)
def test_all_outputs_match_model(kind, fs, cf, rng):
    x = signal(kind, N, rng)
    outs = [padded(N) for _ in range(4)]
    assert gammatone_c.gammatone_c(x, N, fs, cf, *outs) is None
    for got, want in zip(outs, model(x, fs, cf)):
        assert_same_bits(got[:N], want)
        np.testing.assert_array_equal(got[N:], 7.5)


# Which outputs are requested: positions after bm, None = not requested.
REQUESTS = [
    (),
    ("env",),
    ("env", "instp"),
    ("env", "instp", "instf"),
    (None, "instp"),
    (None, None, "instf"),
    (None, "instp", "instf"),
]


@pytest.mark.parametrize("request_", REQUESTS, ids=lambda r: "+".join(map(str, r)) or "bm")
def test_any_subset_of_outputs(request_, rng):
    x = signal("noise", N, rng)
    fs, cf = 16000, 1500.0
    bufs = {name: padded(N) for name in request_ if name}
    args = [bufs.get(name) if name else None for name in request_]
    bm = padded(N)
    gammatone_c.gammatone_c(x, N, fs, cf, bm, *args)
    want = dict(zip(["bm", "env", "instp", "instf"], model(x, fs, cf)))
    assert_same_bits(bm[:N], want["bm"])
    for name, buf in bufs.items():
        assert_same_bits(buf[:N], want[name])
        np.testing.assert_array_equal(buf[N:], 7.5)


@pytest.mark.parametrize("fs, seed", [(16000, 0), (8000, 4), (44100, 1), (22050, 2)])
@pytest.mark.parametrize("request_", [("env", "instp", "instf"), (None, None, "instf")],
                         ids=["all", "instf"])
def test_phase_steps_of_exactly_pi(fs, seed, request_):
    """At cf = fs/2 the oscillator is (-1)^t, off the real axis only by
    sin(pi) ~ 1.2e-16, so a low tone gives an output of alternating sign
    whose angle is exactly 0 or +-pi: raw steps land on |dp| == pi (not
    folded) and folds land on -pi from a positive step (kept as +pi)."""
    rng = np.random.default_rng(seed)
    f, phi, n = rng.uniform(20, 200), rng.uniform(0, 6), 256
    x = np.sin(2 * np.pi * f * np.arange(n) / fs + phi)
    bufs = {name: padded(n) for name in request_ if name}
    gammatone_c.gammatone_c(x, n, fs, fs / 2, padded(n),
                            *(bufs.get(name) if name else None for name in request_))
    want = dict(zip(["bm", "env", "instp", "instf"], model(x, fs, fs / 2)))
    assert np.count_nonzero(np.abs(np.diff(want["instp"])) == math.pi) > 50
    for name, buf in bufs.items():
        assert_same_bits(buf[:n], want[name])


def test_setup_across_many_rates(rng):
    """Coefficients, gain and oscillator for many rates and centre frequencies."""
    x = signal("noise", 12, rng)
    x[0] = 1.0
    for fs, cf in zip(rng.integers(1, 200_000, 150), rng.uniform(-1000, 100_000, 150)):
        outs = [np.empty(12) for _ in range(4)]
        gammatone_c.gammatone_c(x, 12, int(fs), float(cf), *outs)
        for got, want in zip(outs, model(x, int(fs), float(cf))):
            assert_same_bits(got, want)


class TestAnalytic:
    def test_impulse_starts_at_gain(self):
        fs, cf = 16000, 1000.0
        tpt = 6.283185307179586 / fs
        tptbw = ((((0.00437 * cf) + 1.0) * 24.7) * tpt) * 1.019
        gain = (((tptbw * tptbw) * tptbw) * tptbw) / 3.0
        x = signal("impulse", 10, None)
        bm, env, instp, instf = (np.empty(10) for _ in range(4))
        gammatone_c.gammatone_c(x, 10, fs, cf, bm, env, instp, instf)
        assert bm[0] == env[0] == gain
        assert instp[0] == 0.0

    def test_silence(self):
        x = np.zeros(300)
        bm, env, instp, instf = (np.full(300, 3.0) for _ in range(4))
        gammatone_c.gammatone_c(x, 300, 16000, 440.0, bm, env, instp, instf)
        assert not bm.any() and not env.any() and not instp.any()
        np.testing.assert_array_equal(instf, 440.0)

    @pytest.mark.parametrize("height, cleared", [(9.99e-201, True), (-9.99e-201, True),
                                                 (1e-200, False), (np.inf, False)])
    def test_flush_of_tiny_values(self, height, cleared):
        x = np.zeros(50)
        x[0] = height
        bm, env = np.empty(50), np.empty(50)
        gammatone_c.gammatone_c(x, 50, 16000, 1000.0, bm, env)
        if cleared:
            assert not bm.any() and not env.any()
            # flushed to +0.0: a -0.0 in the history would turn up as -0.0 here
            assert not np.signbit(env).any()
            assert_same_bits(bm, model(x, 16000, 1000.0)[0])
        else:
            assert bm[0] != 0.0

    @pytest.mark.parametrize("offset", [-50.0, 0.0, 50.0])
    def test_steady_tone_frequency(self, offset):
        fs, cf, n = 16000, 1000.0, 8000
        f = cf + offset
        x = np.cos(2 * np.pi * f * np.arange(n) / fs)
        bm, env, instp, instf = (np.empty(n) for _ in range(4))
        gammatone_c.gammatone_c(x, n, fs, cf, bm, env, instp, instf)
        # a real tone also has a component at -f, which leaves a small ripple
        settled = instf[n // 2:-1]
        np.testing.assert_allclose(settled, f, atol=0.25)
        slope = np.sign(instp[-1] - instp[n // 2])
        assert slope == np.sign(offset) or (offset == 0 and abs(instp[-1] - instp[n // 2]) < 1e-3)

    def test_each_call_starts_from_rest(self, rng):
        x = signal("noise", 600, rng)
        whole, first, second = np.empty(600), np.empty(300), np.empty(300)
        gammatone_c.gammatone_c(x, 600, 16000, 1000.0, whole)
        gammatone_c.gammatone_c(x[:300], 300, 16000, 1000.0, first)
        gammatone_c.gammatone_c(x[300:], 300, 16000, 1000.0, second)
        np.testing.assert_array_equal(first, whole[:300])
        assert second[0] != whole[300]
        assert_same_bits(second, model(x[300:], 16000, 1000.0)[0])

    def test_single_sample(self):
        outs = [np.empty(1) for _ in range(4)]
        gammatone_c.gammatone_c([0.25], 1, 16000, 321.0, *outs)
        assert outs[3][0] == 321.0


class TestInPlace:
    @pytest.mark.parametrize("slot", range(4))
    def test_x_as_an_output(self, slot, rng):
        x = signal("noise", N, rng)
        want = model(x, 16000, 800.0)[slot]
        buf = x.copy()
        outs = [np.empty(N) for _ in range(4)]
        outs[slot] = buf
        gammatone_c.gammatone_c(buf, N, 16000, 800.0, *outs)
        assert_same_bits(buf, want)

    @pytest.mark.parametrize("slot", range(4))
    @pytest.mark.parametrize("shift", [1, -1, 5, -5, 255, -300])
    def test_x_overlapping_an_output_is_read_as_given(self, slot, shift, rng):
        # A positive shift puts x behind the output, so each block of output
        # would overwrite x that is still to be read, unless x was copied.
        n = 600
        store = rng.standard_normal(n + abs(shift))
        lo, hi = (0, shift) if shift > 0 else (-shift, 0)
        x = store[lo:lo + n]
        outs = [np.empty(n) for _ in range(4)]
        outs[slot] = store[hi:hi + n]
        want = model(x.copy(), 16000, 800.0)
        gammatone_c.gammatone_c(x, n, 16000, 800.0, *outs)
        for got, w in zip(outs, want):
            assert_same_bits(got, w)

    def test_fewer_samples_than_the_arrays(self, rng):
        x = signal("noise", 100, rng)
        outs = [np.full(100, 7.5) for _ in range(4)]
        gammatone_c.gammatone_c(x, 60, 16000, 800.0, *outs)
        for got, want in zip(outs, model(x[:60], 16000, 800.0)):
            assert_same_bits(got[:60], want)
            np.testing.assert_array_equal(got[60:], 7.5)

    def test_zero_samples_write_nothing(self, rng):
        x = signal("noise", 10, rng)
        outs = [np.full(10, 7.5) for _ in range(4)]
        gammatone_c.gammatone_c(x, 0, 16000, 800.0, *outs)
        for got in outs:
            np.testing.assert_array_equal(got, 7.5)


def test_model_is_not_trivially_equal(rng):
    """The comparison above would pass vacuously if outputs were constant."""
    x = signal("noise", N, rng)
    bm, env, instp, instf = model(x, 16000, 1000.0)
    assert len(set(bm)) > N // 2 and min(bm) < 0 < max(bm)
    assert max(abs(p) for p in instp) > math.pi  # unwrapping went past +-pi
