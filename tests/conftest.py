import ctypes
import platform
import subprocess

import numpy as np
import pytest

import gammatone_c
from gammatone_bank import _engine
from helpers import DOUBLE_P


def pytest_report_header(config):
    try:
        cxx = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout
        cxx = cxx.splitlines()[0]
    except (OSError, IndexError):
        cxx = "unknown"
    return [
        f"python {platform.python_version()}, numpy {np.__version__}, compiler: {cxx}",
        f"gammatone_c from {gammatone_c.__file__}",
    ]


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


@pytest.fixture(params=_engine.targets())
def target(request, monkeypatch):
    """Run the test with every engine forced to one SIMD target."""
    monkeypatch.setenv("GAMMATONE_BANK_SIMD", request.param)
    assert _engine.simd() == request.param
    return request.param


@pytest.fixture(scope="session")
def lib():
    """The module's own shared object, for its plain C entry points."""
    so = ctypes.CDLL(gammatone_c.__file__)
    so.gammatone_c.restype = None
    so.gammatone_c.argtypes = [
        DOUBLE_P, ctypes.c_int, ctypes.c_int, ctypes.c_double, ctypes.c_int,
        DOUBLE_P, DOUBLE_P, DOUBLE_P, DOUBLE_P,
    ]
    so.createDoubleMatrix.restype = DOUBLE_P
    so.createDoubleMatrix.argtypes = [ctypes.c_int, ctypes.c_int]
    so.freeMatrix.restype = None
    so.freeMatrix.argtypes = [DOUBLE_P]
    return so

