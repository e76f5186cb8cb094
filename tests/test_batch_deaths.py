"""Deaths at chosen moments: a worker of the local pool that dies before the
pool has read its "task started" message, one that dies in its initializer
every time, one killed in the middle of a chunk of tiny items."""
import collections
import contextlib
import concurrent.futures
import multiprocessing
import os
import signal
import subprocess
import sys
import time

import pytest

import batch_tasks
from dralvex_computer import batch

pebble = pytest.importorskip("pebble")
from pebble.pool import process as pebble_process  # noqa: E402
from dralvex_computer.batch.engines import pebble_pool  # noqa: E402

WAIT = 60   # against a hang only


def _spawn_pool(max_workers=2, **options):
    return pebble_pool.ProcessPool(max_workers=max_workers, **options)


def _read_late(pool, doomed):
    """The pool reads the doomed task's "task started" only once it has
    found that task's worker dead."""
    manager = pool._pool_manager
    receive = manager.worker_manager.receive

    def late(timeout):
        message = receive(timeout)
        if isinstance(message, pebble_process.Acknowledgement):
            task = manager.task_manager.tasks.get(message.task)
            if task is not None and task.future is doomed[0]:
                deadline = time.monotonic() + WAIT
                while message.worker in manager.worker_manager.workers and time.monotonic() < deadline:
                    time.sleep(0.01)
        return message
    manager.worker_manager.receive = late


@pytest.mark.parametrize("another_running", [False, True], ids=["alone", "another task running"])
def test_a_worker_dead_before_its_start_is_read_loses_only_its_task(another_running):
    pool = _spawn_pool()
    doomed = [None]
    _read_late(pool, doomed)
    try:
        other = pool.schedule(batch_tasks.sleep, args=(3,)) if another_running else None
        while other is not None and not other.running():
            time.sleep(0.01)
        doomed[0] = pool.schedule(batch_tasks.die, args=(None,))
        with pytest.raises(pebble.ProcessExpired) as lost:
            doomed[0].result(timeout=WAIT)
        assert lost.value.exitcode == 3
        assert pool.schedule(batch_tasks.echo, args=("after",)).result(timeout=WAIT) == "after"
        assert other is None or other.result(timeout=WAIT) == 3
    finally:
        pool.stop()
        pool.join()


def _kill_itself():
    os.kill(os.getpid(), signal.SIGKILL)


def _die_holding_the_channel_lock():
    import gc
    channel = next(o for o in gc.get_objects() if isinstance(o, pebble_process.WorkerChannel))
    channel.mutex.acquire()
    os.kill(os.getpid(), signal.SIGKILL)


def test_a_worker_killed_holding_the_pools_lock_stops_no_other(tmp_path):
    pool = _spawn_pool(lock_directory=str(tmp_path))
    try:
        with pytest.raises(pebble.ProcessExpired):
            pool.schedule(_die_holding_the_channel_lock).result(timeout=WAIT)
        later = [pool.schedule(batch_tasks.echo, args=(index,)) for index in range(4)]
        assert [future.result(timeout=20) for future in later] == list(range(4))   # the pool's own wait is 60 s
    finally:
        pool.stop()
        pool.join()


def test_workers_that_die_before_any_task_break_the_pool_not_hang_it():
    pool = _spawn_pool(initializer=_kill_itself)
    try:
        with pytest.raises(concurrent.futures.process.BrokenProcessPool, match="keep ending"):
            pool.schedule(batch_tasks.echo, args=(1,)).result(timeout=WAIT)
    finally:
        pool.stop()
        pool.join()


def test_a_worker_killed_mid_chunk_loses_only_the_item_it_ran(models, tmp_path):
    installation, _ = models
    log, count = tmp_path / "ran.log", 3000
    killed = []

    def kill_a_worker_at_1000(result):
        if len(killed) == 0 and result.index >= 1000:
            workers = [p for p in multiprocessing.active_children() if p.name == pebble_process.WORKERS_NAME]
            killed.append(workers[0].pid)
            os.kill(workers[0].pid, signal.SIGKILL)
    results = batch.map_models(batch_tasks.note, [(str(log), index, False) for index in range(count)],
                               installation, workers=2, journal=str(tmp_path / "run.journal"),
                               progress=False, on_result=kill_a_worker_at_1000)
    lost = [result.index for result in results if not result.ok]
    assert killed and len(lost) <= 1, [(r.index, r.status, r.error_message) for r in results if not r.ok]
    assert all(results[index].status == "worker lost" for index in lost)
    ran = collections.Counter(int(line) for line in log.read_text().split())   # the items' own word
    assert all(ran[index] == 1 for index in range(count) if index not in lost)
    assert all(ran[index] <= 1 for index in lost)


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_a_signal_whose_exception_was_swallowed_still_ends_the_run(ready, signum):
    from dralvex_computer.batch import signals
    from batch_helpers import installation_of

    def swallowing(result):   # as a weakref callback or __del__ would, where an exception is ignored
        if result.index == 0:
            try:
                signals.raise_signalled(signum, None)
            except KeyboardInterrupt:
                pass
    with pytest.raises(batch.BatchInterrupted) as stop:
        batch.map_models(batch_tasks.sleep, [0.01] + [0.3] * 8, installation_of(ready), workers=1,
                         progress=False, on_result=swallowing)
    assert stop.value.signal == signum
    assert [result.status for result in stop.value.results].count("cancelled") >= 6


