import os
import shutil
import sys
import threading

import pytest

import dralvex_sim
from conftest import Proxy, core

# these tests share one directory among several models on purpose
pytestmark = pytest.mark.filterwarnings("ignore::dralvex_computer.SharedFreFileWarning")


def solver_runs():
    return sys.modules["dralvex_sim.solvers_common"].runs


def model_with_pipes(create, count=2):
    model = create()
    for _ in range(count):
        core.executeCommand(core.createCommand("AddPipe", model))
    return model


@pytest.fixture
def solvers(ready, capsys):
    """Set up with the assemblies the runners import already loaded (the
    entry points load them before starting a runner)."""
    core.load_dll("Dralvex.Helper.dll")
    core.load_dll("Dralvex.PipeStress.Core.dll")
    core.load_dll("Dralvex.Aster.Core.dll")
    capsys.readouterr()
    return ready


@pytest.fixture
def piping(solvers):
    """A saved piping model with two pipes, a .thf file next to it."""
    ready = solvers
    directory = os.path.join(ready.data_dir, "run")
    os.makedirs(directory)
    path = os.path.join(directory, "plant.strale")
    model = model_with_pipes(core.createPipingStrale)
    core.saveStrale(model, path)
    os.remove(os.path.join(directory, "conception.fre"))
    with open(os.path.join(directory, "loads.thf"), "w") as stream:
        stream.write("case 1\n")
    dralvex_sim.recorder.reset()
    return model, path, directory


def fre_written(model, directory, name):
    core.writeFreFile(model, os.path.join(directory, "any.strale"))
    os.rename(os.path.join(directory, "conception.fre"), os.path.join(directory, name))
    dralvex_sim.recorder.reset()


@pytest.mark.parametrize("present,used,writes", [
    (["plant.fre", "conception.fre"], "plant.fre", False),
    (["conception.fre"], "conception.fre", False),
    ([], "conception.fre", True),
])
def test_pipestress_input_file_choice(piping, present, used, writes):
    model, path, directory = piping
    for name in present:
        fre_written(model, directory, name)
    core._PipeStressSolve(model, path, directory)
    assert dralvex_sim.calls_of("PipeStressSolver")[0] == (
        core._PipeStress_, model, os.path.join(directory, used), os.path.join(directory, "loads.thf"))
    assert ("Model.WriteFreFile" in dralvex_sim.members()) is writes
    assert core._Solution_.Results["input"] == used


def test_only_last_extension_is_cut(piping):
    model, _, directory = piping
    path = os.path.join(directory, "a.b.strale")
    fre_written(model, directory, "a.b.fre")
    core._PipeStressSolve(model, path, directory)
    assert dralvex_sim.calls_of("PipeStressSolver")[0][2] == os.path.join(directory, "a.b.fre")


@pytest.mark.parametrize("runner,wrapper", [("_PipeStressSolve", "PipeStressSolver"), ("_AsterSolve", "AsterSolver")])
def test_no_thf_file_gives_empty_path(piping, runner, wrapper):
    model, path, directory = piping
    os.remove(os.path.join(directory, "loads.thf"))
    getattr(core, runner)(model, path, directory)
    args = dralvex_sim.calls_of(wrapper)[0]
    assert args[3] == "" and core._Solution_.Results["thf"] == ""


def test_aster_arguments_and_success(piping):
    model, path, directory = piping
    assert core._AsterSolve(model, path, directory) is None
    ((aster, strale, strale_file, thf, flag),) = dralvex_sim.calls_of("AsterSolver")
    assert (aster, strale, strale_file, thf, flag) == (core._Aster_, model, path,
                                                       os.path.join(directory, "loads.thf"), False)
    assert dralvex_sim.calls_of("AsterSolver.BuildAnalysisModel") == [(False,)]
    solver = dralvex_sim.calls_of("Solution")[0][1]
    assert dralvex_sim.calls_of("Solution") == [(None, solver)] and core._Solution_.Solver is solver
    assert solver.IgnoreWarnings is True and not solver.Disposed
    assert not any(name.endswith(".fre") for name in os.listdir(directory))


def test_pipestress_success(piping):
    model, path, directory = piping
    core._PipeStressSolve(strale=model, straleFilename=path, directory=directory)
    solver = dralvex_sim.calls_of("Solution")[0][1]
    assert solver.IgnoreWarnings is True and core._Solution_.Results["analysis"]["elements"] == 2


def failing_solver(tmp_path):
    program = tmp_path / "failing-solver"
    program.write_text("#!/bin/sh\nexit 3\n")
    program.chmod(0o755)
    return str(program)


@pytest.mark.parametrize("runner,global_name", [("_PipeStressSolve", "_PipeStress_"), ("_AsterSolve", "_Aster_")])
def test_failed_run_disposes_the_solver(piping, tmp_path, runner, global_name):
    model, path, directory = piping
    setattr(core, global_name, failing_solver(tmp_path))
    getattr(core, runner)(model, path, directory)
    assert core._Solution_ is None and "Solution" not in dralvex_sim.members()
    assert dralvex_sim.members()[-1].endswith("Solver.Dispose")


