"""Licence seats shared by every run: judged by the simulated licence
server's own record of what it granted and denied, and when."""
import contextlib
import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import dralvex_sim
from batch_helpers import (DASK_ON_PYPY, HAS_PROC, IS_PYPY, FakeMsvcrt, cli, command, environment, eventually,
                           installation_of, make_model, marked, running_solvers, site_options, worker_paths, MARK)
from dralvex_computer import batch
from dralvex_computer.batch import seats
from dralvex_computer.batch.results.journal import records
from dralvex_computer.batch.seats import directory
from dralvex_computer.batch.seats import record as seat_record
from dralvex_computer.batch.worker import processes as worker_processes
from dralvex_sim.solvers import licences

pytestmark = pytest.mark.skipif(not HAS_PROC, reason="reads processes from /proc")
LEASE = 2.0          # the seat lease the Dask runs use
LOOK = LEASE / 4     # how often the scheduler's seat plugin looks at leases


@pytest.fixture(scope="module")
def seat_cluster(tmp_path_factory):
    """Three single-thread Dask workers: more workers than seats; each has
    a node-locked PipeStress seat of its own."""
    if IS_PYPY:
        pytest.skip(DASK_ON_PYPY)
    distributed = pytest.importorskip("distributed")
    import dask
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("PYTHONPATH", worker_paths())
        patch.setenv("TMPDIR", str(tmp_path_factory.mktemp("dask-tmp")))   # the workers' own, not the machine's
        own = str(tmp_path_factory.mktemp("dask"))   # the scheduler's scratch too, not /tmp's
        with dask.config.set({"temporary-directory": own}):
            with distributed.LocalCluster(n_workers=3, threads_per_worker=1, processes=True, dashboard_address=":0",
                                          resources={"PipeStress": 1}, local_directory=own) as cluster:
                with distributed.Client(cluster) as client:
                    yield client


@pytest.fixture(params=["local pool", "dask"])
def where(request, tmp_path):
    """The options that put a command's run on an engine and its pool."""
    if request.param == "dask":
        client = request.getfixturevalue("seat_cluster")
        return request.param, ["--scheduler", client.scheduler.address, "--seat-lease", str(LEASE)]
    return request.param, ["--workers", "3", "--seat-directory", str(tmp_path / "seats")]


def licensed_site(tmp_path, seconds, count):
    site = dralvex_sim.make_installation(str(tmp_path / "site"), solve_seconds=seconds, licences={"PipeStress": count})
    paths = [make_model(tmp_path / "models" / str(index), "m%d" % index, index + 1) for index in range(8)]
    return site, paths


def server_record(site):
    return licences.record(os.path.join(site.install_dir, "Licences"), "PipeStress")


def denials(record):
    return [event for event in record if event["event"] == "deny"]


def start(site, paths, where, report, count=2, *shown):
    mark = "seats-%d" % time.monotonic_ns()
    process = subprocess.Popen(
        cli("solve", *site_options(site), "--solver", "PipeStress", "--seats", "PipeStress=%d" % count,
            *(shown or ["--no-progress"]), "--report", report, *where[1], *paths),
        env=environment(**{MARK: mark}), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        start_new_session=True)
    process.mark = mark
    return process


def rows(report):
    with open(report) as stream:
        return [json.loads(line) for line in stream]


def finish(process, seconds=120):
    try:
        _, errors = process.communicate(timeout=seconds)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    return errors


