"""What the commands share: their exit statuses, their options of the
installation and of tolerances, and the reading of what a user names
(a function as MODULE:FUNCTION, a Dask scheduler's address)."""
import argparse
import contextlib
import importlib
import inspect
import os
import sys
from typing import Any, Callable, Dict, Iterator, Optional, Tuple

EXIT_ALL_SOLVED, EXIT_SOME_FAILED, EXIT_USAGE = 0, 1, 2
EXIT_INTERRUPTED = 130   # 128 + the signal's number: 130 Ctrl-C, 143 SIGTERM, 129 SIGHUP
SCHEDULER_TIMEOUT = 10   # seconds to reach a Dask scheduler


class Refused(Exception):
    """A usage error found before the run: one message, exit status 2."""


class NothingToDo(Exception):
    """Nothing to run (no model failed): one message, exit status 0."""


def installation_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--settings", metavar="PATH", help="the settings document, when not in the default place")
    parser.add_argument("--data-sources", metavar="PATH", help="the data-sources document, when not in the default place")


REL_TOL, ABS_TOL = 1e-6, 1e-9


def tolerance_options(parser: argparse.ArgumentParser, matching: bool = True) -> None:
    parser.add_argument("--rel-tol", type=float, default=REL_TOL, metavar="R",
                        help="values closer than R of the larger are the same (default 1e-6)")
    parser.add_argument("--abs-tol", type=float, default=ABS_TOL, metavar="A",
                        help="values closer than A are the same, whatever their size (default 1e-9)")
    parser.add_argument("--tolerance", action="append", default=[], metavar="COLUMN=R[,A]",
                        help="the tolerances of one value column; may be repeated")
    if not matching:
        return
    parser.add_argument("--match", default="identity", choices=("identity", "relative", "name"),
                        help="how a model of one night is found in the other: by its real path (default), by its "
                             "path below each night's common folder (the models moved), or by its file name")


def tolerances(arguments: argparse.Namespace) -> Tuple[Tuple[float, float], Dict[str, Tuple[float, float]]]:
    """((relative, absolute), per column) from the tolerance options;
    ValueError for a column's that is no number."""
    from ..batch.results import compare
    return (arguments.rel_tol, arguments.abs_tol), compare.column_tolerances(arguments.tolerance, arguments.abs_tol)


def compared(arguments: argparse.Namespace, old: Any, new: Any) -> Any:
    """The changes from night ``old`` to night ``new`` (paths, or rows)
    with the command's tolerances and matching."""
    from ..batch.results import compare
    tolerance, columns = tolerances(arguments)
    return compare.compare(compare.load(old) if isinstance(old, str) else old,
                           compare.load(new) if isinstance(new, str) else new, tolerance, columns, arguments.match)


@contextlib.contextmanager
def to_a_reader_that_may_go() -> Iterator[None]:
    """Standard output written in the block; a reader that went (``| head``)
    ends it quietly."""
    try:
        yield
        sys.stdout.flush()
    except BrokenPipeError:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())   # the interpreter's own flush at exit must not fail again
        os.close(devnull)


def say(text: str) -> None:
    with to_a_reader_that_may_go():
        print(text)


def named_function(spec: str, option: str = "--collect", takes: str = "(solution, path)") -> Callable[..., Any]:
    """The function a ``module:function`` names (imported here; workers
    import it again by name)."""
    module_name, _, name = spec.partition(":")
    if not module_name or not name:
        raise ValueError("%s takes MODULE:FUNCTION, not %r" % (option, spec))
    try:
        function: Any = importlib.import_module(module_name)
    except Exception as error:   # a module that raises as it imports
        raise ValueError("%s %s: the module does not import (%s: %s)" % (option, spec, type(error).__name__, error)) \
            from None
    for part in name.split("."):
        function = getattr(function, part, None)
        if function is None:
            raise ValueError("%s %s: %s has no %s" % (option, spec, module_name, name))
    if not callable(function):
        raise ValueError("%s %s is not a function" % (option, spec))
    try:
        inspect.signature(function).bind(None, None)
    except TypeError:
        raise ValueError("%s %s does not take %s" % (option, spec, takes)) from None
    except ValueError:
        pass   # no signature to read (a builtin): it will tell for itself
    return function


def scheduler(address: Optional[str]) -> Any:
    """A Dask client of the scheduler at ``address``, or None without one."""
    if not address:
        return None
    try:
        from distributed import Client
        return Client(address, timeout=SCHEDULER_TIMEOUT)
    except ImportError:
        raise Refused("--scheduler needs Dask: pip install dralvex_computer[dask]") from None
    except Exception as error:   # nothing listening, a refused connection, a wrong address
        raise Refused("no Dask scheduler answers at %s (%s: %s)" % (address, type(error).__name__, error)) from None
