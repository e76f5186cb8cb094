import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIM = os.path.join(ROOT, "sim")
RUNS = os.path.join(ROOT, "build", "pytest")   # the test runs' own area, outside what git tracks
sys.path.insert(0, SIM)

import dralvex_sim  # noqa: E402
from dralvex_sim.kit import restore_module_state, simulated_platform  # noqa: E402

# The tests use the kit users have: the stand-ins through sys.modules while
# the package is imported; the session fixture below keeps them there for
# the whole run and puts sys.modules back at its end.
with simulated_platform():
    import dralvex_computer as cc  # noqa: E402

    core = cc.dralvex_core   # the native module loads at its first use
restore_module_state(core)   # remembers the namespace the module starts with

pytest_plugins = ["dralvex_sim.pytest_plugin", "batch_fixtures"]

GLOBAL_NAMES = (
    "_validSetup_", "_settingsPath_", "_dataSourcesPath_", "_CultureInfo_", "_exePath_", "_dllPath_",
    "_Aster_", "_PipeStress_", "_dlls_", "_Solution_", "_dataPath_", "_projectPath_", "_Application_",
    "_commandController_", "_tempDirectory_",
)
# Taken before any test runs: the namespace the module starts with.
INITIAL_NAMESPACE = dict(vars(core))

NOT_SET_UP = ("Invalid setup! Please call 'from dralvex_computer import setup_dralvex_computer' "
              "and set up with Ductavo installation directory.")


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    """pytest's own temporary directories live in this checkout, one per run,
    not in the system's: runs at the same time never meet."""
    if config.option.basetemp is None:
        os.makedirs(RUNS, exist_ok=True)
        config.option.basetemp = os.path.join(RUNS, "%s-%d" % (sys.implementation.name, os.getpid()))
    # a run that names seats without a directory meets this run's own runs, not the machine's
    os.environ["DRALVEX_SEAT_DIRECTORY"] = os.path.join(config.option.basetemp, "seats")


def pytest_unconfigure(config):
    base = config.option.basetemp
    if base and os.path.basename(base).startswith(sys.implementation.name + "-%d" % os.getpid()):
        for parent, names, _ in os.walk(base):
            for name in names:
                if not os.path.islink(os.path.join(parent, name)):
                    os.chmod(os.path.join(parent, name), 0o700)
        shutil.rmtree(base, ignore_errors=True)


def restore_namespace():
    restore_module_state(core)


@pytest.fixture(autouse=True, scope="session")
def simulated_platform_for_the_run():
    with simulated_platform():
        yield


@pytest.fixture(autouse=True)
def fresh_state():
    """Each test starts as in a new process: initial globals, no assembly
    referenced, no host call logged, the working directory unchanged."""
    cwd = os.getcwd()
    dralvex_sim.reset()
    restore_namespace()
    yield
    os.chdir(cwd)
    restore_namespace()
    dralvex_sim.reset()


@pytest.fixture(autouse=True)
def private_temporary_directory(tmp_path_factory, monkeypatch):
    """Each test has a temporary directory of its own: sandboxes and copies
    (the module reads tempfile at each call) and child interpreters never
    touch the system's, so runs at the same time cannot meet."""
    directory = str(tmp_path_factory.mktemp("tmp"))
    monkeypatch.setattr(tempfile, "tempdir", directory)
    monkeypatch.setenv("TMPDIR", directory)
    return directory


@pytest.fixture
def installation(tmp_path):
    """A complete simulated installation that the module's settings globals
    point at."""
    site = dralvex_sim.make_installation(tmp_path / "site")
    site.point(core)
    return site


@pytest.fixture
def ready(dralvex_installation, capsys):
    """The module set up on a simulated installation (the kit's fixture),
    its output drained."""
    capsys.readouterr()
    return dralvex_installation.site


def run_python(code, *, sim=True, env=None, cwd=None, timeout=120):
    """Run code in a fresh interpreter (this one), returning the result. It
    runs in the test runs' own area unless told otherwise: a file it writes
    under a bare name never lands in the checkout."""
    environment = dict(os.environ)
    environment.pop("PYTHONPATH", None)
    if sim:
        environment["PYTHONPATH"] = SIM
    environment.update(env or {})
    os.makedirs(RUNS, exist_ok=True)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=environment, cwd=cwd or RUNS, timeout=timeout)


# How every script that a fresh interpreter runs with the module set up
# starts: `cc`, `core`, `site` (a new simulated installation at root),
# `document` (a model's path, not written yet) and `model` (an empty piping
# model).
SET_UP_SCRIPT = """
import gc, os, sys, threading, types
import dralvex_sim
from dralvex_sim.dotnet import IOException
import dralvex_computer as cc
core = cc.dralvex_core
site = dralvex_sim.make_installation({root!r})
site.point(core)
assert core.setup_dralvex_computer(site.install_dir, cc.DralvexModule.All)
document = os.path.join(site.data_dir, "plant.strale")
model = core.createPipingStrale()
"""


def run_set_up_script(root, body, **options):
    """Runs body in a fresh interpreter (run_python) after the set-up above."""
    return run_python(SET_UP_SCRIPT.format(root=str(root)) + textwrap.dedent(body), **options)


class Proxy:
    """A stand-in for a module global (``os``, ``shutil``...): every
    attribute is the real module's unless overridden."""

    def __init__(self, real, **overrides):
        self._real = real
        self.__dict__.update(overrides)

    def __getattr__(self, name):
        return getattr(self._real, name)
