"""Model paths as users give them on the command line: files, directories
(every model document below, sorted), glob patterns expanded here (``**``
included: cmd.exe and PowerShell expand none), and ``@list.txt`` files of
such entries (one a line, ``#`` for comments, relative to the list's
directory). Each model once, in the order first given, however it is
reached (a directory link, two spellings): duplicates are found by real
path. A pattern or directory that gives nothing is refused, with the
others, before the run."""
from __future__ import annotations

import glob
import os
from typing import Dict, List

from ..facts import MODEL_EXTENSION
from .identity import model_identity

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
        found = _models_below(path)
        if not found:
            raise NoModels("%s: a directory without a model document" % path)
        return found
    if _GLOB_CHARACTERS & set(entry) and not os.path.exists(path):
        found = []
        for match in sorted(glob.glob(path, recursive=True)):
            found.extend(_models_below(match) if os.path.isdir(match) else [match])
        if not found:
            raise NoModels("%s: a pattern that matches nothing" % path)
        return found
    if not os.path.lexists(path):
        raise NoModels("%s: no such file" % path)
    return [path]


class NoModels(ValueError):
    """An argument that names no model."""


def expand(entries: List[str]) -> List[str]:
    """The model paths that ``entries`` name, each once; ValueError naming
    every entry that names no model."""
    seen: Dict[str, None] = {}
    order = []
    empty = []
    for entry in entries:
        try:
            paths = _expand_one(entry, "", [])
        except NoModels as error:
            empty.append(str(error))
            continue
        for path in paths:
            identity = model_identity(path)
            if identity not in seen:
                seen[identity] = None
                order.append(path)
    if empty:
        raise NoModels("no model found for %s" % "; ".join(empty))
    return order
