"""The commands of ``python -m dralvex_computer``, a class each
(``base.Command``), in the order of the help:

    solve.py     solve      many models in parallel        \\  a running command
    summary.py   summary    the morning page of a night     |  (running.py: the run's
    compare.py   compare    what changed between two nights |  options, the run, its
    study.py     study      a parameter table, built and    |  exit status; night.py:
                            solved point by point          /   what a night leaves)
    history.py   history    each model over many nights: drift, flakiness
    seats.py     seats      who holds the licence seats, who waits
    doctor.py    doctor     what this machine has

``shared.py`` holds what they share: exit statuses, tolerance and
installation options, functions named MODULE:FUNCTION, the Dask scheduler.
"""
from .base import Command
from .compare import Compare
from .doctor import Doctor
from .history import History
from .seats import Seats
from .solve import Solve
from .study import Study
from .summary import Summary

COMMANDS = (Solve(), Summary(), Compare(), History(), Study(), Seats(), Doctor())

__all__ = ["Command", "COMMANDS"]
