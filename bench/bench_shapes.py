"""lindorf's estimators on data away from tall and narrow, side by side with scikit-learn and
(with --peers) LightGBM, threads matched: every system gets the same number of threads (--threads,
by default every usable core).

Sections (--only picks some):

- wide: 2,000 x 5,000 (50 informative), max_features="sqrt": a tree and a 50-tree forest, fit
  alone, against scikit-learn and LightGBM's random-forest mode drawing the same share of
  features at each node (leaves capped at 2,000, one per training row, and its histogram cache
  at 1 GiB: uncapped, its histograms of 5,000 features for every leaf outgrow any memory);
- labels: every label distinct, 1,000 to 100,000 rows in steps of 1,000 (--label-step), at
  depth 1 and unlimited: the largest time ratio of a size to its neighbours, and a two-tree
  forest searching every feature on 2^20 distinct labels;
- sparse: 100,000 x 2,000 at 1 % density as a CSC matrix: a depth-12 tree and a 100-tree forest
  with max_features="sqrt", fit alone, and each system's peak memory (a fresh process each) and
  the peak its fit reached above the resident set before it;
- tall: a depth-10 tree on 1,000,000 to 10,000,000 rows x 10 (fit alone) against one boosting
  round of LightGBM at learning rate 1, and how fit time grows with the rows;
- latency: a 100-tree forest of deep trees (100,000 x 20), voting softly as scikit-learn's
  does: one-row predict, and predict_proba of 100,000 rows.

    .venv/bin/python bench/bench_shapes.py [--only SECTION] [--repeats N] [--peers] [--threads T]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import peers  # noqa: E402

SECTIONS = ("wide", "labels", "sparse", "tall", "latency")


def timed(call) -> tuple[float, object]:
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def fit_seconds(make, x, y) -> tuple[float, float]:
    """(seconds to fit, 0.0): a fit-only measurement in comparison_table's shape."""
    seconds, _ = timed(lambda: make().fit(x, y))
    return seconds, 0.0


def lightgbm_rf(trees: int, feature_share: float, leaves: int, threads: int):
    import lightgbm

    return lambda: lightgbm.LGBMClassifier(
        boosting_type="rf", n_estimators=trees, subsample=0.632, subsample_freq=1,
        feature_fraction_bynode=feature_share, num_leaves=leaves, max_depth=-1,
        min_child_samples=1, min_child_weight=0.0, min_split_gain=0.0, reg_lambda=0.0,
        histogram_pool_size=1024, verbose=-1, n_jobs=threads)


def fit_only_table(results: list, with_peers: bool) -> str:
    """comparison_table without the accuracy columns, which fit-only runs do not measure."""
    table = common.comparison_table(results, with_peers, digits=3).splitlines()
    keep = [i for i, cell in enumerate(table[0].split("|")) if "accuracy" not in cell]
    return "\n".join("|".join(row.split("|")[i] for i in keep) for row in table)


# -- wide ---------------------------------------------------------------------------------------

def wide(args) -> None:
    from sklearn.datasets import make_classification
    from sklearn.ensemble import RandomForestClassifier as SkForest
    from sklearn.tree import DecisionTreeClassifier as SkTree

    from lindorf.ensemble import RandomForestClassifier
    from lindorf.tree import DecisionTreeClassifier

    x, y = make_classification(n_samples=2000, n_features=5000, n_informative=50,
                               n_redundant=0, random_state=0)
    x = np.ascontiguousarray(x, dtype=np.float32)
    common_params = dict(criterion="entropy", max_features="sqrt", min_samples_split=3)
    share = int(math.sqrt(x.shape[1])) / x.shape[1]
    results = []
    for name, trees in (("tree", 1), ("50-tree forest", 50)):
        if trees == 1:
            systems = {"lindorf": lambda: fit_seconds(
                           lambda: DecisionTreeClassifier(**common_params), x, y),
                       "scikit-learn": lambda: fit_seconds(
                           lambda: SkTree(**common_params), x, y)}
        else:
            systems = {"lindorf": lambda: fit_seconds(
                           lambda: RandomForestClassifier(trees, n_jobs=args.threads,
                                                          **common_params), x, y),
                       "scikit-learn": lambda: fit_seconds(
                           lambda: SkForest(trees, n_jobs=args.threads, **common_params), x, y)}
        if args.peers and "lightgbm" in peers.available():
            make = lightgbm_rf(trees, share, len(x), args.threads)
            systems["LightGBM rf"] = lambda make=make: fit_seconds(make, x, y)
        results.append((f"2,000 x 5,000, sqrt features, {name}",
                        common.run_alternately(systems, args.repeats)))
    print(fit_only_table(results, args.peers))


