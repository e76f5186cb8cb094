// File-system steps the bodies share, each through the module global `os`
// (or `shutil`, `tempfile`, `uuid`) read at the moment of use.
#pragma once

#include "module/api.hpp"

namespace dralvex {

// os.path.exists(path), for a path that is a value already; where the
// argument is read from a global, write
// truth(Call{os_path_function("exists"_py), global(...)}) so that the
// callee is read first, as Python does.
inline bool path_exists(Obj path, Where where = Where::current()) {
    return truth(os_path(At("exists"_py, where), path), where);
}

// os.path.join(tempfile.gettempdir(), str(uuid.uuid4()))
inline Ref unique_temporary_path(Where where = Where::current()) {
    return Call{At(os_path_function("join"_py, where), where),
                Call{At(attr(global("tempfile"_py, where), "gettempdir"_py, where), where)},
                Call{At(global("str"_py, where), where), Call{At(attr(global("uuid"_py, where), "uuid4"_py, where), where)}}};
}

// The FRE input file of a model document in `directory`:
//   studyname = os.path.splitext(os.path.basename(straleFilename))[0]
//   frefile = os.path.join(directory, studyname + ".fre")
//   if not os.path.exists(frefile): frefile = os.path.join(directory, "conception.fre")
inline Ref fre_file_in(Obj directory, Obj strale_filename, Where where = Where::current()) {
    Ref studyname = item(Call{At(os_path_function("splitext"_py, where), where),
                              Call{At(os_path_function("basename"_py, where), where), strale_filename}},
                         0, where);
    Ref frefile = Call{At(os_path_function("join"_py, where), where), directory, add(studyname, ".fre"_py, where)};
    if (path_exists(frefile, where)) return frefile;
    return Call{At(os_path_function("join"_py, where), where), directory, "conception.fre"_py};
}

// Gives the owner full rights on every directory of a tree (links are not
// followed), so that a copy that carried read-only modes can be removed.
inline void make_directories_writable(Obj path, Where where = Where::current()) {
    Ref owner_all = integer(0700, where);
    auto open_up = [&](const Ref& directory) {
        if (truth(os_path(At("islink"_py, where), directory), where)) return;
        call_method(At(global("os"_py, where), where), "chmod"_py, directory, owner_all);
    };
    open_up(Ref::borrow(path.ptr));
    Ref walk = call_method(At(global("os"_py, where), where), "walk"_py, path);
    for_each(At(walk, where), [&](const Ref& entry) {
        Ref directory = item(entry, 0, where);
        for_each(At(item(entry, 1, where), where), [&](const Ref& name) {
            open_up(os_path(At("join"_py, where), directory, name));
        });
    });
}

// shutil.rmtree(path, ignore_errors=True), for clean-up after a failure,
// once more after opening up read-only directories if the tree is still
// there; whatever goes wrong while cleaning up is dropped.
inline void remove_tree_quietly(Obj path, Where where = Where::current()) {
    auto remove = [&] {
        Ref options = keywords({{"ignore_errors"_py, Py_True}}, where);
        call_object(At(attr(global("shutil"_py, where), "rmtree"_py, where), where), tuple(At(path.ptr, where)),
                    options.get());
    };
    catch_exception([&] {
        remove();
        if (!truth(os_path(At("lexists"_py, where), path), where)) return;
        make_directories_writable(path, where);
        remove();
    });
}

}  // namespace dralvex
