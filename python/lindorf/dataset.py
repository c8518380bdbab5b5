"""Reading a data set from a file into the arrays the learner trains on.

A data set is a float32 feature matrix and a uint32 label vector of the same length. Files are
CSV with a header row, or NumPy .npy / .npz. Anything that cannot be trained on raises
`DataError` with a one-line message saying what is wrong; the caller adds the file name.
"""

import csv
import importlib.resources
import io
import math
import os
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

MAX_UINT32 = 2**32 - 1
BUILTIN_NAME = "breast_cancer.csv (built in)"
NPY_MAGIC = b"\x93NUMPY"
ZIP_MAGIC = b"PK"


class DataError(Exception):
    """The data cannot be trained on; the message says why, without naming the file."""


@dataclass(frozen=True)
class Dataset:
    x: np.ndarray  # float32, rows by features
    y: np.ndarray  # uint32, one label per row
    classes: list[str] | None  # the class name of each label value, when the file named them
    label_name: str  # how the label column is called in messages


def load_builtin(label: str | None = None) -> Dataset:
    """The Wisconsin diagnostic breast-cancer data shipped in the package (label 1 = malignant)."""
    resource = importlib.resources.files("lindorf") / "data" / "breast_cancer.csv"
    return parse_csv(resource.read_text(encoding="utf-8"), label)


def load_file(path: str, label: str | None) -> Dataset:
    """Reads `path`: .npy and .npz files as NumPy arrays, anything else as CSV."""
    suffix = os.path.splitext(path)[1].lower()
    content = read_bytes(path)
    if suffix in (".npy", ".npz"):
        return parse_numpy(content, label)
    try:
        text = content.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        byte, offset = content[exc.start], exc.start
        raise DataError(
            f"unreadable CSV: not UTF-8 text (byte 0x{byte:02x} at offset {offset})"
        ) from None
    return parse_csv(text, label)


def read_bytes(path: str) -> bytes:
    try:
        with open(path, "rb") as stream:
            return stream.read()
    except FileNotFoundError:
        raise DataError("no such file") from None
    except IsADirectoryError:
        raise DataError("is a directory, not a data file") from None
    except PermissionError:
        raise DataError("permission denied") from None
    except OSError as exc:
        raise DataError(f"cannot read: {exc.strerror or exc}") from None


# ---------------------------------------------------------------------------------------------
# CSV


def parse_csv(text: str, label: str | None) -> Dataset:
    header, rows = split_csv(text)
    label_col = resolve_label_column(label, header, len(header))
    feature_cols = [c for c in range(len(header)) if c != label_col]
    check_shape(len(rows), len(feature_cols))
    x = csv_features(rows, feature_cols, header)
    y, classes = csv_labels(rows, label_col, header[label_col])
    return Dataset(x, y, classes, header[label_col])


def split_csv(text: str) -> tuple[list[str], list[tuple[int, list[str]]]]:
    """The header's column names and the data rows, each with its line number; blank lines go."""
    reader = csv.reader(io.StringIO(text, newline=""))
    header: list[str] | None = None
    rows: list[tuple[int, list[str]]] = []
    try:
        for cells in reader:
            if not cells:
                continue
            if header is None:
                header = [name.strip() for name in cells]
            elif len(cells) != len(header):
                raise DataError(
                    f"unreadable CSV: line {reader.line_num} has {len(cells)} fields "
                    f"but the header has {len(header)}"
                )
            else:
                rows.append((reader.line_num, cells))
    except csv.Error as exc:
        raise DataError(f"unreadable CSV: line {reader.line_num}: {exc}") from None
    if header is None:
        raise DataError("unreadable CSV: the file is empty; expected a header row of column names")
    return header, rows


def csv_features(
    rows: list[tuple[int, list[str]]], feature_cols: list[int], header: list[str]
) -> np.ndarray:
    values = []
    for line, cells in rows:
        row = []
        for col in feature_cols:
            text = cells[col].strip()
            if not text:
                row.append(math.nan)
                continue
            try:
                row.append(float(text))
            except ValueError:
                raise DataError(
                    f"line {line}, column '{header[col]}': {cells[col]!r} is not a number"
                ) from None
        values.append(row)
    return to_float32(np.array(values, dtype=np.float64).reshape(len(rows), len(feature_cols)))


