"""What the package knows of the application's installation and of the
bridge it is reached through, written once. The package, the batch layer,
the command line and the doctor take these names from here."""

# The environment variable naming a `module:function` called before the
# native module is loaded, for a process that has no bridge of its own (the
# simulated platform: DRALVEX_COMPUTER_PREPARE=dralvex_sim.kit:activate).
PREPARE_VARIABLE = "DRALVEX_COMPUTER_PREPARE"
SIMULATED_PREPARE = "dralvex_sim.kit:activate"

# The bridge modules the native module imports at load, and the packages
# that provide them (on Windows with CPython; PyPy users bring their own).
BRIDGES = {"clr": "pythonnet", "pythoncom": "pywin32"}

# The application modules a set-up names (DralvexModule) and the solvers.
MODULES = ("All", "Ductavo", "Framavo")
SOLVERS = ("Aster", "PipeStress")

# The extension of a model document.
MODEL_EXTENSION = ".strale"

# The targets of the native module's solver threads.
SOLVER_THREADS = ("_PipeStressSolve", "_AsterSolve")

# What the set-up and the functions load from the installation's Extensions
# directory.
ASSEMBLIES = ("Dralvex.SDK.dll", "Dralvex.Ductavo.Core.dll", "Dralvex.Ductavo.Project.dll", "Dralvex.Helper.dll",
              "Dralvex.Aster.Core.dll", "Dralvex.PipeStress.Core.dll")
LIBRARIES = ("Dralvex.PipeStress.lib",)

# Where the application keeps its two settings documents, unless a script
# says otherwise (_settingsPath_, _dataSourcesPath_).
DEFAULT_SETTINGS = "C:\\ProgramData\\Dralvex\\Ductavo\\Settings\\Ductavo.settings"
DEFAULT_DATA_SOURCES = "C:\\ProgramData\\Dralvex\\Ductavo\\Settings\\DataSources.settings"
