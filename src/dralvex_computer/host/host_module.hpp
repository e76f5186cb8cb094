// A member of the host's own DralvexModule enumeration (not the module's).
#pragma once

#include "module/api.hpp"

namespace dralvex {

// load_dll("Dralvex.SDK.dll"); from Dralvex.SDK import DralvexModule
// (the caller then reads DralvexModule.<member> as an argument).
inline Ref host_module_enumeration(Where where = Where::current()) {
    call_global(At("load_dll"_py, where), "Dralvex.SDK.dll"_py);
    return import_from("Dralvex.SDK"_py, "DralvexModule"_py, where);
}

}  // namespace dralvex
