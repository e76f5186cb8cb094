"""Helpers shared by the batch tests: models and installations, statuses,
the processes of the machine as /proc shows them, and a licence seat held
by another user."""
import contextlib
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

import batch_tasks
import dralvex_sim
import process_table
from process_table import processes  # noqa: F401 (for the tests)
from conftest import SIM, core
from dralvex_computer import batch, facts
from dralvex_computer.batch.worker import processes as batch_processes

PREPARE = facts.SIMULATED_PREPARE
IS_PYPY = sys.implementation.name == "pypy"
DASK_ON_PYPY = ("Dask distributed installs on PyPy but does not import: psutil's C extension needs PyErr_FormatV, "
                "which PyPy lacks")
HAS_PROC = os.path.isdir("/proc")
# Every process a test starts carries this mark in its environment, so that
# a test that looks for what was left looks only at its own.
MARK = "DRALVEX_TEST_RUN"


def can_mount_private_tmpfs():
    """Whether this process may mount a tmpfs in a mount namespace of its
    own (unshare -m, as root, where the container allows it)."""
    if not shutil.which("unshare"):
        return False
    probe = subprocess.run(["unshare", "-m", "sh", "-c", "mount -t tmpfs tmpfs /tmp"], capture_output=True)
    return probe.returncode == 0


def make_model(directory, name, pipes=1):
    return dralvex_sim.build_model(core, directory, name, pipes)


def installation_of(site):
    return batch.Installation(site.install_dir, "All", site.settings_path, site.data_sources_path, PREPARE)


def statuses(results):
    return [result.status for result in results]


def solver_programs(site):
    """Live processes of a simulated installation's solver programs."""
    return [pid for pid, _, state, command_line in processes() if state != "Z" and site.install_dir in command_line]


def running_solvers(site):
    """Live solver programs of an installation, and nothing else (a run's
    command line names the installation too)."""
    solvers = os.path.join(site.install_dir, "Solvers")
    return [pid for pid, _, state, command_line in processes() if state != "Z" and solvers in command_line]


def run_directories(directory):
    return [name for name in os.listdir(directory) if name.startswith("dralvex-run-")]


def eventually(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def overlap(results):
    """The most items of a run that ran at once, read from its timeline."""
    events = sorted([(r.started, 1) for r in results] + [(r.started + r.elapsed, -1) for r in results])
    running = most = 0
    for _, change in events:
        running += change
        most = max(most, running)
    return most


@contextlib.contextmanager
def seat_taken(install_dir, until):
    """Another user holds the only seat until ``until`` (an Event) is set,
    or for 30 s at most."""
    from dralvex_sim.solvers import licences
    taken = threading.Event()

    def hold():
        with licences.seat(os.path.join(install_dir, "Licences"), "PipeStress") as granted:
            assert granted
            taken.set()
            until.wait(30)

    holder = threading.Thread(target=hold)
    holder.start()
    taken.wait(10)
    try:
        yield
    finally:
        until.set()
        holder.join()


def worker_paths():
    return os.pathsep.join([SIM, os.path.dirname(os.path.abspath(batch_tasks.__file__))])


def environment(**extra):
    """The environment of a command the tests start: the stand-ins, the
    test helpers, the kit as the prepare hook, and a mark of its own."""
    variables = dict(os.environ, PYTHONPATH=worker_paths())
    variables[facts.PREPARE_VARIABLE] = facts.SIMULATED_PREPARE
    variables.setdefault(MARK, "%d-%d" % (os.getpid(), time.monotonic_ns()))
    variables.update(extra)
    return variables


def marked(mark):
    """The live processes that one command (started with ``environment()``
    and this mark) and everything it started left."""
    return process_table.marked(MARK, mark)


def site_options(site):
    return ["--installation", site.install_dir, "--settings", site.settings_path, "--data-sources",
            site.data_sources_path]


# Linux: a command started by a test dies with the test's process (a suite
# killed mid-test, by a CI time-out, leaves no command with no parent); its
# workers and solver programs then end with it, as with any killed command.
_DIE_WITH_PARENT = (
    "import ctypes, os, sys\n"
    "parent = int(sys.argv.pop(1))\n"
    "ctypes.CDLL(None, use_errno=True).prctl(1, 9)   # PR_SET_PDEATHSIG, SIGKILL; kept across exec\n"
    "if os.getppid() != parent:\n"
    "    os._exit(1)   # gone already\n"
    "os.execv(sys.executable, [sys.executable] + sys.argv[1:])\n")


def cli(*arguments):
    """The command line of ``python -m dralvex_computer ARGUMENTS``, as the
    tests start it."""
    if sys.platform.startswith("linux"):
        return [sys.executable, "-c", _DIE_WITH_PARENT, str(os.getpid()), "-m", "dralvex_computer", *arguments]
    return [sys.executable, "-m", "dralvex_computer", *arguments]


def command(*arguments, **options):
    return subprocess.run(cli(*arguments), capture_output=True, text=True, env=environment(), timeout=180,
                          **options)


def solves(site, since=0):
    """The solver programs' own record of what they ran, after the first ``since``."""
    return dralvex_sim.solve_log(site.install_dir)[since:]


DASK = os.path.join(os.path.dirname(sys.executable), "dask")


@contextlib.contextmanager
def dask_scheduler(scheduler_file, variables):
    """A Dask scheduler of the test's own on 127.0.0.1, and the list of the
    processes started for it (the scheduler first): the test adds its
    workers there, and each is ended with its whole group at the end, asked
    first (a nanny's resource tracker then removes the named semaphores of
    its workers, which outlive a killed group)."""
    scratch = os.path.join(os.path.dirname(scheduler_file), "scheduler-scratch")   # its own, not /tmp's
    started = [subprocess.Popen([DASK, "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                                 "--scheduler-file", scheduler_file],
                                env=dict(variables, DASK_TEMPORARY_DIRECTORY=scratch), start_new_session=True,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        for _ in range(300):
            if os.path.exists(scheduler_file):
                break
            time.sleep(0.1)
        yield started
    finally:
        for process in reversed(started):
            for signum in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(process.pid, signum)
                except OSError:
                    pass
                if eventually(lambda: batch_processes.group_ended(process.pid), 20):
                    break
            process.wait()


class FakeMsvcrt:
    """msvcrt's byte-range locks as Windows keeps them: per file, refused
    to any other descriptor while held."""
    LK_NBLCK, LK_UNLCK = 2, 0

    def __init__(self):
        self.held = {}

    def locking(self, descriptor, mode, count):
        status = os.fstat(descriptor)
        where = (status.st_dev, status.st_ino, os.lseek(descriptor, 0, os.SEEK_CUR), count)
        assert where[2] == batch.filelock.LOCK_OFFSET
        if mode == self.LK_UNLCK:
            assert self.held.pop(where) == descriptor
        elif where in self.held:
            raise PermissionError(13, "Permission denied")
        else:
            self.held[where] = descriptor
