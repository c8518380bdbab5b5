"""lindorf's train_forest_np against scikit-learn's RandomForestClassifier, side by side, and with
--peers against LightGBM's and XGBoost's random forests too (see peers.py).

Every measurement runs in a fresh process, so that each system's peak memory (VmHWM) is its own;
runs alternate between the systems. The table reports median wall time of fit + predict, lindorf's
time over scikit-learn's (without --peers) or over the fastest other system's (with --peers),
the median accuracies and peak memories, and lindorf's forest peak memory relative to a single
train_tree_np call on the same data.

    .venv/bin/python bench/bench_forest.py [--repeats N] [--peers]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import peers  # noqa: E402

# name -> (loader, max_depth or None, trees)
WORKLOADS = {
    "synthetic 100,000 x 20, depth 12, 50 trees": (lambda: common.synthetic(100_000, 20, 10), 12, 50),
    "digits < 5, 1,797 x 64, unlimited depth, 100 trees": (common.digits_two_class, None, 100),
}
LINDORF_TREE = "lindorf tree"  # measured for the forest / tree peak memory column only


def child(system: str, workload: str) -> None:
    loader, max_depth, trees = WORKLOADS[workload]
    x, y = loader()
    depth = common.lindorf_depth(max_depth)
    if system in ("lindorf", LINDORF_TREE):
        from lindorf._lindorf import train_forest_np, train_tree_np

        if system == "lindorf":
            call = lambda: train_forest_np(x, y, depth, trees)  # noqa: E731
        else:
            call = lambda: train_tree_np(x, y, depth)  # noqa: E731
        seconds, accuracy = common.time_lindorf(call)
    elif system == "scikit-learn":
        from sklearn.ensemble import RandomForestClassifier

        seconds, accuracy = common.time_sklearn(
            lambda: RandomForestClassifier(n_estimators=trees, criterion="entropy",
                                           max_features=None, bootstrap=True, min_samples_split=3,
                                           max_depth=max_depth, n_jobs=-1),
            x, y,
        )
    else:
        models = peers.forest_models(max_depth, trees, common.cut(len(x)))
        seconds, accuracy = common.time_sklearn(models[system], x, y)
    print(json.dumps({"seconds": seconds, "accuracy": accuracy, "peak_mib": common.peak_memory_mib()}))


def measure(system: str, workload: str) -> dict:
    out = subprocess.run([sys.executable, __file__, "--child", system, workload],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=3, help="runs of each system per workload")
    parser.add_argument("--peers", action="store_true", help="add LightGBM and XGBoost (if installed)")
    parser.add_argument("--only", default="", help="run only workloads whose name contains this text")
    parser.add_argument("--child", nargs=2, metavar=("SYSTEM", "WORKLOAD"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return

    results, memory = [], []
    for workload in WORKLOADS:
        if args.only not in workload:
            continue
        _, max_depth, trees = WORKLOADS[workload]
        names = ["lindorf", "scikit-learn"]
        if args.peers:
            names += list(peers.forest_models(max_depth, trees, 0))
        peaks: dict[str, list[float]] = {name: [] for name in names + [LINDORF_TREE]}

        def run(name: str) -> tuple[float, float]:
            measured = measure(name, workload)
            peaks[name].append(measured["peak_mib"])
            return measured["seconds"], measured["accuracy"]

        runs = common.run_alternately({name: lambda name=name: run(name) for name in names}, args.repeats)
        run(LINDORF_TREE)
        results.append((workload, runs))
        peak = {name: common.median(values) for name, values in peaks.items()}
        memory.append([workload] + [f"{peak[name]:.0f}" for name in names] +
                      [f"{peak['lindorf'] / peak[LINDORF_TREE]:.2f}"])
        print(f"done: {workload}", file=sys.stderr, flush=True)
    print(common.comparison_table(results, args.peers, digits=2))
    print()
    print(common.markdown_table(["workload"] + [f"{name} peak MiB" for name in names] +
                                ["lindorf forest / tree peak"], memory))


if __name__ == "__main__":
    main()
