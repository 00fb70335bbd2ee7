"""Corpus runs: gammatone_bank.batch() and `gammatone-bank batch` on real Dask clusters.

Most tests share one LocalCluster of two worker processes; the fault tests
start their own: a `dask scheduler` and `dask worker` processes, or the
command line's embedded cluster.  Everything listens on 127.0.0.1 only.
Slow tasks come from tests/_slow_worker.py, a worker preload that makes
every block read sleep and logs which worker process opened which input.
"""

import csv
import fcntl
import io
import json
import os
import signal
import struct
import subprocess
import sys
import time
import zipfile
import zlib
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
soundfile = pytest.importorskip("soundfile")

import gammatone_bank  # noqa: E402
from gammatone_bank import batch, cochleagram, erb_space, load_features  # noqa: E402
from gammatone_bank._batch import BatchError, Params  # noqa: E402
from gammatone_bank._files import write_atomically  # noqa: E402
from helpers import (  # noqa: E402
    ENV, PYTHON, SLOW_WORKER, TIMEOUT, assert_bits, batch_command, run_batch, scheduler_address, slow_env, start, stop,
    stray_files, wait_for, write_corpus, write_noise,
)

NOWHERE = "tcp://127.0.0.1:9"  # nothing listens there


@pytest.fixture(scope="module")
def local_cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=":0") as c:
        yield c


@pytest.fixture(scope="module")
def cluster(local_cluster):
    return local_cluster.scheduler_address


class TaskStarts(distributed.diagnostics.plugin.SchedulerPlugin):
    """Counts, per task key, the times the scheduler sends the task to a worker."""

    def __init__(self):
        self.starts = {}

    def transition(self, key, start, finish, *args, **kwargs):
        if finish == "processing":
            self.starts[key] = self.starts.get(key, 0) + 1


def manifest(out):
    with open(os.path.join(out, "manifest.csv"), newline="") as f:
        return {row["features"]: row for row in csv.DictReader(f)}


