"""Reading a data set from a file into the arrays the learner trains on.

A data set is a float32 feature matrix and a uint32 label vector of the same length (or, for
regression, a float64 vector of finite targets). Files are CSV with a header row (plain or compressed), or NumPy .npy / .npz. Anything that cannot be
trained on raises `DataError` with a one-line message saying what is wrong; the caller adds the
file name. What the reader noticed but could cope with comes back as notes for standard error.
"""

import importlib.resources
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np

from lindorf.cli import csvread
from lindorf.cli.errors import CellError, DataError, one_line
from lindorf.cli.sources import Source, open_source

MAX_UINT32 = 2**32 - 1
BUILTIN_NAME = "breast_cancer.csv (built in)"
INDEX_NAMES = ("", "Unnamed: 0")  # how pandas' to_csv heads the index it writes


@dataclass
class Dataset:
    x: np.ndarray  # float32, rows by features, C order
    y: np.ndarray  # uint32, one label per row; float64 targets when read for regression
    classes: list[str] | None  # the class name of each label value, when the file named them
    label_name: str  # how the label column is called in messages
    feature_names: list[str] | None = None  # a CSV header's names for the columns of x
    notes: list[str] = field(default_factory=list)  # what the reader noticed, for the user


def load_builtin(label: str | None = None, regression: bool = False) -> Dataset:
    """The Wisconsin diagnostic breast-cancer data shipped in the package (label 1 = malignant)."""
    path = importlib.resources.files("lindorf") / "data" / "breast_cancer.csv"
    return csv_dataset(Source(str(path), "csv"), label, ",", regression=regression)


@dataclass(frozen=True)
class Layout:
    """How a CSV file is laid out, as the options say: whether its first line is a header (None:
    it is, with a note when it holds only numbers), and whether its first column is an index."""

    header: bool | None = None
    drop_index: bool = False


def load_file(name: str, label: str | None, delimiter: str | None, spool_dir: str,
              layout: Layout = Layout(), regression: bool = False) -> Dataset:
    """Reads the file `name` ("-": standard input) as CSV or NumPy data; with `regression`,
    the label column holds the numbers to predict."""
    source = open_source(name, spool_dir)
    if source.kind == "csv":
        return csv_dataset(source, label, delimiter, layout, regression)
    check_array_layout(layout)
    return numpy_dataset(source, label, regression)


def check_array_layout(layout: Layout) -> None:
    if layout.drop_index or layout.header is not None:
        option = "--drop-index" if layout.drop_index else "--header/--no-header"
        raise DataError(f"{option} applies to CSV files, and this is a NumPy file")


# ---------------------------------------------------------------------------------------------
# CSV


def csv_dataset(source: Source, label: str | None, delimiter: str | None,
                layout: Layout = Layout(), regression: bool = False) -> Dataset:
    header = read_csv_header(source, delimiter, layout)
    names = header.names
    label_col = resolve_label_column(label, names, len(names))
    if layout.drop_index and label_col == 0:
        raise DataError("--drop-index leaves out the first column, but it holds the labels")
    if len(names) < 2:
        raise DataError("no feature columns besides the label: the header has one column "
                        "(give --delimiter if the fields are separated by another character)")
    try:
        columns = csvread.read_columns(source, header, label_col)
    except CellError as exc:
        if label is None:
            raise DataError(f"{exc}; if '{exc.column}' holds the labels, give --label "
                            f"{exc.column}") from None
        raise
    feature_names = [name for col, name in enumerate(names) if col != label_col]
    check_shape(len(columns.x), len(feature_names))

    def where(row: int) -> str:
        return f"line {csvread.line_of_record(source, header, row)}, column '{names[label_col]}'"

    try:
        y, classes = (csv_targets(columns, where), None) if regression else \
            csv_labels(columns, where)
    except LabelError as exc:
        if label is not None:
            raise
        raise with_label_hint(exc, columns.x, feature_names) from None
    data = Dataset(columns.x, y, classes, names[label_col],
                   feature_names if header.given else None)
    data.notes += header_notes(header, layout, label_col, classes)
    if label_col != 0:
        drop_index_column(data, layout.drop_index)
    return data


