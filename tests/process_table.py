"""The processes of this machine as /proc shows them (a bare machine has no
pgrep), and those that carry a mark in their environment: what one command
and everything it started left, whatever else runs here. Plain standard
library, for the tests and the stress script alike."""
import os


def _stat(pid):
    """The fields of /proc/<pid>/stat after the name: state, parent pid,
    process group..."""
    with open("/proc/%s/stat" % pid) as stream:
        stat = stream.read()
    return stat[stat.rindex(")") + 2:].split()


def processes():
    """(pid, parent pid, state, command line) of every process."""
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            fields = _stat(name)
            with open("/proc/%s/cmdline" % name, "rb") as stream:
                command_line = stream.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        yield int(name), int(fields[1]), fields[0], command_line


def mapped_semaphores(groups):
    """The named semaphores (/dev/shm) that the processes of these process
    groups have mapped."""
    found = set()
    for pid, _, _, _ in processes():
        try:
            if int(_stat(pid)[2]) in groups:
                with open("/proc/%d/maps" % pid) as maps:
                    found.update(line.split()[-1] for line in maps if "/dev/shm/sem." in line)
        except OSError:
            continue   # ended meanwhile
    return found


def marked(variable, mark):
    """(pid, command line) of the live processes whose environment has
    ``variable=mark`` (inherited by every process they start)."""
    needle = ("%s=%s" % (variable, mark)).encode()
    found = []
    for pid, _, state, command_line in processes():
        if state == "Z":
            continue
        try:
            with open("/proc/%d/environ" % pid, "rb") as stream:
                if needle in stream.read().split(b"\0"):
                    found.append((pid, command_line))
        except OSError:
            continue
    return found
