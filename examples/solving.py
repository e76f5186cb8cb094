"""Solving a piping model with PipeStress and Aster, in place and in a
sandbox (a copy of the model's files in a new temporary directory)."""
import os

from simulated import installation  # first: the simulated platform stands in for the application

import dralvex_computer as cc

with installation() as site:
    cc.setup_dralvex_computer(site.install_dir, cc.DralvexModule.Ductavo)
    model = cc.createPipingStrale()
    cc.executeCommand(cc.createCommand("AddPipe", model))   # something to solve
    path = os.path.join(site.data_dir, "plant.strale")
    cc.saveStrale(model, path)
    for solver in ("PipeStress", "Aster"):
        for sandbox in (False, True):
            solution = cc.solve(path, solver, sandbox)       # None when the run fails
            print(solver, "sandbox" if sandbox else "in place", "->", solution is not None)
            cc.disposeSolution()                             # releases it, deletes the sandbox
