"""The command line of the package (``python -m dralvex_computer``)."""
import argparse
import contextlib
import dataclasses
import logging
import os
import re
import sys

from .facts import MODEL_EXTENSION, MODULES, PREPARE_VARIABLE, SOLVERS

EXIT_ALL_SOLVED, EXIT_SOME_FAILED, EXIT_USAGE = 0, 1, 2
EXIT_INTERRUPTED = 130
SCHEDULER_TIMEOUT = 10   # seconds to reach a Dask scheduler   # 128 + the signal's number: 130 Ctrl-C, 143 SIGTERM, 129 SIGHUP


def _parser():
    parser = argparse.ArgumentParser(prog="python -m dralvex_computer",
                                     description="Drive the Dralvex application without its user interface.")
    commands = parser.add_subparsers(dest="command", required=True)

    solve = commands.add_parser(
        "solve", help="solve many model documents in parallel",
        description="Solve each model in a worker process of its own. Exit status: 0 when every model solved, 1 when "
                    "some did not, 2 when the run could not start (a usage error, or the checks before the first "
                    "model failed), 128 + the signal's number when interrupted (130 Ctrl-C, 143 SIGTERM, "
                    "129 SIGHUP).")
    _solve_options(solve)

    summary = commands.add_parser("summary", help="the morning summary of a run: one self-contained HTML page",
                                  description="Write the summary page of a run from its journal.")
    summary.add_argument("journal", metavar="JOURNAL", help="the run's journal (JSON Lines)")
    summary.add_argument("-o", "--output", required=True, metavar="FILE", help="the HTML page to write")
    summary.add_argument("--title", help="the page's title")

    doctor = commands.add_parser("doctor", help="report the environment, for users and bug reports")
    doctor.add_argument("--installation", metavar="DIR", help="the application's installation directory to check")
    _installation_options(doctor)
    return parser


def _solve_options(solve):
    solve.add_argument("models", nargs="+", metavar="MODELS",
                       help="model documents (%s), directories (every model below), glob patterns (** "
                            "included, expanded here) or @FILE (a list of these, one a line)" % MODEL_EXTENSION)
    solve.add_argument("--installation", required=True, metavar="DIR", help="the application's installation directory")
    solve.add_argument("--solver", required=True, choices=SOLVERS)
    solve.add_argument("--module", default="All", choices=MODULES)
    solve.add_argument("--workers", type=int, default=None, metavar="N", help="worker processes (default: CPU count)")
    solve.add_argument("--timeout", type=float, default=None, metavar="S", help="seconds per model")
    solve.add_argument("--in-place", action="store_true", help="solve beside each model, not in a sandbox")
    solve.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler to run on (pip install dralvex_computer[dask])")
    solve.add_argument("--report", metavar="FILE",
                       help="one row per model, its format from the name: .csv, .jsonl or .parquet")
    solve.add_argument("--collect", metavar="MODULE:FUNCTION",
                       help="collect(solution, path), run in the worker before the solution is disposed: its "
                            "return value is the row's value (a dict spreads into columns)")
    solve.add_argument("--retries", type=int, default=0, metavar="N",
                       help="run a model that failed up to N more times, with exponential back-off and jitter")
    solve.add_argument("--retry-delay", type=float, default=1.0, metavar="S", help="the first back-off (default 1 s)")
    solve.add_argument("--retry-max-delay", type=float, default=None, metavar="S",
                       help="the longest wait before a try (default 300 s)")
    solve.add_argument("--retry-time", type=float, default=None, metavar="S",
                       help="no try starts later than S seconds after the run's start")
    solve.add_argument("--retry-on", metavar="REGEX",
                       help="retry only when REGEX is found in the error message or the output (e.g. 'no licence'); "
                            "needs --retries")
    solve.add_argument("--max-running", action="append", default=[], metavar="SOLVER=N",
                       help="at most N solves of SOLVER at once (its licence seats); may be repeated")
    solve.add_argument("--keep-results", metavar="DIR",
                       help="copy each model's results files out of its sandbox, one directory per model")
    solve.add_argument("--journal", metavar="FILE",
                       help="JSON Lines journal, each result on disk as its model ends (default with --report: "
                            "FILE.journal beside the report, removed once the report is written)")
    solve.add_argument("--summary", metavar="FILE", help="write the run's morning summary (HTML) at its end")
    solve.add_argument("--resume", action="store_true",
                       help="reuse the journal's result of a model only when the model, the inputs beside it that "
                            "the solve reads, the solver, the options, --collect and the installation are unchanged")
    _installation_options(solve)
    solve.add_argument("--progress", dest="progress", action="store_true", default=None,
                       help="show the progress bar even when standard error is no terminal")
    solve.add_argument("--no-progress", dest="progress", action="store_false")
    solve.add_argument("-v", "--verbose", action="store_true", help="log each model as it ends")


