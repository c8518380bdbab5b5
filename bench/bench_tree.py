"""lindorf's train_tree_np against scikit-learn's DecisionTreeClassifier, side by side.

Both learn from the same first nine tenths of the rows and label the last tenth. The two run
alternately, several times each; the table reports the median wall time of each, their ratio
(lindorf / scikit-learn: below 1 is faster) and both accuracies.

    .venv/bin/python bench/bench_tree.py [--repeats N] [--quick]
"""

from __future__ import annotations

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402


def workloads(quick: bool) -> list[common.Workload]:
    out = [common.Workload("breast cancer 569 x 30, depth 8", *common.breast_cancer(), 8)]
    out.append(common.Workload("synthetic 100,000 x 20, depth 12", *common.synthetic(100_000, 20, 10), 12))
    if not quick:
        out.append(
            common.Workload("synthetic 1,000,000 x 10, depth 10", *common.synthetic(1_000_000, 10, 8), 10)
        )
    return out


def time_lindorf(w: common.Workload) -> tuple[float, float]:
    from lindorf._lindorf import train_tree_np

    depth = common.lindorf_depth(w.max_depth)
    return common.time_lindorf(lambda: train_tree_np(w.x, w.y, depth))


def time_sklearn(w: common.Workload) -> tuple[float, float]:
    from sklearn.tree import DecisionTreeClassifier

    return common.time_sklearn(
        lambda: DecisionTreeClassifier(criterion="entropy", max_depth=w.max_depth,
                                       min_samples_split=3),
        w.x, w.y,
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5, help="runs of each system per workload")
    parser.add_argument("--quick", action="store_true", help="skip the 1,000,000-row workload")
    args = parser.parse_args()

    rows = []
    for w in workloads(args.quick):
        ours, theirs = [], []
        for _ in range(args.repeats):
            ours.append(time_lindorf(w))
            theirs.append(time_sklearn(w))
        t_ours = common.median([t for t, _ in ours])
        t_theirs = common.median([t for t, _ in theirs])
        rows.append([
            w.name,
            f"{t_ours:.3f}",
            f"{t_theirs:.3f}",
            f"{t_ours / t_theirs:.2f}",
            f"{ours[0][1]:.4f}",
            f"{theirs[0][1]:.4f}",
        ])
        print(f"done: {w.name}", file=sys.stderr, flush=True)
    header = ["workload", "lindorf s", "scikit-learn s", "time ratio", "lindorf accuracy",
              "scikit-learn accuracy"]
    print(common.markdown_table(header, rows))


if __name__ == "__main__":
    main()
