"""A study with a goal: no table, but the next point proposed the moment a
worker is free (``propose``), each on disk in the journal before it runs.

    run's process                        the study's source
    _fill: a worker is free   ------->   next(items, results): the points
                                          tried (their values, or None when
                                          they did not solve) and running
                              <-------   (point, what crosses), or None
    journal: "proposed" line               once the budget is spent
    the point runs as any other

A study resumed from its journal starts from the points proposed before (a
point whose result stands is not run again), then proposes on: the same
seed and the same journal give the same points.
"""
from __future__ import annotations

import os
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from ..items import CANCELLED, DONE, SOLVED, WORKER_LOST, ItemResult
from ..results import journal as journals
from . import points
from ..surrogates.goals import Goal
from .propose import Proposer, Tried
from .strategies import strategy_of

UNKNOWN = (CANCELLED, WORKER_LOST)   # tells nothing of the point: counted as running


class GoalSource:
    """The points of a study with a goal, up to ``budget``: the proposer's,
    or those a strategy asks for (``strategies``)."""

    def __init__(self, proposer: Proposer, budget: int, ask: Optional[Callable[..., Any]] = None) -> None:
        self.proposer, self.budget, self.ask = proposer, budget, ask

    def next(self, items: Sequence[Any], results: Sequence[Optional[ItemResult]]) -> Optional[Tuple[Any, Any]]:
        if len(items) >= self.budget:
            return None
        tried, running = [], []
        for item, result in zip(items, results):
            if result is None or result.status in UNKNOWN:
                running.append(item)
            else:
                tried.append(Tried(item, values_of(result)))
        point = self.proposer.next(tried, running) if self.ask is None else self._asked(tried, running)
        return None if point is None else (point, (points.point_key(point), point))

    def _asked(self, tried: List[Tried], running: List[Any]) -> Optional[Dict[str, Any]]:
        assert self.ask is not None
        taken = {points.point_key(entry.point) for entry in tried} | {points.point_key(point) for point in running}
        answer = self.ask([(entry.point, entry.values) for entry in tried], list(running))
        for point in [answer] if isinstance(answer, Mapping) else list(answer or []):
            if not isinstance(point, Mapping):
                raise ValueError("the strategy asked for %r, not a point (a dict of the parameters)" % (point,))
            point = self.proposer.snapped(point)
            if points.point_key(point) not in taken:
                return point
        return None


def values_of(result: ItemResult) -> Optional[Dict[str, Any]]:
    """A point's collected values, or None when it did not solve."""
    if result.status not in (SOLVED, DONE):
        return None
    return dict(result.value) if isinstance(result.value, Mapping) else {"value": result.value}


def checked_bounds(parameters: Any) -> Dict[str, Tuple[float, float]]:
    """A goal's parameters: {name: (low, high)}; ValueError otherwise."""
    if not isinstance(parameters, Mapping) or not parameters:
        raise ValueError("a study with a goal takes its parameters' ranges, as {\"WallThickness\": (3, 12)}, not %r"
                         % (parameters,))
    bounds = {}
    for name, span in parameters.items():
        try:
            low, high = (float(value) for value in span)
        except (TypeError, ValueError):
            raise ValueError("the range of %s is %r: give (low, high)" % (name, span)) from None
        bounds[str(name)] = (low, high)
    return bounds


def proposed_before(journal: str) -> List[Dict[str, Any]]:
    """The points an earlier run of the study proposed, in order."""
    if not os.path.exists(journal):
        return []
    return [point for point in journals.read(journal).proposed if isinstance(point, dict)]


def source(parameters: Any, goal: Any, budget: int, seed: int, resolution: Optional[Mapping[str, float]],
           strategy: Any = None) -> GoalSource:
    if isinstance(budget, bool) or not isinstance(budget, int) or budget < 1:
        raise ValueError("budget must be a whole number of solves of at least 1, not %r" % (budget,))
    made = goal if isinstance(goal, Goal) else Goal.parse(goal)
    bounds = checked_bounds(parameters)
    return GoalSource(Proposer(bounds, made, seed, resolution), budget, strategy_of(strategy, bounds, made, seed))
