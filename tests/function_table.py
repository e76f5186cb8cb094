"""The module's functions as its users see them: parameters and docstring
text, in the order the module creates them."""

FUNCTIONS = [
    ("setup_dralvex_computer", ("ductavo_installation_directory", "dralvexModule"), [
        "Setup the Dralvex Computer by defining its installation's directory and the module to use.",
        "Example : ",
        "",
        "   import dralvex_computer as cc",
        '   valid = cc.setup_dralvex_computer("C:\\Program Files\\Dralvex\\Ductavo 20XX.Y", cc.DralvexModule.Ductavo)',
        "",
        "dralvexModule can be:",
        "- cc.DralvexModule.All",
        "- cc.DralvexModule.Ductavo",
        "- cc.DralvexModule.Framavo"]),
    ("load_dll", ("dllname",), ["Load a .NET DLL from assembly name."]),
    ("load_dll_c", ("dllname",), ["Load a C++ DLL from name.", "For internal use only."]),
    ("FindSolverPaths", ("settings",), [
        "Return the path of Aster solver and PipeStress solver in the current settings json object.",
        "None if not defined."]),
    ("FindDataProjectPaths", ("dataSources",), [
        "Return the path of the datas and of the projets in the current settings json object."]),
    ("loadStrale", ("straleFilename",), [
        "Load a straLe based on its filename.", "Return the straLe class if exists. None otherwise."]),
    ("saveStrale", ("strale", "straleFilename"), [
        "Save the strale with its filename. It will also save a fre file with the same name."]),
    ("getStrale", ("directory",), [
        "Return the first strale filename in the directory or empty string if doesn't exist."]),
    ("createStrale", ("module",), ["For internal use."]),
    ("createPipingStrale", (), ["Return an empty piping model with layer 0."]),
    ("createStructureStrale", (), ["Return an empty structure model with layer 0."]),
    ("solve", ("filename", "solvername", "sandbox"), [
        "Solve a piping/structure straLe with use of a solver in a sandbox or not.",
        "solvername can be 'Aster' or 'PipeStress'.",
        "The path of the selected solver must exist in Ductavo's settings.",
        "Return a Solution object or None if invalid filename or solvername."]),
    ("disposeSolution", (), ["Close the solution file and free the memory."]),
    ("solvePipingModel", ("strale", "straleFilename", "solvername", "directory"), [
        "Solve a piping straLe with use of a solver.",
        "solvername can be 'Aster' or 'PipeStress'.",
        "The path of the selected solver must exist in Ductavo's settings.",
        "Return a Solution object."]),
    ("solveStructureModel", ("strale", "straleFilename", "directory"), [
        "Solve a structure straLe with use of a Aster solver.",
        "The path of Aster solver must exist in Ductavo's settings.",
        "Return a Solution object."]),
    ("_PipeStressSolve", ("strale", "straleFilename", "directory"), [
        "Private method.", "Solve a strale with PipeStress solver in directory.",
        "Global _PipeStress_ path exists.", "Fill the global variable _Solution_ "]),
    ("_AsterSolve", ("strale", "straleFilename", "directory"), [
        "Private method.", "Solve a strale with Aster solver in directory.",
        "Global _Aster_ path exists.", "Fill the global variable _Solution_ "]),
    ("find_first_file", ("directory", "ext"), [
        "Return the first file with extension = ext in directory or empty string if not exists."]),
    ("copyDirectoryToTemp", ("directory",), [
        "Return a unic temporary directory with all the content of directory.",
        "Return an empty string if a problem occurs."]),
    ("inspectClass", ("instance", "indent"), [
        "Return a json structure with all properties and public method of an instance or a class.",
        "indent = True for indented json"]),
    ("findNameSpaceAndAssembly", ("className",), [
        "Return the c# namespace and assembly of a className.",
        "Return None if doesn't exists in Ductavo installation."]),
    ("writeFreFile", ("strale", "straleFilename"), [
        "Write the fre file corresponding to the strale in the directory with respect of the settings."]),
    ("createCommand", ("commandName", "strale"), ["Create a custom command based on its name."]),
    ("executeCommand", ("command",), [
        "Execute the custom command on current straLe. You need to save the straLe manually!"]),
    ("addProjectFolder", ("directory", "folderName"), [
        "Add a project folder in directory. Return the folder path or an empty string if already exist or problem."]),
    ("removeProjectFolder", ("folderDirectory",), ["Try to remove a folder by its path."]),
    ("addProject", ("directory", "projectName", "studyName", "screenWidth", "screenheight", "module"),
     ["For internal use."]),
    ("addPipingProject", ("directory", "projectName", "studyName", "screenWidth", "screenheight"), [
        "Add a project (projectName) with a piping study (studyName). Return the project directory if succed, "
        "empty string otherwise."]),
    ("addStructureProject", ("directory", "projectName", "studyName", "screenWidth", "screenheight"), [
        "Add a project (projectName) with a structure study (studyName). Return the project directory if succed, "
        "empty string otherwise."]),
    ("removeProject", ("projectDirectory",), ["Try to remove a project by its path."]),
    ("addStudy", ("projectDirectory", "studyName", "screenWidth", "screenheight", "module"), ["For internal use."]),
    ("addPipingStudy", ("projectDirectory", "studyName", "screenWidth", "screenheight"), [
        "Add a piping study (studyName) in project (projectDirectory). Return a StudyModel if no problem or None "
        "otherwise."]),
    ("addStructureStudy", ("projectDirectory", "studyName", "screenWidth", "screenheight"), [
        "Add a structure study (studyName) in project (projectDirectory). Return a StudyModel if no problem or "
        "None otherwise."]),
    ("removeStudy", ("projectDirectory", "studyName"), [
        "Try to delete the study (studyName) in project (projectDirectory). There must be at least one study in "
        "the project."]),
    ("duplicateStudy", ("projectDirectory", "studyName", "copyStudyName"), [
        "Duplicate a study (studyName) in project (projectDirectory). The duplicated study will have copyStudyName "
        "as name if possible."]),
]

PARAMETERS = {name: parameters for name, parameters, _ in FUNCTIONS}
