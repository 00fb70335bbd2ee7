"""Both commands in a hostile world: endless inputs, silent or foreign servers,
odd file types and names, full disks, stale temporaries, lost schedulers,
signals and closed pipes, many-channel inputs, overflowing samples.

Each class is one kind of fault, made real: FIFOs and devices, TCP listeners
on 127.0.0.1 that are not Dask schedulers, a tmpfs mounted for a full disk
(skipped where mounting is not allowed), `dask scheduler` and `dask worker`
processes, signals sent to the process group.  Every wait is bounded.
"""

import csv
import fcntl
import json
import os
import resource
import signal
import socket
import stat
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
soundfile = pytest.importorskip("soundfile")

from helpers import (  # noqa: E402
    ENV, PYTHON, SLOW_WORKER, STEPS, TIMEOUT, batch_command, interrupt, names, one_line, run_batch, run_command,
    scheduler_address, slow_env, start, stop, stray_files, temporaries, wait_for, write_corpus, write_noise,
)

from gammatone_bank import batch  # noqa: E402

ERROR = "gammatone-bank: error: "
# Dask's connect timeout for the runs that must give up on a scheduler.
QUICK = ENV | {"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s"}


def manifest_rows(out):
    # How the README says to read it back: any name, whatever its encoding.
    with open(os.path.join(out, "manifest.csv"), newline="", encoding="utf-8",
              errors="surrogateescape") as f:
        return {row["input"]: row for row in csv.DictReader(f)}


class TestUnbounded:
    """Inputs that never end or never come are refused, in bounded memory and time."""

    @pytest.mark.parametrize("make, reason", [
        (lambda p: "/dev/zero", "not a regular file"),
        (lambda p: os.mkfifo(p) or p, "nothing was written"),
        (lambda p: p.write_bytes(b"a" * 10_000 + b".wav\n") and p, "longer than"),
    ], ids=["device", "fifo-without-writer", "long-line"])
    def test_bad_list_file(self, tmp_path, make, reason):
        listed = make(tmp_path / "list")
        p = subprocess.Popen([*PYTHON, "gammatone_bank", "batch", f"@{listed}", "--out-dir",
                              str(tmp_path / "out")], env=ENV,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30)))
        stdout, stderr = p.communicate(timeout=TIMEOUT)
        assert p.returncode == 2, stderr
        assert one_line(stderr).startswith(f"{ERROR}{listed}: ") and reason in stderr

    def test_list_from_a_pipe_with_a_bom(self, tmp_path):
        write_noise(tmp_path / "a.wav")
        r = subprocess.run(["bash", "-c", 'exec "$@" batch @<(printf "\\xef\\xbb\\xbfa.wav\\n") '
                            '--out-dir out --channels 4 --workers 1', "-", *PYTHON, "gammatone_bank"],
                           cwd=tmp_path, env=ENV, capture_output=True, text=True, timeout=TIMEOUT)
        assert r.returncode == 0, r.stderr
        assert "1 inputs: 1 done" in r.stdout


class TestHangs:
    """Nothing waits without a bound: foreign servers, FIFOs among the inputs."""

    @pytest.fixture(params=["silent", "http"])
    def impostor(self, request):
        server = socket.create_server(("127.0.0.1", 0))
        stop = threading.Event()

        def serve():
            server.settimeout(0.2)
            held = []
            while not stop.is_set():
                try:
                    conn, _ = server.accept()
                except TimeoutError:
                    continue
                held.append(conn)
                if request.param == "http":
                    conn.recv(1024)
                    conn.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
            for conn in held:
                conn.close()

        thread = threading.Thread(target=serve, daemon=True)
        thread.start()
        yield f"tcp://127.0.0.1:{server.getsockname()[1]}"
        stop.set()
        thread.join(timeout=10)
        server.close()

    def test_scheduler_that_is_not_dask(self, tmp_path, impostor):
        write_noise(tmp_path / "a.wav")
        r = run_batch(tmp_path / "a.wav", "--out-dir", tmp_path / "out", "--scheduler", impostor, env=QUICK)
        assert r.returncode == 2, r.stderr
        assert one_line(r.stderr).startswith(
            f"{ERROR}cannot reach the scheduler at {impostor}: not a reachable Dask scheduler")

    def test_workers_that_never_join(self, tmp_path, monkeypatch):
        import gammatone_bank._runner as runner

        monkeypatch.setattr(runner, "WORKERS_WAIT", 2.0)
        write_noise(tmp_path / "a.wav")
        with distributed.LocalCluster(n_workers=0, host="127.0.0.1", dashboard_address=":0") as empty:
            with pytest.raises(ValueError, match="only 0 of the 1 workers asked for joined"):
                batch([str(tmp_path / "a.wav")], str(tmp_path / "out"), scheduler=empty.scheduler_address,
                      workers=1)

    def test_fifo_among_the_inputs(self, tmp_path):
        write_noise(tmp_path / "in" / "a.wav")
        os.mkfifo(tmp_path / "in" / "x.wav")
        r = run_batch(tmp_path / "in", "--out-dir", tmp_path / "out", "--channels", "4", "--workers", "1")
        assert r.returncode == 0, r.stderr
        assert "1 inputs: 1 done" in r.stdout  # a walk takes regular files only
        r = run_batch(tmp_path / "in" / "x.wav", "--out-dir", tmp_path / "out2", "--channels", "4",
                      "--workers", "1")
        assert r.returncode == 1  # named directly, it fails alone, with the reason
        assert f"{tmp_path / 'in' / 'x.wav'}: is a FIFO, not a regular file" in r.stderr
        r = run_command("x.wav", text=False, cwd=tmp_path / "in")
        assert r.returncode == 2
        assert one_line(r.stderr).startswith(f"{ERROR}x.wav: is a FIFO")


