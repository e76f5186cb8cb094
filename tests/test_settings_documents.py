import pytest

from conftest import core, run_python
from dralvex_sim.plain import find_solver_paths as plain_find_solver_paths


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


def solver_family(name, key="SOLVER PATH", value="path", sub="PATH"):
    return {"Name": name, "SubFamilies": [{"Name": sub, "Settings": [{"Name": key, "Value": value}]}]}


class Loud(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class Rewriting(dict):
    """Renames the families after it when read: the walk's order shows."""

    def __init__(self, families, *args):
        super().__init__(*args)
        self.families = families

    def __getitem__(self, key):
        for other in self.families:
            if isinstance(other, dict) and other.get("Name") == "PIPESTRESS":
                other["Name"] = "RENAMED"
        return super().__getitem__(key)


def rewriting_document():
    families = [solver_family("FIRST")]
    families.append(solver_family("PIPESTRESS", value="late"))
    families[0] = Rewriting(families, families[0])
    return {"Families": families}


DOCUMENTS = {
    "many": {"Families": [solver_family("F%d" % i) for i in range(200)] + [solver_family("ASTER", "WINDOWS SOLVER PATH", "a"),
                                                                       solver_family("PIPESTRESS", value="p")]},
    "last-wins": {"Families": [solver_family("PIPESTRESS", value="one"), solver_family("PIPESTRESS", value="two")]},
    "empty": {"Families": []},
    "empty-value": {"Families": [solver_family("PIPESTRESS", value="")]},
    "tuple-of-families": {"Families": (solver_family("PIPESTRESS"),)},
    "dict-subclass-document": type("Settings", (dict,), {})({"Families": [solver_family("ASTER", "WINDOWS SOLVER PATH")]}),
    "dict-subclass-family": {"Families": [type("Family", (dict,), {})(solver_family("PIPESTRESS"))]},
    "name-not-str": {"Families": [{"Name": 7}, solver_family("PIPESTRESS")]},
    "name-str-subclass": {"Families": [{"Name": Loud("X"), "SubFamilies": []}, solver_family("PIPESTRESS")]},
    "name-with-nul": {"Families": [solver_family("PIPE\0STRESS"), solver_family("PIPESTRESS")]},
    "name-surrogate": {"Families": [solver_family("\ud800"), solver_family("PIPESTRESS")]},
    "non-ascii": {"Families": [solver_family("\u00c9T\u00c9"), solver_family("PIPESTRESS", value="\u00e9")]},
    "missing-name": {"Families": [solver_family("PIPESTRESS"), {"SubFamilies": []}]},
    "missing-sub-families": {"Families": [{"Name": "PIPESTRESS"}]},
    "missing-value": {"Families": [{"Name": "PIPESTRESS", "SubFamilies": [
        {"Name": "PATH", "Settings": [{"Name": "SOLVER PATH"}]}]}]},
    "settings-not-list": {"Families": [{"Name": "PIPESTRESS", "SubFamilies": [
        {"Name": "PATH", "Settings": ({"Name": "SOLVER PATH", "Value": "t"},)}]}]},
    "families-not-iterable": {"Families": 3},
    "no-families": {},
    "mutated-while-walked": rewriting_document(),
    # names found in the joined names only where they stand whole
    "names-around-the-name": {"Families": [solver_family("PIPESTRESS", value="first"), solver_family("XPIPESTRESS"),
                                           solver_family("PIPESTRESSX"), solver_family(""), solver_family("PIPE"),
                                           solver_family("PIPESTRESS", value="middle"), solver_family(""),
                                           solver_family("STRESS"), solver_family("PIPESTRESS", value="last")]},
    "only-empty-names": {"Families": [solver_family(""), solver_family("")]},
}


def outcome(function, document):
    try:
        return "result", function(document)
    except Exception as error:
        return type(error).__name__, str(error)


@pytest.mark.parametrize("name", sorted(DOCUMENTS))
def test_reader_gives_the_plain_result(name):
    expected = outcome(plain_find_solver_paths, DOCUMENTS[name])
    if name == "mutated-while-walked":
        DOCUMENTS[name] = rewriting_document()
    assert outcome(core.FindSolverPaths, DOCUMENTS[name]) == expected


def test_the_reader_names_no_builtin_a_script_replaced():
    # A script that replaced builtins.type, dict, list and str before the
    # first read of many families: the reader's own reads never call them.
    # (Its first read, of no families, imports what it needs: no import
    # works without the real str.)
    result = run_python("""
        import builtins
        from dralvex_computer import dralvex_core as core
        def refuse(*args, **kwargs):
            raise AssertionError("called")
        document = {"Families": [{"Name": "F%d" % index, "SubFamilies": []} for index in range(2000)] + [
            {"Name": "PIPESTRESS", "SubFamilies": [{"Name": "PATH", "Settings": [{"Name": "SOLVER PATH", "Value": "p"}]}]}]}
        core.FindSolverPaths({"Families": []})
        saved = {name: getattr(builtins, name) for name in ("type", "dict", "list", "str")}
        for name in saved:
            setattr(builtins, name, refuse)
        try:
            found = core.FindSolverPaths(document)
        finally:
            for name, value in saved.items():
                setattr(builtins, name, value)
        print(found)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().splitlines()[-1] == "(None, 'p')"
