"""The engines a run hands its items to, behind one small interface: the
local process pool (Pebble's, on spawn as on Windows), any
``concurrent.futures.Executor`` as it is, and a Dask ``Client``.

An engine runs ``worker.run_item`` on each task and brings back its
``ItemResult``; it turns what the engine itself reports (a time-out, a
worker that died, a cancellation) into a result of that item; it stops at
once when the run is interrupted, ending what the items started; and at
its close it removes the run's scratch directory on every machine it ran
on.
"""
from __future__ import annotations

import concurrent.futures
import glob
import math
import multiprocessing
import os
import signal
import tempfile
import threading
import time
from typing import Any, Dict, Iterable, List, Optional

from . import processes, worker
from .items import CANCELLED, TIMED_OUT, WORKER_LOST, ItemResult, failed, lost
from .worker import ItemTask


class Engine:
    """What a run needs of an engine."""

    kind = ""

    def __init__(self, run_id: str, timeout: Optional[float]) -> None:
        self.run_id = run_id
        self.timeout = timeout
        self.futures: Dict[Any, ItemTask] = {}
        self.seen_running: Dict[int, float] = {}   # index -> when it was first seen running
        self.closed = False
        worker.claim_scratch(run_id)

    # what the engine has to provide
    def _submit(self, task: ItemTask) -> Any:
        raise NotImplementedError

    def _wait(self, futures: List[Any], seconds: float) -> Iterable[Any]:
        done, _ = concurrent.futures.wait(futures, timeout=seconds, return_when=concurrent.futures.FIRST_COMPLETED)
        return done

    def _outcome(self, future: Any, task: ItemTask) -> ItemResult:
        raise NotImplementedError

    def probe(self, installation: Any) -> str:
        raise NotImplementedError

    def capacity(self) -> int:
        """How many items to hand over at a time: enough to keep every
        worker busy, few enough that a long queue stays in the run."""
        return 64

    def interrupt(self) -> None:
        """Stops now: nothing more starts, what runs is ended."""
        for future in self.futures:
            future.cancel()

    def _remove_scratch(self) -> None:
        worker.remove_scratch(self.run_id)

    # the same for every engine
    def task(self, **fields: Any) -> ItemTask:
        return ItemTask(run_id=self.run_id, origin=worker.worker_name(), engine=self.kind, **fields)

    def submit(self, task: ItemTask) -> None:
        self.futures[self._submit(task)] = task

    def running(self) -> List[int]:
        """Indices newly seen running in a worker."""
        now, new = time.time(), []
        for future, task in self.futures.items():
            if task.index not in self.seen_running and self._is_running(future):
                self.seen_running[task.index] = now
                new.append(task.index)
        return new

    def _is_running(self, future: Any) -> bool:
        return bool(future.running())

    def ended(self, seconds: float) -> List[ItemResult]:
        """Results of the items that ended, waiting up to ``seconds``."""
        if not self.futures:
            time.sleep(seconds)
            return []
        results = []
        for future in self._wait(list(self.futures), seconds):
            task = self.futures.pop(future)
            result = self._outcome(future, task)
            result.index, result.item = task.index, task.item
            if result.started is None and task.index in self.seen_running:
                result.started = self.seen_running[task.index]
                result.elapsed = time.time() - result.started
            results.append(worker.bring_back(result))
        return results

    def close(self) -> None:
        if not self.closed:
            self.closed = True
            self._remove_scratch()


# ------------------------------------------------------------ local pool

