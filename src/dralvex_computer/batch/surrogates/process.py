"""A Gaussian process in plain Python: what a study learns of a collected
value from the points solved so far. PyPy has no wheel of scipy or
scikit-learn, so the small numerical core is here: a squared-exponential
kernel with a length scale per parameter (fitted by the marginal
likelihood), a signal variance and a noise variance, on inputs scaled to
the unit cube and outputs standardised, as scikit-learn's
``GaussianProcessRegressor(ConstantKernel() * RBF(...) + WhiteKernel(),
normalize_y=True)``, whose predictions the tests compare.

    model = GaussianProcess.fit(xs, ys)        # xs: points in [0, 1]^d
    mean, variance = model.predict(x)
"""
from __future__ import annotations

import math
import operator
from typing import List, Optional, Sequence, Tuple

Matrix = List[List[float]]
LOG_BOUNDS = {"length": (math.log(1e-2), math.log(1e2)), "signal": (math.log(1e-3), math.log(1e3)),
              "noise": (math.log(1e-10), math.log(1.0))}


# ------------------------------------------------------------ linear algebra

def on_its_scale(ys: Sequence[float]) -> Tuple[List[float], bool]:
    """(the values a process learns, whether they are logarithms): a value
    positive everywhere (a stress, a mass) is learned by its logarithm,
    where its relative changes are alike over its range."""
    if ys and min(ys) > 0:
        return [math.log(y) for y in ys], True
    return list(ys), False


def _dot(a: Sequence[float], b: Sequence[float]) -> float:
    return sum(map(operator.mul, a, b))


def cholesky(matrix: Matrix) -> Matrix:
    """The lower factor L of a symmetric positive-definite matrix (L L^T);
    ValueError when it is not."""
    size = len(matrix)
    lower: Matrix = [[0.0] * size for _ in range(size)]
    for i in range(size):
        row = lower[i]
        for j in range(i + 1):
            rest = matrix[i][j] - _dot(row[:j], lower[j][:j])
            if i == j:
                if rest <= 0.0:
                    raise ValueError("not positive definite")
                row[i] = math.sqrt(rest)
            else:
                row[j] = rest / lower[j][j]
    return lower


def solve_lower(lower: Matrix, vector: Sequence[float]) -> List[float]:
    """x with L x = vector."""
    solved: List[float] = []
    for i, row in enumerate(lower):
        solved.append((vector[i] - _dot(row[:i], solved)) / row[i])
    return solved


def solve_upper(lower: Matrix, vector: Sequence[float]) -> List[float]:
    """x with L^T x = vector."""
    size = len(lower)
    solved = [0.0] * size
    for i in range(size - 1, -1, -1):
        solved[i] = (vector[i] - sum(lower[k][i] * solved[k] for k in range(i + 1, size))) / lower[i][i]
    return solved


def inverse_from(lower: Matrix) -> Matrix:
    """(L L^T)^-1 from L."""
    size = len(lower)
    columns = [solve_lower(lower, [1.0 if row == column else 0.0 for row in range(size)]) for column in range(size)]
    # columns[c] is column c of L^-1; (L L^T)^-1 = L^-T L^-1, entry (i, j) = sum_k L^-1[k][i] L^-1[k][j]
    return [[_dot(columns[i], columns[j]) for j in range(size)] for i in range(size)]


# ------------------------------------------------------------ the process

def squared_distances(xs: Sequence[Sequence[float]]) -> List[Matrix]:
    """Per input, the squared differences of every pair of points: what a
    fit reuses for every trial of its hyperparameters."""
    return [[[(a[d] - b[d]) ** 2 for b in xs] for a in xs] for d in range(len(xs[0]))]


