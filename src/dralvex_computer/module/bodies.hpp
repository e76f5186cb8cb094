// The bodies of the module's functions, one per table entry, each taking
// its parameters in table order. Each lives in the file of its subsystem;
// the C++ name is the Python name (without a leading underscore, which C++
// reserves before a capital letter). A body that another body calls has a
// handle in `by_name` beside it: the caller reaches it through the module's
// namespace, where a script may have replaced it.
#pragma once

#include "runtime/calls.hpp"
#include "runtime/refs.hpp"

namespace dralvex::functions {

// host/
Ref setup_dralvex_computer(PyObject* ductavo_installation_directory, PyObject* dralvex_module);
Ref load_dll(PyObject* dllname);
namespace by_name { inline constexpr ModuleFunction<"load_dll"> load_dll; }
Ref load_dll_c(PyObject* dllname);
Ref FindSolverPaths(PyObject* settings);
namespace by_name { inline constexpr ModuleFunction<"FindSolverPaths"> FindSolverPaths; }
Ref FindDataProjectPaths(PyObject* data_sources);
namespace by_name { inline constexpr ModuleFunction<"FindDataProjectPaths"> FindDataProjectPaths; }

// documents/
Ref loadStrale(PyObject* strale_filename);
namespace by_name { inline constexpr ModuleFunction<"loadStrale"> loadStrale; }
Ref saveStrale(PyObject* strale, PyObject* strale_filename);
Ref getStrale(PyObject* directory);
Ref createStrale(PyObject* module);
namespace by_name { inline constexpr ModuleFunction<"createStrale"> createStrale; }
Ref createPipingStrale();
Ref createStructureStrale();
Ref find_first_file(PyObject* directory, PyObject* ext);
namespace by_name { inline constexpr ModuleFunction<"find_first_file"> find_first_file; }
Ref copyDirectoryToTemp(PyObject* directory);
Ref inspectClass(PyObject* instance, PyObject* indent);
Ref findNameSpaceAndAssembly(PyObject* class_name);
Ref writeFreFile(PyObject* strale, PyObject* strale_filename);
namespace by_name { inline constexpr ModuleFunction<"writeFreFile"> writeFreFile; }
Ref createCommand(PyObject* command_name, PyObject* strale);
Ref executeCommand(PyObject* command);

// solving/
Ref solve(PyObject* filename, PyObject* solvername, PyObject* sandbox);
Ref disposeSolution();
namespace by_name { inline constexpr ModuleFunction<"disposeSolution"> disposeSolution; }
Ref solvePipingModel(PyObject* strale, PyObject* strale_filename, PyObject* solvername, PyObject* directory);
namespace by_name { inline constexpr ModuleFunction<"solvePipingModel"> solvePipingModel; }
Ref solveStructureModel(PyObject* strale, PyObject* strale_filename, PyObject* directory);
namespace by_name { inline constexpr ModuleFunction<"solveStructureModel"> solveStructureModel; }
Ref PipeStressSolve(PyObject* strale, PyObject* strale_filename, PyObject* directory);
namespace by_name { inline constexpr ModuleFunction<"_PipeStressSolve"> PipeStressSolve; }
Ref AsterSolve(PyObject* strale, PyObject* strale_filename, PyObject* directory);
namespace by_name { inline constexpr ModuleFunction<"_AsterSolve"> AsterSolve; }

// projects/
Ref addProjectFolder(PyObject* directory, PyObject* folder_name);
Ref removeProjectFolder(PyObject* folder_directory);
Ref addProject(PyObject* directory, PyObject* project_name, PyObject* study_name, PyObject* screen_width,
               PyObject* screenheight, PyObject* module);
namespace by_name { inline constexpr ModuleFunction<"addProject"> addProject; }
Ref addPipingProject(PyObject* directory, PyObject* project_name, PyObject* study_name, PyObject* screen_width,
                     PyObject* screenheight);
Ref addStructureProject(PyObject* directory, PyObject* project_name, PyObject* study_name, PyObject* screen_width,
                        PyObject* screenheight);
Ref removeProject(PyObject* project_directory);
Ref addStudy(PyObject* project_directory, PyObject* study_name, PyObject* screen_width, PyObject* screenheight,
             PyObject* module);
namespace by_name { inline constexpr ModuleFunction<"addStudy"> addStudy; }
Ref addPipingStudy(PyObject* project_directory, PyObject* study_name, PyObject* screen_width, PyObject* screenheight);
Ref addStructureStudy(PyObject* project_directory, PyObject* study_name, PyObject* screen_width,
                      PyObject* screenheight);
Ref removeStudy(PyObject* project_directory, PyObject* study_name);
Ref duplicateStudy(PyObject* project_directory, PyObject* study_name, PyObject* copy_study_name);

}  // namespace dralvex::functions
