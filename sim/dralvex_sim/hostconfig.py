"""Where the simulated host finds its installation's settings store.

The real application reads its settings from a fixed directory; the
simulated one reads the file HOST_CONFIG that the installation helper writes
next to the assemblies, which names the settings documents."""
import json
import os

from . import bridge

HOST_CONFIG = "Dralvex.host.json"


def installation_config():
    sdk = bridge.assembly_path("Dralvex.SDK")
    if sdk is None:
        return {}
    directory = os.path.dirname(sdk)
    for candidate in (directory, os.path.dirname(directory)):
        path = os.path.join(candidate, HOST_CONFIG)
        if os.path.isfile(path):
            with open(path, "r", encoding="utf-8") as stream:
                return json.load(stream)
    return {}


def read_settings_document():
    path = installation_config().get("settings")
    if path is None:
        return None
    with open(path, "r", encoding="utf-8") as stream:
        return json.load(stream)