def read_csv_header(source: Source, delimiter: str | None, layout: Layout) -> csvread.Header:
    """The header, or the column numbers without one; refuses names that repeat, which would
    match a model's features to the wrong columns."""
    header = csvread.read_header(source, delimiter, layout.header is not False)
    repeated = [name for name, count in Counter(header.names).items() if count > 1]
    if repeated:
        shown = ", ".join(f"'{name}'" for name in repeated[:5])
        hint = (f" (line {header.line} holds only numbers: give --no-header if it is a data row)"
                if header_notes(header, layout) else "")
        raise DataError(f"the header names {'columns' if len(repeated) > 1 else 'a column'} "
                        f"{shown}{', ...' if len(repeated) > 5 else ''} more than once; give "
                        f"every column its own name{hint}")
    return header


def header_notes(header: csvread.Header, layout: Layout, label_col: int | None = None,
                 classes: list[str] | None = None) -> list[str]:
    """A note when a header row was not asked for and looks like a data row: every feature
    column's name is a number, and the label column's is a number or one of the class names."""
    if layout.header is not None:
        return []
    names = header.names
    if not all(csvread.is_number(name) for col, name in enumerate(names) if col != label_col):
        return []
    if label_col is not None and not (csvread.is_number(names[label_col])
                                      or names[label_col] in (classes or ())):
        return []
    return [f"line {header.line} looks like a data row, yet it is read as the header row of "
            "column names: give --no-header if it is data (--header takes it as the header "
            "without this note)"]


def csv_labels(columns: csvread.Columns, where: Callable[[int], str]):
    """Numeric labels when every label cell is a number; otherwise each distinct text is a class
    name, numbered in sorted order. Returns the labels and the class names (or None)."""
    if columns.numbers is not None:
        numbers = columns.numbers
        missing = np.flatnonzero(np.isnan(numbers))
        if missing.size:
            raise DataError(f"{where(int(missing[0]))}: the label is missing")
        return check_labels(numbers, where), None
    texts, codes = columns.texts, columns.codes
    for code, text in enumerate(texts):
        if csvread.is_missing(text):
            raise DataError(f"{where(int(np.flatnonzero(codes == code)[0]))}: the label is missing")
    if all(csvread.is_number(text) for text in texts):
        # Numbers in some other spelling than the compiled reader's, such as "1_000".
        numbers = np.array([float(text) for text in texts], dtype=np.float64)[codes]
        return check_labels(numbers, where, lambda i: texts[codes[i]]), None
    classes = sorted(texts)
    rank = np.empty(len(texts), dtype=np.uint32)
    rank[[texts.index(name) for name in classes]] = np.arange(len(classes), dtype=np.uint32)
    return rank[codes], classes


def csv_targets(columns: csvread.Columns, where: Callable[[int], str]) -> np.ndarray:
    """The label column's numbers as regression targets; text in it is refused."""
    if columns.numbers is not None:
        return check_targets(columns.numbers, where)
    texts, codes = columns.texts, columns.codes
    for code, text in enumerate(texts):
        if not csvread.is_number(text) and not csvread.is_missing(text):
            row = int(np.flatnonzero(codes == code)[0])
            raise LabelError(f"{where(row)}: the target {text!r} is not a number; --task "
                             "regression predicts numbers", looks_like_a_feature=False)
    numbers = np.array([float(text) if csvread.is_number(text) else np.nan for text in texts],
                       dtype=np.float64)[codes]
    return check_targets(numbers, where)


