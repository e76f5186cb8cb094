"""``python -m dralvex_computer doctor``: what this machine has of what the
package needs, one line each, marked found or missing with a hint."""
import importlib
import json
import os
import platform
import struct
import sys

# What the set-up and the functions load from the installation's Extensions
# directory.
ASSEMBLIES = ("Dralvex.SDK.dll", "Dralvex.Ductavo.Core.dll", "Dralvex.Ductavo.Project.dll", "Dralvex.Helper.dll",
              "Dralvex.Aster.Core.dll", "Dralvex.PipeStress.Core.dll")
LIBRARIES = ("Dralvex.PipeStress.lib",)
BRIDGES = {"clr": "pythonnet", "pythoncom": "pywin32"}
DEFAULT_SETTINGS = "C:\\ProgramData\\Dralvex\\Ductavo\\Settings\\Ductavo.settings"
DEFAULT_DATA_SOURCES = "C:\\ProgramData\\Dralvex\\Ductavo\\Settings\\DataSources.settings"


class Report:
    def __init__(self, stream):
        self.stream = stream
        self.missing = 0

    def info(self, label, value):
        print("  %-28s %s" % (label, value), file=self.stream)

    def check(self, found, label, value, hint=""):
        if not found:
            self.missing += 1
        print("%s %-28s %s%s" % ("ok     " if found else "MISSING", label, value,
                                 "" if found or not hint else "  -> " + hint), file=self.stream)


def _version():
    try:
        from importlib import metadata
        return metadata.version("dralvex_computer")
    except Exception:
        return "unknown (not installed as a distribution)"


def _provider(name, module):
    if getattr(module, "__file__", None) is None:
        return "a stand-in in sys.modules (the test kit)" if "dralvex_sim" in sys.modules else "a module without a file"
    try:
        from importlib import metadata
        distributions = getattr(metadata, "packages_distributions", lambda: {})().get(name)
        if distributions:
            return "package %s, %s" % (", ".join(distributions), module.__file__)
    except Exception:
        pass
    return module.__file__


def _read_json(path):
    with open(path, "r", encoding="utf-8") as stream:
        return json.load(stream)


def run(arguments, stream=None):
    report = Report(stream or sys.stdout)
    print("dralvex_computer doctor", file=report.stream)
    report.info("package", "dralvex_computer %s" % _version())
    report.info("interpreter", "%s %s (%s)" % (platform.python_implementation(), platform.python_version(),
                                               sys.executable))
    report.info("platform", "%s, %d-bit" % (platform.platform(), struct.calcsize("P") * 8))
    if os.environ.get("DRALVEX_COMPUTER_PREPARE"):
        report.info("prepare hook", os.environ["DRALVEX_COMPUTER_PREPARE"])
    for name, package in BRIDGES.items():
        try:
            module = importlib.import_module(name)
        except Exception as error:
            report.check(False, "bridge module %s" % name, "does not import (%s)" % error,
                         "pip install %s (CPython on Windows); on PyPy put a %s module on the path" % (package, name))
        else:
            report.check(True, "bridge module %s" % name, _provider(name, module))
    try:
        from . import dralvex_core
    except ImportError as error:
        report.check(False, "native module", "does not load (%s)" % error, "see the lines above")
    else:
        report.check(True, "native module", dralvex_core.__file__)

    if arguments.installation:
        _check_installation(report, arguments)
    print("%d missing" % report.missing if report.missing else "nothing missing", file=report.stream)
    return 1 if report.missing else 0


def _check_installation(report, arguments):
    directory = arguments.installation
    report.check(os.path.isdir(directory), "installation", directory, "the application's installation directory")
    extensions = os.path.join(directory, "Extensions")
    report.check(os.path.isdir(extensions), "Extensions directory", extensions,
                 "without it the set-up returns False: is this the application's directory?")
    for name in ASSEMBLIES + LIBRARIES:
        path = os.path.join(extensions, name)
        report.check(os.path.isfile(path), name, path, "repair or reinstall the application")
    documents = {}
    for label, given, default in (("settings document", arguments.settings, DEFAULT_SETTINGS),
                                  ("data-sources document", arguments.data_sources, DEFAULT_DATA_SOURCES)):
        path = given or default
        if not os.path.isfile(path):
            report.check(False, label, path, "start the application once, or give its path (--settings / "
                                             "--data-sources; _settingsPath_ / _dataSourcesPath_ in a script)")
            continue
        try:
            documents[label] = _read_json(path)
        except (OSError, ValueError) as error:
            report.check(False, label, "%s: unreadable (%s)" % (path, error), "the document is not JSON")
        else:
            report.check(True, label, path)
    settings = documents.get("settings document")
    try:
        from . import dralvex_core
    except ImportError:
        dralvex_core = None   # reported above; the module reads the solver paths
    if settings is not None and dralvex_core is not None:
        try:
            aster, pipestress = dralvex_core.FindSolverPaths(settings)
        except Exception as error:
            report.check(False, "solver paths", "unreadable (%s: %s)" % (type(error).__name__, error),
                         "the settings document lacks the solver families")
        else:
            for label, path in (("Aster solver", aster), ("PipeStress solver", pipestress)):
                if path is None:
                    report.check(False, label, "not set in the settings", "set its path in the application's settings")
                else:
                    report.check(os.path.exists(path), label, path, "the settings name a solver that is not there")
    data_sources = documents.get("data-sources document")
    if data_sources is not None:
        for label, key in (("data directory", "CurrentDatasDirectory"), ("projects directory", "CurrentProjectsDirectory")):
            path = data_sources.get(key)
            report.check(isinstance(path, str) and os.path.isdir(path), label, path,
                         "the data-sources document names a directory that is not there")
