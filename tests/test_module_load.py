"""Module initialisation, each case in a fresh interpreter."""
import json
import sys

import pytest

from conftest import run_python, SIM

IS_PYPY = sys.implementation.name == "pypy"


def run_json(code, **options):
    result = run_python(code, **options)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_imports_in_order_through_dunder_import():
    seen = run_json("""
        import builtins, json, sys
        original = builtins.__import__
        seen = []
        def spy(name, globals=None, locals=None, fromlist=(), level=0):
            if globals and globals.get("__name__") == "dralvex_computer.dralvex_core":
                seen.append([name, list(fromlist or ()), level,
                             "dralvex_computer.dralvex_core" in sys.modules])
            return original(name, globals, locals, fromlist, level)
        builtins.__import__ = spy
        import dralvex_computer
        dralvex_computer.setup_dralvex_computer   # the native module loads at its first use
        print(json.dumps(seen))
    """)
    assert [entry[0] for entry in seen] == ["enum", "os", "clr", "ctypes", "pythoncom", "json", "threading",
                                            "shutil", "tempfile", "uuid"]
    assert seen[0][1] == ["Enum"] and all(entry[1] == [] for entry in seen[1:])
    assert all(entry[2] == 0 and entry[3] for entry in seen)


def test_circular_import_sees_the_module_being_built(tmp_path):
    # A bridge that imports the module while the module imports it.
    (tmp_path / "clr.py").write_text(
        "import sys\n"
        "partial = sys.modules['dralvex_computer.dralvex_core']\n"
        "import dralvex_computer.dralvex_core as again\n"
        "assert again is partial\n"
        "def AddReference(name): pass\n")
    result = run_json("""
        import json, sys
        import dralvex_computer.dralvex_core as core
        import clr
        print(json.dumps([clr.partial is core, hasattr(core, "load_dll")]))
    """, env={"PYTHONPATH": "%s:%s" % (tmp_path, SIM)})
    assert result == [True, True]


def test_failed_load_leaves_no_module_and_can_be_retried():
    result = run_json("""
        import json, sys, traceback
        import dralvex_computer   # no bridge is needed to import the package
        try:
            dralvex_computer.setup_dralvex_computer
        except ImportError as error:
            # the package names what to install; the native module's own
            # failure is chained to it, as the module raised it
            native = error.__cause__
            names = [frame.name for frame in traceback.extract_tb(native.__traceback__)]
            failure = [type(error).__name__, error.name, "pythonnet" in str(error), type(native).__name__,
                       native.name, str(native), "init dralvex_computer.dralvex_core" in names,
                       "dralvex_computer.dralvex_core" in sys.modules]
        for name in [name for name in sys.modules if name.startswith("dralvex_computer")]:
            del sys.modules[name]
        sys.path.insert(0, %r)
        import dralvex_computer
        print(json.dumps(failure + [dralvex_computer.dralvex_core._validSetup_]))
    """ % SIM, sim=False)
    assert result == ["ModuleNotFoundError", "clr", True, "ModuleNotFoundError", "clr", "No module named 'clr'", True,
                      False, False]


def test_second_initialisation_keeps_module_and_globals():
    result = run_json("""
        import importlib, json, sys
        import dralvex_computer.dralvex_core as first
        first._settingsPath_ = "changed"
        first._dlls_.append("kept")
        del sys.modules["dralvex_computer.dralvex_core"]
        second = importlib.import_module("dralvex_computer.dralvex_core")
        reloaded = importlib.reload(second)
        print(json.dumps([second is first, reloaded is second, second._settingsPath_, second._dlls_,
                          first.load_dll.__globals__ is vars(first)]))
    """)
    same, reloaded, settings, dlls, globals_kept = result
    assert reloaded and globals_kept
    if IS_PYPY:
        # PyPy never runs the initialisation again: it hands out a copy of
        # the namespace as it was at load, and the functions keep the first.
        assert not same
    else:
        assert same and (settings, dlls) == ("changed", ["kept"])


def test_version_mismatch_warns_and_loads():
    result = run_json("""
        import json, sys, warnings
        real = sys.version_info
        sys.version_info = (3, 1) + tuple(real[2:])
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import dralvex_computer.dralvex_core as core
        sys.version_info = real
        print(json.dumps([[str(w.message), w.category.__name__] for w in caught] + [core.__name__]))
    """)
    *warnings, name = result
    expected = ("compile time Python version %d.%d of module 'dralvex_computer.dralvex_core' does not match "
                "runtime version 3.1" % sys.version_info[:2])
    assert warnings == [[expected, "RuntimeWarning"]]
    assert name == "dralvex_computer.dralvex_core"


def test_matching_version_is_silent():
    result = run_python("import warnings; warnings.simplefilter('error'); import dralvex_computer")
    assert result.returncode == 0, result.stderr


def test_version_warning_as_error_aborts_the_load():
    result = run_json("""
        import json, sys, warnings
        real = sys.version_info
        sys.version_info = (3, 1) + tuple(real[2:])
        warnings.simplefilter("error")
        try:
            import dralvex_computer.dralvex_core
        except RuntimeWarning as error:
            outcome = [type(error).__name__, "dralvex_computer.dralvex_core" in sys.modules]
        sys.version_info = real
        print(json.dumps(outcome))
    """)
    assert result == ["RuntimeWarning", False]
