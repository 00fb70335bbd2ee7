"""The command line, run as a separate process the way a user runs it."""

import fcntl
import os
import pty
import re
import select
import signal
import struct
import subprocess
import sys
import termios
import time

import numpy as np
import pytest

from gammatone_bank import cochleagram, erb_number, erb_space, filterbank
from gammatone_bank.cli._picture import colour_limits, freq_ticks, pool_levels
from helpers import ENV, PYTHON, names, run_command

soundfile = pytest.importorskip("soundfile")
image = pytest.importorskip("matplotlib.image")
colormaps = pytest.importorskip("matplotlib").colormaps

# The picture is 8 x 4.5 inches at 100 dots per inch.
PNG_SHAPE = (450, 800, 4)

def cli(*args, cwd, code=None, stdin=None):
    """Run `python -m gammatone_bank ARGS` (or `python -c CODE ARGS`) in cwd,
    with stdin's bytes as its input (and bytes out) where given."""
    return run_command(*args, cwd=cwd, code=code, input=stdin, text=stdin is None, timeout=120)


def frames(n, fs, frame=0.025, hop=0.010):
    """Frames start every hop, before the end, while the previous one stopped short of it."""
    frame_len, hop_len = round(frame * fs), round(hop * fs)
    return min(-(-n // hop_len), 1 + -(-max(n - frame_len, 0) // hop_len))


def stereo(n, fs=16000):
    """A 1 kHz tone on the left, a 3 kHz tone on the right."""
    t = np.arange(n) / fs
    return np.stack([0.5 * np.sin(2 * np.pi * 1000 * t), 0.25 * np.sin(2 * np.pi * 3000 * t)], axis=1)


@pytest.fixture
def stereo_wav(tmp_path):
    """0.5 s at 16 kHz of the two tones."""
    path = tmp_path / "stereo.wav"
    soundfile.write(path, stereo(8000), 16000, subtype="PCM_16")
    return path


# ------------------------------------------------ results equal the library's


def test_wav_end_to_end(tmp_path, stereo_wav):
    result = cli(stereo_wav, "--channels", 16, "--low", 100, "--high", 6000,
                 "--out", "picture.png", "--save", "outputs.npz", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    (line,) = result.stdout.splitlines()
    assert "16 channels" in line and "0.50 s" in line and "stereo.wav" in line
    assert image.imread(tmp_path / "picture.png").shape == PNG_SHAPE
    with np.load(tmp_path / "outputs.npz") as saved:
        assert saved["fs"] == 16000 and saved["samples"] == 8000 and saved["channel"] == -1
        assert saved["cfs"][0] == 100 and saved["cfs"][-1] == 6000
        # The full-rate outputs only when asked for.
        assert "bm" not in saved and "env" not in saved
        data, _ = soundfile.read(stereo_wav, dtype="float64", always_2d=True)
        assert np.array_equal(saved["levels"], cochleagram(data.mean(axis=1), 16000, saved["cfs"]))
    assert names(tmp_path) == ["outputs.npz", "picture.png", "stereo.wav"]


@pytest.mark.parametrize(
    ("options", "pick"),
    [([], None), (["--channel", "1"], 1), (["--channel", "0"], 0), (["--normalize"], None)],
)
def test_streamed_outputs_equal_one_shot(tmp_path, options, pick):
    # 5 s at 64 channels is read in several blocks, so state crosses block edges.
    data = stereo(80000) + np.random.default_rng(7).standard_normal((80000, 2)) * 0.01
    soundfile.write(tmp_path / "long.wav", data, 16000, subtype="FLOAT")
    data, _ = soundfile.read(tmp_path / "long.wav", dtype="float64")
    result = cli("long.wav", *options, "--save", "all.npz", "--full", "bm,env,instp,instf",
                 cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    x = data.mean(axis=1) if pick is None else data[:, pick]
    with np.load(tmp_path / "all.npz") as saved:
        cfs = saved["cfs"]
        normalize = "--normalize" in options
        assert saved["normalize"] == normalize
        assert np.array_equal(saved["levels"], cochleagram(x, 16000, cfs, normalize=normalize))
        assert "bm" not in saved
    assert names(tmp_path) == ["all.bm.npy", "all.env.npy", "all.instf.npy", "all.instp.npy", "all.npz",
                               "cochleagram.png", "long.wav"]
    want = filterbank(x, 16000, cfs, env=True, instp=True, instf=True)
    for name in ("bm", "env", "instp", "instf"):
        got = np.load(tmp_path / f"all.{name}.npy", mmap_mode="r")
        assert got.shape == (64, 80000)
        assert np.array_equal(got, getattr(want, name)), name


@pytest.mark.parametrize(
    ("n", "frame", "hop", "centres"),
    [
        # 320-sample frames every 240: the last, from 720, holds 280 samples.
        (1000, 0.02, 0.015, [160, 400, 640, 860]),
        # Whole frames only: the last ends exactly at the end.
        (1040, 0.02, 0.015, [160, 400, 640, 880]),
        # hop > frame: no frame may start at or after the end (1000 here).
        (1000, 0.005, 0.03125, [40, 540]),
    ],
)
def test_saved_times_are_frame_centres(tmp_path, n, frame, hop, centres):
    soundfile.write(tmp_path / "short.wav", np.full(n, 0.25), 16000, subtype="PCM_16")
    result = cli("short.wav", "--channels", 4, "--frame", frame, "--hop", hop,
                 "--save", "t.npz", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    with np.load(tmp_path / "t.npz") as saved:
        assert saved["frame_len"] == round(frame * 16000) and saved["hop_len"] == round(hop * 16000)
        assert saved["levels"].shape == (4, len(centres))
        np.testing.assert_array_equal(saved["times"], np.array(centres) / 16000)


def test_built_in_signal(tmp_path):
    result = cli("--save", "all.npz", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "64 channels (50 to 7200 Hz)" in result.stdout
    assert image.imread(tmp_path / "cochleagram.png").shape == PNG_SHAPE
    with np.load(tmp_path / "all.npz") as saved:
        n = int(saved["samples"])
        assert saved["levels"].shape == (64, frames(n, 16000))
        # The loudest parts of the test signal are well above the floor.
        assert saved["levels"].max() > -40


def test_standard_input_reads_like_the_file(tmp_path, stereo_wav):
    result = cli("-", "--channels", 8, "--save", "piped.npz", cwd=tmp_path,
                 stdin=stereo_wav.read_bytes())
    assert result.returncode == 0, result.stderr
    assert b"of standard input" in result.stdout
    data, _ = soundfile.read(stereo_wav, dtype="float64", always_2d=True)
    with np.load(tmp_path / "piped.npz") as saved:
        assert np.array_equal(saved["levels"], cochleagram(data.mean(axis=1), 16000, saved["cfs"]))


# ------------------------------------------------ pictures


@pytest.mark.parametrize(
    ("name", "magic"),
    [("c.pdf", b"%PDF-"), ("c.svg", b"<?xml"), ("c.JPG", b"\xff\xd8\xff"), ("c.png", b"\x89PNG")],
)
def test_picture_format_follows_the_extension(tmp_path, stereo_wav, name, magic):
    result = cli(stereo_wav, "--channels", 4, "--out", name, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / name).read_bytes().startswith(magic)


def assert_all_coloured(path, x):
    """A patch in the middle of the image area has colour x of the colour map."""
    rgb = image.imread(path)[180:270, 200:500, :3].reshape(-1, 3)
    # Within the 8-bit rounding of the picture.
    np.testing.assert_allclose(rgb, np.broadcast_to(colormaps["magma"](x)[:3], rgb.shape), atol=1 / 255)


def test_silence_is_darkest_and_too_loud_is_brightest(tmp_path):
    soundfile.write(tmp_path / "zeros.wav", np.zeros(16000), 16000, subtype="PCM_16")
    assert cli("zeros.wav", "--out", "zeros.png", cwd=tmp_path).returncode == 0
    assert_all_coloured(tmp_path / "zeros.png", 0.0)
    # Noise at about -20 dB, all of it above a --top of -100 dB.
    noise = np.random.default_rng(1).uniform(-0.3, 0.3, 16000)
    soundfile.write(tmp_path / "noise.wav", noise, 16000, subtype="PCM_16")
    result = cli("noise.wav", "--top", -100, "--range", 10, "--out", "noise.png", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert_all_coloured(tmp_path / "noise.png", 1.0)


@pytest.mark.parametrize(
    ("loudest", "range_db", "top", "limits"),
    [
        (-20.0, 70.0, None, (-90.0, -20.0)),     # the loudest frame on top
        (-20.0, 40.0, None, (-60.0, -20.0)),     # --range
        (-100.0, 70.0, None, (-120.0, -50.0)),   # near-silence stays dark
        (-120.0, 70.0, None, (-120.0, -50.0)),   # digital zeros: the floor is darkest
        (-20.0, 70.0, -10.0, (-80.0, -10.0)),    # --top
        (-20.0, 200.0, -10.0, (-120.0, -10.0)),  # --top, never below the floor
    ],
)
def test_colour_limits(loudest, range_db, top, limits):
    assert colour_limits(loudest, range_db, top) == limits


@pytest.mark.parametrize(
    ("low", "high", "n"),
    [(5000, 7200, 64), (50, 7200, 2), (50, 3600, 64), (50, 7200, 64), (1000, 1001, 2)],
    ids=["narrow", "two channels", "8 kHz", "wide", "tiny"],
)
def test_frequency_ticks_are_readable(low, high, n):
    cfs = erb_space(low, high, n)
    ticks = freq_ticks(cfs)
    e = erb_number(ticks)
    axis = (e[-1] - e[0]) * n / (n - 1)   # one row per channel
    assert len(ticks) >= 3
    # Both ends labelled (the top of a low-rate band too), nothing outside them.
    assert ticks[0] == low and ticks[-1] == high
    # At least an eighth of the axis between labels: about three label heights.
    assert np.all(np.diff(e) >= axis / 8 * (1 - 1e-9))
    # Between the ends, round numbers: multiples of a tenth of the band's order of magnitude.
    unit = 10.0 ** (np.floor(np.log10(high - low)) - 1)
    assert all(abs(f / unit - round(f / unit)) < 1e-6 for f in ticks[1:-1])


def test_pooling_averages_power():
    level = np.full((2, 7), -120.0)
    level[:, 0] = 0.0        # mean square 1 beside silence
    level[1, 6] = 10.0
    pooled = pool_levels(level, width=3)
    # Groups of 3 frames: (0, -120, -120), (-120 x 3), then the last frame alone.
    want = [10 * np.log10((1 + 2e-12) / 3), -120.0, -120.0]
    np.testing.assert_allclose(pooled[0], want, atol=1e-9)
    np.testing.assert_allclose(pooled[1, 2], 10.0)
    assert pool_levels(level, width=7) is level


# ------------------------------------------------ warnings


def zeros(path):
    soundfile.write(path, np.zeros(16000), 16000, subtype="PCM_16")


def cancelling(subtype, below_db=None):
    """Opposite tones; with below_db, the mix's peak that far below channel 0's."""
    def write(path):
        tone = stereo(16000)[:, 0]
        rest = 1.0 if below_db is None else 1.0 - 2.0 * 10.0 ** (-below_db / 20.0)
        soundfile.write(path, np.stack([tone, -rest * tone], axis=1), 16000, subtype=subtype)

    return write


@pytest.mark.parametrize(
    ("make", "options", "warning"),
    [
        (zeros, [], "input.wav is silent or nearly so (its loudest frame is -120.0 dB"),
        (cancelling("FLOAT"), [], "the 2 channels of input.wav cancel in the mix (exactly); "
         "its loudest frame is -120.0 dB"),
        # 16-bit rounding leaves a residue of one LSB: far below either channel.
        (cancelling("PCM_16"), [], "the 2 channels of input.wav cancel in the mix (down to 90 dB"),
        (cancelling("PCM_16"), ["--channel", "1"], None),
        # The warning starts 40 dB down.
        (cancelling("FLOAT", 41), [], "the 2 channels of input.wav cancel in the mix (down to 41 dB "
         "below channel 0's peak); try --channel 0"),
        (cancelling("FLOAT", 39), [], None),
    ],
)
def test_silence_warnings(tmp_path, make, options, warning):
    make(tmp_path / "input.wav")
    result = cli("input.wav", *options, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    if warning is None:
        assert result.stderr == ""
    else:
        assert result.stderr.startswith("gammatone-bank: warning: " + warning)
        assert result.stderr.count("\n") == 1


# ------------------------------------------------ refusals


def write_text(path):
    path.write_text("not a sound\n")


def write_empty_wav(path):
    soundfile.write(path, np.zeros(0), 16000, subtype="PCM_16")


def wav_at(fs, channels=1):
    def write(path):
        soundfile.write(path, np.zeros((800, channels)), fs, subtype="PCM_16")

    return write


@pytest.mark.parametrize(
    ("make", "args", "message"),
    [
        (None, ["missing.wav"], "missing.wav: no such file"),
        (write_text, ["input.wav"], "input.wav: not a readable sound file"),
        (write_empty_wav, ["input.wav"], "input.wav: holds no samples"),
        (wav_at(8000), ["input.wav", "--high", "5000"], "--high 5000 Hz needs a sample rate above 10000 Hz"),
        (wav_at(8000), ["input.wav", "--high", "4000"], "--high 4000 Hz needs a sample rate above 8000 Hz"),
        # The default --high, not the rate, is what stops --low 9000 at 22.05 kHz.
        (wav_at(22050), ["input.wav", "--low", "9000"],
         "--low 9000 Hz is not below the default --high 8000 Hz: pass --high above 9000 and below 11025 Hz"),
        (wav_at(8000), ["input.wav", "--low", "3700"],
         "--low 3700 Hz is not below the default --high 3600 Hz (0.45 x the 8000 Hz sample rate)"),
        (wav_at(8000), ["input.wav", "--low", "4000"], "--low 4000 Hz is not below half the sample rate"),
        (None, ["--low", "2000", "--high", "1000"], "--low 2000 Hz must be below --high 1000 Hz"),
        (wav_at(16000, 2), ["input.wav", "--channel", "2"], "input.wav: has 2 channel(s), no channel 2"),
        (None, ["--hop", "0.00001"], "--hop 1e-05 s is less than one sample at 16000 Hz"),
        (None, ["--save", "no/such/dir/x.npz"], "no/such/dir/x.npz: cannot write"),
        (None, ["--save", "."], ".: is a directory"),
        (None, ["--out", "same.png", "--save", "same.png"], "name the same file"),
        (wav_at(16000), ["input.wav", "--save", "./input.wav"], "--save names the input file: ./input.wav"),
        (None, ["--out", "picture.xyz"], "--out picture.xyz: unknown picture format 'xyz' (use one of: "),
        (None, ["--out", "picture"], "--out picture: no extension"),
    ],
)
def test_bad_input_writes_nothing(tmp_path, make, args, message):
    if make is not None:
        make(tmp_path / "input.wav")
    # An older picture under the output name survives a failed run untouched.
    (tmp_path / "out.png").write_bytes(b"older picture")
    before = names(tmp_path)

    result = cli(*args, *([] if "--out" in args else ["--out", "out.png"]), cwd=tmp_path)

    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith("gammatone-bank: error: ")
    assert message in result.stderr
    assert result.stderr.count("\n") == 1
    assert names(tmp_path) == before
    assert (tmp_path / "out.png").read_bytes() == b"older picture"


# A file system with 4 MB free.
SMALL_DISK = (
    "import collections, shutil, sys\n"
    "shutil.disk_usage = lambda path: collections.namedtuple('u', 'total used free')(10**9, 0, 4 * 10**6)\n"
    "from gammatone_bank.cli import main\n"
    "sys.exit(main(sys.argv[1:]))"
)


@pytest.mark.parametrize("full", [True, False])
def test_save_refused_up_front_without_the_space(tmp_path, full):
    # 1 s at 16 kHz x 32 channels: 4.1 MB per full-rate output, 0.1 MB of levels.
    soundfile.write(tmp_path / "input.wav", np.zeros(16000), 16000, subtype="PCM_16")
    more = ["--full", "bm"] if full else []
    result = cli("input.wav", "--channels", 32, "--save", "s.npz", *more, code=SMALL_DISK, cwd=tmp_path)
    if full:
        assert result.returncode == 2
        assert re.fullmatch(r"gammatone-bank: error: s.npz: needs 5\.\d MB, but its file system "
                            r"has 4\.0 MB free\n", result.stderr)
        assert names(tmp_path) == ["input.wav"]
    else:
        assert result.returncode == 0, result.stderr
        assert names(tmp_path) == ["cochleagram.png", "input.wav", "s.npz"]


@pytest.mark.parametrize(
    ("hidden", "args", "named"),
    [("matplotlib", [], "matplotlib"), ("soundfile", ["x.wav"], "soundfile")],
)
def test_missing_extra_says_what_to_install(tmp_path, hidden, args, named):
    # None in sys.modules makes `import name` fail as if it were not installed.
    code = (
        f"import sys; sys.modules[{hidden!r}] = None\n"
        "from gammatone_bank.cli import main\n"
        "sys.exit(main(sys.argv[1:]))"
    )
    result = cli(*args, cwd=tmp_path, code=code)
    assert result.returncode == 2
    # Installed and in a clone of the source.
    assert named in result.stderr
    assert "pip install 'gammatone_c[cli]'" in result.stderr and "pip install '.[cli]'" in result.stderr
    assert list(tmp_path.iterdir()) == []


def test_help_and_version(tmp_path):
    result = cli("--help", cwd=tmp_path)
    assert result.returncode == 0
    assert "mixed down to mono" in result.stdout and "built-in test signal" in result.stdout
    result = cli("--version", cwd=tmp_path)
    assert result.returncode == 0
    assert re.fullmatch(r"gammatone-bank \d+\.\d+\.\d+\S*\n", result.stdout)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--channels", "1"], "--channels: must be an int of at least 2"),
        (["--full", "bm"], "--full needs --save"),
        (["--save", "x.npz", "--full", "bm,pitch"], "unknown output 'pitch'"),
        (["--top", "-120"], "--top: must be above the -120 dB floor"),
        (["--range", "0"], "--range: must be positive and finite"),
    ],
)
def test_bad_option_values_are_usage_errors(tmp_path, args, message):
    result = cli(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.startswith("usage: ") and message in result.stderr
    assert list(tmp_path.iterdir()) == []


# ------------------------------------------------ long input


def write_long_wav(path, seconds, fs):
    """Seeded noise at -20 dBFS, 16-bit mono, written a minute at a time."""
    minute = (np.random.default_rng(3).standard_normal(60 * fs) * 3277).astype(np.int16)
    with soundfile.SoundFile(path, "w", fs, 1, "PCM_16") as f:
        for start in range(0, seconds, 60):
            f.write(minute[:min(60, seconds - start) * fs])


@pytest.mark.parametrize(
    ("signum", "status", "message"),
    [(signal.SIGINT, 130, b"interrupted"), (signal.SIGTERM, 143, b"terminated")],
    ids=["ctrl-c", "kill"],
)
def test_signal_ends_cleanly(tmp_path, signum, status, message):
    write_long_wav(tmp_path / "long.wav", 600, 48000)
    # stderr on a terminal, so the progress bar shows; it says the work has begun.
    parent, child = pty.openpty()
    # A terminal of 80 columns (tqdm draws nothing in 0 columns).
    fcntl.ioctl(child, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    proc = subprocess.Popen(
        [*PYTHON, "gammatone_bank", "long.wav", "--save", "long.npz"],
        cwd=tmp_path, env=ENV, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=child,
    )
    os.close(child)
    seen = b""

    def read(until, seconds):
        nonlocal seen
        deadline = time.monotonic() + seconds
        while until not in seen and time.monotonic() < deadline:
            if select.select([parent], [], [], 0.1)[0]:
                try:
                    seen += os.read(parent, 4096)
                except OSError:  # the other end is closed
                    return

    try:
        read(b"sample", 60)
        assert b"sample" in seen, seen
        proc.send_signal(signum)
        out, _ = proc.communicate(timeout=60)
        read(b"\x00", 2)
    finally:
        proc.kill()
        proc.wait(timeout=60)
        os.close(parent)
    assert proc.returncode == status
    assert out == b""
    lines = [line for line in re.split(rb"[\r\n]+", seen) if line.strip()]
    assert lines[-1] == b"gammatone-bank: " + message
    assert b"Traceback" not in seen
    assert names(tmp_path) == ["long.wav"]


# The child must fit here: ample for the streams and the hour's 184 MB of
# levels, far too small for even one channel x samples row (1.4 GB).
ADDRESS_LIMIT = 3 << 29  # 1.5 GiB
# Runs the command line as its child under the limit and reports the child's
# peak resident memory, free of anything this test process ever waited for.
MEASURE = """\
import resource, subprocess, sys, time
def limit():
    resource.setrlimit(resource.RLIMIT_AS, (%d, %d))
start = time.perf_counter()
code = subprocess.run([sys.executable, "-m", "gammatone_bank", *sys.argv[1:]], preexec_fn=limit).returncode
wall = time.perf_counter() - start
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, wall)
sys.exit(code)
""" % (ADDRESS_LIMIT, ADDRESS_LIMIT)


@pytest.mark.slow
def test_hour_long_file_in_bounded_memory(tmp_path):
    path = tmp_path / "hour.wav"
    try:
        write_long_wav(path, 3600, 48000)
        env = ENV | {name: "1" for name in
                     ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")}
        # Each thread's malloc arena would reserve 64 MiB of address space, and
        # its stack 8 MiB: two worker threads whatever the machine.
        env |= {"MALLOC_ARENA_MAX": "2", "PYTHON_CPU_COUNT": "2"}
        result = subprocess.run(
            [sys.executable, "-c", MEASURE, "hour.wav", "--save", "hour.npz", "--out", "hour.png"],
            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=1200,
        )
    finally:
        path.unlink(missing_ok=True)
    assert result.returncode == 0, result.stderr
    summary, measured = result.stdout.splitlines()
    peak_kib, wall = measured.split()
    peak = int(peak_kib) / 1024
    print(f"\none hour at 48 kHz, 64 channels: {float(wall):.1f} s wall, real-time factor "
          f"{float(wall) / 3600:.4f}, peak RSS {peak:.0f} MiB ({summary})")
    assert peak <= 400
    with np.load(tmp_path / "hour.npz") as saved:
        assert saved["levels"].shape == (64, frames(3600 * 48000, 48000))
