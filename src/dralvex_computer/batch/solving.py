"""Solving model documents: the task each worker runs for ``solve_models``,
and ``solve_model`` for one model in this process."""
from __future__ import annotations

import contextlib
import dataclasses
import hashlib
import os
import shutil
import sys
import time
from typing import TYPE_CHECKING, Any, Callable, Optional, Tuple

from ..facts import MODEL_EXTENSION
from . import identity, seats
from .identity import Inputs
from .items import INVALID_INPUT, NO_SOLUTION, SOLVED, Outcome, reason_from_output
from .worker.state import abandoned_here
from .worker.threads import solver_thread_errors

if TYPE_CHECKING:
    from typing import Literal

    _SolverName = Literal["Aster", "PipeStress"]


# The file that marks a kept run directory of a model that was not solved,
# with why; what the module and the solver program printed beside it.
NOT_SOLVED_MARK = "NOT_SOLVED.txt"
SOLVER_OUTPUT = "solver-output.txt"
EMPTY_ANALYSIS = "the analysis is empty: the model has no elements"


class SolveError(Exception):
    """A solve that gave no solution: the exception raised on the module's
    solver thread is its cause; otherwise what the module printed is its
    message."""


class CollectError(Exception):
    """The collect function raised on a solved model; its exception is the
    cause. ``results_dir``: where the model's results were kept anyway."""

    def __init__(self, message: str, results_dir: Optional[str] = None) -> None:
        super().__init__(message)
        self.results_dir = results_dir


def check_keep_results(directory: Any) -> str:
    """The absolute path of a directory for kept results, made when missing;
    ValueError with one message when it cannot be one."""
    path = os.path.abspath(os.fspath(directory))
    if os.path.exists(path) and not os.path.isdir(path):
        raise ValueError("keep_results %s is a file, not a directory" % path)
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as error:
        raise ValueError("keep_results %s cannot be made: %s" % (path, error.strerror or error)) from None
    if not os.access(path, os.W_OK | os.X_OK):
        raise ValueError("keep_results %s cannot be written: no permission" % path)
    return path


