"""What a night leaves once its run ends (and its page while it runs):
the night read back from its journal, its report and summary page, what
changed since an earlier night, its message, and the next step it prints
(the command that reruns its failures, or goes on after an interruption).
``argv``: the command's arguments as given."""
import contextlib
import os
import sys

from .shared import EXIT_SOME_FAILED, EXIT_USAGE, compared, tolerances


def _command(argv):
    """This command with ``argv``, as a user would type it again (no secret in it)."""
    from ..batch.command import join_command
    return join_command(["python", "-m", "dralvex_computer"] + list(argv))


def night(results, journal):
    """The night the journal holds after this run (every item's latest
    result, also after --only and --resume), as results; this run's
    results without a journal, or when it cannot be read."""
    if not journal or not os.path.isfile(journal):
        return results
    from ..batch import ItemResult
    from ..batch.results import night as nights
    try:
        records = nights.night(journal)[0]
    except (OSError, ValueError):
        return results
    return [ItemResult.from_record(record, record.get("index", index), record.get("item"))
            for index, record in enumerate(records)]


def cannot_start(arguments, why, argv):
    """A night that cannot start: one line, exit status 2, and its message
    when one was asked for."""
    print("dralvex_computer %s: %s" % (arguments.command, why), file=sys.stderr)
    target = getattr(arguments, "notify", None)
    if target:
        from ..batch.results import notify
        try:
            notify.check(target)
        except ValueError:
            return EXIT_USAGE   # said already: the refusal is about it
        content = notify.cannot_start(arguments.title or "dralvex_computer %s" % arguments.command, why,
                                      _command(argv))
        notify.send(target, content, arguments.notify_smtp)
    return EXIT_USAGE


def say_how_to_rerun(arguments, night, journal, journal_removed, argv):
    """A night that ended with failures says the command that reruns them."""
    from ..batch.items import NOT_SOLVED
    failed = sum(result.status in NOT_SOLVED for result in night)
    if not failed:
        return
    if not journal or journal_removed:
        print("dralvex_computer solve: %d models did not solve; give --journal to rerun them later with "
              "--only failed" % failed, file=sys.stderr)
        return
    argv = _without_models(list(argv), arguments)
    print("dralvex_computer solve: %d models did not solve; to run them again: %s (from %s)"
          % (failed, _command(argv + ["--only", "failed"]), os.getcwd()),
          file=sys.stderr)


def _without_models(argv, arguments):
    """The command's arguments without its models, --only and --resume."""
    models = set(arguments.models or [])
    kept, skip = [], False
    for argument in argv:
        if skip:
            skip = False
            continue
        if argument == "--only":
            skip = True
            continue
        if argument.startswith("--only=") or argument == "--resume" or argument in models:
            continue
        kept.append(argument)
    return kept


def notify_end(arguments, results, interrupted, regressed, argv, findings=None):
    """The one message of the run's end; it never changes the run's outcome."""
    from ..batch.results import history, notify
    page = os.path.abspath(arguments.summary) if arguments.summary else None
    said = None if findings is None else {category: [str(finding.item) for finding in members]
                                          for category, members in history.grouped(findings).items()}
    content = notify.message([result.record() for result in results], arguments.title or "dralvex_computer solve",
                             interrupted, page, _command(argv),
                             regressed if arguments.compare else None, said)
    notify.send(arguments.notify, content, arguments.notify_smtp)


def changes_since(arguments, night, journal):
    """What changed since the night --compare names (None without it):
    the night this run leaves, exactly as ``compare OLD JOURNAL`` says."""
    if not arguments.compare or not os.path.exists(arguments.compare):
        return None
    from ..batch.results import compare
    try:
        new = journal if journal and os.path.isfile(journal) else compare.rows(result.record() for result in night)
        return compared(arguments, arguments.compare, new)
    except (OSError, ValueError) as error:
        print("dralvex_computer %s: no comparison: %s" % (arguments.command, error), file=sys.stderr)
        return None


