// What the bodies share about the installation and the host: the
// not-set-up check, the thread culture and the host's own enumeration.
#pragma once

#include "module/bodies.hpp"
#include "runtime/api.hpp"

namespace dralvex {

// The files of the installation the module names, in one place: the host's
// assemblies as load_dll is given them, and the PipeStress library.
inline PyObject* sdk_assembly() { return "Dralvex.SDK.dll"_py; }
inline PyObject* helper_assembly() { return "Dralvex.Helper.dll"_py; }
inline PyObject* ductavo_core_assembly() { return "Dralvex.Ductavo.Core.dll"_py; }
inline PyObject* project_assembly() { return "Dralvex.Ductavo.Project.dll"_py; }
inline PyObject* aster_assembly() { return "Dralvex.Aster.Core.dll"_py; }
inline PyObject* pipestress_assembly() { return "Dralvex.PipeStress.Core.dll"_py; }
inline PyObject* pipestress_library() { return "Dralvex.PipeStress.lib"_py; }

// if not _validSetup_: raise OSError("Invalid setup! ...")
inline void require_setup(Where where = Where::current()) {
    if (truth(global("_validSetup_"_py, where), where)) return;
    Ref exception_type = global("OSError"_py, where);
    raise(Call{At(exception_type, where),
               "Invalid setup! Please call 'from dralvex_computer import setup_dralvex_computer' "
               "and set up with Ductavo installation directory."_py},
          where);
}

// Thread.CurrentThread.CurrentCulture = _CultureInfo_, then the same for
// CurrentUICulture. As in the assignment statements, the global is read
// afresh for each, before Thread.CurrentThread.
inline void set_thread_culture(Obj thread_type, Where where = Where::current()) {
    for (PyObject* property : {"CurrentCulture"_py, "CurrentUICulture"_py}) {
        Ref culture = global("_CultureInfo_"_py, where);
        set_attr(attr(thread_type, "CurrentThread"_py, where), property, culture, where);
    }
}

// load_dll(assembly); from host_namespace import name -- a host type, its
// assembly loaded first, as most bodies begin.
inline Ref type_from_assembly(PyObject* assembly, PyObject* host_namespace, PyObject* name,
                              Where where = Where::current()) {
    call_global(CalledByName(functions::by_name::load_dll, where), assembly);
    return import_from(host_namespace, name, where);
}

// load_dll("Dralvex.SDK.dll"); from Dralvex.SDK import DralvexModule
// (the caller then reads DralvexModule.<member> as an argument).
inline Ref host_module_enumeration(Where where = Where::current()) {
    return type_from_assembly(sdk_assembly(), "Dralvex.SDK"_py, "DralvexModule"_py, where);
}

}  // namespace dralvex
