// The function type. Its fields are filled by name at run time because
// PyTypeObject differs between CPython and PyPy; tp_doc stays NULL so that
// PyPy serves each instance's own __doc__.
#include "module/function_object.hpp"

#include "module/api.hpp"

#include <new>
#include <stdexcept>
#include <string>

namespace dralvex {

namespace {

FunctionObject* as_function(PyObject* self) noexcept { return reinterpret_cast<FunctionObject*>(self); }

std::string traceback_name(const FunctionDescription& description) {
    return std::string(module_name) + "." + description.name;
}

// When Python code called by the module calls the module again without end,
// the C stack can run out before the interpreter's recursion limit: PyPy
// then aborts or raises SystemError (measured on Linux: after 400 to 600
// nested calls with an 8 MB stack; Windows gives threads 1 MB). Past this
// many nested calls on one thread, a call raises RecursionError before it
// starts, while the stack still has room; the module's own workflows nest a
// few calls deep.
constexpr int max_nested_calls = 32;
thread_local int nested_calls = 0;

struct NestedCall {
    NestedCall() noexcept { ++nested_calls; }
    ~NestedCall() { --nested_calls; }
    NestedCall(const NestedCall&) = delete;
    NestedCall& operator=(const NestedCall&) = delete;
};

PyObject* call_function(PyObject* self, PyObject* args, PyObject* kwargs) {
    const FunctionObject& function = *as_function(self);
    const FunctionDescription& description = *function.description;
    const NestedCall nested;
    if (nested_calls > max_nested_calls) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return nullptr;
    }
    try {
        Ref bound[max_parameters];
        if (!bind_arguments(function, args, kwargs, bound)) raise_pending(description.defined);
        PyObject* values[max_parameters];
        for (std::size_t index = 0; index < max_parameters; ++index) values[index] = bound[index].get();
#ifdef DRALVEX_FAULT_INJECTION
        // Test builds only: a foreign C++ exception from inside a body.
        if (values[0] != nullptr && PyUnicode_Check(values[0]) &&
            PyUnicode_CompareWithASCIIString(values[0], "\x01throw std::length_error") == 0) {
            throw std::length_error("injected std::length_error");
        }
#endif
        return description.body(values).release();
    } catch (const PyError& error) {
        add_traceback(traceback_name(description).c_str(), error.where);
    } catch (...) {
        // Any other C++ exception (std::bad_alloc, std::length_error, ...)
        // becomes a Python error here; none may unwind into the interpreter.
        set_error_from_cpp_exception(std::current_exception());
        add_traceback(traceback_name(description).c_str(), description.defined);
    }
    return nullptr;
}

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
    return PyUnicode_FromFormat("<function %s.%U>", module_name, as_function(self)->name);
}

PyObject* get_name(PyObject* self, void*) { return Ref::borrow(as_function(self)->name).release(); }
PyObject* get_doc(PyObject* self, void*) { return Ref::borrow(as_function(self)->doc).release(); }
PyObject* get_module(PyObject*, void*) { return PyUnicode_FromString(module_name); }

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
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* function_type(Where where) {
    static PyTypeObject type;
    static bool ready = false;
    if (!ready) {
        // What PyVarObject_HEAD_INIT gives a static type: one reference
        // that is never released.
        reinterpret_cast<PyObject*>(&type)->ob_refcnt = 1;
        type.tp_name = "dralvex_computer.dralvex_core.function";
        type.tp_basicsize = sizeof(FunctionObject);
        type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        type.tp_call = call_function;
        type.tp_repr = repr;
        type.tp_traverse = traverse;
        type.tp_clear = clear;
        type.tp_dealloc = dealloc;
        type.tp_new = refuse_new;
        type.tp_getset = getset;
        type.tp_methods = methods;
        require(PyType_Ready(&type), where);
        ready = true;
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
    function->name = name.release();
    function->doc = doc.release();
    function->globals = Ref::borrow(globals).release();
    function->parameters = parameters.release();
    function->signature = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(function));
    return Ref::steal(reinterpret_cast<PyObject*>(function), where);
}

}  // namespace dralvex
