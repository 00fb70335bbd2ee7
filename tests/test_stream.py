"""The multi-channel engine and the streams built on it.

Every channel must hold the bits of one single-channel gammatone_c call over
the whole signal, at every SIMD target, however the signal is chunked and
whatever the other lanes of its vector are doing.
"""

import threading
import tracemalloc

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import gammatone_c
from gammatone_bank import CochleagramStream, Stream, cochleagram, filterbank, frame_levels
from helpers import assert_bits, assert_same_bits, hostile_signal
from model import gammatone

OUTPUTS = ("bm", "env", "instp", "instf")


def lone_calls(x, fs, cfs):
    """Each channel by its own gammatone_c call: (bm, env, instp, instf) rows."""
    rows = {name: np.empty((len(cfs), x.size)) for name in OUTPUTS}
    for i, cf in enumerate(cfs):
        gammatone_c.gammatone_c(x, x.size, fs, float(cf), *(rows[name][i] for name in OUTPUTS))
    return rows


def streamed(x, fs, cfs, cuts, **kwargs):
    """Concatenate a Stream's results over x split at the sorted cut points."""
    with Stream(fs, cfs, env=True, instp=True, instf=True, **kwargs) as stream:
        edges = [0, *sorted(cuts), x.size]
        parts = [stream.process(x[a:b]) for a, b in zip(edges[:-1], edges[1:])]
        parts.append(stream.close())
    return {name: np.concatenate([getattr(p, name) for p in parts], axis=1) for name in OUTPUTS}


