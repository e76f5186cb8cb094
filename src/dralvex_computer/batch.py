"""Many models at once: a user's function, or a solve, run on each of many
items in worker processes that each set the module up once.

The native module is one session per process (its state lives in module
globals), so parallel work means one process per running item. The engines
are existing ones: by default a local process pool (Pebble's, on the spawn
start method, as on Windows), which replaces a worker whose item runs past
its time-out or whose process dies; any ``concurrent.futures.Executor`` as it
is; or a Dask distributed ``Client`` for runs across machines.

    from dralvex_computer import batch
    site = batch.Installation(r"C:\\Program Files\\Dralvex\\Ductavo 20XX.Y", "Ductavo")
    for result in batch.solve_models(paths, "PipeStress", site, workers=4, timeout=600):
        print(result.item, result.status, result.elapsed)

Host objects never cross processes: a solve's ``collect(solution, path)``
runs in the worker, before the solution is disposed, and only what it
returns comes back.
"""
from __future__ import annotations

import concurrent.futures
import contextlib
import dataclasses
import io
import logging
import multiprocessing
import os
import shutil
import socket
import sys
import tempfile
import threading
import time
import traceback
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, List, Optional

if TYPE_CHECKING:
    from typing import Literal

    _SolverName = Literal["Aster", "PipeStress"]

__all__ = [
    "Installation", "ItemResult", "SolveError", "BatchInterrupted", "map_models", "solve_models", "solve_model",
    "DONE", "SOLVED", "NO_SOLUTION", "FAILED", "TIMED_OUT", "WORKER_LOST", "INVALID_INPUT", "CANCELLED",
]

logger = logging.getLogger("dralvex_computer")
logger.addHandler(logging.NullHandler())   # a library's log: the application configures handlers

# The status of one item.
DONE = "done"                    # map_models: the function returned
SOLVED = "solved"                # solve_models: a solution came back
NO_SOLUTION = "no solution"      # solve returned None, nothing raised
FAILED = "failed"                # an exception (also on the module's solver thread)
TIMED_OUT = "timed out"          # past its time-out; its worker was replaced
WORKER_LOST = "worker lost"      # its worker process died
INVALID_INPUT = "invalid input"  # not a model document that exists
CANCELLED = "cancelled"          # never ran: the run was interrupted

SOLVERS = ("Aster", "PipeStress")
PREPARE_VARIABLE = "DRALVEX_COMPUTER_PREPARE"


class SolveError(Exception):
    """A solve that gave no solution: the exception raised on the module's
    solver thread is its cause; otherwise what the module printed is its
    message."""


class BatchInterrupted(KeyboardInterrupt):
    """A run stopped by Ctrl-C: ``results`` holds every item, those that
    never finished as cancelled."""

    def __init__(self, results):
        super().__init__("interrupted")
        self.results = results


@dataclasses.dataclass(frozen=True)
class Installation:
    """What a worker process needs to set the module up: the installation
    directory, the application module (a ``DralvexModule`` member or its
    name), and the settings and data-sources documents when they are not in
    the default place. ``prepare``, a ``module:function`` called in each
    worker before the package is imported, serves processes that have no
    bridge of their own (``dralvex_sim.kit:activate`` for the simulated
    platform). It pickles: it crosses processes and machines."""

    directory: str
    module: Any = "All"
    settings_path: Optional[str] = None
    data_sources_path: Optional[str] = None
    prepare: Optional[str] = None

    def __post_init__(self):
        name = getattr(self.module, "name", self.module)
        if name not in ("All", "Ductavo", "Framavo"):
            raise ValueError("module must be All, Ductavo or Framavo, not %r" % (self.module,))
        object.__setattr__(self, "module", name)
        object.__setattr__(self, "directory", os.fspath(self.directory))

    def set_up(self):
        """Set the module of this process up on the installation; raises
        OSError when the set-up does not succeed."""
        import dralvex_computer as cc
        if self.settings_path is not None:
            cc._settingsPath_ = os.fspath(self.settings_path)
        if self.data_sources_path is not None:
            cc._dataSourcesPath_ = os.fspath(self.data_sources_path)
        if cc.setup_dralvex_computer(self.directory, cc.DralvexModule[self.module]) is not True:
            raise OSError("set-up on %r did not succeed (no Extensions directory?)" % self.directory)


