"""What several test files share: bit comparisons of doubles, a few inputs,
the sound files the tests write, and the harness that runs the command line
as a process (its environment, bounded waits, signals, and what a run leaves
behind).

Imported as ``helpers`` from the test files (pytest puts tests/ on the path,
here and in the copy of tests/ that the wheel is tested from).  It imports
nothing optional at module level: a writer skips its test where soundfile is
missing, so the files that need no sound files run without it.
"""

import ctypes
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import gammatone_bank

# ------------------------------------------------------------ bits of doubles


def bits(a):
    """The doubles of a (an array, list or scalar of float64) as int64 bit
    patterns: equal only where the doubles are the same to the bit (-0.0 is
    not 0.0, a NaN equals its own pattern).  Any other dtype is an error, not
    a conversion that could hide a wrong result type."""
    a = np.asarray(a)
    assert a.dtype == np.float64, a.dtype
    return a.view(np.int64)


def assert_bits(actual, expected):
    """actual has expected's shape and, element by element, its bits (real or
    complex doubles)."""
    assert actual.shape == expected.shape
    np.testing.assert_array_equal(actual.view(np.uint64), expected.view(np.uint64))


def same_bits(actual, expected):
    """Whether two arrays of doubles are equal as bit patterns, where any NaN
    matches any NaN.

    The kernel may negate a NaN where the model subtracts, so NaN sign and
    payload bits are not compared; everything else is, including the sign of
    zero.
    """
    actual = np.asarray(actual, np.float64)
    expected = np.asarray(expected, np.float64)
    both_nan = np.isnan(actual) & np.isnan(expected)
    return bool(np.all((bits(actual) == bits(expected)) | both_nan))


def assert_same_bits(actual, expected):
    """The same shape, NaN exactly where expected is NaN, and the same bits
    everywhere else (a NaN's sign and payload are not defined by the
    arithmetic); a failure names the first sample that differs."""
    actual = np.asarray(actual, dtype=np.float64)
    expected = np.asarray(expected, dtype=np.float64)
    assert actual.shape == expected.shape
    nan = np.isnan(expected)
    np.testing.assert_array_equal(np.isnan(actual), nan)
    bad = np.flatnonzero(bits(actual[~nan]) != bits(expected[~nan]))
    assert bad.size == 0, f"{bad.size} samples differ, first at {np.flatnonzero(~nan)[bad[0]]}"


# ------------------------------------------------------------ arguments and inputs

DOUBLE_P = ctypes.POINTER(ctypes.c_double)


def ptr(a):
    """A double* to an array's storage, or NULL for None."""
    if a is None:
        return None
    return a.ctypes.data_as(DOUBLE_P)


def hostile_signal(rng, n=1500, impulse=3e306):
    """Noise, signed zeros, an impulse that overflows the narrower channels,
    and silence long enough for channels to decay into the tiny-value flush."""
    x = rng.standard_normal(n)
    x[100:140] = -0.0
    x[300] = impulse
    x[600:] = 0.0
    return x


class ArrayLike:
    """An object that is not an array but converts to one (through __array__)."""

    def __init__(self, a):
        self.a = a

    def __array__(self, dtype=None, copy=None):
        return self.a

    def __repr__(self):
        return f"ArrayLike({self.a!r})"


# ------------------------------------------------------------ sound files


def write_noise(path, seconds=0.5, fs=16000, channels=1, seed=0, subtype="PCM_16"):
    """Write seeded noise (0.3 standard deviation, clipped to +-1) to path,
    making its folder; returns the samples as a reader gets them back
    ((samples, channels) float64)."""
    soundfile = pytest.importorskip("soundfile")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    data = 0.3 * np.random.default_rng(seed).standard_normal((round(seconds * fs), channels))
    soundfile.write(path, np.clip(data, -1, 1), fs, subtype=subtype)
    x, _ = soundfile.read(path, dtype="float64", always_2d=True)
    return x


def write_corpus(folder, count, seconds, name="s{}.wav"):
    """Write count noise files into folder, the i-th named name.format(i) and
    seeded i."""
    for i in range(count):
        write_noise(os.path.join(folder, name.format(i)), seconds=seconds, seed=i)


def write_tone(path, fs=16000, seconds=0.5, channels=1):
    """Write a 440 Hz tone in a little seeded noise to path, the same on every
    channel, in the format's default subtype."""
    soundfile = pytest.importorskip("soundfile")
    t = np.arange(int(fs * seconds)) / fs
    x = 0.3 * np.sin(2 * np.pi * 440.0 * t) + 0.05 * np.random.default_rng(0).standard_normal(t.size)
    soundfile.write(path, np.repeat(x[:, None], channels, axis=1) if channels > 1 else x, fs)


# ------------------------------------------------------------ the command line as a process

