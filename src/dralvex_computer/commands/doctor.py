"""``python -m dralvex_computer doctor``: what this machine has of what the
package needs, one line each, marked found or missing with a hint. It
never fails: every check reports a line, whatever the machine holds."""
import platform
import struct
import sys

from .. import checks
from .base import Command
from .shared import installation_options


# What an optional extra gives: (module, what it costs to lack it, how to get it).
EXTRAS = (("pandas", "no results_table()", "pip install dralvex_computer[table]"),
          ("pyarrow", "no .parquet reports", "pip install dralvex_computer[parquet]"),
          ("distributed", "no runs on a Dask cluster (--scheduler)", "pip install dralvex_computer[dask]"),
          ("scipy", "studies draw Latin hypercubes with the package's own sampler and no Sobol samples",
           "pip install dralvex_computer[study] (no PyPy wheel)"))


def _line(stream, check):
    print("%s %-28s %s%s" % ("ok     " if check.found else "MISSING", check.label, check.value,
                             "" if check.found or not check.hint else "  -> " + check.hint), file=stream)


def _extras(stream):
    """Each optional extra, found or absent with what lacking it costs; an
    absent extra is no fault of the machine."""
    import importlib
    for module, cost, hint in EXTRAS:
        try:
            importlib.import_module(module)
        except BaseException as error:   # Dask installs on PyPy but does not import
            print("absent  %-28s %s (%s)  -> %s" % ("extra " + module, cost, type(error).__name__, hint), file=stream)
        else:
            print("ok      %-28s found" % ("extra " + module), file=stream)


class Doctor(Command):
    name = "doctor"
    help = "report the environment, for users and bug reports"

    def add_arguments(self, parser):
        parser.add_argument("--installation", metavar="DIR", help="the application's installation directory to check")
        installation_options(parser)

    def check(self, parser, arguments):
        if (arguments.settings or arguments.data_sources) and not arguments.installation:
            # the documents are checked with the installation they belong to
            parser.error("doctor: --settings and --data-sources need --installation")

    def run(self, arguments, argv):
        return report(arguments)


def report(arguments, stream=None):
    import dralvex_computer
    stream = stream or sys.stdout
    print("dralvex_computer doctor", file=stream)
    for label, value in (("package", "dralvex_computer %s" % dralvex_computer.__version__),
                         ("interpreter", "%s %s (%s)" % (platform.python_implementation(), platform.python_version(),
                                                         sys.executable)),
                         ("platform", "%s, %d-bit" % (platform.platform(), struct.calcsize("P") * 8))):
        print("  %-28s %s" % (label, value), file=stream)
    found = checks.environment_checks()
    if arguments.installation:
        found += checks.installation_checks(arguments.installation, arguments.settings, arguments.data_sources)
    for check in found:
        _line(stream, check)
    _extras(stream)
    missing = sum(not check.found for check in found)
    print("%d missing" % missing if missing else "nothing missing", file=stream)
    return 1 if missing else 0
