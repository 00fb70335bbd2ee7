"""Analysis parameters shared by batch() and the command line: their defaults,
their checks and the band of centre frequencies a sample rate can hold.

The command line's option parsers wrap these checks, so both sides refuse
the same values for the same reasons.
"""

import json
from dataclasses import asdict, dataclass

from gammatone_bank import _checks
from gammatone_bank._frames import _frame_samples
from gammatone_bank._checks import MAX_CHANNELS

DEFAULT_CHANNELS = 64
DEFAULT_LOW = 50.0
DEFAULT_HIGH = 8000.0
# When the default top does not fit below fs/2 it drops to this fraction of
# the sample rate, which keeps the top channel's passband clear of fs/2.
HIGH_FRACTION = 0.45
FRAME = 0.025
HOP = 0.010
# A bound that no analysis comes near, so that a slip (a frame of 1e300 s)
# is refused up front instead of failing every file.  Channels have the
# library's one limit, MAX_CHANNELS.
MAX_SECONDS = 3600.0
# What a features file may hold, in the order its keys are listed.  The
# levels are always there; ihc (channels x samples) only where full-rate
# outputs are asked for (--full).
FEATURE_KEYS = ("levels", "gfcc", "ratemap", "ihc")
DEFAULT_FEATURES = ("levels",)


class BatchError(ValueError):
    """A run refused before any work: bad inputs, parameters or output directory."""


def default_high(fs: float) -> float:
    """The top centre frequency when none is asked for: 8000 Hz, or 0.45 fs when lower."""
    return min(DEFAULT_HIGH, HIGH_FRACTION * fs)


def band(low: float, high: float | None, fs: int) -> tuple[float, float]:
    """The centre-frequency range for a sample rate, or ValueError saying what to pass.

    The messages name the arguments as batch() takes them (``low=``,
    ``high=``); the command line words them as its options.
    """
    nyquist = fs / 2
    if high is None:
        high = default_high(fs)
        if low >= nyquist:
            raise ValueError(
                f"low={low:g} Hz is not below half the sample rate "
                f"({nyquist:g} Hz for this {fs} Hz input)"
            )
        if low >= high:
            why = "" if high == DEFAULT_HIGH else f" ({HIGH_FRACTION:g} x the {fs} Hz sample rate)"
            raise ValueError(
                f"low={low:g} Hz is not below the default high={high:g} Hz{why}: "
                f"pass high= above {low:g} and below {nyquist:g} Hz"
            )
    elif high >= nyquist:
        raise ValueError(
            f"high={high:g} Hz needs a sample rate above {2 * high:g} Hz; "
            f"the input's is {fs} Hz (use high= below {nyquist:g})"
        )
    elif low >= high:
        raise ValueError(f"low={low:g} Hz must be below high={high:g} Hz")
    return low, high


def frame_lengths(fs: int, frame: float, hop: float) -> tuple[int, int]:
    """Frame and hop in samples, or ValueError naming the option that is too short."""
    try:
        return _frame_samples(fs, frame, hop)
    except ValueError:
        name, seconds = ("frame", frame) if round(frame * fs) < 1 else ("hop", hop)
        raise ValueError(
            f"--{name} {seconds:g} s is less than one sample at {fs} Hz (use at least {1 / fs:.3g} s)"
        ) from None


@dataclass(frozen=True)
class Params:
    """The analysis parameters as asked for: `high` None is the per-file default."""

    channels: int
    low: float
    high: float | None
    frame: float
    hop: float
    channel: int | None
    normalize: bool
    features: tuple[str, ...] = DEFAULT_FEATURES

    def __post_init__(self) -> None:
        # Read back from JSON as a list.
        object.__setattr__(self, "features", tuple(self.features))

    def key(self) -> str:
        """The canonical text stored with the features, compared on reruns.

        The default features are left out, so that the files of runs made
        before features could be chosen keep matching.
        """
        fields = asdict(self)
        if self.features == DEFAULT_FEATURES:
            del fields["features"]
        return json.dumps(fields, sort_keys=True)


def check_features(features: object, full: bool = False) -> tuple[str, ...]:
    """The features asked for, levels first and in FEATURE_KEYS order.

    features: names, or one string of them separated by commas.  The
    levels are always included.  ihc only with ``full``.  ValueError naming
    the unknown name or the fix.
    """
    if isinstance(features, str):
        names = [name.strip() for name in features.split(",")]
    else:
        try:
            names = list(features)  # type: ignore[call-overload]
        except TypeError:
            raise ValueError(f"features must be names from {', '.join(FEATURE_KEYS)}, got {features!r}") from None
    for name in names:
        if name not in FEATURE_KEYS:
            raise ValueError(f"unknown feature {name!r} (choose from {', '.join(FEATURE_KEYS)})")
    if "ihc" in names and not full:
        raise ValueError("features: ihc is full-rate (channels x samples) and is written only by the "
                         "single-file command, with --save and --full")
    return tuple(name for name in FEATURE_KEYS if name in names or name == "levels")


def check_params(
    channels: int, low: float, high: float | None, frame: float, hop: float,
    channel: int | None, normalize: bool, features: object = DEFAULT_FEATURES,
) -> Params:
    """The parameters of batch(), checked: TypeError for a wrong kind, ValueError
    for a wrong value, each naming the argument."""
    lo = _checks.positive("low", low)
    hi = None if high is None else _checks.positive("high", high)
    if hi is not None and hi <= lo:
        raise ValueError(f"high must be above low ({lo:g}), got {high!r}")
    _checks.flag("normalize", normalize)
    n = _checks.count("channels", channels, 2, MAX_CHANNELS)
    seconds = {}
    for name, value in (("frame", frame), ("hop", hop)):
        seconds[name] = _checks.positive(name, value)
        if seconds[name] > MAX_SECONDS:
            raise ValueError(f"{name} must be at most {MAX_SECONDS:g} s, got {value!r}")
    return Params(
        channels=n, low=lo, high=hi, frame=seconds["frame"], hop=seconds["hop"],
        channel=None if channel is None else _checks.count("channel", channel, 0),
        normalize=bool(normalize), features=check_features(features),
    )
