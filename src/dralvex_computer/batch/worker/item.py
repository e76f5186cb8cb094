"""One item's run in its worker, the same sequence on every engine: the
engine's hooks around it, the module set up on the item's installation, a
temporary directory of its own on this machine, its output and warnings
captured, its time-out counted from its real start, and the processes it
started ended when it ends.

Nothing process-wide is swapped when the item runs in the caller's own
process (a thread-pool executor): its output then goes where the caller's
goes and its sandboxes where the module puts them.
"""
from __future__ import annotations

import io
import os
import shutil
import sys
import tempfile
import threading
import time
import warnings
from typing import Any, List

import dralvex_computer   # imported here, not per item: a bridge's import hook costs each import

from ..items import (DONE, FAILED, NO_SOLUTION, OUTPUT_KEPT, TIMED_OUT, Installation, ItemResult, Outcome, capped,
                     error_fields, reason_from_output)
from ..protocol import ItemTask, Scratch, send_back, unpack
from . import processes, threads
from .state import mark_in_item, this_process, worker_name
from .threads import solver_thread_errors


def _module_state() -> Any:
    core = dralvex_computer.dralvex_core
    return tuple(getattr(core, name, None) for name in ("_validSetup_", "_exePath_", "_settingsPath_",
                                                        "_dataSourcesPath_"))


def ensure_set_up(installation: Installation) -> None:
    """Sets the module up unless the last item left it set up on this very
    installation (an item may set it up elsewhere, or undo it)."""
    dralvex_computer._run_prepare(installation.prepare)
    if this_process.set_up_on == installation and _module_state() == this_process.set_up_state:
        return
    this_process.set_up_on = None
    installation.set_up()
    this_process.set_up_on, this_process.set_up_state = installation, _module_state()


def run_packed(shared: bytes, index: int, item: Any) -> ItemResult:
    """``run_item`` of a task sent packed (``protocol.TaskPacker``)."""
    return run_item(unpack(shared, index, item))


def run_item(task: ItemTask) -> ItemResult:
    """Runs one item in a worker; never raises for what the item does."""
    in_caller = task.origin == worker_name()
    with this_process.lock:
        result = ItemResult(task.index, None, DONE, worker=worker_name(), started=time.time())
        clock = time.perf_counter()
        if this_process.abandoned is not None:
            busy = task.hooks.abandoned(this_process.abandoned)
            if busy is not None:
                result.status, result.error_message = FAILED, busy
                return result
            this_process.abandoned = None
        claimed = task.hooks.claim(task)
        if claimed is not None:
            claimed.worker, claimed.started = result.worker, result.started
            return claimed
        if not in_caller and type(task.hooks) not in this_process.hooks_set_up:
            task.hooks.set_up()
            this_process.hooks_set_up.add(type(task.hooks))
        own_temp = Scratch(task.run_id).work_directory()
        task.hooks.start(task, result)
        if task.seats is not None:
            task.seats.bind()
        if this_process.home is None:
            this_process.home = os.getcwd()
        elif os.getcwd() != this_process.home:
            os.chdir(this_process.home)   # an item moved it (removeProjectFolder does)
        this_process.running[task.run_id] = task.index
        this_process.start_clock(os.path.dirname(own_temp), task.index, None if in_caller else task.timeout)
        try:
            _run_function(task, result, own_temp, in_caller)
        finally:
            this_process.record_deadline(ended=True)
            this_process.running.pop(task.run_id, None)
            _empty(own_temp)
            task.hooks.end(task)
        result.elapsed = time.perf_counter() - clock
        result.seat_wait = round(this_process.seat_wait, 6)
        if not in_caller:
            send_back(result)
        return result


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


class _Captured:
    """In a worker process: the item's output, its warnings (each as often
    as it was raised: the module's shared-FRE warning above all) and its
    temporary files, kept to the item."""

    def __init__(self, own_temp: str) -> None:
        self.own_temp = own_temp
        self.output = io.StringIO()
        self.warnings: List[Any] = []

    def __enter__(self) -> "_Captured":
        self.descriptors = _DescriptorOutput()
        self.saved = tempfile.tempdir, sys.stdout, sys.stderr
        tempfile.tempdir, sys.stdout, sys.stderr = self.own_temp, self.output, self.output
        self.catcher = warnings.catch_warnings(record=True)
        self.warnings = self.catcher.__enter__()
        warnings.simplefilter("always")
        return self

    def __exit__(self, *exception: Any) -> None:
        self.catcher.__exit__(*exception)
        tempfile.tempdir, sys.stdout, sys.stderr = self.saved
        self.output.write(self.descriptors.end())


