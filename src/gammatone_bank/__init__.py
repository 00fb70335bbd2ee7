"""Gammatone filterbanks: every channel bit for bit the single-channel
``gammatone_c`` filter, many channels at once in SIMD lanes.

- :func:`erb_space`: centre frequencies equally spaced on the ERB-number scale.
- :func:`filterbank`: one channel per centre frequency as (channels x samples)
  arrays, groups of channels filtered on parallel threads.
- :func:`cochleagram`: the level in dB of each channel, frame by frame, in
  memory that follows the frames, not the samples.
- :class:`Stream`, :class:`CochleagramStream`: the same fed one chunk at a
  time, with every channel's state kept from chunk to chunk.
- :func:`cf_gain`: each channel's gain at its own centre frequency.
- :func:`batch`: cochleagram features of many files on Dask.
- :func:`load_features`: read a features file (of ``--save`` or :func:`batch`).

``python -m gammatone_bank`` draws a cochleagram of a sound file;
``python -m gammatone_bank batch`` analyses a corpus.
"""

from gammatone_bank._bank import (
    Filterbank,
    erb_number,
    erb_space,
    filterbank,
    frame_levels,
)
from gammatone_bank._batch import batch
from gammatone_bank._cochleagram import cochleagram
from gammatone_bank._features import Features, load_features
from gammatone_bank._gain import cf_gain
from gammatone_bank._stream import CochleagramStream, Stream

__all__ = [
    "CochleagramStream",
    "Features",
    "Filterbank",
    "Stream",
    "batch",
    "cf_gain",
    "cochleagram",
    "erb_number",
    "erb_space",
    "filterbank",
    "frame_levels",
    "load_features",
]
