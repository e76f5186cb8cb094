// File-system steps the bodies share, each through the module global `os`
// (or `shutil`, `tempfile`, `uuid`) read at the moment of use.
#pragma once

#include "module/api.hpp"

namespace dralvex {

// os.path.exists(path)
inline bool path_exists(Obj path, Where where = Where::current()) {
    return truth(os_path(At("exists"_py, where), path), where);
}

// os.path.join(tempfile.gettempdir(), str(uuid.uuid4()))
inline Ref unique_temporary_path(Where where = Where::current()) {
    Ref temporary = call_method(At(global("tempfile"_py, where), where), "gettempdir"_py);
    Ref name = call_global(At("str"_py, where), call_method(At(global("uuid"_py, where), where), "uuid4"_py));
    return os_path(At("join"_py, where), temporary, name);
}

// shutil.rmtree(path, ignore_errors=True), for clean-up after a failure;
// whatever goes wrong while cleaning up is dropped.
inline void remove_tree_quietly(Obj path, Where where = Where::current()) {
    catch_exception([&] {
        Ref options = keywords({{"ignore_errors"_py, Py_True}}, where);
        call_object(At(attr(global("shutil"_py, where), "rmtree"_py, where), where), tuple(At(path.ptr, where)),
                    options.get());
    });
}

}  // namespace dralvex
