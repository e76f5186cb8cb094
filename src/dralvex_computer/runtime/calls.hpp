// Calls in Python's order of evaluation: callee first, then the arguments
// from left to right; module functions and `os.path` read by name at each
// call, so that a script replacing them is seen.
#pragma once

#include "runtime/names.hpp"
#include "runtime/namespace.hpp"
#include "runtime/values.hpp"

#include <initializer_list>
#include <utility>

namespace dralvex {

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

// `callable(**kwargs)`.
inline Ref call_with_keywords(At callable, Obj kwargs) {
    return call_object(callable, detail::pack(callable.where), kwargs.ptr);
}

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

// A module function that bodies call: looked up by name in the module's
// namespace at each call, so that a script replacing it is seen. A named
// handle (`inline constexpr ModuleFunction<"load_dll"> load_dll;`) shows
// the call to a reader, an IDE and the structure tools.
template <Text Name>
struct ModuleFunction {
    static PyObject* name() { return operator""_py<Name>(); }
};

// A module function's name and the place of the call.
struct CalledByName {
    PyObject* name;
    Where where;
    template <Text Name>
    CalledByName(ModuleFunction<Name>, Where w = Where::current()) : name(ModuleFunction<Name>::name()), where(w) {}
};

// The function the namespace holds now.
inline Ref global(CalledByName function) { return global(function.name, function.where); }

template <class... A>
Ref call_global(CalledByName function, const A&... args) {
    return call_global(At(function.name, function.where), args...);
}

Ref keywords(std::initializer_list<std::pair<PyObject*, Obj>> items, Where where = Where::current());

// `callee(first, second, ...)` evaluated in Python's order: the callee,
// then each argument from left to right, then the call. Write it with
// braces, which sequence their elements: `Ref path = Call{join, a, b};`.
// Plain function-call syntax leaves C++'s argument order unspecified.
struct Call : Ref {
    template <class... A>
    Call(At callee, const A&... args) : Ref(call(callee, args...)) {}
};

// The function `os.path.<name>`, reading the module global `os` now.
Ref os_path_function(PyObject* name, Where where = Where::current());

// `os.path.<name>(args...)`, reading the module global `os` at each call,
// for arguments that are values already; where an argument is computed,
// write Call{os_path_function(name), ...} so that the callee comes first.
template <class... A>
Ref os_path(At name, const A&... args) {
    Ref path = attr(global("os"_py, name.where), "path"_py, name.where);
    return call_method(At(path, name.where), name.ptr, args...);
}

template <class... A>
void print(At first, const A&... rest) {
    call_global(At("print"_py, first.where), first.ptr, rest...);
}

}  // namespace dralvex