def test_two_runs_at_once_share_one_pool(ready, tmp_path, where):
    """Each run would put 3 solves on the 2 seats alone."""
    site, paths = licensed_site(tmp_path, 0.8, 2)
    page = str(tmp_path / "page.html")
    runs = [start(site, paths[:4], where, str(tmp_path / "run0.jsonl"), 2, "--progress", "--summary", page),
            start(site, paths[4:], where, str(tmp_path / "run1.jsonl"), 2, "--progress")]
    said = [finish(run, 180) for run in runs]
    assert [run.returncode for run in runs] == [0, 0], said
    record = server_record(site)
    assert not denials(record) and licences.most_in_use(record) == 2
    assert sum(event["event"] == "grant" for event in record) == 8
    results = rows(str(tmp_path / "run0.jsonl")) + rows(str(tmp_path / "run1.jsonl"))
    assert [row["status"] for row in results] == ["solved"] * 8
    assert sum(row["seat_wait"] > 0.1 for row in results) >= 2   # items waited in their workers, and said so
    assert all(row["tries"] == 1 for row in results)   # a wait is not a try
    assert "waiting for a seat=" in said[0] + said[1]   # on the bar
    with open(page, encoding="utf-8") as stream:
        assert "waiting for a licence seat" in stream.read()   # on the page's timeline


def holder_solver(site):
    """The one solver program running."""
    programs = running_solvers(site)
    return programs[0] if len(programs) == 1 else None


def parent_of(pid):
    with open("/proc/%d/stat" % pid) as stream:
        return int(stream.read().rsplit(")", 1)[1].split()[1])


ACTS = [("local pool", "SIGKILL to the worker"), ("dask", "SIGKILL to the worker"), ("local pool", "Ctrl-C of the run"),
        ("dask", "Ctrl-C of the run"), ("local pool", "SIGKILL to the run's parent")]


@pytest.mark.parametrize("where, act", ACTS, indirect=["where"], ids=["-".join(entry) for entry in ACTS])
def test_a_seat_comes_back_once_its_solver_has_ended(ready, tmp_path, where, act):
    """A run holds the only seat when its worker, or the run, is ended; the
    other run gets the seat within the bound, and the server never
    denies it: the killed solver had ended before."""
    site, paths = licensed_site(tmp_path, 3.0, 1)
    first = start(site, paths[:3], where, str(tmp_path / "first.jsonl"), 1)
    second = None
    try:
        assert eventually(lambda: holder_solver(site) is not None, 60), "the first run never solved"
        second = start(site, paths[3:5], where, str(tmp_path / "second.jsonl"), 1)
        time.sleep(1.0)   # the second run waits for the seat
        assert eventually(lambda: holder_solver(site) is not None, 30)
        solver = holder_solver(site)
        acted = time.time()
        if act == "SIGKILL to the worker":
            os.kill(parent_of(solver), signal.SIGKILL)
        elif act == "Ctrl-C of the run":
            os.killpg(first.pid, signal.SIGINT)
        else:
            os.kill(first.pid, signal.SIGKILL)
        assert second.wait(120) == 0, finish(second)
        if act == "SIGKILL to the worker":   # the first run goes on without the lost item
            assert first.wait(120) == 1, finish(first)
            lost = [row["status"] for row in rows(str(tmp_path / "first.jsonl"))]
            assert sorted(lost) == ["solved", "solved", "worker lost"], lost
    finally:
        for run in (first, second):
            if run is not None and run.poll() is None:
                finish(run, 10)
    record = server_record(site)
    assert not denials(record) and licences.most_in_use(record) == 1
    granted_after = [event["time"] for event in record if event["event"] == "grant" and event["time"] > acted]
    bound = 3.0 if where[0] == "local pool" else LEASE + LOOK + 3.0
    assert granted_after and granted_after[0] - acted < bound, (granted_after[:1], acted)
    assert [row["status"] for row in rows(str(tmp_path / "second.jsonl"))] == ["solved", "solved"]
    assert eventually(lambda: not marked(first.mark) and not marked(second.mark), 10)


