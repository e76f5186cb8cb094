import inspect
import os
import pickle
import traceback

import pytest

from conftest import GLOBAL_NAMES, INITIAL_NAMESPACE, cc, core
from function_reference import FUNCTIONS, PARAMETERS

WITH_PARAMETERS = [name for name, parameters, _ in FUNCTIONS if parameters]
WITHOUT_PARAMETERS = [name for name, parameters, _ in FUNCTIONS if not parameters]


def test_enumeration():
    DralvexModule = core.DralvexModule
    assert [(m.name, m.value) for m in DralvexModule] == [("All", -1), ("Ductavo", 0), ("Framavo", 1)]
    assert DralvexModule(0) is DralvexModule.Ductavo
    assert issubclass(DralvexModule, core.Enum)
    assert (DralvexModule.__module__, DralvexModule.__qualname__) == ("dralvex_computer.dralvex_core",
                                                                      "DralvexModule")
    assert pickle.loads(pickle.dumps(DralvexModule.Framavo)) is DralvexModule.Framavo
    assert cc.DralvexModule is DralvexModule


def test_imports_are_module_attributes():
    import enum, os, ctypes, json, threading, shutil, tempfile, uuid, clr, pythoncom
    for module in (os, ctypes, json, threading, shutil, tempfile, uuid, clr, pythoncom):
        assert getattr(core, module.__name__) is module
    assert core.Enum is enum.Enum


def test_initial_globals_in_order():
    # The namespace as the module's load left it.
    names = [name for name in INITIAL_NAMESPACE if name in GLOBAL_NAMES]
    assert names == list(GLOBAL_NAMES)
    assert core._settingsPath_ == "C:\\ProgramData\\Dralvex\\Ductavo\\Settings\\Ductavo.settings"
    assert core._dataSourcesPath_ == "C:\\ProgramData\\Dralvex\\Ductavo\\Settings\\DataSources.settings"
    assert core._validSetup_ is False and core._dlls_ == []
    others = set(GLOBAL_NAMES) - {"_validSetup_", "_settingsPath_", "_dataSourcesPath_", "_dlls_"}
    assert all(getattr(core, name) is None for name in others)
    assert core.__doc__ is None and core.__name__ == "dralvex_computer.dralvex_core"


def test_functions_in_table_order():
    names = [name for name in INITIAL_NAMESPACE if name in PARAMETERS]
    assert names == [name for name, _, _ in FUNCTIONS]


@pytest.mark.parametrize("name,parameters,lines", FUNCTIONS, ids=[f[0] for f in FUNCTIONS])
def test_function_object(name, parameters, lines):
    function = getattr(core, name)
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "dralvex_computer.dralvex_core"
    assert function.__globals__ is vars(core)
    assert function.__doc__ == "%s(%s)\n\n%s" % (name, ", ".join(parameters), "\n".join(lines))
    assert list(inspect.signature(function).parameters) == list(parameters)
    assert pickle.loads(pickle.dumps(function)) is function


def call_error(function, *args, **kwargs):
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    return str(caught.value)


def count_message(name, given):
    n = len(PARAMETERS[name])
    return "%s() takes exactly %d positional argument%s (%d given)" % (name, n, "" if n == 1 else "s", given)


@pytest.mark.parametrize("name", WITH_PARAMETERS)
def test_binding_counts(name):
    n = len(PARAMETERS[name])
    for given in (0, n - 1, n + 1):
        if given >= 0:
            assert call_error(getattr(core, name), *range(given)) == count_message(name, given)
    # Too many positional arguments win over keywords.
    assert call_error(getattr(core, name), *range(n + 1), other=1) == count_message(name, n + 1)


@pytest.mark.parametrize("name", WITH_PARAMETERS)
def test_binding_keywords(name):
    function, parameters = getattr(core, name), PARAMETERS[name]
    assert call_error(function, **{parameters[-1]: 1}) == count_message(name, 0) if len(parameters) > 1 else True
    assert call_error(function, 1, **{parameters[0]: 1}) == (
        "%s() got multiple values for keyword argument '%s'" % (name, parameters[0]))
    everything = {p: None for p in parameters}
    assert call_error(function, **everything, other=1) == "%s() got an unexpected keyword argument 'other'" % name


@pytest.mark.parametrize("name", WITHOUT_PARAMETERS)
def test_binding_without_parameters(name):
    function = getattr(core, name)
    assert call_error(function, 1) == "%s() takes no arguments (1 given)" % name
    assert call_error(function, 1, 2, x=1) == "%s() takes no keyword arguments" % name


