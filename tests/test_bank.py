"""erb_space, filterbank and cochleagram against lone calls of the extension."""

import math
import os
import signal
import threading
import time
import warnings

import numpy as np
import pytest

import gammatone_c
from gammatone_bank import _engine, _threads, cf_gain, cochleagram, erb_space, filterbank, frame_levels, gfcc
from gammatone_bank import ihc_envelope, ratemap, resynthesize
from helpers import bits

FS = 16000


def erb_number(f):
    """Glasberg & Moore's ERB number, written out here independently."""
    return 21.4 * np.log10(0.00437 * np.asarray(f, dtype=np.float64) + 1.0)


def lone_call(x, fs, cf, outputs):
    """What one extension call writes, for the requested outputs."""
    x = np.ascontiguousarray(x, dtype=np.float64)
    arrays = {name: np.empty(x.size) for name in ("bm", *outputs)}
    gammatone_c.gammatone_c(
        x, x.size, fs, cf, arrays["bm"],
        arrays.get("env"), arrays.get("instp"), arrays.get("instf"),
    )
    return arrays


class TestErbSpace:
    @pytest.mark.parametrize(
        ("low", "high", "n"),
        [(50.0, 8000.0, 64), (100.0, 6000.0, 2), (20.0, 20000.0, 128), (999.0, 1001.0, 7)],
    )
    def test_ends_order_and_equal_steps(self, low, high, n):
        cfs = erb_space(low, high, n)
        assert cfs.shape == (n,) and cfs.dtype == np.float64
        assert cfs[0] == low and cfs[-1] == high
        assert np.all(np.diff(cfs) > 0)
        steps = np.diff(erb_number(cfs))
        # ERB numbers are at most ~40 here: 1e-12 is thousands of ulps.
        np.testing.assert_allclose(steps, (erb_number(high) - erb_number(low)) / (n - 1),
                                   rtol=0, atol=1e-12)

    @pytest.mark.parametrize(
        ("low", "high", "n", "name", "error"),
        [
            (0.0, 8000.0, 64, "low", ValueError), (-10.0, 8000.0, 64, "low", ValueError),
            (math.nan, 8000.0, 64, "low", ValueError), (math.inf, 8000.0, 64, "low", ValueError),
            ("100", 200.0, 4, "low", TypeError),
            (100.0, 100.0, 64, "high", ValueError), (200.0, 100.0, 64, "high", ValueError),
            (100.0, math.inf, 64, "high", ValueError), (100.0, math.nan, 64, "high", ValueError),
            (100.0, 200.0, 1, "n", ValueError), (100.0, 200.0, 0, "n", ValueError),
            (100.0, 200.0, 2.5, "n", TypeError), (100.0, 200.0, 2.0, "n", TypeError),
            (100.0, 200.0, True, "n", TypeError), (100.0, 200.0, 2**63, "n", ValueError),
            (100.0, math.nextafter(100.0, 200.0), 3, "too close", ValueError),
        ],
    )
    def test_bad_arguments(self, low, high, n, name, error):
        with pytest.raises(error, match=name):
            erb_space(low, high, n)


def wrap_engine(monkeypatch, hook):
    """Make the bank's engines call hook(g0, g1) before each group call."""
    real = _engine.Engine

    class Wrapped:
        def __init__(self, *args, **kwargs):
            self._engine = real(*args, **kwargs)
            self.groups, self.width = self._engine.groups, self._engine.width

        def process(self, x, g0, g1, **outputs):
            hook(g0, g1)
            self._engine.process(x, g0, g1, **outputs)

        def partial(self, *args):
            return self._engine.partial(*args)

    monkeypatch.setattr(_engine, "Engine", Wrapped)


