"""Python code called by the module that calls the module again, without
end, stops with RecursionError as plain Python would, never a crash (PyPy
once aborted the process on the way back up). Each case runs in a fresh
interpreter, since a crash would take the test run with it."""
import os

import pytest

from conftest import run_set_up_script


# a name whose lower() lists the directory again
RECURSIVE_LISTING = """
class Name(str):
    def lower(self):
        return core.find_first_file(".", ".txt") or str(self)
listing = types.SimpleNamespace(**vars(os))
listing.listdir = lambda directory: [Name("a.txt")]
core.os = listing
"""

CASES = {
    "find_first_file": RECURSIVE_LISTING + """
core.find_first_file(".", ".txt")
""",
    # the same on a thread with the 1 MB stack that Windows gives threads
    "find_first_file-small-stack": RECURSIVE_LISTING + """
import threading
outcome = []
def run():
    try:
        core.find_first_file(".", ".txt")
    except BaseException as error:
        outcome.append(error)
threading.stack_size(1 << 20)
worker = threading.Thread(target=run)
worker.start()
worker.join()
raise outcome[0]
""",
    # a solution whose Dispose disposes again
    "disposeSolution": """
class Solution:
    def Dispose(self):
        core.disposeSolution()
core._Solution_ = Solution()
core.disposeSolution()
""",
    # a model that writes its FRE file by asking for it again, through the
    # clean-up of a failed write
    "writeFreFile": """
class Model:
    def WriteFreFile(self, frefile, *options):
        core.writeFreFile(self, document)
document = os.path.join(site.data_dir, "plant.strale")
with open(os.path.join(site.data_dir, "plant.fre"), "w") as old:
    old.write("old")
core.writeFreFile(Model(), document)
""",
}


@pytest.mark.parametrize("name", CASES)
def test_endless_recursion_ends_in_recursion_error(tmp_path, name):
    code = "try:\n" + "".join("    " + line + "\n" for line in CASES[name].strip().splitlines()) + (
        "except RecursionError:\n    print('RecursionError')\n")
    result = run_set_up_script(tmp_path / "site", code)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip().splitlines()[-1] == "RecursionError"


NESTING = """
depth = [0]
class Name(str):
    def lower(self):
        depth[0] += 1
        return core.find_first_file(".", ".txt") or str(self)
listing = types.SimpleNamespace(**vars(os))
listing.listdir = lambda directory: [Name("a.txt")]
core.os = listing
import threading
outcome = []
def run():
    try:
        core.find_first_file(".", ".txt")
    except RecursionError:
        outcome.append(depth[0])
threading.stack_size(1 << 20)
worker = threading.Thread(target=run)
worker.start()
worker.join()
print(outcome)
"""


def test_nesting_allows_more_than_a_hundred_calls_on_a_small_stack(tmp_path):
    """The nesting limit is set from the measured stack use of one nested
    call: over a hundred on a 1 MB thread (fewer in a sanitizer build, whose
    frames are three times larger)."""
    result = run_set_up_script(tmp_path / "site", NESTING)
    assert result.returncode == 0, result.stderr[-3000:]
    depth = eval(result.stdout.strip().splitlines()[-1])[0]
    assert depth >= (50 if os.environ.get("DRALVEX_SANITIZERS") else 150), depth
