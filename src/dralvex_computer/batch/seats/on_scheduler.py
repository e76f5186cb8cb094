"""The scheduler's half of Dask seat pools: a scheduler plugin that keeps
each pool's holders, its queue in the order of asking and a short record.
It travels to the scheduler by value (this module needs only the standard
library and distributed), so the scheduler's machine needs no installation
of this package.

    a worker (seats/scheduler.py)                 the scheduler (here)
    dralvex_seats_acquire(pool, lease, owner) --> the lease joins the queue, once; waits up to
                                                  ``timeout`` for its turn: True once it holds
    dralvex_seats_refresh(pool, leases)       --> the holder still runs
    dralvex_seats_release(pool, lease)        --> a seat given back, or a place in the queue left
    the run's process
    dralvex_seats_register(pool, count, lease_timeout) --> the pool's count: the last run's word
    dralvex_seats_waiting(run) / _forget(run)  --> its items in the queues / taken out at its end
    the seats view: dralvex_seats_status()     --> every pool: holders, queue, record

Seats go to the first waiter in the queue that is there (asking now, or
within PICKUP seconds) as they come free; it confirms the grant at its
next ask. A grant not confirmed within PICKUP seconds goes back, and its
waiter keeps its place at the head, passed over until it asks again (a
worker stopped in the meantime). A holder not heard of for its pool's lease
time-out loses its seat; a waiter not heard of that long, or whose worker
the scheduler lost, loses its place.
"""
import asyncio
import collections
import time

from distributed.diagnostics.plugin import SchedulerPlugin

PREFIX = "dralvex_seats_"
PICKUP = 3.0      # seconds for a worker to confirm a grant made between its asks
RECORD_LENGTH = 4096
OWNER_FIELDS = ("run", "index", "item", "user", "machine", "worker")   # as record.py writes them


class _Pool:
    def __init__(self, count, lease_timeout):
        self.count, self.lease_timeout = count, lease_timeout
        self.holders = {}                          # lease -> holder
        self.queue = collections.OrderedDict()     # lease -> waiter, in the order of asking
        self.record = collections.deque(maxlen=RECORD_LENGTH)


