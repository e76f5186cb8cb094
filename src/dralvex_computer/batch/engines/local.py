"""The local process pool: Pebble's, on the spawn start method (as on
Windows), seeing every worker that dies (``pebble_pool``). Pebble counts
each item's time-out and ends the worker of an item that runs past it; the
worker leads a process group of its own, recorded when an item starts, so
that the solver programs it started are ended with it.

Without a time-out, items that turn out to be tiny are handed over in
chunks (one pool task each, lasting about CHUNK_SECONDS), each item's
result coming back on the worker's own stream (``stream``) as it ends: a
pool task costs more than a tiny item. A chunk whose worker died has its
running item lost and its other items handed over again."""
from __future__ import annotations

import concurrent.futures
import os
import signal
import tempfile
import time
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Set, Tuple, Union

from .. import worker
from ..items import DONE, SOLVED, ItemResult
from ..protocol import ABANDONED_GRACE, ItemTask, Scratch, TaskPacker, WorkerHooks, cancelled, exit_status, failed, \
    timed_out, unpack, worker_lost
from ..worker import processes
from . import stream
from .base import Engine

CHUNK_SECONDS = 0.05   # how long a chunk of tiny items lasts
MAX_CHUNK = 64
# A worker that counts its item's time-out itself (with seats) and lets it
# pass by this much more is stopped (SIGSTOP) or hung: the run ends it.
OVERDUE_SECONDS = 10.0


class LocalHooks(WorkerHooks):
    def set_up(self) -> None:
        processes.contain_worker(own_group=True, watch=True)

    def abandoned(self, thread: Any) -> Optional[str]:
        """Pebble replaces a worker that ends: the item is not started yet,
        so the run hands it over again."""
        thread.join(ABANDONED_GRACE)
        if thread.is_alive():
            processes.replace_this_worker()
        return None

    def start(self, task: ItemTask, result: ItemResult) -> None:
        # which worker runs the item, read back if it is lost
        Scratch(task.run_id).record_item(task.index, worker.own_stamp(), worker.worker_name(), result.started
                                         or time.time())


def _register_worker(run_id: str, temporary_directory: str, results: Optional[Tuple[Any, bytes]]) -> None:
    """Pool initializer: the worker takes the run's temporary directory as
    it is (finding one on its own writes a probe file there, which a worker
    ended at that moment would leave behind), leads a process group of its
    own, ended whole when the parent dies, records itself for the run's
    Ctrl-C, and connects its result stream. Pebble has made it ignore
    Ctrl-C: the signal it started with blocked is let through again."""
    from .pebble_pool import unblock_signals
    unblock_signals()
    tempfile.tempdir = temporary_directory
    LocalHooks().set_up()
    Scratch(run_id).record_worker(processes.stamp())
    if results is not None:
        stream.connect(*results)


class ChunkEnded(NamedTuple):
    """A chunk's future ended: its worker's pid, or why it never ran."""
    future: Any


class TaskEnded(NamedTuple):
    """The future of a task of one item ended (the pool counted its time-out)."""
    future: Any


# What the pool's queue of ended things holds, one named kind each (as
# Pebble's own messages): an item's result, sent by its worker the moment
# the item ended; a worker's stream closed, after all it sent; a chunk's
# future ended; a single task's future ended.
Ended = Union[ItemResult, stream.Closed, ChunkEnded, TaskEnded]


def _run_chunk(shared: bytes, items: List[Tuple[int, Any]]) -> int:
    """In a worker: a chunk's items one after the other, each result sent as
    its item ends. Returns the worker's pid."""
    for index, item in items:
        stream.send(worker.run_item(unpack(shared, index, item)))
    return os.getpid()


def _start_resource_tracker() -> None:
    """Starts multiprocessing's resource tracker (POSIX) deaf to SIGHUP, as
    it is to SIGINT and SIGTERM itself: closing a terminal sends SIGHUP to
    the whole group, and a tracker that died with it would be started again
    and complain about every semaphore of the pool. SIGHUP is blocked, not
    ignored, while the tracker starts: the tracker keeps it blocked, and one
    that reaches the run meanwhile waits and is handled, never lost."""
    if not hasattr(signal, "SIGHUP") or not hasattr(signal, "pthread_sigmask"):
        return
    from multiprocessing import resource_tracker
    before = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGHUP})
    try:
        resource_tracker.ensure_running()
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, before)   # as the caller had it


