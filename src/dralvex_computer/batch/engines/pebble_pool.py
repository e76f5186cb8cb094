"""Pebble's process pool, seeing every worker death whatever its moment.

A worker takes a task and writes its "task started" message in one step,
so that message is in the pool's pipe before the worker can die. Pebble
checks its workers on one thread and reads their messages on another: a
worker found dead before its message was read has no task known to Pebble,
and Pebble then either forgets the death (its task stays "running" on a
dead process for ever) or, when no task is known to run at all, breaks the
whole pool ("All workers expired").

Here a death whose task is not known yet waits for the message: the task
it names ends at once as lost with its worker. A dead worker whose message
never comes (the pipe was read empty after its death) had taken no task and
is only replaced; workers that keep dying that way (an initializer that
fails) break the pool, as Pebble would.

Workers are started on threads of the pool's own, never the caller's: a
Ctrl-C lands in the main thread, and one that cut a worker's start short
(between its process and the data it reads) left it waiting for data that
never came ("EOFError: Ran out of input"). They start with SIGINT blocked,
so that a Ctrl-C to the group does not interrupt their imports with a
traceback each; the worker's own set-up unblocks it, once Pebble has made
the worker ignore it (the run ends its workers itself).

The workers share Pebble's channel under locks of ``pool_locks``, which a
killed holder lets go.

(the pool's process)                           (a worker)
  schedule -> _Manager.schedule  --task pipe-->  takes a task and says so,
                                                 under the channel's lock
  _Manager.process_next_message  <--messages--   "task started", results
  _Manager.handle_worker_expiration: a death, matched with its "task started"
"""
from __future__ import annotations

import signal
import threading
from concurrent.futures.process import BrokenProcessPool
from typing import Any, Dict, Optional, Set, Tuple

import pebble
from pebble.common import ProcessExpired, Result, ResultStatus
from pebble.pool import process as pebble_process

from .pool_locks import SpawnContext

DEATHS_BEFORE_BROKEN = 3   # per worker, in a row, before any takes a task
BLOCKED_WHILE_STARTING = {signal.SIGINT}


def unblock_signals() -> None:
    """In a worker, once set up: the signals it started with blocked."""
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, BLOCKED_WHILE_STARTING)


class _Workers(pebble_process.WorkerManager):   # type: ignore[misc]
    def new_worker(self) -> None:
        if not hasattr(signal, "pthread_sigmask"):
            return super().new_worker()   # Windows: no signal to a group
        before = signal.pthread_sigmask(signal.SIG_BLOCK, BLOCKED_WHILE_STARTING)   # this thread's only
        try:
            super().new_worker()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, before)


class _Manager(pebble_process.PoolManager):   # type: ignore[misc]
    def __init__(self, context: Any, mp_context: Any) -> None:
        super().__init__(context, mp_context)
        self.worker_manager = _Workers(context.workers, context.worker_parameters, mp_context)
        self.lock = threading.Lock()   # a death and a "task started" are matched under it
        self.dispatching = threading.Lock()   # a task is registered and put in the pipe under it
        self.dead: Dict[int, int] = {}   # pid -> exit code: died with no task known yet
        self.deaths_in_a_row = 0   # of workers that died having taken no task
        self.counted: Set[int] = set()

    def schedule(self, task: Any) -> None:
        with self.dispatching:
            super().schedule(task)

    def handle_worker_expiration(self, expiration: Tuple[int, int]) -> None:
        pid, exitcode = expiration
        with self.lock:
            task = self._task_of(pid)
            if task is None:
                self.dead[pid] = exitcode
                return
        self._lost(task.id, pid, exitcode)

    def process_next_message(self, timeout: float) -> None:
        with self.lock:
            dead_before = set(self.dead)
        message = self.worker_manager.receive(timeout)
        if isinstance(message, pebble_process.NoMessage):
            self._settle(dead_before)
        else:
            self._handle(message)

    def _handle(self, message: Any) -> None:
        if isinstance(message, pebble_process.Acknowledgement):
            with self.lock:
                self.task_manager.task_start(message.task, message.worker)
                self.deaths_in_a_row = 0
                exitcode = self.dead.pop(message.worker, None)
            if exitcode is not None:
                self._lost(message.task, message.worker, exitcode)
        elif isinstance(message, pebble_process.TaskResult):
            self.task_manager.task_done(message.task, message.result)
        elif isinstance(message, pebble_process.TaskProblem):
            self.task_manager.task_problem(message.task, message.error)

    def _settle(self, dead_before: Set[int]) -> None:
        """Deaths whose "task started" the pipe did not hold: with no task
        being taken or dispatched, and every message written read, a task
        no worker started and no longer in the pipe was taken by one of
        them, which died before it said so. While tasks wait in the pipe
        their takers are not known yet: they are looked at again later."""
        with self.lock:
            unclaimed = dead_before & set(self.dead)
            self.deaths_in_a_row += len(unclaimed - self.counted)
            self.counted |= unclaimed
        if self.deaths_in_a_row >= DEATHS_BEFORE_BROKEN * max(1, self.worker_manager.workers_number):
            raise BrokenProcessPool("the pool's workers keep ending before they take a task")
        if not unclaimed:
            return
        channel = self.worker_manager.workers_channel
        if channel is None:
            return
        with self.dispatching, channel.lock(block=False) as locked:
            if not locked:
                return   # a worker is taking a task or sending a result: later
            for message in iter(lambda: self.worker_manager.receive(0), pebble_process.NoMessage()):
                self._handle(message)
            if channel.poll(0):
                return
            with self.lock:
                dead = [(pid, self.dead.pop(pid)) for pid in unclaimed if pid in self.dead]
                taken = [task for task in pebble_process.dictionary_values(self.task_manager.tasks)
                         if task.worker_id == 0]
        for index, task in enumerate(taken if dead else ()):
            pid, exitcode = dead[min(index, len(dead) - 1)]
            self._lost(task.id, pid, exitcode)

    def _task_of(self, pid: int) -> Any:
        tasks = pebble_process.dictionary_values(self.task_manager.tasks)
        return next((task for task in tasks if task.worker_id == pid), None)

    def _lost(self, task_id: int, pid: int, exitcode: int) -> None:
        error = ProcessExpired("Abnormal termination", code=exitcode, pid=pid)
        self.task_manager.task_done(task_id, Result(ResultStatus.ERROR, error))


class ProcessPool(pebble.ProcessPool):   # type: ignore[misc]
    """Pebble's pool on the spawn start method, its channel locks in
    ``lock_directory`` (a directory of the caller's own, kept until the
    pool has ended)."""

    def __init__(self, lock_directory: Optional[str] = None, **options: Any) -> None:
        self.spawn_context = SpawnContext(lock_directory)
        super().__init__(context=self.spawn_context, **options)
        self._pool_manager = _Manager(self._context, self.spawn_context)
        self._starting: Optional[threading.Thread] = None

    def _start_pool(self) -> None:
        if self._starting is None:
            self._starting = threading.Thread(target=super()._start_pool, name="pool start", daemon=True)
            self._starting.start()
        self._started()

    def _started(self) -> None:
        """Waits for the pool's start, to its end whatever lands meanwhile:
        a stop that came before it would be undone by it."""
        interrupted: Optional[BaseException] = None
        while self._starting is not None and self._starting.is_alive():
            try:
                self._starting.join()
            except KeyboardInterrupt as raised:
                interrupted = raised
        if interrupted is not None:
            raise interrupted

    def stop(self) -> None:
        try:
            self._started()
        finally:
            super().stop()

    def close(self) -> None:
        try:
            self._started()
        finally:
            super().close()
