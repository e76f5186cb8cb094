// Host objects and classes described by the host's class inspector.
#include "module/api.hpp"
#include "module/bodies.hpp"
#include "host/installation.hpp"

namespace dralvex::functions {

Ref inspectClass(PyObject* instance, PyObject* indent) {
    require_setup();
    call_global("load_dll"_py, sdk_assembly());
    call_global("load_dll"_py, ductavo_core_assembly());
    import_from("Dralvex.Ductavo.Core"_py, "Model"_py);   // must be importable, though unused
    Ref DralvexClassInspector = import_from("Dralvex.SDK"_py, "DralvexClassInspector"_py);
    return call_method(DralvexClassInspector, "ExportObjectToJson"_py, instance, indent);
}

Ref findNameSpaceAndAssembly(PyObject* className) {
    require_setup();
    call_global("load_dll"_py, sdk_assembly());
    Ref DralvexClassInspector = import_from("Dralvex.SDK"_py, "DralvexClassInspector"_py);
    Ref value = Call{attr(DralvexClassInspector, "FindNamespaceAndAssemblyFromClassName"_py), global("_dllPath_"_py),
                     className};
    if (equals_none(value)) return tuple(Py_None, Py_None);
    Ref nameSpace = attr(value, "Item1"_py);   // Item1 first, as the tuple display reads them
    Ref assembly = attr(value, "Item2"_py);
    return tuple(nameSpace, assembly);
}

}  // namespace dralvex::functions
