"""Tracebacks and evaluation order as the same functions written in Python
give them: one traceback entry for each module function an exception
passes through and none for the statements inside it, a handler that runs
inside its `except` clause, `os.path.join` called where Python calls it,
and a call's callee read before its arguments."""
import builtins
import json
import os
import shutil
import sys
import traceback

import pytest

import dralvex_sim
from conftest import Proxy, cc, core
from dralvex_sim.dotnet import IOException

PREFIX = "dralvex_computer.dralvex_core."


def entries(error):
    """The traceback's entries from the first module function on: module
    functions by their plain names, anything else by its file."""
    summary = traceback.extract_tb(error.__traceback__)
    names = [frame.name[len(PREFIX):] if frame.name.startswith(PREFIX) else os.path.basename(frame.filename)
             for frame in summary]
    first = next(index for index, frame in enumerate(summary) if frame.name.startswith(PREFIX))
    return names[first:]


def write_fre(site):
    dralvex_sim.fail("Model.WriteFreFile.body", IOException("disk full"))
    core.writeFreFile(core.createPipingStrale(), os.path.join(site.data_dir, "plant.strale"))


def setup_in_rollback(site):
    dralvex_sim.fail("CommandController.SetApplication", IOException("no controller"))
    core.setup_dralvex_computer(site.install_dir, cc.DralvexModule.All)


def setup_in_with(site):
    with open(site.settings_path, "w") as stream:
        stream.write("{not json")
    core.setup_dralvex_computer(site.install_dir, cc.DralvexModule.All)


def add_project(site):
    dralvex_sim.fail("ProjectViewModel.CreateNewProject", IOException("locked"))
    core.addPipingProject(site.projects_dir, "Plant", "Base", 1920, 1080)


def runner(site):
    model = core.createPipingStrale()
    document = os.path.join(site.data_dir, "plant.strale")
    core.saveStrale(model, document)
    dralvex_sim.fail("PipeStressSolver", IOException("no solver"))
    core._PipeStressSolve(model, document, site.data_dir)


def sandbox_copy(site):
    document = os.path.join(site.data_dir, "plant.strale")
    core.saveStrale(core.createPipingStrale(), document)

    def copy(source, target):
        raise OSError(28, "No space left on device")

    core.shutil = Proxy(shutil, copy=copy)
    core.solve(document, "PipeStress", True)


@pytest.mark.parametrize("workflow,expected", [
    (write_fre, ["writeFreFile", "core.py", "recorder.py"]),
    (setup_in_rollback, ["setup_dralvex_computer", "core.py", "recorder.py"]),
    (setup_in_with, ["setup_dralvex_computer"]),
    (add_project, ["addPipingProject", "addProject", "project.py", "recorder.py"]),
    (runner, ["_PipeStressSolve", "pipestress.py", "recorder.py"]),
    (sandbox_copy, ["solve"]),
], ids=lambda value: getattr(value, "__name__", ""))
def test_one_entry_per_module_function(ready, capsys, workflow, expected):
    with pytest.raises(Exception) as caught:
        workflow(ready)
    names = entries(caught.value)
    assert "<dralvex_core statements>" not in str(traceback.extract_tb(caught.value.__traceback__))
    assert names[:len(expected)] == expected or names == expected[:1] + names[1:], names
    module_entries = [name for name in names if not name.endswith(".py") and "." not in name]
    assert module_entries == [name for name in expected if not name.endswith(".py")], names


def test_entry_line_is_the_failing_statement(ready):
    with pytest.raises(IOException) as caught:
        write_fre(ready)
    entry = next(frame for frame in traceback.extract_tb(caught.value.__traceback__)
                 if frame.name == PREFIX + "writeFreFile")
    assert entry.filename.endswith("fre_file.cpp") and entry.lineno > 100


