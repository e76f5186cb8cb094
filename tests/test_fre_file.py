import os
import warnings

import pytest

import dralvex_sim
from conftest import NOT_SET_UP, Proxy, cc, core


@pytest.fixture
def model(ready):
    return core.createPipingStrale()


def write_args():
    """The twelve arguments of the last WriteFreFile call."""
    return dralvex_sim.calls_of("Model.WriteFreFile")[-1]


def put(path, text):
    with open(path, "w") as stream:
        stream.write(text)


def read(path):
    with open(path) as stream:
        return stream.read()


def fail_host_write():
    dralvex_sim.fail("Model.WriteFreFile.body", dralvex_sim.dotnet.IOException("disk full"))


def refuse_replace(source, target):
    raise PermissionError(source)


def test_conception_when_no_same_name_file(ready, model):
    strale = os.path.join(ready.data_dir, "plant.strale")
    put(os.path.join(ready.data_dir, "conception.fre"), "old")
    assert core.writeFreFile(model, strale) is None
    assert write_args()[0] == os.path.join(ready.data_dir, "conception.fre")
    assert read(os.path.join(ready.data_dir, "conception.fre")).startswith("* DRALVEX SIMULATED FRE")
    assert sorted(os.listdir(ready.data_dir)) == ["conception.fre"]


def test_same_name_file_is_rewritten(ready, model):
    put(os.path.join(ready.data_dir, "plant.rev2.fre"), "old")
    put(os.path.join(ready.data_dir, "conception.fre"), "untouched")
    core.writeFreFile(strale=model, straleFilename=os.path.join(ready.data_dir, "plant.rev2.strale"))
    assert write_args()[0] == os.path.join(ready.data_dir, "plant.rev2.fre")
    assert read(os.path.join(ready.data_dir, "plant.rev2.fre")) != "old"
    assert read(os.path.join(ready.data_dir, "conception.fre")) == "untouched"
    assert sorted(os.listdir(ready.data_dir)) == ["conception.fre", "plant.rev2.fre"]


def test_file_name_without_directory(ready, model, monkeypatch):
    monkeypatch.chdir(ready.data_dir)
    core.writeFreFile(model, "plant.strale")
    assert write_args()[0] == "conception.fre" and os.path.exists("conception.fre")


@pytest.mark.parametrize("fre,expected", [
    ({}, ("72", 1, False, True, False, True)),
    ({"ROTATION UNITS": "Milliradians", "MAX FIELD LENGTH": "80"}, ("80", 2, False, True, False, True)),
    ({"ROTATION UNITS": "degrees"}, ("72", 0, False, True, False, True)),
    ({"ROTATION UNITS": ""}, ("72", 0, False, True, False, True)),
    ({"ROTATION UNITS": "Radians", "GENERATE RESTRAINTS INLINE": "2", "GENERATE DLCS INLINE": "1",
      "GENERATE INDI INLINE": " 0 "}, ("72", 0, False, False, True, False)),
], ids=["defaults", "milliradians", "lower-case", "empty", "flags"])
@pytest.mark.parametrize("imperial", ["0", "1"])
def test_settings_and_argument_order(ready, model, fre, expected, imperial):
    ready.write_settings(fre=fre, ductavo={"USE IMPERIAL NOTATION": imperial})
    core.writeFreFile(model, os.path.join(ready.data_dir, "plant.strale"))
    max_length, rotation, _, restraints, dlcs, indi = expected
    args = write_args()
    assert args == (os.path.join(ready.data_dir, "conception.fre"), None, int(max_length), rotation, False,
                    imperial == "1", restraints, dlcs, indi, False, None, None)
    assert all(type(value) is bool for value in args[5:10]) and type(args[3]) is int
    assert dralvex_sim.calls_of("SettingsController.GetSettingValue") == [
        ("PIPESTRESS", "MAX FIELD LENGTH"), ("PIPESTRESS", "ROTATION UNITS"),
        ("PIPESTRESS", "GENERATE RESTRAINTS INLINE"), ("PIPESTRESS", "GENERATE DLCS INLINE"),
        ("PIPESTRESS", "GENERATE INDI INLINE"), ("DUCTAVO", "USE IMPERIAL NOTATION")]


