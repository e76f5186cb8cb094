"""The morning summary: the page made from a run (its results or its
journal) holds the counts, the failures with their reasons, the slowest
models, the warnings and the plots, inline; headless Chromium loads it
without a script error and draws something (Debian's chromium, installed
by the set-up for the tests)."""
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import urllib.parse
import zlib

import pytest

import batch_tasks
from dralvex_computer.batch.results import summary
from batch_helpers import command, installation_of, make_model, site_options

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


@pytest.fixture
def journal(ready, tmp_path, worker_environment):
    """The journal of a small real run: two models solved with a value, one
    that gives no solution, one missing."""
    from dralvex_computer import batch
    models = [make_model(tmp_path / "m" / name, name, pipes) for pipes, name in enumerate(("a", "b"), 1)]
    garbage = tmp_path / "g" / "garbage.strale"
    garbage.parent.mkdir()
    garbage.write_text("not a model")
    path = str(tmp_path / "run.journal")
    batch.solve_models(models + [str(garbage), str(tmp_path / "missing.strale")], "PipeStress",
                       installation_of(ready), workers=2, journal=path, collect=batch_tasks.collect_analysis)
    return path


def test_the_page_holds_the_run(journal):
    page = summary.render(journal, title="Plant <sweep>")
    assert "<title>Plant &lt;sweep&gt;</title>" in page
    for text in ("Statuses", "Times", "Failures (2)", "Invalid strale", "no model document at", "Slowest models",
                 "Workers"):
        assert text in page, text
    assert "<img" not in page and "src=" not in page   # nothing beside the page
    assert page.count("<svg") == 3 and "Value: max_stress" in page   # on every interpreter


def test_a_journal_cut_off_by_a_crash_still_gives_a_page(journal, tmp_path):
    with open(journal) as stream:
        text = stream.read()
    with open(journal, "w") as stream:
        stream.write(text[: len(text) - 40])
    assert "Statuses" in summary.render(journal)


def test_the_plots_need_no_plotting_library(journal, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    page = summary.render(journal)
    assert page.count("<svg") == 3 and "Failures (2)" in page


def test_the_timeline_shows_the_waits_before_a_try_again_and_a_value_plot_has_gaps():
    history = [{"try": 1, "status": "failed", "started": 100.0, "elapsed": 1.0, "worker": "vm:1", "wait": 4.0}]
    records = [{"index": 0, "item": "/m/a.strale", "status": "solved", "started": 105.0, "elapsed": 2.0,
                "worker": "vm:1", "tries": 2, "history": history, "value": {"max_stress": 3.0}},
               {"index": 1, "item": "/m/b.strale", "status": "failed", "started": 100.0, "elapsed": 1.0,
                "worker": "vm:2"},
               {"index": 2, "item": "/m/<c>.strale", "status": "solved", "started": 101.0, "elapsed": 1.0,
                "worker": "vm:2", "value": {"max_stress": 5.0}}]
    page = summary.render(records)
    assert "waiting 4.0 s to try again" in page and "waiting to try again</span>" in page   # drawn, in the key
    assert page.count("<rect") >= 3 + 1 and "&lt;c&gt;.strale: 5" in page and "<c>" not in page
    value_plot = page.split("Value: max_stress")[1]
    assert value_plot.count("<circle") == 2 and "<polyline" not in value_plot.split("</svg>")[0]   # a gap at b


def png_is_drawn(path):
    """Whether a PNG screenshot shows more than one flat colour: its pixel
    bytes, unfiltered or not, take many values."""
    with open(path, "rb") as stream:
        data = stream.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    position, pixels = 8, b""
    while position < len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        if kind == b"IDAT":
            pixels += data[position + 8:position + 8 + length]
        position += 12 + length
    return len(set(zlib.decompress(pixels))) > 16


@pytest.mark.skipif(CHROMIUM is None, reason="needs headless Chromium (Debian's chromium)")
def test_the_page_in_a_real_browser(ready, journal, tmp_path):
    page = tmp_path / "summary.html"
    result = command("summary", journal, "-o", str(page))
    assert result.returncode == 0, result.stderr
    browser = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
               "--user-data-dir=%s" % (tmp_path / "profile"), "--enable-logging=stderr", "--v=0"]
    url = "file://" + str(page)
    # the browser is not ours to sanitize: a preloaded ASan runtime (the sanitizer run) hangs it
    environment = {name: value for name, value in os.environ.items()
                   if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    dom = subprocess.run(browser + ["--dump-dom", url], capture_output=True, text=True, timeout=120,
                         env=environment)
    assert 'data-ready="' in dom.stdout and "Failures (2)" in dom.stdout, dom.stderr[-2000:]
    assert "Uncaught" not in dom.stderr and "CONSOLE" not in dom.stderr, dom.stderr[-2000:]
    shot = tmp_path / "summary.png"
    subprocess.run(browser + ["--window-size=1200,1600", "--screenshot=%s" % shot, url], capture_output=True,
                   timeout=120, env=environment)
    assert png_is_drawn(str(shot))


def test_the_models_table_holds_every_model_with_its_values_and_files(ready, tmp_path, worker_environment):
    from dralvex_computer import batch
    models = [make_model(tmp_path / "m" / name, name, pipes) for pipes, name in enumerate(("a", "b <b>&amp;"), 1)]
    results = batch.solve_models(models + [str(tmp_path / "missing.strale")], "PipeStress", installation_of(ready),
                                 workers=2, collect=batch_tasks.collect_analysis, keep_results=str(tmp_path / "kept"))
    page = tmp_path / "pages" / "night.html"
    page.parent.mkdir()
    summary.write(results, str(page))
    text = page.read_text()
    assert "Models (3)" in text and "b &lt;b&gt;&amp;amp;.strale" in text and "<b>&amp;" not in text
    links = [urllib.parse.unquote(link) for link in re.findall(r'<a href="([^"]+)">results</a>', text)]
    assert len(links) == 2 and all((page.parent / link).is_dir() for link in links)   # relative, and there


@pytest.mark.skipif(CHROMIUM is None, reason="needs headless Chromium (Debian's chromium)")
def test_the_models_table_sorts_and_filters_in_a_real_browser(tmp_path):
    records = [{"index": index, "item": "/m/%s.strale" % name, "status": status, "elapsed": elapsed,
                "value": {"max_stress": stress}}
               for index, (name, status, elapsed, stress) in enumerate(
                   [("c", "solved", 3.0, 20.0), ("a", "failed", 1.0, None), ("b", "solved", 2.0, 100.0)])]
    page = tmp_path / "night.html"
    summary.write(records, str(page))
    # the page's own script first, then what a reader does: sort by the value, hide the failures
    page.write_text(page.read_text().replace("</body>", """<script>
var heads = document.querySelectorAll('#models th'), names = Array.prototype.map.call(heads, function (h) {
  return h.textContent; });
heads[names.indexOf('max_stress')].click();
document.querySelector('#filter input[value="failed"]').click();
document.body.setAttribute('data-order', Array.prototype.map.call(document.querySelectorAll('#models tbody tr'),
  function (row) { return row.cells[1].textContent + (row.hidden ? '-hidden' : ''); }).join(','));
</script></body>"""))
    environment = {name: value for name, value in os.environ.items()
                   if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    dom = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=%s" %
                          (tmp_path / "profile"), "--enable-logging=stderr", "--v=0", "--dump-dom",
                          "file://" + str(page)], capture_output=True, text=True, timeout=120, env=environment)
    assert 'data-order="c.strale,b.strale,a.strale-hidden"' in dom.stdout, dom.stderr[-2000:]
    assert "Uncaught" not in dom.stderr, dom.stderr[-2000:]


