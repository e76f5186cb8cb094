"""The page's licence seat pools: each pool's seats in use over the night,
this run's and other runs', from the pool's own record (which the run
keeps in its journal's last line)."""
from __future__ import annotations

import html
from typing import Any, Dict, List, Optional

from ..seats import record as seat_records
from . import charts


def sections(seats: Dict[str, Any], run_id: Optional[str], origin: float, end: float) -> List[str]:
    """Each seat pool's seats in use over the night, this run's and other
    runs', from the pool's own record."""
    parts = []
    for name, pool in sorted(seats.items()):
        if not isinstance(pool, dict) or not isinstance(pool.get("count"), int):
            continue
        steps = [(max(at - origin, 0.0), mine, others)
                 for at, mine, others in seat_records.in_use(seat_records.events(pool.get("events") or []), run_id)]
        drawn = charts.seats_in_use(steps, pool["count"], end - origin, "%s seats in use" % name)
        parts.append("<section><h2>Licence seats: %s</h2><figure>%s</figure></section>" % (html.escape(name), drawn))
    return parts
