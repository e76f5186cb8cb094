"""Simulated Aster solver program: usage: aster STRALE_FILE THF_FILE.
Reads the model document."""
import json
import sys

from .solver_program import InputError, run


def read_model(path):
    try:
        with open(path, "r", encoding="utf-8") as stream:
            return json.load(stream)
    except (OSError, ValueError) as error:
        raise InputError("cannot read %s: %s" % (path, error), 3)


def analyse_model(model, thf_cases):
    elements = model.get("elements", []) if isinstance(model, dict) else []
    return {"elements": len(elements), "max_displacement": 0.75 * len(elements) + thf_cases}


def main(argv=None):
    return run(sys.argv if argv is None else argv, "Aster", "aster", "STRALE_FILE", read_model, analyse_model)


if __name__ == "__main__":
    sys.exit(main())
