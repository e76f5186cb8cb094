// solve, solvePipingModel and solveStructureModel: argument checks, the
// sandbox, dispatch by model kind, and one joined worker thread per run.
#include "module/bodies.hpp"
#include "runtime/api.hpp"
#include "shared/files.hpp"
#include "shared/installation.hpp"

namespace dralvex::functions {

namespace {

// A thread named by the runner global, started and joined at once; the
// runner's outcome is read from _Solution_ afterwards.
Ref run_on_worker_thread(CalledByName runner, PyObject* strale, PyObject* strale_filename, PyObject* directory) {
    Ref thread_type = attr(global("threading"_py), "Thread"_py);
    Ref options = keywords({{"target"_py, global(runner)}, {"args"_py, tuple(strale, strale_filename, directory)}});
    Ref sta_thread = call_with_keywords(thread_type, options);
    // Same as setDaemon(True), which newer interpreters deprecate.
    set_attr(sta_thread, "daemon"_py, Py_True);
    call_method(sta_thread, "start"_py);
    call_method(sta_thread, "join"_py);
    return global("_Solution_"_py);
}

// isinstance(strale.CalculationCode, Code), each name read in that order
bool is_code(Obj strale, Obj code_type) {
    Ref isinstance = global("isinstance"_py);
    Ref calculation_code = attr(strale, "CalculationCode"_py);
    return truth(call(isinstance, calculation_code, code_type));
}

void check_model(PyObject* strale, PyObject* code_name, PyObject* message) {
    require_setup();
    if (equals_none(strale)) raise(Call{global("OSError"_py), "Invalid strale."_py});
    Ref code_type = type_from_assembly(ductavo_core_assembly(), code_name);
    if (!is_code(strale, code_type)) raise(Call{global("OSError"_py), message});
}

Ref run_aster(PyObject* strale, PyObject* strale_filename, PyObject* directory) {
    if (equals_none(global("_Aster_"_py))) return none();
    load_assembly(sdk_assembly());
    load_assembly(helper_assembly());
    load_assembly(aster_assembly());
    return run_on_worker_thread(by_name::AsterSolve, strale, strale_filename, directory);
}

Ref run_pipestress(PyObject* strale, PyObject* strale_filename, PyObject* directory) {
    if (equals_none(global("_PipeStress_"_py))) return none();
    load_assembly(sdk_assembly());
    load_assembly(pipestress_assembly());
    return run_on_worker_thread(by_name::PipeStressSolve, strale, strale_filename, directory);
}

// The directory part of a path, or the current directory for a bare name.
Ref directory_of(PyObject* filename) {
    Ref directory = os_path("dirname"_py, filename);
    if (!truth(directory)) directory = attr(global("os"_py), "curdir"_py);
    return directory;
}

// shutil.copy(source, os.path.join(directory, os.path.basename(source)))
void copy_into(const Ref& directory, Obj source) {
    Call{attr(global("shutil"_py), "copy"_py), source,
         Call{os_path_function("join"_py), directory, Call{os_path_function("basename"_py), source}}};
}

// A new run directory receives the model document, its input file and the
// .thf file. On failure the new directory is removed: nothing else names it
// yet.
Ref fill_run_directory(const Ref& directory, PyObject* filename, const Ref& frefilename, bool fallback_fre,
                       const Ref& thffile) {
    call_method(global("os"_py), "makedirs"_py, directory);
    const Ref made = directory_identity(directory);
    Ref strale_filename;
    with_rollback(
        [&] {
            strale_filename = Call{os_path_function("join"_py), directory, Call{os_path_function("basename"_py), filename}};
            call_method(global("shutil"_py), "copy"_py, filename, strale_filename);
            if (path_exists(frefilename)) {
                if (fallback_fre) warn_if_fre_file_shared(frefilename, filename);
                copy_into(directory, frefilename);
            }
            if (path_exists(thffile)) copy_into(directory, thffile);
        },
        [&] { remove_tree_quietly(directory, made); });
    set_global("_tempDirectory_"_py, directory);
    return strale_filename;
}

}  // namespace

Ref solve(PyObject* filename, PyObject* solvername, PyObject* sandbox) {
    require_setup();
    if (!path_exists(filename)) {
        print("Invalid filename"_py);
        return none();
    }
    call_global(by_name::disposeSolution);

    Ref strale_filename = Ref::borrow(filename);
    const FreFile fre = fre_file_beside(filename);
    const Ref& frefilename = fre.path;
    const bool fallback_fre = fre.fallback;
    Ref thffile = Call{global(by_name::find_first_file), directory_of(filename), ".thf"_py};
    Ref directory = truth(sandbox) ? unique_temporary_path() : directory_of(filename);
    if (!path_exists(directory)) strale_filename = fill_run_directory(directory, filename, frefilename, fallback_fre, thffile);

    Ref strale = call_global(by_name::loadStrale, strale_filename);
    if (!differs_from_none(strale)) {
        print("Invalid strale"_py);
        return none();
    }
    auto [piping_code_type, structure_code_type] =
        types_from_assembly(ductavo_core_assembly(), "PipingCode"_py, "StructureCode"_py);
    if (is_code(strale, piping_code_type)) {
        call_global(by_name::solvePipingModel, strale, strale_filename, solvername, directory);
        return global("_Solution_"_py);
    }
    if (is_code(strale, structure_code_type)) {
        call_global(by_name::solveStructureModel, strale, strale_filename, directory);
        return global("_Solution_"_py);
    }
    return none();
}

Ref solvePipingModel(PyObject* strale, PyObject* strale_filename, PyObject* solvername,
                     PyObject* directory) {
    check_model(strale, "PipingCode"_py, "The strale is not a piping model."_py);
    set_global("_Solution_"_py, Py_None);
    if (equals(solvername, "Aster"_py)) return run_aster(strale, strale_filename, directory);
    if (equals(solvername, "PipeStress"_py)) return run_pipestress(strale, strale_filename, directory);
    print("Invalid solver name. use 'Aster' or 'PipeStress'."_py);
    return none();
}

Ref solveStructureModel(PyObject* strale, PyObject* strale_filename, PyObject* directory) {
    check_model(strale, "StructureCode"_py, "The strale is not a structure model."_py);
    set_global("_Solution_"_py, Py_None);
    return run_aster(strale, strale_filename, directory);
}

}  // namespace dralvex::functions
