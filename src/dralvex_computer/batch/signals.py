"""What a run does with the signals that end it: SIGTERM and SIGHUP end
it as Ctrl-C does (in the main thread), all three are ignored while its
clean-up runs, and every handler is put back on every way out."""
from __future__ import annotations

import signal
import threading
from typing import Any, Callable, Dict, List

HANDLED_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


class Signalled(KeyboardInterrupt):
    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def unstoppable(step: Callable[[], Any]) -> None:
    """Runs a clean-up step to its end: a Ctrl-C that lands before its
    signals are ignored (or was pending when they were) runs it again; the
    step is idempotent."""
    while True:
        try:
            step()
            return
        except KeyboardInterrupt:
            continue


def ignore_for_good() -> None:
    """Ignores Ctrl-C, SIGTERM and SIGHUP for the rest of the process: a
    command that was interrupted finishes its report and exits."""
    unstoppable(ignore_signals)


# The signals that ended a run in this process, in order.
RECEIVED: List[int] = []
# Those whose exception the run has not met yet: a handler's exception that
# lands in a weakref callback or a __del__ is printed and dropped there, and
# the run must still end by its signal.
PENDING: List[int] = []


def raise_signalled(signum: int, frame: Any) -> None:
    RECEIVED.append(signum)
    PENDING.append(signum)
    raise Signalled(signum)


def _end_once(signum: int, frame: Any) -> None:
    if RECEIVED:
        return   # a second signal: the end of the first is under way
    raise_signalled(signum, frame)


def raise_pending() -> None:
    """Raises the exception of a signal that was dropped on its way."""
    if PENDING:
        raise Signalled(PENDING[-1])


def met() -> None:
    """The run has met the exception of the signals received so far."""
    del PENDING[:]


def end_once() -> None:
    """For a command: the first Ctrl-C, SIGTERM or SIGHUP ends the run, and
    any that comes once a run was ended this way is ignored, so that the
    end (its report) is never cut short, whenever it lands (main thread
    only; a signal asked to be ignored stays ignored)."""
    if threading.current_thread() is not threading.main_thread():
        return
    for signum in (signal.SIGINT,) + HANDLED_SIGNALS:
        if signal.getsignal(signum) is not signal.SIG_IGN:
            signal.signal(signum, _end_once)


def catch_signals() -> Dict[int, Any]:
    """SIGTERM and SIGHUP end the run as Ctrl-C does (main thread only),
    and Ctrl-C where Python's own handler has it; each is recorded."""
    if threading.current_thread() is not threading.main_thread():
        return {}
    saved = {}
    for signum in (signal.SIGINT,) + HANDLED_SIGNALS:
        current = signal.getsignal(signum)
        if current is signal.SIG_IGN or (signum == signal.SIGINT and current is not signal.default_int_handler):
            continue   # nohup and its kind: asked not to be ended by it; a Ctrl-C handler of the caller's
        saved[signum] = current
        signal.signal(signum, raise_signalled)
    return saved


def ignore_signals() -> Dict[int, Any]:
    if threading.current_thread() is not threading.main_thread():
        return {}
    saved = {}
    for signum in (signal.SIGINT,) + HANDLED_SIGNALS:
        saved[signum] = signal.getsignal(signum)
        signal.signal(signum, signal.SIG_IGN)
    return saved


def restore_signals(saved: Dict[int, Any]) -> None:
    for signum, handler in saved.items():
        signal.signal(signum, handler if handler is not None else signal.SIG_DFL)
