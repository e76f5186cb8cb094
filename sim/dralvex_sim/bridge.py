"""Assemblies, namespaces and the import hook of the stand-in bridge."""
import builtins
import os
import threading
import types

from . import dotnet, recorder

ASSEMBLY_MAGIC = "DRALVEX-SIM-ASSEMBLY"

# Assembly name -> {namespace: provider}. A provider is a callable that
# returns the namespace's public types as a dict.


def _system():
    return {"Exception": dotnet.Exception_}


def _globalization():
    return {"CultureInfo": dotnet.CultureInfo, "CultureNotFoundException": dotnet.CultureNotFoundException}


def _threading():
    return {"Thread": dotnet.Thread}


def _io():
    return {"FileNotFoundException": dotnet.FileNotFoundException, "IOException": dotnet.IOException}


def _windows():
    return {"Point": dotnet.Point}


def _namespace_of(module_name):
    def provider():
        import importlib

        module = importlib.import_module("dralvex_sim." + module_name)
        return {name: getattr(module, name) for name in module.__all__}

    return provider


ASSEMBLIES = {
    "mscorlib": {
        "System": _system,
        "System.Globalization": _globalization,
        "System.Threading": _threading,
        "System.IO": _io,
    },
    "Dralvex.SDK": {"Dralvex.SDK": _namespace_of("sdk")},
    "Dralvex.Helper": {},
    "Dralvex.Ductavo.Core": {"Dralvex.Ductavo.Core": _namespace_of("core")},
    "Dralvex.Ductavo.Project": {
        "Dralvex.Ductavo.Project": _namespace_of("project"),
        "System.Windows": _windows,
    },
    "Dralvex.Aster.Core": {"Dralvex.Aster.Core": _namespace_of("aster")},
    "Dralvex.PipeStress.Core": {"Dralvex.PipeStress.Core": _namespace_of("pipestress")},
}

ROOTS = ("System", "Dralvex")

_lock = threading.RLock()
#: assembly name -> the file it was referenced from ("mscorlib" -> None).
referenced = {}
#: (name, fromlist) of every namespace import served, in order.
imports = []
_modules = {}


def read_assembly_name(path):
    """The assembly name written in a simulated assembly file."""
    try:
        with open(path, "r", encoding="utf-8") as stream:
            lines = stream.read().splitlines()
    except UnicodeDecodeError:
        lines = []
    if len(lines) < 2 or lines[0] != ASSEMBLY_MAGIC or lines[1] not in ASSEMBLIES:
        raise dotnet.BadImageFormatException(
            "Could not load file or assembly '%s'. The module was expected to contain an assembly manifest." % path)
    return lines[1]


def add_reference(name):
    """clr.AddReference: "mscorlib", or the full path of an assembly file."""
    recorder.record("clr.AddReference", name)
    with _lock:
        if name == "mscorlib":
            referenced["mscorlib"] = None
            return "mscorlib"
        if not os.path.isfile(name):
            raise dotnet.FileNotFoundException("Unable to find assembly '%s'." % name)
        assembly = read_assembly_name(name)
        referenced[assembly] = name
        return assembly


def assembly_path(assembly):
    return referenced.get(assembly)


def visible_namespaces():
    with _lock:
        return {ns: provider for assembly in referenced for ns, provider in ASSEMBLIES[assembly].items()}


def _namespace_module(name, visible):
    module = _modules.get(name)
    if module is None:
        module = types.ModuleType(name)
        module.__package__ = name
        module.__path__ = []
        _modules[name] = module
    if name in visible and not getattr(module, "_dralvex_filled", False):
        for key, value in visible[name]().items():
            setattr(module, key, value)
        module._dralvex_filled = True
    return module


def import_namespace(name, fromlist):
    visible = visible_namespaces()
    if name not in visible and not any(ns.startswith(name + ".") for ns in visible):
        raise ModuleNotFoundError("No module named '%s'" % name, name=name)
    with _lock:
        imports.append((name, tuple(fromlist or ())))
        parts = name.split(".")
        for depth in range(1, len(parts) + 1):
            prefix = ".".join(parts[:depth])
            module = _namespace_module(prefix, visible)
            if depth > 1:
                setattr(_namespace_module(".".join(parts[:depth - 1]), visible), parts[depth - 1], module)
        return _modules[name] if fromlist else _modules[parts[0]]


_original_import = None


def _hooked_import(name, globals=None, locals=None, fromlist=(), level=0):
    if level == 0 and name.split(".")[0] in ROOTS:
        return import_namespace(name, fromlist)
    return _original_import(name, globals, locals, fromlist, level)


def install_import_hook():
    global _original_import
    if _original_import is None:
        _original_import = builtins.__import__
        builtins.__import__ = _hooked_import


def reset():
    """Forget every reference (a fresh process, as far as the bridge goes)."""
    with _lock:
        referenced.clear()
        imports.clear()
        _modules.clear()