def _register_worker(run_id: str, temporary_directory: str) -> None:
    """Pool initializer: the worker takes the run's temporary directory as
    it is (finding one on its own writes a probe file there, which a worker
    ended at that moment would leave behind), leads a process group of its
    own, ended whole when the parent dies, and records itself for the
    run's Ctrl-C."""
    import tempfile
    tempfile.tempdir = temporary_directory
    processes.contain_worker(own_group=True, watch=True)
    root = worker.scratch_root(run_id)
    os.makedirs(root, exist_ok=True)
    with open(os.path.join(root, "w-%d" % os.getpid()), "w") as stream:
        stream.write(processes.identity())


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
    kind = worker.LOCAL

    def __init__(self, run_id: str, timeout: Optional[float], workers: Optional[int]) -> None:
        super().__init__(run_id, timeout)
        import pebble
        _start_resource_tracker()
        self.workers = workers or os.cpu_count() or 1
        self.pool = pebble.ProcessPool(max_workers=self.workers,
                                       context=multiprocessing.get_context("spawn"),
                                       initializer=_register_worker,
                                       initargs=(run_id, tempfile.gettempdir()))

    def _submit(self, task: ItemTask) -> Any:
        return self.pool.schedule(worker.run_item, args=(task,), timeout=self.timeout)

    def capacity(self) -> int:
        return 2 * self.workers

    def probe(self, installation: Any) -> str:
        future = self.pool.schedule(worker.probe, args=(installation,))
        return future.result()

    def _outcome(self, future: Any, task: ItemTask) -> ItemResult:
        import pebble
        try:
            return future.result()
        except concurrent.futures.TimeoutError:
            result = lost(task.index, task.item, TIMED_OUT,
                          "ran past %s s; its worker and the processes it started were ended" % self.timeout)
        except pebble.ProcessExpired as error:
            result = lost(task.index, task.item, WORKER_LOST, "its worker process died (exit code %s)" % error.exitcode)
        except concurrent.futures.CancelledError:
            return lost(task.index, task.item, CANCELLED, "cancelled")
        except BaseException as error:
            return failed(task.index, task.item, error)
        self._end_item_group(task.index, result)
        return result

    def _end_item_group(self, index: int, result: ItemResult) -> None:
        """The worker is gone; its group, recorded when the item started,
        still holds the solver programs it started."""
        try:
            with open(os.path.join(worker.scratch_root(self.run_id), "item-%d.pid" % index)) as stream:
                identity, name, started = (stream.read().split("\n") + ["", ""])[:3]
        except OSError:
            return
        result.worker = name
        try:
            result.started = float(started)
            result.elapsed = time.time() - result.started
        except ValueError:
            pass
        group = processes.own_group(identity)
        if group is not None:
            processes.end_group(group)

    def _worker_groups(self) -> List[int]:
        """The process groups of this run's workers, alive or not, each
        checked to be still ours."""
        groups = []
        for path in glob.glob(os.path.join(glob.escape(worker.scratch_root(self.run_id)), "w-*")):
            try:
                with open(path) as stream:
                    group = processes.own_group(stream.read())
            except OSError:
                continue
            if group is not None:
                groups.append(group)
        return groups

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


# ----------------------------------------------- any concurrent.futures

class Executor(Engine):
    """An executor used as it is: a time-out is counted in the worker from
    the item's real start; the item is then reported and the processes it
    started are ended, but its function is left to finish (the executor
    cannot stop it) and the next item in that worker waits for it."""

    kind = worker.EXECUTOR

    def __init__(self, run_id: str, timeout: Optional[float], executor: Any) -> None:
        super().__init__(run_id, timeout)
        self.executor = executor

    def task(self, **fields: Any) -> ItemTask:
        return super().task(timeout=self.timeout, **fields)

    def _submit(self, task: ItemTask) -> Any:
        return self.executor.submit(worker.run_item, task)

    def probe(self, installation: Any) -> str:
        return self.executor.submit(worker.probe, installation).result()

    def _outcome(self, future: Any, task: ItemTask) -> ItemResult:
        try:
            return future.result()
        except concurrent.futures.CancelledError:
            return lost(task.index, task.item, CANCELLED, "cancelled")
        except concurrent.futures.process.BrokenProcessPool as error:
            return lost(task.index, task.item, WORKER_LOST, str(error) or "its worker process died")
        except BaseException as error:
            return failed(task.index, task.item, error)


# ----------------------------------------------------------------- Dask

