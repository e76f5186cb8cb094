"""What a run is asked to do, each checked once, here: the job (what runs
on which items, and how an item is told from another) and the options of
the run (engine, time-outs, journal, retries, seats)."""
from __future__ import annotations

import dataclasses
import math
import os
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


@dataclasses.dataclass(frozen=True)
class RunOptions:
    """The options of ``map_models`` (see its docstring), checked as they
    are made: ValueError with one message for the first that is wrong."""
    executor: Any = None
    workers: Optional[int] = None
    timeout: Optional[float] = None
    progress: Optional[bool] = None
    on_result: Optional[Callable[[ItemResult], None]] = None
    journal: Optional[str] = None
    resume: bool = False
    retries: int = 0
    retry_delay: float = 1.0
    retry_on: Optional[Callable[[ItemResult], bool]] = None
    retry_max_delay: float = DEFAULT_RETRY_MAX_DELAY
    retry_time: Optional[float] = None
    max_running: Optional[int] = None
    units: Optional[Dict[str, str]] = None   # value column -> its unit, for the page
    seats: Any = None   # licence seat pools shared with other runs: {"PipeStress": 2}, or a SeatPools
    seat_directory: Optional[str] = None
    seat_lease: float = DEFAULT_LEASE_TIMEOUT
    resources: Optional[Dict[str, float]] = None   # what each item needs of a Dask worker's resources
    context: Optional[Dict[str, Any]] = None   # what the run is (command, versions...), kept in the journal for its page

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
