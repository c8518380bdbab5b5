"""Whole train_tree_np runs on small data whose trees and reports are worked out by hand, and
random runs checked against the plain learner in plain_tree.py; DecisionTreeClassifier on the
same rows predicts what the plain learner predicts."""

import pickle

import numpy as np
import pytest

import plain_tree
from conftest import finished, report_lines, shape_lines
from lindorf import DecisionTreeClassifier

NAN = float("nan")
NAN_SPLIT = [([1.0], 0), ([2.0], 0), ([3.0], 0), ([4.0], 0), ([NAN], 1), ([6.0], 1), ([7.0], 1),
             ([8.0], 1), ([9.0], 1)]

# (training rows, held-out rows, max_depth, depth of the tree, report); each row is (x, label).
CASES = {
    # x < 9 is label 0: both held-out rows go right and get 1, one of them wrongly.
    "one_clean_split": (
        [([float(i)], int(i >= 9)) for i in range(18)], [([18.0], 0), ([19.0], 1)], 5, 1,
        ("0.5", "0.5", "1", "0.6666667")),
    # NaN always routes right, in training (keeping it with the 1s) and in prediction.
    "nan_routes_right": (NAN_SPLIT, [([NAN], 1)], 5, 1, ("1", "1", "1", "1")),
    # A value equal to the threshold goes right.
    "equal_to_threshold_goes_right": (
        [([1.0], 0), ([2.0], 0), ([3.0], 0), ([4.0], 0), ([6.0], 1), ([6.0], 1), ([7.0], 1),
         ([8.0], 1), ([9.0], 1)], [([6.0], 1)], 5, 1, ("1", "1", "1", "1")),
    # Identical rows, mixed labels: the fallback split at 0.0 would send every row right, so
    # the root becomes a leaf with the majority label 0 instead of failing.
    "one_sided_fallback_becomes_a_leaf": (
        [([1.0], i % 2) for i in range(9)], [([1.0], 1)], 5, 0, ("0", "NaN", "0", "NaN")),
    # Every gain is 0, but the fallback split at 0.0 divides -1 from 1, so it is kept; each
    # side's tied labels go to the later one, 1.
    "dividing_fallback_is_kept": (
        [([-1.0], 0), ([-1.0], 1), ([1.0], 0), ([1.0], 1)], [([0.5], 1)], 5, 1,
        ("1", "1", "1", "1")),
    "no_features": ([([], 1), ([], 0), ([], 1)] * 3, [([], 1)], 5, 0, ("1", "1", "1", "1")),
}


def assert_the_estimator_agrees(x, y, max_depth):
    """Fitted on the rows train_tree_np trains on, it predicts the held-out rows and grows as deep
    as the plain learner."""
    k = int(len(x) * 0.9)
    tree = DecisionTreeClassifier(max_depth=max_depth).fit(x[:k], y[:k])
    plain = plain_tree.grow([[np.float32(v) for v in r] for r in x[:k].tolist()],
                            [int(v) for v in y[:k]], max_depth)
    assert tree.predict(x[k:]).tolist() == [plain_tree.predict(plain, r) for r in x[k:].tolist()]
    assert tree.get_depth() == plain_tree.tree_depth(plain)


@pytest.mark.parametrize("train, test, max_depth, depth, scores", CASES.values(), ids=CASES)
def test_hand_checked_runs(train, test, max_depth, depth, scores):
    rows = [r for r, _ in train + test]
    labels = [y for _, y in train + test]
    assert int(len(rows) * 0.9) == len(train), "the case must match the positional cut"
    if rows[0]:  # the estimators need at least one feature
        assert_the_estimator_agrees(np.array(rows, np.float32), np.array(labels), max_depth)
    printed = finished(f"""
        nan = float("nan")
        result = train_tree_np(np.array({rows!r}, np.float32), np.array({labels!r}, np.uint32),
                               {max_depth})
        """)
    assert printed == (shape_lines(len(rows), len(rows[0]), len(rows)) + f"Tree depth: {depth}\n"
                       + report_lines(*scores))


def random_data(seed):
    """Small data with the hard parts: repeated values, NaN, signed zeros, 2 to 4 classes (from
    seed 8 on, labels that are not 0, 1, 2, ...)."""
    rng = np.random.default_rng(seed)
    n_rows, n_cols = int(rng.integers(12, 41)), int(rng.integers(1, 4))
    x = rng.integers(-3, 4, size=(n_rows, n_cols)).astype(np.float32) * np.float32(0.5)
    x[rng.random(x.shape) < 0.08] = np.nan
    x[(x == 0) & (rng.random(x.shape) < 0.5)] = np.float32(-0.0)
    classes = int(rng.integers(2, 5))
    y = ((x[:, 0] > 0).astype(np.int64) + rng.integers(0, classes, n_rows)) % classes
    y = np.array([7, 1, 9, 2] if seed >= 8 else [0, 1, 2, 3], np.uint32)[y]
    return x, y, int(rng.integers(0, 6))


@pytest.mark.parametrize("seed", range(12))
def test_runs_match_the_plain_learner(seed):
    x, y, max_depth = random_data(seed)
    printed = finished(f"import pickle\nx, y = pickle.loads({pickle.dumps((x, y))!r})\n"
                       f"result = train_tree_np(x, y, {max_depth})")
    assert printed == plain_tree.expected_output(x, y, max_depth)
    assert_the_estimator_agrees(x, y, max_depth)
