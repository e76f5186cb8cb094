"""Licence seats shared by runs, judged by the simulated licence server's
own record, the solver programs' log and the pool's own record: two runs
of 16 models on 2 seats, started together or 5 s apart (each run's end;
the worst wait against its bound, (its place in the queue / seats + 1) x
the longest solve + 1 s; grants before an earlier ask); a run that never
waits against the same run without seats; two runs at once against one
run of 32 (the local pool, then Dask with 3 workers), and a worker
SIGKILLed mid-solve: when its seat came back, and when its solver program
had ended. The table is printed and written to
benchmarks/seats-<interpreter>.md.

    .venv-cpython/bin/python benchmarks/seats.py [--quick]
    .venv-pypy/bin/python benchmarks/seats.py [--quick]     (the local pool)

--quick makes every size small and the Dask lease short: it proves the
rows run (CI uses it), its figures mean nothing.
"""
import os
import signal
import subprocess
import sys
import time

from simulated import in_a_workspace, write_table  # first: the simulated platform and the prepare hook

import dralvex_sim  # noqa: E402
from dralvex_sim.solvers import licences  # noqa: E402
import dralvex_computer as cc  # noqa: E402
from dralvex_computer.batch.seats import view  # noqa: E402

QUICK = "--quick" in sys.argv
MODELS, SOLVE_SECONDS = (8, 0.05) if QUICK else (32, 0.5)
# the default lease unless quick (the scheduler's seat plugin looks at leases every quarter of it, at most every second)
LEASE = 2.0 if QUICK else 20.0


def make_site(root, seats, seconds):
    site = dralvex_sim.make_installation(root, solve_seconds=seconds, licences={"PipeStress": seats})
    site.point(cc.dralvex_core)
    cc.setup_dralvex_computer(site.install_dir, cc.DralvexModule.All)
    paths = [dralvex_sim.build_model(cc, os.path.join(site.data_dir, "m%02d" % index), "m%02d" % index, index % 6 + 1)
             for index in range(MODELS)]
    return site, paths


def solve(site, paths, where, seats):
    return subprocess.Popen(
        [sys.executable, "-m", "dralvex_computer", "solve", "--installation", site.install_dir, "--settings",
         site.settings_path, "--data-sources", site.data_sources_path, "--solver", "PipeStress", "--no-progress",
         "--seats", "PipeStress=%d" % seats, *where, *paths], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
        text=True)


def ended(process):
    _, said = process.communicate(timeout=1800)
    if process.returncode != 0:
        raise RuntimeError("a run failed: %s" % said[-2000:])


def record_since(site, since):
    return [event for event in licences.record(os.path.join(site.install_dir, "Licences"), "PipeStress")
            if event["time"] >= since]


