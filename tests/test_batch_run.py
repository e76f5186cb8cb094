"""What belongs to a run, whatever its engine: in-place items that share a
directory, numbers checked before anything starts, plain records, the
journal and resume after a crash, the checks before the first item, the
Windows job object against a stand-in, models as users give them, the
results table, retries and licence seats."""
import importlib.util
import json
import math
import os
import threading
import time

import pytest

import batch_tasks
import dralvex_sim
from dralvex_computer import batch
from dralvex_computer.batch import items as batch_items
from dralvex_computer.batch.results import report as batch_report
from batch_helpers import overlap, seat_taken, statuses

pytest.importorskip("pebble")


# ---------------------------------------------------- run-level behaviour

def test_in_place_models_of_one_directory_run_one_after_another(models):
    installation, paths = models
    results = batch.solve_models([paths[0]] * 6, "PipeStress", installation, sandbox=False, workers=2)
    assert statuses(results) == ["solved"] * 6


def test_items_start_where_the_last_one_left_nothing(models, tmp_path):
    """An item that moved the working directory or set the module up on
    another installation does not change where the next one starts."""
    installation, _ = models
    other = dralvex_sim.make_installation(str(tmp_path / "other"))
    items = [("wander", 0), ("where", 0), ("elsewhere", other.install_dir), ("installed", 0)]
    results = batch.map_models(batch_tasks.run, items, installation, workers=1)
    assert results[1].value != results[0].value and results[2].value is True
    assert results[3].value == installation.directory


def test_on_result_that_raises_stops_the_run(models):
    installation, _ = models

    def refuse(result):
        raise LookupError("stop here")

    started = time.monotonic()
    with pytest.raises(LookupError) as caught:
        batch.map_models(batch_tasks.run, [("echo", 0)] + [("sleep", 30)] * 4, installation, workers=2,
                         on_result=refuse)
    assert time.monotonic() - started < 20
    assert statuses(caught.value.results)[0] == "done" and "cancelled" in statuses(caught.value.results)


@pytest.mark.parametrize("workers, timeout", [(0, None), (-1, None), (1.5, None), (True, None), (None, 0),
                                              (None, -1), (None, math.nan), (None, math.inf), (None, "3")])
def test_numbers_are_checked_before_anything_starts(models, workers, timeout):
    installation, paths = models
    with pytest.raises(ValueError, match="workers|timeout"):
        batch.solve_models(paths, "PipeStress", installation, workers=workers, timeout=timeout)


def test_unknown_solver_is_refused_at_once(models):
    installation, paths = models
    with pytest.raises(ValueError, match="PipeStres"):
        batch.solve_models(paths, "PipeStres", installation)


def test_installation_pickles_and_names_its_module():
    import pickle
    site = batch.Installation("/opt/app", "Ductavo")
    assert pickle.loads(pickle.dumps(site)) == site and site.module == "Ductavo"
    with pytest.raises(ValueError):
        batch.Installation("/opt/app", "Ductav")


def numpy_values():
    try:
        import numpy
    except ImportError:
        return []
    return [numpy.float32(12.5), {"vector": numpy.arange(2000.0)}, numpy.int64(3)]


@pytest.mark.parametrize("value", [
    {"nested": [b"\xff bytes", {1, 2}], (1, 2): "tuple key"}, math.nan, object(), "caf\udce9", [[[[1]]]] * 3,
    2 ** 64 + 1, 10 ** 400, -1e308, {"$\\notacommand$": 1.0, "max_stress": math.inf},
] + numpy_values())
def test_every_record_is_plain_json(value, tmp_path):
    from dralvex_computer.batch.results import summary
    result = batch.ItemResult(0, "line\nm\udcff.strale", "done", value=value, started=1.7e9, elapsed=1.0)
    text = json.dumps(result.record(), allow_nan=False)
    assert json.loads(text)["status"] == "done"
    assert "np." not in text and "array(" not in text   # numbers, not their repr
    report = str(tmp_path / "report.csv")
    batch_report.write([result.record()], report)
    assert open(report, encoding="utf-8").read().startswith("index,item,status")
    summary.write([result.record()], str(tmp_path / "page.html"))
    if importlib.util.find_spec("pyarrow") and importlib.util.find_spec("pandas"):
        batch_report.write([result.record()], str(tmp_path / "report.parquet"))


