"""The next point of a study with a goal, proposed the moment a worker is
free: a space-filling start, then a Gaussian process of each value the goal
reads (``surrogate``), the points still running counted at their predicted
values ("constant liar"), and a choice among candidates:

    minimise / maximise / target   the best predicted loss among the
                                   candidates feasible at mean + one standard
                                   deviation (and likely to solve at all);
                                   while there is none, the likeliest feasible
    explain                        where the value's process is least sure

Points that failed (failed, no solution, timed out) train a model of where
solves fail, so a failed region is avoided, and no point already tried or
running is proposed again: with a resolution per parameter, points are
snapped to it, so near-duplicates collapse and keys stay stable. The same
seed, the same points tried and running give the same point.
"""
from __future__ import annotations

import dataclasses
import math
import random
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from ..surrogates.goals import EXPLAIN, Goal
from ..surrogates.process import GaussianProcess, on_its_scale, solve_lower

Point = Dict[str, float]
CANDIDATES = 600          # drawn over the whole space at each proposal
NEAR_BEST = 200           # and around the best feasible point so far
FIT_POINTS = 120          # the most recent points a process is fitted on, at most
SURE = 0.85               # the chance of solving a proposal needs, once some points failed


@dataclasses.dataclass(frozen=True)
class Tried:
    """A point run: its collected values, or None when it did not solve."""
    point: Mapping[str, Any]
    values: Optional[Mapping[str, Any]]


class _Model:
    """A process with its inverse kept, for many predictions; ``log``: of
    the value's logarithm (a value that is positive everywhere, as a
    stress or a mass, is smoother so: P/t becomes -log t)."""

    def __init__(self, process: GaussianProcess, log: bool = False) -> None:
        self.process, self.log = process, log
        self.factors = [-0.5 / (scale * scale) for scale in process.length_scales]

    def predict(self, unit: Sequence[float]) -> Tuple[float, float]:
        process, factors, exp = self.process, self.factors, math.exp
        column = []
        for x in process.xs:   # plain loops: what PyPy's JIT makes fastest
            power = 0.0
            for d, factor in enumerate(factors):
                difference = unit[d] - x[d]
                power += factor * difference * difference
            column.append(process.signal * exp(power))
        mean = process.offset + process.scale * sum(map(float.__mul__, column, process.weights))
        projected = solve_lower(process.lower, column)
        spread = process.signal - sum(map(float.__mul__, projected, projected))
        return mean, math.sqrt(max(spread, 0.0)) * process.scale


def refit_at(count: int) -> int:
    """The last threshold at or below ``count`` points: 3, 5, 7, ... growing
    by a sixth at least."""
    threshold = 3
    while True:
        following = max(threshold + 2, int(math.ceil(threshold * 7 / 6)))
        if following > count:
            return min(threshold, count)
        threshold = following


def _in_scale(value: float, log: bool) -> Optional[float]:
    """A bound in a model's own scale (None: a logarithm's has none there)."""
    if not log:
        return value
    return math.log(value) if value > 0 else None


def _normal_cdf(value: float) -> float:
    return 0.5 * (1.0 + math.erf(value / math.sqrt(2.0)))


