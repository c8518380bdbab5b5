"""Explaining and exporting, side by side in one run.

- SHAP values of 10,000 rows (the last rows of the synthetic 100,000 x 20 set, whose first
  90,000 train): lindorf's ``predict_contributions`` against
  ``shap.TreeExplainer(model.to_sklearn()).shap_values`` on the same model, and against
  LightGBM's ``pred_contrib`` and XGBoost's ``pred_contribs`` on random forests of the same shape
  (trees, depth, features per node, and LightGBM's leaf limit set to lindorf's mean leaf count),
  by a 100-tree forest of depth 12 and by a single tree of depth 20 (one boosting round for the
  peers). lindorf and the peers use the same number of threads (--threads, default 2); shap's
  TreeExplainer runs on one thread, so lindorf on one thread is shown beside it.
- ``to_sklearn()`` of the 100-tree forest, and ``export_text`` of the whole depth-20 tree.

    .venv/bin/python bench/bench_explain.py [--rows N] [--repeats N] [--threads N]

shap, LightGBM and XGBoost come with the `peers` extra; a peer that is not installed is left
out. Each system runs `--repeats` times (default 1: shap alone takes minutes), the systems
taking turns; the table shows the median.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def installed(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


def peer_models(trees, depth, leaves, features, threads):
    """Name -> factory of a peer that grows `trees` trees like lindorf's (a forest: random-forest
    modes on 63.2 % samples; one tree: a boosting round with learning rate 1)."""
    forest = trees > 1
    per_node = features / 20  # the share of the 20 features each node draws
    models = {}
    if installed("lightgbm"):
        import lightgbm

        extra = dict(boosting_type="rf", subsample=0.632, subsample_freq=1,
                     feature_fraction_bynode=per_node) if forest else dict(learning_rate=1.0)
        models["LightGBM"] = lambda: lightgbm.LGBMClassifier(
            n_estimators=trees, max_depth=depth, num_leaves=leaves, min_child_samples=1,
            min_split_gain=0.0, reg_lambda=0.0, verbose=-1,
            n_jobs=threads, **extra)
    if installed("xgboost"):
        import xgboost

        extra = dict(num_parallel_tree=trees, subsample=0.632, colsample_bynode=per_node) \
            if forest else {}
        models["XGBoost"] = lambda: xgboost.XGBClassifier(
            n_estimators=1, learning_rate=1.0, max_depth=depth, tree_method="hist",
            min_child_weight=0.0, reg_lambda=0.0, n_jobs=threads, **extra)
    return models


def contributions_of(name, model, rows, threads):
    if name == "LightGBM":
        return lambda: model.booster_.predict(rows, pred_contrib=True, num_threads=threads)
    import xgboost

    booster = model.get_booster()
    booster.set_param({"nthread": threads})
    matrix = xgboost.DMatrix(rows)
    return lambda: booster.predict(matrix, pred_contribs=True)


def leaves_of(name, model):
    if name == "LightGBM":
        frame = model.booster_.trees_to_dataframe()
        return frame.groupby("tree_index").size().mean() / 2 + 0.5
    frame = model.get_booster().trees_to_dataframe()
    return (frame["Feature"] == "Leaf").sum() / frame["Tree"].nunique()


def explain_workload(title, make_lindorf, trees, depth, features, x, y, rows, args):
    k = len(x) - len(rows)
    model = make_lindorf().fit(x[:k], y[:k])
    leaves = float(np.mean(model._native.leaf_counts()))
    calls = {"lindorf": lambda: model.predict_contributions(rows)}
    sizes = {"lindorf": leaves}
    if installed("shap"):
        import shap

        explainer = shap.TreeExplainer(model.to_sklearn())
        calls["shap"] = lambda: explainer.shap_values(rows)
    for name, make in peer_models(trees, depth, int(round(leaves)), features,
                                  args.threads).items():
        peer = make().fit(x[:k], y[:k])
        calls[name] = contributions_of(name, peer, rows, args.threads)
        sizes[name] = leaves_of(name, peer)

    def lindorf_alone():
        if trees > 1:
            model.set_params(n_jobs=1)
            seconds = timed(lambda: model.predict_contributions(rows))
            model.set_params(n_jobs=args.threads)
            return seconds
        return timed(lambda: model._native.contributions(
            np.ascontiguousarray(rows, dtype=np.float32), "shares", 1))

    runs = common.run_alternately({name: lambda call=call: timed(call)
                                   for name, call in calls.items()}, args.repeats)
    runs["lindorf, 1 thread"] = [lindorf_alone() for _ in range(args.repeats)]
    print(title, {name: round(common.median(times), 3) for name, times in runs.items()},
          file=sys.stderr, flush=True)
    return title, {name: common.median(times) for name, times in runs.items()}, sizes


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=1)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    from lindorf import DecisionTreeClassifier, RandomForestClassifier
    from lindorf.tree import export_text

    x, y = common.synthetic(100_000, 20, 10)
    rows = x[-args.rows:]
    results = [
        explain_workload("100 trees of depth 12, max_features=\"sqrt\"",
                         lambda: RandomForestClassifier(100, max_depth=12, max_features="sqrt",
                                                        random_state=0, n_jobs=args.threads),
                         100, 12, 4, x, y, rows, args),
        explain_workload("one tree of depth 20",
                         lambda: DecisionTreeClassifier(max_depth=20, n_jobs=args.threads),
                         1, 20, 20, x, y, rows, args),
    ]
    names = ["lindorf", "lindorf, 1 thread", "shap", "LightGBM", "XGBoost"]
    names = [n for n in names if any(n in seconds for _, seconds, _ in results)]
    header = ["model, SHAP values of %s rows" % f"{args.rows:,}"] + [f"{n} s" for n in names]
    header += ["lindorf / shap (1 thread each)", "lindorf / fastest peer", "leaves per tree"]
    table = []
    for title, seconds, sizes in results:
        row = [title] + [f"{seconds[n]:.2f}" if n in seconds else "—" for n in names]
        row.append(f"{seconds['lindorf, 1 thread'] / seconds['shap']:.3f}"
                   if "shap" in seconds else "—")
        peers = [seconds[n] for n in ("LightGBM", "XGBoost") if n in seconds]
        row.append(f"{seconds['lindorf'] / min(peers):.3f}" if peers else "—")
        row.append(", ".join(f"{n} {sizes[n]:.0f}" for n in names if n in sizes))
        table.append(row)
    print(f"threads: {args.threads} (lindorf, LightGBM, XGBoost); shap: 1\n")
    print(common.markdown_table(header, table), flush=True)

    k = len(x) - args.rows
    forest = RandomForestClassifier(100, max_depth=12, max_features="sqrt", random_state=0,
                                    n_jobs=args.threads).fit(x[:k], y[:k])
    tree = DecisionTreeClassifier(max_depth=20).fit(x[:k], y[:k])
    jobs = {"to_sklearn() of the 100-tree forest": forest.to_sklearn,
            "export_text of the depth-20 tree, every level":
                lambda: export_text(tree, max_depth=tree.get_depth())}
    times = common.run_alternately({name: lambda call=call: timed(call)
                                    for name, call in jobs.items()}, 5)
    print()
    print(common.markdown_table(["job", "seconds", "size"], [
        [name, f"{common.median(times[name]):.3f}",
         f"{forest._native.n_trees} trees, {sum(forest._native.node_counts()):,} nodes"
         if "forest" in name else f"{tree.nodes_.node_count:,} nodes, "
         f"{len(export_text(tree, max_depth=tree.get_depth())):,} characters"]
        for name in jobs]))


if __name__ == "__main__":
    main()
