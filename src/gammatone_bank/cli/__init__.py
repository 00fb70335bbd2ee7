"""Command line: ``gammatone-bank`` (or ``python -m gammatone_bank``).

Without a subcommand it draws the cochleagram of one sound file; each
subcommand is a module of this package with a ``main(argv)``, imported only
when it is asked for.
"""

import importlib
import sys
from collections.abc import Sequence

# Subcommand -> the module that runs it.
COMMANDS = {
    "batch": "gammatone_bank.cli._batch",
}
DEFAULT = "gammatone_bank.cli._analyse"


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of ``gammatone-bank`` and ``python -m gammatone_bank``."""
    args = list(sys.argv[1:] if argv is None else argv)
    name = COMMANDS.get(args[0]) if args else None
    module = importlib.import_module(name or DEFAULT)
    status: int = module.main(args[1:] if name else args)
    return status
