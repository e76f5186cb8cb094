"""The command line of the package (``python -m dralvex_computer``)."""
import argparse
import logging
import os
import sys

from .facts import MODEL_EXTENSION, MODULES, SOLVERS

EXIT_ALL_SOLVED, EXIT_SOME_FAILED, EXIT_USAGE = 0, 1, 2
EXIT_INTERRUPTED = 130   # 128 + the signal's number: 130 Ctrl-C, 143 SIGTERM, 129 SIGHUP
SCHEDULER_TIMEOUT = 10   # seconds to reach a Dask scheduler


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

    summary = commands.add_parser(
        "summary", help="the morning summary of a night: one self-contained HTML page",
        description="Write the summary page of the night a journal holds (every model's latest result across the "
                    "journal's runs), as solve --summary does; while the run still goes on, the models running, "
                    "waiting for a seat and queued are shown as such.")
    summary.add_argument("journal", metavar="JOURNAL", help="the run's journal (JSON Lines)")
    summary.add_argument("-o", "--output", required=True, metavar="FILE", help="the HTML page to write")
    summary.add_argument("--title", help="the page's title")
    summary.add_argument("--compare", metavar="OLD", help="show what changed since the night of journal or report OLD")
    _tolerance_options(summary)

    compare = commands.add_parser(
        "compare", help="what changed between two runs (journals or reports)",
        description="Match the items of two runs by identity and say what changed: added, removed, newly failing, "
                    "newly passing, values beyond the tolerance, inputs changed. Exit status: 0 when nothing "
                    "regressed, 1 when an item is newly failing, removed, or has other values from the same inputs, "
                    "2 when a run cannot be read.")
    compare.add_argument("old", metavar="OLD", help="the earlier run's journal or report (.jsonl, .csv)")
    compare.add_argument("new", metavar="NEW", help="the later run's journal or report")
    _tolerance_options(compare)
    compare.add_argument("--json", action="store_true", help="write the changes as JSON")

    from . import study_command
    study_command.add_parser(commands, _run_options)

    doctor = commands.add_parser("doctor", help="report the environment, for users and bug reports")
    doctor.add_argument("--installation", metavar="DIR", help="the application's installation directory to check")
    _installation_options(doctor)
    return parser


def _solve_options(solve):
    solve.add_argument("models", nargs="*", metavar="MODELS",
                       help="model documents (%s), directories (every model below), glob patterns (** "
                            "included, expanded here) or @FILE (a list of these, one a line)" % MODEL_EXTENSION)
    _run_options(solve)
    solve.add_argument("--in-place", action="store_true", help="solve beside each model, not in a sandbox")
    solve.add_argument("--keep-results", metavar="DIR",
                       help="copy each model's results files out of its sandbox, one directory per model")
    solve.add_argument("--journal", metavar="FILE",
                       help="JSON Lines journal, each result on disk as its model ends (default with --report: "
                            "FILE.journal beside the report, removed once the report is written)")
    solve.add_argument("--only", metavar="STATUSES",
                       help="instead of MODELS, the models of the journal's night whose status is one of STATUSES, "
                            "comma-separated: failed (every model that did not solve), not-run (cancelled), or one "
                            "status (no-solution, timed-out, worker-lost, invalid-input, cancelled, solved)")
    solve.add_argument("--compare", metavar="OLD",
                       help="say what changed since the run of journal or report OLD, on standard error and on "
                            "the summary page; exit status 1 when something regressed")
    _tolerance_options(solve)
    solve.add_argument("--resume", action="store_true",
                       help="reuse the journal's result of a model only when the model, the inputs beside it that "
                            "the solve reads, the solver, the options, --collect and the installation are unchanged")


