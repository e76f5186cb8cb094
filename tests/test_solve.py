import os
import re
import shutil
import tempfile
import threading

import pytest

import dralvex_sim
from conftest import NOT_SET_UP, Proxy, core


def add_pipes(model, count=2):
    for _ in range(count):
        core.executeCommand(core.createCommand("AddPipe", model))
    return model


@pytest.fixture
def documents(ready, capsys):
    """A piping and a structure document, each in its own directory; the
    piping one with its FRE file and a .thf file."""
    paths = {}
    for kind, create in (("piping", core.createPipingStrale), ("structure", core.createStructureStrale)):
        directory = os.path.join(ready.data_dir, kind)
        os.makedirs(directory)
        paths[kind] = os.path.join(directory, kind + ".strale")
        core.saveStrale(add_pipes(create()), paths[kind])
    os.remove(os.path.join(ready.data_dir, "structure", "conception.fre"))
    with open(os.path.join(ready.data_dir, "piping", "loads.thf"), "w") as stream:
        stream.write("case 1\ncase 2\n")
    capsys.readouterr()
    dralvex_sim.recorder.reset()
    return paths


def snapshot(directory):
    result = {}
    for root, _, files in os.walk(directory):
        for name in files:
            with open(os.path.join(root, name), "rb") as stream:
                result[os.path.relpath(os.path.join(root, name), directory)] = stream.read()
    return result


def sandboxes():
    pattern = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
    return {name for name in os.listdir(tempfile.gettempdir()) if pattern.match(name)}


@pytest.fixture
def clean_sandboxes():
    before = sandboxes()
    yield
    core.disposeSolution()
    for name in sandboxes() - before:
        shutil.rmtree(os.path.join(tempfile.gettempdir(), name), ignore_errors=True)


@pytest.mark.parametrize("call", [
    lambda: core.solve("x.strale", "PipeStress", True),
    lambda: core.solvePipingModel(None, "x", "PipeStress", "d"),
    lambda: core.solveStructureModel(None, "x", "d"),
])
def test_not_set_up(call):
    core._Solution_ = previous = object()
    with pytest.raises(OSError) as caught:
        call()
    assert caught.value.args == (NOT_SET_UP,) and core._Solution_ is previous


def test_missing_file(ready, capsys):
    core._Solution_ = previous = object()
    assert core.solve(os.path.join(ready.data_dir, "missing.strale"), "PipeStress", True) is None
    assert capsys.readouterr().out == "Invalid filename\n" and core._Solution_ is previous


def test_sandboxed_pipestress_solve(documents, capsys, clean_sandboxes):
    source = os.path.dirname(documents["piping"])
    before = snapshot(source)
    solution = core.solve(documents["piping"], "PipeStress", True)
    sandbox = core._tempDirectory_
    assert solution is core._Solution_ and solution.Results["analysis"]["elements"] == 2
    assert os.path.dirname(sandbox) == tempfile.gettempdir() and os.path.basename(sandbox) in sandboxes()
    assert sorted(os.listdir(sandbox)) == ["conception.fre", "conception.results", "loads.thf", "piping.strale"]
    ((_, _, frefile, thffile),) = dralvex_sim.calls_of("PipeStressSolver")
    assert (frefile, thffile) == (os.path.join(sandbox, "conception.fre"), os.path.join(sandbox, "loads.thf"))
    assert snapshot(source) == before
    assert capsys.readouterr().out == "Dralvex.PipeStress.Core.dll loaded\n"


def test_sandbox_without_input_file_gets_one_written(documents, clean_sandboxes):
    os.remove(os.path.join(os.path.dirname(documents["piping"]), "conception.fre"))
    core.solve(documents["piping"], "PipeStress", True)
    assert "Model.WriteFreFile" in dralvex_sim.members()
    assert os.path.exists(os.path.join(core._tempDirectory_, "conception.fre"))
    assert not os.path.exists(os.path.join(os.path.dirname(documents["piping"]), "conception.fre"))