def _installation_options(parser):
    parser.add_argument("--settings", metavar="PATH", help="the settings document, when not in the default place")
    parser.add_argument("--data-sources", metavar="PATH", help="the data-sources document, when not in the default place")


def _journal_path(arguments):
    if arguments.journal:
        return arguments.journal, False
    if arguments.report:
        return arguments.report + ".journal", True
    return None, False


def _function(spec):
    """The function a ``module:function`` names (imported here; workers
    import it again by name)."""
    import importlib
    module_name, _, name = spec.partition(":")
    if not module_name or not name:
        raise ValueError("--collect takes MODULE:FUNCTION, not %r" % spec)
    try:
        function = importlib.import_module(module_name)
    except Exception as error:   # a module that raises as it imports
        raise ValueError("--collect %s: the module does not import (%s: %s)" % (spec, type(error).__name__, error)) \
            from None
    for part in name.split("."):
        function = getattr(function, part, None)
        if function is None:
            raise ValueError("--collect %s: %s has no %s" % (spec, module_name, name))
    if not callable(function):
        raise ValueError("--collect %s is not a function" % spec)
    import inspect
    try:
        inspect.signature(function).bind(None, None)
    except TypeError:
        raise ValueError("--collect %s does not take (solution, path)" % spec) from None
    except ValueError:
        pass   # no signature to read (a builtin): it will tell for itself
    return function


class _Matcher:
    """retry_on from --retry-on: the pattern found in the result's error
    message or output (a class, so that it pickles)."""

    def __init__(self, pattern):
        self.pattern = re.compile(pattern)

    def __call__(self, result):
        return bool(self.pattern.search("%s\n%s" % (result.error_message or "", result.output or "")))


def _matcher(pattern):
    try:
        return _Matcher(pattern)
    except re.error as error:
        raise ValueError("--retry-on %r is not a regular expression: %s" % (pattern, error)) from None


def _seats(entries):
    seats = {}
    for entry in entries:
        solver, _, count = entry.partition("=")
        if solver not in SOLVERS or not count.isdigit() or int(count) < 1:
            raise ValueError("--max-running takes SOLVER=N (%s, N at least 1), not %r" % (" or ".join(SOLVERS), entry))
        seats[solver] = int(count)
    return seats


def _check_outputs(arguments, journal):
    """Every file the run writes: a known format, writable, each its own."""
    from .batch.results import report as reports
    from .batch.solving import check_keep_results
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


class _Refused(Exception):
    """A usage error found before the run: one message, exit status 2."""


def _solve(arguments):
    from . import batch
    from .batch import signals
    from .batch.run import ignore_for_good
    signals.end_once()   # a second signal, wherever it lands, never cuts the report short
    journal, temporary_journal = _journal_path(arguments)
    try:
        options, models, collect, max_running = _checked(arguments, journal)
        journal_existed = bool(journal) and os.path.lexists(journal)
        executor = _scheduler(arguments.scheduler)
    except _Refused as refused:
        print("dralvex_computer solve: %s" % refused, file=sys.stderr)
        return EXIT_USAGE
    installation = batch.Installation(arguments.installation, arguments.module, arguments.settings,
                                      arguments.data_sources, os.environ.get(PREPARE_VARIABLE) or None)
    status = None
    try:
        results = batch.solve_models(models, arguments.solver, installation, not arguments.in_place, collect=collect,
                                     keep_results=arguments.keep_results, max_running=max_running,
                                     options=dataclasses.replace(options, executor=executor))
    except batch.BatchSetupError as error:
        print("dralvex_computer solve: the run cannot start: %s" % error, file=sys.stderr)
        return EXIT_USAGE
    except batch.BatchInterrupted as stop:
        ignore_for_good()   # a second Ctrl-C must not cut the report short
        results, status = stop.results, 128 + int(stop.signal)
    finally:
        if executor is not None:
            executor.close()
    status = _write_outputs(arguments, results, status, journal, temporary_journal and not journal_existed)
    _summary(results, batch)
    if status is not None:
        if journal:
            print("dralvex_computer solve: interrupted; to go on where it stopped: %s" % _resume_command(),
                  file=sys.stderr)
        return status
    return EXIT_ALL_SOLVED if all(result.ok for result in results) else EXIT_SOME_FAILED


def _checked(arguments, journal):
    """(the run's options, the models, the collect function, the seats),
    everything checked before the first model; _Refused otherwise."""
    from . import batch
    from .batch import inputs
    if arguments.resume and not journal:
        raise _Refused("--resume needs --journal (or --report)")
    try:
        _check_outputs(arguments, journal)
        retry_on = _matcher(arguments.retry_on) if arguments.retry_on else None
        options = batch.RunOptions(
            workers=arguments.workers, timeout=arguments.timeout, progress=arguments.progress, journal=journal,
            resume=arguments.resume, retries=arguments.retries, retry_delay=arguments.retry_delay, retry_on=retry_on,
            retry_max_delay=(batch.DEFAULT_RETRY_MAX_DELAY if arguments.retry_max_delay is None
                             else arguments.retry_max_delay), retry_time=arguments.retry_time)
        models = inputs.expand(arguments.models)
        collect = _function(arguments.collect) if arguments.collect else None
        max_running = _seats(arguments.max_running)
    except (OSError, ValueError, ImportError) as error:
        raise _Refused(str(error)) from None
    if not any(os.path.isfile(path) for path in models):
        raise _Refused("no model document found: %s" % ", ".join(models[:5]))
    return options, models, collect, max_running


