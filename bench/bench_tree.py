"""lindorf's train_tree_np against scikit-learn's DecisionTreeClassifier, side by side, and with
--peers against LightGBM and XGBoost (see peers.py) too.

All learn from the same first nine tenths of the rows and label the last tenth. The systems run
alternately, several times each; the table reports each one's median wall time (fit + predict),
lindorf's time over scikit-learn's (without --peers) or over the fastest other system's (with
--peers: below 1 is faster), and the accuracies.

    .venv/bin/python bench/bench_tree.py [--repeats N] [--quick] [--peers] [--only TEXT]
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from typing import Callable

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import peers  # noqa: E402

MANY_CLASSES = "every label distinct, 19,113 x 10, depth 3"


def workloads(quick: bool) -> list[common.Workload]:
    out = [common.Workload("breast cancer 569 x 30, depth 8", *common.breast_cancer(), 8)]
    out.append(common.Workload("synthetic 100,000 x 20, depth 12", *common.synthetic(100_000, 20, 10), 12))
    if not quick:
        out.append(
            common.Workload("synthetic 1,000,000 x 10, depth 10", *common.synthetic(1_000_000, 10, 8), 10)
        )
        out.append(common.Workload("synthetic 300,000 x 10, depth 10", *common.synthetic(300_000, 10, 8), 10))
    out.append(common.Workload(MANY_CLASSES, *common.all_distinct_labels(), 3))
    return out


def time_lindorf(w: common.Workload) -> tuple[float, float]:
    from lindorf._lindorf import train_tree_np

    depth = common.lindorf_depth(w.max_depth)
    return common.time_lindorf(lambda: train_tree_np(w.x, w.y, depth))


def sklearn_tree(w: common.Workload) -> Callable[[], object]:
    from sklearn.tree import DecisionTreeClassifier

    return lambda: DecisionTreeClassifier(criterion="entropy", max_depth=w.max_depth, min_samples_split=3)


def systems(w: common.Workload, with_peers: bool) -> dict[str, Callable[[], tuple[float, float]]]:
    out = {"lindorf": lambda: time_lindorf(w),
           "scikit-learn": lambda: common.time_sklearn(sklearn_tree(w), w.x, w.y)}
    # Boosting libraries grow one tree per class: with every label its own class that is no
    # longer a comparison of one tree with one tree.
    if with_peers and w.name != MANY_CLASSES:
        for name, make in peers.tree_models(w.max_depth, common.cut(len(w.x))).items():
            out[name] = lambda make=make: common.time_sklearn(make, w.x, w.y)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5, help="runs of each system per workload")
    parser.add_argument("--quick", action="store_true", help="skip the 300,000- and 1,000,000-row workloads")
    parser.add_argument("--peers", action="store_true", help="add LightGBM and XGBoost (if installed)")
    parser.add_argument("--only", default="", help="run only workloads whose name contains this text")
    args = parser.parse_args()
    # scikit-learn warns that labels all distinct look like a regression target: they are meant.
    warnings.filterwarnings("ignore", message="The number of unique classes")

    results = []
    for w in workloads(args.quick):
        if args.only not in w.name:
            continue
        runs = common.run_alternately(systems(w, args.peers), args.repeats)
        results.append((w.name, runs))
        print(f"done: {w.name}", file=sys.stderr, flush=True)
    print(common.comparison_table(results, args.peers, digits=3))


if __name__ == "__main__":
    main()
