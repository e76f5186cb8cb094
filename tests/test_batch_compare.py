"""What changed since the last run: every category planted in two journals
with its exact expected result, the tolerances at their edges, reports as
runs, the command line's exit status, and the two uses in ``solve``:
rerunning what failed, and comparing with last night."""
import csv
import json
import math

import pytest

from dralvex_computer.batch.results import compare
from batch_helpers import command, make_model, site_options, solves


def journal(path, rows):
    """A journal of one run: (identity, status, value, inputs) per item."""
    lines = [{"event": "run", "run": "r", "format": 2, "items": [identity for identity, *_ in rows],
              "identities": [identity for identity, *_ in rows]}]
    for index, (identity, status, value, inputs) in enumerate(rows):
        lines.append({"event": "ended", "run": "r", "index": index, "identity": identity, "key": "k",
                      "inputs": inputs, "record": {"index": index, "item": identity, "status": status,
                                                   "value": value, "identity": identity}})
    lines.append({"event": "run ended", "run": "r", "interrupted": False})
    path.write_text("".join(json.dumps(line) + "\n" for line in lines))
    return str(path)


SAME = {"model": "a", "loads.thf": "1"}
OTHER_LOADS = {"model": "a", "loads.thf": "2"}

OLD = [("kept", "solved", {"max_stress": 312.0}, SAME),
       ("breaks", "solved", {"max_stress": 1.0}, SAME),
       ("mended", "failed", None, SAME),
       ("still", "failed", None, SAME),
       ("moved", "solved", {"max_stress": 312.0}, SAME),
       ("redesigned", "solved", {"max_stress": 312.0}, SAME),
       ("reloaded", "solved", {"max_stress": 312.0}, SAME),
       ("gone", "solved", {"max_stress": 1.0}, SAME)]
NEW = [("kept", "solved", {"max_stress": 312.0000001}, SAME),
       ("breaks", "timed out", None, SAME),
       ("mended", "solved", {"max_stress": 2.0}, SAME),
       ("still", "worker lost", None, SAME),
       ("moved", "solved", {"max_stress": 318.5}, SAME),
       ("redesigned", "solved", {"max_stress": 318.5}, OTHER_LOADS),
       ("reloaded", "solved", {"max_stress": 312.0}, OTHER_LOADS),
       ("new", "solved", {"max_stress": 1.0}, SAME)]
EXPECTED = {"kept": "unchanged", "breaks": "newly failing", "mended": "newly passing", "still": "still failing",
            "moved": "surprising", "redesigned": "value changed", "reloaded": "inputs changed", "new": "added",
            "gone": "removed"}


def test_every_category_from_two_journals(tmp_path):
    changes = compare.compare(compare.load(journal(tmp_path / "old.journal", OLD)),
                              compare.load(journal(tmp_path / "new.journal", NEW)))
    assert {change.identity: change.category for change in changes} == EXPECTED
    assert [change.identity for change in changes][-1] == "gone"   # the new run's order, then what it lost
    by_name = {change.identity: change for change in changes}
    assert by_name["redesigned"].inputs == ["loads.thf"] and by_name["moved"].inputs == []
    assert by_name["moved"].values == {"max_stress": (312.0, 318.5)}
    assert compare.regressed(changes)
    text = compare.text(changes)
    assert "max_stress 312.0 -> 318.5 (+2.08%)" in text and "inputs changed: loads.thf" in text


@pytest.mark.parametrize("old,new,tolerance,same", [
    (0.0, 1e-12, (1e-6, 1e-9), True),          # near zero the absolute tolerance decides
    (0.0, 1e-6, (1e-6, 1e-9), False),
    (1000.0, 1000.0009, (1e-6, 0.0), True),    # relative to the larger of the two
    (1000.0, 1000.002, (1e-6, 0.0), False),
    (-5.0, 5.0, (2.0, 0.0), True),
    (math.inf, math.inf, (1e-6, 1e-9), True),
    (math.inf, -math.inf, (1e-6, 1e-9), False),
    ("nan", "nan", (1e-6, 1e-9), True),        # as records write a float that is no number
    (1.0, "nan", (1e-6, 1e-9), False),
    ("pass", "pass", (1e-6, 1e-9), True),      # a verdict: text compared as text
    ("pass", "fail", (1e-6, 1e-9), False),
    (1, 1.0, (0.0, 0.0), True),
    (True, 1, (1e-6, 1e-9), False),            # a flag is no number
])
def test_tolerances_at_their_edges(old, new, tolerance, same):
    rows = [compare.Row("m", "m", "solved", {"v": old}, SAME)], [compare.Row("m", "m", "solved", {"v": new}, SAME)]
    change, = compare.compare(*rows, tolerance=tolerance)
    assert (change.category == "unchanged") is same


