import os
import shutil

import pytest

import dralvex_sim
from conftest import NOT_SET_UP, Proxy, cc, core


def host_module(name):
    return getattr(dralvex_sim.bridge.import_namespace("Dralvex.SDK", ["DralvexModule"]).DralvexModule, name)


@pytest.mark.parametrize("call", [
    lambda d: core.addProjectFolder(d, "F"), lambda d: core.removeProjectFolder(d), lambda d: core.removeProject(d),
    lambda d: core.addPipingProject(d, "P", "S", 1, 1), lambda d: core.addStructureProject(d, "P", "S", 1, 1),
    lambda d: core.addProject(d, "P", "S", 1, 1, 0),
])
def test_not_set_up(tmp_path, call):
    (tmp_path / "keep").mkdir()
    with pytest.raises(OSError) as caught:
        call(str(tmp_path / "keep"))
    assert caught.value.args == (NOT_SET_UP,)
    assert os.listdir(tmp_path / "keep") == []    # addProject removes what it created


def test_add_project_folder(ready, tmp_path):
    (tmp_path / "file").write_text("")
    (tmp_path / "existing").mkdir()
    assert core.addProjectFolder(str(tmp_path), "file") == ""
    assert core.addProjectFolder(str(tmp_path), "existing") == ""
    folder = core.addProjectFolder(str(tmp_path / "new" / "level"), "Folder")
    assert folder == os.path.join(str(tmp_path / "new" / "level"), "Folder") and os.path.isdir(folder)


@pytest.mark.parametrize("add,member", [(core.addPipingProject, "Ductavo"), (core.addStructureProject, "Framavo")])
@pytest.mark.parametrize("size,position", [((1920, 1080), (810.0, 340.0)), ((300, 400), (0.0, 0.0)),
                                           ((200, 400.5), (-50.0, 0.25))])
def test_add_project(ready, add, member, size, position):
    project = add(ready.projects_dir, "Plant", "Study", *size)
    assert project == os.path.join(ready.projects_dir, "Plant")
    ((directory, point, description, study, module),) = dralvex_sim.calls_of("ProjectViewModel.CreateNewProject")
    assert (directory, description, study, module) == (project, "", "Study", host_module(member))
    assert (point.X, point.Y) == position and type(point.X) is type(point.Y) is float
    assert dralvex_sim.calls_of("ProjectViewModel") == [(None,)]
    assert sorted(os.listdir(project)) == ["Plant.project", "Study"]


def test_existing_project_is_left_alone(ready):
    os.makedirs(os.path.join(ready.projects_dir, "Plant"))
    assert core.addPipingProject(ready.projects_dir, "Plant", "Study", 1920, 1080) == ""
    assert "ProjectViewModel" not in dralvex_sim.members()


@pytest.mark.parametrize("break_it", ["size", "host", "assembly"])
def test_failed_project_leaves_no_directory(ready, break_it):
    width = "wide" if break_it == "size" else 1920
    if break_it == "host":
        dralvex_sim.fail("ProjectViewModel.CreateNewProject", dralvex_sim.dotnet.IOException("refused"))
    if break_it == "assembly":
        os.remove(os.path.join(ready.extensions, "Dralvex.Ductavo.Project.dll"))
    with pytest.raises((TypeError, dralvex_sim.dotnet.IOException, FileNotFoundError)):
        core.addPipingProject(ready.projects_dir, "Plant", "Study", width, 1080)
    assert os.listdir(ready.projects_dir) == []
    if break_it != "assembly":
        dralvex_sim.recorder.reset()
        assert core.addPipingProject(ready.projects_dir, "Plant", "Study", 1920, 1080).endswith("Plant")


@pytest.mark.parametrize("parents", [["Site", "Unit"], ["Existing", "New"]])
def test_failed_project_removes_the_parents_it_created(ready, parents):
    os.makedirs(os.path.join(ready.projects_dir, "Existing"))
    dralvex_sim.fail("ProjectViewModel.CreateNewProject", dralvex_sim.dotnet.IOException("refused"))
    with pytest.raises(dralvex_sim.dotnet.IOException):
        core.addPipingProject(os.path.join(ready.projects_dir, *parents), "Plant", "Study", 1920, 1080)
    assert os.listdir(ready.projects_dir) == ["Existing"]
    assert os.listdir(os.path.join(ready.projects_dir, "Existing")) == []


def test_add_project_is_called_through_the_namespace(ready):
    seen = []
    core.addProject = lambda *args: seen.append(args) or "made"
    assert core.addStructureProject("d", "p", "s", 1, 2) == "made"
    assert seen == [("d", "p", "s", 1, 2, host_module("Framavo"))]


