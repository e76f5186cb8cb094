"""COM initialisation, tracked per thread."""
import threading

COINIT_APARTMENTTHREADED = 2

_lock = threading.Lock()
#: (thread ident, "CoInitialize" | "CoUninitialize") in call order.
events = []
_depth = {}


def CoInitialize():
    ident = threading.get_ident()
    with _lock:
        events.append((ident, "CoInitialize"))
        _depth[ident] = _depth.get(ident, 0) + 1


def CoUninitialize():
    ident = threading.get_ident()
    with _lock:
        events.append((ident, "CoUninitialize"))
        _depth[ident] = _depth.get(ident, 0) - 1


def depth(ident=None):
    """How many CoInitialize calls of a thread are not yet balanced."""
    return _depth.get(threading.get_ident() if ident is None else ident, 0)


def reset():
    with _lock:
        events.clear()
        _depth.clear()
