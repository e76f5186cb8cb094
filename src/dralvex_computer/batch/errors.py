"""What a run raises besides an item's own errors, which its results
carry."""
from __future__ import annotations

import signal
from typing import List

from .items import ItemResult


class BatchInterrupted(KeyboardInterrupt):
    """A run stopped by Ctrl-C, SIGTERM or SIGHUP: ``results`` holds every
    item, those that never finished as cancelled; ``signal`` is the signal's
    number (SIGINT for Ctrl-C)."""

    def __init__(self, results: List[ItemResult], signum: int = signal.SIGINT) -> None:
        super().__init__("interrupted")
        self.results = results
        self.signal = signum


class BatchSetupError(RuntimeError):
    """The run cannot start: the checks before the first item failed. One
    message says why; no item ran."""
