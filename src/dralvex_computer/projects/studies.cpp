// Studies of an existing project, each call through a fresh view model.
#include "module/api.hpp"
#include "host/files.hpp"
#include "module/bodies.hpp"
#include "host/installation.hpp"
#include "projects/project_host.hpp"

namespace dralvex::functions {

namespace {

// A view model loaded from the project's file; empty when there is no file.
Ref open_project(Obj ProjectViewModel, PyObject* projectDirectory) {
    Ref projectFilename = project_file(projectDirectory);
    if (!path_exists(projectFilename)) return {};
    Ref projectViewModel = call(ProjectViewModel.ptr, Py_None);
    call_method(projectViewModel, "LoadFromFile"_py, projectFilename);
    return projectViewModel;
}

Ref project_view_model_type() {
    return import_from("Dralvex.Ductavo.Project"_py, "ProjectViewModel"_py);
}

// The start of removeStudy and duplicateStudy, once their assemblies are
// loaded: the project's view model when the project has a study named
// studyName, made its current study; empty otherwise.
Ref select_existing_study(PyObject* projectDirectory, PyObject* studyName) {
    Ref projectViewModel = open_project(project_view_model_type(), projectDirectory);
    if (!projectViewModel) return {};
    if (!differs_from_none(call_method(projectViewModel, "GetStudy"_py, studyName))) return {};
    call_method(projectViewModel, "SetCurrentStudy"_py, studyName);
    return projectViewModel;
}

Ref add_study_for_module(PyObject* projectDirectory, PyObject* studyName, PyObject* screenWidth,
                         PyObject* screenheight, PyObject* member) {
    require_setup();
    Ref DralvexModule = host_module_enumeration();
    return Call{global("addStudy"_py), projectDirectory, studyName, screenWidth, screenheight,
                attr(DralvexModule, member)};
}

}  // namespace

Ref addStudy(PyObject* projectDirectory, PyObject* studyName, PyObject* screenWidth, PyObject* screenheight,
             PyObject* module) {
    call_global("load_dll"_py, project_assembly());
    Ref ProjectViewModel = project_view_model_type();
    Ref Point = import_from("System.Windows"_py, "Point"_py);
    Ref projectViewModel = open_project(ProjectViewModel, projectDirectory);
    if (!projectViewModel) return none();
    if (!equals_none(call_method(projectViewModel, "GetStudy"_py, studyName))) return none();
    Call{attr(projectViewModel, "AddEmptyStudy"_py), window_position(Point, screenWidth, screenheight), module,
         studyName};
    return call_method(projectViewModel, "GetStudy"_py, studyName);
}

Ref addPipingStudy(PyObject* projectDirectory, PyObject* studyName, PyObject* screenWidth, PyObject* screenheight) {
    return add_study_for_module(projectDirectory, studyName, screenWidth, screenheight, "Ductavo"_py);
}

Ref addStructureStudy(PyObject* projectDirectory, PyObject* studyName, PyObject* screenWidth,
                      PyObject* screenheight) {
    return add_study_for_module(projectDirectory, studyName, screenWidth, screenheight, "Framavo"_py);
}

Ref removeStudy(PyObject* projectDirectory, PyObject* studyName) {
    require_setup();
    call_global("load_dll"_py, project_assembly());
    if (Ref projectViewModel = select_existing_study(projectDirectory, studyName)) {
        call_method(projectViewModel, "DeleteCurrentStudy"_py);
    }
    return none();
}

Ref duplicateStudy(PyObject* projectDirectory, PyObject* studyName, PyObject* copyStudyName) {
    require_setup();
    call_global("load_dll"_py, helper_assembly());
    call_global("load_dll"_py, project_assembly());
    if (Ref projectViewModel = select_existing_study(projectDirectory, studyName)) {
        call_method(projectViewModel, "DuplicateCurrentStudy"_py);   // the copy becomes the current study
        Ref newStudyName = call_method(projectViewModel, "GetCurrentStudyName"_py);
        call_method(projectViewModel, "SetCurrentStudy"_py, newStudyName);
        call_method(projectViewModel, "RenameCurrentStudy"_py, copyStudyName);
    }
    return none();
}

}  // namespace dralvex::functions