def test_pipestress_without_analysis_model_disposes_the_solver(solvers):
    ready = solvers
    model = core.createPipingStrale()          # no elements: no analysis model
    path = os.path.join(ready.data_dir, "empty.strale")
    core.saveStrale(model, path)
    dralvex_sim.recorder.reset()
    core._PipeStressSolve(model, path, ready.data_dir)
    assert core._Solution_ is None and "Solution" not in dralvex_sim.members()
    assert dralvex_sim.members()[-2:] == ["PipeStressSolver.GetAnalysisModel", "PipeStressSolver.Dispose"]


def test_aster_build_failure_skips_run(solvers):
    ready = solvers
    model = core.createStructureStrale()       # nothing to analyse
    path = os.path.join(ready.data_dir, "empty.strale")
    core.saveStrale(model, path)
    core._AsterSolve(model, path, ready.data_dir)
    assert "AsterSolver.Run" not in dralvex_sim.members()
    assert dralvex_sim.members()[-1] == "AsterSolver.Dispose" and core._Solution_ is None


def test_aster_build_result_zero_is_success(piping, monkeypatch):
    from dralvex_sim.aster import AsterSolver

    def build(self, keep):
        self.Built = True
        return 0

    monkeypatch.setattr(AsterSolver, "BuildAnalysisModel", build)
    model, path, directory = piping
    core._AsterSolve(model, path, directory)
    assert "AsterSolver.Run" in dralvex_sim.members() and core._Solution_ is not None


@pytest.mark.parametrize("runner", ["_PipeStressSolve", "_AsterSolve"])
def test_com_and_culture_on_the_runner_thread(piping, runner):
    model, path, directory = piping
    done = []
    worker = threading.Thread(target=lambda: done.append(getattr(core, runner)(model, path, directory)))
    worker.start()
    worker.join()
    assert done == [None]
    (run,) = solver_runs()
    assert run["thread"] == worker.ident and run["com"] == 1
    expected = "en-US" if runner == "_AsterSolve" else "fr-FR"
    assert (run["culture"], run["ui_culture"]) == (expected, expected)
    assert [event for _, event in dralvex_sim.com.events] == ["CoInitialize", "CoUninitialize"]
    assert {ident for ident, _ in dralvex_sim.com.events} == {worker.ident}
    assert dralvex_sim.dotnet.managed_thread().CurrentCulture.Name == "en-US"   # the caller's, from set-up


@pytest.mark.parametrize("runner", ["_PipeStressSolve", "_AsterSolve"])
def test_runner_failure_still_uninitialises_com(piping, runner):
    model, path, directory = piping
    dralvex_sim.fail("PipeStressSolver" if runner == "_PipeStressSolve" else "AsterSolver",
                     dralvex_sim.dotnet.InvalidOperationException("no licence"))
    core._Solution_ = "previous"
    with pytest.raises(dralvex_sim.dotnet.InvalidOperationException):
        getattr(core, runner)(model, path, directory)
    assert [event for _, event in dralvex_sim.com.events] == ["CoInitialize", "CoUninitialize"]
    assert core._Solution_ is None


def test_dispose_solution_with_nothing(capsys):
    assert core.disposeSolution() is None
    assert capsys.readouterr().out == ""


def test_dispose_solution(piping, tmp_path, capsys):
    model, path, directory = piping
    core._PipeStressSolve(model, path, directory)
    solution = core._Solution_
    sandbox = tmp_path / "sandbox"
    (sandbox / "inner").mkdir(parents=True)
    core._tempDirectory_ = str(sandbox)
    core.disposeSolution()
    assert solution.Disposed and core._Solution_ is None and not sandbox.exists()
    assert core._tempDirectory_ == str(sandbox)
    core.disposeSolution()
    assert capsys.readouterr().out == ""


def test_dispose_solution_reports_undeletable_sandbox(piping, tmp_path, capsys):
    model, path, directory = piping
    core._PipeStressSolve(model, path, directory)
    core._tempDirectory_ = str(tmp_path)

    def refuse(path):
        raise PermissionError(13, "Permission denied", path + "/results.lock")

    core.shutil = Proxy(shutil, rmtree=refuse)
    assert core.disposeSolution() is None
    assert capsys.readouterr().out == "Impossible to delete temp directory : [Errno 13] Permission denied: '%s'\n" % (
        str(tmp_path) + "/results.lock")
    assert core._Solution_ is None


def test_dispose_failure_keeps_solution_and_sandbox(piping, tmp_path):
    model, path, directory = piping
    core._PipeStressSolve(model, path, directory)
    core._tempDirectory_ = str(tmp_path)
    dralvex_sim.fail("Solution.Dispose", dralvex_sim.dotnet.IOException("busy"))
    solution = core._Solution_
    with pytest.raises(dralvex_sim.dotnet.IOException):
        core.disposeSolution()
    assert core._Solution_ is solution and tmp_path.exists()
