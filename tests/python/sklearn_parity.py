"""Comparing a lindorf tree with scikit-learn's, node by node over the training rows: both trees
are walked from the root together, and every node where the two divide their rows differently is
reported with the two splits' weighted impurity decreases computed from the rows, in double
precision with scikit-learn's formulas, so that a test can tell a near-tie in the last bits from
a real disagreement."""

import numpy as np


def weighted_median(values, weights):
    """scikit-learn's weighted median: the least value whose cumulative weight passes half the
    total, or the mean of two neighbours where it reaches half exactly."""
    order = np.argsort(values, kind="stable")
    v, c = values[order], np.cumsum(weights[order])
    k = int(np.searchsorted(c, c[-1] / 2, side="right"))
    return (v[k - 1] + v[k]) / 2 if k > 0 and c[k - 1] == c[-1] / 2 else v[k]


def _regression_impurity(values, weights, criterion):
    total = weights.sum()
    if criterion == "absolute_error":
        return np.sum(weights * np.abs(values - weighted_median(values, weights))) / total
    mean = np.sum(weights * values) / total
    if criterion == "poisson":
        with np.errstate(divide="ignore", invalid="ignore"):
            terms = np.where(values > 0, values * np.log(values / mean), 0.0)
        return np.sum(weights * terms) / total
    return np.sum(weights * (values - mean) ** 2) / total


def impurity(y, w, rows, criterion):
    """scikit-learn's impurity of the rows: per output, then averaged over the outputs."""
    columns = y.reshape(len(y), -1)
    total = w[rows].sum()
    if criterion in ("squared_error", "absolute_error", "poisson"):
        return float(np.mean([_regression_impurity(columns[rows, k], w[rows], criterion)
                              for k in range(columns.shape[1])]))
    values = []
    for k in range(columns.shape[1]):
        counts = np.bincount(columns[rows, k], weights=w[rows])
        if criterion == "gini":
            values.append(1.0 - np.sum(counts * counts) / (total * total))
        else:
            p = counts[counts > 0] / total
            values.append(-np.sum(p * (np.log(p) / np.log(2.0))))
    return float(np.mean(values))


def decrease(y, w, rows, left, criterion):
    """The weighted impurity decrease of sending the rows in `left` left."""
    right = rows & ~left
    wn, wl, wr = w[rows].sum(), w[left].sum(), w[right].sum()
    gain = (impurity(y, w, rows, criterion) - wr / wn * impurity(y, w, right, criterion)
            - wl / wn * impurity(y, w, left, criterion))
    return wn / w.sum() * gain


def _ours(nodes, X):
    def goes_left(k):
        values = X[:, nodes["feature"][k]].astype(np.float32)
        nan = np.isnan(values) & bool(nodes["missing_go_to_left"][k])
        return (values < nodes["threshold"][k]) | nan
    return nodes["children_left"], nodes["children_right"], goes_left


def _theirs(tree, X):
    def goes_left(k):
        values = X[:, tree.feature[k]].astype(np.float32)
        nan = np.isnan(values) & bool(tree.missing_go_to_left[k])
        return (values <= tree.threshold[k]) | nan
    return tree.children_left, tree.children_right, goes_left


def differences(ours, theirs, X):
    """Every node where a fitted lindorf tree and a fitted scikit-learn tree first divide their
    training rows X differently, as (rows, our left rows or None at a leaf, theirs or None),
    preorder; below such a node the trees are not compared."""
    mine, other = _ours(ours._native.node_table(0), X), _theirs(theirs.tree_, X)
    found, pending = [], [(0, 0, np.ones(len(X), bool))]
    while pending:
        a, b, rows = pending.pop()
        a_leaf, b_leaf = mine[0][a] == -1, other[0][b] == -1
        if a_leaf and b_leaf:
            continue
        a_left = None if a_leaf else mine[2](a) & rows
        b_left = None if b_leaf else other[2](b) & rows
        if a_leaf or b_leaf or not np.array_equal(a_left, b_left):
            found.append((rows, a_left, b_left))
            continue
        pending += [(mine[1][a], other[1][b], rows & ~a_left), (mine[0][a], other[0][b], a_left)]
    return found


def split_decreases(estimator, X, y, w, criterion):
    """The weighted decrease of every split of a tree (lindorf's or scikit-learn's), from the
    rows."""
    walk = (_ours(estimator._native.node_table(0), X) if hasattr(estimator, "_native")
            else _theirs(estimator.tree_, X))
    out, pending = [], [(0, np.ones(len(X), bool))]
    while pending:
        k, rows = pending.pop()
        if walk[0][k] == -1:
            continue
        left = walk[2](k) & rows
        out.append(decrease(y, w, rows, left, criterion))
        pending += [(walk[0][k], left), (walk[1][k], rows & ~left)]
    return out
