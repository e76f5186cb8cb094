"""Project folders, projects and the studies inside them."""
from simulated import installation  # first: the simulated platform stands in for the application

import dralvex_computer as cc

with installation() as site:
    cc.setup_dralvex_computer(site.install_dir, cc.DralvexModule.Ductavo)
    folder = cc.addProjectFolder(site.projects_dir, "Plants")     # "" if it exists already
    project = cc.addPipingProject(folder, "Plant A", "Piping", 1920, 1080)
    study = cc.addStructureStudy(project, "Supports", 1920, 1080)  # None if the name is taken
    print("new study:", study is not None)
    cc.duplicateStudy(project, "Supports", "Supports rev B")
    cc.removeStudy(project, "Supports")
    cc.removeProject(project)          # also leaves the working directory at its parent
    cc.removeProjectFolder(folder)
    print("done")
