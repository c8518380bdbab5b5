"""The `lindorf` command run as a subprocess, the way a user runs it: each case is a command
line with its exit status, its standard output and what it says on standard error. Expected
output comes from the learner's own entry points, from scikit-learn, or from the same data in
another form, never from the command itself."""

import bz2
import csv
import gzip
import importlib.resources
import io
import json
import lzma
import os
import signal
import subprocess
import sys
import time
import zipfile
from pathlib import Path

import numpy as np
import pytest

from conftest import (metadata_at, report_lines, resealed, run_snippet, shape_lines,
                      with_metadata)
from lindorf._estimators import format_version

UNLIMITED = 2**32 - 1


def run_cli(*args, cwd, **options):
    options.setdefault("stdout", subprocess.PIPE)
    options.setdefault("stderr", subprocess.PIPE)
    options.setdefault("timeout", 600)
    options.setdefault("text", True)
    return subprocess.run([sys.executable, "-m", "lindorf", *map(str, args)], cwd=cwd,
                          **options)


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


def csv_text(table, labels, delimiter=",", missing=lambda i: "", quote=False, header=None):
    """A table of floats (NaN for missing, written by `missing(i)` for the i-th one) and a label
    column as CSV text."""
    header = header or [f"f{j}" for j in range(table.shape[1])] + ["label"]
    lines, count = [delimiter.join(header)], 0
    for row, label in zip(table, labels):
        cells = []
        for value in row:
            cells.append(missing(count) if np.isnan(value) else repr(float(value)))
            count += np.isnan(value)
        cells.append(str(label))
        lines.append(delimiter.join(f'"{c}"' if quote else c for c in cells))
    return "\n".join(lines) + "\n"


def iris():
    from sklearn.datasets import load_iris

    data = load_iris()
    order = np.random.default_rng(0).permutation(len(data.target))
    return data.data[order].astype(np.float32), data.target[order], list(data.target_names)


def coarse(rows=60, seed=3):
    """Few distinct values (ties, duplicate rows), some NaN, labels 0 and 1 mixed."""
    rng = np.random.default_rng(seed)
    x = rng.integers(0, 4, (rows, 3)).astype(np.float32)
    x[rng.random((rows, 3)) < 0.1] = np.nan
    y = ((np.nan_to_num(x[:, 0]) + rng.integers(0, 3, rows)) > 2).astype(np.uint32)
    return x, y


def learner_output(path, x, y, depth):
    """What train_tree_np itself prints for these arrays (kept in the .npz file at `path`)."""
    with np.errstate(over="ignore"):  # beyond float32's range: an infinity
        np.savez(path, x=x.astype(np.float32), y=y.astype(np.uint32))
    return run_snippet(f"d = np.load({str(path)!r}); train_tree_np(d['x'], d['y'], {depth})").stdout


def builtin_table():
    with (importlib.resources.files("lindorf") / "data" / "breast_cancer.csv").open() as stream:
        return next(csv.reader(stream)), np.loadtxt(stream, delimiter=",")


# ---------------------------------------------------------------------------------------------
# The plain run prints the learner's report


def mended_fault():
    return np.array([[1.0], [1.0], [2.0], [2.0]] * 5, np.float32), np.array([0, 1] * 10)


def infinite_values(rows=80, seed=7):
    """Infinities of both signs and, in float64, values beyond float32's range, which become
    infinities; the label follows the first feature's sign."""
    rng = np.random.default_rng(seed)
    values = [-np.inf, -1e300, -1e39, -1.0, 0.0, 2.0, 3.4e38, 1e39, np.inf, np.nan]
    x = rng.choice(values, size=(rows, 3))
    return x, ((x[:, 0] > 0) ^ (rng.random(rows) < 0.1)).astype(np.uint32)


TREE_CASES = {  # name: (x, y, max_depth)
    "builtin-unlimited": (None, None, UNLIMITED),
    "iris-3-classes": (*iris()[:2], UNLIMITED),
    "ties-duplicates-nan": (*coarse(), 5),
    "mended-fault": (*mended_fault(), 4),
    "depth-0": (*coarse(40, 5), 0),
    "two-rows": (np.array([[1.0], [2.0]], np.float32), np.array([0, 1]), 3),
    "infinite-values": (*infinite_values(), 6),
    # Lines too long for the csv module's field limit under any delimiter but the right one.
    "12000-columns": (np.random.default_rng(1).normal(size=(20, 12000)).astype(np.float32),
                      np.arange(20) % 2, 2),
}


@pytest.mark.parametrize("x, y, depth", TREE_CASES.values(), ids=TREE_CASES)
def test_tree_run_prints_what_the_learner_prints(tmp_path, x, y, depth):
    if x is None:
        _, table = builtin_table()
        x, y, files = table[:, :-1], table[:, -1], [[]]
    else:  # the same rows as NumPy arrays and as CSV text
        files = [[write(tmp_path / "d.npz", {"x": x, "y": y})],
                 [write(tmp_path / "d.csv", csv_text(x, y))]]
    expected = learner_output(tmp_path / "learner.npz", x, y, depth)
    for args in files:
        result = run_cli(*args, "--tree", "--max-depth", depth, cwd=tmp_path)
        assert (result.returncode, result.stdout) == (0, expected), result.stderr