def make_node(path, kind):
    """A FIFO, a /dev/null-like device, a directory or a socket at path; skip where it cannot be made."""
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "device":
        try:
            os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        except PermissionError as exc:
            pytest.skip(f"cannot make a device node here: {exc}")
    elif kind == "directory":
        os.mkdir(path)
    else:
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(str(path))
    return os.lstat(path)


NODE_WORDS = {"fifo": "is a FIFO, not a regular file", "device": "is a character device, not a regular file",
              "directory": "is a directory", "socket": "is a socket, not a regular file"}


OUTPUT_CASES = [  # (command line, the output path that is a node)
    (["a.wav", "--channels", "4", "--out", "N.png"], "N.png"),
    (["a.wav", "--channels", "4", "--save", "N.npz"], "N.npz"),
    (["a.wav", "--channels", "4", "--save", "s.npz", "--full", "env"], "s.env.npy"),
    (["resynthesize", "a.wav", "--channels", "4", "--out", "N.wav"], "N.wav"),
    (["batch", "a.wav", "--out-dir", "out", "--channels", "4", "--workers", "1"], "out/a.wav.npz"),
    (["batch", "a.wav", "--out-dir", "out", "--channels", "4", "--workers", "1"], "out/manifest.csv"),
    (["batch", "a.wav", "--out-dir", "out", "--channels", "4", "--workers", "1"], "out/parameters.json"),
]


