"""A plain, independent tree learner in Python for checking whole train_tree_np runs: written
straight from the rules, in float32 with the C library's own log2f, so its arithmetic is the
module's to the bit."""

import ctypes
import ctypes.util

import numpy as np

from conftest import report, shape_lines

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.log2f.restype = ctypes.c_float
_libm.log2f.argtypes = [ctypes.c_float]
f32 = np.float32


def entropy(labels):
    total = f32(0.0)
    for label in sorted(set(labels)):
        p = f32(labels.count(label)) / f32(len(labels))
        total = total + p * f32(_libm.log2f(float(p)))
    return -total


def gain(values, labels, threshold):
    left = [y for v, y in zip(values, labels) if v < threshold]
    right = [y for v, y in zip(values, labels) if not v < threshold]
    n = f32(len(labels))
    return ((entropy(labels) - (f32(len(left)) / n) * entropy(left))
            - (f32(len(right)) / n) * entropy(right))


def majority(labels):
    """The most frequent label; among tied ones, the one seen last."""
    best, best_count = labels[0], labels.count(labels[0])
    for label in labels[1:]:
        if labels.count(label) >= best_count:
            best, best_count = label, labels.count(label)
    return best


def best_split(rows, labels):
    best = (f32(0.0), f32(0.0), 0)  # score, threshold, feature
    for feature in range(len(rows[0])):
        column = [r[feature] for r in rows]
        score, threshold = f32(0.0), f32(0.0)
        for candidate in column:
            s = gain(column, labels, candidate)
            if s > score:
                score, threshold = s, candidate
        if score > best[0]:
            best = (score, threshold, feature)
    return best[2], best[1]


def grow(rows, labels, max_depth, depth=0):
    """A leaf is ("leaf", label); an inner node is (feature, threshold, left, right)."""
    label = majority(labels)
    if depth == max_depth or len(set(labels)) == 1 or len(rows) < 3 or len(rows[0]) == 0:
        return ("leaf", label)
    feature, threshold = best_split(rows, labels)
    goes_left = [r[feature] < threshold for r in rows]
    if all(goes_left) or not any(goes_left):
        return ("leaf", label)  # a split that leaves one side empty grows nothing
    sides = [[i for i, g in enumerate(goes_left) if g == side] for side in (True, False)]
    return (feature, threshold, *(
        grow([rows[i] for i in side], [labels[i] for i in side], max_depth, depth + 1)
        for side in sides))


def tree_depth(node):
    return 0 if node[0] == "leaf" else 1 + max(tree_depth(node[2]), tree_depth(node[3]))


def predict(node, row):
    while node[0] != "leaf":
        node = node[2] if row[node[0]] < node[1] else node[3]
    return node[1]


def expected_output(x, y, max_depth):
    """What train_tree_np(x, y, max_depth) prints, for rows and labels of equal length."""
    rows = [[f32(v) for v in r] for r in x.tolist()]
    labels = [int(v) for v in y]
    k = int(len(rows) * 0.9)
    tree = grow(rows[:k], labels[:k], max_depth)
    return (shape_lines(len(rows), len(rows[0]), len(labels))
            + f"Tree depth: {tree_depth(tree)}\n"
            + report([predict(tree, r) for r in rows[k:]], labels[k:]))
