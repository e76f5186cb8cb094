"""What crosses between the process that starts a run and its workers, and
the only wording of what an engine itself says of an item.

    the run's process (run, engines/)              a worker process (worker/)
    ---------------------------------              --------------------------
    ItemTask                                       worker.run_item(task)
      function, item, index, installation   --->     hooks.set_up()      once per process
      run_id, origin (host:pid of the run)           hooks.claim(task)   may answer for the item
      timeout (counted in the worker, or None)       hooks.start(...)    the item begins
      hooks: the engine's WorkerHooks                function(item) -> a value, or an Outcome
      seats: the engine's SeatPlace, or None           (seats.bind() where it lands; a solve
                                                        takes a seat of its keeper())
                                                     hooks.end(task)     the item ended
                                                     hooks.abandoned()   a timed-out item still runs
    (the local pool sends a task as pack(task): what every task of the run
     shares pickled once, then only each item's index and item)
    bring_back(result)                      <---   ItemResult, its value pickled alone (Pickled)
      the value unpickled here: one that
      cannot come back fails its own item

    and, when the engine reports instead of the worker:
      timed_out(...), worker_lost(...), cancelled(...), failed(...)
    (workers and engines fill what they know: index, status, value or
     error, start, time, worker; the run fills the rest, once)

A worker's records on its own machine are ``Scratch``'s (scratch.py).
"""
from __future__ import annotations

import dataclasses
import operator
import pickle
import signal
from typing import Any, Callable, Dict, Optional, Tuple

from .scratch import Scratch
from .items import CANCELLED, FAILED, TIMED_OUT, WORKER_LOST, Installation, ItemResult, Outcome, error_fields

__all__ = ["ItemTask", "TaskPacker", "unpack", "WorkerHooks", "Outcome", "Pickled", "send_back", "bring_back",
           "to_wire", "from_wire", "timed_out", "worker_lost", "cancelled", "failed", "exit_status", "Scratch",
           "ABANDONED_GRACE"]


# How long a new item waits for one left running at its time-out (its
# solver programs ended, it may be about to return) before its worker is
# replaced, where it can be.
ABANDONED_GRACE = 5.0


class WorkerHooks:
    """What an engine does in its workers, around the one sequence every
    item follows there (modelled on Dask's worker plugins). It travels
    inside each task, so it pickles; the defaults do nothing."""

    def set_up(self) -> None:
        """Once per worker process, before its first item."""

    def claim(self, task: "ItemTask") -> Optional[ItemResult]:
        """Before the item runs: a result here answers for it (it is not run)."""
        return None

    def start(self, task: "ItemTask", result: ItemResult) -> None:
        """The item begins (``result.started`` is set)."""

    def end(self, task: "ItemTask") -> None:
        """The item ended, however."""

    def abandoned(self, thread: Any) -> Optional[str]:
        """An earlier item left running at its time-out still runs in this
        process: wait for it (ABANDONED_GRACE, say), replace this worker
        (``processes.replace_this_worker``: the item then runs elsewhere),
        or say why this item cannot run (a reason)."""
        thread.join()
        return None


@dataclasses.dataclass(frozen=True)
class ItemTask:
    """One item as it crosses to a worker."""
    function: Callable[[Any], Any]
    item: Any
    index: int
    installation: Installation
    run_id: str
    origin: str                       # host:pid of the process that started the run
    hooks: WorkerHooks = dataclasses.field(default_factory=WorkerHooks)
    timeout: Optional[float] = None   # counted in the worker (None: the engine counts it, or no limit)
    seats: Any = None                 # where the run's licence seat pools live (``seats.SeatPlace``), or None


_SHARED = ("function", "installation", "run_id", "origin", "hooks", "timeout", "seats")
_shared_of = operator.attrgetter(*_SHARED)


class TaskPacker:
    """In the run's process, for a pool that pickles with the standard
    pickle: what every task of a run shares, pickled once, not once an item."""

    def __init__(self) -> None:
        self._shared: Tuple[Any, ...] = ()
        self._data = b""

    def pack(self, task: ItemTask) -> Tuple[bytes, int, Any]:
        """(the shared fields' bytes, index, item); raises what pickling raises."""
        shared = _shared_of(task)
        if len(shared) != len(self._shared) or any(new is not old for new, old in zip(shared, self._shared)):
            self._data = pickle.dumps(shared, protocol=pickle.HIGHEST_PROTOCOL)
            self._shared = shared
        return self._data, task.index, task.item


