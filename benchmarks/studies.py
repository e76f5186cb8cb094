"""Studies that answer a question, measured on both interpreters side by
side in one run (each row of each interpreter in its own process, the
table written to benchmarks/studies.md):

- solves to within 1 % of a constrained optimum (minimise the pipe's cost,
  its mass and its supports, where its largest stress <= 440 MPa; the
  simulated solver's closed form), median over 10 seeds: the package's
  Gaussian-process proposer, a Latin-hypercube table (the rows a table
  needs to hold such a point for half the seeds), random search and (where Optuna is installed)
  Optuna's TPE;
- Sobol' indices of the Ishigami function: from 200 points run through
  map_models, against the known ones, beside SALib's Saltelli estimate and
  the evaluations it needs for the same accuracy (where SALib is installed);
- one proposal's time at 100 points;
- a study with a goal on 3 workers and 2 licence seats: the seat-time no
  item held while proposals were still to come (from when both seats were
  first held to the last grant), from the pool's own record (the licence
  server's own would count each solver program's start too).

    .venv-cpython/bin/python benchmarks/studies.py [--quick]

--quick runs every row small (CI proves the rows run); its figures mean nothing.
"""
import importlib.util
import json
import math
import os
import random
import statistics
import sys
import time

# first: the simulated platform and the prepare hook
from simulated import PREPARE, ROOT, in_a_workspace, on_each_interpreter, write_side_by_side

import dralvex_sim  # noqa: E402
from dralvex_sim.solvers import licences  # noqa: E402
import dralvex_computer as cc  # noqa: E402
from dralvex_computer import batch  # noqa: E402
from dralvex_computer.batch.study import designs  # noqa: E402
from dralvex_computer.batch.surrogates import process as surrogate, sensitivity  # noqa: E402
from dralvex_computer.batch.surrogates.goals import Goal  # noqa: E402
from dralvex_computer.batch.study.propose import Proposer, Tried  # noqa: E402

QUICK = "--quick" in sys.argv
SEEDS = 2 if QUICK else 10
CAP = 60 if QUICK else 400
BOUNDS = {"WallThickness": (1.0, 12.0), "SupportSpacing": (2.0, 8.0)}
GOAL = Goal.parse("minimise cost where max_stress <= 440")


def pipe(point):
    """The closed form of the pipe the study builds (2 pipes of 6 m), its
    cost its mass plus a support's worth of steel per support (continuous,
    as a designer prices spacing)."""
    thickness, spacing = point["WallThickness"], point["SupportSpacing"]
    mass = 7.85e-3 * math.pi * (100 - thickness) * thickness * 12
    return {"max_stress": (50 + 40 * spacing ** 2) / thickness, "cost": mass + 2000 / spacing}


def optimum():
    costs = []
    for step in range(0, 60001):
        spacing = 2.0 + step / 10000
        thickness = (50 + 40 * spacing ** 2) / 440
        if 1.0 <= thickness <= 12.0:
            costs.append(pipe({"WallThickness": thickness, "SupportSpacing": spacing})["cost"])
    return min(costs)


def hit(values, best):
    return values["max_stress"] <= 440 and values["cost"] <= 1.01 * best


def with_proposer(seed, best):
    proposer, tried = Proposer(BOUNDS, GOAL, seed, {"WallThickness": 1e-4, "SupportSpacing": 1e-4}), []
    while len(tried) < CAP:
        point = proposer.next(tried, [])
        tried.append(Tried(point, pipe(point)))
        if hit(tried[-1].values, best):
            return len(tried)
    return CAP


