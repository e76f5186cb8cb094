"""Results that can be trusted: an item is its model's real path, a result
is reused only when everything its solve reads is unchanged, every item is
one row wherever rows are read, one run holds a journal, retries end and
leave a trace, a mistake in the collect function stops the run early.
Solves are counted from the solver programs' own log, not from the run's
report."""
import json
import os
import shutil
import subprocess
import sys
import time

import pytest

import batch_tasks
import process_table
from dralvex_computer import batch
from dralvex_computer.batch.scratch import Scratch
from dralvex_computer.batch import inputs, worker
from dralvex_computer.batch.results import journal as journals, report, summary
from batch_helpers import (DASK, FakeMsvcrt, can_mount_private_tmpfs, command, dask_scheduler, environment, installation_of,
                           make_model, site_options, solves, statuses)

pytest.importorskip("pebble")


def twin(model, directory):
    """A copy of a model's whole directory: an identical document beside
    the same inputs."""
    shutil.copytree(os.path.dirname(model), str(directory))
    return os.path.join(str(directory), os.path.basename(model))


# ------------------------------------------------------------ identity

@pytest.mark.parametrize("change, second", [
    ("garbage FRE file", "no solution"),
    ("other load cases", "solved"),
], ids=["fre", "thf"])
def test_identical_models_beside_other_inputs_are_other_items(ready, tmp_path, worker_environment, change, second):
    first = make_model(tmp_path / "M" / "a", "case")
    with open(os.path.join(os.path.dirname(first), "loads.thf"), "w") as stream:
        stream.write("case 1\n")
    other = twin(first, tmp_path / "M" / "b")
    if change == "garbage FRE file":
        with open(os.path.join(os.path.dirname(other), "conception.fre"), "w") as stream:
            stream.write("garbage\n")
    else:
        with open(os.path.join(os.path.dirname(other), "loads.thf"), "a") as stream:
            stream.write("case 2\ncase 3\n")
    site, journal = installation_of(ready), str(tmp_path / "run.journal")
    options = dict(workers=2, journal=journal, collect=batch_tasks.collect_analysis)
    alone = batch.solve_models([first], "PipeStress", site, **options)
    assert statuses(alone) == ["solved"]
    before = len(solves(ready))
    resumed = batch.solve_models([first, other], "PipeStress", site, resume=True, **options)
    assert [(r.status, r.resumed, r.run_reason) for r in resumed] == [
        ("solved", True, "unchanged since the journal"), (second, False, "new")]
    assert len(solves(ready, before)) == 1   # the twin ran; the first did not
    if second == "solved":
        assert resumed[1].value["max_stress"] == alone[0].value["max_stress"] + 2
    # a changed input of a solved model makes it run again, and says which
    with open(os.path.join(os.path.dirname(first), "loads.thf"), "a") as stream:
        stream.write("case 9\n")
    again = batch.solve_models([first, other], "PipeStress", site, resume=True, **options)
    assert again[0].run_reason == "changed since the journal: loads.thf" and not again[0].resumed
    assert again[1].resumed == (second == "solved")


def test_a_model_reached_through_a_link_is_one_item(tmp_path):
    (tmp_path / "plant" / "line").mkdir(parents=True)
    (tmp_path / "plant" / "line" / "a.strale").write_text("")
    os.symlink(str(tmp_path / "plant" / "line"), str(tmp_path / "plant" / "alias"))
    found = inputs.expand([str(tmp_path / "plant" / "**" / "*.strale"), str(tmp_path / "plant" / "alias")])
    assert found == [str(tmp_path / "plant" / "alias" / "a.strale")] or \
        found == [str(tmp_path / "plant" / "line" / "a.strale")]


