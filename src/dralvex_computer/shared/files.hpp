// File-system steps the bodies share, each through the module global `os`
// (or `shutil`, `tempfile`, `uuid`) read at the moment of use.
#pragma once

#include "runtime/api.hpp"

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

// The FRE input file a directory falls back on when the model has no
// "<stem>.fre": one per directory, which is why a study directory holds one
// model.
inline PyObject* fallback_fre_name() { return "conception.fre"_py; }

struct FreFile {
    Ref path;
    bool fallback;   // the directory's conception.fre
};

// The FRE input file of a model document in `directory`:
//   studyname = os.path.splitext(os.path.basename(straleFilename))[0]
//   frefile = os.path.join(directory, studyname + ".fre")
//   if not os.path.exists(frefile): frefile = os.path.join(directory, "conception.fre")
inline FreFile fre_file_in(Obj directory, Obj strale_filename, Where where = Where::current()) {
    Ref studyname = item(Call{At(os_path_function("splitext"_py, where), where),
                              Call{At(os_path_function("basename"_py, where), where), strale_filename}},
                         0, where);
    Ref frefile = Call{At(os_path_function("join"_py, where), where), directory, add(studyname, ".fre"_py, where)};
    if (path_exists(frefile, where)) return {frefile, false};
    return {Call{At(os_path_function("join"_py, where), where), directory, fallback_fre_name()}, true};
}

// The same rule in the words of solve, for a model document path:
//   frefilename = os.path.splitext(filename)[0] + ".fre"
//   if not os.path.exists(frefilename):
//       frefilename = os.path.join(os.path.dirname(filename), "conception.fre")
inline FreFile fre_file_beside(Obj filename, Where where = Where::current()) {
    Ref frefile = add(item(Call{At(os_path_function("splitext"_py, where), where), filename}, 0, where), ".fre"_py, where);
    if (path_exists(frefile, where)) return {frefile, false};
    return {Call{At(os_path_function("join"_py, where), where),
                 Call{At(os_path_function("dirname"_py, where), where), filename}, fallback_fre_name()},
            true};
}

// Warns (dralvex_computer.SharedFreFileWarning) when the fallback FRE file
// that a model's input is written to or read from is shared with other
// model documents of its directory: the application's naming gives them all
// the same file, and a solve would silently use another model's input.
void warn_if_fre_file_shared(Obj frefile, Obj strale_filename, Where where = Where::current());

// What the OS identifies a real directory by, (st_dev, st_ino) of
// os.lstat(path); empty when the path names no real directory (nothing, a
// link, a file). Clean-ups remove only a directory whose identity they took
// when the call made it, never one found again by the text of its path.
Ref directory_identity(Obj path, Where where = Where::current());

// Whether `path` still names the real directory `identity` was taken from.
bool is_same_directory(Obj path, const Ref& identity, Where where = Where::current());

// shutil.rmtree(path, ignore_errors=True) of the directory this call made
// (`identity`), once more after opening up read-only directories if the
// tree is still there; nothing when the path names anything else by now (a
// link swapped in, another directory). No link is followed anywhere and no
// mode is changed outside the tree. Whatever goes wrong is dropped.
void remove_tree_quietly(Obj path, const Ref& identity, Where where = Where::current());

}  // namespace dralvex
