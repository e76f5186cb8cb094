"""What a run tells while it goes: a tqdm bar on standard error and one
INFO line of the log per item and per retry."""
from __future__ import annotations

import logging
import sys
from typing import Any, Dict, List, Optional

from .items import CANCELLED, STATUSES, ItemResult

logger = logging.getLogger("dralvex_computer")


class Progress:
    """A tqdm bar on standard error (when it is a terminal, or when asked),
    and the log: one INFO line per item and per retry; failures are told
    once, by whoever reads the results."""

    def __init__(self, total: int, done: int, progress: Optional[bool]) -> None:
        self.failures = 0
        self.retrying = 0
        self.seat_waits = 0
        self.bar = None
        if progress is None:
            progress = sys.stderr.isatty()
        if progress and total:
            from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
            self.bar = tqdm(total=total, initial=done, unit="model", file=sys.stderr, dynamic_ncols=True)

    def _postfix(self, refresh: bool = True) -> None:
        if self.bar is not None:
            postfix = {"failed": self.failures}
            if self.retrying:
                postfix["waiting to retry"] = self.retrying
            if self.seat_waits:
                postfix["waiting for a seat"] = self.seat_waits
            self.bar.set_postfix(postfix, refresh=refresh)

    def done(self, result: ItemResult) -> None:
        if not result.ok:
            self.failures += 1
        logger.info("item %d (%s): %s in %.2f s on %s", result.index, result.item, result.status, result.elapsed,
                    result.worker or "-")
        if self.bar is not None:
            self._postfix(refresh=False)
            self.bar.update(1)

    def grow(self, total: int) -> None:
        """The run has ``total`` items now (a source made more)."""
        if self.bar is not None and total > self.bar.total:
            self.bar.total = total
            self.bar.refresh()

    def waiting_for_seats(self, count: int) -> None:
        if count != self.seat_waits:
            self.seat_waits = count
            self._postfix()

    def retry(self, result: ItemResult, seconds: float) -> None:
        logger.info("item %d (%s): %s (%s), try %d; tried again in %.1f s", result.index, result.item,
                    result.status, result.error_message, result.tries, seconds)
        self._postfix()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def print_counts(results: List[Any]) -> None:
    """The run's counts, then each model that did not end well and each
    warning, on standard error (the command line's last word)."""
    counts: Dict[str, int] = {}
    for result in results:
        counts[result.status] = counts.get(result.status, 0) + 1
    resumed = sum(result.resumed for result in results)
    warned = sum(bool(result.warnings) for result in results)
    notes = [("%d from the journal" % resumed) if resumed else "", ("%d with warnings" % warned) if warned else ""]
    in_order = sorted(counts, key=lambda status: (STATUSES.index(status) if status in STATUSES else len(STATUSES),
                                                  status))
    print(", ".join("%d %s" % (counts[status], status) for status in in_order) or "no models",
          ("(%s)" % ", ".join(filter(None, notes))) if any(notes) else "", file=sys.stderr)
    for result in results:
        if not result.ok and result.status != CANCELLED:
            print("%s: %s%s" % (result.item, result.status,
                                (" (%s)" % result.error_message) if result.error_message else ""), file=sys.stderr)
        for warning in dict.fromkeys(result.warnings):
            print("%s: warning: %s" % (result.item, warning), file=sys.stderr)
