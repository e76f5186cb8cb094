// Reading parsed documents (the dicts, lists and str that json gives)
// exactly as Python reads them, faster where the containers are the exact
// built-in types and a read can run no Python code:
// - the Python forms with fast paths: `container[key]`, `a == b` of two
//   str, `for item in items`;
// - plain reads that report, without raising, when they do not apply
//   (a subclass, a key that is no exact str): the caller then takes the
//   Python form from the start;
// - on PyPy, bulk reads by a few lines of Python, which spare a C object
//   per item.
#pragma once

#include "runtime/statements.hpp"
#include "runtime/text.hpp"
#include "runtime/values.hpp"

#include <cstring>
#include <optional>

namespace dralvex {

// container[key]: an exact dict read directly (dict's own KeyError).
inline Ref item_of(Obj container, PyObject* key, Where where = Where::current());

// left == right: two exact str compared directly.
inline bool text_equals(Obj left, Obj right, Where where = Where::current());

// for item in items: body(item). CPython walks an exact list by index,
// reading its length at each step as the list iterator does; PyPy would
// copy the whole list into C objects for that, so it iterates. A body that
// returns bool ends the loop by returning false (break).
template <class Body>
void for_each_item(const Ref& items, Body&& body, Where where = Where::current()) {
#ifndef PYPY_VERSION
    if (PyList_CheckExact(items.get())) {
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(items.get()); ++index) {
            Ref value = Ref::borrow(PyList_GET_ITEM(items.get(), index));
            if constexpr (std::is_same_v<decltype(body(value)), bool>) {
                if (!body(value)) return;
            } else {
                body(value);
            }
        }
        return;
    }
#endif
    for_each(At(items, where), body);
}

// container[key] of an exact dict whose keys are all exact str, where the
// look-up runs no Python code; empty, nothing raised, otherwise (another
// container, a key that is missing or no exact str).
Ref plain_item(const Ref& container, PyObject* key);

// An exact dict whose keys are all exact str: a look-up in it runs no
// Python code.
bool is_plain_dict(PyObject* object);

#ifdef PYPY_VERSION
// [entry[key] for entry in entries], joined, when `entries` is an exact
// list of exact dicts whose keys are all exact str, each holding an exact
// str at `key`; empty, nothing raised, otherwise. Nothing it reads runs
// Python code. Read and joined by a few lines of Python: C would need a C
// object for each dict and each text.
std::optional<JoinedNames> joined_texts_at(const Ref& entries, PyObject* key, Where where = Where::current());
#endif

// Inline: a walk of ten thousand entries calls them for each.
inline Ref item_of(Obj container, PyObject* key, Where where) {
    if (PyDict_CheckExact(container.ptr)) {
        PyObject* value = PyDict_GetItemWithError(container.ptr, key);   // borrowed
        if (value != nullptr) return Ref::borrow(value);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        raise_pending(where);
    }
    return subscript(container, key, where);
}

inline bool text_equals(Obj left, Obj right, Where where) {
    if (PyUnicode_CheckExact(left.ptr) && PyUnicode_CheckExact(right.ptr)) {
        if (left.ptr == right.ptr) return true;
#ifndef PYPY_VERSION
        // str == str on CPython's own representation: same length, same
        // kind, same code points (what unicode_eq does, without a call)
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(left.ptr) < 0 || PyUnicode_READY(right.ptr) < 0) raise_pending(where);
#endif
        const Py_ssize_t length = PyUnicode_GET_LENGTH(left.ptr);
        if (length != PyUnicode_GET_LENGTH(right.ptr) || PyUnicode_KIND(left.ptr) != PyUnicode_KIND(right.ptr)) {
            return false;
        }
        return std::memcmp(PyUnicode_DATA(left.ptr), PyUnicode_DATA(right.ptr),
                           static_cast<std::size_t>(length) * PyUnicode_KIND(left.ptr)) == 0;
#else
        return PyUnicode_Compare(left.ptr, right.ptr) == 0;
#endif
    }
    return equals(left, right, where);
}

}  // namespace dralvex
