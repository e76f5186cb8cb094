"""The engines a run hands its items to, behind one small interface: the
local process pool (Pebble's, on spawn as on Windows, ``local``), any
``concurrent.futures.Executor`` as it is (``executor``), and a Dask
``Client`` (``dask``). Each file holds an engine's two halves: the parent's
(submit, wait, what the engine itself reports of an item, interrupt,
close) and its ``WorkerHooks``, which travel inside each task to the
worker. A new engine is one file and one line in ``make``.
"""
from __future__ import annotations

from typing import Any, Optional

from .base import Engine


def is_dask_client(executor: Any) -> bool:
    return type(executor).__module__.startswith("distributed") and hasattr(executor, "gather")


def make(executor: Any, run_id: str, timeout: Optional[float], workers: Optional[int]) -> Engine:
    if executor is None:
        from .local import LocalPool
        return LocalPool(run_id, timeout, workers)
    if is_dask_client(executor):
        from .dask import Dask
        return Dask(run_id, timeout, executor)
    from .executor import Executor
    return Executor(run_id, timeout, executor)


__all__ = ["Engine", "make", "is_dask_client"]
