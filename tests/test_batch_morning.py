"""What the morning says is true: a night reads the same from its journal
and its reports, a result's every field is known to every reader, a rerun
or an interrupted night is compared as the night it leaves, files that are
not runs are refused by name, --only failed takes every failure, the page
is true while the run goes on, and a failure says why."""
import json
import os
import subprocess
import sys
import pytest

import dralvex_sim
from dralvex_computer.batch import ItemResult
from dralvex_computer.batch.protocol import Scratch
from dralvex_computer.batch.results import compare, night as nights, report, schema, summary
from dralvex_computer.batch.worker import own_stamp
from dralvex_computer.commands import solve as solve_command
from batch_helpers import cli, command, environment, installation_of, make_model, site_options, solves


def night_journal(path, records, ended=True, process=None, started=()):
    """A journal of one run of ``records`` (identity = item); those in
    ``started`` began and never ended."""
    names = [record["item"] for record in records]
    lines = [{"event": "run", "run": "r", "format": 2, "items": names, "identities": names, "host": os.uname()[1],
              "process": process}]
    for index, record in enumerate(records):
        if record["item"] in started:
            lines.append({"event": "started", "run": "r", "index": index, "identity": record["item"], "time": 1.0})
        elif record.get("status") != "never":
            lines.append({"event": "ended", "run": "r", "index": index, "identity": record["item"], "key": "k",
                          "inputs": {"model": "m"}, "record": dict(record, index=index, identity=record["item"])})
    if ended:
        lines.append({"event": "run ended", "run": "r", "interrupted": False})
    path.write_text("".join(json.dumps(line) + "\n" for line in lines))
    return str(path)


# values of every kind a collect returns, and one named like a result's field
VALUES = {"max_stress": 312.5, "cases": [1, 2], "flag": True, "note": "", "verdict": "pass", "zero": 0,
          "ratio": "nan", "count": "42", "status": "ok", "seat_wait": 7.0, "nested": {"a": [1.5]}}


def records(seat_wait):
    return [dict(ItemResult(index, "m%d" % index, "solved", dict(VALUES, index=index), seat_wait=seat_wait + index,
                            elapsed=1.0 + seat_wait, worker="h:%d" % seat_wait).record(), identity="m%d" % index)
            for index in range(3)] + [ItemResult(3, "m3", "failed", error_message="", identity="m3").record()]


@pytest.mark.parametrize("form", [".journal", ".jsonl", ".csv"])
def test_a_night_reads_the_same_from_its_journal_and_its_reports(tmp_path, form):
    journal = night_journal(tmp_path / "night.journal", records(seat_wait=2.06))
    path = str(tmp_path / ("again" + form))
    if form == ".journal":   # the same models another night: other waits, other workers, same values
        night_journal(tmp_path / "again.journal", records(seat_wait=2.62))
    else:
        report.write(journal, path)
    changes = compare.compare(compare.load(journal), compare.load(path))
    assert [change.category for change in changes] == ["unchanged"] * 3 + ["still failing"]
    assert compare.load(path)[0].values == dict(VALUES, index=0)


def test_every_field_of_a_result_is_a_field_to_every_reader(tmp_path):
    """A field added to the result type is never taken for a value: each
    reader takes the fields from the one declaration."""
    fields = [name for name in schema.FIELDS if name not in ("index", "item", "status", "value", "identity")]
    assert set(fields) >= {"seat_wait", "worker", "elapsed", "history"}
    old = ItemResult(0, "m", "solved", {"max_stress": 1.0}, identity="m").record()
    new = dict(old, **{name: "changed %s" % name for name in fields})
    assert compare.compare(compare.rows([old]), compare.rows([new]))[0].category == "unchanged"
    for name in fields:
        assert schema.record(schema.row(new))[name] == new[name]
    page = summary.render([new])
    head = page.split('<table id="models">')[1].split("</thead>")[0]
    assert head.count("<th ") == len(["folder", "name", "status", "why", "tries", "time", "worker", "max_stress",
                                     "files"]) and ">max_stress<" in head


def test_an_interrupted_night_did_not_run_and_did_not_regress(tmp_path):
    before = night_journal(tmp_path / "before.journal", [{"item": "a", "status": "solved", "value": 1.0},
                                                         {"item": "b", "status": "solved", "value": 1.0},
                                                         {"item": "c", "status": "cancelled"}])
    tonight = night_journal(tmp_path / "tonight.journal", [{"item": "a", "status": "solved", "value": 1.0},
                                                           {"item": "b", "status": "never"},
                                                           {"item": "c", "status": "failed"}], ended=False)
    changes = {change.identity: change.category for change in compare.compare(compare.load(before),
                                                                               compare.load(tonight))}
    assert changes == {"a": "unchanged", "b": "not run", "c": "newly failing"}
    calm = compare.compare(compare.load(before), compare.load(before)[:2] + [compare.Row("c", "c", "cancelled", {},
                                                                                          None)])
    assert not compare.regressed(calm)


