"""What changed since the last run: two runs (journals or reports) matched
item by item by identity, each item put in one category.

    added           in the new run only
    removed         in the old run only
    newly failing   ended well before, not now (a regression)
    newly passing   the other way round
    still failing   ended badly in both runs
    surprising      same inputs, a value beyond the tolerance (a regression:
                    nothing the solve reads changed, yet its answer did)
    value changed   a value beyond the tolerance, and its inputs changed (or
                    are unknown, as in a report)
    inputs changed  its inputs changed, its values did not
    unchanged       the rest

Numbers are close when ``|new - old| <= max(relative * max(|old|, |new|),
absolute)``: a relative tolerance alone fails near zero, so there is an
absolute one too, both settable per column. Values that are not numbers
(a verdict, a note) must be equal. A run is said to have regressed when an
item is newly failing, surprising or removed.
"""
from __future__ import annotations

import csv
import dataclasses
import json
import math
import os
from typing import Any, Dict, Iterable, List, Optional, Tuple

from . import journal as journals
from ..items import POINT_IDENTITY

CATEGORIES = ("newly failing", "surprising", "removed", "value changed", "newly passing", "added", "inputs changed",
              "still failing", "unchanged")
REGRESSIONS = ("newly failing", "surprising", "removed")
OK_STATUSES = ("done", "solved")
# what a report's row holds beside the values
_RESULT_COLUMNS = ("index", "item", "status", "value", "error_type", "error_message", "traceback", "output",
                   "elapsed", "worker", "started", "resumed", "warnings", "results_dir", "tries", "identity",
                   "run_reason", "history")


@dataclasses.dataclass
class Row:
    """One item of a run as the comparison needs it."""
    identity: str
    item: Any
    status: str
    values: Dict[str, Any]
    inputs: Optional[Dict[str, str]]   # None: not known (a report)

    @property
    def ok(self) -> bool:
        return self.status in OK_STATUSES


@dataclasses.dataclass
class Tolerance:
    relative: float = 1e-6
    absolute: float = 1e-9
    columns: Dict[str, Tuple[float, float]] = dataclasses.field(default_factory=dict)   # column -> (rel, abs)

    def close(self, column: str, old: float, new: float) -> bool:
        relative, absolute = self.columns.get(column, (self.relative, self.absolute))
        if math.isnan(old) or math.isnan(new):
            return math.isnan(old) and math.isnan(new)
        if math.isinf(old) or math.isinf(new):
            return old == new
        return abs(new - old) <= max(relative * max(abs(old), abs(new)), absolute)


@dataclasses.dataclass
class Change:
    identity: str
    item: Any
    category: str
    old_status: Optional[str] = None
    new_status: Optional[str] = None
    values: Dict[str, Tuple[Any, Any]] = dataclasses.field(default_factory=dict)   # column -> (old, new), changed
    inputs: List[str] = dataclasses.field(default_factory=list)   # the inputs that changed

    def record(self) -> Dict[str, Any]:
        return {"identity": self.identity, "item": self.item, "category": self.category,
                "old_status": self.old_status, "new_status": self.new_status,
                "values": {column: list(pair) for column, pair in self.values.items()}, "inputs": self.inputs}


def values_of(record: Dict[str, Any]) -> Dict[str, Any]:
    """A record's values: a dict value's entries, a single value as
    ``value``, and a report's columns beside the result's own."""
    value = record.get("value")
    found: Dict[str, Any] = dict(value) if isinstance(value, dict) else ({} if value in (None, "") else
                                                                         {"value": value})
    point = _point(record.get("item")) if str(record.get("identity") or "").startswith(POINT_IDENTITY) else {}
    # (a report spreads a study's point into columns too)
    spread = set(point) | {"item_%s" % key for key in point}
    for column, cell in record.items():
        if column not in _RESULT_COLUMNS and column not in spread and cell not in (None, ""):
            found[column[len("value_"):] if column.startswith("value_") else column] = cell
    return found


def _point(item: Any) -> Dict[str, Any]:
    if isinstance(item, str) and item.startswith("{"):   # a CSV cell
        try:
            item = json.loads(item)
        except ValueError:
            return {}
    return item if isinstance(item, dict) else {}


def _number(value: Any) -> Optional[float]:
    if isinstance(value, bool):
        return None
    if isinstance(value, (int, float)):
        return float(value)
    if isinstance(value, str):
        try:
            return float(value)   # a CSV cell, or "nan"/"inf" as records write them
        except ValueError:
            return None
    return None


def _row(record: Dict[str, Any], inputs: Optional[Dict[str, str]]) -> Row:
    identity = record.get("identity")
    if not isinstance(identity, str) or not identity:
        identity = json.dumps(record.get("item"), sort_keys=True, default=str)   # an older version's record
    status = record.get("status")
    return Row(identity, record.get("item"), status if isinstance(status, str) else "failed", values_of(record),
               inputs)


def rows(records: Iterable[Dict[str, Any]]) -> List[Row]:
    """Rows of records (a run's results), what each read not known."""
    return [_row(record, None) for record in records]


