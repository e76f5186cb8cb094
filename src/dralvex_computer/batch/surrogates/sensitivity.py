"""Which parameter drives a value, and how much: first-order and total
Sobol' indices of a fitted Gaussian process's mean, with the parameters
uniform over their ranges. For a squared-exponential kernel every integral
has a closed form (products of one-dimensional Gaussian integrals), so the
indices cost O(points² × parameters) and no sampling error: what is left
is the surrogate's own, which its leave-one-out error measures.

Unlike a rank correlation, the indices see effects that are not monotone:
a stress that peaks mid-range has a large index and a rank correlation
near 0.
"""
from __future__ import annotations

import math
import random
from typing import Dict, List, Optional, Sequence, Tuple

from .process import GaussianProcess, inverse_from

_ROOT_PI = math.sqrt(math.pi)


def _single(centre: float, scale: float) -> float:
    """∫_0^1 exp(-(x - centre)² / (2 scale²)) dx."""
    width = math.sqrt(2.0) * scale
    return width * _ROOT_PI / 2 * (math.erf((1 - centre) / width) - math.erf(-centre / width))


def _pair(first: float, second: float, scale: float) -> float:
    """∫_0^1 exp(-((x - first)² + (x - second)²) / (2 scale²)) dx."""
    middle = (first + second) / 2
    return math.exp(-(first - second) ** 2 / (4 * scale * scale)) * scale * _ROOT_PI / 2 * (
        math.erf((1 - middle) / scale) - math.erf(-middle / scale))


def sobol_indices(model: GaussianProcess) -> Dict[str, List[float]]:
    """{"first": [S_j...], "total": [ST_j...]} of the model's mean over
    the unit cube, in the order of its inputs."""
    points, weights, scales = model.xs, model.weights, model.length_scales
    size, dimensions = len(points), len(scales)
    single = [[_single(point[j], scales[j]) for point in points] for j in range(dimensions)]
    mean = sum(weight * math.prod(single[j][i] for j in range(dimensions)) for i, weight in enumerate(weights))
    square = 0.0
    first = [0.0] * dimensions
    kept = [0.0] * dimensions   # E over the others of (E over j)², per j
    for i in range(size):
        for k in range(i, size):
            pair = [_pair(points[i][j], points[k][j], scales[j]) for j in range(dimensions)]
            both = [single[j][i] * single[j][k] for j in range(dimensions)]
            factor = weights[i] * weights[k] * (1.0 if i == k else 2.0)
            square += factor * math.prod(pair)
            for j in range(dimensions):
                others_both = math.prod(both[m] for m in range(dimensions) if m != j)
                others_pair = math.prod(pair[m] for m in range(dimensions) if m != j)
                first[j] += factor * pair[j] * others_both
                kept[j] += factor * both[j] * others_pair
    variance = square - mean * mean
    if variance <= 0:
        return {"first": [0.0] * dimensions, "total": [0.0] * dimensions}
    return {"first": [(value - mean * mean) / variance for value in first],
            "total": [(square - value) / variance for value in kept]}


def leave_one_out_error(model: GaussianProcess) -> float:
    """The surrogate's leave-one-out error, as a share of the value's
    spread (0: every point foretold; 1: no better than the mean)."""
    inverse = inverse_from(model.lower)
    residuals = [weight / inverse[i][i] for i, weight in enumerate(model.weights)]
    spread = sum(target * target for target in model.targets) or 1.0
    return math.sqrt(sum(residual * residual for residual in residuals) / spread)


def intervals(model: GaussianProcess, repeats: int = 20, share: float = 0.8, seed: int = 1
              ) -> Dict[str, List[Tuple[float, float]]]:
    """(5 %, 95 %) of each index over processes of ``share`` of the points
    drawn again and again (the hyperparameters kept): how much the indices
    hang on which points were run."""
    draw = random.Random(seed)
    size = len(model.xs)
    kept = max(2, int(round(share * size)))
    found: Dict[str, List[List[float]]] = {"first": [], "total": []}
    for _ in range(repeats):
        chosen = sorted(draw.sample(range(size), kept))
        try:
            part = GaussianProcess([model.xs[i] for i in chosen], [model.offset + model.scale * model.targets[i]
                                                                  for i in chosen],
                                   model.length_scales, model.signal, model.noise)
        except ValueError:
            continue
        indices = sobol_indices(part)
        for kind in found:
            found[kind].append(indices[kind])
    return {kind: [_spread([values[j] for values in rows]) for j in range(len(model.length_scales))]
            for kind, rows in found.items() if rows}


def _spread(values: List[float]) -> Tuple[float, float]:
    ordered = sorted(values)
    return ordered[int(0.05 * (len(ordered) - 1))], ordered[int(math.ceil(0.95 * (len(ordered) - 1)))]


def points_for(model: GaussianProcess, error: float, wanted: float) -> Optional[int]:
    """How many points would bring the leave-one-out error under
    ``wanted``, from how it fell between half the points and all of them
    (as n to a power); None when it did not fall."""
    size = len(model.xs)
    if error <= wanted:
        return size
    half = list(range(0, size, 2))
    try:
        smaller = GaussianProcess([model.xs[i] for i in half], [model.offset + model.scale * model.targets[i]
                                                               for i in half],
                                  model.length_scales, model.signal, model.noise)
    except ValueError:
        return None
    before = leave_one_out_error(smaller)
    if not 0 < error < before:
        return None
    power = math.log(before / error) / math.log(size / len(half))
    return int(math.ceil(size * (error / wanted) ** (1 / power)))


def ishigami(point: Sequence[float], a: float = 7.0, b: float = 0.1) -> float:
    """The Ishigami function on [-pi, pi]^3, whose indices are known
    (``ISHIGAMI``): a test of any sensitivity estimate."""
    x1, x2, x3 = point
    return math.sin(x1) + a * math.sin(x2) ** 2 + b * x3 ** 4 * math.sin(x1)


def _ishigami_indices(a: float = 7.0, b: float = 0.1) -> Dict[str, List[float]]:
    pi4 = math.pi ** 4
    v1 = 0.5 * (1 + b * pi4 / 5) ** 2
    v2 = a * a / 8
    v13 = b * b * pi4 * pi4 * (1 / 18 - 1 / 50)
    total = v1 + v2 + v13
    return {"first": [v1 / total, v2 / total, 0.0], "total": [(v1 + v13) / total, v2 / total, v13 / total]}


ISHIGAMI = _ishigami_indices()