# Three solves on one seat: the last waits for two, so a time-out that
# counted the wait (3 s and the programs' starts) would fall even while a
# loaded machine (two test runs on two cores, with Dask's own processes)
# stretches each solve up to 2.8 times.
@pytest.mark.parametrize("seconds, timeout, status", [(1.0, 2.8, "solved"), (2.5, 1.0, "timed out")])
@pytest.mark.parametrize("engine", ["local pool", "dask"])
def test_a_time_out_counts_from_the_solve_and_its_seat_outlives_the_solver(ready, tmp_path, worker_environment,
                                                                           request, engine, seconds, timeout, status):
    site, paths = licensed_site(tmp_path, seconds, 1)
    options = dict(seats={"PipeStress": 1}, timeout=timeout, progress=False)
    if engine == "dask":
        options.update(executor=request.getfixturevalue("seat_cluster"), seat_lease=LEASE)
    else:
        options.update(workers=3, seat_directory=str(tmp_path / "seats"))
    results = batch.solve_models(paths[:3], "PipeStress", installation_of(site), **options)
    assert [result.status for result in results] == [status] * 3
    waited = max(results, key=lambda result: result.seat_wait)
    assert waited.seat_wait > 0.5 * min(seconds, timeout)   # it waited for the other's solve...
    assert waited.elapsed - waited.seat_wait < timeout + 1.0   # ...and its time-out did not count the wait
    record = server_record(site)
    assert not denials(record) and licences.most_in_use(record) == 1   # a seat back only once its solver ended


@pytest.mark.skipif(not hasattr(signal, "SIGSTOP"), reason="POSIX signals")
def test_a_stopped_dask_worker_is_ended_with_its_solver_before_its_lease_lapses(ready, tmp_path, worker_environment,
                                                                             seat_cluster):
    """The worker holding the only seat is stopped mid-solve, as a debugger
    would, and let go long after its lease would have lapsed."""
    site, paths = licensed_site(tmp_path, 3.0, 1)
    stopped = []

    def stop_the_holder():
        if eventually(lambda: holder_solver(site) is not None, 60):
            worker = parent_of(holder_solver(site))
            os.kill(worker, signal.SIGSTOP)
            stopped.append(worker)
            time.sleep(4 * LEASE)
            with contextlib.suppress(ProcessLookupError):   # a debugger lets go
                os.kill(worker, signal.SIGCONT)
    stopper = threading.Thread(target=stop_the_holder)
    stopper.start()
    try:
        results = batch.solve_models(paths[:2], "PipeStress", installation_of(site), seats={"PipeStress": 1},
                                     executor=seat_cluster, seat_lease=LEASE, progress=False)
    finally:
        stopper.join()
    assert stopped
    record = server_record(site)
    assert not denials(record) and licences.most_in_use(record) == 1   # its solver had ended before the lease lapsed
    assert sorted(result.status for result in results) == ["solved", "worker lost"], [
        (result.status, result.error_message) for result in results]


HANG = """
import json, sys
import batch_tasks
from dralvex_computer import batch
site = batch.Installation(*json.loads(sys.argv[1]))
options = json.loads(sys.argv[2])
if options.pop("scheduler", None):
    from distributed import Client
    options["executor"] = Client(sys.argv[3])
results = batch.map_models(batch_tasks.hang_holding_tool_seat, ["hang", "a", "b", "c"], site, timeout=1.5,
                           seats={"Tool": 1}, progress=False, **options)
print(json.dumps([[result.status, result.value, result.worker] for result in results]))
"""


def test_a_function_hung_in_python_with_a_seat_times_out_and_its_worker_is_replaced(ready, tmp_path, where, request):
    """The item "hang" holds the only seat and never returns: it times out,
    its seat goes back, and the worker it hangs in is replaced."""
    if where[0] == "dask":
        address = request.getfixturevalue("seat_cluster").scheduler.address
        options = {"scheduler": True, "seat_lease": LEASE}
    else:
        options, address = {"workers": 1, "seat_directory": str(tmp_path / "seats")}, ""
    site = installation_of(ready)
    ran = subprocess.run([sys.executable, "-c", HANG, json.dumps([site.directory, "All", site.settings_path,
                                                                 site.data_sources_path, site.prepare]),
                          json.dumps(options), address],
                         env=environment(), capture_output=True, text=True, timeout=120)
    assert ran.returncode == 0, ran.stderr[-3000:]
    results = json.loads(ran.stdout.strip().splitlines()[-1])
    assert [status for status, _, _ in results] == ["timed out", "done", "done", "done"], results
    hung_in = results[0][2]
    assert all(worker != hung_in for _, _, worker in results[1:])   # the others ran in another worker


