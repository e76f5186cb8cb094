"""A worker's reaper (POSIX): a small process of its own session that ends
the worker's process group, solver programs and worker alike,

- once the worker has ended (killed, or replaced by its nanny): the pipe
  from the worker reads as ended when its last writer is gone;
- at a deadline the worker sets while it holds, or asks for, a seat whose
  lease it must keep renewing, and pushes on each time it renews it.

A worker stopped (SIGSTOP, a debugger) pushes nothing: its group ends at
the deadline, before the lease can lapse and the seat go to another while
the stopped worker's solver still runs. The reaper is not stopped with the
worker: a signal to the worker's group does not reach its session.

What crosses the pipe, one line each (shorter than PIPE_BUF, so written
whole)::

    worker                               reaper
      set_deadline(t)    -- "t\\n" -->     ends the group at t (time.monotonic(),
                                          one clock for the whole machine)
      set_deadline(None) -- "\\n"  -->     no deadline
      (ends)             -- EOF    -->     ends the group
"""
from __future__ import annotations

import os
import sys
from typing import List, Optional, Set

SCRIPT = """
import os, select, signal, sys, time
group, deadline, pending = int(sys.argv[1]), None, b""
while True:
    wait = None if deadline is None else max(0.0, deadline - time.monotonic())
    if not select.select([0], [], [], wait)[0]:
        break   # the deadline passed with no word from the worker
    data = os.read(0, 4096)
    if not data:
        break   # the worker has ended
    lines = (pending + data).split(b"\\n")
    pending = lines.pop()
    for line in lines:
        try:
            deadline = float(line) if line else None
        except ValueError:
            deadline = None
try:
    os.killpg(group, signal.SIGKILL)
except OSError:
    pass
"""

_pipe: List[int] = []   # the write end of this process's reaper pipe
_pid: List[int] = []    # the reaper's own pid


def start() -> int:
    """Starts the reaper of this process's group; returns the write end of
    its pipe, to be kept open for the life of this process (it is not
    inherited: children do not keep the reaper waiting, nor write to it)."""
    import subprocess
    readable, writable = os.pipe()
    try:
        started = subprocess.Popen([sys.executable, "-I", "-S", "-c", SCRIPT, str(os.getpgid(0))], stdin=readable,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    finally:
        os.close(readable)
    os.set_blocking(writable, False)   # a reaper that reads nothing never holds up the worker
    _pipe[:], _pid[:] = [writable], [started.pid]
    return writable


def pids() -> Set[int]:
    """This process's reaper, which outlives whatever else it started."""
    return set(_pid)


def set_deadline(deadline: Optional[float]) -> None:
    """Has the reaper end this process's group at ``deadline`` (a time of
    ``time.monotonic()``) unless told again before; None: only when this
    process ends. Nothing where the worker has no reaper."""
    if not _pipe:
        return
    line = b"\n" if deadline is None else b"%.6f\n" % deadline
    try:
        os.write(_pipe[0], line)
    except OSError:   # the pipe full (the reaper stopped too) or gone
        pass
