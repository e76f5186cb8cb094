// The bodies of the module's functions, one declaration per table entry.
// Each lives in the file of its subsystem.
#pragma once

#include "module/function_table.hpp"

namespace dralvex::functions {

// host/
Ref setup_dralvex_computer(Args);
Ref load_dll(Args);
Ref load_dll_c(Args);
Ref FindSolverPaths(Args);
Ref FindDataProjectPaths(Args);

// documents/
Ref loadStrale(Args);
Ref saveStrale(Args);
Ref getStrale(Args);
Ref createStrale(Args);
Ref createPipingStrale(Args);
Ref createStructureStrale(Args);
Ref find_first_file(Args);
Ref copyDirectoryToTemp(Args);
Ref inspectClass(Args);
Ref findNameSpaceAndAssembly(Args);
Ref writeFreFile(Args);
Ref createCommand(Args);
Ref executeCommand(Args);

// solving/
Ref solve(Args);
Ref disposeSolution(Args);
Ref solvePipingModel(Args);
Ref solveStructureModel(Args);
Ref PipeStressSolve(Args);
Ref AsterSolve(Args);

// projects/
Ref addProjectFolder(Args);
Ref removeProjectFolder(Args);
Ref addProject(Args);
Ref addPipingProject(Args);
Ref addStructureProject(Args);
Ref removeProject(Args);
Ref addStudy(Args);
Ref addPipingStudy(Args);
Ref addStructureStudy(Args);
Ref removeStudy(Args);
Ref duplicateStudy(Args);

}  // namespace dralvex::functions