def history_of(arguments, journal, night, passing=False):
    """(the nights of --history DIR and this ``night``, what drifts or is
    flaky), or None without --history (or when no night can be read).
    This night's digest is made from its results in hand, unless its
    journal is removed at the end (``passing``)."""
    if not getattr(arguments, "history", None):
        return None
    from ..batch.results import compare, digest, history
    try:
        named = history.journals_of([arguments.history]) if _holds_journals(arguments.history) else []
        tolerance, columns = tolerances(arguments)
    except (OSError, ValueError) as error:
        print("dralvex_computer %s: no history: %s" % (arguments.command, error), file=sys.stderr)
        return None
    tonight = None
    if journal and os.path.isfile(journal):
        tonight = digest.of_records(journal, [result.record() for result in night], _first_run_time(journal))
        if not passing:
            digest.keep(tonight)
        same = os.path.realpath(journal)
        named = [path for path in named if os.path.realpath(path) != same]
    else:
        print("dralvex_computer %s: this night has no journal, so the history is of the nights before it alone "
              "(give --journal)" % arguments.command, file=sys.stderr)
    found = history.History.read(named)
    if tonight is not None:
        found = history.History(found.nights + [tonight], found.skipped)
    if not found.nights:
        return None
    return found, history.findings(found, history.WINDOW, compare.Tolerance(tolerance[0], tolerance[1], columns))


def _first_run_time(journal):
    """When the journal's first run started (its first line's time)."""
    import json
    try:
        with open(journal, "r", encoding="utf-8", errors="replace") as stream:
            first = json.loads(stream.readline())
        return first.get("time") if isinstance(first, dict) else None
    except (OSError, ValueError):
        return None


def _holds_journals(directory):
    """A folder with a journal in it (the first night's has none yet)."""
    try:
        from ..batch.results.history import JOURNALS
        return any(name.lower().endswith(JOURNALS) for name in os.listdir(directory))
    except OSError:
        return False


def write_outputs(arguments, night, status, journal, remove_journal, changes, units, argv, study=None, nights=None):
    """The report and the summary page of the night (``study``: what the
    page of a study shows; ``nights``: the history and its findings); the
    journal made for them is removed once they hold it all. Returns the
    exit status so far."""
    from ..batch.results import report as reports, summary as summaries
    if arguments.report:
        try:
            reports.write([result.record() for result in night], arguments.report)
        except OSError as error:
            print("dralvex_computer solve: the report could not be written: %s (the journal %s holds every result)"
                  % (error, journal), file=sys.stderr)
            remove_journal = False
            status = status or EXIT_SOME_FAILED
    if arguments.summary:
        source = journal if journal and os.path.isfile(journal) else [result.record() for result in night]
        try:
            summaries.write(source, arguments.summary, title=arguments.title, interrupted=status is not None,
                            comparison=changes, context=context(arguments, argv), units=units, study=study,
                            history=nights)
        except OSError as error:
            print("dralvex_computer solve: the summary could not be written: %s" % error, file=sys.stderr)
            remove_journal = False
            status = status or EXIT_SOME_FAILED
    if remove_journal and status is None:
        with contextlib.suppress(FileNotFoundError):
            os.remove(journal)   # the journal this run made for its report and page
    return status


def live_page(arguments, journal, units):
    """The summary page rewritten from the journal while the run goes on
    (None without --summary)."""
    if not arguments.summary or not journal:
        return None
    from ..batch.results.live import LivePage
    page = LivePage(journal, arguments.summary, title=arguments.title, units=units)
    page.start()
    return page


def context(arguments, argv):
    """What the page says the run was."""
    from .. import __version__
    return {"command": _command(argv), "solver": arguments.solver,
            "installation": os.path.abspath(arguments.installation), "dralvex_computer": __version__,
            "Python": "%s %s" % (sys.implementation.name, sys.version.split()[0])}


def resume_command(argv):
    """This command again, with --resume."""
    argv = list(argv)
    if "--resume" not in argv:
        argv = argv + ["--resume"]
    return "%s (from %s)" % (_command(argv), os.getcwd())
