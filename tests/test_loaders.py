import os
import shutil

import pytest

import dralvex_sim
from conftest import NOT_SET_UP, core


@pytest.fixture
def loader(installation):
    """Set up by hand, as set-up leaves it, without loading anything."""
    core._validSetup_ = True
    core._exePath_ = installation.install_dir
    core._dllPath_ = os.path.join(installation.install_dir, "Extensions")
    return installation


@pytest.mark.parametrize("function", ["load_dll", "load_dll_c"])
def test_not_set_up(function):
    with pytest.raises(OSError) as caught:
        getattr(core, function)("Dralvex.SDK.dll")
    assert caught.value.args == (NOT_SET_UP,)
    assert core._dlls_ == [] and dralvex_sim.members() == []


def test_extensions_first_then_installation(loader, capsys):
    only_here = os.path.join(loader.install_dir, "Dralvex.Helper.dll")
    shutil.move(os.path.join(loader.extensions, "Dralvex.Helper.dll"), only_here)
    shutil.copy(os.path.join(loader.extensions, "Dralvex.SDK.dll"), loader.install_dir)

    assert core.load_dll("Dralvex.SDK.dll") is None
    assert core.load_dll("Dralvex.Helper.dll") is None
    assert dralvex_sim.calls_of("clr.AddReference") == [
        (os.path.join(loader.extensions, "Dralvex.SDK.dll"),), (only_here,)]
    assert core._dlls_ == ["Dralvex.SDK.dll", "Dralvex.Helper.dll"]
    assert capsys.readouterr().out == "Dralvex.SDK.dll loaded\nDralvex.Helper.dll loaded\n"


def test_each_name_loads_once_across_both_loaders(loader, capsys):
    core.load_dll("Dralvex.SDK.dll")
    capsys.readouterr()
    assert core.load_dll("Dralvex.SDK.dll") is None
    assert core.load_dll_c("Dralvex.SDK.dll") is None
    assert capsys.readouterr().out == ""
    assert len(dralvex_sim.calls_of("clr.AddReference")) == 1


def test_name_is_case_sensitive(loader, capsys):
    core.load_dll("Dralvex.SDK.dll")
    # Found on a case-sensitive file system only under its own name.
    os.link(os.path.join(loader.extensions, "Dralvex.SDK.dll"), os.path.join(loader.extensions, "dralvex.sdk.dll"))
    core.load_dll("dralvex.sdk.dll")
    assert core._dlls_ == ["Dralvex.SDK.dll", "dralvex.sdk.dll"]


def test_absolute_name_is_used_unchanged(loader, tmp_path, capsys):
    elsewhere = tmp_path / "Other.dll"
    dralvex_sim.write_assembly(str(elsewhere), "Dralvex.Helper")
    core.load_dll(str(elsewhere))
    assert dralvex_sim.calls_of("clr.AddReference") == [(str(elsewhere),)]
    assert core._dlls_ == [str(elsewhere)]
    assert capsys.readouterr().out == "%s loaded\n" % elsewhere


def test_missing_file_is_not_recorded(loader, capsys):
    with pytest.raises(FileNotFoundError) as caught:
        core.load_dll("Missing.dll")
    assert caught.value.args == ("DLL 'Missing.dll' not found.",)
    assert core._dlls_ == [] and capsys.readouterr().out == ""


def test_failing_load_is_not_recorded(loader, capsys):
    with open(os.path.join(loader.extensions, "Broken.dll"), "w") as stream:
        stream.write("not an assembly")
    with pytest.raises(dralvex_sim.dotnet.BadImageFormatException):
        core.load_dll("Broken.dll")
    with pytest.raises(OSError):
        core.load_dll_c("Broken.dll")   # not a shared library either
    assert core._dlls_ == [] and capsys.readouterr().out == ""


def test_load_dll_c_loads_a_native_library(loader, capsys):
    import ctypes.util
    library = ctypes.util.find_library("m") or ctypes.util.find_library("c")
    path = next((os.path.join(d, library) for d in ("/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib64",
                                                     "/usr/lib64", "/lib", "/usr/lib")
                 if library and os.path.exists(os.path.join(d, library))), None)
    if path is None:
        pytest.skip("no native library at a known path")
    shutil.copy(path, os.path.join(loader.extensions, "native.so"))
    assert core.load_dll_c("native.so") is None
    assert core._dlls_ == ["native.so"]
    assert capsys.readouterr().out == "native.so loaded\n"
    assert dralvex_sim.calls_of("clr.AddReference") == []


@pytest.mark.parametrize("name", [None, 3, b"x.dll"])
def test_non_string_names(loader, name):
    with pytest.raises(TypeError):
        core.load_dll(name)
    assert core._dlls_ == []


def test_shared_list_is_the_global(loader):
    mine = []
    core._dlls_ = mine
    core.load_dll("Dralvex.SDK.dll")
    assert mine == ["Dralvex.SDK.dll"]
