"""What both simulated solver wrappers share: running the solver program as
an external process and noting the thread it ran on."""
import json
import os
import subprocess
import threading

from . import com, dotnet
from .recorder import record

#: One entry per Run(): thread ident, COM depth and culture of that thread.
runs = []


def run_program(wrapper, solver_path, run_directory, *arguments):
    thread = dotnet.managed_thread()
    runs.append({"solver": wrapper, "thread": threading.get_ident(), "com": com.depth(),
                 "culture": thread.CurrentCulture.Name, "ui_culture": thread.CurrentUICulture.Name})
    completed = subprocess.run([solver_path, *arguments], cwd=run_directory or None, capture_output=True, text=True)
    if completed.returncode != 0 and completed.stderr.strip():
        # what a failed program says reaches the host's console
        print(completed.stderr.strip())
    return completed.returncode


def read_results(path):
    try:
        with open(path, "r", encoding="utf-8") as stream:
            return json.load(stream)
    except (OSError, ValueError):
        return None


class SolverBase:
    """IgnoreWarnings, Dispose and the results file of a run."""

    name = "solver"

    def __init__(self):
        self.IgnoreWarnings = False
        self.Disposed = False
        self.ResultsPath = None

    def _results_path(self, run_directory, input_path):
        stem = os.path.splitext(os.path.basename(input_path))[0]
        return os.path.join(run_directory, stem + ".results")

    def Dispose(self):
        record(self.name + ".Dispose")
        self.Disposed = True

    def _require_live(self):
        if self.Disposed:
            raise dotnet.InvalidOperationException("The solver is disposed")


def reset():
    runs.clear()
