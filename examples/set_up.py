"""Set-up: point the module at an installation and read what it found."""
from simulated import installation  # first: the simulated platform stands in for the application

import dralvex_computer as cc

with installation() as site:
    # True once the installation's "Extensions" directory is there; the
    # host application object and the command controller are then made.
    valid = cc.setup_dralvex_computer(site.install_dir, cc.DralvexModule.Ductavo)
    print("set up:", valid)
    # What set-up read from the two settings documents.
    print("solvers:", cc._Aster_, cc._PipeStress_)
    print("data and projects:", cc._dataPath_, cc._projectPath_)
    # Assemblies are loaded once; a missing one raises FileNotFoundError.
    cc.load_dll("Dralvex.Helper.dll")
    try:
        cc.load_dll("Dralvex.Missing.dll")
    except FileNotFoundError as error:
        print("missing:", error)
