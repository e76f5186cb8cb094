"""What a run needs of an engine, and what every engine does the same way:
tasks made with its hooks, futures followed, items seen running, results
brought back, an outcome for every way a future ends, the scratch
directory claimed at the start and removed at the close."""
from __future__ import annotations

import concurrent.futures
import queue
import time
from typing import Any, Dict, Iterable, List, Optional, Tuple

from .. import worker
from ..items import ItemResult
from ..protocol import ItemTask, Scratch, WorkerHooks, bring_back, cancelled, failed


RUNNING_GRAIN = 0.02


class Engine:
    """The parent's half of an engine."""

    # counts each item's time-out in the worker (not the engine itself)
    timeout_in_worker = True

    def __init__(self, run_id: str, timeout: Optional[float]) -> None:
        self.run_id = run_id
        self.timeout = timeout
        self.futures: Dict[Any, ItemTask] = {}
        self.seen_running: Dict[int, float] = {}   # index -> when it was first seen running
        self.finished: "queue.SimpleQueue[Any]" = queue.SimpleQueue()   # futures as they end
        self._task_fields: Optional[Dict[str, Any]] = None
        self._next_look = 0.0   # time.monotonic() of the next look for items now running
        self.closed = False
        self.scratch = Scratch(run_id)
        self.seats: Any = None   # where the run's licence seat pools live (a ``seats.SeatPlace``)
        self.scratch.claim(worker.own_stamp())

    @classmethod
    def for_run(cls, run_id: str, timeout: Optional[float], executor: Any, workers: Optional[int], seats: bool,
                resources: Optional[Dict[str, float]]) -> "Engine":
        """The engine for one run, from everything a run may give an
        engine (``seats``: whether its items take licence seats)."""
        raise NotImplementedError

    # what an engine provides
    def hooks(self) -> WorkerHooks:
        return WorkerHooks()

    @classmethod
    def why_not_here(cls, executor: Any) -> Optional[str]:
        """Why this engine cannot run items from where this run is, before
        anything starts (None: it can)."""
        return None

    @classmethod
    def seat_place(cls, pools: Any, executor: Any) -> Any:
        """Where this engine's workers meet for licence seats: a directory
        (this machine's, or a shared drive's)."""
        from ..seats.directory import DirectoryPlace
        return DirectoryPlace(pools)

    def _submit(self, task: ItemTask) -> Any:
        raise NotImplementedError

    def _watch(self, future: Any) -> None:
        """Has the future say when it ends: a wake-up costs the same with
        one item in flight or many."""
        future.add_done_callback(self.finished.put)

    def _drain(self, seconds: float) -> List[Any]:
        """What ended, waiting up to ``seconds`` for the first."""
        done: List[Any] = []
        try:
            done.append(self.finished.get(timeout=seconds))
            while True:
                done.append(self.finished.get_nowait())
        except queue.Empty:
            pass
        return done

    def _wait(self, seconds: float) -> Iterable[Any]:
        """The futures that ended, waiting up to ``seconds`` for the first."""
        return [future for future in self._drain(seconds) if future in self.futures]

    def _reported(self, error: BaseException, task: ItemTask) -> Optional[ItemResult]:
        """What the engine itself says of an item whose future raised
        ``error`` (a time-out, a lost worker), or None."""
        return None

    def _run_remotely(self, function: Any, *arguments: Any) -> Any:
        """Runs ``function(*arguments)`` where the items run, and waits."""
        raise NotImplementedError

    def probe(self, installation: Any) -> str:
        """The checks before the first item, where the items run."""
        return str(self._run_remotely(worker.probe, installation))

    def capacity(self) -> int:
        """How many items to hand over at a time: enough to keep every
        worker busy, few enough that a long queue stays in the run."""
        return 64

    def slots(self) -> int:
        """How many items run at once: a source's next item is made when
        fewer are handed over (each made as late as it can be)."""
        return 1

    def interrupt(self) -> None:
        """Stops now: nothing more starts, what runs is ended."""
        for future in self.futures:
            future.cancel()

    def _remove_scratch(self) -> None:
        self.scratch.remove()

    # the same for every engine
    def task(self, **fields: Any) -> ItemTask:
        if self._task_fields is None:   # the same for every task of the run
            self._task_fields = {"run_id": self.run_id, "origin": worker.worker_name(), "hooks": self.hooks(),
                                 "seats": self.seats}
        return ItemTask(**self._task_fields,
                        timeout=self.timeout if self.timeout_in_worker else None, **fields)

    def waiting_for_seats(self) -> int:
        """How many items wait for a licence seat in their workers now."""
        return self.seats.waiting(self.run_id) if self.seats is not None else 0

    def submit(self, task: ItemTask) -> None:
        future = self._submit(task)
        self.futures[future] = task
        self._watch(future)

    def running(self) -> List[int]:
        """Indices newly seen running in a worker, looked for at most every
        RUNNING_GRAIN seconds: a start needs no finer grain, and each look
        takes every future's lock."""
        if time.monotonic() < self._next_look:
            return []
        self._next_look = time.monotonic() + RUNNING_GRAIN
        now, new = time.time(), []
        for future, task in self._followed():
            if task.index not in self.seen_running and self._is_running(future):
                self.seen_running[task.index] = now
                new.append(task.index)
        return new

    def _followed(self) -> Iterable[Tuple[Any, ItemTask]]:
        """(future, the item it runs or will run next) of what is in flight."""
        return self.futures.items()

    def _is_running(self, future: Any) -> bool:
        return bool(future.running())

    def _outcome(self, future: Any, task: ItemTask) -> ItemResult:
        try:
            return future.result()
        except BaseException as error:
            reported = self._reported(error, task)
            if reported is not None:
                return reported
            if isinstance(error, concurrent.futures.CancelledError) or type(error).__name__ == "CancelledError":
                return cancelled(task.index)
            return failed(task, error)

    def ended(self, seconds: float) -> List[ItemResult]:
        """Results of the items that ended, waiting up to ``seconds``."""
        if not self.in_flight():
            time.sleep(seconds)
            return []
        return [result for ended in self._wait(seconds) for result in self._results_of(ended)]

    def _results_of(self, ended: Any) -> List[ItemResult]:
        """The results that one thing ``_wait`` gave says (here: a future)."""
        return [self._future_ended(ended)]

    def _future_ended(self, future: Any) -> ItemResult:
        task = self.futures.pop(future)
        result = self._outcome(future, task)
        return self._brought_back(result, task)

    def _brought_back(self, result: ItemResult, task: ItemTask) -> ItemResult:
        result.index = task.index
        if result.started is None and task.index in self.seen_running:
            result.started = self.seen_running[task.index]
            result.elapsed = time.time() - result.started
        return bring_back(result)

    def in_flight(self) -> int:
        """How many items were handed over and have not ended."""
        return len(self.futures)

    def flush(self) -> None:
        """Hands over what ``submit`` held back (an engine that groups items)."""

    def close(self) -> None:
        if not self.closed:
            self.closed = True
            self._remove_scratch()