def shared_rows(site, paths, where):
    """(two runs of half the models at once, one run of all) seconds, and
    the server's record of the two."""
    started = time.time()
    runs = [solve(site, paths[:MODELS // 2], where, 2), solve(site, paths[MODELS // 2:], where, 2)]
    for run in runs:
        ended(run)
    both = time.time() - started
    record = record_since(site, started)
    started = time.time()
    ended(solve(site, paths, where, 2))
    one = time.time() - started
    return both, one, record


def fair_row(site, paths, where, pool_record, later):
    """Two runs of half the models on 2 seats, the second ``later`` seconds
    after the first: (each run's end after the first's start, the worst
    wait over its bound, items granted before one that asked earlier), from
    the solver programs' log and the pool's own record."""
    started = time.time()
    halves = [paths[:MODELS // 2], paths[MODELS // 2:]]
    runs = [solve(site, halves[0], where, 2)]
    time.sleep(later)
    runs.append(solve(site, halves[1], where, 2))
    for run in runs:
        ended(run)
    log = [entry for entry in dralvex_sim.solve_log(site.install_dir) if entry["started"] >= started]
    second = {os.path.basename(path) for path in halves[1]}
    ends = [max(entry["ended"] for entry in log if (entry["models"][0] in second) == side) - started
            for side in (False, True)]
    longest = max(entry["ended"] - entry["started"] for entry in log)
    grants = sorted((event for event in pool_record() if event["event"] == "grant" and event["time"] >= started),
                    key=lambda event: event["asked"])
    worst = 0.0
    for place, event in enumerate(grants):
        ahead = sum(1 for other in grants[:place] if other["time"] > event["asked"])   # still waiting when it asked
        worst = max(worst, (event["time"] - event["asked"]) / ((ahead / 2 + 1) * longest + 1))
    overtaken = sum(1 for earlier, later_one in zip(grants, grants[1:]) if later_one["time"] < earlier["time"] - 0.3)
    return ends, worst, overtaken


def never_waits_row(root, where):
    """One run that never waits (more seats than workers, here and on the
    licence server) against the same run without seats: best of three
    each, side by side."""
    site, paths = make_site(os.path.join(root, "eight-%d" % time.monotonic_ns()), 8, SOLVE_SECONDS)
    best = {}
    for _ in range(3):
        for seats in (None, 8):
            started = time.time()
            ended(subprocess.Popen(
                [sys.executable, "-m", "dralvex_computer", "solve", "--installation", site.install_dir, "--settings",
                 site.settings_path, "--data-sources", site.data_sources_path, "--solver", "PipeStress",
                 "--no-progress", *(["--seats", "PipeStress=%d" % seats] if seats else []), *where, *paths],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True))
            best[seats] = min(best.get(seats, float("inf")), time.time() - started)
    return best[None], best[8]


def solver_of(site):
    solvers = os.path.join(site.install_dir, "Solvers")
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open("/proc/%s/cmdline" % name, "rb") as stream:
                    if solvers.encode() in stream.read():
                        return int(name)
            except OSError:
                pass
    return None


def gone(pid):
    try:
        with open("/proc/%d/stat" % pid) as stream:
            return stream.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


def parent_of(pid):
    with open("/proc/%d/stat" % pid) as stream:
        return int(stream.read().rsplit(")", 1)[1].split()[1])


def killed_worker_row(root, where):
    """One seat; a run's worker SIGKILLed mid-solve: (seconds until its
    solver had ended, until the server granted the seat again, denials)."""
    site, paths = make_site(os.path.join(root, "killed-%d" % time.monotonic_ns()), 1, 3.0)
    run = solve(site, paths[:3], where, 1)
    deadline = time.monotonic() + 120
    while solver_of(site) is None and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.5)
    solver = solver_of(site)
    killed = time.time()
    os.kill(parent_of(solver), signal.SIGKILL)
    while not gone(solver):
        time.sleep(0.01)
    solver_ended = time.time() - killed
    run.communicate(timeout=600)   # the lost model is reported, the others solved
    record = record_since(site, killed)
    granted = [event["time"] for event in record if event["event"] == "grant"]
    return solver_ended, (granted[0] - killed) if granted else float("nan"), sum(
        event["event"] == "deny" for event in record)


def measure(root):
    site, paths = make_site(os.path.join(root, "site"), 2, SOLVE_SECONDS)
    title = "%s %s, %d models of %.2f s CPU on 2 seats, %d cores" % (
        sys.implementation.name, sys.version.split()[0], MODELS, SOLVE_SECONDS, os.cpu_count())
    lines = ["| %s | seconds | ratio, or the server's record |" % title, "|---|---|---|"]
    engines = [("local pool, 3 workers a run", ["--workers", "3", "--seat-directory", os.path.join(root, "seats")])]
    cluster = None
    try:
        import dask
        import distributed
    except ImportError:
        lines.append("| Dask | does not import here | - |")
    else:
        dask.config.set({"temporary-directory": os.path.join(root, "dask")})   # the scheduler's scratch too, not /tmp's
        cluster = distributed.LocalCluster(n_workers=3, threads_per_worker=1, processes=True, dashboard_address=":0",
                                           local_directory=os.path.join(root, "dask"))
        engines.append(("Dask, 3 workers", ["--scheduler", cluster.scheduler_address, "--seat-lease", str(LEASE)]))
        client = distributed.Client(cluster)
    records = {"local pool, 3 workers a run": lambda: view.of_directory(os.path.join(root, "seats"))["PipeStress"][
        "record"], "Dask, 3 workers": lambda: view.of_scheduler(client)["PipeStress"]["record"]}
    try:
        for name, where in engines:
            for later in (0, 5):
                ends, worst, overtaken = fair_row(site, paths, where, records[name], later)
                lines.append("| %s: two runs of %d, the second %d s later: each run's end (s) / worst wait over its "
                             "bound / granted before an earlier ask | %.2f, %.2f | %.2f / %d |"
                             % (name, MODELS // 2, later, ends[0], ends[1], worst, overtaken))
        for name, where in engines:
            bare, seated = never_waits_row(root, where)
            lines.append("| %s: one run of %d that never waits (8 seats) / without seats, best of 3 | %.2f / %.2f | "
                         "%.3f |" % (name, MODELS, seated, bare, seated / bare))
        for name, where in engines:
            both, one, record = shared_rows(site, paths, where)
            lines.append("| %s: two runs of %d at once / one run of %d | %.2f / %.2f | %.3f |"
                         % (name, MODELS // 2, MODELS, both, one, both / one))
            lines.append("| %s, the two runs: grants, denials, most seats in use at once | - | %d, %d, %d |"
                         % (name, sum(event["event"] == "grant" for event in record),
                            sum(event["event"] == "deny" for event in record), licences.most_in_use(record)))
        for name, where in engines:
            solver_ended, back, denied = killed_worker_row(root, where)
            bound = "at once once its processes ended" if name.startswith("local") else \
                "lease %g s + the scheduler's look every %g s" % (LEASE, min(1.0, LEASE / 4))
            lines.append("| %s, a worker SIGKILLed mid-solve: its solver ended after / its seat granted again "
                         "after (bound: %s) | %.2f / %.2f | %d denials |" % (name, bound, solver_ended, back, denied))
    finally:
        if cluster is not None:
            client.close()
            cluster.close()
    write_table("seats", lines)


if __name__ == "__main__":
    in_a_workspace(measure)
