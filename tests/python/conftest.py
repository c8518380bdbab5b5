"""Shared helpers: running a snippet in a fresh interpreter and reading back what it did.

The module writes straight to file descriptor 1, bypassing sys.stdout, so output is captured
from a child process. The child reports its result or exception to a side file as JSON, leaving
its standard output and error exactly as the module left them.
"""

import json
import os
import subprocess
import sys
import tempfile
import textwrap
from dataclasses import dataclass


_DRIVER = r"""
import json, sys

def describe(error):
    if error is None:
        return None
    return {
        "module": type(error).__module__,
        "qualname": type(error).__qualname__,
        "message": str(error),
        "args": [a if isinstance(a, (str, int, float, bool, type(None))) else repr(a)
                 for a in error.args],
        "cause": describe(error.__cause__),
        "is_exception": isinstance(error, Exception),
    }

namespace = {}
record = {"result": None, "error": None}
try:
    exec(compile(sys.argv[2], "<snippet>", "exec"), namespace)
    record["result"] = repr(namespace.get("result"))
except BaseException as error:
    record["error"] = describe(error)
with open(sys.argv[1], "w") as report:
    json.dump(record, report)
"""

# What most snippets need; snippets that must control the import of NumPy pass prelude=False.
PRELUDE = """\
import numpy as np
import lindorf._lindorf as lindorf_module
from lindorf._lindorf import train_forest_np, train_tree_np
"""


@dataclass
class Outcome:
    stdout: str
    stderr: str
    returncode: int
    result: str | None  # repr() of the snippet's variable `result`, if it finished
    error: dict | None  # the exception that ended the snippet, described by _DRIVER

    @property
    def panic(self):
        """The message of a PanicException that ended the snippet, or None."""
        if self.error and self.error["qualname"] == "PanicException":
            return self.error["message"]
        return None


def run_snippet(code, *, prelude=True, stdout_path=None, python_args=()):
    """Runs `code` in a new interpreter; its fd 1 is a pipe, or the file at `stdout_path`."""
    source = (PRELUDE if prelude else "") + textwrap.dedent(code)
    with tempfile.TemporaryDirectory() as scratch:
        report_path = os.path.join(scratch, "report.json")
        command = [sys.executable, *python_args, "-c", _DRIVER, report_path, source]
        if stdout_path is None:
            done = subprocess.run(command, capture_output=True, timeout=300)
        else:
            with open(stdout_path, "wb") as target:
                done = subprocess.run(command, stdout=target, stderr=subprocess.PIPE, timeout=300)
        record = {"result": None, "error": None}
        if os.path.exists(report_path):
            with open(report_path) as report:
                record = json.load(report)
    return Outcome(
        stdout=(done.stdout or b"").decode(),
        stderr=done.stderr.decode(),
        returncode=done.returncode,
        result=record["result"],
        error=record["error"],
    )


def shape_lines(rows, cols, labels):
    return f"Shape of x matrix ({rows}, {cols})\nShape of y ({labels},)\n"


def report_lines(accuracy, precision, recall, f1):
    return (
        "Classification Report:\n"
        f"\tAccuracy:   {accuracy}\n"
        f"\tPrecision:  {precision}\n"
        f"\tRecall:     {recall}\n"
        f"\tF1 Score:   {f1}\n"
    )
