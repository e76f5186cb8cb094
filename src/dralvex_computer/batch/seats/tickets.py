"""A directory pool's queue: first come, first served across every run and
machine that shares the pool.

    <pool>/queue.lock                  held (briefly) by whoever looks at the queue or takes a seat
    <pool>/ticket-<number>-<random>    one waiter, locked by it while it waits; its owner record inside

A waiter takes a ticket under the queue's lock, numbered after every ticket
there, and keeps it locked while it waits: a ticket found unlocked is a
waiter that died (its lock went with it) and is passed over and removed at
once. A waiter may take a seat only when more seats are free than tickets
stand before its own, so seats go in the order of asking.

Everything here is another user's ground: a ticket is opened without
following a link, read within a bound, and one that cannot be opened is
passed over (it cannot be held, so it waits for nothing).
"""
from __future__ import annotations

import contextlib
import json
import os
import re
import time
import uuid
from typing import Any, Dict, Iterator, List, Optional, Tuple

from .. import filelock
from ..shared_files import open_regular, read_regular

LOCK_FILE = "queue.lock"
_TICKET = re.compile(r"ticket-(\d{12})-[0-9a-f]{8}")
LOCK_PATIENCE = 0.2   # a look that cannot have the queue's lock this long is a look with no seat


def _open_shared(path: str, flags: int) -> int:
    descriptor = open_regular(path, flags, 0o666)
    if hasattr(os, "fchmod") and os.fstat(descriptor).st_uid == os.getuid():
        try:
            os.fchmod(descriptor, 0o666)   # past the umask: every user of the machine queues here
        except OSError:
            pass
    return descriptor


@contextlib.contextmanager
def queue_locked(directory: str, msvcrt: Any = None) -> Iterator[bool]:
    """Holds the pool's queue lock for the block; yields False when it
    could not be had within LOCK_PATIENCE (or its file cannot be used)."""
    try:
        descriptor = _open_shared(os.path.join(directory, LOCK_FILE), os.O_RDWR | os.O_CREAT)
    except OSError:
        yield False
        return
    try:
        given_up, pause = time.monotonic() + LOCK_PATIENCE, 0.0005
        while True:
            try:
                filelock.lock(descriptor, msvcrt)
                break
            except OSError:
                if time.monotonic() >= given_up:
                    yield False
                    return
                time.sleep(pause)
                pause = min(pause * 2, 0.01)
        try:
            yield True
        finally:
            filelock.unlock(descriptor, msvcrt)
    finally:
        os.close(descriptor)


class Ticket:
    """A waiter's place: its file, locked through ``descriptor`` while it
    waits."""

    def __init__(self, path: str, descriptor: int, msvcrt: Any = None) -> None:
        self.path, self.descriptor, self.msvcrt = path, descriptor, msvcrt

    def leave(self) -> None:
        """Out of the queue: the ticket this waiter made, and only it."""
        if self.descriptor < 0:
            return
        try:
            os.remove(self.path)   # while locked: no one takes it for a dead waiter's meanwhile
        except OSError:
            pass
        try:
            filelock.unlock(self.descriptor, self.msvcrt)
        except OSError:
            pass
        os.close(self.descriptor)
        self.descriptor = -1
        if os.name == "nt" and os.path.lexists(self.path):   # Windows removes no open file: now it is closed
            with contextlib.suppress(OSError):
                os.remove(self.path)


def _names(directory: str) -> List[Tuple[int, str]]:
    try:
        entries = os.listdir(directory)
    except OSError:
        return []
    return sorted((int(match.group(1)), name) for name in entries for match in [_TICKET.fullmatch(name)] if match)


def ahead_of(directory: str, mine: Optional[Ticket], msvcrt: Any = None) -> int:
    """Under the queue lock: how many live tickets stand before ``mine``
    (all of them when it is None); dead waiters' tickets are removed."""
    count = 0
    for _, name in _names(directory):
        path = os.path.join(directory, name)
        if mine is not None and path == mine.path:
            return count
        if _alive(path, msvcrt):
            count += 1
    return count


def _alive(path: str, msvcrt: Any) -> bool:
    """A ticket's waiter still waits (its lock is held); a dead waiter's
    ticket is removed, under the queue lock."""
    state = held(path, msvcrt)
    if state is False:
        with contextlib.suppress(OSError):
            os.remove(path)   # another user's, where only its owner may remove it: passed over all the same
    return bool(state)


def held(path: str, msvcrt: Any = None) -> Optional[bool]:
    """Whether a file's lock is held now (None: it cannot be opened)."""
    try:
        descriptor = open_regular(path, os.O_RDWR)
    except OSError:
        return None
    try:
        filelock.lock(descriptor, msvcrt)
    except OSError:
        return True
    else:
        with contextlib.suppress(OSError):
            filelock.unlock(descriptor, msvcrt)
        return False
    finally:
        os.close(descriptor)


def join(directory: str, owner: Dict[str, Any], asked: float, msvcrt: Any = None) -> Ticket:
    """Under the queue lock: a ticket after every ticket there (``asked``:
    when its waiter first asked, by the wall clock)."""
    names = _names(directory)
    number = names[-1][0] + 1 if names else 1
    path = os.path.join(directory, "ticket-%012d-%s" % (number, uuid.uuid4().hex[:8]))
    descriptor = _open_shared(path, os.O_RDWR | os.O_CREAT | os.O_EXCL)
    try:
        filelock.lock(descriptor, msvcrt)
        os.lseek(descriptor, 0, os.SEEK_SET)   # Windows' lock moved the offset to its byte far past the end
        os.write(descriptor, json.dumps(dict(owner, asked=asked)).encode("utf-8"))
    except BaseException:
        os.close(descriptor)
        with contextlib.suppress(OSError):
            os.remove(path)
        raise
    return Ticket(path, descriptor, msvcrt)


def listing(directory: str, msvcrt: Any = None) -> List[Dict[str, Any]]:
    """The owner records of the live tickets there, in the queue's order
    (for the seats view: it removes nothing)."""
    found = []
    for _, name in _names(directory):
        path = os.path.join(directory, name)
        if not held(path, msvcrt):
            continue
        data = read_regular(path)
        try:
            record = json.loads((data or b"").decode("utf-8"))
        except ValueError:
            continue
        if isinstance(record, dict):
            found.append(record)
    return found
