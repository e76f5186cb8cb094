"""Compiles tests/data/pypy38-capi.txt: the C-API symbols that PyPy 3.8
(release 7.3.11) exports to extension modules, read from PyPy's own sources
at that release (the package pypy/module/cpyext of its public repository).

    python tools/pypy38-capi.py PYPY_GIT_DIRECTORY

Symbols come from three places of cpyext: every function declared with
@cpython_api or @cts.decl, the C symbols listed in api.py (SYMBOLS_C and the
interpreter flags), and the exported objects (None, True, False, the
exception classes and the built-in types). PyPy's headers rename each
Py* name to PyPy* (and _Py* to _PyPy*), the names an extension module
links against; the list holds those.
"""
import os
import re
import subprocess
import sys

TAG = "release-pypy3.8-v7.3.11"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TARGET = os.path.join(ROOT, "tests", "data", "pypy38-capi.txt")


def git(repository, *arguments):
    return subprocess.run(["git", "--git-dir", repository, *arguments], capture_output=True, text=True,
                          check=True).stdout


def source(repository, path):
    return git(repository, "show", "%s:%s" % (TAG, path))


def mangled(name):
    if name.startswith("_Py"):
        return "_PyPy" + name[3:]
    if name.startswith("Py"):
        return "PyPy" + name[2:]
    return name


def declared_functions(text):
    names = set()
    # @cpython_api([...], ...) [more decorators] def Name(
    for match in re.finditer(r"^@cpython_api\(.*?^def\s+(\w+)\s*\(", text, re.S | re.M):
        names.add(match.group(1))
    # @cts.decl("RESULT Name(ARGS)")
    for match in re.finditer(r"^@cts\.decl\(\s*(?:\"\"\"|'''|\"|')(.*?)(?:\"\"\"|'''|\"|')", text, re.S | re.M):
        found = re.search(r"(\w+)\s*\(", match.group(1))
        if found:
            names.add(found.group(1))
    return names


def listed_symbols(api):
    """api.py is Python 2 (RPython): read as text."""
    names = set()
    listed = api[api.index("SYMBOLS_C = ["):]
    listed = listed[:listed.index("]")]
    names |= set(re.findall(r"'(_?Py\w+)'", listed))
    names |= set(re.findall(r"SYMBOLS_C\.append\('(_?Py\w+)'\)", api))
    flags = api[api.index("_flags = ["):]
    names |= set(re.findall(r"\('(Py\w+)',", flags[:flags.index("]")]))
    names |= set(re.findall(r"register_global\('(_?Py\w+)'", api))
    names |= set(re.findall(r"[\"'](_?Py\w+_Type)[\"']\s*:", api))
    return names


def generated_functions(repository):
    """The functions cpyext makes in loops, named by func_rename: the number
    methods and the unicode codec conversions."""
    names = set()
    number = source(repository, "pypy/module/cpyext/number.py")
    blocks = re.findall(r"for name, spacemeth in \[(.*?)\]:", number, re.S)
    for position, block in enumerate(blocks):
        for name in re.findall(r"\('(\w+)',", block):
            names.add("PyNumber_" + name)
            if position == 0 and name != "Divmod":
                names.add("PyNumber_InPlace" + name)
    unicode = source(repository, "pypy/module/cpyext/unicodeobject.py")
    for suffix, rest in re.findall(r"^make_conversion_functions\('(\w+)',([^)]*)\)", unicode, re.M):
        names.add("PyUnicode_As%sString" % suffix)
        if "only_for_asstring=True" not in rest:
            names.add("PyUnicode_Decode%s" % suffix)
            names.add("PyUnicode_Encode%s" % suffix)
    return names


def exception_names(repository):
    text = source(repository, "pypy/module/exceptions/moduledef.py")
    block = text[text.index("interpleveldefs"):]
    return {"PyExc_" + name for name in re.findall(r"'(\w+)'\s*:", block)
            if name not in ("EnvironmentError", "IOError", "WindowsError")}


def main():
    repository = sys.argv[1]
    files = [path for path in git(repository, "ls-tree", "-r", "--name-only", TAG, "pypy/module/cpyext/").split()
             if path.endswith(".py") and "/test/" not in path]
    names = set()
    for path in files:
        names |= declared_functions(source(repository, path))
    names |= listed_symbols(source(repository, "pypy/module/cpyext/api.py"))
    names |= exception_names(repository)
    names |= generated_functions(repository)
    symbols = sorted(mangled(name) for name in names if re.match(r"^_?Py", name))
    header = [
        "# C-API symbols of PyPy 3.8, release 7.3.11 (tag %s), as extension modules link them" % TAG,
        "# (PyPy's headers rename Py* to PyPy*). Compiled by tools/pypy38-capi.py from PyPy's own",
        "# sources at that tag: pypy/module/cpyext (@cpython_api and @cts.decl functions, api.py's",
        "# SYMBOLS_C, flags and exported objects, the number and codec functions made in loops) and",
        "# pypy/module/exceptions (the exception classes).",
    ]
    with open(TARGET, "w", encoding="utf-8") as stream:
        stream.write("\n".join(header + symbols) + "\n")
    print("%d symbols written to %s" % (len(symbols), TARGET))


if __name__ == "__main__":
    main()
