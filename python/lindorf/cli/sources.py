"""Opening a data file: what kind of file it is, and a fresh stream over its content on demand.

Files are recognised by their first bytes, never by their names: gzip, bzip2 and xz compression
is undone transparently, NumPy files and zip archives of arrays are read as arrays, and anything
else that is not text (a workbook, a database, an image) is named as what it is, so the user
learns why it cannot be read rather than meeting a decoding error. Standard input (`-`) and
anything else that is not a regular file (a pipe, `<(command)`, a device) is read once, into a
temporary file: reading a CSV takes more than one look at the data, and a pipe cannot be read
twice. Its first bytes are looked at before the rest is copied, so that an endless binary source
(/dev/zero) is refused at once.
"""

import bz2
import codecs
import gzip
import io
import lzma
import os
import shutil
import stat
import sys
import tempfile
import zipfile
from dataclasses import dataclass
from typing import BinaryIO

from lindorf.cli.errors import DataError

STDIN_NAME = "-"
NPY_MAGIC = b"\x93NUMPY"
ZIP_MAGICS = (b"PK\x03\x04", b"PK\x05\x06")
DECOMPRESSORS = {
    b"\x1f\x8b": gzip.open,
    b"BZh": bz2.open,
    b"\xfd7zXZ\x00": lzma.open,
}
# Formats people try to train on that are neither text nor NumPy, by their first bytes.
BINARY_FORMATS = [
    (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", "an Excel 97-2003 workbook or another old Office file"),
    (b"PAR1", "a Parquet file"),
    (b"\x89HDF\r\n\x1a\n", "an HDF5 file"),
    (b"ARROW1", "an Arrow/Feather file"),
    (b"SQLite format 3\x00", "an SQLite database"),
    (b"%PDF", "a PDF document"),
    (b"\x28\xb5\x2f\xfd", "a Zstandard-compressed file (decompress it first)"),
    (b"7z\xbc\xaf\x27\x1c", "a 7-Zip archive (extract it first)"),
    (b"\x89PNG", "a PNG image"),
    (b"\xff\xd8\xff", "a JPEG image"),
]
SNIFF_BYTES = 4096


@dataclass(frozen=True)
class Source:
    """A readable data file: `kind` is "csv", "npy" or "npz"."""

    path: str  # a regular file (standard input is spooled to one)
    kind: str
    decompress: object = None  # the opener that undoes the file's compression, if any
    encoding: str = "utf-8-sig"

    def open_binary(self) -> BinaryIO:
        raw = open(self.path, "rb")
        return raw if self.decompress is None else self.decompress(raw)

    def open_text(self) -> io.TextIOWrapper:
        # newline="" keeps quoted line breaks inside fields for the CSV readers.
        return io.TextIOWrapper(self.open_binary(), encoding=self.encoding, newline="")


def open_source(name: str, spool_dir: str) -> Source:
    """Classifies the file `name` (or standard input for "-"); raises DataError when it cannot
    be read as data."""
    path = name if name != STDIN_NAME and is_regular(name) else spool(name, spool_dir)
    head = read_head(path, None)
    decompress = None
    for magic, opener in DECOMPRESSORS.items():
        if head.startswith(magic):
            decompress = opener
            head = read_head(path, opener)
            break
    if head.startswith(NPY_MAGIC):
        return Source(path, "npy", decompress)
    if head.startswith(ZIP_MAGICS):
        if decompress is not None:
            raise DataError("a compressed zip archive: decompress it first")
        check_array_archive(path)
        return Source(path, "npz")
    if name.lower().endswith((".npy", ".npz")):
        raise DataError("not a NumPy .npy or .npz file: the name says so, the content does not")
    return Source(path, "csv", decompress, text_encoding(head))


def is_regular(name: str) -> bool:
    """Whether `name` is a regular file (or does not exist, which opening it then reports)."""
    try:
        return stat.S_ISREG(os.stat(name).st_mode)
    except OSError:
        return True


def spool(name: str, spool_dir: str) -> str:
    """Copies standard input, or the file `name` that is not a regular file, to a temporary file
    and returns its path."""
    if name == STDIN_NAME:
        return copy_to_spool(sys.stdin.buffer if sys.stdin is not None else io.BytesIO(),
                             spool_dir)
    try:
        with open(name, "rb") as stream:
            return copy_to_spool(stream, spool_dir)
    except IsADirectoryError:
        raise DataError("is a directory, not a data file") from None
    except PermissionError:
        raise DataError("permission denied") from None
    except OSError as exc:
        raise DataError(f"cannot read: {exc.strerror or exc}") from None


def copy_to_spool(stream: BinaryIO, spool_dir: str) -> str:
    head = stream.read(SNIFF_BYTES)
    if not head.startswith((NPY_MAGIC, *ZIP_MAGICS, *DECOMPRESSORS)):
        text_encoding(head)  # refuses binary data before reading any more of it
    fd, path = tempfile.mkstemp(prefix="spool-", dir=spool_dir)
    with os.fdopen(fd, "wb") as copy:
        copy.write(head)
        shutil.copyfileobj(stream, copy, 1 << 20)
    return path


def read_head(path: str, decompress) -> bytes:
    try:
        with open(path, "rb") as raw:
            stream = raw if decompress is None else decompress(raw)
            return stream.read(SNIFF_BYTES)
    except FileNotFoundError:
        raise DataError("no such file") from None
    except IsADirectoryError:
        raise DataError("is a directory, not a data file") from None
    except PermissionError:
        raise DataError("permission denied") from None
    except (OSError, EOFError, lzma.LZMAError) as exc:
        if decompress is None:
            raise DataError(f"cannot read: {getattr(exc, 'strerror', None) or exc}") from None
        raise DataError(f"damaged compressed file: {exc}") from None


def text_encoding(head: bytes) -> str:
    """UTF-8 (with or without a byte-order mark), or UTF-16 when a byte-order mark says so, as
    spreadsheet programs write "Unicode text"; anything else with NUL bytes is binary."""
    if head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return "utf-16"
    for magic, what in BINARY_FORMATS:
        if head.startswith(magic):
            raise DataError(f"{what}, not CSV text or a NumPy file")
    if b"\x00" in head:
        raise DataError("a binary file, not CSV text or a NumPy file")
    return "utf-8-sig"


def check_array_archive(path: str) -> None:
    """A zip archive is read only when it holds NumPy arrays (an .npz file); office documents
    are zip archives too, and are named."""
    try:
        with zipfile.ZipFile(path) as archive:
            names = archive.namelist()
    except (zipfile.BadZipFile, OSError) as exc:
        raise DataError(f"a damaged zip archive: {exc}") from None
    if any(name.endswith(".npy") for name in names):
        return
    if "[Content_Types].xml" in names:
        office = {"xl/": "an Excel workbook", "word/": "a Word document",
                  "ppt/": "a PowerPoint presentation"}
        what = next((w for p, w in office.items() if any(n.startswith(p) for n in names)),
                    "an Office document")
        raise DataError(f"{what}, not CSV text or a NumPy file: save the sheet as CSV")
    if "mimetype" in names:
        raise DataError("an OpenDocument file, not CSV text or a NumPy file: save the sheet as CSV")
    if not names:
        raise DataError("an empty zip archive: it holds no NumPy arrays")
    shown = ", ".join(f"'{name}'" for name in names[:3]) + (", ..." if len(names) > 3 else "")
    raise DataError(f"a zip archive without NumPy arrays (it holds {shown}): extract it first")
