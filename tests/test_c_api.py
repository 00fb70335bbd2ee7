"""The plain C entry points, called through ctypes on the module's own shared
object: the kernel with every rectification flag and every combination of
optional outputs, calls that must write nothing, and the buffer helpers at
their limits.  Under the sanitizer build every out-of-bounds access here is
reported as well.

Buffers that the kernel may write are cut from a larger guarded block, so a
write outside the first nsamples elements is seen as a changed guard.
"""

import ctypes
import itertools

import numpy as np
import pytest

import model
from helpers import bits, ptr

FS, CF = 16000, 1000.0
N = 300          # longer than one block of the kernel, short for the model
GUARD = 16       # guard elements on each side of a buffer


class Guarded:
    """n doubles with GUARD sentinel doubles on each side.

    The sentinels are NaNs with distinct payloads, which no arithmetic of
    the kernel produces, so any write over them shows.
    """

    def __init__(self, n, fill=None):
        self.n = n
        self.block = np.arange(2 * GUARD + n, dtype=np.int64) | np.int64(0x7FF4_0000_0000_0000)
        self.block = self.block.view(np.float64)
        self.sentinel = self.block.copy()
        self.data = self.block[GUARD:GUARD + n]
        if fill is not None:
            self.data[:] = fill
            self.sentinel[GUARD:GUARD + n] = fill

    def guards_intact(self):
        return np.array_equal(bits(self.block[:GUARD]), bits(self.sentinel[:GUARD])) and \
            np.array_equal(bits(self.block[GUARD + self.n:]), bits(self.sentinel[GUARD + self.n:]))

    def untouched(self):
        return np.array_equal(bits(self.block), bits(self.sentinel))


@pytest.fixture
def signal(rng):
    return rng.standard_normal(N)


def call(lib, x, n, hrect, outputs, fs=FS, cf=CF):
    """Run the kernel on Guarded x and outputs (None = NULL)."""
    lib.gammatone_c(ptr(x.data), n, fs, cf, hrect, *(ptr(o.data) if o else None for o in outputs))


@pytest.mark.parametrize("hrect", [1, 0, 2, -1])
def test_every_rectification_flag_matches_model(lib, signal, hrect):
    x = Guarded(N, signal)
    outs = [Guarded(N) for _ in range(4)]
    call(lib, x, N, hrect, outs)
    expected = model.gammatone(signal.tolist(), FS, CF, hrect=hrect)
    for out, want in zip(outs, expected):
        assert np.array_equal(bits(out.data), bits(want))
        assert out.guards_intact()
    assert x.untouched()
    if hrect == 1:
        assert not np.any(outs[0].data < 0)
        assert np.any(outs[0].data == 0)
    else:
        assert np.any(outs[0].data < 0)


def test_rectification_keeps_negative_zeros(lib, signal):
    """Before the first non-zero sample bm is 0 times the oscillator, -0.0
    wherever both its components are negative.  hrect=1 replaces only values
    below zero, so those -0.0 stay -0.0 and negatives become +0.0."""
    x = np.zeros(N)
    x[100:200] = signal[:100]
    plain, rect = Guarded(N), Guarded(N)
    call(lib, Guarded(N, x), N, 0, [plain, None, None, None])
    call(lib, Guarded(N, x), N, 1, [rect, None, None, None])
    assert np.count_nonzero(bits(plain.data) == bits(-0.0)) > 10
    assert np.array_equal(bits(rect.data), bits(np.where(plain.data < 0, 0.0, plain.data)))
    assert np.array_equal(bits(rect.data), bits(model.gammatone(x.tolist(), FS, CF, hrect=1)[0]))


@pytest.mark.parametrize("wanted", list(itertools.product([False, True], repeat=3)),
                         ids=lambda w: "".join("EPF"[i] if on else "-" for i, on in enumerate(w)))
def test_null_optional_outputs(lib, signal, wanted):
    """Each optional output may be NULL, in any combination; NULL ones are not
    computed and the others are as with every output requested."""
    x = Guarded(N, signal)
    outs = [Guarded(N)] + [Guarded(N) if w else None for w in wanted]
    call(lib, x, N, 0, outs)
    expected = model.gammatone(signal.tolist(), FS, CF, want_env=wanted[0],
                               want_instp=wanted[1], want_instf=wanted[2])
    for out, want in zip(outs, expected):
        assert (out is None) == (want is None)
        if out is not None:
            assert np.array_equal(bits(out.data), bits(want))
            assert out.guards_intact()
    assert x.untouched()


def test_instf_without_instp_equals_instf_with_it(lib, signal):
    x = Guarded(N, signal)
    alone, with_phase, phase = Guarded(N), Guarded(N), Guarded(N)
    bm = Guarded(N)
    call(lib, x, N, 0, [bm, None, None, alone])
    call(lib, x, N, 0, [bm, None, phase, with_phase])
    assert np.array_equal(bits(alone.data), bits(with_phase.data))
    assert alone.guards_intact()