def test_structure_solve_ignores_solver_name(documents, clean_sandboxes):
    solution = core.solve(documents["structure"], "anything", True)
    assert solution.SolverName == "Aster"
    assert sorted(os.listdir(core._tempDirectory_)) == ["structure.results", "structure.strale"]


def test_solve_in_place(documents):
    core._tempDirectory_ = earlier = "/earlier/sandbox"
    solution = core.solve(documents["piping"], "Aster", False)
    assert solution.SolverName == "Aster" and core._tempDirectory_ == earlier
    ((_, _, strale_file, _, _),) = dralvex_sim.calls_of("AsterSolver")
    assert strale_file == documents["piping"]
    assert os.path.exists(os.path.join(os.path.dirname(documents["piping"]), "piping.results"))


def test_bare_file_name_solves_in_current_directory(documents, monkeypatch):
    monkeypatch.chdir(os.path.dirname(documents["piping"]))
    solution = core.solve("piping.strale", "PipeStress", False)
    assert solution.Results["thf"] == "loads.thf"
    ((_, _, frefile, thffile),) = dralvex_sim.calls_of("PipeStressSolver")
    assert (frefile, thffile) == (os.path.join(os.curdir, "conception.fre"), os.path.join(os.curdir, "loads.thf"))


def test_second_solve_disposes_the_first(documents, clean_sandboxes):
    first = core.solve(documents["piping"], "PipeStress", True)
    first_sandbox = core._tempDirectory_
    second = core.solve(documents["structure"], "Aster", True)
    assert first.Disposed and not os.path.exists(first_sandbox)
    assert second is core._Solution_ and core._tempDirectory_ != first_sandbox


def test_unreadable_model(ready, capsys, clean_sandboxes):
    path = os.path.join(ready.data_dir, "broken.strale")
    with open(path, "w") as stream:
        stream.write("garbage")
    assert core.solve(path, "PipeStress", True) is None
    assert capsys.readouterr().out.endswith("loaded\nInvalid strale\n")
    assert os.listdir(core._tempDirectory_) == ["broken.strale"]


def test_model_of_no_kind(ready, capsys):
    from dralvex_sim.core import Model
    path = os.path.join(ready.data_dir, "plain.strale")
    Model().SaveToFile(path)
    assert core.solve(path, "PipeStress", False) is None
    assert "Invalid" not in capsys.readouterr().out and "PipeStressSolver" not in dralvex_sim.members()


@pytest.mark.parametrize("name", ["aster", "pipestress", "Aster-Solver", ""])
def test_unknown_solver_name(documents, capsys, name):
    assert core.solve(documents["piping"], name, False) is None
    assert capsys.readouterr().out.endswith("Invalid solver name. use 'Aster' or 'PipeStress'.\n")
    core._Solution_ = object()
    model = core.loadStrale(documents["piping"])
    assert core.solvePipingModel(model, documents["piping"], name, "d") is None
    assert core._Solution_ is None


@pytest.mark.parametrize("solver,global_name", [("PipeStress", "_PipeStress_"), ("Aster", "_Aster_")])
def test_missing_solver_path(documents, capsys, solver, global_name):
    model = core.loadStrale(documents["piping"])
    setattr(core, global_name, None)
    core._dlls_ = []
    dralvex_sim.recorder.reset()
    assert core.solvePipingModel(model, documents["piping"], solver, os.path.dirname(documents["piping"])) is None
    assert core._dlls_ == ["Dralvex.Ductavo.Core.dll"] and capsys.readouterr().out == "Dralvex.Ductavo.Core.dll loaded\n"
    assert not any(member.endswith("Solver") for member in dralvex_sim.members())


