"""Speed of the native module, as ratios side by side in one run.

Each row times a native function against the same steps written in plain
Python and, where one exists, against the floor of the work (the
standard-library call the function cannot avoid). Ratios, not seconds,
compare across machines and interpreters. The table is printed and written
to benchmarks/results-<interpreter>.md.

    .venv-cpython/bin/python benchmarks/run.py [--quick]
    .venv-pypy/bin/python benchmarks/run.py [--quick]

--quick makes every size small and repeats little: it proves the rows run
(CI uses it), its figures mean nothing.
"""
import contextlib
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import timeit
import uuid

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "sim"))

import dralvex_sim  # noqa: E402
import dralvex_computer as cc  # noqa: E402

core = cc.dralvex_core
QUICK = "--quick" in sys.argv


# ---------------------------------------------- the same steps in plain Python

from dralvex_sim.plain import (  # noqa: E402
    find_data_project_paths as py_find_data_project_paths,
    find_first_file as py_find_first_file,
    find_solver_paths as py_find_solver_paths,
)


def py_load_dll(dllname):
    """Only its argument error is timed."""


# ------------------------------------------------------------------ timing

def best(statement, number, setup="pass"):
    repeat = 3 if QUICK else 7
    return min(timeit.repeat(statement, setup=setup, number=number, repeat=repeat)) / number


def settings_document(families):
    document = {"Families": [{"Name": "FAMILY%d" % index, "SubFamilies": [
        {"Name": "PATH", "Settings": [{"Name": "SOLVER PATH", "Value": "x"}]}]} for index in range(families)]}
    document["Families"].append({"Name": "ASTER", "SubFamilies": [
        {"Name": "PATH", "Settings": [{"Name": "WINDOWS SOLVER PATH", "Value": "aster"}]}]})
    return document


def own_import_share():
    """Microseconds of the native module's own initialisation, without the
    imports it must make (-X importtime lists those apart); None where the
    interpreter has no -X importtime."""
    environment = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "sim"))
    shares = []
    for _ in range(3 if QUICK else 9):
        run = subprocess.run([sys.executable, "-X", "importtime", "-c", "import dralvex_computer.dralvex_core"],
                             capture_output=True, text=True, env=environment)
        for line in run.stderr.splitlines():
            match = re.match(r"import time:\s+(\d+) \|\s+\d+ \|\s+dralvex_computer\.dralvex_core$", line)
            if match:
                shares.append(int(match.group(1)))
    return min(shares) if shares else None