@pytest.mark.parametrize("call,message", [
    (lambda: core.load_dll(), "load_dll() takes exactly 1 positional argument (0 given)"),
    (lambda: core.setup_dralvex_computer("x"), "setup_dralvex_computer() takes exactly 2 positional arguments (1 given)"),
    (lambda: core.setup_dralvex_computer(1, 2, 3),
     "setup_dralvex_computer() takes exactly 2 positional arguments (3 given)"),
    (lambda: core.setup_dralvex_computer(dralvexModule=1),
     "setup_dralvex_computer() takes exactly 2 positional arguments (0 given)"),
    (lambda: core.setup_dralvex_computer("x", ductavo_installation_directory="y"),
     "setup_dralvex_computer() got multiple values for keyword argument 'ductavo_installation_directory'"),
    (lambda: core.load_dll(dllname="a", other=1), "load_dll() got an unexpected keyword argument 'other'"),
    (lambda: core.disposeSolution(1), "disposeSolution() takes no arguments (1 given)"),
    (lambda: core.disposeSolution(x=1), "disposeSolution() takes no keyword arguments"),
    # The first unbound parameter is reported by its position.
    (lambda: core.addProject("d", "p", studyName="s", module=1, screenheight=2),
     "addProject() takes exactly 6 positional arguments (3 given)"),
])
def test_binding_examples(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_non_string_keyword_through_tp_call():
    # The interpreter's own call site rejects non-string keys first; the
    # module's message is reachable through tp_call alone.
    import ctypes
    api = ctypes.pythonapi if hasattr(ctypes, "pythonapi") else None
    if api is None:
        pytest.skip("no C API access")
    api.PyObject_Call.restype = ctypes.py_object
    api.PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    with pytest.raises(TypeError) as caught:
        api.PyObject_Call(core.load_dll, (), {1: "x"})
    assert str(caught.value) == "load_dll() keywords must be strings"


def test_keywords_in_any_order(tmp_path):
    (tmp_path / "b.thf").write_text("")
    assert core.find_first_file(ext=".thf", directory=str(tmp_path)) == str(tmp_path / "b.thf")
    assert core.FindDataProjectPaths(dataSources={"CurrentProjectsDirectory": 2, "CurrentDatasDirectory": 1}) == (1, 2)
    assert core.FindSolverPaths(settings={"Families": []}) == (None, None)


def traceback_entries(exception):
    return [(frame.name, frame.filename) for frame in traceback.extract_tb(exception.__traceback__)]


def test_traceback_entry_names_failing_statement():
    with pytest.raises(OSError) as caught:
        core.load_dll("Dralvex.SDK.dll")
    name, filename = traceback_entries(caught.value)[-1]
    assert name == "dralvex_computer.dralvex_core.load_dll"
    assert filename.startswith("src/dralvex_computer/") and filename.endswith(".cpp")
    assert traceback.extract_tb(caught.value.__traceback__)[-1].lineno > 0


def test_binding_error_points_at_definition():
    with pytest.raises(TypeError) as caught:
        core.removeStudy()
    name, filename = traceback_entries(caught.value)[-1]
    assert (name, filename) == ("dralvex_computer.dralvex_core.removeStudy",
                                "src/dralvex_computer/module/function_table.cpp")


def test_globals_read_at_each_use():
    del core._validSetup_
    with pytest.raises(NameError, match="name '_validSetup_' is not defined"):
        core.load_dll("x")
    # A global may also come from the builtins, as Python name lookup does.
    import builtins
    builtins._validSetup_ = False
    try:
        with pytest.raises(OSError):
            core.load_dll("x")
    finally:
        del builtins._validSetup_


def test_module_functions_are_called_through_the_namespace(installation):
    core.FindSolverPaths = lambda settings: ("aster", "pipestress")
    core.setup_dralvex_computer(installation.install_dir, cc.DralvexModule.All)
    assert (core._Aster_, core._PipeStress_) == ("aster", "pipestress")


def test_function_type_cannot_be_instantiated():
    with pytest.raises(TypeError):
        type(core.load_dll)()


def test_package_forwards_globals():
    cc._settingsPath_ = "elsewhere"
    assert core._settingsPath_ == "elsewhere" == cc._settingsPath_
    assert cc.setup_dralvex_computer is core.setup_dralvex_computer
    with pytest.raises(AttributeError):
        cc.no_such_name


@pytest.mark.skipif(not os.environ.get("DRALVEX_FAULT_INJECTION"), reason="needs a fault-injection build")
@pytest.mark.parametrize("name", ["find_first_file", "load_dll", "getStrale"])
def test_foreign_cpp_exception_becomes_system_error(name):
    with pytest.raises(SystemError, match="injected std::length_error"):
        getattr(core, name)(*["\x01throw std::length_error"] * len(inspect.signature(getattr(core, name)).parameters))