@pytest.mark.parametrize("name, text", [("night.jsonl", "not json\n"), ("night.csv", "a,b\n1,2\n"),
                                        ("night.jsonl", ""), ("night.journal", '{"event": "started"}\n[1]\n'),
                                        ("folder", None)])
def test_a_file_that_is_not_a_run_is_refused_by_name(tmp_path, name, text):
    good = night_journal(tmp_path / "good.journal", [{"item": "a", "status": "solved"}])
    path = tmp_path / name
    path.mkdir() if text is None else path.write_text(text)
    refused = command("compare", good, str(path))
    assert refused.returncode == 2 and str(path) in refused.stderr and "Traceback" not in refused.stderr


def test_compare_into_a_closed_pipe_ends_quietly(tmp_path):
    many = [{"item": "m%d" % index, "status": "solved", "value": index} for index in range(3000)]
    old = night_journal(tmp_path / "old.journal", many)
    new = night_journal(tmp_path / "new.journal", [dict(record, value=-1) for record in many])
    reader = subprocess.Popen([sys.executable, "-m", "dralvex_computer", "compare", old, new], env=environment(),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert reader.stdout.readline()
    reader.stdout.close()   # as head does after its line
    assert reader.wait(120) == 1 and b"Error" not in reader.stderr.read()


def test_only_failed_takes_every_model_that_did_not_solve(tmp_path):
    statuses = ["solved", "no solution", "failed", "timed out", "worker lost", "invalid input", "cancelled"]
    journal = night_journal(tmp_path / "night.journal", [{"item": status, "status": status} for status in statuses])
    assert solve_command._failed_models("failed", journal) == statuses[1:6]
    assert solve_command._failed_models("not-run", journal) == ["cancelled"]
    assert solve_command._failed_models("timed-out,cancelled", journal) == ["timed out", "cancelled"]
    with pytest.raises(ValueError, match="not-run"):
        solve_command._failed_models("broken", journal)


def test_the_page_of_a_night_in_progress(tmp_path):
    night = [{"item": name, "status": "solved" if name == "done" else "never"}
             for name in ("done", "running", "waiting", "queued")]
    journal = night_journal(tmp_path / "night.journal", night, ended=False, process=own_stamp(),
                            started=("running", "waiting"))
    scratch = Scratch("r").root
    os.makedirs(scratch, exist_ok=True)
    open(os.path.join(scratch, "waiting-2"), "w").close()
    try:
        page = summary.render(journal)
    finally:
        os.remove(os.path.join(scratch, "waiting-2"))
        os.rmdir(scratch)
    statuses = [record["status"] for record in nights.night(journal)[0]]
    assert statuses == ["solved", "running", "running", "queued"]   # its note gone, the waiting one runs
    assert "In progress</strong>: 1 of 4 models have ended; 1 running, 1 waiting for a licence seat, 1 queued" in page
    assert "cancelled" not in page
    with open(journal, "a") as stream:
        stream.write(json.dumps({"event": "run ended", "run": "r", "interrupted": True, "reason": "SIGINT"}) + "\n")
    assert [record["status"] for record in nights.night(journal)[0]] == ["solved"] + ["cancelled"] * 3


def test_numpy_parameters_are_written_as_the_numbers_they_are(tmp_path):
    numpy = pytest.importorskip("numpy")
    from dralvex_computer.batch.study import designs, points
    table = [{"wall": wall, "count": numpy.int64(3)} for wall in numpy.linspace(4.0, 6.0, 3)]
    path = str(tmp_path / "parameters.csv")
    designs.write_csv(table, path)
    assert "np." not in open(path).read()
    assert [points.point_key(point) for point in designs.read_csv(path)] == [points.point_key(point) for point in table]


# ------------------------------------------------------------ real nights

def test_the_reasons_of_an_empty_model_and_a_bad_load_file(ready, tmp_path, worker_environment):
    from dralvex_computer import batch
    empty = make_model(tmp_path / "empty", "empty", 0)
    loaded = make_model(tmp_path / "loaded", "loaded")
    (tmp_path / "loaded" / "loads.thf").write_bytes(b"\xff\xfe not text")
    kept = tmp_path / "kept"
    results = batch.solve_models([empty, loaded], "PipeStress", installation_of(ready), workers=2,
                                 keep_results=str(kept))
    assert [result.error_message for result in results] == [
        "the analysis is empty: the model has no elements",
        "pipestress: cannot read the thermal-load file loads.thf: 'utf-8' codec can't decode byte 0xff in position 0:"
        " invalid start byte"]
    for result in results:
        with open(os.path.join(result.results_dir, "NOT_SOLVED.txt")) as stream:
            assert result.error_message in stream.read()
    assert "cannot read the thermal-load file" in open(os.path.join(results[1].results_dir, "solver-output.txt")).read()


def test_a_rerun_of_the_failures_compares_as_the_night(ready, tmp_path):
    good = make_model(tmp_path / "models" / "good", "good")
    broken = make_model(tmp_path / "models" / "broken", "broken", 0)
    solve = ("solve", *site_options(ready), "--solver", "PipeStress", "--workers", "2", "--no-progress")
    before, night = str(tmp_path / "before.journal"), str(tmp_path / "night.journal")
    assert command(*solve, "--journal", before, good, broken).returncode == 1
    first = command(*solve, "--journal", night, good, broken)
    assert "to run them again: " in first.stderr and "--only failed" in first.stderr
    again = first.stderr.split("to run them again: ")[1].rsplit(" (from ", 1)[0]
    count = len(solves(ready))
    morning = command(*solve, "--journal", night, "--only", "failed", "--compare", before)
    assert [run["models"] for run in solves(ready, count)] == [["broken.strale"]]   # the failure alone
    assert again.endswith("--only failed") and night in again
    assert morning.returncode == 1 and "1 still failing, 1 unchanged" in morning.stderr   # the night, no "removed"
    said = command("compare", before, night)
    assert said.stdout.split("\n")[0] in morning.stderr and said.returncode == 0   # as compare says: no regression
    page = tmp_path / "page.html"
    assert command("summary", night, "-o", str(page), "--compare", before).returncode == 0
    text = page.read_text()
    assert "2 models;" in text and "Since the last run" in text and "dralvex_computer" in text


def test_a_night_that_cannot_start_says_why_once(ready, tmp_path):
    from test_batch_notify import receiver
    model = make_model(tmp_path / "m", "m")
    with receiver("webhook") as server:
        refused = command("solve", *site_options(ready), "--solver", "PipeStress", "--seats", "PipeStres=2",
                          "--notify", "http://127.0.0.1:%d/hook" % server.server_address[1], model)
        assert refused.returncode == 2 and refused.stderr.count("\n") == 1 and "PipeStres" in refused.stderr
        assert len(server.received) == 1 and "did not start" in server.received[0]["text"]
        assert "PipeStres" in server.received[0]["reason"]


SWEEP_VALUES = '''import os, signal


def max_stress(solution, path):
    """The recipe's collect; the first model's worker is killed in its first collect, once."""
    mark = os.path.join(os.path.dirname(os.path.abspath(__file__)), "killed-once")
    if path.endswith("m00.strale") and not os.path.exists(mark):
        open(mark, "w").close()
        os.kill(os.getpid(), signal.SIGKILL)
    return {"max_stress": solution.Results["analysis"]["max_stress"]}
'''


def test_the_readme_overnight_recipe_as_written(ready, tmp_path):
    """The README's overnight sweep on a simulated site of 2 seats: a worker
    killed mid-model is tried again, every model solves, the page is live
    while the night runs and whole after it."""
    import re
    import shlex
    import time
    from conftest import ROOT
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as stream:
        readme = stream.read()
    recipe = re.search(r"An overnight sweep,\s+from the command line to the page read in the morning:\s+```sh\n(.*?)```",
                       readme, re.S).group(1)
    argv = shlex.split(recipe.split("\n#")[0].replace("\\\n", " "))
    site = dralvex_sim.make_installation(str(tmp_path / "site"), solve_seconds=0.4, licences={"PipeStress": 2})
    where = argv.index("--installation")
    argv[where:where + 2] = site_options(site)
    for index in range(10):
        make_model(tmp_path / "models" / ("m%02d" % index), "m%02d" % index)
    (tmp_path / "sweep_values.py").write_text(SWEEP_VALUES)
    night = subprocess.Popen(cli(*argv[argv.index("solve"):]), cwd=str(tmp_path), stderr=subprocess.PIPE, text=True,
                             env=environment(PYTHONPATH=os.pathsep.join([str(tmp_path), environment()["PYTHONPATH"]])))
    page, seen = tmp_path / "sweep.html", ""
    while night.poll() is None and "In progress" not in seen:
        seen = page.read_text() if page.exists() else ""
        time.sleep(0.05)
    assert night.wait(300) == 0, night.stderr.read()
    assert "In progress" in seen and "queued" in seen   # a page while the night ran
    assert "In progress" not in page.read_text() and "Failures (0)" in page.read_text()
    outcomes = [entry["outcome"] for entry in dralvex_sim.solve_log(site.install_dir)]
    assert outcomes.count("solved") == 11 and "no licence" not in outcomes   # the killed one twice
    rows = compare.load(str(tmp_path / "sweep.csv"))
    assert [row.status for row in rows] == ["solved"] * 10 and all("max_stress" in row.values for row in rows)