@pytest.mark.parametrize("remove", [core.removeProject, core.removeProjectFolder])
def test_remove_absolute(ready, remove, monkeypatch):
    project = core.addPipingProject(ready.projects_dir, "Plant", "Study", 1920, 1080)
    monkeypatch.chdir(ready.root)
    assert remove(project) is None
    assert not os.path.exists(project) and os.getcwd() == ready.projects_dir


@pytest.mark.parametrize("relative", ["Folder/Plant", "Folder/Plant/", "./Folder/../Folder/Plant", "Plant"])
def test_remove_relative(ready, relative, monkeypatch):
    folder = core.addProjectFolder(ready.projects_dir, "Folder")
    project = core.addPipingProject(folder, "Plant", "Study", 1920, 1080)
    # A decoy where the unresolved path would land after the change of directory.
    decoy = os.path.join(folder, "Folder", "Plant")
    os.makedirs(decoy)
    monkeypatch.chdir(folder if relative == "Plant" else ready.projects_dir)
    core.removeProject(relative)
    assert not os.path.exists(project) and os.path.isdir(decoy)
    assert os.getcwd() == folder


@pytest.mark.parametrize("target", ["missing", "file"])
def test_remove_nothing(ready, target, monkeypatch):
    path = os.path.join(ready.projects_dir, target)
    if target == "file":
        open(path, "w").close()
    monkeypatch.chdir(ready.root)
    assert core.removeProject(path) is None
    assert os.getcwd() == ready.root and os.path.exists(path) == (target == "file")


def test_root_is_never_removed(ready):
    touched = []
    core.shutil = Proxy(shutil, rmtree=lambda *args: touched.append(("rmtree", args)))
    core.os = Proxy(os, chdir=lambda *args: touched.append(("chdir", args)))
    for root in (os.sep, os.sep + os.sep):
        assert core.removeProjectFolder(root) is None
    assert touched == []


def test_removal_failures_are_dropped(ready):
    folder = core.addProjectFolder(ready.projects_dir, "Folder")

    def partly(path):
        raise PermissionError(path)

    core.shutil = Proxy(shutil, rmtree=partly)
    assert core.removeProjectFolder(folder) is None


@pytest.mark.parametrize("path", [".", "..", "PlantA/results/..", "PlantA/.", "PlantA/results/../"])
def test_dot_names_are_never_removed(ready, monkeypatch, path):
    plant = os.path.join(ready.projects_dir, "PlantA")
    elsewhere = os.path.join(ready.root, "elsewhere", "results")
    os.makedirs(plant)
    os.makedirs(elsewhere)
    os.symlink(elsewhere, os.path.join(plant, "results"))
    monkeypatch.chdir(ready.projects_dir)
    assert core.removeProject(path) is None
    assert os.path.isdir(plant) and os.path.isdir(elsewhere) and os.path.isdir(ready.projects_dir)


def test_removal_reaches_the_directory_the_os_resolves(ready, monkeypatch):
    """`link/../PlantB` names PlantB beside the link's target, not beside the link."""
    target = os.path.join(ready.root, "other", "sub")
    os.makedirs(target)
    resolved = os.path.join(ready.root, "other", "PlantB")
    textual = os.path.join(ready.projects_dir, "PlantB")
    os.makedirs(resolved)
    os.makedirs(textual)
    os.symlink(target, os.path.join(ready.projects_dir, "link"))
    monkeypatch.chdir(ready.projects_dir)
    assert core.removeProject(os.path.join("link", "..", "PlantB")) is None
    assert not os.path.exists(resolved) and os.path.isdir(textual)


def test_link_as_last_name_is_refused(ready):
    target = os.path.join(ready.root, "kept")
    os.makedirs(os.path.join(target, "inside"))
    link = os.path.join(ready.projects_dir, "Linked")
    os.symlink(target, link)
    assert core.removeProject(link) is None
    assert os.path.islink(link) and os.path.isdir(os.path.join(target, "inside"))


# ------------------------------------------------------------------ studies

@pytest.fixture
def project(ready):
    return core.addPipingProject(ready.projects_dir, "Plant.old", "Base", 1920, 1080)


def studies(project_dir):
    from dralvex_sim.project import read_project
    return [s["name"] for s in read_project(os.path.join(project_dir, "Plant.project"))["studies"]]


def test_project_file_is_cut_at_the_last_dot(project):
    assert os.listdir(project).count("Plant.project") == 1
    dralvex_sim.recorder.reset()
    core.removeStudy(project, "None such")
    assert dralvex_sim.calls_of("ProjectViewModel.LoadFromFile") == [(os.path.join(project, "Plant.project"),)]


def test_trailing_separator_looks_for_dot_project(project):
    dralvex_sim.recorder.reset()
    assert core.removeStudy(project + os.sep, "Base") is None
    assert "ProjectViewModel" not in dralvex_sim.members()
    shutil.copy(os.path.join(project, "Plant.project"), os.path.join(project, ".project"))
    dralvex_sim.recorder.reset()
    core.removeStudy(project + os.sep, "Base")
    assert dralvex_sim.calls_of("ProjectViewModel.LoadFromFile") == [(os.path.join(project, ".project"),)]


