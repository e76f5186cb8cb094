"""What a study's page answers, before its tables: for a goal, the best
feasible point so far with its values and each constraint's margin, the
best against the solves, and where points held, did not, or failed over
the two parameters that drive the constraint most; for every study with
enough points, which parameters drive each value: Sobol' indices of a
Gaussian process fitted to the points, with the process's leave-one-out
error (how far to trust them) and, beside them, the rank correlation,
which reads only monotone effects."""
from __future__ import annotations

import html
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple

from . import charts
from ..surrogates import goals, sensitivity
from ..surrogates import process as surrogate

FIT_AT_MOST = 100   # points a page's processes are fitted on (the most recent)

Number = Callable[[Any], Optional[float]]


def _named(columns: List[str], label: Callable[[str], str]) -> Dict[str, str]:
    return {label(column): column for column in columns}


def goal_sections(rows: List[Dict[str, Any]], parameters: List[str], values: List[str], about: Dict[str, Any],
                  number: Number, table: Callable[..., str], label: Callable[[str], str],
                  fitted: List[Drivers]) -> List[str]:
    try:
        goal = goals.Goal.parse(str(about.get("goal") or ""))
    except ValueError:
        return []
    if goal.kind == goals.EXPLAIN:
        return []
    column = _named(parameters + values, label)
    in_order = sorted(rows, key=lambda row: row["index"] if isinstance(row.get("index"), int) else 0)
    best: Optional[Tuple[float, Dict[str, Any]]] = None
    curve, marks = [], []
    for count, row in enumerate(in_order, start=1):
        found = {name: number(row.get(named)) for name, named in column.items()}
        held = row.get("status") in ("solved", "done") and goal.feasible(found)
        if held:
            loss = goal.loss(float(found[goal.value]))   # type: ignore[arg-type]  # feasible: a number
            if best is None or loss < best[0]:
                best = (loss, row)
        curve.append(("solve %d" % count, number(best[1].get(column[goal.value])) if best else None))
        marks.append((row, "held" if held else "did not hold" if row.get("status") in ("solved", "done")
                      else "failed"))
    parts = ["<section><h2>The answer: %s</h2>%s</section>" % (html.escape(str(goal)), _best(
        best, goal, column, parameters, number, table, label))]
    if any(value is not None for _, value in curve):
        parts.append("<section><h2>Best feasible %s against solves</h2><figure>%s</figure></section>" % (
            html.escape(goal.value), charts.values(curve, "best feasible %s so far" % goal.value)))
    if len(parameters) >= 2:
        first, second = _mapped(parameters, goal, column, fitted)
        points = [(number(row.get(first)), number(row.get(second)), kind) for row, kind in marks]
        shown = [(x, y, kind) for x, y, kind in points if x is not None and y is not None]
        if shown:
            parts.append("<section><h2>Where points held</h2><figure>%s</figure></section>" % charts.kinds(
                shown, "%s against %s" % (label(second), label(first)), label(first)))
    return parts


def _best(best: Optional[Tuple[float, Dict[str, Any]]], goal: goals.Goal, column: Dict[str, str],
          parameters: List[str], number: Number, table: Callable[..., str], label: Callable[[str], str]) -> str:
    if best is None:
        return "<p>No point holds yet.</p>"
    row = best[1]
    shown = {name: number(row.get(name)) for name in parameters + [column[goal.value]]}
    body = [[html.escape(label(name)), "%.6g" % value] for name, value in shown.items() if value is not None]
    for constraint in goal.constraints:
        found = number(row.get(column.get(constraint.value, constraint.value)))
        if found is not None:
            body.append([html.escape(str(constraint)), "%.6g (margin %.3g)" % (found, constraint.margin(found))])
    return "<p>The best point that holds: %s.</p>%s" % (html.escape(str(row.get("item"))),
                                                        table(["", "value"], body, numeric=(1,)))


class Drivers(NamedTuple):
    """What a process fitted to one value's points says drives it."""
    value: str
    points: int
    xs: List[List[float]]      # the points, each parameter scaled to [0, 1]
    ys: List[float]            # the value (its logarithm where it is positive)
    indices: Dict[str, List[float]]
    spread: Dict[str, List[Tuple[float, float]]]
    error: float
    needed: Optional[int]