@pytest.mark.parametrize("n", [1, 2, 255, 256, 257])
def test_nsamples_at_block_edges_writes_exactly_n(lib, signal, n):
    """Only the first n elements of each output are written, at lengths
    around the kernel's internal block size."""
    x = Guarded(n, signal[:n])
    outs = [Guarded(n) for _ in range(4)]
    call(lib, x, n, 1, outs)
    expected = model.gammatone(signal[:n].tolist(), FS, CF, hrect=1)
    for out, want in zip(outs, expected):
        assert np.array_equal(bits(out.data), bits(want))
        assert out.guards_intact()


@pytest.mark.parametrize("n", [0, -1, -256, -(2**31)])
@pytest.mark.parametrize("hrect", [0, 1])
def test_no_samples_writes_nothing(lib, signal, n, hrect):
    x = Guarded(8, signal[:8])
    outs = [Guarded(8) for _ in range(4)]
    call(lib, x, n, hrect, outs)
    for buf in [x, *outs]:
        assert buf.untouched()


@pytest.mark.parametrize("fs, cf", [(0, 1000.0), (-1, 1000.0), (1, 1e308), (16000, np.nan),
                                    (2**31 - 1, -1e308), (16000, np.inf)])
def test_unchecked_rates_stay_in_bounds(lib, signal, fs, cf):
    """The kernel checks no rate or frequency: nonsense values give
    non-finite results but never a write out of bounds."""
    x = Guarded(20, signal[:20])
    outs = [Guarded(20) for _ in range(4)]
    call(lib, x, 20, 0, outs, fs=fs, cf=cf)
    for out in outs:
        assert out.guards_intact()
    assert x.untouched()


# --------------------------------------------------------------------------
# createDoubleMatrix and freeMatrix.

def as_array(p, count):
    return np.ctypeslib.as_array(p, shape=(count,))


@pytest.mark.parametrize("rows, cols", [(0, 0), (0, 5), (5, 0), (0, 2**31 - 1)])
def test_empty_matrix_is_null_or_freeable(lib, rows, cols):
    p = lib.createDoubleMatrix(rows, cols)
    lib.freeMatrix(p)    # NULL or a real block: freeMatrix takes both


@pytest.mark.parametrize("rows, cols", [(3, 4), (1, 1), (1, 1000), (1000, 3)])
def test_matrix_is_zero_filled(lib, rows, cols):
    p = lib.createDoubleMatrix(rows, cols)
    assert p
    try:
        block = as_array(p, rows * cols)
        assert np.array_equal(bits(block), np.zeros(rows * cols, np.int64))   # all +0.0
        block[:] = 1.0                       # every element is writable
    finally:
        lib.freeMatrix(p)


@pytest.mark.parametrize("rows, cols", [(-1, 4), (4, -1), (-1, -1), (-(2**31), 1),
                                        (1, -(2**31)), (-(2**31), -(2**31)), (-2, 0)])
def test_negative_dimension_is_null(lib, rows, cols):
    assert not lib.createDoubleMatrix(rows, cols)


@pytest.mark.parametrize("rows, cols", [
    (65536, 65537),            # 2**32 + 65536 elements: a 32-bit product would be 65536
    (46341, 46341),            # just past 2**31 elements: a 32-bit product is negative
    (2**31 - 1, 2**31 - 1),    # the byte count overflows size_t
])
def test_matrix_past_int32_is_null_or_whole(lib, rows, cols):
    """A count past the int range is either refused or fully allocated: the
    last element exists and reads +0.0."""
    p = lib.createDoubleMatrix(rows, cols)
    if not p:
        return
    try:
        last = ctypes.cast(ctypes.addressof(p.contents) + 8 * (rows * cols - 1),
                           ctypes.POINTER(ctypes.c_double))
        assert bits(last[0]) == 0
    finally:
        lib.freeMatrix(p)


def test_free_null_does_nothing(lib):
    lib.freeMatrix(None)
    lib.freeMatrix(ctypes.POINTER(ctypes.c_double)())


def test_matrix_serves_as_kernel_buffers(lib, signal):
    """Blocks from createDoubleMatrix hold exactly n samples; under the
    sanitizer any access past them is reported."""
    n = 40
    blocks = [lib.createDoubleMatrix(1, n) for _ in range(5)]
    try:
        x, *outs = (as_array(p, n) for p in blocks)
        x[:] = signal[:n]
        lib.gammatone_c(blocks[0], n, FS, CF, 0, *blocks[1:])
        expected = model.gammatone(signal[:n].tolist(), FS, CF)
        for out, want in zip(outs, expected):
            assert np.array_equal(bits(out), bits(want))
    finally:
        for p in blocks:
            lib.freeMatrix(p)
