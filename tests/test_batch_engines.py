"""Many models at once, one body over every engine (the local pool, a
thread-pool executor, Dask): statuses in input order for each kind of item,
time-outs counted from the item's real start that end what the item
started, a killed worker, and nothing left in the temporary directory; the
thread-pool engine's care for the caller's own state."""
import concurrent.futures
import contextlib
import os
import subprocess
import sys
import tempfile
import threading
import time

import pytest

import batch_tasks
import dralvex_sim
from conftest import core
from dralvex_computer import batch
from dralvex_computer.batch.worker import threads as batch_threads
from batch_helpers import (environment, eventually, installation_of, make_model, processes, run_directories,
                           running_solvers, solver_programs, statuses)

pytest.importorskip("pebble")


# ------------------------------------------------------------- engines

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
def test_a_time_out_ends_the_solver_program_and_keeps_the_files(engine, models, tmp_path):
    name, executor, _ = engine
    slow = dralvex_sim.make_installation(str(tmp_path / "slow"), solve_seconds=60)
    installation = installation_of(slow)
    _, paths = models
    started = time.monotonic()
    kept = str(tmp_path / "kept")
    results = batch.solve_models(paths[:1], "PipeStress", installation, executor=executor, timeout=3,
                                 keep_results=kept)
    assert statuses(results) == ["timed out"]
    assert time.monotonic() - started < 30
    assert eventually(lambda: not solver_programs(slow)), solver_programs(slow)
    # its run directory as the solver left it, marked, to open in the morning
    assert results[0].results_dir, (results[0].results_dir, results[0].error_message)
    assert "was not solved: it ran past 3" in open(os.path.join(results[0].results_dir, "NOT_SOLVED.txt")).read()
    assert os.path.basename(paths[0]) in os.listdir(results[0].results_dir)


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
        assert eventually(lambda: running_solvers(slow), 60)
        parents = {parent for pid, parent, _, _ in processes() if pid in running_solvers(slow)}
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




# ------------------------------------------------- each engine's worker hooks

class FakeClient:
    """The part of Dask's client that the worker hooks use."""

    def __init__(self):
        self.metadata = {}

    def get_metadata(self, key, default=None):
        return self.metadata.get(tuple(key), default)

    def set_metadata(self, key, value):
        self.metadata[tuple(key)] = value


def fake_task(installation, hooks, index=0):
    from dralvex_computer.batch.protocol import ItemTask
    return ItemTask(batch_tasks.echo, index, index, installation, "fake-run", "elsewhere:1", hooks)


SLOW_WORKER = """
import os, signal, sys, time
if __name__ == "__mp_main__" and sys.argv[2] == "slow":
    # The second worker to start is late and slow to end: one worker did
    # every tiny item, and the run ends while the other still starts.
    try:
        os.close(os.open(sys.argv[1], os.O_CREAT | os.O_EXCL))
    except FileExistsError:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        time.sleep(2)
import batch_tasks
from dralvex_computer import batch

if __name__ == "__main__":
    import logging
    logging.basicConfig()
    results = batch.map_models(batch_tasks.run, [("echo", 1)] * 3, batch.Installation(*sys.argv[3:8]), workers=2)
    print([result.status for result in results])
"""


@pytest.mark.skipif(sys.platform == "win32", reason="a named semaphore is a POSIX thing")
def test_a_worker_still_starting_as_the_run_ends_says_nothing(ready, tmp_path):
    script = tmp_path / "slow_worker.py"
    script.write_text(SLOW_WORKER)
    result = subprocess.run([sys.executable, str(script), str(tmp_path / "first"), "slow", ready.install_dir, "All",
                             ready.settings_path, ready.data_sources_path, "dralvex_sim.kit:activate"],
                            env=environment(), capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and result.stdout.strip() == str(["done"] * 3), result.stderr[-3000:]
    assert "Traceback" not in result.stderr and "leaked" not in result.stderr, result.stderr[-3000:]


def test_the_local_hooks_record_which_worker_runs_an_item(models):
    from dralvex_computer.batch.engines.local import LocalHooks
    from dralvex_computer.batch.protocol import Scratch
    installation, _ = models
    task = fake_task(installation, LocalHooks(), index=7)
    result = batch.ItemResult(7, None, "done", started=1234.5)
    Scratch("fake-run").work_directory()   # made by the item's run before it starts
    LocalHooks().start(task, result)
    identity, name, started = Scratch("fake-run").item_record(7)
    assert identity.split()[0] == str(os.getpid()) and name.endswith(":%d" % os.getpid()) and started == 1234.5
    # one record a worker: its next item takes the place of the last
    LocalHooks().start(fake_task(installation, LocalHooks(), index=12), batch.ItemResult(12, None, "done", started=99.0))
    assert Scratch("fake-run").item_record(7) is None
    assert Scratch("fake-run").item_record(12)[2] == 99.0
    # a record whose directory was removed since is made again
    Scratch("fake-run").remove()
    Scratch("fake-run").work_directory()
    LocalHooks().start(fake_task(installation, LocalHooks(), index=13), batch.ItemResult(13, None, "done", started=5.0))
    assert Scratch("fake-run").item_record(13)[2] == 5.0


def test_the_dask_hooks_check_a_late_worker_and_report_a_second_attempt(models, monkeypatch):
    distributed = pytest.importorskip("distributed")
    from dralvex_computer.batch.engines import dask as dask_engine
    installation, _ = models
    client = FakeClient()
    monkeypatch.setattr(distributed, "get_client", lambda: client)
    monkeypatch.setattr(dask_engine, "_checked", set())
    hooks = dask_engine.DaskHooks()
    broken = batch.Installation(installation.directory + "-nowhere", "All", installation.settings_path,
                                installation.data_sources_path, installation.prepare)
    refused = hooks.claim(fake_task(broken, hooks))
    assert refused.status == "failed" and "checks before the first item failed on this worker" in refused.error_message
    task = fake_task(installation, hooks)
    assert hooks.claim(task) is None and installation in dask_engine._checked   # checked once, then runs
    again = hooks.claim(task)   # its worker died while it ran: Dask runs it again
    assert again.status == "worker lost" and "not run again" in again.error_message
    assert hooks.claim(task) is None   # a third try runs
    hooks.end(task)   # ended; its worker dies before its result is fetched: Dask runs it again, which says so
    assert hooks.claim(task) is None
    result = batch.ItemResult(0, None, "done")
    hooks.start(task, result)
    assert result.warnings[0].startswith("RunAgain: it had ended on ")


def test_an_abandoned_item_waits_or_gives_a_reason(monkeypatch):
    import threading
    from dralvex_computer.batch.engines import dask as dask_engine
    from dralvex_computer.batch.protocol import WorkerHooks
    monkeypatch.setattr(dask_engine, "ABANDONED_GRACE", 0.1)
    release = threading.Event()
    stuck = threading.Thread(target=release.wait, daemon=True)
    stuck.start()
    assert "cannot be replaced" in dask_engine.DaskHooks().abandoned(stuck)   # no nanny here
    release.set()
    assert WorkerHooks().abandoned(stuck) is None and not stuck.is_alive()


def test_the_dask_checks_run_on_every_worker(dask_cluster, models):
    from dralvex_computer.batch.engines.dask import Dask
    client, _ = dask_cluster
    installation, _ = models
    client.wait_for_workers(2, timeout=60)   # an earlier test may have had one replaced
    engine = Dask("probe-run", None, client)
    try:
        where = engine.probe(installation)
    finally:
        engine.close()
    names = where.split(", ")
    assert len(names) >= 2 and len(set(names)) == len(names), where   # each worker checked itself
