"""What a careless or hostile script can do to the module: keep the frames
of a failed call and call what they hold, walk gc.get_objects(), replace the
module's private helpers, hook imports while threads make their first
calls, swap links in during a call, hand in documents and paths whose
methods run code. Each case ends in a result or an exception: never a
crash, a hang (each runs in its own interpreter with a time-out when it
could), or a change outside what the call made."""
import os
import stat
import shutil
import sys
import threading
import warnings

import pytest

import dralvex_sim

from conftest import Proxy, cc, core, run_python, run_set_up_script
from dralvex_sim.dotnet import IOException

def run_script(tmp_path, body, timeout=60, env=None):
    try:
        return run_set_up_script(tmp_path / "site", body, env=env, timeout=timeout)
    except Exception as error:   # subprocess.TimeoutExpired: a hang
        pytest.fail("the script did not finish: %r" % (error,))


def assert_clean_exit(result):
    assert result.returncode == 0, (result.returncode, result.stdout[-2000:], result.stderr[-4000:])


# ------------------------------------------- blocks kept past their statement

# The compound statements hand C++ blocks to Python: a tracer sees the frames
# that hold them, and a script may keep them and call them later.
CAPTURE_BLOCKS = """
kept = []
def tracer(frame, event, arg):
    for value in list(frame.f_locals.values()):
        if type(value).__name__ == "builtin_function_or_method" and value.__name__ == "block":
            kept.append(value)
    return tracer
"""


@pytest.mark.parametrize("call", [
    "core.writeFreFile(model, document)",
    "core.addPipingProject(site.projects_dir, 'Plant', 'Base', 1920, 1080)",
    "core.setup_dralvex_computer(site.install_dir, cc.DralvexModule.All)",
])
@pytest.mark.parametrize("fail", [True, False], ids=["failed", "succeeded"])
def test_blocks_called_after_their_statement_raise(tmp_path, call, fail):
    member = {"writeFreFile": "Model.WriteFreFile.body", "addPipingProject": "ProjectViewModel.CreateNewProject",
              "setup_dralvex_computer": "CommandController.SetApplication"}[call.split("(")[0][5:]]
    result = run_script(tmp_path, CAPTURE_BLOCKS + """
if {fail}:
    dralvex_sim.fail({member!r}, IOException("disk full"))
sys.settrace(tracer)
try:
    {call}
except IOException as error:
    kept_error = error
sys.settrace(None)
assert kept, "no block seen"
# from frames of the traceback and from the garbage collector as well
for value in gc.get_objects():
    if type(value).__name__ == "builtin_function_or_method" and getattr(value, "__name__", "") == "block":
        kept.append(value)
for block in kept:
    for arguments in ((), (None,)):
        try:
            block(*arguments)
        except RuntimeError as error:
            assert "statement" in str(error), error
        else:
            raise AssertionError("a kept block ran")
print("ok", len(kept))
""".format(fail=fail, member=member, call=call))
    assert_clean_exit(result)
    assert "\nok " in "\n" + result.stdout


def test_block_called_again_inside_its_statement_runs_once(tmp_path):
    result = run_script(tmp_path, """
calls = []
class Model:
    def WriteFreFile(self, frefile, *options):
        calls.append(frefile)
        frame = sys._getframe()
        while frame is not None:
            for value in list(frame.f_locals.values()):
                if type(value).__name__ == "builtin_function_or_method" and value.__name__ == "block":
                    try:
                        value()
                    except RuntimeError:
                        pass
                    else:
                        raise AssertionError("a running block ran again")
            frame = frame.f_back
core.writeFreFile(Model(), document)
assert len(calls) == 1, calls
print("ok")
""")
    assert_clean_exit(result)


