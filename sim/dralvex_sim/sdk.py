"""The namespace Dralvex.SDK of the simulated host."""
import enum

from . import dotnet, hostconfig
from .recorder import record

__all__ = ["DralvexApplication", "DralvexModule", "SettingsController"]


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
