"""Nothing left, every time: runs the ways a batch item ends abnormally many
times over, beside two CPU-bound processes, each run with a temporary
directory of its own, and counts what any run left there and the processes
left behind. Not part of the test suite (it takes minutes); its figures go
in the closing notes of the work they check.

    .venv-cpython/bin/python tools/stress-leftovers.py [REPETITIONS]

The ways: a worker SIGKILLed while its solver program runs; an item past
its time-out whose child ignores SIGTERM; Ctrl-C to the command line while
two solves run.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIM = os.path.join(ROOT, "sim")
sys.path.insert(0, SIM)
sys.path.insert(0, os.path.join(ROOT, "tests"))
import process_table  # noqa: E402
PREPARE = "dralvex_sim.kit:activate"
SCENARIOS = ("killed worker", "time-out, child ignores SIGTERM", "Ctrl-C")


MARK = "DRALVEX_STRESS_RUN"


def marked(mark):
    """The live processes started by one scenario run, found by the mark in
    their environment, so that other work on the machine is never counted."""
    return process_table.marked(MARK, mark)


def wait_for(condition, seconds=60.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        found = condition()
        if found:
            return found
        time.sleep(0.02)
    raise TimeoutError("waited %s s" % seconds)


def stubborn(seconds):
    """An item that starts a child which ignores SIGTERM, then waits."""
    subprocess.Popen([sys.executable, "-c", "import signal, time\nsignal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
                      "time.sleep(120)  # dralvex-stress-child"])
    time.sleep(seconds)


def scenario(name, work):
    """Runs one scenario in this process (its temporary directory is the
    environment's)."""
    from dralvex_computer import batch
    site = batch.Installation(os.path.join(work, "Dralvex", "Ductavo 20XX.Y"), "All",
                              os.path.join(work, "ProgramData", "Dralvex", "Ductavo", "Settings", "Ductavo.settings"),
                              os.path.join(work, "ProgramData", "Dralvex", "Ductavo", "Settings",
                                           "DataSources.settings"), PREPARE)
    models = [os.path.join(work, "models", name, name + ".strale") for name in ("a", "b")]
    if name == "killed worker":
        def kill_the_worker():
            solver = wait_for(lambda: [parent for _, parent, _, line in process_table.processes()
                                       if site.directory in line and "pipestress" in line])
            os.kill(solver[0], signal.SIGKILL)
        import threading
        threading.Thread(target=kill_the_worker, daemon=True).start()
        results = batch.solve_models(models[:1], "PipeStress", site, workers=1, progress=False)
        assert results[0].status == batch.WORKER_LOST, results[0]
    elif name == "time-out, child ignores SIGTERM":
        results = batch.map_models(stubborn, [60], site, workers=1, timeout=1.5, progress=False)
        assert results[0].status == batch.TIMED_OUT, results[0]
    else:
        command = subprocess.Popen([sys.executable, "-m", "dralvex_computer", "solve", "--installation", site.directory,
                                    "--settings", site.settings_path, "--data-sources", site.data_sources_path,
                                    "--solver", "PipeStress", "--workers", "2", "--no-progress", *models],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: sum(site.directory in line and "pipestress" in line
                             for _, _, _, line in process_table.processes()) >= 2)
        command.send_signal(signal.SIGINT)
        assert command.wait(60) == 130


def prepare(work):
    import dralvex_sim
    import dralvex_computer as cc
    site = dralvex_sim.make_installation(work, solve_seconds=60)
    site.point(cc.dralvex_core)
    cc.setup_dralvex_computer(site.install_dir, cc.DralvexModule.All)
    for name in ("a", "b"):
        dralvex_sim.build_model(cc, os.path.join(work, "models", name), name)


def main():
    repetitions = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    work = tempfile.mkdtemp(prefix="dralvex-stress-", dir=os.path.join(ROOT, "build"))
    environment = dict(os.environ, PYTHONPATH=SIM, DRALVEX_COMPUTER_PREPARE=PREPARE)
    load = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2)]
    left = {name: 0 for name in SCENARIOS}
    orphans = {name: 0 for name in SCENARIOS}
    failures = {name: 0 for name in SCENARIOS}
    seconds = {name: 0.0 for name in SCENARIOS}
    try:
        subprocess.run([sys.executable, __file__, "--prepare", work], check=True, env=environment)
        for repetition in range(repetitions):
            for name in SCENARIOS:
                temporary = os.path.join(work, "tmp-%d-%d" % (repetition, SCENARIOS.index(name)))
                os.makedirs(temporary)
                started = time.monotonic()
                mark = "%d-%d" % (repetition, SCENARIOS.index(name))
                done = subprocess.run([sys.executable, __file__, "--scenario", name, work],
                                      env=dict(environment, TMPDIR=temporary, **{MARK: mark}), capture_output=True,
                                      text=True)
                seconds[name] += time.monotonic() - started
                if done.returncode != 0:
                    failures[name] += 1
                    print("%s: exit %d\n%s" % (name, done.returncode, done.stderr[-1500:]), file=sys.stderr)
                time.sleep(1.0)   # a reaper's moment
                remaining = os.listdir(temporary)
                if remaining:
                    left[name] += 1
                    print("%s, run %d left %s" % (name, repetition, remaining), file=sys.stderr)
                stray = marked(mark)
                if stray:
                    orphans[name] += 1
                    print("%s, run %d left processes %s" % (name, repetition, stray), file=sys.stderr)
                    for pid, _ in stray:
                        try:
                            os.kill(pid, signal.SIGKILL)
                        except OSError:
                            pass
            print("repetition %d of %d done" % (repetition + 1, repetitions), file=sys.stderr)
    finally:
        for process in load:
            process.kill()
            process.wait()
        shutil.rmtree(work, ignore_errors=True)
    print("| way it ended | runs | left something in its temporary directory | left processes | failed | "
          "mean seconds |")
    print("|---|---|---|---|---|---|")
    for name in SCENARIOS:
        print("| %s | %d | %d | %d | %d | %.2f |" % (name, repetitions, left[name], orphans[name], failures[name],
                                                    seconds[name] / repetitions))
    return 1 if any(left.values()) or any(orphans.values()) or any(failures.values()) else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--prepare"]:
        prepare(sys.argv[2])
    elif sys.argv[1:2] == ["--scenario"]:
        scenario(sys.argv[2], sys.argv[3])
    else:
        sys.exit(main())
