#include "runtime/imports.hpp"

#include "runtime/calls.hpp"
#include "runtime/namespace.hpp"

#include <utility>

namespace dralvex {

namespace {
// __import__(name, globals, None, fromlist, 0), as the import statement calls it.
Ref dunder_import(PyObject* name, Obj fromlist, Where where) {
    Ref import = builtin("__import__"_py, where);
    Ref level = integer(0, where);
    return call(At(import, where), name, module_globals(), Py_None, fromlist, level);
}

Ref take_name(Obj module, PyObject* name, Where where) {
    PyObject* value = PyObject_GetAttr(module.ptr, name);
    if (value != nullptr) return Ref::steal(value, where);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending(where);
    PyErr_Clear();
    // A submodule not yet bound as an attribute.
    Ref package = attr(module, "__name__"_py, where);
    Ref full = Ref::steal(PyUnicode_FromFormat("%S.%S", package.get(), name), where);
    PyObject* modules = PySys_GetObject("modules");   // borrowed
    if (modules != nullptr) {
        PyObject* found = PyDict_GetItemWithError(modules, full.get());
        if (found != nullptr) return Ref::borrow(found);
        require_no_error(where);
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %R from %R", name, package.get());
    raise_pending(where);
}
}  // namespace

Ref import_module(PyObject* name, Where where) { return dunder_import(name, Py_None, where); }

Ref import_from(PyObject* module, PyObject* name, Where where) {
    Ref fromlist = tuple(At(name, where));
    Ref imported = dunder_import(module, fromlist, where);
    return take_name(imported, name, where);
}

std::pair<Ref, Ref> import_from(PyObject* module, PyObject* first, PyObject* second, Where where) {
    Ref fromlist = tuple(At(first, where), second);
    Ref imported = dunder_import(module, fromlist, where);
    Ref a = take_name(imported, first, where);
    return {std::move(a), take_name(imported, second, where)};
}

}  // namespace dralvex
