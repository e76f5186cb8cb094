"""Retries of failed items: when, how often, for how long."""
from __future__ import annotations

import dataclasses
import math
import random
import time
from typing import Any, Callable, Optional

from .items import CANCELLED, FAILED, INVALID_INPUT, NO_SOLUTION, WORKER_LOST, ItemResult

DEFAULT_RETRY_MAX_DELAY = 300.0
RETRIED_BY_DEFAULT = (FAILED, NO_SOLUTION, WORKER_LOST)   # without retry_on


def _seconds_or_none(value: Any, name: str, minimum: float = 0.0) -> Optional[float]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) \
            or value < minimum:
        raise ValueError("%s must be a number of seconds of at least %s, not %r" % (name, minimum, value))
    return float(value)


@dataclasses.dataclass
class RetryPolicy:
    """Retries of failed items: up to ``retries`` more tries, each after
    ``delay`` × 2^(try - 1) seconds and up to half as much again at random
    (so that items denied together do not come back together), never more
    than ``max_delay`` in all, for results that ``retry_on`` accepts (by
    default: failed, no solution, worker lost); no try starts later than
    ``time_limit`` seconds after the run's start."""
    retries: int = 0
    delay: float = 1.0
    retry_on: Optional[Callable[[ItemResult], bool]] = None
    max_delay: float = DEFAULT_RETRY_MAX_DELAY
    time_limit: Optional[float] = None

    def __post_init__(self) -> None:
        if isinstance(self.retries, bool) or not isinstance(self.retries, int) or self.retries < 0:
            raise ValueError("retries must be a whole number of at least 0, not %r" % (self.retries,))
        self.delay = _seconds_or_none(self.delay, "retry_delay")  # type: ignore[assignment]
        if self.delay is None:
            raise ValueError("retry_delay must be a number of seconds of at least 0, not None")
        max_delay = _seconds_or_none(self.max_delay, "retry_max_delay")
        if max_delay is None:
            raise ValueError("retry_max_delay must be a number of seconds of at least 0, not None")
        self.max_delay = max_delay
        self.time_limit = _seconds_or_none(self.time_limit, "retry_time")
        if self.retry_on is not None and not self.retries:
            raise ValueError("retry_on says which failures to try again, but retries is 0: give retries too")

    def wants(self, result: ItemResult) -> bool:
        if result.tries > self.retries or result.status in (CANCELLED, INVALID_INPUT) or result.ok:
            return False
        if self.retry_on is None:
            return result.status in RETRIED_BY_DEFAULT
        return bool(self.retry_on(result))

    def wait(self, tries: int) -> float:
        """The wait before the next try, at most ``max_delay``."""
        base = min(self.delay * 2.0 ** min(tries - 1, 64), self.max_delay / 1.5)
        return base + random.uniform(0, base / 2)

    def in_time(self, run_started: float, seconds: float) -> bool:
        return self.time_limit is None or time.monotonic() + seconds <= run_started + self.time_limit
