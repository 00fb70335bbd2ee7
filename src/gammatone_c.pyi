"""Gammatone filter implemented in C.

One call runs a fourth-order gammatone filter over one channel of samples and
writes the results into arrays the caller owns.
"""

import numpy as np
from numpy.typing import ArrayLike, NDArray

def gammatone_c(
    x: ArrayLike,
    nsamples: int,
    fs: int,
    cf: float,
    bm: NDArray[np.float64],
    env: NDArray[np.float64] | None = ...,
    instp: NDArray[np.float64] | None = ...,
    instf: NDArray[np.float64] | None = ...,
    /,
) -> None:
    """Apply gammatone filter to a signal.

    Filters the first ``nsamples`` samples of ``x`` (sampled at ``fs`` Hz)
    with a fourth-order gammatone filter centred on ``cf`` Hz and writes
    ``bm[:nsamples]`` (the filtered signal) and, when given, ``env`` (its
    envelope), ``instp`` (unwrapped instantaneous phase, radians) and
    ``instf`` (instantaneous frequency, Hz).  Elements from ``nsamples`` on
    are left untouched.  Returns None.

    - Arguments are positional only.  ``None`` in an optional position means
      that output is not requested; ``instf`` may be requested without
      ``instp`` by passing ``None`` for ``instp``.
    - ``x`` is any array_like convertible to float64.  ``bm``, ``env``,
      ``instp`` and ``instf`` must be writable, aligned, C-contiguous float64
      ndarrays of at least ``nsamples`` elements (TypeError for another type
      or dtype, ValueError otherwise), and must not overlap one another;
      ``x`` may be ``bm`` itself to filter in place.
    - ValueError for ``nsamples < 0``, ``fs <= 0`` or a non-finite ``cf``;
      OverflowError when ``nsamples`` or ``fs`` do not fit a 32-bit int.
    - Every call starts from rest: nothing is kept between calls.
    - The interpreter lock is released while filtering, so threads can
      filter different channels at the same time.
    """
