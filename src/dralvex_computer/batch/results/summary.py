"""The morning summary of a night: one self-contained HTML page (no file
beside it). What to act on comes first: whether the night is still in
progress or was interrupted, the counts by status, what changed since the
last night (worst first), the failures with their reasons, a study's
ranking; then the table of every model, the times, what the run was, a
timeline of the items on each worker, a histogram of the solve times, a
plot of each numeric value over the models, the workers, the slowest
models and the warnings. Made from a journal, it is the night the journal
holds (every item's latest result across its runs); made while the run
still goes on, it shows the items running, waiting for a seat and queued
as such.

The plots are SVG drawn directly (charts.py): the same page on every
interpreter, with nothing to install."""
from __future__ import annotations

import html
import math
import os
import statistics
import time
from typing import Any, Dict, Iterable, List, Optional, Tuple, Union, cast

from . import charts, history_page, models_table, night as nights, schema, seats_page, study_page
from ..items import IN_PROGRESS, NOT_SOLVED, STATUSES
from .report import rows as report_rows

COLOURS = {"done": "#2e7d32", "solved": "#2e7d32", "no solution": "#ef6c00", "failed": "#c62828",
           "timed out": "#6a1b9a", "worker lost": "#4e342e", "invalid input": "#757575", "cancelled": "#9e9e9e",
           "running": "#1565c0", "waiting for a seat": "#00838f", "queued": "#90a4ae"}
ORDER = STATUSES[:-1] + IN_PROGRESS + STATUSES[-1:]
STYLE = """
body { font: 14px/1.45 system-ui, sans-serif; margin: 2em auto; padding: 0 1.5em; max-width: 1100px; color: #222; }
h1 { font-size: 1.6em; margin-bottom: 0.2em; } h2 { font-size: 1.2em; margin-top: 1.8em; }
table { border-collapse: collapse; margin: 0.5em 0; } td, th { padding: 3px 10px; border-bottom: 1px solid #ddd;
text-align: left; vertical-align: top; } th { background: #f3f3f3; } td.number { text-align: right; }
.status { display: inline-block; padding: 0 6px; border-radius: 3px; color: white; }
#models th { cursor: pointer; } #models td { font-size: 13px; } td.number { white-space: nowrap; }
.note { color: #666; } .alert { background: #fff3e0; border-left: 4px solid #ef6c00; padding: 0.4em 0.8em; } figure { margin: 0.5em 0; } svg { max-width: 100%; height: auto; }
"""
READY = "<script>document.documentElement.dataset.ready = document.querySelectorAll('section').length;</script>"