@pytest.mark.parametrize("helper", ["rollback", "try_finally", "with_statement", "try_except"])
def test_replaced_statement_helper_cannot_fake_success(tmp_path, helper):
    """A helper whose code a script swapped never runs its blocks: the call
    is an error, not a result."""
    result = run_script(tmp_path, """
helpers = {{}}
def tracer(frame, event, arg):
    if frame.f_code.co_filename == "<dralvex_core statements>":
        helpers.update(frame.f_globals)
    return tracer
sys.settrace(tracer)
core.writeFreFile(model, document)
core._tempDirectory_ = "/nonexistent"
core.disposeSolution()
sys.settrace(None)
assert {helper!r} in helpers, sorted(helpers)
helpers[{helper!r}].__code__ = (lambda *arguments: None).__code__
calls = {{
    "rollback": lambda: core.writeFreFile(model, document),
    "try_finally": lambda: core._PipeStressSolve(model, document, site.data_dir),
    "with_statement": lambda: core.setup_dralvex_computer(site.install_dir, cc.DralvexModule.All),
    "try_except": lambda: core.disposeSolution(),
}}
try:
    result = calls[{helper!r}]()
except SystemError as error:
    print("refused", error)
else:
    print("accepted", result)
""".format(helper=helper))
    assert_clean_exit(result)
    assert "\nrefused " in "\n" + result.stdout, result.stdout


# ------------------------------------------------ first use from many threads

FIRST_USE = """
import builtins, os, sys, threading, time, tempfile
sys.setswitchinterval(1e-6)
import dralvex_computer as cc
core = cc.dralvex_core
imported = builtins.__import__
def hook(name, *arguments, **keywords):
    time.sleep(0.001)     # lets the GIL go, as a logging or a bridge's hook does
    return imported(name, *arguments, **keywords)
builtins.__import__ = hook
directory = tempfile.mkdtemp()
open(os.path.join(directory, "a.thf"), "w").close()
settings = {{"Families": [{{"Name": "ASTER", "SubFamilies": []}}]}}
barrier = threading.Barrier(8)
failures = []
def first_call():
    barrier.wait()
    try:
        {call}
    except BaseException as error:
        failures.append(error)
threads = [threading.Thread(target=first_call, daemon=True) for _ in range(8)]
for thread in threads: thread.start()
for thread in threads: thread.join()
assert not failures, failures
print("ok")
"""


@pytest.mark.parametrize("call", ["core.find_first_file(directory, '.thf')", "core.FindSolverPaths(settings)",
                                  "core.copyDirectoryToTemp(directory)"])
def test_first_calls_from_threads_under_an_import_hook_never_hang(call):
    for _ in range(4):
        try:
            result = run_python(FIRST_USE.format(call=call), timeout=30)
        except Exception as error:   # subprocess.TimeoutExpired
            pytest.fail("hung: %r" % (error,))
        assert_clean_exit(result)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads an ELF file")
def test_no_static_is_made_under_the_cxx_initialisation_lock():
    """The guard of a function-local static is that lock: no code of the
    module takes it."""
    import shutil as shell_tools
    import subprocess
    objdump = shell_tools.which("objdump")
    if objdump is None:
        pytest.skip("objdump is not installed")
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", core.__file__], capture_output=True, text=True,
                             check=True).stdout
    assert "__cxa_guard_acquire" not in listing


# ------------------------------------------- clean-ups touch only what they made

def outside_tree(root):
    """A tree the call has nothing to do with, with read-only directories."""
    top = root / "outside"
    (top / "inner" / "deeper").mkdir(parents=True)
    (top / "inner" / "file.txt").write_text("keep")
    for directory in (top / "inner" / "deeper", top / "inner"):
        directory.chmod(0o555)
    return top


def tree_state(top):
    state = {}
    for parent, names, files in os.walk(str(top)):
        for name in names + files:
            path = os.path.join(parent, name)
            state[os.path.relpath(path, str(top))] = stat.S_IMODE(os.lstat(path).st_mode)
    return state


@pytest.fixture
def outside(tmp_path):
    top = outside_tree(tmp_path)
    before = tree_state(top)
    yield top
    assert tree_state(top) == before, "modes or entries changed outside the call's own tree"
    for parent, names, _ in os.walk(str(top)):
        for name in names:
            os.chmod(os.path.join(parent, name), 0o700)


def test_failed_project_keeps_a_directory_that_existed_before(ready):
    work = os.path.join(ready.projects_dir, "work")
    os.makedirs(os.path.join(work, "keep"))
    dralvex_sim.fail("ProjectViewModel.CreateNewProject", IOException("refused"))
    with pytest.raises(IOException):
        core.addPipingProject(os.path.join(work, "new", "..", "keep"), "proj", "Base", 1920, 1080)
    assert sorted(os.listdir(work)) == ["keep"]   # work/new was made by the call
    assert os.listdir(os.path.join(work, "keep")) == []


