"""Seat pools in a directory: runs on one machine (or on a few sharing a
drive) meet there, with no server.

    <directory>/<pool>/seats      the pool's count (the last run's word)
    <directory>/<pool>/seat-<k>   one file a seat, k < count

A seat is held by an exclusive lock on its file (``filelock``), which the
system drops when its holder ends, however it ends. The file says who holds
it; the holder empties it when it gives the seat back. A file found
unlocked but not empty was held by a process that died holding it: its seat
is free again once that holder's processes have ended (seen at once on the
holder's own machine, where the holder led a process group holding its
solver programs), or, for a holder on another machine, ``lease_timeout``
seconds after it was first found so.
"""
from __future__ import annotations

import json
import logging
import os
import socket
import stat
import sys
import time
from typing import Any, Dict, List, Optional, Set, Tuple

from .. import filelock
from .. import scratch
from ..shared_files import open_regular, read_regular, write_whole
from ..worker import processes
from . import Keeper, Seat, SeatPlace, SeatPools, record, tickets

logger = logging.getLogger("dralvex_computer")
COUNT_FILE = "seats"
_passed_over: Set[str] = set()   # the seat files said once not to be usable, in this process


def pool_directory(pools: SeatPools, name: str) -> str:
    assert pools.directory is not None
    return os.path.join(pools.directory, name)


def set_up(pools: SeatPools) -> None:
    """In the run's process, before its first item: each pool's directory
    made and its count written (every run naming the pool then counts the
    same seats), its seats' files checked; OSError naming what is wrong
    when the pool cannot be used (it cannot be written, or a seat's file is
    a link, a FIFO or a directory someone put there)."""
    for name, count in pools.counts.items():
        directory = pool_directory(pools, name)
        _make_shared(os.path.dirname(directory))
        _make_shared(directory)
        if not os.access(directory, os.W_OK | os.X_OK):
            raise OSError("the seat pool %s cannot be written (no permission in %s)" % (name, directory))
        earlier = read_count(directory)
        if earlier is not None and earlier != count:
            logger.warning("the seat pool %s in %s had %d seats; this run says %d, for every run from now",
                           name, pools.directory, earlier, count)
        if earlier != count:
            _write_count(os.path.join(directory, COUNT_FILE), count)
        for number in range(max(count, earlier or 0)):
            _check_seat_file(os.path.join(directory, "seat-%d" % number))


def _check_seat_file(path: str) -> None:
    """A seat's file is a regular file, or none yet."""
    try:
        found = os.lstat(path)
    except FileNotFoundError:
        return
    if not stat.S_ISREG(found.st_mode):
        raise OSError("the seat file %s is not a regular file (a link, a FIFO or a directory someone put there): "
                      "remove it" % path)


def _write_count(path: str, count: int) -> None:
    """The pool's count, for every run from now: replaced whole; where the
    file is another user's (a shared pool's directory lets only its owner
    replace it), written over in place, as its mode lets every user."""
    try:
        write_whole(path, b"%d\n" % count)
    except PermissionError:
        descriptor = open_regular(path, os.O_WRONLY | os.O_TRUNC)
        try:
            os.write(descriptor, b"%d\n" % count)
        finally:
            os.close(descriptor)


def _make_shared(directory: str) -> None:
    """A directory this run makes is open to every user of the machine (as
    /tmp is); one that exists is left as its owner made it."""
    if os.path.isdir(directory):
        return
    try:
        os.makedirs(directory)
    except FileExistsError:
        return   # another run made it meanwhile
    try:
        os.chmod(directory, 0o1777)
    except OSError:
        pass


def read_count(directory: str) -> Optional[int]:
    data = read_regular(os.path.join(directory, COUNT_FILE), 64)
    try:
        count = int((data or b"").strip() or b"0")
    except ValueError:
        return None
    return count if count >= 1 else None


