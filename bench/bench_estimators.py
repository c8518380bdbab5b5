"""lindorf's estimators against scikit-learn's, side by side in one run.

Each measurement runs the systems alternately, several times, and reports the median wall time,
the ratio (lindorf / other: below 1 is faster) and, where there is one, the accuracy on the held
out last tenth of the rows. Three tables:

- tree fit plus predict on the 90/10 cut, against train_tree_np on the same data (which cuts,
  fits, predicts and reports in one call) and against scikit-learn's DecisionTreeClassifier;
- prediction alone: a depth-10 tree labelling 1,000,000 rows, a 100-tree forest giving class
  probabilities for 100,000 rows;
- a 100-tree forest with max_features="sqrt", fit plus predict, and its pickled size.

    .venv/bin/python bench/bench_estimators.py [--repeats N] [--quick]
"""

from __future__ import annotations

import argparse
import os
import pickle
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def alternate(calls: dict, repeats: int) -> dict:
    """Runs each call `repeats` times, the systems taking turns; the median time of each and the
    result of its last run."""
    runs = common.run_alternately({name: lambda call=call: timed(call)
                                   for name, call in calls.items()}, repeats)
    return {name: (common.median([seconds for seconds, _ in runs[name]]), runs[name][-1][1])
            for name in calls}


def fit_and_predict(make, x, y):
    k = common.cut(len(x))

    def run():
        model = make().fit(x[:k], y[:k])
        return model, float(np.mean(model.predict(x[k:]) == y[k:]))

    return run


def tree_rows(workloads, repeats):
    from sklearn.tree import DecisionTreeClassifier as SkTree

    from lindorf import DecisionTreeClassifier
    from lindorf._lindorf import train_tree_np

    rows, fitted = [], {}
    for name, x, y, depth in workloads:
        runs = alternate({
            "lindorf": fit_and_predict(lambda: DecisionTreeClassifier(max_depth=depth, n_jobs=-1), x, y),
            "train_tree_np": lambda: common.time_lindorf(lambda: train_tree_np(x, y, depth)),
            "sklearn": fit_and_predict(lambda: SkTree(criterion="entropy", max_depth=depth,
                                                      min_samples_split=3), x, y),
        }, repeats)
        (ours, (model, ours_acc)), (core, _), (theirs, (sk_model, theirs_acc)) = (
            runs["lindorf"], runs["train_tree_np"], runs["sklearn"])
        fitted[name] = (model, sk_model)
        rows.append([name, f"{ours:.3f}", f"{core:.3f}", f"{ours / core:.2f}", f"{theirs:.3f}",
                     f"{ours / theirs:.2f}", f"{ours_acc:.4f}", f"{theirs_acc:.4f}"])
        print(f"done: tree {name}", file=sys.stderr, flush=True)
    header = ["workload", "estimator s", "train_tree_np s", "estimator / train_tree_np",
              "scikit-learn s", "estimator / scikit-learn", "estimator accuracy",
              "scikit-learn accuracy"]
    return common.markdown_table(header, rows), fitted


def forest_rows(x, y, n_trees, repeats):
    from sklearn.ensemble import RandomForestClassifier as SkForest

    from lindorf import RandomForestClassifier

    runs = alternate({
        "lindorf": fit_and_predict(
            lambda: RandomForestClassifier(n_trees, max_features="sqrt", n_jobs=-1), x, y),
        "sklearn": fit_and_predict(
            lambda: SkForest(n_trees, criterion="entropy", max_features="sqrt", n_jobs=-1), x, y),
    }, repeats)
    (ours, (model, ours_acc)), (theirs, (sk_model, theirs_acc)) = runs["lindorf"], runs["sklearn"]
    ours_size, theirs_size = len(pickle.dumps(model)), len(pickle.dumps(sk_model))
    row = [f"synthetic 100,000 x 20, {n_trees} trees", f"{ours:.2f}", f"{theirs:.2f}",
           f"{ours / theirs:.2f}", f"{ours_acc:.4f}", f"{theirs_acc:.4f}",
           f"{ours_size / 2**20:.1f}", f"{theirs_size / 2**20:.1f}",
           f"{ours_size / theirs_size:.2f}"]
    header = ["workload", "lindorf s", "scikit-learn s", "time ratio", "lindorf accuracy",
              "scikit-learn accuracy", "lindorf pickle MiB", "scikit-learn pickle MiB",
              "size ratio"]
    return common.markdown_table(header, [row]), (model, sk_model)


def predict_rows(cases, repeats):
    rows = []
    for name, method, (ours, theirs), x in cases:
        runs = alternate({"lindorf": lambda: getattr(ours, method)(x),
                          "sklearn": lambda: getattr(theirs, method)(x)}, repeats)
        (t_ours, _), (t_theirs, _) = runs["lindorf"], runs["sklearn"]
        rows.append([name, f"{t_ours:.3f}", f"{t_theirs:.3f}", f"{t_ours / t_theirs:.2f}"])
    return common.markdown_table(["workload", "lindorf s", "scikit-learn s", "time ratio"], rows)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=3, help="runs of each system")
    parser.add_argument("--quick", action="store_true",
                        help="skip the 1,000,000-row data and grow forests of 20 trees")
    args = parser.parse_args()

    x20, y20 = common.synthetic(100_000, 20, 10)
    workloads = [("synthetic 100,000 x 20, depth 12", x20, y20, 12)]
    if not args.quick:
        x10, y10 = common.synthetic(1_000_000, 10, 8)
        workloads.append(("synthetic 1,000,000 x 10, depth 10", x10, y10, 10))
    trees, fitted = tree_rows(workloads, args.repeats)
    n_trees = 20 if args.quick else 100
    forest, forests = forest_rows(x20, y20, n_trees, args.repeats)
    print("done: forest", file=sys.stderr, flush=True)
    name, x_tree = (("1,000,000", x10) if not args.quick else ("100,000", x20))
    tree_models = fitted[workloads[-1][0]]
    predictions = predict_rows([
        (f"predict {name} rows, depth-{workloads[-1][3]} tree", "predict", tree_models, x_tree),
        (f"predict_proba 100,000 rows, {n_trees}-tree forest", "predict_proba", forests, x20),
    ], max(args.repeats, 5))
    print("\n\n".join([trees, predictions, forest]))


if __name__ == "__main__":
    main()
