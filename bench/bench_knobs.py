"""The parameters people tune, lindorf's estimators against scikit-learn's with the same
parameters, side by side in one run (and, for extremely randomized trees, LightGBM's random-forest
mode with extra_trees, when it is installed):

- a class-weighted forest (class_weight="balanced", 100 trees, max_features="sqrt") on 100,000 x
  20 rows of which a tenth are of the rare class;
- extremely randomized trees (100 trees, every row, max_features="sqrt") on 100,000 x 20;
- a best-first tree of at most 255 leaves (max_leaf_nodes=255) on 1,000,000 x 10;
- the cost-complexity pruning path of an unpruned tree on 100,000 x 20.

Every system uses Gini impurity, splits nodes of two rows or more and runs on every core
(n_jobs=-1; scikit-learn's single trees have one thread, lindorf's the cores). The time is the
fit plus the prediction of the held-out tenth (for the pruning path, the path alone), the median
of the runs, alternating between the systems; the ratio is lindorf's time over scikit-learn's.

    .venv/bin/python bench/bench_knobs.py [--repeats N] [--only TEXT]
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Callable

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import peers  # noqa: E402


def imbalanced(n_rows: int, n_features: int):
    from sklearn.datasets import make_classification

    x, y = make_classification(n_samples=n_rows, n_features=n_features, n_informative=10,
                               n_redundant=2, weights=[0.9, 0.1], random_state=0)
    return np.ascontiguousarray(x, dtype=np.float32), y.astype(np.uint32)


def fit_predict(make: Callable[[], object], x, y) -> Callable[[], tuple[float, float]]:
    k = common.cut(len(x))

    def run():
        start = time.perf_counter()
        model = make().fit(x[:k], y[:k])
        accuracy = float(np.mean(model.predict(x[k:]) == y[k:]))
        return time.perf_counter() - start, accuracy
    return run


def pruning_path(make: Callable[[], object], x, y) -> Callable[[], tuple[float, float]]:
    def run():
        start = time.perf_counter()
        path = make().cost_complexity_pruning_path(x, y)
        return time.perf_counter() - start, float(len(path.ccp_alphas))
    return run


def workloads() -> dict[str, Callable[[], dict]]:
    import lindorf
    from sklearn import ensemble, tree

    def class_weighted():
        x, y = imbalanced(100_000, 20)
        p = dict(n_estimators=100, class_weight="balanced", criterion="gini",
                 min_samples_split=2, max_features="sqrt", n_jobs=-1)
        return {"lindorf": fit_predict(lambda: lindorf.RandomForestClassifier(**p), x, y),
                "scikit-learn": fit_predict(lambda: ensemble.RandomForestClassifier(**p), x, y)}

    def extra_trees():
        x, y = common.synthetic(100_000, 20, 10)
        p = dict(n_estimators=100, criterion="gini", max_features="sqrt", n_jobs=-1)
        systems = {
            "lindorf": fit_predict(lambda: lindorf.ExtraTreesClassifier(**p), x, y),
            "scikit-learn": fit_predict(lambda: ensemble.ExtraTreesClassifier(**p), x, y)}
        if "lightgbm" in peers.available():
            import lightgbm

            # Random-forest mode needs bagging: every row but one in each tree's sample. Grown
            # leaf-wise to a leaf per row (2^17 leaves) it had not finished two runs in 25
            # minutes, so its trees are capped at 4,096 leaves of one row or more, and its
            # histogram cache at 1 GiB: these trees are smaller than the others'.
            systems["LightGBM rf extra_trees"] = fit_predict(lambda: lightgbm.LGBMClassifier(
                boosting_type="rf", extra_trees=True, n_estimators=100, subsample=0.999,
                subsample_freq=1, feature_fraction_bynode=np.sqrt(20) / 20, num_leaves=4096,
                max_depth=-1, min_child_samples=1, min_child_weight=0.0, min_split_gain=0.0,
                reg_lambda=0.0, histogram_pool_size=1024, verbose=-1, n_jobs=-1), x, y)
        return systems

    def best_first():
        x, y = common.synthetic(1_000_000, 10, 8)
        p = dict(max_leaf_nodes=255, criterion="gini", min_samples_split=2)
        return {"lindorf": fit_predict(lambda: lindorf.DecisionTreeClassifier(**p, n_jobs=-1),
                                       x, y),
                "scikit-learn": fit_predict(lambda: tree.DecisionTreeClassifier(**p), x, y)}

    def pruning():
        x, y = common.synthetic(100_000, 20, 10)
        p = dict(criterion="gini", min_samples_split=2)
        return {"lindorf": pruning_path(lambda: lindorf.DecisionTreeClassifier(**p, n_jobs=-1),
                                        x, y),
                "scikit-learn": pruning_path(lambda: tree.DecisionTreeClassifier(**p), x, y)}

    return {"class-weighted forest, 100 trees, 100,000 x 20": class_weighted,
            "extra trees, 100 trees, 100,000 x 20": extra_trees,
            "max_leaf_nodes=255 tree, 1,000,000 x 10": best_first,
            "cost_complexity_pruning_path, 100,000 x 20": pruning}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=3, help="runs of each system")
    parser.add_argument("--only", default="", help="run only workloads whose name has this text")
    args = parser.parse_args()
    results = []
    for name, make in workloads().items():
        if args.only not in name:
            continue
        runs = common.run_alternately(make(), args.repeats)
        results.append((name, runs))
        print(f"done: {name}", file=sys.stderr, flush=True)
    # The pruning row's "accuracy" column holds the number of alphas on the path.
    print(common.comparison_table(results, with_peers=False, digits=2))


if __name__ == "__main__":
    main()
