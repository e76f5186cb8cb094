"""What one worker process keeps between items: the lock that lets one
item at a time use the module, where items start, the installation it is
set up on, an item abandoned at its time-out, the run items now running,
its name and stamp ("pid start-time")."""
from __future__ import annotations

import contextlib
import os
import socket
import threading
import time
from typing import Any, Dict, Iterator, List, Optional, Set, Tuple

from . import processes


class WorkerProcess:
    def __init__(self) -> None:
        self.lock = threading.Lock()        # one item at a time against the module
        self.home: Optional[str] = None     # the working directory items start in
        self.set_up_on: Any = None          # the Installation the module is set up on
        self.set_up_state: Any = None
        self.abandoned: Optional[threading.Thread] = None   # an item left running at its time-out
        self.running: Dict[str, int] = {}   # run id -> index of the item running now
        self.stamp: Optional[str] = None   # "pid start-time" of this process
        self.hooks_set_up: Set[type] = set()    # the kinds of hooks whose set_up ran here
        self.seats: List[Any] = []          # the licence seats the running item holds
        self.seat_wait = 0.0                # seconds the running item waited for seats
        self.clock_from = 0.0               # time.monotonic() its time-out counts from
        self.clock_stopped = False          # it waits for a seat: its time-out does not count
        self.recorded: Optional[Tuple[int, float]] = None   # (index, time-out) of an item whose deadline is recorded
        self.cancelled_runs: Set[str] = set()   # runs ended while their items ran here
        self.scratch_root = ""              # the running item's run's scratch directory
        self.descriptor_output: Any = None  # the file an item's file descriptors 1 and 2 write to, made once

    def start_clock(self, scratch_root: str, index: Optional[int] = None, timeout: Optional[float] = None) -> None:
        """An item starts: ``scratch_root`` is its run's scratch directory
        (found before the item's own temporary directory stands in). With a
        time-out, when it falls is recorded there for the run."""
        self.scratch_root = scratch_root
        self.seats, self.seat_wait = [], 0.0
        self.clock_from, self.clock_stopped = time.monotonic(), False
        self.recorded = (index, timeout) if index is not None and timeout is not None and scratch_root else None
        self.record_deadline()

    def record_deadline(self, ended: bool = False) -> None:
        """Records when the running item's time-out falls, or that it counts
        none now (its clock stopped, or the item ended), before the item goes
        on: a worker stopped (SIGSTOP) at any moment after has it written,
        and the run ends it."""
        if self.recorded is not None:
            from ..scratch import record_deadline
            index, timeout = self.recorded
            counting = not (ended or self.clock_stopped)
            record_deadline(self.scratch_root, index, self.clock_from + timeout if counting else None)
            if ended:
                self.recorded = None

    def remaining(self, timeout: float) -> Optional[float]:
        """Seconds left of the running item's time-out; None while it waits
        for a seat (a wait is not part of its solve)."""
        if self.clock_stopped:
            return None
        return self.clock_from + timeout - time.monotonic()

    def give_back_seats(self) -> None:
        """The item's processes have ended: its seats go back."""
        seats, self.seats = self.seats, []
        for seat in seats:
            seat.give_back()

    def cancelled(self, run_id: str) -> bool:
        return run_id in self.cancelled_runs


this_process = WorkerProcess()
_this_thread = threading.local()   # in_item: this thread runs an item's function
_names: Dict[int, str] = {}


def worker_name() -> str:
    """host:pid of this process (the host asked once per process)."""
    pid = os.getpid()
    name = _names.get(pid)
    if name is None:
        name = _names[pid] = "%s:%d" % (socket.gethostname(), pid)
    return name


def own_stamp() -> str:
    """This process's "pid start-time" (read once per process)."""
    if this_process.stamp is None or not this_process.stamp.startswith("%d " % os.getpid()):
        this_process.stamp = processes.stamp()
    return this_process.stamp


def abandoned_here() -> bool:
    """True on an item's thread that was given up at its time-out."""
    return this_process.abandoned is threading.current_thread()


def mark_in_item(own_process: bool, task: Any = None) -> None:
    _this_thread.in_item = True
    _this_thread.own_process = own_process
    _this_thread.task = task


def current_task() -> Any:
    """The task of the item this thread runs (None outside items)."""
    return getattr(_this_thread, "task", None)


@contextlib.contextmanager
def item_clock_stopped() -> Iterator[None]:
    """The running item's time-out stops counting for the block; it counts
    from the block's end, as from its start."""
    this_process.clock_stopped = True
    this_process.record_deadline()
    try:
        yield
    finally:
        this_process.clock_from = time.monotonic()
        this_process.clock_stopped = False
        this_process.record_deadline()


def item_owns_process() -> bool:
    """True on an item's thread in a worker process of its own (not the
    caller's): the item may change what is process-wide, as the directory."""
    return bool(getattr(_this_thread, "own_process", False))


def in_an_item() -> bool:
    """True on the thread that runs an item's function (a run started there
    is a run inside an item)."""
    return bool(getattr(_this_thread, "in_item", False))
