"""The type stubs say what the built module has: mypy's stubtest compares
them with the module as it runs (CPython)."""
import os
import platform
import subprocess
import sys

import pytest

from conftest import SIM


@pytest.mark.skipif(platform.python_implementation() != "CPython", reason="mypy runs on CPython")
@pytest.mark.skipif(bool(os.environ.get("DRALVEX_SANITIZERS")), reason="not under the sanitizers")
def test_stubs_match_the_module(tmp_path):
    pytest.importorskip("mypy")
    environment = dict(os.environ, PYTHONPATH=SIM, MYPY_CACHE_DIR=str(tmp_path / "cache"))
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "dralvex_computer"], capture_output=True,
                            text=True, env=environment, cwd=str(tmp_path), timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
