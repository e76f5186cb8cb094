#include "runtime/api.hpp"

#include "runtime/identity.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <tuple>

namespace dralvex {

namespace {
PyObject* globals_dict = nullptr;    // strong, set at module creation
PyObject* builtins_module = nullptr; // strong, set at module creation

PyObject* builtins_dict(Where where) {
    if (builtins_module == nullptr) {
        PyErr_Format(PyExc_SystemError, "%s: builtins not initialised", module_short_name());
        raise_pending(where);
    }
    return PyModule_GetDict(builtins_module);
}

}  // namespace

PyObject* intern(const char* text) {
    PyObject* value = PyUnicode_InternFromString(text);
    if (value == nullptr) raise_pending();
    return value;
}

PyObject* module_globals() noexcept { return globals_dict; }

void remember_builtins(Where where) {
    // Once, at module creation: looking it up lazily could run import code
    // in the middle of a call.
    if (builtins_module != nullptr) return;
    builtins_module = PyImport_ImportModule("builtins");
    if (builtins_module == nullptr) raise_pending(where);
}

void set_module_globals(PyObject* globals) noexcept {
    Py_XINCREF(globals);
    Py_XSETREF(globals_dict, globals);
}

Ref builtin(PyObject* name, Where where) {
    PyObject* value = PyDict_GetItemWithError(builtins_dict(where), name);
    if (value != nullptr) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise_pending(where);
}

Ref global(PyObject* name, Where where) {
    PyObject* value = PyDict_GetItemWithError(globals_dict, name);
    if (value != nullptr) return Ref::borrow(value);
    require_no_error(where);
    return builtin(name, where);
}

void set_global(PyObject* name, Obj value, Where where) {
    require(PyDict_SetItem(globals_dict, name, value.ptr), where);
}

Ref integer(long value, Where where) { return Ref::steal(PyLong_FromLong(value), where); }

Ref attr(Obj object, PyObject* name, Where where) {
    return Ref::steal(PyObject_GetAttr(object.ptr, name), where);
}

void set_attr(Obj object, PyObject* name, Obj value, Where where) {
    require(PyObject_SetAttr(object.ptr, name, value.ptr), where);
}

Ref call_object(At callable, Obj args, PyObject* kwargs) {
    return Ref::steal(PyObject_Call(callable.ptr, args.ptr, kwargs), callable.where);
}

Ref keywords(std::initializer_list<std::pair<PyObject*, Obj>> items, Where where) {
    Ref dict = Ref::steal(PyDict_New(), where);
    for (const auto& [key, value] : items) {
        require(PyDict_SetItem(dict.get(), key, value.ptr), where);
    }
    return dict;
}

bool truth(Obj object, Where where) {
    const int result = PyObject_IsTrue(object.ptr);
    require(result, where);
    return result != 0;
}

bool equals(Obj left, Obj right, Where where) {
    Ref result = Ref::steal(PyObject_RichCompare(left.ptr, right.ptr, Py_EQ), where);
    return truth(result, where);
}

bool less(Obj left, Obj right, Where where) {
    Ref result = Ref::steal(PyObject_RichCompare(left.ptr, right.ptr, Py_LT), where);
    return truth(result, where);
}

bool equals_none(Obj object, Where where) {
    // `object == None` asks the object, as Python's == does.
    Ref result = Ref::steal(PyObject_RichCompare(object.ptr, Py_None, Py_EQ), where);
    return truth(result, where);
}

bool differs_from_none(Obj object, Where where) {
    Ref result = Ref::steal(PyObject_RichCompare(object.ptr, Py_None, Py_NE), where);
    return truth(result, where);
}

bool is_instance(Obj isinstance, Obj object, Obj cls, Where where) {
    return truth(call(At(isinstance.ptr, where), object, cls), where);
}

Ref os_path_function(PyObject* name, Where where) {
    return attr(attr(global("os"_py, where), "path"_py, where), name, where);
}

Ref add(Obj left, Obj right, Where where) { return Ref::steal(PyNumber_Add(left.ptr, right.ptr), where); }

bool contains(Obj container, Obj item, Where where) {
    const int result = PySequence_Contains(container.ptr, item.ptr);
    require(result, where);
    return result != 0;
}

Ref text(Obj object, Where where) {
    if (PyUnicode_CheckExact(object.ptr)) return Ref::borrow(object.ptr);
    return Ref::steal(PyObject_Format(object.ptr, ""_py), where);
}

Ref concat(std::initializer_list<Obj> parts, Where where) {
    Ref result = Ref::borrow(""_py);
    for (const Obj& part : parts) result = Ref::steal(PyUnicode_Concat(result.get(), part.ptr), where);
    return result;
}

Ref item(Obj object, Py_ssize_t index, Where where) {
    Ref key = Ref::steal(PyLong_FromSsize_t(index), where);
    return Ref::steal(PyObject_GetItem(object.ptr, key.get()), where);
}

Ref subtract(Obj left, Obj right, Where where) {
    return Ref::steal(PyNumber_Subtract(left.ptr, right.ptr), where);
}

Ref true_divide(Obj left, Obj right, Where where) {
    return Ref::steal(PyNumber_TrueDivide(left.ptr, right.ptr), where);
}

std::optional<std::string_view> utf8(PyObject* text) noexcept {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

bool is_ascii(std::string_view text) noexcept {
    for (const char byte : text) {
        if (static_cast<unsigned char>(byte) >= 0x80) return false;
    }
    return true;
}

std::optional<std::string_view> ascii_text(PyObject* text) {
    if (!PyUnicode_CheckExact(text)) return std::nullopt;
#ifdef PYPY_VERSION
    const std::optional<std::string_view> all = utf8(text);
    if (!all || !is_ascii(*all)) return std::nullopt;
    return all;
#else
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
#endif
    if (!PyUnicode_IS_ASCII(text)) return std::nullopt;
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
#endif
}

bool ascii_lower_endswith(std::string_view text, std::string_view suffix) noexcept {
    if (suffix.size() > text.size()) return false;
    const std::string_view tail = text.substr(text.size() - suffix.size());
    for (std::size_t index = 0; index < suffix.size(); ++index) {
        char byte = tail[index];
        if (byte >= 'A' && byte <= 'Z') byte = static_cast<char>(byte - 'A' + 'a');
        if (byte != suffix[index]) return false;
    }
    return true;
}

std::optional<JoinedNames> JoinedNames::of(Obj names, Where where) {
    static Lazy nul;
    PyObject* separator = nul.get([&] { return Ref::steal(PyUnicode_FromStringAndSize("\0", 1), where); });
    JoinedNames joined;
    joined.count_ = require(PyObject_Length(names.ptr), where);
    PyObject* text = PyUnicode_Join(separator, names.ptr);
    if (text == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise_pending(where);
        PyErr_Clear();   // an item that is no str
        return std::nullopt;
    }
    joined.joined_ = Ref::steal(text, where);
    const std::optional<std::string_view> all = utf8(text);
    if (!all) return std::nullopt;
    if (joined.count_ > 0 && std::count(all->begin(), all->end(), '\0') != joined.count_ - 1) return std::nullopt;
    joined.text_ = *all;
    return joined;
}

Ref subscript(Obj object, PyObject* key, Where where) {
    return Ref::steal(PyObject_GetItem(object.ptr, key), where);
}

std::pair<Ref, Ref> unpack_pair(Obj value, Where where) {
    Ref iterator = Ref::steal(PyObject_GetIter(value.ptr), where);
    Ref items[2];
    for (Py_ssize_t count = 0; count < 2; ++count) {
        PyObject* next = PyIter_Next(iterator.get());
        if (next == nullptr) {
            require_no_error(where);
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
                         count == 1 ? "" : "s");
            raise_pending(where);
        }
        items[count] = Ref::steal(next, where);
    }
    PyObject* extra = PyIter_Next(iterator.get());
    if (extra != nullptr) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
        raise_pending(where);
    }
    require_no_error(where);
    return {std::move(items[0]), std::move(items[1])};
}