# -- labels -------------------------------------------------------------------------------------

def labels(args) -> None:
    from lindorf.ensemble import RandomForestClassifier
    from lindorf.tree import DecisionTreeClassifier

    rows = list(range(1000, 100_001, args.label_step))
    lines = []
    for depth in (1, None):
        times = []
        for n in rows:
            x, y = common.all_distinct_labels(n, 10)
            best = min(timed(lambda: DecisionTreeClassifier(max_depth=depth).fit(x, y))[0]
                       for _ in range(args.repeats))
            times.append(best)
        # Each size against the faster of its neighbours: a cliff shows as a large ratio.
        ratios = [times[i] / min(times[j] for j in (i - 1, i + 1) if 0 <= j < len(times))
                  for i in range(len(times))]
        worst = int(np.argmax(ratios))
        lines.append([f"depth {depth or 'unlimited'}, {rows[0]:,} to {rows[-1]:,} rows",
                      f"{min(times):.3f}", f"{max(times):.3f}",
                      f"{ratios[worst]:.2f} at {rows[worst]:,} rows"])
        print(f"done: depth {depth}", file=sys.stderr, flush=True)
    print(common.markdown_table(["every label distinct", "fastest s", "slowest s",
                                 "largest ratio to a neighbour"], lines))
    print()
    x, y = common.all_distinct_labels(1 << 20, 10)
    seconds = [timed(lambda: RandomForestClassifier(2, max_features=None, n_jobs=args.threads,
                                                    random_state=0).fit(x, y))[0]
               for _ in range(args.repeats)]
    print(common.markdown_table(["RandomForestClassifier(2) on 2^20 distinct labels", "seconds"],
                                [["fit", f"{common.median(seconds):.2f}"]]))


# -- sparse -------------------------------------------------------------------------------------

SPARSE_SYSTEMS = ("lindorf", "scikit-learn")


def sparse_data():
    import scipy.sparse

    rng = np.random.default_rng(0)
    n, width = 100_000, 2_000
    x = scipy.sparse.random(n, width, density=0.01, format="csc", dtype=np.float32,
                            random_state=rng)
    # Labels from a few features, so that trees have something to find.
    signal = np.asarray(x[:, :20].sum(axis=1)).ravel() + rng.normal(0, 0.05, n)
    return x, (signal > np.median(signal)).astype(np.int64)


def sparse_child(system: str, workload: str, threads: int) -> None:
    from lindorf.ensemble import RandomForestClassifier
    from lindorf.tree import DecisionTreeClassifier
    from sklearn.ensemble import RandomForestClassifier as SkForest
    from sklearn.tree import DecisionTreeClassifier as SkTree

    x, y = sparse_data()
    if workload == "tree":
        params = dict(criterion="entropy", max_depth=12, min_samples_split=3)
        make = (lambda: DecisionTreeClassifier(**params)) if system == "lindorf" else (
            lambda: SkTree(**params))
    else:
        params = dict(criterion="entropy", max_features="sqrt", min_samples_split=3,
                      n_jobs=threads)
        make = (lambda: RandomForestClassifier(100, **params)) if system == "lindorf" else (
            lambda: SkForest(100, **params))
    # The data's making peaks above what either fit adds: the process's peak alone would hide
    # the fits' own memory, measured from the resident set before them.
    data_peak = common.peak_memory_mib()
    before = common.resident_mib(reset_peak=True)
    seconds, _ = fit_seconds(make, x, y)
    fit_peak = common.peak_memory_mib()
    print(json.dumps({"seconds": seconds, "peak_mib": max(data_peak, fit_peak),
                      "fit_mib": fit_peak - before}))


def sparse(args) -> None:
    results, memory = [], []
    for workload, name in (("tree", "depth-12 tree"), ("forest", "100-tree forest, sqrt")):
        peaks = {system: [] for system in SPARSE_SYSTEMS}
        added = {system: [] for system in SPARSE_SYSTEMS}

        def run(system: str) -> tuple[float, float]:
            out = subprocess.run([sys.executable, __file__, "--sparse-child", system, workload,
                                  str(args.threads)], check=True, capture_output=True, text=True)
            measured = json.loads(out.stdout.strip().splitlines()[-1])
            peaks[system].append(measured["peak_mib"])
            added[system].append(measured["fit_mib"])
            return measured["seconds"], 0.0

        label = f"100,000 x 2,000 CSC at 1 %, {name}"
        results.append((label, common.run_alternately(
            {system: lambda system=system: run(system) for system in SPARSE_SYSTEMS},
            args.repeats)))
        memory.append([label] + [f"{common.median(peaks[s]):.0f}" for s in SPARSE_SYSTEMS]
                      + [f"{common.median(added[s]):.1f}" for s in SPARSE_SYSTEMS])
    print(fit_only_table(results, False))
    print()
    print(common.markdown_table(["workload"] + [f"{s} peak MiB" for s in SPARSE_SYSTEMS]
                                + [f"{s} fit's own MiB" for s in SPARSE_SYSTEMS], memory))