def test_deep_values_end_in_a_repr():
    deep = []
    for _ in range(10000):
        deep = [deep]
    assert isinstance(json.dumps(batch_items.plain(deep)), str)


# ------------------------------------------------------- journal, resume

def test_a_model_that_was_not_solved_keeps_its_files_marked_and_a_later_solve_unmarks_them(models, tmp_path):
    installation, paths = models
    fre = os.path.join(os.path.dirname(paths[0]), "conception.fre")
    kept = str(tmp_path / "kept")
    with open(fre) as stream:
        sound = stream.read()
    with open(fre, "w") as stream:
        stream.write("garbage")
    try:
        result, good = batch.solve_models(paths[:2], "PipeStress", installation, workers=2, keep_results=kept)
    finally:
        with open(fre, "w") as stream:
            stream.write(sound)
    assert result.status == "no solution" and good.status == "solved"
    assert "was not solved" in open(os.path.join(result.results_dir, "NOT_SOLVED.txt")).read()
    assert "conception.fre" in os.listdir(result.results_dir)   # the input the solver refused, to open
    assert not os.path.exists(os.path.join(good.results_dir, "NOT_SOLVED.txt"))
    again, = batch.solve_models(paths[:1], "PipeStress", installation, workers=1, keep_results=kept)
    assert again.status == "solved" and again.results_dir == result.results_dir
    assert not os.path.exists(os.path.join(again.results_dir, "NOT_SOLVED.txt"))


def test_each_result_is_in_the_journal_before_anyone_is_told_of_it(models, tmp_path):
    installation, _ = models
    journal = str(tmp_path / "run.journal")
    missing = []

    def look(result):
        with open(journal) as stream:
            ended = {json.loads(line)["index"] for line in stream if '"ended"' in line}
        if result.index not in ended:
            missing.append(result.index)
    results = batch.map_models(batch_tasks.echo, list(range(40)), installation, workers=2, journal=journal,
                               on_result=look)
    assert statuses(results) == ["done"] * 40 and missing == []


