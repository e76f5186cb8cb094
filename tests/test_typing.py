"""The types catch a script's mistakes: mypy reports each mistake planted
in tests/typing/mistakes.py and nothing in the examples. (pyright is not
run: its package fetches Node.js at first use, which this machine cannot.)"""
import os
import platform
import re
import subprocess
import sys

import pytest

from conftest import ROOT, SIM

pytestmark = [
    pytest.mark.skipif(platform.python_implementation() != "CPython", reason="mypy runs on CPython"),
    pytest.mark.skipif(bool(os.environ.get("DRALVEX_SANITIZERS")), reason="not under the sanitizers"),
]


def mypy(tmp_path, *paths):
    pytest.importorskip("mypy")
    environment = dict(os.environ, MYPYPATH=os.pathsep.join([SIM, os.path.join(ROOT, "examples")]),
                       MYPY_CACHE_DIR=str(tmp_path / "cache"))
    result = subprocess.run([sys.executable, "-m", "mypy", "--follow-imports=silent", "--no-error-summary",
                             "--show-error-codes", *paths], capture_output=True, text=True, env=environment,
                            cwd=str(tmp_path), timeout=600)
    return result


def test_every_planted_mistake_is_reported(tmp_path):
    path = os.path.join(ROOT, "tests", "typing", "mistakes.py")
    with open(path, encoding="utf-8") as stream:
        planted = {number for number, line in enumerate(stream, 1)
                   if "# mistake" in line and line.split("# mistake")[0].strip()}
    result = mypy(tmp_path, path)
    reported = {int(match) for match in re.findall(r"mistakes\.py:(\d+): error", result.stdout)}
    assert planted and reported == planted, result.stdout


def test_the_examples_type_check(tmp_path):
    examples = os.path.join(ROOT, "examples")
    paths = sorted(os.path.join(examples, name) for name in os.listdir(examples) if name.endswith(".py"))
    result = mypy(tmp_path, *paths)
    assert result.returncode == 0, result.stdout + result.stderr
