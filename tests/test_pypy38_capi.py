"""PyPy 3.8 (release 7.3.11) is the main target, and this machine has PyPy
3.9: every C-API symbol the PyPy build of the module links against must be
one PyPy 3.8 exports (tests/data/pypy38-capi.txt, compiled from PyPy's own
sources by tools/pypy38-capi.py)."""
import os
import shutil
import subprocess
import sys

import pytest

from conftest import core

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "pypy38-capi.txt")

# Where a PyPy 3.9 header expands a call into a function PyPy 3.8 does not
# have, the 3.8 headers call the one named here instead.
EXPANDED_BY_39_HEADERS = {
    # 3.9's methodobject.h: #define PyCFunction_NewEx(ML, SELF, MOD) PyCMethod_New(ML, SELF, MOD, NULL);
    # 3.8 exports PyCFunction_NewEx itself
    "PyPyCMethod_New": "PyPyCFunction_NewEx",
}


def pypy38_symbols():
    with open(DATA, encoding="utf-8") as stream:
        return {line.strip() for line in stream if line.strip() and not line.startswith("#")}


@pytest.mark.skipif(sys.implementation.name != "pypy", reason="checks the PyPy build of the module")
def test_every_symbol_the_module_uses_is_in_pypy_38():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run([nm, "-D", "--undefined-only", core.__file__], capture_output=True, text=True,
                             check=True).stdout
    used = {line.split()[-1].split("@")[0] for line in listing.splitlines() if "PyPy" in line}
    assert used, "no PyPy symbol found: is this the PyPy build?"
    provided = pypy38_symbols()
    missing = sorted(symbol for symbol in used if EXPANDED_BY_39_HEADERS.get(symbol, symbol) not in provided)
    assert missing == [], "not in PyPy 3.8 (7.3.11): %s" % ", ".join(missing)


def test_the_symbol_list_is_sound():
    symbols = pypy38_symbols()
    assert len(symbols) > 800 and {"PyPyErr_Format", "PyPyCFunction_NewEx", "PyPyExc_RecursionError"} <= symbols
    assert "PyPyCMethod_New" not in symbols   # a 3.9 function