def table_sizes(best):
    """What a study of a fixed table must run: a table is chosen before it
    runs, so a seed's table of N rows either holds a point within 1 % or
    does not. The rows a table needs for half the seeds' tables to hold one
    (as a median), for one of them and for all of them. (The smallest
    table of each seed that holds one would be the best of some hundred
    tables drawn one after another, which no study gets to choose.)"""
    needed = {}
    for size in range(4, CAP + 1, 2):
        holding = sum(any(hit(pipe(point), best) for point in designs.latin_hypercube(BOUNDS, size, seed))
                      for seed in range(1, SEEDS + 1))
        for share, at_least in (("one", 1), ("half", (SEEDS + 1) // 2), ("all", SEEDS)):
            if holding >= at_least:
                needed.setdefault(share, size)
    return [needed.get(share, CAP) for share in ("half", "one", "all")]


def with_random(seed, best):
    draw = random.Random(seed)
    for count in range(1, CAP + 1):
        point = {name: low + (high - low) * draw.random() for name, (low, high) in BOUNDS.items()}
        if hit(pipe(point), best):
            return count
    return CAP


def with_tpe(seed, best):
    from dralvex_computer.batch.study.strategies import OptunaTPE
    ask, history = OptunaTPE(BOUNDS, GOAL, seed), []
    while len(history) < CAP:
        point = ask(history, [])[0]
        history.append((point, pipe(point)))
        if hit(history[-1][1], best):
            return len(history)
    return CAP


TABLE = "Latin-hypercube table (rows for half, one, all of the seeds' tables)"


def median_solves():
    best = optimum()
    found = {}
    ways = [("Gaussian process (the package's own)", with_proposer), ("random search", with_random)]
    if importlib.util.find_spec("optuna") is not None:   # TPE is measured where Optuna is
        ways.append(("Optuna TPE", with_tpe))
    for name, way in ways:
        counts = [way(seed, best) for seed in range(1, SEEDS + 1)]
        found[name] = [statistics.median(counts), min(counts), max(counts)]
        if way is with_proposer:
            found[TABLE] = table_sizes(best)
    return found


def ishigami_row(root):
    """Sobol' indices from 200 points run through map_models on 2 workers."""
    site = dralvex_sim.make_installation(os.path.join(root, "ishigami"))
    site.point(cc.dralvex_core)
    installation = batch.Installation(site.install_dir, "All", site.settings_path, site.data_sources_path,
                                      PREPARE)
    count = 40 if QUICK else 200
    unit = designs.latin_hypercube({"x1": (0, 1), "x2": (0, 1), "x3": (0, 1)}, count, seed=1)
    xs = [[point["x1"], point["x2"], point["x3"]] for point in unit]
    started = time.perf_counter()
    results = batch.map_models(sensitivity.ishigami, [[-math.pi + 2 * math.pi * v for v in x] for x in xs],
                               installation, workers=2, progress=False)
    ran = time.perf_counter() - started
    started = time.perf_counter()
    model = surrogate.GaussianProcess.fit(xs, [result.value for result in results], starts=(0.3,))
    indices = sensitivity.sobol_indices(model)
    fitted = time.perf_counter() - started
    error = max(abs(indices[kind][j] - sensitivity.ISHIGAMI[kind][j]) for kind in indices for j in range(3))
    row = {"points": count, "error": error, "run": ran, "fit": fitted}
    try:
        import numpy
        from SALib.analyze import sobol as salib_sobol
        from SALib.sample import sobol as salib_sample
    except ImportError:
        return row
    problem = {"num_vars": 3, "names": ["x1", "x2", "x3"], "bounds": [[-math.pi, math.pi]] * 3}
    for base in (256, 512, 1024, 2048, 4096, 8192):
        samples = salib_sample.sample(problem, base, seed=1, calc_second_order=False)
        found = salib_sobol.analyze(problem, numpy.array([sensitivity.ishigami(s) for s in samples]), seed=1,
                                    calc_second_order=False)
        theirs = max(max(abs(a - b) for a, b in zip(found["S1"], sensitivity.ISHIGAMI["first"])),
                     max(abs(a - b) for a, b in zip(found["ST"], sensitivity.ISHIGAMI["total"])))
        if theirs <= 0.01 or base == 8192:
            row.update(salib_evaluations=len(samples), salib_error=theirs)
            break
    return row


def proposal_time():
    """One proposal with 100 points tried, best of 3: by a proposer that
    starts there (a resumed study: it fits its processes), and by one that
    proposed the point before (a running study: its fit stands)."""
    draw = random.Random(7)
    tried = []
    for _ in range(40 if QUICK else 100):
        point = {name: low + (high - low) * draw.random() for name, (low, high) in BOUNDS.items()}
        tried.append(Tried(point, pipe(point)))
    cold, running = [], []
    for attempt in range(3):
        proposer = Proposer(BOUNDS, GOAL, attempt + 1)
        proposer.next(tried[:-1], [])
        started = time.perf_counter()
        proposer.next(tried, [])
        running.append(time.perf_counter() - started)
        started = time.perf_counter()
        Proposer(BOUNDS, GOAL, attempt + 1).next(tried, [])
        cold.append(time.perf_counter() - started)
    return {"points": len(tried), "seconds": min(running), "cold": min(cold)}


def seat_idle(root):
    """A goal study on 3 workers and 2 seats: the share of the seat-time
    left idle between the first grant and the last (proposals still to
    come), by the licence server's own record."""
    site = dralvex_sim.make_installation(os.path.join(root, "seats-site"), solve_seconds=0.05 if QUICK else 0.5,
                                         licences={"PipeStress": 2})
    site.point(cc.dralvex_core)
    installation = batch.Installation(site.install_dir, "All", site.settings_path, site.data_sources_path,
                                      PREPARE)
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    import batch_tasks
    budget = 8 if QUICK else 30
    batch.run_study(batch_tasks.build_pressed_pipe, BOUNDS, "PipeStress", installation, batch_tasks.stress_and_mass,
                    directory=os.path.join(root, "goal"), goal="minimise mass where max_stress <= 440",
                    budget=budget, workers=3, seats={"PipeStress": 2}, seat_directory=os.path.join(root, "pool"),
                    progress=False)
    from dralvex_computer.batch.seats import record, view
    made = view.of_directory(os.path.join(root, "pool"))["PipeStress"]["record"]
    grants = sorted(event["time"] for event in made if event["event"] == "grant")
    steps = record.in_use(made, None)   # the pool's own record: seats held by items
    start = next(at for at, mine, others in steps if mine + others == 2)   # the workers all up: from then on
    idle, last, held = 0.0, start, 2
    for at, mine, others in steps:
        idle += (2 - held) * max(0.0, min(at, grants[-1]) - max(last, start))
        last, held = max(last, at), mine + others
    denials = sum(event["event"] == "deny" for event in licences.record(os.path.join(site.install_dir, "Licences"),
                                                                          "PipeStress"))
    return {"solves": len(grants), "idle": idle / (2 * (grants[-1] - start)), "denials": denials}


def measure(root):
    found = {"interpreter": "%s %s" % (sys.implementation.name, sys.version.split()[0]),
             "solves": median_solves(), "ishigami": ishigami_row(root), "proposal": proposal_time(),
             "seats": seat_idle(root)}
    print(json.dumps(found))


def side_by_side():
    """This benchmark on each interpreter there is a venv of, one table."""
    columns = on_each_interpreter(__file__, *(["--quick"] if QUICK else []))
    names = [column["interpreter"] for column in columns]
    lines = ["| studies, 2 cores | %s |" % " | ".join(names), "|---|" + "---|" * len(names)]

    def row(title, cell):
        lines.append("| %s | %s |" % (title, " | ".join(cell(column) for column in columns)))
    ways = list(dict.fromkeys(way for column in columns for way in column["solves"]))
    for way in ways:
        row("solves to within 1 %% of the optimum, median (min-max) of %d seeds: %s" % (SEEDS, way),
            lambda column, way=way: "%g (%g-%g)" % tuple(column["solves"][way]) if way in column["solves"] else "-")
    row("the package's own against a Latin-hypercube table / against TPE", lambda column: "%.1f× / %s" % (
        column["solves"][TABLE][0] / column["solves"]["Gaussian process (the package's own)"][0],
        "%.1f×" % (column["solves"]["Optuna TPE"][0] / column["solves"]["Gaussian process (the package's own)"][0])
        if "Optuna TPE" in column["solves"] else "-"))
    row("Ishigami through map_models: Sobol' indices' largest error from N points (run, fit)", lambda column:
        "%.4f from %d (%.2f s, %.2f s)" % (column["ishigami"]["error"], column["ishigami"]["points"],
                                          column["ishigami"]["run"], column["ishigami"]["fit"]))
    row("SALib's Saltelli estimate: evaluations to within 0.01 (its error)", lambda column:
        "%d (%.4f)" % (column["ishigami"]["salib_evaluations"], column["ishigami"]["salib_error"])
        if "salib_evaluations" in column["ishigami"] else "SALib not here")
    row("one proposal at N points tried: in a running study / its first after a resume", lambda column:
        "%.3f s / %.3f s at %d" % (column["proposal"]["seconds"], column["proposal"]["cold"],
                                  column["proposal"]["points"]))
    row("a goal on 3 workers and 2 seats: seat-time no item held while proposals were to come, by the pool's "
        "record (solves, licence denials)", lambda column: "%.1f %% (%d, %d)" % (
            100 * column["seats"]["idle"], column["seats"]["solves"], column["seats"]["denials"]))
    write_side_by_side("studies", lines, QUICK)


if __name__ == "__main__":
    if "--measure" in sys.argv:
        in_a_workspace(measure)
    else:
        side_by_side()
