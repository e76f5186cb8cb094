"""The namespace Dralvex.Ductavo.Project of the simulated host.

A project lives in its directory as the file "<stem of the directory>.project"
(JSON of the simulated host's own) plus one sub-directory per study. Every
operation that changes studies writes the project file."""
import json
import os
import shutil

from . import dotnet
from .recorder import record
from .sdk import DralvexModule

__all__ = ["ProjectViewModel", "StudyModel"]

PROJECT_FORMAT = "DRALVEX-SIM-PROJECT/1"


class StudyModel:
    def __init__(self, name, module, position):
        self.Name = name
        self.Module = module
        self.Position = position

    def __repr__(self):
        return "StudyModel(%r, %s)" % (self.Name, self.Module.name)


class ProjectViewModel:
    def __init__(self, owner):
        record("ProjectViewModel", owner)
        if owner is not None:
            raise dotnet.ArgumentException("ProjectViewModel expects no owner window here")
        self.ProjectFileName = None
        self.Description = ""
        self._studies = []
        self._current = None

    # -- files -----------------------------------------------------------
    def _directory(self):
        return os.path.dirname(self.ProjectFileName)

    def _save(self):
        document = {
            "format": PROJECT_FORMAT,
            "description": self.Description,
            "studies": [{"name": s.Name, "module": s.Module.name, "position": [s.Position.X, s.Position.Y]}
                        for s in self._studies],
        }
        with open(self.ProjectFileName, "w", encoding="utf-8") as stream:
            json.dump(document, stream, indent=1)

    def CreateNewProject(self, projectDirectory, position, description, studyName, module):
        record("ProjectViewModel.CreateNewProject", projectDirectory, position, description, studyName, module)
        _check_study(position, module, studyName)
        if not os.path.isdir(projectDirectory):
            raise dotnet.IOException("Directory not found: %s" % projectDirectory)
        stem = os.path.splitext(os.path.basename(projectDirectory))[0]
        self.ProjectFileName = os.path.join(projectDirectory, stem + ".project")
        self.Description = description
        self._studies = []
        self._add(position, module, studyName)
        self._save()

    def LoadFromFile(self, path):
        record("ProjectViewModel.LoadFromFile", path)
        document = dotnet.read_document(path, PROJECT_FORMAT, "project file")
        self.ProjectFileName = path
        self.Description = document.get("description", "")
        self._studies = [StudyModel(s["name"], DralvexModule[s["module"]], dotnet.Point(*s["position"]))
                         for s in document["studies"]]
        self._current = self._studies[0] if self._studies else None
        return True

    # -- studies ---------------------------------------------------------
    def _find(self, name):
        return next((study for study in self._studies if study.Name == name), None)

    def _add(self, position, module, name):
        study = StudyModel(name, module, position)
        self._studies.append(study)
        os.makedirs(os.path.join(self._directory(), name), exist_ok=True)
        self._current = study
        return study

    def StudyNames(self):
        return [study.Name for study in self._studies]

    def GetStudy(self, name):
        record("ProjectViewModel.GetStudy", name)
        return self._find(name)

    def AddEmptyStudy(self, position, module, name):
        record("ProjectViewModel.AddEmptyStudy", position, module, name)
        _check_study(position, module, name)
        if self._find(name) is not None:
            raise dotnet.ArgumentException("A study named '%s' already exists" % name)
        self._add(position, module, name)
        self._save()

    def SetCurrentStudy(self, name):
        record("ProjectViewModel.SetCurrentStudy", name)
        study = self._find(name)
        if study is None:
            raise dotnet.ArgumentException("No study named '%s'" % name)
        self._current = study

    def GetCurrentStudyName(self):
        record("ProjectViewModel.GetCurrentStudyName")
        return self._current.Name if self._current is not None else None

    def DeleteCurrentStudy(self):
        """Refuses (returns False) to delete the last study of a project."""
        record("ProjectViewModel.DeleteCurrentStudy")
        if self._current is None or len(self._studies) < 2:
            return False
        self._studies.remove(self._current)
        shutil.rmtree(os.path.join(self._directory(), self._current.Name), ignore_errors=True)
        self._current = self._studies[0]
        self._save()
        return True

    def DuplicateCurrentStudy(self):
        """Copies the current study under a name of the host's choosing and
        makes the copy current."""
        record("ProjectViewModel.DuplicateCurrentStudy")
        if self._current is None:
            raise dotnet.InvalidOperationException("No current study")
        source = self._current
        name, number = source.Name + " - Copy", 2
        while self._find(name) is not None:
            name, number = "%s - Copy (%d)" % (source.Name, number), number + 1
        copy = StudyModel(name, source.Module, source.Position)
        self._studies.append(copy)
        source_dir = os.path.join(self._directory(), source.Name)
        if os.path.isdir(source_dir):
            shutil.copytree(source_dir, os.path.join(self._directory(), name))
        self._current = copy
        self._save()

    def RenameCurrentStudy(self, name):
        """Refuses (returns False) a name another study already has."""
        record("ProjectViewModel.RenameCurrentStudy", name)
        if self._current is None:
            raise dotnet.InvalidOperationException("No current study")
        if not isinstance(name, str) or not name:
            raise dotnet.ArgumentException("A study name must be a non-empty string")
        if self._find(name) not in (None, self._current):
            return False
        old = os.path.join(self._directory(), self._current.Name)
        if os.path.isdir(old) and name != self._current.Name:
            os.rename(old, os.path.join(self._directory(), name))
        self._current.Name = name
        self._save()
        return True


def _check_study(position, module, name):
    if not isinstance(position, dotnet.Point):
        raise dotnet.ArgumentException("position must be a Point")
    if not isinstance(module, DralvexModule):
        raise dotnet.ArgumentException("module must be a DralvexModule member, not %r" % (module,))
    if not isinstance(name, str) or not name:
        raise dotnet.ArgumentException("A study name must be a non-empty string")


def read_project(path):
    """The stored project document (for tests and demos)."""
    with open(path, "r", encoding="utf-8") as stream:
        return json.load(stream)