@dataclasses.dataclass
class ItemResult:
    """The outcome of one item, in input order."""

    index: int
    item: Any
    status: str
    value: Any = None
    error_type: Optional[str] = None
    error_message: Optional[str] = None
    traceback: Optional[str] = None
    output: str = ""              # what the module printed while the item ran
    elapsed: float = 0.0          # seconds in the worker
    worker: str = ""              # host:pid

    @property
    def ok(self):
        return self.status in (DONE, SOLVED)

    def record(self):
        """The result as plain data, for a report."""
        value = self.value
        if not isinstance(value, (str, int, float, bool, type(None), list, dict)):
            value = repr(value)
        return {"index": self.index, "item": str(self.item), "status": self.status, "value": value,
                "error_type": self.error_type, "error_message": self.error_message, "traceback": self.traceback,
                "output": self.output, "elapsed": round(self.elapsed, 6), "worker": self.worker}


# ----------------------------------------------------------------- worker side

@dataclasses.dataclass
class _Outcome:
    """What an item's function may return to choose its status."""
    status: str
    value: Any = None
    message: Optional[str] = None


_item_lock = threading.Lock()   # one item at a time against this process's module
_set_up_on: List[Installation] = []   # the installation this process is set up on


def _worker_name():
    return "%s:%d" % (socket.gethostname(), os.getpid())


def _ensure_set_up(installation):
    if _set_up_on and _set_up_on[0] == installation:
        return
    _set_up_on[:] = []
    installation.set_up()
    _set_up_on.append(installation)


def _error_fields(error, text=None):
    return (type(error).__module__ + "." + type(error).__qualname__, str(error),
            text if text is not None else "".join(traceback.format_exception(type(error), error, error.__traceback__)))


def _failed(index, item, error):
    result = _lost(index, item, FAILED, None)
    result.error_type, result.error_message, result.traceback = _error_fields(error)
    return result


@contextlib.contextmanager
def _solver_thread_errors() -> Iterator[List[Any]]:
    """Collects what ends a thread with an exception while the block runs
    (the module's solver thread), instead of printing it."""
    errors: List[Any] = []
    saved_hook = threading.excepthook
    threading.excepthook = errors.append
    try:
        yield errors
    finally:
        threading.excepthook = saved_hook


def _time_out(marker):
    """A Dask item past its time-out: the marker tells its retry, and the
    worker process ends (Dask's nanny starts a new one)."""
    with open(marker + ".timed-out", "w"):
        pass
    os._exit(70)


def _lead_own_group():
    """A worker of the local pool leads a process group of its own (POSIX),
    so that ending it ends the solver programs it started as well."""
    if hasattr(os, "setpgid") and os.getpgid(0) != os.getpid():
        try:
            os.setpgid(0, 0)
        except OSError:
            pass


def _end_group(run_root, index=None):
    """Ends the process groups of the local pool's workers: the one that ran
    item ``index``, or all of them."""
    if not hasattr(os, "killpg"):
        return
    pids = set()
    try:
        if index is None:
            pids = {int(name[1:]) for name in os.listdir(run_root) if name.startswith("w") and name[1:].isdigit()}
        else:
            with open(os.path.join(run_root, "item-%d.started" % index)) as stream:
                pids = {int(stream.read() or 0)}
    except (OSError, ValueError):
        return
    for pid in pids - {0, os.getpid()}:
        try:
            if os.getpgid(pid) == pid:
                os.killpg(pid, 9)
        except OSError:
            pass


