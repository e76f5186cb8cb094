"""What the batch benchmarks share: the simulated platform on the path, and
the prepare hook through which their worker processes find it, both set
before the native module loads. Import it first."""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIM = os.path.join(ROOT, "sim")
sys.path.insert(0, SIM)
from dralvex_computer import facts  # noqa: E402  (the native module loads later, after the prepare hook is set)
PREPARE = facts.SIMULATED_PREPARE
os.environ[facts.PREPARE_VARIABLE] = PREPARE   # this process and the workers it starts
os.environ["PYTHONPATH"] = SIM


def in_a_workspace(measure):
    """Runs ``measure(root)`` in a new temporary directory, removed after."""
    import shutil
    import tempfile
    root = tempfile.mkdtemp(prefix="dralvex-bench-")
    try:
        measure(root)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def write_table(name, lines):
    """Prints a table and writes it to benchmarks/<name>-<interpreter>.md."""
    table = "\n".join(lines)
    print(table)
    with open(os.path.join(ROOT, "benchmarks", "%s-%s.md" % (name, sys.implementation.name)), "w") as stream:
        stream.write(table + "\n")


def on_each_interpreter(script, *arguments):
    """``script --measure ARGUMENTS`` run by each interpreter there is a
    venv of, one after the other: the JSON each printed last, in order."""
    import json
    import subprocess
    columns = []
    for venv in (".venv-cpython", ".venv-pypy"):
        python = os.path.join(ROOT, venv, "bin", "python")
        if not os.path.exists(python):
            continue
        ran = subprocess.run([python, os.path.abspath(script), "--measure", *arguments], capture_output=True,
                             text=True, cwd=ROOT, timeout=3600)
        if ran.returncode != 0:
            raise RuntimeError("%s: %s" % (venv, ran.stderr[-3000:]))
        columns.append(json.loads(ran.stdout.strip().splitlines()[-1]))
    return columns


def write_side_by_side(name, lines, quick):
    """Prints a table of both interpreters and, unless ``quick`` (figures
    that mean nothing), writes it to benchmarks/<name>.md."""
    table = "\n".join(lines)
    print(table)
    if not quick:
        with open(os.path.join(ROOT, "benchmarks", "%s.md" % name), "w", encoding="utf-8") as stream:
            stream.write(table + "\n")
