"""The training scripts end to end: the train/test cut, standard output, and whole tree and
forest runs whose reports are worked out by hand or computed in float32 from the predictions
that the data force."""

import re

import numpy as np
import pytest

from conftest import CUT, finished, report, report_lines, run_snippet, shape_lines
from lindorf._lindorf import train_forest_np, train_tree_np


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
    finished("import os\nos.close(1)\n"
             "result = train_tree_np(np.zeros((10, 1), np.float32), np.ones(10, np.uint32), 3)")


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


def tree_run(y, max_depth, depth, scores):
    """x = 0..9 in one column; the report's figures as printed."""
    return (f"x = np.arange(10, dtype=np.float32).reshape(10, 1)\n"
            f"result = train_tree_np(x, np.array({y!r}, np.uint32), {max_depth})",
            shape_lines(10, 1, len(y)) + f"Tree depth: {depth}\n" + report_lines(*scores))


def forest_run(data, max_depth, n_trees, rows, cols, predicted, actual):
    return (f"{data}\nresult = train_forest_np(x, y, {max_depth}, {n_trees})",
            shape_lines(rows, cols, rows) + report(predicted, actual))


# Rows 0..8 train: labels 0,0,0 | 1,1,1 | 0,0,0 take two levels of splits; row 9 (x = 9) sits
# with the last block, label 0.
BLOCKS = [0, 0, 0, 1, 1, 1, 0, 0, 0, 0]
NAN4 = ("NaN",) * 4

RUNS = {  # name: (code, what it prints)
    # All labels equal, so the root is a leaf predicting 1. Twelve labels: one prediction
    # against test labels 9..11, one match of three.
    "extra_labels": tree_run([1] * 12, "5", 0, ("0.33333334", "1", "1", "1")),
    # Nine labels: row 9 is predicted but there is nothing to compare it with.
    "no_test_labels": tree_run([1] * 9, "5", 0, NAN4),
    "depth_zero": tree_run(BLOCKS, "0", 0, ("1", "NaN", "NaN", "NaN")),
    # True is depth 1: the root splits once, and both sides end at the limit.
    "depth_true": tree_run(BLOCKS, "True", 1, ("1", "NaN", "NaN", "NaN")),
    # numpy.uint8(5) allows depth 5; two levels separate the three blocks exactly.
    "depth_uint8": tree_run(BLOCKS, "np.uint8(5)", 2, ("1", "NaN", "NaN", "NaN")),
    # No trees: no predictions at all, so no match against the held-out labels.
    "forest_no_trees": forest_run("x = np.zeros((10, 2), np.float32); y = np.ones(10, np.uint32)",
                                  3, 0, 10, 2, [], [1]),
    # An empty training set is fine while no tree is grown.
    "forest_single_row_no_trees": forest_run(
        "x = np.zeros((1, 2), np.float32); y = np.ones(1, np.uint32)", 3, 0, 1, 2, [], [1]),
    # One class: every tree is a leaf of it, whatever the label's value (not just 0 or 1).
    "forest_one_class_7": forest_run("x = np.linspace(-1, 1, 60, dtype=np.float32).reshape(20, 3); "
                                     "y = np.full(20, 7, np.uint32)", 4, 5, 20, 3, [7, 7], [7, 7]),
    # 85 of 90 training labels are 1: a sample of 90 draws with a majority of 0 has probability
    # below 1e-20, so every depth-0 tree is a leaf labelled 1 and so is every vote.
    "forest_depth_zero_dominant_class": forest_run(
        "x = np.random.default_rng(5).normal(size=(100, 4)).astype(np.float32); "
        "y = np.ones(100, np.uint32); y[[3, 17, 40, 41, 77, 95, 99]] = 0",
        0, 7, 100, 4, [1] * 10, [1, 1, 1, 1, 1, 0, 1, 1, 1, 0]),
}


@pytest.mark.parametrize("code, printed", RUNS.values(), ids=RUNS)
def test_runs(code, printed):
    assert finished(code) == printed


@pytest.mark.parametrize("function, args, panic", [
    ("tree", "3", "cannot grow a tree from an empty training set"),
    ("forest", "3, 1", "a tree of the forest failed.*"),
    ("forest", "3, 3", "a tree of the forest failed.*")])
def test_a_single_row_with_trees_to_grow_fails_after_the_shape_lines(function, args, panic):
    outcome = run_snippet(f"train_{function}_np(np.ones((1, 3), np.float32), "
                          f"np.ones(1, np.uint32), {args})")
    assert outcome.panic is not None and re.fullmatch(panic, outcome.panic, re.S), outcome.panic
    assert outcome.stdout == shape_lines(1, 3, 1)


# Alternating classes on one feature: a sample holding both classes splits them exactly, and one
# of 90 draws missing a class has probability 2^-89, so every held-out row is predicted right.
def test_forked_child_trains_a_forest_again():
    # The child's alarm turns a hang into a failed exit status.
    printed = finished("""
x = (np.arange(100) % 2).astype(np.float32).reshape(100, 1)
y = (np.arange(100) % 2).astype(np.uint32)
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
""")
    once = shape_lines(100, 1, 100) + report([0, 1] * 5, [0, 1] * 5)
    assert printed == once * 2 + "child exit 0\n" + once
