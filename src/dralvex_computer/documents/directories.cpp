// find_first_file and copyDirectoryToTemp: plain directories, no host.
#include "module/bodies.hpp"
#include "runtime/api.hpp"
#include "runtime/plain_data.hpp"
#include "shared/files.hpp"

#include <optional>
#include <string_view>

namespace dralvex::functions {

namespace {

// The interpreter's own listing function (posix.listdir, nt.listdir on
// Windows), which os.listdir is unless someone replaced it: given an exact
// str directory, its names are exact str, none holding a NUL.
PyObject* own_listdir() {
    static Lazy listdir;
#ifdef MS_WINDOWS
    return listdir.get([] { return attr(import_module("nt"_py), "listdir"_py); });
#else
    return listdir.get([] { return attr(import_module("posix"_py), "listdir"_py); });
#endif
}

// The rest of the walk for one name, as the Python loop body does it:
//   if f.lower().endswith(ext) and os.path.isfile(os.path.join(directory, f)):
//       return os.path.join(directory, f)
// `suffix_known` skips the first test when the caller made it on the name's
// own bytes. Returns the path, joined a second time, when both hold.
Ref test_name(PyObject* directory, const Ref& f, PyObject* ext, bool suffix_known) {
    if (!suffix_known && !truth(call_method(call_method(f, "lower"_py), "endswith"_py, ext))) return {};
    if (!truth(Call{os_path_function("isfile"_py), Call{os_path_function("join"_py), directory, f}})) return {};
    return Call{os_path_function("join"_py), directory, f};
}

// The walk over the names of the interpreter's own listing of an exact str
// directory, with an exact str ext: ASCII names are tested on their bytes,
// the others as Python tests them. Empty when the listing does not suit it
// (the caller then walks it the plain way, from the start).
std::optional<Ref> walk_own_listing(PyObject* directory, const Ref& names, PyObject* ext) {
    if (!is_exact_list(names)) return std::nullopt;
    const std::optional<std::string_view> ext_utf8 = utf8(ext);
    if (!ext_utf8) return std::nullopt;
    const std::string_view suffix = *ext_utf8;
    const Py_ssize_t count = exact_list_length(names);
    if (count == 0) return Ref::borrow(""_py);
#ifdef PYPY_VERSION
    const std::optional<JoinedNames> joined = JoinedNames::of(names);   // empty: a name kept as surrogates
    if (!joined) return std::nullopt;
    Ref found;
    joined->each([&](Py_ssize_t index, std::string_view name) {
        const bool ascii = is_ascii(name);
        if (ascii && !ascii_lower_endswith(name, suffix)) return true;
        found = test_name(directory, item(names, index), ext, ascii);
        return !found;
    });
    return found ? found : Ref::borrow(""_py);
#else
    Ref found;
    for_each_item(names, [&](const Ref& f) {
        const std::optional<std::string_view> ascii = ascii_text(f.get());
        if (ascii && !ascii_lower_endswith(*ascii, suffix)) return true;
        found = test_name(directory, f, ext, ascii.has_value());
        return !found;
    });
    if (found) return found;
#endif
    return Ref::borrow(""_py);
}

}  // namespace

Ref find_first_file(PyObject* directory, PyObject* ext) {
    Ref listdir = attr(global("os"_py), "listdir"_py);
    Ref names = call(listdir, directory);
    if (listdir.get() == own_listdir() && is_exact_str(directory) && is_exact_str(ext)) {
        if (std::optional<Ref> found = walk_own_listing(directory, names, ext)) return *found;
    }
    Ref found = Ref::borrow(""_py);
    for_each(names, [&](const Ref& f) {
        Ref path = test_name(directory, f, ext, false);
        if (!path) return true;
        found = path;
        return false;
    });
    return found;
}

Ref copyDirectoryToTemp(PyObject* directory) {
    Ref temp_directory = unique_temporary_path();
    // copytree accepts an existing target: one that is there already (a
    // name given out twice) belongs to someone else and is never removed.
    const bool target_existed = truth(os_path("lexists"_py, temp_directory));
    Ref options = keywords({{"dirs_exist_ok"_py, Py_True}});
    const auto failure = catch_exception([&] {
        call_object(attr(global("shutil"_py), "copytree"_py), tuple(directory, temp_directory), options.get());
    });
    if (failure) {
        // Nobody else learns this path, so a partial copy is removed here.
        if (!target_existed) remove_tree_quietly(temp_directory, directory_identity(temp_directory));
        return Ref::borrow(""_py);
    }
    return temp_directory;
}

}  // namespace dralvex::functions