def test_library_initialised_on_every_call(ready, model):
    for _ in range(2):
        core.writeFreFile(model, os.path.join(ready.data_dir, "plant.strale"))
    library = os.path.join(ready.extensions, "Dralvex.PipeStress.lib")
    assert dralvex_sim.calls_of("PSLibrary.Initialize") == [(library,), (library,)]


def test_not_set_up():
    with pytest.raises(OSError) as caught:
        core.writeFreFile(None, "plant.strale")
    assert caught.value.args == (NOT_SET_UP,)


def test_missing_library_raises_before_anything_is_touched(ready, model):
    os.remove(os.path.join(ready.extensions, "Dralvex.PipeStress.lib"))
    put(os.path.join(ready.data_dir, "conception.fre"), "old")
    with pytest.raises(OSError) as caught:
        core.writeFreFile(model, os.path.join(ready.data_dir, "plant.strale"))
    assert caught.value.args == ("Invalid setup! Dralvex.PipeStress.lib not found!",)
    assert read(os.path.join(ready.data_dir, "conception.fre")) == "old"
    assert "PSLibrary.Initialize" not in dralvex_sim.members()


def test_invalid_library_is_refused_by_the_host(ready, model):
    put(os.path.join(ready.extensions, "Dralvex.PipeStress.lib"), "garbage")
    with pytest.raises(dralvex_sim.dotnet.BadImageFormatException):
        core.writeFreFile(model, os.path.join(ready.data_dir, "plant.strale"))


class NoController:
    def GetSettingsController(self):
        return None


@pytest.mark.parametrize("old_name", ["conception.fre", "plant.fre"])
@pytest.mark.parametrize("failure", ["no-controller", "bad-integer", "bad-flag", "host-raises", "host-partial",
                                     "settings-raise"])
def test_old_file_survives_every_failure(ready, model, old_name, failure):
    old = os.path.join(ready.data_dir, old_name)
    put(old, "old content")
    strale = os.path.join(ready.data_dir, "plant.strale")
    if failure == "no-controller":
        core._Application_ = NoController()
        assert core.writeFreFile(model, strale) is None
    else:
        expected = {"bad-integer": ValueError, "bad-flag": ValueError}.get(failure, dralvex_sim.dotnet.IOException)
        if failure == "bad-integer":
            ready.write_settings(fre={"MAX FIELD LENGTH": "seventy"})
        elif failure == "bad-flag":
            ready.write_settings(ductavo={"USE IMPERIAL NOTATION": "yes"})
        elif failure == "settings-raise":
            dralvex_sim.fail("SettingsController.GetSettingValue", dralvex_sim.dotnet.IOException("store"))
        else:
            member = "Model.WriteFreFile" if failure == "host-raises" else "Model.WriteFreFile.body"
            dralvex_sim.fail(member, dralvex_sim.dotnet.IOException("disk full"))
        with pytest.raises(expected):
            core.writeFreFile(model, strale)
    assert os.listdir(ready.data_dir) == [old_name]
    assert read(old) == "old content"


def test_partial_file_removed_when_there_was_no_old_file(ready, model):
    dralvex_sim.fail("Model.WriteFreFile.body", dralvex_sim.dotnet.IOException("disk full"))
    with pytest.raises(dralvex_sim.dotnet.IOException):
        core.writeFreFile(model, os.path.join(ready.data_dir, "plant.strale"))
    assert os.listdir(ready.data_dir) == []


def test_old_file_that_cannot_be_moved_is_ignored(ready, model):
    put(os.path.join(ready.data_dir, "conception.fre"), "old")

    core.os = Proxy(os, replace=refuse_replace)
    core.writeFreFile(model, os.path.join(ready.data_dir, "plant.strale"))
    assert write_args()[0] == os.path.join(ready.data_dir, "conception.fre")
    assert read(os.path.join(ready.data_dir, "conception.fre")).startswith("* DRALVEX")


def test_path_of_wrong_type(ready, model):
    with pytest.raises(TypeError):
        core.writeFreFile(model, 42)


