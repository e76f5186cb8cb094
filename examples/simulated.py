"""What every example needs where the Dralvex application is not installed:
the simulated platform (sim/ of this repository) and a fresh simulated
installation. On a real machine, drop this and call setup_dralvex_computer
with the real installation directory."""
import contextlib
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sim"))

import dralvex_sim  # noqa: E402
import dralvex_computer as cc  # noqa: E402
from dralvex_sim import build_model  # noqa: E402,F401  (the examples' model documents)


SIM = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sim")


@contextlib.contextmanager
def installation(solve_seconds=0.0, licences=None):
    """A simulated installation in a new temporary directory, with the
    module's settings paths pointing at it; removed afterwards. Each solve
    takes `solve_seconds` of CPU; `licences`: its licence server's seats
    per solver ({"PipeStress": 1}), or none needed."""
    workspace = tempfile.mkdtemp(prefix="dralvex-example-")
    try:
        site = dralvex_sim.make_installation(workspace, solve_seconds=solve_seconds, licences=licences)
        cc._settingsPath_ = site.settings_path
        cc._dataSourcesPath_ = site.data_sources_path
        yield site
    finally:
        shutil.rmtree(workspace, ignore_errors=True)


def for_workers(site):
    """The batch layer's description of the installation; worker processes
    (local or Dask) find the simulated platform through the prepare hook.
    On a real machine: batch.Installation(r"C:\\...\\Ductavo 20XX.Y", "Ductavo")."""
    from dralvex_computer import batch
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [SIM, os.environ.get("PYTHONPATH")]))
    os.environ["DRALVEX_COMPUTER_PREPARE"] = "dralvex_sim.kit:activate"
    return batch.Installation(site.install_dir, "Ductavo", site.settings_path, site.data_sources_path,
                              "dralvex_sim.kit:activate")
