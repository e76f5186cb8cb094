"""Drive the Dralvex piping and structure analysis application from Python.

The work is done by the native module ``dralvex_computer.dralvex_core``;
this package makes its enumeration and functions reachable as
``dralvex_computer.<name>``. The module's state (``_settingsPath_``,
``_Solution_`` and the other globals) lives in the native module: reading or
assigning one through the package reaches the native module's value.

The native module is loaded at the first use of one of its names, not at
``import dralvex_computer``: the batch layer, the command line and the
doctor run on machines that have no bridge (a laptop that submits a sweep
to workstations, a machine being diagnosed).
"""
import os as _os
import sys as _sys
import types as _types

try:
    from ._version import __version__   # written by the build from pyproject.toml
except ImportError:   # a source tree that was never built
    __version__ = "0+unknown"

from .facts import BRIDGES as _BRIDGES, PREPARE_VARIABLE, SIMULATED_PREPARE as _SIMULATED_PREPARE  # noqa: E402
from .shared_fre import SharedFreFileWarning  # noqa: E402

_prepared = set()


def _run_prepare(spec):
    """Calls the `module:function` named by ``spec`` once per process."""
    if not spec or spec in _prepared:
        return
    import importlib

    module_name, _, function_name = spec.partition(":")
    getattr(importlib.import_module(module_name), function_name or "activate")()
    _prepared.add(spec)


def _missing_bridge_error(missing):
    message = ("No module named %r: install the package %r (pip install %s), or, on PyPy, put a %r module on the path"
               % (missing.name, _BRIDGES[missing.name], _BRIDGES[missing.name], missing.name))
    import importlib.util

    if importlib.util.find_spec("dralvex_sim") is not None:
        message += ("; without the application, the test kit's simulated platform provides it: "
                    "dralvex_sim.kit.simulated_platform(), %s=%s, or pytest --dralvex-simulated"
                    % (PREPARE_VARIABLE, _SIMULATED_PREPARE))
    error = ModuleNotFoundError(message, name=missing.name)
    error.__cause__ = missing
    return error


def _load_core():
    """Loads the native module (after the prepare hook of the environment)
    and makes its names the package's. A failed load leaves nothing behind
    and is tried again at the next use."""
    core = _sys.modules.get(__name__ + ".dralvex_core")
    if core is None:
        _run_prepare(_os.environ.get(PREPARE_VARIABLE))
        import importlib

        try:
            core = importlib.import_module(__name__ + ".dralvex_core")
        except ModuleNotFoundError as missing:
            if missing.name not in _BRIDGES:
                raise
            raise _missing_bridge_error(missing) from missing
    namespace = globals()
    if namespace.get("_core") is not core:
        # The public names and the module globals come from the native module
        # itself: its enumeration, its functions in the order it made them
        # (the solver runners, whose names begin with an underscore, stay
        # private), and its globals, whose names begin and end with one
        # underscore.
        function_type = type(core.setup_dralvex_computer)
        public = ["DralvexModule"] + [name for name, value in vars(core).items()
                                      if isinstance(value, function_type) and not name.startswith("_")]
        namespace.update({name: getattr(core, name) for name in public})
        namespace["__all__"] = public + ["SharedFreFileWarning"]
        namespace["_GLOBALS"] = frozenset(name for name in vars(core)
                                          if name.startswith("_") and name.endswith("_") and not name.startswith("__"))
        namespace["dralvex_core"] = core
        namespace["_core"] = core
    return core


def _is_submodule(name):
    if name == "dralvex_core" or not name.isidentifier():
        return False
    import importlib.util

    return importlib.util.find_spec(__name__ + "." + name) is not None


def _is_global_name(name):
    return len(name) > 2 and name.startswith("_") and name.endswith("_") and not name.startswith("__")


class _Package(_types.ModuleType):
    """Names of the native module reached through the package, loading it at
    the first use; its globals forwarded so that the package never holds a
    stale copy."""

    def __getattr__(self, name):
        if name.startswith("__") and name != "__all__" or _is_submodule(name):
            # `from . import batch` asks first: the import system then loads it
            raise AttributeError("module %r has no attribute %r" % (__name__, name))
        core = _load_core()
        if name in _GLOBALS:
            return getattr(core, name)
        try:
            return globals()[name]
        except KeyError:
            raise AttributeError("module %r has no attribute %r" % (__name__, name)) from None

    def __setattr__(self, name, value):
        if _is_global_name(name) and name in _core_globals():
            setattr(_load_core(), name, value)
        else:
            super().__setattr__(name, value)

    def __delattr__(self, name):
        if _is_global_name(name) and name in _core_globals():
            delattr(_load_core(), name)
        else:
            super().__delattr__(name)

    def __dir__(self):
        try:
            _load_core()
        except ImportError:
            pass
        return sorted(globals())


def _core_globals():
    _load_core()
    return _GLOBALS


_GLOBALS = frozenset()
_sys.modules[__name__].__class__ = _Package
