// The helper layer every function body is written in: interned names,
// module globals read at each use, calls, imports through the builtins'
// __import__, and the Python statements the bodies need (raise, with,
// try/except Exception, try/finally).
#pragma once

#include "refs.hpp"

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <type_traits>
#include <utility>

namespace dralvex {

// ---------------------------------------------------------------- names

template <std::size_t N>
struct Text {
    char chars[N];
    consteval Text(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i) chars[i] = text[i];
    }
};

PyObject* intern(const char* text);

// "name"_py is an interned str made on first use and kept for the process.
template <Text T>
PyObject* operator""_py() {
    static PyObject* const value = intern(T.chars);
    return value;
}

// ------------------------------------------------------- the namespace

// Set once the module object exists; functions use it as their globals.
PyObject* module_globals() noexcept;
void set_module_globals(PyObject* globals) noexcept;
void remember_builtins(Where where = Where::current());

// Global name lookup as Python does it: module namespace, then builtins,
// else NameError "name '...' is not defined".
Ref global(PyObject* name, Where where = Where::current());
Ref builtin(PyObject* name, Where where = Where::current());
void set_global(PyObject* name, Obj value, Where where = Where::current());

// ----------------------------------------------------------- constants

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }
Ref integer(long value, Where where = Where::current());

// ---------------------------------------------------------- attributes

Ref attr(Obj object, PyObject* name, Where where = Where::current());
void set_attr(Obj object, PyObject* name, Obj value, Where where = Where::current());

// --------------------------------------------------------------- calls

namespace detail {
template <class... A>
Ref pack(Where where, const A&... items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(A))), where);
    Py_ssize_t index = 0;
    ((Py_INCREF(Obj(items).ptr), PyTuple_SET_ITEM(tuple.get(), index++, Obj(items).ptr)), ...);
    return tuple;
}
}  // namespace detail

template <class... A>
Ref tuple(At first, const A&... rest) {
    return detail::pack(first.where, first.ptr, rest...);
}

Ref call_object(At callable, Obj args, PyObject* kwargs = nullptr);

template <class... A>
Ref call(At callable, const A&... args) {
    return call_object(callable, detail::pack(callable.where, args...));
}

template <class... A>
Ref call_method(At object, PyObject* name, const A&... args) {
    Ref method = attr(object.ptr, name, object.where);
    return call_object(At(method, object.where), detail::pack(object.where, args...));
}

// A module function, looked up in the namespace at each call so a caller
// can replace it.
template <class... A>
Ref call_global(At name, const A&... args) {
    Ref function = global(name.ptr, name.where);
    return call_object(At(function, name.where), detail::pack(name.where, args...));
}

Ref keywords(std::initializer_list<std::pair<PyObject*, Obj>> items, Where where = Where::current());

// `os.path.<name>(args...)`, reading the module global `os` at each call.
template <class... A>
Ref os_path(At name, const A&... args) {
    Ref path = attr(global("os"_py, name.where), "path"_py, name.where);
    return call_method(At(path, name.where), name.ptr, args...);
}

template <class... A>
void print(At first, const A&... rest) {
    call_global(At("print"_py, first.where), first.ptr, rest...);
}

// -------------------------------------------------------------- values

bool truth(Obj object, Where where = Where::current());
bool equals(Obj left, Obj right, Where where = Where::current());   // left == right
bool less(Obj left, Obj right, Where where = Where::current());     // left < right
bool equals_none(Obj object, Where where = Where::current());      // object == None
bool differs_from_none(Obj object, Where where = Where::current()); // object != None
bool is_instance(Obj object, Obj cls, Where where = Where::current());
bool contains(Obj container, Obj item, Where where = Where::current());
Ref text(Obj object, Where where = Where::current());               // format(object, "")
Ref concat(std::initializer_list<Obj> parts, Where where = Where::current());
Ref item(Obj object, Py_ssize_t index, Where where = Where::current());
Ref subtract(Obj left, Obj right, Where where = Where::current());      // left - right
Ref true_divide(Obj left, Obj right, Where where = Where::current());   // left / right
Ref subscript(Obj object, PyObject* key, Where where = Where::current());   // object[key]
// `a, b = value` with Python's messages.
std::pair<Ref, Ref> unpack_pair(Obj value, Where where = Where::current());

// -------------------------------------------------------------- raise

[[noreturn]] void raise(PyObject* type, Obj argument, Where where = Where::current());

// The not-set-up check shared by nearly every function.
void require_setup(Where where = Where::current());

// ------------------------------------------------------------- imports

// `import name` / `from module import name`, through builtins.__import__.
Ref import_module(PyObject* name, Where where = Where::current());
Ref import_from(PyObject* module, PyObject* name, Where where = Where::current());
// `from module import first, second` as one import.
std::pair<Ref, Ref> import_from(PyObject* module, PyObject* first, PyObject* second,
                                Where where = Where::current());

// ---------------------------------------------------------- statements

// for value in iterable: body(value). A body that returns bool ends the
// loop by returning false (break).
template <class Body>
void for_each(At iterable, Body&& body) {
    Ref iterator = Ref::steal(PyObject_GetIter(iterable.ptr), iterable.where);
    while (PyObject* next = PyIter_Next(iterator.get())) {
        Ref value = Ref::steal(next, iterable.where);
        if constexpr (std::is_same_v<decltype(body(value)), bool>) {
            if (!body(value)) return;
        } else {
            body(value);
        }
    }
    if (PyErr_Occurred()) throw PyError{iterable.where};
}

// try: body() / except Exception as e: returns e (the error indicator is
// cleared); other exceptions pass through.
template <class Body>
std::optional<Ref> catch_exception(Body&& body) {
    try {
        body();
        return std::nullopt;
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        SavedError caught;
        caught.normalize();
        return Ref::borrow(caught.value());
    }
}

// body(); if it raises, undo() runs before the exception goes on, unchanged.
template <class Body, class Undo>
void with_rollback(Body&& body, Undo&& undo) {
    try {
        body();
    } catch (const PyError&) {
        SavedError pending;
        undo();
        pending.restore();
        throw;
    }
}

// try: body() / finally: cleanup()
template <class Body, class Cleanup>
void with_finally(Body&& body, Cleanup&& cleanup) {
    with_rollback(body, cleanup);
    cleanup();
}

// with manager as value: body(value)
template <class Body>
void with_context(At manager, Body&& body) {
    Ref exit = attr(manager.ptr, "__exit__"_py, manager.where);
    Ref value = call_method(manager, "__enter__"_py);
    try {
        body(value);
    } catch (const PyError&) {
        SavedError pending;
        pending.normalize();
        Ref suppress = call(At(exit, manager.where), pending.type(), pending.value(), pending.traceback());
        if (truth(suppress, manager.where)) return;
        pending.restore();
        throw;
    }
    call(At(exit, manager.where), Py_None, Py_None, Py_None);
}

// ---------------------------------------------------------- tracebacks

// Adds a traceback entry "<function>" at file:line to the pending exception.
void add_traceback(const char* function, const Where& where) noexcept;

}  // namespace dralvex
