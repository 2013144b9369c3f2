"""A plain Python model of the front construction, used as the oracle in tests.

It follows the stage loop literally: every candidate of a stage is keyed into a
dict (which keeps the order in which boxes were first reached), a box keeps its
first candidate unless a later one dominates the holder, and the survivors are
offered one by one to a plain archive. Failures are raised as ModelPanic with
the message the module must give.
"""
import math
from decimal import Decimal


class ModelPanic(Exception):
    pass


def ieee_log1p(x):
    if math.isnan(x) or x < -1.0:
        return math.nan
    if x == -1.0:
        return -math.inf
    return math.log1p(x)


def ieee_div(a, b):
    if b == 0.0:
        if a == 0.0 or math.isnan(a):
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    if math.isinf(a) and math.isinf(b):
        return math.nan
    return a / b


def format_quotient(q):
    if math.isnan(q):
        return "NaN"
    if math.isinf(q):
        return "inf" if q > 0 else "-inf"
    return "{:f}".format(Decimal(repr(q)).normalize())


def grid_key(target, g):
    key = []
    for x in target:
        q = ieee_div(ieee_log1p(x + 1e-9), g)
        if not math.isnan(q) and not math.isinf(q):
            q = float(math.floor(q))
        if q == 0.0:
            key.append(0)
        elif q > 0.0 and not math.isinf(q):
            key.append(min(int(q), 2**64 - 1))
        else:
            raise ModelPanic("negative coordinate value: " + format_quotient(q))
    return tuple(key)


def dominates(a, b):
    return all(x <= y for x, y in zip(a, b)) and any(x < y for x, y in zip(a, b))


def offer(archive, node):
    target = node[0]
    if any(dominates(member[0], target) for member in archive):
        return
    archive[:] = [member for member in archive if not dominates(target, member[0])]
    archive.append(node)


def evaluate(table, design):
    target = [0.0] * len(table[0][0])
    for stand, j in zip(table, design):
        for k, value in enumerate(stand[j]):
            target[k] += value
    return target


def build_front(table, epsilon):
    """Ordered list of (design, target) pairs, or ModelPanic."""
    n = len(table[0][0])
    minima = [math.inf] * n
    for stand in table:
        for option in stand:
            for k, value in enumerate(option):
                if value < minima[k]:
                    minima[k] = value
    shifted = [[[(v - minima[k]) + 1e-9 for k, v in enumerate(option)] for option in stand]
               for stand in table]
    g = ieee_log1p(epsilon)
    current = [(tuple(option), (j,)) for j, option in enumerate(shifted[0])]
    for stand in shifted[1:]:
        boxes = {}
        for target, design in current:
            for j, option in enumerate(stand):
                candidate = tuple(a + b for a, b in zip(target, option))
                key = grid_key(candidate, g)
                held = boxes.get(key)
                if held is None or dominates(candidate, held[0]):
                    boxes[key] = (candidate, design + (j,))
        archive = []
        for node in boxes.values():
            offer(archive, node)
        current = archive
    return [(list(design), evaluate(table, design)) for _, design in current]
