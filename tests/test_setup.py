import json
import os
import shutil
import threading

import pytest

import dralvex_sim
from conftest import cc, core


def setup(installation):
    return core.setup_dralvex_computer(installation.install_dir, cc.DralvexModule.Ductavo)


def test_successful_setup(installation, capsys):
    assert setup(installation) is True
    assert core._exePath_ == installation.install_dir
    assert core._dllPath_ == os.path.join(installation.install_dir, "Extensions")
    assert (core._Aster_, core._PipeStress_) == (installation.aster, installation.pipestress)
    assert (core._dataPath_, core._projectPath_) == (installation.data_dir, installation.projects_dir)
    assert core._CultureInfo_.Name == "en-US"
    thread = dralvex_sim.dotnet.managed_thread()
    assert thread.CurrentCulture == thread.CurrentUICulture == core._CultureInfo_
    assert core._commandController_.application is core._Application_
    assert dralvex_sim.members() == [
        "clr.AddReference", "clr.AddReference", "DralvexApplication", "clr.AddReference", "CommandController",
        "CommandController.SetApplication"]
    assert dralvex_sim.calls_of("clr.AddReference")[0] == ("mscorlib",)
    assert capsys.readouterr().out == "Dralvex.SDK.dll loaded\nDralvex.Ductavo.Core.dll loaded\n"


def test_second_setup_replaces_host_objects_and_loads_nothing(installation, capsys):
    setup(installation)
    first = core._Application_, core._commandController_
    capsys.readouterr()
    assert setup(installation) is True
    assert core._Application_ is not first[0] and core._commandController_ is not first[1]
    assert capsys.readouterr().out == ""
    assert core._dlls_ == ["Dralvex.SDK.dll", "Dralvex.Ductavo.Core.dll"]


def test_without_extensions(installation, capsys):
    shutil.rmtree(installation.extensions)
    marker = object()
    core._Application_ = marker
    assert setup(installation) is False
    assert core._validSetup_ is False and core._Application_ is marker
    assert core._exePath_ == installation.install_dir and core._PipeStress_ == installation.pipestress
    assert core._dataPath_ == installation.data_dir
    assert capsys.readouterr().out == "" and core._dlls_ == []


def test_later_failed_setup_leaves_module_not_set_up(installation):
    setup(installation)
    shutil.rmtree(installation.extensions)
    assert setup(installation) is False and core._validSetup_ is False


@pytest.mark.parametrize("missing", ["install", "settings", "dataSources"])
def test_missing_paths(installation, missing):
    paths = {"install": installation.install_dir + "-gone", "settings": installation.settings_path,
             "dataSources": installation.data_sources_path}
    directory = paths["install"] if missing == "install" else installation.install_dir
    if missing != "install":
        os.remove(paths[missing])
    with pytest.raises(FileNotFoundError) as caught:
        core.setup_dralvex_computer(directory, cc.DralvexModule.All)
    assert caught.value.args == ("The directory '%s' does not exist." % paths[missing],)
    # The culture was set before the checks; nothing else was.
    assert core._CultureInfo_ is not None and core._exePath_ is None


def test_reads_settings_paths_at_call_time(installation, tmp_path):
    other = tmp_path / "other.settings"
    other.write_text(json.dumps({"Families": []}))
    core._settingsPath_ = str(other)
    assert setup(installation) is True
    assert (core._Aster_, core._PipeStress_) == (None, None)


@pytest.mark.parametrize("directory", [os.path.join("C:", "App"), os.path.join("C:", "App") + os.sep])
def test_dll_path_is_joined(installation, directory, monkeypatch):
    monkeypatch.chdir(installation.root)
    os.makedirs(directory, exist_ok=True)
    core.setup_dralvex_computer(directory, cc.DralvexModule.All)
    assert core._dllPath_ == os.path.join("C:", "App", "Extensions")


def test_non_string_directory(installation):
    with pytest.raises(TypeError):
        core.setup_dralvex_computer(None, cc.DralvexModule.All)
    with pytest.raises(FileNotFoundError) as caught:
        core.setup_dralvex_computer(12345, cc.DralvexModule.All)   # a file descriptor that is not open
    assert caught.value.args == ("The directory '12345' does not exist.",)