def load(path: str) -> List[Row]:
    """The latest result of every item a journal knows (a rerun of the
    failures into the same journal keeps the others' results), or the rows
    of a report (.jsonl, .csv); OSError or ValueError when it is neither."""
    extension = os.path.splitext(path)[1].lower()
    if extension == ".csv":
        with open(path, newline="", encoding="utf-8") as stream:
            return [_row(record, None) for record in csv.DictReader(stream)]
    contents = journals.read(path)
    if contents.runs:
        return [_row(earlier.record, earlier.inputs) for earlier in contents.ended.values()]
    if contents.legacy:
        return rows(journals.records(path))
    with open(path, encoding="utf-8") as stream:
        records = [json.loads(line) for line in stream if line.strip()]
    if not records or not all(isinstance(record, dict) and "status" in record for record in records):
        raise ValueError("%s is neither a run's journal nor a report" % path)
    return [_row(record, None) for record in records]


def run_rows(records: Iterable[Dict[str, Any]], journal: Optional[str]) -> List[Row]:
    """Rows of a run's records, with what each read as the run's journal
    says (when it has one)."""
    ended = journals.read(journal).ended if journal else {}
    found = []
    for record in records:
        earlier = ended.get(record.get("identity") or "")
        # the journal's latest end of the item is this run's when it ended in this run
        mine = earlier is not None and earlier.record.get("status") == record.get("status")
        found.append(_row(record, earlier.inputs if mine and earlier is not None else None))
    return found


def column_tolerances(entries: Iterable[str], absolute: float) -> Dict[str, Tuple[float, float]]:
    """Per-column tolerances from ``COLUMN=R`` or ``COLUMN=R,A`` texts
    (``absolute`` where A is not given); ValueError for anything else."""
    columns = {}
    for entry in entries:
        column, _, limits = entry.partition("=")
        relative, _, own = limits.partition(",")
        try:
            columns[column] = (float(relative), float(own) if own else absolute)
        except ValueError:
            raise ValueError("a column's tolerance is COLUMN=R or COLUMN=R,A, not %r" % entry) from None
    return columns


def compare(old: Iterable[Row], new: Iterable[Row], tolerance: Optional[Tuple[float, float]] = None,
            columns: Optional[Dict[str, Tuple[float, float]]] = None) -> List[Change]:
    """One change per item of either run: the new run's in its order, then
    the removed ones in the old run's order."""
    limits = Tolerance(columns=dict(columns or {}))
    if tolerance is not None:
        limits.relative, limits.absolute = tolerance
    before = {row.identity: row for row in old}
    changes = []
    seen = set()
    for row in new:
        seen.add(row.identity)
        earlier = before.get(row.identity)
        changes.append(Change(row.identity, row.item, "added", None, row.status) if earlier is None
                       else _change(earlier, row, limits))
    changes += [Change(row.identity, row.item, "removed", row.status, None)
                for identity, row in before.items() if identity not in seen]
    return changes


def _change(old: Row, new: Row, limits: Tolerance) -> Change:
    change = Change(new.identity, new.item, "unchanged", old.status, new.status)
    if old.inputs is not None and new.inputs is not None:
        change.inputs = sorted(name for name in set(old.inputs) | set(new.inputs)
                               if old.inputs.get(name) != new.inputs.get(name))
    if old.ok != new.ok:
        change.category = "newly passing" if new.ok else "newly failing"
        return change
    if not new.ok:
        change.category = "still failing"
        return change
    for column in list(old.values) + [column for column in new.values if column not in old.values]:
        before, after = old.values.get(column), new.values.get(column)
        low, high = _number(before), _number(after)
        if low is not None and high is not None:
            same = limits.close(column, low, high)
        else:   # a flag is no number, and text is compared as text
            same = low is None and high is None and before == after and type(before) is type(after)
        if not same:
            change.values[column] = (before, after)
    if change.values:
        inputs_known = old.inputs is not None and new.inputs is not None
        change.category = "surprising" if inputs_known and not change.inputs else "value changed"
    elif change.inputs:
        change.category = "inputs changed"
    return change


def counts(changes: Iterable[Change]) -> Dict[str, int]:
    found = {category: 0 for category in CATEGORIES}
    for change in changes:
        found[change.category] += 1
    return found


def regressed(changes: Iterable[Change]) -> bool:
    return any(change.category in REGRESSIONS for change in changes)


def delta(before: Any, after: Any) -> str:
    low, high = _number(before), _number(after)
    if low is None or high is None:
        return "%r -> %r" % (before, after)
    relative = (" (%+.2f%%)" % ((high - low) / abs(low) * 100)) if low not in (0.0,) and math.isfinite(low) else ""
    return "%s -> %s%s" % (before, after, relative)


def text(changes: List[Change]) -> str:
    """The comparison as a person reads it: the counts, then every item
    that changed, by category."""
    found = counts(changes)
    lines = [", ".join("%d %s" % (count, category) for category, count in found.items() if count)
             or "no items", "regressed" if regressed(changes) else "nothing regressed"]
    for category in CATEGORIES[:-1]:
        members = [change for change in changes if change.category == category]
        if not members:
            continue
        lines.append("")
        lines.append("%s (%d):" % (category, len(members)))
        for change in members:
            details = []
            if change.old_status != change.new_status and change.old_status and change.new_status:
                details.append("%s -> %s" % (change.old_status, change.new_status))
            details += ["%s %s" % (column, delta(*pair)) for column, pair in change.values.items()]
            if change.inputs:
                details.append("inputs changed: %s" % ", ".join(change.inputs))
            lines.append("  %s%s" % (change.item, (": " + "; ".join(details)) if details else ""))
    return "\n".join(lines)


def as_json(changes: List[Change]) -> str:
    return json.dumps({"regressed": regressed(changes), "counts": counts(changes),
                       "changes": [change.record() for change in changes if change.category != "unchanged"]},
                      indent=1, default=str)
