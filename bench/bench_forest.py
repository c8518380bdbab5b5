"""lindorf's train_forest_np against scikit-learn's RandomForestClassifier, side by side.

Every measurement runs in a fresh process, so that each system's peak memory (VmHWM) is its own;
runs alternate between the systems. The table reports median wall time of fit + predict, the
ratio lindorf / scikit-learn, both median accuracies, both peak memories, and lindorf's forest peak
memory relative to a single train_tree_np call on the same data.

    .venv/bin/python bench/bench_forest.py [--repeats N]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

# name -> (loader, max_depth or None, trees)
WORKLOADS = {
    "synthetic 100,000 x 20, depth 12, 50 trees": (lambda: common.synthetic(100_000, 20, 10), 12, 50),
    "digits < 5, 1,797 x 64, unlimited depth, 100 trees": (common.digits_two_class, None, 100),
}
SYSTEMS = ("lindorf-forest", "sklearn-forest", "lindorf-tree")


def child(system: str, workload: str) -> None:
    loader, max_depth, trees = WORKLOADS[workload]
    x, y = loader()
    depth = common.lindorf_depth(max_depth)
    if system == "sklearn-forest":
        from sklearn.ensemble import RandomForestClassifier

        seconds, accuracy = common.time_sklearn(
            lambda: RandomForestClassifier(n_estimators=trees, criterion="entropy",
                                           max_features=None, bootstrap=True, min_samples_split=3,
                                           max_depth=max_depth, n_jobs=-1),
            x, y,
        )
    else:
        from lindorf._lindorf import train_forest_np, train_tree_np

        if system == "lindorf-forest":
            call = lambda: train_forest_np(x, y, depth, trees)  # noqa: E731
        else:
            call = lambda: train_tree_np(x, y, depth)  # noqa: E731
        seconds, accuracy = common.time_lindorf(call)
    print(json.dumps({"seconds": seconds, "accuracy": accuracy, "peak_mib": common.peak_memory_mib()}))


def measure(system: str, workload: str) -> dict:
    out = subprocess.run([sys.executable, __file__, "--child", system, workload],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=3, help="runs of each system per workload")
    parser.add_argument("--child", nargs=2, metavar=("SYSTEM", "WORKLOAD"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return

    rows = []
    for workload in WORKLOADS:
        runs: dict[str, list[dict]] = {s: [] for s in SYSTEMS}
        for _ in range(args.repeats):
            for system in SYSTEMS:
                runs[system].append(measure(system, workload))
        med = {s: {key: common.median([r[key] for r in runs[s]]) for key in runs[s][0]} for s in SYSTEMS}
        ours, theirs, tree = med["lindorf-forest"], med["sklearn-forest"], med["lindorf-tree"]
        rows.append([
            workload,
            f"{ours['seconds']:.2f}",
            f"{theirs['seconds']:.2f}",
            f"{ours['seconds'] / theirs['seconds']:.2f}",
            f"{ours['accuracy']:.4f}",
            f"{theirs['accuracy']:.4f}",
            f"{ours['peak_mib']:.0f}",
            f"{theirs['peak_mib']:.0f}",
            f"{ours['peak_mib'] / tree['peak_mib']:.2f}",
        ])
        print(f"done: {workload}", file=sys.stderr, flush=True)
    header = ["workload", "lindorf s", "scikit-learn s", "time ratio", "lindorf accuracy",
              "scikit-learn accuracy", "lindorf peak MiB", "scikit-learn peak MiB",
              "lindorf forest / tree peak"]
    print(common.markdown_table(header, rows))


if __name__ == "__main__":
    main()
