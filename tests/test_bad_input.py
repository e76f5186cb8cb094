"""Every function with arguments of the wrong kind: an ordinary exception or
a result of a documented kind, never a crash, never SystemError (the sign of
a misused C API), and nothing outside the working directory touched."""
import inspect
import os

import pytest

from conftest import cc, core

VALUES = [None, 0, -1.5, "", "\x00", b"bytes", [], {}, object()]

HOST = object  # a host object passes through unchanged: any kind
TEXT, FLAG, PAIR, NOTHING = (str,), (bool,), (tuple,), (type(None),)
# The kinds each function may return (None where it announces a failure).
RESULT_KINDS = {
    "setup_dralvex_computer": FLAG, "load_dll": NOTHING, "load_dll_c": NOTHING + (HOST,),
    "FindSolverPaths": PAIR, "FindDataProjectPaths": PAIR, "loadStrale": NOTHING + (HOST,),
    "saveStrale": NOTHING, "getStrale": TEXT, "createStrale": (HOST,), "createPipingStrale": (HOST,),
    "createStructureStrale": (HOST,), "solve": NOTHING + (HOST,), "disposeSolution": NOTHING,
    "solvePipingModel": NOTHING + (HOST,), "solveStructureModel": NOTHING + (HOST,),
    "_PipeStressSolve": NOTHING, "_AsterSolve": NOTHING, "find_first_file": TEXT + (bytes,),
    "copyDirectoryToTemp": TEXT, "inspectClass": TEXT + NOTHING, "findNameSpaceAndAssembly": PAIR,
    "writeFreFile": NOTHING, "createCommand": (HOST,), "executeCommand": NOTHING, "addProjectFolder": TEXT + (bytes,),
    "removeProjectFolder": NOTHING, "addProject": TEXT + (bytes,), "addPipingProject": TEXT + (bytes,),
    "addStructureProject": TEXT + (bytes,), "removeProject": NOTHING, "addStudy": NOTHING + (HOST,),
    "addPipingStudy": NOTHING + (HOST,), "addStructureStudy": NOTHING + (HOST,), "removeStudy": NOTHING,
    "duplicateStudy": NOTHING,
}


def test_every_function_has_its_kinds():
    assert set(RESULT_KINDS) == {n for n in cc.__all__ if n not in ("DralvexModule", "SharedFreFileWarning")} | {"_PipeStressSolve", "_AsterSolve"}


@pytest.mark.parametrize("name", sorted(RESULT_KINDS))
def test_wrong_kinds(ready, tmp_path, monkeypatch, capsys, name):
    monkeypatch.chdir(tmp_path)
    function = getattr(core, name)
    count = len(inspect.signature(function).parameters)
    for value in VALUES:
        try:
            result = function(*[value] * count)
        except SystemError:
            raise
        except Exception:
            continue
        assert isinstance(result, RESULT_KINDS[name]), (name, value, result)
    assert core._validSetup_ in (True, False)
    assert os.path.isdir(ready.install_dir) and os.path.isdir(ready.projects_dir)
