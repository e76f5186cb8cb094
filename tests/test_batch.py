"""Many models at once. One body runs over every engine (the local pool, a
thread-pool executor, Dask): statuses in input order for each kind of item,
time-outs counted from the item's real start that end what the item
started, and nothing left in the temporary directory. Then what belongs to
one engine or to the run: journal and resume, the checks before the first
item, in-place items that share a directory, numbers, and the caller's own
state."""
import concurrent.futures
import contextlib
import importlib.util
import json
import math
import os
import sys
import tempfile
import threading
import time

import pytest

import batch_tasks
import dralvex_sim
from conftest import SIM, core
from dralvex_computer import batch, facts
from dralvex_computer.batch import items as batch_items, report as batch_report, threads as batch_threads

pytest.importorskip("pebble")
PREPARE = facts.SIMULATED_PREPARE
IS_PYPY = sys.implementation.name == "pypy"
DASK_ON_PYPY = ("Dask distributed installs on PyPy but does not import: psutil's C extension needs PyErr_FormatV, "
                "which PyPy lacks")


@pytest.fixture
def worker_environment(monkeypatch):
    """Worker processes find the stand-ins, the test helpers and the kit."""
    paths = [SIM, os.path.dirname(os.path.abspath(batch_tasks.__file__))]
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(paths))


def make_model(directory, name, pipes=1):
    return dralvex_sim.build_model(core, directory, name, pipes)


def installation_of(site):
    return batch.Installation(site.install_dir, "All", site.settings_path, site.data_sources_path, PREPARE)


@pytest.fixture
def models(ready, tmp_path, worker_environment):
    """Two good models, each in its own directory, one whose in-place solve
    fails on the solver thread (its FRE "file" is a directory), and a path
    that names nothing."""
    paths = [make_model(tmp_path / "models" / name, name, pipes)
             for pipes, name in enumerate(("good1", "good2", "broken"), 1)]
    os.remove(str(tmp_path / "models" / "broken" / "conception.fre"))
    (tmp_path / "models" / "broken" / "broken.fre").mkdir()
    paths.append(str(tmp_path / "models" / "missing.strale"))
    return installation_of(ready), paths


def statuses(results):
    return [result.status for result in results]


def solver_programs(site):
    """Live processes of a simulated installation's solver programs."""
    return [pid for pid, _, state, command_line in processes() if state != "Z" and site.install_dir in command_line]


def processes():
    """(pid, parent pid, state, command line) of every process, from /proc
    (a bare machine has no pgrep)."""
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as stream:
                stat = stream.read()
            with open("/proc/%s/cmdline" % name, "rb") as stream:
                command_line = stream.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        yield int(name), int(fields[1]), fields[0], command_line


def run_directories(directory):
    return [name for name in os.listdir(directory) if name.startswith("dralvex-run-")]


def eventually(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


# ------------------------------------------------------------- engines

@pytest.fixture(scope="module")
def dask_cluster(tmp_path_factory):
    if IS_PYPY:
        pytest.skip(DASK_ON_PYPY)
    distributed = pytest.importorskip("distributed")
    scratch = str(tmp_path_factory.mktemp("dask-tmp"))
    paths = os.pathsep.join([SIM, os.path.dirname(os.path.abspath(batch_tasks.__file__))])
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("PYTHONPATH", paths)
        patch.setenv("TMPDIR", scratch)   # the workers' own temporary directory
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                      local_directory=str(tmp_path_factory.mktemp("dask"))) as cluster:
            with distributed.Client(cluster) as client:
                yield client, scratch


@pytest.fixture(params=["local pool", "thread pool", "dask"])
def engine(request):
    """(name, executor, the temporary directory its workers use)."""
    if request.param == "local pool":
        yield request.param, None, tempfile.gettempdir()
    elif request.param == "thread pool":
        with concurrent.futures.ThreadPoolExecutor(2) as executor:
            yield request.param, executor, tempfile.gettempdir()
    else:
        client, scratch = request.getfixturevalue("dask_cluster")
        yield request.param, client, scratch


