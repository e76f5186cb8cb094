"""One run, start to end: the checks before the first item, the journal,
the items handed to an engine and their results taken back in input order,
and an end that leaves nothing running, whatever ends it (the last item,
Ctrl-C, SIGTERM, SIGHUP, an ``on_result`` that raises)."""
from __future__ import annotations

import collections
import dataclasses
import heapq
import logging
import math
import random
import os
import signal
import sys
import threading
import time
import uuid
from typing import Any, Callable, Deque, Dict, List, Optional, Tuple

from . import engines, journal as journals, worker
from .items import (CANCELLED, DONE, FAILED, INVALID_INPUT, NO_SOLUTION, SOLVED, WORKER_LOST, ItemResult, lost,
                    plain)

logger = logging.getLogger("dralvex_computer")
logger.addHandler(logging.NullHandler())   # a library's log: the application configures handlers

POLL_SECONDS = 0.2
HANDLED_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


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


class _Signalled(KeyboardInterrupt):
    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


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


@dataclasses.dataclass
class RetryPolicy:
    """Retries of failed items: up to ``retries`` more tries, each after
    ``delay`` × 2^(try - 1) seconds and up to half as much again at random
    (so that items denied together do not come back together), for results
    that ``retry_on`` accepts (by default: failed, no solution, worker
    lost)."""
    retries: int = 0
    delay: float = 1.0
    retry_on: Optional[Callable[[ItemResult], bool]] = None

    def __post_init__(self) -> None:
        if isinstance(self.retries, bool) or not isinstance(self.retries, int) or self.retries < 0:
            raise ValueError("retries must be a whole number of at least 0, not %r" % (self.retries,))
        if isinstance(self.delay, bool) or not isinstance(self.delay, (int, float)) or not math.isfinite(self.delay) \
                or self.delay < 0:
            raise ValueError("retry_delay must be a number of seconds of at least 0, not %r" % (self.delay,))

    def wants(self, result: ItemResult) -> bool:
        if result.tries > self.retries or result.status in (CANCELLED, INVALID_INPUT) or result.ok:
            return False
        if self.retry_on is None:
            return result.status in (FAILED, NO_SOLUTION, WORKER_LOST)
        return bool(self.retry_on(result))

    def wait(self, tries: int) -> float:
        base = self.delay * 2 ** (tries - 1)
        return base + random.uniform(0, base / 2)


class _Progress:
    """A tqdm bar on standard error (when it is a terminal, or when asked),
    and the log."""

    def __init__(self, total: int, progress: Optional[bool]) -> None:
        self.failures = 0
        self.retrying = 0
        self.bar = None
        if progress is None:
            progress = sys.stderr.isatty()
        if progress and total:
            from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
            self.bar = tqdm(total=total, unit="model", file=sys.stderr, dynamic_ncols=True)

    def done(self, result: ItemResult) -> None:
        if not result.ok:
            self.failures += 1
        logger.log(logging.INFO if result.ok else logging.WARNING, "item %d (%s): %s in %.2f s on %s", result.index,
                   result.item, result.status, result.elapsed, result.worker or "-")
        if self.bar is not None:
            self.bar.set_postfix(failed=self.failures, retrying=self.retrying, refresh=False)
            self.bar.update(1)

    def retry(self, result: ItemResult, seconds: float) -> None:
        logger.warning("item %d (%s): %s (%s), try %d; tried again in %.1f s", result.index, result.item,
                       result.status, result.error_message, result.tries, seconds)
        if self.bar is not None:
            self.bar.set_postfix(failed=self.failures, retrying=self.retrying)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


