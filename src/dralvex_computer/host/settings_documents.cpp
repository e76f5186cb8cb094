// Readers of the two parsed settings documents.
#include "module/api.hpp"
#include "module/bodies.hpp"

namespace dralvex::functions {

namespace {

// The "Value" of every setting `setting_name` in sub-family "PATH" of every
// family `family_name`. No loop stops at a match: the last one wins.
Ref find_solver_path(PyObject* settings, PyObject* family_name, PyObject* setting_name) {
    Ref value = none();
    for_each(subscript(settings, "Families"_py), [&](const Ref& famille) {
        if (!equals(subscript(famille, "Name"_py), family_name)) return;
        for_each(subscript(famille, "SubFamilies"_py), [&](const Ref& sous_famille) {
            if (!equals(subscript(sous_famille, "Name"_py), "PATH"_py)) return;
            for_each(subscript(sous_famille, "Settings"_py), [&](const Ref& setting) {
                if (equals(subscript(setting, "Name"_py), setting_name)) value = subscript(setting, "Value"_py);
            });
        });
    });
    return value;
}

}  // namespace

Ref FindSolverPaths(PyObject* settings) {
    Ref Aster = find_solver_path(settings, "ASTER"_py, "WINDOWS SOLVER PATH"_py);
    Ref PipeStress = find_solver_path(settings, "PIPESTRESS"_py, "SOLVER PATH"_py);
    if (equals(Aster, ""_py)) Aster = none();
    if (equals(PipeStress, ""_py)) PipeStress = none();
    return tuple(Aster, PipeStress);
}

Ref FindDataProjectPaths(PyObject* dataSources) {
    Ref dataPath = subscript(dataSources, "CurrentDatasDirectory"_py);
    Ref projectPath = subscript(dataSources, "CurrentProjectsDirectory"_py);
    return tuple(dataPath, projectPath);
}

}  // namespace dralvex::functions