def test_every_kind_of_item_on_every_engine(engine, models, private_temporary_directory):
    name, executor, scratch = engine
    installation, paths = models
    results = batch.solve_models(paths, "PipeStress", installation, sandbox=False, executor=executor, workers=2,
                                 collect=batch_tasks.collect_kind)
    assert statuses(results) == ["solved", "solved", "failed", "invalid input"]
    assert results[0].value == ("Solution", "good1.strale") and results[0].item == paths[0]
    assert "FileNotFoundException" in results[2].error_type and "Traceback" in results[2].traceback

    in_process = name == "thread pool"
    items = [("echo", 1), ("raise", 2), ("sleep", 8), ("exit", 5), ("interrupt", 0), ("unloadable", 0), ("echo", 7)]
    expected = ["done", "failed", "timed out", "failed", "failed", "done" if in_process else "failed", "done"]
    if not in_process:
        items.append(("die", 0))
        expected.append("worker lost")
    # a replaced worker sets up again within its item's time: room for a loaded machine
    results = batch.map_models(batch_tasks.run, items, installation, executor=executor, workers=2, timeout=3)
    assert statuses(results) == expected, [(r.status, r.error_message) for r in results]
    assert results[0].value == 1 and (in_process or "echo 1" in results[0].output)
    assert results[1].error_type == "builtins.ValueError" and "bad item 2" in results[1].error_message
    assert results[3].error_type == "builtins.SystemExit" and results[4].error_type == "builtins.KeyboardInterrupt"
    if not in_process:
        assert "brought back" in results[5].error_message
    assert all(result.worker and result.started for result in results), [(r.worker, r.started) for r in results]
    assert 2.5 < results[2].elapsed < 12
    assert eventually(lambda: not run_directories(scratch)), os.listdir(scratch)
    assert run_directories(private_temporary_directory) == []


@pytest.mark.skipif(not os.path.isdir("/proc"), reason="reads processes from /proc")
def test_a_time_out_ends_the_solver_program(engine, models, tmp_path):
    name, executor, _ = engine
    slow = dralvex_sim.make_installation(str(tmp_path / "slow"), solve_seconds=60)
    installation = installation_of(slow)
    _, paths = models
    started = time.monotonic()
    results = batch.solve_models(paths[:1], "PipeStress", installation, executor=executor, timeout=3)
    assert statuses(results) == ["timed out"]
    assert time.monotonic() - started < 30
    assert eventually(lambda: not solver_programs(slow)), solver_programs(slow)


@pytest.mark.skipif(not os.path.isdir("/proc"), reason="reads processes from /proc")
def test_a_killed_worker_takes_its_solver_program_along(engine, models, tmp_path):
    name, executor, _ = engine
    if name == "thread pool":
        pytest.skip("a thread pool's worker is the caller's own process")
    slow = dralvex_sim.make_installation(str(tmp_path / "slow"), solve_seconds=60)
    _, paths = models
    outcome = []
    run = threading.Thread(target=lambda: outcome.extend(
        batch.solve_models(paths[:1], "PipeStress", installation_of(slow), executor=executor, workers=1)))
    run.start()
    try:
        assert eventually(lambda: solver_programs(slow), 60)
        parents = {parent for pid, parent, _, _ in processes() if pid in solver_programs(slow)}
        for worker in parents:
            os.kill(worker, 9)
    finally:
        run.join(120)
    assert statuses(outcome) == ["worker lost"]
    assert eventually(lambda: not solver_programs(slow)), solver_programs(slow)


def test_thread_pool_time_out_counts_from_the_real_start(models):
    installation, _ = models
    with concurrent.futures.ThreadPoolExecutor(1) as executor:
        results = batch.map_models(batch_tasks.run, [("sleep", 1.5), ("sleep", 0.1)], installation,
                                   executor=executor, timeout=1.0)
    assert statuses(results) == ["timed out", "done"]


