"""The module's functions as its users see them, read from the function
reference docs/functions.md: parameters and docstring text, in the order the
module creates them. The reference is reviewed with every change of a
docstring; test_examples.py checks that it is what the module gives."""
import os
import re

from conftest import ROOT

ENTRY = re.compile(r"^## `(\w+)\(([^)]*)\)`\n\n```text\n(.*?)\n```$", re.S | re.M)


def _read():
    with open(os.path.join(ROOT, "docs", "functions.md"), encoding="utf-8") as stream:
        text = stream.read()
    return [(name, tuple(filter(None, parameters.split(", "))), doc.split("\n"))
            for name, parameters, doc in ENTRY.findall(text)]


FUNCTIONS = _read()
PARAMETERS = {name: parameters for name, parameters, _ in FUNCTIONS}
