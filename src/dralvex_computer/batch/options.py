"""What a run is asked to do, each checked once, here: the job (what runs
on which items, and how an item is told from another) and the options of
the run (engine, time-outs, journal, retries, seats)."""
from __future__ import annotations

import dataclasses
import math
import os
import textwrap
from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple

from .identity import describe_generic
from .items import ItemResult
from .retries import DEFAULT_RETRY_MAX_DELAY, RetryPolicy
from .seats import DEFAULT_LEASE_TIMEOUT, SeatPools

Describe = Callable[[Any], Tuple[str, Dict[str, str]]]


@dataclasses.dataclass(frozen=True)
class Job:
    """``function`` run on each of ``items``. ``sent``: what crosses to the
    workers for each item (absolute paths for a solve); ``describe(item)``:
    its identity and what it reads (see ``identity``); ``exclusive(item)``:
    a name that items which must not run at once share (in-place solves of
    one directory), or None."""
    function: Callable[[Any], Any]
    items: List[Any]
    sent: List[Any]
    describe: Describe
    exclusive: Callable[[Any], Optional[str]]
    about: Optional[Dict[str, Any]] = None   # what the job is, kept in the journal (a study's parameters)
    # more items the moment a worker is free (a study with a goal):
    # source.next(items, results) -> (item, sent), or None when it has no more
    source: Any = None

    @classmethod
    def map(cls, function: Callable[[Any], Any], items: List[Any]) -> "Job":
        return cls(function, items, items, lambda item: describe_generic(function, item), lambda item: None)


def check_numbers(workers: Any, timeout: Any) -> Optional[float]:
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise ValueError("workers must be a whole number of at least 1, or None for the CPU count, not %r"
                         % (workers,))
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not math.isfinite(timeout) \
            or timeout <= 0:
        raise ValueError("timeout must be a number of seconds above 0, or None for no limit, not %r" % (timeout,))
    return float(timeout)


def option(default: Any, doc: str) -> Any:
    """A run option: its default and, once, what it does (shown in
    ``map_models``' docstring, see ``RunOptions.described``)."""
    return dataclasses.field(default=default, metadata={"doc": doc})


