#include "runtime/statements.hpp"

#include "runtime/namespace.hpp"

namespace dralvex {

void raise(Obj exception, Where where) {
    if (PyExceptionInstance_Check(exception.ptr)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr)), exception.ptr);
    } else if (PyExceptionClass_Check(exception.ptr)) {
        PyErr_SetNone(exception.ptr);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    raise_pending(where);
}

namespace {
// What `except <name>:` does when <name> is missing or no exception class:
// the new error, with the exception being handled as its context.
[[noreturn]] void refuse_except_clause(PyObject* cls, PyObject* name, Where where) {
    SavedError handled;
    if (cls == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    } else {
        PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
    }
    handled.restore_as_context();
    raise_pending(where);
}

bool is_exception_class_or_tuple(PyObject* cls) noexcept {
    if (PyExceptionClass_Check(cls)) return true;
    if (!PyTuple_Check(cls)) return false;
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(cls); ++index) {
        if (!PyExceptionClass_Check(PyTuple_GET_ITEM(cls, index))) return false;
    }
    return true;
}
}  // namespace

bool pending_matches(PyObject* name, Where where) {
    // Plain dict look-ups, which run no Python code, so the exception can
    // stay on the indicator.
    PyObject* cls = PyDict_GetItem(module_globals(), name);
    if (cls == nullptr) cls = PyDict_GetItem(builtins_namespace(where), name);
    if (cls == nullptr || !is_exception_class_or_tuple(cls)) refuse_except_clause(cls, name, where);
    return PyErr_ExceptionMatches(cls) != 0;
}

}  // namespace dralvex
