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


@contextlib.contextmanager
def installation():
    """A simulated installation in a new temporary directory, with the
    module's settings paths pointing at it; removed afterwards."""
    workspace = tempfile.mkdtemp(prefix="dralvex-example-")
    try:
        site = dralvex_sim.make_installation(workspace)
        cc._settingsPath_ = site.settings_path
        cc._dataSourcesPath_ = site.data_sources_path
        yield site
    finally:
        shutil.rmtree(workspace, ignore_errors=True)