def _seconds(value: float) -> str:
    if not math.isfinite(value):
        return "?"
    if value >= 3600:
        return "%d h %02d min" % (value // 3600, value % 3600 // 60)
    if value >= 60:
        return "%d min %02d s" % (value // 60, value % 60)
    return "%.2f s" % value


def _badge(status: str) -> str:
    return '<span class="status" style="background:%s">%s</span>' % (COLOURS.get(status, "#555"),
                                                                      html.escape(status))


def _table(header: List[str], body: Iterable[List[str]], numeric: Iterable[int] = ()) -> str:
    numbers = set(numeric)
    lines = ["<table><tr>%s</tr>" % "".join("<th>%s</th>" % html.escape(cell) for cell in header)]
    for row in body:
        lines.append("<tr>%s</tr>" % "".join('<td%s>%s</td>' % (' class="number"' if index in numbers else "", cell)
                                             for index, cell in enumerate(row)))
    return "\n".join(lines) + "</table>"


def _name(row: Dict[str, Any]) -> str:
    return os.path.basename(str(row.get("item"))) or str(row.get("item"))


def _number(value: Any) -> Optional[float]:
    """A finite float, or None (text, nan, an integer beyond a float's range)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    try:
        number = float(value)
    except OverflowError:
        return None
    return number if math.isfinite(number) else None


def _sound(row: Dict[str, Any]) -> Dict[str, Any]:
    """A row the page can show whatever wrote it (another version, a hand
    edit): the fields it reads of the types it reads them as, a field that
    is missing or odd shown as missing."""
    row = dict(row)
    row["status"] = row["status"] if isinstance(row.get("status"), str) else "unknown"
    row["elapsed"] = max(_number(row.get("elapsed")) or 0.0, 0.0)
    row["started"] = _number(row.get("started"))
    tries = row.get("tries")
    row["tries"] = tries if isinstance(tries, int) and not isinstance(tries, bool) and tries > 0 else 1
    for field in ("error_message", "worker"):
        row[field] = row[field] if isinstance(row.get(field), str) else None
    row["warnings"] = [str(text) for text in row["warnings"]] if isinstance(row.get("warnings"), list) else []
    row["index"] = row["index"] if isinstance(row.get("index"), int) else 0
    row["resumed"] = row.get("resumed") is True
    return row


def _value_columns(rows: List[Dict[str, Any]]) -> List[str]:
    """The columns of the collected values, in the order they first come."""
    columns = dict.fromkeys(column for row in rows for column in row if column.startswith(schema.VALUE))
    return list(columns) + (["value"] if any(row.get("value") is not None for row in rows) else [])


def _numeric_columns(rows: List[Dict[str, Any]], columns: List[str]) -> List[str]:
    return [column for column in columns if any(_number(row.get(column)) is not None for row in rows)]


def label(column: str) -> str:
    """A value's or a parameter's name, as the page shows it."""
    return column.partition(".")[2] if column.startswith((schema.VALUE, schema.POINT)) else column


# ------------------------------------------------------------------- page

def render(results_or_journal: Union[str, "os.PathLike[str]", Iterable[Any]], title: Optional[str] = None,
           interrupted: Optional[bool] = None, reason: Optional[str] = None,
           comparison: Optional[List[Any]] = None, page_directory: Optional[str] = None,
           context: Optional[Dict[str, Any]] = None, units: Optional[Dict[str, str]] = None,
           study: Optional[Dict[str, Any]] = None, refresh: Optional[int] = None,
           history: Optional[Tuple[Any, List[Any]]] = None) -> str:
    """The summary page of results, records or a journal (the night it
    holds), as HTML text; ``interrupted``: whether the run was (a journal
    says so itself); ``comparison``: the changes since an earlier night
    (compare.py); ``page_directory``: where the page will be, which its
    links to kept results are relative to; ``context``: what the run was
    (its command line, solver, installation...; a journal keeps it);
    ``units``: each value's unit (a journal keeps them); ``study``: the
    parameters of a study and the value that ranks its points (a journal
    keeps the parameters); ``refresh``: the page reloads itself every so
    many seconds (a page the run rewrites as it goes); ``history``: the
    nights before (``history.History``) and what drifts or is flaky."""
    context, units, study = dict(context or {}), dict(units or {}), dict(study or {})
    live, seats, run_id = False, {}, None   # type: bool, Dict[str, Any], Optional[str]
    if isinstance(results_or_journal, (str, os.PathLike)):
        records, info = nights.night(os.fspath(results_or_journal))
        context = {**{"command": info.get("command"), "started on": info.get("host")},
                   **info.get("context", {}), **context}
        if info.get("runs", 1) > 1:
            context["runs in the journal"] = info["runs"]
        units = {**info.get("units", {}), **units}
        study = {**info.get("about", {}).get("study", {}), **study}
        live = info.get("live") is True
        seats, run_id = info.get("seats") or {}, info.get("run")
        interrupted = (info["interrupted"] and not live) if interrupted is None else interrupted
        reason = reason or info["reason"]
    else:
        records = list(cast(Iterable[Dict[str, Any]], results_or_journal))
    rows = [_sound(row) for row in report_rows(records)]
    parameters = [schema.POINT + name for name in study.get("parameters") or []]
    rows = [study_page.named_by_point(row) for row in rows] if parameters else rows
    title = title or "Batch run summary"
    ran = [row for row in rows if isinstance(row.get("started"), (int, float)) and not row.get("resumed")]
    origin = min((row["started"] for row in ran), default=0.0)
    end = max((row["started"] + (row.get("elapsed") or 0.0) for row in ran), default=origin)
    values = _value_columns(rows)
    numeric = _numeric_columns(rows, values)
    parts = ["<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">%s<title>%s</title><style>%s</style>"
             "</head><body><h1>%s</h1>" % ('<meta http-equiv="refresh" content="%d">' % refresh if refresh else "",
                                           html.escape(title), STYLE, html.escape(title))]
    parts += _heading(rows, ran, origin, end, interrupted, reason, live, refresh)
    parts += (_comparison(comparison) if comparison is not None else []) + (
        [history_page.section(history[0], history[1], _table)] if history is not None else [])
    parts.append(_failures(rows))
    if parameters:
        parts += study_page.sections(rows, parameters, numeric, units, study.get("rank_by"), _number, _table, label,
                                     study, live=bool(refresh))
    parts.append(models_table.section(rows, parameters + values, page_directory, _badge, _seconds, units, label,
                                      history_page.columns(history[0], values, label) if history else None))
    parts.append(_times(ran))
    parts.append(_context(context, rows, ran, origin, end))
    parts += _plots(rows, ran, origin, units, [] if parameters else numeric)
    parts += seats_page.sections(seats, run_id, origin, end)
    parts += _tables(rows, ran, end - origin)
    parts.append(READY + "</body></html>\n")
    return "\n".join(parts)


def _heading(rows: List[Dict[str, Any]], ran: List[Dict[str, Any]], origin: float, end: float,
             interrupted: Optional[bool], reason: Optional[str], live: bool, refresh: Optional[int]) -> List[str]:
    """Whether the night goes on or was interrupted, what it did, its statuses."""
    parts = []
    when = _moment(origin, "%Y-%m-%d %H:%M") if ran else "no item ran"
    retries = sum(max(int(row.get("tries") or 1) - 1, 0) for row in rows)
    resumed = sum(bool(row.get("resumed")) for row in rows)
    counts: Dict[str, int] = {}
    for row in rows:
        counts[row["status"]] = counts.get(row["status"], 0) + 1
    if live:
        going = sum(counts.get(status, 0) for status in IN_PROGRESS)
        parts.append('<p class="alert" id="in-progress"><strong>In progress</strong>: %d of %d models have ended; '
                     '%d running, %d waiting for a licence seat, %d queued (as of %s)%s.</p>'
                     % (len(rows) - going, len(rows), counts.get("running", 0), counts.get("waiting for a seat", 0),
                        counts.get("queued", 0), _moment(time.time(), "%H:%M:%S"),
                        "; this page reloads itself every %d s" % refresh if refresh else ""))
    elif interrupted:
        parts.append('<p class="alert"><strong>This run was interrupted</strong>%s: the models it did not run are '
                     'cancelled; <code>--resume</code> with the same journal goes on where it stopped.</p>'
                     % (" (%s)" % html.escape(reason) if reason else ""))
    elif reason:
        parts.append('<p class="alert"><strong>This run stopped early</strong>: %s.</p>' % html.escape(reason))
    parts.append('<p class="note">%d models; started %s; %s from the first start to the last end%s%s.</p>'
                 % (len(rows), html.escape(when), _seconds(end - origin),
                    "; %d tries again after a failure" % retries if retries else "",
                    "; %d taken from an earlier run's journal" % resumed if resumed else ""))
    ordered = sorted(counts, key=lambda status: ORDER.index(status) if status in ORDER else len(ORDER))
    parts.append("<section><h2>Statuses</h2>%s</section>" % _table(
        ["status", "models"], ([_badge(status), str(counts[status])] for status in ordered), numeric=[1]))
    return parts


def _times(ran: List[Dict[str, Any]]) -> str:
    times = [float(row.get("elapsed") or 0.0) for row in ran]
    if not times:
        return ""
    seat_waits = sum(_number(row.get("seat_wait")) or 0.0 for row in ran)
    return "<section><h2>Times</h2>%s</section>" % _table(
        ["", "seconds"], [["total of the models' times", _seconds(sum(times))],
                          ["mean per model", _seconds(statistics.mean(times))],
                          ["median per model", _seconds(statistics.median(times))],
                          ["longest", _seconds(max(times))]]
        + ([["of which waiting for licence seats", _seconds(seat_waits)]] if seat_waits else []), numeric=[1])


def _failures(rows: List[Dict[str, Any]]) -> str:
    """Every model that did not solve, with why: the first thing to act on."""
    failures = [row for row in rows if row["status"] in NOT_SOLVED or row["status"] == "unknown"]
    return "<section><h2>Failures (%d)</h2>%s</section>" % (len(failures), _table(
        ["model", "status", "reason", "tries"],
        ([html.escape(_name(row)), _badge(row["status"]), html.escape(row.get("error_message") or ""),
          str(row.get("tries") or 1)] for row in failures), numeric=[3]) if failures else "<p>None.</p>")


def _moment(seconds: float, form: str) -> str:
    """A time of day, or "?" for one no calendar holds (a journal's odd number)."""
    try:
        return time.strftime(form, time.localtime(seconds))
    except (OverflowError, OSError, ValueError):
        return "?"


def _context(context: Dict[str, Any], rows: List[Dict[str, Any]], ran: List[Dict[str, Any]], origin: float,
             end: float) -> str:
    """What the run was: what the caller knows of it, its machines, its
    start and end."""
    known = [(name, str(value)) for name, value in context.items() if value not in (None, "")]
    machines = sorted({str(row.get("worker") or "").rpartition(":")[0] for row in rows} - {""})
    if machines:
        known.append(("machines", ", ".join(machines)))
    if ran:
        for name, moment in (("first start", origin), ("last end", end)):
            known.append((name, _moment(moment, "%Y-%m-%d %H:%M:%S")))
    return "<section><h2>The run</h2>%s</section>" % _table(
        ["", ""], ([html.escape(name), html.escape(value)] for name, value in known))


def _comparison(changes: List[Any]) -> List[str]:
    """What changed since the earlier run: the counts, then each item that
    changed."""
    from . import compare
    counts = compare.counts(changes)
    verdict = ('<p class="alert"><strong>Regressed</strong>: models newly failing, removed, or with other values '
               'from the same inputs.</p>' if compare.regressed(changes) else '<p class="note">Nothing regressed.</p>')
    if compare.shares_nothing(changes):
        said = compare.SHARES_NOTHING
        verdict += '<p class="alert">%s.</p>' % html.escape(said[0].upper() + said[1:])
    body = []
    for change in sorted(changes, key=lambda change: compare.CATEGORIES.index(change.category)):
        if change.category == "unchanged":
            continue
        details = ["%s: %s" % (column, compare.delta(*pair)) for column, pair in change.values.items()]
        if change.inputs:
            details.append("inputs changed: %s" % ", ".join(change.inputs))
        body.append([html.escape(change.category), html.escape(str(change.item)),
                     html.escape("%s -> %s" % (change.old_status, change.new_status)), html.escape("; ".join(details))])
    return ["<section><h2>Since the last run</h2>%s%s%s</section>" % (
        verdict, _table(["category", "models"], ([html.escape(category), str(count)]
                                                 for category, count in counts.items() if count), numeric=[1]),
        _table(["category", "model", "status", "what changed"], body) if body else "")]


def _bars(ran: List[Dict[str, Any]], origin: float) -> Tuple[List[Any], List[Any], List[Any]]:
    """The timeline's bars (each try of each item that ran), the waits
    before a try again and the waits for a licence seat (at a try's start,
    within its bar)."""
    bars, waits, seat_waits = [], [], []
    for row in ran:
        for entry in row.get("history") or []:
            if not isinstance(entry, dict):
                continue
            started, elapsed = _number(entry.get("started")), _number(entry.get("elapsed")) or 0.0
            worker = entry.get("worker") if isinstance(entry.get("worker"), str) else row.get("worker")
            if started is None:
                continue
            bars.append((worker or "?", started - origin, elapsed, str(entry.get("status"))))
            wait = _number(entry.get("wait"))
            if wait:
                waits.append((worker or "?", started - origin + elapsed, wait))
            seat_wait = _number(entry.get("seat_wait"))
            if seat_wait:
                seat_waits.append((worker or "?", started - origin, seat_wait))
        bars.append((row.get("worker") or "?", row["started"] - origin, row.get("elapsed") or 0.0, row["status"]))
        seat_wait = _number(row.get("seat_wait"))
        if seat_wait:
            seat_waits.append((row.get("worker") or "?", row["started"] - origin, seat_wait))
    return bars, waits, seat_waits


def _plots(rows: List[Dict[str, Any]], ran: List[Dict[str, Any]], origin: float,
           units: Dict[str, str], numeric: List[str]) -> List[str]:
    """The timeline, the times' histogram and each ``numeric`` value over
    the models, as inline SVG; a plot that cannot be drawn leaves the page
    whole."""
    plots: List[Tuple[str, Any]] = []
    if ran:
        times = [float(row.get("elapsed") or 0.0) - (_number(row.get("seat_wait")) or 0.0) for row in ran]
        bars, waits, seat_waits = _bars(ran, origin)
        plots.append(("Timeline", lambda: charts.timeline(bars, COLOURS, waits, seat_waits)))
        plots.append(("Solve times", lambda: charts.histogram(times, "solve times", "seconds per model")))
    for column in numeric:
        points = [(_name(row), _number(row.get(column))) for row in rows]
        named = "%s (%s)" % (label(column), units[label(column)]) if label(column) in units else label(column)
        plots.append(("Value: %s" % named, lambda points=points, named=named: charts.values(points, named)))
    parts = []
    for heading, draw in plots:
        try:
            drawn = "<figure>%s</figure>" % draw()
        except Exception as error:   # numbers no axis can hold: the page goes on without the plot
            drawn = '<p class="note">This plot could not be drawn (%s).</p>' % html.escape(
                "%s: %s" % (type(error).__name__, error))
        parts.append("<section><h2>%s</h2>%s</section>" % (html.escape(heading), drawn))
    return parts


def solve_time(row: Dict[str, Any]) -> float:
    """An item's time without its wait for a licence seat."""
    return max(float(row.get("elapsed") or 0.0) - (_number(row.get("seat_wait")) or 0.0), 0.0)


def _tables(rows: List[Dict[str, Any]], ran: List[Dict[str, Any]], span: float) -> List[str]:
    """The workers' use (a wait for a seat is not work), the slowest models
    by solve time, the warnings."""
    parts = []
    workers: Dict[str, List[Tuple[float, float]]] = {}
    for row in ran:
        workers.setdefault(row.get("worker") or "?", []).append((solve_time(row), _number(row.get("seat_wait")) or 0.0))
    waited = any(wait for used in workers.values() for _, wait in used)
    if workers:
        span = max(span, 1e-9)
        parts.append("<section><h2>Workers</h2>%s</section>" % _table(
            ["worker", "models", "busy", "busy share"] + (["waiting for seats"] if waited else []),
            ([html.escape(worker), str(len(used)), _seconds(sum(busy for busy, _ in used)),
              "%.0f %%" % (100 * sum(busy for busy, _ in used) / span)]
             + ([_seconds(sum(wait for _, wait in used))] if waited else [])
             for worker, used in sorted(workers.items())), numeric=[1, 2, 3, 4]))
    slowest = sorted(ran, key=solve_time, reverse=True)[:10]
    if slowest:
        parts.append("<section><h2>Slowest models</h2>%s</section>" % _table(
            ["model", "status", "solve time"] + (["seat wait"] if waited else []) + ["worker"],
            ([html.escape(_name(row)), _badge(row["status"]), _seconds(solve_time(row))]
             + ([_seconds(_number(row.get("seat_wait")) or 0.0)] if waited else [])
             + [html.escape(row.get("worker") or "")] for row in slowest), numeric=[2, 3] if waited else [2]))
    warned = [row for row in rows if row.get("warnings")]
    if warned:
        parts.append("<section><h2>Warnings (%d models)</h2>%s</section>" % (len(warned), _table(
            ["model", "warnings"], ([html.escape(_name(row)),
                                     "<br>".join(html.escape(text) for text in dict.fromkeys(row["warnings"]))]
                                    for row in warned))))
    return parts


def write(results_or_journal: Union[str, "os.PathLike[str]", Iterable[Any]], path: str,
          title: Optional[str] = None, interrupted: Optional[bool] = None,
          comparison: Optional[List[Any]] = None, context: Optional[Dict[str, Any]] = None,
          units: Optional[Dict[str, str]] = None, study: Optional[Dict[str, Any]] = None,
          refresh: Optional[int] = None, history: Optional[Tuple[Any, List[Any]]] = None) -> None:
    """Writes the summary page to ``path`` at once: a reader (a browser
    that reloads it while the run goes on) sees the old page or the new,
    never half of one."""
    page = render(results_or_journal, title, interrupted, comparison=comparison,
                  page_directory=os.path.dirname(os.path.abspath(path)), context=context, units=units, study=study,
                  refresh=refresh, history=history)
    partial = "%s.%d.part" % (path, os.getpid())
    try:
        with open(partial, "w", encoding="utf-8", errors="backslashreplace") as stream:
            stream.write(page)
        os.replace(partial, path)
    finally:
        if os.path.exists(partial):
            os.remove(partial)
