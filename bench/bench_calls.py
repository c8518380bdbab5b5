"""Calls per second on the breast-cancer data, for this build and, side by side, another one.

Small calls are where per-call costs show: starting and joining threads, keying generators.
Each build runs in a fresh process of its own, alternately, several rounds each; a round counts
the calls finished in a fixed time after one warm-up call. The table gives the median rate of
each build and the ratio (this build / the other: above 1 is faster).

    .venv/bin/python bench/bench_calls.py [--other DIR] [--seconds S] [--rounds N]

DIR holds another build's `lindorf` package (for example `pip install --target DIR` of an
older commit); without it only this build is measured.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

CALLS = {
    "tree, unlimited depth": "train_tree_np(x, y, 4294967295)",
    "forest of 10 trees, unlimited depth": "train_forest_np(x, y, 4294967295, 10)",
    "forest of 100 trees, unlimited depth": "train_forest_np(x, y, 4294967295, 100)",
}

# Runs in the measured build's own process; prints {call: calls per second}.
ROUND = r"""
import json, os, sys, time
sys.path.insert(0, sys.argv[1])
import common
from lindorf._lindorf import train_forest_np, train_tree_np
x, y = common.breast_cancer()
calls, seconds = json.loads(sys.argv[2]), float(sys.argv[3])
saved = os.dup(1)
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
rates = {}
for name, call in calls.items():
    exec(call)
    done, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        exec(call)
        done += 1
    rates[name] = done / (time.perf_counter() - start)
os.dup2(saved, 1)
print(json.dumps(rates))
"""


def one_round(build: str | None, seconds: float) -> dict[str, float]:
    env = dict(os.environ)
    if build is not None:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [build, env.get("PYTHONPATH")]))
    bench_dir = os.path.dirname(os.path.abspath(__file__))
    done = subprocess.run([sys.executable, "-c", ROUND, bench_dir, json.dumps(CALLS), str(seconds)],
                          env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--other", help="directory holding another build's lindorf package")
    parser.add_argument("--seconds", type=float, default=2.0, help="time per call and round")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    builds = {"this build": None}
    if args.other:
        builds["other build"] = os.path.abspath(args.other)
    rates: dict[str, dict[str, list[float]]] = {b: {c: [] for c in CALLS} for b in builds}
    for _ in range(args.rounds):
        for build, path in builds.items():
            for call, rate in one_round(path, args.seconds).items():
                rates[build][call].append(rate)
    header = ["call"] + [f"{b} calls/s" for b in builds]
    if args.other:
        header.append("ratio")
    rows = []
    for call in CALLS:
        medians = [statistics.median(rates[b][call]) for b in builds]
        row = [call] + [f"{m:.1f}" for m in medians]
        if args.other:
            row.append(f"{medians[0] / medians[1]:.2f}")
        rows.append(row)
    print(common.markdown_table(header, rows))


if __name__ == "__main__":
    main()