def test_dispose_prints_inside_its_except_clause(ready, tmp_path, capsys):
    busy = OSError(16, "Device or resource busy")

    def rmtree(path):
        raise busy

    seen = []

    def failing_print(*arguments):
        seen.append(sys.exc_info()[1])
        raise ValueError("stdout closed")

    (tmp_path / "sandbox").mkdir()
    core._tempDirectory_ = str(tmp_path / "sandbox")
    core.shutil = Proxy(shutil, rmtree=rmtree)
    core.print = failing_print
    with pytest.raises(ValueError) as caught:
        core.disposeSolution()
    assert seen == [busy] and caught.value.__context__ is busy
    assert entries(caught.value)[0] == "disposeSolution"


def test_find_first_file_joins_for_the_test_and_again_for_the_result(tmp_path):
    for name in ("a.txt", "b.thf", "c.thf"):
        (tmp_path / name).write_text("x")
    joins = []

    def join(*parts):
        joins.append(parts)
        return os.path.join(*parts)

    core.os = Proxy(os, listdir=lambda directory: ["a.txt", "b.thf", "c.thf"], path=Proxy(os.path, join=join))
    found = core.find_first_file(str(tmp_path), ".thf")
    assert found == str(tmp_path / "b.thf")
    assert joins == [(str(tmp_path), "b.thf")] * 2


def test_setup_reads_os_before_the_argument(installation):
    """os.path.exists(_settingsPath_): with both names gone, the callee's is
    the NameError raised."""
    calls = []

    def exists(path):
        calls.append(path)
        del core.os, core._settingsPath_
        return True

    core.os = Proxy(os, path=Proxy(os.path, exists=exists))
    with pytest.raises(NameError, match="'os'"):
        core.setup_dralvex_computer(installation.install_dir, cc.DralvexModule.All)
    assert len(calls) == 1


def test_setup_reads_open_before_the_argument(installation, monkeypatch):
    """open(_dataSourcesPath_, ...): with both names gone, `open` is the
    NameError raised."""
    def find_solver_paths(settings):
        monkeypatch.delattr(builtins, "open")
        del core._dataSourcesPath_
        return None, None

    core.FindSolverPaths = find_solver_paths
    with pytest.raises(NameError, match="'open'"):
        core.setup_dralvex_computer(installation.install_dir, cc.DralvexModule.All)


# ------------------------------------------- the context of a second failure

class ClosingFails:
    """A file whose closing raises, as a full disk's can."""

    def __init__(self, stream):
        self.stream = stream

    def __enter__(self):
        return self.stream.__enter__()

    def __exit__(self, *exception):
        self.stream.__exit__(*exception)
        raise KeyError("close")


def clean_up_fails_after_the_block(site):
    def no_thf(directory, ext):
        raise ValueError("the solver step")

    def uninitialise():
        raise KeyError("CoUninitialize")

    core.find_first_file = no_thf
    core.pythoncom = Proxy(core.pythoncom, CoUninitialize=uninitialise)
    core._AsterSolve(core.createStructureStrale(), "x.strale", site.data_dir)


def exit_fails_after_the_block(site):
    with open(site.settings_path, "w") as stream:
        stream.write("{not json")
    core.open = lambda *arguments, **keywords: ClosingFails(builtins.open(*arguments, **keywords))
    core.setup_dralvex_computer(site.install_dir, cc.DralvexModule.All)


@pytest.mark.parametrize("workflow,first", [
    (clean_up_fails_after_the_block, ["_AsterSolve", "test_exactness.py"]),
    (exit_fails_after_the_block, ["setup_dralvex_computer"]),
], ids=lambda value: getattr(value, "__name__", ""))
def test_the_context_of_a_second_failure_has_one_entry_too(ready, capsys, workflow, first):
    """The block's exception, chained to the one its clean-up raised, shows
    the module function once, at the block's failing statement."""
    with pytest.raises(KeyError) as caught:
        workflow(ready)
    context = caught.value.__context__
    assert context is not None and not isinstance(context, KeyError)
    assert "<dralvex_core statements>" not in str(traceback.extract_tb(context.__traceback__))
    assert entries(context)[:len(first)] == first, traceback.extract_tb(context.__traceback__)
    module_entries = [frame for frame in traceback.extract_tb(context.__traceback__) if frame.name.startswith(PREFIX)]
    assert len(module_entries) == 1 and module_entries[0].filename.endswith(".cpp"), module_entries
