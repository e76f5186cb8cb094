"""A study of one pipe run: how does its largest stress move with wall
thickness, temperature and support spacing? 50 points of a Latin
hypercube, each model built by build() in its own directory in a worker,
solved, and its value collected; then the page, with each value against
each parameter and the parameters ranked by influence. The study first
runs 40 of the points, then all 50: the second run solves only the 10 new
ones, the journal has the others.

The same from the command line:

    python -m dralvex_computer study study:build --collect study:max_stress --directory pipe-study \\
        --design lhs --range WallThickness=4:12 --range Temperature=20:180 --range SupportSpacing=2:6 \\
        --samples 50 --seed 7 --installation "C:\\...\\Ductavo 20XX.Y" --solver PipeStress \\
        --summary pipe-study/page.html --units max_stress=MPa
"""
import os
import sys

from simulated import for_workers, installation  # first: the simulated platform stands in for the application

import dralvex_computer as cc
from dralvex_computer import batch

PIPES = 4


def build(point, directory):
    """In a worker, in the point's own directory: a pipe run of PIPES pipes
    with the point's design properties, saved with its solver input."""
    model = cc.createPipingStrale()
    for _ in range(PIPES):
        cc.executeCommand(cc.createCommand("AddPipe", model))
    for name, value in point.items():
        model.SetProperty(name, value)
    path = os.path.join(directory, "pipe-run.strale")
    cc.saveStrale(model, path)
    return path


def max_stress(solution, path):
    return {"max_stress": solution.Results["analysis"]["max_stress"]}


def main(directory=None):
    with installation(solve_seconds=0.05) as site:
        directory = directory or os.path.join(site.root, "pipe-study")   # removed with the simulated installation
        design = batch.study.latin_hypercube(
            {"WallThickness": (4.0, 12.0), "Temperature": (20.0, 180.0), "SupportSpacing": (2.0, 6.0)}, 50, seed=7)
        for points in (design[:40], design):
            results = batch.run_study(build, points, "PipeStress", for_workers(site), max_stress,
                                      directory=directory, workers=2, units={"max_stress": "MPa"})
            print("%d points: %d solved, %d of them now" % (len(results), sum(result.ok for result in results),
                                                           sum(result.ok and not result.resumed for result in results)))
        best = min((result for result in results if result.ok), key=lambda result: result.value["max_stress"])
        print("the lowest stress, %.1f MPa, at %s" % (best.value["max_stress"], best.item))
        page = os.path.join(directory, "page.html")
        batch.results.summary.write(os.path.join(directory, batch.study.JOURNAL_FILE), page, "Pipe run study")
        print("the page: %s" % page)


if __name__ == "__main__":   # worker processes import this file: the study runs once
    main(os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else None)
