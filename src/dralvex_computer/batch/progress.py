"""What a run tells while it goes: a tqdm bar on standard error and one
INFO line of the log per item and per retry."""
from __future__ import annotations

import logging
import sys
from typing import Optional

from .items import ItemResult

logger = logging.getLogger("dralvex_computer")


class Progress:
    """A tqdm bar on standard error (when it is a terminal, or when asked),
    and the log: one INFO line per item and per retry; failures are told
    once, by whoever reads the results."""

    def __init__(self, total: int, done: int, progress: Optional[bool]) -> None:
        self.failures = 0
        self.retrying = 0
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
            self.bar.set_postfix(postfix, refresh=refresh)

    def done(self, result: ItemResult) -> None:
        if not result.ok:
            self.failures += 1
        logger.info("item %d (%s): %s in %.2f s on %s", result.index, result.item, result.status, result.elapsed,
                    result.worker or "-")
        if self.bar is not None:
            self._postfix(refresh=False)
            self.bar.update(1)

    def retry(self, result: ItemResult, seconds: float) -> None:
        logger.info("item %d (%s): %s (%s), try %d; tried again in %.1f s", result.index, result.item,
                    result.status, result.error_message, result.tries, seconds)
        self._postfix()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None