class TestFilterbank:
    @pytest.mark.parametrize("workers", [1, 2, 5])
    @pytest.mark.parametrize("n", [0, 1, 2, 99, 1000])
    @pytest.mark.parametrize(
        "outputs", [(), ("env",), ("instf",), ("env", "instp", "instf")]
    )
    def test_rows_are_lone_calls_bit_for_bit(self, rng, workers, n, outputs):
        x = rng.standard_normal(n)
        cfs = erb_space(80.0, 7000.0, 9)
        bank = filterbank(x, FS, cfs, workers=workers, **{name: True for name in outputs})
        for name in ("env", "instp", "instf"):
            assert (getattr(bank, name) is None) == (name not in outputs)
        for i, cf in enumerate(cfs):
            want = lone_call(x, FS, cf, outputs)
            for name, row in want.items():
                assert np.array_equal(bits(getattr(bank, name)[i]), bits(row)), (name, i)

    def test_result_arrays(self, rng):
        cfs = [300.0, 1000.0, 3000.0]
        bank = filterbank(rng.standard_normal(250), FS, cfs, env=True, instp=True, instf=True)
        for a in (bank.bm, bank.env, bank.instp, bank.instf):
            assert a.shape == (3, 250) and a.dtype == np.float64 and a.flags.c_contiguous
        assert bank.cfs.dtype == np.float64 and list(bank.cfs) == cfs

    def test_cfs_are_copied(self, rng):
        cfs = np.array([500.0, 1500.0])
        bank = filterbank(rng.standard_normal(10), FS, cfs)
        cfs[0] = 7000.0
        assert bank.cfs[0] == 500.0

    @pytest.mark.parametrize(
        "x",
        [
            [0.5, -1, 2, 0, 3],  # a list of ints and floats
            np.array([1, -2, 3, 0, 5], dtype=np.int16),
            np.array([0.25, -1.5, 2.0, 0.0, 3.0], dtype=np.float32),
            np.arange(10.0)[::2],  # not contiguous
        ],
    )
    def test_x_converts_like_the_extension(self, x):
        bank = filterbank(x, FS, [1000.0], env=True, workers=1)
        want = lone_call(np.asarray(x, dtype=np.float64), FS, 1000.0, ("env",))
        assert np.array_equal(bits(bank.bm[0]), bits(want["bm"]))
        assert np.array_equal(bits(bank.env[0]), bits(want["env"]))

    def test_whole_float_fs_is_the_int_rate(self, rng):
        x = rng.standard_normal(64)
        assert np.array_equal(filterbank(x, 16000.0, [900.0]).bm,
                              filterbank(x, np.int32(16000), [900.0]).bm)

    # Enough channels for several lane groups at any width, and enough samples
    # for the bank to use its threads.
    MANY = np.linspace(100.0, 7000.0, 32)  # an even number of groups at every width

    @pytest.mark.parametrize("workers", [2, None])
    def test_groups_run_at_the_same_time(self, monkeypatch, workers):
        # Every group waits until another group's call is also running: a
        # bank that ran its groups one after another would break the barrier.
        monkeypatch.setattr("os.process_cpu_count", lambda: 2)
        barrier = threading.Barrier(2, timeout=10)
        wrap_engine(monkeypatch, lambda g0, g1: barrier.wait())
        bank = filterbank(np.ones(4096), FS, self.MANY, workers=workers)
        assert bank.bm.shape == (32, 4096)

    def test_one_worker_stays_in_the_calling_thread(self, monkeypatch):
        seen = set()
        wrap_engine(monkeypatch, lambda g0, g1: seen.add(threading.get_ident()))
        filterbank(np.ones(4096), FS, self.MANY, workers=1)
        assert seen == {threading.get_ident()}

    @pytest.mark.parametrize("call", [
        lambda x, cfs: filterbank(x, FS, cfs, workers=4),
        lambda x, cfs: cochleagram(x, FS, cfs, workers=4),
        lambda x, cfs: ihc_envelope(x, FS, cfs, workers=4),
        lambda x, cfs: ratemap(x, FS, cfs, workers=4),
        lambda x, cfs: gfcc(x, FS, cfs, workers=4),
        lambda x, cfs: resynthesize(x, FS, cfs, workers=4),
    ], ids=["filterbank", "cochleagram", "ihc", "ratemap", "gfcc", "resynthesize"])
    def test_too_little_work_stays_in_the_calling_thread(self, monkeypatch, call):
        # Every path applies the same threshold: 64 samples of 32 channels
        # are far below it, so no helper may be asked to work.  (Helpers
        # asked run here, in turn, so that the check does not depend on
        # which thread happens to take the tasks.)
        asked = []

        def start(work, count):
            asked.append(count)
            for _ in range(count):
                work()

        monkeypatch.setattr(_threads._helpers, "start", start)
        call(np.ones(64), self.MANY)
        assert asked == []
        call(np.ones(4096), self.MANY)  # enough work: the helpers are asked
        assert asked

    @pytest.mark.parametrize("workers", [1, 3])
    def test_a_failing_group_raises(self, monkeypatch, workers):
        def fail_at_1(g0, g1):
            if g0 <= 1 < g1:
                raise MemoryError("group 1")

        wrap_engine(monkeypatch, fail_at_1)
        with pytest.raises(MemoryError, match="group 1"):
            filterbank(np.ones(4096), FS, self.MANY, workers=workers)

    def test_threads_in_a_forked_child(self):
        # A forked child has none of the parent's helper threads: its first
        # threaded call must start its own rather than wait on queues nobody
        # serves.  The child is given 60 s, then killed.
        x = np.random.default_rng(5).standard_normal(4096)
        want = filterbank(x, FS, self.MANY, workers=1).bm
        assert np.array_equal(bits(filterbank(x, FS, self.MANY, workers=2).bm), bits(want))
        with warnings.catch_warnings():
            # Python warns that a process with threads forks; that is the point here.
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid == 0:
            code = 3
            try:
                code = 0 if np.array_equal(bits(filterbank(x, FS, self.MANY, workers=2).bm), bits(want)) else 1
            finally:
                os._exit(code)
        deadline = time.monotonic() + 60
        while (status := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.02)
        if status[0] == 0:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail("the forked child's threaded filterbank did not finish in 60 s")
        assert os.waitstatus_to_exitcode(status[1]) == 0

    @pytest.mark.parametrize("threads", [1, 2, 3])
    def test_no_row_starts_after_a_failure(self, threads):
        # Rows sleep without the interpreter lock, so that the threads share
        # them.  A row that starts after row 3 has raised may only be one
        # that a thread was already reaching for; it sleeps longer, so the
        # runner has recorded the failure by the time that thread looks again.
        failure = RuntimeError("row 3")
        started, late = [], []
        raised = threading.Event()

        def task(i):
            started.append(i)
            if i == 3:
                raised.set()
                raise failure
            if raised.is_set():
                late.append(i)
            time.sleep(0.05 if raised.is_set() else 0.002)

        with pytest.raises(RuntimeError) as info:
            _threads._run(task, 20, threads)
        assert info.value is failure
        assert sorted(started) == sorted(set(started)) and 3 in started
        assert len(late) <= threads - 1, late

    @pytest.mark.parametrize(
        ("kwargs", "name", "error"),
        [
            ({"fs": 0}, "fs", ValueError), ({"fs": -16000}, "fs", ValueError), ({"fs": 16000.5}, "fs", ValueError),
            ({"fs": math.nan}, "fs", ValueError), ({"fs": 2**31}, "fs", ValueError), ({"fs": 10**400}, "fs", ValueError),
            ({"fs": True}, "fs", TypeError), ({"fs": "16000"}, "fs", TypeError), ({"fs": None}, "fs", TypeError),
            ({"cfs": []}, "cfs", ValueError), ({"cfs": [[1000.0]]}, "cfs", ValueError),
            ({"cfs": [1000.0, math.nan]}, "cfs", ValueError), ({"cfs": [math.inf]}, "cfs", ValueError),
            ({"cfs": ["loud"]}, "cfs", TypeError), ({"cfs": [0.0]}, "cfs", ValueError),
            ({"cfs": [-100.0]}, "cfs", ValueError), ({"cfs": [1000.0, 8000.0]}, "cfs", ValueError),
            ({"x": np.zeros((2, 10))}, "x", ValueError), ({"x": 1.0}, "x", ValueError),
            ({"workers": 0}, "workers", ValueError), ({"workers": 1.5}, "workers", TypeError),
            ({"workers": "2"}, "workers", TypeError),
        ],
    )
    def test_bad_arguments(self, kwargs, name, error):
        """A wrong kind of argument is a TypeError, a wrong value a ValueError, each named."""
        args = {"x": np.zeros(10), "fs": FS, "cfs": [1000.0]} | kwargs
        x, fs, cfs = args.pop("x"), args.pop("fs"), args.pop("cfs")
        with pytest.raises(error, match=rf"^{name}\b"):
            filterbank(x, fs, cfs, **args)

    @pytest.mark.parametrize(
        ("call", "error", "message"),
        [
            (lambda x: filterbank(x, FS, 64), TypeError, r"^cfs .*erb_space\(low, high, 64\).*64\.0"),
            (lambda x: cochleagram(x, FS, np.int64(32)), TypeError, r"^cfs .*erb_space\(low, high, 32\)"),
            (lambda x: filterbank(np.stack([x, x], axis=1), FS, 1000.0), ValueError,
             r"^x must be 1-D unless axis is given, got shape \(300, 2\): .*axis=-1.*axis=0"),
            (lambda x: filterbank(x, FS, 1000.0, env=1), TypeError, "^env must be True or False"),
            (lambda x: filterbank(x, FS, 1000.0, instf="no"), TypeError, "^instf must be True or False"),
            (lambda x: cochleagram(x, FS, 1000.0, normalize="yes"), TypeError, "^normalize must be True or False"),
            # One convention across the library: a count that is not an int is
            # a TypeError (as for range(2.5)), a count out of range a ValueError.
            (lambda x: erb_space(50, 8000, 2.5), TypeError, "^n must be an int"),
            (lambda x: frame_levels(x[np.newaxis], 2.5, 1), TypeError, "^frame_len must be an int"),
            (lambda x: frame_levels(x[np.newaxis], 0, 1), ValueError, "^frame_len must be a positive"),
            (lambda x: cochleagram(x, FS, 1000.0, hop="0.01"), TypeError, "^hop must be a number"),
            (lambda x: cf_gain(FS, 64), TypeError, r"^cfs .*erb_space\(low, high, 64\)"),
        ],
    )
    def test_common_mistakes_name_the_fix(self, rng, call, error, message):
        with pytest.raises(error, match=message):
            call(rng.standard_normal(300))

    def test_a_number_is_one_channel(self, rng):
        x = rng.standard_normal(300)
        assert np.array_equal(filterbank(x, FS, 1000.0).bm, filterbank(x, FS, [1000.0]).bm)

    def test_missing_cfs_is_named(self):
        with pytest.raises(TypeError, match="^cfs is missing"):
            filterbank(np.zeros(4), FS, None)

    def test_x_that_does_not_cast_safely(self):
        with pytest.raises(TypeError, match="^x "):
            filterbank(np.ones(4, dtype=np.complex128), FS, [1000.0])