def _run_options(solve):
    """The options of every command that runs: where, how, what it leaves."""
    solve.add_argument("--installation", required=True, metavar="DIR", help="the application's installation directory")
    solve.add_argument("--solver", required=True, choices=SOLVERS)
    solve.add_argument("--module", default="All", choices=MODULES)
    solve.add_argument("--workers", type=int, default=None, metavar="N", help="worker processes (default: CPU count)")
    solve.add_argument("--timeout", type=float, default=None, metavar="S", help="seconds per model")
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
                       help="also retry when REGEX is found in the error message or the output (e.g. 'ran past' "
                            "for models that ran past their time-out), beside what is retried by default (failed, no "
                            "solution, worker lost); needs --retries")
    solve.add_argument("--max-running", action="append", default=[], metavar="SOLVER=N",
                       help="at most N solves of SOLVER at once in this run; may be repeated")
    solve.add_argument("--seats", action="append", default=[], metavar="SOLVER=N",
                       help="SOLVER's licence seats, shared by every run that names them on this machine (or its "
                            "Dask cluster): a model waits for a seat, and its time-out counts from its solve's "
                            "start; may be repeated")
    solve.add_argument("--seat-directory", metavar="DIR",
                       help="where the runs of the local pool meet to share seats (default: a place every user of "
                            "this machine shares; a shared drive serves a few workstations)")
    solve.add_argument("--seat-lease", type=float, default=None, metavar="S",
                       help="the seat of a holder that stopped answering (its machine gone) is free after S "
                            "seconds (default 20)")
    solve.add_argument("--resources", action="append", default=[], metavar="NAME=N",
                       help="what each model needs of a Dask worker's resources (node-locked licences: "
                            "PipeStress=1, with workers started with --resources PipeStress=1); may be repeated")
    solve.add_argument("--summary", metavar="FILE", help="write the run's morning summary (HTML) at its end")
    solve.add_argument("--notify", metavar="URL|ADDRESS|env:NAME",
                       help="one message when the run ends, however it ends: a JSON POST to a webhook URL, or an "
                            "e-mail; a notifier that fails or hangs never changes the run's outcome; env:NAME takes "
                            "the URL from the environment variable NAME (a URL with a token: never written anywhere)")
    solve.add_argument("--notify-smtp", default="localhost:25", metavar="HOST:PORT",
                       help="the mail server for --notify ADDRESS (default localhost:25)")
    solve.add_argument("--title", help="the run's title, on its summary page and in its message")
    solve.add_argument("--units", action="append", default=[], metavar="VALUE=UNIT",
                       help="the unit of a collected value (max_stress=MPa), shown on the page; may be repeated")
    _installation_options(solve)
    solve.add_argument("--progress", dest="progress", action="store_true", default=None,
                       help="show the progress bar even when standard error is no terminal")
    solve.add_argument("--no-progress", dest="progress", action="store_false")
    solve.add_argument("-v", "--verbose", action="store_true", help="log each model as it ends")


def _tolerance_options(parser):
    parser.add_argument("--rel-tol", type=float, default=1e-6, metavar="R",
                        help="values closer than R of the larger are the same (default 1e-6)")
    parser.add_argument("--abs-tol", type=float, default=1e-9, metavar="A",
                        help="values closer than A are the same, whatever their size (default 1e-9)")
    parser.add_argument("--tolerance", action="append", default=[], metavar="COLUMN=R[,A]",
                        help="the tolerances of one value column; may be repeated")
    parser.add_argument("--match", default="identity", choices=("identity", "relative", "name"),
                        help="how a model of one night is found in the other: by its real path (default), by its "
                             "path below each night's common folder (the models moved), or by its file name")


def tolerances(arguments):
    """((relative, absolute), per column) from the tolerance options;
    ValueError for a column's that is no number."""
    from .batch.results import compare
    return (arguments.rel_tol, arguments.abs_tol), compare.column_tolerances(arguments.tolerance, arguments.abs_tol)


def _compare(arguments):
    from .batch.results import compare
    try:
        tolerance, columns = tolerances(arguments)
        changes = compare.compare(compare.load(arguments.old), compare.load(arguments.new), tolerance, columns,
                                  arguments.match)
    except (OSError, ValueError) as error:
        print("dralvex_computer compare: %s" % error, file=sys.stderr)
        return EXIT_USAGE
    said = compare.as_json(changes) if arguments.json else compare.text(changes)
    try:
        print(said)
        sys.stdout.flush()
    except BrokenPipeError:   # its reader went (| head): nothing more to say there
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())   # the interpreter's own flush at exit must not fail again
        os.close(devnull)
    return EXIT_SOME_FAILED if compare.regressed(changes) else 0


def _summary(arguments):
    from .batch.results import compare, journal as journals, summary
    if not os.path.isfile(arguments.journal):
        print("dralvex_computer summary: no journal at %s" % arguments.journal, file=sys.stderr)
        return EXIT_USAGE
    contents = journals.read(arguments.journal)
    if not contents.runs and not contents.legacy:
        print("dralvex_computer summary: %s is not a run's journal (a report? give the journal the run wrote)"
              % arguments.journal, file=sys.stderr)
        return EXIT_USAGE
    changes = None
    try:
        if arguments.compare:
            tolerance, columns = tolerances(arguments)
            changes = compare.compare(compare.load(arguments.compare), compare.load(arguments.journal), tolerance,
                                      columns, arguments.match)
        summary.write(arguments.journal, arguments.output, arguments.title, comparison=changes)
    except (OSError, ValueError) as error:
        print("dralvex_computer summary: %s" % error, file=sys.stderr)
        return EXIT_USAGE
    return 0


def _installation_options(parser):
    parser.add_argument("--settings", metavar="PATH", help="the settings document, when not in the default place")
    parser.add_argument("--data-sources", metavar="PATH", help="the data-sources document, when not in the default place")


_ARGV = []  # type: list  # the command's arguments as given


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
    if arguments.command == "compare":
        return _compare(arguments)
    if arguments.command == "summary":
        return _summary(arguments)
    try:
        logging.basicConfig(level=logging.INFO if arguments.verbose else logging.WARNING,
                            format="%(name)s: %(message)s")
        from . import solve_command
        return solve_command.run(arguments, _ARGV)
    except KeyboardInterrupt as stop:   # before the run started
        from .batch.signals import ignore_for_good
        ignore_for_good()
        return 128 + getattr(stop, "signum", EXIT_INTERRUPTED - 128)
