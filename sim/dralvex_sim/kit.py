"""The test kit for scripts that drive dralvex_computer: run them where the
Dralvex application is not installed.

    from dralvex_sim.kit import simulated_platform
    with simulated_platform():
        import dralvex_computer as cc     # clr and pythoncom are the stand-ins here

``activate()`` makes it active for the rest of the process instead (worker
processes of a batch run). While the context is active, ``clr`` and ``pythoncom`` resolve to the
stand-ins through ``sys.modules`` (and .NET namespaces through the bridge's
import hook); on exit both are as before. A module that imported them while
it was active keeps what it got.
"""
import builtins
import contextlib
import sys

from . import bridge, standins

STAND_INS = {"clr": standins.clr, "pythoncom": standins.pythoncom}


@contextlib.contextmanager
def simulated_platform():
    saved = {name: sys.modules.get(name) for name in STAND_INS}
    hooked = bridge._original_import is None
    sys.modules.update(STAND_INS)
    bridge.install_import_hook()
    try:
        yield
    finally:
        # The package loads its native module at its first use: a package
        # imported while the kit was active gets it now, with the stand-ins.
        package = sys.modules.get("dralvex_computer")
        if package is not None and hasattr(package, "_load_core"):
            with contextlib.suppress(ImportError):
                package._load_core()
        for name, module in saved.items():
            if module is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = module
        if hooked:
            builtins.__import__ = bridge._original_import
            bridge._original_import = None


_active = []


def activate():
    """Make the simulated platform active for the rest of this process: what
    a worker process of a batch run calls before the package is imported
    (``DRALVEX_COMPUTER_PREPARE=dralvex_sim.kit:activate``)."""
    if not _active:
        context = simulated_platform()
        context.__enter__()
        _active.append(context)


_initial = {}


def restore_module_state(core):
    """Puts the native module's namespace back as it was right after its
    import (the first call only remembers it): each test then starts as in a
    new process."""
    namespace = vars(core)
    if not _initial:
        _initial.update(namespace)
    for name in set(namespace) - set(_initial):
        del namespace[name]
    namespace.update(_initial)
    namespace["_dlls_"] = []
