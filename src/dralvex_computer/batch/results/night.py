"""The night a journal holds: every item its runs were given, in the
order each first came, with its latest result, as the page, the reports,
the comparison and ``--only`` read it. While the last run still goes on,
an item of it with no result yet is running, waiting for a seat or
queued; once no run goes on, such an item is cancelled (it did not run)."""
from __future__ import annotations

import os
import socket
import time
from typing import Any, Dict, List, Optional, Set, Tuple

from .journal import NOT_ENDED, NOT_STARTED, Contents, last_run, read
from ..items import CANCELLED, QUEUED, RUNNING, WAITING_FOR_SEAT as WAITING


def night(path: str) -> Tuple[List[Dict[str, Any]], Dict[str, Any]]:
    """(one record per item the journal's runs were given, in the order
    each first came and indexed so: its latest result; what is known of the
    night). An item that never ended is cancelled, or, while the last run
    goes on (``info["live"]``), running, waiting for a seat or queued."""
    contents = read(path)
    if not contents.runs:
        return last_run(path)
    records, info = night_of(contents)
    return [_moved_with(record, contents.runs[-1].get("journal"), path) for record in records], info


def _moved_with(record: Dict[str, Any], written_at: Any, path: str) -> Dict[str, Any]:
    """A record whose results lay beside its journal where the journal was
    written (a study's points), moved with it: they are named where they
    are now."""
    results = record.get("results_dir")
    if not isinstance(results, str) or not isinstance(written_at, str) or os.path.exists(results):
        return record
    before, now = os.path.dirname(written_at), os.path.dirname(os.path.abspath(path))
    if before == now or not results.startswith(os.path.join(before, "")):
        return record
    moved = os.path.join(now, os.path.relpath(results, before))
    return dict(record, results_dir=moved) if os.path.exists(moved) else record


def night_of(contents: Contents, indexed: bool = True) -> Tuple[List[Dict[str, Any]], Dict[str, Any]]:
    """``night`` of a journal read already (one with run lines); with
    ``indexed`` false, the results are the journal's own records, their
    indices those of the runs they ended in."""
    info = _about(contents)
    live = info["live"] is True
    waiting = _waiting_for_seats(contents.runs[-1]) if info["live"] else set()
    last = contents.runs[-1]
    last_index = {name: index for index, name in enumerate(last.get("identities") or []) if isinstance(name, str)}
    records = []
    for position, identity in enumerate(list(contents.order) + [name for name in contents.ended
                                                                 if name not in contents.order]):
        earlier, index = contents.ended.get(identity), last_index.get(identity)
        if live and index is not None and index not in contents.last_ended:   # no result in this run yet
            started = contents.started_at.get(identity) if identity in contents.unfinished else None
            records.append({"index": position, "item": contents.order.get(identity), "identity": identity,
                            "status": WAITING if index in waiting else RUNNING if started is not None else QUEUED,
                            "error_message": "since %s" % time.strftime("%H:%M:%S", time.localtime(started))
                            if started is not None else None})
        elif earlier is not None:
            records.append(dict(earlier.record, index=position) if indexed else earlier.record)
        else:
            records.append({"index": position, "item": contents.order.get(identity), "identity": identity,
                            "status": CANCELLED,
                            "error_message": NOT_ENDED if identity in contents.unfinished else NOT_STARTED})
    return records, info




def _about(contents: Contents) -> Dict[str, Any]:
    """What the journal says of its night: the last run's command, host and
    context, every run's units and study, whether the last run ended
    (``interrupted``, ``reason``) or still goes on (``live``: True, False,
    or None when its machine is another)."""
    run, end = contents.runs[-1], contents.last_end
    units: Dict[str, str] = {}
    about: Dict[str, Any] = {}
    for each in contents.runs:
        if isinstance(each.get("units"), dict):
            units.update((str(key), str(value)) for key, value in each["units"].items())
        if isinstance(each.get("about"), dict):
            about.update(each["about"])
    live = False if end is not None else _still_running(run)
    return {"command": run.get("command"), "host": run.get("host"), "started": contents.runs[0].get("time"),
            "ended": (end or {}).get("time"), "units": units, "about": about, "runs": len(contents.runs),
            "context": run.get("context") if isinstance(run.get("context"), dict) else {},
            "run": run.get("run"), "seats": (end or {}).get("seats") if isinstance((end or {}).get("seats"), dict)
            else {},
            "interrupted": bool(end.get("interrupted")) if end is not None else not live, "live": live,
            "reason": (end or {}).get("reason") if end is not None else (
                None if live else "the run never wrote its end (its process died)" if live is False else
                "the run has not written its end (still running on %s, or its process died)" % run.get("host"))}


def _still_running(run: Dict[str, Any]) -> Optional[bool]:
    """Whether a run line's process still runs: None when it ran on
    another machine, False when it cannot be told (an older version)."""
    if not run.get("host") or not isinstance(run.get("process"), str):
        return False
    if run.get("host") != socket.gethostname():
        return None
    process = run.get("process")
    if not isinstance(process, str):
        return False
    from ..worker import processes
    return not processes.ended(process)


def _waiting_for_seats(run: Dict[str, Any]) -> Set[int]:
    """The indices of a live run's items that wait for a seat on this
    machine (their notes in the run's scratch)."""
    from ..scratch import Scratch
    return Scratch(str(run.get("run"))).waiting()
