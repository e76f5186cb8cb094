"""Stand-in for the Python-to-.NET bridge ``clr``.

Test and demo infrastructure only: it is put on ``sys.path`` by the tests and
the example scripts and must never be installed into site-packages, where it
would shadow the real bridge.

Like the older bridge, it serves .NET namespaces through a replaced
``builtins.__import__``; a namespace becomes importable once the assembly
that holds it has been referenced with ``AddReference``.
"""
from dralvex_sim import bridge as _bridge

AddReference = _bridge.add_reference

_bridge.install_import_hook()
