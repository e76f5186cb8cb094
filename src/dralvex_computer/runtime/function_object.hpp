// The callable objects the module binds under each function name.
#pragma once

#include "runtime/function_description.hpp"

namespace dralvex {

struct FunctionObject {
    PyObject_HEAD
    const FunctionDescription* description;
    const char* traceback_name;   // "package.module.name", for the process
    PyObject* name;         // str, also the qualified name
    PyObject* doc;          // str
    PyObject* globals;      // the module namespace
    PyObject* parameters;   // tuple of interned str
    PyObject* signature;    // inspect.Signature, made on first request
};

// Makes the function object of one description (new reference), named in
// the module set by set_module_name.
Ref make_function(const FunctionDescription& description, PyObject* globals, Where where = Where::current());

// Binds a call's positional arguments (`positional` of them at `args`) and
// keywords (a dict, or NULL) to `values`, borrowed from them, by the
// module's rules; on failure sets TypeError and returns false.
bool bind_arguments(const FunctionObject& function, PyObject* const* args, Py_ssize_t positional, PyObject* kwargs,
                    PyObject* (&values)[max_parameters]);

}  // namespace dralvex
