"""The data of a run: the installation a worker sets the module up on, the
statuses, and the result of one item, whose record is plain JSON data
whatever its value holds. Both pickle (see ``protocol`` for what crosses)."""
from __future__ import annotations

import dataclasses
import math
import operator
import os
import re
import traceback
from typing import Any, Dict, List, Optional, Tuple

from ..facts import MODULES

# The status of one item.
DONE = "done"                    # map_models: the function returned
SOLVED = "solved"                # solve_models: a solution came back
NO_SOLUTION = "no solution"      # solve returned None, nothing raised
FAILED = "failed"                # an exception (also on the module's solver thread)
TIMED_OUT = "timed out"          # past its time-out; what it started was ended
WORKER_LOST = "worker lost"      # its worker process died
INVALID_INPUT = "invalid input"  # not a model document that exists
CANCELLED = "cancelled"          # never ran: the run was interrupted

STATUSES = (DONE, SOLVED, NO_SOLUTION, FAILED, TIMED_OUT, WORKER_LOST, INVALID_INPUT, CANCELLED)

# What each status means to whoever reads a night: its item solved, did
# not solve (a failure to act on), or did not run (it has no new answer,
# neither failing nor passing).
ENDED_WELL = (DONE, SOLVED)
NOT_SOLVED = (NO_SOLUTION, FAILED, TIMED_OUT, WORKER_LOST, INVALID_INPUT)
NOT_RUN = (CANCELLED,)
# Where an item of a run that still goes on is, when it has no result yet.
RUNNING, WAITING_FOR_SEAT, QUEUED = "running", "waiting for a seat", "queued"
IN_PROGRESS = (RUNNING, WAITING_FOR_SEAT, QUEUED)
SOLVED_OUTCOME, NOT_SOLVED_OUTCOME, NOT_RUN_OUTCOME = "solved", "did not solve", "did not run"


_OUTCOMES = dict([(status, SOLVED_OUTCOME) for status in ENDED_WELL]
                 + [(status, NOT_RUN_OUTCOME) for status in NOT_RUN + IN_PROGRESS])


def outcome(status: Any) -> str:
    """What a status means: solved, did not solve, or did not run (an
    unknown status did not solve: it says nothing good)."""
    return _OUTCOMES.get(status, NOT_SOLVED_OUTCOME) if isinstance(status, str) else NOT_SOLVED_OUTCOME

# The identity of a study's item (a point: its values, a dict) starts so.
POINT_IDENTITY = "point "


@dataclasses.dataclass(frozen=True)
class Installation:
    """What a worker process needs to set the module up: the installation
    directory, the application module (a ``DralvexModule`` member or its
    name), and the settings and data-sources documents when they are not in
    the default place. ``prepare``, a ``module:function`` that each worker
    calls before its first use of the module, serves processes that have no
    bridge of their own (``dralvex_sim.kit:activate`` for the simulated
    platform). It pickles: it crosses processes and machines."""

    directory: str
    module: Any = "All"
    settings_path: Optional[str] = None
    data_sources_path: Optional[str] = None
    prepare: Optional[str] = None

    def __post_init__(self) -> None:
        name = getattr(self.module, "name", self.module)
        if name not in MODULES:
            raise ValueError("module must be All, Ductavo or Framavo, not %r" % (self.module,))
        object.__setattr__(self, "module", name)
        object.__setattr__(self, "directory", os.fspath(self.directory))
        for field in ("settings_path", "data_sources_path"):
            value = getattr(self, field)
            if value is not None:
                object.__setattr__(self, field, os.fspath(value))

    def set_up(self) -> None:
        """Set the module of this process up on the installation; raises
        OSError when the set-up does not succeed."""
        import dralvex_computer as cc
        if self.settings_path is not None:
            cc._settingsPath_ = self.settings_path
        if self.data_sources_path is not None:
            cc._dataSourcesPath_ = self.data_sources_path
        if cc.setup_dralvex_computer(self.directory, cc.DralvexModule[self.module]) is not True:
            raise OSError("set-up on %r did not succeed (no Extensions directory?)" % self.directory)


@dataclasses.dataclass
class ItemResult:
    """The outcome of one item, in input order."""

    index: int
    item: Any
    status: str
    value: Any = None
    error_type: Optional[str] = None
    error_message: Optional[str] = None
    traceback: Optional[str] = None
    output: str = ""              # what the module printed while the item ran
    elapsed: float = 0.0          # wall seconds from its start in the worker to its end
    worker: str = ""              # host:pid of the worker it ran on
    started: Optional[float] = None   # when it started in the worker (seconds since the epoch)
    resumed: bool = False         # taken from the journal of an earlier run, not run again
    warnings: List[str] = dataclasses.field(default_factory=list)   # "Category: message" of each warning raised
    results_dir: Optional[str] = None   # where the solver's results files were kept (keep_results)
    tries: int = 1                # how many times it ran (retries)
    identity: str = ""            # which item it is (for a solve: the model's real path)
    run_reason: str = ""          # why it ran in a resumed run, or why its earlier result stands
    history: List[Dict[str, Any]] = dataclasses.field(default_factory=list)   # the tries before the last
    seat_wait: float = 0.0        # seconds of ``elapsed`` it waited for a licence seat (not counted by its time-out)

    @property
    def ok(self) -> bool:
        return self.status in ENDED_WELL

    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...]]:
        # its fields in order: a tenth of the default's cost for a result
        # that crosses back after every item
        return ItemResult, _fields_of(self)

    def record(self) -> Dict[str, Any]:
        """The result as plain JSON data, for a report or the journal."""
        record = {field.name: plain(getattr(self, field.name)) for field in dataclasses.fields(self)}
        record["elapsed"] = round(self.elapsed, 6) if math.isfinite(self.elapsed) else None
        return record

    @classmethod
    def from_record(cls, record: Dict[str, Any], index: int, item: Any, **changes: Any) -> "ItemResult":
        """A result from a record of the journal, keeping all it knew;
        fields it lacks (an older version's) keep their defaults."""
        known = {}
        for field in dataclasses.fields(cls):
            if field.name in record and field.name not in ("index", "item"):
                value = record[field.name]
                if field.name in _TEXT_FIELDS and value is not None and not isinstance(value, str):
                    continue
                known[field.name] = value
        if not isinstance(known.get("warnings", []), list):
            del known["warnings"]
        if not isinstance(known.get("history", []), list):
            del known["history"]
        for name, default in (("elapsed", 0.0), ("tries", 1)):
            if isinstance(known.get(name), bool) or not isinstance(known.get(name, default), (int, float)):
                known[name] = default
        if not isinstance(known.get("status"), str):
            known["status"] = FAILED
        known["output"] = known.get("output") or ""
        known["worker"] = known.get("worker") or ""
        known.update(changes)
        return cls(index, item, **known)


