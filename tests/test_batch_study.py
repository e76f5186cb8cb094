"""Studies: a point's key (golden keys of this package's first version,
the same on every interpreter), the designs, one study body over every
engine with the simulated solver's closed form as the judge and its own
log counting the solves, the dry run, the page's influence ranking, and
the command line."""
import csv
import json
import math
import os
import random
import re
import subprocess
import sys

import pytest

import batch_tasks
from dralvex_computer import batch
from dralvex_computer.batch import study
from dralvex_computer.batch.results import compare, report, schema, study_page, summary
from dralvex_computer.batch.study import designs, points
from dralvex_sim.solvers.pipestress_program import pipe_stress
import dralvex_sim
import batch_helpers
from batch_helpers import cli, environment, site_options

GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "study-keys.json")


# ------------------------------------------------------------ points

def test_point_keys_never_change():
    with open(GOLDEN, encoding="utf-8") as stream:
        golden = json.load(stream)["points"]
    assert [points.point_key(entry["point"]) for entry in golden] == [entry["key"] for entry in golden]


def test_one_point_however_it_is_written_and_other_points_apart():
    same = [{"a": 1, "b": "x"}, {"b": "x", "a": 1.0}, {"a": True and 1, "b": "x"}]
    numpy = pytest.importorskip("numpy") if "numpy" in sys.modules or _has("numpy") else None
    if numpy is not None:
        same.append({"a": numpy.float64(1.0), "b": "x"})
        same.append({"a": numpy.int64(1), "b": "x"})
    assert len({points.point_key(point) for point in same}) == 1
    apart = [{"a": 1}, {"a": "1"}, {"a": True}, {"a": 1 + 2 ** -52}, {"a": 2 ** 53 + 1}, {"a": 2 ** 53}, {"b": 1}]
    assert len({points.point_key(point) for point in apart}) == len(apart)
    assert points.point_key({"a": -0.0}) == points.point_key({"a": 0})


def _has(name):
    import importlib.util
    return importlib.util.find_spec(name) is not None


def test_point_keys_follow_the_values_alone():
    generator = random.Random(11)
    seen = {}
    for _ in range(300):
        point = {"p%d" % index: generator.choice([generator.randint(-5, 5), generator.uniform(-5, 5),
                                                  generator.choice(["a", "b", "1"]), generator.random() < 0.5])
                 for index in range(generator.randint(1, 4))}
        shuffled = dict(sorted(point.items(), key=lambda _: generator.random()))
        as_floats = {name: float(value) if type(value) is int else value for name, value in point.items()}
        assert points.point_key(point) == points.point_key(shuffled) == points.point_key(as_floats)
        canonical = points.canonical(points.normalised(point))
        assert seen.setdefault(points.point_key(point), canonical) == canonical   # another point, another key
    # a table's cells are numbers when they read as numbers: "1", "1.0" and 1 are one point
    assert {points.point_key(designs.table([{"a": schema.read_scalar(text)}])[0]) for text in ("1", "1.0", " 1 ")} == \
        {points.point_key({"a": 1})}


@pytest.mark.parametrize("point, message", [
    ({"a": float("nan")}, "finite"), ({"a": float("inf")}, "finite"), ({"a": [1, 2]}, "numbers, truth values or text"),
    ({"a": None}, "numbers, truth values or text"), ({1: 2.0}, "name must be text"), ({"": 1}, "name must be text"),
])
def test_a_point_refuses_what_has_no_exact_meaning(point, message):
    with pytest.raises(ValueError, match=message):
        points.point_key(point)


# ------------------------------------------------------------ designs