@pytest.mark.parametrize("content,error", [("{not json", json.JSONDecodeError), ("{}", KeyError),
                                           ("[1]", TypeError)])
def test_bad_settings_documents(installation, content, error):
    with open(installation.settings_path, "w") as stream:
        stream.write(content)
    with pytest.raises(error):
        setup(installation)
    assert core._validSetup_ is False


def test_file_is_closed_when_parsing_fails(installation, monkeypatch):
    opened = []
    real_open = open

    def spy(*args, **kwargs):
        opened.append(real_open(*args, **kwargs))
        return opened[-1]

    core.open = spy   # a module global shadows the builtin
    try:
        with open(installation.data_sources_path, "w") as stream:
            stream.write("{}")
        with pytest.raises(KeyError):
            setup(installation)
    finally:
        del core.open
    assert [(f.name, f.closed, f.encoding) for f in opened] == [
        (installation.settings_path, True, "utf-8"), (installation.data_sources_path, True, "utf-8")]


def test_bad_solver_paths_result(installation):
    core.FindSolverPaths = lambda settings: ("only one",)
    with pytest.raises(ValueError, match="need more than 1 value to unpack"):
        setup(installation)
    core.FindSolverPaths = lambda settings: (1, 2, 3)
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
        setup(installation)


@pytest.mark.parametrize("member", ["DralvexApplication", "CommandController", "CommandController.SetApplication"])
def test_failing_host_leaves_module_not_set_up(installation, member):
    dralvex_sim.fail(member, dralvex_sim.dotnet.InvalidOperationException("host refused"))
    with pytest.raises(dralvex_sim.dotnet.InvalidOperationException):
        setup(installation)
    assert core._validSetup_ is False
    with pytest.raises(OSError):
        core.load_dll("Dralvex.Helper.dll")


@pytest.mark.parametrize("missing", ["Dralvex.SDK.dll", "Dralvex.Ductavo.Core.dll"])
def test_missing_assembly_leaves_module_not_set_up(installation, missing):
    os.remove(os.path.join(installation.extensions, missing))
    with pytest.raises(FileNotFoundError, match="DLL '%s' not found." % missing):
        setup(installation)
    assert core._validSetup_ is False


def test_culture_only_on_calling_thread(installation):
    other = []
    thread = threading.Thread(target=lambda: other.append(dralvex_sim.dotnet.managed_thread()))
    setup(installation)
    thread.start()
    thread.join()
    assert other[0].CurrentCulture == dralvex_sim.dotnet.DEFAULT_CULTURE


@pytest.mark.parametrize("breakage", ["settings-not-json", "data-sources-not-json", "data-sources-member-missing",
                                      "host-application-raises"])
def test_failed_second_setup_is_not_a_valid_setup(ready, breakage):
    """A set-up that fails once it has begun replacing the installation's
    globals leaves the module not set up, whatever stayed from before."""
    if breakage == "settings-not-json":
        with open(ready.settings_path, "w", encoding="utf-8") as stream:
            stream.write("{not json")
    elif breakage == "data-sources-not-json":
        with open(ready.data_sources_path, "w", encoding="utf-8") as stream:
            stream.write("")
    elif breakage == "data-sources-member-missing":
        with open(ready.data_sources_path, "w", encoding="utf-8") as stream:
            stream.write('{"CurrentDatasDirectory": "x"}')
    else:
        dralvex_sim.fail("DralvexApplication", dralvex_sim.dotnet.InvalidOperationException("no licence"))
    with pytest.raises(Exception):
        core.setup_dralvex_computer(ready.install_dir, cc.DralvexModule.All)
    assert core._validSetup_ is False


def test_setup_refused_before_any_change_keeps_the_earlier_one(ready, tmp_path):
    with pytest.raises(FileNotFoundError):
        core.setup_dralvex_computer(str(tmp_path / "nowhere"), cc.DralvexModule.All)
    assert core._validSetup_ is True and core._exePath_ == ready.install_dir
