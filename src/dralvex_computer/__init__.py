"""Drive the Dralvex piping and structure analysis application from Python.

The work is done by the native module ``dralvex_computer.dralvex_core``;
this package makes its enumeration and functions reachable as
``dralvex_computer.<name>``. The module's state (``_settingsPath_``,
``_Solution_`` and the other globals) lives in the native module: reading or
assigning one through the package reaches the native module's value.
"""
import sys as _sys
import types as _types

from . import dralvex_core

__all__ = [
    "DralvexModule",
    "setup_dralvex_computer",
    "load_dll",
    "load_dll_c",
    "FindSolverPaths",
    "FindDataProjectPaths",
    "loadStrale",
    "saveStrale",
    "getStrale",
    "createStrale",
    "createPipingStrale",
    "createStructureStrale",
    "solve",
    "disposeSolution",
    "solvePipingModel",
    "solveStructureModel",
    "find_first_file",
    "copyDirectoryToTemp",
    "inspectClass",
    "findNameSpaceAndAssembly",
    "writeFreFile",
    "createCommand",
    "executeCommand",
    "addProjectFolder",
    "removeProjectFolder",
    "addProject",
    "addPipingProject",
    "addStructureProject",
    "removeProject",
    "addStudy",
    "addPipingStudy",
    "addStructureStudy",
    "removeStudy",
    "duplicateStudy",
]

globals().update({_name: getattr(dralvex_core, _name) for _name in __all__})

# The module globals, forwarded to the native module so that the package
# never holds a stale copy.
_GLOBALS = frozenset((
    "_validSetup_", "_settingsPath_", "_dataSourcesPath_", "_CultureInfo_",
    "_exePath_", "_dllPath_", "_Aster_", "_PipeStress_", "_dlls_", "_Solution_",
    "_dataPath_", "_projectPath_", "_Application_", "_commandController_",
    "_tempDirectory_",
))


class _Package(_types.ModuleType):
    def __getattr__(self, name):
        if name in _GLOBALS:
            return getattr(dralvex_core, name)
        raise AttributeError("module %r has no attribute %r" % (__name__, name))

    def __setattr__(self, name, value):
        if name in _GLOBALS:
            setattr(dralvex_core, name, value)
        else:
            super().__setattr__(name, value)

    def __delattr__(self, name):
        if name in _GLOBALS:
            delattr(dralvex_core, name)
        else:
            super().__delattr__(name)


_sys.modules[__name__].__class__ = _Package
