"""Batches of signals: x with any number of axes, time on `axis`.

Every (signal, channel) pair must be bit for bit the row of the 1-D call on
that signal, for every output, at every SIMD target and for any chunking of a
stream, whichever lanes of which vectors the engine gave it.
"""

import math
import tracemalloc

import numpy as np
import pytest

from gammatone_bank import CochleagramStream, Stream, _engine, cochleagram, filterbank
from helpers import assert_bits, hostile_signal

FS = 16000
OUTPUTS = ("bm", "env", "instp", "instf", "analytic")
ALL = {"env": True, "instp": True, "instf": True, "analytic": True}
# Five channels: the lanes of one signal end inside a vector at every width.
CFS = np.geomspace(60.0, 7000.0, 5)
FRAMES = {"frame": 0.002, "hop": 0.001}


def signal_rows(rng, count, n):
    """(count, n) signals unlike each other: overflow, flush and NaN among them."""
    rows = rng.standard_normal((count, n)) * np.geomspace(1e-3, 10.0, count)[:, np.newaxis]
    rows[0] = hostile_signal(rng, n)
    if count > 2:
        rows[1, n // 2:] = 0.0
        rows[2, n // 3] = np.nan
    return rows


def arranged(rows, lead, axis):
    """rows as x whose other axes are lead, in order, with time on axis (a view)."""
    return np.moveaxis(rows.reshape(lead + rows.shape[-1:]), -1, axis)


BATCHES = [((3,), -1), ((2,), 0), ((2, 3), 1)]


class TestFilterbank:
    @pytest.mark.parametrize(("lead", "axis"), BATCHES)
    def test_each_signal_is_its_1d_call(self, target, rng, lead, axis):
        rows = signal_rows(rng, math.prod(lead), 700)
        bank = filterbank(arranged(rows, lead, axis), FS, CFS, axis=axis, **ALL)
        for i, row in enumerate(rows):
            alone = filterbank(row, FS, CFS, **ALL)
            for name in OUTPUTS:
                got = getattr(bank, name)
                assert got.shape == lead + (CFS.size, 700) and got.flags.c_contiguous
                assert_bits(got.reshape(-1, CFS.size, 700)[i], getattr(alone, name))

    @pytest.mark.parametrize("workers", [1, 2])
    def test_threads_cover_every_lane(self, rng, workers):
        # Enough lanes for the threads to take runs of groups.
        rows = rng.standard_normal((40, 3000))
        cfs = np.geomspace(60.0, 7000.0, 7)
        bank = filterbank(rows, FS, cfs, axis=-1, instf=True, workers=workers)
        for i, row in enumerate(rows):
            alone = filterbank(row, FS, cfs, instf=True, workers=1)
            assert_bits(bank.bm[i], alone.bm)
            assert_bits(bank.instf[i], alone.instf)

    @pytest.mark.parametrize(("shape", "axis"), [((0, 10), -1), ((2, 0), -1), ((4, 0, 3), 1), ((10,), 0)])
    def test_empty_and_single_batches(self, shape, axis):
        x = np.ones(shape)
        bank = filterbank(x, FS, CFS, axis=axis, instf=True)
        n = shape[axis]
        lead = tuple(d for i, d in enumerate(shape) if i != axis % len(shape))
        assert bank.bm.shape == bank.instf.shape == lead + (CFS.size, n)
        assert cochleagram(x, FS, CFS, axis=axis).shape == lead + (CFS.size, 1 if n else 0)


class TestCochleagram:
    @pytest.mark.parametrize("normalize", [False, True])
    def test_each_signal_is_its_1d_call(self, target, rng, normalize):
        rows = signal_rows(rng, 6, 1001)
        levels = cochleagram(arranged(rows, (2, 3), 0), FS, CFS, axis=0, normalize=normalize, **FRAMES)
        assert levels.shape == (2, 3, CFS.size, 1001 // 16)
        for i, row in enumerate(rows):
            assert_bits(levels.reshape(6, CFS.size, -1)[i], cochleagram(row, FS, CFS, normalize=normalize, **FRAMES))

    def test_memory_follows_frames(self, rng):
        # 64 signals of 1 s through 32 channels: a bank would be 262 MB.
        x = rng.standard_normal((64, FS))
        tracemalloc.start()
        try:
            levels = cochleagram(x, FS, np.geomspace(50.0, 7900.0, 32), axis=-1)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert levels.shape == (64, 32, 99)
        assert peak < 16 * 2**20, peak


def chunked(rng, n):
    """Random cut points in 0 .. n, some repeated (empty chunks)."""
    return [0, *sorted(rng.integers(0, n + 1, size=rng.integers(0, 7)).tolist()), n]


class TestStreams:
    @pytest.mark.parametrize("seed", range(4))
    def test_any_chunking_equals_one_shot(self, target, seed):
        # Odd seeds end with process(..., last=True) in place of close().
        rng = np.random.default_rng(seed)
        x = arranged(signal_rows(rng, 4, 900), (2, 2), 0)
        whole = filterbank(x, FS, CFS, axis=0, **ALL)
        cuts = chunked(rng, 900)
        spans, ending = list(zip(cuts[:-1], cuts[1:])), seed % 2 == 1
        with Stream(FS, CFS, axis=0, **ALL) as stream, CochleagramStream(FS, CFS, axis=0, **FRAMES) as levels:
            parts = [stream.process(x[a:b], last=ending and i == len(spans) - 1) for i, (a, b) in enumerate(spans)]
            frames = [levels.process(x[a:b], last=ending and i == len(spans) - 1) for i, (a, b) in enumerate(spans)]
            if not ending:
                parts.append(stream.close())
                frames.append(levels.close())
        for name in OUTPUTS:
            assert_bits(np.concatenate([getattr(p, name) for p in parts], axis=-1), getattr(whole, name))
        assert_bits(np.concatenate(frames, axis=-1), cochleagram(x, FS, CFS, axis=0, **FRAMES))

    @pytest.mark.parametrize("kind", [Stream, CochleagramStream])
    def test_empty_chunks_before_the_first_samples(self, kind):
        stream = kind(FS, CFS, axis=-1)
        first = stream.process(np.zeros((4, 0)))
        assert (first.bm if kind is Stream else first).shape == (4, CFS.size, 0)
        stream.process(np.zeros((3, 100)))
        with pytest.raises(ValueError, match=r"chunk has other axes \(4,\).*\(3,\)"):
            stream.process(np.zeros((4, 0)))
        closed = stream.close()
        assert (closed.bm if kind is Stream else closed).shape[:2] == (3, CFS.size)


class TestRefusals:
    @pytest.mark.parametrize(
        "call",
        [
            lambda x: filterbank(x, FS, CFS),
            lambda x: cochleagram(x, FS, CFS),
            lambda x: Stream(FS, CFS).process(x),
            lambda x: CochleagramStream(FS, CFS).process(x),
        ],
        ids=["filterbank", "cochleagram", "Stream", "CochleagramStream"],
    )
    def test_2d_without_axis_names_both_axes(self, call):
        with pytest.raises(ValueError, match=r"must be 1-D unless axis is given.*axis=-1.*axis=0"):
            call(np.zeros((300, 2)))

    @pytest.mark.parametrize(
        ("axis", "error", "message"),
        [(1.0, TypeError, "axis must be an int"), (True, TypeError, "axis must be an int"),
         ("0", TypeError, "axis must be an int"), (2, ValueError, "axis=2 is out of range"),
         (-3, ValueError, "axis=-3 is out of range")],
    )
    def test_bad_axis(self, axis, error, message):
        x = np.zeros((2, 30))
        with pytest.raises(error, match=message):
            filterbank(x, FS, CFS, axis=axis)
        with pytest.raises(error, match=message):
            cochleagram(x, FS, CFS, axis=axis)
        with pytest.raises(error, match=message):
            Stream(FS, CFS, axis=axis).process(x)

    @pytest.mark.parametrize("bad", [lambda x: x[:2, 100:200], lambda x: x[0, 100:200], lambda x: x[:, None, 100:200]],
                             ids=["fewer signals", "1-D", "another axis"])
    def test_a_chunk_with_other_axes_leaves_the_stream_unchanged(self, rng, bad):
        x = signal_rows(rng, 3, 600)
        whole = filterbank(x, FS, CFS, axis=-1, instf=True)
        levels = cochleagram(x, FS, CFS, axis=-1, **FRAMES)
        stream = Stream(FS, CFS, axis=-1, instf=True)
        frames = CochleagramStream(FS, CFS, axis=-1, **FRAMES)
        parts, kept = [stream.process(x[:, :100])], [frames.process(x[:, :100])]
        for s in (stream, frames):
            with pytest.raises(ValueError, match="^chunk has other axes"):
                s.process(bad(x))
        parts += [stream.process(x[:, 100:]), stream.close()]
        kept += [frames.process(x[:, 100:]), frames.close()]
        assert_bits(np.concatenate([p.instf for p in parts], axis=-1), whole.instf)
        assert_bits(np.concatenate(kept, axis=-1), levels)


class TestEngine:
    def test_a_row_per_signal_or_per_lane(self, target, rng):
        # The same input read three ways: each signal's channels sharing its
        # row (loaded once per vector where they fill it), every lane's own
        # row, and lanes' own rows read backwards through a reversed view.
        rows = signal_rows(rng, 3, 500)
        lanes = np.repeat(rows, CFS.size, axis=0)
        for x in (rows, lanes, np.ascontiguousarray(lanes[:, ::-1])[:, ::-1]):
            engine = _engine.Engine(FS, CFS, signals=3)
            out = np.empty((3 * CFS.size, 500))
            engine.process(x, 0, engine.groups, bm=out)
            for i, row in enumerate(rows):
                assert_bits(out[i * CFS.size:(i + 1) * CFS.size], filterbank(row, FS, CFS).bm)

    def test_an_analytic_buffer_of_n_columns_is_refused(self, rng):
        engine = _engine.Engine(FS, CFS)
        x = rng.standard_normal(64)
        short = np.full((CFS.size, 64), 7.0)
        with pytest.raises(ValueError, match=r"^analytic must have shape \(5, >= 128\)"):
            engine.process(x, 0, engine.groups, bm=np.empty((CFS.size, 64)), analytic=short)
        assert (short == 7.0).all() and engine.samples == 0

    def test_outputs_are_taken_by_name_only(self, rng):
        engine = _engine.Engine(FS, CFS)
        with pytest.raises(TypeError):
            engine.process(rng.standard_normal(8), 0, engine.groups, np.empty((CFS.size, 8)))
        assert engine.samples == 0

    @pytest.mark.parametrize(("kwargs", "message"), [({"signals": -1}, "signals must be in 0 .. "),
                                                     ({"signals": 2**29}, "at most 1073741824 lanes")])
    def test_signal_counts(self, kwargs, message):
        with pytest.raises(ValueError, match=message):
            _engine.Engine(FS, CFS, **kwargs)

    def test_rows_must_be_signals_or_lanes(self):
        engine = _engine.Engine(FS, CFS, signals=2)
        with pytest.raises(ValueError, match=r"2 rows \(one per signal\) or 10 rows"):
            engine.process(np.zeros((5, 8)), 0, engine.groups, bm=np.empty((10, 8)))
