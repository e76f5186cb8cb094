"""Some of the module's functions written as the same steps in plain
Python: the baseline the benchmarks time against, and the reference the
tests compare the native fast paths with (importable from both as
dralvex_sim.plain)."""
import os


def find_data_project_paths(dataSources):
    return dataSources["CurrentDatasDirectory"], dataSources["CurrentProjectsDirectory"]


def find_solver_path(settings, family_name, setting_name):
    value = None
    for family in settings["Families"]:
        if family["Name"] == family_name:
            for sub_family in family["SubFamilies"]:
                if sub_family["Name"] == "PATH":
                    for setting in sub_family["Settings"]:
                        if setting["Name"] == setting_name:
                            value = setting["Value"]
    return value


def find_solver_paths(settings):
    aster = find_solver_path(settings, "ASTER", "WINDOWS SOLVER PATH")
    pipestress = find_solver_path(settings, "PIPESTRESS", "SOLVER PATH")
    return (None if aster == "" else aster), (None if pipestress == "" else pipestress)


def find_first_file(directory, ext):
    for f in os.listdir(directory):
        if f.lower().endswith(ext) and os.path.isfile(os.path.join(directory, f)):
            return os.path.join(directory, f)
    return ""
