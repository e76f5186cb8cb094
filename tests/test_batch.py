"""Many models at once: results in input order with the right status for
each kind of item, through the local pool and through Dask; nothing left in
the temporary directory; the command line's exit statuses and report; the
doctor; Ctrl-C."""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

import pytest

import batch_tasks
import dralvex_sim
from conftest import ROOT, SIM, cc, core
from dralvex_computer import batch

pytest.importorskip("pebble")
PREPARE = "dralvex_sim.kit:activate"


@pytest.fixture
def worker_environment(monkeypatch):
    """Worker processes find the stand-ins, the test helpers and the kit."""
    paths = [SIM, os.path.dirname(os.path.abspath(batch_tasks.__file__))]
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(paths))
    monkeypatch.setenv("DRALVEX_COMPUTER_PREPARE", PREPARE)


@pytest.fixture
def models(ready, tmp_path, worker_environment):
    """Two good models, each in its own directory, one whose in-place solve
    fails on the solver thread (its FRE "file" is a directory), and a path
    that names nothing."""
    paths = []
    for name in ("good1", "good2", "broken"):
        directory = tmp_path / "models" / name
        directory.mkdir(parents=True)
        model = core.createPipingStrale()
        core.executeCommand(core.createCommand("AddPipe", model))
        path = str(directory / (name + ".strale"))
        core.saveStrale(model, path)
        paths.append(path)
    os.remove(str(tmp_path / "models" / "broken" / "conception.fre"))
    (tmp_path / "models" / "broken" / "broken.fre").mkdir()
    paths.append(str(tmp_path / "models" / "missing.strale"))
    installation = batch.Installation(ready.install_dir, "All", ready.settings_path, ready.data_sources_path, PREPARE)
    return installation, paths


def statuses(results):
    return [result.status for result in results]


def test_solve_models_in_input_order(models, private_temporary_directory):
    installation, paths = models
    seen = []
    results = batch.solve_models(paths, "PipeStress", installation, sandbox=False, workers=2,
                                 collect=batch_tasks.collect_kind, on_result=seen.append)
    assert statuses(results) == ["solved", "solved", "failed", "invalid input"]
    assert [result.item for result in results] == paths and sorted(r.index for r in seen) == [0, 1, 2, 3]
    assert results[0].value == ("Solution", "good1.strale")
    assert "FileNotFoundException" in results[2].error_type and "Traceback" in results[2].traceback
    assert all(result.worker and result.elapsed >= 0 for result in results)
    assert os.listdir(private_temporary_directory) == []


def test_sandboxed_solves_leave_nothing_behind(models, private_temporary_directory):
    installation, paths = models
    results = batch.solve_models(paths[:2], "PipeStress", installation, workers=2)
    assert statuses(results) == ["solved", "solved"]
    assert os.listdir(private_temporary_directory) == []


def test_map_models_time_out_and_lost_workers(models, private_temporary_directory):
    installation, _ = models
    items = [("echo", 1), ("raise", 2), ("sleep", 60), ("die", 4), ("echo", 5)]
    started = time.monotonic()
    results = batch.map_models(batch_tasks.run, items, installation, workers=2, timeout=3)
    assert time.monotonic() - started < 50
    assert statuses(results) == ["done", "failed", "timed out", "worker lost", "done"]
    assert results[0].value == 1 and "echo 1" in results[0].output
    assert results[1].error_type == "builtins.ValueError" and "bad item 2" in results[1].error_message
    assert os.listdir(private_temporary_directory) == []


def test_unknown_solver_is_refused_at_once(models):
    installation, paths = models
    with pytest.raises(ValueError, match="PipeStres"):
        batch.solve_models(paths, "PipeStres", installation)


def test_installation_pickles_and_names_its_module():
    import pickle
    site = batch.Installation("/opt/app", cc.DralvexModule.Ductavo)
    assert pickle.loads(pickle.dumps(site)) == site and site.module == "Ductavo"
    with pytest.raises(ValueError):
        batch.Installation("/opt/app", "Ductav")


def test_solve_model_raises_with_the_solver_thread_error(documents_dir):
    directory, path = documents_dir
    os.remove(os.path.join(directory, "conception.fre"))
    os.mkdir(os.path.join(directory, "plant.fre"))
    with pytest.raises(batch.SolveError) as caught:
        batch.solve_model(path, "PipeStress", False)
    assert type(caught.value.__cause__).__name__ == "FileNotFoundException"


def test_solve_model_returns_the_solution(documents_dir):
    directory, path = documents_dir
    solution = batch.solve_model(path, "PipeStress", True)
    assert solution is core._Solution_ is not None
    core.disposeSolution()


@pytest.fixture
def documents_dir(ready, tmp_path, capsys):
    directory = tmp_path / "plant"
    directory.mkdir()
    model = core.createPipingStrale()
    core.executeCommand(core.createCommand("AddPipe", model))
    path = str(directory / "plant.strale")
    core.saveStrale(model, path)
    return str(directory), path


# -------------------------------------------------------------------- Dask

