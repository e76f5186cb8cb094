"""The worker side of a run: one item at a time against this process's
module, each in a scratch directory that the worker finds on its own
machine, with its output captured, its time-out counted from its real
start, and the processes it started ended when it ends.

Nothing process-wide is swapped when the item runs in the caller's own
process (a thread-pool executor): its output then goes where the caller's
goes and its sandboxes where the module puts them.
"""
from __future__ import annotations

import contextlib
import dataclasses
import io
import os
import pickle
import shutil
import socket
import sys
import tempfile
import threading
import time
import warnings
from typing import Any, Callable, Dict, List, Optional

from . import processes, threads
from .items import (DONE, FAILED, NO_SOLUTION, TIMED_OUT, WORKER_LOST, Installation, ItemResult, Outcome, error_fields,
                    reason_from_output)
from .threads import solver_thread_errors

LOCAL, EXECUTOR, DASK = "local", "executor", "dask"
SCRATCH_PREFIX = "dralvex-run-"
# How long an item waits for an item abandoned at its time-out before a
# worker that can be replaced (a Dask worker under a nanny) replaces itself.
ABANDONED_GRACE = 5.0
EXIT_REPLACE_ME = 70


_names: Dict[int, str] = {}


def worker_name() -> str:
    """host:pid of this process (the host asked once per process)."""
    pid = os.getpid()
    name = _names.get(pid)
    if name is None:
        name = _names[pid] = "%s:%d" % (socket.gethostname(), pid)
    return name


def scratch_root(run_id: str) -> str:
    """The run's scratch directory on this machine, as this process finds it."""
    return os.path.join(tempfile.gettempdir(), SCRATCH_PREFIX + run_id)


@dataclasses.dataclass(frozen=True)
class ItemTask:
    """One item as it crosses to a worker."""
    function: Callable[[Any], Any]
    item: Any
    index: int
    installation: Installation
    run_id: str
    origin: str                 # host:pid of the process that started the run
    engine: str                 # LOCAL, EXECUTOR or DASK
    timeout: Optional[float] = None   # counted here (not by the local pool, which ends the worker itself)


@dataclasses.dataclass
class Pickled:
    """A value as bytes, unpickled by the run so that a value that cannot
    come back fails its own item, not the engine's message thread."""
    data: bytes


class _WorkerProcess:
    """What one worker process keeps between items."""

    def __init__(self) -> None:
        self.lock = threading.Lock()        # one item at a time against the module
        self.home: Optional[str] = None     # the working directory items start in
        self.set_up_on: Optional[Installation] = None
        self.set_up_state: Any = None
        self.abandoned: Optional[threading.Thread] = None   # an item left running at its time-out
        self.running: Dict[str, int] = {}   # run id -> index of the item running now
        self.identity: Optional[str] = None   # "pid start-time" of this process


_process = _WorkerProcess()
_this_thread = threading.local()   # in_item: this thread runs an item's function


def in_an_item() -> bool:
    """True on the thread that runs an item's function (a run started there
    is a run inside an item)."""
    return bool(getattr(_this_thread, "in_item", False))


def _module_state() -> Any:
    import dralvex_computer as cc
    core = cc.dralvex_core
    return tuple(getattr(core, name, None) for name in ("_validSetup_", "_exePath_", "_settingsPath_",
                                                        "_dataSourcesPath_"))


def _ensure_set_up(installation: Installation) -> None:
    """Sets the module up unless the last item left it set up on this very
    installation (an item may set it up elsewhere, or undo it)."""
    import dralvex_computer

    dralvex_computer._run_prepare(installation.prepare)
    if _process.set_up_on == installation and _module_state() == _process.set_up_state:
        return
    _process.set_up_on = None
    installation.set_up()
    _process.set_up_on, _process.set_up_state = installation, _module_state()


def _started_elsewhere(task: ItemTask) -> Optional[str]:
    """Dask runs an item again when its worker died; the scheduler's
    metadata tells the second attempt, wherever it lands, that the first
    started and never ended."""
    from distributed import get_client
    client = get_client()
    key = ["dralvex-run", task.run_id, str(task.index)]
    earlier = client.get_metadata(key, None)
    client.set_metadata(key, worker_name())
    return earlier


def _ended_here(task: ItemTask) -> None:
    from distributed import get_client
    get_client().set_metadata(["dralvex-run", task.run_id, str(task.index)], None)


def _has_nanny() -> bool:
    try:
        from distributed import get_worker
        return bool(get_worker().nanny)
    except Exception:
        return False


