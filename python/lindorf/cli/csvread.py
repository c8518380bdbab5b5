"""Reading a CSV file with a header row into a float32 feature matrix and a label column.

The numbers are parsed by NumPy's compiled text reader (`np.loadtxt`) straight into a record array
of float32 feature runs around one label field, so a file is read in one pass at compiled speed
and its features are held once: no table of Python strings or float64 copy ever exists. Labels
are parsed as float64 numbers; when they are not all numbers, each label cell is handed to
Python, through a converter that numbers each distinct text as it first appears, and whether
they are numbers or class names is decided afterwards from the distinct texts alone.

Missing-value markers cost nothing on files without them: a file is first parsed as it is, and
only when that fails is it parsed again with the markers rewritten to "nan". A file that still
fails is read a third time with Python's csv module, which finds the first faulty record and its
line number: the compiled reader counts records, not lines, and its messages are not a stable
interface.
"""

import codecs
import contextlib
import csv
import itertools
import lzma
import re
import warnings
import zlib
from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np

from lindorf.cli.errors import CellError, DataError, one_line
from lindorf.cli.sources import Source

DELIMITERS = ",;\t|"
MISSING = ("", "NA", "N/A", "NaN", "nan", "null", "?")
SAMPLE_LINES = 50


@dataclass(frozen=True)
class Header:
    names: list[str]  # the header's column names; without a header row, the column numbers
    line: int  # the header's line number (without one, the line before the data); data follows
    delimiter: str
    given: bool = True  # whether the names come from a header row


@dataclass
class Columns:
    x: np.ndarray  # float32, rows by the non-label columns in file order
    numbers: np.ndarray | None = None  # float64 labels, when every label cell is a number
    codes: np.ndarray | None = None  # otherwise uint32: each row's label as a position in texts
    texts: list[str] | None = None  # the distinct label cells, stripped, by first appearance


def read_header(source: Source, delimiter: str | None, header: bool = True) -> Header:
    """The first non-blank line's column names (the column numbers when `header` is False, the
    line then being the first data row); the delimiter is detected when not given."""
    with reading(source), source.open_text() as text:
        lines = iter(text)
        number, first = 0, ""
        for number, first in enumerate(lines, 1):
            if first.strip():
                break
        else:
            raise DataError("unreadable CSV: the file is empty; expected a header row of column "
                            "names")
        sample = [line for line in itertools.islice(lines, SAMPLE_LINES) if line.strip()]
        delimiter = delimiter or detect_delimiter(first, sample)
        names = [name.strip() for name in split(first, delimiter)]
    if not header:
        return Header([str(i) for i in range(len(names))], number - 1, delimiter, False)
    return Header(names, number, delimiter)


QUOTED = re.compile(r'"[^"]*(?:"|$)')


def detect_delimiter(header: str, sample: list[str]) -> str:
    """The candidate that splits the header into the most columns, preferring one that splits
    every sampled line into as many; a comma when none splits the header at all. Columns are
    counted by the candidate's characters outside quotes, so that no line is too long for it."""

    def width(line: str, candidate: str) -> int:
        return QUOTED.sub("", line).count(candidate) + 1

    def key(candidate: str) -> tuple[bool, int]:
        columns = width(header, candidate)
        return all(width(line, candidate) == columns for line in sample), columns

    best = max(DELIMITERS, key=key)  # max keeps the first of equal keys: comma wins ties
    return best if key(best)[1] > 1 else ","


def split(line: str, delimiter: str) -> list[str]:
    return next(csv.reader([line.rstrip("\r\n")], delimiter=delimiter), [])


def read_columns(source: Source, header: Header, label_col: int | None,
                 usecols: list[int] | None = None) -> Columns:
    """Every data row: the label column, and every other column (or only the columns `usecols`,
    in that order) as float32.

    Tried in order of cost, each attempt only when the one before failed: labels as numbers;
    labels as texts; labels as texts with missing-value markers rewritten."""
    if usecols is not None:
        label_col = None
    attempts = [(None, False), (None, True)]
    if label_col is not None:
        attempts = [("number", False), ("text", False), ("text", True)]
    for label_kind, fill_missing in attempts:
        dtype, runs = record_layout(len(header.names), label_col, label_kind, usecols)
        texts: dict[str, int] = {}

        def label_code(cell: str) -> int:
            return texts.setdefault(cell.strip(), len(texts))

        converters = {label_col: label_code} if label_kind == "text" else {}
        try:
            with reading(source), source.open_text() as text, warnings.catch_warnings():
                warnings.simplefilter("ignore")  # "input contained no data": checked by the caller
                lines = data_lines(text, header, fill_missing)
                records = np.loadtxt(lines, dtype=dtype, delimiter=header.delimiter,
                                     comments=None, quotechar='"', converters=converters,
                                     usecols=usecols, ndmin=1)
        except ValueError as exc:
            failure = exc
            continue
        x = gather_features(records, runs)
        if label_col is None:
            return Columns(x)
        if label_kind == "number":
            return Columns(x, numbers=records["label"])
        return Columns(x, codes=records["label"], texts=list(texts))
    problem = diagnose(source, header, label_col, usecols)
    raise problem or DataError(f"unreadable CSV: {one_line(failure)}")


def record_layout(ncols: int, label_col: int | None, label_kind: str | None,
                  usecols: list[int] | None) -> tuple[np.dtype, list[tuple[str, int]]]:
    """A record of float32 runs around the label field; runs are (field name, width)."""
    if label_col is None:
        widths = [len(usecols) if usecols is not None else ncols]
    else:
        widths = [label_col, ncols - label_col - 1]
    runs = [(f"run{i}", width) for i, width in enumerate(widths) if width > 0]
    fields = [(name, np.float32, (width,)) for name, width in runs]
    if label_col is not None:
        label_type = np.float64 if label_kind == "number" else np.uint32
        fields.insert(1 if label_col > 0 else 0, ("label", label_type))
    return np.dtype(fields), runs


