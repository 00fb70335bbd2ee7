"""Multi-channel gammatone engine with state kept across calls."""

import numpy as np
from numpy.typing import NDArray

_Out = NDArray[np.float64] | None

class Engine:
    """The state of one gammatone channel per centre frequency, carried from call to call."""

    def __init__(
        self,
        fs: int,
        cfs: NDArray[np.float64],
        *,
        phase: bool = ...,
        frame_len: int = ...,
        hop_len: int = ...,
        simd: str | None = ...,
        weights: NDArray[np.complex128] | None = ...,
        signals: int = ...,
        lowpass: tuple[int, float, float] | None = ...,
    ) -> None: ...
    @property
    def simd(self) -> str: ...
    @property
    def width(self) -> int: ...
    @property
    def signals(self) -> int: ...
    @property
    def groups(self) -> int: ...
    @property
    def samples(self) -> int: ...
    def process(
        self, x: NDArray[np.float64], g0: int, g1: int, /, *, bm: _Out = ..., env: _Out = ...,
        instp: _Out = ..., instf: _Out = ..., frames: _Out = ..., analytic: _Out = ..., weighted: _Out = ...,
        ihc: _Out = ...,
    ) -> None: ...
    def partial(self, g0: int, g1: int, frames: NDArray[np.float64], /) -> int: ...
    def copy(self) -> Engine: ...

def targets() -> tuple[str, ...]:
    """The SIMD targets this CPU can run, narrowest first."""

def levels() -> tuple[str, ...]:
    """The same as targets(), by its former name."""

def simd() -> str:
    """The target new engines use: GAMMATONE_BANK_SIMD, or the fastest on this CPU."""

def timings() -> dict[str, float]:
    """The timing that chose the default target: each available target's time
    relative to the fastest's, the median over interleaved rounds."""

def integrate(
    y: NDArray[np.float64], state: NDArray[np.float64], a: float, c: float, sums: NDArray[np.float64],
    t0: int, frame_len: int, hop_len: int, out: _Out, /,
) -> None: ...
def project(m: NDArray[np.float64], e: NDArray[np.float64], out: NDArray[np.float64], /) -> None: ...
def delta(c: NDArray[np.float64], d: NDArray[np.float64], left: bool, right: bool, /) -> None: ...