@pytest.mark.skipif(sys.implementation.name == "pypy",
                    reason="Dask distributed installs on PyPy but does not import: psutil's C extension needs "
                           "PyErr_FormatV, which PyPy lacks")
def test_the_same_through_a_dask_local_cluster(models, tmp_path, private_temporary_directory):
    distributed = pytest.importorskip("distributed")
    installation, paths = models
    dask = pytest.importorskip("dask")
    dask.config.set({"temporary-directory": str(tmp_path / "dask")})
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  local_directory=str(tmp_path / "dask")) as cluster:
        with distributed.Client(cluster) as client:
            results = batch.solve_models(paths, "PipeStress", installation, sandbox=False, executor=client)
            assert statuses(results) == ["solved", "solved", "failed", "invalid input"]
            items = [("echo", 1), ("sleep", 60), ("die", 3), ("raise", 4)]
            results = batch.map_models(batch_tasks.run, items, installation, executor=client, timeout=3)
            assert statuses(results) == ["done", "timed out", "worker lost", "failed"]
    assert os.listdir(private_temporary_directory) == []


# ------------------------------------------------------------ command line

def command(*arguments, env=None, **options):
    environment = dict(os.environ, PYTHONPATH=SIM, DRALVEX_COMPUTER_PREPARE=PREPARE, **(env or {}))
    return subprocess.run([sys.executable, "-m", "dralvex_computer", *arguments], capture_output=True, text=True,
                          env=environment, timeout=180, **options)


@pytest.mark.parametrize("report", ["report.jsonl", "report.csv"])
def test_command_line_solve_and_report(models, tmp_path, report):
    installation, paths = models
    result = command("solve", "--installation", installation.directory, "--solver", "PipeStress",
                     "--settings", installation.settings_path, "--data-sources", installation.data_sources_path,
                     "--workers", "2", "--in-place", "--report", str(tmp_path / report), *paths)
    assert result.returncode == 1, result.stderr
    text = (tmp_path / report).read_text()
    if report.endswith(".jsonl"):
        rows = [json.loads(line) for line in text.splitlines()]
        assert [row["status"] for row in rows] == ["solved", "solved", "failed", "invalid input"]
    else:
        assert text.splitlines()[0].startswith("index,item,status") and len(text.splitlines()) >= 5
    good = command("solve", "--installation", installation.directory, "--solver", "PipeStress",
                   "--settings", installation.settings_path, "--data-sources", installation.data_sources_path,
                   "--workers", "1", *paths[:2])
    assert good.returncode == 0, good.stderr


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


@pytest.mark.skipif(not os.path.isdir("/proc"), reason="reads processes from /proc")
def test_command_line_is_interrupted_by_sigint(models, tmp_path, private_temporary_directory):
    installation, paths = models
    slow = dralvex_sim.make_installation(str(tmp_path / "slow"), solve_seconds=30)
    process = subprocess.Popen(
        [sys.executable, "-m", "dralvex_computer", "solve", "--installation", slow.install_dir, "--solver",
         "PipeStress", "--settings", slow.settings_path, "--data-sources", slow.data_sources_path,
         "--workers", "2", "--no-progress", *paths[:2]],
        env=dict(os.environ, PYTHONPATH=SIM, DRALVEX_COMPUTER_PREPARE=PREPARE), stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, text=True, start_new_session=True)
    time.sleep(8)   # workers started and busy
    workers = [pid for pid, parent, _, _ in processes() if parent == process.pid]
    assert workers
    os.killpg(process.pid, signal.SIGINT)
    try:
        _, errors = process.communicate(timeout=30)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    assert process.returncode == 130, errors
    def leftover():
        # the workers, and the solver programs they started (zombies are gone)
        return [(pid, command_line) for pid, _, state, command_line in processes()
                if state != "Z" and (pid in workers or slow.install_dir in command_line)]

    for _ in range(50):   # ended processes may take a moment to go
        if not leftover():
            break
        time.sleep(0.1)
    assert leftover() == []
    assert os.listdir(private_temporary_directory) == []


def test_doctor_on_a_complete_and_a_broken_installation(ready, tmp_path):
    arguments = ("doctor", "--installation", ready.install_dir, "--settings", ready.settings_path,
                 "--data-sources", ready.data_sources_path)
    complete = command(*arguments)
    assert complete.returncode == 0, complete.stdout
    assert "nothing missing" in complete.stdout and "bridge module clr" in complete.stdout
    os.remove(os.path.join(ready.extensions, "Dralvex.PipeStress.Core.dll"))
    broken = command(*arguments)
    assert broken.returncode == 1
    assert "MISSING Dralvex.PipeStress.Core.dll" in broken.stdout and "1 missing" in broken.stdout


def test_doctor_without_the_bridge(tmp_path):
    environment = dict(os.environ)
    environment.pop("DRALVEX_COMPUTER_PREPARE", None)
    environment["PYTHONPATH"] = ""
    result = subprocess.run([sys.executable, "-m", "dralvex_computer", "doctor"], capture_output=True, text=True,
                            env=environment, cwd=str(tmp_path), timeout=60)
    assert result.returncode == 1
    assert "MISSING bridge module clr" in result.stdout and "pythonnet" in result.stdout