def test_units_given_to_the_run_stay_with_its_journal_and_show_on_the_page(ready, tmp_path, worker_environment):
    from dralvex_computer import batch
    journal = str(tmp_path / "run.journal")
    batch.map_models(batch_tasks.echo_quiet, [{"max_stress": 1.5}, {"max_stress": 2.5}], installation_of(ready),
                     workers=1, journal=journal, units={"max_stress": "MPa"})
    page = summary.render(journal)
    assert "<th title=\"sort\">max_stress (MPa)</th>" in page and "Value: max_stress (MPa)" in page
    with pytest.raises(ValueError):
        batch.map_models(batch_tasks.echo_quiet, [1], installation_of(ready), units={"max_stress": 3})


def test_solve_writes_the_summary_at_its_end(ready, tmp_path):
    models = [make_model(tmp_path / "m" / name, name) for name in ("a",)]
    page = tmp_path / "morning.html"
    result = command("solve", *site_options(ready), "--solver", "PipeStress", "--summary", str(page), *models)
    assert result.returncode == 0 and "Statuses" in page.read_text(), result.stderr
    text = page.read_text()
    for known in ("The run", "<td>solver</td><td>PipeStress</td>", "--summary", ready.install_dir, "machines",
                  "first start", "dralvex_computer"):
        assert known in text, known


def test_summary_of_a_missing_journal(tmp_path):
    result = command("summary", str(tmp_path / "none.journal"), "-o", str(tmp_path / "s.html"))
    assert result.returncode == 2 and "no journal" in result.stderr




@pytest.mark.parametrize("record", [
    {"index": 0, "status": "solved", "elapsed": float("nan"), "started": float("inf")},
    {"index": 0, "status": "solved", "elapsed": 1e308, "started": 1.7e9, "value": {"max_stress": -1e308}},
    {"index": 0, "status": "solved", "elapsed": 1.0, "started": 1.7e9, "value": 10 ** 400},
    {"idx": 0, "state": "solved", "seconds": 1.0},
    {"index": "0", "status": {"code": 1}, "elapsed": {"s": 1}, "started": "yesterday", "tries": "2",
     "warnings": "one", "worker": 7, "error_message": ["a"]},
], ids=["non-finite times", "huge numbers", "integer beyond floats", "renamed fields", "objects for numbers"])
@pytest.mark.parametrize("shape", ["this version", "an older version"])
def test_a_page_for_any_journal(tmp_path, record, shape):
    journal = tmp_path / "run.journal"
    lines = [{"event": "ended", "key": "k", "record": record}]
    if shape == "this version":
        lines = [{"event": "run", "run": "r", "items": ["m.strale"]},
                 {"event": "ended", "run": "r", "index": 0, "identity": "m", "record": record}]
    journal.write_text("".join(json.dumps(line) + "\n" for line in lines))
    result = command("summary", str(journal), "-o", str(tmp_path / "page.html"))
    assert result.returncode == 0 and "Traceback" not in result.stderr, result.stderr
    assert "1 models" in (tmp_path / "page.html").read_text()
