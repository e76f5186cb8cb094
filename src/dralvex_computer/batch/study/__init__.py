"""Studies: one model and a question. ``build(point, directory)`` makes
the model of each point of a parameter table in the point's own directory,
in a worker; the model is then solved and ``collect`` reads its values, as
``solve_models`` does, with the same journal, resume, retries, seats,
time-outs, reports and page.

A point is named by its values alone (``points``); whether its result
stands is told by its fingerprint, which adds the build function's name
(not its code: a cosmetic edit reruns nothing), an explicit ``version``
the user raises when the model it builds changes, the solver, its options,
the collect function and the installation. Adding rows runs the new rows;
raising ``version`` runs them all.

    <directory>/
        parameters.csv      the points as they ran (a generated design's too),
                            to reproduce the study or extend it
        study.journal       the study's journal (resumed by default)
        points/<key>/       each point's own directory: what build made,
                            the solver's results beside the model
"""
from __future__ import annotations

import dataclasses
import logging
import os
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple, Union

from .. import identity
from ..items import INVALID_INPUT, POINT_IDENTITY, ItemResult, Outcome
from ..options import Job, RunOptions
from ..run import run_job
from ...facts import SOLVERS
from ..solving import SolveTask, check_keep_results
from ..worker.state import item_owns_process
from . import adaptive, designs, points
from .designs import factorial, full_factorial, latin_hypercube, sobol, zipped

__all__ = ["run_study", "plan_study", "StudyTask", "study_job", "designs", "points", "full_factorial",
           "factorial", "zipped", "latin_hypercube", "sobol", "PARAMETERS_FILE", "JOURNAL_FILE"]

logger = logging.getLogger("dralvex_computer")

PARAMETERS_FILE = "parameters.csv"
JOURNAL_FILE = "study.journal"
POINTS_DIRECTORY = "points"


@dataclasses.dataclass(frozen=True)
class StudyTask:
    """One point, in a worker: its directory made, its model built there
    (the working directory too, in a worker process of its own), then
    solved. What crosses: (the point's key, its values)."""
    build: Callable[[Dict[str, Any], str], Any]
    solve: SolveTask
    directory: str

    def __call__(self, sent: Tuple[str, Dict[str, Any]]) -> Outcome:
        key, point = sent
        here = os.path.join(self.directory, POINTS_DIRECTORY, key)
        os.makedirs(here, exist_ok=True)
        if item_owns_process():
            os.chdir(here)   # the worker goes back to its own directory after the item
        path = self.build(dict(point), here)
        if not isinstance(path, (str, os.PathLike)):
            return Outcome(INVALID_INPUT, message="build returned %r, not the path of a model" % (path,))
        model = os.path.join(here, os.fspath(path))
        if not os.path.realpath(model).startswith(os.path.join(os.path.realpath(here), "")):
            # solved in place beside another point's model, its results would be another point's
            return Outcome(INVALID_INPUT, message="build returned %s, not a model in the point's own directory %s: "
                                                  "save each point's model in the directory build is given"
                                                  % (model, here))
        outcome = self.solve(model)
        # the point's directory holds its model and, solved in place, its results
        return outcome if outcome.results_dir else dataclasses.replace(outcome, results_dir=here)

    def keep_unfinished(self, sent: Tuple[str, Dict[str, Any]], directory: Optional[str], why: str) -> Optional[str]:
        return None   # the point's directory keeps what it made


def _describe(build: Callable[..., Any], version: str, solve: SolveTask) -> Callable[[Any], Tuple[str, Dict[str, str]]]:
    common = {"build": identity.function_name(build), "version": version, "solver": solve.solver,
              "sandbox": str(solve.sandbox), "collect": identity.function_name(solve.collect)}

    def describe(sent: Tuple[str, Dict[str, Any]]) -> Tuple[str, Dict[str, str]]:
        key, point = sent
        return POINT_IDENTITY + key, dict(common, point=points.canonical(points.normalised(point)))
    return describe


def _unique(table: List[Dict[str, Any]]) -> List[Tuple[str, Dict[str, Any]]]:
    """(key, point) of each point, a point given twice once."""
    seen: Dict[str, Dict[str, Any]] = {}
    for point in table:
        seen.setdefault(points.point_key(point), point)
    if len(seen) < len(table):
        logger.info("%d points were given more than once: each runs once", len(table) - len(seen))
    return list(seen.items())


