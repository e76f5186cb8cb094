// Re-raisers: an exception that left a compound statement goes on with one
// traceback entry for the running module function, at the failing C++ line.
#pragma once

#include "runtime/refs.hpp"

namespace dralvex {

// `reraise(error, drop, keep)`, a Python function made once per (module
// function, line) and kept for the process: borrowed.
PyObject* reraiser(const char* function, const Where& where);

}  // namespace dralvex