class Run:
    def __init__(self, function: Callable[[Any], Any], items: List[Any], installation: Any, *, executor: Any,
                 workers: Optional[int], timeout: Optional[float], progress: Optional[bool],
                 on_result: Optional[Callable[[ItemResult], None]], journal: Optional[str], resume: bool,
                 key: Callable[[Any], str], exclusive: Callable[[Any], Optional[str]],
                 sent: Optional[List[Any]] = None, retry: Optional[RetryPolicy] = None,
                 max_running: Optional[int] = None) -> None:
        self.function, self.items, self.installation = function, items, installation
        self.sent = sent if sent is not None else items   # what crosses to the workers (absolute paths)
        self.executor, self.workers, self.timeout = executor, workers, timeout
        self.on_result, self.key_of, self.exclusive_of = on_result, key, exclusive
        self.results: List[Optional[ItemResult]] = [None] * len(items)
        self.reporter = _Progress(len(items), progress)
        self.journal_path, self.resume = journal, resume
        self.journal = journals.Journal(journal) if journal else None
        self.keys: Dict[int, str] = {}
        self.waiting: Dict[str, Deque[int]] = {}   # directory -> in-place items held back until it is free
        self.busy: Dict[str, int] = {}
        self.queue: Deque[int] = collections.deque()   # not yet handed to the engine
        self.retry = retry or RetryPolicy()
        self.delayed: List[Tuple[float, int]] = []   # (when, index) of items waiting for their next try
        self.tries: Dict[int, int] = {}
        self.max_running = max_running
        self.engine: Optional[engines.Engine] = None

    # ------------------------------------------------------------ steps
    def execute(self) -> List[ItemResult]:
        saved = _catch_signals()
        try:
            self._prepare_journal()
            todo = [index for index, result in enumerate(self.results) if result is None]
            if todo:
                self.engine = engines.make(self.executor, uuid.uuid4().hex, self.timeout, self.workers)
                logger.info("%d items on %s (%d from the journal)", len(todo), type(self.engine).__name__,
                            len(self.items) - len(todo))
                self._probe()
                self.queue.extend(todo)
                self._fill()
                self._collect()
            _unstoppable(self._close)
            return self.results  # type: ignore[return-value]
        except KeyboardInterrupt as stop:
            signum = stop.signum if isinstance(stop, _Signalled) else signal.SIGINT
            _unstoppable(self._stop)
            raise BatchInterrupted(self._with_cancelled(), signum) from None
        except BaseException as error:
            _unstoppable(self._stop)
            if not isinstance(error, BatchSetupError):
                try:
                    error.results = self._with_cancelled()  # type: ignore[attr-defined]
                except Exception:
                    pass
            raise
        finally:
            _restore_signals(saved)

    def _prepare_journal(self) -> None:
        if self.journal is None and not self.resume:
            return
        ended: Dict[str, Dict[str, Any]] = {}
        started: Dict[str, Dict[str, Any]] = {}
        if self.resume and self.journal_path:
            ended, started = journals.read(self.journal_path)
        known: Dict[Any, str] = {}   # a model listed many times is read once
        for index, item in enumerate(self.sent):
            try:
                key = known[item] if item in known else known.setdefault(item, self.key_of(item))
            except TypeError:   # an item that does not hash
                key = self.key_of(item)
            self.keys[index] = key
            record = ended.get(key)
            if record is not None and record.get("status") in (SOLVED, DONE):
                result = ItemResult(index, self.items[index], record["status"], value=record.get("value"),
                                    output=record.get("output") or "", elapsed=record.get("elapsed") or 0.0,
                                    worker=record.get("worker") or "", started=record.get("started"), resumed=True)
                self.results[index] = result
            elif key in started:
                logger.warning("item %d (%s): started in an earlier run that ended before it did: run again",
                               index, self.items[index])
        if self.journal is not None:
            self.journal.open()

    def _probe(self) -> None:
        """The checks before the first item, made where the items run."""
        assert self.engine is not None
        try:
            where = self.engine.probe(self.installation)
        except BaseException as error:
            if isinstance(error, KeyboardInterrupt) and not type(error).__module__.startswith("pebble"):
                raise
            raise BatchSetupError(_setup_message(error)) from error
        logger.info("checks passed on %s", where)

    def _submit_or_hold(self, index: int) -> None:
        assert self.engine is not None
        directory = self.exclusive_of(self.sent[index])
        if directory is not None:
            if directory in self.busy:
                self.waiting.setdefault(directory, collections.deque()).append(index)
                return
            self.busy[directory] = index
        self.engine.submit(self.engine.task(function=self.function, item=self.sent[index], index=index,
                                            installation=self.installation))

    def _fill(self) -> None:
        """Hands items to the engine while it has fewer than its capacity:
        the rest wait here, so that waiting, polling and stopping cost the
        same with ten items or ten thousand."""
        assert self.engine is not None
        capacity = self.engine.capacity()
        if self.max_running is not None:
            capacity = min(capacity, self.max_running)   # a solver's seats: submitted is running or next
        now = time.monotonic()
        while self.delayed and self.delayed[0][0] <= now and len(self.engine.futures) < capacity:
            self._submit_or_hold(heapq.heappop(self.delayed)[1])
        while self.queue and len(self.engine.futures) < capacity:
            self._submit_or_hold(self.queue.popleft())

    def _collect(self) -> None:
        assert self.engine is not None
        while self.engine.futures or self.queue or self.delayed:
            for index in self.engine.running():
                if self.journal is not None:
                    self.journal.started(self.keys[index], index, plain(self.items[index]))
            for result in self.engine.ended(POLL_SECONDS):
                result.item = self.items[result.index]
                result.tries = self.tries[result.index] = self.tries.get(result.index, 0) + 1
                if self.retry.wants(result):
                    seconds = self.retry.wait(result.tries)
                    heapq.heappush(self.delayed, (time.monotonic() + seconds, result.index))
                    self.reporter.retrying = len(self.delayed)
                    self.reporter.retry(result, seconds)
                    self._free(result.index)
                    continue
                self.reporter.retrying = len(self.delayed)
                self.results[result.index] = result
                if self.journal is not None:
                    self.journal.ended(self.keys[result.index], result.record())
                self._free(result.index)
                self.reporter.done(result)
                if self.on_result is not None:
                    self.on_result(result)
            self._fill()

    def _free(self, index: int) -> None:
        directory = self.exclusive_of(self.sent[index])
        if directory is None or self.busy.get(directory) != index:
            return
        del self.busy[directory]
        queue = self.waiting.get(directory)
        if queue:
            self._submit_or_hold(queue.popleft())

    def _with_cancelled(self) -> List[ItemResult]:
        for index, item in enumerate(self.items):
            if self.results[index] is None:
                self.results[index] = lost(index, item, CANCELLED, "interrupted")
        return self.results  # type: ignore[return-value]

    # ------------------------------------------------------------- ends
    def _stop(self) -> None:
        """Ends everything at once (the pool is stopped, never drained)."""
        self._end(interrupt=True)

    def _close(self) -> None:
        self._end(interrupt=False)

    def _end(self, interrupt: bool) -> None:
        """Idempotent; Ctrl-C, SIGTERM and SIGHUP are ignored while it runs."""
        ignored = _ignore_signals()
        try:
            if self.engine is not None and not self.engine.closed:
                try:
                    if interrupt:
                        self.engine.interrupt()
                finally:
                    self.engine.close()
        finally:
            self.reporter.close()
            if self.journal is not None:
                self.journal.close()
            _restore_signals(ignored)


