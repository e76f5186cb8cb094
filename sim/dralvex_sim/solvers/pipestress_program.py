"""Simulated PipeStress solver program: usage: pipestress FRE_FILE THF_FILE.
Reads the FRE input file."""
import sys

from .solver_program import InputError, run


def read_fre_file(path):
    try:
        with open(path, "r", encoding="utf-8") as stream:
            lines = stream.read().splitlines()
    except OSError as error:
        raise InputError("cannot read %s: %s" % (path, error), 3)
    if not lines or not lines[0].startswith("* DRALVEX SIMULATED FRE") or "END" not in lines:
        raise InputError("%s is not an FRE file" % path, 4)
    return lines


def analyse_fre_file(lines, thf_cases):
    elements = [line for line in lines if line.startswith("ELEMENT ")]
    return {"elements": len(elements), "max_stress": 12.5 * len(elements) + thf_cases} if elements else None


def main(argv=None):
    return run(sys.argv if argv is None else argv, "PipeStress", "pipestress", "FRE_FILE", read_fre_file,
               analyse_fre_file)


if __name__ == "__main__":
    sys.exit(main())
