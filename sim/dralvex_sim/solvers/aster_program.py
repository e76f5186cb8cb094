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


DEFAULTS = {"Load": 1.0, "Span": 3.0, "Thickness": 10.0}


def displacement(properties):
    """The largest displacement (mm) of a beam, smooth in what a study
    varies: 1000·q·L⁴/t³ (q kN/m, L m, t mm)."""
    value = dict(DEFAULTS, **properties)
    return 1000.0 * value["Load"] * value["Span"] ** 4 / value["Thickness"] ** 3


def analyse_model(model, thf_cases):
    elements = model.get("elements", []) if isinstance(model, dict) else []
    properties = model.get("properties") if isinstance(model, dict) else None
    if not properties:   # a model that sets none: the figure it always had
        return {"elements": len(elements), "max_displacement": 0.75 * len(elements) + thf_cases}
    return {"elements": len(elements), "max_displacement": displacement(properties) + thf_cases}


def main(argv=None):
    return run(sys.argv if argv is None else argv, "Aster", "aster", "STRALE_FILE", read_model, analyse_model)


if __name__ == "__main__":
    sys.exit(main())
