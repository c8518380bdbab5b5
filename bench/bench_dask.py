"""A seeded forest grown in one process against the same forest grown in chunks on a local Dask
cluster of two single-threaded worker processes, in one run, and what one machine holds.

The cluster table: median fit time of each (alternating, --repeats runs, after an untimed fit
that has the workers import lindorf), the chunks' compute time on the workers (Dask's task
stream), the time to scatter the training data to both workers, the bytes shipped each way, and
the overhead (cluster fit time minus its slowest chunk). Both fits must give the same forest,
node for node. From the mean chunk time C (half the trees on one worker thread) it projects the
time on N machines that each run one such worker,

    T(N) = overhead + ship(N) + fixed + (C - fixed) * 2 * ceil(trees / N) / trees,

against T(1) = fixed + (C - fixed) * 2 for one of them, where `fixed` is the per-chunk cost that
does not shrink with fewer trees (checks, conversion and the sort of every feature: a one-thread
fit of a depth-0 tree) and ship(N) sends the data to each machine and the trees back over a
1 Gbit/s network.

The memory table: in fresh processes, the resident memory a fit adds at its peak for two row
counts and the resident memory a fitted forest keeps for two tree counts, giving bytes per
training row and per tree.

    .venv/bin/python bench/bench_dask.py [--repeats N] [--quick]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

FOREST = {"max_depth": 12, "max_features": "sqrt", "random_state": 0}


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def cluster_table(x, y, n_trees, repeats):
    import joblib
    from distributed import Client, LocalCluster, get_task_stream

    from lindorf import RandomForestClassifier

    one, on_cluster, chunks = [], [], []
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        with joblib.parallel_backend("dask"):  # the workers import lindorf once, untimed
            RandomForestClassifier(2, **FOREST).fit(x[:1000], y[:1000])
        for _ in range(repeats):
            seconds, alone = timed(lambda: RandomForestClassifier(n_trees, n_jobs=-1, **FOREST).fit(x, y))
            one.append(seconds)
            with get_task_stream(client) as stream, joblib.parallel_backend("dask"):
                seconds, spread = timed(lambda: RandomForestClassifier(n_trees, **FOREST).fit(x, y))
            on_cluster.append(seconds)
            chunks.append([sum(s["stop"] - s["start"] for s in task["startstops"]
                               if s["action"] == "compute")
                           for task in stream.data if str(task["key"]).startswith("lindorf-trees")])
            assert alone._native.to_bytes(b"") == spread._native.to_bytes(b""), "forests differ"
        scatter = []
        for _ in range(repeats):
            seconds, shipped = timed(lambda: client.scatter([x, y.astype(np.uint32)],
                                                            broadcast=True, hash=False))
            scatter.append(seconds)
            client.cancel(shipped)
    result_bytes = len(spread._native.to_bytes(b""))
    fixed = chunk_fixed_seconds(x, y, repeats)
    return {"one": common.median(one), "cluster": common.median(on_cluster),
            "chunk": common.median([max(c) for c in chunks]),
            "mean_chunk": common.median([sum(c) / len(c) for c in chunks]),
            "chunks": [round(v, 2) for v in chunks[-1]], "scatter": common.median(scatter),
            "data_mib": (x.nbytes + 4 * len(y)) / 2**20, "result_mib": result_bytes / 2**20,
            "fixed": fixed, "trees": n_trees}


def chunk_fixed_seconds(x, y, repeats):
    """What a chunk costs besides its trees: a one-thread fit of one tree of depth 0 checks and
    converts the data and sorts every feature, then grows only a root leaf."""
    from lindorf import RandomForestClassifier

    stump = {**FOREST, "max_depth": 0}
    return common.median([timed(lambda: RandomForestClassifier(1, n_jobs=1, **stump).fit(x, y))[0]
                          for _ in range(repeats)])


MEMORY_CHILD = r"""
import json, sys, numpy as np
sys.path.insert(0, sys.argv[1])
import common
from lindorf import RandomForestClassifier
rows, trees, depth = (int(v) for v in sys.argv[2:5])
x, y = common.synthetic(rows, 20, 10, seed=0)
def rss():
    for line in open("/proc/self/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
with open("/proc/self/clear_refs", "w") as refs:  # the peak so far was the data's making
    refs.write("5")
before = rss()
forest = RandomForestClassifier(trees, max_depth=None if depth < 0 else depth, max_features="sqrt",
                                random_state=0, n_jobs=-1).fit(x, y)
print(json.dumps({"before": before, "after": rss(), "peak": common.peak_memory_mib() * 2**20,
                  "nodes": int(sum(forest._native.node_counts())),
                  "saved": len(forest._native.to_bytes(b""))}))
"""


def measure_memory(rows, trees, depth):
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, os.path.dirname(__file__),
                          str(rows), str(trees), str(depth)],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def memory_rows(quick):
    rows_small, rows_large = (20_000, 60_000) if quick else (100_000, 400_000)
    table = []
    a, b = measure_memory(rows_small, 10, 12), measure_memory(rows_large, 10, 12)
    per_row = ((b["peak"] - b["before"]) - (a["peak"] - a["before"])) / (rows_large - rows_small)
    table.append(["fit of 10 trees of depth 12 on 20 float32 features, 2 threads",
                  f"{per_row:.0f} bytes per row at its peak, beyond the 84 of the data itself "
                  f"({rows_small:,} to {rows_large:,} rows)"])
    for depth in (12, -1):
        few, many = measure_memory(rows_small, 10, depth), measure_memory(rows_small, 50, depth)
        per_tree = (many["after"] - few["after"]) / 40
        nodes = (many["nodes"] - few["nodes"]) / 40
        name = "unlimited depth" if depth < 0 else f"depth {depth}"
        table.append([f"fitted tree, {name}, {rows_small:,} rows",
                      f"{per_tree / 1024:.0f} KiB resident, {nodes:.0f} nodes, "
                      f"{(many['saved'] - few['saved']) / 40 / 1024:.0f} KiB saved"])
    return table


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="small data, for a smoke run")
    args = parser.parse_args()
    rows, trees = (20_000, 20) if args.quick else (100_000, 200)
    # Before the cluster: starting Dask's workers sets malloc and thread variables in this
    # process's environment, which the measuring children would inherit.
    memory = memory_rows(args.quick)
    x, y = common.synthetic(rows, 20, 10, seed=0)
    m = cluster_table(x, y, trees, args.repeats)
    print(f"{trees} trees, depth 12, max_features='sqrt', on {rows:,} x 20, median of "
          f"{args.repeats}:\n")
    print(common.markdown_table(
        ["fit", "seconds", "ratio to one process"],
        [["one process, n_jobs=-1 (2 threads)", f"{m['one']:.2f}", "1.00"],
         ["local cluster, 2 workers x 1 thread", f"{m['cluster']:.2f}",
          f"{m['cluster'] / m['one']:.2f}"]]))
    print(f"\nchunk compute on the workers (last run): {m['chunks']} s; slowest chunk, median: "
          f"{m['chunk']:.2f} s; overhead (cluster fit - slowest chunk): "
          f"{m['cluster'] - m['chunk']:.2f} s")
    print(f"data scattered to both workers: {m['data_mib']:.1f} MiB in {m['scatter']:.3f} s; "
          f"trees shipped back: {m['result_mib']:.1f} MiB; per-chunk fixed cost: "
          f"{m['fixed']:.3f} s\n")
    overhead = max(0.0, m["cluster"] - m["chunk"])
    growing = 2 * (m["mean_chunk"] - m["fixed"])  # all the trees on one worker thread
    alone = m["fixed"] + growing
    projected = []
    for n in (2, 4, 8, 16, 32):
        ship = (n * m["data_mib"] + m["result_mib"]) / 119.2  # MiB at 1 Gbit/s
        t = overhead + ship + m["fixed"] + growing * -(-m["trees"] // n) / m["trees"]
        projected.append([str(n), f"{t:.2f}", f"{ship:.2f}", f"{alone / t:.2f}"])
    print(f"projected on N machines of one single-threaded worker each ({alone:.2f} s on one):\n")
    print(common.markdown_table(["N", "seconds", "of which shipping", "speed-up over one"],
                                projected))
    print("\n" + common.markdown_table(["what", "measured"], memory))


if __name__ == "__main__":
    main()
