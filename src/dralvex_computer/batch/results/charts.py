"""The page's few chart kinds, drawn as SVG text directly: a timeline of
the items on each worker, a histogram, a value over the models, and a
value against a parameter (a study). No
plotting library: the page has its plots on every interpreter (PyPy gets
no matplotlib wheel, and building one needs Pillow's C sources), draws
1,000 models in milliseconds, and stays small. Every text is escaped."""
from __future__ import annotations

import html
import math
from typing import Dict, List, Optional, Sequence, Tuple

WIDTH = 900
FONT = 'font-family="system-ui, sans-serif" font-size="12"'


def _nice_ticks(low: float, high: float, count: int = 5) -> List[float]:
    if not (math.isfinite(low) and math.isfinite(high)) or high <= low:
        return [low] if math.isfinite(low) else []
    raw = (high - low) / count
    step = 10 ** math.floor(math.log10(raw))
    step *= next(factor for factor in (1, 2, 2.5, 5, 10) if raw <= step * factor)
    first = math.ceil(low / step) * step
    return [first + index * step for index in range(int((high - first) / step + 1e-9) + 1)]


def _number(value: float) -> str:
    return ("%.4g" % value).replace("e+0", "e").replace("e-0", "e-")


class _Plot:
    """An area with a left margin for labels, mapping data to pixels."""

    def __init__(self, height: int, left: int, x_range: Tuple[float, float], y_range: Tuple[float, float]) -> None:
        self.height, self.left, self.right, self.top, self.bottom = height, left, WIDTH - 20, 28, height - 34
        span_x = x_range[1] - x_range[0] or 1.0
        span_y = y_range[1] - y_range[0] or 1.0
        self.x_range, self.y_range, self.span_x, self.span_y = x_range, y_range, span_x, span_y
        self.parts: List[str] = []

    def x(self, value: float) -> float:
        return self.left + (value - self.x_range[0]) / self.span_x * (self.right - self.left)

    def y(self, value: float) -> float:
        return self.bottom - (value - self.y_range[0]) / self.span_y * (self.bottom - self.top)

    def text(self, x: float, y: float, text: str, anchor: str = "middle", extra: str = "") -> None:
        self.parts.append('<text x="%.1f" y="%.1f" text-anchor="%s" %s%s>%s</text>'
                          % (x, y, anchor, FONT, extra, html.escape(text)))

    def axes(self, title: str, x_label: str, y_ticks: bool = True) -> None:
        self.text(WIDTH / 2, 16, title, extra=' font-weight="bold"')
        self.text((self.left + self.right) / 2, self.height - 4, x_label)
        self.parts.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="#999"/>'
                          % (self.left, self.bottom, self.right, self.bottom))
        for tick in _nice_ticks(*self.x_range):
            self.text(self.x(tick), self.bottom + 15, _number(tick))
        if y_ticks:
            for tick in _nice_ticks(*self.y_range):
                self.parts.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#eee"/>'
                                  % (self.left, self.y(tick), self.right, self.y(tick)))
                self.text(self.left - 6, self.y(tick) + 4, _number(tick), anchor="end")

    def svg(self, label: str) -> str:
        return ('<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 %d %d" width="%d" height="%d" role="img" '
                'aria-label="%s">%s</svg>' % (WIDTH, self.height, WIDTH, self.height, html.escape(label),
                                              "".join(self.parts)))


