"""A month of nights, not only the last two: each model's values and
status over the nights, and what a night-to-night comparison cannot see.

    drifting   its value on the latest night lies outside the median of
               the previous N nights (default 30) by more than the
               comparison's tolerance for that column: a value that creeps
               a little each night passes every nightly comparison
    flaky      it failed on some of the last N nights and solved on a later
               one: it fails by turns (a model that solved, then started
               failing and still fails, is newly or still failing, not flaky)

Each night is its journal's night (every item its runs were given, with
its latest result), read from the digest beside it (``digest``). Nights go
in the order their first runs started. A model is matched over the nights
by its identity, as ``compare`` does; one renamed or removed midway has
the nights it had under each name.
"""
from __future__ import annotations

import dataclasses
import glob
import json
import math
import os
import statistics
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from . import digest
from .compare import Tolerance

WINDOW = 30
BASELINE_AT_LEAST = 3   # earlier values a median must have before a drift is said
CATEGORIES = ("drifting", "flaky")
JOURNALS = (".jsonl", ".journal")   # the names of a folder's journals


def journals_of(named: Iterable[str]) -> List[str]:
    """The journals named: files, every journal in a folder (``*.jsonl``,
    ``*.journal``), or glob patterns; each once. OSError when a name gives
    none."""
    found: List[str] = []
    for name in named:
        if os.path.isdir(name):
            paths = sorted(os.path.join(name, entry) for entry in os.listdir(name)
                           if entry.lower().endswith(JOURNALS) and os.path.isfile(os.path.join(name, entry)))
        elif glob.has_magic(name) and not os.path.exists(name):
            paths = sorted(path for path in glob.glob(name, recursive=True) if os.path.isfile(path))
        elif os.path.isfile(name):
            paths = [name]
        else:
            raise OSError("%s: no such journal, folder or pattern" % name)
        if not paths:
            raise OSError("%s holds no journal (*.jsonl, *.journal)" % name)
        found += paths
    once: Dict[str, str] = {}
    for path in found:
        once.setdefault(os.path.realpath(path), path)
    return list(once.values())


class History:
    """The nights in order, and each model's place in them."""

    def __init__(self, nights: Sequence[digest.Night], skipped: Sequence[Tuple[str, str]] = ()) -> None:
        self.nights = sorted(nights, key=lambda night: night.when)
        self.skipped = list(skipped)   # (journal, why) of each night that could not be read
        order: Dict[str, Any] = {}
        seen = set()
        for night in reversed(self.nights):   # the latest night's order first, then by when last seen
            if id(night.names) in seen:
                continue   # the same items as a later night
            seen.add(id(night.names))
            for identity, item in zip(night.identities, night.items):
                order.setdefault(identity, item)
        self.models = order   # identity -> its latest item

    @classmethod
    def read(cls, journals: Iterable[str], passing: Iterable[str] = ()) -> "History":
        """The nights of ``journals``; those of ``passing`` (journals soon
        removed) are read without a digest left beside them."""
        nights, skipped, names = [], [], {}   # type: ignore[var-annotated]
        passing = set(passing)
        for path in journals:
            try:
                nights.append(digest.load(path, names, keep=path not in passing))
            except (OSError, ValueError) as error:
                skipped.append((path, str(error)))
        return cls(nights, skipped)

    def columns(self) -> List[str]:
        return list(dict.fromkeys(column for night in self.nights for column in night.columns))

    def statuses(self, identity: str) -> List[Optional[str]]:
        """Its status each night (None: not in that night)."""
        found: List[Optional[str]] = []
        for night in self.nights:
            position = night.position(identity)
            found.append(None if position is None else night.status(position))
        return found

    def series(self, identity: str, column: str) -> List[Optional[float]]:
        """Its value each night (None: not in that night, or no number)."""
        found: List[Optional[float]] = []
        for night in self.nights:
            position, values = night.position(identity), night.values.get(column)
            value = values[position] if position is not None and values is not None else math.nan
            found.append(None if math.isnan(value) else value)
        return found