def main():
    work = tempfile.mkdtemp(prefix="dralvex-bench-")
    rows = []
    try:
        site = dralvex_sim.make_installation(os.path.join(work, "site"))
        site.point(core)
        with contextlib.redirect_stdout(io.StringIO()):
            core.setup_dralvex_computer(site.install_dir, cc.DralvexModule.All)
        calls = 2000 if QUICK else 200000

        # P1: binding and two look-ups
        sources = {"CurrentDatasDirectory": "D", "CurrentProjectsDirectory": "P"}
        rows.append(("P1 FindDataProjectPaths, small dict", best(lambda: core.FindDataProjectPaths(sources), calls),
                     best(lambda: py_find_data_project_paths(sources), calls), None))
        rows.append(("P1 the same with a keyword", best(lambda: core.FindDataProjectPaths(dataSources=sources), calls),
                     best(lambda: py_find_data_project_paths(dataSources=sources), calls), None))

        # binding error: load_dll() against Python's own missing-argument error
        def native_error():
            try:
                core.load_dll()
            except TypeError:
                pass

        def python_error():
            try:
                py_load_dll()
            except TypeError:
                pass
        rows.append(("binding error, load_dll()", best(native_error, calls // 10), best(python_error, calls // 10),
                     None))

        # P2: the settings reader over many families
        families = 100 if QUICK else 10000
        document = settings_document(families)
        rows.append(("P2 FindSolverPaths, %d families, reused" % families,
                     best(lambda: core.FindSolverPaths(document), 5 if QUICK else 50),
                     best(lambda: py_find_solver_paths(document), 5 if QUICK else 50), None))
        text = json.dumps(settings_document(families))
        setup = "document = json.loads(text)"
        names = {"json": json, "text": text, "core": core, "py": py_find_solver_paths}
        rows.append(("P2 the same, freshly parsed document",
                     min(timeit.repeat("core.FindSolverPaths(document)", setup=setup, number=1,
                                       repeat=5 if QUICK else 25, globals=names)),
                     min(timeit.repeat("py(document)", setup=setup, number=1, repeat=5 if QUICK else 25,
                                       globals=names)), None))

        # P3: a listing with the match last
        entries = 1000 if QUICK else 100000
        listing = os.path.join(work, "listing")
        os.makedirs(listing)
        for index in range(entries):
            open(os.path.join(listing, "file%06d.dat" % index), "w").close()
        ext = os.listdir(listing)[-1][4:]   # only the name listed last ends with it
        number = 5 if QUICK else 20
        rows.append(("P3 find_first_file, %d entries, match last" % entries,
                     best(lambda: core.find_first_file(listing, ext), number),
                     best(lambda: py_find_first_file(listing, ext), number),
                     best(lambda: os.listdir(listing), number)))

        # P5: a sandboxed solve up to the runner, against copying its files
        size = (1 if QUICK else 256) << 20
        documents = os.path.join(work, "documents")
        os.makedirs(documents)
        strale = os.path.join(documents, "plant.strale")
        with contextlib.redirect_stdout(io.StringIO()):
            model = core.createPipingStrale()
            core.saveStrale(model, strale)
        with open(strale, "ab") as stream:
            stream.truncate(size)
        with open(os.path.join(documents, "thermal.thf"), "w") as stream:
            stream.write("1\n")
        files = [strale, os.path.join(documents, "conception.fre"), os.path.join(documents, "thermal.thf")]
        core.loadStrale = lambda path: model        # the host's reading of the document is not the module's
        core._PipeStressSolve = lambda *args: None  # nor is the run itself

        def native_solve():
            core.solve(strale, "PipeStress", True)

        def floor_copy():
            target = os.path.join(tempfile.gettempdir(), str(uuid.uuid4()))
            os.makedirs(target)
            for path in files:
                shutil.copy(path, os.path.join(target, os.path.basename(path)))
            shutil.rmtree(target)
        number = 3 if QUICK else 5
        with contextlib.redirect_stdout(io.StringIO()):
            t_solve = best(native_solve, number)
        core.disposeSolution()
        rows.append(("P5 sandboxed solve up to the runner, %d MB" % (size >> 20), t_solve, None,
                     best(floor_copy, number)))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    name = "%s %s" % (sys.implementation.name, sys.version.split()[0])
    lines = ["| %s | native | plain | native/plain | native/floor |" % name, "|---|---|---|---|---|"]
    for title, native, plain, floor in rows:
        lines.append("| %s | %s | %s | %s | %s |" % (
            title, seconds(native), seconds(plain) if plain else "-",
            "%.2f" % (native / plain) if plain else "-", "%.2f" % (native / floor) if floor else "-"))
    share = own_import_share()
    lines.append("| P4 own share of the module's import (-X importtime) | %s | - | - | - |" % (
        "%d us" % share if share is not None else "n/a"))
    table = "\n".join(lines)
    print(table)
    if not QUICK:
        with open(os.path.join(ROOT, "benchmarks", "results-%s.md" % sys.implementation.name), "w") as stream:
            stream.write(table + "\n")


def seconds(value):
    if value >= 1e-3:
        return "%.2f ms" % (value * 1e3)
    if value >= 1e-6:
        return "%.2f us" % (value * 1e6)
    return "%.0f ns" % (value * 1e9)


if __name__ == "__main__":
    main()
