"""A month of nights: planted nights (a slow drift that every nightly
comparison passes, a flaky model, one that broke and stays broken, one
renamed, one removed, a column that came later), the digests beside the
journals, the history command, and a night run with --history judged by
what it says on standard error, on its page and in its message."""
import json
import os
import time

import pytest

from dralvex_computer.batch.items import ItemResult
from dralvex_computer.batch.results import compare, digest, history
from dralvex_computer.batch.results.journal import Journal
from batch_helpers import command, make_model, site_options
from test_batch_notify import receiver

DAY = 86400.0


def plant(path, results, when):
    """A night's journal as a run writes it, its lines of time ``when``:
    ``results``, (identity, status, values) each."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(time, "time", lambda: when)
        journal = Journal(str(path))
        journal.open()
        names = [identity for identity, _, _ in results]
        journal.run_started("run-%d" % when, names, names, None)
        for index, (identity, status, values) in enumerate(results):
            record = ItemResult(index, identity, status, values, identity=identity).record()
            journal.ended(index, identity, "key", {"model": "same"}, record, sync=False)
        journal.run_ended(False, None, {})
        journal.close()
    return str(path)


def month_night(night):
    """Night ``night`` of 40: what each planted model did."""
    found = [("/m/creeps.strale", "solved", {"max_stress": 100.0 * 1.003 ** night}),
             ("/m/steady.strale", "solved", dict({"max_stress": 50.0},
                                                 **({"displacement": 2.0} if night >= 25 else {}))),
             ("/m/flaky.strale", "no-solution" if night % 5 == 2 else "solved",
              None if night % 5 == 2 else {"max_stress": 70.0}),
             ("/m/broke.strale", "failed" if night >= 37 else "solved", None if night >= 37 else {"max_stress": 9.0}),
             ("/m/renamed.strale" if night >= 20 else "/m/named.strale", "solved", {"max_stress": 30.0})]
    if night < 30:
        found.append(("/m/removed.strale", "solved", {"max_stress": 1.0 + night}))
    return found


@pytest.fixture
def month(tmp_path):
    start = time.time() - 50 * DAY
    directory = tmp_path / "nights"
    directory.mkdir()
    return [plant(directory / ("%02d.jsonl" % night), month_night(night), start + night * DAY)
            for night in range(40)]


def test_a_month_says_what_no_nightly_comparison_can(month):
    tolerance = compare.Tolerance(relative=0.005)
    for old, new in zip(month, month[1:]):   # every night passes against the night before
        changes = compare.compare(compare.load(old), compare.load(new), (0.005, 1e-9))
        assert not any(change.category == "value changed" and "/m/creeps.strale" == change.identity
                       for change in changes)
    found = history.History.read(list(reversed(month)))   # in the order the nights ran, however named
    said = history.findings(found, 30, tolerance)
    assert [(finding.identity, finding.category) for finding in said] == [
        ("/m/creeps.strale", "drifting"), ("/m/flaky.strale", "flaky")]
    latest, median, count = said[0].drifts["max_stress"]
    assert count == 30 and latest == pytest.approx(100 * 1.003 ** 39) and median > latest / 1.06
    assert (said[1].failures, said[1].ran) == (6, 30)
    assert found.series("/m/named.strale", "max_stress")[19:21] == [30.0, None]   # renamed: another model since
    assert found.series("/m/steady.strale", "displacement")[24:26] == [None, 2.0]   # a column that came later
    assert "/m/removed.strale" in found.models and found.statuses("/m/removed.strale")[-1] is None
    assert history.findings(found, 30, compare.Tolerance(relative=0.1))[0].category == "flaky"


def test_a_digest_stands_for_its_journal_until_the_journal_changes(month, tmp_path):
    cold = history.History.read(month)
    made = digest.path_of(month[-1])
    assert all(os.path.isfile(digest.path_of(path)) for path in month)
    warm = history.History.read(month)
    assert warm.series("/m/creeps.strale", "max_stress") == cold.series("/m/creeps.strale", "max_stress")
    assert warm.nights[0].identities is warm.nights[1].identities   # the same names, read once
    before = os.stat(made).st_ino
    plant(month[-1], [("/m/creeps.strale", "solved", {"max_stress": 1.0})], time.time())   # a rerun into it
    assert history.History.read(month).series("/m/creeps.strale", "max_stress")[-1] == 1.0
    assert os.stat(made).st_ino != before   # written anew and renamed over, never edited in place
    with open(made, "wb") as stream:
        stream.write(b'{"format": 2}\nnot a digest')
    assert history.History.read(month).series("/m/creeps.strale", "max_stress")[-1] == 1.0
    os.remove(made)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.write_text("keep")
    os.symlink(str(elsewhere), made)   # a link in its place is not followed, read or written through
    assert history.History.read(month).series("/m/creeps.strale", "max_stress")[-1] == 1.0
    assert elsewhere.read_text() == "keep"


def test_journals_of_another_version_cut_off_or_of_nothing(month, tmp_path):
    older = tmp_path / "older.jsonl"   # a version without run lines
    older.write_text(json.dumps({"event": "ended", "record": {"index": 0, "item": "/m/creeps.strale",
                                                             "status": "solved", "value": {"max_stress": 500.0}}})
                     + "\n")
    os.utime(str(older), (time.time() - 60 * DAY,) * 2)
    with open(month[-1], "a") as stream:
        stream.write('{"event": "ended", "identity": "/m/creeps.str')   # cut off by a crash
    stranger = tmp_path / "notes.jsonl"
    stranger.write_text('{"hello": 1}\n')
    found = history.History.read([str(older), str(stranger)] + month)
    assert len(found.nights) == 41 and found.series("/m/creeps.strale", "max_stress")[0] == 500.0
    assert found.skipped == [(str(stranger), "%s is not a run's journal" % stranger)]


def test_the_history_command(month, tmp_path):
    directory = os.path.dirname(month[0])
    said = command("history", directory, "--rel-tol", "0.005")
    assert said.returncode == 1, said.stderr
    assert "1 drifting, 1 flaky" in said.stdout and "/m/creeps.strale: max_stress" in said.stdout
    trend = command("history", os.path.join(directory, "*.jsonl"), "--model", "FLAKY*")
    assert trend.stdout.count("no-solution") == 8 and trend.stdout.count("solved") == 32
    rows = command("history", directory, "--model", "*/named.strale", "--csv").stdout.splitlines()
    assert rows[0].startswith("night,when,identity,item,status,max_stress") and len(rows) == 21
    data = json.loads(command("history", directory, "--json", "--rel-tol", "0.1").stdout)
    assert [finding["category"] for finding in data["findings"]] == ["flaky"] and len(data["nights"]) == 40
    calm = command("history", month[0], month[1])
    assert calm.returncode == 0 and "0 drifting, 0 flaky" in calm.stdout
    missing = command("history", str(tmp_path / "nowhere"))
    assert missing.returncode == 2 and "Traceback" not in missing.stderr


def test_the_history_as_parquet_for_sql(month, tmp_path):
    parquet = pytest.importorskip("pyarrow.parquet")
    said = command("history", os.path.dirname(month[0]), "--parquet", str(tmp_path / "set"))
    assert said.returncode == 1, said.stderr
    table = parquet.read_table(str(tmp_path / "set")).to_pydict()
    assert len(table["identity"]) == sum(len(month_night(night)) for night in range(40))
    assert table["status"].count("no-solution") == 8
    assert command("history", *month[:3], "--parquet", str(tmp_path / "set")).returncode == 0
    assert sorted(os.listdir(str(tmp_path / "set"))) == ["night-%05d.parquet" % night for night in range(3)]


def test_a_night_with_history_says_what_drifts_on_its_page_and_in_its_message(ready, tmp_path):
    good = make_model(tmp_path / "models" / "good", "good")
    other = make_model(tmp_path / "models" / "other", "other")
    nights = tmp_path / "nights"
    nights.mkdir()
    start = time.time() - 10 * DAY
    for night in range(6):   # the nights before: good at 10 MPa, other failing now and then
        plant(nights / ("%d.jsonl" % night), [
            (os.path.realpath(good), "solved", {"max_stress": 10.0}),
            (os.path.realpath(other), "failed" if night in (1, 3) else "solved", None if night in (1, 3) else
             {"max_stress": 12.5})], start + night * DAY)
    with receiver("webhook") as server:
        ran = command("solve", *site_options(ready), "--solver", "PipeStress", "--collect", "batch_tasks:max_stress",
                      "--journal", str(nights / "6.jsonl"), "--compare", str(nights / "5.jsonl"),
                      "--history", str(nights), "--summary", str(tmp_path / "page.html"),
                      "--notify", "http://127.0.0.1:%d/" % server.server_address[1], good, other)
    assert ran.returncode == 0, ran.stderr   # nothing regressed: the history says, it does not judge the night
    assert "over 7 nights: 1 drifting, 1 flaky" in ran.stderr, ran.stderr
    assert os.path.isfile(digest.path_of(str(nights / "6.jsonl")))   # made as the night ended
    assert history.History.read([str(nights / "6.jsonl")]).series(os.path.realpath(good), "max_stress") == [12.5]
    message, = server.received
    assert message["drifting"] == [good] and message["flaky"] == [other]
    assert "1 drifting; 1 flaky" in message["text"]
    page = (tmp_path / "page.html").read_text()
    assert "Over the last nights" in page and "max_stress, last 7 nights" in page
    assert "where, last" not in page   # a value that is text has no line to draw
    assert page.count('aria-label="max_stress over the last nights"') == 2 and "2 of 7" in page


def test_a_nights_line_shows_a_value_between_two_failed_nights():
    from dralvex_computer.batch.results import charts
    drawn = charts.sparkline([1.0, None, 2.0, None, 3.0, 4.0], "max_stress over the last nights")
    assert drawn.count('r="1" ') + drawn.count("<polyline") == 3   # 1 and 2 alone, then 3 to 4
    assert drawn.count('r="1.8"') == 1   # and the latest night
