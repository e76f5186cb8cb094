"""The main shared by the simulated solver programs.

usage: <solver> INPUT_FILE THF_FILE
Reads the input file, writes "<stem of the input>.results" (JSON) in the
working directory and exits 0; exits non-zero when the input cannot be
read."""
import json
import os
import sys
import time


# The CPU time each solve takes and the installation's licence directory,
# set by the installed program's launcher.
SOLVE_SECONDS = 0.0
LICENCES = ""


class InputError(Exception):
    """The input cannot be used; `status` is the program's exit status."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


def burn_cpu(seconds):
    """The computation a real solve takes: `seconds` of this process's CPU."""
    deadline = time.process_time() + seconds
    count = 0
    while time.process_time() < deadline:
        count += sum(range(1000))
    return count


def run(argv, solver, program, input_label, read_input, analyse):
    """read_input(path) -> content (raises InputError); analyse(content,
    thf_cases) -> the "analysis" member of the results."""
    if len(argv) != 3:
        print("usage: %s %s THF_FILE" % (program, input_label), file=sys.stderr)
        return 2
    input_file, thf_file = argv[1], argv[2]
    try:
        content = read_input(input_file)
    except InputError as error:
        print("%s: %s" % (program, error), file=sys.stderr)
        return error.status
    thf_cases = 0
    if thf_file:
        with open(thf_file, "r", encoding="utf-8") as stream:
            thf_cases = sum(1 for line in stream if line.strip())
    results = {
        "solver": solver,
        "input": os.path.basename(input_file),
        "thf": os.path.basename(thf_file) if thf_file else "",
        "thermal_cases": thf_cases,
        "analysis": analyse(content, thf_cases),
    }
    from . import licences
    with licences.seat(LICENCES, solver) as granted:
        if not granted:
            print("%s: %s" % (program, licences.MESSAGE % (solver, licences.seats(LICENCES, solver))),
                  file=sys.stderr)
            return licences.NO_LICENCE
        burn_cpu(SOLVE_SECONDS)
    stem = os.path.splitext(os.path.basename(input_file))[0]
    with open(stem + ".results", "w", encoding="utf-8") as stream:
        json.dump(results, stream, indent=1)
    return 0
