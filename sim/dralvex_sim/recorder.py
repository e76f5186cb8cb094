"""The log of host calls and the scripted host faults."""
import threading

_lock = threading.Lock()
#: (member, args) of every host call, in order.
calls = []
_faults = {}


def record(member, *args):
    """Log one host call; raise the fault scripted for it, if any."""
    with _lock:
        calls.append((member, args))
        scripted = _faults.get(member)
        if scripted:
            if scripted[0][0] > 0:   # calls to let through first
                scripted[0][0] -= 1
                return
            fault = scripted.pop(0)[1]
            if not scripted:
                del _faults[member]
            raise fault


def fail(member, exception, times=1, after=0):
    """Make the next ``times`` calls of ``member`` raise ``exception``, once
    ``after`` calls of it have gone through."""
    with _lock:
        entries = _faults.setdefault(member, [])
        entries.extend([[after if index == 0 else 0, exception] for index in range(times)])


def members():
    """The names of the calls made so far, in order."""
    return [member for member, _ in calls]


def calls_of(member):
    return [args for name, args in calls if name == member]


def reset():
    with _lock:
        calls.clear()
        _faults.clear()