class SeatQueue(SchedulerPlugin):
    """Every seat pool of a cluster, on its scheduler (one plugin, kept
    across runs: registering it again changes nothing)."""

    name = "dralvex-seats"
    idempotent = True

    def __init__(self):
        self.pools = {}
        self.watch = None

    def __getstate__(self):
        return {}

    def __setstate__(self, state):
        self.__init__()

    async def start(self, scheduler):
        self.scheduler = scheduler
        for verb in ("register", "acquire", "refresh", "release", "waiting", "forget", "status"):
            scheduler.handlers[PREFIX + verb] = getattr(self, verb)
        self.watch = asyncio.ensure_future(self._watch())

    async def close(self):
        if self.watch is not None:
            self.watch.cancel()

    # the run's process
    def register(self, pool, count, lease_timeout):
        """The pool's count from now on; the earlier count when it differed."""
        found = self.pools.get(pool)
        if found is None:
            self.pools[pool] = _Pool(count, lease_timeout)
            return None
        earlier, found.count, found.lease_timeout = found.count, count, lease_timeout
        self._grant(found)
        return earlier if earlier != count else None

    def waiting(self, run):
        return sum(1 for pool in self.pools.values() for waiter in pool.queue.values()
                   if waiter["owner"].get("run") == run)

    def forget(self, run):
        for pool in self.pools.values():
            for lease in [lease for lease, waiter in pool.queue.items() if waiter["owner"].get("run") == run]:
                self._drop_waiter(pool, lease)

    def status(self):
        return {name: {"count": pool.count, "lease_timeout": pool.lease_timeout,
                       "holders": [dict(holder["owner"], since=holder["since"]) for holder in pool.holders.values()],
                       "queue": [dict(waiter["owner"], asked=waiter["asked"]) for waiter in pool.queue.values()],
                       "record": list(pool.record)}
                for name, pool in self.pools.items()}

    # a worker
    async def acquire(self, pool, lease, owner, count, lease_timeout, timeout):
        found = self.pools.get(pool)
        if found is None:   # a scheduler that restarted: the worker's word makes the pool again
            found = self.pools[pool] = _Pool(count, lease_timeout)
        waiter = found.queue.get(lease)
        if waiter is None and lease not in found.holders:
            waiter = found.queue[lease] = {"owner": owner, "asked": time.time()}
        if waiter is not None:
            waiter["seen"] = time.monotonic()
            turn = waiter["future"] = asyncio.get_running_loop().create_future()
            self._grant(found)
            try:
                await asyncio.wait_for(asyncio.shield(turn), timeout)
            except asyncio.TimeoutError:
                pass
            waiter.pop("future", None)
            waiter["seen"] = time.monotonic()
        holder = found.holders.get(lease)
        if holder is None:
            return False
        holder["confirmed"], holder["refreshed"] = True, time.monotonic()
        return True

    def refresh(self, pool, leases):
        """The leases the pool no longer knows (lapsed)."""
        found = self.pools.get(pool)
        lost = []
        for lease in leases:
            holder = found.holders.get(lease) if found is not None else None
            if holder is None:
                lost.append(lease)
            else:
                holder["refreshed"] = time.monotonic()
        return lost

    def release(self, pool, lease):
        found = self.pools.get(pool)
        if found is None:
            return
        holder = found.holders.pop(lease, None)
        if holder is not None:
            self._note(found, "release", lease, holder["owner"])
            self._grant(found)
        else:
            self._drop_waiter(found, lease)

    def remove_worker(self, scheduler=None, worker=None, **kwargs):
        """A worker gone: its waiters' places go (its seats stay held until
        their leases lapse: its solver programs may still be ending)."""
        for pool in self.pools.values():
            for lease in [lease for lease, waiter in pool.queue.items() if waiter["owner"].get("address") == worker]:
                self._drop_waiter(pool, lease)

    # the order
    def _grant(self, pool):
        """Free seats to the first waiters that are there (asking, or asked
        within PICKUP): one whose worker stopped keeps its place, and
        takes the next seat once it asks again."""
        while len(pool.holders) < pool.count:
            now = time.monotonic()
            lease = next((lease for lease, waiter in pool.queue.items()
                          if "future" in waiter or now - waiter["seen"] <= PICKUP), None)
            if lease is None:
                return
            waiter = pool.queue.pop(lease)
            pool.holders[lease] = {"owner": waiter["owner"], "since": time.time(), "granted": now,
                                   "refreshed": now, "confirmed": False, "asked": waiter["asked"]}
            self._note(pool, "grant", lease, waiter["owner"], waiter["asked"])
            turn = waiter.get("future")
            if turn is not None and not turn.done():
                turn.set_result(True)

    def _drop_waiter(self, pool, lease):
        waiter = pool.queue.pop(lease, None)
        turn = waiter.get("future") if waiter is not None else None
        if turn is not None and not turn.done():
            turn.set_result(False)
        self._grant(pool)

    def _note(self, pool, event, lease, owner, asked=None):
        made = {"time": time.time(), "event": event, "seat": lease}
        made.update((key, owner[key]) for key in OWNER_FIELDS if key in owner)
        if asked is not None:
            made["asked"] = asked
        pool.record.append(made)

    async def _watch(self):
        while True:
            timeouts = [pool.lease_timeout for pool in self.pools.values()]
            await asyncio.sleep(min([1.0] + [timeout / 4 for timeout in timeouts]))
            for pool in self.pools.values():
                self._look_at(pool, time.monotonic())

    def _look_at(self, pool, now):
        for lease, holder in list(pool.holders.items()):
            if holder["confirmed"] and now - holder["refreshed"] > pool.lease_timeout:
                del pool.holders[lease]
                self._note(pool, "reclaimed", lease, holder["owner"])
            elif not holder["confirmed"] and now - holder["granted"] > PICKUP:
                # granted while its worker was not asking, and not picked up: back to the head, absent
                del pool.holders[lease]
                self._note(pool, "reclaimed", lease, holder["owner"])
                pool.queue[lease] = {"owner": holder["owner"], "asked": holder["asked"], "seen": holder["granted"]}
                pool.queue.move_to_end(lease, last=False)
        for lease in [lease for lease, waiter in pool.queue.items()
                      if "future" not in waiter and now - waiter["seen"] > pool.lease_timeout]:
            self._drop_waiter(pool, lease)
        self._grant(pool)
