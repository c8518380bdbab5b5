"""Shared pieces of the benchmarks: data sets, fd-1 capture of lindorf's report, timing."""

from __future__ import annotations

import os
import statistics
import tempfile
import time
from dataclasses import dataclass
from typing import Callable, TypeVar

import numpy as np

T = TypeVar("T")

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


def all_distinct_labels(n_rows: int = 19_113, n_features: int = 10):
    """make_classification's features with every row its own class: the many-class case."""
    x, _ = synthetic(n_rows, n_features, 8)
    return x, np.arange(n_rows, dtype=np.uint32)


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


def resident_mib(reset_peak: bool = False) -> float:
    """This process's resident set (VmRSS), in MiB; with reset_peak, the peak (VmHWM) starts
    again from it (Linux's /proc/self/clear_refs), so that a later peak_memory_mib tells what
    the work after this call took at most."""
    if reset_peak:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    raise RuntimeError("no VmRSS in /proc/self/status")


def run_alternately(systems: dict[str, Callable[[], T]], repeats: int) -> dict[str, list[T]]:
    """Runs every system once per round, `repeats` rounds; returns each one's results (for
    example (seconds, accuracy) pairs). Each round starts with the next system, so no system always runs right
    after the same other one (a slow one leaves cold caches and returned memory behind)."""
    names = list(systems)
    runs: dict[str, list[T]] = {name: [] for name in names}
    for r in range(repeats):
        for i in range(len(names)):
            name = names[(r + i) % len(names)]
            runs[name].append(systems[name]())
    return runs


def comparison_table(results: list[tuple[str, dict[str, list[tuple[float, float]]]]],
                     with_peers: bool, digits: int, metric: str = "accuracy") -> str:
    """One row per workload: median seconds of every system that ran on any workload, lindorf's
    time over scikit-learn's (or, with peers, over the fastest other system's), and the median
    of each system's second figure (`metric`). A system that did not run on a workload shows a
    dash."""
    names: list[str] = []
    for _, runs in results:
        names += [name for name in runs if name not in names]
    others = [name for name in names if name != "lindorf"]
    ratio = "lindorf / fastest other" if with_peers else "time ratio"
    header = ["workload"] + [f"{name} s" for name in names] + [ratio]
    header += [f"{name} {metric}" for name in names]
    rows = []
    for workload, runs in results:
        seconds = {name: median([t for t, _ in r]) for name, r in runs.items()}
        accuracy = {name: median([a for _, a in r]) for name, r in runs.items()}
        compared = [seconds[n] for n in others if n in seconds] if with_peers else [seconds["scikit-learn"]]
        row = [workload] + [f"{seconds[n]:.{digits}f}" if n in seconds else "—" for n in names]
        quotient = seconds["lindorf"] / min(compared)
        row.append(f"{quotient:.2f}" if quotient >= 0.1 else f"{quotient:.2g}")
        row += [f"{accuracy[n]:.4f}" if n in accuracy else "—" for n in names]
        rows.append(row)
    return markdown_table(header, rows)


def markdown_table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)