def drivers_of(rows: List[Dict[str, Any]], parameters: List[str], values: List[str], about: Dict[str, Any],
               number: Number, label: Callable[[str], str]) -> List[Drivers]:
    """A process fitted to each value with enough points, and its Sobol'
    indices."""
    given = about.get("bounds")
    bounds: Dict[str, Any] = given if isinstance(given, dict) else {}
    found = []
    for value in values:
        known = [row for row in rows if number(row.get(value)) is not None
                 and all(number(row.get(name)) is not None for name in parameters)][-FIT_AT_MOST:]
        if not parameters or len(known) < max(8, 2 * len(parameters) + 2):
            continue
        ranges = [_span(bounds.get(label(name)), [float(number(row.get(name)) or 0.0) for row in known])
                  for name in parameters]
        xs = [[(float(number(row.get(name)) or 0.0) - low) / (high - low)
               for name, (low, high) in zip(parameters, ranges)] for row in known]
        ys = surrogate.on_its_scale([float(number(row.get(value)) or 0.0) for row in known])[0]
        try:
            model = surrogate.GaussianProcess.fit(xs, ys, starts=(0.3,))
        except (ValueError, ZeroDivisionError):
            continue
        error = sensitivity.leave_one_out_error(model)
        found.append(Drivers(value, len(known), xs, ys, sensitivity.sobol_indices(model),
                             sensitivity.intervals(model), error, sensitivity.points_for(model, error, WANTED_ERROR)))
    return found


def influence_section(found: List[Drivers], parameters: List[str], table: Callable[..., str],
                      label: Callable[[str], str], rank_correlation: Callable[..., Optional[float]]) -> Optional[str]:
    """The Sobol' indices of each value with enough points; None when no
    value has enough (the rank correlation then stands alone)."""
    body = []
    notes = []
    for drivers in found:
        notes.append(_trust(label(drivers.value), drivers.points, drivers.error, drivers.needed))
        for position, name in enumerate(parameters):
            rho = rank_correlation([x[position] for x in drivers.xs], drivers.ys)
            body.append([html.escape(label(drivers.value)), html.escape(label(name))]
                        + [_with_interval(drivers.indices[kind][position], drivers.spread.get(kind), position)
                           for kind in ("first", "total")]
                        + ["%+.3f" % rho if rho is not None else "-"])
    if not body:
        return None
    return ("<section><h2>What drives each value</h2><p>Sobol' indices of a Gaussian process fitted to the points "
            "(of the value's logarithm where it is positive): the share of the value's variance a parameter "
            "explains alone (first-order) and with its interactions (total), the parameters uniform over their "
            "ranges, with the 5–95 %% range over processes of 80 %% of the points. The smaller the process's "
            "leave-one-out error, the more they can be trusted: %s. The rank correlation beside them reads only "
            "effects that rise or fall one way.</p>%s</section>"
            % (html.escape("; ".join(notes)), table(["value", "parameter", "first-order", "total",
                                                     "rank correlation"], body, numeric=(2, 3, 4))))


def _mapped(parameters: List[str], goal: goals.Goal, column: Dict[str, str], found: List[Drivers]) -> List[str]:
    """The two parameters of the map of where points held: those that drive
    the first constraint's value most (the goal's value when it has none),
    else the first two."""
    decides = column.get(goal.constraints[0].value if goal.constraints else goal.value)
    totals = next((drivers.indices["total"] for drivers in found if drivers.value == decides), None)
    if totals is None or len(parameters) <= 2:
        return parameters[:2]
    ranked = sorted(range(len(parameters)), key=lambda position: -totals[position])
    return [parameters[position] for position in ranked[:2]]


WANTED_ERROR = 0.05   # the leave-one-out error the page says how many points would reach


def _trust(value: str, count: int, error: float, needed: Optional[int]) -> str:
    said = "%s: %d points, leave-one-out error %.0f %% of its spread" % (value, count, 100 * error)
    if needed is not None and needed > count:
        said += " (about %d more points would bring it under %.0f %%)" % (needed - count, 100 * WANTED_ERROR)
    return said


def _with_interval(value: float, spans: Optional[List[Tuple[float, float]]], position: int) -> str:
    if not spans:
        return "%.3f" % value
    low, high = spans[position]
    return "%.3f <small>(%.2f–%.2f)</small>" % (value, low, high)


def _span(given: Any, seen: List[float]) -> Tuple[float, float]:
    if isinstance(given, (list, tuple)) and len(given) == 2 and given[1] > given[0]:
        return float(given[0]), float(given[1])
    low, high = min(seen), max(seen)
    return (low, high) if high > low else (low - 0.5, low + 0.5)
