"""A complete simulated installation, made anywhere on disk."""
import json
import os
import sys
from dataclasses import dataclass

from .bridge import ASSEMBLY_MAGIC
from .hostconfig import HOST_CONFIG

ASSEMBLY_FILES = {
    "Dralvex.SDK.dll": "Dralvex.SDK",
    "Dralvex.Helper.dll": "Dralvex.Helper",
    "Dralvex.Ductavo.Core.dll": "Dralvex.Ductavo.Core",
    "Dralvex.Ductavo.Project.dll": "Dralvex.Ductavo.Project",
    "Dralvex.Aster.Core.dll": "Dralvex.Aster.Core",
    "Dralvex.PipeStress.Core.dll": "Dralvex.PipeStress.Core",
}
PIPESTRESS_LIBRARY = "Dralvex.PipeStress.lib"
PIPESTRESS_LIBRARY_MAGIC = "DRALVEX-SIM-PSLIB"

DEFAULT_FRE_SETTINGS = {
    "MAX FIELD LENGTH": "72",
    "ROTATION UNITS": "Degrees",
    "GENERATE RESTRAINTS INLINE": "1",
    "GENERATE DLCS INLINE": "0",
    "GENERATE INDI INLINE": "1",
}
DEFAULT_DUCTAVO_SETTINGS = {"USE IMPERIAL NOTATION": "0"}



@dataclass
class Installation:
    root: str
    install_dir: str
    extensions: str
    settings_path: str
    data_sources_path: str
    data_dir: str
    projects_dir: str
    aster: str
    pipestress: str

    def point(self, core):
        """Point a module's settings globals at this installation."""
        core._settingsPath_ = self.settings_path
        core._dataSourcesPath_ = self.data_sources_path

    def write_settings(self, aster=None, pipestress=None, fre=None, ductavo=None):
        write_settings_document(self.settings_path, self.aster if aster is None else aster,
                                self.pipestress if pipestress is None else pipestress, fre, ductavo)


def settings_document(aster, pipestress, fre=None, ductavo=None):
    fre = dict(DEFAULT_FRE_SETTINGS, **(fre or {}))
    ductavo = dict(DEFAULT_DUCTAVO_SETTINGS, **(ductavo or {}))

    def settings(values):
        return [{"Name": name, "Value": value, "Description": ""} for name, value in values.items()]

    return {
        "Version": "20XX.Y",
        "Families": [
            {"Name": "GENERAL", "SubFamilies": []},
            {"Name": "ASTER", "SubFamilies": [
                {"Name": "PATH", "Settings": settings({"WINDOWS SOLVER PATH": aster, "LINUX SOLVER PATH": ""})},
            ]},
            {"Name": "PIPESTRESS", "SubFamilies": [
                {"Name": "PATH", "Settings": settings({"SOLVER PATH": pipestress})},
                {"Name": "FRE", "Settings": settings(fre)},
            ]},
            {"Name": "DUCTAVO", "SubFamilies": [{"Name": "NOTATION", "Settings": settings(ductavo)}]},
        ],
    }


def write_settings_document(path, aster, pipestress, fre=None, ductavo=None):
    document = settings_document(aster, pipestress, fre, ductavo)
    with open(path, "w", encoding="utf-8") as stream:
        json.dump(document, stream, indent=2)


SOLVE_LOG = "Solves.jsonl"


def solve_log(install_dir):
    """What the installation's solver programs record of each run of theirs,
    oldest first: one dict per run (see ``solver_program``)."""
    try:
        with open(os.path.join(install_dir, SOLVE_LOG), encoding="utf-8") as stream:
            return [json.loads(line) for line in stream if line.endswith("\n")]
    except FileNotFoundError:
        return []


