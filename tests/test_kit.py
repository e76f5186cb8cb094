"""The test kit as users get it: installed from sim/ on its own, its plugin
runs the user's test that the README shows; and the stand-ins are in
sys.modules only while the kit is active."""
import os
import re
import shutil
import subprocess
import sys

import pytest

from conftest import ROOT


def readme_user_test():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as stream:
        text = stream.read()
    return re.search(r"<!-- user test -->\n```python\n(.*?)```", text, re.S).group(1)


def install_kit(tmp_path):
    """The kit installed from a copy of sim/ into its own directory."""
    pytest.importorskip("setuptools")
    kit = tmp_path / "kit"
    source = tmp_path / "sim"   # built from a copy: the build writes beside its sources
    shutil.copytree(os.path.join(ROOT, "sim"), str(source),
                    ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
    install = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--no-build-isolation",
                              "--disable-pip-version-check", "--target", str(kit), str(source)],
                             capture_output=True, text=True, timeout=300)
    assert install.returncode == 0, install.stdout + install.stderr
    assert (kit / "dralvex_sim" / "py.typed").exists()
    return kit


USER_MODULE_IMPORTING_AT_THE_TOP = """
import dralvex_computer as cc

def test_enumeration():
    assert cc.DralvexModule.Ductavo.value == 0
"""


@pytest.mark.parametrize("opt_in", ["", "--dralvex-simulated", "ini"])
def test_a_module_that_imports_the_package_at_its_top(tmp_path, opt_in):
    kit = install_kit(tmp_path)
    (tmp_path / "test_top.py").write_text(USER_MODULE_IMPORTING_AT_THE_TOP)
    if opt_in == "ini":
        (tmp_path / "pytest.ini").write_text("[pytest]\ndralvex_simulated = true\n")
    arguments = [opt_in] if opt_in.startswith("--") else []
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *arguments, "test_top.py"],
                         capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=str(kit)),
                         cwd=str(tmp_path), timeout=300, stdin=subprocess.DEVNULL)
    if opt_in:
        assert run.returncode == 0 and "1 passed" in run.stdout, run.stdout + run.stderr
    else:   # the error names the kit's way out
        assert run.returncode != 0 and "dralvex_sim.kit" in run.stdout + run.stderr, run.stdout + run.stderr


def test_readme_user_test_passes_with_the_installed_kit(tmp_path):
    kit = install_kit(tmp_path)
    assert not (kit / "clr.py").exists() and not (kit / "pythoncom.py").exists()   # never top-level
    (tmp_path / "test_user.py").write_text(readme_user_test())
    environment = dict(os.environ, PYTHONPATH=str(kit))
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_user.py"],
                         capture_output=True, text=True, env=environment, cwd=str(tmp_path), timeout=300,
                         stdin=subprocess.DEVNULL)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "1 passed" in run.stdout


def test_stand_ins_only_while_active():
    code = """
import sys
from dralvex_sim.kit import simulated_platform
before = "clr" in sys.modules
with simulated_platform():
    import clr, pythoncom
    during = clr.__name__ == "clr" and hasattr(pythoncom, "CoInitialize")
after = "clr" in sys.modules or "pythoncom" in sys.modules
print(before, during, after)
"""
    environment = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "sim"))
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=environment,
                         cwd=str(ROOT), timeout=120)
    assert run.stdout.split() == ["False", "True", "False"], run.stderr