def drop_index_column(data: Dataset, drop: bool) -> None:
    """Drops the first column when `drop` says so, or when it is unnamed and numbers the rows
    0, 1, 2, ..., as the index pandas writes with `to_csv()` does: it says nothing about the
    rows. Another unnamed first column (the index of a shuffled frame, say) could be either, and
    is kept, with a note."""
    if data.x.shape[1] < 2:
        if drop:
            raise DataError("--drop-index leaves out the first column, but it is the only "
                            "feature")
        return
    unnamed = data.feature_names is not None and data.feature_names[0] in INDEX_NAMES
    if not drop and not unnamed:
        return
    numbering = np.array_equal(data.x[:, 0], np.arange(len(data.x), dtype=np.float32))
    if unnamed and not drop and not numbering:
        data.notes.append("the unnamed first column does not number the rows 0, 1, 2, ..., so "
                          "it is kept as a feature; if it is an index (as pandas writes one), "
                          "--drop-index leaves it out")
        return
    data.x = np.ascontiguousarray(data.x[:, 1:])
    if data.feature_names is not None:
        data.feature_names = data.feature_names[1:]
    if not drop:
        data.notes.append("the unnamed first column numbers the rows 0, 1, 2, ...: it is read "
                          "as an index, not a feature, and dropped")


# ---------------------------------------------------------------------------------------------
# NumPy


def numpy_dataset(source: Source, label: str | None, regression: bool = False) -> Dataset:
    try:
        with source.open_binary() as stream:
            loaded = np.load(stream, allow_pickle=False)
            if isinstance(loaded, np.ndarray):
                return array_dataset(loaded, label, regression)
            with loaded:
                return archive_dataset(loaded, label, regression)
    except (DataError, MemoryError):
        raise
    except Exception as exc:  # NumPy and zipfile raise many kinds for a damaged file.
        raise DataError(f"unreadable NumPy file: {one_line(exc)}") from None


def archive_arrays(archive) -> list[str]:
    """The names of an .npz file's arrays; other members of the zip archive are no arrays."""
    return [name[:-4] for name in archive.zip.namelist() if name.endswith(".npy")]


def archive_dataset(archive, label: str | None, regression: bool = False) -> Dataset:
    """An .npz holds either features `x` and labels `y`, or one table with the labels in it."""
    names = archive_arrays(archive)
    if "x" in names and "y" in names:
        if label is not None:
            raise DataError("--label does not apply: the labels are the separate array 'y'")
        return xy_dataset(archive["x"], archive["y"], regression)
    if len(names) == 1:
        return array_dataset(archive[names[0]], label, regression)
    found = ", ".join(f"'{name}'" for name in names) or "no arrays"
    raise DataError(f"expected arrays 'x' and 'y', or a single 2-D array; found {found}")


def xy_dataset(x: np.ndarray, y: np.ndarray, regression: bool = False) -> Dataset:
    check_numeric(x, "x")
    check_numeric(y, "y")
    if x.ndim != 2:
        raise DataError(f"x must be a 2-D array (rows by features), got shape {x.shape}")
    if y.ndim != 1:
        raise DataError(f"y must be a 1-D array of labels, got shape {y.shape}")
    if len(y) != len(x):
        raise DataError(f"x has {len(x)} rows but y has {len(y)} labels")
    check_shape(x.shape[0], x.shape[1])
    where = lambda i: f"y[{i}]"  # noqa: E731
    labels = check_targets(y, where) if regression else check_labels(y, where)
    return Dataset(to_float32(x), labels, None, "y")


def array_dataset(table: np.ndarray, label: str | None, regression: bool = False) -> Dataset:
    check_numeric(table, "the array")
    if table.ndim != 2:
        raise DataError(f"expected a 2-D array (rows by columns), got shape {table.shape}")
    col = resolve_label_column(label, None, table.shape[1])
    check_shape(table.shape[0], table.shape[1] - 1)
    column = table[:, col]
    x = to_float32(np.delete(table, col, axis=1))
    where = lambda i: f"row {i}, column {col}"  # noqa: E731
    try:
        y = check_targets(column, where) if regression else check_labels(column, where)
    except LabelError as exc:
        if label is not None:
            raise
        raise with_label_hint(exc, x, [str(c) for c in range(x.shape[1])]) from None
    return Dataset(x, y, None, f"column {col}")


