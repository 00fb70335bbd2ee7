"""The Dask side of a corpus run: the cluster (embedded or reached at an
address), the tasks submitted in groups, the progress bar, the outcomes
collected as they come, and stopping or cancelling at the end."""

import ast
import logging
import os
import secrets
import signal
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from contextlib import ExitStack, contextmanager
from dataclasses import dataclass
from types import FrameType
from typing import TYPE_CHECKING, Any

from gammatone_bank._files import remove_temporaries
from gammatone_bank._outdir import Job, OutDir, Row
from gammatone_bank._params import BatchError, Params
from gammatone_bank._signals import signals_ignored

if TYPE_CHECKING:
    from distributed import Client, Future

# Short files are handed out several to a task, so that Dask's own cost per
# task (a few ms of scheduler and client time) stays small against the work:
# a task takes files, largest first, until they add up to this many bytes
# (about 9 minutes of 16-bit mono at 16 kHz, a second or so of work) or to a
# quarter of a worker's share of the corpus, whichever is less, so that every
# worker still gets several tasks.
TASK_BYTES = 16 << 20
TASK_FILES = 64
# While a run goes on, the manifest is rewritten at most this often (seconds),
# so that a client that dies outright still leaves most of it behind.
MANIFEST_EVERY = 60.0
# With --scheduler and --workers N, how long the run waits for N workers to
# join before it is refused: room for a cluster that is still starting.
WORKERS_WAIT = 600.0


class BatchInterrupted(KeyboardInterrupt):
    """The run was interrupted; ``result`` holds what finished before it stopped.

    ``signum`` is the signal that stopped it: SIGINT (Ctrl-C), or SIGTERM
    when the command line was terminated.
    """

    def __init__(self, result: "BatchResult", signum: int = signal.SIGINT) -> None:
        super().__init__()
        self.result = result
        self.signum = signum


@dataclass(frozen=True)
class BatchResult:
    """What :func:`batch` did: one row per input of the run."""

    rows: tuple[Row, ...]
    inputs: int       # inputs in the run (more than rows when interrupted)
    out_dir: str
    manifest: str
    seconds: float
    workers: int
    manifest_error: str = ""  # why the manifest could not be written, if it could not

    def count(self, status: str) -> int:
        return sum(row.status == status for row in self.rows)

    @property
    def done(self) -> int:
        return self.count("done")

    @property
    def skipped(self) -> int:
        return self.count("skipped")

    @property
    def failed(self) -> int:
        return self.count("failed")

    @property
    def audio_seconds(self) -> float:
        """Seconds of audio analysed by this run (inputs done, not skipped)."""
        return sum(row.audio_seconds or 0.0 for row in self.rows if row.status == "done")

    @property
    def summary(self) -> str:
        return (
            f"{len(self.rows)} inputs: {self.done} done, {self.skipped} skipped, "
            f"{self.failed} failed; {self.audio_seconds / 3600:.3f} h of audio analysed in "
            f"{self.seconds:.1f} s on {self.workers} workers; manifest {self.manifest}"
        )



class GroupError(Exception):
    """Some input of a task raised; ``args[0]`` holds every input's row.

    Raised so that Dask retries the task (the inputs already done are found
    done again at once); after the last retry the client takes the rows
    from it, the failures' reasons among them.
    """


def _groups(jobs: Sequence[Job], workers: int) -> list[list[Job]]:
    """The jobs, largest first, packed into tasks (see TASK_BYTES)."""
    order = sorted(jobs, key=lambda j: -j.size)
    share = sum(j.size for j in order) / (4 * max(workers, 1))
    target = max(1.0, min(TASK_BYTES, share))
    groups: list[list[Job]] = [[]]
    size = 0
    for job in order:
        if groups[-1] and (size >= target or len(groups[-1]) >= TASK_FILES):
            groups.append([])
            size = 0
        groups[-1].append(job)
        size += job.size
    return groups


# ------------------------------------------------------------------ the run


