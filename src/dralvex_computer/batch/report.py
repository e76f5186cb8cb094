"""Report files: one row per item, CSV for a ``.csv`` name, otherwise JSON
Lines; checked before a run starts so that a report that cannot be written
never costs the run."""
from __future__ import annotations

import csv
import json
import os
from typing import Any, Dict, Iterable, List


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


def _cell(value: Any) -> Any:
    return json.dumps(value, ensure_ascii=False) if isinstance(value, (list, dict)) else value


def write(path: str, records: Iterable[Dict[str, Any]]) -> None:
    rows: List[Dict[str, Any]] = list(records)
    # text that is not UTF-8 (a file name's undecodable bytes) is written escaped
    with open(path, "w", encoding="utf-8", errors="backslashreplace", newline="") as stream:
        if path.lower().endswith(".csv"):
            writer = csv.DictWriter(stream, fieldnames=list(rows[0]) if rows else ["index"])
            writer.writeheader()
            for row in rows:
                writer.writerow({key: _cell(value) for key, value in row.items()})
        else:
            for row in rows:
                stream.write(json.dumps(row, ensure_ascii=True) + "\n")