def test_a_function_of_map_models_holds_a_seat_of_its_own_pool(ready, tmp_path, worker_environment):
    import batch_tasks
    (tmp_path / "marks").mkdir()   # the three workers ask at once, whenever each of them starts
    results = batch.map_models(batch_tasks.hold_tool_seat, [(0.3, str(tmp_path / "marks"), 3)] * 4,
                               installation_of(ready), workers=3, seats={"Tool": 1},
                               seat_directory=str(tmp_path / "seats"), progress=False)
    windows = sorted(result.value for result in results)
    assert all(earlier[1] <= later[0] for earlier, later in zip(windows, windows[1:])), windows
    assert sum(result.seat_wait > 0.1 for result in results) >= 2


@pytest.mark.parametrize("pools, message", [
    ({"PipeStress": 0}, "0 seats"), ({"PipeStress": -1}, "-1 seats"), ({"PipeStress": True}, "True seats"),
    ({"PipeStress": "2"}, "'2' seats"), ({}, "must map"), ({"Nope": 1}, "not a solver"),
    ({"Pipe Stress": 1}, "name is letters"),
])
def test_a_pool_without_seats_is_refused_before_the_run(ready, tmp_path, pools, message):
    site, paths = licensed_site(tmp_path, 0.0, 1)
    with pytest.raises(ValueError, match=message):
        batch.solve_models(paths[:1], "PipeStress", installation_of(site), seats=pools,
                           seat_directory=str(tmp_path / "seats"))
    assert not dralvex_sim.solve_log(site.install_dir)


def test_the_command_line_refuses_a_pool_of_no_seats(ready, tmp_path):
    site, paths = licensed_site(tmp_path, 0.0, 1)
    result = subprocess.run(cli("solve", *site_options(site), "--solver", "PipeStress", "--seats", "PipeStress=0",
                                paths[0]), capture_output=True, text=True, env=environment(), timeout=120)
    assert result.returncode == 2 and "PipeStress has 0 seats" in result.stderr
    assert not dralvex_sim.solve_log(site.install_dir)


@pytest.mark.parametrize("resources, refused", [({"PipeStress": 1}, None), ({"Aster": 1}, "Aster=1")])
def test_node_locked_seats_are_dask_worker_resources(ready, tmp_path, worker_environment, seat_cluster, resources,
                                                     refused):
    site, paths = licensed_site(tmp_path, 0.0, 2)
    run = lambda: batch.solve_models(paths[:3], "PipeStress", installation_of(site), executor=seat_cluster,  # noqa: E731
                                     resources=resources, progress=False)
    if refused:
        with pytest.raises(batch.BatchSetupError, match="no worker of the cluster has the resources .*" + refused):
            run()
        assert not dralvex_sim.solve_log(site.install_dir)
    else:
        assert [result.status for result in run()] == ["solved"] * 3


# ------------------------------------------------------- the pool's files

def owner(**changes):
    record = {"run": "r", "index": 0, "worker": "here:1", "machine": directory.socket.gethostname(),
              "process": worker_processes.stamp(), "group": None}
    record.update(changes)
    return record


@pytest.mark.parametrize("platform", ["posix", "windows"])
def test_a_directory_pool_gives_each_seat_to_one_holder(tmp_path, platform):
    pools = seats.SeatPools({"PipeStress": 1}, str(tmp_path))
    directory.set_up(pools)
    fake = FakeMsvcrt() if platform == "windows" else None
    first, second = directory.DirectoryKeeper(fake), directory.DirectoryKeeper(fake)
    held = first.take(pools, "PipeStress", owner())
    assert held is not None and second.take(pools, "PipeStress", owner(index=1)) is None
    assert [entry["index"] for entry in directory.holders(pools, "PipeStress")] == [0]
    held.give_back()
    held.give_back()   # once only
    assert directory.holders(pools, "PipeStress") == []
    again = second.take(pools, "PipeStress", owner(index=1))
    assert again is not None
    again.give_back()


