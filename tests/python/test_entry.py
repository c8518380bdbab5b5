"""The training scripts: the train/test cut, standard output, and whole tree runs whose reports
are worked out by hand."""

import numpy as np
import pytest

from conftest import report_lines, run_snippet, shape_lines
from lindorf._lindorf import train_forest_np, train_tree_np

CUT = "range end index 9 out of range for slice of length 8"


# (rows, labels, training rows = trunc(rows * 0.9) in double precision; float32 would give 8
# for 10 rows and 89 for 100)
@pytest.mark.parametrize("rows, labels, n_train",
                         [(10, 8, 9), (10, 0, 9), (100, 89, 90), (5, 3, 4)])
@pytest.mark.parametrize("function", ["tree", "forest"])
def test_too_few_labels_for_the_training_rows(function, rows, labels, n_train, capfd):
    x, y = np.zeros((rows, 2), np.float32), np.zeros(labels, np.uint32)
    with pytest.raises(BaseException) as caught:
        train_tree_np(x, y, 3) if function == "tree" else train_forest_np(x, y, 3, 2)
    assert type(caught.value).__qualname__ == "PanicException"
    assert caught.value.args == (
        f"range end index {n_train} out of range for slice of length {labels}",)
    assert capfd.readouterr().out == shape_lines(rows, 2, labels)  # printed before the failure


def test_closed_stdout_counts_as_written():
    outcome = run_snippet(
        """
        import os
        os.close(1)
        result = train_tree_np(np.zeros((10, 1), np.float32), np.ones(10, np.uint32), 3)
        """
    )
    assert outcome.error is None, outcome.error
    assert outcome.result == "None"


def test_full_device_fails_the_call_and_the_module_stays_usable(tmp_path):
    after = tmp_path / "after.txt"
    # Two calls fail writing to /dev/full; then fd 1 goes to a file and the next call works.
    outcome = run_snippet(
        f"""
        import os
        result = []
        for attempt in range(3):
            if attempt == 2:
                os.dup2(os.open({str(after)!r}, os.O_WRONLY | os.O_CREAT), 1)
            try:
                train_tree_np(np.zeros((10, 2), np.float32), np.zeros(8, np.uint32), 1)
            except BaseException as error:
                result.append((type(error).__qualname__, error.args))
        """,
        stdout_path="/dev/full",
    )
    assert outcome.error is None, outcome.error
    failure = ("PanicException", ("failed printing to stdout: No space left on device",))
    assert eval(outcome.result) == [failure, failure, ("PanicException", (CUT,))]
    assert after.read_text() == shape_lines(10, 2, 8)


# Rows 0..8 train: labels 0,0,0 | 1,1,1 | 0,0,0 take two levels of splits; row 9 (x = 9) sits
# with the last block, label 0.
BLOCKS = np.array([0, 0, 0, 1, 1, 1, 0, 0, 0, 0], np.uint32)
NAN4 = ("NaN",) * 4

TREE_RUNS = {
    # All labels equal, so the root is a leaf predicting 1. Twelve labels: one prediction
    # against test labels 9..11, one match of three.
    "extra_labels": (np.ones(12, np.uint32), "5", 0, ("0.33333334", "1", "1", "1")),
    # Nine labels: row 9 is predicted but there is nothing to compare it with.
    "no_test_labels": (np.ones(9, np.uint32), "5", 0, NAN4),
    "depth_zero": (BLOCKS, "0", 0, ("1", "NaN", "NaN", "NaN")),
    # True is depth 1: the root splits once, and both sides end at the limit.
    "depth_true": (BLOCKS, "True", 1, ("1", "NaN", "NaN", "NaN")),
    # numpy.uint8(5) allows depth 5; two levels separate the three blocks exactly.
    "depth_uint8": (BLOCKS, "np.uint8(5)", 2, ("1", "NaN", "NaN", "NaN")),
}


@pytest.mark.parametrize("y, max_depth, depth, scores", TREE_RUNS.values(), ids=TREE_RUNS)
def test_tree_runs(y, max_depth, depth, scores):
    outcome = run_snippet(
        f"""
        x = np.arange(10, dtype=np.float32).reshape(10, 1)
        result = train_tree_np(x, np.array({y.tolist()!r}, np.uint32), {max_depth})
        """
    )
    assert outcome.error is None, outcome.error
    assert outcome.result == "None"
    assert outcome.stdout == (
        shape_lines(10, 1, len(y)) + f"Tree depth: {depth}\n" + report_lines(*scores))


def test_tree_on_a_single_row_fails_after_the_shape_lines():
    outcome = run_snippet("train_tree_np(np.zeros((1, 2), np.float32), np.ones(1, np.uint32), 3)")
    assert outcome.panic == "cannot grow a tree from an empty training set"
    assert outcome.stdout == shape_lines(1, 2, 1)
