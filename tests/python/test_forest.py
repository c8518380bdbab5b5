"""train_forest_np end to end, each call in a fresh interpreter with its standard output compared
exactly. Expected scores are computed here in single precision with NumPy from the predictions
that the data force."""

import numpy as np
import pytest

from conftest import report_lines, run_snippet, shape_lines


def score(value):
    value = np.float32(value)
    return "NaN" if np.isnan(value) else np.format_float_positional(value, trim="-")


def report(predicted, actual):
    """The report lines for predictions against labels, counted and divided in float32."""
    pairs = list(zip(predicted, actual))
    f32 = np.float32
    matches = sum(p == a for p, a in pairs)
    tp = sum(p == 1 and a == 1 for p, a in pairs)
    fp = sum(p == 1 and a == 0 for p, a in pairs)
    fn = sum(p == 0 and a == 1 for p, a in pairs)
    with np.errstate(divide="ignore", invalid="ignore"):
        accuracy = f32(matches) / f32(len(actual))
        precision = f32(tp) / f32(tp + fp)
        recall = f32(tp) / f32(tp + fn)
        f1 = ((precision + precision) * recall) / (precision + recall)
    return report_lines(score(accuracy), score(precision), score(recall), score(f1))


def test_report_helper_agrees_with_hand_computed_scores():
    assert report([1, 0, 1, 1], [1, 0, 0, 1]) == report_lines("0.75", "0.6666667", "1", "0.8")
    # float32(0.8) = 13421773 / 2^24; 1 + that rounds (to even) to 15099494 / 2^23, and 1.6 / 1.8
    # in float32 is 14913082 / 2^24, whose shortest digits are 0.88888896.
    assert report([1] * 10, [1] * 8 + [0] * 2) == report_lines("0.8", "0.8", "1", "0.88888896")


# Alternating classes on one feature: every sample holding both classes splits them exactly at
# 1, and a sample of 90 draws that misses a class has probability 2^-89, so a forest predicts
# every held-out row right.
ALTERNATING = """
x = (np.arange(100) % 2).astype(np.float32).reshape(100, 1)
y = (np.arange(100) % 2).astype(np.uint32)
"""
ALTERNATING_OUTPUT = shape_lines(100, 1, 100) + report([0, 1] * 5, [0, 1] * 5)


@pytest.mark.parametrize("label", [0, 1, 7])
def test_one_class_is_predicted_everywhere(label):
    outcome = run_snippet(
        f"""
        x = np.linspace(-1, 1, 60, dtype=np.float32).reshape(20, 3)
        y = np.full(20, {label}, np.uint32)
        result = train_forest_np(x, y, 4, 5)
        """
    )
    assert outcome.error is None, outcome.error
    assert outcome.result == "None"
    assert outcome.stdout == shape_lines(20, 3, 20) + report([label] * 2, [label] * 2)


def test_depth_zero_leaves_vote_for_the_dominant_class():
    # 85 of the 90 training labels are 1: a sample of 90 draws with a majority of 0 has a
    # probability below 1e-20, so every tree is a leaf labelled 1 and so is every prediction.
    outcome = run_snippet(
        """
        x = np.random.default_rng(5).normal(size=(100, 4)).astype(np.float32)
        y = np.ones(100, np.uint32)
        y[[3, 17, 40, 41, 77, 95, 99]] = 0
        train_forest_np(x, y, 0, 7)
        """
    )
    assert outcome.error is None, outcome.error
    actual = [1, 1, 1, 1, 1, 0, 1, 1, 1, 0]
    assert outcome.stdout == shape_lines(100, 4, 100) + report([1] * 10, actual)


@pytest.mark.parametrize("n_trees", [1, 3])
def test_forest_on_an_empty_training_set_fails_as_a_tree_failure(n_trees):
    outcome = run_snippet(
        f"train_forest_np(np.ones((1, 3), np.float32), np.ones(1, np.uint32), 3, {n_trees})"
    )
    assert outcome.panic is not None
    assert outcome.panic.startswith("a tree of the forest failed")
    assert outcome.stdout == shape_lines(1, 3, 1)


def test_trees_and_depth_bind_by_keyword():
    outcome = run_snippet(
        ALTERNATING
        + """
train_forest_np(x, y, 3, 9)
train_forest_np(x, y, n_trees=9, max_depth=3)
train_forest_np(y_py=y, n_trees=9, x_py=x, max_depth=3)
"""
    )
    assert outcome.error is None, outcome.error
    assert outcome.stdout == ALTERNATING_OUTPUT * 3


def test_forked_child_trains_a_forest_again():
    # The child's alarm turns a hang into a failed exit status.
    outcome = run_snippet(
        ALTERNATING
        + """
import os, signal
train_forest_np(x, y, 4, 6)
pid = os.fork()
if pid == 0:
    signal.alarm(120)
    train_forest_np(x, y, 4, 6)
    os._exit(0)
_, status = os.waitpid(pid, 0)
print("child exit", os.waitstatus_to_exitcode(status), flush=True)
train_forest_np(x, y, 4, 6)
"""
    )
    assert outcome.error is None, outcome.error
    assert outcome.stdout == ALTERNATING_OUTPUT * 2 + "child exit 0\n" + ALTERNATING_OUTPUT
