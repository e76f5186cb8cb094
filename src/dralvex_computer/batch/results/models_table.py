"""The page's table of every model: its folder and name, its status and
why, tries, time (and its wait for a licence seat, in a run with seats),
worker, each collected value (numbers and text), and a link to its kept
results, relative to the page so that the page moves with the results
folder. A few lines of inline script sort it by any column and
filter it by status; with scripts off it is a plain table in input order.
"""
from __future__ import annotations

import html
import os
import urllib.parse
from typing import Any, Callable, Dict, List, Optional, Tuple

SCRIPT = """<script>
(function () {
  var table = document.getElementById('models'); if (!table) return;
  var body = table.tBodies[0], heads = table.tHead.rows[0].cells, order = {};
  function key(row, column) {
    var cell = row.cells[column], text = cell.getAttribute('data-key');
    if (text === null) text = cell.textContent;
    var number = parseFloat(text);
    return isNaN(number) || !/^[-+0-9.eE]+$/.test(text.trim()) ? [1, text.toLowerCase()] : [0, number];
  }
  Array.prototype.forEach.call(heads, function (head, column) {
    head.addEventListener('click', function () {
      order[column] = -(order[column] || -1);
      var rows = Array.prototype.slice.call(body.rows);
      rows.sort(function (a, b) {
        var x = key(a, column), y = key(b, column);
        if (x[0] !== y[0]) return x[0] - y[0];
        return (x[1] < y[1] ? -1 : x[1] > y[1] ? 1 : 0) * order[column];
      });
      rows.forEach(function (row) { body.appendChild(row); });
      table.setAttribute('data-sorted', column + (order[column] > 0 ? ' up' : ' down'));
    });
  });
  var boxes = document.querySelectorAll('#filter input');
  function filter() {
    var shown = {};
    Array.prototype.forEach.call(boxes, function (box) { shown[box.value] = box.checked; });
    Array.prototype.forEach.call(body.rows, function (row) {
      row.hidden = !shown[row.getAttribute('data-status')];
    });
  }
  Array.prototype.forEach.call(boxes, function (box) { box.addEventListener('change', filter); });
  document.getElementById('filter').hidden = false;
})();
</script>"""


def _link(path: Optional[str], page_directory: Optional[str]) -> str:
    if not path:
        return ""
    target = os.path.relpath(path, page_directory) if page_directory else path
    return '<a href="%s">results</a>' % html.escape(urllib.parse.quote(target.replace(os.sep, "/")))


def _cell(value: Any) -> str:
    if isinstance(value, bool) or value is None:
        return "<td>%s</td>" % ("" if value is None else value)
    if isinstance(value, (int, float)):   # an int as it is: it may hold more than a float can
        return '<td class="number" data-key="%r">%s</td>' % (value, str(value) if isinstance(value, int)
                                                             else "%.6g" % value)
    return "<td>%s</td>" % html.escape(str(value))


def section(rows: List[Dict[str, Any]], value_columns: List[str], page_directory: Optional[str],
            badge: Any, seconds: Any, units: Optional[Dict[str, str]] = None, label: Any = str,
            more: Optional[Tuple[List[str], Callable[[Dict[str, Any]], List[str]]]] = None) -> str:
    """The table, its filter (shown by the script) and its script;
    ``value_columns``: the rows' columns of parameters and values, each
    headed by ``label(column)``; ``more``: the headings of more columns
    and the cells of a row in them (the last nights)."""
    statuses = list(dict.fromkeys(row["status"] for row in rows))
    boxes = "".join('<label><input type="checkbox" value="%s" checked> %s</label> ' % (html.escape(status), badge(status))
                    for status in statuses)
    units = units or {}
    waited = any(isinstance(row.get("seat_wait"), (int, float)) and row["seat_wait"] > 0 for row in rows)
    head = (["folder", "name", "status", "why", "tries", "time"] + (["seat wait"] if waited else []) + ["worker"]
            + ["%s (%s)" % (label(column), units[label(column)]) if label(column) in units else label(column)
               for column in value_columns]
            + (more[0] if more else []) + ["files"])
    lines = ['<section><h2>Models (%d)</h2><p id="filter" hidden>Show: %s</p>' % (len(rows), boxes),
             '<table id="models"><thead><tr>%s</tr></thead><tbody>'
             % "".join('<th title="sort">%s</th>' % html.escape(name) for name in head)]
    for row in rows:
        item = str(row.get("item") or "")
        folder, name = os.path.split(item)
        elapsed = row.get("elapsed") or 0.0
        cells = ["<td>%s</td>" % html.escape(folder), "<td>%s</td>" % html.escape(name or item),
                 '<td data-key="%s">%s</td>' % (html.escape(row["status"]), badge(row["status"])),
                 "<td>%s</td>" % html.escape(row.get("error_message") or ""),
                 '<td class="number">%d</td>' % int(row.get("tries") or 1),
                 '<td class="number" data-key="%r">%s</td>' % (float(elapsed), seconds(float(elapsed)))]
        if waited:
            wait = float(row["seat_wait"]) if isinstance(row.get("seat_wait"), (int, float)) else 0.0
            cells.append('<td class="number" data-key="%r">%s</td>' % (wait, seconds(wait)))
        cells.append("<td>%s</td>" % html.escape(row.get("worker") or ""))
        cells += [_cell(row.get(column)) for column in value_columns]
        cells += more[1](row) if more else []
        cells.append("<td>%s</td>" % _link(row.get("results_dir"), page_directory))
        lines.append('<tr data-status="%s">%s</tr>' % (html.escape(row["status"]), "".join(cells)))
    lines.append("</tbody></table></section>")
    lines.append(SCRIPT)
    return "\n".join(lines)
