"""The failures the command reports in one line."""

import contextlib


class DataError(Exception):
    """A data or model file cannot be used; the message says why. `source` names the file, once
    known."""

    source: str | None = None


class CellError(DataError):
    """A feature cell that is not a number; `column` names its column."""

    def __init__(self, message: str, column: str):
        super().__init__(message)
        self.column = column


@contextlib.contextmanager
def blamed_on(source: str):
    """Names `source` in any DataError raised inside that does not name a file yet."""
    try:
        yield
    except DataError as exc:
        if exc.source is None:
            exc.source = source
        raise


def one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__
