"""pytest plugin of the kit: the fixture ``dralvex_installation`` yields a
fresh simulated installation with dralvex_computer set up on it.

    def test_my_script(dralvex_installation):
        cc = dralvex_installation.module
        model = cc.createPipingStrale()
        assert dralvex_installation.calls()[-1][0] == "Layers.Add"

Installed with the kit (``pip install ./sim``), it loads by itself; or name
it with ``-p dralvex_sim.pytest_plugin``.

When the user's own modules import dralvex_computer at their top, the
simulated platform must be active before pytest collects them: opt in with
``--dralvex-simulated`` on the command line, or ``dralvex_simulated = true``
in the ini file ([tool.pytest.ini_options] of pyproject.toml). The platform
is then active for the whole run.
"""
import contextlib
import dataclasses
import os
import pathlib
import types
from typing import Iterator

import pytest

import dralvex_sim
from .installation import Installation
from .kit import restore_module_state, simulated_platform

@dataclasses.dataclass
class SimulatedInstallation:
    site: Installation   # its paths: install_dir, data_dir, projects_dir, ...
    module: types.ModuleType   # the dralvex_computer package, set up on the site

    @staticmethod
    def calls():
        """The host calls made so far: (member, arguments), in order."""
        return list(dralvex_sim.recorder.calls)

    @staticmethod
    def fail(member, exception, times=1, after=0):
        """Make a later host call raise (see dralvex_sim.recorder.fail)."""
        dralvex_sim.fail(member, exception, times, after)


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption("--dralvex-simulated", action="store_true", default=False,
                     help="activate the simulated Dralvex platform before collection (modules that import "
                          "dralvex_computer at their top)")
    parser.addini("dralvex_simulated", type="bool", default=False,
                  help="activate the simulated Dralvex platform before collection")


def pytest_configure(config: pytest.Config) -> None:
    if config.getoption("--dralvex-simulated") or config.getini("dralvex_simulated"):
        from .kit import activate
        activate()


@pytest.fixture
def dralvex_installation(tmp_path: pathlib.Path) -> Iterator[SimulatedInstallation]:
    with simulated_platform():
        import dralvex_computer
        core = dralvex_computer.dralvex_core
        cwd = os.getcwd()
        dralvex_sim.reset()
        restore_module_state(core)
        site = dralvex_sim.make_installation(str(tmp_path / "dralvex"))
        site.point(core)
        assert core.setup_dralvex_computer(site.install_dir, dralvex_computer.DralvexModule.All) is True
        dralvex_sim.recorder.reset()
        try:
            yield SimulatedInstallation(site, dralvex_computer)
        finally:
            os.chdir(cwd)
            # a solution left by the test keeps its results file open; a
            # test may also have put something else there
            with contextlib.suppress(Exception):
                core.disposeSolution()
            restore_module_state(core)
            dralvex_sim.reset()
