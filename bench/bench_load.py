"""Loading a CSV file the way the command does, before and after its compiled reader.

"before" is how the command read CSV until it used NumPy's compiled text reader: Python's csv
module, one float() per cell, a float64 table and then its float32 copy. "after" is
`lindorf.cli.dataset.load_file`. Each measurement runs in a fresh process, alternating between the
two; the table shows the median wall time, the peak memory the load added to the process (VmHWM
after minus VmHWM before, so the interpreter and NumPy are left out), and both relative to the
file: the time ratio after / before and the peak as a multiple of the file's size.

    .venv/bin/python bench/bench_load.py [--repeats N] [--rows R] [--features F]
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402


def load_before(path: str) -> tuple[np.ndarray, np.ndarray]:
    with open(path, newline="", encoding="utf-8-sig") as stream:
        reader = csv.reader(stream)
        header = next(reader)
        rows = [cells for cells in reader if cells]
    values = [[float(cell) if cell.strip() else float("nan") for cell in cells[:-1]]
              for cells in rows]
    x = np.ascontiguousarray(
        np.array(values, dtype=np.float64).reshape(len(rows), len(header) - 1), dtype=np.float32)
    y = np.array([float(cells[-1]) for cells in rows], dtype=np.float64).astype(np.uint32)
    return x, y


def load_after(path: str, scratch: str) -> tuple[np.ndarray, np.ndarray]:
    from lindorf.cli.dataset import load_file

    data = load_file(path, None, None, scratch)
    return data.x, data.y


def child(method: str, path: str) -> None:
    import lindorf.cli.dataset  # noqa: F401  (imported before the baseline, like NumPy)

    with tempfile.TemporaryDirectory() as scratch:
        base = common.peak_memory_mib()
        start = time.perf_counter()
        x, y = load_before(path) if method == "before" else load_after(path, scratch)
        seconds = time.perf_counter() - start
        added = common.peak_memory_mib() - base
    checksum = float(np.nansum(x, dtype=np.float64)) + float(y.sum())
    print(json.dumps({"seconds": seconds, "added_mib": added, "shape": list(x.shape),
                      "checksum": checksum}))


def measure(method: str, path: str) -> dict:
    out = subprocess.run([sys.executable, __file__, "--child", method, path],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def write_file(path: str, rows: int, features: int) -> None:
    rng = np.random.default_rng(0)
    table = rng.normal(size=(rows, features + 1))
    table[:, -1] = rng.integers(0, 3, rows)
    header = ",".join([f"f{i}" for i in range(features)] + ["label"])
    np.savetxt(path, table, delimiter=",", header=header, comments="", fmt="%.7g")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--child", nargs=2, metavar=("METHOD", "PATH"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "table.csv")
        write_file(path, args.rows, args.features)
        size_mib = os.path.getsize(path) / 2**20
        runs = {"before": [], "after": []}
        for _ in range(args.repeats):
            for method in runs:
                runs[method].append(measure(method, path))
    loaded = {json.dumps([m["shape"], m["checksum"]]) for m in runs["before"] + runs["after"]}
    assert len(loaded) == 1, "the two readers read different tables"
    results = {}
    for method, measured in runs.items():
        results[method] = (common.median([m["seconds"] for m in measured]),
                           common.median([m["added_mib"] for m in measured]))
    rows = [[method, f"{seconds:.3f}", f"{seconds / results['before'][0]:.2f}",
             f"{added:.0f}", f"{added / size_mib:.2f}"]
            for method, (seconds, added) in results.items()]
    print(f"CSV file: {args.rows:,} rows x {args.features} features + label, {size_mib:.1f} MiB; "
          f"median of {args.repeats} runs\n")
    print(common.markdown_table(
        ["reader", "seconds", "time / before", "peak MiB added", "peak / file size"], rows))


if __name__ == "__main__":
    main()