# -- tall ---------------------------------------------------------------------------------------

def tall(args) -> None:
    from lindorf.tree import DecisionTreeClassifier

    sizes = [1_000_000, 3_000_000, 10_000_000]
    results, seconds = [], {}
    for n in sizes:
        x, y = common.synthetic(n, 10, 8)
        systems = {"lindorf": lambda: fit_seconds(
            lambda: DecisionTreeClassifier(max_depth=10, n_jobs=args.threads), x, y)}
        if args.peers and "lightgbm" in peers.available():
            import lightgbm

            systems["LightGBM"] = lambda: fit_seconds(lambda: lightgbm.LGBMClassifier(
                n_estimators=1, learning_rate=1.0, max_depth=10, num_leaves=1024,
                min_child_samples=1, min_child_weight=0.0, min_split_gain=0.0, reg_lambda=0.0,
                verbose=-1, n_jobs=args.threads), x, y)
        runs = common.run_alternately(systems, args.repeats)
        results.append((f"{n:,} x 10, depth 10", runs))
        seconds[n] = {name: common.median([t for t, _ in r]) for name, r in runs.items()}
        del x, y
        print(f"done: {n:,}", file=sys.stderr, flush=True)
    print(fit_only_table(results, args.peers))
    print()
    growth = [[name, f"n^{math.log(seconds[sizes[-1]][name] / seconds[sizes[0]][name]) / math.log(sizes[-1] / sizes[0]):.2f}"]
              for name in seconds[sizes[0]]]
    print(common.markdown_table([f"fit time from {sizes[0]:,} to {sizes[-1]:,} rows", "grows as"],
                                growth))


# -- latency ------------------------------------------------------------------------------------

def latency(args) -> None:
    from sklearn.ensemble import RandomForestClassifier as SkForest

    from lindorf.ensemble import RandomForestClassifier

    x, y = common.synthetic(100_000, 20, 10)
    params = dict(n_estimators=100, criterion="entropy", max_features="sqrt",
                  min_samples_split=3, random_state=0, n_jobs=args.threads)
    models = {"lindorf": RandomForestClassifier(**params, voting="soft").fit(x, y),
              "scikit-learn": SkForest(**params).fit(x, y)}
    leaves = np.mean([tree.get_n_leaves() for tree in models["lindorf"].estimators_])
    one = x[:1]
    lines = []
    for name, model in models.items():
        for _ in range(20):
            model.predict(one)  # warm the caches and any lazily built state
        calls = [timed(lambda: model.predict(one))[0] for _ in range(args.latency_calls)]
        block = [timed(lambda: model.predict_proba(x))[0] for _ in range(args.repeats)]
        lines.append([name, f"{common.median(calls) * 1e3:.3f}", f"{common.median(block):.3f}"])
    ratio = float(lines[0][2]) / float(lines[1][2])
    print(common.markdown_table(
        [f"100 trees of about {leaves:,.0f} leaves", "one-row predict, median ms",
         "predict_proba of 100,000 rows, s"], lines))
    print(f"\npredict_proba of 100,000 rows: lindorf / scikit-learn = {ratio:.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", default="", help="comma-separated sections: " + ", ".join(SECTIONS))
    parser.add_argument("--repeats", type=int, default=3, help="runs of each system")
    parser.add_argument("--peers", action="store_true", help="add LightGBM (if installed)")
    parser.add_argument("--threads", type=int, default=0,
                        help="threads for every system (0: every usable core)")
    parser.add_argument("--label-step", type=int, default=1000,
                        help="rows between sizes in the distinct-labels section")
    parser.add_argument("--latency-calls", type=int, default=2000,
                        help="one-row predict calls timed")
    parser.add_argument("--sparse-child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.threads <= 0:
        args.threads = len(os.sched_getaffinity(0))
    warnings.filterwarnings("ignore", message="The number of unique classes")
    if args.sparse_child:
        sparse_child(args.sparse_child[0], args.sparse_child[1], int(args.sparse_child[2]))
        return
    chosen = [s for s in args.only.split(",") if s] or list(SECTIONS)
    for section in chosen:
        if section not in SECTIONS:
            parser.error(f"no section {section!r}; choose from {', '.join(SECTIONS)}")
    for section in chosen:
        print(f"## {section}\n")
        globals()[section](args)
        print()


if __name__ == "__main__":
    main()
