"""Reports and the results table: one row per item, in input order, its
columns those of ``schema`` (the result's fields, ``value.<name>`` for each
collected value). The format follows the file name: ``.csv``,
``.jsonl`` or ``.parquet`` (pandas and pyarrow, an optional extra); any
other name is refused before a run starts, as is a path that cannot be
written, so that a report never costs the run."""
from __future__ import annotations

import csv
import json
import os
from typing import Any, Dict, Iterable, List, Union, cast

from . import night as nights, schema
from ..items import ItemResult

FORMATS = (".csv", ".jsonl", ".parquet")
TABLE_EXTRA = "pandas is needed for a results table: pip install dralvex_computer[table]"
PARQUET_EXTRA = "a .parquet report needs pandas and pyarrow: pip install dralvex_computer[parquet]"


def check_format(path: str) -> None:
    extension = os.path.splitext(path)[1].lower()
    if extension not in FORMATS:
        raise ValueError("the report %s has no known format: name it .csv, .jsonl or .parquet" % path)
    if extension == ".parquet":
        try:
            import pandas  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
            import pyarrow  # type: ignore[import-untyped, unused-ignore]  # noqa: F401
        except ImportError:
            raise ValueError(PARQUET_EXTRA) from None


def check_writable(path: str, what: str) -> None:
    """Raises OSError with a clear message when ``path`` cannot be written
    (its directory is missing or read-only, or it is a directory), without
    creating or changing the file."""
    full = os.path.abspath(path)
    if os.path.isdir(full):
        raise OSError("the %s %s is a directory" % (what, path))
    directory = os.path.dirname(full)
    if not os.path.isdir(directory):
        raise OSError("the %s %s cannot be written: its directory %s does not exist" % (what, path, directory))
    if os.path.exists(full):
        if not os.access(full, os.W_OK):
            raise OSError("the %s %s cannot be written: no permission" % (what, path))
    elif not os.access(directory, os.W_OK | os.X_OK):
        raise OSError("the %s %s cannot be written: no permission in %s" % (what, path, directory))


def rows(results_or_journal: Union[str, "os.PathLike[str]", Iterable[Any]]) -> List[Dict[str, Any]]:
    """Plain rows from results, records or a journal's path (the night it
    holds), in input order: the result's fields, a study's point in a
    column per parameter (``point.<name>``), and the collected values in a
    column each (``value.<name>``; a value that is no dict, ``value``)."""
    if isinstance(results_or_journal, (str, os.PathLike)):
        records = nights.night(os.fspath(results_or_journal))[0]
    else:
        records = [item.record() if isinstance(item, ItemResult) else dict(cast(Dict[str, Any], item))
                   for item in results_or_journal]
    records.sort(key=_index)
    return [schema.row(record) for record in records]


def _index(record: Dict[str, Any]) -> int:
    index = record.get("index")
    return index if isinstance(index, int) else 0


def results_table(results_or_journal: Union[str, "os.PathLike[str]", Iterable[Any]]) -> Any:
    """A pandas ``DataFrame`` of results (a list of ``ItemResult`` or of
    records, or a journal's path): one row per item in input order, the
    report's columns (``value.<name>`` a collected value)."""
    try:
        import pandas  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise ImportError(TABLE_EXTRA) from None
    return pandas.DataFrame(rows(results_or_journal))


def _cell(value: Any) -> Any:
    return json.dumps(value, ensure_ascii=False) if isinstance(value, (list, dict)) else value


def write(records: Iterable[Dict[str, Any]], path: str) -> None:
    """Writes the report of ``records`` to ``path``, its format from the name."""
    table = rows(records)
    extension = os.path.splitext(path)[1].lower()
    if extension == ".parquet":
        frame = results_table(table)
        for column in frame.columns:   # nested values as JSON text: one type per column
            if frame[column].map(lambda value: isinstance(value, (list, dict))).any():
                frame[column] = frame[column].map(_cell)
        frame.to_parquet(path, index=False)
        return
    # text that is not UTF-8 (a file name's undecodable bytes) is written escaped
    with open(path, "w", encoding="utf-8", errors="backslashreplace", newline="") as stream:
        if extension == ".csv":
            columns: Dict[str, None] = {}
            for row in table:
                columns.update(dict.fromkeys(row))
            writer = csv.DictWriter(stream, fieldnames=list(columns) or ["index"])
            writer.writeheader()
            for row in table:
                writer.writerow(schema.csv_row(row))
        else:
            for row in table:
                stream.write(json.dumps(row, ensure_ascii=True) + "\n")
