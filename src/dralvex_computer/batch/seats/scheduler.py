"""Seat pools on a Dask scheduler: every client and worker of the cluster
shares them. A seat is a lease of the scheduler's semaphore extension
(what ``distributed.Semaphore`` uses), taken with the pool's own lease
time-out; the worker that holds it refreshes it every fifth of that time.

A worker that dies stops refreshing: the scheduler frees its seat after the
lease time-out, at its next look (``distributed.scheduler.locks.
lease-validation-interval``, 10 s by default). Its solver programs end
first: the worker's reaper ends its process group as it dies. A worker that
stops (SIGSTOP, a debugger) stops refreshing too, while its solver may run
on: its reaper ends its group 0.8 x the lease time-out after the worker
last asked for, or renewed, a seat it holds, before the scheduler can free
the lease (POSIX); a seat granted that long after it was asked for is given
back and asked for again. A worker cut off from the scheduler for most of the
lease time-out ends its item's processes itself, for the same reason.
"""
from __future__ import annotations

import asyncio
import dataclasses
import logging
import threading
import time
import uuid
from typing import Any, Dict, Optional

from ..worker import processes, reaper
from . import Keeper, Seat, SeatPlace, SeatPools

logger = logging.getLogger("dralvex_computer")
PREFIX = "dralvex-seats-"
WAITING_KEY = "dralvex-waiting"
TAKE_PATIENCE = 0.5   # the scheduler waits this long for a seat before the worker looks at its run again


class SchedulerKeeper(Keeper):
    waits_itself = True

    def __init__(self, dask_worker: Any) -> None:
        self.worker = dask_worker

    def _call(self, method: str, **arguments: Any) -> Any:
        from distributed.utils import sync
        return sync(self.worker.loop, getattr(self.worker.scheduler, method), **arguments)

    def take(self, pools: SeatPools, name: str, owner: Dict[str, Any]) -> Optional[Seat]:
        semaphore = PREFIX + name
        registered = (semaphore, pools.counts[name], pools.lease_timeout)
        if registered not in _registered:
            try:
                self._call("semaphore_register", name=semaphore, max_leases=pools.counts[name],
                           lease_timeout=pools.lease_timeout)
            except ValueError as error:   # "Inconsistent max leases"
                raise ValueError("the seat pool %s on this cluster has another count than %d (%s): every run "
                                 "that names a pool gives it the same seats" % (name, pools.counts[name], error)) \
                    from None
            _registered.add(registered)
        lease, asked = uuid.uuid4().hex, time.monotonic()   # the scheduler's stamp is later
        if not self._call("semaphore_acquire", name=semaphore, timeout=TAKE_PATIENCE, lease_id=lease):
            return None
        if not _refresher.hold(self, semaphore, lease, pools.lease_timeout, asked):
            # this worker stopped while it asked: the lease may have lapsed and
            # the seat gone to another; asked again, with a lease of its own
            self._give_back(semaphore, lease)
            return None
        return Seat(lambda: self._give_back(semaphore, lease), name)

    def _give_back(self, semaphore: str, lease: str) -> None:
        _refresher.drop(lease)
        try:
            if _on_the_loop_of(self.worker):   # the run's end, handled on the worker's loop: no waiting on it
                asyncio.ensure_future(self.worker.scheduler.semaphore_release(name=semaphore, lease_id=lease))
                return
            self._call("semaphore_release", name=semaphore, lease_id=lease)
        except Exception:   # the scheduler is gone: the lease goes with it, or at its time-out
            logger.warning("a seat of %s could not be given back to the scheduler", semaphore, exc_info=True)

    def note_waiting(self, owner: Dict[str, Any], waiting: bool) -> None:
        try:
            self._call("set_metadata", keys=[WAITING_KEY, owner["run"], str(owner["index"])], value=waiting)
        except Exception:
            pass   # the bar's, nothing more


def _on_the_loop_of(dask_worker: Any) -> bool:
    try:
        return asyncio.get_running_loop() is dask_worker.loop.asyncio_loop
    except RuntimeError:
        return False


class SchedulerPlace(SeatPlace):
    """Pools on the scheduler of the run's Dask client; the waiting notes
    in the scheduler's metadata. It crosses to a worker without the client
    and binds to the worker it lands on."""

    ASK_EVERY = 0.5   # seconds between the bar's questions to the scheduler

    def __init__(self, pools: SeatPools, client: Any) -> None:
        super().__init__(pools)
        self.client = client
        self.dask_worker: Any = None
        self._waiting, self._asked = 0, float("-inf")

    def __getstate__(self) -> Dict[str, Any]:
        return {"pools": self.pools}

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.pools, self.client, self.dask_worker = state["pools"], None, None
        self._waiting, self._asked = 0, float("-inf")

    def set_up(self) -> None:
        register_on(self.client, self.pools)

    def waiting(self, run_id: str) -> int:
        now = time.monotonic()
        if now - self._asked > self.ASK_EVERY:
            self._waiting, self._asked = waiting_on(self.client, run_id), now
        return self._waiting

    def forget(self, run_id: str) -> None:
        self.client.set_metadata([WAITING_KEY, run_id], None)

    def bind(self) -> None:
        # the item's own thread cannot ask for its worker
        from distributed import get_worker
        self.dask_worker = get_worker()

    def keeper(self) -> Keeper:
        return SchedulerKeeper(self.dask_worker)


