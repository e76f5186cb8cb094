// Single-phase initialisation with one module object per process.
#include "module/function_table.hpp"
#include "runtime/api.hpp"
#include "runtime/boundary.hpp"
#include "runtime/function_object.hpp"
#include "runtime/identity.hpp"

namespace dralvex {

namespace {

constexpr const char qualified_name[] = "dralvex_computer.dralvex_core";

// m_size 0 (not -1) makes CPython call the initialisation again after the
// module was removed from sys.modules, so it can hand back the same object.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "dralvex_core",
    nullptr,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* loaded_module = nullptr;   // strong, once a load has succeeded

// The module-level statements, executed once per successful load, in this
// order.

// from enum import Enum / import os / ... / import uuid
void run_imports(PyObject* globals) {
    require(PyDict_SetItem(globals, "Enum"_py, import_from("enum"_py, "Enum"_py).get()));
    for (PyObject* name : {"os"_py, "clr"_py, "ctypes"_py, "pythoncom"_py, "json"_py, "threading"_py,
                           "shutil"_py, "tempfile"_py, "uuid"_py}) {
        require(PyDict_SetItem(globals, name, import_module(name).get()));
    }
}

// class DralvexModule(Enum): All = -1; Ductavo = 0; Framavo = 1
void define_enumeration(PyObject* globals) {
    Ref members = Ref::steal(PyList_New(0));
    const std::pair<PyObject*, long> values[] = {{"All"_py, -1}, {"Ductavo"_py, 0}, {"Framavo"_py, 1}};
    for (const auto& [name, value] : values) {
        require(PyList_Append(members.get(), tuple(name, integer(value)).get()));
    }
    Ref module = Ref::steal(PyUnicode_FromString(qualified_name));
    Ref options = keywords({{"module"_py, module}, {"qualname"_py, "DralvexModule"_py}});
    Ref enumeration = call_object(global("Enum"_py), tuple("DralvexModule"_py, members), options.get());
    require(PyDict_SetItem(globals, "DralvexModule"_py, enumeration.get()));
}

// The module globals with their initial values, in table order.
void assign_globals(PyObject* globals) {
    Ref dlls = Ref::steal(PyList_New(0));
    const std::pair<PyObject*, PyObject*> initial[] = {
        {"_validSetup_"_py, Py_False},
        {"_settingsPath_"_py, "C:\\ProgramData\\Dralvex\\Ductavo\\Settings\\Ductavo.settings"_py},
        {"_dataSourcesPath_"_py, "C:\\ProgramData\\Dralvex\\Ductavo\\Settings\\DataSources.settings"_py},
        {"_CultureInfo_"_py, Py_None},
        {"_exePath_"_py, Py_None},
        {"_dllPath_"_py, Py_None},
        {"_Aster_"_py, Py_None},
        {"_PipeStress_"_py, Py_None},
        {"_dlls_"_py, dlls.get()},
        {"_Solution_"_py, Py_None},
        {"_dataPath_"_py, Py_None},
        {"_projectPath_"_py, Py_None},
        {"_Application_"_py, Py_None},
        {"_commandController_"_py, Py_None},
        {"_tempDirectory_"_py, Py_None},
    };
    for (const auto& [name, value] : initial) {
        require(PyDict_SetItem(globals, name, value));
    }
}

// One function object per table entry, in table order.
void create_functions(PyObject* globals) {
    for (const FunctionDescription& description : function_table) {
        Ref function = make_function(description, globals);
        require(PyDict_SetItemString(globals, description.name, function.get()));
    }
}


void check_version() {
    PyObject* version = PySys_GetObject("version_info");   // borrowed
    if (version == nullptr) return;
    const long major = PyLong_AsLong(item(version, 0).get());
    const long minor = PyLong_AsLong(item(version, 1).get());
    require_no_error();
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                         PY_MAJOR_VERSION, PY_MINOR_VERSION, qualified_name, "does not match",
                         static_cast<int>(major), static_cast<int>(minor)) < 0) {
        raise_pending();
    }
}

// Enters the module under its full name unless an entry exists; returns
// whether this call made the entry.
bool enter_in_sys_modules(PyObject* module) {
    PyObject* modules = PySys_GetObject("modules");   // borrowed
    if (modules == nullptr) return false;
    const int present = PyDict_Contains(modules, Ref::steal(PyUnicode_FromString(qualified_name)).get());
    require(present);
    if (present) return false;
    require(PyDict_SetItemString(modules, qualified_name, module));
    return true;
}

void leave_sys_modules(PyObject* module) noexcept {
    SavedError pending;
    PyObject* modules = PySys_GetObject("modules");
    if (modules != nullptr) {
        PyObject* entry = PyDict_GetItemString(modules, qualified_name);
        if (entry == module && PyDict_DelItemString(modules, qualified_name) < 0) PyErr_Clear();
    }
    pending.restore();
}

PyObject* initialise() {
    if (loaded_module != nullptr) return Ref::borrow(loaded_module).release();

    Ref module;
    bool entered = false;
    try {
        set_module_name(qualified_name);
        check_version();
        remember_builtins();
        module = Ref::steal(PyModule_Create(&module_definition));
        Ref full_name = Ref::steal(PyUnicode_FromString(qualified_name));
        require(PyObject_SetAttrString(module.get(), "__name__", full_name.get()));
        PyObject* globals = PyModule_GetDict(module.get());
        // PyPy leaves __doc__ unset, and would show the module type's own.
        require(PyDict_SetItemString(globals, "__doc__", Py_None));
        set_module_globals(globals);
        entered = enter_in_sys_modules(module.get());

        run_imports(globals);
        define_enumeration(globals);
        assign_globals(globals);
        create_functions(globals);
    } catch (const PyError& error) {
        if (module && entered) leave_sys_modules(module.get());
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init dralvex_computer.dralvex_core");
        add_traceback("init dralvex_computer.dralvex_core", error.where);
        set_module_globals(nullptr);
        return nullptr;
    }
    loaded_module = Ref(module).release();
    return module.release();
}

}  // namespace

}  // namespace dralvex

// The entry point is the one symbol the library exports.
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif
PyMODINIT_FUNC PyInit_dralvex_core(void) {
    try {
        return dralvex::initialise();
    } catch (...) {
        PyErr_SetString(PyExc_ImportError, "init dralvex_computer.dralvex_core");
        return nullptr;
    }
}
#if defined(__GNUC__)
#pragma GCC visibility pop
#endif