def csv_labels(
    rows: list[tuple[int, list[str]]], col: int, name: str
) -> tuple[np.ndarray, list[str] | None]:
    """Numeric labels as they are; any other text is a class name, numbered in sorted order."""
    texts = [cells[col].strip() for _, cells in rows]
    for (line, _), text in zip(rows, texts):
        if not text:
            raise DataError(f"line {line}, column '{name}': the label is empty")
    numbers = [parse_float(text) for text in texts]
    if all(value is not None for value in numbers):
        y = check_labels(
            np.array(numbers, dtype=np.float64),
            lambda i: f"line {rows[i][0]}, column '{name}'",
            lambda i: texts[i],
        )
        return y, None
    classes = sorted(set(texts))
    code = {text: index for index, text in enumerate(classes)}
    return np.array([code[text] for text in texts], dtype=np.uint32), classes


def parse_float(text: str) -> float | None:
    try:
        return float(text)
    except ValueError:
        return None


# ---------------------------------------------------------------------------------------------
# NumPy


def parse_numpy(content: bytes, label: str | None) -> Dataset:
    if not content.startswith((NPY_MAGIC, ZIP_MAGIC)):
        raise DataError("not a NumPy .npy or .npz file")
    try:
        loaded = np.load(io.BytesIO(content), allow_pickle=False)
        if isinstance(loaded, np.ndarray):
            return array_dataset(loaded, label)
        with loaded:
            return archive_dataset(loaded, label)
    except DataError:
        raise
    except Exception as exc:  # NumPy and zipfile raise many kinds for a damaged file.
        raise DataError(f"unreadable NumPy file: {one_line(exc)}") from None


def archive_dataset(archive, label: str | None) -> Dataset:
    """An .npz holds either features `x` and labels `y`, or one table with the labels in it."""
    names = list(archive.files)
    if "x" in names and "y" in names:
        if label is not None:
            raise DataError("--label does not apply: the labels are the separate array 'y'")
        return xy_dataset(archive["x"], archive["y"])
    if len(names) == 1:
        return array_dataset(archive[names[0]], label)
    found = ", ".join(f"'{name}'" for name in names) or "no arrays"
    raise DataError(f"expected arrays 'x' and 'y', or a single 2-D array; found {found}")


def xy_dataset(x: np.ndarray, y: np.ndarray) -> Dataset:
    check_numeric(x, "x")
    check_numeric(y, "y")
    if x.ndim != 2:
        raise DataError(f"x must be a 2-D array (rows by features), got shape {x.shape}")
    if y.ndim != 1:
        raise DataError(f"y must be a 1-D array of labels, got shape {y.shape}")
    if len(y) != len(x):
        raise DataError(f"x has {len(x)} rows but y has {len(y)} labels")
    check_shape(x.shape[0], x.shape[1])
    labels = check_labels(y, lambda i: f"y[{i}]", lambda i: str(y[i]))
    return Dataset(to_float32(x), labels, None, "y")


def array_dataset(table: np.ndarray, label: str | None) -> Dataset:
    check_numeric(table, "the array")
    if table.ndim != 2:
        raise DataError(f"expected a 2-D array (rows by columns), got shape {table.shape}")
    col = resolve_label_column(label, None, table.shape[1])
    check_shape(table.shape[0], table.shape[1] - 1)
    column = table[:, col]
    y = check_labels(column, lambda i: f"row {i}, column {col}", lambda i: str(column[i]))
    return Dataset(to_float32(np.delete(table, col, axis=1)), y, None, f"column {col}")


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
        if header.count(label) > 1:
            raise DataError(f"label column '{label}' is ambiguous: the header names it twice")
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
    values: np.ndarray, where: Callable[[int], str], shown: Callable[[int], str]
) -> np.ndarray:
    """Labels as uint32, after checking each one is a whole number in 0..4294967295."""
    if values.dtype.kind == "b":
        return values.astype(np.uint32)
    if values.dtype.kind == "f":
        problems = [
            (~np.isfinite(values), "is not a finite number"),
            (values < 0, "is negative"),
            (values != np.floor(values), "is not a whole number"),
            (values > MAX_UINT32, f"is larger than {MAX_UINT32}"),
        ]
    else:
        problems = [
            (values < 0, "is negative"),
            (values > MAX_UINT32, f"is larger than {MAX_UINT32}"),
        ]
    with np.errstate(invalid="ignore"):
        for mask, what in problems:
            bad = np.flatnonzero(mask)
            if bad.size:
                i = int(bad[0])
                raise DataError(
                    f"{where(i)}: label {shown(i)} {what}; labels must be non-negative integers"
                )
    return values.astype(np.uint32)


def to_float32(values: np.ndarray) -> np.ndarray:
    # Values beyond float32's range become infinities, which still order correctly.
    with np.errstate(over="ignore"):
        return np.ascontiguousarray(values, dtype=np.float32)


def one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__
