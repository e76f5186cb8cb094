import os
import re
import shutil
import tempfile

import pytest

from conftest import Proxy, core
from dralvex_sim.plain import find_first_file as plain_find_first_file


def listing(names, files, checked):
    """An `os` whose listdir returns `names` in that order and whose
    isfile records what it was asked."""
    def isfile(path):
        checked.append(os.path.basename(path))
        return os.path.basename(path) in files
    return Proxy(os, listdir=lambda directory: list(names), path=Proxy(os.path, isfile=isfile))


@pytest.mark.parametrize("names,files,ext,expected,checked", [
    (["Plant.Strale", "b.strale"], {"Plant.Strale", "b.strale"}, ".strale", "Plant.Strale", ["Plant.Strale"]),
    (["Plant.Strale"], {"Plant.Strale"}, ".Strale", "", []),
    (["old.backup.strale"], {"old.backup.strale"}, ".strale", "old.backup.strale", ["old.backup.strale"]),
    (["mystrale"], {"mystrale"}, "strale", "mystrale", ["mystrale"]),
    (["dir.strale", "x.txt", "z.strale"], {"z.strale", "x.txt"}, ".strale", "z.strale", ["dir.strale", "z.strale"]),
    (["a", "b"], {"a", "b"}, "", "a", ["a"]),
    ([], set(), ".thf", "", []),
])
def test_find_first_file_walk(names, files, ext, expected, checked):
    seen = []
    core.os = listing(names, files, seen)
    result = core.find_first_file("D", ext)
    assert result == (os.path.join("D", expected) if expected else "")
    assert seen == checked


def test_find_first_file_on_disk(tmp_path):
    (tmp_path / "sub.thf").mkdir()
    (tmp_path / "notes.txt").write_text("")
    assert core.find_first_file(str(tmp_path), ".thf") == ""
    (tmp_path / "Loads.THF").write_text("")
    assert core.find_first_file(directory=str(tmp_path), ext=".thf") == os.path.join(str(tmp_path), "Loads.THF")


@pytest.mark.parametrize("directory,error", [("/no/such/dir", FileNotFoundError), (__file__, NotADirectoryError),
                                             (None, None), (3.5, TypeError)])
def test_find_first_file_bad_directories(directory, error):
    if error is None:
        # os.listdir(None) lists the working directory, as Python does.
        assert isinstance(core.find_first_file(directory, ".nothing-ends-so"), str)
        return
    with pytest.raises(error):
        core.find_first_file(directory, ".strale")


def test_find_first_file_works_before_setup(tmp_path):
    (tmp_path / "a.strale").write_text("")
    assert core._validSetup_ is False
    assert core.find_first_file(str(tmp_path), ".strale").endswith("a.strale")


def make_tree(root):
    (root / "sub").mkdir(parents=True)
    (root / "a.strale").write_text("model")
    (root / "sub" / "b.thf").write_text("loads")


def test_copy_directory_to_temp(tmp_path):
    make_tree(tmp_path / "src")
    copies = [core.copyDirectoryToTemp(str(tmp_path / "src")) for _ in range(2)]
    try:
        assert copies[0] != copies[1]
        for copy in copies:
            assert os.path.dirname(copy) == tempfile.gettempdir()
            assert re.fullmatch(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}",
                                os.path.basename(copy))
            assert open(os.path.join(copy, "sub", "b.thf")).read() == "loads"
    finally:
        for copy in copies:
            shutil.rmtree(copy, ignore_errors=True)


def temp_entries():
    return set(os.listdir(tempfile.gettempdir()))


def test_copy_of_missing_directory(tmp_path):
    before = temp_entries()
    assert core.copyDirectoryToTemp(str(tmp_path / "missing")) == ""
    assert temp_entries() - before == set()


def test_failed_copy_leaves_nothing_behind(tmp_path):
    make_tree(tmp_path / "src")
    os.symlink(tmp_path / "nowhere", tmp_path / "src" / "broken")   # copytree fails after copying the rest
    before = temp_entries()
    assert core.copyDirectoryToTemp(str(tmp_path / "src")) == ""
    assert temp_entries() - before == set()


def test_copy_passes_non_exception_errors(tmp_path):
    def interrupted(source, target, dirs_exist_ok):
        raise KeyboardInterrupt
    core.shutil = Proxy(shutil, copytree=interrupted)
    with pytest.raises(KeyboardInterrupt):
        core.copyDirectoryToTemp(str(tmp_path))


