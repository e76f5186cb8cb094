"""A study's parameters: a table given (a CSV file, a pandas DataFrame, a
list of dicts) or a design generated from ranges and levels (full
factorial, zip) or from bounds and a seed (Latin hypercube, Sobol).

The samplers are scipy's (``scipy.stats.qmc``, the ``study`` extra) where
it imports; without it a Latin hypercube is drawn here (the same method,
not the same numbers as scipy's), and a Sobol sample needs scipy.
"""
from __future__ import annotations

import codecs
import csv
import io
import itertools
import math
import numbers
import os
import random
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

from ..results.schema import read_scalar, unambiguous

Point = Dict[str, Any]
SOBOL_EXTRA = "a Sobol sample needs scipy: pip install dralvex_computer[study] (or use a Latin hypercube)"


# ------------------------------------------------------------ tables

def _text_of(path: str) -> str:
    """A table's text in the encodings spreadsheets write: UTF-8 with or
    without its mark, UTF-16 with its mark ("Unicode text")."""
    with open(path, "rb") as stream:
        data = stream.read()
    try:
        if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
            return data.decode("utf-16")
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise ValueError("the parameter table %s is not UTF-8 or UTF-16 text (byte %d): save it as \"CSV UTF-8\" "
                         "or \"Unicode text\"" % (path, error.start)) from None


def read_csv(path: str) -> List[Point]:
    """The points of a CSV table (or a tab-separated one, as a spreadsheet's
    "Unicode text"): its header's names stripped, each named once; every
    line one cell a column. ValueError naming the file and line otherwise."""
    text = _text_of(path)
    if "\0" in text:
        raise ValueError("the parameter table %s: line %d holds a NUL byte"
                         % (path, text[:text.index("\0")].count("\n") + 1))
    first = text.split("\n", 1)[0]
    delimiter = "\t" if "\t" in first and "," not in first else ","
    try:
        rows = list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter))
    except csv.Error as error:
        raise ValueError("the parameter table %s: %s" % (path, error)) from None
    if not rows or not any(cell.strip() for cell in rows[0]):
        raise ValueError("the parameter table %s has no header line" % path)
    names = [name.strip() for name in rows[0]]
    for name in names:
        if not name:
            raise ValueError("the parameter table %s: a column of its header has no name" % path)
        if names.count(name) > 1:
            raise ValueError("the parameter table %s names the column %r twice" % (path, name))
    points = []
    for line, row in enumerate(rows[1:], start=2):
        if not row or not any(cell.strip() for cell in row):
            continue   # an empty line
        if len(row) != len(names):
            raise ValueError("the parameter table %s: line %d has %d cells for %d columns" % (path, line, len(row),
                                                                                         len(names)))
        points.append({name: read_scalar(value) for name, value in zip(names, row)})
    return points


def write_csv(points: Sequence[Mapping[str, Any]], path: str) -> None:
    """The table that a generated design made, to reproduce or extend it."""
    names = list(dict.fromkeys(name for point in points for name in point))
    partial = path + ".part"
    with open(partial, "w", newline="", encoding="utf-8") as stream:
        writer = csv.writer(stream)
        writer.writerow(names)
        for point in points:
            writer.writerow([_written(point[name]) if name in point else "" for name in names])
    os.replace(partial, path)


def _written(value: Any) -> Any:
    """A point's value as its cell, read back as the same point: a number
    of numpy's or pandas' as the plain number it is (never
    "np.float64(4.0)"), a truth value as True or False, and text that would
    read as something else ("007", "True") as a JSON string."""
    if isinstance(value, bool) or type(value).__name__ == "bool_":
        return bool(value)
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        return repr(float(value))
    return unambiguous(value) if isinstance(value, str) else value


def table(parameters: Any) -> List[Point]:
    """The points of a table: a CSV file's path, a DataFrame, or dicts."""
    if isinstance(parameters, (str, os.PathLike)):
        return read_csv(os.fspath(parameters))
    if type(parameters).__name__ == "DataFrame" and hasattr(parameters, "to_dict"):
        return [dict(row) for row in parameters.to_dict(orient="records")]
    points = [dict(point) for point in parameters]
    for point in points:
        if not point:
            raise ValueError("a point without parameters")
    return points


# ------------------------------------------------------------ designs

def full_factorial(levels: Mapping[str, Iterable[Any]]) -> List[Point]:
    """Every combination of the given levels of each parameter."""
    names = list(levels)
    return [dict(zip(names, values)) for values in itertools.product(*(list(levels[name]) for name in names))]


def linear_levels(low: float, high: float, count: int) -> List[float]:
    """``count`` evenly spaced levels from ``low`` to ``high``."""
    if count < 1:
        raise ValueError("a range needs at least one level")
    if count == 1:
        return [float(low)]
    return [low + (high - low) * step / (count - 1) for step in range(count)]


def factorial(ranges: Mapping[str, Tuple[float, float]], levels: int) -> List[Point]:
    """A full factorial of ``levels`` evenly spaced levels of each range."""
    return full_factorial({name: linear_levels(low, high, levels) for name, (low, high) in ranges.items()})


def zipped(columns: Mapping[str, Sequence[Any]]) -> List[Point]:
    """Point i takes the i-th value of each column (columns of one length)."""
    lengths = {len(values) for values in columns.values()}
    if len(lengths) > 1:
        raise ValueError("zipped columns must be of one length, not %s" % sorted(lengths))
    names = list(columns)
    return [dict(zip(names, values)) for values in zip(*(columns[name] for name in names))]


def _scaled(unit: Sequence[Sequence[float]], bounds: Mapping[str, Tuple[float, float]]) -> List[Point]:
    names = list(bounds)
    return [{name: bounds[name][0] + (bounds[name][1] - bounds[name][0]) * float(row[column])
             for column, name in enumerate(names)} for row in unit]


def _check_bounds(bounds: Mapping[str, Tuple[float, float]], samples: int) -> None:
    if samples < 1:
        raise ValueError("a sample needs at least one point")
    for name, (low, high) in bounds.items():
        if not (math.isfinite(low) and math.isfinite(high) and low < high):
            raise ValueError("the bounds of %r must be finite, low below high, not (%r, %r)" % (name, low, high))


def _qmc() -> Optional[Any]:
    try:
        from scipy.stats import qmc  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return None
    return qmc


def latin_hypercube(bounds: Mapping[str, Tuple[float, float]], samples: int, seed: int) -> List[Point]:
    """``samples`` points, one in each of ``samples`` equal slices of every
    range, drawn with ``seed``."""
    _check_bounds(bounds, samples)
    qmc = _qmc()
    if qmc is not None:
        return _scaled(qmc.LatinHypercube(d=len(bounds), seed=seed).random(samples), bounds)
    generator = random.Random(seed)
    columns = []
    for _ in bounds:
        slices = list(range(samples))
        generator.shuffle(slices)
        columns.append([(slot + generator.random()) / samples for slot in slices])
    return _scaled(list(zip(*columns)), bounds)


def sobol(bounds: Mapping[str, Tuple[float, float]], samples: int, seed: int) -> List[Point]:
    """``samples`` points of a scrambled Sobol sequence drawn with ``seed``
    (a power of 2 keeps its balance)."""
    _check_bounds(bounds, samples)
    qmc = _qmc()
    if qmc is None:
        raise ValueError(SOBOL_EXTRA)
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")   # its note that a power of 2 is better: the caller's choice
        return _scaled(qmc.Sobol(d=len(bounds), scramble=True, seed=seed).random(samples), bounds)