class LocalPool(Engine):
    timeout_in_worker = False   # Pebble counts it, and ends the worker

    def __init__(self, run_id: str, timeout: Optional[float], workers: Optional[int],
                 timeout_in_worker: bool = False) -> None:
        super().__init__(run_id, timeout)
        self.timeout_in_worker = timeout_in_worker
        self.pool_timeout = None if timeout_in_worker else timeout   # what Pebble counts
        from .pebble_pool import ProcessPool
        _start_resource_tracker()
        self.workers = workers or os.cpu_count() or 1
        self.packer = TaskPacker()
        self.stream = stream.ResultStream(self.finished, self.scratch.root, run_id) \
            if self.pool_timeout is None else None
        self.pending: List[ItemTask] = []             # held by submit, handed over as chunks by flush
        self.chunks: Dict[Any, List[ItemTask]] = {}   # a chunk's future -> its items
        self.unreported: Dict[int, ItemTask] = {}     # index -> an item of a chunk whose result has not come
        self.ended_chunks: Dict[int, List[Tuple[List[ItemTask], Optional[BaseException]]]] = {}   # pid -> ...
        self.closed_streams: Set[int] = set()        # pids whose result stream has ended
        self.mean_elapsed: Optional[float] = None
        self.overdue: Set[int] = set()   # items whose worker the run ended at their time-out
        results = (self.stream.address, self.stream.key) if self.stream is not None else None
        self.pool = ProcessPool(max_workers=self.workers, lock_directory=self.scratch.root,
                                       initializer=_register_worker,
                                       initargs=(run_id, tempfile.gettempdir(), results))

    @classmethod
    def why_not_here(cls, executor: Any) -> Optional[str]:
        """It starts processes, which a daemonic process (a multiprocessing
        pool's worker) may not."""
        import multiprocessing
        if not multiprocessing.current_process().daemon:
            return None
        return ("this run was started in a daemonic process (%s, a multiprocessing pool's worker), which may not "
                "start the run's worker processes: start it from a process that is not daemonic "
                "(multiprocessing.Process), or give executor= a concurrent.futures.ThreadPoolExecutor"
                % multiprocessing.current_process().name)

    @classmethod
    def for_run(cls, run_id: str, timeout: Optional[float], executor: Any, workers: Optional[int], seats: bool,
                resources: Optional[Dict[str, float]]) -> Engine:
        # an item's time-out counts from its solve's start, after any wait
        # for a seat: the worker counts it, not the pool
        return cls(run_id, timeout, workers, timeout_in_worker=seats)

    def hooks(self) -> WorkerHooks:
        return LocalHooks()

    def _submit(self, task: ItemTask) -> Any:
        try:
            return self.pool.schedule(worker.run_packed, args=self.packer.pack(task), timeout=self.pool_timeout)
        except Exception:   # what does not pickle fails its item, as the pool says
            return self.pool.schedule(worker.run_item, args=(task,), timeout=self.pool_timeout)

    def _run_remotely(self, function: Any, *arguments: Any) -> Any:
        return self.pool.schedule(function, args=arguments).result()

    def capacity(self) -> int:
        return self.workers * max(8, 2 * self.chunk_size())

    def slots(self) -> int:
        return self.workers

    # ------------------------------------------------------------ chunks
    def chunk_size(self) -> int:
        """1 until items are known to be tiny (or with a time-out, which
        the pool counts a task)."""
        if self.stream is None or self.mean_elapsed is None:
            return 1
        return max(1, min(MAX_CHUNK, int(CHUNK_SECONDS / max(self.mean_elapsed, 1e-6))))

    def submit(self, task: ItemTask) -> None:
        if self.chunk_size() == 1:
            super().submit(task)
        else:
            self.pending.append(task)

    def flush(self) -> None:
        size = self.chunk_size()
        if len(self.pending) < size and len(self.unreported) + len(self.futures) >= self.workers * size:
            return   # the workers have enough: wait for a whole chunk
        tasks, self.pending = self.pending, []
        size = max(1, min(size, -(-len(tasks) // self.workers)))   # every worker a share of a short queue
        for start in range(0, len(tasks), size):
            chunk = tasks[start:start + size]
            try:
                shared = self.packer.pack(chunk[0])[0]
            except Exception:   # what does not pickle fails its item, as the pool says
                for task in chunk:
                    super().submit(task)
                continue
            future = self.pool.schedule(_run_chunk, args=(shared, [(task.index, task.item) for task in chunk]))
            self.chunks[future] = chunk
            self.unreported.update((task.index, task) for task in chunk)
            future.add_done_callback(lambda done: self.finished.put(ChunkEnded(done)))

    def in_flight(self) -> int:
        return len(self.futures) + len(self.unreported) + len(self.pending)

    def _followed(self) -> Iterable[Tuple[Any, ItemTask]]:
        yield from self.futures.items()
        for future, chunk in self.chunks.items():
            first = next((task for task in chunk if task.index in self.unreported), None)
            if first is not None:
                yield future, first

    def _wait(self, seconds: float) -> Iterable[Any]:
        return self._drain(seconds)   # of the kinds of Ended

    def _watch(self, future: Any) -> None:
        future.add_done_callback(lambda done: self.finished.put(TaskEnded(done)))

    def _results_of(self, ended: Ended) -> List[ItemResult]:
        if isinstance(ended, ItemResult):
            task = self.unreported.pop(ended.index, None)
            return [self._brought_back(ended, task)] if task is not None else []
        if isinstance(ended, stream.Closed):
            self.closed_streams.add(ended.pid)   # after all it sent: this order is the queue's
            return self._resolve(ended.pid)
        if isinstance(ended, ChunkEnded):
            return self._chunk_ended(ended.future) if ended.future in self.chunks else []
        if ended.future not in self.futures:
            return []
        if self._replaced_before(ended.future):
            self.submit(self.futures.pop(ended.future))   # its worker ended itself to be replaced: it goes again
            self.flush()
            return []
        return super()._results_of(ended.future)

    def _replaced_before(self, future: Any) -> bool:
        """The worker ended itself to be replaced before the item started
        (``LocalHooks.abandoned``)."""
        error = future.exception()
        pid = getattr(error, "pid", None)
        return getattr(error, "exitcode", None) == processes.EXIT_REPLACE_ME and pid is not None \
            and not self._started_in(self.futures[future].index, pid)

    def _started_in(self, index: int, pid: int) -> bool:
        record = self.scratch.item_record(index)
        return record is not None and record[1].endswith(":%d" % pid)

    def ended(self, seconds: float) -> List[ItemResult]:
        self._end_overdue()
        results = super().ended(seconds)
        for result in results:   # how long an item takes sets the size of a chunk
            if result.elapsed > 0 and result.status in (DONE, SOLVED):
                self.mean_elapsed = result.elapsed if self.mean_elapsed is None else \
                    0.9 * self.mean_elapsed + 0.1 * result.elapsed
        return results

    def _chunk_ended(self, future: Any) -> List[ItemResult]:
        chunk = self.chunks.pop(future)
        try:
            pid, error = future.result(), None
        except BaseException as raised:
            pid, error = getattr(raised, "pid", None), raised
        if pid is None:   # never ran (cancelled), or could not be sent
            return [self._left(task, error) for task in self._take_unreported(chunk)]
        self.ended_chunks.setdefault(pid, []).append((chunk, error))
        return self._resolve(pid) if pid in self.closed_streams else []

    def _take_unreported(self, chunk: List[ItemTask]) -> List[ItemTask]:
        """The chunk's items with no result yet, no longer awaited."""
        return [task for task in chunk if self.unreported.pop(task.index, None) is not None]

    def _left(self, task: ItemTask, error: Optional[BaseException]) -> ItemResult:
        if error is None or isinstance(error, concurrent.futures.CancelledError):
            return cancelled(task.index)
        return failed(task, error)

    def _resolve(self, pid: int) -> List[ItemResult]:
        """A worker's stream has ended, so all it sent is here: the items of
        its ended chunks with no result. The one it was running when it
        died is lost with it; the ones it never started go again."""
        results: List[ItemResult] = []
        for chunk, error in self.ended_chunks.pop(pid, []):
            left = self._take_unreported(chunk)
            if not left:
                continue
            if error is None:   # the chunk ended, its stream broke
                results.extend(self._left(task, RuntimeError("its result was lost on its way back")) for task in left)
                continue
            if self._started_in(left[0].index, pid):
                reported = self._reported(error, left[0])
                results.append(self._brought_back(reported or failed(left[0], error), left[0]))
                left = left[1:]
            for task in left:
                self.submit(task)
            self.flush()
        return results

    def _end_overdue(self) -> None:
        """Ends the worker of an item it let run past its time-out."""
        if not self.timeout_in_worker or self.timeout is None:
            return
        running = {task.index for task in self.futures.values()} - self.overdue
        for index, (deadline, pid) in self.scratch.deadlines().items():
            record = self.scratch.item_record(index) if index in running else None
            # the record of the worker that runs the item now, not one of an earlier try's
            if record is not None and record[0].split()[0] == pid and time.monotonic() > deadline + OVERDUE_SECONDS:
                self.overdue.add(index)
                self._end_group_of(index)

    def _reported(self, error: BaseException, task: ItemTask) -> Optional[ItemResult]:
        import pebble
        if isinstance(error, concurrent.futures.TimeoutError) or task.index in self.overdue:
            result, why = timed_out(task, self.timeout, worker_ended=True), "ran past %s s" % self.timeout
        elif isinstance(error, pebble.ProcessExpired):
            result = worker_lost(task, exit_status(error.exitcode))
            why = "lost its worker (%s)" % exit_status(error.exitcode)
        else:
            return None
        self._end_item_group(task.index, result)
        keep = getattr(task.function, "keep_unfinished", None)   # what the ended worker left, kept if asked
        if keep is not None and result.worker:
            result.results_dir = keep(task.item, self.scratch.work_directory_of(result.worker), why)
        return result

    def _end_item_group(self, index: int, result: ItemResult) -> None:
        """The worker is gone; its group, recorded when the item started,
        still holds the solver programs it started."""
        record = self._end_group_of(index)
        if record is None:
            return
        _, result.worker, started = record
        if started is not None:
            result.started, result.elapsed = started, time.time() - started

    def _end_group_of(self, index: int) -> Optional[Tuple[str, str, Optional[float]]]:
        """Ends the process group of the worker that ran ``index`` last;
        that worker's record."""
        record = self.scratch.item_record(index)
        group = processes.own_group(record[0]) if record is not None else None
        if group is not None:
            processes.end_group(group)
        return record

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
        self.pool.spawn_context.semaphores.clear()   # every worker has ended
        if self.stream is not None:
            self.stream.close()
        super().close()
