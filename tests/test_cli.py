"""The command line, run as a separate process the way a user runs it."""

import os
import subprocess
import sys

import numpy as np
import pytest

import gammatone_bank
from gammatone_bank import filterbank

soundfile = pytest.importorskip("soundfile")
image = pytest.importorskip("matplotlib.image")

# The picture is 8 x 4.5 inches at 100 dots per inch.
PNG_SHAPE = (450, 800, 4)

# Run the package the tests import, whether or not it is the installed one.
ENV = os.environ | {
    "MPLBACKEND": "Agg",
    "PYTHONPATH": os.path.dirname(os.path.dirname(gammatone_bank.__file__)),
}


def cli(*args, cwd, code=None):
    """Run `python -m gammatone_bank ARGS` (or `python -c CODE ARGS`) in cwd."""
    head = ["-c", code] if code else ["-m", "gammatone_bank"]
    return subprocess.run(
        [sys.executable, *head, *map(str, args)],
        cwd=cwd, env=ENV, capture_output=True, text=True, timeout=120,
    )


def frames(n, fs):
    """Frames of 25 ms every 10 ms until one reaches the end."""
    frame, hop = round(0.025 * fs), round(0.010 * fs)
    return 1 + -(-max(n - frame, 0) // hop)


@pytest.fixture
def stereo_wav(tmp_path):
    """0.5 s at 16 kHz: a 1 kHz tone on the left, a 3 kHz tone on the right."""
    t = np.arange(8000) / 16000
    data = np.stack([0.5 * np.sin(2 * np.pi * 1000 * t), 0.25 * np.sin(2 * np.pi * 3000 * t)], axis=1)
    path = tmp_path / "stereo.wav"
    soundfile.write(path, data, 16000, subtype="PCM_16")
    return path


def test_wav_end_to_end(tmp_path, stereo_wav):
    result = cli(stereo_wav, "--channels", 16, "--low", 100, "--high", 6000,
                 "--out", "picture.png", "--save", "outputs.npz", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    (line,) = result.stdout.splitlines()
    assert "16 channels" in line and "0.50 s" in line and "stereo.wav" in line
    assert image.imread(tmp_path / "picture.png").shape == PNG_SHAPE

    with np.load(tmp_path / "outputs.npz") as saved:
        assert saved["fs"] == 16000
        assert saved["cfs"].shape == (16,)
        assert saved["cfs"][0] == 100 and saved["cfs"][-1] == 6000
        assert saved["bm"].shape == saved["env"].shape == (16, 8000)
        assert saved["level"].shape == (16, frames(8000, 16000))
        assert saved["times"].shape == (frames(8000, 16000),)
        # The two channels are averaged, then filtered exactly as the library does.
        data, _ = soundfile.read(stereo_wav, dtype="float64", always_2d=True)
        want = filterbank(data.mean(axis=1), 16000, saved["cfs"], env=True)
        assert np.array_equal(saved["bm"], want.bm)
        assert np.array_equal(saved["env"], want.env)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["outputs.npz", "picture.png", "stereo.wav"]


def test_built_in_signal(tmp_path):
    result = cli("--save", "all.npz", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "64 channels (50 to 7200 Hz)" in result.stdout
    assert image.imread(tmp_path / "cochleagram.png").shape == PNG_SHAPE
    with np.load(tmp_path / "all.npz") as saved:
        n = saved["bm"].shape[1]
        assert saved["bm"].shape == saved["env"].shape == (64, n)
        assert saved["level"].shape == (64, frames(n, 16000))
        # The loudest parts of the test signal are well above the floor.
        assert saved["level"].max() > -40


def write_text(path):
    path.write_text("not a sound\n")


def write_empty_wav(path):
    soundfile.write(path, np.zeros(0), 16000, subtype="PCM_16")


def write_8k_wav(path):
    soundfile.write(path, np.zeros(800), 8000, subtype="PCM_16")


@pytest.mark.parametrize(
    ("make", "args", "message"),
    [
        (None, ["missing.wav"], "missing.wav: no such file"),
        (write_text, ["input.wav"], "input.wav: not a readable sound file"),
        (write_empty_wav, ["input.wav"], "input.wav: holds no samples"),
        (write_8k_wav, ["input.wav", "--high", "5000"], "--high 5000 Hz needs a sample rate above 10000 Hz"),
        (write_8k_wav, ["input.wav", "--high", "4000"], "--high 4000 Hz needs a sample rate above 8000 Hz"),
        # Without --high the top channel drops to 0.45 fs for a low rate.
        (write_8k_wav, ["input.wav", "--low", "3700"],
         "sample rate 8000 Hz is too low for --low 3700 Hz (the highest channel would be 3600 Hz)"),
        (None, ["--low", "2000", "--high", "1000"], "--low 2000 Hz must be below --high 1000 Hz"),
        # The picture is complete before the .npz fails: it must not be kept.
        (None, ["--save", "no/such/dir/x.npz"], "no/such/dir/x.npz: cannot write"),
        (None, ["--out", "same.npz", "--save", "same.npz"], "name the same file"),
    ],
)
def test_bad_input_writes_nothing(tmp_path, make, args, message):
    if make is not None:
        make(tmp_path / "input.wav")
    # An older picture under the output name survives a failed run untouched.
    (tmp_path / "out.png").write_bytes(b"older picture")
    before = sorted(p.name for p in tmp_path.iterdir())

    result = cli(*args, *([] if "--out" in args else ["--out", "out.png"]), cwd=tmp_path)

    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith("gammatone-bank: error: ")
    assert message in result.stderr
    assert result.stderr.count("\n") == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    assert (tmp_path / "out.png").read_bytes() == b"older picture"


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
    assert named in result.stderr and "pip install 'gammatone_c[cli]'" in result.stderr
    assert list(tmp_path.iterdir()) == []


def test_help_says_how_input_is_read(tmp_path):
    result = cli("--help", cwd=tmp_path)
    assert result.returncode == 0
    assert "mixed down to mono" in result.stdout and "built-in test signal" in result.stdout


def test_bad_option_values_are_usage_errors(tmp_path):
    result = cli("--channels", "1", cwd=tmp_path)
    assert result.returncode == 2
    assert "--channels: must be at least 2" in result.stderr
    assert list(tmp_path.iterdir()) == []
