"""The command line of the package (``python -m dralvex_computer``): its
arguments parsed and handed to their command (``commands/``)."""
import argparse
import logging
import sys

from .commands import COMMANDS
from .commands.shared import EXIT_INTERRUPTED


def _parser():
    parser = argparse.ArgumentParser(prog="python -m dralvex_computer",
                                     description="Drive the Dralvex application without its user interface.")
    subparsers = parser.add_subparsers(dest="command", required=True)
    for command in COMMANDS:
        command.add_to(subparsers)
    return parser


def main(argv=None):
    """Runs the command ``argv`` (by default this process's arguments) names;
    its exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    parser = _parser()
    arguments = parser.parse_args(argv)
    command = next(command for command in COMMANDS if command.name == arguments.command)
    command.check(parser, arguments)
    logging.basicConfig(level=logging.INFO if getattr(arguments, "verbose", False) else logging.WARNING,
                        format="%(name)s: %(message)s")
    try:
        return command.run(arguments, argv)
    except KeyboardInterrupt as stop:   # before the run started
        from .batch.signals import ignore_for_good
        ignore_for_good()
        return 128 + getattr(stop, "signum", EXIT_INTERRUPTED - 128)
