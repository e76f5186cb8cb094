// A member of the host's own DralvexModule enumeration (not the module's).
#pragma once

#include "module/api.hpp"

namespace dralvex {

// load_dll("Dralvex.SDK.dll"); from Dralvex.SDK import DralvexModule;
// DralvexModule.<member>
inline Ref host_module_member(PyObject* member, Where where = Where::current()) {
    call_global(At("load_dll"_py, where), "Dralvex.SDK.dll"_py);
    Ref DralvexModule = import_from("Dralvex.SDK"_py, "DralvexModule"_py, where);
    return attr(DralvexModule, member, where);
}

}  // namespace dralvex