def leave_seat(pools, record):
    """A holder that died holding the seat: its record stays, its lock went."""
    path = os.path.join(directory.pool_directory(pools, "PipeStress"), "seat-0")
    with open(path, "w") as stream:
        json.dump(record, stream)


def test_a_seat_left_on_another_machine_is_free_after_the_lease(tmp_path):
    pools = seats.SeatPools({"PipeStress": 1}, str(tmp_path), lease_timeout=0.5)
    directory.set_up(pools)
    leave_seat(pools, owner(machine="elsewhere"))
    keeper = directory.DirectoryKeeper()
    assert keeper.take(pools, "PipeStress", owner()) is None   # the lease counts from now
    time.sleep(0.2)
    assert keeper.take(pools, "PipeStress", owner()) is None
    assert eventually(lambda: keeper.take(pools, "PipeStress", owner()) is not None, 2)


def test_a_seat_left_here_waits_for_the_holders_processes(tmp_path):
    """Its holder died, but the process group that holds its solver runs."""
    pools = seats.SeatPools({"PipeStress": 1}, str(tmp_path))
    directory.set_up(pools)
    gone = subprocess.Popen([sys.executable, "-c", "pass"])
    dead = worker_processes.stamp(gone.pid)
    gone.wait()
    orphan = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"], start_new_session=True)
    try:
        leave_seat(pools, owner(process=dead, group=orphan.pid))
        keeper = directory.DirectoryKeeper()
        assert keeper.take(pools, "PipeStress", owner()) is None
        os.killpg(orphan.pid, signal.SIGKILL)
        orphan.wait()
        held = keeper.take(pools, "PipeStress", owner())
        assert held is not None
        held.give_back()
    finally:
        if orphan.poll() is None:
            orphan.kill()


def test_the_last_runs_count_is_the_pools_and_its_directory_is_every_users(tmp_path, caplog):
    given = tmp_path / "given"
    given.mkdir(mode=0o750)
    mode = given.stat().st_mode
    directory.set_up(seats.SeatPools({"PipeStress": 2}, str(given)))
    directory.set_up(seats.SeatPools({"PipeStress": 3}, str(given)))
    assert directory.read_count(str(given / "PipeStress")) == 3
    assert "had 2 seats; this run says 3" in caplog.text
    assert given.stat().st_mode == mode   # the user's own directory is left as it was
    assert (given / "PipeStress").stat().st_mode & 0o7777 == 0o1777   # the pool's, made here, is every user's


# ------------------------------------------------ the simulated licence server

