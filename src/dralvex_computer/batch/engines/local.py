"""The local process pool: Pebble's, on the spawn start method (as on
Windows). Pebble counts each item's time-out and ends the worker of an item
that runs past it or dies; the worker leads a process group of its own,
recorded when an item starts, so that the solver programs it started are
ended with it."""
from __future__ import annotations

import concurrent.futures
import multiprocessing
import os
import signal
import tempfile
import threading
import time
from typing import Any, List, Optional

from .. import worker
from ..items import ItemResult
from ..protocol import ItemTask, Scratch, WorkerHooks, exit_status, timed_out, worker_lost
from ..worker import processes
from .base import Engine


class LocalHooks(WorkerHooks):
    def set_up(self) -> None:
        processes.contain_worker(own_group=True, watch=True)

    def start(self, task: ItemTask, result: ItemResult) -> None:
        # which worker runs the item, read back if it is lost
        Scratch(task.run_id).record_item(task.index, worker.own_identity(), worker.worker_name(), result.started
                                         or time.time())


def _register_worker(run_id: str, temporary_directory: str) -> None:
    """Pool initializer: the worker takes the run's temporary directory as
    it is (finding one on its own writes a probe file there, which a worker
    ended at that moment would leave behind), leads a process group of its
    own, ended whole when the parent dies, and records itself for the
    run's Ctrl-C."""
    tempfile.tempdir = temporary_directory
    LocalHooks().set_up()
    Scratch(run_id).record_worker(processes.identity())


def _start_resource_tracker() -> None:
    """Starts multiprocessing's resource tracker (POSIX) ignoring SIGHUP, as
    it ignores SIGINT and SIGTERM itself: closing a terminal sends SIGHUP to
    the whole group, and a tracker that died with it would be started again
    and complain about every semaphore of the pool."""
    if not hasattr(signal, "SIGHUP") or threading.current_thread() is not threading.main_thread():
        return
    from multiprocessing import resource_tracker
    saved = signal.signal(signal.SIGHUP, signal.SIG_IGN)
    try:
        resource_tracker.ensure_running()
    finally:
        signal.signal(signal.SIGHUP, saved)


class LocalPool(Engine):
    timeout_in_worker = False   # Pebble counts it, and ends the worker

    def __init__(self, run_id: str, timeout: Optional[float], workers: Optional[int]) -> None:
        super().__init__(run_id, timeout)
        import pebble
        _start_resource_tracker()
        self.workers = workers or os.cpu_count() or 1
        self.pool = pebble.ProcessPool(max_workers=self.workers, context=multiprocessing.get_context("spawn"),
                                       initializer=_register_worker, initargs=(run_id, tempfile.gettempdir()))

    def hooks(self) -> WorkerHooks:
        return LocalHooks()

    def _submit(self, task: ItemTask) -> Any:
        return self.pool.schedule(worker.run_item, args=(task,), timeout=self.timeout)

    def _run_remotely(self, function: Any, *arguments: Any) -> Any:
        return self.pool.schedule(function, args=arguments).result()

    def capacity(self) -> int:
        return 8 * self.workers

    def _reported(self, error: BaseException, task: ItemTask) -> Optional[ItemResult]:
        import pebble
        if isinstance(error, concurrent.futures.TimeoutError):
            result = timed_out(task, self.timeout, worker_ended=True)
        elif isinstance(error, pebble.ProcessExpired):
            result = worker_lost(task, exit_status(error.exitcode))
        else:
            return None
        self._end_item_group(task.index, result)
        return result

    def _end_item_group(self, index: int, result: ItemResult) -> None:
        """The worker is gone; its group, recorded when the item started,
        still holds the solver programs it started."""
        record = self.scratch.item_record(index)
        if record is None:
            return
        identity, result.worker, started = record
        if started is not None:
            result.started, result.elapsed = started, time.time() - started
        group = processes.own_group(identity)
        if group is not None:
            processes.end_group(group)

    def _worker_groups(self) -> List[int]:
        """The process groups of this run's workers, alive or not, each
        checked to be still ours."""
        groups = [processes.own_group(record) for record in self.scratch.worker_records()]
        return [group for group in groups if group is not None]

    def _end_workers(self) -> None:
        for group in self._worker_groups():
            processes.end_group(group)

    def interrupt(self) -> None:
        # Stopped, never drained: a cancelled running task would only have
        # its worker replaced by one that starts the next item.
        self._end_workers()
        self.pool.stop()
        self._end_workers()
        self.pool.join(timeout=5)
        self._end_workers()

    def close(self) -> None:
        if self.closed:
            return
        if self.pool.active:
            self.pool.close()
            self.pool.join()
        self._end_workers()
        super().close()