@pytest.mark.parametrize("odd", ["a link loop", "two links", "a FIFO", "an unreadable directory"])
def test_models_in_odd_trees(tmp_path, odd, caplog):
    for name in ("plant/a/one.strale", "plant/b/two.strale"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("")
    pattern = str(tmp_path / "plant" / "**" / "*.strale")
    if odd == "a link loop":
        os.symlink(str(tmp_path / "plant"), str(tmp_path / "plant" / "a" / "loop"))
    elif odd == "two links":
        os.symlink(".", str(tmp_path / "plant" / "a" / "again"))
        os.symlink("..", str(tmp_path / "plant" / "a" / "up"))
    elif odd == "a FIFO":
        os.mkfifo(str(tmp_path / "plant" / "b" / "pipe.strale"))
    else:
        if os.geteuid() == 0:
            pytest.skip("root reads every directory")
        (tmp_path / "plant" / "c").mkdir(mode=0)
        with pytest.raises(ValueError, match="cannot be read"):
            inputs.expand([pattern])
        return
    found = inputs.expand([pattern, str(tmp_path / "plant")])
    assert sorted(map(os.path.realpath, found)) == [str(tmp_path / "plant" / "a" / "one.strale"),
                                                    str(tmp_path / "plant" / "b" / "two.strale")]
    assert ("pipe.strale is not a regular file" in caplog.text) == (odd == "a FIFO")


@pytest.mark.parametrize("entry", ["none-*.strale", "empty", "missing.strale"])
def test_an_argument_that_names_no_model_is_refused(tmp_path, entry):
    (tmp_path / "empty").mkdir()
    (tmp_path / "one.strale").write_text("")
    with pytest.raises(ValueError, match="no model found for .*" + entry.split("-")[0]):
        inputs.expand([str(tmp_path / "one.strale"), str(tmp_path / entry)])


@pytest.mark.parametrize("value, same", [
    (1, 1.0), ({"b": 1, "a": [1, 2]}, {"a": (1, 2.0), "b": 1}), ("1", "1"),
])
def test_equal_items_have_one_identity(value, same):
    from dralvex_computer.batch import identity
    assert identity.value_identity(value) == identity.value_identity(same)


@pytest.mark.parametrize("value, other", [(1, "1"), (True, 1), (0.1, 0.1000000000000001), ([1, 2], [2, 1])])
def test_different_items_have_different_identities(value, other):
    from dralvex_computer.batch import identity
    assert identity.value_identity(value) != identity.value_identity(other)


# --------------------------------------------------------- rows, resume

def test_one_row_per_item_after_a_resume_with_all_the_journal_knew(ready, tmp_path, worker_environment):
    from dralvex_computer import SharedFreFileWarning
    with pytest.warns(SharedFreFileWarning):   # one directory: each solve warns too
        shared = [make_model(tmp_path / "S", name) for name in ("s1", "s2")]
    alone = make_model(tmp_path / "T", "t", 2)
    kept, journal = str(tmp_path / "kept"), str(tmp_path / "run.journal")
    site = installation_of(ready)
    options = dict(workers=2, journal=journal, keep_results=kept, collect=batch_tasks.collect_analysis)
    first = batch.solve_models(shared + [alone], "PipeStress", site, **options)
    assert statuses(first) == ["solved"] * 3 and all(result.warnings for result in first[:2])
    make_model(tmp_path / "T", "t", 3)   # the design changed overnight
    second = batch.solve_models(shared + [alone], "PipeStress", site, resume=True, **options)
    assert [result.resumed for result in second] == [True, True, False]
    assert second[2].run_reason in ("changed since the journal: model",
                                    "changed since the journal: conception.fre, model")
    for earlier, now in zip(first[:2], second[:2]):
        assert (now.value, now.results_dir, now.warnings, now.tries, now.worker) == \
            (earlier.value, earlier.results_dir, earlier.warnings, earlier.tries, earlier.worker)
        assert os.path.isdir(now.results_dir)
    rows = journals.records(journal)
    assert [(row["index"], row["item"], row["status"]) for row in rows] == \
        [(index, result.item, "solved") for index, result in enumerate(second)]
    assert rows[2]["value"]["max_stress"] == second[2].value["max_stress"] != first[2].value["max_stress"]
    stresses = [[row["value.max_stress"] for row in report.rows(made)] for made in (journal, second)]
    assert stresses[0] == stresses[1]
    assert "3 models;" in summary.render(journal)


def test_the_rows_of_an_interrupted_run_and_of_an_older_journal(tmp_path):
    journal = str(tmp_path / "run.journal")
    lines = [{"event": "run", "run": "r1", "items": ["a", "b", "c"], "identities": ["a", "b", "c"]},
             {"event": "started", "run": "r1", "index": 0, "identity": "a", "key": "k"},
             {"event": "ended", "run": "r1", "index": 0, "identity": "a", "key": "k",
              "record": {"index": 0, "item": "a", "status": "solved", "tries": 2, "unknown field": 1}},
             {"event": "started", "run": "r1", "index": 1, "identity": "b", "key": "k"}]
    with open(journal, "w") as stream:
        stream.write("".join(json.dumps(line) + "\n" for line in lines))
    rows, info = journals.last_run(journal)
    assert [(row["status"], row.get("error_message")) for row in rows] == [
        ("solved", None), ("cancelled", journals.NOT_ENDED), ("cancelled", journals.NOT_STARTED)]
    assert info["interrupted"] and "This run was interrupted" in summary.render(journal)
    older = str(tmp_path / "older.journal")   # one line per key, no run lines
    with open(older, "w") as stream:
        for index in (0, 1, 0):
            stream.write(json.dumps({"event": "ended", "key": "same", "record": {"index": index, "status": "solved"}})
                         + "\n")
    assert [row["index"] for row in journals.records(older)] == [0, 1]


def test_the_summary_of_a_report_is_refused(tmp_path):
    report_file = tmp_path / "results.jsonl"
    report_file.write_text(json.dumps({"index": 0, "status": "solved"}) + "\n")
    result = command("summary", str(report_file), "-o", str(tmp_path / "page.html"))
    assert result.returncode == 2 and "not a run's journal" in result.stderr
    assert not (tmp_path / "page.html").exists()


# ------------------------------------------------------- one run a journal

@pytest.mark.parametrize("platform", ["posix", "windows"])
def test_a_journal_is_held_by_one_run(tmp_path, platform):
    path = str(tmp_path / "run.journal")
    fake = FakeMsvcrt() if platform == "windows" else None
    first = journals.Journal(path, msvcrt=fake)
    first.open()
    first.run_started("r1", [], [], "python -m dralvex_computer solve night")
    second = journals.Journal(path, msvcrt=fake)
    with pytest.raises(journals.JournalBusy, match="process %d .*solve night" % os.getpid()):
        second.open()
    first.close()
    second.open()   # free again once the first has ended
    second.close()
    assert first.created and not second.created


def test_a_second_run_on_a_journal_stops_before_starting(ready, tmp_path, worker_environment):
    site = installation_of(ready)
    model = make_model(tmp_path / "m", "m")
    journal = str(tmp_path / "report.csv.journal")
    holder = journals.Journal(journal)
    holder.open()
    holder.run_started("r1", [], [], "the first run")
    try:
        before = len(solves(ready))
        with pytest.raises(batch.BatchSetupError, match="in use by the run of process %d" % os.getpid()):
            batch.solve_models([model], "PipeStress", site, journal=journal)
        result = command("solve", model, *site_options(ready), "--solver", "PipeStress",
                         "--report", str(tmp_path / "report.csv"))
        assert result.returncode == 2 and result.stderr.count("in use by") == 1, result.stderr
        assert "Traceback" not in result.stderr and len(solves(ready, before)) == 0
    finally:
        holder.close()
    assert os.path.exists(journal)   # never removed by a run that did not make it


# ------------------------------------------------------------- retries

@pytest.mark.parametrize("tries", [1, 9, 30, 1025, 10 ** 6])
@pytest.mark.parametrize("delay", [0.0, 1.0, 1e300])
def test_every_wait_is_capped(tries, delay):
    policy = batch.RetryPolicy(retries=10 ** 7, delay=delay, max_delay=300)
    assert 0 <= policy.wait(tries) <= 300


def test_retry_on_without_retries_is_refused(ready):
    with pytest.raises(ValueError, match="retries is 0"):
        batch.map_models(batch_tasks.run, [], installation_of(ready), retry_on=lambda result: True)


def test_retries_end_in_the_time_given_and_each_try_is_in_the_journal(ready, tmp_path, worker_environment):
    journal = str(tmp_path / "run.journal")
    begun = time.monotonic()
    results = batch.map_models(batch_tasks.run, [("raise", "no licence available")], installation_of(ready),
                               workers=1, retries=10 ** 6, retry_delay=0.05, retry_max_delay=0.2, retry_time=3,
                               journal=journal)
    assert time.monotonic() - begun < 3 + 20
    (result,) = results
    assert result.status == "failed" and result.tries > 3 and len(result.history) == result.tries - 1
    assert "the time for retries is spent" in result.error_message
    assert all(entry["wait"] <= 0.2 for entry in result.history)
    tried = [entry for entry in map(json.loads, open(journal)) if entry["event"] == "try"]
    assert [entry["try"] for entry in tried] == list(range(1, result.tries))


def test_an_interrupted_run_keeps_the_tries(ready, tmp_path, worker_environment):
    journal = str(tmp_path / "run.journal")

    def stop_after_the_sleeper(result):
        if result.index == 1:
            raise KeyboardInterrupt

    with pytest.raises(batch.BatchInterrupted) as stop:
        batch.map_models(batch_tasks.run, [("raise", "no licence"), ("sleep", 2.0)], installation_of(ready),
                         workers=2, retries=50, retry_delay=0.2, journal=journal, on_result=stop_after_the_sleeper)
    waiting = stop.value.results[0]
    assert waiting.status == "failed" and waiting.tries >= 2 and len(waiting.history) == waiting.tries - 1
    assert "next try did not start" in waiting.error_message
    rows, info = journals.last_run(journal)
    assert info["interrupted"] and rows[0]["status"] == "failed" and rows[0]["tries"] == waiting.tries


# ------------------------------------------- mistakes found before the night

def test_a_collect_mistake_stops_the_run_and_keeps_the_results(ready, tmp_path, worker_environment):
    models = [make_model(tmp_path / "m" / str(index), "m%d" % index) for index in range(8)]
    kept = str(tmp_path / "kept")
    before = len(solves(ready))
    results = batch.solve_models(models, "PipeStress", installation_of(ready), workers=2, keep_results=kept,
                                 collect=batch_tasks.collect_typo)
    failed = [result for result in results if result.status == "failed"]
    assert len(failed) >= 3 and all("KeyError: 'max_stres'" in result.error_message for result in failed)
    assert all(os.path.isdir(result.results_dir) for result in failed)
    assert len(solves(ready, before)) <= 3 + 2 * 2   # three, and what the two workers had in hand
    cancelled = [result for result in results if result.status == "cancelled"]
    assert cancelled and all("stopped early" in result.error_message for result in cancelled)


@pytest.mark.parametrize("option, message", [
    (["--keep-results", "{file}"], "is a file"),
    (["--collect", "batch_tasks:not_there"], "has no not_there"),
    (["--collect", "batch_tasks:KINDS"], "is not a function"),
    (["--retry-on", "licence"], "retries is 0"),
    (["{dir}/nothing-*.strale"], "a pattern that matches nothing"),
    (["--journal", "{dir}/same", "--summary", "{dir}/same"], "one file"),
    (["--collect", "batch_tasks:echo"], "does not take (solution, path)"),
    (["--collect", "os.path.no_such_module:f"], "does not import"),
])
def test_mistakes_refused_before_the_first_model(ready, tmp_path, option, message):
    model = make_model(tmp_path / "m", "m")
    (tmp_path / "a-file").write_text("")
    option = [word.format(file=tmp_path / "a-file", dir=tmp_path) for word in option]
    before = len(solves(ready))
    result = command("solve", model, *option, *site_options(ready), "--solver", "PipeStress")
    assert result.returncode == 2 and message in result.stderr and "Traceback" not in result.stderr, result.stderr
    assert len(solves(ready, before)) == 0


def test_a_run_inside_an_item_of_another_run(ready, worker_environment):
    site = installation_of(ready)
    inside, on_threads = batch.map_models(batch_tasks.run, [("nested", site), ("nested_on_threads", site)], site,
                                          workers=1, timeout=120)
    assert (inside.status, inside.value) == ("done", ["done", "done"]), inside.error_message
    assert on_threads.status == "failed" and "cannot run its items on a thread pool" in on_threads.error_message


@pytest.mark.parametrize("options, message", [
    ({"max_running": {"Pipestress": 1}}, "'Pipestress', not a solver"),
    ({"collect": "not a function"}, "collect must be a function"),
])
def test_solve_options_refused_at_once(ready, options, message):
    with pytest.raises(ValueError, match=message):
        batch.solve_models([], "PipeStress", installation_of(ready), **options)


def test_items_that_print_alike_are_different_items():
    numpy = pytest.importorskip("numpy")
    from dralvex_computer.batch import identity
    first, second = numpy.arange(2000.0), numpy.arange(2000.0)
    second[1000] = -1
    assert repr(first) == repr(second) and identity.value_identity(first) != identity.value_identity(second)


def test_a_model_with_the_longest_name_keeps_its_results(ready, tmp_path, worker_environment):
    name = "m" * (255 - len(".strale"))   # the longest name a file system takes
    model = make_model(tmp_path / "long", name)
    (result,) = batch.solve_models([model], "PipeStress", installation_of(ready), workers=1,
                                   keep_results=str(tmp_path / "kept"))
    assert result.status == "solved" and os.path.isdir(result.results_dir), result.error_message


def test_a_thread_pool_time_out_ends_only_what_its_item_started(ready, worker_environment):
    import concurrent.futures
    import threading
    site = installation_of(ready)
    outcome = {}

    def timed_out_in_this_process():
        with concurrent.futures.ThreadPoolExecutor(1) as executor:
            outcome["mine"] = batch.map_models(batch_tasks.run, [("sleep", 4)], site, executor=executor, timeout=3)

    def another_run_on_the_local_pool():
        outcome["other"] = batch.map_models(batch_tasks.run, [("sleep", 4), ("sleep", 4)], site, workers=2)

    first = threading.Thread(target=timed_out_in_this_process)
    first.start()
    time.sleep(0.3)   # the item has begun; the other run's workers start after it
    second = threading.Thread(target=another_run_on_the_local_pool)
    second.start()
    first.join()
    second.join()
    assert statuses(outcome["mine"]) == ["timed out"]
    assert statuses(outcome["other"]) == ["done", "done"], [r.error_message for r in outcome["other"]]


def test_a_scheduler_that_does_not_answer_is_one_message(ready, tmp_path):
    model = make_model(tmp_path / "m", "m")
    begun = time.monotonic()
    result = command("solve", model, *site_options(ready), "--solver", "PipeStress", "--scheduler",
                     "tcp://127.0.0.1:9")
    assert result.returncode == 2 and "Traceback" not in result.stderr, result.stderr
    assert time.monotonic() - begun < 30


def test_a_scheduler_that_dies_mid_run_gives_the_items_back_as_lost(ready, tmp_path):
    import signal
    import threading
    pytest.importorskip("distributed")
    import distributed
    scheduler_file = str(tmp_path / "scheduler.json")
    with dask_scheduler(scheduler_file, environment()) as started:
        started.append(subprocess.Popen([DASK, "worker", "--scheduler-file", scheduler_file, "--nthreads", "1",
                                         "--no-dashboard"], env=environment(), start_new_session=True,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        with distributed.Client(scheduler_file=scheduler_file) as client:
            client.wait_for_workers(1, timeout=120)
            threading.Timer(4, os.killpg, args=(started[0].pid, signal.SIGKILL)).start()
            begun = time.monotonic()
            results = batch.map_models(batch_tasks.run, [("sleep", 30), ("sleep", 30)], installation_of(ready),
                                       executor=client)
            assert statuses(results) == ["worker lost"] * 2, [result.error_message for result in results]
            assert time.monotonic() - begun < 60


@pytest.mark.skipif(not os.path.isdir("/dev/shm"), reason="named semaphores live in /dev/shm on Linux")
def test_a_test_cluster_ends_without_leaving_its_semaphores(tmp_path):
    """Named semaphores outlive their processes in a place every process
    of the machine shares: the test's cluster ends so that they are removed."""
    pytest.importorskip("distributed")
    import distributed
    scheduler_file = str(tmp_path / "scheduler.json")
    with dask_scheduler(scheduler_file, environment()) as started:
        started.append(subprocess.Popen([DASK, "worker", "--scheduler-file", scheduler_file, "--nthreads", "1",
                                         "--nanny", "--no-dashboard"], env=environment(), start_new_session=True,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        with distributed.Client(scheduler_file=scheduler_file) as client:
            client.wait_for_workers(1, timeout=120)
            semaphores = process_table.mapped_semaphores({process.pid for process in started})
    assert semaphores and [name for name in semaphores if os.path.exists(name)] == []


FULL_DISK = """
import errno, io, json, os, signal, sys
import batch_tasks
from dralvex_computer import batch
from dralvex_computer.batch.results import journal


class Quota(io.RawIOBase):
    # a file on a disk that has room for `room` more bytes
    def __init__(self, descriptor, room):
        self.descriptor, self.room = descriptor, room

    def writable(self):
        return True

    def fileno(self):
        return self.descriptor

    def write(self, data):
        if len(data) > self.room:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        self.room -= len(data)
        return os.write(self.descriptor, data)

    def close(self):
        if not self.closed:
            os.close(self.descriptor)
        super().close()


class FullDiskOs:
    # the journal's os module, on a disk full but for 4 KB
    def __getattr__(self, name):
        return getattr(os, name)

    def fdopen(self, descriptor, mode, encoding):
        return io.TextIOWrapper(io.BufferedWriter(Quota(descriptor, 4096)), encoding=encoding)


if __name__ == "__main__":
    import logging
    logging.basicConfig()
    disk, how, site = sys.argv[1], sys.argv[2], batch.Installation(*sys.argv[3:8])
    if how == "quota":
        journal.os = FullDiskOs()
    else:
        filler = os.open(os.path.join(disk, "filler"), os.O_WRONLY | os.O_CREAT)   # full but for 4 KB
        try:
            while True:
                os.write(filler, b"x" * 1024)
        except OSError:
            pass
        os.ftruncate(filler, os.fstat(filler).st_size - 4096)
        os.close(filler)
    results = batch.map_models(batch_tasks.run, [("echo", "x" * 300)] * 12, site, workers=2,
                               journal=os.path.join(disk, "run.journal"))
    print(json.dumps({"statuses": [result.status for result in results],
                      "sigint": signal.getsignal(signal.SIGINT) is signal.default_int_handler}))
"""


# A disk that fills up while the run writes its journal: a real one (a 64 KB
# tmpfs of the run's own, where this machine lets it be mounted) and one
# whose journal file has a quota, which runs anywhere.
@pytest.mark.parametrize("how", ["quota", "tmpfs"])
def test_a_journal_on_a_full_disk_does_not_lose_the_run(ready, tmp_path, how):
    disk = tmp_path / "disk"
    disk.mkdir()
    script = tmp_path / "full.py"
    script.write_text(FULL_DISK)
    command = [sys.executable, str(script), str(disk), how, ready.install_dir, "All", ready.settings_path,
               ready.data_sources_path, "dralvex_sim.kit:activate"]
    if how == "tmpfs":
        if not can_mount_private_tmpfs():
            pytest.skip("no tmpfs may be mounted in a mount namespace here")
        command = ["unshare", "-m", "sh", "-c", 'mount -t tmpfs -o size=64k tmpfs "$1" && shift && exec "$@"', "sh",
                   str(disk)] + command
    result = subprocess.run(command, env=environment(), capture_output=True, text=True, timeout=180)
    assert result.returncode == 0, result.stderr[-3000:]
    outcome = json.loads(result.stdout.strip().splitlines()[-1])
    assert outcome == {"statuses": ["done"] * 12, "sigint": True}
    assert result.stderr.count("cannot be written") == 1 and "Traceback" not in result.stderr


# ----------------------------------------------------------- leftovers

def test_scratch_left_by_a_killed_run_is_removed_by_the_next(tmp_path):
    import socket
    import tempfile
    gone = subprocess.Popen([sys.executable, "-c", "pass"])
    gone.wait()
    base = tempfile.gettempdir()
    records = {"gone": "%s\n%d 1" % (socket.gethostname(), gone.pid),
               "alive": "%s\n%s" % (socket.gethostname(), worker.processes.stamp()),
               "elsewhere": "another-machine\n%d 1" % gone.pid, "unrecorded": None}
    for name, owner in records.items():
        os.makedirs(os.path.join(base, Scratch.PREFIX + name))
        if owner is not None:
            with open(os.path.join(base, Scratch.PREFIX + name, Scratch.OWNER), "w") as stream:
                stream.write(owner)
    assert worker.remove_orphaned_scratch() == [os.path.join(base, Scratch.PREFIX + "gone")]
    assert sorted(name for name in os.listdir(base) if name.startswith(Scratch.PREFIX)) == \
        sorted(Scratch.PREFIX + name for name in ("alive", "elsewhere", "unrecorded"))