# ---------------------------------------------------------------------------------------------
# The same data in any file form gives the same run


X, Y = coarse(80, 11)
INDEXED = np.column_stack([np.arange(len(X)), X])
MARKERS = ["NA", "N/A", "NaN", "nan", "null", "?", " NA ", ""]
PANDAS_NOTE = "the unnamed first column numbers the rows 0, 1, 2, ...: it is read as an index, " \
              "not a feature, and dropped"
FORMS = {  # name: (file name, content, extra arguments, note on standard error)
    "semicolon": ("d.csv", csv_text(X, Y, ";"), [], None),
    "tab": ("d.tsv", csv_text(X, Y, "\t"), [], None),
    "pipe": ("d.txt", csv_text(X, Y, "|"), [], None),
    "given-delimiter": ("d.csv", csv_text(X, Y, ";"), ["--delimiter", ";"], None),
    "missing-markers": ("d.csv", csv_text(X, Y, missing=lambda i: MARKERS[i % 8]), [], None),
    "quoted-crlf-bom": ("d.csv", "\ufeff" + csv_text(X, Y, quote=True).replace("\n", "\r\n"),
                        [], None),
    "utf-16": ("d.csv", csv_text(X, Y, "\t").encode("utf-16"), [], None),
    **{kind: (f"d.csv.{kind}", codec.compress(csv_text(X, Y).encode()), [], None)
       for kind, codec in (("gz", gzip), ("bz2", bz2), ("xz", lzma))},
    "stdin": ("-", csv_text(X, Y), [], None),
    "pipe-by-name": ("/dev/stdin", csv_text(X, Y), [], None),  # read once, as "-" is
    "pandas-index": ("d.csv", csv_text(INDEXED, Y, header=["", "a", "b", "c", "label"]), [],
                     PANDAS_NOTE),
    "npy": ("d.npy", np.column_stack([X, Y]), [], None),
}


@pytest.fixture(scope="module")
def plain_run(tmp_path_factory):
    path = write(tmp_path_factory.mktemp("plain") / "plain.csv", csv_text(X, Y))
    reference = run_cli(path, "--tree", cwd=path.parent)
    assert reference.returncode == 0 and reference.stderr == "", reference.stderr
    return reference.stdout


