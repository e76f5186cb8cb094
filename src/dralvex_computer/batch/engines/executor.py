"""Any ``concurrent.futures.Executor``, used as it is. A time-out is counted
in the worker from the item's real start; the item is then reported and
the processes it started are ended, but its function is left to finish
(the executor cannot stop it) and the next item in that worker waits for
it."""
from __future__ import annotations

import concurrent.futures
import concurrent.futures.process
from typing import Any, Dict, Optional

from .. import worker
from ..items import ItemResult
from ..protocol import ItemTask, WorkerHooks, worker_lost
from ..worker import processes
from .base import Engine


class ExecutorHooks(WorkerHooks):
    def set_up(self) -> None:
        # a reaper ends the worker's group once it has ended; the worker
        # ends its children and itself when its parent dies
        processes.contain_worker(own_group=False, watch=True)


class Executor(Engine):
    def __init__(self, run_id: str, timeout: Optional[float], executor: Any) -> None:
        super().__init__(run_id, timeout)
        self.executor = executor

    @classmethod
    def for_run(cls, run_id: str, timeout: Optional[float], executor: Any, workers: Optional[int], seats: bool,
                resources: Optional[Dict[str, float]]) -> Engine:
        return cls(run_id, timeout, executor)

    @classmethod
    def why_not_here(cls, executor: Any) -> Optional[str]:
        if worker.in_an_item() and isinstance(executor, concurrent.futures.ThreadPoolExecutor):
            return ("a run inside an item cannot run its items on a thread pool: they would wait for the item that "
                    "runs it, which holds this process's module (use the local pool or Dask)")
        return None

    def hooks(self) -> WorkerHooks:
        return ExecutorHooks()

    def _submit(self, task: ItemTask) -> Any:
        return self.executor.submit(worker.run_item, task)

    def slots(self) -> int:
        return int(getattr(self.executor, "_max_workers", 1) or 1)   # both of the standard library's have it

    def _run_remotely(self, function: Any, *arguments: Any) -> Any:
        return self.executor.submit(function, *arguments).result()

    def _reported(self, error: BaseException, task: ItemTask) -> Optional[ItemResult]:
        if isinstance(error, concurrent.futures.process.BrokenProcessPool):
            return worker_lost(task, str(error) or "the pool is broken")
        return None