def swap_in_link(path, target, moved):
    """What another process may do during the call: the directory moves
    away and a link to something else takes its name."""
    os.rename(path, moved)
    os.symlink(str(target), path)


def test_failed_project_never_walks_a_link_swapped_in(ready, outside, tmp_path, monkeypatch):
    from dralvex_sim import project
    moved = str(tmp_path / "moved")

    def create(self, projectDirectory, *arguments):
        swap_in_link(projectDirectory, outside, moved)
        raise IOException("refused")

    monkeypatch.setattr(project.ProjectViewModel, "CreateNewProject", create)
    with pytest.raises(IOException):
        core.addPipingProject(ready.projects_dir, "Plant", "Base", 1920, 1080)
    assert os.path.islink(os.path.join(ready.projects_dir, "Plant")) and os.path.isdir(moved)


def test_failed_copy_never_walks_a_link_swapped_in(outside, tmp_path):
    source = tmp_path / "source"
    (source / "sub").mkdir(parents=True)
    moved = str(tmp_path / "moved")

    def copytree(directory, target, **options):
        shutil.copytree(directory, target, **options)
        swap_in_link(target, outside, moved)
        raise OSError(28, "No space left on device")

    core.shutil = Proxy(shutil, copytree=copytree)
    assert core.copyDirectoryToTemp(str(source)) == ""
    assert os.path.isdir(moved)


def test_failed_sandbox_never_walks_a_link_swapped_in(ready, outside, tmp_path, capsys):
    document = os.path.join(ready.data_dir, "plant.strale")
    core.saveStrale(core.createPipingStrale(), document)
    moved = str(tmp_path / "moved")

    def copy(source, target):
        swap_in_link(os.path.dirname(target), outside, moved)
        raise OSError(28, "No space left on device")

    core.shutil = Proxy(shutil, copy=copy)
    with pytest.raises(OSError):
        core.solve(document, "PipeStress", True)
    assert os.path.isdir(moved)


def test_failed_copy_keeps_a_target_the_caller_owns(tmp_path, monkeypatch):
    import uuid
    fixed = uuid.UUID("12345678-1234-4234-8234-123456789abc")
    monkeypatch.setattr(uuid, "uuid4", lambda: fixed)
    (tmp_path / "source" / "sub").mkdir(parents=True)
    first = core.copyDirectoryToTemp(str(tmp_path / "source"))
    assert first.endswith(str(fixed))
    assert core.copyDirectoryToTemp(str(tmp_path / "missing")) == ""
    assert os.listdir(first) == ["sub"]


@pytest.mark.parametrize("fail", [False, True], ids=["written", "failed"])
def test_fre_file_over_a_dangling_link(ready, tmp_path, fail):
    """A dangling link is no file: it is neither moved aside nor replaced, and
    no extra entry is left beside it."""
    (tmp_path / "target").mkdir()
    link = os.path.join(ready.data_dir, "conception.fre")
    os.symlink(str(tmp_path / "target" / "conception.fre"), link)
    before = sorted(os.listdir(ready.data_dir))
    if fail:
        dralvex_sim.fail("Model.WriteFreFile.body", IOException("disk full"))
    try:
        core.writeFreFile(core.createPipingStrale(), os.path.join(ready.data_dir, "plant.strale"))
    except IOException:
        assert fail
    assert sorted(os.listdir(ready.data_dir)) == before and os.path.islink(link)
    assert os.path.exists(link) is (not fail)   # written through the link, or no partial file left


# --------------------------------------- documents whose reads run Python code

def path_family(family, setting, value):
    return {"Name": family, "SubFamilies": [{"Name": "PATH", "Settings": [{"Name": setting, "Value": value}]}]}


class Sneaky(str):
    """A key that, compared during a lookup, changes the document (after
    ``skip`` comparisons that change nothing)."""
    def __new__(cls, text, change, skip=0):
        made = super().__new__(cls, text)
        made.change, made.skip = change, skip
        return made

    def __hash__(self):
        return str.__hash__(self)

    def __eq__(self, other):
        if self.skip:
            self.skip -= 1
            return str.__eq__(self, other)
        change, self.change = self.change, None
        if change is not None:
            change()
        return str.__eq__(self, other)


