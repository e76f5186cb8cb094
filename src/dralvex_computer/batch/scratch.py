"""A run's records on each machine, written and read by ``Scratch`` only:

    <its temporary directory>/dralvex-run-<run id>/
        owner           host, "pid start-time" of the run's process, and "locked":
                        the run holds a lock on it while it lives, and a later
                        run removes the directory only once it can take that
                        lock (pids say nothing across PID namespaces)
        w-<pid>         a local-pool worker: "pid start-time" of its group's leader
        item-of-<pid>   a local-pool worker's item: its index, the worker's
                        "pid start-time", its host:pid and the item's start,
                        rewritten in place for each item, read back when the
                        worker is lost
        work-<pid>      one worker's temporary directory, emptied after each item
        deadline-of-<pid>  a worker's running item: its index and when its
                        time-out falls (time.monotonic()), rewritten in place
                        as its clock starts and stops
        channel-lock-<n>  the local pool's locks on its channel to its workers
        waiting-<index>  an item that waits for a licence seat (empty), read
                        by the run for its bar and its page
"""
from __future__ import annotations

import os
import shutil
import socket
import tempfile
from typing import Callable, Dict, List, Optional, Set, Tuple

from . import filelock
from .shared_files import open_regular, read_regular

__all__ = ["Scratch", "record_deadline", "note_waiting"]


class Scratch:
    """A run's scratch directory on this machine and the records in it."""

    PREFIX = "dralvex-run-"
    OWNER = "owner"

    def __init__(self, run_id: str) -> None:
        self.run_id = run_id

    @property
    def root(self) -> str:
        """As this process finds it (each machine its own)."""
        return os.path.join(tempfile.gettempdir(), self.PREFIX + self.run_id)

    LOCKED = "locked"   # the record's third line: its owner holds a lock on it while it lives

    def claim(self, stamp: str) -> None:
        """Made by the run's process, which records itself as its owner and
        holds a lock on that record for as long as it lives: a later run
        (in another PID namespace too, where pids say nothing) removes the
        directory only once it can take that lock."""
        os.makedirs(self.root, exist_ok=True)
        path = os.path.join(self.root, self.OWNER)
        descriptor = open_regular(path, os.O_RDWR | os.O_CREAT)
        try:
            filelock.lock(descriptor)   # before a word is in it: no moment shows a record without its lock
            os.ftruncate(descriptor, 0)
            os.write(descriptor, ("%s\n%s\n%s" % (socket.gethostname(), stamp, self.LOCKED)).encode(
                "utf-8", "surrogateescape"))
        except OSError:
            os.close(descriptor)
            _write(path, "%s\n%s" % (socket.gethostname(), stamp))   # told by its pid, as before
            return
        _owner_locks[self.root] = descriptor

    def record_worker(self, stamp: str) -> None:
        os.makedirs(self.root, exist_ok=True)
        _write(os.path.join(self.root, "w-%d" % os.getpid()), stamp)

    def _records(self, prefix: str) -> List[str]:
        """The texts of the records whose names start with ``prefix``."""
        return [text for _, text in self._named_records(prefix)]

    def _named_records(self, prefix: str) -> List[Tuple[str, str]]:
        found: List[Tuple[str, str]] = []
        try:
            names = [name for name in os.listdir(self.root) if name.startswith(prefix)]
        except OSError:
            return found
        for name in names:
            data = read_regular(os.path.join(self.root, name))   # another user's FIFO there never hangs a run
            if data is not None:
                found.append((name, data.decode("utf-8", "surrogateescape")))
        return found

    def deadlines(self) -> Dict[int, Tuple[float, str]]:
        """index -> (when the running item's time-out falls, by its worker's
        own count; that worker's pid), see ``record_deadline``."""
        found: Dict[int, Tuple[float, str]] = {}
        for name, text in self._named_records("deadline-of-"):
            index, deadline = (text.split("\n") + [""])[:2]
            try:
                found[int(index)] = float(deadline), name[len("deadline-of-"):]
            except ValueError:
                pass   # its clock is stopped, or it ran none
        return found

    def waiting(self) -> Set[int]:
        """The indices of the items that wait for a seat on this machine
        (``note_waiting``)."""
        try:
            names = os.listdir(self.root)
        except OSError:
            return set()
        return {int(name[len(WAITING):]) for name in names
                if name.startswith(WAITING) and name[len(WAITING):].isdigit()}

    def worker_records(self) -> List[str]:
        return self._records("w-")

    def record_item(self, index: int, stamp: str, worker: str, started: float) -> None:
        """One record a worker, rewritten in place, not a file an item: making
        a file costs hundreds of microseconds on some disks, more than a
        tiny item. A record of fixed size is one write, which a kill cannot
        cut in two."""
        data = ("%d\n%s\n%s\n%r\n" % (index, stamp, worker, started)).encode("utf-8", "surrogateescape")
        _rewrite(os.path.join(self.root, "item-of-%d" % os.getpid()), data.ljust(_RECORD_SIZE))

    def item_record(self, index: int) -> Optional[Tuple[str, str, Optional[float]]]:
        """(the worker's "pid start-time", its host:pid, the item's start) of
        the worker whose last item was ``index``."""
        for text in self._records("item-of-"):
            recorded, stamp, worker, started = (text.split("\n") + ["", "", ""])[:4]
            if recorded != str(index):
                continue
            try:
                return stamp, worker, float(started)
            except ValueError:
                return stamp, worker, None
        return None

    def work_directory(self) -> str:
        """This worker's temporary directory for its items."""
        path = os.path.join(self.root, "work-%d" % os.getpid())
        if not os.path.isdir(path):   # made once; made again if an item removed it
            os.makedirs(path, exist_ok=True)
        return path

    def work_directory_of(self, worker: str) -> str:
        """The temporary directory of the worker named ``worker`` (host:pid) on this machine."""
        return os.path.join(self.root, "work-%s" % worker.rpartition(":")[2])

    def remove(self) -> None:
        descriptor = _owner_locks.pop(self.root, None)
        if descriptor is not None:
            os.close(descriptor)   # its lock goes with it
        shutil.rmtree(self.root, ignore_errors=True)

    @classmethod
    def orphaned(cls, ended: Callable[[str], bool]) -> List[str]:
        """The scratch directories of this machine whose owner has ended
        (``ended(stamp)``): never by age, never one without a record."""
        base = tempfile.gettempdir()
        try:
            names = [name for name in os.listdir(base) if name.startswith(cls.PREFIX)]
        except OSError:
            return []
        found: List[str] = []
        for name in names:
            path = os.path.join(base, name)
            data = read_regular(os.path.join(path, cls.OWNER))   # a FIFO or a link there is no record
            if data is None:
                continue
            host, owner, locked = (data.decode("utf-8", "surrogateescape").split("\n") + ["", ""])[:3]
            if host != socket.gethostname():
                continue
            if (_lock_free(os.path.join(path, cls.OWNER)) if locked == cls.LOCKED else ended(owner)):
                found.append(path)
        return found


