"""The worker side of a run, the same for every engine: one item's run
(``item``), the worker process's state (``state``), the run's scratch
directories (``scratch``), the processes an item starts (``processes``,
ended with the worker by its reaper: ``reaper``), the module's solver
threads (``threads``) and the checks before the first item (``checks``).
What differs between engines comes in with each task as its hooks
(``protocol.WorkerHooks``); nothing here knows an engine."""
from . import processes, threads
from .checks import GUARD_EXIT, GUARD_MESSAGE, in_spawned_bootstrap, probe, setup_failure
from .item import ensure_set_up, run_item, run_packed
from .scratch import remove_orphaned_scratch, remove_scratch
from .state import in_an_item, own_stamp, this_process, worker_name

__all__ = ["run_item", "run_packed", "probe", "remove_scratch", "remove_orphaned_scratch", "in_spawned_bootstrap",
           "GUARD_EXIT", "GUARD_MESSAGE", "worker_name", "in_an_item", "own_stamp", "this_process", "ensure_set_up",
           "processes", "threads", "setup_failure"]
