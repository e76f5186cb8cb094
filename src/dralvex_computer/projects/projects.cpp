// Project folders and projects.
#include "module/bodies.hpp"
#include "projects/project_host.hpp"
#include "runtime/api.hpp"
#include "shared/files.hpp"
#include "shared/installation.hpp"

#include <algorithm>
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
// missing parent, deepest first, by their text.
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

// The directories that names among `missing` already reach before the
// call, as the OS resolves them: "new/../keep" reaches an existing "keep"
// once "new" is made.
std::vector<Ref> identities_before(const std::vector<Ref>& missing) {
    std::vector<Ref> existing;
    for (const Ref& directory : missing) {
        if (Ref identity = directory_identity(os_path("realpath"_py, directory))) existing.push_back(identity);
    }
    return existing;
}

struct CreatedDirectory {
    Ref path;
    Ref identity;   // as the OS saw it right after os.makedirs
};

// After os.makedirs: the missing names that now reach a directory that no
// name reached before, each with its identity.
std::vector<CreatedDirectory> created_directories(const std::vector<Ref>& missing, const std::vector<Ref>& before) {
    std::vector<CreatedDirectory> created;
    for (const Ref& directory : missing) {
        Ref identity = directory_identity(directory);
        if (!identity) continue;
        const bool existed = std::any_of(before.begin(), before.end(), [&](const Ref& old) { return equals(old, identity); });
        if (!existed) created.push_back({directory, identity});
    }
    return created;
}

// Removes what a failed addProject created: the project directory with
// whatever the host put in it, then each parent it created, if still empty
// and still the directory it made.
void remove_created_directories(const Ref& project_directory, const std::vector<CreatedDirectory>& created) {
    for (const CreatedDirectory& directory : created) {
        if (directory.path.get() == project_directory.get()) {
            remove_tree_quietly(directory.path, directory.identity);
            continue;
        }
        catch_exception([&] {
            if (is_same_directory(directory.path, directory.identity)) call_method(global("os"_py), "rmdir"_py, directory.path);
        });
    }
}

Ref add_project_for_module(PyObject* directory, PyObject* project_name, PyObject* study_name, PyObject* screen_width,
                           PyObject* screenheight, PyObject* member) {
    require_setup();
    Ref dralvex_module_type = host_module_enumeration();
    return Call{global(by_name::addProject), directory, project_name, study_name, screen_width, screenheight,
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
    const std::vector<Ref> missing = missing_directories(project_directory);
    const std::vector<Ref> before = identities_before(missing);
    call_method(global("os"_py), "makedirs"_py, project_directory);
    const std::vector<CreatedDirectory> created = created_directories(missing, before);
    // Left in place after a failure, the directory would make every later
    // call with this name return "" without creating the project.
    with_rollback(
        [&] {
            Ref project_view_model_type =
                type_from_assembly(project_assembly(), "ProjectViewModel"_py);
            Ref point_type = import_from("System.Windows"_py, "Point"_py);
            Ref project_view_model = call(project_view_model_type, Py_None);
            Call{attr(project_view_model, "CreateNewProject"_py), project_directory,
                 window_position(point_type, screen_width, screenheight), ""_py, study_name, module};
        },
        [&] { remove_created_directories(project_directory, created); });
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
