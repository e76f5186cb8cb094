"""A command that runs a job (solve, study): the options every such command
has, made into the run's ``RunOptions`` once; the files it writes checked
before the night; the run; what it leaves (``night``) and its exit status.
What differs between commands is theirs: their journal, their inputs,
what they run, what they say at the end."""
import dataclasses
import os
import re
import sys

from ..facts import MODULES, PREPARE_VARIABLE, SOLVERS
from . import night as nights
from .base import Command
from .shared import EXIT_ALL_SOLVED, EXIT_SOME_FAILED, NothingToDo, Refused, installation_options, named_function
from .shared import scheduler, tolerances


class RunningCommand(Command):
    """The parent of solve and study."""

    # what each running command provides
    def add_own_arguments(self, parser):
        """The options of this command alone."""

    def journal_path(self, arguments):
        """(the run's journal, whether it is made for this run alone)."""
        raise NotImplementedError

    def writes(self, arguments):
        """Whether this run writes anything (not a dry run)."""
        return True

    def make_room(self, arguments):
        """Makes the places the run writes in that are its own (when it writes)."""

    def inputs(self, arguments, journal):
        """What runs (models, or a study's build function and points);
        ValueError, OSError or Refused when there is none."""
        raise NotImplementedError

    def execute(self, arguments, inputs, collect, installation, max_running, options):
        """The run's results; or, for a run that only says what it would do,
        its exit status."""
        raise NotImplementedError

    def page_of(self, arguments, night):
        """What the summary page shows besides the models (a study's own)."""
        return None

    def said_at_the_end(self, arguments, night, journal, journal_removed, argv):
        """The next step, printed once the night ends with failures."""

    # the same for every running command
    def add_arguments(self, parser):
        self.add_own_arguments(parser)
        run_options(parser)

    def run(self, arguments, argv):
        from .. import batch
        from ..batch import signals
        signals.end_once()   # a second signal, wherever it lands, never cuts the report short
        journal, temporary_journal = self.journal_path(arguments)
        try:
            options, inputs, collect, max_running = self._checked(arguments, journal)
            journal_existed = bool(journal) and os.path.lexists(journal)
            executor = scheduler(arguments.scheduler)
        except Refused as refused:
            return nights.cannot_start(arguments, str(refused), argv)
        except NothingToDo as nothing:
            print("dralvex_computer %s: %s" % (self.name, nothing), file=sys.stderr)
            return EXIT_ALL_SOLVED
        installation = batch.Installation(arguments.installation, arguments.module, arguments.settings,
                                          arguments.data_sources, os.environ.get(PREPARE_VARIABLE) or None)
        status = None
        page = nights.live_page(arguments, journal, options.units) if self.writes(arguments) else None
        try:
            options = dataclasses.replace(options, executor=executor, context=nights.context(arguments, argv))
            results = self.execute(arguments, inputs, collect, installation, max_running, options)
            if isinstance(results, int):   # it only said what it would do
                return results
        except (batch.BatchSetupError, ValueError) as error:   # a ValueError: an option refused before the start
            return nights.cannot_start(arguments, "the run cannot start: %s" % error, argv)
        except batch.BatchInterrupted as stop:
            signals.ignore_for_good()   # a second Ctrl-C must not cut the report short
            results, status = stop.results, 128 + int(stop.signal)
        finally:
            if page is not None:
                page.stop()
            if executor is not None:
                executor.close()
        return self._ended(arguments, results, status, journal, temporary_journal and not journal_existed, options,
                           argv)

    def _ended(self, arguments, results, status, journal, journal_made, options, argv):
        """What the night leaves, and the command's exit status."""
        from ..batch.progress import print_counts
        from ..batch.results import compare, history
        night = nights.night(results, journal)
        changes = nights.changes_since(arguments, night, journal)
        over_nights = nights.history_of(arguments, journal, night, journal_made)
        status = nights.write_outputs(arguments, night, status, journal, journal_made, changes, options.units, argv,
                                      self.page_of(arguments, night), over_nights)
        print_counts(night)
        if changes is not None:
            print("since %s: %s" % (arguments.compare, compare.text(changes)), file=sys.stderr)
        if over_nights is not None:
            print("over %d nights: %s" % (len(over_nights[0].nights), history.text(over_nights[1])), file=sys.stderr)
        regressed = changes is not None and compare.regressed(changes)
        if arguments.notify:
            nights.notify_end(arguments, night, status is not None, regressed, argv,
                              over_nights[1] if over_nights is not None else None)
        if status is not None:
            if journal:
                print("dralvex_computer %s: interrupted; to go on where it stopped: %s"
                      % (self.name, nights.resume_command(argv)), file=sys.stderr)
            return status
        self.said_at_the_end(arguments, night, journal, journal_made, argv)
        return EXIT_ALL_SOLVED if all(result.ok for result in night) and not regressed else EXIT_SOME_FAILED

    def _checked(self, arguments, journal):
        """(the run's options, its inputs, the collect function, the seats),
        everything checked before the first model; Refused otherwise."""
        if arguments.resume and not journal:
            raise Refused("--resume needs --journal (or --report)")
        try:
            if self.writes(arguments):
                self.make_room(arguments)
                check_outputs(arguments, journal)
            options = run_options_of(arguments, journal)
            inputs = self.inputs(arguments, journal)
            collect = named_function(arguments.collect) if arguments.collect else None
            max_running = _max_running(arguments.max_running)
            if arguments.notify:
                from ..batch.results import notify
                notify.check(arguments.notify)
            if arguments.compare:
                _check_comparison(arguments)
        except (OSError, ValueError, ImportError) as error:
            raise Refused(str(error)) from None
        return options, inputs, collect, max_running