def sneaky_document(mutation):
    if mutation == "top-level key renames at the second look-up":
        families = [path_family("OTHER", "SOLVER PATH", "/ps")]

        def rename():
            families[0]["Name"] = "PIPESTRESS"

        return {Sneaky("Families", rename, skip=1): families}
    families = [path_family("ASTER", "WINDOWS SOLVER PATH", "/aster"), path_family("OTHER", "SOLVER PATH", "/x")]
    document = {"Families": families}

    def change():
        if mutation == "replace":
            families[1] = path_family("PIPESTRESS", "SOLVER PATH", "/ps")
        elif mutation == "rename":
            families[1]["Name"] = "PIPESTRESS"
        elif mutation == "clear":
            del families[:]
        elif mutation == "reenter":
            families[1] = path_family("PIPESTRESS", "SOLVER PATH", core.FindSolverPaths({"Families": []})[0])

    sneaky = {Sneaky("Name", change): "ASTER", "SubFamilies": families[0]["SubFamilies"]}
    families[0] = sneaky
    return document


def outcome(function, document):
    try:
        return function(document)
    except Exception as error:
        return type(error), str(error)


@pytest.mark.parametrize("mutation", ["replace", "rename", "clear", "reenter",
                                      "top-level key renames at the second look-up"])
def test_solver_paths_of_a_document_whose_reads_run_code(mutation):
    from dralvex_sim.plain import find_solver_paths as plain_find_solver_paths
    expected = outcome(plain_find_solver_paths, sneaky_document(mutation))
    assert outcome(core.FindSolverPaths, sneaky_document(mutation)) == expected


# ------------------------------------------ arguments whose methods call back

class CallsBack(os.PathLike):
    """A path, a number and a name at once, whose every conversion calls the
    module back, changes the module's globals and counts."""
    def __init__(self, path):
        self.path = path
        self.calls = 0

    def _call_back(self):
        self.calls += 1
        if self.calls < 20:
            core.disposeSolution()
            core.find_first_file(os.path.dirname(self.path), ".strale")
            core._tempDirectory_ = None

    def __fspath__(self):
        self._call_back()
        return self.path

    def __index__(self):
        self._call_back()
        return 640

    def __eq__(self, other):
        self._call_back()
        return NotImplemented

    __hash__ = object.__hash__

    def __str__(self):
        self._call_back()
        return self.path


CALLS_BACK = {
    "find_first_file": lambda value, model: core.find_first_file(value, ".strale"),
    "copyDirectoryToTemp": lambda value, model: core.copyDirectoryToTemp(value),
    "writeFreFile": lambda value, model: core.writeFreFile(model, value),
    "saveStrale": lambda value, model: core.saveStrale(model, value),
    "loadStrale": lambda value, model: core.loadStrale(value),
    "getStrale": lambda value, model: core.getStrale(value),
    "solve": lambda value, model: core.solve(value, "PipeStress", True),
    "solvePipingModel": lambda value, model: core.solvePipingModel(model, value, value, value),
    "addPipingProject": lambda value, model: core.addPipingProject(value, "Plant", "Base", value, value),
    "addPipingStudy": lambda value, model: core.addPipingStudy(value, "Extra", value, value),
    "removeProject": lambda value, model: core.removeProject(value),
    "FindSolverPaths": lambda value, model: core.FindSolverPaths({"Families": [{"Name": value}]}),
}


@pytest.mark.parametrize("name", sorted(CALLS_BACK))
def test_arguments_that_call_the_module_back(ready, capsys, tmp_path, monkeypatch, name):
    working = tmp_path / "working"
    working.mkdir()
    monkeypatch.chdir(working)
    model = core.createPipingStrale()
    document = os.path.join(ready.data_dir, "plant.strale")
    core.saveStrale(model, document)
    value = CallsBack(document if name in ("writeFreFile", "saveStrale", "loadStrale", "solve", "solvePipingModel")
                      else ready.data_dir)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            CALLS_BACK[name](value, model)
        except SystemError:
            raise
        except Exception:
            pass
    core.disposeSolution()
    assert os.listdir(str(working)) == []