@pytest.mark.parametrize("name, content, args, note", FORMS.values(), ids=FORMS)
def test_every_file_form_gives_the_same_run(tmp_path, plain_run, name, content, args, note):
    if name in ("-", "/dev/stdin"):
        result = run_cli(name, "--tree", *args, cwd=tmp_path, input=content, timeout=60)
    else:
        result = run_cli(write(tmp_path / name, content), "--tree", *args, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (0, plain_run), result.stderr
    assert result.stderr == (f"lindorf: {tmp_path / name}: {note}\n" if note else "")


def test_class_names_are_numbered_in_sorted_order_and_reported_first(tmp_path):
    # 12 "yes" and 6 "no" train, two "yes" are held out; the first row says "yes", so numbering
    # by first appearance would make yes 0 and the report's precision NaN.
    answers = ["yes", "no", "yes"] * 6 + ["yes", "yes"]
    path = write(tmp_path / "yn.csv", [["f", "answer"], *enumerate(answers)])
    result = run_cli(path, "--tree", "--max-depth", "0", cwd=tmp_path, stderr=subprocess.STDOUT)
    assert result.returncode == 0
    assert result.stdout == (f"lindorf: {path}: classes in column 'answer': no=0, yes=1\n"
                             f"lindorf: {path}: note: the 2 test rows all have label 1, so the "
                             "report says little about the other classes; if the file is sorted "
                             "by class, --shuffle SEED mixes the rows before the cut\n"
                             + shape_lines(20, 1, 20) + "Tree depth: 0\n"
                             + report_lines("1", "1", "1", "1"))


DATA_AS_HEADER_NOTE = ("line 1 looks like a data row, yet it is read as the header row of column "
                       "names: give --no-header if it is data (--header takes it as the header "
                       "without this note)")
KEPT_INDEX_NOTE = ("the unnamed first column does not number the rows 0, 1, 2, ..., so it is kept "
                   "as a feature; if it is an index (as pandas writes one), --drop-index leaves "
                   "it out")
FILLED = np.nan_to_num(X)
HEADERLESS = "0.5,1.5,2.5,1\n" + csv_text(FILLED, Y).split("\n", 1)[1]
SHUFFLED_INDEX = csv_text(np.column_stack([np.random.default_rng(2).permutation(len(X)), X]), Y,
                          header=["", "a", "b", "c", "label"])
HEADERS_AND_INDEXES = {  # name: (content, arguments, rows, feature columns, note)
    "numbers-taken-as-header": (HEADERLESS, [], 80, 3, DATA_AS_HEADER_NOTE),
    "class-name-taken-as-header": (HEADERLESS.replace(",1\n", ",y\n").replace(",0\n", ",n\n"),
                                   ["--label", 3], 80, 3, DATA_AS_HEADER_NOTE),
    "no-header": (HEADERLESS, ["--no-header"], 81, 3, None),
    "header-given": (HEADERLESS, ["--header"], 80, 3, None),
    "shuffled-index-kept": (SHUFFLED_INDEX, [], 80, 4, KEPT_INDEX_NOTE),
    "index-dropped": (SHUFFLED_INDEX, ["--drop-index"], 80, 3, None),
}


@pytest.mark.parametrize("content, args, rows, columns, note", HEADERS_AND_INDEXES.values(),
                         ids=HEADERS_AND_INDEXES)
def test_header_row_and_index_column(tmp_path, content, args, rows, columns, note):
    path = write(tmp_path / "d.csv", content)
    result = run_cli(path, "--tree", *args, cwd=tmp_path)
    assert result.returncode == 0 and result.stdout.startswith(shape_lines(rows, columns, rows))
    assert result.stderr.startswith(f"lindorf: {path}: {note}\n") if note else not result.stderr


def test_prediction_reads_header_rows_as_training_does(tmp_path):
    data = write(tmp_path / "d.csv", csv_text(FILLED, Y, header=["a", "b", "c", "label"]))
    assert run_cli("train", data, "--tree", "--save", "m", cwd=tmp_path).returncode == 0
    expected = run_cli("predict", "m", data, "--label", "label", cwd=tmp_path).stdout
    rows = csv_text(FILLED, Y).split("\n", 1)[1]
    headerless = run_cli("predict", "m", write(tmp_path / "h.csv", rows), "--no-header",
                         "--label", 3, cwd=tmp_path)
    assert (headerless.returncode, headerless.stdout, headerless.stderr) == (0, expected, "")
    # The label column bears a feature's name: which of the two would be 'a'?
    twice = write(tmp_path / "t.csv", csv_text(FILLED, Y, header=["a", "b", "c", "a"]))
    refused = run_cli("predict", "m", twice, cwd=tmp_path)
    assert (refused.returncode, refused.stdout, refused.stderr) == (
        2, "", f"lindorf: {twice}: the header names a column 'a' more than once; give every "
        "column its own name\n")


# ---------------------------------------------------------------------------------------------
# Cutting the rows


def test_shuffle_stratify_and_test_size_choose_the_test_rows(tmp_path):
    # 60 ones then 40 zeros. A depth-0 tree predicts the training majority for every test row, so
    # the report's recall and accuracy tell how many test rows are ones.
    labels = [1] * 60 + [0] * 40
    path = write(tmp_path / "s.csv", [["row", "cls"], *enumerate(labels)])

    def test_ones(*args):
        result = run_cli(path, "--tree", "--max-depth", "0", "--report", "full", *args,
                         cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        support = dict(line.split()[::4] for line in result.stdout.splitlines()
                       if line.split()[:1] in (["0"], ["1"]) and len(line.split()) == 5)
        return int(support.get("1", 0)), int(support.get("0", 0))

    assert test_ones() == (0, 10)  # the file's own order holds out ten zeros
    assert test_ones("--test-size", "0.25") == (0, 25)
    for seed in range(2):
        assert test_ones("--shuffle", seed, "--stratify", "--test-size", "0.25") == (15, 10)
    shuffled = [test_ones("--shuffle", seed) for seed in (0, 0, 1, 2, 3)]
    assert shuffled[0] == shuffled[1] and len(set(shuffled)) > 1


# ---------------------------------------------------------------------------------------------
# Bad input: one line, exit 2


X4 = np.ones((4, 2))
MISSING, DIRECTORY = object(), object()
XLSX = io.BytesIO()
with zipfile.ZipFile(XLSX, "w") as book:
    book.writestr("[Content_Types].xml", "<Types/>")
    book.writestr("xl/workbook.xml", "<workbook/>")
EMPTY_ZIP = io.BytesIO()
zipfile.ZipFile(EMPTY_ZIP, "w").close()
SORTED_BY_LABEL_HINT = ("; the labels come from the last column unless --label names another "
                        "(such as --label cls)")
# Bad data: (file name, content, args, the message after "lindorf: FILE: ")
BAD_INPUTS = {
    "missing-file": ("absent.csv", MISSING, [], "no such file"),
    "directory": ("dir.csv", DIRECTORY, [], "is a directory, not a data file"),
    "empty-csv": ("e.csv", "", [], "unreadable CSV: the file is empty; expected a header row of "
                  "column names"),
    "ragged-csv": ("r.csv", "a,b,c\n1,2,0\n\n1,2\n", [],
                   "unreadable CSV: line 4 has 2 fields but the header has 3"),
    "unclosed-quote": ("q.csv", "a,b\n" + "1,0\n" * 479 + '"2,1\n' + "3,0\n" * 600, [],
                       "unreadable CSV: line 481: a quote opened on this line is never closed"),
    "latin-1": ("b.csv", "name,b\n1,0\nJosé,1\n".encode("latin-1"), ["--label", "b"],
                "unreadable CSV: not UTF-8 text (byte 0xe9 on line 3); save the file as UTF-8"),
    "non-numeric-cell": ("n.csv", "a,b,c\n1,2,0\n3,oops,1\n", ["--label", "c"],
                         "line 3, column 'b': 'oops' is not a number"),
    "names-not-last": ("s.csv", "species,a\nsetosa,1\n", [], "line 2, column 'species': "
                       "'setosa' is not a number; if 'species' holds the labels, give --label "
                       "species"),
    "label-not-last": ("h.csv", "cls,a\n1,0.5\n0,0.2\n", [], "line 2, column 'a': label 0.5 is "
                       "not a whole number; labels must be non-negative integers; to predict "
                       "numbers rather than classes, give --task regression"
                       + SORTED_BY_LABEL_HINT),
    "target-not-a-number": ("r.csv", "a,b\n1,x\n2,3\n", ["--task", "regression"],
                            "line 2, column 'b': the target 'x' is not a number; --task "
                            "regression predicts numbers"),
    "target-missing": ("u.csv", "a,b\n1,2.5\n2,NA\n", ["--task", "regression"],
                       "line 3, column 'b': the target is missing; --task regression predicts "
                       "finite numbers"),
    "poisson-negative": ("p.csv", "a,b\n1,-1.5\n2,3\n3,1\n", ["--task", "regression",
                                                              "--criterion", "poisson"],
                         "Some value(s) of y are negative which is not allowed for Poisson "
                         "regression."),
    "label-name-absent": ("l.csv", "a,b\n1,0\n2,1\n", ["--label", "c"],
                          "label column 'c' not found; columns are a, b"),
    "label-index-absent": ("i.csv", "a,b\n1,0\n2,1\n", ["--label", "2"],
                           "label column 2 not found: there are 2 columns (0 to 1)"),
    "negative-label": ("m.csv", "a,b\n1,0\n2,-1\n", ["--label", "b"], "line 3, column 'b': "
                       "label -1 is negative; labels must be non-negative integers"),
    "label-too-large": ("g.csv", "a,b\n1,0\n2,4294967296\n", [], "line 3, column 'b': label "
                        "4294967296 is larger than 4294967295; labels must be non-negative "
                        "integers"),
    "float32-label-too-large": ("f.npy", np.array([[1, 0], [2, 2**32]], np.float32), [],
                                "row 1, column 1: label 4294967296 is larger than 4294967295; "
                                "labels must be non-negative integers"),
    "missing-label": ("z.csv", "a,b\n1,0\n2,NA\n", [], "line 3, column 'b': the label is missing"),
    "one-row": ("o.csv", "a,b\n1,0\n", [], "only 1 data row; at least 2 are needed, one to "
                "train on and one to test"),
    "repeated-names": ("x.csv", "x,y,x,label\n1,2,3,0\n4,5,6,1\n", [], "the header names a "
                       "column 'x' more than once; give every column its own name"),
    "field-too-long": ("t.csv", "a" * 140_000 + ",b\n1,0\n2,1\n", [],
                       "unreadable CSV: field larger than field limit (131072)"),
    "one-column": ("y.csv", "a b\n0\n1\n", [], "no feature columns besides the label: the "
                   "header has one column (give --delimiter if the fields are separated by "
                   "another character)"),
    "excel-workbook": ("book.xlsx", XLSX.getvalue(), [], "an Excel workbook, not CSV text or a "
                       "NumPy file: save the sheet as CSV"),
    "old-excel": ("book.xls", b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(600), [],
                  "an Excel 97-2003 workbook or another old Office file, not CSV text or a "
                  "NumPy file"),
    "binary": ("x.csv", b"a,b\n\x00\x01\x02", [], "a binary file, not CSV text or a NumPy file"),
    "damaged-gzip": ("t.csv.gz", gzip.compress(b"a,b\n" + b"1,0\n" * 5000)[:-30], [],
                     "damaged compressed file: Compressed file ended before the end-of-stream "
                     "marker was reached"),
    "empty-zip": ("e.npz", EMPTY_ZIP.getvalue(), [], "an empty zip archive: it holds no NumPy "
                  "arrays"),
    "npy-not-numpy": ("t.npy", "a,b\n1,0\n", [], "not a NumPy .npy or .npz file: the name says "
                      "so, the content does not"),
    "npy-one-dimensional": ("d.npy", np.arange(4.0), [], "expected a 2-D array (rows by "
                            "columns), got shape (4,)"),
    "npy-objects": ("p.npy", np.array([[1, "a"]], dtype=object), [], "unreadable NumPy file: "
                    "Object arrays cannot be loaded when allow_pickle=False"),
    "npz-length-mismatch": ("v.npz", {"x": X4, "y": np.zeros(3)}, [],
                            "x has 4 rows but y has 3 labels"),
    "npz-label-with-xy": ("k.npz", {"x": X4, "y": np.zeros(4)}, ["--label", "0"],
                          "--label does not apply: the labels are the separate array 'y'"),
    "npz-unknown-arrays": ("j.npz", {"a": X4, "b": X4}, [], "expected arrays 'x' and 'y', or a "
                           "single 2-D array; found 'a', 'b'"),
    "test-size-leaves-nothing": ("t.csv", "a,b\n1,0\n2,1\n", ["--test-size", "0.6"],
                                 "--test-size 0.6 leaves no rows to train on"),
}
BAD_USAGE = [  # (command line, the message, which points to the command's --help)
    (["--trees", "many"], "argument --trees: expected a whole number from 1 to 4294967295, "
                          "got 'many'"),
    *((args, "argument --trees: expected a whole number from 1 to 4294967295, got '0'")
      for args in (["--trees", "0"], ["--trees", "0", "--report", "full"],
                   ["train", "d.csv", "--trees", "0", "--save", "m"])),
    (["--max-depth", "4294967296"], "argument --max-depth: expected a whole number from 0 to "
                                    "4294967295, got '4294967296'"),
    (["--tree", "--trees", "5"], "--trees applies to a forest, not to --tree"),
    (["--stratify"], "--stratify needs --shuffle SEED: the rows are shuffled within classes"),
    (["--test-size", "1"], "argument --test-size: expected a fraction from 0 up to 1, got '1'"),
    (["--delimiter", "ab"], "argument --delimiter: expected one character (or tab, comma, "
                            "semicolon, pipe, space), got 'ab'"),
    (["train", "d.csv"], "the following arguments are required: --save"),
    (["--task", "regression", "--criterion", "gini"], "--criterion gini does not fit --task "
     "regression: take one of squared_error, friedman_mse, absolute_error, poisson"),
    (["--task", "regression", "--class-weight", "balanced"], "--class-weight applies to "
     "classification, not to --task regression"),
]


@pytest.mark.parametrize("name, content, args, message", [*BAD_INPUTS.values(), *(
    (None, None, args, f"{message} (lindorf{' train' * (args[0] == 'train')} --help explains "
     "every option)") for args, message in BAD_USAGE)], ids=[*BAD_INPUTS, *map(str, BAD_USAGE)])
def test_bad_input_or_usage_is_one_line(tmp_path, name, content, args, message):
    """Exit status 2 and one line on standard error, naming the file if there is one."""
    path = tmp_path / str(name)
    if content is DIRECTORY:
        path.mkdir()
    elif content is not MISSING and content is not None:
        write(path, content)
    result = run_cli(*[path][:bool(name)], *args, cwd=tmp_path)
    expected = f"lindorf: {path}: {message}\n" if name else f"lindorf: {message}\n"
    assert (result.returncode, result.stdout, result.stderr) == (2, "", expected)


# ---------------------------------------------------------------------------------------------
# Models: seeds, train, predict, info


def noisy(rows=300, seed=5):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, 4)).astype(np.float32)
    return x, (x[:, 0] + rng.normal(size=rows) > 0).astype(np.uint32)


