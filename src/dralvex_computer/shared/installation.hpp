// What the bodies share about the installation and the host: the
// not-set-up check, the thread culture and the host's own enumeration.
#pragma once

#include "module/bodies.hpp"
#include "runtime/api.hpp"

namespace dralvex {

// A host assembly: its file as load_dll is given it, and the namespace its
// types are imported from.
struct Assembly {
    PyObject* file;
    PyObject* host_namespace;
};

// The files of the installation the module names, in one place: the host's
// assemblies and the PipeStress library.
inline Assembly sdk_assembly() { return {"Dralvex.SDK.dll"_py, "Dralvex.SDK"_py}; }
inline Assembly helper_assembly() { return {"Dralvex.Helper.dll"_py, nullptr}; }   // no type imported
inline Assembly ductavo_core_assembly() { return {"Dralvex.Ductavo.Core.dll"_py, "Dralvex.Ductavo.Core"_py}; }
inline Assembly project_assembly() { return {"Dralvex.Ductavo.Project.dll"_py, "Dralvex.Ductavo.Project"_py}; }
inline Assembly aster_assembly() { return {"Dralvex.Aster.Core.dll"_py, "Dralvex.Aster.Core"_py}; }
inline Assembly pipestress_assembly() { return {"Dralvex.PipeStress.Core.dll"_py, "Dralvex.PipeStress.Core"_py}; }
inline PyObject* pipestress_library() { return "Dralvex.PipeStress.lib"_py; }

// load_dll(assembly)
inline void load_assembly(const Assembly& assembly, Where where = Where::current()) {
    call_global(CalledByName(functions::by_name::load_dll, where), assembly.file);
}

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

// load_dll(assembly); from <its namespace> import name -- a host type, its
// assembly loaded first, as most bodies begin.
inline Ref type_from_assembly(const Assembly& assembly, PyObject* name, Where where = Where::current()) {
    load_assembly(assembly, where);
    return import_from(assembly.host_namespace, name, where);
}

// The same for two types of one assembly, imported by one statement.
inline std::pair<Ref, Ref> types_from_assembly(const Assembly& assembly, PyObject* first, PyObject* second,
                                               Where where = Where::current()) {
    load_assembly(assembly, where);
    return import_from(assembly.host_namespace, first, second, where);
}

// load_dll("Dralvex.SDK.dll"); from Dralvex.SDK import DralvexModule
// (the caller then reads DralvexModule.<member> as an argument).
inline Ref host_module_enumeration(Where where = Where::current()) {
    return type_from_assembly(sdk_assembly(), "DralvexModule"_py, where);
}

}  // namespace dralvex
