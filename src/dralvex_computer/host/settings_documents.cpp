// Readers of the two parsed settings documents.
#include "module/bodies.hpp"
#include "runtime/api.hpp"

#include <cstring>
#include <optional>
#include <string_view>

namespace dralvex::functions {

namespace {

// container[key], as Python does it; an exact dict is read directly, with
// dict's own KeyError.
Ref item_of(Obj container, PyObject* key) {
    if (PyDict_CheckExact(container.ptr)) {
        PyObject* value = PyDict_GetItemWithError(container.ptr, key);   // borrowed
        if (value != nullptr) return Ref::borrow(value);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        raise_pending();
    }
    return subscript(container, key);
}

// left == right; two exact str compared directly.
bool same_text(Obj left, Obj right) {
    if (PyUnicode_CheckExact(left.ptr) && PyUnicode_CheckExact(right.ptr)) {
        if (left.ptr == right.ptr) return true;
#ifndef PYPY_VERSION
        // str == str: same length, same kind, same code points
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(left.ptr) < 0 || PyUnicode_READY(right.ptr) < 0) raise_pending();
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
    return equals(left, right);
}

// for item in items: body(item). CPython walks an exact list by index,
// reading its length at each step as the list iterator does; PyPy would
// copy the whole list into C objects for that, so it iterates.
template <class Body>
void for_each_item(const Ref& items, Body&& body) {
#ifndef PYPY_VERSION
    if (PyList_CheckExact(items.get())) {
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(items.get()); ++index) {
            body(Ref::borrow(PyList_GET_ITEM(items.get(), index)));
        }
        return;
    }
#endif
    for_each(items, body);
}

// The settings of sub-family "PATH" of one family: value = setting["Value"]
// for every setting named `setting_name`.
void read_family(const Ref& family, PyObject* setting_name, Ref& value) {
    for_each_item(item_of(family, "SubFamilies"_py), [&](const Ref& sub_family) {
        if (!same_text(item_of(sub_family, "Name"_py), "PATH"_py)) return;
        for_each_item(item_of(sub_family, "Settings"_py), [&](const Ref& setting) {
            if (same_text(item_of(setting, "Name"_py), setting_name)) value = item_of(setting, "Value"_py);
        });
    });
}

#ifndef PYPY_VERSION
struct FamilyNames {};   // PyPy's alone
#else
// Whether every key of an exact dict is an exact str: a look-up in it then
// compares str with str and runs no Python code (a str subclass's __eq__
// could change the document in the middle of the walk).
bool has_only_exact_str_keys(PyObject* dict) noexcept {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

// container[key] of an exact dict with exact str keys; empty (nothing
// raised) otherwise.
Ref exact_item(const Ref& container, PyObject* key) {
    if (!PyDict_CheckExact(container.get()) || !has_only_exact_str_keys(container.get())) return {};
    PyObject* item = PyDict_GetItemWithError(container.get(), key);   // borrowed
    if (item == nullptr) {
        PyErr_Clear();
        return {};
    }
    return Ref::borrow(item);
}

// for entry in container[key]: if entry["Name"] == name: found(entry) --
// on exact dicts, lists and str only; false as soon as anything else shows.
template <class Found>
bool for_each_named(const Ref& container, PyObject* key, PyObject* name, Found&& found) {
    Ref entries = exact_item(container, key);
    if (!entries || !PyList_CheckExact(entries.get())) return false;
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(entries.get()); ++index) {
        Ref entry = item(entries, index);
        Ref entry_name = exact_item(entry, "Name"_py);
        if (!entry_name || !PyUnicode_CheckExact(entry_name.get())) return false;
        if (PyUnicode_Compare(entry_name.get(), name) == 0 && !found(entry)) return false;
    }
    return true;
}

// read_family on exact dicts, lists and str only, where reading runs no
// Python code; false (nothing raised) as soon as anything else shows.
bool read_family_exactly(const Ref& family, PyObject* setting_name, Ref& value) {
    return for_each_named(family, "SubFamilies"_py, "PATH"_py, [&](const Ref& sub_family) {
        return for_each_named(sub_family, "Settings"_py, setting_name, [&](const Ref& setting) {
            Ref setting_value = exact_item(setting, "Value"_py);
            if (!setting_value) return false;
            value = setting_value;
            return true;
        });
    });
}

// list(map(function, items)), run by builtins.
Ref map_over(PyObject* function, const Ref& items) {
    static Lazy builtin_map_function;
    PyObject* builtin_map = builtin_map_function.get([] { return attr(import_module("builtins"_py), "map"_py); });
    return Ref::steal(PySequence_List(call(builtin_map, function, items).get()));
}

// All the keys of dicts, by builtins: list(itertools.chain.from_iterable(dicts)).
Ref keys_of(const Ref& dicts) {
    static Lazy chain_function;
    PyObject* from_iterable = chain_function.get([] {
        return attr(attr(import_module("itertools"_py), "chain"_py), "from_iterable"_py);
    });
    return Ref::steal(PySequence_List(call(from_iterable, dicts).get()));
}

// The one type of all the items, by builtins: set(map(type, items)).
bool all_of_type(const Ref& items, PyTypeObject* type) {
    Ref types = Ref::steal(PySet_New(map_over(reinterpret_cast<PyObject*>(&PyType_Type), items).get()));
    return PySet_GET_SIZE(types.get()) == 1 &&
           require(PySet_Contains(types.get(), reinterpret_cast<PyObject*>(type))) == 1;
}

// PyPy: C objects for ten thousand family dicts and their names cost far
// more than the walk. When every family is an exact dict with an exact str
// "Name", builtins take and join the names at once, and only the families
// whose name matches are read from C. Nothing there runs Python code, so
// the order of the reads cannot show.
struct FamilyNames {
    Ref families;        // the exact list they were taken from
    JoinedNames names;   // their "Name"s
};

// Empty when the families do not suit it (the caller then walks them the
// plain way, from the start).
std::optional<FamilyNames> join_family_names(const Ref& families) {
    static Lazy name_getter_function;
    PyObject* name_getter = name_getter_function.get([] {
        return call(attr(import_module("operator"_py), "itemgetter"_py), "Name"_py);
    });
    if (!PyList_CheckExact(families.get())) return std::nullopt;
    const Py_ssize_t count = PyList_GET_SIZE(families.get());
    if (count == 0 || !all_of_type(families, &PyDict_Type)) return std::nullopt;
    // The look-ups of "Name" below run no Python code only among exact str keys.
    Ref keys = keys_of(families);
    if (PyList_GET_SIZE(keys.get()) > 0 && !all_of_type(keys, &PyUnicode_Type)) return std::nullopt;
    Ref names;
    try {
        names = map_over(name_getter, families);
    } catch (const PyError&) {   // a family without "Name": the plain walk raises it in its place
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw;
        PyErr_Clear();
        return std::nullopt;
    }
    if (PyList_GET_SIZE(names.get()) != count || !all_of_type(names, &PyUnicode_Type)) return std::nullopt;
    std::optional<JoinedNames> joined = JoinedNames::of(names);
    if (!joined) return std::nullopt;
    return FamilyNames{families, std::move(*joined)};
}

std::optional<Ref> find_in_family_names(const FamilyNames& family_names, PyObject* family_name,
                                        PyObject* setting_name) {
    const std::optional<std::string_view> wanted =
        PyUnicode_CheckExact(family_name) ? utf8(family_name) : std::nullopt;
    if (!wanted) return std::nullopt;
    Ref value = none();
    const bool exact = family_names.names.each([&](Py_ssize_t index, std::string_view name) {
        return name != *wanted || read_family_exactly(item(family_names.families, index), setting_name, value);
    });
    if (!exact) return std::nullopt;
    return value;
}
#endif

// The "Value" of every setting `setting_name` in sub-family "PATH" of every
// family `family_name`. No loop stops at a match: the last one wins.
// `joined` keeps PyPy's joined names for the next walk of the same
// document, valid while nothing but exact reads happened in between.
Ref find_solver_path(PyObject* settings, PyObject* family_name, PyObject* setting_name,
                     [[maybe_unused]] std::optional<FamilyNames>& joined) {
    Ref families = item_of(settings, "Families"_py);
#ifdef PYPY_VERSION
    if (!PyDict_CheckExact(settings) || !joined || joined->families.get() != families.get()) {
        joined = join_family_names(families);
    }
    if (joined) {
        if (std::optional<Ref> found = find_in_family_names(*joined, family_name, setting_name)) return *found;
    }
    joined.reset();   // the plain walk may run Python code
#endif
    Ref value = none();
    for_each_item(families, [&](const Ref& family) {
        if (same_text(item_of(family, "Name"_py), family_name)) read_family(family, setting_name, value);
    });
    return value;
}

}  // namespace

Ref FindSolverPaths(PyObject* settings) {
    std::optional<FamilyNames> joined;
    Ref aster_path = find_solver_path(settings, "ASTER"_py, "WINDOWS SOLVER PATH"_py, joined);
    Ref pipestress_path = find_solver_path(settings, "PIPESTRESS"_py, "SOLVER PATH"_py, joined);
    if (equals(aster_path, ""_py)) aster_path = none();
    if (equals(pipestress_path, ""_py)) pipestress_path = none();
    return tuple(aster_path, pipestress_path);
}

Ref FindDataProjectPaths(PyObject* data_sources) {
    Ref data_path = subscript(data_sources, "CurrentDatasDirectory"_py);
    Ref project_path = subscript(data_sources, "CurrentProjectsDirectory"_py);
    return tuple(data_path, project_path);
}

}  // namespace dralvex::functions