class DirectoryKeeper(Keeper):
    """One item's wait for a seat of a directory pool: its ticket in the
    pool's queue while it waits (``tickets``), then a seat's file locked.
    ``msvcrt``: a stand-in for Windows' module, to test that branch."""

    def __init__(self, msvcrt: Any = None) -> None:
        self.msvcrt = msvcrt
        self.ticket: Optional[tickets.Ticket] = None
        self.near = True   # few enough stand before it that a seat may soon be its
        # when it first asked with the queue in hand (the wall clock, as the record keeps it)
        self.asked: Optional[float] = None

    def take(self, pools: SeatPools, name: str, owner: Dict[str, Any]) -> Optional[Seat]:
        directory = pool_directory(pools, name)
        with tickets.queue_locked(directory, self.msvcrt) as locked:
            if not locked:
                return None
            if self.asked is None:   # in line from the first look that has the queue: as its ticket says
                self.asked = time.time()
            ahead = tickets.ahead_of(directory, self.ticket, self.msvcrt)
            count = read_count(directory) or pools.counts[name]
            self.near = ahead < count
            held = self._take_free(directory, pools, owner, name, ahead) if self.near else None
            if held is not None:
                self.leave()
                return held
            if self.ticket is None:
                try:
                    self.ticket = tickets.join(directory, owner, self.asked, self.msvcrt)
                except OSError as error:   # the pool's drive is full or gone: the item waits, it does not fail
                    _warn_once(directory, "its queue cannot be joined (%s)" % (error.strerror or error))
        return None

    def next_look(self, step: float) -> float:
        return NEAR_LOOK if self.near else step

    def leave(self) -> None:
        if self.ticket is not None:
            self.ticket.leave()
            self.ticket = None

    def _take_free(self, directory: str, pools: SeatPools, owner: Dict[str, Any], name: str,
                   ahead: int) -> Optional[Seat]:
        """A free seat, when more are free than ``ahead`` waiters before
        this one take (theirs are left to them)."""
        count = read_count(directory) or pools.counts[name]
        for number in range(count):
            held = self._take_one(os.path.join(directory, "seat-%d" % number), pools, owner, name, number,
                                  keep=ahead == 0)
            if held is not None:
                if ahead == 0:
                    return held
                ahead -= 1
        return None

    def _take_one(self, path: str, pools: SeatPools, owner: Dict[str, Any], name: str, number: int,
                  keep: bool = True) -> Any:
        """The seat of ``path`` when it is free: taken (``keep``), or only
        seen free (True) and let go; None when it is not free."""
        try:
            descriptor = open_regular(path, os.O_RDWR | os.O_CREAT, 0o666)   # never through a link
        except OSError as error:   # another user's file this user cannot open, or no file at all
            _warn_once(path, "it cannot be used (%s): its seat is passed over" % (error.strerror or error))
            return None
        if hasattr(os, "fchmod") and os.fstat(descriptor).st_uid == os.getuid():
            try:
                os.fchmod(descriptor, 0o666)   # past the umask: every user of the machine takes this seat
            except OSError:
                pass
        try:
            filelock.lock(descriptor, self.msvcrt)
        except OSError:
            os.close(descriptor)
            return None   # held
        try:
            last = _read(descriptor)
            if last and not _holder_gone(last, pools.lease_timeout, path):
                self._let_go(descriptor)
                return None
            if not keep:
                self._let_go(descriptor)
                return True
            _rewrite(descriptor, dict(owner, taken=time.time()))
        except OSError as error:   # the pool's drive is full or gone: the item waits, it does not fail
            _warn_once(path, "it cannot be written (%s): its seat is passed over while it cannot"
                       % (error.strerror or error))
            self._let_go(descriptor)
            return None
        except BaseException:
            self._let_go(descriptor)
            raise
        directory = os.path.dirname(path)
        if last and not last.get("broken"):
            record.append(directory, record.event(record.RECLAIMED, number, last))
        record.append(directory, record.event(record.GRANT, number, owner, self.asked))
        record.trim(directory)
        return Seat(lambda: self._give_back(descriptor, directory, number, owner), name)

    def _give_back(self, descriptor: int, directory: str, number: int, owner: Dict[str, Any]) -> None:
        try:
            os.ftruncate(descriptor, 0)   # empty: given back, not lost
        finally:
            self._let_go(descriptor)
            record.append(directory, record.event(record.RELEASE, number, owner))

    def _let_go(self, descriptor: int) -> None:
        try:
            filelock.unlock(descriptor, self.msvcrt)
        except OSError:
            pass
        finally:
            os.close(descriptor)

    def note_waiting(self, owner: Dict[str, Any], waiting: bool) -> None:
        scratch.note_waiting(owner["scratch"], owner["index"], waiting)