def _check_comparison(arguments):
    from ..batch.results import compare
    tolerances(arguments)
    if os.path.exists(arguments.compare):
        compare.load(arguments.compare)   # readable before the night, not after it
    else:   # the first night: nothing to compare with yet
        print("dralvex_computer %s: no run to compare with at %s: this run goes on without a comparison"
              % (arguments.command, arguments.compare), file=sys.stderr)


def check_outputs(arguments, journal):
    """Every file the run writes: a known format, writable, each its own."""
    from ..batch.results import report as reports
    from ..batch.solving import check_keep_results
    if arguments.report:
        reports.check_format(arguments.report)
    named = {}
    for path, what in ((arguments.report, "report"), (journal, "journal"), (arguments.summary, "summary")):
        if path:
            reports.check_writable(path, what)
            same = named.setdefault(os.path.normcase(os.path.realpath(path)), what)
            if same != what:
                raise ValueError("the %s and the %s are one file (%s): give each its own" % (same, what, path))
    if arguments.keep_results:
        arguments.keep_results = check_keep_results(arguments.keep_results)


class _Matcher:
    """retry_on from --retry-on: what is tried again by default (failed, no
    solution, worker lost), and besides it a result whose error message or
    output holds the pattern (a class, so that it pickles)."""

    def __init__(self, pattern):
        self.pattern = re.compile(pattern)

    def __call__(self, result):
        from ..batch.retries import RETRIED_BY_DEFAULT
        return result.status in RETRIED_BY_DEFAULT or bool(
            self.pattern.search("%s\n%s" % (result.error_message or "", result.output or "")))


def _matcher(pattern):
    try:
        return _Matcher(pattern)
    except re.error as error:
        raise ValueError("--retry-on %r is not a regular expression: %s" % (pattern, error)) from None


def _count(text):
    if not text.strip().lstrip("-").isdigit():
        raise ValueError(text)
    return int(text)


def _at_least_one(text):
    if not text.isdigit() or int(text) < 1:
        raise ValueError(text)
    return int(text)


def _max_running(entries):
    from ..batch.options import name_values
    return name_values(entries, "--max-running", "SOLVER=N (%s, N at least 1)" % " or ".join(SOLVERS),
                       _at_least_one, SOLVERS) or {}


def run_options_of(arguments, journal):
    """The run's options, from the command's: each checked by ``RunOptions``
    as for a script's run."""
    from .. import batch
    from ..batch import seats
    from ..batch.options import name_values
    return batch.RunOptions(
        workers=arguments.workers, timeout=arguments.timeout, progress=arguments.progress, journal=journal,
        resume=arguments.resume, retries=arguments.retries, retry_delay=arguments.retry_delay,
        retry_on=_matcher(arguments.retry_on) if arguments.retry_on else None,
        retry_max_delay=(batch.DEFAULT_RETRY_MAX_DELAY if arguments.retry_max_delay is None
                         else arguments.retry_max_delay), retry_time=arguments.retry_time,
        units=name_values(arguments.units, "--units", "VALUE=UNIT (max_stress=MPa)"),
        seats=name_values(arguments.seats, "--seats", "SOLVER=N (a solver's name and its seats)", _count, SOLVERS),
        seat_directory=arguments.seat_directory,
        resources=name_values(arguments.resources, "--resources", "NAME=N", float),
        seat_lease=seats.DEFAULT_LEASE_TIMEOUT if arguments.seat_lease is None else arguments.seat_lease)