def test_designs_give_the_points_they_promise(tmp_path, monkeypatch):
    assert len(designs.factorial({"a": (0, 1), "b": (10, 20)}, 3)) == 9
    assert designs.zipped({"a": [1, 2], "b": [3, 4]}) == [{"a": 1, "b": 3}, {"a": 2, "b": 4}]
    with pytest.raises(ValueError, match="one length"):
        designs.zipped({"a": [1, 2], "b": [3]})
    if designs._qmc() is not None:
        sample = designs.sobol({"a": (2.0, 3.0)}, 8, seed=1)
        assert len(sample) == 8 and all(2.0 <= point["a"] <= 3.0 for point in sample)
    for scipy in (True, False):
        if not scipy:
            monkeypatch.setattr(designs, "_qmc", lambda: None)
        sample = designs.latin_hypercube({"a": (0.0, 10.0), "b": (-1.0, 1.0)}, 20, seed=3)
        assert sample == designs.latin_hypercube({"a": (0.0, 10.0), "b": (-1.0, 1.0)}, 20, seed=3)
        for name, (low, high) in (("a", (0.0, 10.0)), ("b", (-1.0, 1.0))):   # one point in each twentieth
            slots = sorted(int((point[name] - low) / (high - low) * 20) for point in sample)
            assert slots == list(range(20))
    with pytest.raises(ValueError, match="Sobol sample needs scipy"):
        designs.sobol({"a": (0.0, 1.0)}, 8, seed=1)
    table = designs.factorial({"wall": (4.0, 12.0), "temperature": (20.0, 180.0)}, 3) + [{"wall": 5, "temperature": 30}]
    designs.write_csv(table, str(tmp_path / "points.csv"))
    read = designs.read_csv(str(tmp_path / "points.csv"))
    assert [points.point_key(point) for point in read] == [points.point_key(point) for point in table]


# ------------------------------------------------------------ a study

def test_a_study_on_every_engine_adds_rows_reruns_on_a_new_version_and_says_why(engine, models, tmp_path):
    name, executor, _ = engine
    installation, _ = models
    directory = str(tmp_path / "study")
    table = designs.factorial({"WallThickness": (4.0, 10.0), "Temperature": (20.0, 120.0)}, 2)
    options = dict(directory=directory, executor=executor, workers=2, progress=False)
    before = len(solved(installation))

    def run(points, version=1):
        return study.run_study(batch_tasks.build_pipe_run, points, "PipeStress", installation, batch_tasks.max_stress,
                               version=version, **options)

    results = run(table)
    assert [result.status for result in results] == ["solved"] * 4
    for result in results:   # the solver's answer is the closed form of the point's properties
        assert math.isclose(result.value["max_stress"], pipe_stress(result.item), rel_tol=1e-12)
        assert result.results_dir == os.path.join(directory, "points", result.identity.split()[1])
        assert name == "thread pool" or result.value["where"] == result.identity.split()[1]   # built in its directory
    assert len(solved(installation, before)) == 4
    more = table + [{"WallThickness": 7, "Temperature": 70}, {"Temperature": 20.0, "WallThickness": 4}]   # one new
    planned = study.plan_study(batch_tasks.build_pipe_run, more, "PipeStress", installation, batch_tasks.max_stress,
                               directory=directory)
    assert [why for _, _, why in planned] == ["done: unchanged since the journal"] * 4 + ["new"]
    assert [result.resumed for result in run(more)] == [True] * 4 + [False]
    assert len(solved(installation, before)) == 5   # the solver's own word: one more solve
    again = run(more, version=2)
    assert all(not result.resumed and result.run_reason == "changed since the journal: version" for result in again)
    assert len(solved(installation, before)) == 10
    with open(os.path.join(directory, study.PARAMETERS_FILE), newline="") as stream:
        assert len(list(csv.DictReader(stream))) == 5


def solved(installation, since=0):
    """The solver program's own record of its solves."""
    return [run for run in dralvex_sim.solve_log(installation.directory)[since:] if run["outcome"] == "solved"]