class DirectoryPlace(SeatPlace):
    """Pools in a directory of this machine, or of a drive a few
    workstations share; the waiting notes in the run's scratch (on the
    run's machine: the local pool's and an executor's workers are there)."""

    def set_up(self) -> None:
        set_up(self.pools)

    def waiting(self, run_id: str) -> int:
        return len(scratch.Scratch(run_id).waiting())

    def keeper(self) -> Keeper:
        return DirectoryKeeper()

    def record(self, since: float) -> Dict[str, Any]:
        return {name: {"count": count, "events": record.between(record.read(pool_directory(self.pools, name)),
                                                                since, None)}
                for name, count in self.pools.counts.items()}


def _warn_once(path: str, why: str) -> None:
    if path not in _passed_over:
        _passed_over.add(path)
        logger.warning("the seat pool's file %s: %s", path, why)


NEAR_LOOK = 0.01   # a waiter a seat may soon go to looks this often (the queue keeps the order, not the speed)


def _read(descriptor: int) -> Optional[Dict[str, Any]]:
    os.lseek(descriptor, 0, os.SEEK_SET)
    data = os.read(descriptor, 65536)
    if not data.strip():
        return None
    try:
        record = json.loads(data.decode("utf-8"))
    except ValueError:
        return {"broken": True}   # a holder died writing it
    return record if isinstance(record, dict) else {"broken": True}


def _rewrite(descriptor: int, record: Dict[str, Any]) -> None:
    data = json.dumps(record).encode("utf-8")
    os.lseek(descriptor, 0, os.SEEK_SET)
    os.ftruncate(descriptor, 0)
    os.write(descriptor, data)


def _holder_gone(last: Dict[str, Any], lease_timeout: float, path: str) -> bool:
    """The seat's last holder died holding it: have its processes ended?
    On this machine that is seen; a record that says no process of this
    machine, or a holder on another, is taken for gone ``lease_timeout``
    seconds after this process first found the record unchanged, counted on
    this machine's own monotonic clock (another machine's clock may be
    anywhere)."""
    recorded = str(last.get("process", ""))
    if last.get("machine") == socket.gethostname() and (sys.platform == "win32" or _is_stamp(recorded)):
        if sys.platform == "win32":
            return True   # its lock is gone with it, and its kill-on-close job took its programs
        if not processes.ended(recorded):
            return False
        group = last.get("group")
        # a group outlives its leader while a member remains, and meanwhile the system gives the leader's pid
        # to no other process: another process with that pid means the group ended
        return not isinstance(group, int) or processes.group_ended(group) or processes.taken_by_another(recorded)
    key = (path, json.dumps(last, sort_keys=True))
    if len(_found_unchanged) > 4096:
        _found_unchanged.clear()   # records long given back; the leases of the others count again
    first = _found_unchanged.setdefault(key, time.monotonic())
    return time.monotonic() - first >= lease_timeout


_found_unchanged: Dict[Tuple[str, str], float] = {}   # (seat file, its record) -> when this process first saw it


def _is_stamp(recorded: str) -> bool:
    """A "pid start-time" as a holder records itself."""
    parts = recorded.split()
    return len(parts) == 2 and parts[0].isdigit()


def holders(pools: SeatPools, name: str) -> List[Dict[str, Any]]:
    """Who holds the pool's seats now, as their files say (a seat given
    back is not listed)."""
    directory = pool_directory(pools, name)
    found = []
    for number in range(read_count(directory) or pools.counts[name]):
        data = read_regular(os.path.join(directory, "seat-%d" % number))
        if data is not None and data.strip():
            try:
                found.append(json.loads(data.decode("utf-8")))
            except ValueError:
                pass
    return found
