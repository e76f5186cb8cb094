"""A parametric sweep: make variants of a model (1 to 8 pipes), solve them
in parallel, one worker process per model, and print a table of results.
Each simulated solve takes a fifth of a second of CPU, as a small real one
would take minutes."""
import os

from simulated import build_model, for_workers, installation  # first: the simulated platform stands in for the application

import dralvex_computer as cc
from dralvex_computer import batch


def max_stress(solution, path):
    """Runs in the worker, before the solution is disposed: only what it
    returns crosses back to this process."""
    return solution.Results["analysis"]["max_stress"]


def main():
    with installation(solve_seconds=0.2) as site:
        cc.setup_dralvex_computer(site.install_dir, cc.DralvexModule.Ductavo)
        # one model per directory; build_model does what examples/documents.py shows
        paths = [build_model(cc, os.path.join(site.data_dir, "variant-%d" % pipes), "variant-%d" % pipes, pipes)
                 for pipes in range(1, 9)]

        results = batch.solve_models(paths, "PipeStress", for_workers(site), workers=2, timeout=120,
                                     collect=max_stress)
        print("%-12s %-8s %10s %8s" % ("variant", "status", "max stress", "seconds"))
        for pipes, result in zip(range(1, 9), results):
            print("%-12s %-8s %10s %8.2f" % ("%d pipes" % pipes, result.status, result.value, result.elapsed))


if __name__ == "__main__":   # worker processes import this file: the sweep runs once
    main()
