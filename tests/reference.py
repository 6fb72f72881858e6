"""The metric functions written as plain sequential sums from position 0,
the way the library defines them, so results can be compared to the bit."""

import math


def euclidean(a, b):
    total = 0.0
    for x, y in zip(a, b):
        d = x - y
        total = total + d * d
    return math.sqrt(total)


def dot(a, b):
    total = 0.0
    for x, y in zip(a, b):
        total = total + x * y
    return total


def cosine(a, b):
    norm_a = 0.0
    for x in a:
        norm_a = norm_a + x * x
    norm_b = 0.0
    for y in b:
        norm_b = norm_b + y * y
    denominator = math.sqrt(norm_a) * math.sqrt(norm_b)
    numerator = dot(a, b)
    if denominator == 0.0:  # Python raises where IEEE gives NaN or an infinity
        if numerator == 0.0 or math.isnan(numerator):
            return math.nan
        return math.copysign(math.inf, numerator)
    return numerator / denominator
