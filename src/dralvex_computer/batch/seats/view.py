"""What a place's seat pools look like now, the same for a directory and a
scheduler: for each pool its seats, its holders (each with ``since``), its
queue in order (each with ``asked``) and its record of grants and releases.
It reads and never changes anything: a dead waiter's place or a dead
holder's seat stays until the pool's next taker passes it over."""
from __future__ import annotations

import json
import os
from typing import Any, Dict, List

from ..shared_files import read_regular
from . import _NAME
from . import record as records
from . import tickets
from .directory import COUNT_FILE, read_count


class Unreadable(Exception):
    """The place cannot be read (said in one message)."""


def of_directory(directory: str) -> Dict[str, Dict[str, Any]]:
    """The pools in a seat directory; Unreadable when it cannot be listed
    (a directory with no pool yet has none)."""
    if not os.path.lexists(directory):
        return {}
    try:
        names = sorted(os.listdir(directory))
    except OSError as error:
        raise Unreadable("the seat directory %s cannot be read: %s" % (directory, error.strerror or error)) from None
    pools = {}
    for name in names:
        place = os.path.join(directory, name)
        if not _NAME.fullmatch(name) or os.path.islink(place) or not os.path.isdir(place):
            continue
        count = read_count(place)
        if count is not None or os.path.lexists(os.path.join(place, COUNT_FILE)):
            pools[name] = {"count": count or 0, "holders": _holders(place, count or 0),
                           "queue": tickets.listing(place), "record": records.read(place)}
    return pools


def _holders(place: str, count: int) -> List[Dict[str, Any]]:
    """Each seat's holder, as its file says; one whose holder died (its
    lock gone) is shown as such until a taker passes it over."""
    found = []
    for number in range(count):
        path = os.path.join(place, "seat-%d" % number)
        data = read_regular(path)
        if not data or not data.strip():
            continue
        try:
            holder = json.loads(data.decode("utf-8"))
        except ValueError:
            continue
        if isinstance(holder, dict):
            holder = dict(holder, seat=number, since=holder.get("taken"))
            if tickets.held(path) is False:
                holder["left"] = True   # its holder died holding it
            found.append(holder)
    return found


def of_scheduler(client: Any) -> Dict[str, Dict[str, Any]]:
    """The pools on a Dask scheduler (none before a run put its seat
    plugin there); Unreadable when it does not answer."""
    from .on_scheduler import SeatQueue
    name = SeatQueue.name
    try:   # a function made here travels by value: the scheduler needs nothing of this package
        found = client.run_on_scheduler(lambda dask_scheduler: dask_scheduler.plugins[name].status()
                                        if name in dask_scheduler.plugins else {})
    except Exception as error:
        raise Unreadable("the scheduler's seat pools cannot be read: %s" % (error,)) from None
    return found if isinstance(found, dict) else {}
