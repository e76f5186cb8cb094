"""A simulated licence server: N seats per solver, shared by every solver
program of an installation. The seats are a JSON file of the holders' pids
beside a lock file in the installation's Licences directory; a seat whose
holder died is free again. A program that finds no free seat says "no
licence available" and exits with NO_LICENCE."""
import contextlib
import json
import os

NO_LICENCE = 9
MESSAGE = "no licence available for %s (%d seats, all in use)"


@contextlib.contextmanager
def _locked(directory, solver):
    import fcntl   # POSIX: the licence server is simulated there only
    with open(os.path.join(directory, solver + ".lock"), "a+") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            yield os.path.join(directory, solver + ".seats")
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    with contextlib.suppress(OSError):
        with open("/proc/%d/stat" % pid) as stream:
            return stream.read().split(") ")[-1][:1] != "Z"
    return True


def _read(path):
    try:
        with open(path) as stream:
            return [pid for pid in json.load(stream) if _alive(pid)]
    except (OSError, ValueError):
        return []


def _write(path, holders):
    with open(path, "w") as stream:
        json.dump(holders, stream)


def seats(directory, solver):
    """The number of seats of a solver (None: no licence needed)."""
    try:
        with open(os.path.join(directory, "seats.json")) as stream:
            return json.load(stream).get(solver)
    except (OSError, ValueError):
        return None


@contextlib.contextmanager
def seat(directory, solver):
    """Holds a seat for the block; yields False when none is free."""
    total = seats(directory, solver) if directory else None
    if total is None:
        yield True
        return
    with _locked(directory, solver) as path:
        holders = _read(path)
        granted = len(holders) < total
        if granted:
            _write(path, holders + [os.getpid()])
    try:
        yield granted
    finally:
        if granted:
            with _locked(directory, solver) as path:
                _write(path, [pid for pid in _read(path) if pid != os.getpid()])


def write_seats(directory, counts):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "seats.json"), "w") as stream:
        json.dump(counts, stream)
