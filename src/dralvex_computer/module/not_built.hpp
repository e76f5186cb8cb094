// Functions whose bodies are still to come raise NotImplementedError.
#pragma once

#include "module/api.hpp"

namespace dralvex {

[[noreturn]] inline Ref not_built(const char* name, Where where = Where::current()) {
    PyErr_Format(PyExc_NotImplementedError, "%s() is not available yet", name);
    throw PyError{where};
}

}  // namespace dralvex
