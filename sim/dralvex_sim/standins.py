"""The stand-in modules ``clr`` and ``pythoncom``, as module objects that
the kit (``dralvex_sim.kit``) enters into ``sys.modules``: never files on
``sys.path``, where they would shadow the real bridge."""
import types

from . import bridge, com

clr = types.ModuleType("clr", "Stand-in for the Python-to-.NET bridge: AddReference, and .NET namespaces "
                              "served through builtins.__import__ once their assembly is referenced.")
clr.AddReference = bridge.add_reference

pythoncom = types.ModuleType("pythoncom", "Stand-in for the COM module: CoInitialize and CoUninitialize, "
                                          "tracked per thread.")
pythoncom.CoInitialize = com.CoInitialize
pythoncom.CoUninitialize = com.CoUninitialize
pythoncom.COINIT_APARTMENTTHREADED = com.COINIT_APARTMENTTHREADED
