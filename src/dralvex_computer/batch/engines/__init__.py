"""The engines a run hands its items to, behind one small interface: the
local process pool (Pebble's, on spawn as on Windows, ``local``), any
``concurrent.futures.Executor`` as it is (``executor``), and a Dask
``Client`` (``dask``). Each file holds an engine's two halves: the parent's
(made for a run by ``for_run``; where it cannot run, ``why_not_here``; its
seat place, ``seat_place``; submit, wait, what the engine itself reports of
an item, interrupt, close) and its ``WorkerHooks``, which travel inside
each task to the worker. A new engine is one file and one branch in
``engine_for``.
"""
from __future__ import annotations

from typing import Any, Dict, Optional, Type

from .base import Engine


def is_dask_client(executor: Any) -> bool:
    return type(executor).__module__.startswith("distributed") and hasattr(executor, "gather")


def engine_for(executor: Any) -> Type[Engine]:
    """The engine that runs items on ``executor`` (None: the local pool)."""
    if executor is None:
        from .local import LocalPool
        return LocalPool
    if is_dask_client(executor):
        from .dask import Dask
        return Dask
    from .executor import Executor
    return Executor


def seat_place(executor: Any, pools: Any) -> Any:
    """Where the workers of the engine for ``executor`` meet for seats."""
    return engine_for(executor).seat_place(pools, executor)


def make(executor: Any, run_id: str, timeout: Optional[float], workers: Optional[int], seats: Any = None,
         resources: Optional[Dict[str, float]] = None) -> Engine:
    """``seats``: where the run's licence seat pools live (a
    ``seats.SeatPlace``), taken in the workers; ``resources``: what each
    item needs of a Dask worker's resources."""
    engine = engine_for(executor).for_run(run_id, timeout, executor, workers, seats is not None, resources)
    engine.seats = seats
    return engine


__all__ = ["Engine", "make", "engine_for", "seat_place", "is_dask_client"]