def _wait_for_abandoned(task: ItemTask) -> Optional[str]:
    """An item abandoned at its time-out may still use the module: wait for
    it; a Dask worker with a nanny that waited long enough ends itself and
    the nanny starts a fresh one (this item, not yet started, runs again)."""
    thread = _process.abandoned
    if thread is None:
        return None
    if task.engine == DASK:
        thread.join(ABANDONED_GRACE)
        if thread.is_alive():
            if _has_nanny():
                processes.end_processes(processes.descendants(os.getpid()))
                os._exit(EXIT_REPLACE_ME)
            return "an earlier item on this worker ran past its time-out and still runs (a worker without a nanny " \
                   "cannot be replaced: start Dask workers with a nanny)"
    else:
        thread.join()
    _process.abandoned = None
    return None


def run_item(task: ItemTask) -> ItemResult:
    """Runs one item in a worker; never raises for what the item does."""
    in_caller = task.origin == worker_name()
    with _process.lock:
        result = ItemResult(task.index, None, DONE, worker=worker_name(), started=time.time())
        clock = time.perf_counter()
        busy = _wait_for_abandoned(task)
        if busy is not None:
            result.status, result.error_message = FAILED, busy
            return result
        if task.engine == DASK:
            earlier = _started_elsewhere(task)
            if earlier:
                result.status = WORKER_LOST
                result.error_message = "its worker process died (%s); not run again" % earlier
                _ended_here(task)
                return result
        if not in_caller:
            processes.contain_worker(own_group=task.engine == LOCAL, watch=task.engine != DASK)
        root = scratch_root(task.run_id)
        # one temporary directory per worker process, emptied after each
        # item: the same isolation as one per item, at a stat's cost
        own_temp = os.path.join(root, "work-%d" % os.getpid())
        os.makedirs(own_temp, exist_ok=True)
        if task.engine == LOCAL:
            _write(os.path.join(root, "item-%d.pid" % task.index),
                   "%s\n%s\n%r" % (_own_identity(), worker_name(), result.started))
        if _process.home is None:
            _process.home = os.getcwd()
        elif os.getcwd() != _process.home:
            os.chdir(_process.home)   # an item moved it (removeProjectFolder does)
        _process.running[task.run_id] = task.index
        try:
            _run_function(task, result, own_temp, in_caller)
        finally:
            _process.running.pop(task.run_id, None)
            _empty(own_temp)
            if task.engine == DASK:
                _ended_here(task)
        result.elapsed = time.perf_counter() - clock
        return result


def _write(path: str, text: str) -> None:
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
    try:
        os.write(descriptor, text.encode("utf-8", "surrogateescape"))
    finally:
        os.close(descriptor)


def _empty(directory: str) -> None:
    """Removes what an item left in its temporary directory (never
    following a link out of it)."""
    try:
        entries = list(os.scandir(directory))
    except OSError:
        return
    for entry in entries:
        try:
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path, ignore_errors=True)
            else:
                os.unlink(entry.path)
        except OSError:
            pass


def _own_identity() -> str:
    """This process's "pid start-time" (read once per process)."""
    if _process.identity is None or not _process.identity.startswith("%d " % os.getpid()):
        _process.identity = processes.identity()
    return _process.identity


def _run_function(task: ItemTask, result: ItemResult, own_temp: str, in_caller: bool) -> None:
    output = io.StringIO()
    before = processes.descendants(os.getpid()) if task.timeout is not None else set()
    outcome: List[Any] = []

    def body() -> None:
        _this_thread.in_item = True
        with solver_thread_errors() as thread_errors:
            try:
                _ensure_set_up(task.installation)
                outcome.append(("value", task.function(task.item), thread_errors))
            except BaseException as error:   # SystemExit and KeyboardInterrupt fail their item only
                outcome.append(("error", error, thread_errors))

    raised: List[Any] = []
    with contextlib.ExitStack() as stack:
        if not in_caller:
            saved_tempdir, tempfile.tempdir = tempfile.tempdir, own_temp
            stack.callback(setattr, tempfile, "tempdir", saved_tempdir)
            stack.enter_context(contextlib.redirect_stdout(output))
            stack.enter_context(contextlib.redirect_stderr(output))
            # warnings are kept with the result (the module's shared-FRE
            # warning above all), each as often as it was raised
            raised = stack.enter_context(warnings.catch_warnings(record=True))
            warnings.simplefilter("always")
        if task.timeout is None:
            body()
        else:
            thread = threading.Thread(target=body, name="dralvex-item-%d" % task.index, daemon=True)
            thread.start()
            thread.join(task.timeout)
            if thread.is_alive():
                processes.end_processes(processes.started_since(before, in_caller))
                threads.forget(thread)
                _process.abandoned = thread
                result.status = TIMED_OUT
                result.error_message = "ran past %s s; the processes it started were ended" % task.timeout
                result.output = output.getvalue()
                return
    result.output = output.getvalue()
    result.warnings = ["%s: %s" % (caught.category.__name__, caught.message) for caught in raised]
    kind, value, thread_errors = outcome[0]
    if kind == "error":
        result.status = FAILED
        result.error_type, result.error_message, result.traceback = error_fields(value)
        kept = getattr(value, "results_dir", None)   # a collect that failed: the results were kept
        result.results_dir = kept if isinstance(kept, str) else None
    elif isinstance(value, Outcome):
        result.status, result.value, result.results_dir = value.status, value.value, value.results_dir
        if value.message:
            result.error_message = value.message
    else:
        result.value = value
    if thread_errors:   # the module's solver thread raised
        hook = thread_errors[0]
        if result.status == NO_SOLUTION:
            result.status = FAILED
        if result.error_type is None:
            import traceback
            error = hook.exc_value if hook.exc_value is not None else hook.exc_type()
            text = "".join(traceback.format_exception(hook.exc_type, hook.exc_value, hook.exc_traceback))
            result.error_type, result.error_message, result.traceback = error_fields(error, text)
    if result.status == NO_SOLUTION or (result.status == FAILED and result.error_type is None):
        # no exception says why: what the module printed does
        result.error_message = result.error_message or reason_from_output(result.output) or \
            "nothing it printed says why"
    if not in_caller and result.value is not None:
        try:
            result.value = Pickled(pickle.dumps(result.value, protocol=pickle.HIGHEST_PROTOCOL))
        except BaseException as error:
            result.status, result.value = FAILED, None
            result.error_type, message, result.traceback = error_fields(error)
            result.error_message = "its value cannot be sent back: %s" % message


