"""A Dask ``Client``: workers anywhere, sharing nothing with this process
but the model files and the installation path. A worker that died while
running an item makes Dask run it again; the scheduler's metadata tells
that second attempt, wherever it lands, to report the loss instead. The
checks before the first item run on every worker there at the start, and
on a worker that joins later before its first item."""
from __future__ import annotations

import math
import os
import threading
import time
from typing import Any, Dict, Iterable, List, Optional, Set

from .. import worker
from ..items import CANCELLED, FAILED, WORKER_LOST, ItemResult
from ..protocol import ABANDONED_GRACE, ItemTask, WorkerHooks, worker_lost
from ..worker import processes
from .base import Engine

_checked: Set[Any] = set()   # worker side: the installations this process has checked


ENDED = "ended on "
FETCHED = "fetched"   # the run has the result of this try: a worker that died after it ran has it not run again


def _metadata_key(task: ItemTask) -> List[str]:
    """The scheduler's record of one try of an item (the task's own key:
    each try has its own)."""
    try:
        from distributed import get_worker
        key = get_worker().get_current_task()
    except Exception:   # not in a Dask worker's task
        key = None
    return ["dralvex-run", task.run_id, str(key if key is not None else task.index)]


def _has_nanny() -> bool:
    try:
        from distributed import get_worker
        return bool(get_worker().nanny)
    except Exception:
        return False


class DaskHooks(WorkerHooks):
    def set_up(self) -> None:
        # a reaper ends the worker's group once it has ended (killed,
        # restarted by its nanny); the nanny watches the parent
        processes.contain_worker(own_group=False, watch=False)

    def claim(self, task: ItemTask) -> Optional[ItemResult]:
        if task.installation not in _checked:   # a worker that joined after the run's start
            try:
                worker.probe(task.installation)
            except Exception as error:
                return ItemResult(task.index, None, FAILED, worker=worker.worker_name(), error_message=(
                    "the checks before the first item failed on this worker: %s" % error))
            _checked.add(task.installation)
        from distributed import get_client
        client = get_client()
        earlier = client.get_metadata(_metadata_key(task), None)
        if earlier == FETCHED:   # its worker died after the run took its result, before Dask forgot it
            return ItemResult(task.index, None, CANCELLED, worker=worker.worker_name(),
                              error_message="not run again: its run has its result already")
        client.set_metadata(_metadata_key(task), worker.worker_name())
        self.ran_before = None
        if earlier and earlier.startswith(ENDED):
            # it ended there, and that worker died before its result was
            # fetched: Dask runs it again, and this run says so
            self.ran_before = earlier[len(ENDED):]
        elif earlier:   # its worker died while it ran: it may be what kills them
            client.set_metadata(_metadata_key(task), None)
            return ItemResult(task.index, None, WORKER_LOST, worker=worker.worker_name(),
                              error_message="its worker process died (%s); not run again" % earlier)
        return None

    def start(self, task: ItemTask, result: ItemResult) -> None:
        if getattr(self, "ran_before", None):
            result.warnings.append("RunAgain: it had ended on %s, whose worker died before its result was fetched"
                                   % self.ran_before)

    def end(self, task: ItemTask) -> None:
        from distributed import get_client
        get_client().set_metadata(_metadata_key(task), ENDED + worker.worker_name())

    def abandoned(self, thread: Any) -> Optional[str]:
        thread.join(ABANDONED_GRACE)
        if not thread.is_alive():
            return None
        if _has_nanny():
            processes.replace_this_worker()
        return ("an earlier item on this worker ran past its time-out and still runs (a worker without a nanny "
                "cannot be replaced: start Dask workers with a nanny)")


def _probe_here(installation: Any) -> str:
    """The checks, on a worker's own thread (not its task thread): the
    first item sets the module up again where items run (the set-up gives
    its thread the application's culture)."""
    where = worker.probe(installation)
    _checked.add(installation)
    worker.this_process.set_up_on = None
    return where


def end_running(run_id: str) -> Optional[int]:
    """In a worker, at Ctrl-C: ends the processes of this run's item running
    there; a worker with a nanny then ends itself, as the item cannot be
    stopped otherwise."""
    worker.this_process.cancelled_runs.add(run_id)   # an item waiting for a seat stops waiting
    index = worker.this_process.running.get(run_id)
    if index is None:
        return None
    processes.end_started()
    worker.this_process.give_back_seats()   # its solver programs have ended
    if _has_nanny():
        threading.Timer(0.2, os._exit, args=(processes.EXIT_REPLACE_ME,)).start()
    return index


