"""Every example runs on its own against a fresh simulated installation and
leaves nothing behind in the temporary directory."""
import os
import subprocess
import sys
import tempfile

import pytest

from conftest import ROOT

EXAMPLES = ["set_up", "documents", "solving", "projects", "commands", "main_job", "parametric_sweep", "dask_cluster",
            "overnight_sweep", "study", "goal_study", "shared_seats"]


@pytest.mark.parametrize("name", EXAMPLES)
def test_example_runs(name):
    environment = dict(os.environ)
    environment.pop("PYTHONPATH", None)
    result = subprocess.run([sys.executable, os.path.join(ROOT, "examples", name + ".py")], capture_output=True,
                            text=True, env=environment, cwd=tempfile.gettempdir(), timeout=300)
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-3000:]
    assert result.stdout.strip()
    assert os.listdir(tempfile.gettempdir()) == []


def test_function_reference_is_current():
    """docs/functions.md is what tools/function-reference.py makes now."""
    result = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "function-reference.py"), "--check"],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, "run tools/function-reference.py: " + result.stderr
