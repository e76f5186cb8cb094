// The module-level statements, executed once per successful load.
#include "module/api.hpp"
#include "module/function_object.hpp"
#include "module/statements.hpp"

namespace dralvex {

void run_imports(PyObject* globals) {
    require(PyDict_SetItem(globals, "Enum"_py, import_from("enum"_py, "Enum"_py).get()));
    for (PyObject* name : {"os"_py, "clr"_py, "ctypes"_py, "pythoncom"_py, "json"_py, "threading"_py,
                           "shutil"_py, "tempfile"_py, "uuid"_py}) {
        require(PyDict_SetItem(globals, name, import_module(name).get()));
    }
}

void define_enumeration(PyObject* globals) {
    Ref members = Ref::steal(PyList_New(0));
    const std::pair<PyObject*, long> values[] = {{"All"_py, -1}, {"Ductavo"_py, 0}, {"Framavo"_py, 1}};
    for (const auto& [name, value] : values) {
        require(PyList_Append(members.get(), tuple(name, integer(value)).get()));
    }
    Ref module = Ref::steal(PyUnicode_FromString(module_name));
    Ref options = keywords({{"module"_py, module}, {"qualname"_py, "DralvexModule"_py}});
    Ref enumeration = call_object(global("Enum"_py), tuple("DralvexModule"_py, members), options.get());
    require(PyDict_SetItem(globals, "DralvexModule"_py, enumeration.get()));
}

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

void create_functions(PyObject* globals) {
    for (const FunctionDescription& description : function_table) {
        Ref function = make_function(description, globals);
        require(PyDict_SetItemString(globals, description.name, function.get()));
    }
}

}  // namespace dralvex
