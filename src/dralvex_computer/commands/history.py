"""``history JOURNAL...``: each model over the nights, and what drifts or
fails by turns."""
import sys

from .base import Command
from .shared import EXIT_SOME_FAILED, EXIT_USAGE, say, to_a_reader_that_may_go, tolerance_options, tolerances


class History(Command):
    name = "history"
    help = "each model's values and status over many nights: what drifts, what fails by turns"
    description = ("Read one journal a night (files, folders of *.jsonl or *.journal, or glob patterns) and say "
                   "which models drift (the latest night's value lies outside the median of the nights before it "
                   "by more than the tolerance) and which are flaky (failed on some of the last nights, and solved "
                   "on a later one). A digest is kept beside each journal, so the next reading is quick. Exit "
                   "status: 0 when nothing drifts and nothing is flaky, 1 when something does, 2 when no night can "
                   "be read.")

    def add_arguments(self, parser):
        parser.add_argument("journals", nargs="+", metavar="JOURNAL",
                            help="a night's journal, a folder of them (*.jsonl, *.journal), or a glob pattern")
        parser.add_argument("--window", type=int, default=30, metavar="N",
                            help="the nights a baseline and flakiness look back over (default 30)")
        parser.add_argument("--model", metavar="PATTERN",
                            help="the trend of the models whose path (or file name) matches PATTERN, night by night")
        output = parser.add_mutually_exclusive_group()
        output.add_argument("--json", action="store_true", help="the history and what was found, as JSON")
        output.add_argument("--csv", action="store_true", help="the history as CSV: one row a model a night")
        parser.add_argument("--parquet", metavar="DIR",
                            help="also write the history as a Parquet dataset in DIR, one file a night (needs "
                                 "pyarrow), for DuckDB or pandas")
        tolerance_options(parser, matching=False)

    def check(self, parser, arguments):
        if arguments.window < 1:
            parser.error("--window must be at least 1")

    def run(self, arguments, argv):
        from ..batch.results import compare, history, history_files
        try:
            tolerance, columns = tolerances(arguments)
            found = history.History.read(history.journals_of(arguments.journals))
        except (OSError, ValueError) as error:
            print("dralvex_computer history: %s" % error, file=sys.stderr)
            return EXIT_USAGE
        if not found.nights:
            print("dralvex_computer history: no night could be read: %s"
                  % "; ".join("%s: %s" % pair for pair in found.skipped), file=sys.stderr)
            return EXIT_USAGE
        limits = compare.Tolerance(tolerance[0], tolerance[1], columns)
        findings = history.findings(found, arguments.window, limits)
        models = history_files.chosen(found, arguments.model)
        if arguments.parquet:
            try:
                history_files.write_parquet(found, arguments.parquet)
            except (ImportError, OSError) as error:
                print("dralvex_computer history: %s" % error, file=sys.stderr)
                return EXIT_USAGE
        if arguments.json:
            wanted = set(models)
            say(history_files.as_json(found, [finding for finding in findings if finding.identity in wanted], models))
        elif arguments.csv:
            with to_a_reader_that_may_go():
                history_files.write_csv(found, sys.stdout, models if arguments.model else None)
        elif arguments.model:
            say(history_files.trend_text(found, models))
        else:
            say(history_files.text(found, findings, arguments.window))
        return EXIT_SOME_FAILED if findings else 0