@pytest.mark.parametrize("order", [[("sleep", 3), ("echo", 1)], [("echo", 1), ("sleep", 3)]], ids=["first", "last"])
def test_thread_pool_leaves_the_callers_state_alone(models, order):
    installation, paths = models
    saved = sys.stdout, tempfile.tempdir, threading.excepthook
    seen = []
    with concurrent.futures.ThreadPoolExecutor(1) as executor:
        results = batch.map_models(batch_tasks.run, order, installation, executor=executor,
                                   timeout=0.5, on_result=lambda result: seen.append((sys.stdout, tempfile.tempdir)))
        # the abandoned item may still run: the caller's state is its own all the same
        assert sorted(statuses(results)) == ["done", "timed out"] and seen == [saved[:2]] * 2
        assert (sys.stdout, tempfile.tempdir, threading.excepthook) == saved


@pytest.mark.parametrize("meanwhile", [False, True], ids=["alone", "while another call collects"])
def test_solve_model_collects_only_its_own_solver_thread(ready, tmp_path, meanwhile):
    broken = make_model(tmp_path / "broken", "broken")
    os.remove(str(tmp_path / "broken" / "conception.fre"))
    (tmp_path / "broken" / "broken.fre").mkdir()
    good = make_model(tmp_path / "good", "good")
    hook = threading.excepthook
    others = []
    with contextlib.ExitStack() as stack:
        if meanwhile:   # e.g. an item abandoned at its time-out, still running
            release = threading.Event()
            stack.callback(release.set)
            entered = threading.Event()

            def collect_meanwhile():
                with batch_threads.solver_thread_errors():
                    entered.set()
                    release.wait(30)
            other_call = threading.Thread(target=collect_meanwhile)
            other_call.start()
            stack.callback(other_call.join)
            assert entered.wait(10)
        stack.callback(setattr, threading, "excepthook", hook)
        threading.excepthook = others.append
        stray = threading.Thread(target=batch_tasks.raise_value_error, args=("stray",))
        with pytest.raises(batch.SolveError) as caught:
            stray.start()
            batch.solve_model(broken, "PipeStress", False)
        stray.join()
        assert type(caught.value.__cause__).__name__ == "FileNotFoundException"
        assert batch.solve_model(good, "PipeStress") is core._Solution_
        core.disposeSolution()
        assert [type(other.exc_value).__name__ for other in others] == ["ValueError"]
        assert meanwhile or threading.excepthook == others.append


def test_a_thread_error_reported_as_the_last_call_ends_goes_to_the_hook_before(capsys, monkeypatch):
    hook, others = threading.excepthook, []
    threading.excepthook = others.append
    ended = threading.Event()
    looking = batch_threads._joiner_of

    def slow_joiner(thread):   # the call ends while the report looks for its joiner
        ended.wait(10)
        return looking(thread)
    monkeypatch.setattr(batch_threads, "_joiner_of", slow_joiner)
    try:
        with batch_threads.solver_thread_errors():
            late = threading.Thread(target=batch_tasks.raise_value_error, args=("late",))
            late.start()
        ended.set()
        late.join()
        assert [type(other.exc_value).__name__ for other in others] == ["ValueError"], capsys.readouterr().err
        assert threading.excepthook == others.append
    finally:
        threading.excepthook = hook


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
    from dralvex_computer.batch import summary
    result = batch.ItemResult(0, "line\nm\udcff.strale", "done", value=value, started=1.7e9, elapsed=1.0)
    text = json.dumps(result.record(), allow_nan=False)
    assert json.loads(text)["status"] == "done"
    assert "np." not in text and "array(" not in text   # numbers, not their repr
    report = str(tmp_path / "report.csv")
    batch_report.write(report, [result.record()])
    assert open(report, encoding="utf-8").read().startswith("index,item,status")
    summary.write([result.record()], str(tmp_path / "page.html"))
    if importlib.util.find_spec("pyarrow") and importlib.util.find_spec("pandas"):
        batch_report.write(str(tmp_path / "report.parquet"), [result.record()])


def test_deep_values_end_in_a_repr():
    deep = []
    for _ in range(10000):
        deep = [deep]
    assert isinstance(json.dumps(batch_items.plain(deep)), str)


# ------------------------------------------------------- journal, resume

