import json
import os

import pytest

import dralvex_sim
from conftest import NOT_SET_UP, core


@pytest.mark.parametrize("call", [
    lambda: core.createCommand("AddPipe", None), lambda: core.executeCommand(None),
    lambda: core.inspectClass(None, True), lambda: core.findNameSpaceAndAssembly("Model"),
])
def test_not_set_up_touches_nothing(call):
    controller = object()
    core._commandController_ = controller
    with pytest.raises(OSError) as caught:
        call()
    assert caught.value.args == (NOT_SET_UP,)
    assert dralvex_sim.members() == [] and core._commandController_ is controller


def test_create_command_sequence(ready):
    model = core.createPipingStrale()
    dralvex_sim.recorder.reset()
    command = core.createCommand(strale=model, commandName="AddPipe")
    assert dralvex_sim.calls == [
        ("CommandController.model", (model,)), ("CustomCommand", (model, "AddPipe")),
        ("CustomCommand.NeedToReloadModelAfterCommand", (False,)),
        ("CustomCommand.NeedToSaveModelAfterCommand", (False,))]
    assert core._commandController_.model is model
    assert command.NeedToReloadModelAfterCommand is False and command.NeedToSaveModelAfterCommand is False


def test_command_runs_on_the_controllers_latest_model(ready):
    first, second = core.createPipingStrale(), core.createPipingStrale()
    add_pipe = core.createCommand("AddPipe", first)
    core.createCommand("AddLayer", second)
    assert core.executeCommand(add_pipe) is None
    assert first.Elements == [] and len(second.Elements) == 1


def test_executed_command_is_not_saved(ready):
    model = core.createPipingStrale()
    path = os.path.join(ready.data_dir, "plant.strale")
    core.saveStrale(model, path)
    with open(path) as stream:
        saved = stream.read()
    for name in ("AddLayer", "AddPipe", "AddPipe", "RenumberElements"):
        core.executeCommand(core.createCommand(name, model))
    with open(path) as stream:
        assert stream.read() == saved
    core.saveStrale(model, path)
    reloaded = core.loadStrale(path)
    assert reloaded.Layers.names() == ["0", "1"]
    assert [element["Number"] for element in reloaded.Elements] == [1, 2]


def test_unknown_and_failing_commands_raise_the_host_exception(ready):
    model = core.createStructureStrale()
    with pytest.raises(dralvex_sim.dotnet.ArgumentException, match="Unknown custom command 'Nope'"):
        core.createCommand("Nope", model)
    assert core._commandController_.model is model   # set before the command was built
    with pytest.raises(dralvex_sim.dotnet.InvalidOperationException):
        core.executeCommand(core.createCommand("CheckModelFailure", model))


@pytest.mark.parametrize("indent", [True, False])
def test_inspect_class(ready, indent):
    model = core.createPipingStrale()
    core._dlls_ = []
    dralvex_sim.recorder.reset()
    text = core.inspectClass(model, indent)
    description = json.loads(text)
    assert ("\n" in text) is indent
    assert description["Type"] == "Model" and "SaveToFile" in description["Methods"]
    assert "Layers" in description["Properties"]
    assert dralvex_sim.calls_of("DralvexClassInspector.ExportObjectToJson") == [(model, indent)]
    assert [os.path.basename(a[0]) for a in dralvex_sim.calls_of("clr.AddReference")] == [
        "Dralvex.SDK.dll", "Dralvex.Ductavo.Core.dll"]


def test_inspect_class_needs_the_core_assembly(ready):
    os.remove(os.path.join(ready.extensions, "Dralvex.Ductavo.Core.dll"))
    core._dlls_ = ["Dralvex.SDK.dll"]
    with pytest.raises(FileNotFoundError):
        core.inspectClass(core._Application_, True)


@pytest.mark.parametrize("name,expected", [
    ("Model", ("Dralvex.Ductavo.Core", "Dralvex.Ductavo.Core")),
    ("DralvexApplication", ("Dralvex.SDK", "Dralvex.SDK")),
    ("NoSuchClass", (None, None)),
])
def test_find_namespace_and_assembly(ready, name, expected):
    assert core.findNameSpaceAndAssembly(name) == expected
    assert dralvex_sim.calls_of("DralvexClassInspector.FindNamespaceAndAssemblyFromClassName") == [
        (ready.extensions, name)]


def test_inspector_failures_pass_through(ready):
    dralvex_sim.fail("DralvexClassInspector.FindNamespaceAndAssemblyFromClassName",
                     dralvex_sim.dotnet.IOException("unreadable"))
    with pytest.raises(dralvex_sim.dotnet.IOException):
        core.findNameSpaceAndAssembly("Model")
