"""The two training scripts: the train/test cut, standard output, and what the learner prints.

Expected reports are worked out by hand from the data: which rows train, which one is held out,
which label it must get, and the scores of those predictions.
"""

import errno
import os
import textwrap

import numpy as np
import pytest

from conftest import report_lines, run_snippet, shape_lines
from lindorf._lindorf import train_forest_np, train_tree_np


def n_train(rows):
    return int(rows * 0.9)  # the same rule, in Python's own double arithmetic


@pytest.mark.parametrize(
    "rows, labels",
    [(10, 8), (10, 0), (2, 0), (5, 3), (100, 89), (569, 511), (1000, 1)],
)
@pytest.mark.parametrize("function", ["tree", "forest"])
def test_too_few_labels_for_the_training_rows(function, rows, labels, capfd):
    x = np.zeros((rows, 2), np.float32)
    y = np.zeros(labels, np.uint32)
    call = {
        "tree": lambda: train_tree_np(x, y, 3),
        "forest": lambda: train_forest_np(x, y, 3, 2),
    }[function]
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value).__qualname__ == "PanicException"
    assert caught.value.args == (
        f"range end index {n_train(rows)} out of range for slice of length {labels}",
    )
    # Output printed before the failure stays printed.
    assert capfd.readouterr().out == shape_lines(rows, 2, labels)


def test_known_training_counts():
    assert [n_train(n) for n in (1, 5, 10, 100)] == [0, 4, 9, 90]


CUT_FAILURE = """
x = np.zeros((10, 2), np.float32)
try:
    train_tree_np(x, np.zeros(8, np.uint32), 1)
except BaseException as error:
    result = error.args
"""


class TestStandardOutput:
    def test_closed_stdout_counts_as_written(self):
        outcome = run_snippet("import os\nos.close(1)\n" + CUT_FAILURE)
        assert outcome.error is None
        # The call got past both shape lines to the cut: the closed descriptor did not fail it.
        assert outcome.result == "('range end index 9 out of range for slice of length 8',)"
        assert outcome.stdout == ""

    def test_full_device_fails_the_call_and_the_module_stays_usable(self, tmp_path):
        after = tmp_path / "after.txt"
        # Two calls fail writing to /dev/full; then fd 1 goes to a file and the next call works.
        code = textwrap.dedent(
            f"""
            import os
            failures = []
            for attempt in range(2):
                try:
                    train_tree_np(np.zeros((10, 2), np.float32), np.zeros(8, np.uint32), 1)
                except BaseException as error:
                    failures.append((type(error).__qualname__, error.args))
            with open({str(after)!r}, "w") as target:
                os.dup2(target.fileno(), 1)
            """
        )
        code += CUT_FAILURE + "result = (failures, result)\n"
        outcome = run_snippet(code, stdout_path="/dev/full")
        assert outcome.error is None, outcome.error
        failure = ("PanicException", ("failed printing to stdout: " + os.strerror(errno.ENOSPC),))
        assert eval(outcome.result) == (
            [failure, failure],
            ("range end index 9 out of range for slice of length 8",),
        )
        assert os.strerror(errno.ENOSPC) == "No space left on device"
        assert after.read_text() == shape_lines(10, 2, 8)


# ---------------------------------------------------------------------------------------------
# Whole runs, with reports derived by hand.

ONE_FEATURE = np.arange(10, dtype=np.float32).reshape(10, 1)
ALL_ONES = np.ones(10, np.uint32)
# Rows 0..8 train: labels 0,0,0 | 1,1,1 | 0,0,0 need two levels of splits; row 9 (x = 9) sits
# with the last block, label 0.
BLOCKS = np.array([0, 0, 0, 1, 1, 1, 0, 0, 0, 0], np.uint32)
NAN = "NaN"


def run_tree(x, y, max_depth):
    return run_snippet(
        f"""
        x = np.array({x.tolist()!r}, np.float32).reshape({x.shape})
        y = np.array({y.tolist()!r}, np.uint32)
        result = train_tree_np(x, y, {max_depth})
        """
    )


TREE_RUNS = [
    # All labels equal: the root is a leaf at once; row 9 is predicted 1, correctly.
    ("pure", ONE_FEATURE, ALL_ONES, "5", 0, ("1", "1", "1", "1"), 10),
    # Twelve labels: one prediction (1) against test labels 9..11 (all 1): one match of three.
    ("extra_labels", ONE_FEATURE, np.ones(12, np.uint32), "5", 0, ("0.33333334", "1", "1", "1"), 12),
    # Nine labels: row 9 is predicted but there is nothing to compare it with.
    ("no_test_labels", ONE_FEATURE, np.ones(9, np.uint32), "5", 0, (NAN, NAN, NAN, NAN), 9),
    # A depth limit of 0 makes the root a leaf whatever the labels.
    ("depth_zero", ONE_FEATURE, BLOCKS, "0", 0, ("1", NAN, NAN, NAN), 10),
    # True is depth 1: the root splits once, and every split ends at the limit.
    ("depth_true", ONE_FEATURE, BLOCKS, "True", 1, ("1", NAN, NAN, NAN), 10),
    # numpy.uint8(5) is depth 5; two levels separate the three blocks exactly.
    ("depth_uint8", ONE_FEATURE, BLOCKS, "np.uint8(5)", 2, ("1", NAN, NAN, NAN), 10),
]