class Dask(Engine):
    """A Dask ``Client``: workers anywhere, sharing nothing with this process
    but the model files and the installation path. A worker that died while
    running an item makes Dask run it again; the scheduler's metadata tells
    that second attempt, wherever it lands, to report the loss instead."""

    kind = worker.DASK

    def __init__(self, run_id: str, timeout: Optional[float], client: Any) -> None:
        super().__init__(run_id, timeout)
        self.client = client
        self.threads, self.threads_asked = 0, -math.inf
        self.submitted: Dict[int, int] = {}   # index -> tries handed over

    def task(self, **fields: Any) -> ItemTask:
        return super().task(timeout=self.timeout, **fields)

    def _submit(self, task: ItemTask) -> Any:
        # a key of its own for each try: a try under the last one's key, sent
        # before the scheduler forgot it, would get the last one's result
        self.submitted[task.index] = self.submitted.get(task.index, 0) + 1
        return self.client.submit(worker.run_item, task, pure=False,
                                  key="dralvex-%s-%d-%d" % (self.run_id, task.index, self.submitted[task.index]))

    def _is_running(self, future: Any) -> bool:
        return False   # Dask does not say; items carry their own start

    def capacity(self) -> int:
        now = time.monotonic()
        if now - self.threads_asked > 5:   # workers come and go; the scheduler is asked now and then
            self.threads_asked = now
            try:
                self.threads = sum(self.client.nthreads().values())
            except Exception:
                pass
        return max(64, 2 * self.threads)

    def _wait(self, futures: List[Any], seconds: float) -> Iterable[Any]:
        import distributed
        try:
            done, _ = distributed.wait(futures, timeout=seconds, return_when="FIRST_COMPLETED")
        except (TimeoutError, distributed.TimeoutError):
            return []
        except Exception:   # the scheduler is gone: its futures were cancelled
            return [future for future in futures if future.done()] or futures
        return done

    def _scheduler_gone(self) -> bool:
        return str(getattr(self.client, "status", "running")) not in ("running", "Status.running")

    def probe(self, installation: Any) -> str:
        return self.client.submit(worker.probe, installation, pure=False).result()

    def _outcome(self, future: Any, task: ItemTask) -> ItemResult:
        if not future.done() and self._scheduler_gone():
            return lost(task.index, task.item, WORKER_LOST, "the Dask scheduler went away while it ran or waited")
        try:
            return future.result()
        except BaseException as error:
            if not isinstance(error, KeyboardInterrupt) and self._scheduler_gone():
                return lost(task.index, task.item, WORKER_LOST, "the Dask scheduler went away while it ran or waited "
                                                                "(%s)" % type(error).__name__)
            if isinstance(error, concurrent.futures.CancelledError):
                return lost(task.index, task.item, CANCELLED, "cancelled")
            if type(error).__name__ == "KilledWorker":
                return lost(task.index, task.item, WORKER_LOST, "its worker process died: %s" % error)
            if type(error).__name__ == "CancelledError":
                return lost(task.index, task.item, CANCELLED, "cancelled")
            return failed(task.index, task.item, error)

    def interrupt(self) -> None:
        futures = list(self.futures)
        self.client.cancel(futures)
        try:
            self.client.run(worker.end_running, self.run_id)
        except Exception:
            pass

    def _remove_scratch(self) -> None:
        try:
            self.client.run(worker.remove_scratch, self.run_id)
            self.client.set_metadata(["dralvex-run", self.run_id], None)
        except Exception:
            pass
        worker.remove_scratch(self.run_id)


def is_dask_client(executor: Any) -> bool:
    return type(executor).__module__.startswith("distributed") and hasattr(executor, "gather")


def make(executor: Any, run_id: str, timeout: Optional[float], workers: Optional[int]) -> Engine:
    if executor is None:
        return LocalPool(run_id, timeout, workers)
    if is_dask_client(executor):
        return Dask(run_id, timeout, executor)
    return Executor(run_id, timeout, executor)

