// Project folders and projects.
#include "module/api.hpp"
#include "host/files.hpp"
#include "module/bodies.hpp"
#include "host/installation.hpp"
#include "projects/project_host.hpp"

#include <vector>

namespace dralvex::functions {

namespace {

// The directory a path names as the OS resolves it: its parent resolved
// (symbolic links and "..", as the existence test saw them), then its last
// name kept as it is, so that a link as the last name still reaches
// shutil.rmtree, which refuses it. Empty for a last name "." or "..", and
// for a filesystem root.
Ref resolved_directory(PyObject* path) {
    Ref head = Ref::borrow(path);
    Ref name;
    for (;;) {
        auto [parent, last] = unpack_pair(os_path("split"_py, head));
        const bool same = equals(parent, head);
        head = parent;
        name = last;
        if (truth(name) || same) break;   // a trailing separator: look one step up
    }
    Ref text_name = call_method(global("os"_py), "fsdecode"_py, name);
    if (!truth(text_name) || equals(text_name, "."_py) || equals(text_name, ".."_py)) return {};
    return Call{os_path_function("join"_py), Call{os_path_function("realpath"_py), head}, name};
}

// Removes the directory a path names and leaves the working directory at
// its parent. Any failure is dropped; "." and ".." and a filesystem root are
// never removed.
Ref remove_directory(PyObject* path) {
    require_setup();
    if (!path_exists(path) || !truth(os_path("isdir"_py, path))) return none();
    catch_exception([&] {
        Ref directory = resolved_directory(path);
        if (!directory) return;
        Ref parent_directory = os_path("dirname"_py, directory);
        call_method(global("os"_py), "chdir"_py, parent_directory);
        call_method(global("shutil"_py), "rmtree"_py, directory);
    });
    return none();
}

// The directories os.makedirs(path) is about to create: the path and each
// missing parent, deepest first.
std::vector<Ref> missing_directories(Obj path) {
    std::vector<Ref> missing;
    Ref directory = Ref::borrow(path.ptr);
    while (truth(directory) && !truth(os_path("lexists"_py, directory))) {
        missing.push_back(directory);
        Ref parent = os_path("dirname"_py, directory);
        if (equals(parent, directory)) break;
        directory = parent;
    }
    return missing;
}

// Removes what a failed addProject created: the project directory with
// whatever the host put in it, then each parent it created, if still empty.
void remove_created_directories(const std::vector<Ref>& created) {
    if (created.empty()) return;
    remove_tree_quietly(created.front());
    for (std::size_t index = 1; index < created.size(); ++index) {
        catch_exception([&] { call_method(global("os"_py), "rmdir"_py, created[index]); });
    }
}

Ref add_project_for_module(PyObject* directory, PyObject* project_name, PyObject* study_name, PyObject* screen_width,
                           PyObject* screenheight, PyObject* member) {
    require_setup();
    Ref dralvex_module_type = host_module_enumeration();
    return Call{global("addProject"_py), directory, project_name, study_name, screen_width, screenheight,
                attr(dralvex_module_type, member)};
}

}  // namespace

Ref addProjectFolder(PyObject* directory, PyObject* folder_name) {
    require_setup();
    Ref folder = os_path("join"_py, directory, folder_name);
    if (path_exists(folder)) return Ref::borrow(""_py);
    call_method(global("os"_py), "makedirs"_py, folder);
    return folder;
}

Ref removeProjectFolder(PyObject* folder_directory) { return remove_directory(folder_directory); }

Ref removeProject(PyObject* project_directory) { return remove_directory(project_directory); }

Ref addProject(PyObject* directory, PyObject* project_name, PyObject* study_name, PyObject* screen_width,
               PyObject* screenheight, PyObject* module) {
    Ref project_directory = os_path("join"_py, directory, project_name);
    if (path_exists(project_directory)) return Ref::borrow(""_py);
    const std::vector<Ref> created = missing_directories(project_directory);
    call_method(global("os"_py), "makedirs"_py, project_directory);
    // Left in place after a failure, the directory would make every later
    // call with this name return "" without creating the project.
    with_rollback(
        [&] {
            call_global("load_dll"_py, project_assembly());
            Ref project_view_model_type = import_from("Dralvex.Ductavo.Project"_py, "ProjectViewModel"_py);
            Ref point_type = import_from("System.Windows"_py, "Point"_py);
            Ref project_view_model = call(project_view_model_type, Py_None);
            Call{attr(project_view_model, "CreateNewProject"_py), project_directory,
                 window_position(point_type, screen_width, screenheight), ""_py, study_name, module};
        },
        [&] { remove_created_directories(created); });
    return project_directory;
}

Ref addPipingProject(PyObject* directory, PyObject* project_name, PyObject* study_name, PyObject* screen_width,
                     PyObject* screenheight) {
    return add_project_for_module(directory, project_name, study_name, screen_width, screenheight, "Ductavo"_py);
}

Ref addStructureProject(PyObject* directory, PyObject* project_name, PyObject* study_name, PyObject* screen_width,
                        PyObject* screenheight) {
    return add_project_for_module(directory, project_name, study_name, screen_width, screenheight, "Framavo"_py);
}

}  // namespace dralvex::functions
