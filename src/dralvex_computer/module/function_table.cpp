#include "module/function_table.hpp"

#include "module/bodies.hpp"

namespace dralvex {

namespace {
using P = std::array<const char*, max_parameters>;

constexpr FunctionDescription def(const char* name, P parameters, const char* text, Body body,
                           Where defined = Where::current()) {
    return FunctionDescription{name, parameters, text, body, defined};
}
}  // namespace

using namespace functions;

const std::array<FunctionDescription, 35> function_table = {{
    def("setup_dralvex_computer", {"ductavo_installation_directory", "dralvexModule"},
        "Setup the Dralvex Computer by defining its installation's directory and the module to use.\n"
        "Example : \n"
        "\n"
        "   import dralvex_computer as cc\n"
        "   valid = cc.setup_dralvex_computer(\"C:\\Program Files\\Dralvex\\Ductavo 20XX.Y\", cc.DralvexModule.Ductavo)\n"
        "\n"
        "dralvexModule can be:\n"
        "- cc.DralvexModule.All\n"
        "- cc.DralvexModule.Ductavo\n"
        "- cc.DralvexModule.Framavo",
        setup_dralvex_computer),
    def("load_dll", {"dllname"},
        "Load a .NET DLL from assembly name.",
        load_dll),
    def("load_dll_c", {"dllname"},
        "Load a C++ DLL from name.\n"
        "For internal use only.",
        load_dll_c),
    def("FindSolverPaths", {"settings"},
        "Return the path of Aster solver and PipeStress solver in the current settings json object.\n"
        "None if not defined.",
        FindSolverPaths),
    def("FindDataProjectPaths", {"dataSources"},
        "Return the path of the datas and of the projets in the current settings json object.",
        FindDataProjectPaths),
    def("loadStrale", {"straleFilename"},
        "Load a straLe based on its filename.\n"
        "Return the straLe class if exists. None otherwise.",
        loadStrale),
    def("saveStrale", {"strale", "straleFilename"},
        "Save the strale with its filename. It will also save a fre file with the same name.",
        saveStrale),
    def("getStrale", {"directory"},
        "Return the first strale filename in the directory or empty string if doesn't exist.",
        getStrale),
    def("createStrale", {"module"},
        "For internal use.",
        createStrale),
    def("createPipingStrale", {},
        "Return an empty piping model with layer 0.",
        createPipingStrale),
    def("createStructureStrale", {},
        "Return an empty structure model with layer 0.",
        createStructureStrale),
    def("solve", {"filename", "solvername", "sandbox"},
        "Solve a piping/structure straLe with use of a solver in a sandbox or not.\n"
        "solvername can be 'Aster' or 'PipeStress'.\n"
        "The path of the selected solver must exist in Ductavo's settings.\n"
        "Return a Solution object or None if invalid filename or solvername.",
        solve),
    def("disposeSolution", {},
        "Close the solution file and free the memory.",
        disposeSolution),
    def("solvePipingModel", {"strale", "straleFilename", "solvername", "directory"},
        "Solve a piping straLe with use of a solver.\n"
        "solvername can be 'Aster' or 'PipeStress'.\n"
        "The path of the selected solver must exist in Ductavo's settings.\n"
        "Return a Solution object.",
        solvePipingModel),
    def("solveStructureModel", {"strale", "straleFilename", "directory"},
        "Solve a structure straLe with use of a Aster solver.\n"
        "The path of Aster solver must exist in Ductavo's settings.\n"
        "Return a Solution object.",
        solveStructureModel),
    def("_PipeStressSolve", {"strale", "straleFilename", "directory"},
        "Private method.\n"
        "Solve a strale with PipeStress solver in directory.\n"
        "Global _PipeStress_ path exists.\n"
        "Fill the global variable _Solution_ ",
        PipeStressSolve),
    def("_AsterSolve", {"strale", "straleFilename", "directory"},
        "Private method.\n"
        "Solve a strale with Aster solver in directory.\n"
        "Global _Aster_ path exists.\n"
        "Fill the global variable _Solution_ ",
        AsterSolve),
    def("find_first_file", {"directory", "ext"},
        "Return the first file with extension = ext in directory or empty string if not exists.",
        find_first_file),
    def("copyDirectoryToTemp", {"directory"},
        "Return a unic temporary directory with all the content of directory.\n"
        "Return an empty string if a problem occurs.",
        copyDirectoryToTemp),
    def("inspectClass", {"instance", "indent"},
        "Return a json structure with all properties and public method of an instance or a class.\n"
        "indent = True for indented json",
        inspectClass),
    def("findNameSpaceAndAssembly", {"className"},
        "Return the c# namespace and assembly of a className.\n"
        "Return None if doesn't exists in Ductavo installation.",
        findNameSpaceAndAssembly),
    def("writeFreFile", {"strale", "straleFilename"},
        "Write the fre file corresponding to the strale in the directory with respect of the settings.",
        writeFreFile),
    def("createCommand", {"commandName", "strale"},
        "Create a custom command based on its name.",
        createCommand),
    def("executeCommand", {"command"},
        "Execute the custom command on current straLe. You need to save the straLe manually!",
        executeCommand),
    def("addProjectFolder", {"directory", "folderName"},
        "Add a project folder in directory. Return the folder path or an empty string if already exist or problem.",
        addProjectFolder),
    def("removeProjectFolder", {"folderDirectory"},
        "Try to remove a folder by its path.",
        removeProjectFolder),
    def("addProject", {"directory", "projectName", "studyName", "screenWidth", "screenheight", "module"},
        "For internal use.",
        addProject),
    def("addPipingProject", {"directory", "projectName", "studyName", "screenWidth", "screenheight"},
        "Add a project (projectName) with a piping study (studyName). Return the project directory if succed, empty string otherwise.",
        addPipingProject),
    def("addStructureProject", {"directory", "projectName", "studyName", "screenWidth", "screenheight"},
        "Add a project (projectName) with a structure study (studyName). Return the project directory if succed, empty string otherwise.",
        addStructureProject),
    def("removeProject", {"projectDirectory"},
        "Try to remove a project by its path.",
        removeProject),
    def("addStudy", {"projectDirectory", "studyName", "screenWidth", "screenheight", "module"},
        "For internal use.",
        addStudy),
    def("addPipingStudy", {"projectDirectory", "studyName", "screenWidth", "screenheight"},
        "Add a piping study (studyName) in project (projectDirectory). Return a StudyModel if no problem or None otherwise.",
        addPipingStudy),
    def("addStructureStudy", {"projectDirectory", "studyName", "screenWidth", "screenheight"},
        "Add a structure study (studyName) in project (projectDirectory). Return a StudyModel if no problem or None otherwise.",
        addStructureStudy),
    def("removeStudy", {"projectDirectory", "studyName"},
        "Try to delete the study (studyName) in project (projectDirectory). There must be at least one study in the project.",
        removeStudy),
    def("duplicateStudy", {"projectDirectory", "studyName", "copyStudyName"},
        "Duplicate a study (studyName) in project (projectDirectory). The duplicated study will have copyStudyName as name if possible.",
        duplicateStudy),
}};

}  // namespace dralvex