def bring_back(result: ItemResult) -> ItemResult:
    """Unpickles a result's value in the process that started the run."""
    if isinstance(result.value, Pickled):
        try:
            result.value = pickle.loads(result.value.data)
        except BaseException as error:
            result.status, result.value = FAILED, None
            result.error_type, message, result.traceback = error_fields(error)
            result.error_message = "its value cannot be brought back: %s" % message
    return result


# ----------------------------------------------------- run-wide, per worker

OWNER_RECORD = "owner"


def claim_scratch(run_id: str) -> None:
    """Makes the run's scratch directory of this machine and records which
    process owns it, so that a later run can tell it was left behind."""
    root = scratch_root(run_id)
    os.makedirs(root, exist_ok=True)
    _write(os.path.join(root, OWNER_RECORD), "%s\n%s" % (socket.gethostname(), processes.identity()))


def remove_orphaned_scratch() -> List[str]:
    """Removes the scratch directories of this machine whose owning run is
    gone (its recorded process no longer runs, or another process has its
    pid now): what a run whose parent was killed left. Never by age, never
    one without an owner record. Returns what it removed."""
    base = tempfile.gettempdir()
    try:
        names = [name for name in os.listdir(base) if name.startswith(SCRATCH_PREFIX)]
    except OSError:
        return []
    removed = []
    for name in names:
        path = os.path.join(base, name)
        try:
            with open(os.path.join(path, OWNER_RECORD)) as stream:
                host, owner = (stream.read().split("\n") + [""])[:2]
        except OSError:
            continue
        if host == socket.gethostname() and processes.ended(owner):
            shutil.rmtree(path, ignore_errors=True)
            removed.append(path)
    return removed


def remove_scratch(run_id: str) -> None:
    """Removes the run's scratch directory of this machine."""
    shutil.rmtree(scratch_root(run_id), ignore_errors=True)


def end_running(run_id: str) -> Optional[int]:
    """Ends the processes of this run's item running in this worker (Dask,
    at Ctrl-C); a worker with a nanny then ends itself, as the item cannot
    be stopped otherwise."""
    index = _process.running.get(run_id)
    if index is None:
        return None
    processes.end_processes(processes.descendants(os.getpid()))
    if _has_nanny():
        threading.Timer(0.2, os._exit, args=(EXIT_REPLACE_ME,)).start()
    return index


def probe(installation: Installation) -> str:
    """The checks before the first item, where the items will run: the
    prepare hook, the bridge, the installation's files and documents, and a
    set-up. Returns the worker's name; raises with one clear message."""
    from .. import checks
    problems = checks.missing(checks.machine_checks(installation))
    if problems:
        raise RuntimeError(checks.describe_missing(problems))
    with contextlib.redirect_stdout(io.StringIO()):
        _ensure_set_up(installation)
    return worker_name()


# The exit status of a worker that found the run started again by a script
# without the main guard; the run that started it says why, once.
GUARD_EXIT = 86
GUARD_MESSAGE = ("a batch run was started while a worker process imported the main script: the script needs the "
                 "guard `if __name__ == \"__main__\":` around what starts the run (worker processes import it again)")


def in_spawned_bootstrap() -> bool:
    """True in a worker process started by spawn while it still imports the
    user's main module: a script without the ``__main__`` guard starts its
    run again there. Only while it imports: a spawned process that runs a
    batch of its own later (a run inside an item) is not refused."""
    import multiprocessing
    return bool(getattr(multiprocessing.process.current_process(), "_inheriting", False))
