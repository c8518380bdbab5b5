"""Whole train_tree_np runs on small data sets whose trees and reports are worked out by hand.

Each case lists the training rows (the first nine tenths) and the held-out rows separately, the
depth of the tree those training rows must grow, and the report of its predictions.
"""

import pickle

import numpy as np
import pytest

import plain_tree
from conftest import report_lines, run_snippet, shape_lines

NAN = float("nan")


def tree_run(train, test, max_depth):
    """Stdout of train_tree_np on the training rows followed by the held-out rows."""
    rows = [r for r, _ in train] + [r for r, _ in test]
    labels = [y for _, y in train] + [y for _, y in test]
    outcome = run_snippet(
        f"""
        nan = float("nan")
        x = np.array({rows!r}, np.float32)
        y = np.array({labels!r}, np.uint32)
        result = train_tree_np(x, y, {max_depth})
        """
    )
    assert outcome.error is None, outcome.error
    assert outcome.result == "None"
    assert int(len(rows) * 0.9) == len(train), "the case must match the positional cut"
    return outcome.stdout


CASES = [
    # Threshold 9 separates x < 9 (label 0) from the rest (label 1). Both held-out rows fall
    # right and get 1: one hit (x=19), one false positive (x=18).
    pytest.param(
        [([float(i)], 0) for i in range(9)] + [([float(i)], 1) for i in range(9, 18)],
        [([18.0], 0), ([19.0], 1)],
        5,
        1,
        ("0.5", "0.5", "1", "0.6666667"),
        id="one_clean_split",
    ),
    # A NaN training value sorts nowhere in particular but always routes right, so the split at
    # 6 keeps it with the 1s; a NaN held-out value routes right as well and is labelled 1.
    pytest.param(
        [([1.0], 0), ([2.0], 0), ([3.0], 0), ([4.0], 0), ([NAN], 1), ([6.0], 1), ([7.0], 1),
         ([8.0], 1), ([9.0], 1)],
        [([NAN], 1)],
        5,
        1,
        ("1", "1", "1", "1"),
        id="nan_routes_right",
    ),
    # The same tree labels a NaN held-out row 1 even when its true label is 0.
    pytest.param(
        [([1.0], 0), ([2.0], 0), ([3.0], 0), ([4.0], 0), ([NAN], 1), ([6.0], 1), ([7.0], 1),
         ([8.0], 1), ([9.0], 1)],
        [([NAN], 0)],
        5,
        1,
        ("0", "0", "NaN", "NaN"),
        id="nan_routes_right_false_positive",
    ),
    # A value equal to the threshold goes right: x=6 is labelled 1.
    pytest.param(
        [([1.0], 0), ([2.0], 0), ([3.0], 0), ([4.0], 0), ([6.0], 1), ([6.0], 1), ([7.0], 1),
         ([8.0], 1), ([9.0], 1)],
        [([6.0], 1)],
        5,
        1,
        ("1", "1", "1", "1"),
        id="equal_to_threshold_goes_right",
    ),
    # Identical rows with different labels: no threshold gains anything, and the fallback
    # split at 0.0 would send every row right. The root becomes a leaf with the majority
    # label 0 (five 0s against four 1s) instead of failing.
    pytest.param(
        [([1.0], i % 2) for i in range(9)],
        [([1.0], 1)],
        5,
        0,
        ("0", "NaN", "0", "NaN"),
        id="one_sided_fallback_becomes_a_leaf",
    ),
    # Two values, each with one 0 and one 1: every gain is exactly 0, and the fallback split at
    # 0.0 does divide the rows (-1 left, 1 right), so it is kept. Each two-row side is a leaf
    # whose tied labels go to the later one, 1.
    pytest.param(
        [([-1.0], 0), ([-1.0], 1), ([1.0], 0), ([1.0], 1)],
        [([0.5], 1)],
        5,
        1,
        ("1", "1", "1", "1"),
        id="dividing_fallback_is_kept",
    ),
    # Rows with no features at all: every node is a leaf.
    pytest.param(
        [([], 1), ([], 0), ([], 1)] * 3,
        [([], 1)],
        5,
        0,
        ("1", "1", "1", "1"),
        id="no_features",
    ),
]


@pytest.mark.parametrize("train, test, max_depth, depth, scores", CASES)
def test_hand_checked_runs(train, test, max_depth, depth, scores):
    n_rows = len(train) + len(test)
    n_cols = len(train[0][0])
    expected = shape_lines(n_rows, n_cols, n_rows) + f"Tree depth: {depth}\n"
    assert tree_run(train, test, max_depth) == expected + report_lines(*scores)


def random_data(seed):
    """Small data with the hard parts: repeated values, NaN, signed zeros, 2 to 4 classes."""
    rng = np.random.default_rng(seed)
    n_rows = int(rng.integers(12, 41))
    n_cols = int(rng.integers(1, 4))
    x = rng.integers(-3, 4, size=(n_rows, n_cols)).astype(np.float32) * np.float32(0.5)
    x[rng.random(x.shape) < 0.08] = np.nan
    x[(x == 0) & (rng.random(x.shape) < 0.5)] = np.float32(-0.0)
    classes = int(rng.integers(2, 5))
    y = ((x[:, 0] > 0).astype(np.int64) + rng.integers(0, classes, n_rows)) % classes
    return x, y.astype(np.uint32), int(rng.integers(0, 6))


@pytest.mark.parametrize("seed", range(12))
def test_runs_match_a_plain_learner(seed):
    x, y, max_depth = random_data(seed)
    outcome = run_snippet(
        f"""
        import pickle
        x, y = pickle.loads({pickle.dumps((x, y))!r})
        train_tree_np(x, y, {max_depth})
        """
    )
    assert outcome.error is None, outcome.error
    assert outcome.stdout == plain_tree.expected_output(x, y, max_depth)
