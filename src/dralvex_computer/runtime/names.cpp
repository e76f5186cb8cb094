#include "runtime/names.hpp"

namespace dralvex {

PyObject* intern(const char* text) {
    PyObject* value = PyUnicode_InternFromString(text);
    if (value == nullptr) raise_pending();
    return value;
}

}  // namespace dralvex