def _die_after_taking_the_next_task():
    """Ends its worker once it has taken the next task from the pool's
    pipe, before it says so."""
    def take_and_die(channel):
        channel.recv()
        os.kill(os.getpid(), signal.SIGKILL)
    pebble_process.task_transaction = take_and_die


def test_a_task_taken_by_a_worker_that_died_before_saying_so_is_lost_not_waited_for(tmp_path):
    pool = _spawn_pool(max_workers=1, lock_directory=str(tmp_path))
    try:
        pool.schedule(_die_after_taking_the_next_task).result(timeout=WAIT)
        with pytest.raises(pebble.ProcessExpired):
            pool.schedule(batch_tasks.echo, args=("taken",)).result(timeout=WAIT)
        assert pool.schedule(batch_tasks.echo, args=("after",)).result(timeout=WAIT) == "after"
    finally:
        pool.stop()
        pool.join()


@pytest.mark.skipif(not hasattr(signal, "SIGSTOP"), reason="POSIX signals")
def test_a_stopped_item_ends_at_its_time_out_and_its_seat_goes_back(ready, tmp_path, worker_environment):
    from batch_helpers import installation_of
    results = batch.map_models(batch_tasks.stop_holding_tool_seat, ["stop", "go"], installation_of(ready), workers=2,
                               timeout=2, seats={"Tool": 1}, seat_directory=str(tmp_path / "seats"), progress=False)
    assert [result.status for result in results] == ["timed out", "done"], [r.error_message for r in results]


STOPPED_WORKER = """
import os, signal, subprocess, sys, time
from dralvex_computer.batch.worker import processes, reaper
os.setpgid(0, 0)
reaper.start()
subprocess.Popen(["sleep", "60"])   # an earlier item's solver, ended as at Ctrl-C: not the reaper with it
processes.end_started()
subprocess.Popen(["sleep", "60"])   # its solver
for seconds in sys.argv[1:]:
    reaper.set_deadline(None if seconds == "none" else time.monotonic() + float(seconds))
os.kill(os.getpid(), signal.SIGSTOP)
"""


def _ended_within(pid, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ended, status = os.waitpid(pid, os.WNOHANG)
        if ended:
            return status
        time.sleep(0.02)
    return None


@pytest.mark.skipif(not hasattr(signal, "SIGSTOP"), reason="POSIX signals")
@pytest.mark.parametrize("deadlines, ended_after", [
    (["0.5"], 0.5), (["0.3", "1.2"], 1.2), (["0.3", "none"], None)],
    ids=["a deadline passes", "a deadline pushed on", "a deadline taken back"])
def test_a_stopped_workers_reaper_ends_its_group_at_its_last_deadline(deadlines, ended_after):
    began = time.monotonic()
    worker = subprocess.Popen([sys.executable, "-c", STOPPED_WORKER, *deadlines])
    try:
        _, status = os.waitpid(worker.pid, os.WUNTRACED)
        assert os.WIFSTOPPED(status)
        if ended_after is None:
            time.sleep(1.5)
            os.killpg(worker.pid, 0)   # its group, stopped worker and solver, is still there
            return
        status = _ended_within(worker.pid, WAIT / 10)
        took = time.monotonic() - began
        assert status is not None and os.WIFSIGNALED(status) and ended_after <= took, "the reaper never ended it"
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:   # its solver ended with it
            try:
                os.killpg(worker.pid, 0)
            except ProcessLookupError:
                break
            time.sleep(0.02)
        else:
            pytest.fail("the solver outlived its worker")
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(worker.pid, signal.SIGKILL)
        worker.wait()