@dataclasses.dataclass(frozen=True)
class RunOptions:
    """The options of a run (``map_models``, ``solve_models``,
    ``run_study``), checked as they are made: ValueError with one message
    for the first that is wrong. Each field says what it does."""
    executor: Any = option(None, "None for a local process pool of ``workers`` processes; a "
                                 "``concurrent.futures.Executor``, used as it is; or a Dask ``distributed.Client``.")
    workers: Optional[int] = option(None, "the local pool's processes (the CPU count by default).")
    timeout: Optional[float] = option(None, "seconds per item, counted from its start in its worker (with "
                                            "``seats``, from its solve's start), on every engine; the processes "
                                            "the item started are then ended (with the local pool and Dask under "
                                            "a nanny, its worker too).")
    progress: Optional[bool] = option(None, "a progress bar on standard error (by default when it is a terminal).")
    on_result: Optional[Callable[[ItemResult], None]] = option(
        None, "called in this process with each result as its item ends; if it raises, the run stops and the "
              "exception carries ``results``.")
    journal: Optional[str] = option(None, "a JSON Lines file each result is appended to, on disk as the item "
                                          "ends, held by this run alone while it lasts (a second run on it raises "
                                          "``BatchSetupError``).")
    resume: bool = option(False, "reuse the journal's result of an item only when the item and everything it "
                                 "reads are unchanged (``result.run_reason`` says why any other runs).")
    retries: int = option(0, "how many more times an item that failed runs (only its last try is its result: "
                             "``result.tries``, the earlier ones in ``result.history``).")
    retry_delay: float = option(1.0, "the wait before the second try: before try n, ``retry_delay`` × 2^(n - 2) "
                                     "seconds plus up to half as much at random.")
    retry_on: Optional[Callable[[ItemResult], bool]] = option(
        None, "``retry_on(result)`` says whether a result is tried again (by default: failed, no solution and "
              "worker lost).")
    retry_max_delay: float = option(DEFAULT_RETRY_MAX_DELAY, "the longest wait before a try, in seconds.")
    retry_time: Optional[float] = option(None, "no try starts later than this many seconds after the run's start.")
    max_running: Optional[int] = option(None, "at most this many items of this run at once.")
    units: Optional[Dict[str, str]] = option(None, "the unit of each value (``{\"max_stress\": \"MPa\"}``), "
                                                   "kept in the journal for the summary page.")
    seats: Any = option(None, "licence seat pools shared by every run that names them, on this machine or "
                              "cluster (``{\"PipeStress\": 2}``, or a ``SeatPools``): a solve holds a seat of its "
                              "solver's pool while its solver program runs (a function of ``map_models`` holds one "
                              "with ``batch.seat(name)``); an item waits in its worker for a seat. With Dask the "
                              "pools live on the scheduler; otherwise in ``seat_directory``.")
    seat_directory: Optional[str] = option(None, "where the runs of the local pool meet to share seats (by "
                                                 "default a place every user of this machine shares; a shared "
                                                 "drive serves a few workstations).")
    seat_lease: float = option(DEFAULT_LEASE_TIMEOUT, "seconds after which the seat of a holder that stopped "
                                                      "answering (its machine gone) is free.")
    resources: Optional[Dict[str, float]] = option(None, "what each item needs of a Dask worker's resources "
                                                         "(node-locked licences: ``{\"PipeStress\": 1}``).")
    context: Optional[Dict[str, Any]] = option(None, "what the run is (command, versions...), kept in the journal "
                                                     "for its page; given by the command line.")

    @classmethod
    def described(cls, indent: str = "    ") -> str:
        """Each option a script gives and what it does, as a docstring's
        paragraph."""
        lines = []
        for field in dataclasses.fields(cls):
            if field.init and field.name != "context":
                lines.extend(textwrap.wrap("``%s``: %s" % (field.name, field.metadata["doc"]), 76,
                                           initial_indent=indent, subsequent_indent=indent + "  ",
                                           break_on_hyphens=False))
        return "\n".join(lines)

    def __post_init__(self) -> None:
        if self.units is not None and not (isinstance(self.units, dict) and all(
                isinstance(key, str) and isinstance(value, str) for key, value in self.units.items())):
            raise ValueError("units must map value names to units (text), not %r" % (self.units,))
        object.__setattr__(self, "timeout", check_numbers(self.workers, self.timeout))
        if self.max_running is not None and (isinstance(self.max_running, bool)
                                             or not isinstance(self.max_running, int) or self.max_running < 1):
            raise ValueError("max_running must be a whole number of at least 1, not %r" % (self.max_running,))
        if self.seats is not None and not isinstance(self.seats, SeatPools):
            object.__setattr__(self, "seats", SeatPools(self.seats, self.seat_directory, self.seat_lease))
        if self.resources is not None and not (isinstance(self.resources, dict) and all(
                isinstance(key, str) and not isinstance(value, bool) and isinstance(value, (int, float))
                and value > 0 for key, value in self.resources.items())):
            raise ValueError("resources must map a Dask worker resource to how much of it each item needs, as "
                             "{\"PipeStress\": 1}, not %r" % (self.resources,))
        object.__setattr__(self, "retry", RetryPolicy(self.retries, self.retry_delay, self.retry_on,
                                                      self.retry_max_delay, self.retry_time))

    retry: RetryPolicy = dataclasses.field(init=False, repr=False, compare=False)


def name_values(entries: Iterable[str], option: str, form: str, value: Callable[[str], Any] = str,
                names: Optional[Iterable[str]] = None, kind: str = "a solver") -> Optional[Dict[str, Any]]:
    """``NAME=VALUE`` texts (an option given again and again) as a dict,
    None when there are none: ``value(text)`` reads a value (a ValueError
    refuses the entry: an empty value is refused unless ``value`` takes
    it); ``names``: the names allowed, each ``kind``. ValueError saying
    ``option`` takes ``form`` for the first entry that is wrong."""
    found: Dict[str, Any] = {}
    allowed = None if names is None else tuple(names)
    for entry in entries:
        name, equals, text = entry.partition("=")
        name = name.strip()
        if not name or not equals:
            raise ValueError("%s takes %s, not %r" % (option, form, entry))
        if allowed is not None and name not in allowed:
            raise ValueError("%s takes %s, not %r: %r is not %s (%s)" % (option, form, entry, name, kind,
                                                                         " or ".join(allowed)))
        try:
            if not text and value is str:
                raise ValueError(text)
            found[name] = value(text)
        except ValueError:
            raise ValueError("%s takes %s, not %r" % (option, form, entry)) from None
    return found or None


def absolute(item: Any) -> Any:
    if isinstance(item, (str, os.PathLike)):
        try:
            return os.path.abspath(os.fspath(item))
        except (TypeError, ValueError):
            return item
    return item
