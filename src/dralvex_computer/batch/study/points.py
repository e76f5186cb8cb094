"""A study's points: their values as a table gives them, normalised so
that a point is the same point whatever wrote it down, and named by a key
that no package, Python or PyPy version changes.

Normalised: names as text, sorted; a number by its exact value, so that
1, 1.0 and numpy's 1.0 are one point (an integer that a float cannot hold
exactly stays an integer); True and False as themselves, not 1 and 0;
text as text ("1" is not 1); nothing else (a value that is not a number,
a truth value or text is refused, as is a number that is not finite).
The key is the SHA-256 of the canonical JSON of that, so it depends on
nothing but the values.
"""
from __future__ import annotations

import hashlib
import json
import math
import numbers
from typing import Any, Dict, Mapping

KEY_LENGTH = 16   # hex digits of a point's name: 64 bits, no clash in a lifetime of studies


def normalised_value(name: str, value: Any) -> Any:
    if isinstance(value, bool) or type(value).__name__ == "bool_":   # numpy's too
        return {"bool": bool(value)}
    if isinstance(value, str):
        return {"text": value}
    if isinstance(value, numbers.Integral):
        value = int(value)
        return {"number": float(value).hex()} if abs(value) <= 2 ** 53 else {"integer": str(value)}
    if isinstance(value, numbers.Real):
        value = float(value)
        if not math.isfinite(value):
            raise ValueError("parameter %r is %r: a point's values must be finite" % (name, value))
        return {"number": (value + 0.0).hex()}   # -0.0 is 0.0
    raise ValueError("parameter %r is %r (%s): a point's values are numbers, truth values or text"
                     % (name, value, type(value).__name__))


def normalised(point: Mapping[str, Any]) -> Dict[str, Any]:
    for name in point:
        if not isinstance(name, str) or not name:
            raise ValueError("a parameter's name must be text, not %r" % (name,))
    return {name: normalised_value(name, point[name]) for name in sorted(point)}


def canonical(data: Any) -> str:
    return json.dumps(data, sort_keys=True, separators=(",", ":"), ensure_ascii=True)


def point_key(point: Mapping[str, Any]) -> str:
    """The point's name: its normalised values, nothing else."""
    return hashlib.sha256(canonical(normalised(point)).encode("ascii")).hexdigest()[:KEY_LENGTH]
