#include "runtime/plain_data.hpp"

#include "runtime/calls.hpp"
#include "runtime/imports.hpp"
#include "runtime/process_state.hpp"

namespace dralvex {

namespace {

#ifdef PYPY_VERSION
// PyPy's dict strategies that hold exact str keys only (literal dicts, the
// json decoder's, empty ones); any other strategy answers "no".
bool is_exact_str_strategy(PyObject* name) noexcept {
    for (const char* known : {"UnicodeDictStrategy", "JsonDictStrategy", "EmptyDictStrategy"}) {
        if (PyUnicode_CompareWithASCIIString(name, known) == 0) return true;
    }
    return false;
}

PyObject* strategy_function(Where where) {
    return process_state.dict_strategy.get([&] { return attr(import_module("__pypy__"_py, where), "strategy"_py, where); });
}
#endif

// Whether every key of an exact dict is an exact str: a look-up in it then
// compares str with str and runs no Python code (a str subclass's __eq__
// could change the document in the middle of a walk).
bool has_only_exact_str_keys(PyObject* dict, Where where) {
#ifdef PYPY_VERSION
    Ref name = call(At(strategy_function(where), where), dict);
    return PyUnicode_Check(name.get()) && is_exact_str_strategy(name.get());
#else
    (void)where;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
#endif
}

}  // namespace

Ref plain_item(const Ref& container, PyObject* key) {
    if (!PyDict_CheckExact(container.get()) || !has_only_exact_str_keys(container.get(), Where::current())) return {};
    PyObject* item = PyDict_GetItemWithError(container.get(), key);   // borrowed
    if (item == nullptr) {
        PyErr_Clear();
        return {};
    }
    return Ref::borrow(item);
}

Ref map_list(PyObject* function, const Ref& items, Where where) {
    PyObject* map = process_state.builtin_map.get([&] { return attr(import_module("builtins"_py, where), "map"_py, where); });
    return Ref::steal(PySequence_List(call(At(map, where), function, items).get()), where);
}

bool all_keys_exact_str(const Ref& dicts, Where where) {
#ifdef PYPY_VERSION
    Ref names = Ref::steal(PySet_New(map_list(strategy_function(where), dicts, where).get()), where);
    bool all = true;
    for_each(At(names, where), [&](const Ref& name) { all = all && is_exact_str_strategy(name.get()); });
    return all;
#else
    bool all = true;
    for_each_item(dicts, [&](const Ref& dict) {
        all = PyDict_CheckExact(dict.get()) && has_only_exact_str_keys(dict.get(), where);
        return all;
    }, where);
    return all;
#endif
}

bool all_of_exact_type(const Ref& items, PyTypeObject* type, Where where) {
    Ref types = Ref::steal(PySet_New(map_list(reinterpret_cast<PyObject*>(&PyType_Type), items, where).get()), where);
    return PySet_GET_SIZE(types.get()) == 1 &&
           require(PySet_Contains(types.get(), reinterpret_cast<PyObject*>(type)), where) == 1;
}

}  // namespace dralvex