def _unstoppable(step: Callable[[], Any]) -> None:
    """Runs a clean-up step to its end: a Ctrl-C that lands before its
    signals are ignored (or was pending when they were) runs it again; the
    step is idempotent."""
    while True:
        try:
            step()
            return
        except KeyboardInterrupt:
            continue


def ignore_for_good() -> None:
    """Ignores Ctrl-C, SIGTERM and SIGHUP for the rest of the process: a
    command that was interrupted finishes its report and exits."""
    _unstoppable(_ignore_signals)


def _setup_message(error: BaseException) -> str:
    name = type(error).__name__
    if name in ("ProcessExpired", "BrokenProcessPool") or "expired" in str(error).lower():
        return ("the worker processes could not start (%s: %s). A script that starts a batch run needs the guard "
                "`if __name__ == \"__main__\":` around it: worker processes import the script again." % (name, error))
    return "the checks before the first item failed on a worker: %s: %s" % (name, error)


# ------------------------------------------------------------- signals

def _raise_signalled(signum: int, frame: Any) -> None:
    raise _Signalled(signum)


def _catch_signals() -> Dict[int, Any]:
    """SIGTERM and SIGHUP end the run as Ctrl-C does (main thread only)."""
    if threading.current_thread() is not threading.main_thread():
        return {}
    saved = {}
    for signum in HANDLED_SIGNALS:
        current = signal.getsignal(signum)
        if current is signal.SIG_IGN:
            continue   # nohup and its kind: asked not to be ended by it
        saved[signum] = current
        signal.signal(signum, _raise_signalled)
    return saved


def _ignore_signals() -> Dict[int, Any]:
    if threading.current_thread() is not threading.main_thread():
        return {}
    saved = {}
    for signum in (signal.SIGINT,) + HANDLED_SIGNALS:
        saved[signum] = signal.getsignal(signum)
        signal.signal(signum, signal.SIG_IGN)
    return saved


def _restore_signals(saved: Dict[int, Any]) -> None:
    for signum, handler in saved.items():
        signal.signal(signum, handler if handler is not None else signal.SIG_DFL)


def absolute(item: Any) -> Any:
    if isinstance(item, (str, os.PathLike)):
        try:
            return os.path.abspath(os.fspath(item))
        except (TypeError, ValueError):
            return item
    return item


__all__ = ["Run", "RetryPolicy", "ignore_for_good", "BatchInterrupted", "BatchSetupError", "check_numbers", "absolute", "worker"]
