"""The engines a run hands its items to, behind one small interface: the
local process pool (Pebble's, on spawn as on Windows, ``local``), any
``concurrent.futures.Executor`` as it is (``executor``), and a Dask
``Client`` (``dask``). Each file holds an engine's two halves: the parent's
(submit, wait, what the engine itself reports of an item, interrupt,
close) and its ``WorkerHooks``, which travel inside each task to the
worker. A new engine is one file and one line in ``make``.
"""
from __future__ import annotations

from typing import Any, Dict, Optional

from .base import Engine


def is_dask_client(executor: Any) -> bool:
    return type(executor).__module__.startswith("distributed") and hasattr(executor, "gather")


def make(executor: Any, run_id: str, timeout: Optional[float], workers: Optional[int], seats: Any = None,
         resources: Optional[Dict[str, float]] = None) -> Engine:
    """``seats``: the run's licence seat pools, taken in the workers;
    ``resources``: what each item needs of a Dask worker's resources."""
    engine: Engine
    if executor is None:
        from .local import LocalPool
        # an item's time-out counts from its solve's start, after any wait
        # for a seat: the worker counts it, not the pool
        engine = LocalPool(run_id, timeout, workers, timeout_in_worker=seats is not None)
    elif is_dask_client(executor):
        from .dask import Dask
        engine = Dask(run_id, timeout, executor, resources)
    else:
        from .executor import Executor
        engine = Executor(run_id, timeout, executor)
    engine.seats = seats
    return engine


__all__ = ["Engine", "make", "is_dask_client"]
