"""No reference is leaked on any path: repeated calls, failing or not, leave
the interpreter's count of allocated blocks where it was (CPython only)."""
import gc
import sys

import pytest

import dralvex_sim
from conftest import cc, core

pytestmark = pytest.mark.skipif(not hasattr(sys, "getallocatedblocks"), reason="CPython only")


def leaked_blocks(action, rounds=300):
    """Blocks left behind per `rounds` calls: the smaller of two
    measurements, so that a one-off cache filling up is not taken for a
    leak while a per-call leak shows in both."""
    for _ in range(50):
        action()
    growth = []
    for factor in (1, 2):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds * factor):
            action()
        gc.collect()
        growth.append((sys.getallocatedblocks() - before) // factor)
    return min(growth)


def swallow(function, *args, **kwargs):
    def action():
        try:
            function(*args, **kwargs)
        except Exception:
            pass
    return action


SETTINGS = {"Families": [{"Name": "ASTER", "SubFamilies": [
    {"Name": "PATH", "Settings": [{"Name": "WINDOWS SOLVER PATH", "Value": "x"}]}]}]}


@pytest.mark.parametrize("action", [
    swallow(core.load_dll),
    swallow(core.load_dll, dllname="x", other=1),
    swallow(core.setup_dralvex_computer, "a", ductavo_installation_directory="b"),
    swallow(core.disposeSolution, x=1),
    swallow(core.load_dll, "Dralvex.SDK.dll"),
    swallow(core.FindSolverPaths, SETTINGS),
    swallow(core.FindSolverPaths, {"Families": [{"Name": "ASTER"}]}),
    swallow(core.FindDataProjectPaths, {"CurrentDatasDirectory": 1, "CurrentProjectsDirectory": 2}),
    swallow(core.FindDataProjectPaths, {}),
], ids=["count", "unexpected", "multiple", "no-keywords", "not-set-up", "solver-paths", "key-error",
        "data-paths", "data-key-error"])
def test_frame_paths(action):
    assert leaked_blocks(action) < 20


def test_setup_and_loader_paths(installation, capsys):
    def action():
        core.setup_dralvex_computer(installation.install_dir, cc.DralvexModule.All)
        core.load_dll("Dralvex.Helper.dll")
        swallow(core.load_dll, "Missing.dll")()
        swallow(core.setup_dralvex_computer, installation.install_dir + "-missing", 0)()
        dralvex_sim.recorder.reset()
        dralvex_sim.bridge.imports.clear()
        capsys.readouterr()
    assert leaked_blocks(action, rounds=200) < 100


def test_document_paths(ready, capsys, tmp_path):
    import os
    strale = os.path.join(ready.data_dir, "plant.strale")
    (tmp_path / "a.thf").write_text("")

    def action():
        model = core.createPipingStrale()
        core.saveStrale(model, strale)
        core.loadStrale(strale)
        core.loadStrale(strale + ".missing")
        core.getStrale(ready.data_dir)
        core.find_first_file(str(tmp_path), ".thf")
        swallow(core.find_first_file, str(tmp_path / "missing"), ".thf")()
        swallow(core.writeFreFile, model, 42)()
        copy = core.copyDirectoryToTemp(str(tmp_path))
        import shutil
        shutil.rmtree(copy)
        core.copyDirectoryToTemp(str(tmp_path / "missing"))
        dralvex_sim.recorder.reset()
        dralvex_sim.bridge.imports.clear()
        capsys.readouterr()
    # One leaked reference per call would leave at least one block per round.
    assert leaked_blocks(action, rounds=200) < 100


def test_command_and_inspector_paths(ready, capsys):
    model = core.createPipingStrale()

    def action():
        core.executeCommand(core.createCommand("RenumberElements", model))
        swallow(core.createCommand, "Nope", model)()
        core.inspectClass(model, True)
        core.findNameSpaceAndAssembly("Model")
        core.findNameSpaceAndAssembly("Nope")
        dralvex_sim.recorder.reset()
        dralvex_sim.bridge.imports.clear()
    assert leaked_blocks(action, rounds=200) < 100


def test_project_paths(ready, monkeypatch):
    import os
    monkeypatch.chdir(ready.root)

    def action():
        folder = core.addProjectFolder(ready.projects_dir, "Folder")
        core.addProjectFolder(ready.projects_dir, "Folder")
        project = core.addPipingProject(folder, "Plant", "Base", 1920, 1080)
        swallow(core.addStructureProject, folder, "Other", "Base", "wide", 1080)()
        core.addStructureStudy(project, "Frame", 1920, 1080)
        core.addPipingStudy(project, "Frame", 1920, 1080)
        core.duplicateStudy(project, "Frame", "Copy")
        core.removeStudy(project, "Copy")
        core.removeStudy(os.path.join(folder, "missing"), "Copy")
        core.removeProject(project)
        core.removeProjectFolder(folder)
        dralvex_sim.recorder.reset()
        dralvex_sim.bridge.imports.clear()
    assert leaked_blocks(action, rounds=150) < 75


def test_solving_paths(ready, capsys, tmp_path):
    import os
    model = core.createPipingStrale()
    core.executeCommand(core.createCommand("AddPipe", model))
    path = os.path.join(ready.data_dir, "plant.strale")
    core.saveStrale(model, path)
    failing = tmp_path / "failing-solver"
    failing.write_text("#!/bin/sh\nexit 3\n")
    failing.chmod(0o755)
    core._PipeStress_ = core._Aster_ = str(failing)

    def action():
        core.solve(path, "PipeStress", True)
        core.solve(path + ".missing", "PipeStress", True)
        core.solvePipingModel(model, path, "Nope", ready.data_dir)
        swallow(core.solveStructureModel, model, path, ready.data_dir)()
        swallow(core._AsterSolve, model, path, ready.data_dir)()
        core.disposeSolution()
        dralvex_sim.recorder.reset()
        dralvex_sim.bridge.imports.clear()
        dralvex_sim.com.reset()
        sys.modules["dralvex_sim.solvers_common"].runs.clear()
        capsys.readouterr()
    assert leaked_blocks(action, rounds=100) < 50


def held_references(action, watched, rounds=200):
    """How many references to existing objects `rounds` calls left behind,
    object by object: a leaked reference to an argument, a result or a
    global never shows as a new allocation."""
    action()
    gc.collect()
    before = [sys.getrefcount(value) for value in watched()]
    for _ in range(rounds):
        action()
    gc.collect()
    after = [sys.getrefcount(value) for value in watched()]
    return [count - earlier for count, earlier in zip(after, before)]


def test_existing_objects_keep_their_counts(ready, capsys, tmp_path):
    import os
    from conftest import GLOBAL_NAMES
    model = core.createPipingStrale()
    document = os.path.join(ready.data_dir, "plant" + ".strale")   # made at run time: not shared
    core.saveStrale(model, document)
    directory = str(tmp_path)
    ext = "." + "thf"
    (tmp_path / "a.thf").write_text("")
    settings = {"Families": [{"Name": "ASTER", "SubFamilies": [
        {"Name": "PATH", "Settings": [{"Name": "WINDOWS SOLVER PATH", "Value": "x" * 3}]}]}]}
    sources = {"CurrentDatasDirectory": "d" * 2, "CurrentProjectsDirectory": "p" * 2}
    keyword_value = object()

    def action():
        core.FindSolverPaths(settings)
        core.FindDataProjectPaths(sources)
        swallow(core.FindDataProjectPaths, {"CurrentDatasDirectory": sources})()
        core.find_first_file(directory, ext)
        swallow(core.load_dll, dllname=keyword_value, other=keyword_value)()
        dralvex_sim.fail("Model.LoadFromFile", dralvex_sim.dotnet.IOException("unreadable"))
        core.loadStrale(document)
        dralvex_sim.fail("Model.WriteFreFile.body", dralvex_sim.dotnet.IOException("disk full"))
        swallow(core.writeFreFile, model, document)()
        core.writeFreFile(model, document)
        swallow(core.executeCommand, keyword_value)()
        dralvex_sim.recorder.reset()
        dralvex_sim.bridge.imports.clear()
        capsys.readouterr()

    def watched():
        return [model, document, directory, ext, settings, sources, keyword_value,
                settings["Families"][0]["SubFamilies"][0]["Settings"][0]["Value"],
                sources["CurrentDatasDirectory"]] + [vars(core)[name] for name in GLOBAL_NAMES
                                                     if vars(core)[name] not in (None, True, False)]
    assert held_references(action, watched) == [0] * len(watched())
