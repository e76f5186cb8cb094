"""Many models at once: a user's function, or a solve, run on each of many
items in worker processes that each set the module up once, on one machine
or many.

The native module is one session per process (its state lives in module
globals), so parallel work means one process per running item. The engines
are existing ones: by default a local process pool (Pebble's, on the spawn
start method, as on Windows), which replaces a worker whose item runs past
its time-out or whose process dies; any ``concurrent.futures.Executor`` as it
is; or a Dask distributed ``Client`` for runs across machines.

    from dralvex_computer import batch
    site = batch.Installation(r"C:\\Program Files\\Dralvex\\Ductavo 20XX.Y", "Ductavo")
    for result in batch.solve_models(paths, "PipeStress", site, workers=4, timeout=600,
                                     journal="sweep.journal", resume=True):
        print(result.item, result.status, result.elapsed)

Host objects never cross processes: a solve's ``collect(solution, path)``
runs in the worker, before the solution is disposed, and only what it
returns comes back. This package imports without the application's bridge:
the process that starts a run needs neither the bridge nor the installation
when its workers run elsewhere.

The parts: ``protocol`` (what crosses processes, a diagram), ``items`` (the
installation, the statuses, a result as plain data), ``worker/`` (an item's
run in its worker, the same for every engine), ``engines/`` (the local
pool, any executor, Dask: each its parent half and its worker hooks),
``identity`` (which item a result belongs to and whether it still stands),
``results/`` (the journal, reports and the summary page), ``options`` (the
job and the run's options, checked once), ``run`` with ``retries``,
``signals`` and ``progress`` (one run, start to end; ``errors``, what it
raises), ``plan`` (which
items run and why), ``inputs`` (models as users give them), ``solving``
(the solve task and ``solve_model``), ``study/`` (models built from a
parameter table or toward a goal, then solved: ``run_study``),
``surrogates/`` (what a study learns from its points: goals, a Gaussian
process, Sobol' indices), ``seats/`` (licence seats
shared by every run and machine, in the place the engine chooses),
``scratch`` (a run's records on each machine).
"""
from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Mapping, Optional, Union

if TYPE_CHECKING:
    from .solving import _SolverName

from ..facts import SOLVERS
from .items import (CANCELLED, DONE, FAILED, INVALID_INPUT, NO_SOLUTION, SOLVED, STATUSES, TIMED_OUT,
                    WORKER_LOST, Installation, ItemResult)
from .results import results_table
from .options import Job, RunOptions, absolute
from .retries import DEFAULT_RETRY_MAX_DELAY, RetryPolicy
from .errors import BatchInterrupted, BatchSetupError
from .run import run_job
from .solving import CollectError, SolveError, SolveTask, check_keep_results, solve_model
from .seats import DEFAULT_LEASE_TIMEOUT, SeatPools, seat

__all__ = [
    "Installation", "ItemResult", "SolveError", "BatchInterrupted", "BatchSetupError", "map_models", "solve_models",
    "solve_model", "DONE", "SOLVED", "NO_SOLUTION", "FAILED", "TIMED_OUT", "WORKER_LOST", "INVALID_INPUT",
    "CANCELLED", "STATUSES", "SOLVERS", "results_table", "CollectError", "RunOptions", "RetryPolicy",
    "run_study", "plan_study", "study", "seat", "SeatPools",
]

def map_models(function: Callable[[Any], Any], items: Iterable[Any], installation: Installation, *,
               executor: Any = None, workers: Optional[int] = None, timeout: Optional[float] = None,
               progress: Optional[bool] = None, on_result: Optional[Callable[[ItemResult], None]] = None,
               journal: Optional[str] = None, resume: bool = False, retries: int = 0, retry_delay: float = 1.0,
               retry_on: Optional[Callable[[ItemResult], bool]] = None,
               retry_max_delay: float = DEFAULT_RETRY_MAX_DELAY, retry_time: Optional[float] = None,
               max_running: Optional[int] = None, units: Optional[Dict[str, str]] = None,
               seats: Optional[Mapping[str, int]] = None, seat_directory: Optional[str] = None,
               seat_lease: float = DEFAULT_LEASE_TIMEOUT, resources: Optional[Dict[str, float]] = None,
               ) -> List[ItemResult]:
    # the docstring is made below, with each option's own description
    options = RunOptions(executor=executor, workers=workers, timeout=timeout, progress=progress, on_result=on_result,
                         journal=journal, resume=resume, retries=retries, retry_delay=retry_delay, retry_on=retry_on,
                         retry_max_delay=retry_max_delay, retry_time=retry_time, max_running=max_running,
                         units=units, seats=seats, seat_directory=seat_directory, seat_lease=seat_lease,
                         resources=resources)
    return run_job(Job.map(function, list(items)), installation, options)


