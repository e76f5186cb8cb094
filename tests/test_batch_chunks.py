"""Many tiny items, as the local pool hands them over in chunks with each
result back as its item ends: every item runs once and has its result in
the journal, on every engine, also when a worker dies among them or the run
is interrupted; the stream's plain-data form of a result."""
import collections
import os

import pytest

import batch_tasks
from dralvex_computer import batch
from dralvex_computer.batch.engines import local
from dralvex_computer.batch.protocol import Pickled, from_wire, to_wire
from dralvex_computer.batch.results import journal as journals
from batch_helpers import MARK, eventually, marked, statuses

pytest.importorskip("pebble")

COUNT = 300


@pytest.fixture
def chunked(monkeypatch):
    """The indices the local pool handed over in chunks of more than one."""
    indices = []
    flush = local.LocalPool.flush

    def spy(self):
        before = set(self.chunks)
        flush(self)
        indices.extend(task.index for future, chunk in self.chunks.items() if future not in before
                       and len(chunk) > 1 for task in chunk)
    monkeypatch.setattr(local.LocalPool, "flush", spy)
    return indices


def ran(log):
    return collections.Counter(int(line) for line in log.read_text().split())


@pytest.mark.parametrize("worker_dies", [False, True], ids=["all well", "a worker dies"])
def test_many_tiny_items_run_once_each_on_every_engine(engine, models, tmp_path, chunked, worker_dies):
    name, executor, _ = engine
    if worker_dies and name == "thread pool":
        pytest.skip("a thread pool's worker is the caller's own process")
    installation, _ = models
    log, journal = tmp_path / "ran.log", str(tmp_path / "run.journal")
    dies = COUNT * 2 // 3 if worker_dies else None
    items = [(str(log), index, index == dies) for index in range(COUNT)]
    results = batch.map_models(batch_tasks.note, items, installation, executor=executor, workers=2,
                               journal=journal, progress=False)
    expected = ["worker lost" if index == dies else "done" for index in range(COUNT)]
    assert statuses(results) == expected, [(r.index, r.status, r.error_message) for r in results if not r.ok]
    assert [result.value for result in results if result.ok] == [index for index in range(COUNT) if index != dies]
    # the items' own word: each ran once, but on Dask what had ended on the
    # dead worker, its result not yet fetched, ran again and says so
    again = {result.index for result in results if any(w.startswith("RunAgain") for w in result.warnings)}
    twice = [i for i, c in ran(log).items() if c > 1]
    assert ran(log) == collections.Counter(list(range(COUNT)) + sorted(again)), [(results[i].warnings, results[i].worker, results[i].status) for i in twice]
    assert not again or name == "dask"
    assert len(journals.read(journal).ended) == COUNT
    if name == "local pool":
        assert len(chunked) > COUNT // 2
        if worker_dies:
            assert "exit status 3" in results[dies].error_message and results[dies].started


def test_an_interrupted_run_of_chunks_leaves_nothing(models, tmp_path, chunked, monkeypatch):
    installation, _ = models
    mark = "chunks-%d" % os.getpid()
    monkeypatch.setenv(MARK, mark)   # the pool's workers carry it
    log = tmp_path / "ran.log"
    seen = []

    def interrupt_at_100(result):
        seen.append(result)
        if len(seen) == 100:
            raise KeyboardInterrupt
    with pytest.raises(batch.BatchInterrupted) as stop:
        batch.map_models(batch_tasks.note, [(str(log), index, False) for index in range(COUNT * 4)], installation,
                         workers=2, progress=False, on_result=interrupt_at_100)
    results = stop.value.results
    done = [result.index for result in results if result.ok]
    assert len(done) >= 100 and set(statuses(results)) == {"done", "cancelled"}
    assert chunked and all(count == 1 for count in ran(log).values())
    assert set(done) <= set(ran(log))
    assert eventually(lambda: not marked(mark)), marked(mark)


@pytest.mark.parametrize("value", [None, 7, 2.5, "text", b"bytes", True, Pickled(b"\x80\x05K\x07."), ("not", "plain")])
def test_a_result_crosses_the_stream_whole(value):
    result = batch.ItemResult(3, None, "failed", value, error_type="builtins.ValueError", error_message="bad",
                              output="printed\n", elapsed=0.25, worker="ignored:1", started=1.5,
                              warnings=["UserWarning: careful"], results_dir="/kept")
    back = from_wire(to_wire(result), "host:42")
    assert back == batch.ItemResult(3, None, "failed", value, error_type="builtins.ValueError", error_message="bad",
                                    output="printed\n", elapsed=0.25, worker="host:42", started=1.5,
                                    warnings=["UserWarning: careful"], results_dir="/kept")