def _run_item(function, item, index, installation, run_root, kill_after=None, own_group=False):
    """Runs one item in a worker process: set-up once, sandboxes under the
    run's own temporary root, output captured, exceptions of the module's
    solver thread collected. ``kill_after`` (Dask): the worker ends itself
    past it; Dask then runs the item again, and markers in the run's root
    tell that second attempt how the first ended."""
    with _item_lock:
        started = time.perf_counter()
        timer = None
        marker = os.path.join(run_root, "item-%d" % index)
        if own_group:
            _lead_own_group()
        if os.path.exists(marker + ".timed-out"):
            return _lost(index, item, TIMED_OUT, "ran past %s s; its worker was replaced" % kill_after)
        if os.path.exists(marker + ".started"):
            return _lost(index, item, WORKER_LOST, "the worker process died")
        with open(marker + ".started", "w") as stream:
            stream.write(str(os.getpid()))
        if kill_after is not None:
            timer = threading.Timer(kill_after, _time_out, args=(marker,))
            timer.daemon = True
            timer.start()
        try:
            return _run_locked(function, item, index, installation, run_root, started)
        finally:
            if timer is not None:
                timer.cancel()
            os.remove(marker + ".started")


def _run_locked(function: Callable[[Any], Any], item: Any, index: int, installation: Installation, run_root: str,
                started: float) -> ItemResult:
    result = ItemResult(index, item, DONE, worker=_worker_name())
    own_temp = os.path.join(run_root, "w%d" % os.getpid())
    os.makedirs(own_temp, exist_ok=True)
    saved_tempdir, tempfile.tempdir = tempfile.tempdir, own_temp
    output = io.StringIO()
    try:
        with _solver_thread_errors() as thread_errors, contextlib.redirect_stdout(output), \
                contextlib.redirect_stderr(output):
            _ensure_set_up(installation)
            value = function(item)
        if isinstance(value, _Outcome):
            result.status, result.value = value.status, value.value
            if value.message:
                result.error_message = value.message
        else:
            result.value = value
    except Exception as error:
        result.status = FAILED
        result.error_type, result.error_message, result.traceback = _error_fields(error)
    finally:
        tempfile.tempdir = saved_tempdir
    result.output = output.getvalue()
    if thread_errors:
        hook = thread_errors[0]
        thread_error = hook.exc_value if hook.exc_value is not None else hook.exc_type()
        if result.status == NO_SOLUTION:
            result.status = FAILED
        if result.error_type is None:
            text = "".join(traceback.format_exception(hook.exc_type, hook.exc_value, hook.exc_traceback))
            result.error_type, result.error_message, result.traceback = _error_fields(thread_error, text)
    result.elapsed = time.perf_counter() - started
    return result


@dataclasses.dataclass(frozen=True)
class _SolveTask:
    """A solve of one model document, in a worker."""
    solver: _SolverName
    sandbox: bool = True
    collect: Optional[Callable[[Any, str], Any]] = None

    def __call__(self, path):
        import dralvex_computer as cc
        if not isinstance(path, (str, os.PathLike)):
            return _Outcome(INVALID_INPUT, message="not a path: %r" % (path,))
        path = os.fspath(path)
        if not path.lower().endswith(".strale") or not os.path.isfile(path):
            return _Outcome(INVALID_INPUT, message="no model document at %s" % path)
        solution = cc.solve(path, self.solver, self.sandbox)
        if solution is None:
            return _Outcome(NO_SOLUTION, message="no solution")
        try:
            value = self.collect(solution, path) if self.collect is not None else None
        finally:
            cc.disposeSolution()
        return _Outcome(SOLVED, value)


# ----------------------------------------------------------------- parent side

def _is_dask_client(executor):
    return type(executor).__module__.startswith("distributed") and hasattr(executor, "gather")


