"""The `lindorf` command run as a subprocess, the way a user runs it.

Expected reports are worked out by hand from the learner's rules: the first trunc(0.9 * n) rows
train, the rest are predicted; a depth-0 tree predicts the majority training label; precision,
recall and F1 score take label 1 as positive and print "NaN" for 0/0.
"""

import csv
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

REPORT_KEYS = [
    ("\tAccuracy:   ", "accuracy"),
    ("\tPrecision:  ", "precision"),
    ("\tRecall:     ", "recall"),
    ("\tF1 Score:   ", "f1"),
]


def run_cli(*args, cwd, merge_stderr=False):
    return subprocess.run(
        [sys.executable, "-m", "lindorf", *map(str, args)],
        cwd=cwd,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT if merge_stderr else subprocess.PIPE,
        text=True,
        timeout=600,
    )


def parse_output(stdout):
    """Shapes, depth (or None) and the report's four figures as printed, checking the layout."""
    lines = stdout.split("\n")
    assert lines[-1] == "", "output must end with a newline"
    lines = lines[:-1]
    result = {"x_shape": lines[0], "y_shape": lines[1], "depth": None}
    rest = lines[2:]
    if rest and rest[0].startswith("Tree depth: "):
        result["depth"] = int(rest[0].removeprefix("Tree depth: "))
        rest = rest[1:]
    assert rest[0] == "Classification Report:"
    assert len(rest) == 5, stdout
    for line, (prefix, key) in zip(rest[1:], REPORT_KEYS):
        assert line.startswith(prefix), line
        result[key] = line.removeprefix(prefix)
    return result


def figures(report):
    return tuple(report[key] for _, key in REPORT_KEYS)


def write_csv(path, header, rows):
    with open(path, "w", newline="") as stream:
        writer = csv.writer(stream)
        writer.writerow(header)
        writer.writerows(rows)
    return path


# --- the built-in data -------------------------------------------------------------------------


def builtin_labels():
    import importlib.resources

    resource = importlib.resources.files("lindorf") / "data" / "breast_cancer.csv"
    with resource.open() as stream:
        table = np.loadtxt(stream, delimiter=",", skiprows=1)
    return table[:, -1].astype(int)


