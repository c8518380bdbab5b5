"""The command's two output streams, and what it does when standard output cannot take more.

Results go to standard output through `emit`, which flushes at once (so that a report's lines
come out while the work goes on) and turns a failed write into one of two exceptions: the reader
went away (a closed pipe: not an error, the user asked for no more) or the write failed for
another reason. Messages go to standard error through `say`, which never fails the command.
"""

import os
import sys
import warnings


class ReaderGone(Exception):
    """Standard output is a pipe whose reader has closed it."""


class OutputFailed(Exception):
    """Standard output refused a write for another reason (a full disk, for example)."""


def prepare_streams() -> None:
    """Makes sure descriptors 0 to 2 are open, on /dev/null if they were closed, so that no
    file the command opens is given one of them, and that sys.stdout and sys.stderr exist."""
    for fd, mode in ((0, os.O_RDONLY), (1, os.O_WRONLY), (2, os.O_WRONLY)):
        try:
            os.fstat(fd)
        except OSError:
            opened = os.open(os.devnull, mode)  # the lowest free descriptor: fd itself
            if opened != fd:
                os.dup2(opened, fd)
                os.close(opened)
    if sys.stdout is None:
        sys.stdout = open(1, "w", encoding="utf-8", closefd=False)
    if sys.stderr is None:
        sys.stderr = open(2, "w", encoding="utf-8", closefd=False)
    warnings.showwarning = show_warning


def emit(text: str) -> None:
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        raise ReaderGone() from None
    except OSError as exc:
        raise OutputFailed(exc.strerror or str(exc)) from None


def finish_stdout() -> None:
    """Flushes what argparse's help and anything else left in sys.stdout's buffer."""
    emit("")


def silence_stdout() -> None:
    """Points descriptor 1 at /dev/null, so that the interpreter's own flush at exit has
    nowhere to fail once the command has given up on standard output."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.close(null)
    except OSError:
        pass


def say(message: str) -> None:
    try:
        print(f"lindorf: {message}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass  # nowhere left to say it


def show_warning(message, category, filename, lineno, file=None, line=None) -> None:
    # One line, as every other message; never the library's source line.
    say(f"warning: {' '.join(str(message).split())}")