def test_copy_calls_copytree_with_dirs_exist_ok(tmp_path):
    seen = []
    core.shutil = Proxy(shutil, copytree=lambda *args, **kwargs: seen.append((args, kwargs)))
    target = core.copyDirectoryToTemp("source")
    assert seen == [(("source", target), {"dirs_exist_ok": True})]


PARTIAL_COPY = """
import os, socket, sys, tempfile
import dralvex_computer as cc
root = sys.argv[1]
source = os.path.join(root, "src")
os.makedirs(os.path.join(source, "a_read_only"))
with open(os.path.join(source, "a_read_only", "kept.txt"), "w") as stream:
    stream.write("x")
os.chmod(os.path.join(source, "a_read_only"), 0o555)
# copied last, and uncopyable: the copy fails after the read-only directory
listener = socket.socket(socket.AF_UNIX)
listener.bind(os.path.join(source, "z_socket"))
tempfile.tempdir = os.path.join(root, "tmp")
os.makedirs(tempfile.tempdir)
print(repr(cc.dralvex_core.copyDirectoryToTemp(source)), os.listdir(tempfile.tempdir))
"""


@pytest.fixture
def shared_with_ordinary_user():
    """A directory that an ordinary user can reach, inside this checkout."""
    from conftest import ROOT
    import uuid
    directory = os.path.join(ROOT, "build", "as-user-" + uuid.uuid4().hex)
    os.makedirs(directory)
    os.chmod(directory, 0o777)
    yield directory
    for parent, names, _ in os.walk(directory):
        for name in names:
            if not os.path.islink(os.path.join(parent, name)):
                os.chmod(os.path.join(parent, name), 0o700)
    shutil.rmtree(directory)


def test_failed_copy_with_read_only_directory_leaves_nothing(shared_with_ordinary_user):
    """As an ordinary user (root may delete in read-only directories)."""
    from conftest import SIM
    import subprocess
    import sys
    tmp_path = shared_with_ordinary_user
    as_user = {}
    if os.geteuid() == 0:
        as_user = {"user": 65534, "group": 65534} if sys.version_info >= (3, 9) else {
            "preexec_fn": lambda: (os.setgid(65534), os.setuid(65534))}
    environment = dict(os.environ, PYTHONPATH=SIM, HOME=str(tmp_path))
    try:
        result = subprocess.run([sys.executable, "-c", PARTIAL_COPY, str(tmp_path)], capture_output=True, text=True,
                                env=environment, cwd=str(tmp_path), timeout=120, **as_user)
    except PermissionError:
        pytest.skip("this interpreter is out of an ordinary user's reach")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "'' []"


def outcome(function, *args):
    try:
        return "result", function(*args)
    except Exception as error:
        return type(error).__name__, str(error)


@pytest.fixture
def awkward_directory(tmp_path):
    """Names that str.lower changes in length or treats beyond ASCII, an
    undecodable name, a directory that matches, in a known listing."""
    names = [b"sub.thf", b"A.TXT", b"b.TH\xe2\x84\xaa", b"\xc3\x89COLE.THF", b"\xff.thf", b"plain.thf", b"Z.Thf"]
    for name in names:
        path = os.path.join(os.fsencode(str(tmp_path)), name)
        if name == b"sub.thf":
            os.mkdir(path)
        else:
            open(path, "wb").close()
    return tmp_path


@pytest.mark.parametrize("ext", [".thf", ".THF", ".thk", "\u212a", ".txt", "", "thf", ".th\u212a", "\udcff.thf",
                                 (".txt", ".thf"), 42, b".thf", "\xe9cole.thf"])
@pytest.mark.parametrize("kind", ["str", "bytes", "path"])
def test_fast_walk_gives_the_plain_result(awkward_directory, ext, kind):
    import pathlib
    directory = {"str": str(awkward_directory), "bytes": os.fsencode(str(awkward_directory)),
                 "path": pathlib.Path(awkward_directory)}[kind]
    assert outcome(core.find_first_file, directory, ext) == outcome(plain_find_first_file, directory, ext)


class Lowered(str):
    def lower(self):
        return "forced.thf"


def test_names_with_their_own_lower_are_asked(tmp_path):
    (tmp_path / "a.txt").write_text("")
    core.os = Proxy(os, listdir=lambda directory: [Lowered("a.txt")])
    assert core.find_first_file(str(tmp_path), ".thf") == str(tmp_path / "a.txt")
