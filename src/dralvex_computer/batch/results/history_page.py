"""What the page shows of the nights before this one (given the run's
history): the drifting and the flaky models, what to act on first first,
and in the models table a small line of each value over the last nights
with the model's failures among them."""
from __future__ import annotations

import html
from typing import Any, Callable, Dict, List, Optional, Tuple

from . import charts
from .history import WINDOW, Finding, History, counted, item_text

Cells = Callable[[Dict[str, Any]], List[str]]


def section(history: History, found: List[Finding], table: Callable[..., str]) -> str:
    """The drifting and the flaky models, or that there are none."""
    nights = len(history.nights)
    if not found:
        return ('<section><h2>Over the last nights</h2><p class="note">Over %d nights, no value drifts from its '
                'median and no model fails by turns.</p></section>' % nights)
    body = [[html.escape(finding.category), html.escape(item_text(finding.item)), html.escape(finding.said())]
            for finding in found]
    counts = counted(found)
    return ('<section><h2>Over the last nights</h2><p class="alert"><strong>%s</strong> over %d nights: a value '
            "drifts when this night's lies outside the median of up to %d nights before it by more than the "
            "tolerance; a model is flaky when it failed on some of the last %d nights and solved on a later "
            "one. What to act on first comes first.</p>%s</section>"
            % (html.escape(counts), nights, WINDOW, WINDOW, table(["", "model", "what"], body)))


def columns(history: History, values: List[str], label: Callable[[str], str]) -> Tuple[List[str], Cells]:
    """The models table's columns of the last nights: each value's line,
    then the failures; ``values``: the rows' value columns."""
    recent = history.nights[-WINDOW:]
    shown = [column for column in values if any(label(column) in night.values for night in recent)]
    heads = ["%s, last %d nights" % (label(column), len(recent)) for column in shown] + ["failed (nights)"]

    def cells(row: Dict[str, Any]) -> List[str]:
        identity = str(row.get("identity") or "")
        positions = [night.position(identity) for night in recent]
        found = []
        for column in shown:
            series: List[Optional[float]] = []
            for night, at in zip(recent, positions):
                values = night.values.get(label(column))
                value = values[at] if at is not None and values is not None else float("nan")
                series.append(None if value != value else value)
            found.append("<td>%s</td>" % charts.sparkline(series, "%s over the last nights" % label(column)))
        ran = [(night, at) for night, at in zip(recent, positions) if at is not None and night.ran[at]]
        failed = sum(not night.solved[at] for night, at in ran)
        found.append('<td class="number" data-key="%d">%d of %d</td>' % (failed, failed, len(ran)))
        return found
    return heads, cells
