"""``study BUILD``: a build function and a parameter table (given, or a
design generated here), or a goal whose points are proposed as it runs,
run as the solve command runs models, or only listed with why each point
would run (--dry-run)."""
import os
import sys

from .running import RunningCommand
from .shared import ABS_TOL, REL_TOL, named_function

DESIGNS = ("factorial", "lhs", "sobol")


class Study(RunningCommand):
    name = "study"
    help = "build a model for each point of a parameter table, solve it, collect its values"
    description = ("Run build(point, directory) for each point in a worker, in the point's own directory, then "
                   "solve the model it returns and collect its values. The study's directory keeps the table as it "
                   "ran, the journal (a point whose result stands is not run again) and a directory per point. "
                   "Exit status as for solve.")

    def add_own_arguments(self, study):
        study.add_argument("build", metavar="MODULE:FUNCTION", help="build(point, directory) -> the model's path")
        study.add_argument("--directory", required=True, metavar="DIR", help="the study's directory")
        study.add_argument("--parameters", metavar="FILE.csv", help="the table of points: a header, a row a point")
        study.add_argument("--design", choices=DESIGNS,
                           help="generate the points: factorial (--range and --levels), lhs or sobol (--range, "
                                "--samples, --seed; sobol needs scipy)")
        study.add_argument("--goal", metavar="TEXT",
                           help="no table: propose each next point toward the goal, as \"minimise cost where "
                                "max_stress <= 440\" (or maximise VALUE, VALUE = NUMBER), within the --range of "
                                "each parameter, up to --budget points")
        study.add_argument("--explain", metavar="VALUE",
                           help="no table: spend the --budget where the surrogate of VALUE is least sure, to tell "
                                "which parameters drive it")
        study.add_argument("--budget", type=int, default=60, metavar="N", help="points a --goal or --explain may run "
                                                                               "(default 60)")
        study.add_argument("--strategy", metavar="optuna:tpe|MODULE:FUNCTION",
                           help="propose with Optuna's TPE (CPython, pip install optuna) or with ask(history, "
                                "pending) -> points, instead of the package's own Gaussian process")
        study.add_argument("--resolution", action="append", default=[], metavar="NAME=STEP",
                           help="proposed values of NAME are multiples of STEP from its low end (near-duplicates "
                                "collapse); may be repeated")
        study.add_argument("--range", action="append", default=[], metavar="NAME=LOW:HIGH",
                           help="a parameter's range for --design, --goal or --explain; may be repeated")
        study.add_argument("--levels", type=int, default=3, metavar="N", help="levels of each range (factorial)")
        study.add_argument("--samples", type=int, default=None, metavar="N", help="points to draw (lhs, sobol)")
        study.add_argument("--seed", type=int, default=0, metavar="N",
                           help="the seed of the draw (lhs, sobol) or of the proposals (--goal, --explain)")
        study.add_argument("--version", default="1", metavar="V",
                           help="raise it when build makes other models than before: every point runs again")
        study.add_argument("--sandbox", action="store_true", help="solve in a sandbox, not in the point's directory")
        study.add_argument("--journal", metavar="FILE", help="the journal (default: study.journal in the directory)")
        study.add_argument("--rank-by", metavar="VALUE",
                           help="the value that ranks the best and worst points on the page")
        study.add_argument("--dry-run", action="store_true",
                           help="list every point with why it would run (new, changed, failed before, done); run "
                                "nothing")

    def add_arguments(self, parser):
        super().add_arguments(parser)
        parser.set_defaults(models=[], only=None, compare=None, history=None, keep_results=None, resume=True,
                            in_place=False, rel_tol=REL_TOL, abs_tol=ABS_TOL, tolerance=[], match="identity")

    def journal_path(self, arguments):
        return journal_path(arguments), False

    def writes(self, arguments):
        return not arguments.dry_run

    def make_room(self, arguments):
        os.makedirs(arguments.directory, exist_ok=True)   # the study's own: its journal and its points

    def inputs(self, arguments, journal):
        """(the build function, the points): they stand where the models do."""
        return named_function(arguments.build, "build", "(point, directory)"), parameters(arguments)

    def execute(self, arguments, inputs, collect, installation, max_running, options):
        from ..batch import study
        if arguments.dry_run:
            return dry_run(arguments, inputs, collect, installation)
        build, points = inputs
        return study.run_study(build, points, arguments.solver, installation, collect,
                               directory=arguments.directory, version=arguments.version, sandbox=arguments.sandbox,
                               max_running=max_running, options=options, **goal_options(arguments))

    def page_of(self, arguments, night):
        """Its parameters, and the value that ranks its points."""
        names = list(dict.fromkeys(name for result in night if isinstance(result.item, dict) for name in result.item))
        rank_by = arguments.rank_by
        if rank_by is None and (arguments.goal or arguments.explain):
            from ..batch.surrogates.goals import Goal
            rank_by = Goal.parse(goal_text(arguments)).value
        return {"parameters": names, "rank_by": rank_by}


