"""The `lindorf` command run as a subprocess, the way a user runs it. Expected reports follow
from the learner's rules: the first trunc(0.9 * n) rows train, a depth-0 tree predicts the
majority training label, and label 1 is the positive class."""

import csv
import importlib.resources
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import report_lines, shape_lines


def run_cli(*args, cwd, stderr=subprocess.PIPE, stdout=subprocess.PIPE):
    return subprocess.run([sys.executable, "-m", "lindorf", *map(str, args)], cwd=cwd,
                          stdout=stdout, stderr=stderr, text=True, timeout=600)


def write(path, content):
    """CSV for a list of rows (header first), raw text or bytes, .npy for an array, .npz for a
    dict of arrays."""
    if isinstance(content, list):
        with open(path, "w", newline="") as stream:
            csv.writer(stream).writerows(content)
    elif isinstance(content, str):
        path.write_text(content)
    elif isinstance(content, bytes):
        path.write_bytes(content)
    elif isinstance(content, dict):
        np.savez(path, **content)
    else:
        np.save(path, content, allow_pickle=True)
    return path


def builtin_table():
    with (importlib.resources.files("lindorf") / "data" / "breast_cancer.csv").open() as stream:
        return next(csv.reader(stream)), np.loadtxt(stream, delimiter=",")


