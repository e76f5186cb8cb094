"""Licence seats shared by runs, judged by the simulated licence server's
own record: two runs of 16 models started together on 2 seats against one
run of 32 on the same 2 seats (the local pool, then Dask with 3 workers),
and a worker SIGKILLed mid-solve: when its seat came back, and when its
solver program had ended. The table is printed and written to
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

QUICK = "--quick" in sys.argv
MODELS, SOLVE_SECONDS = (8, 0.05) if QUICK else (32, 0.5)
# Dask's defaults unless quick: the lease, and how often the scheduler looks at leases
LEASE, VALIDATION = (2.0, 0.5) if QUICK else (20.0, 10.0)


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
        dask.config.set({"distributed.scheduler.locks.lease-validation-interval": "%ss" % VALIDATION})
        cluster = distributed.LocalCluster(n_workers=3, threads_per_worker=1, processes=True, dashboard_address=":0",
                                           local_directory=os.path.join(root, "dask"))
        engines.append(("Dask, 3 workers", ["--scheduler", cluster.scheduler_address, "--seat-lease", str(LEASE)]))
    try:
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
                "lease %g s + the scheduler's look every %g s" % (LEASE, VALIDATION)
            lines.append("| %s, a worker SIGKILLed mid-solve: its solver ended after / its seat granted again "
                         "after (bound: %s) | %.2f / %.2f | %d denials |" % (name, bound, solver_ended, back, denied))
    finally:
        if cluster is not None:
            cluster.close()
    write_table("seats", lines)


if __name__ == "__main__":
    in_a_workspace(measure)
