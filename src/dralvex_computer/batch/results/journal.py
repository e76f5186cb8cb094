"""The run's journal: JSON Lines, each line appended, flushed and synced to
disk as it is written, so that a parent that dies at any moment loses at
most the items running at that moment.

The lines of one run, all carrying its ``run`` id:

    {"event": "run", "items": [...], "identities": [...], "pid", "host", "command", ...}
    {"event": "started", "index", "identity", "key", ...}        an item began in a worker
    {"event": "try", "index", "try", "status", "message", "wait", ...}   a try that is tried again
    {"event": "ended", "index", "identity", "key", "inputs", "record"}   its result (or one resumed)
    {"event": "run ended", "interrupted", "reason", "counts"}

``key`` is the item's fingerprint and ``inputs`` its named parts (see
``identity``). A resumed run copies each result it reuses into its own
lines, so the last run's lines alone give every row of that run. A line
cut off by a crash is skipped; lines of an older version (no run lines,
no identities) still give rows, but no result of theirs is reused.

A run holds an exclusive lock on its journal for its whole life (POSIX
``flock``; on Windows ``msvcrt.locking`` of one byte far past the end,
where no reader looks): a second run on the same journal stops before it
starts anything, naming the run that holds it.
"""
from __future__ import annotations

import contextlib
import dataclasses
import gc
import json
import logging
import os
import socket
import time
from typing import Any, Dict, Iterator, List, Optional, Set, Tuple

from ..filelock import lock as _lock, unlock as _unlock

logger = logging.getLogger("dralvex_computer")
RUN, STARTED, TRY, ENDED, RUN_ENDED, PROPOSED = "run", "started", "try", "ended", "run ended", "proposed"
FORMAT = 2


class JournalBusy(OSError):
    """Another run holds the journal."""


@dataclasses.dataclass
class Earlier:
    """What the journal knows of an item from an earlier run."""
    __slots__ = ("record", "key", "inputs")
    record: Dict[str, Any]
    key: Optional[str]
    inputs: Optional[Dict[str, str]]


@dataclasses.dataclass
class Contents:
    runs: List[Dict[str, Any]] = dataclasses.field(default_factory=list)   # the run lines, in order
    ended: Dict[str, Earlier] = dataclasses.field(default_factory=dict)   # identity -> its latest end
    unfinished: Set[str] = dataclasses.field(default_factory=set)   # started and never ended since
    # rows of the last run: index -> its latest record; the indices that started
    last_ended: Dict[int, Dict[str, Any]] = dataclasses.field(default_factory=dict)
    last_started: Set[int] = dataclasses.field(default_factory=set)
    last_end: Optional[Dict[str, Any]] = None   # the last run's "run ended" line
    legacy: bool = False   # lines of a version without run lines
    # every item the runs were given, in the order each first came: identity -> item
    order: Dict[str, Any] = dataclasses.field(default_factory=dict)
    started_at: Dict[str, float] = dataclasses.field(default_factory=dict)   # identity -> its last start
    proposed: List[Any] = dataclasses.field(default_factory=list)   # items sources added, in order, each once


def read(path: str) -> Contents:
    """Everything a journal says; a missing file says nothing. One pass,
    its most common line (an item's end) first: a morning's comparison of
    two nights of 10,000 models reads them in a few tenths of a second."""
    contents = Contents()
    try:
        stream = open(path, "r", encoding="utf-8", errors="replace")
    except FileNotFoundError:
        return contents
    loads, ended, unfinished = json.loads, contents.ended, contents.unfinished
    last_run: Any = None
    with stream, no_collection():
        for line in stream:
            try:
                entry = loads(line)
            except ValueError:
                continue   # cut off by a crash
            if not isinstance(entry, dict):
                continue
            event = entry.get("event")
            if event == ENDED and last_run is not None:
                identity, record = entry.get("identity"), entry.get("record")
                if isinstance(identity, str) and isinstance(record, dict):
                    unfinished.discard(identity)
                    key, inputs, index = entry.get("key"), entry.get("inputs"), entry.get("index")
                    ended[identity] = Earlier(record, key if isinstance(key, str) else None,
                                              inputs if isinstance(inputs, dict) else None)
                    if isinstance(index, int) and entry.get("run") == last_run:
                        contents.last_ended[index] = record
                continue
            if event == RUN:
                last_run = entry.get("run")
                _run_line(contents, entry)
            elif last_run is None:
                _legacy_line(contents, entry, event)
            else:
                _other_line(contents, entry, event, entry.get("run") == last_run)
    return contents


