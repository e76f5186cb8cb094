"""An overnight sweep from the command line, as an engineer leaves it
running: 24 variants of a model, two workers sharing one PipeStress licence
seat (a denied seat is retried with back-off, never reported failed), each
model's maximum stress collected into the report, a journal to resume from,
and the morning summary page.

    python examples/overnight_sweep.py [summary.html]

The page goes where the argument says, or stays in the temporary workspace."""
import os
import subprocess
import sys

from simulated import SIM, build_model, installation  # first: the simulated platform stands in for the application

import dralvex_computer as cc


def max_stress(solution, path):
    """Runs in the worker, before the solution is disposed."""
    return {"max_stress": solution.Results["analysis"]["max_stress"]}


def main():
    with installation(solve_seconds=0.1, licences={"PipeStress": 1}) as site:   # one seat for everyone
        cc.setup_dralvex_computer(site.install_dir, cc.DralvexModule.Ductavo)
        for variant in range(24):
            build_model(cc, os.path.join(site.data_dir, "models", "line-%02d" % variant), "line-%02d" % variant,
                        pipes=variant % 6 + 1)
        summary = sys.argv[1] if len(sys.argv) > 1 else os.path.join(site.root, "summary.html")
        environment = dict(os.environ, DRALVEX_COMPUTER_PREPARE="dralvex_sim.kit:activate",
                           PYTHONPATH=os.pathsep.join([SIM, os.path.dirname(os.path.abspath(__file__))]))
        command = [sys.executable, "-m", "dralvex_computer", "solve", "--installation", site.install_dir,
                   "--settings", site.settings_path, "--data-sources", site.data_sources_path,
                   "--solver", "PipeStress", "--workers", "2", "--retries", "50", "--retry-delay", "0.05",
                   "--retry-on", "no licence available", "--collect", "overnight_sweep:max_stress",
                   "--journal", os.path.join(site.root, "sweep.journal"),
                   "--report", os.path.join(site.root, "sweep.csv"), "--summary", summary, "--no-progress",
                   os.path.join(site.data_dir, "models", "**", "*.strale")]
        finished = subprocess.run(command, env=environment, capture_output=True, text=True)
        print(finished.stderr.strip().splitlines()[-1] if finished.stderr.strip() else "(nothing said)")
        print("summary:", summary)
        if finished.returncode != 0:
            sys.exit(finished.returncode)


if __name__ == "__main__":   # worker processes import this file: the sweep runs once
    main()
