"""The main job: drive the simulated Dralvex application through the whole
workflow that dralvex_computer offers, printing each step.

The simulated platform (the bridge ``clr``, ``pythoncom`` and the host
application) lives in ``sim/`` and is put on ``sys.path`` here; on a real
installation those come from the bridge and the application instead.
"""
import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "sim"))

import dralvex_sim  # noqa: E402
import dralvex_computer as cc  # noqa: E402


def step(title):
    print()
    print("== " + title)


def main(workspace):
    step("A simulated installation in " + workspace)
    site = dralvex_sim.make_installation(workspace)
    print("installation directory:", site.install_dir)

    step("Set-up")
    cc._settingsPath_ = site.settings_path
    cc._dataSourcesPath_ = site.data_sources_path
    valid = cc.setup_dralvex_computer(site.install_dir, cc.DralvexModule.Ductavo)
    print("set up:", valid)
    print("Aster solver:", cc._Aster_)
    print("PipeStress solver:", cc._PipeStress_)
    print("data directory:", cc._dataPath_)
    print("projects directory:", cc._projectPath_)
    print("libraries loaded:", cc._dlls_)

    step("Loading an assembly twice prints nothing the second time")
    cc.load_dll("Dralvex.Helper.dll")
    cc.load_dll("Dralvex.Helper.dll")
    try:
        cc.load_dll("Dralvex.Missing.dll")
    except FileNotFoundError as error:
        print("missing assembly:", error)

    step("Model documents")
    piping = cc.createPipingStrale()
    structure = cc.createStructureStrale()
    print("new piping model, layers:", piping.Layers.names(), "code:", type(piping.CalculationCode).__name__)
    print("new structure model, layers:", structure.Layers.names(), "code:",
          type(structure.CalculationCode).__name__)
    piping_dir = os.path.join(site.data_dir, "Piping")
    structure_dir = os.path.join(site.data_dir, "Structure")
    os.makedirs(piping_dir)
    os.makedirs(structure_dir)
    cc.saveStrale(piping, os.path.join(piping_dir, "plant.strale"))
    cc.saveStrale(structure, os.path.join(structure_dir, "frame.strale"))
    for directory in (piping_dir, structure_dir):
        print("saved in", os.path.basename(directory) + ":", sorted(os.listdir(directory)))
    found = cc.getStrale(piping_dir)
    print("found with getStrale:", found)
    loaded = cc.loadStrale(found)
    print("loaded back, layers:", loaded.Layers.names(), "code:", type(loaded.CalculationCode).__name__)
    print("loading a missing document gives:", cc.loadStrale(os.path.join(piping_dir, "missing.strale")))
    with open(os.path.join(piping_dir, "conception.fre"), encoding="utf-8") as stream:
        print("FRE file written by the host:")
        for line in stream:
            print("   ", line.rstrip())
    copy = cc.copyDirectoryToTemp(piping_dir)
    print("copied to a temporary directory:", sorted(os.listdir(copy)))
    shutil.rmtree(copy)

    step("Custom commands")
    for name in ("AddLayer", "AddPipe", "AddPipe", "RenumberElements"):
        cc.executeCommand(cc.createCommand(name, loaded))
        print("after %-16s layers: %s, elements: %s" % (name, loaded.Layers.names(),
                                                       [e["Number"] for e in loaded.Elements]))
    print("on disk before saving:", len(cc.loadStrale(found).Elements), "elements")
    cc.saveStrale(loaded, found)
    print("on disk after saving: ", len(cc.loadStrale(found).Elements), "elements")

    step("Solving")
    with open(os.path.join(piping_dir, "thermal.thf"), "w", encoding="utf-8") as stream:
        stream.write("T1 120\nT2 80\n")
    structure_model = cc.loadStrale(os.path.join(structure_dir, "frame.strale"))
    cc.executeCommand(cc.createCommand("AddPipe", structure_model))
    cc.saveStrale(structure_model, os.path.join(structure_dir, "frame.strale"))
    solution = cc.solve(found, "PipeStress", True)
    print("PipeStress solution:", solution.Results)
    print("sandbox:", cc._tempDirectory_, sorted(os.listdir(cc._tempDirectory_)))
    print("next to the model, unchanged:", sorted(os.listdir(piping_dir)))
    first_sandbox = cc._tempDirectory_
    solution = cc.solve(os.path.join(structure_dir, "frame.strale"), "Aster", True)
    print("Aster solution:", solution.Results)
    print("first sandbox deleted by the second solve:", not os.path.exists(first_sandbox))
    print("an unknown solver name:")
    print("  result:", cc.solvePipingModel(loaded, found, "aster", piping_dir))
    cc.disposeSolution()
    print("after disposeSolution: solution", cc._Solution_, "- sandbox deleted:",
          not os.path.exists(cc._tempDirectory_))

    step("Host classes described by the class inspector")
    from Dralvex.Ductavo.Core import Model  # type: ignore[import-not-found]  # a .NET namespace, through the bridge
    print("inspectClass(Model, True):")
    for line in (cc.inspectClass(Model, True) or "").splitlines():
        print("   ", line)
    print("findNameSpaceAndAssembly('Model'):", cc.findNameSpaceAndAssembly("Model"))
    print("findNameSpaceAndAssembly('NoSuchClass'):", cc.findNameSpaceAndAssembly("NoSuchClass"))

    step("Projects and studies")
    from dralvex_sim.project import read_project

    def show(project):
        stem = os.path.splitext(os.path.basename(project))[0]
        document = read_project(os.path.join(project, stem + ".project"))
        print("    studies:", [(s["name"], s["module"]) for s in document["studies"]])

    folder = cc.addProjectFolder(cc._projectPath_, "Plant projects")
    print("project folder:", folder)
    project = cc.addPipingProject(folder, "Unit 1", "Piping", 1920, 1080)
    print("piping project:", project)
    show(project)
    print("same project again gives:", repr(cc.addPipingProject(folder, "Unit 1", "Piping", 1920, 1080)))
    print("structure study added:", cc.addStructureStudy(project, "Supports", 1920, 1080))
    show(project)
    cc.duplicateStudy(project, "Supports", "Supports rev B")
    print("duplicated 'Supports' as 'Supports rev B'")
    show(project)
    cc.removeStudy(project, "Supports")
    print("removed 'Supports'")
    show(project)
    cc.removeProject(project)
    print("project removed:", not os.path.exists(project), "- working directory:", os.getcwd())
    cc.removeProjectFolder(folder)
    print("folder removed:", not os.path.exists(folder))
    return 0


if __name__ == "__main__":
    with tempfile.TemporaryDirectory(prefix="dralvex-main-job-") as workspace:
        sys.exit(main(workspace))
