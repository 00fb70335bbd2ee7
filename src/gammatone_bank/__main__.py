"""``python -m gammatone_bank``: the cochleagram command line."""

from gammatone_bank.cli import main

raise SystemExit(main())
