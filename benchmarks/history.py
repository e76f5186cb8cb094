"""A year of nights: the history of 365 nightly journals of 2,740 models
(about 10^6 results), both interpreters side by side in one run (each in
its own process, the table written to benchmarks/history.md):

- cold: ``history`` with drift and flakiness from the journals alone (and
  the digests it leaves); warm: the same from the digests;
- a night's digest against writing its journal as a run writes it (each
  result on disk as it ends);
- where DuckDB is installed (CPython): the same questions in SQL over the
  Parquet dataset that ``history --parquet`` writes, beside ours.

The year is written once, by the package's own journal, with a slow drift,
flaky models and a model renamed midway planted in it.

    .venv-cpython/bin/python benchmarks/history.py [--quick]

--quick runs a small year (CI proves the rows run); its figures mean nothing.
"""
import json
import math
import os
import random
import shutil
import sys
import time
import zlib

from simulated import in_a_workspace, on_each_interpreter, write_side_by_side  # first: the package from this tree

from dralvex_computer.batch.items import ItemResult  # noqa: E402
from dralvex_computer.batch.results import digest, history  # noqa: E402
from dralvex_computer.batch.results.journal import Journal  # noqa: E402

QUICK = "--quick" in sys.argv
NIGHTS, MODELS = (20, 200) if QUICK else (365, 2740)
DAY = 86400.0
START = 1767225600.0   # 1 January 2026


def write_night(path, night, models, sync=False):
    """One night's journal as a run writes it: its run line, each model's
    start and end, the run's end; ``sync``: each result on disk as it ends."""
    draw = random.Random(night)
    when = START + night * DAY
    clock, time.time = time.time, lambda: when   # the night's own time on its lines
    try:
        records = _write_night(path, night, models, sync, draw, when)
    finally:
        time.time = clock
    os.utime(path, (when + 3600, when + 3600))
    return records


def _write_night(path, night, models, sync, draw, when):
    journal = Journal(path)
    journal.open()
    identities, records = [model for model in models], []
    journal.run_started("night-%d" % night, identities, identities, "python -m dralvex_computer solve ...",
                        {"max_stress": "MPa"})
    for index, model in enumerate(models):
        seed = zlib.crc32(model.encode()) % 1000
        flaky = seed % 97 == 0 and draw.random() < 0.2
        creep = 1.0 + (0.003 * night if seed % 211 == 0 else 0.0)   # 0.3 % a night
        status = "no-solution" if flaky else "solved"
        value = None if flaky else {"max_stress": (300.0 + seed / 10.0) * creep,
                                    "displacement": 1.0 + seed / 1000.0, "elements": 40 + seed % 7}
        journal.started(index, model, "key", model, 1)
        record = ItemResult(index, model, status, value, elapsed=1.5, worker="host:1", started=when + index,
                            identity=model).record()
        journal.ended(index, model, "key", {"model": "abc"}, record, sync=sync)
        records.append(record)
    journal.run_ended(False, None, {"solved": len(models)})
    journal.close()
    return records


