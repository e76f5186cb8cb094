"""The exception that ends the module's solver thread, collected for the
call that started it.

The module starts its solver thread and joins it at once, so while that
thread's exception is being reported, the thread that started it is inside
``join`` of that very thread object: that is how a report is matched to its
call. Every other thread's exception goes to the hook that was there before,
and the hook is put back once no call collects any more (unless something
else replaced it meanwhile), so overlapping calls and other threads are left
alone. A hook that replaced ours while a call collected is chained to by the
next call, which installs ours again.
"""
from __future__ import annotations

import contextlib
import sys
import threading
import time
from typing import Any, Dict, Iterator, List

from ...facts import SOLVER_THREADS

_collectors: Dict[int, List[Any]] = {}   # ident of the calling thread -> what its solver thread raised
_guard = threading.Lock()
_previous: List[Any] = []                # the hook ours chains to, while ours is installed


def _joiner_of(thread: threading.Thread) -> Any:
    """The collection of the thread that joins ``thread``. The module joins
    its solver thread right after starting it, but the thread may fail
    before its starter reaches ``join``: a solver thread is given a moment."""
    target = getattr(getattr(thread, "_target", None), "__name__", None)
    deadline = time.monotonic() + (2.0 if target in SOLVER_THREADS else 0.05)
    while True:
        frames = sys._current_frames()
        for ident, collected in list(_collectors.items()):
            frame = frames.get(ident)
            depth = 0
            while frame is not None and depth < 50:
                if frame.f_code.co_name in ("join", "_wait_for_tstate_lock") and \
                        frame.f_locals.get("self") is thread:
                    return collected
                frame, depth = frame.f_back, depth + 1
        if not _collectors or time.monotonic() > deadline:
            return None
        time.sleep(0.001)


def _print_thread_exception(arguments: Any) -> None:
    """What threading's own hook does (threading.__excepthook__ is 3.10+)."""
    if arguments.exc_type is SystemExit:
        return
    import traceback
    name = arguments.thread.name if arguments.thread is not None else threading.get_ident()
    print("Exception in thread %s:" % name, file=sys.stderr)
    traceback.print_exception(arguments.exc_type, arguments.exc_value, arguments.exc_traceback, file=sys.stderr)
    sys.stderr.flush()


def _hook(arguments: Any) -> None:
    # The hook before ours as it is now, read under the guard: the call that
    # installed ours may end, and put it back, at any moment of this report.
    with _guard:
        previous = _previous[0] if _previous else getattr(threading, "__excepthook__", _print_thread_exception)
    collected = _joiner_of(arguments.thread) if arguments.thread is not None else None
    if collected is not None:
        collected.append(arguments)
    else:
        previous(arguments)


@contextlib.contextmanager
def solver_thread_errors() -> Iterator[List[Any]]:
    """Collects what ends, with an exception, a thread that this thread
    joins while the block runs (the module's solver thread)."""
    ident = threading.get_ident()
    collected: List[Any] = []
    with _guard:
        if threading.excepthook is not _hook:
            _previous[:] = [threading.excepthook]
            threading.excepthook = _hook
        saved = _collectors.get(ident)
        _collectors[ident] = collected
    try:
        yield collected
    finally:
        with _guard:
            if _collectors.get(ident) is collected:
                if saved is None:
                    del _collectors[ident]
                else:
                    _collectors[ident] = saved
            _put_back_if_unused()


def forget(thread: threading.Thread) -> None:
    """Stops collecting for a thread whose call was given up (an item
    abandoned at its time-out): what it raises from now on goes to the hook
    that was there before, which is put back if no other call collects."""
    with _guard:
        _collectors.pop(thread.ident or 0, None)
        _put_back_if_unused()


def _put_back_if_unused() -> None:
    if not _collectors and threading.excepthook is _hook:
        threading.excepthook = _previous[0]
        _previous[:] = []
