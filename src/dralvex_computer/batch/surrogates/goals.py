"""What a study is asked, instead of a table: a value to minimise, to
maximise or to bring to a target, under constraints on collected values;
or a value to explain (which parameters drive it, and how much).

    minimise cost where max_stress <= 440
    maximise SupportSpacing where max_stress <= 440 and mass <= 900
    max_stress = 300 where mass <= 900
    explain max_stress

The names are collected values (what ``collect`` returns) or parameters;
"minimize"/"maximize" are understood too.
"""
from __future__ import annotations

import dataclasses
import math
import operator
import re
from typing import Any, Callable, Dict, Mapping, Optional, Tuple

MINIMISE, MAXIMISE, TARGET, EXPLAIN = "minimise", "maximise", "target", "explain"
_COMPARE: Dict[str, Callable[[float, float], bool]] = {
    "<=": operator.le, "<": operator.lt, ">=": operator.ge, ">": operator.gt}
_NAME = r"[A-Za-z_][A-Za-z0-9_.]*"
_NUMBER = r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?"
_CONSTRAINT = re.compile(r"\s*(%s)\s*(<=|>=|<|>)\s*(%s)\s*" % (_NAME, _NUMBER))
_HEAD = re.compile(r"\s*(?:(minimi[sz]e|maximi[sz]e|explain)\s+(%s)|(%s)\s*=\s*(%s))\s*" % (_NAME, _NAME, _NUMBER))


@dataclasses.dataclass(frozen=True)
class Constraint:
    value: str
    compare: str
    bound: float

    def holds(self, found: float) -> bool:
        return _COMPARE[self.compare](found, self.bound)

    def margin(self, found: float) -> float:
        """How far inside the bound (negative: outside)."""
        return self.bound - found if self.compare in ("<=", "<") else found - self.bound

    def __str__(self) -> str:
        return "%s %s %s" % (self.value, self.compare, _number(self.bound))


@dataclasses.dataclass(frozen=True)
class Goal:
    kind: str
    value: str
    target: Optional[float] = None
    constraints: Tuple[Constraint, ...] = ()

    @classmethod
    def parse(cls, text: str) -> "Goal":
        """ValueError saying what a goal looks like for text that is none."""
        if not isinstance(text, str):
            raise ValueError("a goal is text, as \"minimise cost where max_stress <= 440\", not %r" % (text,))
        parts = re.split(r"\s+where\s+", text.strip(), maxsplit=1)
        head, rest = parts[0], parts[1] if len(parts) > 1 else ""
        found = _HEAD.fullmatch(head)
        if found is None:
            raise ValueError("%r is no goal: say \"minimise VALUE\", \"maximise VALUE\", \"VALUE = NUMBER\" or "
                             "\"explain VALUE\", then, for the first three, \"where VALUE <= NUMBER and ...\" if "
                             "it must hold" % text)
        constraints = []
        for part in re.split(r"\s+and\s+", rest) if rest.strip() else []:
            matched = _CONSTRAINT.fullmatch(part)
            if matched is None:
                raise ValueError("%r in the goal %r is no constraint: say \"VALUE <= NUMBER\" (or <, >=, >)"
                                 % (part.strip(), text))
            constraints.append(Constraint(matched.group(1), matched.group(2), float(matched.group(3))))
        if found.group(1):
            kind = {"minimi": MINIMISE, "maximi": MAXIMISE}.get(found.group(1)[:6], EXPLAIN)
            if kind == EXPLAIN and constraints:
                raise ValueError("explain takes no constraints: %r" % text)
            return cls(kind, found.group(2), None, tuple(constraints))
        return cls(TARGET, found.group(3), float(found.group(4)), tuple(constraints))

    def names(self) -> Tuple[str, ...]:
        """The values the goal reads, the optimised first."""
        return tuple(dict.fromkeys((self.value,) + tuple(constraint.value for constraint in self.constraints)))

    def loss(self, found: float) -> float:
        """What the study makes smallest."""
        if self.kind == MAXIMISE:
            return -found
        if self.kind == TARGET:
            return abs(found - (self.target or 0.0))
        return found

    def feasible(self, values: Mapping[str, Any]) -> bool:
        return all(_is_number(values.get(constraint.value)) and constraint.holds(float(values[constraint.value]))
                   for constraint in self.constraints) and _is_number(values.get(self.value))

    def __str__(self) -> str:
        head = {MINIMISE: "minimise %s", MAXIMISE: "maximise %s", EXPLAIN: "explain %s"}.get(self.kind, "%s = ")
        text = head % self.value + (_number(self.target) if self.kind == TARGET else "")
        return text + (" where " + " and ".join(map(str, self.constraints)) if self.constraints else "")


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def _number(value: Optional[float]) -> str:
    return ("%.12g" % value) if value is not None else ""