_unpacked: Dict[bytes, Tuple[Any, ...]] = {}   # in a worker: the shared fields of the last few runs


def unpack(shared: bytes, index: int, item: Any) -> ItemTask:
    """In a worker: the task that ``TaskPacker.pack`` sent."""
    fields = _unpacked.get(shared)
    if fields is None:
        if len(_unpacked) >= 4:
            _unpacked.clear()
        fields = _unpacked[shared] = pickle.loads(shared)
    return ItemTask(**dict(zip(_SHARED, fields)), index=index, item=item)


@dataclasses.dataclass
class Pickled:
    """A value as bytes, unpickled by the run so that a value that cannot
    come back fails its own item, not the engine's message thread."""
    data: bytes


# values that always pickle and unpickle, left as they are
_PLAIN = (type(None), bool, int, float, str, bytes)


def send_back(result: ItemResult) -> None:
    """In the worker: the result's value pickled alone (unless plain)."""
    if type(result.value) in _PLAIN:
        return
    try:
        result.value = Pickled(pickle.dumps(result.value, protocol=pickle.HIGHEST_PROTOCOL))
    except BaseException as error:
        result.status, result.value = FAILED, None
        result.error_type, message, result.traceback = error_fields(error)
        result.error_message = "its value cannot be sent back: %s" % message


_WIRED = ("index", "item", "status", "value", "elapsed", "started", "worker")
_DEFAULTS = {field.name: field.default_factory() if field.default_factory is not dataclasses.MISSING  # type: ignore
             else field.default for field in dataclasses.fields(ItemResult)}


def to_wire(result: ItemResult) -> Tuple[Any, ...]:
    """In a worker: a result as plain data that names no class, and only
    what differs from a result's defaults (PyPy's pickle is Python code,
    and each class it names is an import). The worker's name goes once
    per connection."""
    extra = {name: value for name, value in vars(result).items()
             if name not in _WIRED and value != _DEFAULTS.get(name)}
    value: Any = result.value
    pickled: Optional[bytes] = None
    if isinstance(value, Pickled):
        value, pickled = None, value.data
    elif type(value) not in _PLAIN:   # not through send_back (a hook's result)
        extra["value"], value = value, None
    return result.index, result.status, value, pickled, result.elapsed, result.started, extra or None


def from_wire(wire: Tuple[Any, ...], worker: str) -> ItemResult:
    """In the run's process: what ``to_wire`` sent."""
    index, status, value, pickled, elapsed, started, extra = wire
    result = ItemResult(index, None, status, Pickled(pickled) if pickled is not None else value, elapsed=elapsed,
                        started=started, worker=worker)
    if extra:
        for name, value in extra.items():
            setattr(result, name, value)
    return result


def bring_back(result: ItemResult) -> ItemResult:
    """In the process that started the run: the value unpickled."""
    if isinstance(result.value, Pickled):
        try:
            result.value = pickle.loads(result.value.data)
        except BaseException as error:
            result.status, result.value = FAILED, None
            result.error_type, message, result.traceback = error_fields(error)
            result.error_message = "its value cannot be brought back: %s" % message
    return result


# -------------------------------------------- what an engine says of an item

def exit_status(code: Optional[int]) -> str:
    """A process's exit code as people read it: "SIGKILL" for -9."""
    if code is None:
        return "unknown"
    if code < 0:
        try:
            return signal.Signals(-code).name
        except ValueError:
            return "signal %d" % -code
    return "exit status %d" % code


def timed_out(task: ItemTask, seconds: Optional[float], worker_ended: bool) -> ItemResult:
    return ItemResult(task.index, None, TIMED_OUT, error_message="ran past %s s; %s were ended" % (
        seconds, "its worker and the processes it started" if worker_ended else "the processes it started"))


def worker_lost(task: ItemTask, why: str) -> ItemResult:
    """``why``: what ended its worker ("SIGKILL", "the Dask scheduler went away")."""
    return ItemResult(task.index, None, WORKER_LOST, error_message="its worker process died (%s)" % why)


def cancelled(index: int, why: str = "cancelled") -> ItemResult:
    return ItemResult(index, None, CANCELLED, error_message=why)


def failed(task: ItemTask, error: BaseException) -> ItemResult:
    kind, message, text = error_fields(error)
    return ItemResult(task.index, None, FAILED, error_type=kind, error_message=message, traceback=text)