class Proposer:
    """``bounds``: {parameter: (low, high)}; ``resolution``: {parameter:
    step} (points are snapped to it); ``starting``: the points of the
    space-filling start (by default 2 × parameters + 2)."""

    def __init__(self, bounds: Mapping[str, Tuple[float, float]], goal: Goal, seed: int = 1,
                 resolution: Optional[Mapping[str, float]] = None, starting: Optional[int] = None) -> None:
        self.names = list(bounds)
        self.bounds = {name: (float(bounds[name][0]), float(bounds[name][1])) for name in self.names}
        for name, (low, high) in self.bounds.items():
            if not low < high:
                raise ValueError("the range of %s is %r: its low end must be below its high end" % (name, bounds[name]))
        self.goal, self.seed = goal, seed
        self.resolution = {name: float(step) for name, step in (resolution or {}).items() if step}
        self.starting = starting or 2 * len(self.names) + 2
        # (value, points fitted on, log) -> its hyperparameters: a function of the points alone
        self.fitted: Dict[Tuple[str, int, bool], Tuple[List[float], float, float]] = {}

    # what crosses: points in their own units
    def _unit(self, point: Mapping[str, Any]) -> List[float]:
        return [(float(point[name]) - low) / (high - low) for name, (low, high) in self.bounds.items()]

    def _point(self, unit: Sequence[float]) -> Point:
        point = {}
        for value, (name, (low, high)) in zip(unit, self.bounds.items()):
            value = low + min(max(value, 0.0), 1.0) * (high - low)
            step = self.resolution.get(name)
            if step:
                value = min(max(round(round((value - low) / step) * step + low, 12), low), high)
            point[name] = value
        return point

    def snapped(self, point: Mapping[str, Any]) -> Point:
        """A point from elsewhere (a strategy's) within the ranges, on the resolutions."""
        return self._point(self._unit(point))

    def _key(self, point: Mapping[str, Any]) -> Tuple[float, ...]:
        return tuple(round(float(point[name]), 9) for name in self.names)

    # the proposal
    def next(self, tried: Sequence[Tried], pending: Sequence[Mapping[str, Any]]) -> Optional[Point]:
        """The next point, or None when every point of the grid the
        resolutions make was tried."""
        number = len(tried) + len(pending)
        draw = random.Random("%s:%d" % (self.seed, number))
        taken = {self._key(entry.point) for entry in tried} | {self._key(point) for point in pending}
        if number < self.starting:
            start = self._start_design()[number]
            if self._key(start) not in taken:
                return start
        solved = [entry for entry in tried
                  if entry.values is not None and all(_number(entry.values.get(name)) for name in self._learned())]
        models = self._models(solved, pending)
        chance = self._chance_of_solving(tried, pending)
        candidates = self._candidates(draw, solved, taken)
        if not candidates:
            return None
        if self.goal.kind == EXPLAIN:
            model = models.get(self.goal.value)
            return max(candidates, key=lambda point: model.predict(self._unit(point))[1] if model else 0.0)
        return self._best(candidates, models, chance)

    def _learned(self) -> List[str]:
        """The values the goal reads that are not parameters (those are known)."""
        return [name for name in self.goal.names() if name not in self.bounds]

    def _start_design(self) -> List[Point]:
        """A Latin hypercube of the starting points, the same on every
        interpreter."""
        draw = random.Random("%s:start" % self.seed)
        columns = []
        for _ in self.names:
            slots = list(range(self.starting))
            draw.shuffle(slots)
            columns.append([(slot + draw.random()) / self.starting for slot in slots])
        return [self._point(unit) for unit in zip(*columns)]

    def _models(self, solved: Sequence[Tried], pending: Sequence[Mapping[str, Any]]) -> Dict[str, _Model]:
        recent = list(solved)[-FIT_POINTS:]
        models = {}
        for name in self._learned():
            known = [(entry.point, (entry.values or {}).get(name)) for entry in recent]
            xs = [self._unit(point) for point, value in known if _number(value)]
            ys = [float(value or 0.0) for _, value in known if _number(value)]
            if len(xs) < 2:
                continue
            ys, log = on_its_scale(ys)
            process = self._process(name, xs, ys, log)
            if pending:   # the running points at their predicted values
                lied = [process.predict(self._unit(point), variance=False)[0] for point in pending]
                process = GaussianProcess(xs + [self._unit(point) for point in pending], ys + lied,
                                          process.length_scales, process.signal, process.noise)
            models[name] = _Model(process, log)
        return models

    def _process(self, name: str, xs: List[List[float]], ys: List[float], log: bool,
                 iterations: int = 100) -> GaussianProcess:
        """A process of all the points, its hyperparameters fitted on the
        first of them up to the last threshold (``refit_at``): a fit costs
        most of a proposal, so it is made only as the points grow by a
        sixth, and, a function of the points alone, is the same in a study
        resumed from its journal."""
        count = refit_at(len(xs))
        key = (name, count, log)
        if key not in self.fitted:
            fitted = GaussianProcess.fit(xs[:count], ys[:count], starts=(0.3,), iterations=iterations)
            self.fitted[key] = (fitted.length_scales, fitted.signal, fitted.noise)
        try:
            return GaussianProcess(xs, ys, *self.fitted[key])
        except ValueError:   # too near singular with the points since: fitted on them all
            return GaussianProcess.fit(xs, ys, starts=(0.3,), iterations=iterations)

    def _chance_of_solving(self, tried: Sequence[Tried], pending: Sequence[Mapping[str, Any]]) -> Optional[_Model]:
        """A process of +1 (solved) and -1 (did not) over the points tried,
        when some did not."""
        if all(entry.values is not None for entry in tried):
            return None
        recent = list(tried)[-FIT_POINTS:]
        xs = [self._unit(entry.point) for entry in recent]
        ys = [1.0 if entry.values is not None else -1.0 for entry in recent]
        return _Model(self._process(" solves", xs, ys, False, iterations=30))

    def _candidates(self, draw: random.Random, solved: Sequence[Tried], taken: set) -> List[Point]:
        units = [[draw.random() for _ in self.names] for _ in range(CANDIDATES)]
        feasible = [entry for entry in solved if self.goal.feasible(self._with_parameters(entry))]
        if feasible:
            best = min(feasible, key=lambda entry: self.goal.loss(float(self._with_parameters(entry)[self.goal.value])))
            centre = self._unit(best.point)
            for index in range(NEAR_BEST):
                spread = 0.1 if index % 2 else 0.02
                units.append([value + draw.gauss(0.0, spread) for value in centre])
        found, seen = [], set(taken)
        for unit in units:
            point = self._point(unit)
            key = self._key(point)
            if key not in seen:
                seen.add(key)
                found.append(point)
        return found

    def _with_parameters(self, entry: Tried) -> Dict[str, Any]:
        return {**{name: float(entry.point[name]) for name in self.names}, **dict(entry.values or {})}

    def _best(self, candidates: List[Point], models: Dict[str, _Model], chance: Optional[_Model]) -> Point:
        """The candidate of least predicted loss among those feasible at
        mean + one standard deviation (each in its model's scale); else the
        likeliest feasible."""
        scored = []
        logs = {name: name in models and models[name].log for name in self.goal.names()}
        for point in candidates:
            unit = self._unit(point)
            predicted = {name: models[name].predict(unit) if name in models else None for name in self._learned()}
            predicted.update((name, (float(point[name]), 0.0)) for name in self.goal.names() if name in self.bounds)
            solves = 1.0
            if chance is not None:
                mean, deviation = chance.predict(unit)
                solves = _normal_cdf(mean / max(deviation, 0.1))
            likely, surely = solves, solves >= SURE
            for constraint in self.goal.constraints:
                guess = predicted.get(constraint.value)
                if guess is None:
                    likely, surely = likely * 0.5, False
                    continue
                mean, deviation = guess
                bound = _in_scale(constraint.bound, logs[constraint.value])
                if bound is None:   # a positive value's bound at or below 0: never held
                    likely, surely = 0.0, False
                    continue
                margin = dataclasses.replace(constraint, bound=bound).margin(mean)
                likely *= _normal_cdf(margin / deviation) if deviation > 0 else float(margin >= 0)
                surely = surely and margin >= deviation
            value = predicted.get(self.goal.value)
            loss = 0.0
            if value is not None:
                loss = self.goal.loss(math.exp(value[0]) if logs[self.goal.value] else value[0])
            scored.append((surely, likely, loss, point))
        sure = [entry for entry in scored if entry[0]]
        if sure:
            return min(sure, key=lambda entry: entry[2])[3]
        return max(scored, key=lambda entry: entry[1])[3]


def _number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)