class GaussianProcess:
    """A fitted process: ``length_scales`` (one a parameter, in the unit
    cube), ``signal`` and ``noise`` variances (of the standardised output),
    and the output's ``offset`` and ``scale``."""

    def __init__(self, xs: Sequence[Sequence[float]], ys: Sequence[float], length_scales: Sequence[float],
                 signal: float, noise: float, distances: Optional[List[Matrix]] = None) -> None:
        self.xs = [list(map(float, x)) for x in xs]
        self.offset = sum(ys) / len(ys)
        spread = math.sqrt(sum((y - self.offset) ** 2 for y in ys) / len(ys))
        self.scale = spread if spread > 0 else 1.0
        self.targets = [(y - self.offset) / self.scale for y in ys]
        self.length_scales, self.signal, self.noise = list(length_scales), signal, noise
        self.distances = distances if distances is not None else squared_distances(self.xs)
        factors = [-0.5 / (scale * scale) for scale in self.length_scales]
        rows = len(self.xs)
        self.gram = [[signal * math.exp(sum(factor * plane[i][j] for factor, plane in zip(factors, self.distances)))
                      for j in range(rows)] for i in range(rows)]
        self.lower = cholesky([[value + (noise if i == j else 0.0) for j, value in enumerate(row)]
                               for i, row in enumerate(self.gram)])
        self.weights = solve_upper(self.lower, solve_lower(self.lower, self.targets))

    def kernel(self, a: Sequence[float], b: Sequence[float]) -> float:
        return self.signal * math.exp(-0.5 * sum(((p - q) / scale) ** 2
                                                 for p, q, scale in zip(a, b, self.length_scales)))

    def predict(self, x: Sequence[float], variance: bool = True) -> Tuple[float, float]:
        """(mean, variance) at ``x`` in the output's own units; the variance
        is of the latent value (the noise left out)."""
        column = [self.kernel(x, point) for point in self.xs]
        mean = self.offset + self.scale * _dot(column, self.weights)
        if not variance:
            return mean, 0.0
        projected = solve_lower(self.lower, column)
        return mean, max(self.signal - _dot(projected, projected), 0.0) * self.scale ** 2

    def log_likelihood(self) -> float:
        size = len(self.xs)
        return (-0.5 * _dot(self.targets, self.weights) - sum(math.log(self.lower[i][i]) for i in range(size))
                - 0.5 * size * math.log(2 * math.pi))

    def gradient(self) -> List[float]:
        """The log likelihood's gradient in (log length scales..., log
        signal, log noise): 1/2 tr((a a^T - K^-1) dK/dtheta)."""
        inverse = inverse_from(self.lower)
        size, weights, gram = len(self.xs), self.weights, self.gram
        grads = [0.0] * (len(self.length_scales) + 2)
        for i in range(size):
            wi, inverse_row, gram_row = weights[i], inverse[i], gram[i]
            weighted = [gram_row[j] * (wi * weights[j] - inverse_row[j]) for j in range(size)]
            grads[-2] += sum(weighted)
            grads[-1] += wi * wi - inverse_row[i]
            for d, scale in enumerate(self.length_scales):
                grads[d] += _dot(weighted, self.distances[d][i]) / (scale * scale)
        grads[-1] *= self.noise
        return [0.5 * grad for grad in grads]

    @classmethod
    def fit(cls, xs: Sequence[Sequence[float]], ys: Sequence[float], starts: Sequence[float] = (0.2, 0.5),
            iterations: int = 100) -> "GaussianProcess":
        """The process whose hyperparameters most likely made ``ys``: a
        quasi-Newton ascent of the log likelihood in log space, from a few
        length scales, within LOG_BOUNDS."""
        distances = squared_distances(xs)
        best: Optional[GaussianProcess] = None
        for start in starts:
            theta = [math.log(start)] * len(xs[0]) + [0.0, math.log(1e-4)]
            model = _ascend(cls, xs, ys, theta, iterations, distances)
            if best is None or model.log_likelihood() > best.log_likelihood():
                best = model
        assert best is not None
        return best


def _bounded(theta: List[float], dimensions: int) -> List[float]:
    kinds = ["length"] * dimensions + ["signal", "noise"]
    return [min(max(value, LOG_BOUNDS[kind][0]), LOG_BOUNDS[kind][1]) for value, kind in zip(theta, kinds)]


def _made(cls: type, xs: Sequence[Sequence[float]], ys: Sequence[float], theta: List[float],
          distances: List[Matrix]) -> Optional[GaussianProcess]:
    dimensions = len(xs[0])
    try:
        return cls(xs, ys, [math.exp(value) for value in theta[:dimensions]], math.exp(theta[-2]),
                   math.exp(theta[-1]) + 1e-10, distances)
    except (ValueError, OverflowError, ZeroDivisionError):
        return None


def _ascend(cls: type, xs: Sequence[Sequence[float]], ys: Sequence[float], theta: List[float], iterations: int,
            distances: List[Matrix]) -> GaussianProcess:
    """BFGS on the log likelihood, with a backtracking line search, the
    parameters held within their bounds."""
    dimensions = len(theta) - 2
    theta = _bounded(theta, dimensions)
    model = _made(cls, xs, ys, theta, distances)
    while model is None:   # a start too near singular: more noise
        theta[-1] += 2.0
        model = _made(cls, xs, ys, _bounded(theta, dimensions), distances)
    count = len(theta)
    hessian = [[1.0 if i == j else 0.0 for j in range(count)] for i in range(count)]   # of the inverse
    value, grads = model.log_likelihood(), model.gradient()
    for _ in range(iterations):
        direction = [_dot(row, grads) for row in hessian]
        slope = _dot(direction, grads)
        if slope <= 0:   # not an ascent: start the curvature again
            hessian = [[1.0 if i == j else 0.0 for j in range(count)] for i in range(count)]
            direction, slope = list(grads), _dot(grads, grads)
        length = min(1.0, 2.0 / max(math.sqrt(_dot(direction, direction)), 1e-12))
        while length > 1e-6:
            trial = _bounded([t + length * d for t, d in zip(theta, direction)], dimensions)
            candidate = _made(cls, xs, ys, trial, distances)
            if candidate is not None and candidate.log_likelihood() >= value + 1e-4 * length * slope:
                break
            length *= 0.5
        else:
            return model
        new_grads = candidate.gradient()
        step = [new - old for new, old in zip(trial, theta)]
        change = [old - new for new, old in zip(new_grads, grads)]   # of the descent's gradient
        theta, model, gained = trial, candidate, candidate.log_likelihood() - value
        value, grads = candidate.log_likelihood(), new_grads
        _update(hessian, step, change)
        if gained < 1e-7 * max(1.0, abs(value)):
            break
    return model


def _update(hessian: Matrix, step: List[float], change: List[float]) -> None:
    """The BFGS update of the inverse Hessian (of the minimised negative
    log likelihood), skipped when the curvature is not positive."""
    curvature = _dot(step, change)
    if curvature <= 1e-12:
        return
    count = len(step)
    product = [_dot(row, change) for row in hessian]
    middle = _dot(change, product)
    for i in range(count):
        for j in range(count):
            hessian[i][j] += ((curvature + middle) * step[i] * step[j] / (curvature * curvature)
                              - (product[i] * step[j] + step[i] * product[j]) / curvature)
