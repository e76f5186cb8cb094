"""Speed of the native functions, as ratios side by side in one run.

Each row times a native function against a plain-Python function that does
the same steps and, where one exists, against the floor of the work (the
standard-library call the function cannot avoid). Ratios, not seconds, are
what compares across machines and interpreters.

    .venv-cpython/bin/python benchmarks/run.py
    .venv-pypy/bin/python benchmarks/run.py
"""
import contextlib
import io
import os
import shutil
import sys
import tempfile
import timeit
import uuid

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "sim"))

import dralvex_sim  # noqa: E402
import dralvex_computer as cc  # noqa: E402

core = cc.dralvex_core


# Plain-Python versions of the same steps, reading module globals the same way.
def py_find_first_file(directory, ext):
    for f in os.listdir(directory):
        if f.lower().endswith(ext) and os.path.isfile(os.path.join(directory, f)):
            return os.path.join(directory, f)
    return ""


def py_find_data_project_paths(dataSources):
    return dataSources["CurrentDatasDirectory"], dataSources["CurrentProjectsDirectory"]


def py_load_dll(dllname):
    if not core._validSetup_:
        raise OSError("not set up")
    if dllname in core._dlls_:
        return None


def py_copy_directory_to_temp(directory):
    target = os.path.join(tempfile.gettempdir(), str(uuid.uuid4()))
    try:
        shutil.copytree(directory, target, dirs_exist_ok=True)
    except Exception:
        return ""
    return target


def best(statement, number):
    return min(timeit.repeat(statement, number=number, repeat=5)) / number


def main():
    work = tempfile.mkdtemp(prefix="dralvex-bench-")
    try:
        site = dralvex_sim.make_installation(os.path.join(work, "site"))
        site.point(core)
        with contextlib.redirect_stdout(io.StringIO()):
            core.setup_dralvex_computer(site.install_dir, cc.DralvexModule.All)
        listing = os.path.join(work, "listing")
        os.makedirs(listing)
        for index in range(200):
            open(os.path.join(listing, "file%03d.txt" % index), "w").close()
        open(os.path.join(listing, "zz.thf"), "w").close()
        tree = os.path.join(work, "tree")
        os.makedirs(tree)
        for index in range(20):
            with open(os.path.join(tree, "f%02d.dat" % index), "w") as stream:
                stream.write("x" * 4096)
        sources = {"CurrentDatasDirectory": "D", "CurrentProjectsDirectory": "P"}

        # Each copy is removed at once (in all three rows alike), so that the
        # temporary directory does not fill up while the rows are timed.
        def native_copy():
            shutil.rmtree(core.copyDirectoryToTemp(tree))

        def python_copy():
            shutil.rmtree(py_copy_directory_to_temp(tree))

        def floor_copy():
            target = os.path.join(tempfile.gettempdir(), str(uuid.uuid4()))
            shutil.copytree(tree, target)
            shutil.rmtree(target)

        rows = [
            ("binding + 2 lookups (FindDataProjectPaths)", lambda: core.FindDataProjectPaths(sources),
             lambda: py_find_data_project_paths(sources), None, 20000),
            ("keyword binding (FindDataProjectPaths)", lambda: core.FindDataProjectPaths(dataSources=sources),
             lambda: py_find_data_project_paths(dataSources=sources), None, 20000),
            ("load_dll, already loaded", lambda: core.load_dll("Dralvex.SDK.dll"),
             lambda: py_load_dll("Dralvex.SDK.dll"), None, 20000),
            ("find_first_file, 201 names", lambda: core.find_first_file(listing, ".thf"),
             lambda: py_find_first_file(listing, ".thf"), lambda: os.listdir(listing), 500),
            ("copyDirectoryToTemp, 20 files", native_copy, python_copy, floor_copy, 20),
        ]
        name = "%s %s" % (sys.implementation.name, sys.version.split()[0])
        print("%-44s %12s %12s %12s %12s" % (name, "native", "python", "nat/py", "nat/floor"))
        for title, native, python, floor, number in rows:
            t_native = best(native, number)
            t_python = best(python, number)
            t_floor = best(floor, number) if floor else None
            print("%-44s %10.2fus %10.2fus %12.2f %12s" % (
                title, t_native * 1e6, t_python * 1e6, t_native / t_python,
                "%.2f" % (t_native / t_floor) if t_floor else "-"))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