def test_a_column_of_its_own_tolerance_and_a_column_that_appears():
    old = [compare.Row("m", "m", "solved", {"stress": 100.0, "mass": 10.0}, SAME)]
    new = [compare.Row("m", "m", "solved", {"stress": 104.0, "mass": 10.0, "note": "check"}, SAME)]
    loose = compare.column_tolerances(["stress=0.05"], 0.0)
    change, = compare.compare(old, new, columns=loose)
    assert change.values == {"note": (None, "check")}
    with pytest.raises(ValueError):
        compare.column_tolerances(["stress=five"], 0.0)


@pytest.mark.parametrize("form", ["jsonl", "csv"])
def test_reports_compare_as_runs_without_their_inputs(tmp_path, form):
    def report(name, rows):
        path = tmp_path / ("%s.%s" % (name, form))
        records = [{"index": index, "item": identity, "identity": identity, "status": status,
                    "value_max_stress": value["max_stress"] if value else ""}
                   for index, (identity, status, value, _) in enumerate(rows)]
        with open(path, "w", newline="") as stream:
            if form == "csv":
                writer = csv.DictWriter(stream, list(records[0]))
                writer.writeheader()
                writer.writerows(records)
            else:
                stream.write("".join(json.dumps(record) + "\n" for record in records))
        return str(path)
    changes = compare.compare(compare.load(report("old", OLD)), compare.load(report("new", NEW)))
    found = {change.identity: change.category for change in changes}
    # without inputs nothing is known to be the same: no "surprising", no "inputs changed"
    assert found == dict(EXPECTED, moved="value changed", reloaded="unchanged")


def test_the_command_line_says_whether_anything_regressed(tmp_path):
    old, new = journal(tmp_path / "old.journal", OLD), journal(tmp_path / "new.journal", NEW)
    regressed = command("compare", old, new, "--json")
    assert regressed.returncode == 1, regressed.stderr
    answer = json.loads(regressed.stdout)
    assert answer["regressed"] and answer["counts"]["surprising"] == 1
    assert {change["identity"] for change in answer["changes"]} == set(EXPECTED) - {"kept"}
    calm = command("compare", old, old)
    assert calm.returncode == 0 and "nothing regressed" in calm.stdout
    for broken in (["compare", old, str(tmp_path / "missing.journal")],
                   ["compare", old, new, "--tolerance", "max_stress=big"]):
        refused = command(*broken)
        assert refused.returncode == 2 and "Traceback" not in refused.stderr, refused.stderr


def test_rerun_what_failed_and_compare_with_the_night_before(ready, tmp_path):
    good = make_model(tmp_path / "models" / "good", "good")
    broken = make_model(tmp_path / "models" / "broken", "broken")
    (tmp_path / "models" / "broken" / "conception.fre").write_text("garbage")
    night = str(tmp_path / "night.journal")
    solve = ("solve", *site_options(ready), "--solver", "PipeStress", "--workers", "2")
    first = command(*solve, "--journal", night, good, broken)
    assert first.returncode == 1, first.stderr
    before = len(solves(ready))
    (tmp_path / "models" / "broken" / "conception.fre").unlink()   # mended
    again = command(*solve, "--journal", night, "--only", "no-solution,failed")
    assert again.returncode == 0, again.stderr
    assert [run["models"] for run in solves(ready, before)] == [["broken.strale"]]   # the broken one alone
    nothing = command(*solve, "--journal", night, "--only", "failed")
    assert nothing.returncode == 0 and "nothing to run again" in nothing.stderr
    both = command(*solve, "--journal", night, "--only", "failed", good)
    assert both.returncode == 2 and "not both" in both.stderr
    morning = command(*solve, "--journal", str(tmp_path / "morning.journal"), "--compare", night, good, broken,
                      "--summary", str(tmp_path / "page.html"))
    assert "since %s" % night in morning.stderr and "added" not in morning.stderr.split("since")[1].split("\n")[0]
    assert "Since the last run" in (tmp_path / "page.html").read_text()
    first_night = command(*solve, "--compare", str(tmp_path / "no-such.journal"), good)
    assert first_night.returncode == 0 and "no run to compare with" in first_night.stderr, first_night.stderr
