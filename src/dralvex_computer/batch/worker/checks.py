"""What a worker checks before a run's first item, and the guard against a
script without ``if __name__ == "__main__":`` that starts its run again in
every worker it starts."""
from __future__ import annotations

import contextlib
import io
from typing import Tuple

from ..items import Installation
from .item import ensure_set_up
from .state import worker_name


def probe(installation: Installation) -> str:
    """The checks before the first item, where the items will run: the
    prepare hook, the bridge, the installation's files and documents, and a
    set-up. Returns the worker's name; raises with one clear message."""
    from ... import checks
    problems = checks.missing(checks.machine_checks(installation))
    if problems:
        raise RuntimeError(checks.describe_missing(problems))
    with contextlib.redirect_stdout(io.StringIO()):
        ensure_set_up(installation)
    return worker_name()


# The exit status of a worker that found the run started again by a script
# without the main guard; the run that started it says why, once.
GUARD_EXIT = 86
GUARD_MESSAGE = ("a batch run was started while a worker process imported the main script: the script needs the "
                 "guard `if __name__ == \"__main__\":` around what starts the run (worker processes import it again)")


def in_spawned_bootstrap() -> bool:
    """True in a worker process started by spawn while it still imports the
    user's main module: a script without the ``__main__`` guard starts its
    run again there. Only while it imports: a spawned process that runs a
    batch of its own later (a run inside an item) is not refused."""
    import multiprocessing
    return bool(getattr(multiprocessing.process.current_process(), "_inheriting", False))


NO_WORKERS = ("the worker processes could not start (%s: %s). A script that starts a batch run needs the guard "
              "`if __name__ == \"__main__\":` around it: worker processes import the script again.")


def setup_failure(error: BaseException) -> Tuple[str, bool]:
    """What to say of checks before the first item that failed, and whether
    the error's own traceback tells more (a pool whose workers could not
    start says nothing more)."""
    name = type(error).__name__
    if getattr(error, "exitcode", None) == GUARD_EXIT:
        return GUARD_MESSAGE, False
    if name in ("ProcessExpired", "BrokenProcessPool") or "expired" in str(error).lower():
        return NO_WORKERS % (name, error), False
    return "the checks before the first item failed on a worker: %s: %s" % (name, error), True
