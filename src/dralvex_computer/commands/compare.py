"""``compare OLD NEW``: what changed between two nights."""
import sys

from .base import Command
from .shared import EXIT_SOME_FAILED, EXIT_USAGE, compared, say, tolerance_options


class Compare(Command):
    name = "compare"
    help = "what changed between two runs (journals or reports)"
    description = ("Match the items of two runs by identity and say what changed: added, removed, newly failing, "
                   "newly passing, values beyond the tolerance, inputs changed. Exit status: 0 when nothing "
                   "regressed, 1 when an item is newly failing, removed, or has other values from the same inputs, "
                   "2 when a run cannot be read.")

    def add_arguments(self, parser):
        parser.add_argument("old", metavar="OLD", help="the earlier run's journal or report (.jsonl, .csv)")
        parser.add_argument("new", metavar="NEW", help="the later run's journal or report")
        tolerance_options(parser)
        parser.add_argument("--json", action="store_true", help="write the changes as JSON")

    def run(self, arguments, argv):
        from ..batch.results import compare
        try:
            changes = compared(arguments, arguments.old, arguments.new)
        except (OSError, ValueError) as error:
            print("dralvex_computer compare: %s" % error, file=sys.stderr)
            return EXIT_USAGE
        say(compare.as_json(changes) if arguments.json else compare.text(changes))
        return EXIT_SOME_FAILED if compare.regressed(changes) else 0