class _Progress:
    """A tqdm bar on standard error (when it is a terminal, or when asked),
    the per-result callback, and the log."""

    def __init__(self, total, progress, on_result):
        self.on_result = on_result
        self.failures = 0
        self.bar = None
        if progress is None:
            progress = sys.stderr.isatty()
        if progress and total:
            from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
            self.bar = tqdm(total=total, unit="model", file=sys.stderr, dynamic_ncols=True)

    def done(self, result):
        if not result.ok:
            self.failures += 1
        level = logging.INFO if result.ok else logging.WARNING
        logger.log(level, "item %d (%s): %s in %.2f s on %s", result.index, result.item, result.status,
                   result.elapsed, result.worker)
        if self.bar is not None:
            self.bar.set_postfix(failed=self.failures, refresh=False)
            self.bar.update(1)
        if self.on_result is not None:
            self.on_result(result)

    def close(self):
        if self.bar is not None:
            self.bar.close()


def _lost(index, item, status, message):
    return ItemResult(index, item, status, error_message=message)


def _local_pool(workers):
    import pebble
    context = multiprocessing.get_context("spawn")
    return pebble.ProcessPool(max_workers=workers or os.cpu_count() or 1, context=context)


@contextlib.contextmanager
def _worker_environment(installation):
    """Worker processes started from here find the prepare hook in their
    environment, before they import the package."""
    if not installation.prepare:
        yield
        return
    saved = os.environ.get(PREPARE_VARIABLE)
    os.environ[PREPARE_VARIABLE] = installation.prepare
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop(PREPARE_VARIABLE, None)
        else:
            os.environ[PREPARE_VARIABLE] = saved


def map_models(function: Callable[[Any], Any], items: Iterable[Any], installation: Installation, *,
               executor: Any = None, workers: Optional[int] = None, timeout: Optional[float] = None,
               progress: Optional[bool] = None,
               on_result: Optional[Callable[[ItemResult], None]] = None) -> List[ItemResult]:
    """Run ``function(item)`` on each item in worker processes set up on
    ``installation``, and return one ``ItemResult`` per item, in input
    order. ``function`` must pickle (a module-level function).

    ``executor``: None for a local process pool of ``workers`` processes
    (the CPU count by default); a ``concurrent.futures.Executor``, used as
    it is; or a Dask ``distributed.Client``. ``timeout``: seconds per item;
    with the local pool the worker that ran past it is replaced, with other
    executors the item is reported and left to finish. ``progress``: a
    progress bar on standard error (by default when it is a terminal).
    ``on_result(result)``: called in the parent as each item ends.

    Ctrl-C cancels what has not started, ends the local workers and raises
    ``BatchInterrupted``, whose ``results`` hold what finished."""
    items = list(items)
    results: List[Optional[ItemResult]] = [None] * len(items)
    run_root = tempfile.mkdtemp(prefix="dralvex-run-")
    reporter = _Progress(len(items), progress, on_result)
    logger.info("%d items on %s", len(items), "a local pool" if executor is None else type(executor).__name__)
    own_pool = None
    futures = {}
    try:
        with _worker_environment(installation):
            if executor is None:
                own_pool = _local_pool(workers)
                for index, item in enumerate(items):
                    future = own_pool.schedule(_run_item, args=(function, item, index, installation, run_root,
                                                                None, True), timeout=timeout)
                    futures[future] = index
            elif _is_dask_client(executor):
                for index, item in enumerate(items):
                    future = executor.submit(_run_item, function, item, index, installation, run_root, timeout,
                                             pure=False)
                    futures[future] = index
            else:
                for index, item in enumerate(items):
                    futures[executor.submit(_run_item, function, item, index, installation, run_root)] = index
            _collect(futures, items, results, reporter, executor, timeout, own_pool is not None, run_root)
    except KeyboardInterrupt:
        for future in futures:
            future.cancel()
        if own_pool is not None:
            _end_group(run_root)
            own_pool.stop()
            own_pool.join(timeout=5)
            own_pool = None
        for index, item in enumerate(items):
            if results[index] is None:
                results[index] = _lost(index, item, CANCELLED, "interrupted")
        raise BatchInterrupted(results) from None
    finally:
        reporter.close()
        if own_pool is not None:
            own_pool.close()
            own_pool.join()
        shutil.rmtree(run_root, ignore_errors=True)
    return results  # type: ignore[return-value]