def write_year(directory):
    os.makedirs(directory, exist_ok=True)
    models = [os.path.join("/models", "unit%02d" % (index % 40), "model%05d.strale" % index) for index in range(MODELS)]
    for night in range(NIGHTS):
        named = [model.replace("model00007", "renamed00007") if night >= NIGHTS // 2 else model for model in models]
        write_night(os.path.join(directory, "night-%03d.jsonl" % night), night, named)


def asked(directory):
    """What a morning asks of a year: the history, its drifting and flaky
    models, and one model's trend."""
    found = history.History.read(history.journals_of([directory]))
    said = history.findings(found)
    trend = found.series(next(iter(found.models)), "max_stress")
    return found, said, trend


def measure(directory):
    for name in os.listdir(directory):
        if name.endswith(digest.SUFFIX):
            os.remove(os.path.join(directory, name))
    started = time.perf_counter()
    found, said, _ = asked(directory)
    cold = time.perf_counter() - started
    warm = []
    for _ in range(3):
        started = time.perf_counter()
        asked(directory)
        warm.append(time.perf_counter() - started)
    counts = {category: sum(finding.category == category for finding in said) for category in history.CATEGORIES}
    row = {"interpreter": "%s %s" % (sys.implementation.name, sys.version.split()[0]), "cold": cold,
           "warm": min(warm), "nights": len(found.nights), "models": len(found.models), "found": counts}
    row.update(digest_cost(directory))
    row.update(in_duckdb(directory, found, said))
    print(json.dumps(row))


def digest_cost(directory):
    """A night's journal written as a run writes it (each result synced),
    against the digest the run makes of its night as it ends (from the
    results in hand), and against one made from the journal alone; best of 3."""
    models = [os.path.join("/models", "model%05d.strale" % index) for index in range(MODELS)]
    written, made, read = [], [], []
    for attempt in range(3):
        path = os.path.join(directory, "cost", "night-%d.jsonl" % attempt)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        started = time.perf_counter()
        records = write_night(path, attempt, models, sync=True)
        written.append(time.perf_counter() - started)
        started = time.perf_counter()
        digest.keep(digest.of_records(path, records, START))
        made.append(time.perf_counter() - started)
        os.remove(digest.path_of(path))
        started = time.perf_counter()
        digest.load(path)
        read.append(time.perf_counter() - started)
    shutil.rmtree(os.path.join(directory, "cost"))
    return {"journal": min(written), "digest": min(made), "from journal": min(read)}


def in_duckdb(directory, found, said):
    """The same questions in DuckDB over the Parquet dataset of the history,
    and whether it names the same models."""
    try:
        import duckdb
        from dralvex_computer.batch.results import history_files
    except ImportError:
        return {}
    target = os.path.join(directory, "parquet")
    started = time.perf_counter()
    history_files.write_parquet(found, target)
    written = time.perf_counter() - started
    connection = duckdb.connect()
    started = time.perf_counter()
    connection.execute("CREATE TABLE history AS SELECT * FROM read_parquet('%s/*.parquet')" % target)
    ingest = time.perf_counter() - started
    queries = {
        "drift": """WITH ranked AS (SELECT identity, night, "max_stress" AS value, status,
                        dense_rank() OVER (ORDER BY night DESC) AS back FROM history),
                    base AS (SELECT identity, median(value) AS median, count(value) AS n FROM ranked
                             WHERE back BETWEEN 2 AND 31 AND status = 'solved' GROUP BY identity)
                    SELECT r.identity FROM ranked r JOIN base b USING (identity)
                    WHERE r.back = 1 AND r.status = 'solved' AND b.n >= 3
                      AND abs(r.value - b.median) > greatest(1e-6 * greatest(abs(r.value), abs(b.median)), 1e-9)""",
        "flaky": """WITH recent AS (SELECT identity, status, night FROM history
                        WHERE night >= (SELECT max(night) FROM history) - 29)
                    SELECT identity FROM recent GROUP BY identity
                    HAVING count(*) FILTER (WHERE status <> 'solved') > 0
                       AND max(night) FILTER (WHERE status = 'solved')
                           > min(night) FILTER (WHERE status <> 'solved')""",
        "trend": "SELECT night, \"max_stress\" FROM history WHERE identity = '%s' ORDER BY night"
                 % next(iter(found.models)).replace("'", "''"),
    }
    times, answers = {}, {}
    for name, query in queries.items():
        best = math.inf
        for _ in range(3):
            started = time.perf_counter()
            answers[name] = connection.execute(query).fetchall()
            best = min(best, time.perf_counter() - started)
        times[name] = best
    ours = {category: {finding.identity for finding in said if finding.category == category}
            for category in ("drifting", "flaky")}
    agree = ({row[0] for row in answers["drift"]} == ours["drifting"]
             and {row[0] for row in answers["flaky"]} == ours["flaky"])
    return {"duckdb": {"written": written, "ingest": ingest, "queries": times, "agree": agree}}


def side_by_side(root):
    directory = os.path.join(root, "year")
    started = time.perf_counter()
    write_year(directory)
    print("a year written in %.1f s" % (time.perf_counter() - started), file=sys.stderr)
    columns = on_each_interpreter(__file__, directory, *(["--quick"] if QUICK else []))
    lines = ["| a year of nights (%d × %d models), 2 cores | %s |" % (
        NIGHTS, MODELS, " | ".join(column["interpreter"] for column in columns)), "|---|" + "---|" * len(columns)]

    def row(title, cell):
        lines.append("| %s | %s |" % (title, " | ".join(cell(column) for column in columns)))
    row("history with drift and flakiness, cold (from the journals; digests made)",
        lambda column: "%.2f s" % column["cold"])
    row("the same, warm (from the digests)", lambda column: "%.3f s" % column["warm"])
    row("found: drifting, flaky", lambda column: "%d, %d" % (column["found"]["drifting"], column["found"]["flaky"]))
    row("a night's digest as its run ends, against writing its journal as a run does", lambda column:
        "%.4f s / %.2f s = %.2f %%" % (column["digest"], column["journal"], 100 * column["digest"] / column["journal"]))
    row("the same digest made from the journal alone (history's first reading)", lambda column: "%.3f s = %.1f %%" % (
        column["from journal"], 100 * column["from journal"] / column["journal"]))
    row("DuckDB over history --parquet: the Parquet written, then loaded into DuckDB", lambda column:
        "%.2f s, %.2f s" % (column["duckdb"]["written"], column["duckdb"]["ingest"])
        if "duckdb" in column else "DuckDB not here")
    row("DuckDB: drift, flaky, one trend (SQL; the same models found as ours)", lambda column: "%s (%s)" % (
        " / ".join("%.1f ms" % (1000 * column["duckdb"]["queries"][name]) for name in ("drift", "flaky", "trend")),
        "yes" if column["duckdb"]["agree"] else "NO") if "duckdb" in column else "-")
    def against(column):
        queries = column["duckdb"]["queries"]
        return "%.1f×" % (column["warm"] / (queries["drift"] + queries["flaky"]))
    row("warm history (its reading too) against DuckDB's drift + flaky queries: ours ÷ theirs",
        lambda column: against(column) if "duckdb" in column else "-")
    write_side_by_side("history", lines, QUICK)


if __name__ == "__main__":
    if "--measure" in sys.argv:
        measure(sys.argv[sys.argv.index("--measure") + 1])
    else:
        in_a_workspace(side_by_side)
