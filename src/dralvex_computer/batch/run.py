"""One run, start to end: the checks before the first item, the journal,
the items handed to an engine and their results taken back in input order,
and an end that leaves nothing running, whatever ends it (the last item,
Ctrl-C, SIGTERM, SIGHUP, an ``on_result`` that raises)."""
from __future__ import annotations

import collections
import heapq
import logging
import signal
import time
import uuid
from typing import Any, Deque, Dict, List, Optional, Tuple

from . import engines, plan, seats, signals, worker
from .results import journal as journals
from .progress import Progress
from .command import command_line
from .errors import BatchInterrupted, BatchSetupError
from .options import Job, RunOptions
from .items import ItemResult, plain
from .protocol import Scratch, cancelled

logger = logging.getLogger("dralvex_computer")
logger.addHandler(logging.NullHandler())   # a library's log: the application configures handlers

POLL_SECONDS = 0.2


# A collect function that fails the same way on this many solved models in
# a row is taken for a mistake in it: the run stops rather than spend the
# night (and its licence time) on it.
SAME_COLLECT_FAILURES_TO_STOP = 3
COLLECT_ERROR = "dralvex_computer.batch.solving.CollectError"


class _Stopped(Exception):
    """The run stops early, for the reason given."""


class Run:
    """One run of a job on an installation with its options."""

    def __init__(self, job: Job, installation: Any, options: RunOptions) -> None:
        self.job, self.installation, self.options = job, installation, options   # read where used, not copied
        self.results: List[Optional[ItemResult]] = [None] * len(job.items)
        self.reporter: Optional[Progress] = None
        self.journal = journals.Journal(options.journal) if options.journal else None
        self.identities: List[str] = []
        self.version = ""   # the installation's
        self.inputs: List[Dict[str, str]] = []
        self.keys: List[str] = []
        self.reasons: Dict[int, str] = {}   # why an item runs in a resumed run
        self.waiting: Dict[str, Deque[int]] = {}   # directory -> in-place items held back until it is free
        self.busy: Dict[str, int] = {}
        self.queue: Deque[int] = collections.deque()   # not yet handed to the engine
        self.delayed: List[Tuple[float, int]] = []   # (when, index) of items waiting for their next try
        self.tries: Dict[int, int] = {}
        self.history: Dict[int, List[Dict[str, Any]]] = {}
        self.last_try: Dict[int, ItemResult] = {}   # an item's last try while it waits for the next
        self.engine: Optional[engines.Engine] = None
        self.started_at, self.started_on_clock = time.monotonic(), time.time()
        self.same_failures: Tuple[Optional[str], int] = (None, 0)
        self.stop_reason: Optional[str] = None
        self.journal_error: Optional[OSError] = None
        self.run_id = uuid.uuid4().hex   # its journal's lines and its scratch directory share it

    # ------------------------------------------------------------ steps
    def execute(self) -> List[ItemResult]:
        saved = signals.catch_signals()
        interrupted: Optional[str] = None
        try:
            signals.raise_pending()
            self._open_journal()
            self._prepare()
            todo = [index for index, result in enumerate(self.results) if result is None]
            total = max(len(self.job.items), getattr(self.job.source, "budget", 0))   # a source says how many it makes
            self.reporter = Progress(total, len(self.job.items) - len(todo), self.options.progress)
            if todo or self.job.source is not None:
                worker.remove_orphaned_scratch()
                self._check_it_may_start_processes()
                place = self._set_up_seats()
                options = self.options
                self.engine = engines.make(options.executor, self.run_id, options.timeout, options.workers, place,
                                           options.resources)
                logger.info("%d items on %s (%d from the journal)", len(todo), type(self.engine).__name__,
                            len(self.job.items) - len(todo))
                self._probe()
                self.queue.extend(todo)
                self._fill()
                try:
                    self._collect()
                except _Stopped as stop:
                    self.stop_reason = str(stop)
                    logger.error("the run stopped early: %s", stop)
                    signals.unstoppable(self._stop)
                    self._with_cancelled("not run: the run stopped early (%s)" % stop)
            signals.unstoppable(self._close)
            return self.results  # type: ignore[return-value]
        except KeyboardInterrupt as stop:
            signum = stop.signum if isinstance(stop, signals.Signalled) else signal.SIGINT
            interrupted = "interrupted by %s" % signal.Signals(signum).name
            self._stop_quietly()
            raise BatchInterrupted(self._with_cancelled("not run: the run was interrupted"), signum) from None
        except BaseException as error:
            interrupted = "ended by %s: %s" % (type(error).__name__, error)
            self._stop_quietly()
            if not isinstance(error, BatchSetupError):
                try:
                    error.results = self._with_cancelled("not run: the run ended by an error")  # type: ignore[attr-defined]
                except Exception:
                    pass
            raise
        finally:
            signals.met()   # what this run was asked is answered, whatever dropped it
            try:
                self._end_journal(interrupted)
            finally:
                signals.restore_signals(saved)

    def _stop_quietly(self) -> None:
        """Stops as the run ends by an exception: a failing clean-up is
        logged, never put in the place of the exception that ended it."""
        try:
            signals.unstoppable(self._stop)
        except Exception:
            logger.exception("the clean-up after the run's end failed")

    def _open_journal(self) -> None:
        if self.journal is None:
            return
        try:
            self.journal.open()
        except journals.JournalBusy as busy:
            self.journal = None
            raise BatchSetupError(str(busy)) from None

    def _prepare(self) -> None:
        """Each item's identity and fingerprint; with ``resume``, the
        results of the journal that stand for their items, and why every
        other item runs."""
        made = plan.make(self.job, self.installation, self.options.journal if self.journal else None,
                         self.options.resume)
        self.identities, self.inputs, self.keys, self.reasons = made.identities, made.inputs, made.keys, made.reasons
        self.version = made.version
        for index, standing in made.standing.items():
            self.results[index] = standing
        if self.journal is not None:
            self.journal.run_started(self.run_id, [plain(item) for item in self.job.items], self.identities,
                                     command_line(), self.options.units, self.job.about,
                                     plain(self.options.context) if self.options.context else None,
                                     worker.own_stamp())
            for index, result in enumerate(self.results):
                if result is not None:
                    self.journal.ended(index, self.identities[index], self.keys[index], self.inputs[index],
                                       result.record(), sync=False)
            self.journal.sync()

    def _check_it_may_start_processes(self) -> None:
        why = engines.engine_for(self.options.executor).why_not_here(self.options.executor)
        if why is not None:
            raise BatchSetupError(why)

    def _set_up_seats(self) -> Any:
        """Where the seat pools live, chosen by the engine, made ready
        before anything starts (None: no pools)."""
        pools = self.options.seats
        if pools is None:
            return None
        place = engines.seat_place(self.options.executor, pools)
        try:
            place.set_up()
        except (OSError, ValueError) as error:
            raise BatchSetupError("the seat pools cannot be used: %s" % error) from None
        logger.info("seat pools %s", ", ".join("%s (%d)" % entry for entry in pools.counts.items()))
        return place

    def _probe(self) -> None:
        """The checks before the first item, made where the items run."""
        assert self.engine is not None
        try:
            where = self.engine.probe(self.installation)
        except BaseException as error:
            if isinstance(error, KeyboardInterrupt) and not type(error).__module__.startswith("pebble"):
                raise
            message, traceback_tells_more = worker.setup_failure(error)
            raise BatchSetupError(message) from (error if traceback_tells_more else None)
        logger.info("checks passed on %s", where)

    def _submit_or_hold(self, index: int) -> None:
        assert self.engine is not None
        directory = self.job.exclusive(self.job.sent[index])
        if directory is not None:
            if directory in self.busy:
                self.waiting.setdefault(directory, collections.deque()).append(index)
                return
            self.busy[directory] = index
        self.engine.submit(self.engine.task(function=self.job.function, item=self.job.sent[index], index=index,
                                            installation=self.installation))

    def _fill(self) -> None:
        """Hands items to the engine while it has fewer than its capacity:
        the rest wait here, so that waiting, polling and stopping cost the
        same with ten items or ten thousand."""
        assert self.engine is not None
        capacity = self.engine.capacity()
        if self.options.max_running is not None:
            capacity = min(capacity, self.options.max_running)   # a solver's seats: submitted is running or next
        now = time.monotonic()
        while self.delayed and self.delayed[0][0] <= now and self.engine.in_flight() < capacity:
            self._submit_or_hold(heapq.heappop(self.delayed)[1])
        while self.queue and self.engine.in_flight() < capacity:
            self._submit_or_hold(self.queue.popleft())
        # a source's next item is made the moment a worker is free, and one
        # more ahead, so that a worker never waits for a proposal
        while self.job.source is not None and self.engine.in_flight() < min(capacity, self.engine.slots() + 1):
            made = self.job.source.next(self.job.items, self.results)
            if made is None:
                break
            self._submit_or_hold(self._add(*made))
        self.engine.flush()

    def _add(self, item: Any, sent: Any) -> int:
        """An item the job's source made, planned and journaled before it runs."""
        index = len(self.job.items)
        self.job.items.append(item)
        self.job.sent.append(sent)
        self.results.append(None)
        name, inputs, key = plan.completed(self.job.describe(sent), self.version, self.journal is not None)
        self.identities.append(name)
        self.inputs.append(inputs)
        self.keys.append(key)
        if self.journal is not None:
            self.journal.proposed(index, name, plain(item))
        if self.reporter is not None:
            self.reporter.grow(len(self.job.items))
        return index

    def _collect(self) -> None:
        assert self.engine is not None and self.reporter is not None
        while self.engine.in_flight() or self.queue or self.delayed:
            self.reporter.waiting_for_seats(self.engine.waiting_for_seats())
            for index in self.engine.running():
                if self.journal is not None:
                    self.journal.started(index, self.identities[index], self.keys[index], plain(self.job.items[index]),
                                         self.tries.get(index, 0) + 1)
            signals.raise_pending()
            ended = []
            for result in self.engine.ended(POLL_SECONDS):
                index = self._own(result, tried=True).index
                if self.options.retry.wants(result):
                    seconds = self.options.retry.wait(result.tries)
                    if self.options.retry.in_time(self.started_at, seconds):
                        self._try_again(result, seconds)
                        continue
                    result.error_message = "%s (no try again: the time for retries is spent)" % (
                        result.error_message or result.status)
                self.last_try.pop(index, None)
                self.reporter.retrying = len(self.delayed)
                self._record(result)
                ended.append(result)
            if ended and self.journal is not None:
                self.journal.sync()   # every result on disk before anyone is told of one
            for result in ended:
                self._free(result.index)
                self.reporter.done(result)
                if self.options.on_result is not None:
                    self.options.on_result(result)
                self._check_for_a_mistake(result)
            self._fill()

    def _try_again(self, result: ItemResult, seconds: float) -> None:
        assert self.reporter is not None
        entry = {"try": result.tries, "status": result.status, "message": result.error_message,
                 "started": result.started, "elapsed": round(result.elapsed, 6), "worker": result.worker,
                 "wait": round(seconds, 3), "seat_wait": result.seat_wait}
        self.history.setdefault(result.index, []).append(entry)
        if self.journal is not None:
            self.journal.tried(result.index, self.identities[result.index], entry)
        self.last_try[result.index] = result
        heapq.heappush(self.delayed, (time.monotonic() + seconds, result.index))
        self.reporter.retrying = len(self.delayed)
        self.reporter.retry(result, seconds)
        self._free(result.index)

    def _record(self, result: ItemResult) -> None:
        index = result.index
        self.results[index] = result
        if self.journal is not None:
            self.journal.ended(index, self.identities[index], self.keys[index], self.inputs[index], result.record(),
                               sync=False)

    def _check_for_a_mistake(self, result: ItemResult) -> None:
        """Stops the run when the collect function failed the same way on
        the last few solved models."""
        if result.error_type != COLLECT_ERROR:
            self.same_failures = (None, 0)
            return
        signature, count = self.same_failures
        count = count + 1 if signature == result.error_message else 1
        self.same_failures = (result.error_message, count)
        if count >= SAME_COLLECT_FAILURES_TO_STOP:
            raise _Stopped("the collect function failed on %d solved models in a row: %s"
                           % (count, result.error_message))

    def _free(self, index: int) -> None:
        directory = self.job.exclusive(self.job.sent[index])
        if directory is None or self.busy.get(directory) != index:
            return
        del self.busy[directory]
        queue = self.waiting.get(directory)
        if queue:
            self._submit_or_hold(queue.popleft())

    def _with_cancelled(self, message: str) -> List[ItemResult]:
        """Every item's result: one waiting for its next try keeps its last
        try's; one that never ended is cancelled."""
        for index in range(len(self.job.items)):
            if self.results[index] is not None:
                continue
            last = self.last_try.pop(index, None)
            if last is not None:
                last.error_message = "%s; its next try did not start (%s)" % (last.error_message or last.status,
                                                                             message.replace("not run: ", ""))
                self._record(last)
                continue
            self.results[index] = self._own(cancelled(index, message), tried=False)
        return self.results  # type: ignore[return-value]

    def _own(self, result: ItemResult, tried: bool) -> ItemResult:
        """The one place a result becomes the run's: its item, its identity
        and why it ran; with ``tried``, its try's number and the tries before."""
        index = result.index
        result.item = self.job.items[index]
        result.identity = self.identities[index] if index < len(self.identities) else ""
        result.run_reason = self.reasons.get(index, "")
        if tried:
            result.tries = self.tries[index] = self.tries.get(index, 0) + 1
            result.history = list(self.history.get(index, ()))
        return result

    def _end_journal(self, interrupted: Optional[str]) -> None:
        """The run's last line, then the journal let go."""
        if self.journal is None:
            return
        journal, self.journal = self.journal, None
        try:
            counts: Dict[str, int] = {}
            for result in self.results:
                if result is not None:
                    counts[result.status] = counts.get(result.status, 0) + 1
            if journal.run_id:
                journal.run_ended(interrupted is not None, interrupted or self.stop_reason, counts,
                                  seats.night_record(self.engine.seats if self.engine else None,
                                                     self.started_on_clock))
        finally:
            journal.close()
            self.journal_error = journal.error

    # ------------------------------------------------------------- ends
    def _stop(self) -> None:
        """Ends everything at once (the pool is stopped, never drained)."""
        self._end(interrupt=True)

    def _close(self) -> None:
        self._end(interrupt=False)

    def _end(self, interrupt: bool) -> None:
        """Idempotent; Ctrl-C, SIGTERM and SIGHUP are ignored while it runs."""
        ignored = signals.ignore_signals()
        try:
            if self.engine is None:   # ended while its engine was being made: what it made so far is its scratch
                Scratch(self.run_id).remove()
            elif not self.engine.closed:
                try:
                    if interrupt:
                        self.engine.interrupt()
                finally:
                    self.engine.close()
        finally:
            try:
                if self.reporter is not None:
                    self.reporter.close()
            finally:
                signals.restore_signals(ignored)


def run_job(job: Job, installation: Any, options: RunOptions) -> List[ItemResult]:
    """Runs a job with options checked already (what ``map_models``,
    ``solve_models`` and a study end in, and what the command line calls)."""
    if worker.in_spawned_bootstrap():
        # a script without the main guard, imported again by a worker
        # process: its workers stop quietly, and the run that started them
        # says why once
        raise SystemExit(worker.GUARD_EXIT)
    return Run(job, installation, options).execute()


__all__ = ["Run", "run_job", "BatchInterrupted", "BatchSetupError"]
