"""What changed since the last run: two runs (journals or reports) matched
item by item by identity, each item put in one category.

    added           in the new run only
    removed         in the old run only
    not run         in both, but it did not run in the new one (cancelled,
                    or still to come): it has no new answer, neither
                    failing nor passing
    newly failing   ended well before (or did not run), did not solve now
                    (a regression)
    newly passing   did not solve before (or did not run), solved now
    still failing   did not solve in both runs
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

A journal is read as the night it holds: the latest result of every item
its runs were given (``night``), so that a rerun of the failures
into it compares as the whole night. A report is read back through its
schema (``schema``): the same night compares as unchanged from its
journal, its ``.jsonl`` and its ``.csv``.
"""
from __future__ import annotations

import dataclasses
import json
import math
import os
from typing import Any, Dict, Iterable, List, Optional, Tuple

from . import journal as journals, night as nights, schema
from ..identity import model_identity
from ..items import NOT_RUN_OUTCOME, SOLVED_OUTCOME, outcome
from ...facts import MODEL_EXTENSION

# worst first: what to act on comes first wherever changes are listed
CATEGORIES = ("newly failing", "surprising", "removed", "value changed", "not run", "newly passing", "added",
              "inputs changed", "still failing", "unchanged")
REGRESSIONS = ("newly failing", "surprising", "removed")


class Row:
    """One item of a run as the comparison needs it (``inputs`` None: what
    it read is not known, as in a report)."""
    __slots__ = ("identity", "item", "status", "values", "inputs", "ok", "ran")

    def __init__(self, identity: str, item: Any, status: str, values: Dict[str, Any],
                 inputs: Optional[Dict[str, str]]) -> None:
        self.identity, self.item, self.status, self.values, self.inputs = identity, item, status, values, inputs
        meaning = outcome(status)
        self.ok, self.ran = meaning == SOLVED_OUTCOME, meaning != NOT_RUN_OUTCOME

    def __repr__(self) -> str:
        return "Row(%r, %r, %r, %r, %r)" % (self.identity, self.item, self.status, self.values, self.inputs)


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


values_of = schema.values_of


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
    if not isinstance(identity, str) or not identity:   # an older version's record: its model by its path
        item = record.get("item")
        identity = model_identity(item) if isinstance(item, str) and item.lower().endswith(MODEL_EXTENSION) else \
            json.dumps(item, sort_keys=True, default=str)
    status = record.get("status")
    return Row(identity, record.get("item"), status if isinstance(status, str) else "failed", values_of(record),
               inputs)


def rows(records: Iterable[Dict[str, Any]]) -> List[Row]:
    """Rows of records (a run's results), what each read not known."""
    return [_row(record, None) for record in records]


def load(path: str) -> List[Row]:
    """The night a journal holds (every item's latest result: a rerun of
    the failures into the same journal keeps the others' results), or the
    rows of a report (.jsonl, .csv); OSError, or ValueError naming the file
    when it is neither."""
    if os.path.isdir(path):
        raise OSError("%s is a directory, not a run's journal or report" % path)
    with journals.no_collection():
        return _load(path)


def _load(path: str) -> List[Row]:
    if os.path.splitext(path)[1].lower() == ".csv":
        return rows(schema.csv_records(path))
    contents = journals.read(path)
    if contents.runs:
        ended = contents.ended
        found = []
        for record in nights.night_of(contents, indexed=False)[0]:
            earlier = ended.get(record.get("identity") or "")
            # what it read is known for its result, not for an item that did not end
            found.append(_row(record, earlier.inputs if earlier is not None and earlier.record is record else None))
        return found
    if contents.legacy and contents.last_ended:
        return rows(journals.records(path))
    return rows(schema.jsonl_records(path))


def column_tolerances(entries: Iterable[str], absolute: float) -> Dict[str, Tuple[float, float]]:
    """Per-column tolerances from ``COLUMN=R`` or ``COLUMN=R,A`` texts
    (``absolute`` where A is not given); ValueError for anything else."""
    from ..options import name_values

    def limits(text: str) -> Tuple[float, float]:
        relative, _, own = text.partition(",")
        return float(relative), float(own) if own else absolute
    return name_values(entries, "a column's tolerance", "COLUMN=R or COLUMN=R,A", limits) or {}