def test_a_seed_keys_the_forest_and_no_seed_draws_fresh_randomness(tmp_path):
    path = write(tmp_path / "d.npz", dict(zip("xy", noisy())))

    def probabilities(*seed):
        model = tmp_path / f"{len(os.listdir(tmp_path))}.model"
        trained = run_cli("train", path, "--trees", 5, "--save", model, *seed, cwd=tmp_path)
        assert trained.returncode == 0, trained.stderr
        return run_cli("predict", model, path, "--proba", cwd=tmp_path).stdout

    assert probabilities("--seed", 1) == probabilities("--seed", 1) != probabilities("--seed", 2)
    assert probabilities() != probabilities()  # the operating system's randomness


def iris_csv(path, columns=("sl", "sw", "pl", "pw"), label=True):
    x, y, names = iris()
    table = {"sl": x[:, 0], "sw": x[:, 1], "pl": x[:, 2], "pw": x[:, 3]}
    header = [*columns, "species"] if label else list(columns)
    body = [[*(repr(float(table[c][i])) for c in columns), *([names[y[i]]] if label else [])]
            for i in range(len(y))]
    return write(path, [header, *body])


WITHOUT_SKLEARN = ("import sys\nfor name in ('sklearn', 'scipy', 'joblib'):\n"
                   "    sys.modules[name] = None  # as if not installed\n"
                   "from lindorf.cli import main\nmain()")


