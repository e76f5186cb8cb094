"""Every function with arguments of the wrong kind: an exception or a
documented result, never a crash, and nothing outside the working directory
touched."""
import inspect
import os

import pytest

from conftest import cc, core

VALUES = [None, 0, -1.5, "", "\x00", b"bytes", [], {}, object()]


@pytest.mark.parametrize("name", [n for n in cc.__all__ if n != "DralvexModule"] + ["_PipeStressSolve", "_AsterSolve"])
def test_wrong_kinds(ready, tmp_path, monkeypatch, capsys, name):
    monkeypatch.chdir(tmp_path)
    function = getattr(core, name)
    count = len(inspect.signature(function).parameters)
    for value in VALUES:
        try:
            function(*[value] * count)
        except Exception:
            pass
    assert core._validSetup_ in (True, False)
    assert os.path.isdir(ready.install_dir) and os.path.isdir(ready.projects_dir)