def test_a_failing_build_fails_its_point_and_an_interrupted_study_goes_on_where_it_stopped(models, tmp_path):
    installation, _ = models
    directory = str(tmp_path / "study")
    table = designs.factorial({"WallThickness": (4.0, 10.0), "Temperature": (20.0, 180.0)}, 3)   # 3 points too hot
    seen = []

    def interrupt_at_3(result):
        seen.append(result)
        if len(seen) == 3:
            raise KeyboardInterrupt
    before = len(solved(installation))
    with pytest.raises(batch.BatchInterrupted) as stop:
        study.run_study(batch_tasks.build_unless_hot, table, "PipeStress", installation, batch_tasks.max_stress,
                        directory=directory, workers=1, progress=False, on_result=interrupt_at_3)
    finished = [result.index for result in stop.value.results if result.status != "cancelled"]
    assert len(finished) >= 3
    results = study.run_study(batch_tasks.build_unless_hot, table, "PipeStress", installation, batch_tasks.max_stress,
                              directory=directory, workers=2, progress=False)
    hot = [index for index, point in enumerate(table) if point["Temperature"] > 150]
    assert [result.status for result in results] == ["failed" if index in hot else "solved" for index in range(9)]
    assert all("no material for 180.0 degrees" in results[index].error_message for index in hot)
    assert all(results[index].resumed for index in finished if index not in hot)   # what ended stands
    assert len(solved(installation, before)) == 6   # the solver's own word: each good point solved once


# ------------------------------------------------------------ goals

PIPE_RANGES = {"WallThickness": (1.0, 12.0), "SupportSpacing": (2.0, 8.0)}
STEPS = {"WallThickness": 0.001, "SupportSpacing": 0.001}
LIGHTEST = "minimise mass where max_stress <= 440"


def goal_study(installation, directory, budget, **options):
    return study.run_study(batch_tasks.build_pressed_pipe, PIPE_RANGES, "PipeStress", installation,
                           batch_tasks.stress_and_mass, directory=directory, goal=LIGHTEST, budget=budget, seed=3,
                           resolution=STEPS, progress=False, **options)


def test_a_goal_finds_the_lightest_pipe_that_holds_in_its_budget(models, tmp_path):
    """The lightest wall that holds 440 MPa at 10 MPa is at the narrowest
    spacing, on the constraint: t = (500 + 40 L²) / 440."""
    installation, _ = models
    before = len(solved(installation))
    results = goal_study(installation, str(tmp_path / "study"), 20, workers=2)
    assert len(results) == 20 and len(solved(installation, before)) == 20   # the solver's own count
    thickness = (500 + 40 * 2.0 ** 2) / 440
    lightest = 7.85e-3 * math.pi * (100 - thickness) * thickness * 12
    held = [result.value["mass"] for result in results if result.value["max_stress"] <= 440]
    assert min(held) <= 1.01 * lightest, (min(held), lightest)
    lines = [json.loads(line) for line in open(str(tmp_path / "study" / study.JOURNAL_FILE))]
    assert [line["item"] for line in lines if line["event"] == "proposed"] == [result.item for result in results]


def test_a_goal_study_stopped_and_resumed_proposes_what_it_would_have(models, tmp_path):
    installation, _ = models
    whole = goal_study(installation, str(tmp_path / "whole"), 10, workers=1)
    goal_study(installation, str(tmp_path / "cut"), 5, workers=1)
    before = len(solved(installation))
    resumed = goal_study(installation, str(tmp_path / "cut"), 10, workers=1)
    assert [result.item for result in resumed] == [result.item for result in whole]
    assert [result.resumed for result in resumed] == [True] * 5 + [False] * 5
    assert len(solved(installation, before)) == 5


def test_a_goal_study_interrupted_mid_run_and_resumed_proposes_what_it_would_have(models, tmp_path):
    installation, _ = models
    whole = goal_study(installation, str(tmp_path / "whole"), 9, workers=1)
    seen = []

    def interrupt_at_4(result):   # a chosen moment: the 4th end, with the next point proposed and running
        seen.append(result)
        if len(seen) == 4:
            raise KeyboardInterrupt
    with pytest.raises(batch.BatchInterrupted):
        goal_study(installation, str(tmp_path / "cut"), 9, workers=1, on_result=interrupt_at_4)
    before = len(solved(installation))
    resumed = goal_study(installation, str(tmp_path / "cut"), 9, workers=1)
    assert [result.item for result in resumed] == [result.item for result in whole]
    assert [result.resumed for result in resumed][:4] == [True] * 4
    assert len(solved(installation, before)) == 5   # the solver's own word: the rest, each once


