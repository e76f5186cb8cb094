"""Custom commands on a model, and describing host classes."""
from simulated import installation  # first: the simulated platform stands in for the application

import dralvex_computer as cc

with installation() as site:
    cc.setup_dralvex_computer(site.install_dir, cc.DralvexModule.Ductavo)
    model = cc.createPipingStrale()
    for name in ("AddLayer", "AddPipe", "RenumberElements"):
        cc.executeCommand(cc.createCommand(name, model))   # runs on the controller's model
    print("layers:", [layer.Name for layer in model.Layers])
    description = cc.inspectClass(model, True)               # JSON text from the host, or None
    print((description or "")[:60], "...")
    print("Model lives in:", cc.findNameSpaceAndAssembly("Model"))
