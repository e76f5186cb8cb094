"""One night in a compact form: the digest kept beside its journal, so that
a year of nights reads in a fraction of a second.

    JOURNAL.digest
      line 1   {"format", "journal": {"size", "mtime_ns"}, "when", "columns",
                "statuses", "rows", "names": N, "same": F, "version"}
      N bytes  JSON [identities, items], in the night's order
      rows     bytes: each row's status, an index into "statuses"
      per column, rows float64 (little-endian): the value, NaN where the row
               has none (or one that is not a number)

A digest is made from its journal's night (``night.night_of``: every item
the journal's runs were given, with its latest result), or by the run as
it ends from the night in hand (``of_records``, ``keep``), and stands only
while the journal has the size and modification time it records: a
journal that grew, or was replaced, has its digest made again. A digest is
written whole under another name and renamed over the old one, never
edited in place; one that cannot be written (a folder one may only read)
leaves the history to read the journal each time. A night whose run still
goes on gets no digest. Nights whose models are the same (most of them)
share one list of names in memory, read once: their name blocks have the
same fingerprint ``same`` (BLAKE2b of the block), and the block of a
night whose fingerprint was seen is not read again.
"""
from __future__ import annotations

import hashlib
import json
import math
import os
import sys
import tempfile
from array import array
from typing import Any, Dict, List, Optional

from . import compare, journal as journals, night as nights, schema
from ..items import NOT_RUN_OUTCOME, NOT_SOLVED_OUTCOME, SOLVED_OUTCOME, outcome

SUFFIX = ".digest"
FORMAT = 2
HEADER_AT_MOST = 1 << 20   # a first line longer than this is no digest of ours
_NAN = float("nan")


class Names:
    """The items of a night in order, shared by the nights that have the
    same ones (most of them), and where each is."""
    __slots__ = ("identities", "items", "_position")

    def __init__(self, identities: List[str], items: List[Any]) -> None:
        self.identities, self.items = identities, items
        self._position: Optional[Dict[str, int]] = None

    def position(self, identity: str) -> Optional[int]:
        if self._position is None:
            self._position = {name: index for index, name in enumerate(self.identities)}
        return self._position.get(identity)


class Night:
    """One night: its journal, when its first run started, its items
    (``Names``), each one's status (a byte each, an index into ``kinds``)
    and each value column as an array (NaN: no number). ``solved`` and
    ``ran``: a byte each, 1 where the item solved, or ran at all."""
    __slots__ = ("path", "when", "names", "codes", "kinds", "columns", "values", "live", "solved", "ran")

    def __init__(self, path: str, when: float, names: Names, codes: bytes, kinds: List[str],
                 values: Dict[str, "array[float]"], live: bool = False) -> None:
        self.path, self.when, self.names, self.codes, self.kinds = path, when, names, codes, kinds
        self.values, self.live = values, live
        self.columns = list(values)
        meanings = [outcome(kind) for kind in kinds]
        self.solved = codes.translate(bytes(int(meaning == SOLVED_OUTCOME) for meaning in meanings).ljust(256, b"\0"))
        self.ran = codes.translate(bytes(int(meaning != NOT_RUN_OUTCOME) for meaning in meanings).ljust(256, b"\0"))

    @property
    def identities(self) -> List[str]:
        return self.names.identities

    @property
    def items(self) -> List[Any]:
        return self.names.items

    def position(self, identity: str) -> Optional[int]:
        return self.names.position(identity)

    def status(self, position: int) -> str:
        return self.kinds[self.codes[position]]


def path_of(journal: str) -> str:
    return journal + SUFFIX


def load(journal: str, names: Optional[Dict[str, Names]] = None, keep: bool = True) -> Night:
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
            return of_records(path, records, contents.runs[0].get("time"), info["live"] is True, modified)
        if contents.legacy and contents.last_ended:
            return of_records(path, journals.records(path), modified, False, modified)
    raise ValueError("%s is not a run's journal" % path)


def of_records(path: str, records: List[Dict[str, Any]], when: Any, live: bool = False,
               modified: float = 0.0) -> Night:
    """The night of ``records`` (a journal's night: every item with its
    latest result), its journal ``path``, its first run started ``when``
    (``modified`` when that is not known)."""
    identities, items, statuses = [], [], []
    with journals.no_collection():
        for record in records:
            identity = record.get("identity")
            status = record.get("status")
            # an older version's record has no identity: named as the comparison names it
            identities.append(identity if isinstance(identity, str) and identity else
                              compare.rows([record])[0].identity)
            items.append(record.get("item"))
            statuses.append(status if isinstance(status, str) else "failed")
        found = [schema.values_of(record) for record in records]
        columns = {column: array("d", [_number(values[column]) if column in values else _NAN for values in found])
                   for column in dict.fromkeys(column for values in found for column in values)}
        # a column of no number (a verdict, a note) has nothing to follow over the nights
        columns = {column: numbers for column, numbers in columns.items() if any(x == x for x in numbers)}
    when = when if isinstance(when, (int, float)) and math.isfinite(when) else modified
    kinds = list(dict.fromkeys(statuses))
    if len(kinds) > 256:   # not one byte a status: whatever is not a known one did not solve
        statuses = [status if outcome(status) != NOT_SOLVED_OUTCOME else "failed" for status in statuses]
        kinds = list(dict.fromkeys(statuses))
    code = {kind: index for index, kind in enumerate(kinds)}
    return Night(path, float(when), Names(identities, items), bytes([code[status] for status in statuses]), kinds,
                 columns, live)


def keep(night: Night) -> None:
    """The digest of a night made from records in hand (a run's, as it
    ends), beside its journal as it is now."""
    try:
        stat = os.stat(night.path)
    except OSError:
        return
    _write(night, {"size": stat.st_size, "mtime_ns": stat.st_mtime_ns})


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
    names = json.dumps([night.identities, night.items], ensure_ascii=True, default=str).encode("ascii")
    header = {"format": FORMAT, "journal": stamp, "when": night.when, "columns": night.columns,
              "statuses": night.kinds, "rows": len(night.identities), "names": len(names),
              "same": hashlib.blake2b(names, digest_size=16).hexdigest(), "version": __version__}
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
            stream.write(night.codes)
            for column in night.columns:
                stream.write(_little(night.values[column]))
        os.replace(temporary, target)
    except OSError:
        try:
            os.remove(temporary)
        except OSError:
            pass


def _read(target: str, journal: str, stamp: Dict[str, int], names: Dict[str, Names]) -> Optional[Night]:
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
            same = str(header["same"])
            shared = names.get(same)
            if shared is None:
                identities, items = json.loads(stream.read(int(header["names"])))
                shared = names[same] = Names(list(identities), list(items))
            else:
                stream.seek(int(header["names"]), os.SEEK_CUR)   # the same items as a night read before
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
            if len(shared.identities) != rows or (codes and max(codes) >= len(statuses)):
                return None
            return Night(journal, float(header["when"]), shared, codes, [str(kind) for kind in statuses], arrays)
        except (ValueError, KeyError, TypeError, IndexError, OSError):
            return None
