"""A result as every reader sees it: its fields, declared once (the fields
of ``ItemResult``), the values collected apart from them, and a report's
row, written and read back as the same record.

    a record (the journal's, ItemResult.record())      a report's row (.csv, .jsonl, .parquet, the table)
      index, item, status, ... seat_wait           <->   the same fields, in the same order
      value: {"max_stress": 312.0}                 <->   value.max_stress: 312.0
      value: 4.2 (a value that is not a dict)      <->   value: 4.2
      item: {"wall": 4.0} (a study's point)         ->   item, and point.wall: 4.0 (to read, never read back)

A user's value named ``status`` or ``seat_wait`` is ``value.status``: a
value, never taken for the field. In a CSV cell, text that would read back
as something else (empty text, "42", "True", "[1]") is written as a JSON
string ("", "42"), so that every cell reads back as what was written;
``None`` is an empty cell. The fields are read back as their declared types.
"""
from __future__ import annotations

import dataclasses
import json
import math
from typing import Any, Callable, Dict, Iterable, List, Tuple

from ..items import POINT_IDENTITY, ItemResult

VALUE, POINT = "value.", "point."
FIELDS: Tuple[str, ...] = tuple(field.name for field in dataclasses.fields(ItemResult))
_TYPES = {field.name: str(field.type) for field in dataclasses.fields(ItemResult)}


def values_of(record: Dict[str, Any]) -> Dict[str, Any]:
    """A record's collected values: a dict value's entries (the record's own
    dict: read it, never change it), any other value as ``value``, none
    when it has no value."""
    value = record.get("value")
    if isinstance(value, dict):
        return value
    return {} if value is None else {"value": value}


def point_of(record: Dict[str, Any]) -> Dict[str, Any]:
    """A study's point (its item, when its identity says it is one)."""
    item = record.get("item")
    return item if isinstance(item, dict) and str(record.get("identity") or "").startswith(POINT_IDENTITY) else {}


def row(record: Dict[str, Any]) -> Dict[str, Any]:
    """A record as a report's row."""
    found = {name: record[name] for name in FIELDS if name in record}
    found.update((name, record[name]) for name in record if name not in found)   # another version's fields
    found.update((POINT + name, part) for name, part in point_of(record).items())
    value = record.get("value")
    if isinstance(value, dict):
        found["value"] = None
        found.update((VALUE + name, part) for name, part in value.items())
    return found


def record(row: Dict[str, Any], legacy: Iterable[str] = ()) -> Dict[str, Any]:
    """A report's row read back as its record. ``legacy``: the columns a
    report of an older version spread a study's point into."""
    found: Dict[str, Any] = {}
    values: Dict[str, Any] = {}
    spread = set(legacy)
    for column, cell in row.items():
        if column in FIELDS:
            found[column] = cell
        elif column.startswith(VALUE):
            if cell is not None:
                values[column[len(VALUE):]] = cell
        elif column.startswith(POINT) or column in spread or column.startswith("item_"):
            continue
        elif cell is not None and cell != "":   # an older report's value, its name as it was (value_<field>)
            values[column[len("value_"):] if column.startswith("value_") and column[6:] in FIELDS else column] = cell
    if values and found.get("value") is None:
        found["value"] = values
    return found


# ------------------------------------------------------------ CSV cells

def read_scalar(text: str) -> Any:
    """A cell as the single value it reads as (also a study's table, as a
    spreadsheet writes it): a truth value (True, False), a text written as
    a JSON string, a whole number, a finite number, or else the text."""
    stripped = text.strip()
    if stripped in ("True", "False"):
        return stripped == "True"
    if len(stripped) >= 2 and stripped[0] == stripped[-1] == '"':
        try:
            decoded = json.loads(stripped)
        except ValueError:
            return text
        return decoded if isinstance(decoded, str) else text
    for kind in (int, float):
        try:
            number = kind(stripped)
        except ValueError:
            continue
        return text if kind is float and not math.isfinite(number) else number   # "nan": text, as records write it
    return text


