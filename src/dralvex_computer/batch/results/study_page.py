"""What a study's page adds: what it answers (``answer_page``: a goal's best
point, what drives each value), its parameters as columns of the table,
each numeric value against each parameter, and the best and worst points
by a chosen value.

Where too few points are known for a process (or on a live page),
influence is Spearman's rank correlation between a parameter and a value
over the points that have both (ties take their mean rank): it reads any
monotone dependence, not only a straight line, and needs no library. It
says nothing of interactions between parameters.
"""
from __future__ import annotations

import html
import math
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from . import answer_page, charts

BEST_AND_WORST = 5


def named_by_point(row: Dict[str, Any]) -> Dict[str, Any]:
    """A row named by its point rather than by its values."""
    if isinstance(row.get("identity"), str) and row["identity"]:
        row = dict(row, item=row["identity"])
    return row


def _ranks(values: Sequence[float]) -> List[float]:
    order = sorted(range(len(values)), key=lambda index: values[index])
    ranks = [0.0] * len(values)
    start = 0
    while start < len(order):
        end = start
        while end + 1 < len(order) and values[order[end + 1]] == values[order[start]]:
            end += 1
        for position in range(start, end + 1):
            ranks[order[position]] = (start + end) / 2.0
        start = end + 1
    return ranks


def spearman(xs: Sequence[float], ys: Sequence[float]) -> Optional[float]:
    """Spearman's rank correlation, or None when it is not defined (fewer
    than 3 pairs, or a constant side)."""
    if len(xs) < 3:
        return None
    rx, ry = _ranks(xs), _ranks(ys)
    mx, my = sum(rx) / len(rx), sum(ry) / len(ry)
    sxy = sum((a - mx) * (b - my) for a, b in zip(rx, ry))
    sxx = sum((a - mx) ** 2 for a in rx)
    syy = sum((b - my) ** 2 for b in ry)
    return sxy / math.sqrt(sxx * syy) if sxx > 0 and syy > 0 else None


def _pairs(rows: List[Dict[str, Any]], parameter: str, value: str,
           number: Callable[[Any], Optional[float]]) -> List[Tuple[float, float, str]]:
    found = []
    for row in rows:
        x, y = number(row.get(parameter)), number(row.get(value))
        if x is not None and y is not None:
            found.append((x, y, str(row.get("item"))))
    return found


def sections(rows: List[Dict[str, Any]], parameters: List[str], values: List[str], units: Dict[str, str],
             rank_by: Optional[str], number: Callable[[Any], Optional[float]],
             table: Callable[..., str], label: Callable[[str], str] = str, about: Optional[Dict[str, Any]] = None,
             live: bool = False) -> List[str]:
    """The study's sections of the page: ``parameters`` and ``values`` are
    the rows' columns, each named ``label(column)``; ``number``: a finite
    float or None; ``table``: the page's table maker; ``about``: what the
    journal keeps of the study (its goal, its ranges); ``live``: a page
    rewritten as the study runs (no processes fitted for it)."""
    about = about or {}
    numeric = [name for name in parameters if any(number(row.get(name)) is not None for row in rows)]
    found = [] if live else answer_page.drivers_of(rows, numeric, values, about, number, label)
    parts = answer_page.goal_sections(rows, numeric, values, about, number, table, label, found)
    parts.append(answer_page.influence_section(found, numeric, table, label, spearman)
                 or _influence(rows, numeric, values, number, table, label))
    chosen = next((value for value in values if label(value) == rank_by), values[0] if values else None)
    if chosen is not None:
        parts.append(_best_and_worst(rows, parameters, chosen, units, number, table, label))
    for value in values:
        named = "%s (%s)" % (label(value), units[label(value)]) if label(value) in units else label(value)
        for parameter in numeric:
            pairs = _pairs(rows, parameter, value, number)
            if not pairs:
                continue
            title = "%s against %s" % (named, label(parameter))
            try:
                drawn = "<figure>%s</figure>" % charts.scatter(pairs, title, label(parameter))
            except Exception as error:   # numbers no axis can hold: the page goes on without the plot
                drawn = '<p class="note">This plot could not be drawn (%s).</p>' % html.escape(str(error))
            parts.append("<section><h2>%s</h2>%s</section>" % (html.escape(title), drawn))
    return parts


def _influence(rows: List[Dict[str, Any]], parameters: List[str], values: List[str],
               number: Callable[[Any], Optional[float]], table: Callable[..., str],
               label: Callable[[str], str]) -> str:
    body = []
    for value in values:
        ranked = []
        for parameter in parameters:
            pairs = _pairs(rows, parameter, value, number)
            rho = spearman([x for x, _, _ in pairs], [y for _, y, _ in pairs])
            ranked.append((abs(rho) if rho is not None else -1.0, parameter, rho, len(pairs)))
        for place, (_, parameter, rho, count) in enumerate(sorted(ranked, key=lambda entry: -entry[0]), start=1):
            body.append([html.escape(label(value)), str(place), html.escape(label(parameter)),
                         "%+.3f" % rho if rho is not None else "-", str(count)])
    return ("<section><h2>Influence of the parameters</h2><p>Spearman's rank correlation of each value with each "
            "parameter over the points that have both: +1 or -1 when the value rises or falls with the parameter "
            "alone, near 0 when it does not follow it.</p>%s</section>"
            % table(["value", "rank", "parameter", "rank correlation", "points"], body, numeric=(1, 3, 4)))


def _shown(value: Any) -> str:
    return "%.6g" % value if isinstance(value, float) else html.escape("" if value is None else str(value))


def _best_and_worst(rows: List[Dict[str, Any]], parameters: List[str], value: str, units: Dict[str, str],
                    number: Callable[[Any], Optional[float]], table: Callable[..., str],
                    label: Callable[[str], str]) -> str:
    scored = [(number(row.get(value)), row) for row in rows]
    ranked = sorted(((score, row) for score, row in scored if score is not None), key=lambda pair: pair[0])
    named = "%s (%s)" % (label(value), units[label(value)]) if label(value) in units else label(value)
    lines = []
    for end, chosen in (("lowest", ranked[:BEST_AND_WORST]), ("highest", ranked[::-1][:BEST_AND_WORST])):
        body = [[end, html.escape(str(row.get("item")))] + ["%.6g" % score]
                + [_shown(row.get(name)) for name in parameters] for score, row in chosen]
        lines.append(table(["", "point", named] + [label(name) for name in parameters], body, numeric=(2,)))
    return "<section><h2>Lowest and highest %s</h2>%s</section>" % (html.escape(named), "".join(lines))
