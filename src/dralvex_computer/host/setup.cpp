// setup_dralvex_computer: culture, installation checks, settings, and the
// host application object with its command controller.
#include "module/bodies.hpp"
#include "runtime/api.hpp"
#include "shared/files.hpp"
#include "shared/installation.hpp"

namespace dralvex::functions {

namespace {

// if not os.path.exists(<path>): raise FileNotFoundError(f"The directory '{<path>}' does not exist.")
// `path` reads the value at each of its two uses, as the statement does,
// each time after the callee.
template <class Path>
void require_exists(Path&& path, Where where = Where::current()) {
    if (truth(Call{At(os_path_function("exists"_py, where), where), path()}, where)) return;
    Ref exception_type = global("FileNotFoundError"_py, where);
    raise(Call{At(exception_type, where), concat({"The directory '"_py, text(path(), where), "' does not exist."_py}, where)},
          where);
}

// with open(<global>, "r", encoding="utf-8") as f: return json.load(f)
// `open` is read before the global, as Python evaluates a call.
Ref load_json(PyObject* path_global) {
    Ref open = global("open"_py);
    Ref path = global(path_global);
    Ref file = call_object(open, tuple(path, "r"_py), keywords({{"encoding"_py, "utf-8"_py}}).get());
    Ref document;
    with_context(file, [&](const Ref& f) { document = call_method(global("json"_py), "load"_py, f); });
    return document;
}

// Once the installation has its "Extensions" directory: the assemblies and
// the two host objects.
void create_host_objects() {
    Ref dralvex_application_type = type_from_assembly(sdk_assembly(), "DralvexApplication"_py);
    set_global("_Application_"_py, call(dralvex_application_type));
    Ref command_controller_type =
        type_from_assembly(ductavo_core_assembly(), "CommandController"_py);
    set_global("_commandController_"_py, call(command_controller_type));
    Call{attr(global("_commandController_"_py), "SetApplication"_py), global("_Application_"_py)};
}

// Steps after the existence checks: paths, settings, and the host objects.
void replace_installation(PyObject* ductavo_installation_directory) {
    set_global("_exePath_"_py, ductavo_installation_directory);
    set_global("_dllPath_"_py, os_path("join"_py, ductavo_installation_directory, "Extensions"_py));

    Ref settings = load_json("_settingsPath_"_py);
    auto [aster_path, pipestress_path] = unpack_pair(call_global(by_name::FindSolverPaths, settings));
    set_global("_Aster_"_py, aster_path);
    set_global("_PipeStress_"_py, pipestress_path);

    Ref data_sources = load_json("_dataSourcesPath_"_py);
    auto [data_path, project_path] = unpack_pair(call_global(by_name::FindDataProjectPaths, data_sources));
    set_global("_dataPath_"_py, data_path);
    set_global("_projectPath_"_py, project_path);

    set_global("_validSetup_"_py, Py_False);
    if (truth(Call{os_path_function("exists"_py), global("_dllPath_"_py)})) {
        // load_dll refuses to work until the module counts as set up.
        set_global("_validSetup_"_py, Py_True);
        create_host_objects();
    }
}

}  // namespace

// The module named by the second argument is not used: set-up is the same
// for every module.
Ref setup_dralvex_computer(PyObject* ductavo_installation_directory, [[maybe_unused]] PyObject* dralvex_module) {
    call_method(global("clr"_py), "AddReference"_py, "mscorlib"_py);
    Ref culture_info_type = import_from("System.Globalization"_py, "CultureInfo"_py);
    Ref thread_type = import_from("System.Threading"_py, "Thread"_py);
    set_global("_CultureInfo_"_py, call(culture_info_type, "en-US"_py));
    set_thread_culture(thread_type);

    require_exists([&] { return Ref::borrow(ductavo_installation_directory); });
    require_exists([] { return global("_settingsPath_"_py); });
    require_exists([] { return global("_dataSourcesPath_"_py); });

    // From here on the installation's globals are being replaced: a call
    // that fails part-way must not leave the module counted as set up.
    with_rollback([&] { replace_installation(ductavo_installation_directory); },
                  [] { set_global("_validSetup_"_py, Py_False); });
    return global("_validSetup_"_py);
}

}  // namespace dralvex::functions