map_models.__doc__ = """Run ``function(item)`` on each item in worker processes set up on
    ``installation``, and return one ``ItemResult`` per item, in input
    order. ``function`` must pickle (a module-level function).

    Before the first item, a worker checks the installation, the bridge and
    the prepare hook, and sets up: a failure raises ``BatchSetupError``
    with one message. Ctrl-C, SIGTERM and SIGHUP end the workers and what
    they started and raise ``BatchInterrupted``, whose ``results`` hold
    what finished.

    The options (each a ``RunOptions`` field):
%s""" % RunOptions.described()


def solve_models(paths: Iterable[Any], solver: _SolverName, installation: Installation, sandbox: bool = True,
                 collect: Optional[Callable[[Any, str], Any]] = None, keep_results: Optional[str] = None,
                 max_running: Union[None, int, Mapping[str, int]] = None, options: Optional[RunOptions] = None,
                 **keywords: Any) -> List[ItemResult]:
    """Solve each model document with ``solver`` ("Aster" or "PipeStress")
    in worker processes; ``collect(solution, path)``, when given, runs in
    the worker before the solution is disposed and its result is the item's
    value (a collect that fails the same way on 3 solved models in a row
    stops the run: a mistake in it would fail every model). ``keep_results``:
    a directory that receives each model's results files (a copy of its run
    directory, one directory per model, named in the result's
    ``results_dir``). Statuses: solved, no solution, failed, timed out,
    worker lost, invalid input (and cancelled after Ctrl-C). Paths are made
    absolute here, before they reach a worker; in-place solves
    (``sandbox=False``) of models of one directory run one after another.
    The other options are those of ``map_models`` (as keywords, or made
    already as ``options``, a ``RunOptions``), but ``max_running`` may also
    give seats per solver (``{"PipeStress": 2, "Aster": 4}``: the entry of
    this run's solver bounds how many of its solves run at once). An item
    is a model's real path; resume reuses its result only when the model,
    the inputs beside it that the solve reads, the solver, the options, the
    collect function and the installation are unchanged."""
    if solver not in SOLVERS:
        raise ValueError("solver must be %s, not %r" % (" or ".join(map(repr, SOLVERS)), solver))
    if collect is not None and not callable(collect):
        raise ValueError("collect must be a function collect(solution, path), not %r" % (collect,))
    if keep_results is not None:
        keep_results = check_keep_results(keep_results)
    if isinstance(max_running, Mapping):
        unknown = [name for name in max_running if name not in SOLVERS]
        if unknown:
            raise ValueError("max_running names %s, not a solver (%s)" % (", ".join(map(repr, unknown)),
                                                                          " or ".join(SOLVERS)))
        max_running = max_running.get(solver)
    if options is None:
        options = RunOptions(max_running=max_running, **keywords)
    elif max_running is not None:
        options = dataclasses.replace(options, max_running=max_running)
    if options.seats is not None:
        unknown = [name for name in options.seats.counts if name not in SOLVERS]
        if unknown:
            raise ValueError("seats names %s, not a solver (%s)" % (", ".join(map(repr, unknown)),
                                                                    " or ".join(SOLVERS)))
    task = SolveTask(solver, bool(sandbox), collect, keep_results)
    items = list(paths)
    job = Job(task, items, [absolute(item) for item in items], task.describe, task.exclusive)
    return run_job(job, installation, options)


from . import study
from .study import plan_study, run_study
