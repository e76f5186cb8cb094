"""The main shared by the simulated solver programs.

usage: <solver> INPUT_FILE THF_FILE
Reads the input file, writes "<stem of the input>.results" (JSON) in the
working directory and exits 0; exits non-zero when the input cannot be
read. Each run appends one line to the installation's solve log: the
program's own evidence of what it did, for tests to count solves by.
A model with no solution exits 6 ("no solution" in the log)."""
import json
import os
import sys
import time


# The CPU time each solve takes and the installation's licence directory,
# set by the installed program's launcher.
SOLVE_SECONDS = 0.0
LICENCES = ""
SOLVE_LOG = ""


class InputError(Exception):
    """The input cannot be used; `status` is the program's exit status."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


class NoSolution(InputError):
    """The input reads, but the model has no solution (exit status 6)."""

    def __init__(self, message):
        super().__init__(message, 6)


def burn_cpu(seconds):
    """The computation a real solve takes: `seconds` of this process's CPU."""
    deadline = time.process_time() + seconds
    count = 0
    while time.process_time() < deadline:
        count += sum(range(1000))
    return count


def _log(solver, outcome, started, input_file="", thf_file=""):
    """One line of the solve log: which models the run directory held, the
    input files, the outcome ("solved", "no licence", "input error", "no
    solution"), the
    program's pid and its times."""
    if not SOLVE_LOG:
        return
    try:
        models = sorted(name for name in os.listdir(".") if name.lower().endswith(".strale"))
    except OSError:
        models = []
    line = json.dumps({"solver": solver, "outcome": outcome, "models": models, "directory": os.getcwd(),
                       "input": os.path.basename(input_file), "thf": os.path.basename(thf_file), "pid": os.getpid(),
                       "started": started, "ended": time.time()}) + "\n"
    descriptor = os.open(SOLVE_LOG, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o666)
    try:
        os.write(descriptor, line.encode("utf-8"))   # one write: lines of programs at once never mix
    finally:
        os.close(descriptor)


def run(argv, solver, program, input_label, read_input, analyse):
    """read_input(path) -> content (raises InputError); analyse(content,
    thf_cases) -> the "analysis" member of the results."""
    started = time.time()
    if len(argv) != 3:
        print("usage: %s %s THF_FILE" % (program, input_label), file=sys.stderr)
        return 2
    input_file, thf_file = argv[1], argv[2]
    try:
        content = read_input(input_file)
    except InputError as error:
        print("%s: %s" % (program, error), file=sys.stderr)
        _log(solver, "input error", started, input_file, thf_file)
        return error.status
    thf_cases = 0
    if thf_file:
        try:
            with open(thf_file, "r", encoding="utf-8") as stream:
                thf_cases = sum(1 for line in stream if line.strip())
        except (OSError, UnicodeDecodeError) as error:   # as a real solver says of an input it cannot read
            print("%s: cannot read the thermal-load file %s: %s" % (program, os.path.basename(thf_file), error),
                  file=sys.stderr)
            _log(solver, "input error", started, input_file, thf_file)
            return 5
    try:
        analysis = analyse(content, thf_cases)
    except NoSolution as error:
        print("%s: %s" % (program, error), file=sys.stderr)
        _log(solver, "no solution", started, input_file, thf_file)
        return error.status
    results = {
        "solver": solver,
        "input": os.path.basename(input_file),
        "thf": os.path.basename(thf_file) if thf_file else "",
        "thermal_cases": thf_cases,
        "analysis": analysis,
    }
    from . import licences
    with licences.seat(LICENCES, solver) as granted:
        if not granted:
            print("%s: %s" % (program, licences.MESSAGE % (solver, licences.seats(LICENCES, solver))),
                  file=sys.stderr)
            _log(solver, "no licence", started, input_file, thf_file)
            return licences.NO_LICENCE
        burn_cpu(SOLVE_SECONDS)
    stem = os.path.splitext(os.path.basename(input_file))[0]
    with open(stem + ".results", "w", encoding="utf-8") as stream:
        json.dump(results, stream, indent=1)
    _log(solver, "solved", started, input_file, thf_file)
    return 0