class TestBitExact:
    @pytest.mark.parametrize("channels", [1, 2, 7, 8, 9, 17, 64])
    def test_one_shot_equals_lone_calls(self, target, rng, channels):
        fs = 16000
        cfs = np.geomspace(40.0, 7900.0, channels)
        x = rng.standard_normal(700)
        x[200:260] = 0.0
        bank = filterbank(x, fs, cfs, env=True, instp=True, instf=True)
        expected = lone_calls(x, fs, cfs)
        for name in OUTPUTS:
            assert_bits(getattr(bank, name), expected[name])

    def test_lanes_are_isolated(self, target, rng):
        # At 1 kHz the narrow channels overflow to inf and NaN after the huge
        # impulse while the wide ones stay finite and decay into the flush: every
        # lane must still be its own lone call.
        fs, cfs = 1000, np.linspace(1.0, 499.0, 19)
        x = hostile_signal(rng, 12000)
        expected = lone_calls(x, fs, cfs)
        finite = np.isfinite(expected["bm"]).all(axis=1)
        assert finite.any() and not finite.all()
        assert np.abs(expected["bm"][finite, -100:]).max() < 1e-190
        got = streamed(x, fs, cfs, [1, 301, 302, 7000])
        for name in OUTPUTS:
            assert_bits(got[name], expected[name])

    def test_matches_the_model(self, target, rng):
        x = hostile_signal(rng, 400)
        fs, cfs = 8000, [100.0, 3999.0, 1234.5]
        got = streamed(x, fs, cfs, [0, 0, 1, 33, 200])
        for i, cf in enumerate(cfs):
            for name, row in zip(OUTPUTS, gammatone(x, fs, cf)):
                assert_same_bits(got[name][i], np.array(row))

    @settings(max_examples=40, deadline=None, derandomize=True)
    @given(cuts=st.lists(st.integers(0, 2000), max_size=8))
    def test_any_chunking_equals_one_shot(self, cuts):
        rng = np.random.default_rng(len(cuts))
        x = hostile_signal(rng, 2000)
        cfs = np.geomspace(50.0, 7000.0, 11)
        expected = filterbank(x, 16000, cfs, env=True, instp=True, instf=True)
        got = streamed(x, 16000, cfs, cuts)
        for name in OUTPUTS:
            assert_bits(got[name], getattr(expected, name))

    # The recursion flushes values of magnitude below 1e-200 to zero, and
    # keeps 1e-200 itself.  An impulse at sample 0 puts its exact value in the
    # recursion (the oscillator starts at cos 0 = 1).
    TINY = 1e-200

    @pytest.mark.parametrize("impulse", [TINY, -TINY, np.nextafter(TINY, 0.0), np.nextafter(TINY, 1.0),
                                         -np.nextafter(TINY, 0.0)],
                             ids=["tiny", "-tiny", "below", "above", "-below"])
    def test_flush_threshold(self, target, impulse):
        fs, cfs = 16000, np.geomspace(50.0, 7000.0, 9)
        x = np.zeros(40)
        x[0] = impulse
        expected = lone_calls(x, fs, cfs)
        for name in OUTPUTS:
            assert_bits(getattr(filterbank(x, fs, cfs, env=True, instp=True, instf=True), name), expected[name])
        assert_bits(filterbank(x, fs, cfs).bm, expected["bm"])
        for name in OUTPUTS:
            assert_bits(streamed(x, fs, cfs, [1, 2, 17])[name], expected[name])
        kept = expected["bm"][:, 0] != 0.0
        assert kept.all() if abs(impulse) >= self.TINY else not kept.any()

    def test_bm_only_decays_into_the_flush(self, target, rng):
        # Noise, 2.5 s of digital silence, noise: every channel decays into the
        # flush somewhere inside a block.  bm alone and the cochleagram take a
        # path of their own (no complex output kept), which must rerun such a
        # block exactly.
        fs, cfs = 16000, np.geomspace(50.0, 7000.0, 9)
        x = np.concatenate([rng.standard_normal(3000), np.zeros(40000), rng.standard_normal(3000)])
        expected = lone_calls(x, fs, cfs)["bm"]
        assert np.abs(expected[:, 42000:43000]).max() < 1e-190
        assert_bits(filterbank(x, fs, cfs).bm, expected)
        with Stream(fs, cfs) as stream:
            got = np.concatenate([stream.process(c).bm for c in np.array_split(x, [1, 20000, 43001])], axis=1)
        assert_bits(got, expected)
        assert_bits(cochleagram(x, fs, cfs), frame_levels(expected, 400, 160))

    @pytest.mark.parametrize("batch", [False, True], ids=["shared input", "a row per signal"])
    def test_tiny_samples_in_leading_silence_are_flushed(self, target, rng, batch):
        # Before its first sound a channel's history is all zero, and digital
        # silence leaves it so with nothing to flush; a tiny sample inside
        # that silence must still be flushed.  In a batch, a vector's lanes
        # read rows of different signals.
        fs, cfs = 16000, np.geomspace(100.0, 7000.0, 9)
        tiny = [1e-250, -3e-210, 5e-324, -1e-201]
        signals = []
        for at in ([700, 701, 1700, 3000], [1400, 2300, 2301, 3999]):
            x = np.concatenate([np.zeros(4000), rng.standard_normal(1000)])
            x[at] = tiny
            signals.append(x)
        xs = np.stack(signals) if batch else signals[0]
        expected = np.stack([lone_calls(x, fs, cfs)["bm"] for x in signals])
        assert not expected[:, :, :4000].any() and expected[:, :, 4000:].all()
        levels = np.stack([frame_levels(bm, 400, 160) for bm in expected])
        pick = slice(None) if batch else 0
        axis = -1 if batch else None
        assert_bits(filterbank(xs, fs, cfs, axis=axis).bm, expected[pick])
        assert_bits(cochleagram(xs, fs, cfs, axis=axis), levels[pick])

    def test_batch_whose_signals_fill_whole_vectors(self, target, rng):
        # 24 channels fill whole vectors at every width, so each vector reads
        # one signal, and at some point two neighbouring vectors read
        # different ones: each must still read its own (the frame sums take
        # two vectors at once).
        fs, cfs = 16000, np.geomspace(60.0, 7000.0, 24)
        xs = rng.standard_normal((2, 3000))
        expected = np.stack([frame_levels(lone_calls(x, fs, cfs)["bm"], 400, 160) for x in xs])
        assert_bits(cochleagram(xs, fs, cfs, axis=-1), expected)

    def test_threads_do_not_change_bits(self, rng):
        x = rng.standard_normal(50000)
        cfs = np.geomspace(50.0, 7000.0, 33)
        one = filterbank(x, 16000, cfs, env=True, instp=True, workers=1)
        two = filterbank(x, 16000, cfs, env=True, instp=True, workers=2)
        for name in ("bm", "env", "instp"):
            assert_bits(getattr(two, name), getattr(one, name))