def timeline(bars: Sequence[Tuple[str, float, float, str]], colours: Dict[str, str],
             waits: Sequence[Tuple[str, float, float]] = (),
             seat_waits: Sequence[Tuple[str, float, float]] = ()) -> str:
    """(worker, start, seconds, status) bars, one line a worker, coloured by
    status; (worker, start, seconds) waits before a try drawn grey below the
    line, and waits for a licence seat drawn striped over their bar's start."""
    workers = sorted({worker for worker, *_ in bars} | {worker for worker, *_ in waits})
    end = max([start + seconds for _, start, seconds, _ in bars] + [start + seconds for _, start, seconds in waits]
              + [1e-9])
    left = min(300, 14 + 7 * max(len(worker) for worker in workers))
    plot = _Plot(70 + 26 * len(workers), left, (0.0, end), (0.0, float(len(workers))))
    line_of = {worker: index for index, worker in enumerate(workers)}
    plot.axes("items on each worker", "seconds since the first start", y_ticks=False)
    for worker, index in line_of.items():
        plot.text(left - 6, plot.top + 26 * index + 17, worker, anchor="end")
    for worker, start, seconds in waits:
        plot.parts.append('<rect x="%.1f" y="%d" width="%.1f" height="8" fill="#bbb"><title>%s</title></rect>' % (
            plot.x(start), plot.top + 26 * line_of[worker] + 8, max(plot.x(start + seconds) - plot.x(start), 1),
            html.escape("waiting %.1f s to try again" % seconds)))
    for worker, start, seconds, status in bars:
        plot.parts.append('<rect x="%.1f" y="%d" width="%.1f" height="20" fill="%s"><title>%s</title></rect>' % (
            plot.x(start), plot.top + 26 * line_of[worker] + 2, max(plot.x(start + seconds) - plot.x(start), 1),
            colours.get(status, "#555"), html.escape("%s, %.2f s" % (status, seconds))))
    for worker, start, seconds in seat_waits:
        plot.parts.append('<rect x="%.1f" y="%d" width="%.1f" height="20" fill="%s"><title>%s</title></rect>' % (
            plot.x(start), plot.top + 26 * line_of[worker] + 2, max(plot.x(start + seconds) - plot.x(start), 1),
            SEAT_WAIT, html.escape("waiting %.1f s for a licence seat" % seconds)))
    return plot.svg("timeline") + legend(sorted({status for *_, status in bars}), colours, bool(waits),
                                         bool(seat_waits))


SEAT_WAIT = "#f2d16b"


def legend(statuses: List[str], colours: Dict[str, str], waits: bool = False, seat_waits: bool = False) -> str:
    """The key of the timeline, as HTML."""
    keys = ['<span class="status" style="background:%s">%s</span>' % (colours.get(status, "#555"), html.escape(status))
            for status in statuses]
    if waits:
        keys.append('<span class="status" style="background:#bbb;color:#222">waiting to try again</span>')
    if seat_waits:
        keys.append('<span class="status" style="background:%s;color:#222">waiting for a licence seat</span>'
                    % SEAT_WAIT)
    return '<p class="legend">%s</p>' % " ".join(keys)


def seats_in_use(steps: Sequence[Tuple[float, int, int]], count: int, end: float, title: str) -> str:
    """A pool's seats in use over the night, from its own record: (seconds,
    this run's, others') after each change, drawn as steps, this run's
    below, the others' stacked above it, the pool's seats as a line."""
    high = float(max([count] + [mine + others for _, mine, others in steps]))
    end = max([end] + [at for at, _, _ in steps] + [1e-9])
    plot = _Plot(220, 50, (min([0.0] + [at for at, _, _ in steps]), end), (0.0, high))
    plot.axes(title, "seconds since the first start")
    for (at, mine, others), (until, _, _) in zip(steps, list(steps[1:]) + [(end, 0, 0)]):
        width = max(plot.x(until) - plot.x(at), 0.0)
        if mine:
            plot.parts.append('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="#1565c0"/>'
                              % (plot.x(at), plot.y(mine), width, plot.bottom - plot.y(mine)))
        if others:
            plot.parts.append('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="#9e9e9e"/>'
                              % (plot.x(at), plot.y(mine + others), width, plot.y(mine) - plot.y(mine + others)))
    plot.parts.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#c62828" stroke-dasharray="4 3"><title>%d '
                      'seats</title></line>' % (plot.left, plot.y(count), plot.right, plot.y(count), count))
    return plot.svg(title) + ('<p class="legend"><span class="status" style="background:#1565c0">this run</span> '
                              '<span class="status" style="background:#9e9e9e;color:#222">other runs</span> '
                              '<span class="status" style="background:#c62828">the pool\'s seats</span></p>')


