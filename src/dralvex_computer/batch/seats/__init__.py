"""Licence seats shared by every run that names the same pool.

``seats={"PipeStress": 2}`` means: across every run naming the pool
"PipeStress", at most 2 of its solves run at once. An item takes a seat in
its worker just before its solver program starts, and gives it back only
once the processes it started have ended (its solve returned, or its
time-out, Ctrl-C or its worker's end ended them). Waiting for a seat is not
a try: the item's time-out counts from its solve's start, not from the
wait.

Where a pool lives:

    local pool, executor   a lock file per seat in a directory on this
                           machine (``directory``), or on a drive shared
                           by a few workstations          (``directory.py``)
    Dask                   a lease on the scheduler, refreshed by the worker
                           that holds it                  (``scheduler.py``)

Seats go in the order of asking, across every run and machine that shares
a pool: a waiting item keeps its place in the pool's queue (a ticket in
the directory, an order kept on the scheduler), and leaves it when it
takes a seat or its run ends; a waiter that died is passed over. A run's
``max_running`` bounds how many of its items run at once, and so how many
seats and places it holds: a run may leave seats to colleagues that way.

A seat whose holder died (a worker killed) is free again once the holder's
processes have ended: at once when that can be seen (the holder was on this
machine), else ``lease_timeout`` seconds after the holder stopped answering.
"""
from __future__ import annotations

import contextlib
import dataclasses
import getpass
import logging
import os
import re
import socket
import sys
import threading
import time
from typing import Any, Dict, Iterator, Mapping, Optional

# A holder that stopped answering (its machine gone) loses its seat this
# long after; the scheduler looks every lease-validation-interval (10 s by
# default), so with Dask a dead worker's seat is back within both.
DEFAULT_LEASE_TIMEOUT = 20.0
DIRECTORY_VARIABLE = "DRALVEX_SEAT_DIRECTORY"
_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,63}")   # a full match: it names a file


def default_directory() -> str:
    """Where runs meet when no directory is given: DRALVEX_SEAT_DIRECTORY
    (a shared drive, for one), else a place every user of this machine can
    write, kept across runs."""
    if os.environ.get(DIRECTORY_VARIABLE):
        return os.environ[DIRECTORY_VARIABLE]
    if sys.platform == "win32":
        return os.path.join(os.environ.get("PROGRAMDATA", r"C:\ProgramData"), "Dralvex", "seats")
    return "/var/tmp/dralvex-seats"


@dataclasses.dataclass(frozen=True)
class SeatPools:
    """Named seat pools: ``counts`` maps a pool's name (a solver's) to its
    seats; ``directory`` is where the local pools live (None: this
    machine's place, ``default_directory()``); ``lease_timeout``: seconds
    after which the seat of a holder that stopped answering is free."""
    counts: Mapping[str, int]
    directory: Optional[str] = None
    lease_timeout: float = DEFAULT_LEASE_TIMEOUT

    def __post_init__(self) -> None:
        if not isinstance(self.counts, Mapping) or not self.counts:
            raise ValueError("seats must map pool names to seat counts, as {\"PipeStress\": 2}, not %r"
                             % (self.counts,))
        for name, count in self.counts.items():
            if not isinstance(name, str) or not _NAME.fullmatch(name):
                raise ValueError("a seat pool's name is letters, digits, '_', '.' and '-', not %r" % (name,))
            if isinstance(count, bool) or not isinstance(count, int) or count < 1:
                raise ValueError("the seat pool %s has %r seats: a pool needs a whole number of at least 1 "
                                 "(no seat, no solve)" % (name, count))
        timeout = self.lease_timeout
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not 0 < timeout < 86400:
            raise ValueError("seat_lease must be seconds above 0 and below a day, not %r" % (timeout,))
        object.__setattr__(self, "counts", dict(self.counts))
        directory = self.directory if self.directory is not None else default_directory()
        object.__setattr__(self, "directory", os.path.abspath(os.fspath(directory)))
        object.__setattr__(self, "lease_timeout", float(timeout))


# ------------------------------------------------------------- the worker

class Seat:
    """A seat held; ``give_back`` is idempotent and safe from any thread
    (the item's own, or the one that ended its processes)."""

    def __init__(self, release: Any, pool: str) -> None:
        self._release = release
        self.pool = pool
        self._lock = threading.Lock()
        self.held = True

    def give_back(self) -> None:
        with self._lock:
            if not self.held:
                return
            self.held = False
        self._release()


class SeatPlace:
    """Where a run's seat pools live, chosen by its engine
    (``Engine.seat_place``). Made in the run's process, it crosses to the
    workers inside each task, as what it names (nothing bound to the run's
    process), and binds there late, as Dask's own ``Semaphore`` does:

        the run's process                        a worker
        set_up()         the pools made ready     bind()    on the item's task thread
        waiting(run_id)  items waiting, for the bar  keeper()  takes seats, on the item's thread
        forget(run_id)   at the run's end
        record(since)    the pools' own record, for the page
    """

    def __init__(self, pools: SeatPools) -> None:
        self.pools = pools

    def set_up(self) -> None:
        """Before the run's first item; OSError or ValueError saying what
        is wrong."""

    def waiting(self, run_id: str) -> int:
        return 0

    def forget(self, run_id: str) -> None:
        """The run's notes where the pools live, removed."""

    def record(self, since: float) -> Dict[str, Any]:
        """Each pool's count and the events of its record from ``since``
        (the wall clock) on, with what was held then: {pool: {"count",
        "events"}} (``record.py``)."""
        return {}

    def bind(self) -> None:
        """In a worker, before the item runs, on the thread the engine
        gave it."""

    def keeper(self) -> "Keeper":
        raise NotImplementedError


