"""The solve command: the models and options checked before the night,
the run, and its exit status; what the night leaves is ``night_end``'s."""
import dataclasses
import os
import re
import sys

from . import night_end
from .cli import EXIT_ALL_SOLVED, EXIT_SOME_FAILED, SCHEDULER_TIMEOUT, tolerances
from .facts import PREPARE_VARIABLE, SOLVERS


def _journal_path(arguments):
    """(the run's journal, whether it is made for this run alone): with a
    report or a page and no journal, one beside it, removed at the end."""
    if arguments.command == "study":
        from . import study_command
        return study_command.journal_path(arguments), False
    if arguments.journal:
        return arguments.journal, False
    if arguments.report or arguments.summary:
        return (arguments.report or arguments.summary) + ".journal", True
    return None, False


def _function(spec, option="--collect", takes="(solution, path)"):
    """The function a ``module:function`` names (imported here; workers
    import it again by name)."""
    import importlib
    module_name, _, name = spec.partition(":")
    if not module_name or not name:
        raise ValueError("%s takes MODULE:FUNCTION, not %r" % (option, spec))
    try:
        function = importlib.import_module(module_name)
    except Exception as error:   # a module that raises as it imports
        raise ValueError("%s %s: the module does not import (%s: %s)" % (option, spec, type(error).__name__, error)) \
            from None
    for part in name.split("."):
        function = getattr(function, part, None)
        if function is None:
            raise ValueError("%s %s: %s has no %s" % (option, spec, module_name, name))
    if not callable(function):
        raise ValueError("%s %s is not a function" % (option, spec))
    import inspect
    try:
        inspect.signature(function).bind(None, None)
    except TypeError:
        raise ValueError("%s %s does not take %s" % (option, spec, takes)) from None
    except ValueError:
        pass   # no signature to read (a builtin): it will tell for itself
    return function


class _Matcher:
    """retry_on from --retry-on: what is tried again by default (failed, no
    solution, worker lost), and besides it a result whose error message or
    output holds the pattern (a class, so that it pickles)."""

    def __init__(self, pattern):
        self.pattern = re.compile(pattern)

    def __call__(self, result):
        from .batch.retries import RETRIED_BY_DEFAULT
        return result.status in RETRIED_BY_DEFAULT or bool(
            self.pattern.search("%s\n%s" % (result.error_message or "", result.output or "")))


def _matcher(pattern):
    try:
        return _Matcher(pattern)
    except re.error as error:
        raise ValueError("--retry-on %r is not a regular expression: %s" % (pattern, error)) from None


def _max_running(entries):
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


class _NothingToDo(Exception):
    """Nothing to run (no model failed): one message, exit status 0."""


def run(arguments, argv):
    """The solve command; its exit status."""
    from . import batch
    from .batch import signals
    from .batch.signals import ignore_for_good
    signals.end_once()   # a second signal, wherever it lands, never cuts the report short
    journal, temporary_journal = _journal_path(arguments)
    try:
        options, models, collect, max_running = _checked(arguments, journal)
        journal_existed = bool(journal) and os.path.lexists(journal)
        executor = _scheduler(arguments.scheduler)
    except _Refused as refused:
        return night_end.cannot_start(arguments, str(refused), argv)
    except _NothingToDo as nothing:
        print("dralvex_computer %s: %s" % (arguments.command, nothing), file=sys.stderr)
        return EXIT_ALL_SOLVED
    installation = batch.Installation(arguments.installation, arguments.module, arguments.settings,
                                      arguments.data_sources, os.environ.get(PREPARE_VARIABLE) or None)
    status = None
    page = night_end.live_page(arguments, journal, options.units)
    try:
        options = dataclasses.replace(options, executor=executor, context=night_end.context(arguments, argv))
        if arguments.command == "study":
            from . import study_command
            if arguments.dry_run:
                return study_command.dry_run(arguments, models, collect, installation)
            results = study_command.run(arguments, models, collect, installation, max_running, options)
        else:
            results = batch.solve_models(models, arguments.solver, installation, not arguments.in_place,
                                         collect=collect, keep_results=arguments.keep_results,
                                         max_running=max_running, options=options)
    except (batch.BatchSetupError, ValueError) as error:   # a ValueError: an option the run refused before its start
        return night_end.cannot_start(arguments, "the run cannot start: %s" % error, argv)
    except batch.BatchInterrupted as stop:
        ignore_for_good()   # a second Ctrl-C must not cut the report short
        results, status = stop.results, 128 + int(stop.signal)
    finally:
        if page is not None:
            page.stop()
        if executor is not None:
            executor.close()
    night = night_end.night(results, journal)
    changes = night_end.changes_since(arguments, night, journal)
    status = night_end.write_outputs(arguments, night, status, journal, temporary_journal and not journal_existed,
                                     changes, options.units, argv)
    from .batch.progress import print_counts
    from .batch.results import compare
    print_counts(night)
    if changes is not None:
        print("since %s: %s" % (arguments.compare, compare.text(changes)), file=sys.stderr)
    regressed = changes is not None and compare.regressed(changes)
    if arguments.notify:
        night_end.notify_end(arguments, night, status is not None, regressed, argv)
    if status is not None:
        if journal:
            print("dralvex_computer %s: interrupted; to go on where it stopped: %s" % (arguments.command,
                                                                                     night_end.resume_command(argv)),
                  file=sys.stderr)
        return status
    night_end.say_how_to_rerun(arguments, night, journal, temporary_journal and not journal_existed, argv)
    return EXIT_ALL_SOLVED if all(result.ok for result in night) and not regressed else EXIT_SOME_FAILED