class TestOutputNodes:
    """An output path that exists as anything but a regular file (or a link to
    one) is refused up front, in one line, and the node is left as it was."""

    @pytest.mark.parametrize(("args", "node", "kind"), [
        *[(args, node, "fifo") for args, node in OUTPUT_CASES],
        *[(*OUTPUT_CASES[i], kind) for i in (0, 3, 4) for kind in ("device", "directory", "socket")],
    ])
    def test_refused_and_left_alone(self, tmp_path, args, node, kind):
        write_noise(tmp_path / "a.wav", seconds=0.1)
        (tmp_path / "out").mkdir()
        before = make_node(tmp_path / node, kind)
        listing = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*"))
        r = run_command(*args, text=False, cwd=tmp_path)
        assert r.returncode == 2, r.stderr
        assert one_line(r.stderr).startswith(ERROR)
        assert f"{node}: {NODE_WORDS[kind]}" in r.stderr.decode()
        after = os.lstat(tmp_path / node)
        assert (after.st_mode, after.st_ino, after.st_rdev) == (before.st_mode, before.st_ino, before.st_rdev)
        assert sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*")) == listing

    @pytest.mark.parametrize("args, out", [(["--channels", "4", "--out"], "c.png"),
                                           (["resynthesize", "--channels", "4", "--out"], "o.wav")])
    def test_a_link_to_a_regular_file_is_written(self, tmp_path, args, out):
        write_noise(tmp_path / "a.wav", seconds=0.1)
        (tmp_path / "elsewhere").write_bytes(b"earlier")
        os.symlink("elsewhere", tmp_path / out)
        r = run_command(args[0], "a.wav", *args[1:], out, text=False, cwd=tmp_path) if args[0] == "resynthesize" else \
            run_command("a.wav", *args, out, text=False, cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        # The link is replaced by the new file, as a rename does; what it pointed to is kept.
        assert (tmp_path / out).is_file() and not (tmp_path / out).is_symlink()
        assert (tmp_path / "elsewhere").read_bytes() == b"earlier"


class TestFifosRead:
    """A FIFO wherever a path is read is refused at once (nobody ever writes to these)."""

    @pytest.mark.parametrize("args", [
        ["F.wav", "--channels", "4"],
        ["resynthesize", "F.wav", "--out", "o.wav", "--channels", "4"],
        ["resynthesize", "a.wav", "--out", "o.wav", "--channels", "4", "--mask", "F.wav"],
    ], ids=["input", "resynthesize-input", "mask"])
    def test_command_line(self, tmp_path, args):
        write_noise(tmp_path / "a.wav", seconds=0.1)
        os.mkfifo(tmp_path / "F.wav")
        r = run_command(*args, text=False, cwd=tmp_path)
        assert r.returncode == 2, r.stderr
        assert one_line(r.stderr).startswith(f"{ERROR}F.wav: is a FIFO, not a regular file")
        assert names(tmp_path) == ["F.wav", "a.wav"]

    def test_load_features(self, tmp_path):
        os.mkfifo(tmp_path / "f.npz")
        code = ("import sys\nfrom gammatone_bank import load_features\n"
                "try:\n    load_features(sys.argv[1])\nexcept OSError as exc:\n    print(exc)\n")
        r = subprocess.run([sys.executable, "-P", "-c", code, str(tmp_path / "f.npz")], env=ENV,
                           capture_output=True, text=True, timeout=TIMEOUT)
        assert r.stdout.endswith(f"is a FIFO, not a regular file: '{tmp_path / 'f.npz'}'\n"), r


@pytest.mark.parametrize("command", [["a.wav"], ["resynthesize", "a.wav", "--out", "o.wav"],
                                     ["batch", "a.wav", "--out-dir", "out"]])
def test_too_many_channels_in_one_line(tmp_path, command):
    """Refused before any work, whatever the command, not a traceback from deep inside."""
    write_noise(tmp_path / "a.wav", seconds=0.1)
    r = run_command(*command, "--channels", "1048577", text=False, cwd=tmp_path)
    assert r.returncode == 2
    assert one_line(r.stderr) == f"{ERROR}--channels must be at most 1048576, got 1048577\n"
    assert os.listdir(tmp_path) == ["a.wav"]


class TestNames:
    """Names are bytes: any encoding goes through and can be read back."""

    NAME = b"caf\xe9 \xff.wav"  # Latin-1, not UTF-8

    def test_non_utf8_names(self, tmp_path):
        folder = os.fsencode(tmp_path / "in")
        os.makedirs(folder)
        path = os.path.join(folder, self.NAME)
        write_noise(tmp_path / "in" / "b.wav")
        os.rename(os.fsencode(tmp_path / "in" / "b.wav"), path)
        r = run_command("batch", "in", "--out-dir", "out", "--channels", "4", "--workers", "1", text=False,
                        cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        rows = manifest_rows(tmp_path / "out")
        name = os.path.join("in", os.fsdecode(self.NAME))
        assert list(rows) == [name] and rows[name]["status"] == "done"
        assert os.path.exists(os.path.join(os.fsencode(tmp_path / "out"), self.NAME + b".npz"))
        result = batch([path], os.fsencode(tmp_path / "out2"), channels=4, workers=1)  # bytes in the API
        assert result.done == 1 and result.rows[0].input == os.fsdecode(path)
        r = run_command(os.fsdecode(path), "--channels", "4", text=False, cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        assert self.NAME in r.stdout

    def test_name_at_the_limit(self, tmp_path):
        name = "n" * (255 - len(".npz") - len(".wav")) + ".wav"
        write_noise(tmp_path / name)
        r = run_batch(tmp_path / name, "--out-dir", tmp_path / "out", "--channels", "4", "--workers", "1")
        assert r.returncode == 0, r.stderr
        assert (tmp_path / "out" / (name + ".npz")).exists()


def mount_tmpfs(path, size):
    path.mkdir()
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(path)],
                       capture_output=True, text=True, timeout=30)
    if r.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {r.stderr.strip()}")


@pytest.fixture
def small_disk(tmp_path):
    disk = tmp_path / "disk"
    mount_tmpfs(disk, "400k")
    yield disk
    subprocess.run(["umount", "-l", str(disk)], timeout=30)


class TestUnwritable:
    """A full or unwritable output directory: one line, never a traceback."""

    def test_full_disk_before_any_work(self, tmp_path, small_disk):
        write_noise(tmp_path / "a.wav")
        subprocess.run(["dd", "if=/dev/zero", f"of={small_disk / 'fill'}", "bs=4k"], capture_output=True,
                       timeout=30)
        r = run_batch(tmp_path / "a.wav", "--out-dir", small_disk / "out", "--workers", "1")
        assert r.returncode == 2, r.stderr
        assert one_line(r.stderr).startswith(f"{ERROR}{small_disk / 'out'}") and "No space" in r.stderr

    def test_full_disk_mid_run(self, tmp_path, small_disk):
        write_corpus(tmp_path / "in", 6, seconds=2.0)  # about 140 kB of features each: the disk holds two
        r = run_batch(tmp_path / "in", "--out-dir", small_disk / "out", "--workers", "1", "--retries", "0")
        assert r.returncode == 1, r.stderr
        assert "Traceback" not in r.stderr and "6 inputs: " in r.stdout
        assert len(r.stderr.splitlines()) <= 6, r.stderr  # one line a failure, no Dask log
        assert stray_files(small_disk / "out") == []


    @pytest.mark.parametrize("args, out", [
        (["resynthesize", "in.wav", "--channels", "4", "--delay", "0.004", "--out"], "o.wav"),
        (["resynthesize", "in.wav", "--channels", "4", "--subtype", "PCM_16", "--out"], "o.flac"),
        (["in.wav", "--channels", "64", "--out"], "c.png"),
    ])
    def test_full_disk_for_one_file(self, tmp_path, args, out):
        """The output does not fit: one line, nothing left, the earlier file intact."""
        disk = tmp_path / "disk"
        mount_tmpfs(disk, "64k")
        try:
            write_noise(tmp_path / "in.wav", seconds=4.0, subtype="PCM_24")
            (disk / out).write_bytes(b"an earlier output")
            r = run_command(*args, str(disk / out), text=False, cwd=tmp_path)
            assert r.returncode == 2, r.stderr
            assert one_line(r.stderr) == f"{ERROR}{disk / out}: cannot write (No space left on device)\n"
            assert os.listdir(disk) == [out] and (disk / out).read_bytes() == b"an earlier output"
        finally:
            subprocess.run(["umount", "-l", str(disk)], timeout=30)


class TestTemporaries:
    """Stale temporaries of any earlier run are swept; live ones are not."""

    STALE = [".a.wav.npz.0123abcd.tmp", ".manifest.csv.89abcdef.tmp", ".parameters.json.00000000.tmp",
             ".probe.fedcba98.tmp", "deep/.other.wav.npz.11111111.tmp"]

    def test_batch_sweeps_its_directory(self, tmp_path):
        write_noise(tmp_path / "a.wav")
        out = tmp_path / "out"
        (out / "deep").mkdir(parents=True)
        for name in [*self.STALE, ".notes.txt.01234567.tmp"]:
            (out / name).write_bytes(b"x" * 100)
        with open(out / "deep" / ".b.wav.npz.22222222.tmp", "wb") as live:  # a remote task's, still writing
            fcntl.flock(live, fcntl.LOCK_EX)
            r = run_batch(tmp_path / "a.wav", "--out-dir", out, "--channels", "4", "--workers", "1")
        assert r.returncode == 0, r.stderr
        assert sorted(stray_files(out)) == [str(out / ".notes.txt.01234567.tmp"),  # not a batch file
                                            str(out / "deep" / ".b.wav.npz.22222222.tmp")]

    def test_single_file_command_sweeps_its_targets(self, tmp_path):
        write_noise(tmp_path / "a.wav")
        stale = [".c.png.0123abcd.tmp", ".s.npz.89abcdef.tmp", ".s.bm.npy.00000000.tmp"]
        for name in [*stale, ".c.png.live0000.tmp", ".unrelated.png.01234567.tmp"]:
            (tmp_path / name).write_bytes(b"x")
        with open(tmp_path / ".c.png.77777777.tmp", "wb") as live:  # another run's, still open
            fcntl.flock(live, fcntl.LOCK_EX)
            r = run_command("a.wav", "--channels", "4", "--out", "c.png", "--save", "s.npz", "--full", "bm",
                            text=False, cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        left = temporaries(tmp_path)
        assert left == [".c.png.77777777.tmp", ".c.png.live0000.tmp", ".unrelated.png.01234567.tmp"]


@pytest.fixture
def dask_cluster(tmp_path):
    """A `dask scheduler` and one slow `dask worker`, as processes, ended and reaped however the test ends."""
    file = tmp_path / "scheduler.json"
    slow = ENV | {"GAMMATONE_TEST_SLOW": "1.5", "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "3s"}
    procs = []
    try:
        procs.append(start([*PYTHON, "distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
                            "--dashboard-address", ":0", "--scheduler-file", str(file)]))
        address = scheduler_address(file)
        procs.append(start([*PYTHON, "distributed.cli.dask_worker", address, "--nthreads", "1",
                            "--nworkers", "1", "--host", "127.0.0.1", "--preload", SLOW_WORKER,
                            "--no-dashboard"], env=slow))
        yield procs[0], procs[1], address
    finally:
        stop(*reversed(procs))


class TestLostScheduler:
    @staticmethod
    def interrupted_run(tmp_path, address, seconds, ready, **kwargs):
        """A batch run of eight inputs of `seconds` each on the cluster at address,
        interrupted (see interrupt()) once ready(out); returns (out, status, stderr)."""
        write_corpus(tmp_path / "in", 8, seconds=seconds)
        out = tmp_path / "out"
        status, _, stderr = interrupt(
            batch_command(tmp_path / "in", out, "--channels", 4, "--scheduler", address, "--workers", 1),
            lambda: ready(out), **kwargs)
        return out, status, stderr

    def test_work_that_landed_is_done(self, tmp_path, dask_cluster):
        scheduler, _, address = dask_cluster
        out, status, stderr = self.interrupted_run(
            # The first file of a task's two has landed; the task's outcome is not back yet.
            tmp_path, address, 0.2, lambda out: len(list(out.glob("*.npz"))) >= 1, env=QUICK, kill=scheduler)
        assert status == 1, stderr
        assert "Traceback" not in stderr
        rows = manifest_rows(out)
        landed = {os.path.join(tmp_path / "in", f.name[:-4]) for f in out.glob("*.npz")}
        assert {name for name, row in rows.items() if row["status"] == "done"} == landed
        assert all("scheduler" in row["reason"] for row in rows.values() if row["status"] == "failed")

    def test_ctrl_c_cancels_the_remote_tasks(self, tmp_path, dask_cluster):
        _, _, address = dask_cluster
        out, status, stderr = self.interrupted_run(
            # The first of a task's two files begun.
            tmp_path, address, 1.0, lambda out: any(out.glob(".s*.wav.npz.*.tmp")))
        assert status == 130, stderr
        kept = names(out)
        time.sleep(5)  # a task left running (1.5 s a file, two a task) would land one by then
        assert names(out) == kept


class TestSignalAfterEveryStep:
    """A real signal right after each file-system step of a run (see
    tests/_signal_steps.py): the run ends in one line and 130 / 143 with the
    folder as it was, an earlier output intact and no temporary file; or,
    once the outputs are being renamed into place, it finishes (exit 0)."""

    @pytest.mark.parametrize(("signum", "word"), [(signal.SIGINT, "interrupted"), (signal.SIGTERM, "terminated")])
    @pytest.mark.parametrize(("args", "old", "outputs"), [
        (["a.wav", "--channels", "4", "--out", "c.png", "--save", "s.npz", "--full", "bm,env"], "c.png",
         ["c.png", "s.env.npy", "s.bm.npy", "s.npz"]),
        (["resynthesize", "a.wav", "--out", "o.wav", "--channels", "4", "--delay", "0.004"], "o.wav", ["o.wav"]),
    ], ids=["analyse", "resynthesize"])
    def test_nothing_left_behind(self, tmp_path, signum, word, args, old, outputs):
        template = tmp_path / "template"
        write_noise(template / "a.wav", seconds=0.1)
        (template / old).write_bytes(b"an earlier output")
        before = names(template)
        r = subprocess.run([sys.executable, "-P", STEPS, str(int(signum)), str(tmp_path), *args], env=ENV,
                           capture_output=True, text=True, timeout=TIMEOUT)
        assert r.returncode == 0, r.stderr
        runs = [json.loads(line) for line in r.stdout.splitlines()]
        assert runs[0]["status"] == 0 and len(runs) > 5, runs
        statuses = set()
        for run in runs[1:]:
            folder = tmp_path / f"run{run['k']}"
            left = names(folder)
            statuses.add(run["status"])
            assert run["escaped"] == "", run
            if run["status"] == 128 + signum:
                assert (run["stdout"], run["stderr"]) == ("", f"gammatone-bank: {word}\n"), run
                assert left == before, run
                assert (folder / old).read_bytes() == b"an earlier output"
            else:
                assert run["status"] == 0 and run["stderr"] == "", run
                assert left == sorted({*before, *outputs}), run
        assert statuses == {0, 128 + signum}


def catches_sigterm(pid):
    """Whether the process has a handler for SIGTERM (CPython has none of its own)."""
    try:
        with open(f"/proc/{pid}/status") as f:
            caught = next(line for line in f if line.startswith("SigCgt:"))
    except (OSError, StopIteration):
        return False
    return bool(int(caught.split()[1], 16) >> (signal.SIGTERM - 1) & 1)


class TestSignalAtRandomMoments:
    """Real signals to the process at seeded random moments of a whole run,
    from start-up to exit: one line and 130 / 143 with the folder as it was,
    or a finished run."""

    @pytest.mark.parametrize(("signum", "word"), [(signal.SIGINT, "interrupted"), (signal.SIGTERM, "terminated")])
    @pytest.mark.parametrize(("args", "outputs"), [
        (["a.wav", "--out", "c.png", "--save", "s.npz", "--full", "bm"], ["c.png", "s.bm.npy", "s.npz"]),
        (["resynthesize", "a.wav", "--out", "o.wav", "--subtype", "FLOAT"], ["o.wav"]),
    ], ids=["analyse", "resynthesize"])
    def test_nothing_left_behind(self, tmp_path, signum, word, args, outputs):
        write_noise(tmp_path / "a.wav", seconds=1.0)
        begun = time.monotonic()
        r = run_command(*args, text=False, cwd=tmp_path)
        whole = time.monotonic() - begun
        assert r.returncode == 0, r.stderr
        for name in outputs:
            os.unlink(tmp_path / name)
        rng = np.random.default_rng(int(signum) + len(args))
        for delay in sorted(rng.uniform(0.0, 1.2 * whole, 4)):
            p = start([*PYTHON, "gammatone_bank", *args], env=ENV | {"MPLBACKEND": "Agg"}, cwd=tmp_path)
            try:
                # From the moment the command's handlers are in place (before
                # that, the interpreter is still starting, and has its own
                # ways), or from the end of the run.
                wait_for(lambda: p.poll() is not None or catches_sigterm(p.pid))
                time.sleep(delay)
                p.send_signal(signum)
                out, err = p.communicate(timeout=TIMEOUT)
            finally:
                stop(p)
            left = names(tmp_path)
            if p.returncode == 0:  # it had finished, or was renaming its outputs
                assert left == sorted(["a.wav", *outputs]) and err == "", (delay, err)
                for name in outputs:
                    os.unlink(tmp_path / name)
            else:
                assert (p.returncode, err, out) == (128 + signum, f"gammatone-bank: {word}\n", ""), delay
                assert left == ["a.wav"], delay


class TestSignals:
    """Signals at any moment and closed pipes end in one line or none, with the right status."""

    @pytest.mark.parametrize("delay", [0.0, 0.2, 0.5, 1.0])
    def test_ctrl_c_while_the_cluster_starts(self, tmp_path, delay):
        """Ctrl-C from the moment the first child process of the cluster appears."""
        psutil = pytest.importorskip("psutil")
        write_noise(tmp_path / "a.wav")
        first = []

        def ready():
            if not first and psutil.Process(p.pid).children():
                first.append(time.monotonic())
            return bool(first) and time.monotonic() - first[0] >= delay

        p = None
        p = start(batch_command(tmp_path / "a.wav", tmp_path / "out", "--workers", 2), env=slow_env(2))
        try:
            assert wait_for(ready), "no child process appeared"
            os.killpg(p.pid, signal.SIGINT)
            _, stderr = p.communicate(timeout=TIMEOUT)
        finally:
            stop(p)
        status = p.returncode
        assert status == 130, stderr
        assert one_line(stderr).startswith("gammatone-bank: interrupted")

    @pytest.mark.parametrize(("signum", "word"), [(signal.SIGINT, "interrupted"), (signal.SIGTERM, "terminated")])
    @pytest.mark.parametrize("command", [[], ["batch"], ["resynthesize"]])
    def test_signal_while_the_modules_load(self, tmp_path, command, signum, word):
        """The signal arrives while the command's modules (NumPy, the engine,
        Dask) are still being imported: sent from inside that import."""
        code = ("import importlib, os, sys\n"
                "import gammatone_bank.cli as cli\n"
                "real = importlib.import_module\n"
                "def loading(name):\n"
                f"    os.kill(os.getpid(), {int(signum)})\n"
                "    return real(name)\n"
                "cli.importlib.import_module = loading\n"
                "sys.exit(cli.main(sys.argv[1:]))\n")
        r = subprocess.run([sys.executable, "-P", "-c", code, *command, "--help"], cwd=tmp_path, env=ENV,
                           capture_output=True, text=True, timeout=TIMEOUT)
        assert (r.returncode, r.stderr, r.stdout) == (128 + signum, f"gammatone-bank: {word}\n", "")
        assert "numpy" not in subprocess.run(
            [sys.executable, "-P", "-c", "import sys, gammatone_bank.cli; print(sorted(sys.modules))"],
            env=ENV, capture_output=True, text=True, timeout=TIMEOUT, check=True).stdout

    @pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
    def test_signal_during_an_import_waits_for_its_end(self, tmp_path, signum):
        """An import is never cut in half (an extension module's initialisation
        cut so fails as an ImportError): the signal is raised once it is over."""
        (tmp_path / "slow_module.py").write_text(
            f"import os, time\nos.kill(os.getpid(), {int(signum)})\ntime.sleep(0.2)\nwhole = True\n")
        code = ("import sys\nfrom gammatone_bank.cli._stop import sigterm_raises\n"
                "try:\n    with sigterm_raises():\n        import slow_module\n        print('after the import')\n"
                "except KeyboardInterrupt as exc:\n"
                "    print(type(exc).__name__, sys.modules['slow_module'].whole)\n")
        env = ENV | {"PYTHONPATH": f"{tmp_path}:{ENV['PYTHONPATH']}"}
        r = subprocess.run([sys.executable, "-P", "-c", code], cwd=tmp_path, env=env, capture_output=True,
                           text=True, timeout=TIMEOUT)
        # Raised once the import is over (a line later, or as the block ends), with the module whole.
        assert r.stderr == "" and r.stdout.endswith(
            f"{'Terminated' if signum == signal.SIGTERM else 'KeyboardInterrupt'} True\n"), r

    @pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
    def test_signal_inside_a_weakref_callback_still_stops_the_run(self, tmp_path, signum):
        """Python cannot pass on an exception raised in a weakref callback (as
        matplotlib's figures run when they are freed): a signal handled there
        must not be printed as "Exception ignored" and lost."""
        code = ("import gc, os, sys, weakref\nfrom gammatone_bank.cli._stop import sigterm_raises\n"
                "class Thing:\n    pass\n"
                f"def callback(ref):\n    os.kill(os.getpid(), {int(signum)})\n"
                "    for _ in range(10**5):\n        pass\n"
                "try:\n    with sigterm_raises():\n        thing = Thing()\n"
                "        ref = weakref.ref(thing, callback)\n        del thing\n"
                "        for _ in range(10**8):\n            pass\n        print('ran to the end')\n"
                "except KeyboardInterrupt as exc:\n    print(type(exc).__name__)\n")
        r = subprocess.run([sys.executable, "-P", "-c", code], cwd=tmp_path, env=ENV, capture_output=True,
                           text=True, timeout=TIMEOUT)
        assert r.stderr == "" and r.stdout == f"{'Terminated' if signum == signal.SIGTERM else 'KeyboardInterrupt'}\n", r

    def test_ctrl_c_three_times(self, tmp_path):
        write_corpus(tmp_path / "in", 6, seconds=0.2)
        out = tmp_path / "out"
        status, _, stderr = interrupt(batch_command(tmp_path / "in", out, "--channels", 4, "--workers", 1),
                                      lambda: len(list(out.glob("*.npz"))) >= 1, env=slow_env(0.5), times=3)
        assert status == 130, stderr
        assert one_line(stderr).startswith("gammatone-bank: interrupted")
        assert stray_files(out) == []

    @pytest.mark.parametrize("command", ["single", "batch"])
    def test_closed_stdout_and_stderr(self, tmp_path, command):
        write_noise(tmp_path / "a.wav")
        args = (["batch", "a.wav", "--out-dir", "out", "--workers", "1"] if command == "batch"
                else ["a.wav"])
        shell = " ".join([*PYTHON, "gammatone_bank", *args])
        r = subprocess.run(["bash", "-c", f"{shell} | true; echo ${{PIPESTATUS[0]}} >&2"],
                           cwd=tmp_path, env=ENV | {"MPLBACKEND": "Agg"}, capture_output=True, text=True,
                           timeout=TIMEOUT)
        assert r.stderr.strip() in ("0", "141"), r.stderr  # quiet, the way head expects
        r = subprocess.run(["bash", "-c", f"{shell} 2>&-"], cwd=tmp_path, env=ENV | {"MPLBACKEND": "Agg"},
                           capture_output=True, text=True, timeout=TIMEOUT)
        assert r.returncode == 0 and r.stdout.count("\n") == 1, r  # the summary is not lost
        r = subprocess.run(["bash", "-c", f"{shell} > /dev/full"], cwd=tmp_path, env=ENV | {"MPLBACKEND": "Agg"},
                           capture_output=True, text=True, timeout=TIMEOUT)
        assert r.returncode == 2
        assert one_line(r.stderr) == f"{ERROR}standard output: cannot write (No space left on device)\n"


class TestMemory:
    def test_many_channel_input(self, tmp_path):
        """A task's memory does not follow the input's channel count."""
        path = tmp_path / "wide.wav"
        frames = 1 << 18
        with soundfile.SoundFile(path, "w", 8000, 256, "PCM_U8") as f:
            f.write(np.zeros((frames, 256), dtype=np.int16))
        code = (
            "import resource, sys\n"
            "from gammatone_bank._batch import Params, analyse\n"
            "p = Params(channels=4, low=50.0, high=None, frame=0.025, hop=0.01, channel=None, normalize=False)\n"
            "analyse(sys.argv[3], sys.argv[2] + '.warm.npz', p)  # the libraries loaded, on a small file\n"
            "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
            "o = analyse(sys.argv[1], sys.argv[2] + '.npz', p)\n"
            "assert o.status == 'done', o\n"
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)\n"
        )
        write_noise(tmp_path / "small.wav")
        r = subprocess.run([sys.executable, "-P", "-c", code, str(path), str(tmp_path / "f"),
                            str(tmp_path / "small.wav")], env=ENV,
                           capture_output=True, text=True, timeout=TIMEOUT)
        assert r.returncode == 0, r.stderr
        # 8 x 256 x 2**18 bytes (512 MiB) when a block is counted in frames.
        assert int(r.stdout) < 64 << 10, f"peak grew by {int(r.stdout)} kB"


class TestWords:
    """The small faults give a message that names the file and the fix."""

    def huge(self, path):
        x = np.zeros(16000)
        x[8000] = 1e308
        soundfile.write(path, x, 16000, subtype="DOUBLE")

    def test_overflowing_samples(self, tmp_path):
        self.huge(tmp_path / "a.wav")
        r = run_command("a.wav", "--channels", "4", cwd=tmp_path, text=True)
        assert r.returncode == 2
        assert one_line(r.stderr).startswith(f"{ERROR}a.wav: ") and "not finite" in r.stderr
        assert "silent" not in r.stderr
        r = run_batch(tmp_path / "a.wav", "--out-dir", tmp_path / "out", "--channels", "4", "--workers", "1")
        assert r.returncode == 1
        row = manifest_rows(tmp_path / "out")[str(tmp_path / "a.wav")]
        assert row["status"] == "failed" and "not finite" in row["reason"]
        assert not (tmp_path / "out" / "a.wav.npz").exists()
        r = run_batch(tmp_path / "a.wav", "--out-dir", tmp_path / "out", "--channels", "4", "--workers", "1",
                      "--keep-non-finite")
        assert r.returncode == 0, r.stderr  # asked for: kept, NaN and all
        with np.load(tmp_path / "out" / "a.wav.npz") as f:
            assert not np.isfinite(f["levels"]).all()

    @pytest.mark.parametrize("options, message", [
        ({"channels": 2**40}, "channels must be"),
        ({"frame": 1e300}, "frame must be"),
        ({"hop": 1e300}, "hop must be"),
    ])
    def test_absurd_parameters_refused_up_front(self, tmp_path, options, message):
        with pytest.raises(ValueError, match=message):
            batch([str(tmp_path)], str(tmp_path / "out"), **options)
        assert not (tmp_path / "out").exists()

    def test_empty_out_dir(self, tmp_path):
        write_noise(tmp_path / "a.wav")
        r = run_batch("a.wav", "--out-dir", "", cwd=tmp_path)
        assert r.returncode == 2
        assert one_line(r.stderr).startswith(f"{ERROR}the output directory is named by an empty string")
        assert names(tmp_path) == ["a.wav"]

    def test_band_names_the_file(self, tmp_path):
        write_noise(tmp_path / "low.wav", fs=80)
        r = run_batch(tmp_path / "low.wav", "--out-dir", tmp_path / "out", "--workers", "1")
        assert r.returncode == 2
        assert one_line(r.stderr).startswith(f"{ERROR}{tmp_path / 'low.wav'}, the input of the lowest sample "
                                             f"rate: --low 50 Hz is not below half the sample rate")

    def test_file_cut_short_while_read(self, tmp_path):
        path = tmp_path / "long.wav"
        soundfile.write(path, np.zeros(300 * 16000, dtype=np.int16), 16000)
        size = path.stat().st_size
        p = start([*PYTHON, "gammatone_bank", "long.wav", "--channels", "32"], cwd=tmp_path,
                  env=ENV | {"MPLBACKEND": "Agg"})

        def position():  # how far the command has read, from /proc
            try:
                for fd in os.listdir(f"/proc/{p.pid}/fd"):
                    if os.readlink(f"/proc/{p.pid}/fd/{fd}") == str(path):
                        with open(f"/proc/{p.pid}/fdinfo/{fd}") as f:
                            return int(f.readline().split()[1])
            except OSError:
                pass
            return 0

        try:
            assert wait_for(lambda: position() > 1 << 20 or p.poll() is not None)
            if position() > size // 2:
                pytest.skip("the command read past the half before it could be cut")
            os.truncate(path, size // 2)
            _, stderr = p.communicate(timeout=TIMEOUT)
        finally:
            stop(p)
        assert p.returncode == 2
        assert one_line(stderr).startswith(f"{ERROR}long.wav: held ") and "cut short" in stderr
