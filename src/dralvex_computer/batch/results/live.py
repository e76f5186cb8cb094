"""The summary page while the night runs: rewritten from the journal by a
thread of its own, at once (each write replaces the whole file), so that a
browser that reloads it sees the night as it is, with no server.

It costs the run at most about 1 % of its time: after each page it waits
at least ``SHARE`` times as long as that page took (a page of 1,000 models
takes a fraction of a second), and never less than ``SECONDS``.
"""
from __future__ import annotations

import logging
import threading
import time
from typing import Dict, Optional

from . import summary

logger = logging.getLogger("dralvex_computer")

SECONDS = 30.0    # the longest a page is older than the night, while pages are cheap
FIRST = 1.0       # the first page: soon after the run's start
SHARE = 100       # a page waits at least this many times as long as the last one took
REFRESH = 30      # seconds between a browser's reloads of the page


class LivePage:
    """``start()``, then ``stop()`` when the run has ended (the run's own
    last page is written after that, by whoever wrote it before)."""

    def __init__(self, journal: str, path: str, title: Optional[str] = None,
                 units: Optional[Dict[str, str]] = None, seconds: float = SECONDS) -> None:
        self.journal, self.path, self.title, self.units, self.seconds = journal, path, title, units, seconds
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._go, name="dralvex-live-page", daemon=True)
        self.pages = 0
        self.busy = 0.0   # seconds spent making pages

    def start(self) -> None:
        self.thread.start()

    def stop(self) -> None:
        self.stopped.set()
        self.thread.join()

    def _go(self) -> None:
        wait = FIRST
        while not self.stopped.wait(wait):
            began = time.perf_counter()
            try:
                summary.write(self.journal, self.path, title=self.title, units=self.units, refresh=REFRESH)
                self.pages += 1
            except Exception as error:   # a page that cannot be made now never costs the run
                logger.warning("the summary page %s could not be written while the run goes on: %s: %s",
                               self.path, type(error).__name__, error)
            took = time.perf_counter() - began
            self.busy += took
            wait = max(self.seconds, SHARE * took)
