"""Other ways to propose a goal's next point than the package's own
(``propose``): Optuna's TPE where Optuna is installed (CPython), or any
function ``ask(history, pending) -> points``, where ``history`` is a list
of (point, its collected values, or None when it did not solve) and
``pending`` the points still running; the first of the points it returns
that was not tried yet runs next (none: the study ends)."""
from __future__ import annotations

import math
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from ..surrogates.goals import Goal

History = Sequence[Tuple[Mapping[str, Any], Optional[Mapping[str, Any]]]]
PENALTY = 1e6   # a point that breaks a constraint scores its loss plus this much per unit it breaks it by
OPTUNA_TPE = "optuna:tpe"


class OptunaTPE:
    """Optuna's TPE sampler on the goal: a point that breaks a constraint
    scores its loss plus a penalty, one that did not solve is a failed
    trial, and the points running are running trials (its constant liar)."""

    def __init__(self, bounds: Mapping[str, Tuple[float, float]], goal: Goal, seed: int) -> None:
        import importlib.util
        if importlib.util.find_spec("optuna") is None:   # said before the night, not at its first proposal
            raise ValueError("the strategy %s needs Optuna: pip install optuna (CPython)" % OPTUNA_TPE)
        self.bounds, self.goal, self.seed = dict(bounds), goal, seed

    def score(self, point: Mapping[str, Any], values: Mapping[str, Any]) -> Optional[float]:
        found = dict(point, **values)
        value = found.get(self.goal.value)
        if not isinstance(value, (int, float)) or not math.isfinite(value):
            return None
        broken = sum(max(0.0, -constraint.margin(float(found[constraint.value])))
                     if isinstance(found.get(constraint.value), (int, float)) else 1.0
                     for constraint in self.goal.constraints)
        return self.goal.loss(float(value)) + PENALTY * broken

    def __call__(self, history: History, pending: Sequence[Mapping[str, Any]]) -> List[Dict[str, float]]:
        import optuna
        optuna.logging.set_verbosity(optuna.logging.WARNING)
        spaces: Dict[str, Any] = {name: optuna.distributions.FloatDistribution(low, high)
                                  for name, (low, high) in self.bounds.items()}
        sampler = optuna.samplers.TPESampler(seed=self.seed * 100003 + len(history) + len(pending), constant_liar=True)
        study = optuna.create_study(sampler=sampler, direction="minimize")
        for point, values in history:
            score = self.score(point, values) if values is not None else None
            state = optuna.trial.TrialState.COMPLETE if score is not None else optuna.trial.TrialState.FAIL
            study.add_trial(optuna.trial.create_trial(params={name: float(point[name]) for name in spaces},
                                                      distributions=spaces, value=score, state=state))
        for point in pending:
            study.add_trial(optuna.trial.create_trial(params={name: float(point[name]) for name in spaces},
                                                      distributions=spaces, state=optuna.trial.TrialState.RUNNING))
        trial = study.ask(spaces)
        return [{name: float(trial.params[name]) for name in spaces}]


def strategy_of(spec: Any, bounds: Mapping[str, Tuple[float, float]], goal: Goal,
                seed: int) -> Optional[Callable[..., Any]]:
    """None for the package's own proposer; else the function that asks."""
    if spec is None:
        return None
    if spec == OPTUNA_TPE:
        return OptunaTPE(bounds, goal, seed)
    if callable(spec):
        return spec
    raise ValueError("strategy must be None (the package's own), %r or a function ask(history, pending), not %r"
                     % (OPTUNA_TPE, spec))
