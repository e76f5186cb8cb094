import os

import pytest

import dralvex_sim
from conftest import NOT_SET_UP, cc, core


def referenced_files():
    return [os.path.basename(args[0]) for args in dralvex_sim.calls_of("clr.AddReference")]


@pytest.mark.parametrize("call", [
    lambda: core.loadStrale("x.strale"), lambda: core.saveStrale(None, "x.strale"), lambda: core.getStrale("."),
    lambda: core.createPipingStrale(), lambda: core.createStructureStrale(), lambda: core.createStrale(0),
])
def test_not_set_up(call):
    with pytest.raises(OSError) as caught:
        call()
    assert caught.value.args == (NOT_SET_UP,)
    assert dralvex_sim.members() == []


@pytest.mark.parametrize("create,member,code", [
    (core.createPipingStrale, "Ductavo", "PipingCode"),
    (core.createStructureStrale, "Framavo", "StructureCode"),
])
def test_new_models(ready, create, member, code):
    core._dlls_ = []
    model = create()
    host_module = dralvex_sim.bridge.import_namespace("Dralvex.SDK", ["DralvexModule"]).DralvexModule
    assert dralvex_sim.calls_of("Model") == [(getattr(host_module, member),)]
    assert type(model.CalculationCode).__name__ == code
    assert model.Layers.names() == ["0"]
    assert referenced_files() == ["Dralvex.SDK.dll", "Dralvex.Helper.dll", "Dralvex.Ductavo.Core.dll"]


def test_create_strale_hands_module_over_unchanged(ready):
    with pytest.raises(dralvex_sim.dotnet.ArgumentException):
        core.createStrale(cc.DralvexModule.Ductavo)   # the module's own enumeration is not the host's
    assert "Dralvex.SDK.dll" not in referenced_files()


def test_entry_points_call_create_strale_through_namespace(ready):
    seen = []
    core.createStrale = lambda module: seen.append(module) or "model"
    assert core.createStructureStrale() == "model" and seen[0].name == "Framavo"


def test_save_and_load_round_trip(ready):
    model = core.createPipingStrale()
    path = os.path.join(ready.data_dir, "plant.strale")
    assert core.saveStrale(model, path) is None
    assert sorted(os.listdir(ready.data_dir)) == ["conception.fre", "plant.strale"]
    assert core.getStrale(ready.data_dir) == path
    core._dlls_ = []
    dralvex_sim.recorder.reset()
    loaded = core.loadStrale(path)
    assert loaded.Layers.names() == ["0"] and type(loaded.CalculationCode).__name__ == "PipingCode"
    assert referenced_files() == ["Dralvex.SDK.dll", "Dralvex.Helper.dll", "Dralvex.Ductavo.Core.dll"]
    assert dralvex_sim.calls_of("Model") == [()]


def test_load_missing_file_touches_nothing(ready):
    core._dlls_ = []
    assert core.loadStrale(os.path.join(ready.data_dir, "missing.strale")) is None
    assert dralvex_sim.members() == []


@pytest.mark.parametrize("content", ["not a model", '{"format": "other"}', ""])
def test_load_unreadable_file(ready, content):
    path = os.path.join(ready.data_dir, "bad.strale")
    with open(path, "w") as stream:
        stream.write(content)
    assert core.loadStrale(path) is None


def test_load_passes_host_failures_outside_the_protected_call(ready):
    path = os.path.join(ready.data_dir, "plant.strale")
    core.saveStrale(core.createPipingStrale(), path)
    dralvex_sim.fail("Model", dralvex_sim.dotnet.InvalidOperationException("no model"))
    with pytest.raises(dralvex_sim.dotnet.InvalidOperationException):
        core.loadStrale(path)
    dralvex_sim.fail("Model.LoadFromFile", KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        core.loadStrale(path)


class NoneLike:
    def __eq__(self, other):
        return other is None

    def __ne__(self, other):
        return other is not None

    def SaveToFile(self, path):
        raise AssertionError("must not save")


@pytest.mark.parametrize("model", [None, NoneLike()])
def test_save_nothing_for_none(ready, model):
    path = os.path.join(ready.data_dir, "none.strale")
    assert core.saveStrale(model, path) is None
    assert os.listdir(ready.data_dir) == []


def test_save_failure_writes_no_fre_file(ready):
    model = core.createPipingStrale()
    dralvex_sim.fail("Model.SaveToFile", dralvex_sim.dotnet.IOException("disk full"))
    with pytest.raises(dralvex_sim.dotnet.IOException):
        core.saveStrale(model, os.path.join(ready.data_dir, "plant.strale"))
    assert os.listdir(ready.data_dir) == []


def test_save_passes_fre_writer_failures_after_saving(ready):
    core.writeFreFile = lambda strale, name: 1 / 0
    path = os.path.join(ready.data_dir, "plant.strale")
    with pytest.raises(ZeroDivisionError):
        core.saveStrale(core.createStructureStrale(), path)
    assert os.listdir(ready.data_dir) == ["plant.strale"]


def test_get_strale(ready, tmp_path):
    assert core.getStrale(str(tmp_path)) == ""
    with pytest.raises(FileNotFoundError):
        core.getStrale(str(tmp_path / "missing"))
    with pytest.raises(TypeError):
        core.getStrale(3.5)
