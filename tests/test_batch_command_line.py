"""The batch layer from outside: ``python -m dralvex_computer solve`` and
``doctor`` in processes of their own. Signals to the command and to its
whole group, a killed command, a report that cannot be written, a script
without the ``__main__`` guard, resuming from a journal, the doctor on
broken machines, and the package imported where there is no bridge."""
import csv
import io
import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import dralvex_sim
from conftest import run_python
from dralvex_computer import SharedFreFileWarning, facts
from batch_helpers import (HAS_PROC, MARK, cli, command, environment, eventually, make_model, marked, run_directories,
                           running_solvers, seat_taken, site_options)

pytest.importorskip("pebble")


@pytest.fixture
def two_models(ready, tmp_path):
    return [make_model(tmp_path / "models" / name, name, pipes) for pipes, name in enumerate(("one", "two"), 1)]


@pytest.mark.parametrize("report", ["report.jsonl", "report.csv"])
def test_solve_and_report(ready, two_models, tmp_path, report):
    (tmp_path / "notes.txt").write_text("")
    result = command("solve", *site_options(ready), "--solver", "PipeStress", "--workers", "2",
                     "--report", str(tmp_path / report), *two_models, str(tmp_path / "notes.txt"))
    assert result.returncode == 1, result.stderr
    text = (tmp_path / report).read_text()
    if report.endswith(".jsonl"):
        assert [json.loads(line)["status"] for line in text.splitlines()] == ["solved", "solved", "invalid input"]
    else:
        rows = list(csv.DictReader(io.StringIO(text)))
        assert [row["status"] for row in rows] == ["solved", "solved", "invalid input"]
    assert not os.path.exists(str(tmp_path / report) + ".journal")   # the report holds it all now


def test_resume_from_the_journal(ready, two_models, tmp_path):
    journal = str(tmp_path / "run.journal")
    arguments = ("solve", *site_options(ready), "--solver", "PipeStress", "--workers", "2", "--journal", journal)
    assert command(*arguments, *two_models).returncode == 0
    again = command(*arguments, "--resume", *two_models)
    assert again.returncode == 0 and "(2 from the journal)" in again.stderr, again.stderr


@pytest.mark.parametrize("report", ["no-such-directory/report.csv", "."])
def test_a_report_that_cannot_be_written_stops_before_the_first_model(ready, two_models, tmp_path, report):
    started = time.monotonic()
    result = command("solve", *site_options(ready), "--solver", "PipeStress", "--report",
                     os.path.join(str(tmp_path), report), *two_models)
    assert result.returncode == 2 and "report" in result.stderr and "Traceback" not in result.stderr
    assert time.monotonic() - started < 30


def test_checks_before_the_first_model_give_one_message(ready, two_models, tmp_path):
    result = command("solve", "--installation", str(tmp_path / "nowhere"), "--settings", ready.settings_path,
                     "--data-sources", ready.data_sources_path, "--solver", "PipeStress", *two_models * 5)
    assert result.returncode == 2 and result.stderr.count("nowhere") >= 1 and "Traceback" not in result.stderr
    assert result.stderr.count("the run cannot start") == 1
    assert result.stderr.count("(repair or reinstall the application)") <= 1


def test_a_script_without_the_main_guard_is_told_so(ready, tmp_path):
    script = tmp_path / "sweep.py"
    script.write_text(
        "from dralvex_computer import batch\nimport batch_tasks\n"
        "site = batch.Installation(%r, 'All', %r, %r, %r)\n"
        "batch.map_models(batch_tasks.run, [('echo', 1)] * 4, site, workers=2)\n"
        % (ready.install_dir, ready.settings_path, ready.data_sources_path, facts.SIMULATED_PREPARE))
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, env=environment(),
                            timeout=120, cwd=str(tmp_path))
    assert result.returncode != 0 and "__name__ == \"__main__\"" in result.stderr, result.stderr[-2000:]
    assert result.stderr.count("Traceback") <= 1, result.stderr[-4000:]   # the script's own, not every worker's


# ------------------------------------------------------------------ signals