def check_numeric(array: np.ndarray, what: str) -> None:
    kind = array.dtype.kind
    if kind not in "biuf":
        raise DataError(f"{what} has elements of type {array.dtype}; expected numbers")


# ---------------------------------------------------------------------------------------------
# Shared checks


def resolve_label_column(label: str | None, header: list[str] | None, ncols: int) -> int:
    """A column name from the header wins over an index; an index may count from the end."""
    if label is None:
        return ncols - 1
    if header is not None and label in header:
        return header.index(label)
    try:
        index = int(label)
    except ValueError:
        if header is None:
            raise DataError(
                f"label column '{label}' not found: an array has no column names, "
                "give a column index"
            ) from None
        columns = name_list(header)
        raise DataError(f"label column '{label}' not found; columns are {columns}") from None
    if not -ncols <= index < ncols:
        raise DataError(
            f"label column {index} not found: there are {ncols} columns (0 to {ncols - 1})"
        )
    return index % ncols


def name_list(header: list[str], limit: int = 12) -> str:
    shown = ", ".join(header[:limit])
    return shown + (f", ... ({len(header)} in all)" if len(header) > limit else "")


def check_shape(nrows: int, nfeatures: int) -> None:
    # The last tenth of the rows is the test set, so a single row leaves nothing to train on.
    if nrows < 2:
        rows = "1 data row" if nrows == 1 else f"{nrows} data rows"
        raise DataError(f"only {rows}; at least 2 are needed, one to train on and one to test")
    if nfeatures < 1:
        raise DataError("no feature columns besides the label")


def check_labels(
    values: np.ndarray, where: Callable[[int], str], shown: Callable[[int], str] | None = None
) -> np.ndarray:
    """Labels as uint32, after checking each one is a whole number in 0..4294967295."""
    if values.dtype.kind == "b":
        return values.astype(np.uint32)
    if values.dtype.kind == "f":
        # In float64, where 4294967295 and 4294967296 differ (in float32 they are one number).
        values = values.astype(np.float64)
    with np.errstate(invalid="ignore"):
        problems = [
            (values < 0, "is negative"),
            (values > MAX_UINT32, f"is larger than {MAX_UINT32}"),
        ]
        if values.dtype.kind == "f":
            problems[:0] = [(~np.isfinite(values), "is not a finite number"),
                            (values != np.floor(values), "is not a whole number")]
    for mask, what in problems:
        bad = np.flatnonzero(mask)
        if bad.size:
            i = int(bad[0])
            if shown is not None:
                text = shown(i)
            elif values.dtype.kind == "f":
                text = np.format_float_positional(values[i], trim="-")
            else:
                text = str(values[i])
            hint = ("; to predict numbers rather than classes, give --task regression"
                    if what == "is not a whole number" else "")
            raise LabelError(
                f"{where(i)}: label {text} {what}; labels must be non-negative integers{hint}",
                looks_like_a_feature=not what.startswith("is larger"))
    return values.astype(np.uint32)


def check_targets(values: np.ndarray, where: Callable[[int], str]) -> np.ndarray:
    """Regression targets as float64, after checking each one is a finite number."""
    values = np.asarray(values, dtype=np.float64)
    bad = np.flatnonzero(~np.isfinite(values))
    if bad.size:
        i = int(bad[0])
        what = "is missing" if np.isnan(values[i]) else "is not a finite number"
        raise LabelError(f"{where(i)}: the target {what}; --task regression predicts finite "
                         "numbers", looks_like_a_feature=False)
    return values


class LabelError(DataError):
    """A label value that is no class label; `looks_like_a_feature` when the value is one a
    feature column would hold (a fraction, a negative number) rather than a bad label."""

    def __init__(self, message: str, looks_like_a_feature: bool):
        super().__init__(message)
        self.looks_like_a_feature = looks_like_a_feature


