// Project folders and projects.
#include "module/api.hpp"
#include "module/files.hpp"
#include "module/bodies.hpp"
#include "host/host_module.hpp"
#include "projects/project_host.hpp"

namespace dralvex::functions {

namespace {

// Removes the directory a path names, resolved against the working directory
// of the call, and leaves the working directory at its parent. Any failure
// is dropped; a filesystem root is never removed.
Ref remove_directory(PyObject* path) {
    require_setup();
    if (!path_exists(path) || !truth(os_path("isdir"_py, path))) return none();
    catch_exception([&] {
        Ref directory = os_path("abspath"_py, path);
        Ref parentDirectory = os_path("dirname"_py, directory);
        if (equals(parentDirectory, directory)) return;
        call_method(global("os"_py), "chdir"_py, parentDirectory);
        call_method(global("shutil"_py), "rmtree"_py, directory);
    });
    return none();
}

Ref add_project_for_module(Args args, PyObject* member) {
    require_setup();
    return call_global("addProject"_py, args[0], args[1], args[2], args[3], args[4], host_module_member(member));
}

}  // namespace

Ref addProjectFolder(Args args) {
    PyObject* directory = args[0];
    PyObject* folderName = args[1];

    require_setup();
    Ref folder = os_path("join"_py, directory, folderName);
    if (path_exists(folder)) return Ref::borrow(""_py);
    call_method(global("os"_py), "makedirs"_py, folder);
    return folder;
}

Ref removeProjectFolder(Args args) { return remove_directory(args[0]); }

Ref removeProject(Args args) { return remove_directory(args[0]); }

Ref addProject(Args args) {
    PyObject* directory = args[0];
    PyObject* projectName = args[1];
    PyObject* studyName = args[2];
    PyObject* screenWidth = args[3];
    PyObject* screenheight = args[4];
    PyObject* module = args[5];

    Ref projectDirectory = os_path("join"_py, directory, projectName);
    if (path_exists(projectDirectory)) return Ref::borrow(""_py);
    call_method(global("os"_py), "makedirs"_py, projectDirectory);
    // Left in place after a failure, the directory would make every later
    // call with this name return "" without creating the project.
    with_rollback(
        [&] {
            call_global("load_dll"_py, "Dralvex.Ductavo.Project.dll"_py);
            Ref ProjectViewModel = import_from("Dralvex.Ductavo.Project"_py, "ProjectViewModel"_py);
            Ref Point = import_from("System.Windows"_py, "Point"_py);
            Ref projectViewModel = call(ProjectViewModel, Py_None);
            call_method(projectViewModel, "CreateNewProject"_py, projectDirectory,
                        window_position(Point, screenWidth, screenheight), ""_py, studyName, module);
        },
        [&] { remove_tree_quietly(projectDirectory); });
    return projectDirectory;
}

Ref addPipingProject(Args args) { return add_project_for_module(args, "Ductavo"_py); }

Ref addStructureProject(Args args) { return add_project_for_module(args, "Framavo"_py); }

}  // namespace dralvex::functions