MATCHES = ("identity", "relative", "name")


def compare(old: Iterable[Row], new: Iterable[Row], tolerance: Optional[Tuple[float, float]] = None,
            columns: Optional[Dict[str, Tuple[float, float]]] = None, match: str = "identity") -> List[Change]:
    """One change per item of either run: the new run's in its order, then
    the removed ones in the old run's order. ``match``: items are the same
    item by their identity (a model's real path), by their path below each
    night's common folder (``relative``: a folder moved, or mounted
    elsewhere), or by their file name (``name``)."""
    if match not in MATCHES:
        raise ValueError("match is %s, not %r" % (", ".join(MATCHES), match))
    with journals.no_collection():
        return _compare(_keyed(old, match), _keyed(new, match), tolerance, columns)


def _keyed(rows: Iterable[Row], match: str) -> List[Row]:
    """Rows named as ``match`` says (paths, not a study's points)."""
    rows = list(rows)
    if match == "identity":
        return rows
    paths = [row.identity for row in rows if os.path.isabs(row.identity)]
    try:
        root = os.path.commonpath(paths) if paths else ""
    except ValueError:   # paths of two drives
        root = ""
    keyed = []
    for row in rows:
        if os.path.isabs(row.identity):
            row = Row(os.path.basename(row.identity) if match == "name" else
                      os.path.relpath(row.identity, root) if root else row.identity, row.item, row.status, row.values,
                      row.inputs)
        keyed.append(row)
    return keyed


def shares_nothing(changes: List[Change]) -> bool:
    """Two nights with items, no item in both: moved, more likely than all new."""
    found = counts(changes)
    return bool(found["added"] and found["removed"]) and found["added"] + found["removed"] == len(changes)


SHARES_NOTHING = ("the two nights share no item: if the models moved (or another machine mounts them elsewhere), "
                  "--match relative matches them by their paths below each night's common folder, --match name by "
                  "their file names")


def _compare(old: Iterable[Row], new: Iterable[Row], tolerance: Optional[Tuple[float, float]],
             columns: Optional[Dict[str, Tuple[float, float]]]) -> List[Change]:
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
    if old.inputs is not None and new.inputs is not None and old.inputs != new.inputs:
        change.inputs = sorted(name for name in set(old.inputs) | set(new.inputs)
                               if old.inputs.get(name) != new.inputs.get(name))
    if not new.ran:
        change.category = "not run"
        return change
    if old.ok != new.ok or not old.ran:
        change.category = "newly passing" if new.ok else "newly failing"
        return change
    if not new.ok:
        change.category = "still failing"
        return change
    if not _same(old.values, new.values):
        _changed_values(change, old.values, new.values, limits)
    if change.values:
        inputs_known = old.inputs is not None and new.inputs is not None
        change.category = "surprising" if inputs_known and not change.inputs else "value changed"
    elif change.inputs:
        change.category = "inputs changed"
    return change


def _same(earlier: Dict[str, Any], later: Dict[str, Any]) -> bool:
    """The same values (most items, most nights), seen without a look at
    each. A flag is no number, so True is not 1: where either side has a
    flag, each value is looked at."""
    return earlier == later and bool not in {*map(type, earlier.values()), *map(type, later.values())}


def _changed_values(change: Change, earlier: Dict[str, Any], later: Dict[str, Any], limits: Tolerance) -> None:
    columns = list(earlier) if earlier.keys() == later.keys() else \
        list(earlier) + [column for column in later if column not in earlier]
    for column in columns:
        before, after = earlier.get(column), later.get(column)
        if before == after and type(before) is type(after):
            continue   # the same value: close whatever the tolerance
        low, high = _number(before), _number(after)
        # numbers within the tolerance; a flag is no number, and other values differ (equal ones were passed)
        same = low is not None and high is not None and limits.close(column, low, high)
        if not same:
            change.values[column] = (before, after)


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
    if shares_nothing(changes):
        lines.append(SHARES_NOTHING)
    grouped: Dict[str, List[Change]] = {category: [] for category in CATEGORIES}
    for change in changes:
        grouped[change.category].append(change)
    for category in CATEGORIES[:-1]:
        members = grouped[category]
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
