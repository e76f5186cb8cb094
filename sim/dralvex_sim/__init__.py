"""A simulated platform for dralvex_computer: the bridge ``clr``, COM,
the .NET base types and the host application.

Test and demo infrastructure. Installed on its own (``pip install ./sim``)
it is a test kit for scripts that use dralvex_computer: ``dralvex_sim.kit``
makes ``clr`` and ``pythoncom`` resolve to the stand-ins while it is active,
and its pytest plugin gives the fixture ``dralvex_installation``. The
top-level files ``sim/clr.py`` and ``sim/pythoncom.py`` serve this
repository's scripts and are never installed: a top-level ``clr`` in
site-packages would shadow the real bridge."""
from . import bridge, com, dotnet, recorder
from .installation import Installation, make_installation, solve_log, write_assembly
from .models import build_model
from .recorder import calls, calls_of, fail, members


def reset():
    """Forget every assembly reference, host call, fault, COM event and
    thread culture."""
    bridge.reset()
    recorder.reset()
    com.reset()
    dotnet.reset()
    import sys
    for name in ("dralvex_sim.core", "dralvex_sim.solvers_common"):
        module = sys.modules.get(name)
        if module is not None:
            module.reset()


__all__ = ["Installation", "bridge", "build_model", "calls", "calls_of", "com", "dotnet", "fail", "make_installation",
           "members", "recorder", "reset", "solve_log", "write_assembly"]
