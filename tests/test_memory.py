"""Failing host calls leave no memory behind: resident memory stays flat over
tens of thousands of calls whose host exception passes through the module
(or is caught by it). Measured in a fresh interpreter; PyPy is the target,
where each error once cost kilobytes that no collection gave back.

PyPy frees the C-side objects of calls made from C only in a major
collection, which it starts by its own measure of the heap (it differs from
machine to machine): memory is read after a collection at the end of each
round, so what is measured is what no collection gives back. Its heap also
grows in a few steps as it settles, some time after the first rounds: the
growth is read over three windows in a row and the smallest is taken, which
a leak raises in every window and a step in one."""
import os
import platform

import pytest

from conftest import run_set_up_script

SCENARIOS = {
    # the module catches the host's exception itself
    "loadStrale": ("dralvex_sim.fail('Model.LoadFromFile', IOException('unreadable'))",
                   "core.loadStrale(document)"),
    "createPipingStrale": ("dralvex_sim.fail('Model', IOException('no model'))",
                           "core.createPipingStrale()"),
    # the old file is moved aside and put back on each failure
    "writeFreFile": ("dralvex_sim.fail('Model.WriteFreFile.body', IOException('disk full'))",
                     "core.writeFreFile(model, document)"),
    # the made directories are removed on each failure
    "addPipingProject": ("dralvex_sim.fail('ProjectViewModel.CreateNewProject', IOException('denied'))",
                         "core.addPipingProject(site.projects_dir, 'Failing', 'Base', 1920, 1080)"),
    "addPipingStudy": ("dralvex_sim.fail('ProjectViewModel.AddEmptyStudy', IOException('locked'))",
                       "core.addPipingStudy(project, 'Extra', 1920, 1080)"),
    "executeCommand": ("dralvex_sim.fail('CommandController.AddCommand', IOException('busy'))",
                       "core.executeCommand(command)"),
    "inspectClass": ("dralvex_sim.fail('DralvexClassInspector.ExportObjectToJson', IOException('no'))",
                     "core.inspectClass(model, True)"),
}

SCRIPT = """
core.saveStrale(model, document)
project = core.addPipingProject(site.projects_dir, "Plant", "Base", 1920, 1080)
command = core.createCommand("AddPipe", model)

def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def once():
    {fault}
    try:
        {call}
    except IOException:
        pass
    # the simulated host's own logs are not the module's memory
    dralvex_sim.recorder.reset()
    dralvex_sim.bridge.imports.clear()

def rounds(count):
    for _ in range(count):
        for _ in range(2000):
            once()
        gc.collect()

rounds(3)
growths = []
for _ in range(3):
    before = resident()
    rounds({count} // 6000)
    growths.append((resident() - before) / ({count} // 3))
print(min(growths))
"""


@pytest.mark.skipif(platform.system() != "Linux", reason="reads /proc")
@pytest.mark.skipif(bool(os.environ.get("DRALVEX_SANITIZERS")), reason="the sanitizers keep freed memory")
@pytest.mark.parametrize("name", SCENARIOS)
def test_failing_host_calls_keep_memory_flat(tmp_path, name):
    fault, call = SCENARIOS[name]
    count = 24000
    result = run_set_up_script(tmp_path / "site", SCRIPT.format(fault=fault, call=call, count=count))
    assert result.returncode == 0, result.stderr
    per_call = float(result.stdout.strip().splitlines()[-1])
    # Kilobytes per call before the mend; what is left is allocator noise.
    assert per_call < 300, "%s keeps %.0f bytes per failing call" % (name, per_call)
