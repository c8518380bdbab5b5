"""Shared helpers. The module writes straight to fd 1, so whole calls run in a child interpreter
that reports its result or exception to a side file, leaving stdout and stderr as they are."""

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
namespace, record = {}, {"result": None, "error": None}
try:
    exec(compile(sys.argv[2], "<snippet>", "exec"), namespace)
    record["result"] = repr(namespace.get("result"))
except BaseException as error:
    record["error"] = [type(error).__qualname__, str(error)]
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
    result: str | None  # repr() of the snippet's variable `result`, if it finished
    error: list | None  # [qualified type name, message] of the exception that ended it

    @property
    def panic(self):
        """The message of a PanicException that ended the snippet, or None."""
        return self.error[1] if self.error and self.error[0] == "PanicException" else None


def run_snippet(code, *, prelude=True, stdout_path=None, python_args=(), timeout=300):
    """Runs `code` in a new interpreter, killed after `timeout` seconds; its fd 1 is a pipe, or
    the file at `stdout_path`."""
    source = (PRELUDE if prelude else "") + textwrap.dedent(code)
    with tempfile.TemporaryDirectory() as scratch:
        report_path = os.path.join(scratch, "report.json")
        command = [sys.executable, *python_args, "-c", _DRIVER, report_path, source]
        with open(stdout_path or os.devnull, "wb") as target:
            stdout = subprocess.PIPE if stdout_path is None else target
            done = subprocess.run(command, stdout=stdout, stderr=subprocess.PIPE, timeout=timeout)
        with open(report_path) as report:
            record = json.load(report)
    return Outcome((done.stdout or b"").decode(), done.stderr.decode(), **record)


def finished(code):
    """The standard output of a snippet whose training call must return None without raising."""
    outcome = run_snippet(code)
    assert (outcome.error, outcome.result) == (None, "None"), outcome.error
    return outcome.stdout


# 8 labels for 10 rows: every call that converts its arguments fails at the train/test cut.
CUT = "range end index 9 out of range for slice of length 8"
NOT_AN_ARRAY = "object cannot be converted to 'PyArray<T, D>'"


def shape_lines(rows, cols, labels):
    return f"Shape of x matrix ({rows}, {cols})\nShape of y ({labels},)\n"


def report_lines(accuracy, precision, recall, f1):
    return (f"Classification Report:\n\tAccuracy:   {accuracy}\n\tPrecision:  {precision}\n"
            f"\tRecall:     {recall}\n\tF1 Score:   {f1}\n")


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
    return report_lines(*("NaN" if np.isnan(v) else np.format_float_positional(v, trim="-")
                          for v in (accuracy, precision, recall, f1)))


# Saved models (src/model/format.hpp, version 2): the magic, u32 version, n_features, task,
# n_outputs, each output's class count, n_trees, u64 metadata size, the metadata, the trees, a
# u64 FNV-1a checksum of everything before it.
def metadata_at(model):
    """Where a saved model's metadata size is, and where its metadata starts."""
    at = 28 + 4 * int.from_bytes(model[20:24], "little")
    return at, at + 8


def fnv1a(data):
    value = 0xCBF29CE484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return value


def resealed(body):
    """`body` (a model without its checksum) with a checksum that matches it again."""
    return bytes(body) + fnv1a(body).to_bytes(8, "little")


def with_metadata(model, metadata):
    """The saved `model` with other metadata, sealed as if it had been saved with it."""
    at, start = metadata_at(model)
    size = int.from_bytes(model[at:start], "little")
    return resealed(model[:at] + len(metadata).to_bytes(8, "little") + metadata
                    + model[start + size:-8])
