"""The same solves on a Dask cluster: here a LocalCluster of two
single-thread worker processes; across workstations, a Client connected to
a scheduler whose workers each have the application installed
(pip install dralvex_computer[dask])."""
import os
import sys

from simulated import build_model, for_workers, installation  # first: the simulated platform stands in for the application

import dralvex_computer as cc
from dralvex_computer import batch


def main():
    try:
        import dask
        from distributed import Client, LocalCluster
    except ImportError:
        if sys.implementation.name == "pypy":
            print("Dask distributed does not run on PyPy (psutil's C extension needs PyErr_FormatV, which PyPy "
                  "lacks): run this example with CPython")
        else:
            print("Dask distributed is not installed here: pip install dralvex_computer[dask]")
        return
    with installation(solve_seconds=0.1) as site:
        cc.setup_dralvex_computer(site.install_dir, cc.DralvexModule.Ductavo)
        paths = [build_model(cc, os.path.join(site.data_dir, "model-%d" % index), "model-%d" % index)
                 for index in range(4)]
        workers = for_workers(site)   # before the cluster starts: its workers inherit the environment
        dask.config.set({"temporary-directory": os.path.join(site.root, "dask")})   # Dask's own scratch space
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
                Client(cluster) as client:
            for result in batch.solve_models(paths, "PipeStress", workers, executor=client, timeout=120):
                print(os.path.basename(result.item), result.status, "on", result.worker)


if __name__ == "__main__":
    main()
