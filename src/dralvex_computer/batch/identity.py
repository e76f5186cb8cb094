"""Which item a result belongs to, and whether an earlier result can stand
for it.

Two separate questions. An item's *identity* says which item it is: for a
solve, the model's real path (case-folded where the file system ignores
case), so that identical files in two directories are two items and a
model reached through a link is the same item; for any other item, a
digest of its value. Its *fingerprint* is a digest of everything the work
reads: for a solve, the model document and the inputs beside it that the
solve opens (the FRE files it may use and every load-case file, any of
which may be "the first"), the solver and its options, the collect
function and the installation's version. Resume reuses a result only for
the same identity under the same fingerprint; the named parts of a
fingerprint say what changed when it differs.
"""
from __future__ import annotations

import hashlib
import json
import os
import pickle
from typing import Any, Dict, List, Optional, Tuple

from ..facts import MODEL_EXTENSION

# What the work reads, by name -> digest of it ("" when absent).
Inputs = Dict[str, str]

ABSENT = ""
UNREADABLE = "unreadable"
FRE_EXTENSION = ".fre"
SHARED_FRE = "conception.fre"
LOAD_CASE_EXTENSION = ".thf"


def function_name(function: Any) -> str:
    """``module:qualified name`` of a function (or of a callable's class)."""
    if function is None:
        return ""
    target = function if hasattr(function, "__qualname__") else type(function)
    return "%s:%s" % (getattr(target, "__module__", "?"), getattr(target, "__qualname__", "?"))


def model_identity(path: str) -> str:
    """A model's real path, case-folded where the system ignores case."""
    return os.path.normcase(os.path.realpath(os.path.abspath(path)))


def file_digest(path: str) -> str:
    """SHA-256 of a regular file's content; ABSENT when there is none,
    UNREADABLE when it cannot be read. Never opens anything but a regular
    file (a FIFO would hang the run)."""
    try:
        if not os.path.isfile(path):
            return ABSENT
        digest = hashlib.sha256()
        with open(path, "rb") as stream:
            for block in iter(lambda: stream.read(1 << 16), b""):
                digest.update(block)
        return digest.hexdigest()
    except OSError:
        return UNREADABLE


def model_inputs(path: str) -> Inputs:
    """Digests of the model document and of the files beside it that its
    solve reads: ``<stem>.fre``, the shared ``conception.fre`` and every
    ``.thf`` file of the directory."""
    directory = os.path.dirname(path)
    stem = os.path.splitext(os.path.basename(path))[0]
    inputs = {"model": file_digest(path)}
    for name in dict.fromkeys((stem + FRE_EXTENSION, SHARED_FRE)):
        inputs[name] = file_digest(os.path.join(directory, name))
    try:
        names = sorted(os.listdir(directory))
    except OSError:
        inputs["directory"] = UNREADABLE
        return inputs
    for name in names:
        if name.lower().endswith(LOAD_CASE_EXTENSION):
            digest = file_digest(os.path.join(directory, name))
            if digest != ABSENT:
                inputs[name] = digest
    return inputs


def value_identity(value: Any) -> str:
    """A digest of a value that does not depend on how it prints: its
    canonical JSON when it is plain data, else its pickle."""
    try:
        text = json.dumps(_canonical(value), sort_keys=True, ensure_ascii=True, allow_nan=True)
        return "json:" + hashlib.sha256(text.encode("ascii")).hexdigest()
    except _NotPlain:
        pass
    try:
        data = pickle.dumps(value, protocol=4)
    except Exception as error:
        raise ValueError("an item that is neither plain data nor picklable cannot be keyed: %r (%s)"
                         % (type(value).__name__, error)) from None
    return "pickle:" + hashlib.sha256(data).hexdigest()


class _NotPlain(Exception):
    pass


def _canonical(value: Any, depth: int = 0) -> Any:
    if depth > 200:
        raise _NotPlain
    kind = type(value)
    if value is None or kind in (bool, str):
        return value
    if kind is int:
        return value
    if kind is float:
        # 1 and 1.0 are one value; other floats by their exact bits
        return int(value) if value.is_integer() and abs(value) < 2 ** 53 else {"float": value.hex()}
    if kind in (list, tuple):
        return [_canonical(item, depth + 1) for item in value]
    if kind is dict and all(type(key) is str for key in value):
        return {key: _canonical(item, depth + 1) for key, item in value.items()}
    raise _NotPlain


def fingerprint(inputs: Inputs) -> str:
    """One digest of named inputs."""
    text = json.dumps(inputs, sort_keys=True, ensure_ascii=True)
    return hashlib.sha256(text.encode("ascii")).hexdigest()


def changed(before: Optional[Inputs], now: Inputs) -> List[str]:
    """The names of the inputs that differ, in a stable order."""
    if not isinstance(before, dict):
        return ["everything (the journal does not say what it read)"]
    names = sorted(set(before) | set(now))
    return [name for name in names if before.get(name, ABSENT) != now.get(name, ABSENT)]


def installation_version(installation: Any) -> str:
    """What tells one installation of the application from another, as far
    as this machine sees it: the settings document (it names the solvers
    and their FRE options) and the size and time of each file of the
    Extensions directory. ABSENT when this machine does not see it."""
    digest = hashlib.sha256()
    directory = getattr(installation, "directory", "")
    extensions = os.path.join(directory, "Extensions")
    try:
        entries = sorted(os.scandir(extensions), key=lambda entry: entry.name)
    except OSError:
        return ABSENT
    for entry in entries:
        try:
            status = entry.stat()
        except OSError:
            continue
        digest.update(("%s|%d|%d\n" % (entry.name, status.st_size, status.st_mtime_ns)).encode("utf-8",
                                                                                              "surrogateescape"))
    settings = getattr(installation, "settings_path", None)
    if settings:
        digest.update(file_digest(settings).encode("ascii"))
    return digest.hexdigest()


def describe_generic(function: Any, item: Any) -> Tuple[str, Inputs]:
    """(identity, inputs) of an item of ``map_models``."""
    return value_identity(item), {"function": function_name(function)}


__all__ = ["model_identity", "model_inputs", "value_identity", "fingerprint", "changed", "installation_version",
           "describe_generic", "function_name", "file_digest", "MODEL_EXTENSION"]
