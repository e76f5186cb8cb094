"""Drive the Dralvex piping and structure analysis application from Python.

The work is done by the native module ``dralvex_computer.dralvex_core``;
this package makes its enumeration and functions reachable as
``dralvex_computer.<name>``. The module's state (``_settingsPath_``,
``_Solution_`` and the other globals) lives in the native module: reading or
assigning one through the package reaches the native module's value.
"""
import os as _os
import sys as _sys
import types as _types

try:
    from ._version import __version__   # written by the build from pyproject.toml
except ImportError:   # a source tree that was never built
    __version__ = "0+unknown"

# The bridge modules the native module imports at load, and the packages
# that provide them (on Windows with CPython; PyPy users bring their own).
_PROVIDERS = {"clr": "pythonnet", "pythoncom": "pywin32"}

# A `module:function` called before the native module is loaded, named by
# the environment of a process that has no bridge of its own: the worker
# processes of a batch run on the simulated platform
# (DRALVEX_COMPUTER_PREPARE=dralvex_sim.kit:activate).
_PREPARE = _os.environ.get("DRALVEX_COMPUTER_PREPARE")
if _PREPARE:
    import importlib as _importlib

    _module_name, _, _function_name = _PREPARE.partition(":")
    getattr(_importlib.import_module(_module_name), _function_name or "activate")()

# Raised at import when a bridge module is missing; only
# `python -m dralvex_computer doctor` gets the package without it, to
# report what is missing.
_BRIDGE_ERROR = None
try:
    from . import dralvex_core
except ModuleNotFoundError as _missing:
    if _missing.name not in _PROVIDERS:
        raise
    _message = ("No module named %r: install the package %r (pip install %s), or, on PyPy, put a %r module on the path"
                % (_missing.name, _PROVIDERS[_missing.name], _PROVIDERS[_missing.name], _missing.name))
    import importlib.util as _util

    if _util.find_spec("dralvex_sim") is not None:
        _message += ("; without the application, the test kit's simulated platform provides it: "
                     "dralvex_sim.kit.simulated_platform(), or DRALVEX_COMPUTER_PREPARE=dralvex_sim.kit:activate")
    _BRIDGE_ERROR = ModuleNotFoundError(_message, name=_missing.name)
    _BRIDGE_ERROR.__cause__ = _missing
    if _sys.argv[:1] != ["-m"]:
        raise _BRIDGE_ERROR from _missing

if _BRIDGE_ERROR is None:
    # The public names and the module globals come from the native module
    # itself: its enumeration, its functions in the order it made them (the
    # solver runners, whose names begin with an underscore, stay private), and
    # its globals, whose names begin and end with one underscore.
    _function_type = type(dralvex_core.setup_dralvex_computer)
    __all__ = ["DralvexModule"] + [
        _name for _name, _value in vars(dralvex_core).items()
        if isinstance(_value, _function_type) and not _name.startswith("_")
    ]
    globals().update({_name: getattr(dralvex_core, _name) for _name in __all__})

    from .shared_fre import SharedFreFileWarning  # noqa: E402
    __all__.append("SharedFreFileWarning")

    # Forwarded to the native module so that the package never holds a stale copy.
    _GLOBALS = frozenset(
        _name for _name in vars(dralvex_core)
        if _name.startswith("_") and _name.endswith("_") and not _name.startswith("__")
    )

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