def run_with_and_without_scikit_learn(*args, cwd):
    """The command's status, output and messages, which must be the same, as are the model files
    it saves, when scikit-learn is not installed."""
    runs, saved = [], Path(cwd, args[args.index("--save") + 1]) if "--save" in args else None
    for command in (["-m", "lindorf"], ["-c", WITHOUT_SKLEARN]):
        done = subprocess.run([sys.executable, *command, *map(str, args)], cwd=cwd,
                              capture_output=True, text=True, timeout=600)
        runs.append((done.returncode, done.stdout, done.stderr, saved and saved.read_bytes()))
        if saved:
            saved.unlink()
    assert runs[0] == runs[1]
    if saved:
        saved.write_bytes(runs[0][3])
    return runs[0][:3]


def test_train_predict_info_export_match_the_estimators_and_scikit_learn_and_need_neither(tmp_path):
    from sklearn import datasets, metrics

    from lindorf import (DecisionTreeClassifier, DecisionTreeRegressor, ExtraTreeClassifier,
                         RandomForestClassifier, RandomForestRegressor, estimators)
    from lindorf.tree import export_graphviz, export_text
    from test_estimators import native_bytes

    rx, ry = datasets.make_friedman1(200, noise=0.5, random_state=0)
    rx = rx.astype(np.float32)
    targets = write(tmp_path / "f.csv", [[*(f"f{j}" for j in range(10)), "target"], *(
        [*(repr(float(v)) for v in row), repr(float(t))] for row, t in zip(rx, ry))])
    x, y, names = iris()
    labels = np.array(names)[y]
    tree = DecisionTreeClassifier(max_depth=1).fit(x[:105], labels[:105])
    # A forest the estimators save is a model the command reads; it knows no feature names.
    forest = RandomForestClassifier(7, max_depth=2, random_state=1).fit(x[:105], labels[:105])
    forest.save(tmp_path / "forest.model")
    data = iris_csv(tmp_path / "iris.csv")
    # The rows to predict name every feature at another position and have no label column.
    rows = iris_csv(tmp_path / "new.csv", ("sw", "pl", "pw", "sl"), label=False)
    runs = {name: run_with_and_without_scikit_learn(*args, cwd=tmp_path) for name, args in {
        "help": ["--help"],
        "absent": ["absent.csv"],
        # Depth 1 tells only two classes apart: the third is never predicted (precision 0 / 0).
        "tree": ["train", data, "--tree", "--max-depth", 1, "--test-size", 0.3, "--report", "full",
                 "--save", "tree.model"],
        "predict": ["predict", "tree.model", rows, "--proba"],
        "info": ["info", "tree.model"],
        "forest": ["train", data, "--trees", 5, "--seed", 2, "--shuffle", 1, "--save", "f.model"],
        "by-position": ["predict", "forest.model", data, "--label", "species"],
        "forest-info": ["info", "forest.model"],
        "export": ["export", "tree.model"],
        "export-dot": ["export", "forest.model", "--tree", 1, "--format", "dot", "--max-depth", 1],
        "extra": ["train", data, "--tree", "--extra-trees", "--max-features", 2, "--criterion",
                  "gini", "--min-samples-leaf", 2, "--max-leaf-nodes", 6, "--class-weight",
                  "balanced", "--seed", 4, "--save", "extra.model"],
        "version": ["--version"],
        "regression-tree": ["train", targets, "--task", "regression", "--tree", "--max-depth", 4,
                            "--criterion", "absolute_error", "--save", "t.model"],
        "regression-forest": [targets, "--task", "regression", "--trees", 10, "--seed", 3],
        "regression-predict": ["predict", "t.model", targets, "--label", "target"],
        "regression-info": ["info", "t.model"],
        "regression-export": ["export", "t.model"],
    }.items()}
    assert {name: status for name, (status, _, _) in runs.items()} == {
        name: 2 if name == "absent" else 0 for name in runs}, runs

    for word in ["DATA", "--label", "--delimiter", "--tree", "--forest", "--trees", "--max-depth",
                 "--seed", "--shuffle", "--stratify", "--test-size", "--report", "lindorf train",
                 "lindorf predict", "lindorf info", "lindorf export", "examples:", "--max-features",
                 "--criterion", "--min-samples-leaf", "--max-leaf-nodes", "--class-weight",
                 "--extra-trees", "--version", "how the trees grow:", "what to train:"]:
        assert word in runs["help"][1]
    assert runs["version"][1] == f"lindorf 0.1.0 (model format {format_version})\n"
    extra = ExtraTreeClassifier(max_features=2, criterion="gini", min_samples_leaf=2,
                                min_samples_split=3, max_leaf_nodes=6, class_weight="balanced",
                                random_state=4).fit(x[:135], labels[:135])
    assert native_bytes(estimators.load(tmp_path / "extra.model")) == native_bytes(extra)
    script = Path(sys.executable).with_name("lindorf")  # the installed console script
    if script.exists():
        assert subprocess.run([script, "--help"], capture_output=True, text=True,
                              cwd=tmp_path).stdout == runs["help"][1]

    # The command saved the estimator's tree, which predicts what the command predicts.
    saved = estimators.load(tmp_path / "tree.model")
    assert type(saved) is DecisionTreeClassifier and saved.get_params() == tree.get_params()
    assert native_bytes(saved) == native_bytes(tree)
    assert saved.feature_names_in_.tolist() == ["sl", "sw", "pl", "pw"]
    predicted = list(csv.reader(io.StringIO(runs["predict"][1])))
    assert predicted[0] == ["label", *(f"proba_{name}" for name in names)]
    assert [[row[0], *map(float, row[1:])] for row in predicted[1:]] == \
        [[label, *shares] for label, shares in zip(tree.predict(x), tree.predict_proba(x).tolist())]
    assert runs["by-position"][1].split("\n") == ["label", *forest.predict(x), ""]

    # The full report on the 45 test rows is scikit-learn's.
    actual, guessed = labels[105:], tree.predict(x[105:])
    assert len(set(guessed)) == 2
    expected = metrics.classification_report(actual, guessed, output_dict=True, zero_division=0)
    table, matrix_text = runs["tree"][1].split("Confusion matrix")
    figures = {line[:12].strip(): line[12:].split() for line in table.splitlines()}
    for name in [*names, "macro avg", "weighted avg"]:
        row = [expected[name][k] for k in ("precision", "recall", "f1-score", "support")]
        assert figures[name] == [f"{v:.4f}" for v in row[:3]] + [str(int(row[3]))]
    assert figures["accuracy"] == [f"{expected['accuracy']:.4f}", str(len(actual))]
    matrix = metrics.confusion_matrix(actual, guessed, labels=names)
    printed = matrix_text.split("predicted class):\n")[1].splitlines()
    assert printed[0].split() == names
    assert [line.split() for line in printed[1:]] == [[n, *map(str, r)] for n, r in
                                                      zip(names, matrix)]

    info = runs["info"][1].splitlines()
    assert info[0] == "kind: decision tree (DecisionTreeClassifier)"
    assert f"classes: 3: {', '.join(names)}" in info and "depth: 1" in info
    assert sorted(line.split()[0] for line in info[-4:]) == ["pl", "pw", "sl", "sw"]
    importances = [float(line.split()[1]) for line in info[-4:]]
    assert importances == sorted(importances, reverse=True) and abs(sum(importances) - 1) < 1e-3
    # export prints the trees as lindorf.tree's functions print them.
    assert runs["export"][1] == export_text(saved, max_depth=saved.get_depth())
    assert runs["export-dot"][1] == export_graphviz(forest.estimators_[1], max_depth=1).replace(
        "digraph Tree {", "digraph Tree1 {")
    forest_info = runs["forest-info"][1].splitlines()
    assert forest_info[0] == "kind: random forest (RandomForestClassifier)"
    assert "trees: 7" in forest_info and "random_state=1" in forest_info[1]

    # Regression: the estimators' trees, and scikit-learn's figures on the 20 test rows.
    tree = DecisionTreeRegressor(max_depth=4, criterion="absolute_error").fit(rx[:180], ry[:180])
    forest = RandomForestRegressor(10, random_state=3).fit(rx[:180], ry[:180])
    saved = estimators.load(tmp_path / "t.model")
    assert native_bytes(saved) == native_bytes(tree)
    for name, model in (("regression-tree", tree), ("regression-forest", forest)):
        guessed, actual = model.predict(rx[180:]), ry[180:]
        figures = [metrics.r2_score(actual, guessed), metrics.mean_absolute_error(actual, guessed),
                   metrics.root_mean_squared_error(actual, guessed)]
        report = runs[name][1].split("Regression Report:\n")[1].splitlines()
        assert [line.split()[-1] for line in report] == [f"{v:.6g}" for v in figures]
    assert runs["regression-tree"][1].startswith(shape_lines(200, 10, 200) + "Tree depth: 4\n")
    assert runs["regression-predict"][1].split("\n") == ["value", *map(repr, tree.predict(rx)
                                                                      .tolist()), ""]
    info = runs["regression-info"][1].splitlines()
    assert info[0] == "kind: regression tree (DecisionTreeRegressor)" and "targets: 1" in info
    assert runs["regression-export"][1] == export_text(saved, max_depth=saved.get_depth())