@dataclasses.dataclass(frozen=True)
class SolveTask:
    """A solve of one model document, in a worker. ``keep_results``: a
    directory that receives a copy of each model's run directory (its
    results files), one directory per model, before a sandbox is removed;
    also when the collect function fails on it, and when the solve gives no
    solution or raises (then with a file NOT_SOLVED_MARK saying why)."""
    solver: _SolverName
    sandbox: bool = True
    collect: Optional[Callable[[Any, str], Any]] = None
    keep_results: Optional[str] = None

    def __call__(self, path: Any) -> Outcome:
        import dralvex_computer as cc
        if not isinstance(path, (str, os.PathLike)):
            return Outcome(INVALID_INPUT, message="not a path: %r" % (path,))
        path = os.fspath(path)
        if not path.lower().endswith(MODEL_EXTENSION) or not os.path.isfile(path):
            return Outcome(INVALID_INPUT, message="no model document at %s" % path)
        before = getattr(cc.dralvex_core, "_tempDirectory_", None)
        printed_before, began = len(_printed()), time.time()
        try:
            with seats.seat(self.solver):   # held while the solver program runs, and no longer
                solution = cc.solve(path, self.solver, self.sandbox)
        except Exception as error:
            kept = self._keep_unsolved(path, before, "%s: %s" % (type(error).__name__, error),
                                       _printed()[printed_before:])
            with contextlib.suppress(Exception):
                error.results_dir = kept   # type: ignore[attr-defined]  # the failed row links to its files
            raise
        if solution is None:
            printed = _printed()[printed_before:]
            why = reason_from_output(printed) or (EMPTY_ANALYSIS if self._solver_finished(path, before, began)
                                                  else "")
            kept = self._keep_unsolved(path, before, why or "nothing the module or the solver printed says why",
                                       printed)
            return Outcome(NO_SOLUTION, message=why or None, results_dir=kept)
        keeps = self.keep_results is not None and not abandoned_here()   # given up at its time-out: kept then
        try:
            run_directory = cc.dralvex_core._tempDirectory_ if self.sandbox else None
            try:
                value = self.collect(solution, path) if self.collect is not None else None
            except Exception as error:
                kept = self._keep(path, run_directory) if keeps else None
                raise CollectError("collect(solution, path) raised %s: %s" % (type(error).__name__, error),
                                   kept) from error
            kept = self._keep(path, run_directory) if keeps else None
        finally:
            cc.disposeSolution()
        return Outcome(SOLVED, value, results_dir=kept)

    def _run_directory(self, path: str, before: Any) -> Optional[str]:
        """Where this solve ran: its sandbox (when it made one), or beside the model."""
        import dralvex_computer as cc
        if not self.sandbox:
            return os.path.dirname(os.path.abspath(path))
        run_directory = getattr(cc.dralvex_core, "_tempDirectory_", None)
        return run_directory if run_directory and run_directory != before and os.path.isdir(run_directory) else None

    def _solver_finished(self, path: str, before: Any, began: float) -> bool:
        """Whether the solver program ran to its end and wrote its results
        (files of this solve in its run directory beside the inputs): with
        nothing printed, its analysis was empty."""
        directory = self._run_directory(path, before)
        try:
            entries = list(os.scandir(directory)) if directory else []
        except OSError:
            return False
        return any(entry.is_file(follow_symlinks=False) and not entry.name.lower().endswith(_INPUTS)
                   and entry.stat(follow_symlinks=False).st_mtime >= began - 1.0 for entry in entries)

    def _keep_unsolved(self, path: str, before: Any, why: str, printed: str = "") -> Optional[str]:
        """The run directory of a solve that gave nothing, kept and marked
        with why, and what the module and the solver printed beside the mark,
        when this solve made one (not the last model's)."""
        import dralvex_computer as cc
        if abandoned_here():   # timed out: what it left was kept as the time-out ended it
            return None
        run_directory = getattr(cc.dralvex_core, "_tempDirectory_", None)
        if self.keep_results is None or (self.sandbox and (run_directory == before or not run_directory
                                                          or not os.path.isdir(run_directory))):
            return None
        try:
            kept = self._keep(path, run_directory if self.sandbox else None)
            if self.sandbox:
                with open(os.path.join(kept, NOT_SOLVED_MARK), "w", encoding="utf-8") as stream:
                    stream.write("%s was not solved: %s\n" % (path, why))
                    if printed.strip():
                        stream.write("What the module and the solver printed is in %s.\n" % SOLVER_OUTPUT)
                if printed.strip():
                    with open(os.path.join(kept, SOLVER_OUTPUT), "w", encoding="utf-8",
                              errors="backslashreplace") as stream:
                        stream.write(printed)
            return kept
        except OSError:
            return None   # keeping is a help, never a new failure

    def keep_unfinished(self, path: Any, directory: Optional[str], why: str) -> Optional[str]:
        """A model that ran past its time-out or lost its worker: its run
        directory kept and marked, as an unsolved one's. ``directory``: the item's temporary
        directory, where its sandbox is, when its worker was ended (read
        from the run's process); else, in the worker, the sandbox the
        module names."""
        if self.keep_results is None or not isinstance(path, (str, os.PathLike)):
            return None
        path = os.fspath(path)
        if not self.sandbox:
            return os.path.dirname(os.path.abspath(path))   # the results are in place
        if directory is None:
            import dralvex_computer as cc
            run_directory = getattr(cc.dralvex_core, "_tempDirectory_", None)
            if not run_directory or not os.path.isfile(os.path.join(run_directory, os.path.basename(path))):
                return None   # the sandbox of an earlier model, or none yet
        else:
            run_directory = _sandbox_in(directory, os.path.basename(path))
        if not run_directory or not os.path.isdir(run_directory):
            return None
        try:
            kept = self._keep(path, run_directory)
            with open(os.path.join(kept, NOT_SOLVED_MARK), "w", encoding="utf-8") as stream:
                stream.write("%s was not solved: it %s\n" % (path, why))
            return kept
        except OSError:
            return None   # keeping is a help, never a new failure

    def _keep(self, path: str, run_directory: Optional[str]) -> str:
        """Copies the run directory (never following a link) to one of the
        model's own under ``keep_results``; in place, the model's directory
        already holds the results."""
        if run_directory is None:
            return os.path.dirname(os.path.abspath(path))
        assert self.keep_results is not None
        stem = os.path.splitext(os.path.basename(path))[0][:60]   # room for the digest within a name's 255 bytes
        digest = hashlib.sha256(os.path.abspath(path).encode("utf-8", "surrogateescape")).hexdigest()[:8]
        target = os.path.join(self.keep_results, "%s-%s" % (stem, digest))
        shutil.copytree(run_directory, target, symlinks=True, dirs_exist_ok=True)
        for earlier in (NOT_SOLVED_MARK, SOLVER_OUTPUT):   # an earlier night's
            with contextlib.suppress(FileNotFoundError):
                os.remove(os.path.join(target, earlier))
        return target

    def describe(self, path: Any) -> Tuple[str, Inputs]:
        """(identity, inputs): the model's real path; what its solve reads,
        the solver, its options and the collect function."""
        if not isinstance(path, (str, os.PathLike)):
            return "not a path: %r" % (path,), {"solver": self.solver}
        path = os.fspath(path)
        inputs = identity.model_inputs(path)
        inputs.update(solver=self.solver, sandbox=str(self.sandbox), collect=identity.function_name(self.collect))
        return identity.model_identity(path), inputs

    def exclusive(self, path: Any) -> Optional[str]:
        """In-place solves of models of one directory share its FRE file and
        results: they run one after another."""
        if self.sandbox or not isinstance(path, (str, os.PathLike)):
            return None
        return os.path.normcase(os.path.dirname(os.path.abspath(os.fspath(path))))


# What a solve reads, not what the solver program writes.
_INPUTS = (MODEL_EXTENSION, ".fre", ".thf")


def _printed() -> str:
    """What the item printed so far (its output, captured in a worker of
    its own; nothing where it runs in the caller's process)."""
    getvalue = getattr(sys.stdout, "getvalue", None)
    try:
        return getvalue() if callable(getvalue) else ""
    except Exception:
        return ""


def _sandbox_in(directory: str, model_name: str) -> Optional[str]:
    """The newest sandbox in an item's temporary directory that holds a
    copy of the model."""
    try:
        found = [entry for entry in os.scandir(directory) if entry.is_dir(follow_symlinks=False)
                 and os.path.isfile(os.path.join(entry.path, model_name))]
    except OSError:
        return None
    return max(found, key=lambda entry: entry.stat(follow_symlinks=False).st_mtime).path if found else None


def solve_model(path: Any, solver: _SolverName, sandbox: bool = True) -> Any:
    """Solve one model in this process (set up already) and return the
    solution; where the module's ``solve`` returns None, raise SolveError,
    with the exception of the solver thread as its cause. What the module
    prints goes to standard output as usual."""
    import dralvex_computer as cc
    with solver_thread_errors() as thread_errors:
        solution = cc.solve(path, solver, sandbox)
    if solution is not None:
        return solution
    if thread_errors:
        cause = thread_errors[0].exc_value
        raise SolveError("the %s solve of %s failed on the solver thread: %s" % (solver, path, cause)) from cause
    raise SolveError("the %s solve of %s gave no solution (the module printed why on standard output)"
                     % (solver, path))
