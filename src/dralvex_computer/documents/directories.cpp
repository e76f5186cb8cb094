// find_first_file and copyDirectoryToTemp: plain directories, no host.
#include "module/api.hpp"
#include "host/files.hpp"
#include "module/bodies.hpp"

namespace dralvex::functions {

Ref find_first_file(PyObject* directory, PyObject* ext) {
    Ref names = call_method(global("os"_py), "listdir"_py, directory);
    Ref found = Ref::borrow(""_py);
    for_each(names, [&](const Ref& f) {
        if (!truth(call_method(call_method(f, "lower"_py), "endswith"_py, ext))) return true;
        Ref isfile = os_path_function("isfile"_py);
        Ref path = Call{os_path_function("join"_py), directory, f};
        if (!truth(call(isfile, path))) return true;
        found = path;
        return false;
    });
    return found;
}

Ref copyDirectoryToTemp(PyObject* directory) {
    Ref temp_directory = unique_temporary_path();
    Ref options = keywords({{"dirs_exist_ok"_py, Py_True}});
    const auto failure = catch_exception([&] {
        call_object(attr(global("shutil"_py), "copytree"_py), tuple(directory, temp_directory), options.get());
    });
    if (failure) {
        // Nobody else learns this path, so a partial copy is removed here.
        remove_tree_quietly(temp_directory);
        return Ref::borrow(""_py);
    }
    return temp_directory;
}

}  // namespace dralvex::functions