def _scheduler(address):
    """A Dask client of the scheduler at ``address``, or None without one."""
    if not address:
        return None
    try:
        from distributed import Client
        return Client(address, timeout=SCHEDULER_TIMEOUT)
    except ImportError:
        raise _Refused("--scheduler needs Dask: pip install dralvex_computer[dask]") from None
    except Exception as error:   # nothing listening, a refused connection, a wrong address
        raise _Refused("no Dask scheduler answers at %s (%s: %s)" % (address, type(error).__name__, error)) from None


def _write_outputs(arguments, results, status, journal, remove_journal):
    """The report and the summary page; the journal made for the report is
    removed once the report holds it all. Returns the exit status so far."""
    from .batch.results import report as reports, summary as summaries
    if arguments.report:
        try:
            reports.write([result.record() for result in results], arguments.report)
        except OSError as error:
            print("dralvex_computer solve: the report could not be written: %s (the journal %s holds every result)"
                  % (error, journal), file=sys.stderr)
            remove_journal = False
            status = status or EXIT_SOME_FAILED
        if remove_journal and status is None:
            with contextlib.suppress(FileNotFoundError):
                os.remove(journal)   # the journal this run made for its report
    if arguments.summary:
        try:
            summaries.write([result.record() for result in results], arguments.summary,
                            interrupted=status is not None)
        except OSError as error:
            print("dralvex_computer solve: the summary could not be written: %s" % error, file=sys.stderr)
            status = status or EXIT_SOME_FAILED
    return status


def _resume_command():
    """This command again, with --resume."""
    from .batch.command import join_command
    argv = list(_ARGV)
    if "--resume" not in argv:
        argv = argv + ["--resume"]
    return "%s (from %s)" % (join_command(["python", "-m", "dralvex_computer"] + argv), os.getcwd())


_ARGV = []  # type: list  # the command's arguments as given


def _summary(results, batch):
    counts = {}
    for result in results:
        counts[result.status] = counts.get(result.status, 0) + 1
    resumed = sum(result.resumed for result in results)
    warned = sum(bool(result.warnings) for result in results)
    notes = [("%d from the journal" % resumed) if resumed else "", ("%d with warnings" % warned) if warned else ""]
    print(", ".join("%d %s" % (count, status) for status, count in sorted(counts.items())) or "no models",
          ("(%s)" % ", ".join(filter(None, notes))) if any(notes) else "", file=sys.stderr)
    for result in results:
        if not result.ok and result.status != batch.CANCELLED:
            print("%s: %s%s" % (result.item, result.status,
                                (" (%s)" % result.error_message) if result.error_message else ""), file=sys.stderr)
        for warning in dict.fromkeys(result.warnings):
            print("%s: warning: %s" % (result.item, warning), file=sys.stderr)


def main(argv=None):
    _ARGV[:] = sys.argv[1:] if argv is None else list(argv)
    parser = _parser()
    arguments = parser.parse_args(argv)
    if arguments.command == "doctor":
        if (arguments.settings or arguments.data_sources) and not arguments.installation:
            # the documents are checked with the installation they belong to
            parser.error("doctor: --settings and --data-sources need --installation")
        from .doctor import run
        return run(arguments)
    if arguments.command == "summary":
        from .batch.results import journal as journals, summary
        if not os.path.isfile(arguments.journal):
            print("dralvex_computer summary: no journal at %s" % arguments.journal, file=sys.stderr)
            return EXIT_USAGE
        contents = journals.read(arguments.journal)
        if not contents.runs and not contents.legacy:
            print("dralvex_computer summary: %s is not a run's journal (a report? give the journal the run wrote)"
                  % arguments.journal, file=sys.stderr)
            return EXIT_USAGE
        try:
            summary.write(arguments.journal, arguments.output, arguments.title)
        except OSError as error:
            print("dralvex_computer summary: %s" % error, file=sys.stderr)
            return EXIT_USAGE
        return 0
    logging.basicConfig(level=logging.INFO if arguments.verbose else logging.WARNING,
                        format="%(name)s: %(message)s")
    try:
        return _solve(arguments)
    except KeyboardInterrupt as stop:   # before the run started
        from .batch.run import ignore_for_good
        ignore_for_good()
        return 128 + getattr(stop, "signum", EXIT_INTERRUPTED - 128)
