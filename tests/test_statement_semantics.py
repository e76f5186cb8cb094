"""The module reads names, orders steps and chains exceptions as the same
statements written in Python do: shadowed built-in names take effect,
a global named twice is read twice, evaluation goes left to right with the
callee first, an exception raised while another is handled gets it as
__context__, `+` is Python's `+`, and `with` is Python's `with`."""
import os
import shutil

import pytest

import dralvex_sim
from conftest import NOT_SET_UP, Proxy, cc, core
from test_exactness import clean_up_fails_after_the_block


class Shadow(Exception):
    pass


# ----------------------------------------------------- shadowed built-ins

def test_shadowed_isinstance_decides_the_model_kind(ready):
    model = core.createPipingStrale()
    seen = []
    core.isinstance = lambda value, cls: seen.append(cls.__name__) or False
    with pytest.raises(OSError) as caught:
        core.solvePipingModel(model, "x.strale", "PipeStress", ready.data_dir)
    assert caught.value.args == ("The strale is not a piping model.",) and seen == ["PipingCode"]


@pytest.mark.parametrize("name,call", [
    ("OSError", lambda site: core.getStrale(site.data_dir)),
    ("FileNotFoundError", lambda site: core.setup_dralvex_computer(site.install_dir + "-missing", 0)),
])
def test_shadowed_exception_classes_are_raised(installation, name, call):
    setattr(core, name, Shadow)
    with pytest.raises(Shadow):
        call(installation)


def test_shadowed_exception_narrows_except_clauses(ready):
    core.saveStrale(core.createPipingStrale(), os.path.join(ready.data_dir, "plant.strale"))
    dralvex_sim.fail("Model.LoadFromFile", dralvex_sim.dotnet.IOException("unreadable"))
    core.Exception = KeyError   # `except Exception` now catches KeyError only
    with pytest.raises(dralvex_sim.dotnet.IOException):
        core.loadStrale(os.path.join(ready.data_dir, "plant.strale"))


def test_except_clause_with_no_exception_class(ready):
    core.saveStrale(core.createPipingStrale(), os.path.join(ready.data_dir, "plant.strale"))
    dralvex_sim.fail("Model.LoadFromFile", dralvex_sim.dotnet.IOException("unreadable"))
    core.Exception = 42
    with pytest.raises(TypeError) as caught:
        core.loadStrale(os.path.join(ready.data_dir, "plant.strale"))
    assert isinstance(caught.value.__context__, dralvex_sim.dotnet.IOException)


# ------------------------------------------------ a global named twice

def test_temp_directory_read_at_each_use(ready, tmp_path):
    tested, removed = tmp_path / "tested", tmp_path / "removed"
    tested.mkdir()
    removed.mkdir()
    core._tempDirectory_ = str(tested)

    def isdir(path):
        core._tempDirectory_ = str(removed)   # swapped between the test and the removal
        return os.path.isdir(path)

    core.os = Proxy(os, path=Proxy(os.path, isdir=isdir))
    core.disposeSolution()
    assert tested.exists() and not removed.exists()


# ------------------------------------------------------ evaluation order

class FailingPair:
    @property
    def Item1(self):
        raise Shadow("Item1")

    @property
    def Item2(self):
        raise KeyError("Item2")


def test_pair_read_left_to_right(ready, monkeypatch):
    from dralvex_sim.sdk import DralvexClassInspector
    monkeypatch.setattr(DralvexClassInspector, "FindNamespaceAndAssemblyFromClassName",
                        staticmethod(lambda directory, name: FailingPair()))
    with pytest.raises(Shadow):
        core.findNameSpaceAndAssembly("Model")


def test_callee_read_before_its_arguments(installation):
    """`_commandController_.SetApplication(_Application_)`: the method is
    looked up before `_Application_` is read."""
    from dralvex_sim.core import CommandController
    original = CommandController.SetApplication
    received = []

    class Swapping(CommandController):
        def __getattribute__(self, name):
            if name == "SetApplication":
                core._Application_ = "read after the method"
            return object.__getattribute__(self, name)

        def SetApplication(self, application):
            received.append(application)
            original(self, application)

    core.setup_dralvex_computer(installation.install_dir, cc.DralvexModule.All)   # assemblies loaded
    import Dralvex.Ductavo.Core as namespace
    real = namespace.CommandController
    namespace.CommandController = Swapping
    try:
        core.setup_dralvex_computer(installation.install_dir, cc.DralvexModule.All)
    finally:
        namespace.CommandController = real
    assert received == ["read after the method"]


# --------------------------------------------------------------- chaining

def test_exception_in_finally_chains_the_pending_one(ready):
    with pytest.raises(KeyError) as caught:
        clean_up_fails_after_the_block(ready)   # the solver step fails, then CoUninitialize
    assert isinstance(caught.value.__context__, ValueError)


# ------------------------------------------------------------------ `+`

def test_plus_is_python_plus_for_bytes_paths(ready):
    with pytest.raises(TypeError) as plain:
        b"plant" + ".fre"
    with pytest.raises(TypeError) as caught:
        core.writeFreFile(core.createPipingStrale(), os.fsencode(os.path.join(ready.data_dir, "plant.strale")))
    assert str(caught.value) == str(plain.value)


# ------------------------------------------------------------------ `with`

class InstanceLevelManager:
    """__enter__ and __exit__ on the instance only: `with` ignores them."""

    def __init__(self, *args, **kwargs):
        self.__enter__ = lambda: self
        self.__exit__ = lambda *exc: False


def test_with_looks_up_the_type(installation):
    def plain():
        with InstanceLevelManager():
            pass
    with pytest.raises(Exception) as expected:
        plain()
    core.open = InstanceLevelManager
    with pytest.raises(type(expected.value)) as caught:
        core.setup_dralvex_computer(installation.install_dir, cc.DralvexModule.All)
    assert str(caught.value) == str(expected.value)
    assert core._validSetup_ is False


def test_not_set_up_message_unchanged():
    with pytest.raises(OSError) as caught:
        core.getStrale(".")
    assert caught.value.args == (NOT_SET_UP,)