@pytest.mark.parametrize(
    "name, x, y, max_depth, depth, scores, n_labels", TREE_RUNS, ids=[r[0] for r in TREE_RUNS]
)
def test_tree_runs(name, x, y, max_depth, depth, scores, n_labels):
    outcome = run_tree(x, y, max_depth)
    assert outcome.error is None, outcome.error
    assert outcome.result == "None"
    assert outcome.stdout == (
        shape_lines(10, 1, n_labels) + f"Tree depth: {depth}\n" + report_lines(*scores)
    )


def test_tree_on_a_single_row_fails_after_the_shape_lines():
    outcome = run_tree(np.zeros((1, 2), np.float32), np.ones(1, np.uint32), 3)
    assert outcome.panic == "cannot grow a tree from an empty training set"
    assert outcome.stdout == shape_lines(1, 2, 1)


def test_closed_stdout_does_not_fail_a_whole_run():
    outcome = run_snippet(
        """
        import os
        os.close(1)
        result = train_tree_np(np.zeros((10, 1), np.float32), np.ones(10, np.uint32), 3)
        """
    )
    assert outcome.error is None
    assert outcome.result == "None"


def test_memory_layout_does_not_change_the_result():
    # Every view must train and predict exactly as its contiguous copy does. Two scrambled
    # copies (rows reversed, values regrouped) show that the report is sensitive to the data.
    outcome = run_snippet(
        """
        import os, tempfile
        rng = np.random.default_rng(7)
        base = rng.normal(size=(200, 4)).astype(np.float32)
        y = (base[:, 0] + 0.5 * base[:, 2] + rng.normal(size=200) > 0).astype(np.uint32)

        def report(x, labels):
            with tempfile.TemporaryFile() as capture:
                saved = os.dup(1)
                os.dup2(capture.fileno(), 1)
                try:
                    train_tree_np(x, labels, 3)
                finally:
                    os.dup2(saved, 1)
                    os.close(saved)
                capture.seek(0)
                return capture.read().decode()

        expected = report(base, y)
        views = [
            (np.asfortranarray(base), y),
            (base[::-1].copy()[::-1], y[::-1].copy()[::-1]),
            (np.ascontiguousarray(base[:, ::-1])[:, ::-1], y),
            (np.repeat(base, 2, axis=0)[::2], np.repeat(y, 3)[::3]),
            (np.repeat(base, 2, axis=1)[:, ::2], y),
        ]
        scrambled = [(base[::-1].copy(), y), (base.reshape(4, 200).T.copy(), y)]
        result = ([report(x, labels) == expected for x, labels in views],
                  [report(x, labels) == expected for x, labels in scrambled])
        """
    )
    assert outcome.error is None, outcome.error
    assert outcome.result == "([True, True, True, True, True], [False, False])"


FOREST_RUNS = [
    # No trees: no predictions at all; accuracy counts no match against the test labels.
    ("no_trees", np.zeros((10, 2), np.float32), np.ones(10, np.uint32), 3, 0, ("0", NAN, NAN, NAN)),
    ("single_row_no_trees", np.zeros((1, 2), np.float32), np.ones(1, np.uint32), 3, 0, ("0", NAN, NAN, NAN)),
    # Every bootstrap sample of all-1 labels grows a leaf predicting 1.
    ("pure_depth_zero", ONE_FEATURE, ALL_ONES, 0, 3, ("1", "1", "1", "1")),
]


@pytest.mark.parametrize(
    "name, x, y, max_depth, n_trees, scores", FOREST_RUNS, ids=[r[0] for r in FOREST_RUNS]
)
def test_forest_runs(name, x, y, max_depth, n_trees, scores):
    outcome = run_snippet(
        f"""
        x = np.array({x.tolist()!r}, np.float32).reshape({x.shape})
        y = np.array({y.tolist()!r}, np.uint32)
        result = train_forest_np(x, y, {max_depth}, {n_trees})
        """
    )
    assert outcome.error is None, outcome.error
    assert outcome.result == "None"
    assert outcome.stdout == shape_lines(x.shape[0], x.shape[1], len(y)) + report_lines(*scores)


def test_forest_on_a_single_row_fails_after_the_shape_lines():
    outcome = run_snippet(
        "train_forest_np(np.zeros((1, 2), np.float32), np.ones(1, np.uint32), 3, 2)"
    )
    assert outcome.panic is not None
    assert outcome.stdout == shape_lines(1, 2, 1)
