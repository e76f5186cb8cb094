"""The processes of this machine as /proc shows them (a bare machine has no
pgrep), and those that carry a mark in their environment: what one command
and everything it started left, whatever else runs here. Plain standard
library, for the tests and the stress script alike."""
import os


def processes():
    """(pid, parent pid, state, command line) of every process."""
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as stream:
                stat = stream.read()
            with open("/proc/%s/cmdline" % name, "rb") as stream:
                command_line = stream.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        yield int(name), int(fields[1]), fields[0], command_line


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
