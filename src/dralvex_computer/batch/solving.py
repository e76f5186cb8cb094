"""Solving model documents: the task each worker runs for ``solve_models``,
and ``solve_model`` for one model in this process."""
from __future__ import annotations

import dataclasses
import hashlib
import os
import shutil
from typing import TYPE_CHECKING, Any, Callable, Optional

from .items import INVALID_INPUT, NO_SOLUTION, SOLVED, Outcome
from .threads import solver_thread_errors

if TYPE_CHECKING:
    from typing import Literal

    _SolverName = Literal["Aster", "PipeStress"]


class SolveError(Exception):
    """A solve that gave no solution: the exception raised on the module's
    solver thread is its cause; otherwise what the module printed is its
    message."""


def _name_of(function: Any) -> str:
    if function is None:
        return ""
    return "%s:%s" % (getattr(function, "__module__", "?"), getattr(function, "__qualname__", repr(function)))


@dataclasses.dataclass(frozen=True)
class SolveTask:
    """A solve of one model document, in a worker. ``keep_results``: a
    directory that receives a copy of each model's run directory (its
    results files), one directory per model, before a sandbox is removed."""
    solver: _SolverName
    sandbox: bool = True
    collect: Optional[Callable[[Any, str], Any]] = None
    keep_results: Optional[str] = None

    def __call__(self, path: Any) -> Outcome:
        import dralvex_computer as cc
        if not isinstance(path, (str, os.PathLike)):
            return Outcome(INVALID_INPUT, message="not a path: %r" % (path,))
        path = os.fspath(path)
        if not path.lower().endswith(".strale") or not os.path.isfile(path):
            return Outcome(INVALID_INPUT, message="no model document at %s" % path)
        solution = cc.solve(path, self.solver, self.sandbox)
        if solution is None:
            return Outcome(NO_SOLUTION)
        kept = None
        try:
            value = self.collect(solution, path) if self.collect is not None else None
            if self.keep_results is not None:
                kept = self._keep(path, cc.dralvex_core._tempDirectory_ if self.sandbox else None)
        finally:
            cc.disposeSolution()
        return Outcome(SOLVED, value, results_dir=kept)

    def _keep(self, path: str, run_directory: Optional[str]) -> str:
        """Copies the run directory (never following a link) to one of the
        model's own under ``keep_results``; in place, the model's directory
        already holds the results."""
        if run_directory is None:
            return os.path.dirname(os.path.abspath(path))
        assert self.keep_results is not None
        stem = os.path.splitext(os.path.basename(path))[0]
        digest = hashlib.sha256(os.path.abspath(path).encode("utf-8", "surrogateescape")).hexdigest()[:8]
        target = os.path.join(self.keep_results, "%s-%s" % (stem, digest))
        shutil.copytree(run_directory, target, symlinks=True, dirs_exist_ok=True)
        return target

    def key(self, path: Any) -> str:
        """What makes a solve the same one again: the model file's content,
        the solver and the options."""
        digest = hashlib.sha256()
        try:
            with open(os.fspath(path), "rb") as stream:
                for block in iter(lambda: stream.read(1 << 16), b""):
                    digest.update(block)
        except (OSError, TypeError, ValueError):
            digest.update(repr(path).encode("utf-8", "backslashreplace"))
        return "%s|%s|sandbox=%s|collect=%s|keep=%s" % (digest.hexdigest(), self.solver, self.sandbox,
                                                       _name_of(self.collect), self.keep_results)

    def exclusive(self, path: Any) -> Optional[str]:
        """In-place solves of models of one directory share its FRE file and
        results: they run one after another."""
        if self.sandbox or not isinstance(path, (str, os.PathLike)):
            return None
        return os.path.normcase(os.path.dirname(os.path.abspath(os.fspath(path))))


def generic_key(function: Any, item: Any) -> str:
    return hashlib.sha256(("%s|%r" % (_name_of(function), item)).encode("utf-8", "backslashreplace")).hexdigest()


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
