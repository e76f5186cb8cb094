// The module's namespace and the builtins: global names read as Python
// reads them, at each use.
#pragma once

#include "runtime/refs.hpp"

namespace dralvex {

// Set once the module object exists; functions use it as their globals.
PyObject* module_globals() noexcept;
void set_module_globals(PyObject* globals) noexcept;
void remember_builtins(Where where = Where::current());

// Global name lookup as Python does it: module namespace, then builtins,
// else NameError "name '...' is not defined".
Ref global(PyObject* name, Where where = Where::current());
Ref builtin(PyObject* name, Where where = Where::current());
void set_global(PyObject* name, Obj value, Where where = Where::current());

// The builtins' namespace (borrowed), remembered at module creation.
PyObject* builtins_namespace(Where where = Where::current());

}  // namespace dralvex