MODEL_FAULTS = {  # name: (what becomes of the saved bytes, fragment of the one line)
    "truncated": (lambda data: data[:len(data) // 2], "cut short or altered"),
    "newer-version": (lambda data: data[:8] + bytes([data[8] + 1]) + data[9:],
                      f"format version {format_version + 1}, newer than version {format_version}"),
    "csv-file": (lambda data: b"a,b\n1,0\n", "not a lindorf model"),
}


def redescribed(change):
    """Damage that alters the model's description and seals the model again."""
    def damage(data):
        at, start = metadata_at(data)
        record = json.loads(data[start:start + int.from_bytes(data[at:start], "little")])
        change(record)
        return with_metadata(data, json.dumps(record).encode())
    return damage


DESCRIPTION_DAMAGED = "the model's description of the estimator is missing or damaged"
MODEL_FAULTS.update({
    "class-beyond-its-type": (redescribed(lambda r: r["classes"].update(values=[2**70, 1])),
                              DESCRIPTION_DAMAGED),
    "infinite-class": (redescribed(lambda r: r["classes"].update(values=[float("inf"), 1])),
                       DESCRIPTION_DAMAGED),
    "unparsable-dtype": (redescribed(lambda r: r["classes"].update(dtype="(2,")),
                         DESCRIPTION_DAMAGED),
    "parameters-a-list": (redescribed(lambda r: r.update(params=list(r["params"]))),
                          DESCRIPTION_DAMAGED),
    "deeply-nested": (lambda data: with_metadata(data, b"[" * 100_000 + b"]" * 100_000),
                      DESCRIPTION_DAMAGED),
})


@pytest.fixture(scope="module")
def saved_forest(tmp_path_factory):
    path = tmp_path_factory.mktemp("model") / "good.model"
    assert run_cli("train", "-", "--trees", 2, "--save", path, cwd=path.parent,
                   input=csv_text(X, Y)).returncode == 0
    return path.read_bytes()


@pytest.mark.parametrize("damage, fragment", MODEL_FAULTS.values(), ids=MODEL_FAULTS)
def test_a_damaged_model_file_is_one_line(tmp_path, saved_forest, damage, fragment):
    bad = tmp_path / "bad.model"
    bad.write_bytes(damage(saved_forest))
    for args in (["info", bad], ["predict", bad, "-"]):
        result = run_cli(*args, cwd=tmp_path, input=csv_text(X, Y))
        assert (result.returncode, result.stdout) == (2, "")
        assert result.stderr.startswith(f"lindorf: {bad}: ") and fragment in result.stderr
        assert result.stderr.count("\n") == 1


def limit_memory(size=2 << 30):
    def limit():
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (size, size))
    return limit


def test_models_from_pipes_and_devices_cost_no_more_than_the_model(tmp_path, saved_forest):
    for args in (["info", "/dev/zero"], ["predict", "/dev/zero", "-"]):
        result = run_cli(*args, cwd=tmp_path, input=csv_text(X, Y), preexec_fn=limit_memory(),
                         timeout=60)
        assert (result.returncode, result.stdout, result.stderr) == (
            2, "", "lindorf: /dev/zero: not a lindorf model: the bytes do not start with its "
            "mark\n")
    # From a pipe the model is read as far as it goes, not to the end of what the pipe holds.
    described = run_cli("info", write(tmp_path / "m", saved_forest), cwd=tmp_path)
    piped = run_cli("info", "/dev/stdin", cwd=tmp_path, input=saved_forest + b"more bytes",
                    text=False)
    assert (piped.returncode, piped.stdout.decode()) == (0, described.stdout)


def test_info_costs_what_the_splits_do_not_what_the_feature_count_says(tmp_path):
    from lindorf import RandomForestClassifier

    saved = RandomForestClassifier(3, random_state=0).fit(X, Y).to_bytes()
    claimed = resealed(saved[:12] + (2**32 - 1).to_bytes(4, "little") + saved[16:-8])
    result = run_cli("info", write(tmp_path / "m", claimed), cwd=tmp_path,
                     preexec_fn=limit_memory(), timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "features: 4294967295" in lines
    assert lines.index("most important features (of 4294967295):") == len(lines) - 11
    top = [line.strip().rsplit(None, 1) for line in lines[-10:]]
    expected = RandomForestClassifier(3, random_state=0).fit(X, Y).feature_importances_
    assert [(name, float(value)) for name, value in top[:3]] == [
        (f"column {i}", round(expected[i], 4)) for i in np.argsort(-expected, kind="stable")]
    assert [name for name, _ in top[3:]] == [f"column {i}" for i in range(3, 10)]


def test_an_unwritable_model_path_is_refused_before_training(tmp_path):
    data = write(tmp_path / "d.csv", csv_text(X, Y))
    for save, reason in ((tmp_path / "absent" / "m", "No such file or directory"),
                         (tmp_path, "Is a directory")):
        result = run_cli("train", data, "--save", save, cwd=tmp_path)
        assert (result.returncode, result.stdout, result.stderr) == (
            2, "", f"lindorf: {save}: cannot write the model: {reason}\n")


# ---------------------------------------------------------------------------------------------
# Signals, memory and standard output: never a traceback


def long_jobs(tmp_path):
    x, y = noisy(20_000, 9)
    data = write(tmp_path / "big.npz", {"x": x, "y": y})
    model = tmp_path / "forest.model"
    assert run_cli("train", data, "--trees", 60, "--seed", 0, "--save", model,
                   cwd=tmp_path).returncode == 0
    rows = write(tmp_path / "rows.npy", np.tile(x, (60, 1)))
    return {"run": [data, "--trees", 100_000], "train": ["train", data, "--trees", 100_000,
                                                         "--save", tmp_path / "never.model"],
            "predict": ["predict", model, rows]}


def test_ctrl_c_stops_every_command_at_once(tmp_path):
    for name, args in long_jobs(tmp_path).items():
        child = subprocess.Popen([sys.executable, "-m", "lindorf", *map(str, args)], cwd=tmp_path,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                 preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        try:
            child.stdout.readline()  # the first line comes out as the work starts
            time.sleep(0.3)
            child.send_signal(signal.SIGINT)
            # At once, within a bound that no load reaches: without the signal, hours.
            _, stderr = child.communicate(timeout=20)
        finally:
            child.kill()
        assert (child.returncode, stderr.splitlines()[-1:]) == (130, ["lindorf: interrupted"]), name
        assert "Traceback" not in stderr


def closed_stdout():
    os.close(1)


@pytest.mark.parametrize("target, status, stderr", [
    ("closed", 0, ""),
    ("reader-gone", 0, ""),
    ("/dev/full", 1, "lindorf: cannot write to standard output: No space left on device\n"),
])
def test_standard_output_that_cannot_take_the_report(tmp_path, target, status, stderr):
    command = [sys.executable, "-m", "lindorf", "--trees", "20"]
    if target == "closed":
        result = subprocess.run(command, preexec_fn=closed_stdout, stderr=subprocess.PIPE)
    elif target == "reader-gone":  # as `lindorf | head -1`
        result = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        result.stdout.readline()
        result.stdout.close()
        result.stderr = result.stderr.read()
        result.wait()
    else:
        with open(target, "w") as full:
            result = subprocess.run(command, stdout=full, stderr=subprocess.PIPE)
    assert (result.returncode, result.stderr.decode()) == (status, stderr)


def test_running_out_of_memory_is_one_line(tmp_path):
    result = run_cli("--trees", 4294967295, cwd=tmp_path, preexec_fn=limit_memory(4 << 30))
    assert (result.returncode, result.stderr) == (1, "lindorf: out of memory\n")