def _checked(arguments, journal):
    """(the run's options, the models, the collect function, the seats),
    everything checked before the first model; _Refused otherwise."""
    from . import batch
    from .batch import inputs, seats
    if arguments.resume and not journal:
        raise _Refused("--resume needs --journal (or --report)")
    if arguments.command != "study" and bool(arguments.models) == bool(arguments.only):
        raise _Refused("give MODELS or --only STATUSES (with the journal that knows them), not both"
                       if arguments.models else "no models given")
    try:
        if arguments.command == "study" and not arguments.dry_run:
            os.makedirs(arguments.directory, exist_ok=True)   # the study's own: its journal and its points
        if not getattr(arguments, "dry_run", False):   # a dry run writes nothing
            _check_outputs(arguments, journal)
        retry_on = _matcher(arguments.retry_on) if arguments.retry_on else None
        options = batch.RunOptions(
            workers=arguments.workers, timeout=arguments.timeout, progress=arguments.progress, journal=journal,
            resume=arguments.resume, retries=arguments.retries, retry_delay=arguments.retry_delay, retry_on=retry_on,
            retry_max_delay=(batch.DEFAULT_RETRY_MAX_DELAY if arguments.retry_max_delay is None
                             else arguments.retry_max_delay), retry_time=arguments.retry_time,
            units=_units(arguments.units), seats=_seat_counts(arguments.seats),
            seat_directory=arguments.seat_directory, resources=_resources(arguments.resources),
            seat_lease=seats.DEFAULT_LEASE_TIMEOUT if arguments.seat_lease is None else arguments.seat_lease)
        if arguments.command == "study":   # (the build function, the points) stand where the models do
            from . import study_command
            models = (_function(arguments.build, "build", "(point, directory)"), study_command.parameters(arguments))
        else:
            models = _failed_models(arguments.only, journal) if arguments.only else inputs.expand(arguments.models)
        collect = _function(arguments.collect) if arguments.collect else None
        max_running = _max_running(arguments.max_running)
        if arguments.notify:
            from .batch.results import notify
            notify.check(arguments.notify)
        if arguments.compare:
            from .batch.results import compare
            tolerances(arguments)
            if os.path.exists(arguments.compare):
                compare.load(arguments.compare)   # readable before the night, not after it
            else:   # the first night: nothing to compare with yet
                print("dralvex_computer solve: no run to compare with at %s: this run goes on without a comparison"
                      % arguments.compare, file=sys.stderr)
    except (OSError, ValueError, ImportError) as error:
        raise _Refused(str(error)) from None
    if arguments.command != "study" and not any(os.path.isfile(path) for path in models):
        raise _Refused("no model document found: %s" % ", ".join(models[:5]))
    return options, models, collect, max_running


def _seat_counts(entries):
    """--seats SOLVER=N: the count as written (SeatPools says what is wrong
    with it, 0 seats above all)."""
    counts = {}
    for entry in entries:
        name, _, count = entry.partition("=")
        if not name or not count.strip().lstrip("-").isdigit():
            raise ValueError("--seats takes SOLVER=N (a solver's name and its seats), not %r" % entry)
        if name.strip() not in SOLVERS:
            raise ValueError("--seats names %r, not a solver (%s)" % (name.strip(), " or ".join(SOLVERS)))
        counts[name.strip()] = int(count)
    return counts or None


def _resources(entries):
    resources = {}
    for entry in entries:
        name, _, amount = entry.partition("=")
        try:
            resources[name.strip()] = float(amount)
        except ValueError:
            raise ValueError("--resources takes NAME=N, not %r" % entry) from None
    return resources or None


def _units(entries):
    units = {}
    for entry in entries:
        name, _, unit = entry.partition("=")
        if not name or not unit:
            raise ValueError("--units takes VALUE=UNIT (max_stress=MPa), not %r" % entry)
        units[name] = unit
    return units or None


# --only's names: each status (its spaces as dashes), "failed" for every
# one that did not solve, "not-run" for those that did not run
ONLY_FAILED, ONLY_NOT_RUN = "failed", "not-run"


def only_statuses(only):
    """The statuses --only names; ValueError for a name it does not know."""
    from .batch.items import FAILED, NOT_RUN, NOT_SOLVED, STATUSES
    wanted = set()
    for name in (part.strip() for part in only.split(",")):
        if not name:
            continue
        if name == ONLY_FAILED:
            wanted.update(NOT_SOLVED)
        elif name == ONLY_NOT_RUN:
            wanted.update(NOT_RUN)
        elif name.replace("-", " ") in STATUSES:
            wanted.add(name.replace("-", " "))
        else:
            raise ValueError("--only takes failed (every model that did not solve), not-run, or statuses among %s; "
                             "not %s" % (", ".join(status.replace(" ", "-") for status in STATUSES if status != FAILED),
                                         name))
    return wanted


def _failed_models(only, journal):
    """The models of the journal's night whose status is one of ``only``,
    in their order."""
    from .batch.results import journal as journals, night as nights
    wanted = only_statuses(only)
    if not journal or not os.path.isfile(journal):
        raise ValueError("--only needs the journal of the run to take the models from (--journal)")
    contents = journals.read(journal)
    if not contents.runs and not contents.legacy:   # "nothing to run again" would tell a scheduled rerun nothing failed
        raise ValueError("--only: %s is not a run's journal (empty, a report, or another file): give the journal "
                         "the run wrote" % journal)
    models = [record.get("item") for record in nights.night(journal)[0] if record.get("status") in wanted]
    if any(not isinstance(model, str) for model in models):
        raise ValueError("--only: %s is a study's journal: run the study again (the same study command): its "
                         "points that did not solve run again, the others' results stand" % journal)
    if not models:
        raise _NothingToDo("no model of the journal's night is %s: nothing to run again"
                           % " or ".join(sorted(wanted)))
    return models


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


