"""``gammatone-bank response``, run as a separate process, and the curves it
draws against the resynthesis they stand for."""

import os

import numpy as np
import pytest

from gammatone_bank import erb_space, frequency_response, resynthesize
from helpers import names, run_command

image = pytest.importorskip("matplotlib.image")
from gammatone_bank.cli._response import _responses  # noqa: E402  (needs matplotlib's absence checked first)



def response(*args, cwd):
    """Run `gammatone-bank response ARGS` in cwd to its end."""
    return run_command("response", *args, cwd=cwd, timeout=120)


def test_writes_the_picture_and_a_summary(tmp_path):
    result = response("--out", "r.png", "--channels", 16, "--fs", 22050, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    lines = result.stdout.splitlines()
    assert len(lines) == 1 and lines[0].startswith("16 channels (50 to 8000 Hz) at 22050 Hz")
    assert lines[0].endswith("wrote r.png")
    picture = image.imread(tmp_path / "r.png")
    assert picture.shape == (650, 800, 4)
    assert len(np.unique(picture.reshape(-1, 4), axis=0)) > 50  # drawn, not blank
    assert names(tmp_path) == ["r.png"]


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--high", "9000"], "--high 9000 Hz needs a sample rate above 18000 Hz"),
        (["--fs", "8000", "--low", "5000"], "--low 5000 Hz is not below half the sample rate"),
        (["--channels", "4000"], "at most 781 channels at 16000 Hz"),
        (["--out", "r.txt"], "unknown picture format 'txt'"),
        (["--out", "folder.png"], "--out folder.png: a directory"),
        (["--out", "fifo.png"], "--out fifo.png: not a regular file"),
        (["--out", "/dev/null"], "--out /dev/null: not a regular file"),
    ],
)
def test_bad_input_is_one_line_and_status_2(tmp_path, args, message):
    (tmp_path / "folder.png").mkdir()
    os.mkfifo(tmp_path / "fifo.png")
    argv = args if "--out" in args else ["--out", "r.png", *args]
    result = response(*argv, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stdout == ""
    assert len(result.stderr.splitlines()) == 1 and result.stderr.startswith("gammatone-bank: error: ")
    assert message in result.stderr
    assert names(tmp_path) == ["fifo.png", "folder.png"]


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--fs", "16000.5"], "--fs: not a whole number"),
        (["--fs", "0"], "--fs: must be an int of at least 1"),
        ([], "the following arguments are required: --out"),
    ],
)
def test_bad_options_are_usage_errors(tmp_path, args, message):
    argv = args if not args else ["--out", "r.png", *args]
    result = response(*argv, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.startswith("usage: ") and message in result.stderr
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("fs", [16000, 44100])
def test_the_drawn_curves_are_the_spectra_of_what_they_stand_for(fs):
    # The channels and their sum against frequency_response, the designs'
    # sums against the spectrum of an impulse resynthesised by each design.
    cfs = erb_space(50.0, 0.45 * fs, 24)
    n = 1 << 15
    f = np.fft.rfftfreq(n, 1.0 / fs)[1:]
    channels, total, zero_phase, causal = _responses(fs, cfs, f)
    h = frequency_response(fs, cfs, n=n)[1][:, 1:]
    np.testing.assert_allclose(channels, np.abs(h), rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(total, np.abs(h.sum(axis=0)), rtol=1e-12, atol=1e-15)
    x = np.zeros(n)
    x[n // 2] = 1.0
    for drawn, delay in ((zero_phase, None), (causal, 0.004)):
        measured = np.abs(np.fft.rfft(resynthesize(x, fs, cfs, delay=delay)))[1:]
        assert np.abs(measured - drawn).max() < 1e-7 * drawn.max(), delay
