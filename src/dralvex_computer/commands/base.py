"""What a command of ``python -m dralvex_computer`` is: its name, its help,
its options, and its run, which returns the exit status."""
import argparse
from typing import Any, List


class Command:
    """One command: ``add_arguments`` gives its options to its parser,
    ``run`` does it (``argv``: the command's arguments as given)."""

    name = ""
    help = ""
    description = ""

    def add_to(self, commands: Any) -> argparse.ArgumentParser:
        parser = commands.add_parser(self.name, help=self.help, description=self.description or None)
        self.add_arguments(parser)
        return parser

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        """The command's options."""

    def check(self, parser: argparse.ArgumentParser, arguments: argparse.Namespace) -> None:
        """Options that argparse alone cannot judge: ``parser.error`` for one
        that is wrong."""

    def run(self, arguments: argparse.Namespace, argv: List[str]) -> int:
        raise NotImplementedError
