"""Model paths as users give them on the command line: files, directories
(every model document below, sorted), glob patterns expanded here (``**``
included: cmd.exe and PowerShell expand none), and ``@list.txt`` files of
such entries (one a line, ``#`` for comments, relative to the list's
directory). Each model once, in the order first given; a pattern or
directory that gives nothing stays as it is, to be reported."""
from __future__ import annotations

import glob
import os
from typing import Dict, List

MODEL_EXTENSION = ".strale"
_GLOB_CHARACTERS = set("*?[")


def _models_below(directory: str) -> List[str]:
    found: List[str] = []
    for parent, names, files in os.walk(directory):
        names.sort()
        found.extend(os.path.join(parent, name) for name in sorted(files)
                     if name.lower().endswith(MODEL_EXTENSION))
    return sorted(found)


def _expand_one(entry: str, base: str, seen_lists: List[str]) -> List[str]:
    if entry.startswith("@"):
        listing = os.path.join(base, entry[1:])
        real = os.path.realpath(listing)
        if real in seen_lists:
            return []   # a list that names itself
        seen_lists.append(real)
        with open(listing, "r", encoding="utf-8-sig") as stream:
            lines = [line.strip() for line in stream]
        expanded: List[str] = []
        for line in lines:
            if line and not line.startswith("#"):
                expanded.extend(_expand_one(line, os.path.dirname(os.path.abspath(listing)), seen_lists))
        return expanded
    path = os.path.join(base, entry) if base else entry
    if os.path.isdir(path):
        return _models_below(path) or [path]
    if _GLOB_CHARACTERS & set(entry) and not os.path.exists(path):
        found: List[str] = []
        for match in sorted(glob.glob(path, recursive=True)):
            found.extend(_models_below(match) if os.path.isdir(match) else [match])
        return found or [path]
    return [path]


def expand(entries: List[str]) -> List[str]:
    """The model paths that ``entries`` name, each once."""
    seen: Dict[str, None] = {}
    order = []
    for entry in entries:
        for path in _expand_one(entry, "", []):
            identity = os.path.normcase(os.path.abspath(path))
            if identity not in seen:
                seen[identity] = None
                order.append(path)
    return order