@contextlib.contextmanager
def no_collection() -> Iterator[None]:
    """The cyclic garbage collector held off while a journal is read (and
    its rows made): its lines are plain data, with no cycle to find, and on
    CPython a collection over the records of a long night costs more than
    reading them."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def _run_line(contents: Contents, entry: Dict[str, Any]) -> None:
    contents.runs.append(entry)
    given, named = entry.get("items"), entry.get("identities")
    if isinstance(given, list) and isinstance(named, list):
        for identity, item in zip(named, given):
            if isinstance(identity, str):
                contents.order.setdefault(identity, item)
    contents.last_ended, contents.last_started, contents.last_end = {}, set(), None


def _legacy_line(contents: Contents, entry: Dict[str, Any], event: Any) -> None:
    """A line of a version without run lines."""
    contents.legacy = contents.legacy or event in (STARTED, ENDED)
    if event == ENDED and isinstance(entry.get("record"), dict):
        record = entry["record"]
        index = record.get("index")
        contents.last_ended[index if isinstance(index, int) else len(contents.last_ended)] = record


def _other_line(contents: Contents, entry: Dict[str, Any], event: Any, mine: bool) -> None:
    identity, index = entry.get("identity"), entry.get("index")
    if event == PROPOSED and isinstance(identity, str):
        if identity not in contents.order:
            contents.order[identity] = entry.get("item")
            contents.proposed.append(entry.get("item"))
    elif event == STARTED and isinstance(identity, str):
        contents.unfinished.add(identity)
        if isinstance(entry.get("time"), (int, float)):
            contents.started_at[identity] = entry["time"]
        if mine and isinstance(index, int):
            contents.last_started.add(index)
    elif event == RUN_ENDED and mine:
        contents.last_end = entry


def holder(path: str) -> str:
    """Who holds a journal, as its last run line says."""
    try:
        runs = read(path).runs
    except OSError:
        runs = []
    if not runs:
        return "another run"
    run = runs[-1]
    started = run.get("time")
    when = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(started)) if isinstance(started, (int, float)) else "?"
    return "the run of process %s on %s, started %s (%s)" % (run.get("pid", "?"), run.get("host", "?"), when,
                                                             run.get("command") or "no command line")


class Journal:
    """Appends to a journal file it holds locked; every line is on disk when
    ``write`` returns. ``created``: this run made the file."""

    def __init__(self, path: str, msvcrt: Any = None) -> None:
        self.path = path
        self.stream: Optional[Any] = None
        self.created = False
        self.run_id = ""
        self._msvcrt = msvcrt   # a stand-in, to test the Windows branch
        self.error: Optional[OSError] = None

    def open(self) -> None:
        """Creates or opens the journal and locks it; JournalBusy when
        another run holds it."""
        flags = os.O_WRONLY | os.O_CREAT | os.O_APPEND | getattr(os, "O_BINARY", 0)
        try:
            descriptor = os.open(self.path, flags | os.O_EXCL, 0o666)
            self.created = True
        except FileExistsError:
            descriptor = os.open(self.path, flags)
        try:
            _lock(descriptor, self._msvcrt)
        except OSError:
            os.close(descriptor)
            raise JournalBusy("the journal %s is in use by %s: wait for it to end, or give this run another "
                              "journal" % (self.path, holder(self.path))) from None
        self.stream = os.fdopen(descriptor, "a", encoding="utf-8")
        if os.path.getsize(self.path):
            # a line cut off by a crash must not swallow the next one
            with open(self.path, "rb") as reader:
                reader.seek(-1, os.SEEK_END)
                if reader.read(1) != b"\n":
                    self.stream.write("\n")

    def write(self, entry: Dict[str, Any], sync: bool = True) -> None:
        """Appends a line. A journal that cannot be written (a full disk)
        does not end the run: the error is kept in ``error``, said once in
        the log, and nothing more is written."""
        if self.stream is None or self.error is not None:
            return
        entry.setdefault("time", time.time())
        entry.setdefault("run", self.run_id)
        try:
            self.stream.write(json.dumps(entry, ensure_ascii=True) + "\n")
            self.stream.flush()
            if sync:
                os.fsync(self.stream.fileno())
        except OSError as error:
            self._failed(error)

    def _failed(self, error: OSError) -> None:
        self.error = error
        logger.error("the journal %s cannot be written (%s): the run goes on without it, and a resume "
                     "will run again what it lacks", self.path, error)

    def run_started(self, run_id: str, items: List[Any], identities: List[str], command: Optional[str],
                    units: Optional[Dict[str, str]] = None, about: Optional[Dict[str, Any]] = None,
                    context: Optional[Dict[str, Any]] = None, process: Optional[str] = None) -> None:
        """``process``: this process's "pid start-time", by which a reader
        tells whether the run still goes on."""
        self.run_id = run_id
        line = {"event": RUN, "format": FORMAT, "items": items, "identities": identities, "pid": os.getpid(),
                "host": socket.gethostname(), "command": command, "units": units or {},
                "journal": os.path.abspath(self.path)}   # where it was: what lay beside it follows a move
        if about:
            line["about"] = about
        if context:
            line["context"] = context
        if process:
            line["process"] = process
        self.write(line)

    def started(self, index: int, identity: str, key: str, item: Any, tries: int) -> None:
        # not synced: a lost "started" line only makes the item run again,
        # which it would anyway; the next synced line takes it along
        self.write({"event": STARTED, "index": index, "identity": identity, "key": key, "item": item, "try": tries},
                   sync=False)

    def proposed(self, index: int, identity: str, item: Any) -> None:
        """An item a source added to the run (a study's next point), on
        disk before it runs: a resumed run starts again from these."""
        self.write({"event": PROPOSED, "index": index, "identity": identity, "item": item})

    def tried(self, index: int, identity: str, entry: Dict[str, Any]) -> None:
        self.write(dict(entry, event=TRY, index=index, identity=identity))

    def ended(self, index: int, identity: str, key: str, inputs: Dict[str, str], record: Dict[str, Any],
              sync: bool = True) -> None:
        self.write({"event": ENDED, "index": index, "identity": identity, "key": key, "inputs": inputs,
                    "record": record}, sync)

    def run_ended(self, interrupted: bool, reason: Optional[str], counts: Dict[str, int],
                  seats: Optional[Dict[str, Any]] = None) -> None:
        """``seats``: each seat pool's count and its record of the run's time."""
        line: Dict[str, Any] = {"event": RUN_ENDED, "interrupted": interrupted, "reason": reason, "counts": counts}
        if seats:
            line["seats"] = seats
        self.write(line)

    def sync(self) -> None:
        if self.stream is not None and self.error is None:
            try:
                self.stream.flush()
                os.fsync(self.stream.fileno())
            except OSError as error:
                self._failed(error)

    def close(self) -> None:
        """Lets the journal go; never raises (what could not be written is
        in ``error`` already)."""
        if self.stream is not None:
            stream, self.stream = self.stream, None
            try:
                stream.flush()
                _unlock(stream.fileno(), self._msvcrt)
            except OSError as error:
                self.error = self.error or error
            finally:
                try:
                    stream.close()
                except OSError as error:
                    self.error = self.error or error


NOT_ENDED = "never ended: the run ended first"
NOT_STARTED = "not run: the run ended first"


def last_run(path: str) -> Tuple[List[Dict[str, Any]], Dict[str, Any]]:
    """(one record per item of the journal's last run, in input order; what
    is known of that run). Items that never ended are cancelled rows."""
    contents = read(path)
    info: Dict[str, Any] = {"interrupted": None, "reason": None, "command": None, "started": None, "ended": None}
    if not contents.runs:
        return [contents.last_ended[index] for index in sorted(contents.last_ended)], info
    run = contents.runs[-1]
    end = contents.last_end
    units = run.get("units")
    info.update(command=run.get("command"), started=run.get("time"), host=run.get("host"),
                units={str(key): str(value) for key, value in units.items()} if isinstance(units, dict) else {},
                interrupted=True if end is None else bool(end.get("interrupted")),
                reason=(end or {}).get("reason") or (None if end else "the run never wrote its end (still running, "
                                                                       "or its process died)"),
                ended=(end or {}).get("time"), about=run.get("about") if isinstance(run.get("about"), dict) else {})
    items: List[Any] = run["items"] if isinstance(run.get("items"), list) else []
    records = []
    # the run's items say how many rows there are: an index a line gives (a
    # hand edit, a flipped bit) never makes the reader allocate its number
    for index in range(len(items)) if items else sorted(contents.last_ended):
        record = contents.last_ended.get(index)
        if record is None:
            record = {"index": index, "item": items[index], "status": "cancelled",
                      "error_message": NOT_ENDED if index in contents.last_started else NOT_STARTED}
        records.append(record)
    return records, info


def records(path: str) -> List[Dict[str, Any]]:
    """One record per item of the journal's last run, in input order."""
    return last_run(path)[0]
