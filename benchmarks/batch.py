"""Many models at once, as ratios side by side in one run: 16 models whose
simulated solve takes about 0.5 s of CPU each, solved by a plain loop in
one process, by solve_models with 1 and with 2 local workers, and by a Dask
LocalCluster of 2 single-thread workers; the same 2-worker run writing a
journal (its cost); a command-line run interrupted after about half the
models and resumed (how many models the resumed run solves again); and the
time from Ctrl-C (SIGINT) and from SIGTERM to the command line's exit with
2 busy workers. The table is printed and
written to benchmarks/batch-<interpreter>.md.

    .venv-cpython/bin/python benchmarks/batch.py [--quick]

--quick uses 4 models of 0.05 s: it proves the rows run, its figures mean
nothing.
"""
import json
import math
import os
import signal
import subprocess
import sys
import tempfile
import time

from simulated import PREPARE, in_a_workspace, write_table  # first: the simulated platform and the prepare hook

import dralvex_sim  # noqa: E402
import dralvex_computer as cc  # noqa: E402
from dralvex_computer import batch  # noqa: E402

QUICK = "--quick" in sys.argv
MODELS, SOLVE_SECONDS = (4, 0.05) if QUICK else (16, 0.5)


def make_models(site):
    cc.setup_dralvex_computer(site.install_dir, cc.DralvexModule.All)
    # each model its own content: the journal tells them apart
    return [dralvex_sim.build_model(cc, os.path.join(site.data_dir, "model%02d" % index), "model%02d" % index, index + 1)
            for index in range(MODELS)]


def plain_loop(site, paths):
    for path in paths:
        assert cc.solve(path, "PipeStress", True) is not None
        cc.disposeSolution()


def timed(run):
    started = time.perf_counter()
    run()
    return time.perf_counter() - started


def command(site, paths, *options):
    return [sys.executable, "-m", "dralvex_computer", "solve", "--installation", site.install_dir, "--solver",
            "PipeStress", "--settings", site.settings_path, "--data-sources", site.data_sources_path, "--workers",
            "2", "--no-progress", *options, *paths]