def _collect(futures, items, results, reporter, executor, timeout, own_pool, run_root):
    """Waits for every item, filling ``results`` as each ends."""
    if executor is not None and _is_dask_client(executor):
        from distributed import as_completed as dask_as_completed
        for future in dask_as_completed(list(futures)):
            index = futures[future]
            results[index] = _dask_result(future, index, items[index])
            reporter.done(results[index])
        return
    deadline_of = {}
    pending = set(futures)
    while pending:
        done, pending = concurrent.futures.wait(pending, timeout=0.2, return_when=concurrent.futures.FIRST_COMPLETED)
        for future in done:
            index = futures[future]
            results[index] = _future_result(future, index, items[index], timeout)
            if own_pool and results[index].status in (TIMED_OUT, WORKER_LOST):
                _end_group(run_root, index)   # the solver programs the worker left
            reporter.done(results[index])
        if timeout is not None and not own_pool:
            # Another executor cannot replace a worker: the item is reported
            # and left to finish on its own.
            now = time.monotonic()
            for future in list(pending):
                if future.running():
                    deadline_of.setdefault(future, now + timeout)
                    if now > deadline_of[future]:
                        pending.discard(future)
                        future.cancel()
                        index = futures[future]
                        results[index] = _lost(index, items[index], TIMED_OUT,
                                               "ran past %s s (left to finish: this executor cannot stop it)" % timeout)
                        reporter.done(results[index])


def _future_result(future, index, item, timeout):
    import pebble
    try:
        return future.result()
    except concurrent.futures.TimeoutError:
        return _lost(index, item, TIMED_OUT, "ran past %s s; its worker was replaced" % timeout)
    except pebble.ProcessExpired as error:
        return _lost(index, item, WORKER_LOST, "the worker process died (exit code %s)" % error.exitcode)
    except concurrent.futures.CancelledError:
        return _lost(index, item, CANCELLED, "cancelled")
    except concurrent.futures.process.BrokenProcessPool as error:
        return _lost(index, item, WORKER_LOST, str(error) or "the worker process died")
    except Exception as error:
        return _failed(index, item, error)


def _dask_result(future, index, item):
    try:
        return future.result()
    except Exception as error:
        if type(error).__name__ == "KilledWorker":
            return _lost(index, item, WORKER_LOST, "the worker process died: %s" % error)
        return _failed(index, item, error)


def solve_models(paths: Iterable[Any], solver: _SolverName, installation: Installation, sandbox: bool = True,
                 collect: Optional[Callable[[Any, str], Any]] = None, **options: Any) -> List[ItemResult]:
    """Solve each model document with ``solver`` ("Aster" or "PipeStress")
    in worker processes; ``collect(solution, path)``, when given, runs in
    the worker before the solution is disposed and its result is the item's
    value. Statuses: solved, no solution, failed, timed out, worker lost,
    invalid input (and cancelled after Ctrl-C). ``options`` are those of
    ``map_models``."""
    if solver not in SOLVERS:
        raise ValueError("solver must be 'Aster' or 'PipeStress', not %r" % (solver,))
    return map_models(_SolveTask(solver, bool(sandbox), collect), paths, installation, **options)


def solve_model(path: Any, solver: _SolverName, sandbox: bool = True) -> Any:
    """Solve one model in this process (set up already) and return the
    solution; where the module's ``solve`` returns None, raise SolveError,
    with the exception of the solver thread as its cause, or what the module
    printed as its message."""
    import dralvex_computer as cc
    output = io.StringIO()
    try:
        with _solver_thread_errors() as thread_errors, contextlib.redirect_stdout(output):
            solution = cc.solve(path, solver, sandbox)
    finally:
        sys.stdout.write(output.getvalue())
    if solution is not None:
        return solution
    if thread_errors:
        cause = thread_errors[0].exc_value
        raise SolveError("the %s solve of %s failed on the solver thread: %s" % (solver, path, cause)) from cause
    printed = output.getvalue().strip()
    raise SolveError("the %s solve of %s gave no solution%s" % (solver, path, (": " + printed) if printed else ""))