def test_default_run_trains_a_forest_on_the_breast_cancer_data(tmp_path):
    result = run_cli(cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    report = parse_output(result.stdout)
    assert report["x_shape"] == "Shape of x matrix (569, 30)"
    assert report["y_shape"] == "Shape of y (569,)"
    assert report["depth"] is None
    # trunc(569 * 0.9) = 512 rows train, so 57 are tested: accuracy is a count over 57, and
    # recall a count over the malignant rows among the last 57 of the file.
    accuracy, precision, recall, f1 = (np.float32(v) for v in figures(report))
    assert abs(accuracy * 57 - round(accuracy * 57)) < 1e-4
    malignant_tested = int(builtin_labels()[512:].sum())
    assert abs(recall * malignant_tested - round(recall * malignant_tested)) < 1e-4
    assert np.isclose(f1, 2 * precision * recall / (precision + recall), rtol=1e-6)
    # A forest on this data set is a good classifier; a mixed-up column or label would not be.
    assert accuracy > 0.85


def test_builtin_data_is_scikit_learns_with_malignant_as_one():
    datasets = pytest.importorskip("sklearn.datasets")
    import importlib.resources

    reference = datasets.load_breast_cancer()
    resource = importlib.resources.files("lindorf") / "data" / "breast_cancer.csv"
    with resource.open() as stream:
        header = next(csv.reader(stream))
        table = np.loadtxt(stream, delimiter=",")
    assert header == [name.replace(" ", "_") for name in reference.feature_names] + ["diagnosis"]
    assert np.array_equal(table[:, :30], reference.data)
    malignant = list(reference.target_names).index("malignant")
    assert np.array_equal(table[:, 30] == 1, reference.target == malignant)


@pytest.mark.parametrize(
    "args, expected_lines",
    [
        # No tree: an empty prediction list against 57 test labels.
        (["--trees", "0"], ["\tAccuracy:   0", "\tPrecision:  NaN", "\tRecall:     NaN"]),
        (["--tree", "--max-depth", "0"], ["Tree depth: 0"]),
    ],
    ids=["no-trees", "depth-zero-tree"],
)
def test_options_reach_the_learner(tmp_path, args, expected_lines):
    result = run_cli(*args, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    for line in expected_lines:
        assert line in lines


# --- reading data files ------------------------------------------------------------------------

# x = 0..19 with label 1 from 10 on, a constant column beside it, the label in the middle. The
# first 18 rows train: the root splits at x < 10 into two pure leaves (depth 1), and the test
# rows x = 18 and 19 are both predicted 1, correctly, so every figure is "1".
THRESHOLD_ROWS = [[x, int(x >= 10), 7.0] for x in range(20)]
THRESHOLD_HEADER = ["x", "cls", "flat"]
PERFECT = ("1", "1", "1", "1")


def write_threshold_csv(tmp_path):
    return write_csv(tmp_path / "t.csv", THRESHOLD_HEADER, THRESHOLD_ROWS)


def write_threshold_npy(tmp_path):
    path = tmp_path / "t.npy"
    np.save(path, np.array(THRESHOLD_ROWS, dtype=np.float64))
    return path


def write_threshold_npz_xy(tmp_path):
    table = np.array(THRESHOLD_ROWS)
    path = tmp_path / "t.npz"
    np.savez(path, x=table[:, [0, 2]].astype(np.float32), y=table[:, 1].astype(np.int64))
    return path


def write_threshold_npz_table(tmp_path):
    path = tmp_path / "t.npz"
    np.savez(path, table=np.array(THRESHOLD_ROWS, dtype=np.int32))
    return path


@pytest.mark.parametrize(
    "write, label_args",
    [
        (write_threshold_csv, ["--label", "cls"]),
        (write_threshold_csv, ["--label", "1"]),
        (write_threshold_csv, ["--label", "-2"]),
        (write_threshold_npy, ["--label", "1"]),
        (write_threshold_npz_xy, []),
        (write_threshold_npz_table, ["--label", "1"]),
    ],
    ids=["csv-name", "csv-index", "csv-negative-index", "npy", "npz-xy", "npz-table"],
)
def test_label_column_is_taken_from_the_file(tmp_path, write, label_args):
    result = run_cli(write(tmp_path), "--tree", *label_args, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    report = parse_output(result.stdout)
    assert report["x_shape"] == "Shape of x matrix (20, 2)"
    assert report["y_shape"] == "Shape of y (20,)"
    assert report["depth"] == 1
    assert figures(report) == PERFECT


def test_default_label_column_is_the_last(tmp_path):
    rows = [[flat, x, label] for x, label, flat in THRESHOLD_ROWS]
    path = write_csv(tmp_path / "last.csv", ["flat", "x", "cls"], rows)
    report = parse_output(run_cli(path, "--tree", cwd=tmp_path).stdout)
    assert report["depth"] == 1
    assert figures(report) == PERFECT


def test_empty_cell_is_a_missing_value_routed_right(tmp_path):
    # The last test row's x is missing. NaN goes right of x < 10, to label 1 (its true label);
    # read as 0 it would go left and halve the accuracy.
    rows = [[str(x) if x != 19 else "", cls, flat] for x, cls, flat in THRESHOLD_ROWS]
    path = write_csv(tmp_path / "gap.csv", THRESHOLD_HEADER, rows)
    report = parse_output(run_cli(path, "--tree", "--label", "cls", cwd=tmp_path).stdout)
    assert figures(report) == PERFECT


def write_yes_no(tmp_path):
    # 12 "yes" and 6 "no" among the 18 training rows, then two "yes" test rows. The first row
    # says "yes", so numbering by first appearance would differ from sorted order.
    labels = (["yes", "no", "yes"] * 6) + ["yes", "yes"]
    return write_csv(tmp_path / "yn.csv", ["f", "answer"], [[i, a] for i, a in enumerate(labels)])


def test_class_names_are_numbered_in_sorted_order(tmp_path):
    result = run_cli(write_yes_no(tmp_path), "--tree", "--max-depth", "0", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr.splitlines() == [
        f"lindorf: {tmp_path / 'yn.csv'}: classes in column 'answer': no=0, yes=1"
    ]
    # Majority "yes" = 1 predicted for two "yes" test rows; with yes as 0, precision would be NaN.
    assert figures(parse_output(result.stdout)) == PERFECT


def test_own_messages_come_before_the_learners_output(tmp_path):
    result = run_cli(
        write_yes_no(tmp_path), "--tree", "--max-depth", "0", cwd=tmp_path, merge_stderr=True
    )
    lines = result.stdout.splitlines()
    assert "classes in column" in lines[0]
    assert lines[1] == "Shape of x matrix (20, 1)"


# --- shuffling ---------------------------------------------------------------------------------

# 14 ones then 6 zeros: any 18 training rows hold at least 12 ones, so a depth-0 tree predicts 1
# for both test rows, and the report depends only on how many of them (k) are truly 1.
SHUFFLE_LABELS = [1] * 14 + [0] * 6
REPORT_FOR_POSITIVES = {
    0: ("0", "0", "NaN", "NaN"),
    1: ("0.5", "0.5", "1", "0.6666667"),
    2: ("1", "1", "1", "1"),
}


def positives_tested(seed):
    order = np.random.default_rng(seed).permutation(len(SHUFFLE_LABELS))
    return sum(SHUFFLE_LABELS[i] for i in order[18:])


def seed_with(positives):
    return next(s for s in range(1000) if positives_tested(s) == positives)


def test_shuffle_changes_the_cut_reproducibly(tmp_path):
    path = write_csv(tmp_path / "s.csv", ["row", "cls"], list(enumerate(SHUFFLE_LABELS)))

    def report(*args):
        result = run_cli(path, "--tree", "--max-depth", "0", *args, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        return result.stdout

    assert figures(parse_output(report())) == REPORT_FOR_POSITIVES[0]  # the file's two zeros
    for positives in (2, 1):
        seed = seed_with(positives)
        first = report("--shuffle", seed)
        assert figures(parse_output(first)) == REPORT_FOR_POSITIVES[positives]
        assert report("--shuffle", seed) == first


# --- failures ----------------------------------------------------------------------------------


def text_file(name, text):
    def write(tmp_path):
        path = tmp_path / name
        path.write_text(text)
        return path

    return write


def bytes_file(name, content):
    def write(tmp_path):
        path = tmp_path / name
        path.write_bytes(content)
        return path

    return write


def npy_file(name, array):
    def write(tmp_path):
        path = tmp_path / name
        np.save(path, array, allow_pickle=True)
        return path

    return write


def npz_file(name, **arrays):
    def write(tmp_path):
        path = tmp_path / name
        np.savez(path, **arrays)
        return path

    return write


def missing(tmp_path):
    return tmp_path / "absent.csv"


def directory(tmp_path):
    (tmp_path / "dir.csv").mkdir()
    return tmp_path / "dir.csv"


GOOD_X = np.ones((4, 2))
BAD_INPUTS = [
    ("missing-file", missing, [], "no such file"),
    ("directory", directory, [], "directory"),
    ("empty-csv", text_file("e.csv", ""), [], "empty"),
    ("ragged-csv", text_file("r.csv", "a,b,c\n1,2,0\n1,2\n"), [], "line 3 has 2 fields"),
    ("not-utf8", bytes_file("b.csv", b"a,b\n\xff,1\n"), [], "not UTF-8"),
    ("non-numeric-cell", text_file("n.csv", "a,b,c\n1,2,0\n3,oops,1\n"), [],
     "line 3, column 'b': 'oops' is not a number"),
    ("label-name-absent", text_file("l.csv", "a,b\n1,0\n2,1\n"), ["--label", "c"],
     "label column 'c' not found"),
    ("label-index-absent", text_file("i.csv", "a,b\n1,0\n2,1\n"), ["--label", "2"],
     "label column 2 not found"),
    ("negative-label", text_file("m.csv", "a,b\n1,0\n2,-1\n"), [], "label -1 is negative"),
    ("fractional-label", text_file("f.csv", "a,b\n1,0\n2,1.5\n"), [],
     "label 1.5 is not a whole number"),
    ("label-too-large", text_file("g.csv", "a,b\n1,0\n2,4294967296\n"), [], "larger than"),
    ("empty-label", text_file("z.csv", "a,b\n1,0\n2,\n"), [], "line 3, column 'b'"),
    ("one-row", text_file("o.csv", "a,b\n1,0\n"), [], "only 1 data row"),
    ("header-only", text_file("h.csv", "a,b\n"), [], "only 0 data rows"),
    ("label-only", text_file("y.csv", "b\n0\n1\n"), [], "no feature columns"),
    ("npy-not-numpy", text_file("t.npy", "a,b\n1,0\n"), [], "not a NumPy"),
    ("npy-one-dimensional", npy_file("d.npy", np.arange(4.0)), [], "2-D"),
    ("npy-objects", npy_file("p.npy", np.array([[1, "a"]], dtype=object)), [], "unreadable"),
    ("npy-label-by-name", npy_file("q.npy", np.ones((4, 3))), ["--label", "cls"],
     "label column 'cls' not found"),
    ("npy-nan-label", npy_file("u.npy", np.array([[1, 0], [2, np.nan]])), [],
     "row 1, column 1"),
    ("npy-one-row", npy_file("w.npy", np.ones((1, 3))), [], "only 1 data row"),
    ("npz-length-mismatch", npz_file("v.npz", x=GOOD_X, y=np.zeros(3)), [],
     "x has 4 rows but y has 3 labels"),
    ("npz-negative-y", npz_file("s.npz", x=GOOD_X, y=np.array([0, 1, -2, 1])), [],
     "y[2]: label -2 is negative"),
    ("npz-label-with-xy", npz_file("k.npz", x=GOOD_X, y=np.zeros(4)), ["--label", "0"],
     "--label does not apply"),
    ("npz-unknown-arrays", npz_file("j.npz", a=GOOD_X, b=GOOD_X), [], "found 'a', 'b'"),
]


@pytest.mark.parametrize(
    "write, args, fragment", [case[1:] for case in BAD_INPUTS], ids=[c[0] for c in BAD_INPUTS]
)
def test_bad_input_is_one_line_naming_the_file(tmp_path, write, args, fragment):
    path = write(tmp_path)
    result = run_cli(path, *args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stdout == ""
    assert "Traceback" not in result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith(f"lindorf: {path}: ")
    assert fragment in lines[0]


@pytest.mark.parametrize(
    "args",
    [
        ["--trees", "-1"],
        ["--trees", "many"],
        ["--max-depth", "4294967296"],
        ["--shuffle", "-3"],
        ["--tree", "--forest"],
        ["--tree", "--trees", "5"],
        ["--no-such-option"],
        ["a.csv", "b.csv"],
    ],
)
def test_usage_errors_exit_2_without_traceback(tmp_path, args):
    result = run_cli(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stdout == ""
    assert "usage: lindorf" in result.stderr
    assert "Traceback" not in result.stderr


@pytest.mark.skipif(not Path("/dev/full").exists(), reason="needs /dev/full")
def test_failure_inside_the_learner_exits_1(tmp_path):
    # The learner prints straight to file descriptor 1; when that cannot be written, it fails
    # from inside, which the command reports like bad input but with status 1.
    path = write_threshold_csv(tmp_path)
    with open("/dev/full", "w") as full:
        result = subprocess.run(
            [sys.executable, "-m", "lindorf", str(path), "--tree"],
            cwd=tmp_path, stdout=full, stderr=subprocess.PIPE, text=True, timeout=600,
        )
    assert result.returncode == 1
    assert "Traceback" not in result.stderr
    last = result.stderr.splitlines()[-1]
    assert last.startswith(f"lindorf: {path}: training failed: failed printing to stdout")


def test_help_explains_every_option(tmp_path):
    result = run_cli("--help", cwd=tmp_path)
    assert result.returncode == 0
    for word in ["DATA", "--label", "--tree", "--forest", "--trees", "--max-depth", "--shuffle",
                 "examples:", "python -m lindorf"]:
        assert word in result.stdout


def test_console_script_is_installed(tmp_path):
    script = Path(sys.executable).with_name("lindorf")
    if not script.exists():
        pytest.skip("lindorf is not installed as a console script next to this interpreter")
    result = subprocess.run([script, "--help"], capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0
    assert result.stdout.startswith("usage: lindorf")