def night_record(place: Optional[SeatPlace], since: float) -> Optional[Dict[str, Any]]:
    """What the run's seat pools' own records say from ``since`` on (for
    its page's chart); None without pools, or when they cannot tell: the
    page then goes without the chart, the run is not the worse for it."""
    if place is None:
        return None
    try:
        return place.record(since)
    except Exception:
        logging.getLogger("dralvex_computer").warning("the seat pools' record could not be read", exc_info=True)
        return None


class Cancelled(Exception):
    """The item stopped waiting for a seat: its run ended."""


class Keeper:
    """One item's wait for a seat of a kind of pool. ``take`` returns a
    Seat, or None (not its turn yet: it keeps the item's place in the
    pool's queue, first come first served), and never waits long
    (``waits_itself``: it waits a little for one, so that the item need not
    sleep between looks)."""

    waits_itself = False

    def take(self, pools: SeatPools, name: str, owner: Dict[str, Any]) -> Optional[Seat]:
        raise NotImplementedError

    def note_waiting(self, owner: Dict[str, Any], waiting: bool) -> None:
        """Tells the run an item waits for a seat (for its bar)."""

    def next_look(self, step: float) -> float:
        """Seconds to the next ``take``, ``step`` being the wait's own back-off."""
        return step

    def leave(self) -> None:
        """Out of the pool's queue, when the item stops waiting however
        (taken a seat, or its run ended): its place is never left behind."""


@contextlib.contextmanager
def seat(name: str) -> Iterator[Optional[Seat]]:
    """In an item's function: holds a seat of the run's pool ``name`` for
    the block (waiting for one first); without such a pool, holds nothing.
    The seat goes back when the block ends, or when the item's processes
    are ended (time-out, Ctrl-C), whichever comes first."""
    from ..worker import state
    task = state.current_task()
    place = getattr(task, "seats", None)
    if task is None or place is None or name not in place.pools.counts:
        yield None
        return
    held = _wait_for(task, place, name)
    try:
        yield held
    finally:
        if held in state.this_process.seats:
            state.this_process.seats.remove(held)
        held.give_back()


WAIT_STEP = 0.05   # the first look again; then up to WAIT_MAX
WAIT_MAX = 0.5


def _wait_for(task: Any, place: SeatPlace, name: str) -> Seat:
    """Waits for a seat with the item's clock stopped; the seat is the
    item's (given back by whoever ends its processes) before it is
    returned."""
    from ..worker import state
    pools, keeper = place.pools, place.keeper()
    owner = {"run": task.run_id, "index": task.index, "item": label(task.item), "user": _user(),
             "worker": state.worker_name(), "machine": socket.gethostname(),
             "scratch": state.this_process.scratch_root, "process": state.own_stamp(), "group": _group()}
    step, waited, began = WAIT_STEP, False, time.monotonic()
    try:
        with state.item_clock_stopped():
            while True:
                if state.this_process.cancelled(task.run_id):
                    raise Cancelled("its run ended while it waited for a %s seat" % name)
                held = keeper.take(pools, name, owner)
                if held is not None:
                    state.this_process.seats.append(held)
                    return held
                if not waited:
                    keeper.note_waiting(owner, True)
                    waited = True
                if not keeper.waits_itself:
                    time.sleep(keeper.next_look(step))
                    step = min(step * 1.5, WAIT_MAX)
    finally:
        keeper.leave()
        if waited:
            keeper.note_waiting(owner, False)
        state.this_process.seat_wait += time.monotonic() - began


def label(item: Any) -> str:
    """An item as a seat's holder shows it: a model's file name, or the
    item's text, short."""
    if isinstance(item, (str, os.PathLike)):
        text = os.path.basename(os.fspath(item)) or os.fspath(item)
    else:
        text = repr(item)
    return text if len(text) <= 60 else text[:57] + "..."


def _user() -> str:
    try:
        return getpass.getuser()
    except Exception:   # no name for this user id (a container's)
        return "uid %s" % getattr(os, "getuid", lambda: "?")()


def _group() -> Optional[int]:
    """This process's group, when it leads one (its solver programs are
    in it: the group empty is the holder's processes ended)."""
    if not hasattr(os, "getpgid"):
        return None
    group = os.getpgid(0)
    return group if group == os.getpid() else None


__all__ = ["SeatPools", "SeatPlace", "Seat", "Keeper", "Cancelled", "seat", "default_directory",
           "DEFAULT_LEASE_TIMEOUT"]
