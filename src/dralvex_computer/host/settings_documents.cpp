// Readers of the two parsed settings documents.
#include "module/api.hpp"
#include "module/bodies.hpp"

namespace dralvex::functions {

namespace {

// The "Value" of every setting `setting_name` in sub-family "PATH" of every
// family `family_name`. No loop stops at a match: the last one wins.
Ref find_solver_path(PyObject* settings, PyObject* family_name, PyObject* setting_name) {
    Ref value = none();
    for_each(subscript(settings, "Families"_py), [&](const Ref& family) {
        if (!equals(subscript(family, "Name"_py), family_name)) return;
        for_each(subscript(family, "SubFamilies"_py), [&](const Ref& sub_family) {
            if (!equals(subscript(sub_family, "Name"_py), "PATH"_py)) return;
            for_each(subscript(sub_family, "Settings"_py), [&](const Ref& setting) {
                if (equals(subscript(setting, "Name"_py), setting_name)) value = subscript(setting, "Value"_py);
            });
        });
    });
    return value;
}

}  // namespace

Ref FindSolverPaths(PyObject* settings) {
    Ref aster_path = find_solver_path(settings, "ASTER"_py, "WINDOWS SOLVER PATH"_py);
    Ref pipestress_path = find_solver_path(settings, "PIPESTRESS"_py, "SOLVER PATH"_py);
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