class _DescriptorOutput:
    """What the item writes to its file descriptors 1 and 2 directly (a
    library's C code, a program it starts that inherits them), captured in
    a file of the worker's, made once and emptied after an item that wrote
    to it: it joins the item's output after what it printed, its head and
    tail where it is long. Where the process has no such descriptors,
    nothing is captured. A few system calls an item: tiny items stay tiny."""

    def __init__(self) -> None:
        self.capturing = False
        try:
            if this_process.descriptor_output is None:   # in the worker's temporary directory, not a run's scratch
                this_process.descriptor_output = (tempfile.TemporaryFile(), os.dup(1), os.dup(2))
            capture = this_process.descriptor_output[0].fileno()
            _flush_standard_streams()
            os.dup2(capture, 1)
            os.dup2(capture, 2)
            self.capturing = True
        except (OSError, ValueError):
            pass

    def end(self) -> str:
        if not self.capturing:
            return ""
        self.capturing = False
        _flush_standard_streams()
        capture, out, err = this_process.descriptor_output
        os.dup2(out, 1)
        os.dup2(err, 2)
        size = os.fstat(capture.fileno()).st_size
        if not size:
            return ""
        half = OUTPUT_KEPT // 2
        capture.seek(0)
        if size <= 2 * half:
            text = capture.read().decode("utf-8", "replace")
        else:
            head = capture.read(half)
            capture.seek(size - half)
            text = "%s\n[... %d bytes of output dropped ...]\n%s" % (
                head.decode("utf-8", "replace"), size - 2 * half, capture.read(half).decode("utf-8", "replace"))
        capture.seek(0)
        capture.truncate()
        return text


def _flush_standard_streams() -> None:
    for stream in (sys.__stdout__, sys.__stderr__):
        try:
            if stream is not None:
                stream.flush()
        except (OSError, ValueError):
            pass


class _Uncaptured(_Captured):
    """In the caller's own process: nothing process-wide is swapped."""

    def __enter__(self) -> "_Captured":
        return self

    def __exit__(self, *exception: Any) -> None:
        pass


def _run_function(task: ItemTask, result: ItemResult, own_temp: str, in_caller: bool) -> None:
    before = processes.descendants(os.getpid()) if task.timeout is not None else set()
    outcome: List[Any] = []

    def body() -> None:
        mark_in_item(own_process=not in_caller, task=task)
        with solver_thread_errors() as thread_errors:
            try:
                ensure_set_up(task.installation)
                outcome.append(("value", task.function(task.item), thread_errors))
            except BaseException as error:   # SystemExit and KeyboardInterrupt fail their item only
                outcome.append(("error", error, thread_errors))

    with (_Uncaptured if in_caller else _Captured)(own_temp) as captured:
        if task.timeout is None:
            body()
        else:
            thread = threading.Thread(target=body, name="dralvex-item-%d" % task.index, daemon=True)
            thread.start()
            _join_in_time(thread, task.timeout)
            if thread.is_alive():
                this_process.abandoned = thread   # first: what it does once its processes end is not the item's
                processes.end_processes(processes.started_since(before, in_caller))
                this_process.give_back_seats()   # its solver programs have ended
                threads.forget(thread)
                result.status = TIMED_OUT
                result.error_message = "ran past %s s; the processes it started were ended" % task.timeout
                result.output = capped(captured.output.getvalue())
                keep = getattr(task.function, "keep_unfinished", None)   # what it left, kept if asked
                if keep is not None:
                    result.results_dir = keep(task.item, None, "ran past %s s" % task.timeout)
                return
    result.output = capped(captured.output.getvalue())
    result.warnings += ["%s: %s" % (caught.category.__name__, caught.message) for caught in captured.warnings]
    _read_outcome(result, *outcome[0])


def _join_in_time(thread: threading.Thread, timeout: float) -> None:
    """Waits for the item's thread until its time-out, which does not count
    while the item waits for a licence seat."""
    while thread.is_alive():
        remaining = this_process.remaining(timeout)
        if remaining is not None and remaining <= 0:
            return
        thread.join(0.1 if remaining is None else min(remaining, 0.1))


def _read_outcome(result: ItemResult, kind: str, value: Any, thread_errors: List[Any]) -> None:
    """The status and reason of an item that ended: its value or exception,
    and an exception of the module's solver thread."""
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
