// Readers of the two parsed settings documents.
#include "module/bodies.hpp"
#include "runtime/api.hpp"
#include "runtime/plain_data.hpp"

#include <optional>
#include <string_view>

namespace dralvex::functions {

namespace {

// The settings of sub-family "PATH" of one family: value = setting["Value"]
// for every setting named `setting_name`.
void read_family(const Ref& family, PyObject* setting_name, Ref& value) {
    for_each_item(item_of(family, "SubFamilies"_py), [&](const Ref& sub_family) {
        if (!text_equals(item_of(sub_family, "Name"_py), "PATH"_py)) return;
        for_each_item(item_of(sub_family, "Settings"_py), [&](const Ref& setting) {
            if (text_equals(item_of(setting, "Name"_py), setting_name)) value = item_of(setting, "Value"_py);
        });
    });
}

// PyPy: C objects for ten thousand family dicts and their names cost far
// more than the walk. When every family is an exact dict with exact str
// keys and an exact str "Name", the names are taken and joined at once
// (joined_texts_at), and only the families whose name matches are read from
// C. Nothing there runs Python code of the caller's, so the order of the
// reads cannot show. (Kept on PyPy alone: CPython reads each dict from C
// faster than Python would.)
struct FamilyNames {
    Ref families;        // the exact list they were taken from
    JoinedNames names;   // their "Name"s
};

#ifdef PYPY_VERSION
// for entry in container[key]: if entry["Name"] == name: found(entry) --
// on exact dicts, lists and str only; false as soon as anything else shows.
template <class Found>
bool for_each_named(const Ref& container, PyObject* key, PyObject* name, Found&& found) {
    Ref entries = plain_item(container, key);
    if (!entries || !is_exact_list(entries)) return false;
    for (Py_ssize_t index = 0; index < exact_list_length(entries); ++index) {
        Ref entry = item(entries, index);
        Ref entry_name = plain_item(entry, "Name"_py);
        if (!entry_name || !is_exact_str(entry_name)) return false;
        if (same_text(entry_name, name) && !found(entry)) return false;
    }
    return true;
}

// read_family on exact dicts, lists and str only, where reading runs no
// Python code; false (nothing raised) as soon as anything else shows.
bool read_family_exactly(const Ref& family, PyObject* setting_name, Ref& value) {
    return for_each_named(family, "SubFamilies"_py, "PATH"_py, [&](const Ref& sub_family) {
        return for_each_named(sub_family, "Settings"_py, setting_name, [&](const Ref& setting) {
            Ref setting_value = plain_item(setting, "Value"_py);
            if (!setting_value) return false;
            value = setting_value;
            return true;
        });
    });
}

// Empty when the families do not suit it (the caller then walks them the
// plain way, from the start).
std::optional<FamilyNames> join_family_names(const Ref& families) {
    if (!is_exact_list(families) || exact_list_length(families) == 0) return std::nullopt;
    // A family without "Name" gives none: the plain walk raises in its place.
    std::optional<JoinedNames> joined = joined_texts_at(families, "Name"_py);
    if (!joined) return std::nullopt;
    return FamilyNames{families, std::move(*joined)};
}

std::optional<Ref> find_in_family_names(const FamilyNames& family_names, PyObject* family_name,
                                        PyObject* setting_name) {
    const std::optional<std::string_view> wanted =
        is_exact_str(family_name) ? utf8(family_name) : std::nullopt;
    if (!wanted) return std::nullopt;
    Ref value = none();
    const bool exact = family_names.names.each_equal(*wanted, [&](Py_ssize_t index) {
        return read_family_exactly(item(family_names.families, index), setting_name, value);
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
    // The names joined for the previous walk hold only if looking "Families"
    // up again ran no Python code: an exact dict with exact str keys.
    const bool plain_document = is_plain_dict(settings);
    if (!plain_document || !joined || joined->families.get() != families.get()) {
        joined = join_family_names(families);
    }
    if (joined) {
        if (std::optional<Ref> found = find_in_family_names(*joined, family_name, setting_name)) return *found;
    }
    joined.reset();   // the plain walk may run Python code
#endif
    Ref value = none();
    for_each_item(families, [&](const Ref& family) {
        if (text_equals(item_of(family, "Name"_py), family_name)) read_family(family, setting_name, value);
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
