"""Shared pieces of the benchmarks: data sets, fd-1 capture of lindorf's report, timing."""

from __future__ import annotations

import os
import statistics
import tempfile
import time
from dataclasses import dataclass
from typing import Callable

import numpy as np

UNLIMITED = 2**32 - 1  # lindorf's max_depth for no practical limit


@dataclass
class Workload:
    name: str
    x: np.ndarray  # float32, C order
    y: np.ndarray  # uint32
    max_depth: int | None  # None: unlimited


def cut(n_rows: int) -> int:
    """The training rows lindorf uses: the first nine tenths, by position."""
    return int(n_rows * 0.9)


def lindorf_depth(max_depth: int | None) -> int:
    """lindorf's max_depth for a workload's depth (None: unlimited)."""
    return UNLIMITED if max_depth is None else max_depth


def synthetic(n_rows: int, n_features: int, n_informative: int, seed: int = 0):
    from sklearn.datasets import make_classification

    x, y = make_classification(
        n_samples=n_rows,
        n_features=n_features,
        n_informative=n_informative,
        n_redundant=min(2, n_features - n_informative),
        random_state=seed,
    )
    return np.ascontiguousarray(x, dtype=np.float32), y.astype(np.uint32)


def breast_cancer():
    from sklearn.datasets import load_breast_cancer

    data = load_breast_cancer()
    # Label 1 = malignant, as in lindorf's bundled copy (scikit-learn's 0 is malignant).
    return np.ascontiguousarray(data.data, dtype=np.float32), (data.target == 0).astype(np.uint32)


def digits_two_class():
    from sklearn.datasets import load_digits

    data = load_digits()
    return np.ascontiguousarray(data.data, dtype=np.float32), (data.target < 5).astype(np.uint32)


def run_capturing_fd1(call: Callable[[], None]) -> tuple[float, str]:
    """Runs call() with file descriptor 1 redirected to a file; returns (seconds, text)."""
    with tempfile.TemporaryFile() as sink:
        saved = os.dup(1)
        os.dup2(sink.fileno(), 1)
        try:
            start = time.perf_counter()
            call()
            seconds = time.perf_counter() - start
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        sink.seek(0)
        return seconds, sink.read().decode()


def reported_accuracy(text: str) -> float:
    for line in text.splitlines():
        if line.strip().startswith("Accuracy:"):
            return float(line.split(":")[1])
    raise ValueError("no accuracy line in:\n" + text)


def time_lindorf(call: Callable[[], None]) -> tuple[float, float]:
    """Runs a lindorf training call; returns (seconds, the accuracy its report prints)."""
    seconds, text = run_capturing_fd1(call)
    return seconds, reported_accuracy(text)


def time_sklearn(make_model: Callable[[], object], x: np.ndarray, y: np.ndarray) -> tuple[float, float]:
    """Fits a new model on the rows lindorf trains on and predicts the rest, as lindorf does;
    returns (seconds, accuracy)."""
    k = cut(len(x))
    start = time.perf_counter()
    model = make_model()
    model.fit(x[:k], y[:k])
    accuracy = float(np.mean(model.predict(x[k:]) == y[k:]))
    return time.perf_counter() - start, accuracy


def median(values: list[float]) -> float:
    return statistics.median(values)


def peak_memory_mib() -> float:
    """This process's peak resident set (VmHWM), in MiB."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    raise RuntimeError("no VmHWM in /proc/self/status")


def markdown_table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)
