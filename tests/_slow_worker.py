"""Dask worker preload for the batch tests: slow tasks, and a log of their starts.

Loaded into a worker process (``dask worker --preload``, or the config
variable DASK_DISTRIBUTED__WORKER__PRELOAD for a local cluster's workers), it
wraps the sound reader the batch task uses so that every block read sleeps
GAMMATONE_TEST_SLOW seconds, and appends "pid path" to the file
GAMMATONE_TEST_LOG when a task opens its input.  A test can then kill a worker
or interrupt a run while tasks are in the middle of writing.
"""

import os
import time
from contextlib import contextmanager

from gammatone_bank import _batch

DELAY = float(os.environ.get("GAMMATONE_TEST_SLOW", "0"))
LOG = os.environ.get("GAMMATONE_TEST_LOG")
# Dask may run a preload more than once in a process: wrap the reader only once.
_open_sound = getattr(_batch.open_sound, "wrapped", _batch.open_sound)


@contextmanager
def _slow_open_sound(path, **kwargs):
    if LOG:
        with open(LOG, "a") as f:
            f.write(f"{os.getpid()} {path}\n")
    with _open_sound(path, **kwargs) as (audio, blocks):

        def slow():
            for x in blocks:
                time.sleep(DELAY)
                yield x

        yield audio, slow()


_slow_open_sound.wrapped = _open_sound
_batch.open_sound = _slow_open_sound
