"""What a machine needs for the set-up to succeed, checked one line at a
time: the prepare hook, the bridge modules, the native module, the
installation's files and the two settings documents. No check raises,
whatever the machine or the documents hold; "nothing missing" means the
set-up will find what it needs. The doctor prints these checks; a batch
run makes them in a worker before its first item."""
from __future__ import annotations

import dataclasses
import importlib
import json
import os
import sys
from typing import Any, Dict, List, Optional

from .facts import ASSEMBLIES, BRIDGES, DEFAULT_DATA_SOURCES, DEFAULT_SETTINGS, LIBRARIES, PREPARE_VARIABLE

DATA_SOURCE_KEYS = (("data directory", "CurrentDatasDirectory"), ("projects directory", "CurrentProjectsDirectory"))
DOCUMENT_HINT = ("start the application once, or give its path (--settings / --data-sources; "
                 "_settingsPath_ / _dataSourcesPath_ in a script)")


@dataclasses.dataclass
class Check:
    found: bool
    label: str
    value: str
    hint: str = ""


def _described(error: BaseException) -> str:
    try:
        text = str(error)
    except Exception:
        text = "?"
    return "%s: %s" % (type(error).__name__, text[:300])


def environment_checks(prepare: Optional[str] = None) -> List[Check]:
    """The prepare hook (given, or the environment's), the bridge modules and
    the native module."""
    import dralvex_computer
    checks = []
    for spec in dict.fromkeys(filter(None, (prepare, os.environ.get(PREPARE_VARIABLE)))):
        try:
            dralvex_computer._run_prepare(spec)
        except BaseException as error:   # a hook that exits still gives a line
            checks.append(Check(False, "prepare hook", "%s fails (%s)" % (spec, _described(error)),
                                "a module:function importable in this environment"))
        else:
            checks.append(Check(True, "prepare hook", spec))
    for name, package in BRIDGES.items():
        try:
            module = importlib.import_module(name)
        except BaseException as error:   # a bridge without a .NET runtime raises RuntimeError
            checks.append(Check(False, "bridge module %s" % name, "does not import (%s)" % _described(error),
                                "pip install %s (CPython on Windows); on PyPy put a %s module on the path"
                                % (package, name)))
        else:
            checks.append(Check(True, "bridge module %s" % name, _provider(name, module)))
    try:
        core = dralvex_computer._load_core()
    except BaseException as error:
        checks.append(Check(False, "native module", "does not load (%s)" % _described(error), "see the lines above"))
    else:
        checks.append(Check(True, "native module", str(getattr(core, "__file__", "?"))))
    return checks


def _provider(name: str, module: Any) -> str:
    if getattr(module, "__file__", None) is None:
        return "a stand-in in sys.modules (the test kit)" if "dralvex_sim" in sys.modules else "a module without a file"
    try:
        from importlib import metadata
        known: Dict[str, List[str]] = getattr(metadata, "packages_distributions", dict)()
        distributions = known.get(name)
        if distributions:
            return "package %s, %s" % (", ".join(distributions), module.__file__)
    except Exception:
        pass
    return str(module.__file__)


def _read_document(path: str) -> Any:
    with open(path, "r", encoding="utf-8") as stream:
        return json.load(stream)


def installation_checks(directory: str, settings: Optional[str] = None,
                        data_sources: Optional[str] = None) -> List[Check]:
    """The installation's files, the two documents and what they name."""
    checks = [Check(os.path.isdir(directory), "installation", directory, "the application's installation directory")]
    extensions = os.path.join(directory, "Extensions")
    checks.append(Check(os.path.isdir(extensions), "Extensions directory", extensions,
                        "without it the set-up returns False: is this the application's directory?"))
    for name in ASSEMBLIES + LIBRARIES:
        path = os.path.join(extensions, name)
        checks.append(Check(os.path.isfile(path), name, path, "repair or reinstall the application"))
    documents: Dict[str, Any] = {}
    for label, given, default in (("settings document", settings, DEFAULT_SETTINGS),
                                  ("data-sources document", data_sources, DEFAULT_DATA_SOURCES)):
        path = given or default
        if not os.path.isfile(path):
            checks.append(Check(False, label, path, DOCUMENT_HINT))
            continue
        try:
            document = _read_document(path)
        except (OSError, ValueError, RecursionError, MemoryError) as error:
            checks.append(Check(False, label, "%s: unreadable (%s)" % (path, _described(error)),
                                "the document is not JSON the application wrote"))
            continue
        if not isinstance(document, dict):
            checks.append(Check(False, label, "%s: holds %s, not an object" % (path, type(document).__name__),
                                "the document is not one the application wrote"))
            continue
        documents[label] = document
        checks.append(Check(True, label, path))
    if "settings document" in documents:
        checks.extend(_solver_checks(documents["settings document"]))
    if "data-sources document" in documents:
        for label, key in DATA_SOURCE_KEYS:
            path = documents["data-sources document"].get(key)
            checks.append(Check(isinstance(path, str) and os.path.isdir(path), label, repr(path)[:300],
                                "the data-sources document names a directory that is not there"))
    return checks


def _solver_checks(settings: Dict[str, Any]) -> List[Check]:
    try:
        import dralvex_computer
        core = dralvex_computer._load_core()
        aster, pipestress = core.FindSolverPaths(settings)
    except ImportError:
        return []   # reported with the native module
    except BaseException as error:   # a document of the wrong shape or depth
        return [Check(False, "solver paths", "unreadable (%s)" % _described(error),
                      "the settings document lacks the solver families")]
    checks = []
    for label, path in (("Aster solver", aster), ("PipeStress solver", pipestress)):
        if path is None:
            checks.append(Check(False, label, "not set in the settings", "set its path in the application's settings"))
        elif not isinstance(path, str):
            checks.append(Check(False, label, "%r is not a path" % (path,), "set its path in the application's settings"))
        else:
            checks.append(Check(os.path.exists(path), label, path, "the settings name a solver that is not there"))
    return checks


def machine_checks(installation: Any) -> List[Check]:
    """Everything the set-up on a batch ``Installation`` needs, here."""
    checks = environment_checks(installation.prepare)
    return checks + installation_checks(installation.directory, installation.settings_path,
                                        installation.data_sources_path)


def missing(checks: List[Check]) -> List[Check]:
    """The checks that failed, without those a failed one explains: nothing
    inside a directory that is missing is named again."""
    failed = [check for check in checks if not check.found]
    absent = [check.value for check in failed if check.label in ("installation", "Extensions directory")]
    return [check for check in failed
            if not any(check.value != directory and check.value.startswith(os.path.join(directory, ""))
                       for directory in absent)]


def describe_missing(problems: List[Check]) -> str:
    """One line: each missing piece once, each hint once, after the last
    piece it belongs to."""
    parts = []
    for number, check in enumerate(problems):
        later = [other.hint for other in problems[number + 1:]]
        hint = " (%s)" % check.hint if check.hint and check.hint not in later else ""
        parts.append("%s: %s%s" % (check.label, check.value, hint))
    return "; ".join(parts)