def frame_centres(n, fs, frame=0.025, hop=0.010):
    frame_len, hop_len = round(frame * fs), round(hop * fs)
    frames = 1 + -(-max(n - frame_len, 0) // hop_len)
    return [(k * hop_len + min(frame_len, n - k * hop_len) / 2) / fs for k in range(frames)]


class TestFeatures:
    def test_levels_and_layout(self, tmp_path, cluster):
        corpus, out = tmp_path / "corpus", tmp_path / "out"
        stereo = write_noise(corpus / "a.wav", channels=2, seed=1)
        low_rate = write_noise(corpus / "deep" / "b.flac", fs=8000, seed=2)
        named = write_noise(tmp_path / "extra" / "c.wav", seconds=0.013, seed=3)  # shorter than a frame
        write_noise(corpus / ".hidden.wav", seed=4)
        (corpus / "notes.txt").write_text("not sound")
        (tmp_path / "list.txt").write_text(f"# inputs\n\n{tmp_path / 'extra' / 'c.wav'}\n")

        result = batch([str(corpus), f"@{tmp_path / 'list.txt'}"], str(out), channels=8, scheduler=cluster)

        assert (result.done, result.skipped, result.failed) == (3, 0, 0)
        rows = manifest(out)
        assert sorted(rows) == ["a.wav.npz", "c.wav.npz", "deep/b.flac.npz"]
        # One top for the run: 0.45 x the lowest rate (b.flac's 8 kHz).
        high = 3600
        for name, x, fs, source in [
            ("a.wav.npz", stereo, 16000, corpus / "a.wav"),
            ("deep/b.flac.npz", low_rate, 8000, corpus / "deep" / "b.flac"),
            ("c.wav.npz", named, 16000, tmp_path / "extra" / "c.wav"),
        ]:
            assert rows[name]["status"] == "done"
            assert float(rows[name]["audio_seconds"]) == pytest.approx(len(x) / fs, abs=1e-3)
            with np.load(out / name) as f:
                cfs = erb_space(50, high, 8)
                assert np.array_equal(f["cfs"], cfs)
                assert np.array_equal(f["levels"], cochleagram(x.mean(axis=1), fs, cfs))
                assert np.allclose(f["times"], frame_centres(len(x), fs), rtol=0, atol=1e-12)
                assert f["fs"] == fs and f["samples"] == len(x)
                st = os.stat(source)
                assert str(f["input"]) == str(source)
                assert (f["input_size"], f["input_mtime_ns"]) == (st.st_size, st.st_mtime_ns)
                assert (f["channels"], f["low"], f["high"], f["channel"]) == (8, 50, high, -1)
        assert stray_files(out) == []

    def test_one_input_channel(self, tmp_path, cluster):
        stereo = write_noise(tmp_path / "in" / "stereo.wav", channels=2, seed=5)
        write_noise(tmp_path / "in" / "mono.wav", seed=6)
        result = batch([str(tmp_path / "in")], str(tmp_path / "out"), channels=4, channel=1,
                       scheduler=cluster)
        with np.load(tmp_path / "out" / "stereo.wav.npz") as f:
            assert np.array_equal(f["levels"], cochleagram(stereo[:, 1], 16000, f["cfs"]))
            assert f["channel"] == 1
        (failed,) = [row for row in result.rows if row.status == "failed"]
        assert failed.input.endswith("mono.wav") and "no channel 1" in failed.reason
        assert not (tmp_path / "out" / "mono.wav.npz").exists()


RATES = (8000, 16000, 22050, 44100, 48000)


class TestOneBandPerRun:
    @pytest.mark.parametrize("options, low, high, failed", [
        ([], 50, 3600.0, []),                        # the default, fitted to the lowest rate
        (["--high", "5000"], 50, 5000.0, ["r8000"]),  # asked for: the 8 kHz file cannot hold it
        (["--low", "100", "--high", "3000"], 100, 3000.0, []),
    ])
    def test_mixed_rates_get_one_set_of_cfs(self, tmp_path, cluster, options, low, high, failed):
        xs = {f"r{fs}": write_noise(tmp_path / "in" / f"r{fs}.wav", seconds=0.1, fs=fs, seed=fs) for fs in RATES}
        out = tmp_path / "out"
        r = run_batch(tmp_path / "in", "--out-dir", out, "--channels", 6, *options, "--scheduler", cluster)
        assert r.returncode == (1 if failed else 0), r.stderr
        lines = r.stderr.splitlines()
        if options:
            assert [line for line in lines if "note" in line] == []
        else:
            assert lines == [f"gammatone-bank: note: every input's top centre frequency is 3600 Hz, 0.45 x the "
                             f"lowest sample rate among them (8000 Hz, {tmp_path / 'in' / 'r8000.wav'}); "
                             "choose another with --high (high= in batch())"]
        assert json.loads((out / "parameters.json").read_text())["high"] == high
        cfs = erb_space(low, high, 6)
        rows = manifest(out)
        for name, x in xs.items():
            fs = int(name[1:])
            if name in failed:
                assert rows[f"{name}.wav.npz"]["status"] == "failed"
                reason = rows[f"{name}.wav.npz"]["reason"]
                assert reason.startswith(str(tmp_path / "in" / f"{name}.wav")) and "high=5000 Hz" in reason
                assert f"gammatone-bank: failed: {reason}" in lines
                continue
            f = load_features(out / f"{name}.wav.npz")
            assert np.array_equal(f.cfs, cfs)
            assert np.array_equal(f.levels, cochleagram(x[:, 0], fs, cfs))

    def test_library_messages_name_arguments(self, tmp_path):
        # batch() callers read low=, the command line's users --low (above).
        write_noise(tmp_path / "in" / "low.wav", fs=8000)
        with pytest.raises(BatchError, match=r"low\.wav, the input of the lowest sample rate: low=4000 Hz is not below"):
            batch([tmp_path / "in" / "low.wav"], tmp_path / "out", low=4000, scheduler=NOWHERE)

    def test_lowest_rate_below_the_band_is_refused(self, tmp_path):
        write_noise(tmp_path / "in" / "a.wav", fs=16000)
        write_noise(tmp_path / "in" / "low.wav", fs=8000)
        r = run_batch(tmp_path / "in", "--out-dir", tmp_path / "out", "--low", 4000, "--scheduler", NOWHERE)
        assert r.returncode == 2
        assert r.stderr == (f"gammatone-bank: error: {tmp_path / 'in' / 'low.wav'}, the input of the lowest "
                            "sample rate: --low 4000 Hz is not below half the sample rate (4000 Hz for this "
                            "8000 Hz input)\n")
        assert not (tmp_path / "out").exists()


def features_members():
    """The members of a small, sound features file (4 channels, 7 frames at 8 kHz)."""
    cfs = erb_space(50, 3600, 4)
    return {"levels": np.random.default_rng(2).uniform(-100, 0, (4, 7)), "cfs": cfs,
            "times": np.array(frame_centres(680, 8000)), "fs": np.int64(8000), "samples": np.int64(680),
            "frame_len": np.int64(200), "hop_len": np.int64(80),
            "parameters": np.array(Params(4, 50.0, 3600.0, 0.025, 0.01, None, False).key())}


class Exploding:
    """Unpickling it would raise: a file that holds it must never be unpickled."""

    def __reduce__(self):
        return (pytest.fail, ("unpickled",))


def npy_bytes(value):
    f = io.BytesIO()
    np.save(f, value)
    return f.getvalue()


def deflated_zeros(shape):
    """An .npy member of float64 zeros, deflated, made without ever holding it:
    (data, size, CRC).  Blocks of zeros after a full flush deflate to the same bytes."""
    head = io.BytesIO()
    np.lib.format.write_array_header_1_0(head, {"descr": "<f8", "fortran_order": False, "shape": shape})
    header, chunk = head.getvalue(), bytes(1 << 20)
    count, rest = divmod(8 * int(np.prod(shape)), len(chunk))
    assert rest == 0
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    first = c.compress(header) + c.flush(zlib.Z_FULL_FLUSH)
    block = c.compress(chunk) + c.flush(zlib.Z_FULL_FLUSH)
    assert c.compress(chunk) + c.flush(zlib.Z_FULL_FLUSH) == block
    crc = zlib.crc32(header)
    for _ in range(count):
        crc = zlib.crc32(chunk, crc)
    return first + block * count + c.flush(), len(header) + len(chunk) * count, crc


def write_zip(path, members):
    """A zip of (name, data, size, crc) members: deflated ones with their size and CRC, stored ones with None."""
    with open(path, "wb") as f:
        central = b""
        for name, data, size, crc in members:
            method = 8 if size is not None else 0
            size = len(data) if size is None else size
            crc = zlib.crc32(data) if crc is None else crc
            fields = struct.pack("<HHHHHIIIH", 20, 0, method, 0, 0x21, crc, len(data), size, len(name))
            central += (struct.pack("<IH", 0x02014B50, 20) + fields
                        + struct.pack("<HHHHII", 0, 0, 0, 0, 0, f.tell()) + name.encode())
            f.write(struct.pack("<I", 0x04034B50) + fields + struct.pack("<H", 0) + name.encode() + data)
        start = f.tell()
        f.write(central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(members), len(members), len(central),
                                      start, 0))


@pytest.mark.parametrize("ending", ["", "\n", "\r\n"])
@pytest.mark.parametrize("source", ["file", "pipe"])
def test_every_listed_path_is_read(tmp_path, ending, source):
    """The last line of a list counts with or without a line end."""
    sep = ending or "\n"
    text = f"a.wav{sep}# a comment{sep}b.wav{ending}".encode()
    if source == "file":
        (tmp_path / "list").write_bytes(text)
        listed = [f"@{tmp_path / 'list'}"]
        assert list(gammatone_bank._batch._named(listed)) == ["a.wav", "b.wav"]
        return
    read, write = os.pipe()
    try:
        os.write(write, text)
        os.close(write)
        assert list(gammatone_bank._batch._named([f"@/dev/fd/{read}"])) == ["a.wav", "b.wav"]
    finally:
        os.close(read)