_fields_of = operator.attrgetter(*(field.name for field in dataclasses.fields(ItemResult)))
_TEXT_FIELDS = tuple(field.name for field in dataclasses.fields(ItemResult) if field.type in ("str", "Optional[str]")
                     and field.name != "status")


# Integers beyond 64 bits become text: a table column of int64 (parquet,
# pandas) cannot hold them, and a float would change them.
_INT64 = 2 ** 63


def plain(value: Any, depth: int = 0) -> Any:
    """``value`` as JSON data, the one way every value enters a record:
    containers become lists and objects with text keys; numpy scalars their
    Python value and arrays lists; integers beyond 64 bits and non-finite
    floats text ("nan", "inf", "-inf"); text that is not UTF-8 (a file
    name's undecodable bytes) escaped; bytes text; other objects their
    repr; deep nesting ends in a repr."""
    if value is None or isinstance(value, bool):
        return None if value is None else bool(value)
    if isinstance(value, int):
        value = int(value)
        return value if -_INT64 <= value < _INT64 else str(value)
    if isinstance(value, str):
        return _text(str(value))
    if isinstance(value, float):
        return float(value) if math.isfinite(value) else repr(float(value))
    if depth >= 64:
        return _repr(value)
    if type(value).__module__ == "numpy" and hasattr(value, "tolist"):
        return plain(value.tolist(), depth + 1)   # a scalar's Python value, an array's nested lists
    if isinstance(value, os.PathLike):
        return plain(os.fspath(value), depth)
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("utf-8", "backslashreplace")
    if isinstance(value, dict):
        return {_key(key, depth): plain(item, depth + 1) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(item, depth + 1) for item in value]
    if isinstance(value, (set, frozenset)):
        return sorted((plain(item, depth + 1) for item in value), key=repr)
    return _text(_repr(value))


def _text(value: str) -> str:
    try:
        value.encode("utf-8")
        return value
    except UnicodeEncodeError:   # lone surrogates: undecodable bytes of a name
        return value.encode("utf-8", "backslashreplace").decode("utf-8")


def _key(key: Any, depth: int) -> str:
    key = plain(key, depth + 1)
    return key if isinstance(key, str) else repr(key)


def _repr(value: Any) -> str:
    try:
        return repr(value)
    except Exception as error:   # a repr that raises still gives a row
        return "<%s: repr failed: %s>" % (type(value).__name__, type(error).__name__)


@dataclasses.dataclass
class Outcome:
    """What an item's function may return to choose its status."""
    status: str
    value: Any = None
    message: Optional[str] = None
    results_dir: Optional[str] = None


# Lines the module prints on its way that say nothing of why a solve failed.
_ROUTINE = re.compile(r"^\S+\.(dll|lib) loaded$")
# What a Python traceback (a solver program's crash) adds around its last
# line, which alone says what went wrong: its frames, their source lines
# and the carets under them.
_FRAME = re.compile(r'^\s*(Traceback \(most recent call last\):|File "|[\^~\s]+$)')


OUTPUT_KEPT = 64 * 1024   # characters of an item's output its result keeps: its head and its tail


def capped(output: str, limit: int = OUTPUT_KEPT) -> str:
    """An item's output as its result keeps it: whole up to ``limit``
    characters, else its head and its tail with how much was dropped (an
    item that prints megabytes would make a journal line of as much)."""
    if len(output) <= limit:
        return output
    half = limit // 2
    return "%s\n[... %d characters of output dropped ...]\n%s" % (output[:half], len(output) - 2 * half,
                                                               output[-half:])


def reason_from_output(output: str, lines: int = 3) -> str:
    """The last meaningful lines the module and the solver program printed
    (its "loaded" lines and a traceback's frames are not a reason), joined
    on one line."""
    meaningful, in_traceback = [], False
    for line in output.splitlines():
        if line.startswith("Traceback (most recent call last):"):
            in_traceback = True
        if in_traceback and (_FRAME.match(line) or line.startswith("    ")):
            continue
        in_traceback = in_traceback and line.startswith(" ")
        if line.strip() and not _ROUTINE.match(line.strip()):
            meaningful.append(line.strip())
    return " / ".join(meaningful[-lines:])


def error_fields(error: BaseException, text: Optional[str] = None) -> Tuple[str, str, str]:
    """(type name, message, traceback text) of an exception."""
    kind = type(error)
    if text is None:
        text = "".join(traceback.format_exception(kind, error, error.__traceback__))
    try:
        message = str(error)
    except Exception:
        message = "<str() failed>"
    return kind.__module__ + "." + kind.__qualname__, message, text