def register_on(client: Any, pools: SeatPools) -> None:
    """In the run's process: each pool made on the scheduler. A pool the
    cluster has with another count takes this run's while none of its
    seats is held (the last run's word, as in a directory); otherwise the
    run stops before it starts."""
    for name, count in pools.counts.items():
        semaphore = PREFIX + name
        try:
            client.sync(client.scheduler.semaphore_register, name=semaphore, max_leases=count,
                        lease_timeout=pools.lease_timeout)
            continue
        except ValueError as error:
            held = client.sync(client.scheduler.semaphore_value, name=semaphore)
            if held:
                raise ValueError("the seat pool %s on this cluster counts other seats than %d, and %d of them are "
                                 "held now (%s): every run that names a pool gives it the same seats"
                                 % (name, count, held, error)) from None
        logger.warning("the seat pool %s on this cluster had another count; this run says %d, for every run from now",
                       name, count)
        client.sync(client.scheduler.semaphore_close, name=semaphore)
        client.sync(client.scheduler.semaphore_register, name=semaphore, max_leases=count,
                    lease_timeout=pools.lease_timeout)


def waiting_on(client: Any, run_id: str) -> int:
    """How many of a run's items wait for a seat on the cluster."""
    try:
        notes = client.get_metadata([WAITING_KEY, run_id], {})
    except Exception:
        return 0
    return sum(1 for waiting in notes.values() if waiting is True) if isinstance(notes, dict) else 0


_registered: set = set()


@dataclasses.dataclass
class _Lease:
    keeper: SchedulerKeeper
    semaphore: str
    timeout: float
    asked: float   # when it was last asked for or renewed (time.monotonic(), before the call)

    def deadline(self) -> float:
        """When the reaper ends this worker unless the lease was renewed."""
        return self.asked + REAPER_SHARE * self.timeout


class _Refresher:
    """One thread per worker process, refreshing every lease it holds, and
    keeping its reaper's deadline: the earliest of its leases' (each asked
    for before the call, so never later than the scheduler's own stamp)."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.leases: Dict[str, _Lease] = {}
        self.refreshed = time.monotonic()
        self.wake = threading.Event()
        self.thread: Optional[threading.Thread] = None

    def hold(self, keeper: SchedulerKeeper, semaphore: str, lease: str, timeout: float, asked: float) -> bool:
        """False: the lease was asked for too long ago to be trusted."""
        held = _Lease(keeper, semaphore, timeout, asked)
        with self.lock:
            if time.monotonic() >= held.deadline():
                return False
            if not self.leases:
                self.refreshed = time.monotonic()
            self.leases[lease] = held
            self._tell_reaper()
            if self.thread is None or not self.thread.is_alive():
                self.thread = threading.Thread(target=self._run, name="dralvex-seat-leases", daemon=True)
                self.thread.start()
        self.wake.set()   # an idle thread counts from now
        return True

    def drop(self, lease: str) -> None:
        with self.lock:
            self.leases.pop(lease, None)
            self._tell_reaper()

    def _tell_reaper(self) -> None:
        """Under the lock, so that the reaper reads the deadlines in order."""
        reaper.set_deadline(min((held.deadline() for held in self.leases.values()), default=None))

    def _run(self) -> None:
        while True:
            with self.lock:
                timeout = min((held.timeout for held in self.leases.values()), default=None)
            self.wake.wait((timeout or DEFAULT_IDLE) / 5)
            self.wake.clear()
            if timeout is None:
                continue
            try:
                with self.lock:   # a seat given back meanwhile is not refreshed (the scheduler would warn)
                    for lease, held in list(self.leases.items()):
                        # a failed refresh still pushes the deadline on: this
                        # worker runs, and ends its solves itself (below)
                        held.asked = time.monotonic()
                        held.keeper._call("semaphore_refresh_leases", name=held.semaphore, lease_ids=[lease])
                self.refreshed = time.monotonic()
            except Exception:
                if time.monotonic() - self.refreshed > REAPER_SHARE * timeout:
                    # cut off: the scheduler will soon give these seats to others
                    logger.error("this worker cannot reach the scheduler to keep its seats: its solves are ended")
                    processes.end_started()
            finally:
                with self.lock:
                    self._tell_reaper()


REAPER_SHARE = 0.8   # of the lease time-out: what a worker's solves are ended within once it cannot renew
DEFAULT_IDLE = 5.0
_refresher = _Refresher()