@pytest.mark.parametrize("obstacle", ["longest-name", "replace-raises", "read-only-directory", "non-ascii-name"])
def test_failed_write_keeps_old_bytes_whatever_blocks_the_move(ready, model, obstacle):
    stem = {"longest-name": "p" * 251, "non-ascii-name": "\u00e9" * 125}.get(obstacle, "plant")
    old = os.path.join(ready.data_dir, stem + ".fre")   # 255 bytes for the two long names
    with open(old, "wb") as stream:
        stream.write(b"old \x00 bytes")
    if obstacle == "replace-raises":
        core.os = Proxy(os, replace=refuse_replace)
    if obstacle == "read-only-directory":
        if os.geteuid() == 0:
            pytest.skip("root may rename in a read-only directory")
        os.chmod(ready.data_dir, 0o555)
    fail_host_write()
    try:
        with pytest.raises(dralvex_sim.dotnet.IOException):
            core.writeFreFile(model, os.path.join(ready.data_dir, stem + ".strale"))
    finally:
        os.chmod(ready.data_dir, 0o755)
    assert os.listdir(ready.data_dir) == [stem + ".fre"]
    with open(old, "rb") as stream:
        assert stream.read() == b"old \x00 bytes"


def test_side_name_fits_where_the_name_fits(ready, model):
    stem = "p" * 251
    put(os.path.join(ready.data_dir, stem + ".fre"), "old")
    seen = []
    real_replace = os.replace

    def watch(source, target):
        seen.append(os.path.basename(target))
        real_replace(source, target)

    core.os = Proxy(os, replace=watch)
    core.writeFreFile(model, os.path.join(ready.data_dir, stem + ".strale"))
    assert seen and all(len(name.encode()) <= 255 for name in seen)
    assert os.listdir(ready.data_dir) == [stem + ".fre"]
    assert read(os.path.join(ready.data_dir, stem + ".fre")).startswith("* DRALVEX")


def test_directory_at_the_fre_path_is_left_alone(ready, model):
    blocker = os.path.join(ready.data_dir, "conception.fre")
    os.makedirs(os.path.join(blocker, "inside"))
    with pytest.raises(Exception):
        core.writeFreFile(model, os.path.join(ready.data_dir, "plant.strale"))
    assert os.listdir(ready.data_dir) == ["conception.fre"]
    assert os.listdir(blocker) == ["inside"]


# ------------------------------------------- two models sharing conception.fre

def two_models(directory):
    for name in ("a.strale", "b.strale"):
        core.saveStrale(core.createPipingStrale(), os.path.join(directory, name))


def test_saving_two_models_in_one_directory_warns(ready):
    with pytest.warns(cc.SharedFreFileWarning, match=r"b\.strale.*conception\.fre"):
        two_models(ready.data_dir)


@pytest.mark.parametrize("sandbox", [True, False])
def test_solving_a_model_whose_fre_file_is_shared_warns(ready, capsys, sandbox):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        two_models(ready.data_dir)
    with pytest.warns(cc.SharedFreFileWarning, match=r"a\.strale"):
        core.solve(os.path.join(ready.data_dir, "a.strale"), "PipeStress", sandbox)
    core.disposeSolution()


def test_one_model_per_directory_or_its_own_fre_file_is_quiet(ready, capsys):
    for name in ("a", "b"):
        os.makedirs(os.path.join(ready.data_dir, name))
    with warnings.catch_warnings():
        warnings.simplefilter("error", cc.SharedFreFileWarning)
        for name in ("a", "b"):
            core.saveStrale(core.createPipingStrale(), os.path.join(ready.data_dir, name, name + ".strale"))
        open(os.path.join(ready.data_dir, "c.fre"), "w").close()
        open(os.path.join(ready.data_dir, "d.fre"), "w").close()
        core.saveStrale(core.createPipingStrale(), os.path.join(ready.data_dir, "c.strale"))
        core.saveStrale(core.createPipingStrale(), os.path.join(ready.data_dir, "d.strale"))
        core.solve(os.path.join(ready.data_dir, "a", "a.strale"), "PipeStress", True)
        core.disposeSolution()
