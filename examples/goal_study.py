"""A study that answers a question: the lightest wall, and the widest
support spacing it allows, that keep a pipe run's largest stress under
440 MPa at 10 MPa. No table: each next point is proposed the moment a
worker is free, toward the goal, 24 points at most; then the page, with
the best point that holds and what drives each value.

The same from the command line:

    python -m dralvex_computer study goal_study:build --collect goal_study:stress_and_mass \\
        --directory pipe-goal --goal "minimise mass where max_stress <= 440" \\
        --range WallThickness=1:12 --range SupportSpacing=2:8 --resolution WallThickness=0.01 --budget 24 \\
        --installation "C:\\...\\Ductavo 20XX.Y" --solver PipeStress --summary pipe-goal/page.html
"""
import os
import sys

from simulated import for_workers, installation  # first: the simulated platform stands in for the application

import dralvex_computer as cc
from dralvex_computer import batch


def build(point, directory):
    """In a worker, in the point's own directory: two pipes at 10 MPa with
    the point's wall and support spacing."""
    model = cc.createPipingStrale()
    for _ in range(2):
        cc.executeCommand(cc.createCommand("AddPipe", model))
    for name, value in dict(point, Pressure=10.0).items():
        model.SetProperty(name, value)
    path = os.path.join(directory, "pipe-run.strale")
    cc.saveStrale(model, path)
    return path


def stress_and_mass(solution, path):
    analysis = solution.Results["analysis"]
    return {"max_stress": analysis["max_stress"], "mass": analysis["mass"], "supports": analysis["supports"]}


def main(directory=None):
    with installation(solve_seconds=0.05) as site:
        directory = directory or os.path.join(site.root, "pipe-goal")   # removed with the simulated installation
        results = batch.run_study(build, {"WallThickness": (1.0, 12.0), "SupportSpacing": (2.0, 8.0)}, "PipeStress",
                                  for_workers(site), stress_and_mass, directory=directory,
                                  goal="minimise mass where max_stress <= 440", budget=24,
                                  resolution={"WallThickness": 0.01, "SupportSpacing": 0.01}, workers=2,
                                  units={"max_stress": "MPa", "mass": "kg"})
        held = [result for result in results if result.ok and result.value["max_stress"] <= 440]
        best = min(held, key=lambda result: result.value["mass"])
        print("%d points run, %d hold 440 MPa; the lightest: %.1f kg at %s (%.1f MPa)"
              % (len(results), len(held), best.value["mass"], best.item, best.value["max_stress"]))
        page = os.path.join(directory, "page.html")
        batch.results.summary.write(os.path.join(directory, batch.study.JOURNAL_FILE), page, "The lightest pipe")
        print("the page: %s" % page)


if __name__ == "__main__":   # worker processes import this file: the study runs once
    main(os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else None)