def test_the_licence_server_lingers_over_a_dead_holders_seat(tmp_path):
    where = str(tmp_path / "Licences")
    licences.write_seats(where, {"PipeStress": 1}, linger=1.0)
    holder = subprocess.Popen([sys.executable, "-c", (
        "import sys, time; sys.path.insert(0, %r)\n"
        "from dralvex_sim.solvers import licences\n"
        "with licences.seat(%r, 'PipeStress') as granted:\n"
        "    print(granted, flush=True); time.sleep(60)\n") % (os.path.dirname(dralvex_sim.__path__[0]), where)],
        stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline().strip() == "True"
    holder.kill()
    holder.wait()
    died = time.time()
    with licences.seat(where, "PipeStress") as granted:
        assert not granted
    assert eventually(lambda: _granted_now(where), 3)
    record = licences.record(where, "PipeStress")
    assert [event["event"] for event in record][:2] == ["grant", "deny"] and record[-1]["event"] == "release"
    reclaimed = [event for event in record if event["event"] == "reclaim"]
    assert len(reclaimed) == 1 and reclaimed[0]["time"] - died >= 1.0 - 0.05
    assert licences.most_in_use(record) == 1


def _granted_now(where):
    with licences.seat(where, "PipeStress") as granted:
        return granted


def test_an_item_waiting_for_a_seat_stops_when_its_run_ends(tmp_path):
    """In a worker: the run's end (Ctrl-C) reaches an item that waits."""
    from dralvex_computer.batch.worker import state
    from dralvex_computer.batch.protocol import ItemTask, WorkerHooks
    pools = seats.SeatPools({"PipeStress": 1}, str(tmp_path))
    directory.set_up(pools)
    held = directory.DirectoryKeeper().take(pools, "PipeStress", owner())
    task = ItemTask(function=None, item=None, index=3, installation=None, run_id="ended-run", origin="",
                    hooks=WorkerHooks(), seats=directory.DirectoryPlace(pools))
    outcome = []

    def item():
        state.mark_in_item(own_process=False, task=task)
        try:
            with seats.seat("PipeStress"):
                outcome.append("held")
        except seats.Cancelled as error:
            outcome.append(str(error))

    state.this_process.scratch_root = str(tmp_path)   # where the run reads its waiting items
    thread = threading.Thread(target=item)
    thread.start()
    assert eventually(lambda: os.path.exists(str(tmp_path / "waiting-3")), 2)
    state.this_process.cancelled_runs.add("ended-run")
    thread.join(5)
    held.give_back()
    state.this_process.scratch_root = ""
    assert outcome == ["its run ended while it waited for a PipeStress seat"]
    assert not os.path.exists(str(tmp_path / "waiting-3"))   # no longer counted as waiting


def test_two_identical_nights_on_seats_compare_as_unchanged(ready, tmp_path, where):
    """Their seat waits and workers differ; nothing a solve reads or answers does."""
    site, paths = licensed_site(tmp_path, 0.2, 1)
    nights = [str(tmp_path / ("night%d.journal" % night)) for night in (1, 2)]
    for night in nights:
        ran = command("solve", *site_options(site), "--solver", "PipeStress", "--seats", "PipeStress=1",
                      "--collect", "batch_tasks:collect_analysis", "--journal", night, "--no-progress", *where[1],
                      *paths[:4])
        assert ran.returncode == 0, ran.stderr
    assert any(record["seat_wait"] for record in records(nights[1]))   # the seats were waited for
    said = command("compare", *nights)
    assert said.returncode == 0 and said.stdout.startswith("4 unchanged\nnothing regressed"), said.stdout
    assert len([entry for entry in dralvex_sim.solve_log(site.install_dir) if entry["outcome"] == "solved"]) == 8


def seats_now(where, tmp_path):
    """The pool as the seats command shows it (JSON), and its record."""
    place = ["--scheduler", where[1][1]] if where[0] == "dask" else ["--seat-directory", str(tmp_path / "seats")]
    said = command("seats", "--json", *place)
    assert said.returncode == 0, said.stderr
    return json.loads(said.stdout).get("PipeStress")


def pool_record(where, tmp_path, client=None):
    from dralvex_computer.batch.seats import view
    if where[0] == "dask":
        return view.of_scheduler(client)["PipeStress"]["record"]
    return view.of_directory(str(tmp_path / "seats"))["PipeStress"]["record"]


def seat_share(log, grants):
    """The first run's share of the seat-time, from the solver programs'
    log, while both runs had items waiting (each as many: 3 workers): from
    the second run's first grant to the first run's last ask."""
    first = {"m%d.strale" % index for index in range(12)}
    start = min(event["time"] for event in grants if event["item"] not in first)
    end = min(max(event["asked"] for event in grants if (event["item"] in first) == side) for side in (True, False))
    held = [0.0, 0.0]
    for entry in log:
        held[entry["models"][0] not in first] += max(0.0, min(entry["ended"], end) - max(entry["started"], start))
    return held[0] / sum(held)


@pytest.mark.parametrize("later", [False, True])
def test_two_runs_take_turns_in_the_order_of_asking(ready, tmp_path, where, request, later):
    """Two runs of 12 models, 3 workers each (on Dask, one cluster's 3),
    on 2 seats, the second started together with the first or once the
    first's items wait: grants follow the asks, and the seats command shows
    the holders and the queue while they run."""
    site = dralvex_sim.make_installation(str(tmp_path / "site"), solve_seconds=0.4, licences={"PipeStress": 2})
    paths = [make_model(tmp_path / "models" / str(index), "m%d" % index, index + 1) for index in range(24)]
    journal, page = str(tmp_path / "run0.journal"), str(tmp_path / "run0.html")
    runs = [start(site, paths[:12], where, str(tmp_path / "run0.jsonl"), 2, "--no-progress", "--journal", journal,
                  "--summary", page)]
    now = time.time()
    assert not later or eventually(lambda: (seats_now(where, tmp_path) or {}).get("queue"), 60)
    runs.append(start(site, paths[12:], where, str(tmp_path / "run1.jsonl")))
    seen = []
    assert eventually(lambda: seen.append(seats_now(where, tmp_path)) or (
        seen[-1] and len(seen[-1]["holders"]) == 2 and seen[-1]["queue"]), 60), seen[-1:]
    holders, queue = seen[-1]["holders"], seen[-1]["queue"]
    assert {holder["item"] for holder in holders + queue} <= {"m%d.strale" % index for index in range(24)}
    assert [waiter["asked"] for waiter in queue] == sorted(waiter["asked"] for waiter in queue)
    said = [finish(run, 180) for run in runs]
    assert [run.returncode for run in runs] == [0, 0], said
    record = server_record(site)
    assert not denials(record) and licences.most_in_use(record) == 2
    client = request.getfixturevalue("seat_cluster") if where[0] == "dask" else None
    grants = sorted((event for event in pool_record(where, tmp_path, client)
                     if event["event"] == "grant" and event["time"] >= now), key=lambda event: event["asked"])
    assert len(grants) == 24
    overtaken = [(earlier, later) for earlier, later in zip(grants, grants[1:]) if later["time"] < earlier["time"] - 0.3]
    assert not overtaken   # none granted well before one that asked before it
    log = [entry for entry in dralvex_sim.solve_log(site.install_dir) if entry["outcome"] == "solved"]
    kept = [line for line in map(json.loads, open(journal)) if line["event"] == "run ended"][-1]["seats"]["PipeStress"]
    steps = seat_record.in_use(kept["events"], None)   # the page's chart, from the pool's own record
    assert kept["count"] == 2 and max(others for _, _, others in steps) == licences.most_in_use(record)
    first_run = {"m%d.strale" % index for index in range(12)}
    mine = [event for event in kept["events"] if event["event"] == "grant" and event["item"] in first_run]
    assert len(mine) == 12 and len(kept["events"]) > 2 * len(mine)   # the other run's too, as the page draws them
    with open(page, encoding="utf-8") as stream:
        assert "Licence seats: PipeStress" in stream.read()
    if later:   # its turn came after the items that asked before it, not after the whole first run
        first = min(event["time"] for event in grants if event["item"] in {"m%d.strale" % i for i in range(12, 24)})
        assert first < max(event["time"] for event in grants if event["item"] in {"m%d.strale" % i for i in range(12)})
    else:   # half the seat-time each, as half the waiting items, within 10 points
        assert abs(seat_share(log, grants) - 0.5) <= 0.1


def test_a_pools_count_changed_on_dask_is_said_once_and_quietly(seat_cluster, tmp_path, caplog):
    from dralvex_computer.batch.seats import scheduler
    name = "Quiet%d" % time.monotonic_ns()
    with caplog.at_level("INFO"):
        for count in (1, 2, 2):
            scheduler.register_on(seat_cluster, seats.SeatPools({name: count}, str(tmp_path)))
    said = [record for record in caplog.records if record.levelname in ("WARNING", "ERROR")]
    assert [record.getMessage() for record in said] == [
        "the seat pool %s on this cluster had 1 seats; this run says 2, for every run from now" % name]
    assert not any(record.exc_info for record in caplog.records)   # no traceback in the scheduler's log