def task_reason(exc: BaseException) -> str:
    """One line for a task that raised (after its retries) or whose workers died."""
    from distributed import KilledWorker

    if isinstance(exc, KilledWorker):
        return "the worker processes running it died, repeatedly (out of memory?)"
    text = " ".join(str(exc).split())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def dask_setup(worker: object) -> None:
    """Preload hook of the embedded cluster's workers: leave SIGINT to the client."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


class Progress:
    """A tqdm bar on stderr: files done and left, audio hours analysed."""

    def __init__(self, total: int, enabled: bool | None) -> None:
        from tqdm import tqdm

        self.left = total
        self.hours = 0.0
        self.failed = 0
        self.bar = tqdm(
            total=total, unit="file", file=sys.stderr, disable=None if enabled is None else not enabled,
            bar_format="{l_bar}{bar}| {n_fmt}/{total_fmt} files [{elapsed}<{remaining}]{postfix}",
            dynamic_ncols=True, postfix=f"{total} left, 0.00 h audio",
        )

    def _show(self) -> None:
        failed = f", {self.failed} failed" if self.failed else ""
        self.bar.set_postfix_str(f"{self.left} left, {self.hours:.2f} h audio{failed}", refresh=False)

    def add(self, row: Row) -> None:
        self.left -= 1
        if row.status == "done":
            self.hours += (row.audio_seconds or 0.0) / 3600
        self.failed += row.status == "failed"
        self._show()
        self.bar.update(1)

    def close(self) -> None:
        self.bar.close()


GUARD = 'if __name__ == "__main__":'


def _main_to_reimport() -> str | None:
    """The file of the main module that a spawned worker process runs again, if any.

    As multiprocessing decides it: a package's __main__ (python -m pkg) is
    left alone, any other module is imported again by name, a script run
    again from its path; without a file (python -c, a notebook) nothing is.
    """
    main = sys.modules.get("__main__")
    name = getattr(getattr(main, "__spec__", None), "name", None)
    if name is not None and (name == "__main__" or name.endswith(".__main__")):
        return None
    path = getattr(main, "__file__", None)
    if not isinstance(path, str) or os.path.splitext(os.path.basename(path))[0] == "ipython":
        return None  # multiprocessing never runs IPython's launcher again
    return path


def _guarded(path: str, line: int) -> bool:
    """Whether line of the script at path lies in its main guard (True when unsure)."""
    try:
        with open(path, "rb") as f:
            tree = ast.parse(f.read())
    except (OSError, SyntaxError, ValueError):
        return True
    for node in tree.body:
        if node.lineno <= line <= (node.end_lineno or node.lineno):
            if not isinstance(node, ast.If):
                return False
            test = node.test
            if not (isinstance(test, ast.Compare) and len(test.ops) == 1 and isinstance(test.ops[0], ast.Eq)):
                return False
            sides = {ast.dump(test.left), ast.dump(test.comparators[0])}
            body = node.body[0].lineno <= line <= (node.body[-1].end_lineno or line)
            return body and sides == {ast.dump(ast.Name("__name__", ast.Load())),
                                      ast.dump(ast.Constant("__main__"))}
    return True


def check_main_guard() -> None:
    """Refuse to start the embedded cluster from an unguarded top level of the main script.

    Its worker processes are spawned and import the main script again, which
    would start a run of its own in every one of them and fail to start
    the workers.  BatchError naming the fix.
    """
    path = _main_to_reimport()
    main = sys.modules.get("__main__")
    if path is None or main is None or not os.path.isfile(path):
        return
    def top_level(frame: FrameType) -> bool:
        # The script's own top level (code it hands to exec() is looked through).
        return (frame.f_globals is vars(main) and frame.f_code.co_name == "<module>"
                and os.path.abspath(frame.f_code.co_filename) == os.path.abspath(path))

    frame: FrameType | None = sys._getframe(1)
    while frame is not None and not top_level(frame):
        frame = frame.f_back
    if frame is not None and not _guarded(path, frame.f_lineno):
        raise BatchError(
            f"batch() runs at the top level of {path} (line {frame.f_lineno}), which each of Dask's "
            f"worker processes imports again: put the call under {GUARD}"
        )


@contextmanager
def _spawnable_main() -> Iterator[None]:
    """Hide a main script that has no file (python - reads it from stdin) from
    the worker processes spawned meanwhile, which would fail to run it again."""
    main = sys.modules.get("__main__")
    path = _main_to_reimport()
    if main is None or path is None or os.path.isfile(path):
        yield
        return
    del main.__file__
    try:
        yield
    finally:
        main.__file__ = path


def _connect(scheduler: str | None, workers: int | None) -> tuple["Client", Any, int]:
    """A client of the embedded cluster or of the one at `scheduler`."""
    from distributed import Client, LocalCluster

    if scheduler is None:
        import dask

        count = workers or os.process_cpu_count() or 1
        # The workers are this process's children, in its process group: a
        # Ctrl-C in the terminal reaches them too, and they leave it to this
        # process, which cancels the work and closes the cluster.
        preload = [*dask.config.get("distributed.worker.preload", []), __name__]
        # The workers' own logs (a "Compute Failed" block for every task
        # that raised) would flood the terminal: each failure is one line of
        # the summary and one row of the manifest already.
        with _signals_deferred() as got:
            cluster = LocalCluster(
                n_workers=count, threads_per_worker=1, processes=True, host="127.0.0.1",
                dashboard_address=":0", silence_logs=logging.CRITICAL, preload=preload,
            )
        try:
            if got:  # now that the cluster can be closed in order
                signal.raise_signal(got[0])
            return Client(cluster), cluster, count
        except BaseException:
            cluster.close()
            raise
    import dask

    seconds = dask.utils.parse_timedelta(dask.config.get("distributed.comm.timeouts.connect"), "s")
    _probe(scheduler, seconds)
    try:
        client = Client(scheduler, timeout=seconds)
    except (OSError, TimeoutError, ValueError) as exc:
        raise BatchError(f"cannot reach the scheduler at {scheduler} ({task_reason(exc)})") from None
    try:
        if workers:
            try:
                client.wait_for_workers(workers, timeout=WORKERS_WAIT)
            except TimeoutError:
                joined = len(client.scheduler_info(n_workers=-1)["workers"])
                raise BatchError(f"only {joined} of the {workers} workers asked for joined the scheduler at "
                                 f"{scheduler} within {WORKERS_WAIT:g} s") from None
        count = len(client.scheduler_info(n_workers=-1)["workers"])
    except BaseException:
        client.close()
        raise
    return client, None, count


@contextmanager
def _signals_deferred() -> Iterator[list[int]]:
    """Hold Ctrl-C and SIGTERM back while the embedded cluster starts.

    A signal in the middle of LocalCluster() leaves it half started, and its
    nannies and workers print pages of tracebacks as they are torn down.
    So the signals are noted, not acted on, until the cluster is up, then
    raised again; SIGINT is also blocked, which the worker processes started
    meanwhile inherit, so the terminal's Ctrl-C never reaches them (they
    leave it to this process in any case).  Yields the signals that came.
    """
    from multiprocessing import resource_tracker

    # Started later, from the thread that spawns the workers, the resource
    # tracker would unblock SIGINT in that thread just before the workers
    # are spawned from it.
    resource_tracker.ensure_running()
    got: list[int] = []
    watched = (signal.SIGINT, signal.SIGTERM)
    try:
        previous = {signum: signal.signal(signum, lambda signum, frame: got.append(signum))
                    for signum in watched}
    except ValueError:  # not the main thread: signals go elsewhere anyway
        yield got
        return
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield got
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
        _let_handlers_run()  # a Ctrl-C held back by the mask lands in got
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _let_handlers_run() -> None:
    """A call boundary, where Python runs the handlers of signals that came."""


def _probe(address: str, seconds: float) -> None:
    """Ask the server at address what it is, within `seconds`, or BatchError.

    Client() waits without end on a server that takes the connection but
    never answers as a scheduler does (a listener that stays silent, a web
    server), whatever its timeouts say, so the first exchange is made here,
    under a bound.
    """
    import asyncio

    from distributed.comm import connect

    async def identity() -> object:
        comm = await connect(address, timeout=seconds)
        try:
            await comm.write({"op": "identity"})
            return await comm.read()
        finally:
            comm.abort()

    # On a thread of its own, with its own event loop: the caller may be
    # running one already (a notebook).
    with ThreadPoolExecutor(1) as pool:
        try:
            reply = pool.submit(asyncio.run, asyncio.wait_for(identity(), seconds)).result()
        except Exception as exc:  # whatever decoding a foreign server's bytes raises
            reply = exc
    if isinstance(reply, dict) and reply.get("type") == "Scheduler":
        return
    if isinstance(reply, TimeoutError):
        why = f"no answer within {seconds:g} s, distributed.comm.timeouts.connect"
    elif isinstance(reply, BaseException):
        why = task_reason(reply)
    else:
        why = "it does not answer as one"
    raise BatchError(f"cannot reach the scheduler at {address}: not a reachable Dask scheduler ({why})")


def _rows(group: Sequence[Job], value: object) -> list[Row]:
    """The rows of a task's inputs from what the task gave back."""
    exc = value[1] if isinstance(value, tuple) and len(value) == 3 else value
    if isinstance(exc, GroupError):
        value = exc.args[0]
    if isinstance(value, list):
        return value
    # Its workers kept dying, or it was cancelled.
    why = task_reason(exc) if isinstance(exc, BaseException) else repr(exc)
    return [Row(j.input, j.features, "failed", None, None, f"{j.input}: {why}") for j in group]


