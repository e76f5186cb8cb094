"""A pool's own short record of grants and releases, and who held each seat:
the same events wherever the pool lives (a directory's ``record`` file, a
scheduler's memory), read back for a night's page.

    {"time": 1765000000.1, "event": "grant", "seat": "1", "asked": 1765000000.0, "run": "...", "index": 4,
     "item": "riser.strale", "user": "ana", "machine": "ws-3", "worker": "..."}

``event`` is "grant", "release", or "reclaimed" (its holder died or its
lease lapsed); ``time`` is the wall clock of the machine that wrote it.
"""
from __future__ import annotations

import json
import os
import time
from typing import Any, Dict, Iterable, List, Mapping, Optional, Tuple

from ..shared_files import open_regular, write_whole

RECORD_FILE = "record"
RECORD_BYTES = 512 * 1024   # past this, the older half goes
GRANT, RELEASE, RECLAIMED = "grant", "release", "reclaimed"
OWNER_FIELDS = ("run", "index", "item", "user", "machine", "worker")


def event(kind: str, seat: Any, owner: Mapping[str, Any], asked: Optional[float] = None) -> Dict[str, Any]:
    """``asked``: when a grant's holder asked for it (the wall clock)."""
    made = {"time": time.time(), "event": kind, "seat": str(seat)}
    made.update((key, owner[key]) for key in OWNER_FIELDS if key in owner)
    if asked is not None:
        made["asked"] = asked
    return made


def append(directory: str, made: Dict[str, Any]) -> None:
    """One line at the end of a directory pool's record (one write, so lines
    of several writers never mix); a record that cannot be written is
    skipped: it is for the page, never for the seats."""
    path = os.path.join(directory, RECORD_FILE)
    try:
        descriptor = open_regular(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)
    except OSError:
        return
    try:
        if hasattr(os, "fchmod") and os.fstat(descriptor).st_uid == os.getuid():
            os.fchmod(descriptor, 0o666)
        os.write(descriptor, (json.dumps(made) + "\n").encode("utf-8"))
    except OSError:
        pass
    finally:
        os.close(descriptor)


def trim(directory: str) -> None:
    """Under the queue lock: a record grown past RECORD_BYTES keeps its newer
    half (replaced whole, never through a link)."""
    path = os.path.join(directory, RECORD_FILE)
    try:
        if os.lstat(path).st_size <= RECORD_BYTES:
            return
        descriptor = open_regular(path, os.O_RDONLY)
        try:
            os.lseek(descriptor, -RECORD_BYTES // 2, os.SEEK_END)
            kept = os.read(descriptor, RECORD_BYTES)
        finally:
            os.close(descriptor)
        write_whole(path, kept[kept.find(b"\n") + 1:])
    except OSError:
        pass


def read(directory: str) -> List[Dict[str, Any]]:
    """A directory pool's record; lines that are not events are left out."""
    try:
        descriptor = open_regular(os.path.join(directory, RECORD_FILE), os.O_RDONLY)
    except OSError:
        return []
    try:
        data = os.read(descriptor, 2 * RECORD_BYTES)
    except OSError:
        return []
    finally:
        os.close(descriptor)
    return events(data.decode("utf-8", "replace").splitlines())


def events(lines: Iterable[Any]) -> List[Dict[str, Any]]:
    found = []
    for line in lines:
        try:
            made = json.loads(line) if isinstance(line, str) else line
        except ValueError:
            continue
        if isinstance(made, dict) and made.get("event") in (GRANT, RELEASE, RECLAIMED) \
                and isinstance(made.get("time"), (int, float)):
            found.append(made)
    return found


def between(made: List[Dict[str, Any]], start: float, end: Optional[float]) -> List[Dict[str, Any]]:
    """The events of a night: those in [start, end], and before them what
    was held at its start (as grants at their own times)."""
    holding: Dict[str, Dict[str, Any]] = {}
    kept = []
    for one in sorted(made, key=lambda one: one["time"]):
        if one["time"] < start:
            if one["event"] == GRANT:
                holding[one["seat"]] = one
            else:
                holding.pop(one["seat"], None)
        elif end is None or one["time"] <= end:
            kept.append(one)
    return list(holding.values()) + kept


def in_use(made: List[Dict[str, Any]], run: Optional[str]) -> List[Tuple[float, int, int]]:
    """(time, this run's seats in use, others' seats in use) after each
    event, in time order."""
    holders: Dict[str, Any] = {}
    steps = []
    for one in sorted(made, key=lambda one: one["time"]):
        if one["event"] == GRANT:
            holders[one["seat"]] = one.get("run")
        else:
            holders.pop(one["seat"], None)
        mine = sum(1 for holder in holders.values() if holder == run)
        steps.append((float(one["time"]), mine, len(holders) - mine))
    return steps