def interrupt_time(site, paths, signum):
    slow = _slow(site)
    process = subprocess.Popen(command(slow, paths[:2]), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(3 if QUICK else 6)   # both workers busy
    started = time.perf_counter()
    process.send_signal(signum)
    status = process.wait(timeout=60)
    assert status == 128 + signum, status
    return time.perf_counter() - started


_slow_sites = {}


def _slow(site):
    if site.root not in _slow_sites:
        _slow_sites[site.root] = dralvex_sim.make_installation(os.path.join(site.root, "slow"), solve_seconds=60)
    return _slow_sites[site.root]


def ended_in(journal):
    try:
        with open(journal) as stream:
            return sum('"event": "ended"' in line for line in stream)
    except OSError:
        return 0


def solved_by_the_solver(site):
    """Solves as the solver programs themselves recorded them."""
    return sum(entry["outcome"] == "solved" for entry in dralvex_sim.solve_log(site.install_dir))


def resumed_work(site, paths):
    """(models whose result was in the journal at the interruption, solves
    the resumed run made as the solver program counts them, models it took
    from the journal)."""
    journal = os.path.join(site.root, "resume.journal")
    process = subprocess.Popen(command(site, paths, "--journal", journal), stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    while ended_in(journal) < len(paths) // 2 and process.poll() is None:
        time.sleep(0.02)
    process.send_signal(signal.SIGINT)
    process.wait(timeout=60)
    before = ended_in(journal)
    solves_before = solved_by_the_solver(site)
    subprocess.run(command(site, paths, "--journal", journal, "--resume"), check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    solved_again = solved_by_the_solver(site) - solves_before
    return before, solved_again, len(paths) - solved_again


def licence_rows(root, paths):
    """The same models on an installation whose licence server has one
    PipeStress seat, 2 local workers: seats followed, and seats denied then
    retried."""
    licensed = dralvex_sim.make_installation(os.path.join(root, "licensed"), solve_seconds=SOLVE_SECONDS,
                                             licences={"PipeStress": 1})
    installation = batch.Installation(licensed.install_dir, "All", licensed.settings_path,
                                      licensed.data_sources_path, PREPARE)
    outcome = {}

    def limited():
        results = batch.solve_models(paths, "PipeStress", installation, workers=2, progress=False,
                                     max_running={"PipeStress": 1})
        assert all(result.status == batch.SOLVED for result in results)

    def retried():
        results = batch.solve_models(paths, "PipeStress", installation, workers=2, progress=False, retries=1000,
                                     retry_delay=0.05, retry_on=lambda r: "no licence" in (r.error_message or ""))
        outcome["failed"] = sum(not result.ok for result in results)
        outcome["retries"] = sum(result.tries - 1 for result in results)

    return timed(limited), timed(retried), outcome


def summary_time(root):
    """Seconds to write the summary of a 1,000-item journal, as the
    command line does it (a process of its own)."""
    journal = os.path.join(root, "thousand.journal")
    with open(journal, "w") as stream:
        for index in range(1000):
            record = {"index": index, "item": "/models/m%04d.strale" % index,
                      "status": "solved" if index % 10 else "failed", "value": {"max_stress": 12.5 * (index % 9)},
                      "error_message": None if index % 10 else "no licence available", "elapsed": 0.5 + index % 7,
                      "worker": "ws%d:%d" % (index % 4, index % 4), "started": 1.7e9 + index * 0.5, "tries": 1,
                      "warnings": [], "resumed": False}
            stream.write(json.dumps({"event": "ended", "key": str(index), "record": record}) + "\n")
    started = time.perf_counter()
    subprocess.run([sys.executable, "-m", "dralvex_computer", "summary", journal, "-o",
                    os.path.join(root, "summary.html")], check=True)
    return time.perf_counter() - started


def compare_time(root):
    """Seconds to read two journals of 10,000 items with 20 values each
    and compare them (every 50th item's values moved by 0.1 %)."""
    from dralvex_computer.batch.results import compare
    paths = []
    for night, scale in (("old", 0.0), ("new", 1e-3)):
        path = os.path.join(root, "%s.journal" % night)
        with open(path, "w") as stream:
            identities = ["model%05d" % index for index in range(10000)]
            stream.write(json.dumps({"event": "run", "run": night, "format": 2, "items": identities,
                                     "identities": identities}) + "\n")
            for index, identity in enumerate(identities):
                factor = 1 + (scale if index % 50 == 0 else 0.0)
                values = {"value%02d" % column: (index + column) * factor for column in range(20)}
                stream.write(json.dumps({"event": "ended", "run": night, "index": index, "identity": identity,
                                         "key": "k", "inputs": {"model": "m"}, "record": {
                                             "index": index, "item": identity, "identity": identity,
                                             "status": "solved", "value": values}}) + "\n")
        paths.append(path)

    def compared():
        changes = compare.compare(compare.load(paths[0]), compare.load(paths[1]))
        compare.text(changes)
        assert compare.counts(changes)["surprising"] == 200

    def read():   # the floor: both journals read into memory with json.loads line by line, nothing more
        nights = []
        for path in paths:
            with open(path, encoding="utf-8") as stream:
                nights.append([json.loads(line) for line in stream])
        return nights

    def parsed():   # below the floor: each line parsed and dropped
        for path in paths:
            with open(path, encoding="utf-8") as stream:
                for line in stream:
                    json.loads(line)

    return best_of_interleaved(5, compared, read, parsed)


def best_of_interleaved(rounds, *runs):
    """The best time of each run over ``rounds`` rounds, the runs taking
    turns (a JIT warms for all alike)."""
    best = [math.inf] * len(runs)
    for _ in range(rounds):
        for place, run in enumerate(runs):
            best[place] = min(best[place], timed(run))
    return best


def live_page_share(root, installation, paths):
    """(the share of a 2-worker run's wall time that its live page took,
    the pages written): the page rewritten from the journal while the run
    goes on, as --summary does, at its shortest interval."""
    from dralvex_computer.batch.results.live import LivePage
    journal = os.path.join(root, "live.journal")
    page = LivePage(journal, os.path.join(root, "live.html"), seconds=1.0)
    started = time.perf_counter()
    page.start()
    try:
        results = batch.solve_models(paths, "PipeStress", installation, workers=2, progress=False, journal=journal)
    finally:
        page.stop()
    assert all(result.status == batch.SOLVED for result in results)
    return page.busy / (time.perf_counter() - started), page.pages


def build_point(point, directory):
    """A study's build: a run of 3 pipes with the point's properties."""
    return dralvex_sim.build_model(cc, directory, "run", 3, point)


def collect_stress(solution, path):
    return solution.Results["analysis"]["max_stress"]


def study_rows(root):
    """(seconds of a study of N points on 2 workers, of a plain loop that
    builds and solves the same points, N; solves when 10 points are added,
    by the solver's own log; seconds of a dry run of 10,000 points)."""
    site = dralvex_sim.make_installation(os.path.join(root, "study-site"), solve_seconds=0.005 if QUICK else 0.05)
    site.point(cc.dralvex_core)
    cc.setup_dralvex_computer(site.install_dir, cc.DralvexModule.All)
    installation = batch.Installation(site.install_dir, "All", site.settings_path, site.data_sources_path, PREPARE)
    count = 20 if QUICK else 200
    bounds = {"WallThickness": (4.0, 12.0), "Temperature": (20.0, 180.0), "SupportSpacing": (2.0, 6.0)}
    table = batch.study.latin_hypercube(bounds, count + 10, seed=1)

    def loop():
        for index, point in enumerate(table[:count]):
            directory = os.path.join(root, "loop", str(index))
            os.makedirs(directory, exist_ok=True)
            assert cc.solve(build_point(point, directory), "PipeStress", False) is not None
            cc.disposeSolution()

    def run(points):
        results = batch.run_study(build_point, points, "PipeStress", installation, collect_stress,
                                  directory=os.path.join(root, "study"), workers=2, progress=False)
        assert all(result.ok for result in results)
    looped = timed(loop)
    studied = timed(lambda: run(table[:count]))
    before = solved_by_the_solver(site)
    run(table)
    added = solved_by_the_solver(site) - before
    many = batch.study.latin_hypercube(bounds, 10000, seed=2)
    dry = timed(lambda: batch.plan_study(build_point, many, "PipeStress", installation, collect_stress,
                                         directory=os.path.join(root, "study")))
    return studied, looped, count, added, dry


def tiny(item):
    """An item that costs nothing: what a run costs per item."""
    return item


def per_item_costs(installation):
    """Microseconds per tiny item, 2 workers on spawn, best of 3: Pebble's own
    map and the standard library's executor on a pool started beforehand;
    map_models without and with a journal, each item after the first tenth
    (a run starts its own pool: that start, measured on the first tenth
    alone, is the run's, not its items'). Also the seconds of that start."""
    import concurrent.futures
    import multiprocessing
    import pebble
    count = 200 if QUICK else 2000
    items = list(range(count))
    context = multiprocessing.get_context("spawn")
    costs = {}

    def best(run):
        return min(timed(run) for _ in range(3))

    with pebble.ProcessPool(max_workers=2, context=context) as pool:
        list(pool.map(tiny, [0, 1]).result())
        costs["pebble"] = best(lambda: list(pool.map(tiny, items).result())) / count * 1e6
    try:
        with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as executor:
            list(executor.map(tiny, [0, 1]))
            costs["executor"] = best(lambda: list(executor.map(tiny, items))) / count * 1e6
    except AttributeError:   # PyPy 3.9's executor on spawn lacks a method of its own
        costs["executor"] = math.nan
    journal = os.path.join(tempfile.gettempdir(), "dralvex-bench-items-%d.journal" % os.getpid())

    def run(some, with_journal):
        if os.path.exists(journal):
            os.remove(journal)
        batch.map_models(tiny, some, installation, workers=2, progress=False,
                         journal=journal if with_journal else None)
    try:
        for name, with_journal in (("map_models", False), ("map_models, journal", True)):
            start = best(lambda: run(items[:count // 10], with_journal))
            whole = best(lambda: run(items, with_journal))
            costs[name] = (whole - start) / (count - count // 10) * 1e6
            costs[name + ", start"] = start
        # a run's workers start cold: on PyPy its JIT warms over more items than 2,000 give two workers
        longer = list(range(count * 5))
        costs["map_models, longer"] = (best(lambda: run(longer, False)) - costs["map_models, start"]) \
            / (len(longer) - count // 10) * 1e6
    finally:
        if os.path.exists(journal):
            os.remove(journal)
    return count, costs


def measure(root):
    site = dralvex_sim.make_installation(root, solve_seconds=SOLVE_SECONDS)
    site.point(cc.dralvex_core)
    paths = make_models(site)
    installation = batch.Installation(site.install_dir, "All", site.settings_path, site.data_sources_path, PREPARE)

    def pool(workers):
        def run():
            results = batch.solve_models(paths, "PipeStress", installation, workers=workers, progress=False)
            assert all(result.status == batch.SOLVED for result in results), [r.status for r in results]
        return run

    rows = [("plain loop, one process", timed(lambda: plain_loop(site, paths)))]
    rows.append(("solve_models, 1 local worker", timed(pool(1))))
    rows.append(("solve_models, 2 local workers", timed(pool(2))))
    journal = os.path.join(root, "bench.journal")

    def with_journal():
        if os.path.exists(journal):
            os.remove(journal)
        results = batch.solve_models(paths, "PipeStress", installation, workers=2, progress=False, journal=journal)
        assert all(result.status == batch.SOLVED for result in results)

    rows.append(("solve_models, 2 local workers, journal", timed(with_journal)))
    try:
        import distributed
    except ImportError:
        rows.append(("Dask LocalCluster, 2 workers", None))
    else:
        import dask
        dask.config.set({"temporary-directory": os.path.join(root, "dask")})   # the scheduler's scratch too, not /tmp's
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                      local_directory=os.path.join(root, "dask")) as cluster:
            with distributed.Client(cluster) as client:
                def on_dask():
                    results = batch.solve_models(paths, "PipeStress", installation, executor=client, progress=False)
                    assert all(result.status == batch.SOLVED for result in results)
                on_dask()   # workers warm: set up once, as in a long run
                rows.append(("Dask LocalCluster, 2 workers (set up)", timed(on_dask)))
    loop = rows[0][1]
    local_two = rows[2][1]
    title = "%s %s, %d models of %.2f s CPU, %d cores" % (
        sys.implementation.name, sys.version.split()[0], MODELS, SOLVE_SECONDS, os.cpu_count())
    lines = ["| %s | seconds | speed-up over the loop |" % title, "|---|---|---|"]
    for name, seconds in rows:
        if seconds is None:
            lines.append("| %s | not installed | - |" % name)
        else:
            lines.append("| %s | %.2f | %.2f |" % (name, seconds, loop / seconds))
    dask_rows = [seconds for name, seconds in rows if name.startswith("Dask") and seconds]
    if dask_rows:
        lines.append("| Dask / 2 local workers | %.2f | - |" % (dask_rows[0] / local_two))
    lines.append("| journal / no journal, 2 local workers | %.3f | - |" % (rows[3][1] / local_two))
    fingerprints = timed(lambda: [batch.SolveTask("PipeStress").describe(path) for path in paths])
    lines.append("| fingerprints of the %d models (what each solve reads) / 2 local workers | %.4f | - |"
                 % (MODELS, fingerprints / local_two))
    before, again, taken = resumed_work(site, paths)
    lines.append("| interrupted with %d of %d models in the journal, resumed: solves (the solver's own log) | %d | - |"
                 % (before, MODELS, again))
    limited, retried, outcome = licence_rows(root, paths)
    lines.append("| 1 licence seat, max_running 1: seconds / the loop | %.2f | %.3f |" % (limited, limited / loop))
    lines.append("| 1 licence seat, denials retried: seconds (retries, failed) | %.2f | %d retries, %d failed |"
                 % (retried, outcome["retries"], outcome["failed"]))
    lines.append("| summary of a 1,000-item journal (command line) | %.2f | - |" % summary_time(root))
    compared, read, parsed = compare_time(root)
    lines.append("| compare two journals of 10,000 items x 20 values (read, compared, said) / both read into memory "
                 "with json.loads line by line / each line parsed and dropped | %.2f / %.2f / %.2f | %.2f x / %.2f x |"
                 % (compared, read, parsed, compared / read, compared / parsed))
    share, pages = live_page_share(root, installation, paths)
    lines.append("| the live page (rewritten every second at most) / a 2-worker run's wall time | %.3f %% | %d pages |"
                 % (100 * share, pages))
    count, costs = per_item_costs(installation)
    lines.append("| per tiny item, 2 workers, best of 3 (us): Pebble's map / the standard executor / map_models / "
                 "with a journal | %.0f / %.0f / %.0f / %.0f | map_models %.1f x Pebble, %.1f x with a journal |"
                 % (costs["pebble"], costs["executor"], costs["map_models"], costs["map_models, journal"],
                    costs["map_models"] / costs["pebble"], costs["map_models, journal"] / costs["pebble"]))
    lines.append("| per tiny item in a run of %d, 2 workers (us): map_models / Pebble's map above | %.0f | %.1f x |"
                 % (count * 5, costs["map_models, longer"], costs["map_models, longer"] / costs["pebble"]))
    lines.append("| a run's own start (its pool, the checks, the journal), %d tiny items: seconds | %.2f | %.2f with a "
                 "journal |" % (count // 10, costs["map_models, start"], costs["map_models, journal, start"]))
    studied, looped, points, added, dry = study_rows(root)
    lines.append("| a study of %d points (built, solved, collected), 2 local workers: seconds / a plain loop that builds "
                 "and solves them | %.2f / %.2f | %.2f |" % (points, studied, looped, looped / studied))
    lines.append("| 10 points added to the finished study: solves (the solver's own log) | %d | - |" % added)
    lines.append("| dry run of a 10,000-point study (which points run and why) | %.2f | - |" % dry)
    lines.append("| Ctrl-C to exit, 2 busy workers | %.2f | - |" % interrupt_time(site, paths, signal.SIGINT))
    lines.append("| SIGTERM to exit, 2 busy workers | %.2f | - |" % interrupt_time(site, paths, signal.SIGTERM))
    write_table("batch", lines)


if __name__ == "__main__":
    in_a_workspace(measure)