def _stop(client: "Client", cluster: Any, futures: Sequence["Future[list[Row]]"]) -> None:
    """Cancel what is left and close the client and the embedded cluster.

    A worker asked to close first lets its running task finish, which can
    take as long as the task; the embedded cluster's workers, this process's
    own children, are killed instead, and what they leave is tidied up after.
    """
    # The nanny of a killed worker reports the loss as an error while it closes.
    log = logging.getLogger("distributed")
    level = log.level
    try:
        pending = [f for f in futures if not f.done()]
        if pending:
            client.cancel(pending, force=True)
            if cluster is not None:
                log.setLevel(logging.CRITICAL)
                _kill_workers(client)
    finally:
        try:
            client.close()
            if cluster is not None:
                cluster.close()
        finally:
            log.setLevel(level)


def _kill_workers(client: "Client") -> None:
    import psutil

    try:
        pids = client.run(os.getpid, on_error="return")
    except Exception:
        return
    for pid in pids.values():
        try:
            if isinstance(pid, int) and psutil.Process(pid).ppid() == os.getpid():
                os.kill(pid, signal.SIGKILL)
        except (psutil.Error, OSError):
            pass


def run(
    task: Callable[..., list[Row]], landed: Callable[[Job, Params, str], Row | None],
    jobs: list[Job], out: OutDir, params: Params,
    scheduler: str | None, workers: int | None, progress: bool | None, retries: int,
) -> BatchResult:
    """Run task(jobs, params=, run=) on groups of the jobs; the manifest follows.

    landed(job, params, run) gives the row of a job whose row never came
    back (the scheduler was lost, say) from the features file it left.
    """
    from distributed import as_completed

    start = time.perf_counter()
    rows: dict[str, Row] = {}
    count = 0
    futures: list[Future[list[Row]]] = []
    client: Client | None = None
    cluster: Any = None
    bar: Progress | None = None
    stack = ExitStack()

    run_id = secrets.token_hex(4)
    stopped: int | None = None
    problem = ""

    def write_manifest() -> str:
        try:
            out.write_manifest(rows.values())
        except OSError as exc:
            return f"{out.manifest}: cannot write ({exc.strerror or exc})"
        return ""

    try:
        if scheduler is None:
            stack.enter_context(_spawnable_main())
        client, cluster, count = _connect(scheduler, workers)
        bar = Progress(len(jobs), progress)
        # The largest first, so the run does not end waiting on one big file.
        groups = _groups(jobs, count)
        keys = [f"gammatone-batch-{run_id}-{i:08d}" for i in range(len(groups))]
        futures = client.map(task, groups, params=params, run=run_id, key=keys, retries=retries, pure=False)
        by_key = dict(zip(keys, groups))
        written = time.monotonic()
        # Rows are fetched in the background as tasks finish (one from a
        # worker that died meanwhile is recomputed first), not one blocking
        # round trip at a time.
        for future, value in as_completed(futures, with_results=True, raise_errors=False):
            group = by_key.pop(future.key)
            future.release()
            for row in _rows(group, value):
                rows[row.features] = row
                bar.add(row)
            if time.monotonic() - written > MANIFEST_EVERY:
                write_manifest()  # a failure now is reported at the end, if it lasts
                written = time.monotonic()
    except KeyboardInterrupt as exc:
        stopped = getattr(exc, "signum", signal.SIGINT)
    finally:
        # A second Ctrl-C must not cut the tidying short.
        with signals_ignored():
            if bar is not None:
                bar.close()
            if client is not None:
                _stop(client, cluster, futures)
            # Tasks whose rows were lost (the scheduler died) may have
            # landed their file: that work is done, whatever came back.
            for job in jobs:
                lost = rows.get(job.features)
                if lost is not None and lost.status == "failed" and lost.compute_seconds is None:
                    rows[job.features] = landed(job, params, run_id) or lost
            # Whatever ended the run, no partial features file stays behind.
            remove_temporaries([j.target for j in jobs])
            problem = write_manifest()
            stack.close()
    ordered = tuple(rows[j.features] for j in jobs if j.features in rows)
    result = BatchResult(ordered, len(jobs), out.path, out.manifest, time.perf_counter() - start, count,
                         problem)
    if stopped is not None:
        raise BatchInterrupted(result, stopped)
    return result
