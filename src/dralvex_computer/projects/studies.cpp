// Studies of an existing project, each call through a fresh view model.
#include "module/bodies.hpp"
#include "projects/project_host.hpp"
#include "runtime/api.hpp"
#include "shared/files.hpp"
#include "shared/installation.hpp"

namespace dralvex::functions {

namespace {

// A view model loaded from the project's file; empty when there is no file.
Ref open_project(Obj project_view_model_type, PyObject* project_directory) {
    Ref project_filename = project_file(project_directory);
    if (!path_exists(project_filename)) return {};
    Ref project_view_model = call(project_view_model_type.ptr, Py_None);
    call_method(project_view_model, "LoadFromFile"_py, project_filename);
    return project_view_model;
}

Ref import_project_view_model() {
    return import_from(project_assembly().host_namespace, "ProjectViewModel"_py);
}

// The start of removeStudy and duplicateStudy, once their assemblies are
// loaded: the project's view model when the project has a study named
// studyName, made its current study; empty otherwise.
Ref select_existing_study(PyObject* project_directory, PyObject* study_name) {
    Ref project_view_model = open_project(import_project_view_model(), project_directory);
    if (!project_view_model) return {};
    if (!differs_from_none(call_method(project_view_model, "GetStudy"_py, study_name))) return {};
    call_method(project_view_model, "SetCurrentStudy"_py, study_name);
    return project_view_model;
}

Ref add_study_for_module(PyObject* project_directory, PyObject* study_name, PyObject* screen_width,
                         PyObject* screenheight, PyObject* member) {
    require_setup();
    Ref dralvex_module_type = host_module_enumeration();
    return Call{global(by_name::addStudy), project_directory, study_name, screen_width, screenheight,
                attr(dralvex_module_type, member)};
}

}  // namespace

Ref addStudy(PyObject* project_directory, PyObject* study_name, PyObject* screen_width, PyObject* screenheight,
             PyObject* module) {
    Ref project_view_model_type = type_from_assembly(project_assembly(), "ProjectViewModel"_py);
    Ref point_type = import_from("System.Windows"_py, "Point"_py);
    Ref project_view_model = open_project(project_view_model_type, project_directory);
    if (!project_view_model) return none();
    if (!equals_none(call_method(project_view_model, "GetStudy"_py, study_name))) return none();
    Call{attr(project_view_model, "AddEmptyStudy"_py), window_position(point_type, screen_width, screenheight), module,
         study_name};
    return call_method(project_view_model, "GetStudy"_py, study_name);
}

Ref addPipingStudy(PyObject* project_directory, PyObject* study_name, PyObject* screen_width, PyObject* screenheight) {
    return add_study_for_module(project_directory, study_name, screen_width, screenheight, "Ductavo"_py);
}

Ref addStructureStudy(PyObject* project_directory, PyObject* study_name, PyObject* screen_width,
                      PyObject* screenheight) {
    return add_study_for_module(project_directory, study_name, screen_width, screenheight, "Framavo"_py);
}

Ref removeStudy(PyObject* project_directory, PyObject* study_name) {
    require_setup();
    load_assembly(project_assembly());
    if (Ref project_view_model = select_existing_study(project_directory, study_name)) {
        call_method(project_view_model, "DeleteCurrentStudy"_py);
    }
    return none();
}

Ref duplicateStudy(PyObject* project_directory, PyObject* study_name, PyObject* copy_study_name) {
    require_setup();
    load_assembly(helper_assembly());
    load_assembly(project_assembly());
    if (Ref project_view_model = select_existing_study(project_directory, study_name)) {
        call_method(project_view_model, "DuplicateCurrentStudy"_py);   // the copy becomes the current study
        Ref new_study_name = call_method(project_view_model, "GetCurrentStudyName"_py);
        call_method(project_view_model, "SetCurrentStudy"_py, new_study_name);
        call_method(project_view_model, "RenameCurrentStudy"_py, copy_study_name);
    }
    return none();
}

}  // namespace dralvex::functions
