import pytest

from conftest import core


def family(name, *sub_families):
    return {"Name": name, "SubFamilies": list(sub_families)}


def sub(name, **settings):
    return {"Name": name, "Settings": [{"Name": key.replace("_", " "), "Value": value}
                                       for key, value in settings.items()]}


def aster(value):
    return family("ASTER", sub("PATH", WINDOWS_SOLVER_PATH=value))


def pipestress(value):
    return family("PIPESTRESS", sub("PATH", SOLVER_PATH=value))


@pytest.mark.parametrize("families,expected", [
    ([], (None, None)),
    ([aster("a.exe"), pipestress("p.exe")], ("a.exe", "p.exe")),
    ([aster(""), pipestress(" ")], (None, " ")),
    ([aster("first"), family("OTHER"), aster("second")], ("second", None)),
    # The last matching setting wins, across sub-families and settings too.
    ([family("ASTER", sub("PATH", WINDOWS_SOLVER_PATH="one"), sub("PATH", WINDOWS_SOLVER_PATH="two"))],
     ("two", None)),
    # A later empty value still wins, and then reads as unset.
    ([aster("a.exe"), aster("")], (None, None)),
    ([family("ASTER", sub("PATH", SOLVER_PATH="x")), family("PIPESTRESS", sub("PATH", WINDOWS_SOLVER_PATH="y"))],
     (None, None)),
    ([family("Aster", sub("PATH", WINDOWS_SOLVER_PATH="x")), family("ASTER", sub("path", WINDOWS_SOLVER_PATH="y"))],
     (None, None)),
    ([{"Name": "OTHER"}, {"Name": 7}], (None, None)),
    ([aster(7)], (7, None)),
])
def test_find_solver_paths(families, expected):
    assert core.FindSolverPaths({"Families": families, "Other": 1}) == expected


@pytest.mark.parametrize("document,key", [
    ({}, "Families"),
    ({"Families": [{"SubFamilies": []}]}, "Name"),
    ({"Families": [{"Name": "ASTER"}]}, "SubFamilies"),
    ({"Families": [family("ASTER", {"Name": "PATH"})]}, "Settings"),
    ({"Families": [family("ASTER", sub("PATH", WINDOWS_SOLVER_PATH=1))]}, None),
    ({"Families": [family("PIPESTRESS", {"Name": "PATH", "Settings": [{"Name": "SOLVER PATH"}]})]}, "Value"),
])
def test_find_solver_paths_missing_members(document, key):
    if key is None:
        document["Families"][0]["SubFamilies"][0]["Settings"][0].pop("Value")
        key = "Value"
    with pytest.raises(KeyError) as caught:
        core.FindSolverPaths(document)
    assert caught.value.args == (key,)


@pytest.mark.parametrize("document", [{"Families": 3}, {"Families": [3]}, [], None])
def test_find_solver_paths_wrong_kinds(document):
    with pytest.raises(TypeError):
        core.FindSolverPaths(document)


def test_find_data_project_paths():
    assert core.FindDataProjectPaths({"CurrentDatasDirectory": "", "CurrentProjectsDirectory": "P", "x": 1}) == ("", "P")
    with pytest.raises(KeyError, match="CurrentProjectsDirectory"):
        core.FindDataProjectPaths({"CurrentDatasDirectory": "D"})
    with pytest.raises(KeyError, match="CurrentDatasDirectory"):
        core.FindDataProjectPaths({})
