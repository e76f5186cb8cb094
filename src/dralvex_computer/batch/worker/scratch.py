"""The run's scratch directories on this machine: removed at the run's
end, and those of runs whose process was killed removed by the next run."""
from __future__ import annotations

import shutil
from typing import List

from ..protocol import Scratch
from . import processes


def remove_scratch(run_id: str) -> None:
    """Removes the run's scratch directory of this machine."""
    Scratch(run_id).remove()


def remove_orphaned_scratch() -> List[str]:
    """Removes the scratch directories of this machine whose run has ended
    without removing them (its process was killed); returns them."""
    removed = Scratch.orphaned(processes.ended)
    for path in removed:
        shutil.rmtree(path, ignore_errors=True)
    return removed