def test_a_goal_study_keeps_off_where_the_solver_finds_no_solution(ready, tmp_path, worker_environment):
    """Supports wide apart on a thin wall sag with no solution: the solver's
    log says which points failed; none is proposed twice, few come late."""
    site = dralvex_sim.make_installation(str(tmp_path / "sags"), sags=(4.0, 5.0))
    installation = batch_helpers.installation_of(site)
    results = goal_study(installation, str(tmp_path / "study"), 24, workers=2)
    log = dralvex_sim.solve_log(installation.directory)
    failed = [index for index, result in enumerate(results) if result.status != "solved"]
    assert len([run for run in log if run["outcome"] == "no solution"]) == len(failed) >= 1
    assert all("no static solution" in results[index].error_message for index in failed)
    assert all(result.item["SupportSpacing"] > 4 and result.item["WallThickness"] < 5 for result in
               (results[index] for index in failed))
    assert len({tuple(sorted(result.item.items())) for result in results}) == 24
    assert len([index for index in failed if index >= 12]) <= 2, [results[index].item for index in failed]


# ------------------------------------------------------------ the page

@pytest.mark.parametrize("xs, ys, expected", [
    ([1, 2, 3, 4], [10, 20, 30, 45], 1.0), ([1, 2, 3, 4], [4, 3, 2, 1], -1.0), ([1, 2, 3], [5, 5, 5], None),
    ([1, 2], [1, 2], None), ([1, 2, 2, 3], [1, 2, 3, 4], 0.9486832980505138),
])
def test_rank_correlation(xs, ys, expected):
    rho = study_page.spearman(xs, ys)
    assert rho == expected if expected is None else math.isclose(rho, expected)


def test_the_page_of_a_study_ranks_its_parameters(tmp_path):
    rows = []
    for index, point in enumerate(designs.factorial({"WallThickness": (4.0, 10.0), "Temperature": (20.0, 180.0),
                                                     "status": (0.0, 1.0)}, 3)):
        rows.append({"index": index, "item": point, "status": "solved", "identity": "point %d" % index,
                     "value": {"max_stress": pipe_stress(point)}, "elapsed": 0.1, "started": 1.0 + index})
    spread = report.rows(rows)[4]   # the report's and the table's columns: each parameter's, then each value's
    point = rows[4]["item"]
    assert (spread["point.WallThickness"], spread["point.status"], spread["value.max_stress"]) == (
        point["WallThickness"], point["status"], pipe_stress(point))
    assert compare.values_of(schema.record(spread)) == {"max_stress": pipe_stress(point)}   # parameters are no values
    page = summary.render(rows, "A study", study={"parameters": ["WallThickness", "Temperature", "status"]})
    drivers = page[page.index("What drives each value"):page.index("Lowest and highest")]
    total = {name: float(re.search(r">%s</td><td[^>]*>[^/]*</small></td><td[^>]*>([-0-9.]+) " % name, drivers).group(1))
             for name in ("WallThickness", "Temperature", "status")}
    assert total["Temperature"] > total["WallThickness"] > 0.01 > total["status"], total
    live = summary.render(rows, "A study", study={"parameters": ["WallThickness", "Temperature"]}, refresh=5)
    assert "Influence of the parameters" in live and "What drives" not in live   # no process fitted for it
    assert page.count("<h2>max_stress against Temperature</h2>") == 1 and "point 0" in page   # rows named by point
    goal = summary.render(rows, "A goal", study={"parameters": ["status", "WallThickness", "Temperature"],
                                                 "goal": "minimise max_stress where max_stress <= 300"})
    assert "<h2>Where points held</h2>" in goal   # over the two that drive the constraint most, not the first two
    assert "WallThickness against Temperature" in goal[goal.index("<h2>Where points held</h2>"):], goal


