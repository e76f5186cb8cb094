// Argument binding shared by every function: all parameters are required
// and positional-or-keyword; the messages are the module's own.
#include "runtime/function_object.hpp"

namespace dralvex {

namespace {

bool count_error(const char* name, std::size_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name,
                 "exactly", static_cast<Py_ssize_t>(expected), expected == 1 ? "" : "s", given);
    return false;
}

bool no_parameters(const char* name, Py_ssize_t positional, Py_ssize_t keyword_count) {
    if (keyword_count > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", name, "takes no keyword arguments");
        return false;
    }
    if (positional > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", name, "takes no arguments", positional);
        return false;
    }
    return true;
}

// The error for the first keyword of the call that no parameter took.
bool keyword_error(const char* name, PyObject* parameters, Py_ssize_t positional, PyObject* kwargs) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    const Py_ssize_t count = PyTuple_GET_SIZE(parameters);
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            return false;
        }
        Py_ssize_t index = 0;
        for (; index < count; ++index) {
            const int equal = PyObject_RichCompareBool(key, PyTuple_GET_ITEM(parameters, index), Py_EQ);
            if (equal < 0) return false;
            if (equal) break;
        }
        if (index < positional) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
            return false;
        }
        if (index == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind_arguments(const FunctionObject& function, PyObject* const* args, Py_ssize_t positional, PyObject* kwargs,
                    PyObject* (&values)[max_parameters]) {
    const char* name = function.description->name;
    const std::size_t expected = function.description->parameter_count();
    const Py_ssize_t keyword_count = kwargs != nullptr ? PyDict_Size(kwargs) : 0;

    if (expected == 0) return no_parameters(name, positional, keyword_count);

    const auto wanted = static_cast<Py_ssize_t>(expected);
    if (keyword_count == 0) {
        if (positional != wanted) return count_error(name, expected, positional);
    } else if (positional > wanted) {
        return count_error(name, expected, positional);
    }

    for (Py_ssize_t index = 0; index < positional; ++index) values[index] = args[index];
    if (keyword_count == 0) return true;

    Py_ssize_t matched = 0;
    for (Py_ssize_t index = positional; index < wanted && matched < keyword_count; ++index) {
        PyObject* value = PyDict_GetItemWithError(kwargs, PyTuple_GET_ITEM(function.parameters, index));
        if (value != nullptr) {
            values[index] = value;
            ++matched;
        } else if (PyErr_Occurred()) {
            return false;
        }
    }
    if (matched < keyword_count && !keyword_error(name, function.parameters, positional, kwargs)) {
        return false;
    }
    for (std::size_t index = 0; index < expected; ++index) {
        if (values[index] == nullptr) return count_error(name, expected, static_cast<Py_ssize_t>(index));
    }
    return true;
}

}  // namespace dralvex
