#include "runtime/plain_data.hpp"

namespace dralvex {

namespace {

// Whether every key of an exact dict is an exact str: a look-up in it then
// compares str with str and runs no Python code (a str subclass's __eq__
// could change the document in the middle of a walk).
bool has_only_exact_str_keys(PyObject* dict) noexcept {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

}  // namespace

Ref item_of(Obj container, PyObject* key, Where where) {
    if (PyDict_CheckExact(container.ptr)) {
        PyObject* value = PyDict_GetItemWithError(container.ptr, key);   // borrowed
        if (value != nullptr) return Ref::borrow(value);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        raise_pending(where);
    }
    return subscript(container, key, where);
}

bool text_equals(Obj left, Obj right, Where where) {
    if (PyUnicode_CheckExact(left.ptr) && PyUnicode_CheckExact(right.ptr)) {
        return left.ptr == right.ptr || PyUnicode_Compare(left.ptr, right.ptr) == 0;
    }
    return equals(left, right, where);
}

Ref plain_item(const Ref& container, PyObject* key) {
    if (!PyDict_CheckExact(container.get()) || !has_only_exact_str_keys(container.get())) return {};
    PyObject* item = PyDict_GetItemWithError(container.get(), key);   // borrowed
    if (item == nullptr) {
        PyErr_Clear();
        return {};
    }
    return Ref::borrow(item);
}

Ref map_list(PyObject* function, const Ref& items, Where where) {
    static Lazy builtin_map;
    PyObject* map = builtin_map.get([&] { return attr(import_module("builtins"_py, where), "map"_py, where); });
    return Ref::steal(PySequence_List(call(At(map, where), function, items).get()), where);
}

Ref keys_of_all(const Ref& dicts, Where where) {
    static Lazy chain_from_iterable;
    PyObject* from_iterable = chain_from_iterable.get([&] {
        return attr(attr(import_module("itertools"_py, where), "chain"_py, where), "from_iterable"_py, where);
    });
    return Ref::steal(PySequence_List(call(At(from_iterable, where), dicts).get()), where);
}

bool all_of_exact_type(const Ref& items, PyTypeObject* type, Where where) {
    Ref types = Ref::steal(PySet_New(map_list(reinterpret_cast<PyObject*>(&PyType_Type), items, where).get()), where);
    return PySet_GET_SIZE(types.get()) == 1 &&
           require(PySet_Contains(types.get(), reinterpret_cast<PyObject*>(type)), where) == 1;
}

}  // namespace dralvex
