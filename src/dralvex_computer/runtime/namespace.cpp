#include "runtime/namespace.hpp"

#include "runtime/identity.hpp"
#include "runtime/process_state.hpp"

namespace dralvex {

PyObject* builtins_namespace(Where where) {
    if (!process_state.builtins) {
        PyErr_Format(PyExc_SystemError, "%s: builtins not initialised", module_short_name());
        raise_pending(where);
    }
    return PyModule_GetDict(process_state.builtins.get());
}

PyObject* module_globals() noexcept { return process_state.globals.get(); }

void remember_builtins(Where where) {
    // Once, at module creation: looking it up lazily could run import code
    // in the middle of a call.
    if (process_state.builtins) return;
    process_state.builtins.keep(Ref::steal(PyImport_ImportModule("builtins"), where));
}

void set_module_globals(PyObject* globals) noexcept {
    process_state.globals.keep(globals != nullptr ? Ref::borrow(globals) : Ref());
}

Ref builtin(PyObject* name, Where where) {
    PyObject* value = PyDict_GetItemWithError(builtins_namespace(where), name);
    if (value != nullptr) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise_pending(where);
}

Ref global(PyObject* name, Where where) {
    PyObject* value = PyDict_GetItemWithError(process_state.globals.get(), name);
    if (value != nullptr) return Ref::borrow(value);
    require_no_error(where);
    return builtin(name, where);
}

void set_global(PyObject* name, Obj value, Where where) {
    require(PyDict_SetItem(process_state.globals.get(), name, value.ptr), where);
}

}  // namespace dralvex
