"""Shared helpers. The module writes straight to fd 1, so whole calls run in a child interpreter
that reports its result or exception to a side file as JSON, leaving stdout and stderr as is."""

import json
import os
import subprocess
import sys
import tempfile
import textwrap
from dataclasses import dataclass

import numpy as np

_DRIVER = r"""
import json, sys

def describe(error):
    if error is None:
        return None
    return {"module": type(error).__module__, "qualname": type(error).__qualname__,
            "message": str(error), "cause": describe(error.__cause__)}

namespace, record = {}, {"result": None, "error": None}
try:
    exec(compile(sys.argv[2], "<snippet>", "exec"), namespace)
    record["result"] = repr(namespace.get("result"))
except BaseException as error:
    record["error"] = describe(error)
with open(sys.argv[1], "w") as report:
    json.dump(record, report)
"""

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
    error: dict | None  # the exception that ended the snippet, as described by _DRIVER

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
    return Outcome((done.stdout or b"").decode(), done.stderr.decode(), done.returncode,
                   record["result"], record["error"])


def shape_lines(rows, cols, labels):
    return f"Shape of x matrix ({rows}, {cols})\nShape of y ({labels},)\n"


def report_lines(accuracy, precision, recall, f1):
    return (f"Classification Report:\n\tAccuracy:   {accuracy}\n\tPrecision:  {precision}\n"
            f"\tRecall:     {recall}\n\tF1 Score:   {f1}\n")


def score_text(value):
    value = np.float32(value)
    return "NaN" if np.isnan(value) else np.format_float_positional(value, trim="-")


def report(predicted, actual):
    """The report of predictions against labels, counted and divided in float32 (label 1 is
    positive; 0/0 is NaN)."""
    f32, pairs = np.float32, list(zip(predicted, actual))
    tp = sum(p == 1 and a == 1 for p, a in pairs)
    fp = sum(p == 1 and a == 0 for p, a in pairs)
    fn = sum(p == 0 and a == 1 for p, a in pairs)
    with np.errstate(divide="ignore", invalid="ignore"):
        accuracy = f32(sum(p == a for p, a in pairs)) / f32(len(actual))
        precision = f32(tp) / f32(tp + fp)
        recall = f32(tp) / f32(tp + fn)
        f1 = ((precision + precision) * recall) / (precision + recall)
    return report_lines(*map(score_text, (accuracy, precision, recall, f1)))

