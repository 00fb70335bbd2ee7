"""Type-checked use of both modules: one channel by hand, then a filterbank.

Run with ``python examples/typed_example.py``; ``mypy --strict`` checks it.
"""

import numpy as np
from numpy.typing import NDArray

import gammatone_c
from gammatone_bank import Filterbank, cochleagram, erb_space, filterbank


def one_channel(x: NDArray[np.float64], fs: int, cf: float) -> NDArray[np.float64]:
    """The envelope of x around cf, from a direct call of the extension."""
    bm = np.empty_like(x)
    env = np.empty_like(x)
    gammatone_c.gammatone_c(x, x.size, fs, cf, bm, env)
    return env


def main() -> None:
    fs = 16000
    x = np.random.default_rng(0).standard_normal(fs)
    cfs = erb_space(100.0, 6000.0, 32)
    bank: Filterbank = filterbank(x, fs, cfs, env=True)
    assert bank.env is not None
    # Row 10 of the bank is the same computation as a lone call.
    same = np.array_equal(bank.env[10], one_channel(x, fs, float(cfs[10])))
    level = cochleagram(x, fs, cfs)
    print(f"{bank.bm.shape[0]} channels, row equal to a lone call: {same}, "
          f"levels {level.min():.1f} to {level.max():.1f} dB")


if __name__ == "__main__":
    main()
