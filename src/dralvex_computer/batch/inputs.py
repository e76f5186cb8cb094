"""Model paths as users give them on the command line: files, directories
(every model document below, sorted), glob patterns expanded here (``**``
included: cmd.exe and PowerShell expand none), and ``@list.txt`` files of
such entries (one a line, ``#`` for comments, relative to the list's
directory). Each model once, in the order first given, however it is
reached (a directory link, two spellings): duplicates are found by real
path. A pattern or directory that gives nothing is refused, with the
others, before the run."""
from __future__ import annotations

import fnmatch
import glob
import logging
import os
import re
import stat
from typing import Dict, Iterator, List, Set, Tuple

from ..facts import MODEL_EXTENSION
from .identity import model_identity

_GLOB_CHARACTERS = set("*?[")
logger = logging.getLogger("dralvex_computer")


def _walk(directory: str) -> Iterator[Tuple[str, List[str], List[str]]]:
    """os.walk following directory links, each real directory once (a link
    loop is walked once); a directory that cannot be read is an error, not
    a silent gap."""
    seen: Set[str] = set()

    def unreadable(error: OSError) -> None:
        raise NoModels("%s: a directory that cannot be read (%s)" % (error.filename, error.strerror))

    for parent, names, files in os.walk(directory, onerror=unreadable, followlinks=True):
        real = os.path.realpath(parent)
        if real in seen:
            names[:] = []
            continue
        seen.add(real)
        names.sort()
        yield parent, names, sorted(files)


def _regular(path: str) -> bool:
    """A regular file (through links); anything else is passed over with a
    warning: opening a FIFO would hang the run."""
    try:
        if stat.S_ISREG(os.stat(path).st_mode):
            return True
    except OSError:
        return False
    logger.warning("%s is not a regular file: passed over", path)
    return False


def _models_below(directory: str) -> List[str]:
    found: List[str] = []
    for parent, _, files in _walk(directory):
        found.extend(os.path.join(parent, name) for name in files
                     if name.lower().endswith(MODEL_EXTENSION) and _regular(os.path.join(parent, name)))
    return sorted(found)


def _parts(path: str) -> List[str]:
    return [part for part in re.split(r"[\\/]" if os.sep == "\\" else "/", path)]


def _matches(pattern: List[str], parts: List[str]) -> bool:
    if not pattern:
        return not parts
    if pattern[0] == "**":
        return any(_matches(pattern[1:], parts[start:]) for start in range(len(parts) + 1))
    return bool(parts) and fnmatch.fnmatch(parts[0], pattern[0]) and _matches(pattern[1:], parts[1:])


def _glob(pattern: str) -> List[str]:
    """Paths matching a pattern; ``**`` any number of directories, each
    real directory walked once (the standard glob follows a link loop until
    the path is too long)."""
    parts = _parts(pattern)
    if "**" not in parts:
        return sorted(glob.glob(pattern))
    first = parts.index("**")
    head = os.sep.join(parts[:first]) or os.curdir
    if parts[:first] == [""]:
        head = os.sep
    bases = sorted(glob.glob(head)) if _GLOB_CHARACTERS & set(head) else [head]
    found = []
    for base in bases:
        if not os.path.isdir(base):
            continue
        for parent, names, files in _walk(base):
            for name in names + files:
                path = os.path.join(parent, name)
                if _matches(parts[first:], _parts(os.path.relpath(path, base))):
                    found.append(path)
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
        for match in _glob(path):
            if os.path.isdir(match):
                found.extend(_models_below(match))
            elif _regular(match):
                found.append(match)
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
