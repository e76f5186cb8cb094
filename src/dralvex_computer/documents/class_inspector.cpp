// Host objects and classes described by the host's class inspector.
#include "module/bodies.hpp"
#include "runtime/api.hpp"
#include "shared/installation.hpp"

namespace dralvex::functions {

Ref inspectClass(PyObject* instance, PyObject* indent) {
    require_setup();
    load_assembly(sdk_assembly());
    type_from_assembly(ductavo_core_assembly(), "Model"_py);   // must import, though unused
    Ref dralvex_class_inspector_type = import_from(sdk_assembly().host_namespace, "DralvexClassInspector"_py);
    return call_method(dralvex_class_inspector_type, "ExportObjectToJson"_py, instance, indent);
}

Ref findNameSpaceAndAssembly(PyObject* class_name) {
    require_setup();
    Ref dralvex_class_inspector_type = type_from_assembly(sdk_assembly(), "DralvexClassInspector"_py);
    Ref value = Call{attr(dralvex_class_inspector_type, "FindNamespaceAndAssemblyFromClassName"_py), global("_dllPath_"_py),
                     class_name};
    if (equals_none(value)) return tuple(Py_None, Py_None);
    Ref name_space = attr(value, "Item1"_py);   // Item1 first, as the tuple display reads them
    Ref assembly = attr(value, "Item2"_py);
    return tuple(name_space, assembly);
}

}  // namespace dralvex::functions