def study_job(build: Callable[[Dict[str, Any], str], Any], parameters: Any, solver: str, directory: str,
              collect: Optional[Callable[[Any, str], Any]] = None, version: Union[int, str] = 1,
              sandbox: bool = False, keep_results: Optional[str] = None, write_table: bool = True,
              source: Optional[adaptive.GoalSource] = None, journal: Optional[str] = None) -> Job:
    """The job of a study, checked; the table written beside the journal
    (``write_table``). With a ``source`` (a goal), ``parameters`` are the
    ranges, and the points are those proposed before in ``journal``, then
    the source's."""
    if not callable(build):
        raise ValueError("build must be a function build(point, directory), not %r" % (build,))
    if solver not in SOLVERS:
        raise ValueError("solver must be %s, not %r" % (" or ".join(map(repr, SOLVERS)), solver))
    if collect is not None and not callable(collect):
        raise ValueError("collect must be a function collect(solution, path), not %r" % (collect,))
    if isinstance(version, bool) or not isinstance(version, (int, str)):
        raise ValueError("version must be a whole number or text, not %r" % (version,))
    directory = os.path.abspath(os.fspath(directory))
    if write_table:
        os.makedirs(directory, exist_ok=True)
    if source is not None:
        table = adaptive.proposed_before(journal) if journal else []
        write_table = False   # the journal keeps the points in the order they were proposed
    else:
        table = designs.table(parameters)
    if not table and source is None:
        raise ValueError("the study has no points")
    sent = _unique(table)
    written = os.path.join(directory, PARAMETERS_FILE)
    given = os.path.abspath(os.fspath(parameters)) if isinstance(parameters, (str, os.PathLike)) else None
    if write_table and given != written:
        designs.write_csv([point for _, point in sent], written)
    kept = check_keep_results(keep_results) if keep_results else None
    solve = SolveTask(solver, bool(sandbox), collect, kept)  # type: ignore[arg-type]  # checked above
    names = list(source.proposer.bounds) if source is not None else list(
        dict.fromkeys(name for _, point in sent for name in point))
    about: Dict[str, Any] = {"study": {"parameters": names, "build": identity.function_name(build),
                                       "version": str(version)}}
    if source is not None:
        about["study"].update(goal=str(source.proposer.goal), budget=source.budget,
                              bounds={name: list(span) for name, span in source.proposer.bounds.items()})
    return Job(StudyTask(build, solve, directory), [point for _, point in sent], sent,
               _describe(build, str(version), solve), lambda sent: None, about, source)


def _options(directory: str, options: Optional[RunOptions], keywords: Dict[str, Any]) -> RunOptions:
    """The run's options: a study keeps its journal in its directory and
    resumes it unless told otherwise; ``keywords`` (seats among them) go
    over options made already."""
    defaults = {"journal": os.path.join(os.path.abspath(os.fspath(directory)), JOURNAL_FILE), "resume": True}
    if options is None:
        return RunOptions(**{**defaults, **keywords})
    unset = {name: value for name, value in defaults.items() if getattr(options, name) in (None, False)}
    return dataclasses.replace(options, **{**unset, **keywords})


def run_study(build: Callable[[Dict[str, Any], str], Any], parameters: Any, solver: str, installation: Any,
              collect: Optional[Callable[[Any, str], Any]] = None, *, directory: str,
              version: Union[int, str] = 1, sandbox: bool = False, keep_results: Optional[str] = None,
              max_running: Union[None, int, Mapping[str, int]] = None, options: Optional[RunOptions] = None,
              goal: Optional[str] = None, budget: int = 60, seed: int = 1,
              resolution: Optional[Mapping[str, float]] = None, strategy: Any = None,
              **keywords: Any) -> List[ItemResult]:
    """Build, solve and collect each point of ``parameters`` (a CSV file's
    path, a pandas DataFrame, a list of dicts, or a generated design such
    as ``latin_hypercube(bounds, 50, seed=1)``) in worker processes, and
    return one result per point (``result.item`` is the point). ``build(point,
    directory)`` runs in a worker with the point's values (a dict) and its
    own directory, and returns the path of the model it made there.
    ``directory`` holds the study: the table as it ran, the journal (resumed
    by default: a point whose result stands is not run again) and a
    directory per point. ``version``: raise it when ``build`` makes other
    models than before, and every point runs again. Models are solved in
    place in their point's directory unless ``sandbox=True``. The other
    options are those of ``solve_models``.

    With a ``goal`` ("minimise cost where max_stress <= 440", "maximise
    ...", "max_stress = 300 where ...", "explain max_stress"; see
    ``surrogates.goals``), ``parameters`` are the ranges ({"WallThickness": (3, 12)})
    and there is no table: the next point is proposed the moment a worker
    is free (``propose``), up to ``budget`` points, drawn with ``seed``,
    each parameter snapped to its ``resolution`` ({"WallThickness": 0.05}),
    each proposal in the journal before it runs; ``strategy``: another
    proposer, "optuna:tpe" or a function ``ask(history, pending)`` (see
    ``strategies``)."""
    if isinstance(max_running, Mapping):
        max_running = max_running.get(solver)
    if max_running is not None:
        keywords["max_running"] = max_running
    run_options = _options(directory, options, keywords)
    made = adaptive.source(parameters, goal, budget, seed, resolution, strategy) if goal is not None else None
    job = study_job(build, parameters, solver, directory, collect, version, sandbox, keep_results, source=made,
                    journal=run_options.journal if run_options.resume else None)
    return run_job(job, installation, run_options)


def plan_study(build: Callable[[Dict[str, Any], str], Any], parameters: Any, solver: str, installation: Any,
               collect: Optional[Callable[[Any, str], Any]] = None, *, directory: str,
               version: Union[int, str] = 1, sandbox: bool = False, journal: Optional[str] = None
               ) -> List[Tuple[Dict[str, Any], str, str]]:
    """The dry run: (point, its name, why it would run: new, changed...,
    failed before, or done) for every point, running nothing."""
    from .. import plan
    job = study_job(build, parameters, solver, directory, collect, version, sandbox, write_table=False)
    path = journal or os.path.join(os.path.abspath(os.fspath(directory)), JOURNAL_FILE)
    made = plan.make(job, installation, path, resume=True)
    return [(point, made.identities[index], made.why(index)) for index, point in enumerate(job.items)]