def with_label_hint(error: LabelError, x: np.ndarray, names: list[str]) -> DataError:
    """Used when the label column was taken by default: a fraction or a negative number there
    most often means the labels are in another column, so the message says so and names a
    column that looks like labels."""
    if not error.looks_like_a_feature:
        return error
    hint = "the labels come from the last column unless --label names another"
    for col, name in enumerate(names):
        values = x[:, col]
        if (np.all(values >= 0) and np.all(values == np.floor(values))
                and len(np.unique(values)) <= 20):
            hint += f" (such as --label {name})"
            break
    return DataError(f"{error}; {hint}")


def to_float32(values: np.ndarray) -> np.ndarray:
    # Values beyond float32's range become infinities, which the learner orders like any value.
    with np.errstate(over="ignore"):
        return np.ascontiguousarray(values, dtype=np.float32)


# ---------------------------------------------------------------------------------------------
# Rows to predict


def load_features(name: str, feature_names: list[str] | None, n_features: int,
                  label: str | None, delimiter: str | None, spool_dir: str,
                  layout: Layout = Layout()) -> tuple[np.ndarray, list[str]]:
    """The rows of the file `name` as a float32 matrix whose columns are a model's features,
    and notes for the user: found by name when the model names them and the file has a header
    (which must then hold every one), otherwise by position once a label column (given with
    `label`) and an index column (with --drop-index) are left out."""
    source = open_source(name, spool_dir)
    notes = []
    if source.kind == "csv":
        header = read_csv_header(source, delimiter, layout)
        notes = header_notes(header, layout)
        usecols = feature_columns(header.names, feature_names if header.given else None,
                                  n_features, label, layout.drop_index)
        x = csvread.read_columns(source, header, None, usecols).x
    else:
        check_array_layout(layout)
        x = numpy_features(source, n_features, label)
    if len(x) == 0:
        raise DataError("no data rows to predict")
    return x, notes


def feature_columns(names: list[str], wanted: list[str] | None, n_features: int,
                    label: str | None, drop_index: bool) -> list[int]:
    skip = {0} if drop_index else set()
    if label is not None:
        skip.add(resolve_label_column(label, names, len(names)))
    if wanted is not None:
        index = {name: col for col, name in enumerate(names) if col not in skip}
        missing = [name for name in wanted if name not in index]
        if missing:
            raise DataError(f"no column for the model's features {name_list(missing)}; the "
                            f"columns are {name_list(names)}")
        return [index[name] for name in wanted]
    columns = [col for col in range(len(names)) if col not in skip]
    if len(columns) != n_features:
        raise feature_count_error(len(columns), n_features, label)
    return columns


def feature_count_error(found: int, n_features: int, label: str | None) -> DataError:
    hint = "" if label is not None else "; give --label to leave out a label column"
    return DataError(f"{found} feature columns, but the model was trained on {n_features}{hint}")


def numpy_features(source: Source, n_features: int, label: str | None) -> np.ndarray:
    try:
        with source.open_binary() as stream:
            loaded = np.load(stream, allow_pickle=False)
            if not isinstance(loaded, np.ndarray):
                with loaded:
                    names = archive_arrays(loaded)
                    if "x" not in names and len(names) != 1:
                        found = ", ".join(f"'{n}'" for n in names) or "no arrays"
                        raise DataError(f"expected an array 'x', or a single 2-D array; "
                                        f"found {found}")
                    loaded = loaded["x" if "x" in names else names[0]]
    except (DataError, MemoryError):
        raise
    except Exception as exc:  # NumPy and zipfile raise many kinds for a damaged file.
        raise DataError(f"unreadable NumPy file: {one_line(exc)}") from None
    check_numeric(loaded, "the array")
    if loaded.ndim != 2:
        raise DataError(f"expected a 2-D array (rows by columns), got shape {loaded.shape}")
    if label is not None:
        col = resolve_label_column(label, None, loaded.shape[1])
        loaded = np.delete(loaded, col, axis=1)
    if loaded.shape[1] != n_features:
        raise feature_count_error(loaded.shape[1], n_features, label)
    return to_float32(loaded)
