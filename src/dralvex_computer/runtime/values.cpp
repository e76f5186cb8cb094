#include "runtime/values.hpp"

#include "runtime/names.hpp"

#include <utility>

namespace dralvex {

Ref integer(long value, Where where) { return Ref::steal(PyLong_FromLong(value), where); }

Ref attr(Obj object, PyObject* name, Where where) {
    return Ref::steal(PyObject_GetAttr(object.ptr, name), where);
}

void set_attr(Obj object, PyObject* name, Obj value, Where where) {
    require(PyObject_SetAttr(object.ptr, name, value.ptr), where);
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

Ref slice(Obj sequence, Py_ssize_t low, Py_ssize_t high, Where where) {
    return Ref::steal(PySequence_GetSlice(sequence.ptr, low, high), where);
}

Py_ssize_t bytes_length(Obj bytes, Where where) { return require(PyBytes_Size(bytes.ptr), where); }

bool same_text(Obj left, Obj right, Where where) {
    const int order = PyUnicode_Compare(left.ptr, right.ptr);
    if (order == -1) require_no_error(where);
    return order == 0;
}

}  // namespace dralvex
