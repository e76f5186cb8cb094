#include "runtime/plain_data.hpp"

#include "runtime/calls.hpp"
#include "runtime/imports.hpp"
#include "runtime/process_state.hpp"
#include "runtime/python_source.hpp"

namespace dralvex {

namespace {

#ifdef PYPY_VERSION
// PyPy's dict strategies that hold exact str keys only (literal dicts, the
// json decoder's, empty ones); any other strategy answers "no".
constexpr const char* exact_str_strategy_names[] = {"UnicodeDictStrategy", "JsonDictStrategy", "EmptyDictStrategy"};

bool is_exact_str_strategy(PyObject* name) noexcept {
    for (const char* known : exact_str_strategy_names) {
        if (PyUnicode_CompareWithASCIIString(name, known) == 0) return true;
    }
    return false;
}

PyObject* strategy_function(Where where) {
    return process_state.dict_strategy.get([&] { return attr(import_module("__pypy__"_py, where), "strategy"_py, where); });
}

constexpr const char texts_at_source[] =
    "def joined_texts_at(entries, key, strategy, exact, type=type, list=list, dict=dict, str=str):\n"
    "    if type(entries) is not list:\n"
    "        return None\n"
    "    texts = []\n"
    "    for entry in entries:\n"
    "        if type(entry) is not dict or strategy(entry) not in exact:\n"
    "            return None\n"
    "        text = entry.get(key)\n"
    "        if type(text) is not str:\n"
    "            return None\n"
    "        texts.append(text)\n"
    "    return '\\0'.join(texts)\n";

PyObject* texts_at_function(Where where) {
    return process_state.texts_at_function.get([&] {
        // the types it names are the interpreter's own, whatever a script did to builtins
        auto own = [](PyTypeObject& type) { return reinterpret_cast<PyObject*>(&type); };
        Ref scope = run_source(texts_at_source, "<plain data>",
                               {{"type", own(PyType_Type)}, {"list", own(PyList_Type)}, {"dict", own(PyDict_Type)},
                                {"str", own(PyUnicode_Type)}}, where);
        return defined(scope, "joined_texts_at", where);
    });
}

PyObject* exact_str_strategies(Where where) {
    return process_state.exact_str_strategies.get([&] {
        Ref names = Ref::steal(PySet_New(nullptr), where);
        for (const char* known : exact_str_strategy_names) {
            require(PySet_Add(names.get(), Ref::steal(PyUnicode_FromString(known), where).get()), where);
        }
        return Ref::steal(PyFrozenSet_New(names.get()), where);
    });
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
    if (!is_plain_dict(container.get())) return {};
    PyObject* item = PyDict_GetItemWithError(container.get(), key);   // borrowed
    if (item == nullptr) {
        PyErr_Clear();
        return {};
    }
    return Ref::borrow(item);
}

bool is_plain_dict(PyObject* object) {
    return PyDict_CheckExact(object) && has_only_exact_str_keys(object, Where::current());
}

#ifdef PYPY_VERSION
std::optional<JoinedNames> joined_texts_at(const Ref& entries, PyObject* key, Where where) {
    Ref text = call(At(texts_at_function(where), where), entries, key, strategy_function(where),
                    exact_str_strategies(where));
    if (text.get() == Py_None) return std::nullopt;
    return JoinedNames::of_joined(std::move(text), PyList_GET_SIZE(entries.get()));
}
#endif

}  // namespace dralvex