class TestCochleagram:
    @pytest.mark.parametrize(
        ("n", "frames"), [(0, 0), (1, 1), (399, 1), (400, 1), (401, 2), (560, 2), (561, 3), (16000, 99)]
    )
    def test_frame_count(self, n, frames):
        # 25 ms frames and 10 ms hops at 16 kHz: 400 and 160 samples.
        level = cochleagram(np.ones(n), FS, [500.0, 2000.0])
        assert level.shape == (2, frames) and level.dtype == np.float64
        assert level.flags.c_contiguous

    @pytest.mark.parametrize(
        ("n", "frame_len", "hop_len", "frames"),
        # With hop > frame no frame may start at or after the end.
        [(9600, 160, 8000, 2), (8000, 160, 8000, 1), (8001, 160, 8000, 2), (100, 10, 200, 1),
         (560, 400, 160, 2), (561, 400, 160, 3)],
    )
    def test_frames_start_before_the_end(self, n, frame_len, hop_len, frames):
        level = cochleagram(np.ones(n), FS, [1000.0], frame=frame_len / FS, hop=hop_len / FS)
        assert level.shape == (1, frames)
        assert frame_levels(np.ones((2, n)), frame_len, hop_len).shape == (2, frames)

    @pytest.mark.parametrize(
        ("args", "error", "name"),
        [
            ((np.ones((2, 9)), 0, 1), ValueError, "frame_len"), ((np.ones((2, 9)), 4, 0), ValueError, "hop_len"),
            ((np.ones((2, 9)), -3, 1), ValueError, "frame_len"), ((np.ones((2, 9)), 2.5, 1), TypeError, "frame_len"),
            ((np.ones(9), 4, 2), ValueError, "bm"), ((np.ones((2, 9), dtype=complex), 4, 2), TypeError, "bm"),
        ],
    )
    def test_frame_levels_checks_its_arguments(self, args, error, name):
        with pytest.raises(error, match=rf"^{name}\b"):
            frame_levels(*args)

    def test_lengths_past_the_row_are_the_row(self, rng):
        bm = rng.standard_normal((2, 50))
        assert np.array_equal(frame_levels(bm, 2**70, 2**70), frame_levels(bm, 50, 50))

    def test_frame_levels_takes_lists(self):
        assert np.array_equal(frame_levels([[1.0, -1.0, 1.0]], 2, 2), frame_levels(np.array([[1.0, -1.0, 1.0]]), 2, 2))

    @pytest.mark.parametrize("n", [1, 399, 1234])
    def test_levels_are_mean_square_in_db(self, rng, n):
        x = rng.standard_normal(n)
        cfs = [250.0, 1000.0, 4000.0]
        level = cochleagram(x, FS, cfs, frame=0.0125, hop=0.005)
        bm = filterbank(x, FS, cfs, workers=1).bm
        for k in range(level.shape[1]):
            chunk = bm[:, k * 80 : k * 80 + 200]
            want = 10 * np.log10(np.maximum(np.mean(chunk**2, axis=1), 1e-12))
            np.testing.assert_allclose(level[:, k], want, rtol=1e-12)

    def test_tone_is_loudest_in_its_own_channel(self):
        t = np.arange(FS // 2) / FS
        cfs = erb_space(100.0, 6000.0, 24)
        level = cochleagram(np.sin(2 * np.pi * cfs[12] * t), FS, cfs)
        steady = level[:, 10:].mean(axis=1)
        assert np.argmax(steady) == 12
        # A channel two octaves away is far quieter.
        assert steady[12] - steady[np.searchsorted(cfs, cfs[12] / 4)] > 20

    def test_silence_is_the_floor(self):
        assert np.all(cochleagram(np.zeros(800), FS, [1000.0]) == -120.0)

    def test_workers_do_not_change_levels(self, rng):
        x = rng.standard_normal(3000)
        cfs = erb_space(100.0, 7000.0, 8)
        assert np.array_equal(cochleagram(x, FS, cfs, workers=1), cochleagram(x, FS, cfs, workers=3))

    @pytest.mark.parametrize(
        ("kwargs", "name"),
        [
            ({"frame": 0.0}, "frame"), ({"frame": -0.025}, "frame"), ({"frame": math.nan}, "frame"),
            ({"frame": 1e-5}, "frame"),  # rounds to no samples
            ({"hop": 0.0}, "hop"), ({"hop": math.inf}, "hop"),
            ({"frame": 100.0, "hop": 0.001}, "frame"),  # 100,000 frames open at once
        ],
    )
    def test_bad_frames(self, kwargs, name):
        with pytest.raises(ValueError, match=rf"^{name}\b"):
            cochleagram(np.zeros(100), FS, [1000.0], **kwargs)