def _ranges(entries):
    from ..batch.options import name_values

    def span(text):
        low, colon, high = text.partition(":")
        if not colon:
            raise ValueError(text)
        return float(low), float(high)
    return name_values(entries, "--range", "NAME=LOW:HIGH (wall=5:10)", span) or {}


def goal_text(arguments):
    """What --goal or --explain asks."""
    return arguments.goal or "explain %s" % arguments.explain


def goal_options(arguments):
    """The keywords of run_study for --goal or --explain (none without)."""
    from ..batch.options import name_values
    if not (arguments.goal or arguments.explain):
        return {}
    resolution = name_values(arguments.resolution, "--resolution", "NAME=STEP (WallThickness=0.05)", float) or {}
    strategy = arguments.strategy
    if strategy and strategy != "optuna:tpe":
        strategy = named_function(strategy, "--strategy", "(history, pending)")
    return {"goal": goal_text(arguments), "budget": arguments.budget,
            "seed": arguments.seed, "resolution": resolution, "strategy": strategy}


def parameters(arguments):
    """The table of points the options give (the ranges, for a goal);
    ValueError when they give none or two."""
    from ..batch import study
    from ..batch.surrogates.goals import Goal
    if arguments.goal and arguments.explain:
        raise ValueError("give --goal or --explain, not both")
    if arguments.goal or arguments.explain:
        if arguments.parameters or arguments.design:
            raise ValueError("a --goal or --explain proposes its own points: give --range, not --parameters or "
                             "--design")
        Goal.parse(goal_text(arguments))   # refused before the night
        goal_options(arguments)
        bounds = _ranges(arguments.range)
        if not bounds:
            raise ValueError("--goal and --explain need at least one --range NAME=LOW:HIGH")
        return bounds
    if bool(arguments.parameters) == bool(arguments.design):
        raise ValueError("give --parameters FILE.csv or --design, not both" if arguments.parameters
                         else "no points: give --parameters FILE.csv or --design")
    if arguments.parameters:
        if not os.path.isfile(arguments.parameters):
            raise ValueError("no parameter table at %s" % arguments.parameters)
        return arguments.parameters
    bounds = _ranges(arguments.range)
    if not bounds:
        raise ValueError("--design %s needs at least one --range NAME=LOW:HIGH" % arguments.design)
    if arguments.design == "factorial":
        return study.factorial(bounds, arguments.levels)
    if not arguments.samples:
        raise ValueError("--design %s needs --samples N" % arguments.design)
    sample = study.latin_hypercube if arguments.design == "lhs" else study.sobol
    return sample(bounds, arguments.samples, seed=arguments.seed)


def journal_path(arguments):
    from ..batch.study import JOURNAL_FILE
    return arguments.journal or os.path.join(os.path.abspath(arguments.directory), JOURNAL_FILE)


def dry_run(arguments, study_inputs, collect, installation):
    """Lists every point with why it would run; its exit status.
    ``study_inputs``: (the build function, the points)."""
    from ..batch import study
    build, points = study_inputs
    if arguments.goal or arguments.explain:
        return _dry_run_of_a_goal(arguments, points)
    planned = study.plan_study(build, points, arguments.solver, installation, collect,
                               directory=arguments.directory, version=arguments.version, sandbox=arguments.sandbox,
                               journal=journal_path(arguments))
    counts = {}
    for point, name, why in planned:
        kind = why.partition(":")[0]
        counts[kind] = counts.get(kind, 0) + 1
        print("%s  %-24s  %s" % (name, why, ", ".join("%s=%r" % item for item in sorted(point.items()))))
    said = ", ".join("%d %s" % (count, kind) for kind, count in sorted(counts.items()))
    print("%d points: %s" % (len(planned), said), file=sys.stderr)
    return 0


def _dry_run_of_a_goal(arguments, bounds):
    """A goal's points are proposed as it runs: the dry run lists those
    proposed before and what the budget leaves."""
    from ..batch.study import adaptive
    before = adaptive.proposed_before(journal_path(arguments))
    for point in before:
        print(", ".join("%s=%r" % item for item in sorted(point.items())))
    print("%d points proposed before; up to %d more within the budget of %d, proposed as the study runs, within %s"
          % (len(before), max(arguments.budget - len(before), 0), arguments.budget,
             ", ".join("%s %g..%g" % (name, low, high) for name, (low, high) in bounds.items())), file=sys.stderr)
    return 0
