"""The history as a person reads it, as JSON, as CSV (one row a model a
night), and as a Parquet dataset (one file a night) for DuckDB or pandas:

    night, when, identity, item, status, <each value column>

``item`` is the model's path, or a study's point as JSON."""
from __future__ import annotations

import csv
import datetime
import fnmatch
import json
import math
import os
import re
from typing import IO, Any, Dict, Iterator, List, Optional

from .history import Finding, History, item_text as _item_text, text as findings_text

PARQUET_EXTRA = ("--parquet needs pyarrow: pip install \"dralvex_computer[parquet]\" (or pyarrow), on an "
                 "interpreter it has a wheel for")


def date(when: float) -> str:
    return datetime.datetime.fromtimestamp(when).strftime("%Y-%m-%d %H:%M")


def chosen(history: History, pattern: Optional[str]) -> List[str]:
    """The models whose identity or item matches ``pattern`` (a glob, any
    case); every model without one."""
    if not pattern:
        return list(history.models)
    wanted = pattern.lower()
    return [identity for identity, item in history.models.items()
            if fnmatch.fnmatchcase(identity.lower(), wanted) or fnmatch.fnmatchcase(_item_text(item).lower(), wanted)
            or fnmatch.fnmatchcase(os.path.basename(_item_text(item)).lower(), wanted)]


def text(history: History, found: List[Finding], window: int) -> str:
    """The nights read, then the drifting and the flaky models, what to act
    on first first."""
    nights = history.nights
    if not nights:
        return "no nights"
    lines = ["%d nights, %s to %s, %d models; each latest value against the median of up to %d nights before it"
             % (len(nights), date(nights[0].when), date(nights[-1].when), len(history.models), window)]
    lines += ["not read: %s: %s" % pair for pair in history.skipped]
    return "\n".join(lines + [findings_text(found)])


def trend_text(history: History, identities: List[str]) -> str:
    """Each model's status and values night by night."""
    columns = history.columns()
    lines = []
    for identity in identities:
        lines += ["", "%s:" % _item_text(history.models[identity])]
        series = {column: history.series(identity, column) for column in columns}
        for position, (night, status) in enumerate(zip(history.nights, history.statuses(identity))):
            if status is None:
                continue
            values = ["%s %.6g" % (column, value) for column, value in
                      ((column, series[column][position]) for column in columns) if value is not None]
            lines.append("  %s  %-12s %s" % (date(night.when), status, "  ".join(values)))
    return "\n".join(lines).lstrip("\n") if lines else "no model matches"


def rows(history: History, identities: Optional[List[str]] = None) -> Iterator[Dict[str, Any]]:
    """One row a model a night it was in."""
    columns = history.columns()
    wanted = set(identities) if identities is not None else None
    for night in history.nights:
        name = os.path.basename(night.path)
        for position, identity in enumerate(night.identities):
            if wanted is not None and identity not in wanted:
                continue
            row = {"night": name, "when": night.when, "identity": identity, "item": _item_text(night.items[position]),
                   "status": night.status(position)}
            for column in columns:
                values = night.values.get(column)
                value = values[position] if values is not None else math.nan
                row[column] = None if math.isnan(value) else value
            yield row


def as_json(history: History, found: List[Finding], identities: List[str]) -> str:
    return json.dumps({"nights": [{"journal": night.path, "when": night.when} for night in history.nights],
                       "skipped": [{"journal": path, "why": why} for path, why in history.skipped],
                       "findings": [finding.record() for finding in found],
                       "models": [{"identity": identity, "item": history.models[identity],
                                   "statuses": history.statuses(identity),
                                   "values": {column: history.series(identity, column)
                                              for column in history.columns()}}
                                  for identity in identities]}, indent=1, default=str)


def write_csv(history: History, stream: IO[str], identities: Optional[List[str]] = None) -> None:
    writer = csv.DictWriter(stream, ["night", "when", "identity", "item", "status"] + history.columns(),
                            lineterminator="\n")
    writer.writeheader()
    writer.writerows(rows(history, identities))


def write_parquet(history: History, directory: str) -> List[str]:
    """One Parquet file a night in ``directory`` (made when missing), each
    with every column of the history; the files written. The files of an
    earlier, longer history written there (``night-NNNNN.parquet`` past
    this one's nights) are removed, so that the dataset is this history
    alone. ImportError naming the extra when pyarrow is not installed."""
    try:
        import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]
        import pyarrow.parquet as parquet  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ImportError(PARQUET_EXTRA) from None
    os.makedirs(directory, exist_ok=True)
    columns = history.columns()
    schema = pyarrow.schema([("night", pyarrow.int32()), ("journal", pyarrow.string()),
                             ("when", pyarrow.float64()), ("identity", pyarrow.string()), ("item", pyarrow.string()),
                             ("status", pyarrow.string())] + [(column, pyarrow.float64()) for column in columns])
    written = []
    for number, night in enumerate(history.nights):
        count = len(night.identities)
        data: Dict[str, Any] = {"night": [number] * count, "journal": [os.path.basename(night.path)] * count,
                                "when": [night.when] * count, "identity": night.identities,
                                "item": [_item_text(item) for item in night.items],
                                "status": [night.status(position) for position in range(count)]}
        for column in columns:
            values = night.values.get(column)
            data[column] = [None] * count if values is None else [None if math.isnan(v) else v for v in values]
        target = os.path.join(directory, "night-%05d.parquet" % number)
        parquet.write_table(pyarrow.Table.from_pydict(data, schema=schema), target)
        written.append(target)
    for name in os.listdir(directory):
        path = os.path.join(directory, name)
        if re.fullmatch(r"night-\d{5}\.parquet", name) and int(name[6:11]) >= len(history.nights) \
                and os.path.isfile(path) and not os.path.islink(path):
            os.remove(path)
    return written
