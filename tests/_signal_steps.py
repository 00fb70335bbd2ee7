"""Run a command of the command line once per file-system step, with a real
signal raised right after that step: after the k-th successful call of
os.open, os.fdopen, os.replace, os.close, os.unlink or fcntl.flock, in run
k = 1, 2, ... until a run ends without reaching step k, after a first
run without a signal (run0) that imports whatever the command imports.

    python -P _signal_steps.py SIGNUM WORKDIR ARGS...

Each run works in WORKDIR/run<k> (a copy of WORKDIR/template); prints one
JSON line per run: {"k", "status", "stdout", "stderr", "escaped"}, where
escaped is the exception that left the command, if any.
"""

import fcntl
import io
import json
import os
import shutil
import signal
import sys

import gammatone_bank.cli as cli

signum, work, argv = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
calls = 0
target = 0


def stepping(real):
    def step(*args, **kwargs):
        global calls
        result = real(*args, **kwargs)
        calls += 1
        if calls == target:
            signal.raise_signal(signum)
        return result

    return step


for module, name in ((os, "open"), (os, "fdopen"), (os, "replace"), (os, "close"), (os, "unlink"),
                     (fcntl, "flock")):
    setattr(module, name, stepping(getattr(module, name)))

real_stdout, real_stderr = sys.stdout, sys.stderr
for k in range(500):
    folder = os.path.join(work, f"run{k}")
    shutil.copytree(os.path.join(work, "template"), folder, symlinks=True)
    os.chdir(folder)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    sys.stdout, sys.stderr = io.StringIO(), io.StringIO()
    calls, target, escaped, status = 0, k, "", None
    try:
        status = cli.main(argv)
    except BaseException as exc:  # noqa: BLE001  (reported, for the test to fail on)
        escaped = repr(exc)
    finally:
        out, err = sys.stdout.getvalue(), sys.stderr.getvalue()
        sys.stdout, sys.stderr = real_stdout, real_stderr
        os.chdir(work)
    print(json.dumps({"k": k, "status": status, "stdout": out, "stderr": err, "escaped": escaped}), flush=True)
    if k and calls < k:  # the run ended before step k: every step has had its signal
        break