def histogram(values: Sequence[float], title: str, x_label: str) -> str:
    low, high = min(values), max(values)
    count = min(30, max(5, len(values) // 5))
    width = (high - low) / count or 1.0
    bins = [0] * count
    for value in values:
        bins[min(int((value - low) / width), count - 1)] += 1
    plot = _Plot(260, 50, (low, low + width * count), (0.0, float(max(bins))))
    plot.axes(title, x_label)
    for index, number in enumerate(bins):
        if number:
            x = plot.x(low + index * width)
            plot.parts.append('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="#1565c0"><title>%d</title>'
                              '</rect>' % (x + 1, plot.y(number), max(plot.x(low + (index + 1) * width) - x - 2, 1),
                                           plot.bottom - plot.y(number), number))
    return plot.svg(title)


def values(points: Sequence[Tuple[str, Optional[float]]], title: str) -> str:
    """A value over the models, by name: a model without a value (it
    failed, or gave text) is a gap in the line."""
    numbers = [value for _, value in points if value is not None]
    low, high = min(numbers), max(numbers)
    if low == high:
        low, high = low - 1, high + 1
    plot = _Plot(280, 70, (0.0, float(max(len(points) - 1, 1))), (low, high))
    plot.axes(title, "models, in input order (hover for each one's name)")
    segment: List[str] = []
    for index, (name, value) in enumerate(points):
        if value is None:
            if len(segment) > 1:
                plot.parts.append('<polyline fill="none" stroke="#00695c" points="%s"/>' % " ".join(segment))
            segment = []
            continue
        x, y = plot.x(index), plot.y(value)
        segment.append("%.1f,%.1f" % (x, y))
        plot.parts.append('<circle cx="%.1f" cy="%.1f" r="3" fill="#00695c"><title>%s: %s</title></circle>'
                          % (x, y, html.escape(name), html.escape(_number(value))))
    if len(segment) > 1:
        plot.parts.append('<polyline fill="none" stroke="#00695c" points="%s"/>' % " ".join(segment))
    return plot.svg(title)


def scatter(points: Sequence[Tuple[float, float, str]], title: str, x_label: str) -> str:
    """A value against a parameter, one dot a point (hover for its name)."""
    xs = [x for x, _, _ in points]
    ys = [y for _, y, _ in points]
    x_low, x_high = min(xs), max(xs)
    y_low, y_high = min(ys), max(ys)
    if x_low == x_high:
        x_low, x_high = x_low - 1, x_high + 1
    if y_low == y_high:
        y_low, y_high = y_low - 1, y_high + 1
    plot = _Plot(260, 70, (x_low, x_high), (y_low, y_high))
    plot.axes(title, x_label)
    for x, y, name in points:
        plot.parts.append('<circle cx="%.1f" cy="%.1f" r="3" fill="#6a1b9a" fill-opacity="0.7"><title>%s: %s, %s'
                          '</title></circle>' % (plot.x(x), plot.y(y), html.escape(name), _number(x), _number(y)))
    return plot.svg(title)


KIND_COLOURS = {"held": "#2e7d32", "did not hold": "#f9a825", "failed": "#c62828"}


def kinds(points: Sequence[Tuple[float, float, str]], title: str, x_label: str) -> str:
    """Points over two parameters, coloured by what they came to (held,
    did not hold, failed), with their key."""
    drawn = scatter([(x, y, kind) for x, y, kind in points], title, x_label)
    for kind, colour in KIND_COLOURS.items():
        drawn = drawn.replace('fill="#6a1b9a" fill-opacity="0.7"><title>%s:' % html.escape(kind),
                              'fill="%s" fill-opacity="0.8"><title>%s:' % (colour, html.escape(kind)))
    return drawn + '<p class="legend">%s</p>' % " ".join(
        '<span class="status" style="background:%s">%s</span>' % (colour, html.escape(kind))
        for kind, colour in KIND_COLOURS.items() if any(found == kind for _, _, found in points))


def sparkline(values: Sequence[Optional[float]], title: str, width: int = 90, height: int = 18) -> str:
    """A value over the nights, small enough for a table's cell: a night
    without a number is a gap; the latest night is a dot."""
    numbers = [value for value in values if value is not None and math.isfinite(value)]
    if not numbers:
        return ""
    low, high = min(numbers), max(numbers)
    span = (high - low) or 1.0
    step = (width - 4) / max(len(values) - 1, 1)
    segments: List[List[str]] = [[]]
    for index, value in enumerate(values):
        if value is None or not math.isfinite(value):
            segments.append([])
            continue
        segments[-1].append("%.1f,%.1f" % (2 + index * step, height - 2 - (value - low) / span * (height - 4)))
    # a night between two without a number is a point of its own; the latest night is the red dot
    last = next((segment[-1] for segment in reversed(segments) if segment), None)
    lines = "".join('<polyline fill="none" stroke="#1565c0" stroke-width="1" points="%s"/>' % " ".join(segment)
                    if len(segment) > 1 else '<circle cx="%s" cy="%s" r="1" fill="#1565c0"/>' % tuple(
                        segment[0].split(",")) for segment in segments if segment and segment != [last])
    dot = '<circle cx="%s" cy="%s" r="1.8" fill="#c62828"/>' % tuple(last.split(",")) if last else ""
    return ('<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 %d %d" width="%d" height="%d" role="img" '
            'aria-label="%s"><title>%s</title>%s%s</svg>' % (width, height, width, height, html.escape(title),
                                                            html.escape(title), lines, dot))
