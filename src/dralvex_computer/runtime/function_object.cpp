// The function type. Its fields are filled by name at run time because
// PyTypeObject differs between CPython and PyPy; tp_doc stays NULL so that
// PyPy serves each instance's own __doc__.
#include "runtime/function_object.hpp"

#include "runtime/boundary.hpp"
#include "runtime/calls.hpp"
#include "runtime/imports.hpp"
#include "runtime/identity.hpp"
#include "runtime/process_state.hpp"

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace dralvex {

namespace {

FunctionObject* as_function(PyObject* self) noexcept { return reinterpret_cast<FunctionObject*>(self); }

// When Python code called by the module calls the module again without end,
// the C stack can run out before the interpreter's recursion limit: PyPy
// then aborts or raises SystemError, and Windows gives a thread 1 MB. Past
// this many nested calls on one thread, a call raises RecursionError before
// it starts, while the stack still has room.
//
// Measured (the stack pointer of the thread's own read() system call, one
// nested call apart, through a Python method calling the module again):
//                      find_first_file  writeFreFile  disposeSolution
//   CPython 3.11 -O2        1104 B          2512 B          992 B
//   PyPy 7.3 (3.9) -O2      1552 B          3120 B         1376 B
//   CPython, ASan+UBSan     4720 B          9152 B         2384 B
// writeFreFile, whose host call runs inside its rollback, is the deepest.
// The limit leaves half of a 1 MB stack free: 512 KB / 3120 B = 168 calls
// (160 kept), and 512 KB / 9152 B = 57 (56 kept) in a sanitizer build.
#if defined(__SANITIZE_ADDRESS__)
constexpr int max_nested_calls = 56;
#else
constexpr int max_nested_calls = 160;
#endif

// Runs the body on bound arguments. A binding error is a failure like any
// other, but reported without a C++ throw.
PyObject* run_body(const FunctionObject& function, PyObject* const* args, Py_ssize_t positional, PyObject* kwargs) {
    const FunctionDescription& description = *function.description;
    const char* name = function.traceback_name;
    const RunningFunction running(name);
    if (running.depth() > max_nested_calls) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return nullptr;
    }
    PyObject* values[max_parameters] = {};
    if (!bind_arguments(function, args, positional, kwargs, values)) {
        add_traceback(name, description.defined);
        return nullptr;
    }
    try {
#ifdef DRALVEX_FAULT_INJECTION
        // Test builds only: a foreign C++ exception from inside a body.
        if (values[0] != nullptr && PyUnicode_Check(values[0]) &&
            PyUnicode_CompareWithASCIIString(values[0], "\x01throw std::length_error") == 0) {
            throw std::length_error("injected std::length_error");
        }
#endif
        return description.body(values).release();
    } catch (const PyError& error) {
        if (!error.has_entry) add_traceback(name, error.where);
    } catch (...) {
        // Any other C++ exception (std::bad_alloc, std::length_error, ...)
        // becomes a Python error here; none may unwind into the interpreter.
        set_error_from_cpp_exception(std::current_exception());
        add_traceback(name, description.defined);
    }
    return nullptr;
}

#ifdef PYPY_VERSION
// PyPy calls an object whose type has tp_call through a slow generic
// wrapper (about 230 ns a call); a __call__ method of the fast-call kind is
// called in about 30 ns. A keyword that is not a string never reaches this
// function: PyPy rejects the call itself, with its own message ("keywords
// must be strings, not 'int'"), before the module sees it.
// Binds keywords given as names beside the values (exact str only) when
// they name exactly the parameters after the positional ones; anything else
// goes through the general binder, which gives the errors.
bool bind_keywords_directly(const FunctionObject& function, PyObject* const* args, Py_ssize_t positional,
                            PyObject* kwnames, PyObject* (&values)[max_parameters]) {
    const auto expected = static_cast<Py_ssize_t>(function.description->parameter_count());
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
    if (positional + keyword_count != expected) return false;
    for (Py_ssize_t index = 0; index < positional; ++index) values[index] = args[index];
    for (Py_ssize_t keyword = 0; keyword < keyword_count; ++keyword) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, keyword);
        if (!PyUnicode_CheckExact(key)) return false;
        Py_ssize_t index = positional;
        for (; index < expected; ++index) {
            PyObject* parameter = PyTuple_GET_ITEM(function.parameters, index);
            if (key == parameter || PyUnicode_Compare(key, parameter) == 0) break;
        }
        if (index == expected || values[index] != nullptr) return false;
        values[index] = args[positional + keyword];
    }
    return true;
}

PyObject* call_function(PyObject* self, PyObject* const* args, Py_ssize_t positional, PyObject* kwnames) {
    const FunctionObject& function = *as_function(self);
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) return run_body(function, args, positional, nullptr);
    PyObject* direct[max_parameters] = {};
    if (bind_keywords_directly(function, args, positional, kwnames, direct)) {
        return run_body(function, direct, static_cast<Py_ssize_t>(function.description->parameter_count()), nullptr);
    }
    PyObject* kwargs = PyDict_New();
    if (kwargs == nullptr) return nullptr;
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(kwnames); ++index) {
        if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, index), args[positional + index]) < 0) {
            Py_DECREF(kwargs);
            return nullptr;
        }
    }
    PyObject* result = run_body(function, args, positional, kwargs);
    Py_DECREF(kwargs);
    return result;
}
#else
// CPython: tp_call, so that the module's own message for keywords that
// are not strings stays reachable (vectorcall would reject them first).
PyObject* call_function(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run_body(*as_function(self), PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), kwargs);
}
#endif

int traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* function = as_function(self);
    Py_VISIT(function->globals);
    Py_VISIT(function->signature);
    return 0;
}

int clear(PyObject* self) {
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->signature);
    return 0;
}

void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    clear(self);
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->parameters);
    PyObject_GC_Del(self);
}

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%.100s' instances", type->tp_name);
    return nullptr;
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %s.%U>", module_name(), as_function(self)->name);
}

PyObject* get_name(PyObject* self, void*) { return Ref::borrow(as_function(self)->name).release(); }
PyObject* get_doc(PyObject* self, void*) { return Ref::borrow(as_function(self)->doc).release(); }
PyObject* get_module(PyObject*, void*) { return PyUnicode_FromString(module_name()); }

PyObject* get_globals(PyObject* self, void*) {
    PyObject* globals = as_function(self)->globals;
    return Ref::borrow(globals != nullptr ? globals : Py_None).release();
}

// inspect cannot read a text signature from a non-builtin type, so the
// signature is built once from the parameter names.
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* function = as_function(self);
    if (function->signature != nullptr) return Ref::borrow(function->signature).release();
    try {
        Ref inspect = import_module("inspect"_py);
        Ref parameter_type = attr(inspect, "Parameter"_py);
        Ref kind = attr(parameter_type, "POSITIONAL_OR_KEYWORD"_py);
        const Py_ssize_t count = PyTuple_GET_SIZE(function->parameters);
        Ref parameters = Ref::steal(PyList_New(count));
        for (Py_ssize_t index = 0; index < count; ++index) {
            Ref parameter = call(parameter_type, PyTuple_GET_ITEM(function->parameters, index), kind);
            PyList_SET_ITEM(parameters.get(), index, parameter.release());
        }
        Ref signature = call(attr(inspect, "Signature"_py), parameters);
        function->signature = Ref(signature).release();
        return signature.release();
    } catch (const PyError&) {
        return nullptr;
    }
}

// Read as a class attribute it stays itself, as a built-in function does;
// having __get__ also makes tools (inspect, stubtest) take it for a
// function.
PyObject* get_unbound(PyObject* self, PyObject*, PyObject*) { return Ref::borrow(self).release(); }

// Pickled by reference, like any module-level function.
PyObject* reduce(PyObject* self, PyObject*) { return Ref::borrow(as_function(self)->name).release(); }

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
#ifdef PYPY_VERSION
    {"__call__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_function)), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* function_type(Where where) {
    PyTypeObject& type = process_state.function_type;
    if (!process_state.function_type_ready) {
        // What PyVarObject_HEAD_INIT gives a static type: one reference
        // that is never released.
        reinterpret_cast<PyObject*>(&type)->ob_refcnt = 1;
        type.tp_name = lasting_text(std::string(module_name()).append(".function"));
        type.tp_basicsize = sizeof(FunctionObject);
        type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#ifndef PYPY_VERSION
        type.tp_call = call_function;
#endif
        type.tp_repr = repr;
        type.tp_descr_get = get_unbound;
        type.tp_traverse = traverse;
        type.tp_clear = clear;
        type.tp_dealloc = dealloc;
        type.tp_new = refuse_new;
        type.tp_getset = getset;
        type.tp_methods = methods;
        require(PyType_Ready(&type), where);
        process_state.function_type_ready = true;
    }
    return &type;
}

std::string docstring(const FunctionDescription& description) {
    std::string doc = description.name;
    doc += '(';
    for (std::size_t index = 0; index < description.parameter_count(); ++index) {
        if (index > 0) doc += ", ";
        doc += description.parameters[index];
    }
    doc += ")\n\n";
    doc += description.text;
    return doc;
}

}  // namespace

Ref make_function(const FunctionDescription& description, PyObject* globals, Where where) {
    const std::size_t count = description.parameter_count();
    Ref parameters = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)), where);
    for (std::size_t index = 0; index < count; ++index) {
        Ref parameter = Ref::steal(PyUnicode_InternFromString(description.parameters[index]), where);
        PyTuple_SET_ITEM(parameters.get(), static_cast<Py_ssize_t>(index), parameter.release());
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(description.name), where);
    const std::string doc_text = docstring(description);
    Ref doc = Ref::steal(PyUnicode_FromStringAndSize(doc_text.data(), static_cast<Py_ssize_t>(doc_text.size())), where);

    FunctionObject* function = PyObject_GC_New(FunctionObject, function_type(where));
    if (function == nullptr) raise_pending(where);
    function->description = &description;
    function->traceback_name = lasting_text(std::string(module_name()).append(".").append(description.name));
    function->name = name.release();
    function->doc = doc.release();
    function->globals = Ref::borrow(globals).release();
    function->parameters = parameters.release();
    function->signature = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(function));
    return Ref::steal(reinterpret_cast<PyObject*>(function), where);
}

}  // namespace dralvex
