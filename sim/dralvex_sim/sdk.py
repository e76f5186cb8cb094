"""The namespace Dralvex.SDK of the simulated host."""
import enum
import inspect
import json
import os

from . import bridge, dotnet, hostconfig
from .recorder import record

__all__ = ["DralvexApplication", "DralvexModule", "SettingsController", "DralvexClassInspector", "Tuple"]


class DralvexModule(enum.IntEnum):
    """The host's application modules (a .NET enumeration)."""

    Ductavo = 0
    Framavo = 1


class SettingsController:
    """Answers settings from the installation's settings document."""

    def GetSettingValue(self, section, key):
        record("SettingsController.GetSettingValue", section, key)
        document = hostconfig.read_settings_document() or {}
        for family in document.get("Families", []):
            if family.get("Name") != section:
                continue
            for sub_family in family.get("SubFamilies", []):
                for setting in sub_family.get("Settings", []):
                    if setting.get("Name") == key:
                        return str(setting.get("Value", ""))
        raise dotnet.ArgumentException("Unknown setting %s/%s" % (section, key))


class DralvexApplication:
    def __init__(self):
        record("DralvexApplication")
        self._settings = SettingsController()

    def GetSettingsController(self):
        record("DralvexApplication.GetSettingsController")
        if hostconfig.read_settings_document() is None:
            return None
        return self._settings


class Tuple:
    """System.Tuple of two items."""

    def __init__(self, item1, item2):
        self.Item1 = item1
        self.Item2 = item2


def _public(names):
    return sorted(name for name in names if not name.startswith("_"))


class DralvexClassInspector:
    @staticmethod
    def ExportObjectToJson(instance, indent):
        """The properties and public methods of a host object or class."""
        record("DralvexClassInspector.ExportObjectToJson", instance, indent)
        cls = instance if isinstance(instance, type) else type(instance)
        methods, properties = [], []
        for name in _public(dir(cls)):
            member = inspect.getattr_static(cls, name)
            if isinstance(member, (staticmethod, classmethod)) or inspect.isfunction(member):
                methods.append(name)
            elif not isinstance(member, type):
                properties.append(name)
        properties = set(properties) | set(_public(getattr(cls, "__annotations__", {})))
        if not isinstance(instance, type):
            properties |= set(_public(vars(instance)))
        properties = sorted(properties)
        description = {
            "Type": cls.__name__,
            "Namespace": _namespace_of(cls),
            "IsClass": isinstance(instance, type),
            "Properties": properties,
            "Methods": methods,
        }
        return json.dumps(description, indent=2 if indent else None)

    @staticmethod
    def FindNamespaceAndAssemblyFromClassName(directory, className):
        """Searches the assemblies of a directory for a class name."""
        record("DralvexClassInspector.FindNamespaceAndAssemblyFromClassName", directory, className)
        for file_name in sorted(os.listdir(directory)):
            path = os.path.join(directory, file_name)
            if not file_name.endswith(".dll") or not os.path.isfile(path):
                continue
            try:
                assembly = bridge.read_assembly_name(path)
            except dotnet.BadImageFormatException:
                continue
            for namespace, provider in bridge.ASSEMBLIES[assembly].items():
                if className in provider():
                    return Tuple(namespace, assembly)
        return None


def _namespace_of(cls):
    for assembly in bridge.ASSEMBLIES.values():
        for namespace, provider in assembly.items():
            if provider().get(cls.__name__) is cls:
                return namespace
    return None
