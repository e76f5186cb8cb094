// Functions the runtime writes in Python: their source compiled under a
// file name of its choosing and run in a namespace of its own.
#pragma once

#include "runtime/refs.hpp"

#include <initializer_list>
#include <utility>

namespace dralvex {

// The namespace `source` leaves once run; `__builtins__` and `names`
// (borrowed values) are set in it first.
Ref run_source(const char* source, const char* file_name,
               std::initializer_list<std::pair<const char*, PyObject*>> names = {}, Where where = Where::current());

// namespace[name], which the source must have defined (SystemError if not).
Ref defined(const Ref& names, const char* name, Where where = Where::current());

}  // namespace dralvex
