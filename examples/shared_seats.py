"""Two engineers' sweeps started together on one machine, drawing from the
same two PipeStress licence seats: each sweep has three workers, but the
seat pool lets no more than two solves of both run at once. A model waits in
its worker for a seat (its time-out counts from its solve's start), and
the licence server never has to say no.

    python examples/shared_seats.py

The licence server's own record says how many seats were in use at once."""
import os
import subprocess
import sys

from simulated import SIM, build_model, installation  # first: the simulated platform stands in for the application

import dralvex_computer as cc


def main():
    with installation(solve_seconds=0.2, licences={"PipeStress": 2}) as site:
        from dralvex_sim.solvers import licences
        server = os.path.join(site.install_dir, "Licences")
        cc.setup_dralvex_computer(site.install_dir, cc.DralvexModule.Ductavo)
        for variant in range(12):
            build_model(cc, os.path.join(site.data_dir, "models", "line-%02d" % variant), "line-%02d" % variant,
                        pipes=variant % 4 + 1)
        environment = dict(os.environ, DRALVEX_COMPUTER_PREPARE="dralvex_sim.kit:activate", PYTHONPATH=SIM)
        sweeps = []
        for who, variants in (("anna", range(0, 6)), ("ben", range(6, 12))):
            models = [os.path.join(site.data_dir, "models", "line-%02d" % variant, "line-%02d.strale" % variant)
                      for variant in variants]
            sweeps.append(subprocess.Popen(
                [sys.executable, "-m", "dralvex_computer", "solve", "--installation", site.install_dir,
                 "--settings", site.settings_path, "--data-sources", site.data_sources_path, "--solver", "PipeStress",
                 "--workers", "3", "--seats", "PipeStress=2", "--seat-directory", os.path.join(site.root, "seats"),
                 "--timeout", "60", "--report", os.path.join(site.root, who + ".csv"), "--no-progress", *models],
                env=environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
        for who, sweep in zip(("anna", "ben"), sweeps):
            _, said = sweep.communicate()
            print("%s's sweep: %s" % (who, said.strip().splitlines()[-1] if said.strip() else "(nothing said)"))
            if sweep.returncode != 0:
                sys.exit(sweep.returncode)
        record = licences.record(server, "PipeStress")
        print("licence server: %d seats granted, %d denied, at most %d in use at once"
              % (sum(event["event"] == "grant" for event in record), sum(event["event"] == "deny" for event in record),
                 licences.most_in_use(record)))


if __name__ == "__main__":   # worker processes import this file: the sweeps start once
    main()
