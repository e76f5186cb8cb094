"""Simulated PipeStress solver program: usage: pipestress FRE_FILE THF_FILE.
Reads the FRE input file."""
import math
import sys

from .solver_program import InputError, NoSolution, run


def read_fre_file(path):
    try:
        with open(path, "r", encoding="utf-8") as stream:
            lines = stream.read().splitlines()
    except OSError as error:
        raise InputError("cannot read %s: %s" % (path, error), 3)
    if not lines or not lines[0].startswith("* DRALVEX SIMULATED FRE") or "END" not in lines:
        raise InputError("%s is not an FRE file" % path, 4)
    return lines


# A design property's value when the model does not set it.
DEFAULTS = {"Pressure": 1.0, "OutsideDiameter": 100.0, "WallThickness": 5.0, "Temperature": 20.0,
            "SupportSpacing": 3.0}


def pipe_stress(properties):
    """The largest stress (MPa) of a pipe run, smooth in what a study varies:
    hoop stress P·D/(2t), a thermal term 2.5·(T - 20) and a sustained
    bending term 40·L²/t (P MPa, D and t mm, T °C, L m)."""
    value = dict(DEFAULTS, **properties)
    return (value["Pressure"] * value["OutsideDiameter"] / (2 * value["WallThickness"])
            + 2.5 * (value["Temperature"] - 20.0) + 40.0 * value["SupportSpacing"] ** 2 / value["WallThickness"])


# Where a run sags with no static solution, set by the installed program's
# launcher: (spacing, wall): supports wider apart than `spacing` m on a wall
# thinner than `wall` mm. None: every run has one.
SAGS = None


def sags(properties):
    """Whether a pipe run of these properties has no static solution."""
    if SAGS is None:
        return False
    value = dict(DEFAULTS, **properties)
    spacing, wall = SAGS
    return value["SupportSpacing"] > spacing and value["WallThickness"] < wall


PIPE_LENGTH = 6.0     # m, each element of a run
STEEL = 7.85e-3       # kg per mm² of wall section per m of pipe


def pipe_cost_figures(properties, elements):
    """What a design cost is made of: the run's steel mass (kg), the wall's
    section π·(D - t)·t over the run's length, and its supports, one every
    spacing L and one at each end."""
    value = dict(DEFAULTS, **properties)
    length = PIPE_LENGTH * elements
    thickness, diameter = value["WallThickness"], value["OutsideDiameter"]
    return {"mass": STEEL * math.pi * (diameter - thickness) * thickness * length,
            "supports": math.ceil(length / value["SupportSpacing"] - 1e-9) + 1}


def analyse_fre_file(lines, thf_cases):
    import json
    elements = [line for line in lines if line.startswith("ELEMENT ")]
    if not elements:
        return None
    properties = {}
    for line in lines:
        if line.startswith("PROPERTY "):
            _, name, value = line.split(" ", 2)
            properties[name] = json.loads(value)
    if sags(properties):
        raise NoSolution("no static solution: the run sags between its supports")
    if not properties:   # a model that sets none: the figure it always had
        return {"elements": len(elements), "max_stress": 12.5 * len(elements) + thf_cases}
    return dict({"elements": len(elements), "max_stress": pipe_stress(properties) + thf_cases},
                **pipe_cost_figures(properties, len(elements)))


def main(argv=None):
    return run(sys.argv if argv is None else argv, "PipeStress", "pipestress", "FRE_FILE", read_fre_file,
               analyse_fre_file)


if __name__ == "__main__":
    sys.exit(main())
