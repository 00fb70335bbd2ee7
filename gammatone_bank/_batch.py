"""Corpus runs: cochleagram features for many files, on Dask."""

from collections.abc import Sequence


def main(argv: Sequence[str]) -> int:
    """Entry point of ``gammatone-bank batch``."""
    raise NotImplementedError("gammatone-bank batch")
