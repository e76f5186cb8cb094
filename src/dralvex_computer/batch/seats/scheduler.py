"""Seat pools on a Dask scheduler: every client and worker of the cluster
shares them. The scheduler keeps them in its seat plugin
(``on_scheduler``): holders, a queue in the order of asking, a record. A
seat is a lease with the pool's lease time-out; the worker that holds it
refreshes it every fifth of that time, and a waiting item asks again and
again for one lease, which keeps its place.

A worker that dies stops refreshing: the scheduler frees its seat after the
lease time-out (it looks every quarter of it, at most every second). Its
solver programs end first: the worker's reaper ends its process group as
it dies. A worker that stops (SIGSTOP, a debugger) stops refreshing too,
while its solver may run on: its reaper ends its group 0.8 x the lease
time-out after the worker last asked for, or renewed, a seat it holds,
before the scheduler can free the lease (POSIX); a seat granted that long
after it was asked for is given back and asked for again. A worker cut off
from the scheduler for most of the lease time-out ends its item's
processes itself, for the same reason.
"""
from __future__ import annotations

import asyncio
import dataclasses
import logging
import threading
import time
import uuid
from typing import Any, Dict, Optional, Tuple

from ..worker import processes, reaper
from . import Keeper, Seat, SeatPlace, SeatPools, on_scheduler

logger = logging.getLogger("dralvex_computer")
TAKE_PATIENCE = 0.5   # the scheduler waits this long for a seat before the worker looks at its run again


class SchedulerKeeper(Keeper):
    """One item's wait for a seat of a pool on the scheduler: one lease
    asked for again and again, so that it keeps its place in the queue."""

    waits_itself = True

    def __init__(self, dask_worker: Any) -> None:
        self.worker = dask_worker
        self.waiting: Optional[Tuple[str, str]] = None   # (pool, lease) while it waits

    def _call(self, method: str, **arguments: Any) -> Any:
        from distributed.utils import sync
        return sync(self.worker.loop, getattr(self.worker.scheduler, on_scheduler.PREFIX + method), **arguments)

    def take(self, pools: SeatPools, name: str, owner: Dict[str, Any]) -> Optional[Seat]:
        if self.waiting is None:
            self.waiting = (name, uuid.uuid4().hex)
        lease, asked = self.waiting[1], time.monotonic()   # the scheduler's stamp is later
        if not self._call("acquire", pool=name, lease=lease, owner=dict(owner, address=self.worker.address),
                          count=pools.counts[name], lease_timeout=pools.lease_timeout, timeout=TAKE_PATIENCE):
            return None
        self.waiting = None
        if not _refresher.hold(self, name, lease, pools.lease_timeout, asked):
            # this worker stopped while it asked: the lease may have lapsed and
            # the seat gone to another; asked again, with a lease of its own
            self._give_back(name, lease)
            return None
        return Seat(lambda: self._give_back(name, lease), name)

    def leave(self) -> None:
        if self.waiting is not None:
            self._give_back(*self.waiting)
            self.waiting = None

    def _give_back(self, pool: str, lease: str) -> None:
        _refresher.drop(lease)
        try:
            if _on_the_loop_of(self.worker):   # the run's end, handled on the worker's loop: no waiting on it
                asyncio.ensure_future(getattr(self.worker.scheduler, on_scheduler.PREFIX + "release")(
                    pool=pool, lease=lease))
                return
            self._call("release", pool=pool, lease=lease)
        except Exception:   # the scheduler is gone: the lease goes with it, or at its time-out
            logger.warning("a seat of %s could not be given back to the scheduler", pool, exc_info=True)


def _on_the_loop_of(dask_worker: Any) -> bool:
    try:
        return asyncio.get_running_loop() is dask_worker.loop.asyncio_loop
    except RuntimeError:
        return False


class SchedulerPlace(SeatPlace):
    """Pools on the scheduler of the run's Dask client (its plugin,
    ``on_scheduler``). It crosses to a worker without the client and binds
    to the worker it lands on."""

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
            self._waiting, self._asked = ask(self.client, "waiting", 0, run=run_id), now
        return self._waiting

    def forget(self, run_id: str) -> None:
        ask(self.client, "forget", None, run=run_id)

    def record(self, since: float) -> Dict[str, Any]:
        from . import record, view
        pools = view.of_scheduler(self.client)
        return {name: {"count": pool["count"], "events": record.between(pool["record"], since, None)}
                for name, pool in pools.items() if name in self.pools.counts}

    def bind(self) -> None:
        # the item's own thread cannot ask for its worker
        from distributed import get_worker
        self.dask_worker = get_worker()

    def keeper(self) -> Keeper:
        return SchedulerKeeper(self.dask_worker)


def register_on(client: Any, pools: SeatPools) -> None:
    """In the run's process: the scheduler's plugin (once per scheduler),
    and each pool made with this run's count, the last run's word as in a
    directory."""
    plant(client)
    for name, count in pools.counts.items():
        earlier = client.sync(getattr(client.scheduler, on_scheduler.PREFIX + "register"), pool=name, count=count,
                              lease_timeout=pools.lease_timeout)
        if earlier is not None:
            logger.warning("the seat pool %s on this cluster had %d seats; this run says %d, for every run from now",
                           name, earlier, count)


def plant(client: Any) -> None:
    """The seat plugin on the client's scheduler, sent by value (an older
    cloudpickle sends it by name: the scheduler then needs this package)."""
    import cloudpickle  # type: ignore[import-untyped]
    from distributed.protocol.pickle import dumps
    by_value = hasattr(cloudpickle, "register_pickle_by_value")
    if by_value:
        cloudpickle.register_pickle_by_value(on_scheduler)
    try:
        plugin = dumps(on_scheduler.SeatQueue())
    finally:
        if by_value:
            cloudpickle.unregister_pickle_by_value(on_scheduler)
    client.sync(client.scheduler.register_scheduler_plugin, plugin=plugin, name=on_scheduler.SeatQueue.name,
                idempotent=True)


def ask(client: Any, verb: str, otherwise: Any, **arguments: Any) -> Any:
    """What the scheduler's seat plugin answers; ``otherwise`` when it
    cannot (no plugin there yet, the scheduler gone)."""
    try:
        return client.sync(getattr(client.scheduler, on_scheduler.PREFIX + verb), **arguments)
    except Exception:
        return otherwise


@dataclasses.dataclass
class _Lease:
    keeper: SchedulerKeeper
    pool: str
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

    def hold(self, keeper: SchedulerKeeper, pool: str, lease: str, timeout: float, asked: float) -> bool:
        """False: the lease was asked for too long ago to be trusted."""
        held = _Lease(keeper, pool, timeout, asked)
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
                        held.keeper._call("refresh", pool=held.pool, leases=[lease])
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