@dataclasses.dataclass
class Finding:
    identity: str
    item: Any
    category: str
    # drifting: column -> (latest, the baseline's median, values in the baseline)
    drifts: Dict[str, Tuple[float, float, int]] = dataclasses.field(default_factory=dict)
    failures: int = 0   # flaky: nights it did not solve, of `ran` nights it ran, in the window
    ran: int = 0
    last_failed: Optional[float] = None   # when the last night it failed began

    def weight(self) -> float:
        """What to act on first: the largest drift (relative), then the
        most failures."""
        if self.drifts:
            return max(abs(latest - median) / max(abs(median), 1e-300) for latest, median, _ in self.drifts.values())
        return self.failures / max(self.ran, 1)

    def record(self) -> Dict[str, Any]:
        return {"identity": self.identity, "item": self.item, "category": self.category,
                "drifts": {column: {"latest": latest, "median": median, "nights": count}
                           for column, (latest, median, count) in self.drifts.items()},
                "failures": self.failures, "nights": self.ran, "last_failed": self.last_failed}

    def said(self) -> str:
        if self.category == "drifting":
            return "; ".join("%s %.6g against a median of %.6g over %d nights (%s)" % (
                column, latest, median, count, _relative(latest, median))
                for column, (latest, median, count) in self.drifts.items())
        return "did not solve on %d of the last %d nights it ran" % (self.failures, self.ran)


def _relative(latest: float, median: float) -> str:
    return "%+.2f%%" % ((latest - median) / abs(median) * 100) if median else "%+.6g" % (latest - median)


def findings(history: History, window: int = WINDOW, tolerance: Optional[Tolerance] = None) -> List[Finding]:
    """The drifting models, then the flaky ones, each what to act on first
    first. Drift is judged on the latest night's models that solved."""
    limits = tolerance or Tolerance()
    if not history.nights:
        return []
    recent = history.nights[-1 - window:]   # the window before the latest night, and the latest
    latest = recent[-1]
    drifting, flaky = [], []
    for identity, item in history.models.items():
        positions = [night.position(identity) for night in recent]
        at = positions[-1]
        if at is not None and latest.solved[at]:
            finding = _drift(identity, item, recent, positions, limits)
            if finding is not None:
                drifting.append(finding)
        finding = _flaky(identity, item, recent[-window:], positions[-window:])
        if finding is not None:
            flaky.append(finding)
    return sorted(drifting, key=lambda found: -found.weight()) + sorted(flaky, key=lambda found: -found.weight())


def _drift(identity: str, item: Any, recent: Sequence[digest.Night], positions: Sequence[Optional[int]],
           limits: Tolerance) -> Optional[Finding]:
    latest, at = recent[-1], positions[-1]
    assert at is not None
    drifts = {}
    for column in latest.columns:
        value = latest.values[column][at]
        if value != value:   # NaN: no number tonight
            continue
        baseline = []
        for night, there in zip(recent[:-1], positions[:-1]):
            if there is not None and night.solved[there]:
                values = night.values.get(column)
                if values is not None and values[there] == values[there]:
                    baseline.append(values[there])
        if len(baseline) < BASELINE_AT_LEAST:
            continue
        median = statistics.median(baseline)
        if not limits.close(column, median, value):
            drifts[column] = (value, median, len(baseline))
    return Finding(identity, item, "drifting", drifts) if drifts else None


def _flaky(identity: str, item: Any, recent: Sequence[digest.Night],
           positions: Sequence[Optional[int]]) -> Optional[Finding]:
    failed_before, came_back, failures, ran, last = False, False, 0, 0, None
    for night, at in zip(recent, positions):
        if at is None or not night.ran[at]:
            continue
        ran += 1
        if night.solved[at]:
            came_back = came_back or failed_before
        else:
            failures, failed_before, last = failures + 1, True, night.when
    if not came_back:
        return None
    return Finding(identity, item, "flaky", failures=failures, ran=ran, last_failed=last)


def grouped(found: List[Finding]) -> Dict[str, List[Finding]]:
    """The findings of each category, in ``CATEGORIES``' order."""
    return {category: [finding for finding in found if finding.category == category] for category in CATEGORIES}


def counted(found: List[Finding]) -> str:
    """"1 drifting, 2 flaky"."""
    return ", ".join("%d %s" % (len(members), category) for category, members in grouped(found).items())


def text(found: List[Finding]) -> str:
    """The drifting and the flaky models, by category, what to act on first first."""
    lines = [counted(found)]
    for category, members in grouped(found).items():
        if members:
            lines += ["", "%s (%d):" % (category, len(members))]
            lines += ["  %s: %s" % (item_text(finding.item), finding.said()) for finding in members]
    return "\n".join(lines)


def item_text(item: Any) -> str:
    return item if isinstance(item, str) else json.dumps(item, sort_keys=True, default=str)
