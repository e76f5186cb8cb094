// The import statement, through builtins.__import__ read at each import
// (bridges hook it).
#pragma once

#include "runtime/refs.hpp"

#include <utility>

namespace dralvex {

// `import name` / `from module import name`, through builtins.__import__.
Ref import_module(PyObject* name, Where where = Where::current());
Ref import_from(PyObject* module, PyObject* name, Where where = Where::current());
// `from module import first, second` as one import.
std::pair<Ref, Ref> import_from(PyObject* module, PyObject* first, PyObject* second,
                                Where where = Where::current());

}  // namespace dralvex
