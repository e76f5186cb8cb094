"""The command line: ``python -m dralvex_computer solve ...`` solves many
models in parallel; ``python -m dralvex_computer doctor`` reports what this
machine has of the bridge, COM and an installation."""
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