# Run the package the tests import, whether or not it is the installed one;
# pictures with the file-only backend.
ENV = os.environ | {
    "MPLBACKEND": "Agg",
    "PYTHONPATH": os.path.dirname(os.path.dirname(gammatone_bank.__file__)),
}
# -P: the package as installed, never the source tree in the current directory.
PYTHON = [sys.executable, "-P", "-m"]
TIMEOUT = 90  # seconds, for any one subprocess or run
HERE = os.path.dirname(os.path.abspath(__file__))
# A Dask worker preload that makes tasks slow and logs their starts.
SLOW_WORKER = os.path.join(HERE, "_slow_worker.py")
# Runs a command once per file-system step with a signal right after it.
STEPS = os.path.join(HERE, "_signal_steps.py")


def slow_env(seconds, env=ENV):
    """env for a command whose embedded cluster's workers read every block
    `seconds` late (the slow-worker preload in each worker)."""
    return env | {"GAMMATONE_TEST_SLOW": str(seconds),
                  "DASK_DISTRIBUTED__WORKER__PRELOAD": json.dumps([SLOW_WORKER])}


def run_command(*args, cwd=None, env=ENV, code=None, text=True, timeout=TIMEOUT, **kwargs):
    """Run `python -P -m gammatone_bank ARGS` (or `python -P -c CODE ARGS`) in
    cwd to its end, output captured (as bytes with text=False)."""
    head = ["-c", code] if code else ["-m", "gammatone_bank"]
    return subprocess.run([sys.executable, "-P", *head, *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=text, timeout=timeout, **kwargs)


def run_batch(*args, env=ENV, cwd=None):
    """Run `gammatone-bank batch ARGS` to its end, text output captured."""
    return run_command("batch", *args, env=env, cwd=cwd)


def batch_command(inputs, out, *options):
    """The argv of `gammatone-bank batch INPUTS --out-dir OUT OPTIONS`, for start()."""
    return [*PYTHON, "gammatone_bank", "batch", str(inputs), "--out-dir", str(out), *map(str, options)]


def start(args, env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs):
    """Popen args in a session (and process group) of its own, text output
    piped unless stdout or stderr say otherwise."""
    return subprocess.Popen(args, env=env, stdout=stdout, stderr=stderr, text=True, start_new_session=True,
                            **kwargs)


def stop(*procs):
    """SIGKILL the group of each started process still running, and reap it."""
    for p in procs:
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
        p.communicate(timeout=TIMEOUT)


def wait_for(check, seconds=TIMEOUT, every=0.05):
    """Poll check() every `every` seconds until it holds or `seconds` have
    passed; returns its last answer."""
    deadline = time.monotonic() + seconds
    while not check() and time.monotonic() < deadline:
        time.sleep(every)
    return check()


def interrupt(args, ready, env=ENV, times=1, kill=None):
    """Start the command, wait for ready(), send SIGINT to its group `times` times
    (or, with `kill`, SIGKILL to that other process's group instead); returns
    (status, stdout, stderr)."""
    p = start(args, env=env)
    try:
        assert wait_for(ready), "the run never got ready"
        for _ in range(times):
            os.killpg((kill or p).pid, signal.SIGINT if kill is None else signal.SIGKILL)
            time.sleep(0.05)
        stdout, stderr = p.communicate(timeout=TIMEOUT)
    finally:
        stop(p)
    return p.returncode, stdout, stderr


def scheduler_address(file, seconds=TIMEOUT):
    """The address in a scheduler file, once it parses: the scheduler creates
    the file before it writes the address there."""
    found = []

    def parsed():
        try:
            found.append(json.loads(file.read_text())["address"])
        except (FileNotFoundError, ValueError, KeyError):
            return False
        return True

    assert wait_for(parsed, seconds), "the scheduler wrote no address"
    return found[0]


def one_line(stderr):
    """stderr (text or bytes) as text, checked to be one line and no traceback."""
    text = stderr.decode(errors="replace") if isinstance(stderr, bytes) else stderr
    assert "Traceback" not in text, text
    assert len(text.splitlines()) == 1, text
    return text


# ------------------------------------------------------------ what a run leaves behind


def names(folder):
    """The sorted names in folder."""
    return sorted(os.listdir(folder))


def temporaries(folder):
    """The sorted names in folder of temporary files (ending in .tmp)."""
    return sorted(n for n in os.listdir(folder) if n.endswith(".tmp"))


def stray_files(out):
    """Anything in a batch output folder, at any depth, that is neither a
    finished features file nor bookkeeping."""
    return [os.path.join(d, n) for d, _, files in os.walk(out) for n in files
            if not n.endswith(".npz") and n not in ("manifest.csv", "parameters.json", ".gammatone-batch.lock")]
