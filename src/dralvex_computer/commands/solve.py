"""``solve MODELS``: many model documents solved in parallel, or the models
of a night's journal whose status --only names."""
import os

from ..facts import MODEL_EXTENSION
from . import night as nights
from .running import RunningCommand
from .shared import NothingToDo, Refused, tolerance_options

# --only's names: each status (its spaces as dashes), "failed" for every
# one that did not solve, "not-run" for those that did not run
ONLY_FAILED, ONLY_NOT_RUN = "failed", "not-run"


class Solve(RunningCommand):
    name = "solve"
    help = "solve many model documents in parallel"
    description = ("Solve each model in a worker process of its own. Exit status: 0 when every model solved, 1 when "
                   "some did not, 2 when the run could not start (a usage error, or the checks before the first "
                   "model failed), 128 + the signal's number when interrupted (130 Ctrl-C, 143 SIGTERM, "
                   "129 SIGHUP).")

    def add_own_arguments(self, parser):
        parser.add_argument("models", nargs="*", metavar="MODELS",
                            help="model documents (%s), directories (every model below), glob patterns (** "
                                 "included, expanded here) or @FILE (a list of these, one a line)" % MODEL_EXTENSION)

    def add_arguments(self, parser):
        super().add_arguments(parser)
        parser.add_argument("--in-place", action="store_true", help="solve beside each model, not in a sandbox")
        parser.add_argument("--keep-results", metavar="DIR",
                            help="copy each model's results files out of its sandbox, one directory per model")
        parser.add_argument("--journal", metavar="FILE",
                            help="JSON Lines journal, each result on disk as its model ends (default with --report: "
                                 "FILE.journal beside the report, removed once the report is written)")
        parser.add_argument("--only", metavar="STATUSES",
                            help="instead of MODELS, the models of the journal's night whose status is one of "
                                 "STATUSES, comma-separated: failed (every model that did not solve), not-run "
                                 "(cancelled), or one status (no-solution, timed-out, worker-lost, invalid-input, "
                                 "cancelled, solved)")
        parser.add_argument("--compare", metavar="OLD",
                            help="say what changed since the run of journal or report OLD, on standard error and on "
                                 "the summary page; exit status 1 when something regressed")
        parser.add_argument("--history", metavar="DIR",
                            help="the earlier nights' journals (*.jsonl, *.journal) in DIR, with this night's: say "
                                 "which models drift from the median of the last 30 nights and which fail by turns, "
                                 "on standard error, on the summary page and in the --notify message")
        tolerance_options(parser)
        parser.add_argument("--resume", action="store_true",
                            help="reuse the journal's result of a model only when the model, the inputs beside it "
                                 "that the solve reads, the solver, the options, --collect and the installation are "
                                 "unchanged")

    def journal_path(self, arguments):
        """With a report or a page and no journal, one beside it, removed at
        the end."""
        if arguments.journal:
            return arguments.journal, False
        if arguments.report or arguments.summary:
            return (arguments.report or arguments.summary) + ".journal", True
        return None, False

    def inputs(self, arguments, journal):
        from ..batch import inputs
        if bool(arguments.models) == bool(arguments.only):
            raise Refused("give MODELS or --only STATUSES (with the journal that knows them), not both"
                          if arguments.models else "no models given")
        models = _failed_models(arguments.only, journal) if arguments.only else inputs.expand(arguments.models)
        if not any(os.path.isfile(path) for path in models):
            raise Refused("no model document found: %s" % ", ".join(models[:5]))
        return models

    def execute(self, arguments, models, collect, installation, max_running, options):
        from .. import batch
        return batch.solve_models(models, arguments.solver, installation, not arguments.in_place, collect=collect,
                                  keep_results=arguments.keep_results, max_running=max_running, options=options)

    def said_at_the_end(self, arguments, night, journal, journal_removed, argv):
        nights.say_how_to_rerun(arguments, night, journal, journal_removed, argv)


def only_statuses(only):
    """The statuses --only names; ValueError for a name it does not know."""
    from ..batch.items import FAILED, NOT_RUN, NOT_SOLVED, STATUSES
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
    from ..batch.results import journal as journals, night
    wanted = only_statuses(only)
    if not journal or not os.path.isfile(journal):
        raise ValueError("--only needs the journal of the run to take the models from (--journal)")
    contents = journals.read(journal)
    if not contents.runs and not contents.legacy:   # "nothing to run again" would tell a scheduled rerun nothing failed
        raise ValueError("--only: %s is not a run's journal (empty, a report, or another file): give the journal "
                         "the run wrote" % journal)
    models = [record.get("item") for record in night.night(journal)[0] if record.get("status") in wanted]
    if any(not isinstance(model, str) for model in models):
        raise ValueError("--only: %s is a study's journal: run the study again (the same study command): its "
                         "points that did not solve run again, the others' results stand" % journal)
    if not models:
        raise NothingToDo("no model of the journal's night is %s: nothing to run again" % " or ".join(sorted(wanted)))
    return models


__all__ = ["Solve", "only_statuses"]