@pytest.mark.parametrize("function,kind,message", [
    ("solvePipingModel", "structure", "The strale is not a piping model."),
    ("solveStructureModel", "piping", "The strale is not a structure model."),
])
def test_model_of_the_other_kind(documents, function, kind, message):
    model = core.loadStrale(documents[kind])
    core._Solution_ = previous = object()
    args = (model, documents[kind], "Aster", "d") if function == "solvePipingModel" else (model, documents[kind], "d")
    with pytest.raises(OSError) as caught:
        getattr(core, function)(*args)
    assert caught.value.args == (message,) and core._Solution_ is previous
    with pytest.raises(OSError) as caught:
        getattr(core, function)(None, *args[1:])
    assert caught.value.args == ("Invalid strale.",)


def test_assemblies_loaded_in_order(documents):
    model = core.loadStrale(documents["piping"])
    directory = os.path.dirname(documents["piping"])
    for solver, expected in (("Aster", ["Dralvex.Ductavo.Core.dll", "Dralvex.SDK.dll", "Dralvex.Helper.dll",
                                        "Dralvex.Aster.Core.dll"]),
                             ("PipeStress", ["Dralvex.Ductavo.Core.dll", "Dralvex.SDK.dll",
                                             "Dralvex.PipeStress.Core.dll"])):
        core._dlls_ = []
        core.solvePipingModel(model, documents["piping"], solver, directory)
        assert core._dlls_ == expected


class RecordingThread(threading.Thread):
    made = []

    def __init__(self, **kwargs):
        RecordingThread.made.append(self)
        self.kwargs = kwargs
        self.events = []
        super().__init__(**kwargs)

    def start(self):
        self.events.append(("start", self.daemon))
        super().start()

    def join(self, *args):
        self.events.append(("join", args))
        super().join(*args)


def test_worker_thread_protocol(documents):
    RecordingThread.made = []
    core.threading = Proxy(threading, Thread=RecordingThread)
    model = core.loadStrale(documents["structure"])
    directory = os.path.dirname(documents["structure"])
    solution = core.solveStructureModel(model, documents["structure"], directory)
    (thread,) = RecordingThread.made
    assert thread.kwargs == {"target": core._AsterSolve, "args": (model, documents["structure"], directory)}
    assert thread.events == [("start", True), ("join", ())]
    assert solution is core._Solution_
    assert {ident for ident, _ in dralvex_sim.com.events} == {thread.ident} != {threading.get_ident()}


def test_runner_is_looked_up_at_each_call(documents):
    seen = []

    def runner(strale, strale_file, directory):
        seen.append(threading.current_thread() is not threading.main_thread())
        core._Solution_ = "from the replacement"

    core._PipeStressSolve = runner
    model = core.loadStrale(documents["piping"])
    assert core.solvePipingModel(model, documents["piping"], "PipeStress", "d") == "from the replacement"
    assert seen == [True]


def test_runner_failure_stays_on_the_worker_thread(documents, monkeypatch):
    reported = []
    monkeypatch.setattr(threading, "excepthook", lambda args: reported.append(args.exc_type))
    dralvex_sim.fail("PipeStressSolver.Run", dralvex_sim.dotnet.InvalidOperationException("crashed"))
    assert core.solve(documents["piping"], "PipeStress", False) is None
    assert reported == [dralvex_sim.dotnet.InvalidOperationException]


@pytest.mark.parametrize("failing_copy", [1, 2, 3])
def test_failed_sandbox_preparation_leaves_nothing(documents, failing_copy):
    core._tempDirectory_ = earlier = "/earlier/sandbox"
    copies = []

    def copy(source, target):
        copies.append(target)
        if len(copies) == failing_copy:
            raise OSError(28, "No space left on device")
        return shutil.copy(source, target)

    core.shutil = Proxy(shutil, copy=copy)
    before = sandboxes()
    with pytest.raises(OSError, match="No space left"):
        core.solve(documents["piping"], "PipeStress", True)
    assert sandboxes() == before and core._tempDirectory_ == earlier


def test_solution_released_by_dispose(documents, clean_sandboxes):
    solution = core.solve(documents["piping"], "PipeStress", True)
    core.disposeSolution()
    assert solution.Disposed and core._Solution_ is None
