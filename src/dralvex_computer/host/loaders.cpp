// load_dll and load_dll_c: each library file is loaded once per process,
// from "Extensions" first, then from the installation directory.
#include "module/bodies.hpp"
#include "runtime/api.hpp"
#include "shared/files.hpp"
#include "shared/installation.hpp"

namespace dralvex::functions {

namespace {

// `loader` is the module global (`clr` or `ctypes`) and `load` its function.
Ref load_once(PyObject* dllname, PyObject* loader, PyObject* load) {
    require_setup();
    if (contains(global("_dlls_"_py), dllname)) return none();

    Ref dllpath = Call{os_path_function("join"_py), global("_dllPath_"_py), dllname};
    if (!path_exists(dllpath)) {
        dllpath = Call{os_path_function("join"_py), global("_exePath_"_py), dllname};
        if (!path_exists(dllpath)) {
            raise(Call{global("FileNotFoundError"_py), concat({"DLL '"_py, text(dllname), "' not found."_py})});
        }
    }
    call_method(global(loader), load, dllpath);
    call_method(global("_dlls_"_py), "append"_py, dllname);

    Call{global("print"_py), concat({text(dllname), " loaded"_py})};
    return none();
}

}  // namespace

Ref load_dll(PyObject* dllname) { return load_once(dllname, "clr"_py, "AddReference"_py); }

Ref load_dll_c(PyObject* dllname) { return load_once(dllname, "ctypes"_py, "CDLL"_py); }

}  // namespace dralvex::functions