# ------------------------------------------------------------ command line

def test_the_study_command_dry_runs_then_runs(ready, tmp_path):
    directory = tmp_path / "study"
    arguments = ["study", "batch_tasks:build_pipe_run", "--collect", "batch_tasks:max_stress", "--directory",
                 str(directory), "--design", "factorial", "--range", "WallThickness=4:8", "--levels", "2",
                 *site_options(ready), "--solver", "PipeStress", "--workers", "2", "--no-progress"]
    dry = subprocess.run(cli(*arguments, "--dry-run"), capture_output=True,
                         text=True, env=environment(), timeout=180)
    assert dry.returncode == 0 and dry.stdout.count(" new ") == 2 and "2 points: 2 new" in dry.stderr, dry.stderr
    assert not directory.exists()   # a dry run writes nothing
    page = str(tmp_path / "page.html")
    run = subprocess.run(cli(*arguments, "--summary", page, "--rank-by", "max_stress"),
                         capture_output=True, text=True, env=environment(), timeout=180)
    assert run.returncode == 0, run.stderr
    assert (directory / study.PARAMETERS_FILE).read_text().splitlines()[0] == "WallThickness"
    assert "Influence of the parameters" in open(page).read()
    refused = subprocess.run(cli(*arguments, "--parameters", "x.csv"),
                             capture_output=True, text=True, env=environment(), timeout=180)
    assert refused.returncode == 2 and "not both" in refused.stderr


def test_the_study_command_runs_a_goal_within_its_budget(ready, tmp_path):
    directory = tmp_path / "study"
    arguments = ["study", "batch_tasks:build_pressed_pipe", "--collect", "batch_tasks:stress_and_mass",
                 "--directory", str(directory), "--goal", LIGHTEST, "--range", "WallThickness=1:12", "--range",
                 "SupportSpacing=2:8", "--resolution", "WallThickness=0.001", "--budget", "8", *site_options(ready),
                 "--solver", "PipeStress", "--workers", "2", "--no-progress"]
    before = len(dralvex_sim.solve_log(ready.install_dir))
    page = str(tmp_path / "page.html")
    run = subprocess.run(cli(*arguments, "--summary", page), capture_output=True, text=True, env=environment(),
                         timeout=180)
    assert run.returncode == 0, run.stderr
    assert len(dralvex_sim.solve_log(ready.install_dir)) - before == 8
    shown = open(page, encoding="utf-8").read()
    assert "The answer: %s" % LIGHTEST.replace("<", "&lt;") in shown and "The best point that holds" in shown
    assert "What drives each value" in shown   # 8 points: enough for a process of each value
    dry = subprocess.run(cli(*arguments, "--dry-run"), capture_output=True, text=True, env=environment(), timeout=180)
    assert dry.returncode == 0 and len(dry.stdout.splitlines()) == 8 and "up to 0 more" in dry.stderr, dry.stderr
    for wrong, said in ((["--goal", "make it cheap"], "is no goal"), (["--explain", "mass"], "not both"),
                        (["--design", "lhs"], "give --range, not --parameters or --design")):
        refused = subprocess.run(cli(*arguments, *wrong), capture_output=True, text=True, env=environment(),
                                 timeout=180)
        assert refused.returncode == 2 and said in refused.stderr, refused.stderr


def test_the_options_of_a_study_keep_its_seats_and_its_journal(tmp_path):
    made = batch.RunOptions(workers=2)   # as the command line makes them
    options = study._options(str(tmp_path), made, {"max_running": 1})
    assert (options.max_running, options.workers, options.resume) == (1, 2, True)
    assert options.journal == os.path.join(str(tmp_path), study.JOURNAL_FILE)
