#include "runtime/python_source.hpp"

namespace dralvex {

Ref run_source(const char* source, const char* file_name,
               std::initializer_list<std::pair<const char*, PyObject*>> names, Where where) {
    Ref code = Ref::steal(Py_CompileString(source, file_name, Py_file_input), where);
    Ref scope = Ref::steal(PyDict_New(), where);
    require(PyDict_SetItemString(scope.get(), "__builtins__", PyEval_GetBuiltins()), where);
    for (const auto& [name, value] : names) require(PyDict_SetItemString(scope.get(), name, value), where);
    Ref executed = Ref::steal(PyEval_EvalCode(code.get(), scope.get(), scope.get()), where);
    return scope;
}

Ref defined(const Ref& names, const char* name, Where where) {
    PyObject* found = PyDict_GetItemString(names.get(), name);   // borrowed
    if (found == nullptr) {
        PyErr_Format(PyExc_SystemError, "%s is not defined by its source", name);
        raise_pending(where);
    }
    return Ref::borrow(found);
}

}  // namespace dralvex
