// Constants, attributes and the operators of Python expressions on values,
// each checked.
#pragma once

#include "runtime/refs.hpp"

#include <initializer_list>
#include <utility>

namespace dralvex {

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }
Ref integer(long value, Where where = Where::current());

// ---------------------------------------------------------- attributes

Ref attr(Obj object, PyObject* name, Where where = Where::current());
void set_attr(Obj object, PyObject* name, Obj value, Where where = Where::current());

// ------------------------------------------------------------ operators

bool truth(Obj object, Where where = Where::current());
bool equals(Obj left, Obj right, Where where = Where::current());   // left == right
bool less(Obj left, Obj right, Where where = Where::current());     // left < right
bool equals_none(Obj object, Where where = Where::current());      // object == None
bool differs_from_none(Obj object, Where where = Where::current()); // object != None
bool contains(Obj container, Obj item, Where where = Where::current());
Ref text(Obj object, Where where = Where::current());               // format(object, "")
Ref concat(std::initializer_list<Obj> parts, Where where = Where::current());   // str parts only
Ref add(Obj left, Obj right, Where where = Where::current());                     // left + right
// object[index], as Python reads it: of a list, PyPy then copies no other
// item into a C object (PyList_GET_ITEM would copy them all).
Ref item(Obj object, Py_ssize_t index, Where where = Where::current());
Ref subtract(Obj left, Obj right, Where where = Where::current());      // left - right
Ref true_divide(Obj left, Obj right, Where where = Where::current());   // left / right
Ref subscript(Obj object, PyObject* key, Where where = Where::current());   // object[key]
// `a, b = value` with Python's messages.
std::pair<Ref, Ref> unpack_pair(Obj value, Where where = Where::current());
Ref slice(Obj sequence, Py_ssize_t low, Py_ssize_t high, Where where = Where::current());   // sequence[low:high]
Py_ssize_t bytes_length(Obj bytes, Where where = Where::current());   // len(bytes), of a bytes object
bool same_text(Obj left, Obj right, Where where = Where::current());  // left == right, of two str

// ---------------------------------------------------------- exact types
// A list or a str and no subclass of them: a walk over them then reads
// their items without running any Python code.

inline bool is_exact_list(Obj object) noexcept { return PyList_CheckExact(object.ptr); }
inline bool is_exact_str(Obj object) noexcept { return PyUnicode_CheckExact(object.ptr); }
// len(list) of an exact list (is_exact_list first).
inline Py_ssize_t exact_list_length(Obj list) noexcept { return PyList_GET_SIZE(list.ptr); }

}  // namespace dralvex
