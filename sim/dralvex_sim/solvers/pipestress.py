"""Simulated PipeStress solver program.

usage: pipestress FRE_FILE THF_FILE
Reads the FRE input file, writes "<stem>.results" (JSON) in the working
directory and exits 0; exits non-zero when the input cannot be read."""
import json
import os
import sys


def main(argv):
    if len(argv) != 3:
        print("usage: pipestress FRE_FILE THF_FILE", file=sys.stderr)
        return 2
    fre_file, thf_file = argv[1], argv[2]
    try:
        with open(fre_file, "r", encoding="utf-8") as stream:
            lines = stream.read().splitlines()
    except OSError as error:
        print("pipestress: cannot read %s: %s" % (fre_file, error), file=sys.stderr)
        return 3
    if not lines or not lines[0].startswith("* DRALVEX SIMULATED FRE") or "END" not in lines:
        print("pipestress: %s is not an FRE file" % fre_file, file=sys.stderr)
        return 4
    elements = [line for line in lines if line.startswith("ELEMENT ")]
    thf_cases = 0
    if thf_file:
        with open(thf_file, "r", encoding="utf-8") as stream:
            thf_cases = sum(1 for line in stream if line.strip())
    results = {
        "solver": "PipeStress",
        "input": os.path.basename(fre_file),
        "thf": os.path.basename(thf_file) if thf_file else "",
        "thermal_cases": thf_cases,
        "analysis": {"elements": len(elements), "max_stress": 12.5 * len(elements) + thf_cases} if elements else None,
    }
    stem = os.path.splitext(os.path.basename(fre_file))[0]
    with open(stem + ".results", "w", encoding="utf-8") as stream:
        json.dump(results, stream, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
