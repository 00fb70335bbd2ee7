"""Gammatone filterbanks built on the single-channel ``gammatone_c`` filter.

- :func:`erb_space`: centre frequencies equally spaced on the ERB-number scale.
- :func:`filterbank`: one channel per centre frequency as (channels x samples)
  arrays, channels filtered in parallel threads.
- :func:`cochleagram`: the level in dB of each channel, frame by frame.

``python -m gammatone_bank`` draws a cochleagram of a sound file.
"""

from gammatone_bank._bank import (
    Filterbank,
    cochleagram,
    erb_number,
    erb_space,
    filterbank,
    frame_levels,
)
from gammatone_bank._batch import batch
from gammatone_bank._gain import cf_gain
from gammatone_bank._stream import CochleagramStream, Stream

__all__ = [
    "CochleagramStream",
    "Filterbank",
    "Stream",
    "batch",
    "cf_gain",
    "cochleagram",
    "erb_number",
    "erb_space",
    "filterbank",
    "frame_levels",
]