_owner_locks: Dict[str, int] = {}   # this process's scratch directories -> their owner record, locked


def _lock_free(path: str) -> bool:
    """Whether the lock on a record can be taken (its owner has ended);
    let go at once."""
    try:
        descriptor = open_regular(path, os.O_RDWR)
    except OSError:
        return False
    try:
        filelock.lock(descriptor)
    except OSError:
        return False
    finally:
        os.close(descriptor)
    return True


_RECORD_SIZE = 512


def record_deadline(scratch_root: str, index: int, deadline: Optional[float]) -> None:
    """In a worker: when its running item's time-out falls, on
    ``time.monotonic()`` (one clock for the machine's processes), or None
    while its clock is stopped. The run ends a worker that let it pass (a
    stopped one counts nothing)."""
    data = ("%d\n%r\n" % (index, deadline)).encode("ascii").ljust(_RECORD_SIZE)
    _rewrite(os.path.join(scratch_root, "deadline-of-%d" % os.getpid()), data)


WAITING = "waiting-"


def note_waiting(scratch_root: str, index: int, waiting: bool) -> None:
    """In a worker: its item waits for a licence seat, or no longer."""
    path = os.path.join(scratch_root, "%s%d" % (WAITING, index))
    try:
        if waiting:
            with open(path, "wb"):
                pass
        else:
            os.unlink(path)
    except OSError:
        pass


_record_files: Dict[Tuple[int, str], int] = {}   # (pid, path): this process's open record


def _rewrite(path: str, data: bytes) -> None:
    key = (os.getpid(), path)
    descriptor = _record_files.get(key)
    if descriptor is not None and os.fstat(descriptor).st_nlink == 0:   # the directory was removed since
        os.close(descriptor)
        descriptor = None
    if descriptor is None:
        descriptor = _record_files[key] = os.open(path, os.O_WRONLY | os.O_CREAT | getattr(os, "O_BINARY", 0), 0o666)
    if hasattr(os, "pwrite"):
        os.pwrite(descriptor, data, 0)
    else:   # Windows
        os.lseek(descriptor, 0, os.SEEK_SET)
        os.write(descriptor, data)


def _write(path: str, text: str) -> None:
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
    try:
        os.write(descriptor, text.encode("utf-8", "surrogateescape"))
    finally:
        os.close(descriptor)