def test_journal_and_resume_after_a_crash(models, tmp_path):
    installation, paths = models
    journal = str(tmp_path / "run.journal")
    assert statuses(batch.solve_models(paths[:2], "PipeStress", installation, workers=2, journal=journal)) == \
        ["solved", "solved"]
    lines = open(journal).read().splitlines()
    ends = [number for number, line in enumerate(lines) if json.loads(line)["event"] == "ended"]
    assert len(ends) == 2 and json.loads(lines[-1])["event"] == "run ended"
    cut = json.loads(lines[ends[1]])
    kept_lines = lines[:ends[1]]
    if not any(json.loads(line)["event"] == "started" and json.loads(line)["index"] == cut["index"]
               for line in kept_lines):
        # a quick item can end before the run sees it running (no "started"
        # line then): the line a slower one would have left
        kept_lines.append(json.dumps({"event": "started", "run": cut["run"], "index": cut["index"],
                                      "identity": cut["identity"], "key": cut["key"]}))
    with open(journal, "w") as stream:   # a crash cut the second result's line off, and all after it
        stream.write("\n".join(kept_lines) + "\n" + lines[ends[1]][: len(lines[ends[1]]) // 2])
    kept = json.loads(lines[ends[0]])["index"]
    resumed = batch.solve_models(paths[:2], "PipeStress", installation, workers=2, journal=journal, resume=True)
    assert statuses(resumed) == ["solved", "solved"]
    assert [result.resumed for result in resumed] == [index == kept for index in range(2)]
    assert resumed[1 - kept].run_reason == "ended without a result in an earlier run"
    complete = [json.loads(line) for line in open(journal).read().splitlines()[len(kept_lines) + 1:]]
    assert [entry["record"]["resumed"] for entry in complete if entry["event"] == "ended"] == [True, False]


def test_the_key_follows_the_model_content(models, tmp_path):
    from dralvex_computer.batch.identity import fingerprint
    _, paths = models
    task = batch.SolveTask("PipeStress")

    def key_of(task, path):
        return fingerprint(task.describe(path)[1])
    key = key_of(task, paths[0])
    assert key == key_of(task, paths[0]) != key_of(batch.SolveTask("Aster"), paths[0])
    with open(paths[0], "ab") as stream:
        stream.write(b" ")
    assert key_of(task, paths[0]) != key


# -------------------------------------------- checks before the first item

@pytest.mark.parametrize("broken", ["prepare hook", "settings document", "installation"])
def test_checks_before_the_first_item(models, broken, tmp_path):
    installation, paths = models
    changes = {"prepare hook": {"prepare": "no_such_module:activate"},
               "settings document": {"settings_path": str(tmp_path / "nowhere.settings")},
               "installation": {"directory": str(tmp_path / "no-installation")}}[broken]
    fields = dict(vars(installation), **changes)
    seen = []
    with pytest.raises(batch.BatchSetupError) as caught:
        batch.solve_models(paths, "PipeStress", batch.Installation(**fields), workers=2, on_result=seen.append)
    assert seen == [] and ("no_such_module" in str(caught.value) or "nowhere" in str(caught.value)
                           or "no-installation" in str(caught.value))


# --------------------------------------------------- Windows job object

class StandInKernel32:
    """The calls a worker makes of kernel32 to put itself in a job."""

    class Function:
        def __init__(self, calls, name, result):
            self.calls, self.name, self.result = calls, name, result

        def __call__(self, *arguments):
            self.calls.append((self.name, arguments))
            return self.result

    def __init__(self, **results):
        self.calls = []
        for name in ("CreateJobObjectW", "GetCurrentProcess", "SetInformationJobObject",
                     "AssignProcessToJobObject", "CloseHandle"):
            setattr(self, name, self.Function(self.calls, name, results.get(name, 7 if "Create" in name else 1)))


def test_windows_job_kills_on_close():
    from dralvex_computer.batch.worker import processes
    kernel32 = StandInKernel32(GetCurrentProcess=-1)
    assert processes.windows_kill_on_close_job(kernel32) == 7
    names = [name for name, _ in kernel32.calls]
    assert names == ["CreateJobObjectW", "SetInformationJobObject", "GetCurrentProcess", "AssignProcessToJobObject"]
    _, (job, information_class, limits, size) = kernel32.calls[1]
    assert job == 7 and information_class == 9 and size == 144
    assert limits._obj.BasicLimitInformation.LimitFlags == 0x2000
    assert kernel32.calls[3][1] == (7, -1)


def test_windows_job_failure_closes_the_handle():
    from dralvex_computer.batch.worker import processes
    kernel32 = StandInKernel32(AssignProcessToJobObject=0)
    with pytest.raises(OSError, match="AssignProcessToJobObject"):
        processes.windows_kill_on_close_job(kernel32)
    assert kernel32.calls[-1] == ("CloseHandle", (7,))


def test_progress_output_is_not_the_callers(models, capsys):
    installation, _ = models
    batch.map_models(batch_tasks.run, [("echo", "quiet")], installation, workers=1, progress=False)
    assert "quiet" not in capsys.readouterr().out



# ------------------------------------------------- inputs, results table

def test_models_as_users_give_them(tmp_path):
    from dralvex_computer.batch import inputs
    for name in ("b/two.strale", "a/one.strale", "a/deep/three.STRALE", "a/notes.txt"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("")
    listing = tmp_path / "a" / "list.txt"
    listing.write_text("# the second batch\none.strale\n\n../b/two.strale\n")
    base = str(tmp_path)
    expanded = inputs.expand([os.path.join(base, "a"), os.path.join(base, "**", "*.strale"), "@" + str(listing)])
    assert [os.path.relpath(path, base) for path in expanded] == [
        os.path.join("a", "deep", "three.STRALE"), os.path.join("a", "one.strale"), os.path.join("b", "two.strale")]


def test_results_table_from_results_and_from_the_journal(models, tmp_path):
    pandas = pytest.importorskip("pandas")
    installation, paths = models
    journal = str(tmp_path / "run.journal")
    results = batch.solve_models(paths[:2] + paths[3:], "PipeStress", installation, workers=2, journal=journal,
                                 collect=batch_tasks.collect_analysis)
    for table in (batch.results_table(results), batch.results_table(journal)):
        assert isinstance(table, pandas.DataFrame)
        assert list(table["status"]) == ["solved", "solved", "invalid input"]
        assert list(table["value.max_stress"][:2]) == [12.5, 25.0] and list(table["index"]) == [0, 1, 2]
    report = str(tmp_path / "results.parquet")
    if pytest.importorskip("pyarrow"):
        batch_report.write([result.record() for result in results], report)
        assert list(pandas.read_parquet(report)["value.model"][:2]) == ["good1.strale", "good2.strale"]


# ------------------------------------------------ retries and licences

@pytest.mark.parametrize("retries, status, tries", [(5, "done", 3), (1, "failed", 2), (0, "failed", 1)])
def test_retries_until_the_last_try(engine, models, tmp_path, retries, status, tries):
    _, executor, _ = engine
    installation, _ = models
    seen = []
    counter = str(tmp_path / "counter")
    retry_on = (lambda result: "no licence" in (result.error_message or "")) if retries else None
    results = batch.map_models(batch_tasks.run, [("flaky", (counter, 2))], installation, executor=executor,
                               workers=1, retries=retries, retry_delay=0, on_result=seen.append, retry_on=retry_on)
    assert [(result.status, result.tries) for result in results] == [(status, tries)]
    assert len(seen) == 1   # only the last try is a result
    assert len(open(counter).read()) == tries   # each try ran once: none got an earlier try's result


def test_retry_on_decides(models, tmp_path):
    installation, _ = models
    results = batch.map_models(batch_tasks.run, [("flaky", (str(tmp_path / "counter"), 2))], installation,
                               workers=1, retries=5, retry_delay=0.01, retry_on=lambda result: False)
    assert [(result.status, result.tries) for result in results] == [("failed", 1)]


def test_licence_denials_are_retried_and_never_failed(licensed):
    installation, paths = licensed
    denied = threading.Event()

    def retry_on(result):
        if "no licence available" in (result.error_message or ""):
            denied.set()   # the seat is given back once a solve was denied it
            return True
        return False

    with seat_taken(installation.directory, denied):
        results = batch.solve_models(paths, "PipeStress", installation, workers=2, retries=50, retry_delay=0.05,
                                     retry_on=retry_on)
    assert statuses(results) == ["solved"] * 4, [r.error_message for r in results]
    assert max(result.tries for result in results) > 1


def test_max_running_follows_the_seats(licensed):
    installation, paths = licensed
    results = batch.solve_models(paths, "PipeStress", installation, workers=2, max_running={"PipeStress": 1})
    assert statuses(results) == ["solved"] * 4 and [result.tries for result in results] == [1] * 4
    assert overlap(results) == 1


@pytest.mark.parametrize("options", [{"retries": -1}, {"retry_delay": math.nan}, {"max_running": 0},
                                     {"retries": 1.5}])
def test_retry_and_limit_numbers_are_checked(models, options):
    installation, paths = models
    with pytest.raises(ValueError):
        batch.solve_models(paths, "PipeStress", installation, **options)
