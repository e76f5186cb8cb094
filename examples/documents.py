"""Model documents and FRE files: create, save, find, load, write input."""
import os
import shutil

from simulated import installation  # first: the simulated platform stands in for the application

import dralvex_computer as cc

with installation() as site:
    cc.setup_dralvex_computer(site.install_dir, cc.DralvexModule.Ductavo)
    model = cc.createPipingStrale()                 # an empty piping model, layer "0"
    path = os.path.join(site.data_dir, "plant.strale")
    cc.saveStrale(model, path)                      # saves, then writes its FRE input file
    print("in the directory:", sorted(os.listdir(site.data_dir)))
    print("found:", cc.getStrale(site.data_dir))    # the first .strale file, or ""
    loaded = cc.loadStrale(path)                    # None when the host cannot read it
    print("loaded:", loaded is not None)
    cc.writeFreFile(loaded, path)                   # writes the FRE file again, from the settings
    copy = cc.copyDirectoryToTemp(site.data_dir)   # a copy the caller owns, or ""
    print("copy:", sorted(os.listdir(copy)))
    shutil.rmtree(copy)
