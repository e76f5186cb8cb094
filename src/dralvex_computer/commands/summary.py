"""``summary JOURNAL -o PAGE``: the morning page of a night."""
import os
import sys

from .base import Command
from .shared import EXIT_USAGE, compared, tolerance_options


class Summary(Command):
    name = "summary"
    help = "the morning summary of a night: one self-contained HTML page"
    description = ("Write the summary page of the night a journal holds (every model's latest result across the "
                   "journal's runs), as solve --summary does; while the run still goes on, the models running, "
                   "waiting for a seat and queued are shown as such.")

    def add_arguments(self, parser):
        parser.add_argument("journal", metavar="JOURNAL", help="the run's journal (JSON Lines)")
        parser.add_argument("-o", "--output", required=True, metavar="FILE", help="the HTML page to write")
        parser.add_argument("--title", help="the page's title")
        parser.add_argument("--compare", metavar="OLD", help="show what changed since the night of journal or report OLD")
        tolerance_options(parser)

    def run(self, arguments, argv):
        from ..batch.results import journal as journals, summary
        if not os.path.isfile(arguments.journal):
            return self._refuse("no journal at %s" % arguments.journal)
        contents = journals.read(arguments.journal)
        if not contents.runs and not contents.legacy:
            return self._refuse("%s is not a run's journal (a report? give the journal the run wrote)"
                                % arguments.journal)
        try:
            changes = compared(arguments, arguments.compare, arguments.journal) if arguments.compare else None
            summary.write(arguments.journal, arguments.output, arguments.title, comparison=changes)
        except (OSError, ValueError) as error:
            return self._refuse(str(error))
        return 0

    def _refuse(self, why):
        print("dralvex_computer %s: %s" % (self.name, why), file=sys.stderr)
        return EXIT_USAGE
