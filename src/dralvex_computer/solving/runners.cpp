// The solver runners and disposeSolution. A runner is the body of a worker
// thread: it brackets its work with COM initialisation on that thread and
// leaves its outcome in the module global _Solution_.
#include "module/bodies.hpp"
#include "runtime/api.hpp"
#include "shared/files.hpp"
#include "shared/installation.hpp"

namespace dralvex::functions {

namespace {

// The frame of both runners:
//   _Solution_ = None
//   pythoncom.CoInitialize()
//   try: body() finally: pythoncom.CoUninitialize()
template <class Body>
void run_with_com(Body&& body) {
    set_global("_Solution_"_py, Py_None);
    call_method(global("pythoncom"_py), "CoInitialize"_py);
    with_finally(body, [] { call_method(global("pythoncom"_py), "CoUninitialize"_py); });
}

// The end of both runners: _Solution_ = Solution(None, solver) after a
// successful run; otherwise the solver is disposed, so that no solver is
// left holding its files open.
void keep_solution_or_dispose(bool succeeded, const Ref& solution_type, const Ref& solver) {
    if (succeeded) {
        set_global("_Solution_"_py, call(solution_type, Py_None, solver));
    } else {
        call_method(solver, "Dispose"_py);
    }
}

}  // namespace

Ref PipeStressSolve(PyObject* strale, PyObject* strale_filename, PyObject* directory) {
    run_with_com([&] {
        const FreFile fre = fre_file_in(directory, strale_filename);
        const Ref& frefile = fre.path;
        if (!path_exists(frefile)) {
            call_global(by_name::writeFreFile, strale, strale_filename);   // warns itself when it shares
        } else if (fre.fallback) {
            warn_if_fre_file_shared(frefile, strale_filename);
        }
        Ref thffile = call_global(by_name::find_first_file, directory, ".thf"_py);
        Ref pipe_stress_solver_type = import_from(pipestress_assembly().host_namespace, "PipeStressSolver"_py);
        Ref solution_type = import_from(ductavo_core_assembly().host_namespace, "Solution"_py);

        Ref solver = call(pipe_stress_solver_type, global("_PipeStress_"_py), strale, frefile, thffile);
        set_attr(solver, "IgnoreWarnings"_py, Py_True);
        // Without an analysis model no Solution takes the solver over.
        const bool succeeded = equals(call_method(solver, "Run"_py), integer(0)) &&
                               differs_from_none(call_method(solver, "GetAnalysisModel"_py));
        keep_solution_or_dispose(succeeded, solution_type, solver);
    });
    return none();
}

Ref AsterSolve(PyObject* strale, PyObject* strale_filename, PyObject* directory) {
    run_with_com([&] {
        Ref thffile = call_global(by_name::find_first_file, directory, ".thf"_py);
        call_method(global("clr"_py), "AddReference"_py, "mscorlib"_py);
        Ref thread_type = import_from("System.Threading"_py, "Thread"_py);
        set_thread_culture(thread_type);
        Ref aster_solver_type = import_from(aster_assembly().host_namespace, "AsterSolver"_py);
        Ref solution_type = import_from(ductavo_core_assembly().host_namespace, "Solution"_py);

        Ref keep_distant_models = boolean(false);
        Ref solver = call(aster_solver_type, global("_Aster_"_py), strale, strale_filename, thffile, Py_False);
        set_attr(solver, "IgnoreWarnings"_py, Py_True);
        // No run when the analysis model could not be built.
        const bool succeeded = !less(call_method(solver, "BuildAnalysisModel"_py, keep_distant_models), integer(0)) &&
                               equals(call_method(solver, "Run"_py), integer(0));
        keep_solution_or_dispose(succeeded, solution_type, solver);
    });
    return none();
}

Ref disposeSolution() {
    if (differs_from_none(global("_Solution_"_py))) {
        call_method(global("_Solution_"_py), "Dispose"_py);
        set_global("_Solution_"_py, Py_None);
    }
    // `_tempDirectory_` is read at each of its three uses, as the statement
    // `if _tempDirectory_ and os.path.isdir(_tempDirectory_): shutil.rmtree(_tempDirectory_)` does.
    catch_exception_as(
        [] {
            if (!truth(global("_tempDirectory_"_py))) return;
            if (!truth(Call{os_path_function("isdir"_py), global("_tempDirectory_"_py)})) return;
            Ref rmtree = attr(global("shutil"_py), "rmtree"_py);
            call(rmtree, global("_tempDirectory_"_py));
        },
        [](const Ref& error) { print("Impossible to delete temp directory :"_py, error); });
    return none();
}

}  // namespace dralvex::functions