def send(process, how):
    if how == "SIGINT twice to the group":
        os.killpg(process.pid, signal.SIGINT)
        time.sleep(0.005)
        os.killpg(process.pid, signal.SIGINT)
    else:
        name, _, target = how.partition(" to the ")
        signum = getattr(signal, name)
        (os.killpg if target == "group" else os.kill)(process.pid, signum)


@pytest.fixture
def long_queue(two_models, tmp_path):
    """40 model files (copies of two), each in a directory of its own."""
    import shutil
    paths = []
    for index in range(40):
        directory = tmp_path / "queue" / str(index)
        directory.mkdir(parents=True)
        paths.append(shutil.copy(two_models[index % 2], str(directory)))
    return paths


@pytest.mark.skipif(not HAS_PROC, reason="reads processes from /proc")
@pytest.mark.parametrize("how, status", [
    ("SIGINT to the group", 130), ("SIGINT twice to the group", 130), ("SIGTERM to the parent", 143),
    ("SIGTERM to the group", 143), ("SIGHUP to the group", 129), ("SIGKILL to the parent", -9),
])
def test_nothing_outlives_an_interrupted_run(ready, long_queue, tmp_path, private_temporary_directory, how, status):
    slow = dralvex_sim.make_installation(str(tmp_path / "slow"), solve_seconds=60)
    report = str(tmp_path / "report.jsonl")
    mark = "outlives-%d" % time.monotonic_ns()   # what this command started, and nothing else on the machine
    process = subprocess.Popen(
        cli("solve", *site_options(slow), "--solver", "PipeStress", "--workers", "2", "--no-progress", "--report",
            report, *long_queue),
        env=environment(**{MARK: mark, "PYTHONFAULTHANDLER": "1"}), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        text=True, start_new_session=True)
    try:
        # the solver programs themselves, not the command (its arguments name the installation too)
        assert eventually(lambda: len(running_solvers(slow)) >= 2, 60), "the solves never started"
        with open("/proc/%d/status" % process.pid) as stream:   # for a failure: its signals as they were sent
            masks = [line.strip() for line in stream if line.startswith(("SigBlk", "SigIgn", "SigCgt"))]
        send(process, how)
        try:
            _, errors = process.communicate(timeout=30)
        except subprocess.TimeoutExpired:   # every Python process of the group prints where its threads are
            os.killpg(process.pid, signal.SIGABRT)
            pytest.fail("the run did not end after %s (%s):\n%s" % (how, masks, process.communicate(timeout=10)[1]))
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    assert process.returncode == status, (errors, masks)

    def leftover():
        return marked(mark)

    assert eventually(lambda: not leftover(), 5), leftover()
    if status > 0:
        rows = [json.loads(line) for line in open(report)]
        assert len(rows) == len(long_queue) and {row["status"] for row in rows} == {"cancelled"}
        assert run_directories(private_temporary_directory) == []
        assert errors.strip().splitlines()[-1].endswith("--report %s %s --resume (from %s)"
                                                         % (report, " ".join(long_queue), os.getcwd())), errors


# ------------------------------------------------------------------- doctor

def broken_machine(tmp_path, ready, case):
    """(extra PYTHONPATH entries, extra environment, doctor options)."""
    bridge = tmp_path / "bridge"
    bridge.mkdir()
    documents = tmp_path / "documents"
    documents.mkdir()
    settings, data_sources = ready.settings_path, ready.data_sources_path

    def document(name, content):
        path = documents / name
        path.write_text(content)
        return str(path)

    if case == "a bridge that raises":
        (bridge / "clr.py").write_text("raise RuntimeError('no .NET runtime found')\n")
        return [str(bridge)], {facts.PREPARE_VARIABLE: ""}, []
    if case == "COM that is missing":
        (bridge / "clr.py").write_text("def AddReference(name): pass\n")
        (bridge / "pythoncom.py").write_text("raise ImportError('DLL load failed')\n")
        return [str(bridge)], {facts.PREPARE_VARIABLE: ""}, []
    if case == "a hook that cannot import":
        return [], {facts.PREPARE_VARIABLE: "no_such_module:activate"}, []
    if case == "data sources null":
        data_sources = document("null.settings", "null")
    elif case == "data sources a list":
        data_sources = document("list.settings", "[1, 2]")
    elif case == "a solver path that is a number":
        settings = str(documents / "number.settings")
        dralvex_sim.installation.write_settings_document(settings, ready.aster, 2)   # 2: a file descriptor
    elif case == "a document nested deep":
        settings = document("deep.settings", "[" * 100000 + "]" * 100000)
    return [], {}, ["--installation", ready.install_dir, "--settings", settings, "--data-sources", data_sources]


