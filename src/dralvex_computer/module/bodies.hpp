// The bodies of the module's functions, one per table entry, each taking
// its parameters in table order. Each lives in the file of its subsystem;
// the C++ name is the Python name (without a leading underscore, which C++
// reserves before a capital letter).
#pragma once

#include "runtime/refs.hpp"

namespace dralvex::functions {

// host/
Ref setup_dralvex_computer(PyObject* ductavo_installation_directory, PyObject* dralvexModule);
Ref load_dll(PyObject* dllname);
Ref load_dll_c(PyObject* dllname);
Ref FindSolverPaths(PyObject* settings);
Ref FindDataProjectPaths(PyObject* dataSources);

// documents/
Ref loadStrale(PyObject* straleFilename);
Ref saveStrale(PyObject* strale, PyObject* straleFilename);
Ref getStrale(PyObject* directory);
Ref createStrale(PyObject* module);
Ref createPipingStrale();
Ref createStructureStrale();
Ref find_first_file(PyObject* directory, PyObject* ext);
Ref copyDirectoryToTemp(PyObject* directory);
Ref inspectClass(PyObject* instance, PyObject* indent);
Ref findNameSpaceAndAssembly(PyObject* className);
Ref writeFreFile(PyObject* strale, PyObject* straleFilename);
Ref createCommand(PyObject* commandName, PyObject* strale);
Ref executeCommand(PyObject* command);

// solving/
Ref solve(PyObject* filename, PyObject* solvername, PyObject* sandbox);
Ref disposeSolution();
Ref solvePipingModel(PyObject* strale, PyObject* straleFilename, PyObject* solvername, PyObject* directory);
Ref solveStructureModel(PyObject* strale, PyObject* straleFilename, PyObject* directory);
Ref PipeStressSolve(PyObject* strale, PyObject* straleFilename, PyObject* directory);
Ref AsterSolve(PyObject* strale, PyObject* straleFilename, PyObject* directory);

// projects/
Ref addProjectFolder(PyObject* directory, PyObject* folderName);
Ref removeProjectFolder(PyObject* folderDirectory);
Ref addProject(PyObject* directory, PyObject* projectName, PyObject* studyName,
               PyObject* screenWidth, PyObject* screenheight, PyObject* module);
Ref addPipingProject(PyObject* directory, PyObject* projectName, PyObject* studyName,
                     PyObject* screenWidth, PyObject* screenheight);
Ref addStructureProject(PyObject* directory, PyObject* projectName, PyObject* studyName,
                        PyObject* screenWidth, PyObject* screenheight);
Ref removeProject(PyObject* projectDirectory);
Ref addStudy(PyObject* projectDirectory, PyObject* studyName, PyObject* screenWidth,
             PyObject* screenheight, PyObject* module);
Ref addPipingStudy(PyObject* projectDirectory, PyObject* studyName, PyObject* screenWidth, PyObject* screenheight);
Ref addStructureStudy(PyObject* projectDirectory, PyObject* studyName, PyObject* screenWidth,
                      PyObject* screenheight);
Ref removeStudy(PyObject* projectDirectory, PyObject* studyName);
Ref duplicateStudy(PyObject* projectDirectory, PyObject* studyName, PyObject* copyStudyName);

}  // namespace dralvex::functions