def gather_features(records: np.ndarray, runs: list[tuple[str, int]]) -> np.ndarray:
    x = np.empty((len(records), sum(width for _, width in runs)), dtype=np.float32)
    start = 0
    for name, width in runs:
        x[:, start:start + width] = records[name]
        start += width
    return x


def data_lines(text, header: Header, fill_missing: bool) -> Iterator[str]:
    for _ in range(header.line):
        next(text)
    if not fill_missing:
        return iter(text)
    pattern = missing_pattern(header.delimiter)
    return (pattern.sub("nan", line) for line in text)


def missing_pattern(delimiter: str) -> re.Pattern:
    """A cell that holds only a missing-value marker (quoted or not, padded with blanks), or
    nothing at all between delimiters; a blank line is no cell and stays blank."""
    d = re.escape(delimiter)
    pad = "[ ]*" if delimiter == "\t" else "[ \t]*"
    marker = "|".join(re.escape(m) for m in MISSING if m)
    end = rf"(?={d}|\r?\n?\Z)"
    return re.compile(
        rf'(?:(?<={d})|^){pad}(?:"(?:{marker}|)"|{marker}){pad}{end}'
        rf"|(?<={d}){pad}{end}|^{pad}(?={d})"
    )


def is_missing(cell: str) -> bool:
    return cell.strip().strip('"').strip() in MISSING


# ---------------------------------------------------------------------------------------------
# Locating errors


def records_with_lines(text, header: Header) -> Iterator[tuple[int, list[str]]]:
    """Each non-blank record with the line it starts on, as the compiled reader counts them."""
    for _ in range(header.line):
        next(text)
    reader = csv.reader(text, delimiter=header.delimiter)
    while True:
        start = header.line + reader.line_num + 1
        try:
            cells = next(reader)
        except StopIteration:
            return
        except csv.Error as exc:
            if header.line + reader.line_num > start:  # a quoted field ran on past its line
                raise unclosed_quote(start) from None
            raise DataError(f"unreadable CSV: line {start}: {exc}") from None
        if cells:
            yield start, cells


def unclosed_quote(line: int) -> DataError:
    return DataError(f"unreadable CSV: line {line}: a quote opened on this line is never closed")


def line_of_record(source: Source, header: Header, index: int) -> int:
    with reading(source), source.open_text() as text:
        records = records_with_lines(text, header)
        return next(itertools.islice(records, index, None))[0]


def diagnose(source: Source, header: Header, label_col: int | None,
             usecols: list[int] | None) -> DataError | None:
    """The first record the compiled reader must have refused, with the reason and its line."""
    with reading(source), source.open_text() as text:
        records = records_with_lines(text, header)
        try:
            for line, cells in records:
                problem = record_problem(line, cells, header, label_col, usecols)
                if problem is None:
                    continue
                if any("\n" in c or "\r" in c for c in cells) and next(records, None) is None:
                    return unclosed_quote(line)  # the quote took the rest of the file
                return problem
        except DataError as exc:
            return exc
    return None


def record_problem(line: int, cells: list[str], header: Header, label_col: int | None,
                   usecols: list[int] | None) -> DataError | None:
    if len(cells) != len(header.names):
        return DataError(f"unreadable CSV: line {line} has {len(cells)} fields but the header "
                         f"has {len(header.names)}")
    for col in usecols if usecols is not None else range(len(cells)):
        cell = cells[col]
        if col != label_col and not is_number(cell) and not is_missing(cell):
            hint = ""
            if re.fullmatch(r"\s*[-+]?\d+,\d+\s*", cell):
                hint = " (a decimal comma: numbers need a decimal point)"
            return CellError(f"line {line}, column '{header.names[col]}': {cell!r} is not a "
                             f"number{hint}", header.names[col])
    return None


def is_number(cell: str) -> bool:
    """What the compiled reader takes for a number; Python's float() also takes digit
    separators, which it does not."""
    if "_" in cell:
        return False
    try:
        float(cell)
    except ValueError:
        return False
    return True


@contextlib.contextmanager
def reading(source: Source):
    """Turns a failure to decode the text into the byte and line that caused it, and a failure
    to read or decompress the file into one line."""
    try:
        yield
    except UnicodeDecodeError:
        raise DataError(undecodable(source)) from None
    except csv.Error as exc:
        raise DataError(f"unreadable CSV: {one_line(exc)}") from None
    except (OSError, EOFError, zlib.error, lzma.LZMAError) as exc:
        what = "damaged compressed file" if source.decompress else "cannot read"
        raise DataError(f"{what}: {getattr(exc, 'strerror', None) or one_line(exc)}") from None


def undecodable(source: Source) -> str:
    incremental = codecs.getincrementaldecoder(source.encoding)()
    encoding = source.encoding.upper().removesuffix("-SIG")
    line = 1
    with source.open_binary() as stream:
        while block := stream.read(1 << 16):
            try:
                incremental.decode(block)
            except UnicodeDecodeError as exc:
                # The decoder's input may begin with a partial character kept from the previous
                # block; those bytes hold no line break.
                line += exc.object.count(b"\n", 0, exc.start)
                return (f"unreadable CSV: not {encoding} text (byte 0x{exc.object[exc.start]:02x} "
                        f"on line {line}); save the file as UTF-8")
            line += block.count(b"\n")
    return f"unreadable CSV: not {encoding} text"
