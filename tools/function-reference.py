"""Writes docs/functions.md, the function reference, from the built module's
own signatures and docstrings (run with an interpreter it is installed in).

    .venv-cpython/bin/python tools/function-reference.py [--check]

--check writes nothing and exits 1 when the file is not what it would write.
"""
import inspect
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "sim"))

import dralvex_computer as cc  # noqa: E402

TARGET = os.path.join(ROOT, "docs", "functions.md")


def reference():
    lines = ["# dralvex_computer: function reference", "",
             "Made by `tools/function-reference.py` from the module's own signatures and docstrings.",
             "Every parameter is required and may be given by position or by keyword.", "",
             "## `DralvexModule`", "", "The application module a script works with: " + ", ".join(
                 "`%s` (%d)" % (member.name, member.value) for member in cc.DralvexModule) + ".", ""]
    core = cc.dralvex_core
    # every function of the module in the order it makes them, the two
    # private targets of its solver threads included
    for name, function in list(vars(core).items()):
        if isinstance(function, type) or getattr(function, "__module__", None) != core.__name__ or \
                not callable(function):
            continue
        doc = function.__doc__.split("\n\n", 1)[1] if "\n\n" in function.__doc__ else ""
        lines += ["## `%s%s`" % (name, inspect.signature(function)), "", "```text", doc, "```", ""]
    lines += ["## `SharedFreFileWarning`", "", "```text", inspect.getdoc(cc.SharedFreFileWarning), "```", ""]
    return "\n".join(lines)


def main():
    text = reference()
    if "--check" in sys.argv:
        with open(TARGET, encoding="utf-8") as stream:
            sys.exit(0 if stream.read() == text else 1)
    with open(TARGET, "w", encoding="utf-8") as stream:
        stream.write(text)


if __name__ == "__main__":
    main()
