"""Keeping the processes an item starts inside its worker's reach.

The solver programs are started by the host (by .NET's process start in the
application), so their parent is the worker process and nothing here
controls how they start: they are ended from outside. On POSIX a worker of
the local pool leads a process group of its own, recorded by id when an
item starts (a group id outlives its leader, so ending it never races with
the pool reaping the worker), and ends its group itself when its parent
dies. On Windows a worker puts itself in a job object that kills every
process in it when its last handle closes, that is when the worker ends,
however it ends.
"""
from __future__ import annotations

import os
import signal
import sys
import threading
from typing import Any, Callable, Iterable, List, Optional, Set

from . import reaper

KILL = getattr(signal, "SIGKILL", signal.SIGTERM)


# --------------------------------------------------------------------- stamp

def _stat(pid: int) -> Optional[List[str]]:
    """The fields of /proc/<pid>/stat after the name (state, ppid, pgrp,
    ...; Linux); None where unknown."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as stream:
            stat = stream.read()
    except OSError:
        return None
    return stat[stat.rindex(b")") + 2:].decode("ascii", "replace").split()


def start_time(pid: int) -> Optional[str]:
    """A process's start time, which tells it from a later process that got
    its pid: field 22 of /proc/<pid>/stat (Linux); None where unknown."""
    fields = _stat(pid)
    return fields[19] if fields is not None else None


def stamp(pid: Optional[int] = None) -> str:
    """"pid start-time" of a process (this one by default)."""
    pid = os.getpid() if pid is None else pid
    return "%d %s" % (pid, start_time(pid) or "?")


def own_group(recorded: str) -> Optional[int]:
    """The id of the process group that a recorded group leader ("pid
    start-time") led, while it may still hold processes of ours: the leader
    runs still, or has ended (the system gives no process a pid that is
    still a group's id, so its remaining members are ours). None when
    another process has taken the pid since."""
    try:
        pid_text, started = recorded.split()
        pid = int(pid_text)
    except ValueError:
        return None
    if pid <= 1 or not _alive(pid):
        return pid if pid > 1 else None
    now = start_time(pid)
    if now is not None and started != "?" and now != started:
        return None   # a later process with the same pid
    try:
        return pid if os.getpgid(pid) == pid else None
    except OSError:
        return pid


def ended(recorded: str) -> bool:
    """True when the process recorded as "pid start-time" has ended (its pid
    is free, another process has it now, or it is a zombie: where no init
    reaps them, as in some containers, they stay). False where this cannot
    be told (Windows, an unreadable record): then it is taken to run still."""
    if sys.platform == "win32":
        return False   # os.kill(pid, 0) is no probe there
    try:
        pid_text, started = recorded.split()
        pid = int(pid_text)
    except ValueError:
        return False
    if pid <= 1:
        return False
    if not _alive(pid):
        return True
    fields = _stat(pid)
    if fields is not None and fields[0] == "Z":
        return True
    return fields is not None and started != "?" and fields[19] != started


def taken_by_another(recorded: str) -> bool:
    """The pid of the process recorded as "pid start-time" belongs to
    another process now (its start time differs)."""
    try:
        pid_text, started = recorded.split()
        fields = _stat(int(pid_text))
    except ValueError:
        return False
    return fields is not None and fields[0] != "Z" and started != "?" and fields[19] != started


def group_ended(pgid: int) -> bool:
    """No process of the group runs (zombies aside); POSIX."""
    if pgid <= 1 or not hasattr(os, "killpg"):
        return True
    try:
        names = os.listdir("/proc")
    except OSError:   # no /proc: the system's word, zombies and all
        try:
            os.killpg(pgid, 0)
        except ProcessLookupError:
            return True
        except OSError:
            return False   # someone else's, alive
        return False
    for name in names:
        if name.isdigit():
            fields = _stat(int(name))
            if fields is not None and fields[2] == str(pgid) and fields[0] != "Z":
                return False
    return True


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except OSError:
        return False
    return True


# -------------------------------------------------------------------- POSIX

def lead_own_group() -> None:
    """Makes this process the leader of a new process group (POSIX)."""
    if hasattr(os, "setpgid") and os.getpgid(0) != os.getpid():
        os.setpgid(0, 0)


def end_group(pgid: int) -> None:
    """Ends every process of a group, its leader gone or not."""
    if not hasattr(os, "killpg") or pgid <= 1 or pgid == os.getpgid(0):
        return
    try:
        os.killpg(pgid, KILL)
    except OSError:
        pass


def children(pid: int) -> Set[int]:
    """Direct children of a process, from /proc (Linux); empty elsewhere."""
    found: Set[int] = set()
    try:
        names = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return _children_by_scan(pid)
    for task in names:
        try:
            with open("/proc/%d/task/%s/children" % (pid, task)) as stream:
                found.update(int(child) for child in stream.read().split())
        except OSError:
            return _children_by_scan(pid)
    return found


def _children_by_scan(pid: int) -> Set[int]:
    found: Set[int] = set()
    try:
        names = os.listdir("/proc")
    except OSError:
        return found
    for name in names:
        if name.isdigit():
            try:
                with open("/proc/%s/stat" % name, "rb") as stream:
                    stat = stream.read()
            except OSError:
                continue
            if int(stat[stat.rindex(b")") + 2:].split()[1]) == pid:
                found.add(int(name))
    return found


def descendants(pid: int) -> Set[int]:
    found: Set[int] = set()
    todo = [pid]
    while todo:
        for child in children(todo.pop()) - found:
            found.add(child)
            todo.append(child)
    return found


def started_since(before: Set[int], in_callers_process: bool) -> Set[int]:
    """The processes this process started since ``before`` was taken. In
    the caller's own process (a thread-pool run) other runs started there
    too: their pool workers lead groups of their own and pool helpers are
    multiprocessing's, so only the caller's own group's processes that are
    neither are the item's."""
    new = descendants(os.getpid()) - before
    if not in_callers_process or not hasattr(os, "getpgid"):
        return new
    own = os.getpgid(0)
    found = set()
    for pid in new:
        try:
            if os.getpgid(pid) != own:
                continue
            with open("/proc/%d/cmdline" % pid, "rb") as stream:
                if b"multiprocessing" in stream.read():
                    continue
        except OSError:
            continue
        found.add(pid)
    return found


def end_processes(pids: Iterable[int]) -> None:
    for pid in pids:
        if pid != os.getpid():
            try:
                os.kill(pid, KILL)
            except OSError:
                pass


def watch_parent(on_death: Callable[[], None], interval: float = 0.25) -> None:
    """Calls ``on_death`` when this process's parent has gone (its parent id
    changes as the process is handed to another): a daemon thread, because
    a death signal of the kernel follows the creating thread, not the
    parent process."""
    parent = os.getppid()

    def watch():
        event = threading.Event()
        while not event.wait(interval):
            if os.getppid() != parent:
                on_death()
                return

    threading.Thread(target=watch, name="dralvex-parent-watch", daemon=True).start()


# ------------------------------------------------------------------ Windows

def _job_limits_type() -> Any:
    """JOBOBJECT_EXTENDED_LIMIT_INFORMATION, with Windows' sizes (DWORD is
    32 bits there, whatever ctypes.wintypes says elsewhere)."""
    import ctypes
    dword, size = ctypes.c_uint32, ctypes.c_size_t
    basic = type("JOBOBJECT_BASIC_LIMIT_INFORMATION", (ctypes.Structure,), {"_fields_": [
        ("PerProcessUserTimeLimit", ctypes.c_int64), ("PerJobUserTimeLimit", ctypes.c_int64), ("LimitFlags", dword),
        ("MinimumWorkingSetSize", size), ("MaximumWorkingSetSize", size), ("ActiveProcessLimit", dword),
        ("Affinity", size), ("PriorityClass", dword), ("SchedulingClass", dword)]})
    counters = type("IO_COUNTERS", (ctypes.Structure,), {"_fields_": [(name, ctypes.c_uint64) for name in (
        "ReadOperationCount", "WriteOperationCount", "OtherOperationCount", "ReadTransferCount",
        "WriteTransferCount", "OtherTransferCount")]})
    return type("JOBOBJECT_EXTENDED_LIMIT_INFORMATION", (ctypes.Structure,), {"_fields_": [
        ("BasicLimitInformation", basic), ("IoInfo", counters), ("ProcessMemoryLimit", size),
        ("JobMemoryLimit", size), ("PeakProcessMemoryUsed", size), ("PeakJobMemoryUsed", size)]})


JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE = 0x2000
JOB_OBJECT_EXTENDED_LIMIT_INFORMATION_CLASS = 9


def windows_kill_on_close_job(kernel32: Any = None) -> Any:
    """Puts this process in a new job object that ends every process in it
    when its last handle closes (when this process ends, however it ends),
    and returns the job's handle, to be kept open for the life of the
    process. Children join the job as they start. ``kernel32``: the
    library, ``ctypes.windll.kernel32`` by default (a stand-in in tests)."""
    import ctypes
    from ctypes import wintypes

    if kernel32 is None:
        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)  # type: ignore[attr-defined, unused-ignore]
    # Handles are 64-bit: without declared types ctypes would pass a C int.
    kernel32.CreateJobObjectW.argtypes = [wintypes.LPVOID, wintypes.LPCWSTR]
    kernel32.CreateJobObjectW.restype = wintypes.HANDLE
    kernel32.GetCurrentProcess.argtypes = []
    kernel32.GetCurrentProcess.restype = wintypes.HANDLE
    kernel32.SetInformationJobObject.argtypes = [wintypes.HANDLE, ctypes.c_int, wintypes.LPVOID, wintypes.DWORD]
    kernel32.SetInformationJobObject.restype = wintypes.BOOL
    kernel32.AssignProcessToJobObject.argtypes = [wintypes.HANDLE, wintypes.HANDLE]
    kernel32.AssignProcessToJobObject.restype = wintypes.BOOL
    kernel32.CloseHandle.argtypes = [wintypes.HANDLE]
    job = kernel32.CreateJobObjectW(None, None)
    if not job:
        raise OSError("CreateJobObjectW failed")
    limits = _job_limits_type()()
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE
    if not kernel32.SetInformationJobObject(job, JOB_OBJECT_EXTENDED_LIMIT_INFORMATION_CLASS,
                                            ctypes.byref(limits), ctypes.sizeof(limits)):
        kernel32.CloseHandle(job)
        raise OSError("SetInformationJobObject failed")
    if not kernel32.AssignProcessToJobObject(job, kernel32.GetCurrentProcess()):
        kernel32.CloseHandle(job)
        raise OSError("AssignProcessToJobObject failed")
    return job


# ----------------------------------------------------------------- together

_contained: list = []   # what keeps this worker's containment alive


def contain_worker(own_group: bool, watch: bool) -> None:
    """Sets up, once per worker process, what ends the processes its items
    start together with it, however the worker ends. On Windows: a
    kill-on-close job. On POSIX: a process group of the worker's own; for
    a worker of the local pool (``own_group``) the run ends that group when
    the worker is lost, and the worker ends it when its parent dies; any
    other worker (Dask's, an executor's) gets a reaper (``reaper.py``)
    that ends the group once the worker has ended, and,
    with ``watch``, ends its children and itself when its parent dies."""
    if _contained:
        return
    if sys.platform == "win32":
        _contained.append(windows_kill_on_close_job())
        return
    _contained.append(True)
    lead_own_group()
    if own_group:
        watch_parent(lambda: os.killpg(os.getpgid(0), KILL))
        return
    _contained.append(reaper.start())
    if watch:
        watch_parent(_end_with_children)


def _end_with_children() -> None:
    end_started()
    os._exit(1)


def end_started() -> None:
    """Ends every process this process started, its reaper aside: it ends
    the group once this process has ended, or at its deadline."""
    end_processes(descendants(os.getpid()) - reaper.pids())


EXIT_REPLACE_ME = 70   # a worker that ended itself to be replaced (by its pool, or its nanny)


def replace_this_worker() -> None:
    """Ends what this worker started, then the worker itself, for its pool
    or nanny to start another: an item left running at its time-out, stuck
    in Python code, cannot be stopped otherwise."""
    end_started()
    os._exit(EXIT_REPLACE_ME)