def _install_solver(directory, name, solve_seconds=0.0, licences="", settings=None):
    """Install the launcher of a solver program, runnable with this
    interpreter: it imports the program's module from this kit; each solve
    takes `solve_seconds` of CPU and, when `licences` names a directory of
    seats, a seat; `settings`: the program module's own settings by name.
    Each run is recorded in the installation's solve log."""
    target = os.path.join(directory, name)
    kit = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    launcher = (
        "#!%s\n"
        "import sys\n"
        "sys.path.insert(0, %r)\n"
        "from dralvex_sim.solvers import solver_program\n"
        "from dralvex_sim.solvers import %s_program as program\n"
        "solver_program.SOLVE_SECONDS = %r\n"
        "solver_program.LICENCES = %r\n"
        "solver_program.SOLVE_LOG = %r\n"
        "%s"
        "sys.exit(program.main(sys.argv))\n" % (
            sys.executable, kit, name, float(solve_seconds), licences,
            os.path.join(os.path.dirname(directory), SOLVE_LOG),
            "".join("program.%s = %r\n" % item for item in sorted((settings or {}).items()))))
    with open(target, "w", encoding="utf-8") as stream:
        stream.write(launcher)
    os.chmod(target, 0o755)
    return target


def make_installation(root, *, extensions=True, pipestress_library=True, aster=None, pipestress=None,
                      fre=None, ductavo=None, assemblies=None, solve_seconds=0.0, licences=None,
                      licence_linger=0.0, sags=None):
    """Create an installation under ``root`` and return its paths.

    ``aster``/``pipestress``: the solver paths written into the settings
    document; None installs the simulated solver programs and uses them, ""
    leaves the path unset. ``assemblies``: the assembly files to install
    (all by default). ``solve_seconds``: the CPU time each solve of the
    installed solver programs takes. ``licences``: seats per solver, e.g.
    {"PipeStress": 1}: a simulated licence server that the solver programs
    ask for a seat ("no licence available" and exit status 9 when none is
    free); ``licence_linger``: seconds before it takes back the seat of a
    solver program that died holding it (see ``solvers.licences``).
    ``sags``: (spacing, wall): the installed PipeStress finds no solution
    for a run whose supports are wider apart than ``spacing`` m on a wall
    thinner than ``wall`` mm (exit status 6)."""
    root = os.fspath(root)
    install_dir = os.path.join(root, "Dralvex", "Ductavo 20XX.Y")
    extensions_dir = os.path.join(install_dir, "Extensions")
    settings_dir = os.path.join(root, "ProgramData", "Dralvex", "Ductavo", "Settings")
    data_dir = os.path.join(root, "Data")
    projects_dir = os.path.join(root, "Projects")
    solvers_dir = os.path.join(install_dir, "Solvers")
    for directory in (install_dir, settings_dir, data_dir, projects_dir, solvers_dir):
        os.makedirs(directory, exist_ok=True)

    licences_dir = ""
    if licences is not None:
        from .solvers.licences import write_seats
        licences_dir = os.path.join(install_dir, "Licences")
        write_seats(licences_dir, licences, licence_linger)
    if aster is None:
        aster = _install_solver(solvers_dir, "aster", solve_seconds, licences_dir)
    if pipestress is None:
        pipestress = _install_solver(solvers_dir, "pipestress", solve_seconds, licences_dir,
                                     {"SAGS": tuple(sags)} if sags is not None else None)

    settings_path = os.path.join(settings_dir, "Ductavo.settings")
    data_sources_path = os.path.join(settings_dir, "DataSources.settings")
    write_settings_document(settings_path, aster, pipestress, fre, ductavo)
    with open(data_sources_path, "w", encoding="utf-8") as stream:
        json.dump({"CurrentDatasDirectory": data_dir, "CurrentProjectsDirectory": projects_dir,
                   "DataSources": []}, stream, indent=2)

    config = {"settings": settings_path, "dataSources": data_sources_path}
    with open(os.path.join(install_dir, HOST_CONFIG), "w", encoding="utf-8") as stream:
        json.dump(config, stream, indent=2)

    if extensions:
        os.makedirs(extensions_dir, exist_ok=True)
        for file_name, assembly in ASSEMBLY_FILES.items():
            if assemblies is None or file_name in assemblies:
                write_assembly(os.path.join(extensions_dir, file_name), assembly)
        if pipestress_library:
            with open(os.path.join(extensions_dir, PIPESTRESS_LIBRARY), "w", encoding="utf-8") as stream:
                stream.write(PIPESTRESS_LIBRARY_MAGIC + "\n")

    return Installation(root, install_dir, extensions_dir, settings_path, data_sources_path, data_dir,
                        projects_dir, aster, pipestress)


def write_assembly(path, assembly):
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(ASSEMBLY_MAGIC + "\n" + assembly + "\n")