class Dask(Engine):
    def __init__(self, run_id: str, timeout: Optional[float], client: Any,
                 resources: Optional[Dict[str, float]] = None, seats: bool = False) -> None:
        super().__init__(run_id, timeout)
        self.client = client
        # with seats, the cluster is shared with other runs: an item is handed
        # over when a thread is free for it, so that the scheduler's first-in
        # first-out order interleaves the runs (64 ahead would put one run's
        # items before all of the other's)
        self.shared = seats
        self.resources = resources   # each item's needs of its worker's resources (node-locked seats)
        self.threads, self.threads_asked = 0, -math.inf
        self.submitted: Dict[int, int] = {}   # index -> tries handed over

    def hooks(self) -> WorkerHooks:
        return DaskHooks()

    def _submit(self, task: ItemTask) -> Any:
        # a key of its own for each try: a try under the last one's key, sent
        # before the scheduler forgot it, would get the last one's result
        self.submitted[task.index] = self.submitted.get(task.index, 0) + 1
        return self.client.submit(worker.run_item, task, pure=False, resources=self.resources,
                                  key="dralvex-%s-%d-%d" % (self.run_id, task.index, self.submitted[task.index]))

    @classmethod
    def for_run(cls, run_id: str, timeout: Optional[float], executor: Any, workers: Optional[int], seats: bool,
                resources: Optional[Dict[str, float]]) -> Engine:
        return cls(run_id, timeout, executor, resources, seats)

    @classmethod
    def seat_place(cls, pools: Any, executor: Any) -> Any:
        """The scheduler's: every client and worker of the cluster shares it."""
        from ..seats.scheduler import SchedulerPlace
        return SchedulerPlace(pools, executor)

    def probe(self, installation: Any) -> str:
        """On every worker there now (a worker that joins later checks
        itself before its first item)."""
        if self.resources:
            self._check_resources()
        answers = self.client.run(_probe_here, installation)
        if not answers:   # no worker yet: one will check itself
            return "no worker yet"
        return ", ".join(sorted(map(str, answers.values())))

    def _check_resources(self) -> None:
        """Some worker has the resources each item needs: Dask would keep
        the items waiting for one for ever."""
        needs = self.resources or {}
        workers = self.client.scheduler_info().get("workers", {}).values()
        if not any(all(worker_info.get("resources", {}).get(name, 0) >= amount for name, amount in needs.items())
                   for worker_info in workers):
            wanted = " ".join("%s=%g" % entry for entry in needs.items())
            raise RuntimeError("no worker of the cluster has the resources each item needs (%s): start workers "
                               "with dask worker --resources \"%s\"" % (wanted, wanted))

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
        return max(1, self.threads) if self.shared else max(64, 2 * self.threads)

    def slots(self) -> int:
        self.capacity()   # the threads, asked now and then
        return max(1, self.threads)

    def _watch(self, future: Any) -> None:
        pass   # Dask's callbacks run on its own thread: the futures are waited for instead

    def _wait(self, seconds: float) -> Iterable[Any]:
        import distributed
        futures = list(self.futures)
        try:
            done, _ = distributed.wait(futures, timeout=seconds, return_when="FIRST_COMPLETED")
        except (TimeoutError, distributed.TimeoutError):
            return []
        except Exception:   # the scheduler is gone: its futures were cancelled
            return [future for future in futures if future.done()] or futures
        return done

    def _scheduler_gone(self) -> bool:
        return str(getattr(self.client, "status", "running")) not in ("running", "Status.running")

    def _outcome(self, future: Any, task: ItemTask) -> ItemResult:
        if not future.done() and self._scheduler_gone():
            return worker_lost(task, "the Dask scheduler went away while it ran or waited")
        return super()._outcome(future, task)

    def _future_ended(self, future: Any) -> ItemResult:
        result = super()._future_ended(future)
        try:
            # The scheduler forgets it now; until it has, a worker that dies holding it would have it run
            # again, unseen: the record says its result is taken, and a try again does not run.
            self.client.set_metadata(["dralvex-run", self.run_id, str(future.key)], FETCHED)
        except Exception:
            pass
        try:
            future.release()
        except Exception:
            pass
        return result

    def _reported(self, error: BaseException, task: ItemTask) -> Optional[ItemResult]:
        if not isinstance(error, KeyboardInterrupt) and self._scheduler_gone():
            return worker_lost(task, "the Dask scheduler went away while it ran or waited: %s" % type(error).__name__)
        if type(error).__name__ == "KilledWorker":
            return worker_lost(task, str(error))
        return None

    def interrupt(self) -> None:
        self.client.cancel(list(self.futures))
        try:
            self.client.run(end_running, self.run_id)
        except Exception:
            pass

    def _remove_scratch(self) -> None:
        try:
            self.client.run(worker.remove_scratch, self.run_id)
            self.client.set_metadata(["dralvex-run", self.run_id], None)
            if self.seats is not None:
                self.seats.forget(self.run_id)
        except Exception:
            pass
        super()._remove_scratch()
