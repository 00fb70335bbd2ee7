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
- :func:`frequency_response`, :func:`impulse_response`, :func:`group_delay`,
  :func:`bandwidths`: each channel's response, to inspect the bank.
- :func:`resynthesize`, :class:`ResynthesisStream`: the channels summed back
  into a signal, zero-phase or causal, optionally under a time-frequency
  mask; :func:`resynthesis_design` shows each channel's delay and weight.
- :func:`ideal_binary_mask`, :func:`ideal_ratio_mask`: masks on cochleagram
  frames from a target and an interference.
- :func:`ihc_envelope`, :func:`ratemap`, :func:`gfcc`: auditory features
  on the bank (inner-hair-cell envelope, ratemap, gammatone cepstral
  coefficients), and :class:`FeatureStream` for any of them in chunks.
- :func:`batch`: cochleagram features of many files on Dask.
- :func:`load_features`: read a features file (of ``--save`` or :func:`batch`).

``python -m gammatone_bank`` draws a cochleagram of a sound file;
``python -m gammatone_bank batch`` analyses a corpus;
``python -m gammatone_bank response`` draws the bank's frequency response.
"""

import importlib
from typing import TYPE_CHECKING, Any

# Where each public name lives.  They are imported on first use, so that
# ``python -m gammatone_bank`` reaches its signal handlers before NumPy and
# the engine load: a Ctrl-C in the first moments gets the same one line as
# later.  ``import gammatone_bank`` alone stays cheap.
_WHERE = {
    "CochleagramStream": "_stream", "Stream": "_stream",
    "Features": "_features", "load_features": "_features",
    "Filterbank": "_bank", "filterbank": "_bank",
    "erb_number": "_scale", "erb_space": "_scale", "frame_levels": "_frames",
    "ResynthesisDesign": "_resynth", "ResynthesisStream": "_resynth",
    "resynthesis_design": "_resynth", "resynthesize": "_resynth",
    "batch": "_batch", "cf_gain": "_gain", "cochleagram": "_cochleagram",
    "ideal_binary_mask": "_masks", "ideal_ratio_mask": "_masks",
    "bandwidths": "_response", "frequency_response": "_response", "group_delay": "_response",
    "impulse_response": "_response",
    "FeatureStream": "_auditory", "gfcc": "_auditory", "ihc_envelope": "_auditory", "ratemap": "_auditory",
}

if TYPE_CHECKING:
    from gammatone_bank._auditory import FeatureStream, gfcc, ihc_envelope, ratemap
    from gammatone_bank._bank import Filterbank, filterbank
    from gammatone_bank._batch import batch
    from gammatone_bank._cochleagram import cochleagram
    from gammatone_bank._features import Features, load_features
    from gammatone_bank._frames import frame_levels
    from gammatone_bank._gain import cf_gain
    from gammatone_bank._masks import ideal_binary_mask, ideal_ratio_mask
    from gammatone_bank._scale import erb_number, erb_space
    from gammatone_bank._response import bandwidths, frequency_response, group_delay, impulse_response
    from gammatone_bank._resynth import ResynthesisDesign, ResynthesisStream, resynthesis_design, resynthesize
    from gammatone_bank._stream import CochleagramStream, Stream


def __getattr__(name: str) -> Any:
    try:
        module = _WHERE[name]
    except KeyError:
        raise AttributeError(f"module 'gammatone_bank' has no attribute {name!r}") from None
    value = getattr(importlib.import_module(f"gammatone_bank.{module}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})


__all__ = [
    "CochleagramStream",
    "FeatureStream",
    "Features",
    "Filterbank",
    "ResynthesisDesign",
    "ResynthesisStream",
    "Stream",
    "bandwidths",
    "batch",
    "cf_gain",
    "cochleagram",
    "erb_number",
    "erb_space",
    "filterbank",
    "frame_levels",
    "frequency_response",
    "gfcc",
    "group_delay",
    "ideal_binary_mask",
    "ideal_ratio_mask",
    "ihc_envelope",
    "impulse_response",
    "load_features",
    "ratemap",
    "resynthesis_design",
    "resynthesize",
]