void raise(Obj exception, Where where) {
    if (PyExceptionInstance_Check(exception.ptr)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr)), exception.ptr);
    } else if (PyExceptionClass_Check(exception.ptr)) {
        PyErr_SetNone(exception.ptr);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    raise_pending(where);
}

namespace {
// __import__(name, globals, None, fromlist, 0), as the import statement calls it.
Ref dunder_import(PyObject* name, Obj fromlist, Where where) {
    Ref import = builtin("__import__"_py, where);
    Ref level = integer(0, where);
    return call(At(import, where), name, globals_dict, Py_None, fromlist, level);
}

Ref take_name(Obj module, PyObject* name, Where where) {
    PyObject* value = PyObject_GetAttr(module.ptr, name);
    if (value != nullptr) return Ref::steal(value, where);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending(where);
    PyErr_Clear();
    // A submodule not yet bound as an attribute.
    Ref package = attr(module, "__name__"_py, where);
    Ref full = Ref::steal(PyUnicode_FromFormat("%S.%S", package.get(), name), where);
    PyObject* modules = PySys_GetObject("modules");   // borrowed
    if (modules != nullptr) {
        PyObject* found = PyDict_GetItemWithError(modules, full.get());
        if (found != nullptr) return Ref::borrow(found);
        require_no_error(where);
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %R from %R", name, package.get());
    raise_pending(where);
}
}  // namespace

Ref import_module(PyObject* name, Where where) { return dunder_import(name, Py_None, where); }

Ref import_from(PyObject* module, PyObject* name, Where where) {
    Ref fromlist = tuple(At(name, where));
    Ref imported = dunder_import(module, fromlist, where);
    return take_name(imported, name, where);
}

std::pair<Ref, Ref> import_from(PyObject* module, PyObject* first, PyObject* second, Where where) {
    Ref fromlist = tuple(At(first, where), second);
    Ref imported = dunder_import(module, fromlist, where);
    Ref a = take_name(imported, first, where);
    return {std::move(a), take_name(imported, second, where)};
}

namespace {
// What `except <name>:` does when <name> is missing or no exception class:
// the new error, with the exception being handled as its context.
[[noreturn]] void refuse_except_clause(PyObject* cls, PyObject* name, Where where) {
    SavedError handled;
    if (cls == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    } else {
        PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
    }
    handled.restore_as_context();
    raise_pending(where);
}

bool is_exception_class_or_tuple(PyObject* cls) noexcept {
    if (PyExceptionClass_Check(cls)) return true;
    if (!PyTuple_Check(cls)) return false;
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(cls); ++index) {
        if (!PyExceptionClass_Check(PyTuple_GET_ITEM(cls, index))) return false;
    }
    return true;
}
}  // namespace

bool pending_matches(PyObject* name, Where where) {
    // Plain dict look-ups, which run no Python code, so the exception can
    // stay on the indicator.
    PyObject* cls = PyDict_GetItem(globals_dict, name);
    if (cls == nullptr) cls = PyDict_GetItem(builtins_dict(where), name);
    if (cls == nullptr || !is_exception_class_or_tuple(cls)) refuse_except_clause(cls, name, where);
    return PyErr_ExceptionMatches(cls) != 0;
}

}  // namespace dralvex
