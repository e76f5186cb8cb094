// Model documents: create, load, find and save host models.
#include "module/bodies.hpp"
#include "runtime/api.hpp"
#include "shared/files.hpp"
#include "shared/installation.hpp"

namespace dralvex::functions {

namespace {

Ref create_for_module(PyObject* member) {
    require_setup();
    Ref dralvex_module_type = host_module_enumeration();
    return Call{global(by_name::createStrale), attr(dralvex_module_type, member)};
}

}  // namespace

Ref loadStrale(PyObject* strale_filename) {
    require_setup();
    if (!path_exists(strale_filename)) return none();
    load_assembly(sdk_assembly());
    load_assembly(helper_assembly());
    Ref model_type = type_from_assembly(ductavo_core_assembly(), "Model"_py);
    Ref strale = call(model_type);
    const auto failure = catch_exception([&] { call_method(strale, "LoadFromFile"_py, strale_filename); });
    if (failure) return none();
    return strale;
}

Ref saveStrale(PyObject* strale, PyObject* strale_filename) {
    require_setup();
    if (!differs_from_none(strale)) return none();
    call_method(strale, "SaveToFile"_py, strale_filename);
    call_global(by_name::writeFreFile, strale, strale_filename);
    return none();
}

Ref getStrale(PyObject* directory) {
    require_setup();
    return call_global(by_name::find_first_file, directory, ".strale"_py);
}

Ref createStrale(PyObject* module) {
    load_assembly(helper_assembly());
    auto [model_type, layer_type] = types_from_assembly(ductavo_core_assembly(), "Model"_py, "Layer"_py);
    Ref strale = call(model_type, module);
    Ref layer0 = call(layer_type, "0"_py);
    call_method(attr(strale, "Layers"_py), "Add"_py, layer0);
    return strale;
}

Ref createPipingStrale() { return create_for_module("Ductavo"_py); }

Ref createStructureStrale() { return create_for_module("Framavo"_py); }

}  // namespace dralvex::functions