def read_cell(text: str) -> Any:
    """A value's CSV cell as what was written: None, a list or dict (JSON),
    or a single value."""
    if text == "":
        return None
    if text[0] in "[{":
        try:
            decoded = json.loads(text)
        except ValueError:
            return text
        return decoded if isinstance(decoded, (list, dict)) else text
    return read_scalar(text)


def unambiguous(text: str, reader: Callable[[str], Any] = read_scalar) -> str:
    """Text as a cell that ``reader`` reads back as this text: as it is,
    or a JSON string where it would read as something else ("007", "True")."""
    return text if reader(text) == text and type(reader(text)) is str else json.dumps(text, ensure_ascii=False)


def write_cell(value: Any) -> Any:
    """A value as a CSV cell that ``read_cell`` reads back as it is."""
    if value is None:
        return ""
    if isinstance(value, (list, dict)):
        return json.dumps(value, ensure_ascii=False)
    return unambiguous(value, read_cell) if isinstance(value, str) else value


def _field_reader(declared: str) -> Callable[[str], Any]:
    """How a field's cell reads back, from its declared type."""
    if declared == "str":
        return lambda text: text
    if declared == "Optional[str]":
        return lambda text: text or None
    if declared in ("int", "float", "Optional[float]", "bool"):
        return read_cell
    if declared.startswith("List["):
        return lambda text: read_cell(text) if text.startswith("[") else []
    if declared == "Any":
        return read_cell
    raise TypeError("a result's field of type %s has no way into a report: say how here" % declared)


_READERS = {name: _field_reader(declared) for name, declared in _TYPES.items()}


def csv_row(row: Dict[str, Any]) -> Dict[str, Any]:
    """A report's row as CSV cells: a field of a declared type as it is
    (its reader knows the type), anything else so that it reads back."""
    cells = {}
    for column, cell in row.items():
        if _TYPES.get(column, "Any") == "Any":   # the item, the values, another version's field
            cells[column] = write_cell(cell)
        else:
            cells[column] = "" if cell is None else json.dumps(cell) if isinstance(cell, (list, dict)) else cell
    return cells


def from_csv(cells: Dict[str, str]) -> Dict[str, Any]:
    """A CSV report's row as its cells were written."""
    return {column: _READERS[column](text) if column in _READERS else read_cell(text)
            for column, text in cells.items()}


def refuse(path: str, why: str) -> ValueError:
    return ValueError("%s is not a run's journal or report: %s" % (path, why))


def csv_records(path: str) -> List[Dict[str, Any]]:
    """The records of a CSV report; ValueError naming the file when it is
    none."""
    import csv
    with open(path, newline="", encoding="utf-8") as stream:
        reader = csv.DictReader(stream)
        header = reader.fieldnames or []
        if not {"index", "status"} <= set(header):
            raise refuse(path, "it has no index and status columns")
        found = []
        for cells in reader:
            if None in cells:
                raise refuse(path, "line %d has more cells than the header" % reader.line_num)
            found.append(_read_back(from_csv({column: cell or "" for column, cell in cells.items()})))
    return found


def jsonl_records(path: str) -> List[Dict[str, Any]]:
    """The records of a JSON Lines report; ValueError naming the file (and
    the line) when it is none."""
    with open(path, encoding="utf-8", errors="replace") as stream:
        lines = stream.readlines()
    found = []
    for number, line in enumerate(lines, start=1):
        if not line.strip():
            continue
        try:
            entry = json.loads(line)
        except ValueError:
            raise refuse(path, "line %d is not JSON" % number) from None
        if not isinstance(entry, dict) or not isinstance(entry.get("status"), str):
            raise refuse(path, "line %d is not a result (no status)" % number)
        found.append(_read_back(entry))
    if not found:
        raise refuse(path, "it holds no result")
    return found


def _read_back(cells: Dict[str, Any]) -> Dict[str, Any]:
    legacy = [] if any(column.startswith((VALUE, POINT)) for column in cells) else list(point_of(cells))
    return record(cells, legacy)
