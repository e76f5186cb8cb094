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