@pytest.mark.parametrize("add,member", [(core.addPipingStudy, "Ductavo"), (core.addStructureStudy, "Framavo")])
def test_add_study(project, add, member):
    dralvex_sim.recorder.reset()
    study = add(project, "Second", 1000, 600.0)
    assert study.Name == "Second"
    ((point, module, name),) = dralvex_sim.calls_of("ProjectViewModel.AddEmptyStudy")
    assert ((point.X, point.Y), module, name) == ((350.0, 100.0), host_module(member), "Second")
    assert dralvex_sim.calls_of("ProjectViewModel.GetStudy") == [("Second",), ("Second",)]
    assert studies(project) == ["Base", "Second"]
    # An existing name changes nothing, and never computes the position.
    assert add(project, "Second", "not a number", None) is None
    assert studies(project) == ["Base", "Second"]
    with pytest.raises(TypeError):
        add(project, "Third", "not a number", 600)


def test_add_study_returns_the_second_lookup(project, monkeypatch):
    from dralvex_sim.project import ProjectViewModel
    monkeypatch.setattr(ProjectViewModel, "AddEmptyStudy", lambda self, *args: None)
    assert core.addPipingStudy(project, "Lost", 1920, 1080) is None


def test_remove_study(project):
    core.addStructureStudy(project, "Frame", 1920, 1080)
    dralvex_sim.recorder.reset()
    assert core.removeStudy(project, "Nope") is None
    assert "ProjectViewModel.SetCurrentStudy" not in dralvex_sim.members()
    assert core.removeStudy(projectDirectory=project, studyName="Base") is None
    assert studies(project) == ["Frame"]
    # The last study: the host is asked and refuses; the result is still None.
    assert core.removeStudy(project, "Frame") is None
    assert dralvex_sim.members()[-2:] == ["ProjectViewModel.SetCurrentStudy", "ProjectViewModel.DeleteCurrentStudy"]
    assert studies(project) == ["Frame"]


def test_duplicate_study(project):
    dralvex_sim.recorder.reset()
    assert core.duplicateStudy(project, "Base", "Copy") is None
    assert [m for m in dralvex_sim.members() if m.startswith("ProjectViewModel.") and m != "ProjectViewModel.GetStudy"] == [
        "ProjectViewModel.LoadFromFile", "ProjectViewModel.SetCurrentStudy", "ProjectViewModel.DuplicateCurrentStudy",
        "ProjectViewModel.GetCurrentStudyName", "ProjectViewModel.SetCurrentStudy",
        "ProjectViewModel.RenameCurrentStudy"]
    assert dralvex_sim.calls_of("ProjectViewModel.SetCurrentStudy") == [("Base",), ("Base - Copy",)]
    assert studies(project) == ["Base", "Copy"]
    # A name already taken is refused by the host; the copy keeps its own.
    assert core.duplicateStudy(project, "Base", "Copy") is None
    assert studies(project) == ["Base", "Copy", "Base - Copy"]


@pytest.mark.parametrize("call", [
    lambda d: core.addPipingStudy(d, "S", 1, 1), lambda d: core.addStudy(d, "S", 1, 1, 0),
    lambda d: core.removeStudy(d, "S"), lambda d: core.duplicateStudy(d, "S", "T"),
])
def test_missing_project_file(ready, call):
    core._dlls_ = []
    assert call(os.path.join(ready.projects_dir, "Nothing")) is None
    assert "ProjectViewModel" not in dralvex_sim.members()
    assert "Dralvex.Ductavo.Project.dll" in core._dlls_


@pytest.mark.parametrize("call", [
    lambda d: core.addPipingStudy(d, "S", 1, 1), lambda d: core.addStructureStudy(d, "S", 1, 1),
    lambda d: core.addStudy(d, "S", 1, 1, 0), lambda d: core.removeStudy(d, "S"),
    lambda d: core.duplicateStudy(d, "S", "T"),
])
def test_studies_not_set_up(call):
    with pytest.raises(OSError) as caught:
        call("missing")
    assert caught.value.args == (NOT_SET_UP,)


def test_fresh_view_model_per_call(project):
    dralvex_sim.recorder.reset()
    core.addPipingStudy(project, "A", 1920, 1080)
    core.removeStudy(project, "A")
    core.duplicateStudy(project, "Base", "B")
    assert len(dralvex_sim.calls_of("ProjectViewModel")) == 3


def test_unreadable_project_file_raises(project):
    with open(os.path.join(project, "Plant.project"), "w") as stream:
        stream.write("garbage")
    with pytest.raises(dralvex_sim.dotnet.IOException):
        core.removeStudy(project, "Base")