def test_journal_and_resume_after_a_crash(models, tmp_path):
    installation, paths = models
    journal = str(tmp_path / "run.journal")
    assert statuses(batch.solve_models(paths[:2], "PipeStress", installation, workers=2, journal=journal)) == \
        ["solved", "solved"]
    lines = open(journal).read().splitlines()
    ends = [number for number, line in enumerate(lines) if json.loads(line)["event"] == "ended"]
    assert len(ends) == 2 and json.loads(lines[-1])["event"] == "run ended"
    with open(journal, "w") as stream:   # a crash cut the second result's line off, and all after it
        stream.write("\n".join(lines[:ends[1]]) + "\n" + lines[ends[1]][: len(lines[ends[1]]) // 2])
    kept = json.loads(lines[ends[0]])["index"]
    resumed = batch.solve_models(paths[:2], "PipeStress", installation, workers=2, journal=journal, resume=True)
    assert statuses(resumed) == ["solved", "solved"]
    assert [result.resumed for result in resumed] == [index == kept for index in range(2)]
    assert resumed[1 - kept].run_reason == "ended without a result in an earlier run"
    complete = [json.loads(line) for line in open(journal).read().splitlines()[ends[1] + 1:]]
    assert [entry["record"]["resumed"] for entry in complete if entry["event"] == "ended"] == [True, False]


def test_the_key_follows_the_model_content(models, tmp_path):
    _, paths = models
    task = batch.SolveTask("PipeStress")
    key = task.key(paths[0])
    assert key == task.key(paths[0]) != batch.SolveTask("Aster").key(paths[0])
    with open(paths[0], "ab") as stream:
        stream.write(b" ")
    assert task.key(paths[0]) != key


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
    from dralvex_computer.batch import processes
    kernel32 = StandInKernel32(GetCurrentProcess=-1)
    assert processes.windows_kill_on_close_job(kernel32) == 7
    names = [name for name, _ in kernel32.calls]
    assert names == ["CreateJobObjectW", "SetInformationJobObject", "GetCurrentProcess", "AssignProcessToJobObject"]
    _, (job, information_class, limits, size) = kernel32.calls[1]
    assert job == 7 and information_class == 9 and size == 144
    assert limits._obj.BasicLimitInformation.LimitFlags == 0x2000
    assert kernel32.calls[3][1] == (7, -1)


def test_windows_job_failure_closes_the_handle():
    from dralvex_computer.batch import processes
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
        assert list(table["max_stress"][:2]) == [12.5, 25.0] and list(table["index"]) == [0, 1, 2]
    report = str(tmp_path / "results.parquet")
    if pytest.importorskip("pyarrow"):
        batch_report.write(report, [result.record() for result in results])
        assert list(pandas.read_parquet(report)["model"][:2]) == ["good1.strale", "good2.strale"]


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


def overlap(results):
    """The most items of a run that ran at once, read from its timeline."""
    events = sorted([(r.started, 1) for r in results] + [(r.started + r.elapsed, -1) for r in results])
    running = most = 0
    for _, change in events:
        running += change
        most = max(most, running)
    return most


@pytest.fixture
def licensed(ready, tmp_path, worker_environment):
    """Four models and an installation whose licence server has one
    PipeStress seat."""
    site = dralvex_sim.make_installation(str(tmp_path / "licensed"), solve_seconds=0.3, licences={"PipeStress": 1})
    paths = [make_model(tmp_path / "lm" / str(index), "m%d" % index, index + 1) for index in range(4)]
    return installation_of(site), paths


@contextlib.contextmanager
def seat_taken(install_dir, until):
    """Another user holds the only seat until ``until`` (an Event) is set,
    or for 30 s at most."""
    from dralvex_sim.solvers import licences
    taken = threading.Event()

    def hold():
        with licences.seat(os.path.join(install_dir, "Licences"), "PipeStress") as granted:
            assert granted
            taken.set()
            until.wait(30)

    holder = threading.Thread(target=hold)
    holder.start()
    taken.wait(10)
    try:
        yield
    finally:
        until.set()
        holder.join()


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
