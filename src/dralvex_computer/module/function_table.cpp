#include "module/function_table.hpp"

#include "module/bodies.hpp"

namespace dralvex {

namespace {

using namespace functions;

constexpr FunctionDescription descriptions[] = {
    describe<&setup_dralvex_computer>("setup_dralvex_computer", {"ductavo_installation_directory", "dralvexModule"},
        "Setup the Dralvex Computer by defining its installation's directory and the module to use.\n"
        "Example : \n"
        "\n"
        "   import dralvex_computer as cc\n"
        "   valid = cc.setup_dralvex_computer(\"C:\\Program Files\\Dralvex\\Ductavo 20XX.Y\", cc.DralvexModule.Ductavo)\n"
        "\n"
        "dralvexModule can be:\n"
        "- cc.DralvexModule.All\n"
        "- cc.DralvexModule.Ductavo\n"
        "- cc.DralvexModule.Framavo"),
    describe<&load_dll>("load_dll", {"dllname"},
        "Load a .NET DLL from assembly name."),
    describe<&load_dll_c>("load_dll_c", {"dllname"},
        "Load a C++ DLL from name.\n"
        "For internal use only."),
    describe<&FindSolverPaths>("FindSolverPaths", {"settings"},
        "Return the path of Aster solver and PipeStress solver in the current settings json object.\n"
        "None if not defined."),
    describe<&FindDataProjectPaths>("FindDataProjectPaths", {"dataSources"},
        "Return the path of the datas and of the projets in the current settings json object."),
    describe<&loadStrale>("loadStrale", {"straleFilename"},
        "Load a straLe based on its filename.\n"
        "Return the straLe class if exists. None otherwise."),
    describe<&saveStrale>("saveStrale", {"strale", "straleFilename"},
        "Save the strale with its filename. It will also save a fre file with the same name."),
    describe<&getStrale>("getStrale", {"directory"},
        "Return the first strale filename in the directory or empty string if doesn't exist."),
    describe<&createStrale>("createStrale", {"module"},
        "For internal use."),
    describe<&createPipingStrale>("createPipingStrale",
        "Return an empty piping model with layer 0."),
    describe<&createStructureStrale>("createStructureStrale",
        "Return an empty structure model with layer 0."),
    describe<&solve>("solve", {"filename", "solvername", "sandbox"},
        "Solve a piping/structure straLe with use of a solver in a sandbox or not.\n"
        "solvername can be 'Aster' or 'PipeStress'.\n"
        "The path of the selected solver must exist in Ductavo's settings.\n"
        "Return a Solution object or None if invalid filename or solvername."),
    describe<&disposeSolution>("disposeSolution",
        "Close the solution file and free the memory."),
    describe<&solvePipingModel>("solvePipingModel", {"strale", "straleFilename", "solvername", "directory"},
        "Solve a piping straLe with use of a solver.\n"
        "solvername can be 'Aster' or 'PipeStress'.\n"
        "The path of the selected solver must exist in Ductavo's settings.\n"
        "Return a Solution object."),
    describe<&solveStructureModel>("solveStructureModel", {"strale", "straleFilename", "directory"},
        "Solve a structure straLe with use of a Aster solver.\n"
        "The path of Aster solver must exist in Ductavo's settings.\n"
        "Return a Solution object."),
    describe<&PipeStressSolve>("_PipeStressSolve", {"strale", "straleFilename", "directory"},
        "Private method.\n"
        "Solve a strale with PipeStress solver in directory.\n"
        "Global _PipeStress_ path exists.\n"
        "Fill the global variable _Solution_ "),
    describe<&AsterSolve>("_AsterSolve", {"strale", "straleFilename", "directory"},
        "Private method.\n"
        "Solve a strale with Aster solver in directory.\n"
        "Global _Aster_ path exists.\n"
        "Fill the global variable _Solution_ "),
    describe<&find_first_file>("find_first_file", {"directory", "ext"},
        "Return the first file with extension = ext in directory or empty string if not exists."),
    describe<&copyDirectoryToTemp>("copyDirectoryToTemp", {"directory"},
        "Return a unic temporary directory with all the content of directory.\n"
        "Return an empty string if a problem occurs."),
    describe<&inspectClass>("inspectClass", {"instance", "indent"},
        "Return a json structure with all properties and public method of an instance or a class.\n"
        "indent = True for indented json"),
    describe<&findNameSpaceAndAssembly>("findNameSpaceAndAssembly", {"className"},
        "Return the c# namespace and assembly of a className.\n"
        "Return None if doesn't exists in Ductavo installation."),
    describe<&writeFreFile>("writeFreFile", {"strale", "straleFilename"},
        "Write the fre file corresponding to the strale in the directory with respect of the settings."),
    describe<&createCommand>("createCommand", {"commandName", "strale"},
        "Create a custom command based on its name."),
    describe<&executeCommand>("executeCommand", {"command"},
        "Execute the custom command on current straLe. You need to save the straLe manually!"),
    describe<&addProjectFolder>("addProjectFolder", {"directory", "folderName"},
        "Add a project folder in directory. Return the folder path or an empty string if already exist or problem."),
    describe<&removeProjectFolder>("removeProjectFolder", {"folderDirectory"},
        "Try to remove a folder by its path."),
    describe<&addProject>("addProject", {"directory", "projectName", "studyName", "screenWidth", "screenheight", "module"},
        "For internal use."),
    describe<&addPipingProject>("addPipingProject", {"directory", "projectName", "studyName", "screenWidth", "screenheight"},
        "Add a project (projectName) with a piping study (studyName). Return the project directory if succed, empty string otherwise."),
    describe<&addStructureProject>("addStructureProject", {"directory", "projectName", "studyName", "screenWidth", "screenheight"},
        "Add a project (projectName) with a structure study (studyName). Return the project directory if succed, empty string otherwise."),
    describe<&removeProject>("removeProject", {"projectDirectory"},
        "Try to remove a project by its path."),
    describe<&addStudy>("addStudy", {"projectDirectory", "studyName", "screenWidth", "screenheight", "module"},
        "For internal use."),
    describe<&addPipingStudy>("addPipingStudy", {"projectDirectory", "studyName", "screenWidth", "screenheight"},
        "Add a piping study (studyName) in project (projectDirectory). Return a StudyModel if no problem or None otherwise."),
    describe<&addStructureStudy>("addStructureStudy", {"projectDirectory", "studyName", "screenWidth", "screenheight"},
        "Add a structure study (studyName) in project (projectDirectory). Return a StudyModel if no problem or None otherwise."),
    describe<&removeStudy>("removeStudy", {"projectDirectory", "studyName"},
        "Try to delete the study (studyName) in project (projectDirectory). There must be at least one study in the project."),
    describe<&duplicateStudy>("duplicateStudy", {"projectDirectory", "studyName", "copyStudyName"},
        "Duplicate a study (studyName) in project (projectDirectory). The duplicated study will have copyStudyName as name if possible."),
};

}  // namespace

const std::span<const FunctionDescription> function_table{descriptions};

}  // namespace dralvex
