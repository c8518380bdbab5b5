"""train_forest_np end to end. Expected reports are computed in float32 from the predictions
that the data force."""

import pytest

from conftest import report, run_snippet, shape_lines


# (x and y as code, max_depth, n_trees, rows, columns, predictions, held-out labels)
FOREST_RUNS = {
    # No trees: no predictions at all, so no match against the held-out labels.
    "no_trees": ("x = np.zeros((10, 2), np.float32); y = np.ones(10, np.uint32)",
                 3, 0, 10, 2, [], [1]),
    # An empty training set is fine while no tree is grown.
    "single_row_no_trees": ("x = np.zeros((1, 2), np.float32); y = np.ones(1, np.uint32)",
                            3, 0, 1, 2, [], [1]),
    # One class: every tree is a leaf of it, whatever the label's value (not just 0 or 1).
    "one_class_7": ("x = np.linspace(-1, 1, 60, dtype=np.float32).reshape(20, 3); "
                    "y = np.full(20, 7, np.uint32)", 4, 5, 20, 3, [7, 7], [7, 7]),
    # 85 of 90 training labels are 1: a sample of 90 draws with a majority of 0 has probability
    # below 1e-20, so every depth-0 tree is a leaf labelled 1 and so is every vote.
    "depth_zero_dominant_class": (
        "x = np.random.default_rng(5).normal(size=(100, 4)).astype(np.float32); "
        "y = np.ones(100, np.uint32); y[[3, 17, 40, 41, 77, 95, 99]] = 0",
        0, 7, 100, 4, [1] * 10, [1, 1, 1, 1, 1, 0, 1, 1, 1, 0]),
}


@pytest.mark.parametrize("data, max_depth, n_trees, rows, cols, predicted, actual",
                         FOREST_RUNS.values(), ids=FOREST_RUNS)
def test_forest_runs(data, max_depth, n_trees, rows, cols, predicted, actual):
    outcome = run_snippet(f"{data}\nresult = train_forest_np(x, y, {max_depth}, {n_trees})")
    assert outcome.error is None, outcome.error
    assert outcome.result == "None"
    assert outcome.stdout == shape_lines(rows, cols, rows) + report(predicted, actual)


@pytest.mark.parametrize("n_trees", [1, 3])
def test_single_row_with_trees_fails_after_the_shape_lines(n_trees):
    outcome = run_snippet(
        f"train_forest_np(np.ones((1, 3), np.float32), np.ones(1, np.uint32), 3, {n_trees})")
    assert outcome.panic is not None and outcome.panic.startswith("a tree of the forest failed")
    assert outcome.stdout == shape_lines(1, 3, 1)


# Alternating classes on one feature: a sample holding both classes splits them exactly, and one
# of 90 draws missing a class has probability 2^-89, so every held-out row is predicted right.
ALTERNATING = """
x = (np.arange(100) % 2).astype(np.float32).reshape(100, 1)
y = (np.arange(100) % 2).astype(np.uint32)
"""
ALTERNATING_OUTPUT = shape_lines(100, 1, 100) + report([0, 1] * 5, [0, 1] * 5)


def test_forked_child_trains_a_forest_again():
    # The child's alarm turns a hang into a failed exit status.
    outcome = run_snippet(ALTERNATING + """
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
    assert outcome.error is None, outcome.error
    assert outcome.stdout == ALTERNATING_OUTPUT * 2 + "child exit 0\n" + ALTERNATING_OUTPUT
