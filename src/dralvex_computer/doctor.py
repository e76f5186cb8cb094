"""``python -m dralvex_computer doctor``: what this machine has of what the
package needs, one line each, marked found or missing with a hint. It
never fails: every check reports a line, whatever the machine holds."""
import platform
import struct
import sys

from . import checks


def _line(stream, check):
    print("%s %-28s %s%s" % ("ok     " if check.found else "MISSING", check.label, check.value,
                             "" if check.found or not check.hint else "  -> " + check.hint), file=stream)


def run(arguments, stream=None):
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
    missing = sum(not check.found for check in found)
    print("%d missing" % missing if missing else "nothing missing", file=stream)
    return 1 if missing else 0