@pytest.mark.parametrize("case", ["a bridge that raises", "COM that is missing", "a hook that cannot import",
                                  "data sources null", "data sources a list", "a solver path that is a number",
                                  "a document nested deep"])
def test_the_doctor_reports_a_broken_machine(ready, tmp_path, case):
    paths, extra, options = broken_machine(tmp_path, ready, case)
    env = environment(**extra)
    env["PYTHONPATH"] = os.pathsep.join(paths + [env["PYTHONPATH"]])
    result = subprocess.run(cli("doctor", *options), capture_output=True,
                            text=True, env=env, timeout=120, cwd=str(tmp_path))
    assert result.returncode == 1 and "Traceback" not in result.stdout + result.stderr, result.stdout + result.stderr
    assert "MISSING" in result.stdout and "nothing missing" not in result.stdout


def test_the_doctor_on_a_complete_installation(ready):
    result = command("doctor", *site_options(ready))
    assert result.returncode == 0 and "nothing missing" in result.stdout, result.stdout
    # every optional extra has its line, an absent one with what it costs, and none is a fault
    assert all("extra %s" % module in result.stdout for module in ("pandas", "pyarrow", "distributed"))
    assert all("-> pip install dralvex_computer[" in line for line in result.stdout.splitlines()
               if line.startswith("absent"))
    os.remove(os.path.join(ready.extensions, "Dralvex.PipeStress.Core.dll"))
    broken = command("doctor", *site_options(ready))
    assert broken.returncode == 1 and "MISSING Dralvex.PipeStress.Core.dll" in broken.stdout


def test_the_doctor_refuses_documents_it_would_not_check(ready):
    result = command("doctor", "--settings", ready.settings_path)
    assert result.returncode == 2 and "--installation" in result.stderr and "Traceback" not in result.stderr


def test_the_batch_layer_imports_without_the_bridge():
    result = run_python("""
        import json, sys
        import dralvex_computer
        from dralvex_computer import batch, cli, checks
        from dralvex_computer.commands import doctor
        try:
            dralvex_computer.setup_dralvex_computer
        except ImportError as error:
            print(json.dumps([error.name, "pythonnet" in str(error), "dralvex_computer.dralvex_core" in sys.modules]))
    """, sim=False)
    assert json.loads(result.stdout.strip().splitlines()[-1]) == ["clr", True, False], result.stderr


def test_models_named_relative_to_the_callers_directory(ready, two_models, tmp_path):
    relative = [os.path.relpath(path, str(tmp_path)) for path in two_models]
    result = command("solve", *site_options(ready), "--solver", "PipeStress", "--workers", "1", *relative,
                     cwd=str(tmp_path))
    assert result.returncode == 0, result.stderr


# ------------------------------------------------ results from the command line

def test_collect_and_keep_results_fill_the_report(ready, two_models, tmp_path):
    report, kept = tmp_path / "results.csv", tmp_path / "kept"
    result = command("solve", *site_options(ready), "--solver", "PipeStress", "--workers", "2", "--report",
                     str(report), "--collect", "batch_tasks:collect_analysis", "--keep-results", str(kept),
                     *two_models)
    assert result.returncode == 0, result.stderr
    rows = list(csv.DictReader(io.StringIO(report.read_text())))
    assert [(row["value.model"], float(row["value.max_stress"])) for row in rows] == [("one.strale", 12.5),
                                                                                     ("two.strale", 25.0)]
    for row in rows:
        assert os.path.dirname(row["results_dir"]) == str(kept)
        assert [name for name in os.listdir(row["results_dir"]) if name.endswith(".results")]


