"""Simulated Aster solver program.

usage: aster STRALE_FILE THF_FILE
Reads the model document, writes "<stem>.results" (JSON) in the working
directory and exits 0; exits non-zero when the model cannot be read."""
import json
import os
import sys


def main(argv):
    if len(argv) != 3:
        print("usage: aster STRALE_FILE THF_FILE", file=sys.stderr)
        return 2
    strale_file, thf_file = argv[1], argv[2]
    try:
        with open(strale_file, "r", encoding="utf-8") as stream:
            model = json.load(stream)
    except (OSError, ValueError) as error:
        print("aster: cannot read %s: %s" % (strale_file, error), file=sys.stderr)
        return 3
    elements = model.get("elements", []) if isinstance(model, dict) else []
    thf_cases = 0
    if thf_file:
        with open(thf_file, "r", encoding="utf-8") as stream:
            thf_cases = sum(1 for line in stream if line.strip())
    results = {
        "solver": "Aster",
        "input": os.path.basename(strale_file),
        "thf": os.path.basename(thf_file) if thf_file else "",
        "thermal_cases": thf_cases,
        "analysis": {"elements": len(elements), "max_displacement": 0.75 * len(elements) + thf_cases},
    }
    stem = os.path.splitext(os.path.basename(strale_file))[0]
    with open(stem + ".results", "w", encoding="utf-8") as stream:
        json.dump(results, stream, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
