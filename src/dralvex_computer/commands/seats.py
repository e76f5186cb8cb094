"""``seats [--seat-directory DIR | --scheduler ADDRESS]``: who holds the
licence seats now, and who waits, as a licence manager's status command
says it; ``--json`` for scripts."""
import json
import sys
import time

from .base import Command
from .shared import EXIT_USAGE, Refused, scheduler


class Seats(Command):
    name = "seats"
    help = "who holds the licence seats of each pool now, and who waits for one"
    description = ("Show each seat pool of a place: its seats, who holds them (machine, user, run, model, since when) "
                   "and its queue in the order of asking. The place is the directory the local pool's runs share "
                   "(--seat-directory, by default this machine's), or a Dask scheduler (--scheduler).")

    def add_arguments(self, parser):
        place = parser.add_mutually_exclusive_group()
        place.add_argument("--seat-directory", metavar="DIR",
                           help="the directory the runs share seats in (default: this machine's shared place)")
        place.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler whose pools to show")
        parser.add_argument("--json", action="store_true", help="one JSON object: pool name -> its seats, holders "
                                                                "and queue")

    def run(self, arguments, argv):
        from ..batch.seats import default_directory, view
        client = None
        try:
            if arguments.scheduler:
                client = scheduler(arguments.scheduler)
                pools = view.of_scheduler(client)
                where = "the scheduler at %s" % arguments.scheduler
            else:
                where = arguments.seat_directory or default_directory()
                pools = view.of_directory(where)
        except (Refused, view.Unreadable) as error:
            print("dralvex_computer %s: %s" % (self.name, error), file=sys.stderr)
            return EXIT_USAGE
        finally:
            if client is not None:
                client.close()
        if arguments.json:
            print(json.dumps({name: {key: pool[key] for key in ("count", "holders", "queue")}
                              for name, pool in pools.items()}, indent=1, sort_keys=True))
        else:
            print(text(pools, where))
        return 0


def text(pools, where, now=None):
    """The pools as a licence manager's status lists them."""
    now = time.time() if now is None else now
    if not pools:
        return "no seat pool in %s" % where
    lines = []
    for name, pool in sorted(pools.items()):
        holders, queue = pool["holders"], pool["queue"]
        lines.append("%s: %d seat%s, %d held, %d waiting" % (name, pool["count"], "" if pool["count"] == 1 else "s",
                                                           len(holders), len(queue)))
        for holder in holders:
            lines.append("  held by    %s%s" % (_who(holder), _for(holder.get("since"), now, "since")))
            if holder.get("left"):
                lines[-1] += "  (its holder died: free once its solver has ended)"
        for place, waiter in enumerate(queue, 1):
            lines.append("  %2d. waits  %s%s" % (place, _who(waiter), _for(waiter.get("asked"), now, "asked")))
    return "\n".join(lines)


def _who(owner):
    return "%s@%s  run %s  %s" % (owner.get("user", "?"), owner.get("machine", "?"), str(owner.get("run", "?"))[:12],
                                  owner.get("item") or "item %s" % owner.get("index", "?"))


def _for(then, now, word):
    if not isinstance(then, (int, float)):
        return ""
    return "  %s %s (%ds)" % (word, time.strftime("%H:%M:%S", time.localtime(then)), max(0, round(now - then)))
