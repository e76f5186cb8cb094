"""A simulated licence server: N seats per solver, shared by every solver
program of an installation. The seats are a JSON file of their holders
beside a lock file in the installation's Licences directory. A program
that finds no free seat says "no licence available" and exits with
NO_LICENCE.

As a real server, it takes a seat back from a holder that died only after
a linger time (``linger`` in seats.json, seconds; 0 by default), counted
from when it first finds the holder gone. It records every grant, denial,
release and reclaim with its time and the seats then in use, one JSON line
each in "<solver>.record": tests read from it how many seats were in use
at every moment."""
import contextlib
import json
import os
import time

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


def _config(directory):
    try:
        with open(os.path.join(directory, "seats.json")) as stream:
            return json.load(stream)
    except (OSError, ValueError):
        return {}


def _note(directory, solver, event, pid, in_use):
    line = json.dumps({"event": event, "pid": pid, "time": time.time(), "in_use": in_use}) + "\n"
    with open(os.path.join(directory, solver + ".record"), "a") as stream:
        stream.write(line)


def _holders(directory, solver, path):
    """The seats' holders; those dead for the linger time are dropped (and
    their seats recorded as reclaimed)."""
    try:
        with open(path) as stream:
            holders = json.load(stream)
    except (OSError, ValueError):
        return []
    linger = float(_config(directory).get("linger", 0.0))
    now, kept, dropped = time.time(), [], []
    for holder in (holder if isinstance(holder, dict) else {"pid": holder} for holder in holders):
        if not _alive(holder["pid"]):
            holder.setdefault("gone", now)
            if now - holder["gone"] >= linger:
                dropped.append(holder)
                continue
        kept.append(holder)
    for number, holder in enumerate(dropped):
        _note(directory, solver, "reclaim", holder["pid"], len(kept) + len(dropped) - number - 1)
    return kept


def _write(path, holders):
    with open(path, "w") as stream:
        json.dump(holders, stream)


def seats(directory, solver):
    """The number of seats of a solver (None: no licence needed)."""
    count = _config(directory).get(solver)
    return count if isinstance(count, int) else None


@contextlib.contextmanager
def seat(directory, solver):
    """Holds a seat for the block; yields False when none is free."""
    total = seats(directory, solver) if directory else None
    if total is None:
        yield True
        return
    pid = os.getpid()
    with _locked(directory, solver) as path:
        holders = _holders(directory, solver, path)
        granted = len(holders) < total
        if granted:
            holders.append({"pid": pid, "granted": time.time()})
        _write(path, holders)
        _note(directory, solver, "grant" if granted else "deny", pid, len(holders))
    try:
        yield granted
    finally:
        if granted:
            with _locked(directory, solver) as path:
                holders = [holder for holder in _holders(directory, solver, path) if holder["pid"] != pid]
                _write(path, holders)
                _note(directory, solver, "release", pid, len(holders))


def write_seats(directory, counts, linger=0.0):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "seats.json"), "w") as stream:
        json.dump(dict(counts, linger=float(linger)), stream)


def record(directory, solver):
    """The server's record of a solver's seats: one dict an event."""
    try:
        with open(os.path.join(directory, solver + ".record")) as stream:
            return [json.loads(line) for line in stream if line.endswith("\n")]
    except FileNotFoundError:
        return []


def most_in_use(events):
    """The most seats in use at once, by the server's own count."""
    return max((event["in_use"] for event in events), default=0)