def run_options(parser):
    """The options of every command that runs: where, how, what it leaves."""
    parser.add_argument("--installation", required=True, metavar="DIR", help="the application's installation directory")
    parser.add_argument("--solver", required=True, choices=SOLVERS)
    parser.add_argument("--module", default="All", choices=MODULES)
    parser.add_argument("--workers", type=int, default=None, metavar="N", help="worker processes (default: CPU count)")
    parser.add_argument("--timeout", type=float, default=None, metavar="S", help="seconds per model")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a Dask scheduler to run on (pip install dralvex_computer[dask])")
    parser.add_argument("--report", metavar="FILE",
                        help="one row per model, its format from the name: .csv, .jsonl or .parquet")
    parser.add_argument("--collect", metavar="MODULE:FUNCTION",
                        help="collect(solution, path), run in the worker before the solution is disposed: its "
                             "return value is the row's value (a dict spreads into columns)")
    parser.add_argument("--retries", type=int, default=0, metavar="N",
                        help="run a model that failed up to N more times, with exponential back-off and jitter")
    parser.add_argument("--retry-delay", type=float, default=1.0, metavar="S", help="the first back-off (default 1 s)")
    parser.add_argument("--retry-max-delay", type=float, default=None, metavar="S",
                        help="the longest wait before a try (default 300 s)")
    parser.add_argument("--retry-time", type=float, default=None, metavar="S",
                        help="no try starts later than S seconds after the run's start")
    parser.add_argument("--retry-on", metavar="REGEX",
                        help="also retry when REGEX is found in the error message or the output (e.g. 'ran past' "
                             "for models that ran past their time-out), beside what is retried by default (failed, "
                             "no solution, worker lost); needs --retries")
    parser.add_argument("--max-running", action="append", default=[], metavar="SOLVER=N",
                        help="at most N solves of SOLVER at once in this run; may be repeated")
    seat_options(parser)
    parser.add_argument("--summary", metavar="FILE", help="write the run's morning summary (HTML) at its end")
    parser.add_argument("--notify", metavar="URL|ADDRESS|env:NAME",
                        help="one message when the run ends, however it ends: a JSON POST to a webhook URL, or an "
                             "e-mail; a notifier that fails or hangs never changes the run's outcome; env:NAME takes "
                             "the URL from the environment variable NAME (a URL with a token: never written anywhere)")
    parser.add_argument("--notify-smtp", default="localhost:25", metavar="HOST:PORT",
                        help="the mail server for --notify ADDRESS (default localhost:25)")
    parser.add_argument("--title", help="the run's title, on its summary page and in its message")
    parser.add_argument("--units", action="append", default=[], metavar="VALUE=UNIT",
                        help="the unit of a collected value (max_stress=MPa), shown on the page; may be repeated")
    installation_options(parser)
    parser.add_argument("--progress", dest="progress", action="store_true", default=None,
                        help="show the progress bar even when standard error is no terminal")
    parser.add_argument("--no-progress", dest="progress", action="store_false")
    parser.add_argument("-v", "--verbose", action="store_true", help="log each model as it ends")


def seat_options(parser):
    parser.add_argument("--seats", action="append", default=[], metavar="SOLVER=N",
                        help="SOLVER's licence seats, shared by every run that names them on this machine (or its "
                             "Dask cluster): a model waits for a seat, and its time-out counts from its solve's "
                             "start; may be repeated")
    parser.add_argument("--seat-directory", metavar="DIR",
                        help="where the runs of the local pool meet to share seats (default: a place every user of "
                             "this machine shares; a shared drive serves a few workstations)")
    parser.add_argument("--seat-lease", type=float, default=None, metavar="S",
                        help="the seat of a holder that stopped answering (its machine gone) is free after S "
                             "seconds (default 20)")
    parser.add_argument("--resources", action="append", default=[], metavar="NAME=N",
                        help="what each model needs of a Dask worker's resources (node-locked licences: "
                             "PipeStress=1, with workers started with --resources PipeStress=1); may be repeated")