class TestStream:
    def test_instf_lags_one_sample(self, rng):
        x = rng.standard_normal(10)
        with Stream(16000, [500.0, 900.0], instf=True) as stream:
            widths = [stream.process(x[a:b]).instf.shape[1] for a, b in [(0, 0), (0, 4), (4, 4), (4, 10)]]
            last = stream.close().instf
        assert widths == [0, 3, 0, 6]
        assert_bits(last, np.array([[500.0], [900.0]]))

    @pytest.mark.parametrize("chunks", [[1], [0, 1], [1, 0], [1, 1], [2]], ids=str)
    def test_short_streams_equal_one_shot(self, target, rng, chunks):
        # A stream of one sample still closes with its last instf column.
        x = rng.standard_normal(sum(chunks))
        cfs = np.geomspace(100.0, 7000.0, 9)
        got = streamed(x, 16000, cfs, np.cumsum(chunks)[:-1])
        whole = filterbank(x, 16000, cfs, env=True, instp=True, instf=True)
        for name in OUTPUTS:
            assert_bits(got[name], getattr(whole, name))

    def test_results_share_no_memory_with_the_stream(self, rng):
        # A caller may scribble over what it was given without changing the
        # stream's later results.
        x = rng.standard_normal(300)
        cfs = np.array([300.0, 2000.0])
        whole = filterbank(x, 16000, cfs, env=True, instp=True, instf=True)
        stream = Stream(16000, cfs, env=True, instp=True, instf=True)
        kept = []
        for result in (stream.process(x[:100]), stream.process(x[100:]), stream.close()):
            kept.append([getattr(result, name).copy() for name in OUTPUTS])
            for name in ("cfs", *OUTPUTS):
                assert not np.shares_memory(getattr(result, name), stream.cfs)
                getattr(result, name)[...] = np.nan
        assert_bits(stream.cfs, cfs)
        for i, name in enumerate(OUTPUTS):
            assert_bits(np.concatenate([k[i] for k in kept], axis=1), getattr(whole, name))
        stream.reset()
        assert_bits(stream.process(x).bm, whole.bm)

    def test_empty_stream_closes_empty(self):
        stream = Stream(16000, [500.0], env=True, instf=True)
        closed = stream.close()
        assert closed.bm.shape == closed.env.shape == closed.instf.shape == (1, 0)

    @pytest.mark.parametrize(
        ("chunk", "error"),
        [(np.zeros((2, 3)), ValueError), (np.ones(3, dtype=complex), TypeError),
         (["a", "b"], TypeError), (None, TypeError)],
    )
    def test_a_bad_chunk_leaves_the_state_untouched(self, rng, chunk, error):
        x = rng.standard_normal(300)
        cfs = [300.0, 2000.0]
        stream = Stream(16000, cfs, instp=True, instf=True)
        first = stream.process(x[:100])
        with pytest.raises(error, match="chunk"):
            stream.process(chunk)
        rest = stream.process(x[100:])
        tail = stream.close()
        whole = filterbank(x, 16000, cfs, instp=True, instf=True)
        assert_bits(np.concatenate([first.instp, rest.instp], axis=1), whole.instp)
        assert_bits(np.concatenate([first.instf, rest.instf, tail.instf], axis=1), whole.instf)

    @pytest.mark.parametrize("kind", [Stream, CochleagramStream])
    def test_closed_stream_refuses_work(self, kind):
        stream = kind(16000, [1000.0])
        stream.close()
        with pytest.raises(ValueError, match="closed"):
            stream.process(np.zeros(4))
        with pytest.raises(ValueError, match="closed"):
            stream.close()

    @pytest.mark.parametrize("closed", [False, True])
    def test_reset_is_a_new_stream(self, rng, closed):
        x = rng.standard_normal(500)
        cfs = [300.0, 2000.0]
        streams = (Stream(16000, cfs, env=True, instf=True), CochleagramStream(16000, cfs, frame=0.002, hop=0.001))
        for stream in streams:
            stream.process(np.r_[x[:50], np.nan, x[:77]])
            if closed:
                stream.close()
            stream.reset()
            assert (stream.samples, stream.closed) == (0, False)
        bank, levels = streams[0].process(x), streams[1].process(x)
        whole = filterbank(x, 16000, cfs, env=True, instf=True)
        assert_bits(bank.env, whole.env)
        assert_bits(np.concatenate([bank.instf, streams[0].close().instf], axis=1), whole.instf)
        assert_bits(np.concatenate([levels, streams[1].close()], axis=1), cochleagram(x, 16000, cfs, frame=0.002, hop=0.001))

    def test_streams_in_parallel_threads(self, rng):
        x = rng.standard_normal(40000)
        cfs = np.geomspace(50.0, 7000.0, 16)
        expected = filterbank(x, 16000, cfs).bm
        results = [None] * 4

        def run(k):
            with Stream(16000, cfs, workers=1) as stream:
                results[k] = np.concatenate([stream.process(c).bm for c in np.array_split(x, 7 + k)], axis=1)

        threads = [threading.Thread(target=run, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        for got in results:
            assert_bits(got, expected)


class TestCochleagram:
    @pytest.mark.parametrize(("frame", "hop"), [(0.025, 0.010), (0.010, 0.025), (0.004, 0.004)])
    @pytest.mark.parametrize("normalize", [False, True])
    def test_streamed_levels_equal_one_shot(self, target, rng, frame, hop, normalize):
        x = rng.standard_normal(3001)
        cfs = np.geomspace(60.0, 7000.0, 9)
        whole = cochleagram(x, 16000, cfs, frame=frame, hop=hop, normalize=normalize)
        with CochleagramStream(16000, cfs, frame=frame, hop=hop, normalize=normalize) as stream:
            parts = [stream.process(c) for c in np.array_split(x, [0, 1, 399, 400, 1777])]
            parts.append(stream.close())
        assert_bits(np.concatenate(parts, axis=1), whole)
        assert stream.frames == whole.shape[1]

    def test_levels_equal_frame_levels_of_the_bank(self, rng):
        x = rng.standard_normal(5000)
        cfs = np.geomspace(60.0, 7000.0, 12)
        assert_bits(cochleagram(x, 16000, cfs), frame_levels(filterbank(x, 16000, cfs).bm, 400, 160))

    # (frame_len, hop_len) in samples: one frame open at a time, three, nine
    # and 43 (more than the engine sums side by side), gaps between frames.
    @pytest.mark.parametrize(("frame_len", "hop_len"), [(16, 16), (400, 160), (25, 3), (301, 7), (7, 11), (1, 1)])
    def test_frame_sums_add_in_sample_order_for_any_overlap(self, target, rng, frame_len, hop_len):
        x = rng.standard_normal(2345)
        cfs = np.geomspace(60.0, 7000.0, 11)
        want = frame_levels(filterbank(x, 16000, cfs, workers=1).bm, frame_len, hop_len)
        frame, hop = frame_len / 16000, hop_len / 16000
        assert_bits(cochleagram(x, 16000, cfs, frame=frame, hop=hop), want)
        cuts = np.sort(rng.choice(np.arange(1, x.size), 9, replace=False))
        with CochleagramStream(16000, cfs, frame=frame, hop=hop) as stream:
            parts = [stream.process(c) for c in np.split(x, cuts)]
            parts.append(stream.close())
        assert_bits(np.concatenate(parts, axis=1), want)

    def test_memory_follows_frames_not_samples(self, rng):
        # 10 minutes at 16 kHz through 64 channels: a bank would be 4.9 GB.
        x = rng.standard_normal(16000 * 600)
        cfs = np.geomspace(50.0, 7900.0, 64)
        tracemalloc.start()
        try:
            level = cochleagram(x, 16000, cfs)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert level.shape == (64, 1 - (400 - 16000 * 600) // 160)  # the last frame clipped
        assert peak < 100 * 2**20, peak


class TestLevels:
    def test_forced_target_is_reported(self, target):
        assert Stream(16000, np.geomspace(100.0, 4000.0, 9))._engine.simd == target

    @pytest.mark.parametrize("value", ["avx1024", "AVX2"])
    def test_unknown_forced_target(self, monkeypatch, value):
        monkeypatch.setenv("GAMMATONE_BANK_SIMD", value)
        with pytest.raises(ValueError, match="GAMMATONE_BANK_SIMD"):
            filterbank(np.zeros(4), 16000, [1000.0])


def three_streams():
    """Each stream with what close() returns after a 1000-sample chunk held back."""
    from gammatone_bank import ResynthesisStream, erb_space
    cfs = erb_space(100.0, 4000.0, 5)
    return [
        (lambda: Stream(16000, cfs, instf=True), "the last instf column"),
        (lambda: CochleagramStream(16000, cfs, frame=0.025, hop=0.01), "the last, clipped frame"),
        (lambda: ResynthesisStream(16000, cfs, delay=0.004), "the last 64 samples"),
    ]


def joined(parts):
    """Outputs of a stream concatenated along their sample axis, field by field for a Filterbank."""
    if hasattr(parts[0], "_fields"):
        return [None if part[0] is None else np.concatenate(part, axis=-1) for part in zip(*parts)][1:]
    return [np.concatenate(parts, axis=-1)]


class TestHeldBack:
    @pytest.mark.parametrize(("make", "what"), three_streams())
    def test_leaving_the_block_warns_of_what_is_dropped(self, make, what):
        with pytest.warns(RuntimeWarning, match=rf"{type(make()).__name__} left its with block holding {what}"):
            with make() as stream:
                stream.process(np.ones(1000))
        assert stream.closed

    @pytest.mark.parametrize(("make", "what"), three_streams())
    def test_no_warning_when_closed_raised_or_nothing_held(self, make, what):
        with make() as stream:
            stream.process(np.ones(1000))
            stream.close()
        with pytest.raises(KeyError), make() as stream:
            stream.process(np.ones(1000))
            raise KeyError
        with make():
            pass
        with make() as stream:
            stream.process(np.ones(1000), last=True)
        with Stream(16000, [1000.0]) as plain:
            plain.process(np.ones(1000))

    @pytest.mark.parametrize(("make", "what"), three_streams())
    @pytest.mark.parametrize("n", [0, 1, 1000])
    def test_last_chunk_returns_the_tail_and_closes(self, rng, make, what, n):
        x = rng.standard_normal(n)
        one, two = make(), make()
        got = one.process(x, last=True)
        assert one.closed
        expected = [two.process(x), two.close()]
        for a, b in zip(joined([got]), joined(expected)):
            if a is not None:
                np.testing.assert_array_equal(a, b)
        with pytest.raises(ValueError, match="closed"):
            one.process(x, last=True)