class TestFeaturesFile:
    """--save and batch() write one format, and load_features reads it and the old one."""

    def test_save_and_batch_write_the_same_file(self, tmp_path, cluster):
        x = write_noise(tmp_path / "in" / "a.wav", channels=2, seed=8)
        options = ["--channels", "6", "--low", "80", "--frame", "0.02", "--hop", "0.005", "--channel", "1"]
        r = subprocess.run([*PYTHON, "gammatone_bank", str(tmp_path / "in" / "a.wav"), *options,
                            "--save", str(tmp_path / "saved.npz"), "--out", str(tmp_path / "a.png")],
                           env=ENV | {"MPLBACKEND": "Agg"}, capture_output=True, text=True, timeout=TIMEOUT)
        assert r.returncode == 0, r.stderr
        batch([str(tmp_path / "in")], str(tmp_path / "out"), channels=6, low=80, frame=0.02, hop=0.005,
              channel=1, scheduler=cluster)
        with np.load(tmp_path / "saved.npz") as saved, np.load(tmp_path / "out" / "a.wav.npz") as made:
            assert sorted(saved.files) == sorted(made.files)
            for key in set(saved.files) - {"run", "compute_seconds"}:
                assert np.array_equal(saved[key], made[key]), key
            assert str(saved["run"]) == "" and str(made["run"]) != ""
        cfs = erb_space(80, 7200, 6)
        for path in (tmp_path / "saved.npz", tmp_path / "out" / "a.wav.npz"):
            f = load_features(path)
            assert np.array_equal(f.levels, cochleagram(x[:, 1], 16000, cfs, frame=0.02, hop=0.005))
            assert np.array_equal(f.cfs, cfs) and f.fs == 16000
            assert np.allclose(f.times, frame_centres(len(x), 16000, 0.02, 0.005), rtol=0, atol=1e-12)
            assert f.parameters == {"channels": 6, "low": 80.0, "high": 7200.0, "frame": 0.02,
                                    "hop": 0.005, "channel": 1, "normalize": False, "features": ("levels",)}

    @pytest.mark.parametrize("channel, normalize", [(-1, False), (0, True)])
    def test_old_save_files_still_load(self, tmp_path, channel, normalize):
        """The layout --save wrote before: the levels under `level`, no parameters."""
        cfs = erb_space(50, 3600, 5)
        level = np.random.default_rng(1).uniform(-100, 0, (5, 7))
        times = np.array(frame_centres(680, 8000))
        np.savez(tmp_path / "old.npz", fs=np.int64(8000), cfs=cfs, level=level, times=times,
                 frame_len=np.int64(200), hop_len=np.int64(80), samples=np.int64(680),
                 channel=np.int64(channel), normalize=np.bool_(normalize))
        f = load_features(tmp_path / "old.npz")
        assert np.array_equal(f.levels, level) and np.array_equal(f.cfs, cfs)
        assert np.array_equal(f.times, times) and f.fs == 8000
        assert f.parameters == {"channels": 5, "low": 50.0, "high": 3600.0, "frame": 0.025, "hop": 0.01,
                                "channel": None if channel < 0 else channel, "normalize": normalize,
                                "features": ("levels",)}

    def test_old_default_top_files_record_the_top_used(self, tmp_path):
        """Files of runs that recorded high as None (the default, per file) give the top used."""
        members = features_members()
        members["parameters"] = np.array(Params(4, 50.0, None, 0.025, 0.01, None, False).key())
        np.savez(tmp_path / "f.npz", **members)
        f = load_features(tmp_path / "f.npz")
        assert f.parameters["high"] == float(members["cfs"][-1]) == 3600.0

    @pytest.mark.parametrize(("change", "fault"), [
        (lambda m: m.update(levels=m["levels"][:3]), r"cfs has shape \(4,\): 4 channels, where levels has 3"),
        (lambda m: m.update(times=m["times"][:-1]), r"times has shape \(6,\): 6 frames, where levels has 7"),
        (lambda m: m.update(levels=m["levels"][0]), r"levels has shape \(7,\), not 2 dimension"),
        (lambda m: m.update(fs=np.int64(-5)), "fs is -5 Hz"),
        (lambda m: m.update(fs=np.array("8000")), "fs holds <U4, not integers"),
        (lambda m: m.update(levels=m["levels"] + 0j), "levels holds complex128, not floats"),
        (lambda m: m.update(cfs=m["cfs"][::-1].copy()), "cfs are not rising centre frequencies"),
        (lambda m: m.update(cfs=m["cfs"] * 2), r"cfs are not rising centre frequencies between 0 and fs/2"),
        (lambda m: m.update(times=-m["times"]), "times are not rising frame centres"),
        (lambda m: m.update(samples=np.int64(8000)), "8000 samples give 99 frames of 200 every 80, not the 7"),
        (lambda m: m.pop("cfs"), "cfs is missing"),
        (lambda m: m.update(parameters=np.array("{")), "parameters are not the analysis parameters"),
        (lambda m: m.update(parameters=np.array("[" * 100_000)), "parameters are not the analysis parameters"),
        (lambda m: m.update(parameters=np.array(Params(5, 50.0, None, 0.025, 0.01, None, False).key())),
         "parameters say 5 channels, cfs hold 4"),
        (lambda m: m.update(parameters=np.array(Params(4, 60.0, None, 0.025, 0.01, None, False).key())),
         "parameters say low 60 Hz, cfs say 50 Hz"),
    ], ids=["levels-rows", "times", "levels-1d", "fs-negative", "fs-text", "complex", "cfs-falling",
            "cfs-above-nyquist", "times-negative", "samples", "no-cfs", "parameters-json", "parameters-deep",
            "parameters-channels", "parameters-low"])
    def test_inconsistent_files_are_refused(self, tmp_path, change, fault):
        members = features_members()
        change(members)
        np.savez(tmp_path / "f.npz", **members)
        with pytest.raises(ValueError, match=f"^{tmp_path / 'f.npz'}: not a readable features file \\(.*{fault}"):
            load_features(tmp_path / "f.npz")

    def test_never_unpickles(self, tmp_path):
        members = features_members()
        members["levels"] = np.array([[Exploding()]], object)
        np.savez(tmp_path / "f.npz", allow_pickle=True, **members)
        with pytest.raises(ValueError, match="levels: holds Python objects, which are never unpickled"):
            load_features(tmp_path / "f.npz")

    def test_declared_sizes_are_checked_before_reading(self, tmp_path):
        """A member whose zip entry is longer than its .npy header declares."""
        members = features_members()
        with zipfile.ZipFile(tmp_path / "f.npz", "w") as zf:
            for name, value in members.items():
                data = npy_bytes(value)
                zf.writestr(f"{name}.npy", data + (b"\0" * 64 if name == "cfs" else b""))
        with pytest.raises(ValueError, match=r"cfs is 224 bytes long where its header declares 160"):
            load_features(tmp_path / "f.npz")

    def test_deflate_bomb_in_bounded_memory(self, tmp_path):
        """2 MB that inflate to 2 GB, shapes consistent: refused under a 1 GiB address-space limit."""
        frames = 3_932_160  # frames doubles: a whole number of MiB
        path = tmp_path / "bomb.npz"
        cfs = erb_space(50, 7200, 64)
        write_zip(path, [("levels.npy", *deflated_zeros((64, frames))), ("times.npy", *deflated_zeros((frames,))),
                         ("cfs.npy", npy_bytes(cfs), None, None), ("fs.npy", npy_bytes(np.int64(16000)), None, None)])
        assert path.stat().st_size < 3 << 20
        code = ("import sys\nfrom gammatone_bank import load_features\n"
                "try:\n    load_features(sys.argv[1])\nexcept ValueError as exc:\n    print(exc)\n")
        r = subprocess.run(["prlimit", f"--as={1 << 30}", sys.executable, "-P", "-c", code, str(path)], env=ENV,
                           capture_output=True, text=True, timeout=TIMEOUT)
        assert r.returncode == 0 and "levels would inflate from" in r.stdout and "over 100 times" in r.stdout, r

    @pytest.mark.parametrize("path", [1, 2.0, None])
    def test_a_path_only(self, tmp_path, path):
        """Never a file descriptor number, which would be closed with the file."""
        with pytest.raises(TypeError, match="path must be a path"):
            load_features(path)
        os.fstat(1)  # standard output is still open

    @pytest.mark.parametrize("damage", ["flipped", "torn", "not-features"])
    def test_damaged_files_are_refused(self, tmp_path, damage):
        path = tmp_path / "bad.npz"
        np.savez(path, levels=np.zeros((4, 50000)), cfs=erb_space(50, 7200, 4), times=np.zeros(50000),
                 fs=np.int64(16000), parameters="{}")
        data = bytearray(path.read_bytes())
        if damage == "flipped":  # a byte inside the level matrix
            data[200000] ^= 0x40
        elif damage == "torn":
            del data[len(data) // 2:]
        else:
            np.savez(path, x=np.zeros(3))
            data = bytearray(path.read_bytes())
        path.write_bytes(bytes(data))
        with pytest.raises(ValueError, match=f"{path}: not a readable features file"):
            load_features(path)


class TestFaults:
    def test_bad_inputs_fail_alone(self, tmp_path, cluster):
        d = tmp_path / "in"
        good = [write_noise(d / f"good{i}.wav", seed=i) for i in range(2)]
        (d / "corrupt.wav").write_bytes(np.random.default_rng(7).bytes(4000))
        (d / "empty.wav").write_bytes(b"")
        soundfile.write(d / "no_samples.wav", np.empty((0, 1)), 16000)
        soundfile.write(d / "nan.wav", np.full((800, 1), np.nan), 16000, subtype="FLOAT")
        (d / "dangling.wav").symlink_to(tmp_path / "gone.wav")
        (tmp_path / "list.txt").write_text(f"{tmp_path / 'missing.wav'}\n")

        r = run_batch(d, f"@{tmp_path / 'list.txt'}", "--out-dir", tmp_path / "out",
                      "--channels", 4, "--scheduler", cluster)

        assert r.returncode == 1, r.stderr
        assert "2 done, 0 skipped, 6 failed" in r.stdout
        assert len(r.stderr.splitlines()) == 6
        assert all(line.startswith("gammatone-bank: failed: ") for line in r.stderr.splitlines())
        rows = manifest(tmp_path / "out")
        reasons = {name: rows[name]["reason"] for name in rows if rows[name]["status"] == "failed"}
        for name, reason in {
            "corrupt.wav.npz": "not a readable sound file",
            "empty.wav.npz": "not a readable sound file",
            "no_samples.wav.npz": "holds no samples",
            "nan.wav.npz": "not finite",
            "dangling.wav.npz": "no such file",
            "missing.wav.npz": "no such file",
        }.items():
            assert reason in reasons.pop(name)
        assert reasons == {}
        for i, x in enumerate(good):
            with np.load(tmp_path / "out" / f"good{i}.wav.npz") as f:
                assert np.array_equal(f["levels"], cochleagram(x[:, 0], 16000, f["cfs"]))
        assert sorted(p.name for p in (tmp_path / "out").glob("*.npz")) == ["good0.wav.npz", "good1.wav.npz"]

    def test_unwritable_target_fails_alone(self, tmp_path, cluster):
        """An unexpected error is retried, then recorded; the task's other inputs are done."""
        write_corpus(tmp_path / "in", 11, seconds=0.05, name="a{:02d}.wav")
        write_noise(tmp_path / "in" / "sub" / "b.wav", seconds=0.05, seed=11)
        (tmp_path / "out").mkdir()
        (tmp_path / "out" / "sub").write_text("in the way")  # b.wav.npz cannot go below it
        result = batch([str(tmp_path / "in")], str(tmp_path / "out"), channels=4, scheduler=cluster)
        # 12 files on 2 workers go two to a task, so b.wav shares its task.
        assert (result.done, result.failed) == (11, 1)
        (failed,) = [row for row in result.rows if row.status == "failed"]
        assert failed.features == "sub/b.wav.npz" and "FileExistsError" in failed.reason
        assert len(list((tmp_path / "out").glob("*.npz"))) == 11

    @pytest.mark.parametrize("before", [None, b"earlier features"])
    def test_failed_write_leaves_nothing_behind(self, tmp_path, before):
        """A write that fails part way leaves the target as it was and no temporary file."""
        target = tmp_path / "a.wav.npz"
        if before is not None:
            target.write_bytes(before)

        def write(f):
            f.write(b"half a file")
            f.flush()
            raise OSError(28, "No space left on device")

        with pytest.raises(OSError, match="No space"):
            write_atomically(str(target), write)
        assert os.listdir(tmp_path) == ([] if before is None else ["a.wav.npz"])
        assert before is None or target.read_bytes() == before

    # A signal just after os.fdopen drops the file object it returned unclosed.
    @pytest.mark.filterwarnings("ignore::ResourceWarning", "ignore::pytest.PytestUnraisableExceptionWarning")
    @pytest.mark.parametrize("before", [None, b"earlier features"])
    def test_interrupt_after_every_step_leaves_nothing_behind(self, tmp_path, monkeypatch, before):
        """KeyboardInterrupt right after each file-system call of write_atomically
        (the moment a signal lands): the target as it was, no temporary file."""
        target = tmp_path / "a.wav.npz"
        calls, fired = [0, 0], []

        def stepping(real):
            def step(*args, **kwargs):
                result = real(*args, **kwargs)
                calls[0] += 1
                if calls[0] == calls[1]:
                    fired.append(real.__name__)
                    raise KeyboardInterrupt
                return result
            return step

        for module, name in ((os, "open"), (os, "fdopen"), (os, "replace"), (os, "stat"), (fcntl, "flock")):
            monkeypatch.setattr(module, name, stepping(getattr(module, name)))
        for k in range(1, 50):
            target.unlink(missing_ok=True)
            if before is not None:
                target.write_bytes(before)
            calls[:] = [0, k]
            try:
                write_atomically(str(target), lambda f: f.write(b"new features"))
            except KeyboardInterrupt:
                if fired[-1] == "replace":  # too late to stop: it is in place
                    assert os.listdir(tmp_path) == ["a.wav.npz"] and target.read_bytes() == b"new features"
                    continue
                assert os.listdir(tmp_path) == ([] if before is None else ["a.wav.npz"]), fired
                assert before is None or target.read_bytes() == before
            else:
                assert os.listdir(tmp_path) == ["a.wav.npz"] and target.read_bytes() == b"new features"
                break
        assert {"open", "flock", "replace"} <= set(fired)

    @pytest.mark.parametrize("retries", [0, 2])
    def test_retries_as_asked(self, tmp_path, local_cluster, retries):
        """A task that keeps raising is run 1 + retries times, then recorded as failed."""
        write_noise(tmp_path / "in" / "sub" / "b.wav", seconds=0.05)
        (tmp_path / "out").mkdir()
        (tmp_path / "out" / "sub").write_text("in the way")
        plugin = TaskStarts()
        local_cluster.scheduler.add_plugin(plugin, name="task-starts")
        try:
            result = batch([str(tmp_path / "in")], str(tmp_path / "out"), channels=4,
                           scheduler=local_cluster.scheduler_address, retries=retries)
        finally:
            local_cluster.scheduler.remove_plugin(name="task-starts")
        assert result.failed == 1
        assert [n for k, n in plugin.starts.items() if str(k).startswith("gammatone-batch-")] == [1 + retries]

    def test_worker_killed_mid_run(self, tmp_path):
        """SIGKILL one `dask worker` while it runs a task: only that task runs again."""
        names = [f"k{i}.wav" for i in range(8)]
        for i, name in enumerate(names):
            write_noise(tmp_path / "in" / name, seconds=0.2, seed=i)
        log = tmp_path / "starts.log"
        env = ENV | {"GAMMATONE_TEST_SLOW": "0.6", "GAMMATONE_TEST_LOG": str(log)}
        procs = []

        def dask(*args):
            procs.append(start([*PYTHON, "dask", *args], env=env, cwd=tmp_path,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

        try:
            dask("scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                 "--scheduler-file", tmp_path / "scheduler.json")
            for _ in range(2):
                dask("worker", "--scheduler-file", tmp_path / "scheduler.json", "--host", "127.0.0.1",
                     "--no-dashboard", "--nthreads", "1", "--preload", SLOW_WORKER)
            address = scheduler_address(tmp_path / "scheduler.json")
            deadline = time.monotonic() + TIMEOUT

            with ThreadPoolExecutor(1) as pool:
                run = pool.submit(batch, [str(tmp_path / "in")], str(tmp_path / "out"), channels=4,
                                  scheduler=address, workers=2)
                # Once three tasks have started, the worker that started the
                # third is in the middle of it: kill it there.
                starts = []
                while len(starts) < 3 and time.monotonic() < deadline and not run.done():
                    time.sleep(0.02)
                    starts = log.read_text().split("\n")[:-1] if log.exists() else []
                pid, victim = starts[2].split(" ", 1)
                os.kill(int(pid), signal.SIGKILL)
                result = run.result(timeout=TIMEOUT)
        finally:
            stop(*procs)

        assert (result.done, result.failed) == (8, 0), (result.rows, log.read_text(), victim)
        opened = [line.split(" ", 1)[1] for line in log.read_text().splitlines()]
        assert {path: opened.count(path) for path in set(opened)} == {
            str(tmp_path / "in" / name): 2 if str(tmp_path / "in" / name) == victim else 1 for name in names
        }
        for name in names:
            with np.load(tmp_path / "out" / f"{name}.npz") as f:
                assert f["levels"].shape == (4, len(frame_centres(3200, 16000)))
        assert stray_files(tmp_path / "out") == []

    @pytest.mark.parametrize("signum, group, status, word", [
        (signal.SIGINT, True, 130, "interrupted"),   # Ctrl-C: the terminal signals the whole group
        (signal.SIGTERM, False, 143, "terminated"),  # a job scheduler ending the client
    ], ids=["ctrl-c", "sigterm"])
    def test_interrupt_then_rerun(self, tmp_path, signum, group, status, word):
        """The embedded cluster stopped mid-run; a rerun does only what is missing."""
        write_corpus(tmp_path / "in", 16, seconds=0.2, name="s{:02d}.wav")
        out = tmp_path / "out"
        args = batch_command(tmp_path / "in", out, "--channels", 4, "--workers", 2)
        p = start(args, env=slow_env(0.5))
        try:
            wait_for(lambda: len(list(out.glob("*.npz"))) >= 2 or p.poll() is not None)
            if group:
                os.killpg(p.pid, signum)
            else:
                p.send_signal(signum)
            stdout, stderr = p.communicate(timeout=TIMEOUT)
        finally:
            stop(p)

        assert p.returncode == status, stderr
        assert stdout == ""
        assert len(stderr.splitlines()) == 1, stderr
        assert stderr.startswith(f"gammatone-bank: {word}: ") and "rerun" in stderr
        assert stray_files(out) == []
        kept = sorted(path.name for path in out.glob("*.npz"))
        assert 2 <= len(kept) < 16
        # The manifest holds what finished, though a file may be whole before
        # its task reports it.
        rows = manifest(out)
        assert set(rows) <= set(kept) and {row["status"] for row in rows.values()} <= {"done"}
        for name in kept:  # every file left is whole
            with np.load(out / name) as f:
                assert f["levels"].shape == (4, len(frame_centres(3200, 16000)))
                assert np.isfinite(f["levels"]).all()

        r = subprocess.run(args, env=ENV, capture_output=True, text=True, timeout=TIMEOUT)
        assert r.returncode == 0, r.stderr
        assert f"16 inputs: {16 - len(kept)} done, {len(kept)} skipped, 0 failed" in r.stdout
        rows = manifest(out)
        assert sorted(n for n in rows if rows[n]["status"] == "skipped") == kept
        assert len(list(out.glob("*.npz"))) == 16


class TestReruns:
    @pytest.mark.parametrize("change", ["nothing", "mtime", "size"])
    def test_skips_what_matches(self, tmp_path, cluster, change):
        for name in ("a", "b", "c"):
            write_noise(tmp_path / "in" / f"{name}.wav", seed=ord(name))
        out = tmp_path / "out"
        batch([str(tmp_path / "in")], str(out), channels=4, scheduler=cluster)
        before = {p.name: os.stat(p) for p in out.glob("*.npz")}
        b = tmp_path / "in" / "b.wav"
        old = os.stat(b)
        if change == "mtime":
            os.utime(b, ns=(old.st_atime_ns, old.st_mtime_ns + 10**9))
        elif change == "size":  # new samples, same modification time
            x = write_noise(b, seconds=0.7, seed=99)
            os.utime(b, ns=(old.st_atime_ns, old.st_mtime_ns))

        result = batch([str(tmp_path / "in")], str(out), channels=4, scheduler=cluster)

        redone = set() if change == "nothing" else {"b.wav.npz"}
        assert {r.features for r in result.rows if r.status == "done"} == redone
        assert {r.features for r in result.rows if r.status == "skipped"} == {"a.wav.npz", "b.wav.npz",
                                                                              "c.wav.npz"} - redone
        assert {n: r["status"] for n, r in manifest(out).items()} == {
            n: "done" if n in redone else "skipped" for n in before}
        for p in out.glob("*.npz"):
            same = (os.stat(p).st_ino, os.stat(p).st_mtime_ns) == (before[p.name].st_ino,
                                                                    before[p.name].st_mtime_ns)
            assert same == (p.name not in redone)
        if change == "size":
            with np.load(out / "b.wav.npz") as f:
                assert f["input_size"] == os.stat(b).st_size
                assert np.array_equal(f["levels"], cochleagram(x[:, 0], 16000, f["cfs"]))

    def test_manifest_keeps_the_rows_of_earlier_runs(self, tmp_path, cluster):
        write_noise(tmp_path / "a.wav")
        write_noise(tmp_path / "b.wav", seed=1)
        out = tmp_path / "out"
        batch([str(tmp_path / "a.wav")], str(out), channels=4, scheduler=cluster)
        batch([str(tmp_path / "b.wav")], str(out), channels=4, scheduler=cluster)
        assert {n: r["status"] for n, r in manifest(out).items()} == {"a.wav.npz": "done", "b.wav.npz": "done"}

    def test_other_parameters_never_mix(self, tmp_path, cluster):
        write_noise(tmp_path / "in" / "a.wav")
        write_noise(tmp_path / "in" / "b.wav", seed=1)
        out = tmp_path / "out"
        batch([str(tmp_path / "in")], str(out), channels=4, scheduler=cluster)
        before = {p.name: p.read_bytes() for p in out.glob("*.npz")}
        recorded = (out / "parameters.json").read_text()

        with pytest.raises(BatchError, match="made with --channels 4; this run asks for --channels 6"):
            batch([str(tmp_path / "in")], str(out), channels=6, scheduler=NOWHERE)
        # Without the record of the directory's parameters, the features
        # files there give it back, and the run is refused all the same.
        (out / "parameters.json").unlink()
        with pytest.raises(BatchError, match="made with --channels 4; this run asks for --channels 6"):
            batch([str(tmp_path / "in")], str(out), channels=6, scheduler=NOWHERE)
        assert (out / "parameters.json").read_text() == recorded
        assert {p.name: p.read_bytes() for p in out.glob("*.npz")} == before
        # Each features file still refuses to be replaced by other parameters,
        # also when its input changed since (a stale file is redone otherwise).
        (out / "parameters.json").write_text(recorded.replace('"channels": 4', '"channels": 6'))
        st = os.stat(tmp_path / "in" / "a.wav")
        os.utime(tmp_path / "in" / "a.wav", ns=(st.st_atime_ns, st.st_mtime_ns + 10**9))
        result = batch([str(tmp_path / "in")], str(out), channels=6, scheduler=cluster)
        assert result.failed == 2
        assert all("made with other parameters" in row.reason for row in result.rows)
        assert {p.name: p.read_bytes() for p in out.glob("*.npz")} == before

    def test_lost_record_of_disagreeing_features_is_refused(self, tmp_path, cluster):
        for channels, name in ((4, "a"), (5, "b")):
            write_noise(tmp_path / name / f"{name}.wav", seed=channels)
            batch([str(tmp_path / name)], str(tmp_path / name / "out"), channels=channels, scheduler=cluster)
        os.replace(tmp_path / "b" / "out" / "b.wav.npz", tmp_path / "a" / "out" / "b.wav.npz")
        (tmp_path / "a" / "out" / "parameters.json").unlink()
        r = run_batch(tmp_path / "a", "--out-dir", tmp_path / "a" / "out", "--channels", 4, "--scheduler", NOWHERE)
        assert r.returncode == 2
        assert r.stderr.startswith("gammatone-bank: error: ") and "disagree on their parameters" in r.stderr
        assert len(r.stderr.splitlines()) == 1
        assert not (tmp_path / "a" / "out" / "parameters.json").exists()

    def test_damaged_features_are_redone(self, tmp_path, cluster):
        """A kept file is checked against its checksums: one flipped or torn is redone."""
        xs = {name: write_noise(tmp_path / "in" / f"{name}.wav", seed=i) for i, name in enumerate("abc")}
        out = tmp_path / "out"
        batch([str(tmp_path / "in")], str(out), channels=4, scheduler=cluster)
        flipped = bytearray((out / "a.wav.npz").read_bytes())
        flipped[1000] ^= 0x01  # inside the level matrix, which comes first
        (out / "a.wav.npz").write_bytes(bytes(flipped))
        torn = (out / "b.wav.npz").read_bytes()
        (out / "b.wav.npz").write_bytes(torn[:len(torn) - 100])
        with pytest.raises(ValueError, match="not a readable features file"):
            load_features(out / "a.wav.npz")

        redone, again = ({r.features: r.status for r in batch(
            [str(tmp_path / "in")], str(out), channels=4, scheduler=cluster).rows} for _ in range(2))
        assert redone == {"a.wav.npz": "done", "b.wav.npz": "done", "c.wav.npz": "skipped"}
        assert again == {"a.wav.npz": "skipped", "b.wav.npz": "skipped", "c.wav.npz": "skipped"}
        for name, x in xs.items():
            f = load_features(out / f"{name}.wav.npz")
            assert np.array_equal(f.levels, cochleagram(x[:, 0], 16000, f.cfs))


    def test_one_file_under_several_names_is_taken_once(self, tmp_path, cluster):
        """Inputs are the same file when their real paths are: through .. and symlinks."""
        x = write_noise(tmp_path / "in" / "b.wav")
        (tmp_path / "in" / "a").mkdir()
        (tmp_path / "elsewhere").mkdir()
        (tmp_path / "elsewhere" / "b.wav").symlink_to(tmp_path / "in" / "b.wav")
        (tmp_path / "link").symlink_to(tmp_path / "in")
        names = [tmp_path / "in" / "b.wav", tmp_path / "in" / "a" / ".." / "b.wav",
                 tmp_path / "elsewhere" / "b.wav", tmp_path / "link" / "b.wav"]
        result = batch([str(n) for n in names], str(tmp_path / "out"), channels=4, scheduler=cluster)
        assert (result.done, len(result.rows)) == (1, 1)
        with np.load(tmp_path / "out" / "b.wav.npz") as f:
            assert np.array_equal(f["levels"], cochleagram(x[:, 0], 16000, f["cfs"]))


class TestRefusals:
    @pytest.mark.parametrize("case, message", [
        ("duplicate", "two inputs map to one features file"),
        ("out-is-file", "not a directory"),
        ("out-below-file", "cannot create or write the output directory"),
        ("nothing", "no sound files in the inputs"),
        ("missing-list", "cannot read the list of inputs"),
        ("missing-dir", "nosuchdir: no such file or directory"),
    ])
    def test_before_any_work(self, tmp_path, case, message):
        write_noise(tmp_path / "a" / "x.wav")
        write_noise(tmp_path / "b" / "x.wav", seed=1)
        (tmp_path / "file").write_text("")
        (tmp_path / "empty").mkdir()
        inputs, out = [tmp_path / "a"], tmp_path / "out"
        if case == "duplicate":
            inputs = [tmp_path / "a" / "x.wav", tmp_path / "b"]
        elif case == "out-is-file":
            out = tmp_path / "file"
        elif case == "out-below-file":
            out = tmp_path / "file" / "out"
        elif case == "nothing":
            inputs = [tmp_path / "empty"]
        elif case == "missing-list":
            inputs = [f"@{tmp_path / 'none.txt'}"]
        elif case == "missing-dir":
            inputs = [tmp_path / "a", tmp_path / "nosuchdir"]
        # The scheduler given does not exist: reaching it would fail otherwise.
        r = run_batch(*inputs, "--out-dir", out, "--scheduler", NOWHERE)
        assert r.returncode == 2
        (line,) = r.stderr.splitlines()
        assert line.startswith("gammatone-bank: error: ") and message in line
        assert r.stdout == ""
        if case != "out-is-file":
            assert not out.exists()

    @pytest.mark.parametrize("first, again, message", [
        ([], ["--high", "3000"], "made with --high 3600; this run asks for --high 3000"),
        (["--high", "3000"], [], "made with --high 3000; this run asks for --high 3600"),
        ([], ["--channel", "1"], "made with --channel mix; this run asks for --channel 1"),
        (["--channel", "0"], ["--channel", "1"], "made with --channel 0; this run asks for --channel 1"),
        ([], ["--normalize", "--hop", "0.02"], "made with --hop 0.01 --normalize off; "
                                               "this run asks for --hop 0.02 --normalize on"),
    ])
    def test_rerun_with_other_parameters(self, tmp_path, cluster, first, again, message):
        write_noise(tmp_path / "in" / "a.wav", channels=2)
        write_noise(tmp_path / "in" / "b.wav", channels=2, fs=8000)  # whose rate sets the default top
        out = tmp_path / "out"
        r = run_batch(tmp_path / "in", "--out-dir", out, "--channels", 4, *first, "--scheduler", cluster)
        assert r.returncode == 0, r.stderr
        before = {p.name: p.read_bytes() for p in out.iterdir() if p.is_file()}
        r = run_batch(tmp_path / "in", "--out-dir", out, "--channels", 4, *again, "--scheduler", NOWHERE)
        assert r.returncode == 2
        assert r.stderr == f"gammatone-bank: error: {out} holds features {message}: use another output directory\n"
        assert {p.name: p.read_bytes() for p in out.iterdir() if p.is_file()} == before

    def test_output_directory_in_use(self, tmp_path):
        """A second run into the same directory is refused while the first holds it."""
        write_noise(tmp_path / "a.wav")
        (tmp_path / "out").mkdir()
        with open(tmp_path / "out" / ".gammatone-batch.lock", "w") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            r = run_batch(tmp_path / "a.wav", "--out-dir", tmp_path / "out", "--scheduler", NOWHERE)
        assert r.returncode == 2
        assert r.stderr == f"gammatone-bank: error: {tmp_path / 'out'}: another batch run is writing there\n"
        assert sorted(os.listdir(tmp_path / "out")) == [".gammatone-batch.lock"]

    def test_two_runs_at_once(self, tmp_path):
        """While one run writes into a directory, a second run there is refused."""
        # Eight files of at least a second each on one worker: the first run is
        # busy for far longer than the second takes to start.
        write_corpus(tmp_path / "in", 8, seconds=0.2)
        out = tmp_path / "out"
        first = start(batch_command(tmp_path / "in", out, "--channels", 4, "--workers", 1), env=slow_env(1),
                      stdout=subprocess.DEVNULL)
        try:
            # The parameters are recorded once the first run holds the directory.
            wait_for(lambda: (out / "parameters.json").exists() or first.poll() is not None, every=0.02)
            second = run_batch(tmp_path / "in", "--out-dir", out, "--channels", 4, "--scheduler", NOWHERE,
                               env=ENV | {"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"})
            still_running = first.poll() is None
            first.send_signal(signal.SIGTERM)
            _, stderr = first.communicate(timeout=TIMEOUT)
        finally:
            stop(first)
        assert still_running, stderr
        assert second.returncode == 2
        assert second.stderr == f"gammatone-bank: error: {out}: another batch run is writing there\n"
        assert first.returncode == 143, stderr

    def test_unreachable_scheduler(self, tmp_path):
        write_noise(tmp_path / "a.wav")
        r = run_batch(tmp_path / "a.wav", "--out-dir", tmp_path / "out", "--scheduler", NOWHERE,
                      env=ENV | {"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"})
        assert r.returncode == 2
        assert r.stderr.startswith(f"gammatone-bank: error: cannot reach the scheduler at {NOWHERE}")
        assert list((tmp_path / "out").glob("*.npz")) == []

    @pytest.mark.parametrize("options, error, message", [
        ({"channels": 1}, ValueError, "channels must be an int in 2 .. "),
        ({"low": -5}, ValueError, "low must be positive"),
        ({"high": 40}, ValueError, "high must be above low"),
        ({"hop": 0}, ValueError, "hop must be positive"),
        ({"channel": -1}, ValueError, "channel must be an int of at least 0"),
        ({"workers": 0}, ValueError, "workers must be an int of at least 1"),
        ({"normalize": "yes"}, TypeError, "normalize must be True or False"),
        ({"keep_non_finite": 1}, TypeError, "keep_non_finite must be True or False"),
        ({"channels": 2.5}, TypeError, "channels must be an int"),
        ({"inputs": "a.wav"}, TypeError, "not a single path"),
        ({"scheduler": 8786}, TypeError, "scheduler must be an address"),
    ])
    def test_bad_arguments(self, tmp_path, options, error, message):
        options = {"inputs": [str(tmp_path)]} | options
        with pytest.raises(error, match=message):
            batch(out_dir=str(tmp_path / "out"), **options)
        assert not (tmp_path / "out").exists()


class TestMainScript:
    """batch() on the embedded cluster, whose spawned workers import the main script again."""

    CALL = 'batch(["a.wav"], "out", channels=4, workers=1)'

    @pytest.mark.parametrize("how, body, line", [
        ("script", f"{CALL}\n", 2),
        ("script", f"def main():\n    {CALL}\n\n\nmain()\n", 6),
        ("script", f"exec(compile({CALL!r}, 'other.py', 'exec'))\n", 2),
        ("module", f"if True:\n    {CALL}\n", 3),
    ], ids=["top-level", "via-function", "via-exec", "python-m"])
    def test_unguarded_call_is_refused(self, tmp_path, how, body, line):
        write_noise(tmp_path / "a.wav")
        (tmp_path / "job.py").write_text(f"from gammatone_bank import batch\n{body}")
        run = [sys.executable, "job.py"] if how == "script" else [sys.executable, "-m", "job"]
        r = subprocess.run(run, cwd=tmp_path, env=ENV, capture_output=True, text=True, timeout=TIMEOUT)
        assert r.returncode == 1
        lines = r.stderr.splitlines()
        assert lines[-1] == (f"gammatone_bank._params.BatchError: batch() runs at the top level of "
                             f"{tmp_path / 'job.py'} (line {line}), which each of Dask's worker processes "
                             'imports again: put the call under if __name__ == "__main__":')
        assert len(lines) < 20 and "Nanny" not in r.stderr
        assert not (tmp_path / "out").exists()

    def test_script_from_standard_input_runs(self, tmp_path):
        x = write_noise(tmp_path / "a.wav")
        r = subprocess.run([sys.executable, "-"], input=f"from gammatone_bank import batch\n{self.CALL}\n",
                           cwd=tmp_path, env=ENV, capture_output=True, text=True, timeout=TIMEOUT)
        assert r.returncode == 0, r.stderr
        assert r.stderr == ""
        f = load_features(tmp_path / "out" / "a.wav.npz")
        assert np.array_equal(f.levels, cochleagram(x[:, 0], 16000, f.cfs))


class TestAuditoryFeatures:
    """--features: gfcc and ratemap (and ihc with --full) stored beside the levels."""

    def test_features_read_back_equal_the_functions(self, tmp_path, cluster):
        x = {"a": write_noise(tmp_path / "in" / "a.wav")[:, 0],
             "b": write_noise(tmp_path / "in" / "b.wav", 0.33, seed=1)[:, 0]}
        out = tmp_path / "out"
        result = batch([str(tmp_path / "in")], str(out), channels=6, hop=0.007, normalize=True,
                       features="ratemap,gfcc", scheduler=cluster)
        assert result.done == 2
        for name, samples in x.items():
            f = load_features(out / f"{name}.wav.npz")
            assert f.parameters["features"] == ("levels", "gfcc", "ratemap")
            assert f.ihc is None
            for got, expected in ((f.gfcc, gammatone_bank.gfcc(samples, 16000, f.cfs, n_ceps=6, hop=0.007,
                                                                       normalize=True)),
                                  (f.ratemap, gammatone_bank.ratemap(samples, 16000, f.cfs, hop=0.007)),
                                  (f.levels, cochleagram(samples, 16000, f.cfs, hop=0.007, normalize=True))):
                assert_bits(got, expected)
        # The same features again: kept; other features: refused before any work.
        again = batch([str(tmp_path / "in")], str(out), channels=6, hop=0.007, normalize=True,
                      features=["gfcc", "ratemap", "levels"], scheduler=cluster)
        assert again.skipped == 2
        with pytest.raises(BatchError, match="made with --features levels,gfcc,ratemap; this run asks for "
                                             "--features levels: use another"):
            batch([str(tmp_path / "in")], str(out), channels=6, hop=0.007, normalize=True, scheduler=NOWHERE)
        r = run_batch(tmp_path / "in", "--out-dir", out, "--channels", 6, "--hop", 0.007, "--normalize",
                      "--features", "gfcc", "--scheduler", NOWHERE)
        assert r.returncode == 2 and "this run asks for --features levels,gfcc" in r.stderr

    @pytest.mark.parametrize("features, message", [
        ("gfcc,ihc", "ihc is full-rate"), ("levels,mfcc", "unknown feature 'mfcc'"),
    ])
    def test_refused_features(self, tmp_path, features, message):
        write_noise(tmp_path / "in" / "a.wav")
        r = run_batch(tmp_path / "in", "--out-dir", tmp_path / "out", "--features", features, "--scheduler", NOWHERE)
        assert r.returncode == 2 and message in r.stderr
        with pytest.raises(ValueError, match=message):
            batch([str(tmp_path / "in")], str(tmp_path / "out"), features=features, scheduler=NOWHERE)
        assert not (tmp_path / "out").exists()

    def test_single_file_save_with_ihc(self, tmp_path):
        pytest.importorskip("matplotlib")
        x = write_noise(tmp_path / "a.wav", 0.3, channels=2)[:, 1]
        save = tmp_path / "a.npz"
        run = [*PYTHON, "gammatone_bank", tmp_path / "a.wav", "--channel", 1, "--channels", 5,
               "--out", tmp_path / "a.png", "--save", save, "--features"]
        r = subprocess.run([*map(str, run), "ihc,gfcc"], env=ENV, capture_output=True, text=True, timeout=TIMEOUT)
        assert r.returncode == 2 and "--full" in r.stderr and not save.exists()
        r = subprocess.run([*map(str, run), "ihc,gfcc", "--full", "env"], env=ENV, capture_output=True, text=True,
                           timeout=TIMEOUT)
        assert r.returncode == 0, r.stderr
        f = load_features(save)
        assert f.ratemap is None and f.parameters["features"] == ("levels", "gfcc", "ihc")
        for got, expected in ((f.ihc, gammatone_bank.ihc_envelope(x, 16000, f.cfs)),
                              (f.gfcc, gammatone_bank.gfcc(x, 16000, f.cfs, n_ceps=5))):
            assert_bits(got, expected)
