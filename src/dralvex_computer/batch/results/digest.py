"""One night in a compact form: the digest kept beside its journal, so that
a year of nights reads in a fraction of a second.

    JOURNAL.digest
      line 1   {"format", "journal": {"size", "mtime_ns"}, "when", "columns",
                "statuses", "rows", "names": N, "version"}
      N bytes  JSON [identities, items], in the night's order
      rows     bytes: each row's status, an index into "statuses"
      per column, rows float64 (little-endian): the value, NaN where the row
               has none (or one that is not a number)

A digest is made from its journal's night (``night.night_of``: every item
the journal's runs were given, with its latest result) and stands only
while the journal has the size and modification time it records: a
journal that grew, or was replaced, has its digest made again. A digest is
written whole under another name and renamed over the old one, never
edited in place; one that cannot be written (a folder one may only read)
leaves the history to read the journal each time. A night whose run still
goes on gets no digest. Nights whose models are the same (most of them)
share one list of names in memory: their name blocks are the same bytes.
"""
from __future__ import annotations

import json
import math
import os
import sys
import tempfile
from array import array
from typing import Any, Dict, List, Optional, Tuple

from . import compare, journal as journals, night as nights, schema

SUFFIX = ".digest"
FORMAT = 1
HEADER_AT_MOST = 1 << 20   # a first line longer than this is no digest of ours
_NAN = float("nan")


class Night:
    """One night: its journal, when its first run started, each item's
    identity, item and status, and each value column as an array (NaN:
    no number)."""
    __slots__ = ("path", "when", "identities", "items", "statuses", "columns", "values", "live", "_position")

    def __init__(self, path: str, when: float, identities: List[str], items: List[Any], statuses: List[str],
                 values: Dict[str, "array[float]"], live: bool = False) -> None:
        self.path, self.when, self.identities, self.items = path, when, identities, items
        self.statuses, self.values, self.live = statuses, values, live
        self.columns = list(values)
        self._position: Optional[Dict[str, int]] = None

    def position(self, identity: str) -> Optional[int]:
        if self._position is None:
            self._position = {name: index for index, name in enumerate(self.identities)}
        return self._position.get(identity)


def path_of(journal: str) -> str:
    return journal + SUFFIX


def load(journal: str, names: Optional[Dict[bytes, Tuple[List[str], List[Any]]]] = None, keep: bool = True) -> Night:
    """The night of ``journal``: from its digest when that stands, else
    from the journal (and its digest made, unless ``keep`` is false: a
    journal soon removed). ``names``: name blocks read already, shared
    between nights. OSError, or ValueError when the file is no run's
    journal."""
    stat = os.stat(journal)
    stamp = {"size": stat.st_size, "mtime_ns": stat.st_mtime_ns}
    found = _read(path_of(journal), journal, stamp, names if names is not None else {})
    if found is not None:
        return found
    night = _from_journal(journal, stat.st_mtime)
    if keep and not night.live:
        _write(night, stamp)
    return night


def _from_journal(path: str, modified: float) -> Night:
    with journals.no_collection():
        contents = journals.read(path)
        if contents.runs:
            records, info = nights.night_of(contents, indexed=False)
            when, live = contents.runs[0].get("time"), info["live"] is True
        elif contents.legacy and contents.last_ended:
            records, when, live = journals.records(path), modified, False
        else:
            raise ValueError("%s is not a run's journal" % path)
        identities, items, statuses = [], [], []
        columns: Dict[str, List[float]] = {}
        for count, record in enumerate(records):
            identity = record.get("identity")
            status = record.get("status")
            # an older version's record has no identity: named as the comparison names it
            identities.append(identity if isinstance(identity, str) and identity else
                              compare.rows([record])[0].identity)
            items.append(record.get("item"))
            statuses.append(status if isinstance(status, str) else "failed")
            for column, value in schema.values_of(record).items():
                numbers = columns.get(column)
                if numbers is None:
                    numbers = columns[column] = [_NAN] * count
                numbers.append(_number(value))
            for numbers in columns.values():
                if len(numbers) <= count:
                    numbers.append(_NAN)
    when = when if isinstance(when, (int, float)) and math.isfinite(when) else modified
    return Night(path, float(when), identities, items, statuses,
                 {column: array("d", numbers) for column, numbers in columns.items()}, live)


def _number(value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return _NAN   # a flag, a verdict or a note: no number to follow over the nights
    try:
        return float(value)
    except OverflowError:
        return _NAN


def _little(values: "array[float]") -> bytes:
    if sys.byteorder == "little":
        return values.tobytes()
    swapped = array("d", values)
    swapped.byteswap()
    return swapped.tobytes()


def _write(night: Night, stamp: Dict[str, int]) -> None:
    """The digest written whole beside its journal, then renamed into place."""
    from ... import __version__
    statuses = list(dict.fromkeys(night.statuses))
    if len(statuses) > 255:
        return   # not one byte a status: such a night is read from its journal
    code = {status: index for index, status in enumerate(statuses)}
    names = json.dumps([night.identities, night.items], ensure_ascii=True, default=str).encode("ascii")
    header = {"format": FORMAT, "journal": stamp, "when": night.when, "columns": night.columns,
              "statuses": statuses, "rows": len(night.identities), "names": len(names), "version": __version__}
    target = path_of(night.path)
    try:
        descriptor, temporary = tempfile.mkstemp(prefix=".%s." % os.path.basename(target), suffix=".tmp",
                                                 dir=os.path.dirname(os.path.abspath(target)))
    except OSError:
        return
    try:
        with os.fdopen(descriptor, "wb") as stream:
            stream.write(json.dumps(header).encode("ascii") + b"\n")
            stream.write(names)
            stream.write(bytes(code[status] for status in night.statuses))
            for column in night.columns:
                stream.write(_little(night.values[column]))
        os.replace(temporary, target)
    except OSError:
        try:
            os.remove(temporary)
        except OSError:
            pass


def _read(target: str, journal: str, stamp: Dict[str, int],
          names: Dict[bytes, Tuple[List[str], List[Any]]]) -> Optional[Night]:
    """The digest's night, or None when it is missing, of another format,
    cut short, or older than its journal."""
    try:
        descriptor = os.open(target, os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_BINARY", 0))
    except OSError:
        return None
    with os.fdopen(descriptor, "rb") as stream:
        try:
            header = json.loads(stream.readline(HEADER_AT_MOST))
            if not isinstance(header, dict) or header.get("format") != FORMAT or header.get("journal") != stamp:
                return None
            rows, columns, statuses = int(header["rows"]), list(header["columns"]), list(header["statuses"])
            block = stream.read(int(header["names"]))
            codes = stream.read(rows)
            arrays = {}
            for column in columns:
                values = array("d")
                values.frombytes(stream.read(8 * rows))
                if sys.byteorder != "little":
                    values.byteswap()
                arrays[str(column)] = values
            if len(codes) != rows or any(len(values) != rows for values in arrays.values()) or stream.read(1):
                return None
            shared = names.get(block)
            if shared is None:
                identities, items = json.loads(block)
                shared = names[block] = (list(identities), list(items))
            if len(shared[0]) != rows:
                return None
            return Night(journal, float(header["when"]), shared[0], shared[1], [statuses[code] for code in codes],
                         arrays)
        except (ValueError, KeyError, TypeError, IndexError, OSError):
            return None