@pytest.mark.parametrize("options, message", [
    (["--report", "results.xlsx"], ".csv, .jsonl or .parquet"),
    (["--collect", "no_such_module:collect"], "no_such_module"),
    (["--collect", "batch_tasks"], "MODULE:FUNCTION"),
    (["--max-running", "PipeStress=0"], "SOLVER=N"),
    (["--max-running", "Pipe=2"], "SOLVER=N"),
    (["--retry-on", "no licence ("], "regular expression"),
    (["--retries", "-2"], "retries"),
])
def test_options_refused_before_the_first_model(ready, two_models, tmp_path, options, message):
    result = command("solve", *site_options(ready), "--solver", "PipeStress", *options, *two_models,
                     cwd=str(tmp_path))
    assert result.returncode == 2 and message in result.stderr and "Traceback" not in result.stderr, result.stderr
    assert os.listdir(str(tmp_path)) == [] or "results.xlsx" not in os.listdir(str(tmp_path))


def test_reasons_and_warnings_in_the_summary(ready, tmp_path):
    shared = tmp_path / "shared"
    first = make_model(shared, "first")
    with pytest.warns(SharedFreFileWarning):   # saving the second beside the first already says so
        second = make_model(shared, "second", 2)
    garbage = tmp_path / "garbage" / "garbage.strale"
    garbage.parent.mkdir()
    garbage.write_text("not a model")
    report = tmp_path / "results.jsonl"
    result = command("solve", *site_options(ready), "--solver", "PipeStress", "--in-place", "--report", str(report),
                     first, second, str(garbage))
    rows = [json.loads(line) for line in report.read_text().splitlines()]
    assert [row["status"] for row in rows] == ["solved", "solved", "no solution"], result.stderr
    assert rows[2]["error_message"] == "Invalid strale"
    assert any("SharedFreFileWarning" in warning for row in rows[:2] for warning in row["warnings"])
    assert "with warnings" in result.stderr and "warning: SharedFreFileWarning" in result.stderr
    assert result.stderr.count("garbage.strale") == 1   # each failure told once


def test_licence_denials_retried_from_the_command_line(ready, tmp_path):
    site = dralvex_sim.make_installation(str(tmp_path / "licensed"), solve_seconds=0.2, licences={"PipeStress": 1})
    models = [make_model(tmp_path / "m" / str(index), "m%d" % index, index + 1) for index in range(4)]
    report = tmp_path / "results.jsonl"
    released = threading.Timer(3.0, lambda: None)   # the seat is given back 3 s after the command starts
    with seat_taken(site.install_dir, released.finished):
        released.start()
        result = command("solve", *site_options(site), "--solver", "PipeStress", "--workers", "2", "--retries",
                         "50", "--retry-delay", "0.05", "--retry-on", "no licence available", "--report",
                         str(report), *models)
    assert result.returncode == 0, result.stderr
    assert "tried again" not in result.stderr   # retries are told by the bar and the log, not as warnings
    rows = [json.loads(line) for line in report.read_text().splitlines()]
    assert {row["status"] for row in rows} == {"solved"}   # denied seats were retried, never failed
    limited = command("solve", *site_options(site), "--solver", "PipeStress", "--workers", "2", "--max-running",
                      "PipeStress=1", *models)
    assert limited.returncode == 0, limited.stderr


@pytest.mark.skipif(not HAS_PROC, reason="reads processes from /proc")
def test_a_command_the_tests_start_ends_with_the_test_process(ready, tmp_path):
    """A suite killed mid-test (a CI time-out) leaves no command running
    with no parent."""
    slow = dralvex_sim.make_installation(str(tmp_path / "slow"), solve_seconds=60)
    model = make_model(tmp_path / "m", "m")
    mark = "orphan-%d" % time.monotonic_ns()
    arguments = ["solve", *site_options(slow), "--solver", "PipeStress", "--workers", "1", model]
    test_process = subprocess.Popen(
        [sys.executable, "-c", "import json, sys, batch_helpers; batch_helpers.command(*json.loads(sys.argv[1]))",
         json.dumps(arguments)],
        env=environment(**{MARK: mark}), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert eventually(lambda: running_solvers(slow), 60), "the solve never started"
        test_process.kill()
        test_process.wait()
        assert eventually(lambda: not marked(mark), 10), marked(mark)
    finally:
        for pid, *_ in marked(mark):
            os.kill(pid, signal.SIGKILL)
