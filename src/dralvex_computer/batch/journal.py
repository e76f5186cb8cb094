"""The run's journal: JSON Lines, one line appended, flushed and synced to
disk as each item starts and ends, so that a parent that dies at any moment
loses at most the items running at that moment.

Each line carries the item's key (for a solve: the model file's content
hash, the solver and the options). Resuming reads the journal back: items
that ended solved under the same key are not run again; items that started
and never ended are run again and said to be so. A line cut off by a crash
is skipped.
"""
from __future__ import annotations

import json
import os
import time
from typing import Any, Dict, List, Optional, Tuple

STARTED, ENDED = "started", "ended"


def read(path: str) -> Tuple[Dict[str, Dict[str, Any]], Dict[str, Dict[str, Any]]]:
    """(key -> last "ended" record, key -> "started" record never followed by
    an end) of a journal; missing file: nothing."""
    ended: Dict[str, Dict[str, Any]] = {}
    started: Dict[str, Dict[str, Any]] = {}
    try:
        stream = open(path, "r", encoding="utf-8", errors="replace")
    except FileNotFoundError:
        return ended, started
    with stream:
        for line in stream:
            try:
                entry = json.loads(line)
            except ValueError:
                continue   # cut off by a crash
            if not isinstance(entry, dict) or not isinstance(entry.get("key"), str):
                continue
            if entry.get("event") == STARTED:
                started[entry["key"]] = entry
            elif entry.get("event") == ENDED and isinstance(entry.get("record"), dict):
                ended[entry["key"]] = entry["record"]
                started.pop(entry["key"], None)
    return ended, started


class Journal:
    """Appends to a journal file; every line is on disk when ``write``
    returns."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.stream: Optional[Any] = None

    def open(self) -> None:
        self.stream = open(self.path, "a", encoding="utf-8")
        if self.stream.tell():
            # a line cut off by a crash must not swallow the next one
            with open(self.path, "rb") as reader:
                reader.seek(-1, os.SEEK_END)
                if reader.read(1) != b"\n":
                    self.stream.write("\n")

    def write(self, entry: Dict[str, Any]) -> None:
        if self.stream is None:
            return
        entry.setdefault("time", time.time())
        self.stream.write(json.dumps(entry, ensure_ascii=True) + "\n")
        self.stream.flush()
        os.fsync(self.stream.fileno())

    def started(self, key: str, index: int, item: Any) -> None:
        self.write({"event": STARTED, "key": key, "index": index, "item": item})

    def ended(self, key: str, record: Dict[str, Any]) -> None:
        self.write({"event": ENDED, "key": key, "record": record})

    def close(self) -> None:
        if self.stream is not None:
            self.stream.close()
            self.stream = None


def records(path: str) -> List[Dict[str, Any]]:
    """The last record of every item that ended, in the journal's order."""
    ended, _ = read(path)
    return list(ended.values())
