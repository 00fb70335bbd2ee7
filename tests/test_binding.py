"""The Python method's arguments: what it accepts, converts and refuses."""

import shutil
import subprocess

import numpy as np
import pytest

import gammatone_c
from model import gammatone as model

N = 40


def test_docstrings():
    assert gammatone_c.__doc__ == "Gammatone filter implemented in C."
    assert gammatone_c.gammatone_c.__doc__ == "Apply gammatone filter to a signal."


def test_never_rectifies():
    x = np.random.default_rng(3).standard_normal(N)
    bm = np.empty(N)
    gammatone_c.gammatone_c(x, N, 16000, 1000.0, bm)
    assert bm.min() < 0


@pytest.mark.parametrize("convert", [
    list, tuple,
    lambda x: x.astype(np.float32).astype(np.float64).astype(np.float32),
    lambda x: np.round(x * 100).astype(np.int64),
    lambda x: np.repeat(x, 2)[::2],                  # strided view
    lambda x: x.astype(">f8"),                       # big-endian
    lambda x: x.reshape(4, 10),                      # any shape: its elements in C order
], ids=["list", "tuple", "float32", "int64", "strided", "big-endian", "2-d"])
def test_x_is_any_array_like(convert):
    x = convert(np.random.default_rng(4).standard_normal(N))
    want = model(np.asarray(x, dtype=np.float64).ravel(), 16000, 1000.0)
    outs = [np.empty(N) for _ in range(4)]
    gammatone_c.gammatone_c(x, N, 16000, 1000.0, *outs)
    for got, w in zip(outs, want):
        np.testing.assert_array_equal(got, w)


def bad_layouts():
    base = np.zeros(2 * N + 1)
    misaligned = np.zeros(8 * N + 8, np.uint8)[1:1 + 8 * N].view(np.float64)
    readonly = np.zeros(N)
    readonly.flags.writeable = False
    return {
        "list": ([0.0] * N, TypeError, "must be a numpy.ndarray, not list"),
        "float32": (np.zeros(N, np.float32), TypeError, "must have dtype float64"),
        "complex": (np.zeros(N, complex), TypeError, "must have dtype float64"),
        "big-endian": (np.zeros(N, ">f8"), TypeError, "must have dtype float64"),
        "strided": (base[::2], ValueError, "must be C-contiguous and aligned"),
        "fortran": (np.zeros((N, 2), order="F"), ValueError, "must be C-contiguous"),
        "misaligned": (misaligned, ValueError, "must be C-contiguous and aligned"),
        "read-only": (readonly, ValueError, "is read-only"),
        "short": (np.zeros(N - 1), ValueError, f"holds {N - 1} samples, nsamples is {N}"),
    }


@pytest.mark.parametrize("slot, name", list(enumerate(["bm", "env", "instp", "instf"])))
@pytest.mark.parametrize("case", list(bad_layouts()))
def test_bad_output_is_refused_before_any_write(slot, name, case):
    bad, exc, message = bad_layouts()[case]
    outs = [np.full(N, 7.5) for _ in range(4)]
    outs[slot] = bad
    with pytest.raises(exc, match=f"^{name} {message}"):
        gammatone_c.gammatone_c(np.ones(N), N, 16000, 1000.0, *outs)
    for i, out in enumerate(outs):
        if i != slot:
            np.testing.assert_array_equal(out, 7.5)


@pytest.mark.parametrize("args, exc, message", [
    ((np.ones(N), -1, 16000, 1000.0), ValueError, "nsamples must be non-negative, got -1"),
    ((np.ones(N), N, 0, 1000.0), ValueError, "fs must be positive, got 0"),
    ((np.ones(N), N, -8000, 1000.0), ValueError, "fs must be positive, got -8000"),
    ((np.ones(N), N, 16000, float("nan")), ValueError, "cf must be finite, got nan"),
    ((np.ones(N), N, 16000, float("inf")), ValueError, "cf must be finite, got inf"),
    ((np.ones(N), N, 16000, -float("inf")), ValueError, "cf must be finite, got -inf"),
    ((np.ones(N - 1), N, 16000, 1000.0), ValueError, f"x holds {N - 1} samples, nsamples is {N}"),
    ((None, N, 16000, 1000.0), TypeError, "x must be array_like, not None"),
    ((np.ones(N, complex), N, 16000, 1000.0), TypeError, "x cannot be converted to float64"),
    ((["a"] * N, N, 16000, 1000.0), ValueError, "x cannot be converted to float64"),
    ((np.ones(N), N, 16000, "1000"), TypeError, "must be real number"),
    ((np.ones(N), 2**31, 16000, 1000.0), OverflowError, "greater than maximum"),
    ((np.ones(N), N, 2**31, 1000.0), OverflowError, "greater than maximum"),
])
def test_bad_scalar_or_input_is_refused_before_any_write(args, exc, message):
    outs = [np.full(N, 7.5) for _ in range(4)]
    with pytest.raises(exc, match=message):
        gammatone_c.gammatone_c(*args, *outs)
    for out in outs:
        np.testing.assert_array_equal(out, 7.5)


def test_bm_is_required():
    with pytest.raises(TypeError, match="bm must be a numpy.ndarray, not None"):
        gammatone_c.gammatone_c(np.ones(N), N, 16000, 1000.0, None)


@pytest.mark.parametrize("first, second", [(0, 1), (0, 3), (1, 2), (2, 3)])
@pytest.mark.parametrize("shift", [0, 5])
def test_overlapping_outputs_are_refused(first, second, shift):
    store = np.full(N + shift, 7.5)
    outs = [np.full(N, 7.5) for _ in range(4)]
    outs[first], outs[second] = store[:N], store[shift:shift + N]
    names = ["bm", "env", "instp", "instf"]
    with pytest.raises(ValueError, match=f"{names[first]} and {names[second]} overlap"):
        gammatone_c.gammatone_c(np.ones(N), N, 16000, 1000.0, *outs)
    np.testing.assert_array_equal(store, 7.5)


def test_outputs_may_share_a_buffer_beyond_nsamples():
    store = np.empty(2 * N)
    x = np.random.default_rng(5).standard_normal(N)
    gammatone_c.gammatone_c(x, N, 16000, 1000.0, store[:N], store[N:])
    bm, env = model(x, 16000, 1000.0)[:2]
    np.testing.assert_array_equal(store, np.concatenate([bm, env]))


@pytest.mark.parametrize("args", [
    (np.ones(N), N, 16000, 1000.0),                   # no bm
    (np.ones(N), N, 16000, 1000.0, *[np.empty(N)] * 5),  # one too many
])
def test_argument_count(args):
    with pytest.raises(TypeError):
        gammatone_c.gammatone_c(*args)


def test_keywords_are_refused():
    with pytest.raises(TypeError):
        gammatone_c.gammatone_c(np.ones(N), N, 16000, 1000.0, bm=np.empty(N))


def test_exports_exactly_the_four_entry_points():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    out = subprocess.run([nm, "-D", "--defined-only", gammatone_c.__file__],
                         capture_output=True, text=True, check=True).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert names == {"gammatone_c", "createDoubleMatrix", "freeMatrix", "PyInit_gammatone_c"}