def test_default_run_trains_a_forest_on_the_breast_cancer_data(tmp_path):
    result = run_cli(cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    lines = result.stdout.split("\n")
    assert lines[:3] == [*shape_lines(569, 30, 569).split("\n")[:2], "Classification Report:"]
    assert [line[:13] for line in lines[3:]] == [
        "\tAccuracy:   ", "\tPrecision:  ", "\tRecall:     ", "\tF1 Score:   ", ""]
    accuracy, precision, recall, f1 = (np.float32(line[13:]) for line in lines[3:7])
    # 512 rows train and 57 are tested: accuracy counts over 57, recall over the malignant ones.
    malignant_tested = int(builtin_table()[1][512:, -1].sum())
    for value, count in [(accuracy, 57), (recall, malignant_tested)]:
        assert abs(value * count - round(value * count)) < 1e-4
    assert np.isclose(f1, 2 * precision * recall / (precision + recall), rtol=1e-6)
    assert accuracy > 0.85  # a mixed-up column or label would not classify this well


def test_builtin_data_is_scikit_learns_with_malignant_as_one():
    reference = pytest.importorskip("sklearn.datasets").load_breast_cancer()
    header, table = builtin_table()
    assert header == [name.replace(" ", "_") for name in reference.feature_names] + ["diagnosis"]
    assert np.array_equal(table[:, :30], reference.data)
    malignant = list(reference.target_names).index("malignant")
    assert np.array_equal(table[:, 30] == 1, reference.target == malignant)


def test_trees_option_reaches_the_learner(tmp_path):
    # No trees: an empty prediction list against 57 held-out labels.
    result = run_cli("--trees", "0", cwd=tmp_path)
    assert result.stdout == shape_lines(569, 30, 569) + report_lines("0", "NaN", "NaN", "NaN")


# x = 0..19 with label 1 from 10 on, and a constant column: the first 18 rows train a root split
# at x < 10 into two pure leaves (depth 1), and the held-out x = 18, 19 are both predicted 1.
ROWS = [[x, int(x >= 10), 7.0] for x in range(20)]
PERFECT = shape_lines(20, 2, 20) + "Tree depth: 1\n" + report_lines("1", "1", "1", "1")
TABLE = np.array(ROWS, dtype=np.float64)
LABEL_SOURCES = {
    "csv-name": ("t.csv", [["x", "cls", "flat"], *ROWS], ["--label", "cls"]),
    "csv-index": ("t.csv", [["x", "cls", "flat"], *ROWS], ["--label", "1"]),
    "csv-negative-index": ("t.csv", [["x", "cls", "flat"], *ROWS], ["--label", "-2"]),
    "csv-last-by-default": ("t.csv", [["flat", "x", "cls"], *([f, x, c] for x, c, f in ROWS)], []),
    # The last held-out x is missing: NaN goes right of x < 10, to its true label 1; read as 0
    # it would go left.
    "csv-empty-cell": ("t.csv", [["x", "cls", "flat"], *ROWS[:19], ["", 1, 7.0]],
                       ["--label", "cls"]),
    "npy-index": ("t.npy", TABLE, ["--label", "1"]),
    "npz-x-and-y": ("t.npz", {"x": TABLE[:, [0, 2]].astype(np.float32),
                              "y": TABLE[:, 1].astype(np.int64)}, []),
    "npz-table": ("t.npz", {"table": TABLE.astype(np.int32)}, ["--label", "1"]),
}


@pytest.mark.parametrize("name, content, args", LABEL_SOURCES.values(), ids=LABEL_SOURCES)
def test_label_column_is_taken_from_the_file(tmp_path, name, content, args):
    result = run_cli(write(tmp_path / name, content), "--tree", *args, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == PERFECT


def test_class_names_are_numbered_in_sorted_order_and_reported_first(tmp_path):
    # 12 "yes" and 6 "no" train, two "yes" are held out; the first row says "yes", so numbering
    # by first appearance would make yes 0 and the report's precision NaN.
    answers = ["yes", "no", "yes"] * 6 + ["yes", "yes"]
    path = write(tmp_path / "yn.csv", [["f", "answer"], *enumerate(answers)])
    result = run_cli(path, "--tree", "--max-depth", "0", cwd=tmp_path, stderr=subprocess.STDOUT)
    assert result.returncode == 0
    assert result.stdout == (f"lindorf: {path}: classes in column 'answer': no=0, yes=1\n"
                             + shape_lines(20, 1, 20) + "Tree depth: 0\n"
                             + report_lines("1", "1", "1", "1"))


def test_shuffle_changes_the_cut_reproducibly(tmp_path):
    # 14 ones then 6 zeros: any 18 training rows hold a majority of ones, so a depth-0 tree
    # predicts 1 twice and the report depends only on how many held-out labels are 1.
    labels = [1] * 14 + [0] * 6
    reports = {0: ("0", "0", "NaN", "NaN"), 1: ("0.5", "0.5", "1", "0.6666667"), 2: ("1",) * 4}
    path = write(tmp_path / "s.csv", [["row", "cls"], *enumerate(labels)])

    def run(*args):
        result = run_cli(path, "--tree", "--max-depth", "0", *args, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        return result.stdout

    def expected(positives):
        return shape_lines(20, 1, 20) + "Tree depth: 0\n" + report_lines(*reports[positives])

    assert run() == expected(0)  # the file's own order holds out its two zeros
    for positives in (2, 1):
        seed = next(s for s in range(1000) if sum(
            labels[i] for i in np.random.default_rng(s).permutation(20)[18:]) == positives)
        assert run("--shuffle", seed) == run("--shuffle", seed) == expected(positives)


X4 = np.ones((4, 2))
MISSING, DIRECTORY = object(), object()
# One case per distinct check: (file name, content, args, fragment of the message)
BAD_INPUTS = {
    "missing-file": ("absent.csv", MISSING, [], "no such file"),
    "directory": ("dir.csv", DIRECTORY, [], "directory"),
    "empty-csv": ("e.csv", "", [], "empty"),
    "ragged-csv": ("r.csv", "a,b,c\n1,2,0\n1,2\n", [], "line 3 has 2 fields"),
    "not-utf8": ("b.csv", b"a,b\n\xff,1\n", [], "not UTF-8"),
    "non-numeric-cell": ("n.csv", "a,b,c\n1,2,0\n3,oops,1\n", [],
                         "line 3, column 'b': 'oops' is not a number"),
    "label-name-absent": ("l.csv", "a,b\n1,0\n2,1\n", ["--label", "c"],
                          "label column 'c' not found"),
    "label-index-absent": ("i.csv", "a,b\n1,0\n2,1\n", ["--label", "2"],
                           "label column 2 not found"),
    "negative-label": ("m.csv", "a,b\n1,0\n2,-1\n", [], "label -1 is negative"),
    "fractional-label": ("f.csv", "a,b\n1,0\n2,1.5\n", [], "label 1.5 is not a whole number"),
    "label-too-large": ("g.csv", "a,b\n1,0\n2,4294967296\n", [], "larger than"),
    "empty-label": ("z.csv", "a,b\n1,0\n2,\n", [], "line 3, column 'b'"),
    "one-row": ("o.csv", "a,b\n1,0\n", [], "only 1 data row"),
    "label-only": ("y.csv", "b\n0\n1\n", [], "no feature columns"),
    "npy-not-numpy": ("t.npy", "a,b\n1,0\n", [], "not a NumPy"),
    "npy-one-dimensional": ("d.npy", np.arange(4.0), [], "2-D"),
    "npy-objects": ("p.npy", np.array([[1, "a"]], dtype=object), [], "unreadable"),
    "npy-label-by-name": ("q.npy", np.ones((4, 3)), ["--label", "cls"],
                          "label column 'cls' not found"),
    "npy-nan-label": ("u.npy", np.array([[1, 0], [2, np.nan]]), [], "row 1, column 1"),
    "npz-length-mismatch": ("v.npz", {"x": X4, "y": np.zeros(3)}, [],
                            "x has 4 rows but y has 3 labels"),
    "npz-label-with-xy": ("k.npz", {"x": X4, "y": np.zeros(4)}, ["--label", "0"],
                          "--label does not apply"),
    "npz-unknown-arrays": ("j.npz", {"a": X4, "b": X4}, [], "found 'a', 'b'"),
}


@pytest.mark.parametrize("name, content, args, fragment", BAD_INPUTS.values(), ids=BAD_INPUTS)
def test_bad_input_is_one_line_naming_the_file(tmp_path, name, content, args, fragment):
    path = tmp_path / name
    if content is DIRECTORY:
        path.mkdir()
    elif content is not MISSING:
        write(path, content)
    result = run_cli(path, *args, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (2, "")
    assert len(result.stderr.splitlines()) == 1, result.stderr  # so no Traceback either
    assert result.stderr.startswith(f"lindorf: {path}: ")
    assert fragment in result.stderr


@pytest.mark.parametrize("args", [["--trees", "many"], ["--max-depth", "4294967296"],
                                  ["--shuffle", "-3"], ["--tree", "--trees", "5"]])
def test_usage_errors_exit_2_without_traceback(tmp_path, args):
    result = run_cli(*args, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (2, "")
    assert "usage: lindorf" in result.stderr and "Traceback" not in result.stderr


@pytest.mark.skipif(not Path("/dev/full").exists(), reason="needs /dev/full")
def test_failure_inside_the_learner_exits_1(tmp_path):
    # The learner cannot write its output, so it fails from inside with a PanicException.
    path = write(tmp_path / "t.csv", [["x", "cls", "flat"], *ROWS])
    with open("/dev/full", "w") as full:
        result = run_cli(path, "--tree", cwd=tmp_path, stdout=full)
    assert result.returncode == 1
    assert "Traceback" not in result.stderr
    assert result.stderr.splitlines()[-1].startswith(
        f"lindorf: {path}: training failed: failed printing to stdout")


def test_help_explains_every_option(tmp_path):
    result = run_cli("--help", cwd=tmp_path)
    assert result.returncode == 0
    for word in ["DATA", "--label", "--tree", "--forest", "--trees", "--max-depth", "--shuffle",
                 "examples:", "python -m lindorf"]:
        assert word in result.stdout
    script = Path(sys.executable).with_name("lindorf")  # the installed console script
    if script.exists():
        assert subprocess.run([script, "--help"], capture_output=True, text=True,
                              cwd=tmp_path).stdout == result.stdout
