"""lindorf's regressors against scikit-learn's, side by side, and with --peers against LightGBM's
and XGBoost's (see peers.py: a tree is one boosting round with learning rate 1; a forest is their
random-forest mode).

All systems learn from the same first nine tenths of make_regression's rows and predict the last
tenth; they run alternately, several times each. The table reports each one's median wall time
(fit + predict), lindorf's time over scikit-learn's (without --peers) or over the fastest other
system's (with --peers: below 1 is faster), and the R^2 of the predictions. lindorf and the peers
use every core; scikit-learn's tree has one thread, its forest every core.

    .venv/bin/python bench/bench_regression.py [--repeats N] [--quick] [--peers] [--only TEXT]
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from dataclasses import dataclass
from typing import Callable

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import peers  # noqa: E402


@dataclass
class Job:
    name: str
    rows: int
    features: int
    max_depth: int | None
    criterion: str = "squared_error"
    trees: int = 0  # 0: a single tree
    max_features: float | None = None


JOBS = [
    Job("tree, depth 12, 100,000 x 20", 100_000, 20, 12),
    Job("tree, depth 10, 1,000,000 x 10", 1_000_000, 10, 10),
    Job("forest of 100, max_features=1/3, 100,000 x 20", 100_000, 20, None, trees=100,
        max_features=1 / 3),
    # Every system's trees held to the depth the peers' forests are capped at: the same model
    # shape side by side.
    Job("forest of 100, max_features=1/3, depth 10, 100,000 x 20", 100_000, 20, 10, trees=100,
        max_features=1 / 3),
    Job("absolute_error tree, depth 10, 100,000 x 10", 100_000, 10, 10, "absolute_error"),
    Job("poisson tree, depth 10, 100,000 x 10", 100_000, 10, 10, "poisson"),
]
QUICK = ("tree, depth 12", "absolute_error")
# The peers' forests grow trees of at most 2^10 leaves (peers.forest_models); lindorf's and
# scikit-learn's, of about 57,000.
PEER_FOREST_DEPTH = 10


def data(job: Job) -> tuple[np.ndarray, np.ndarray]:
    from sklearn.datasets import make_regression

    x, y = make_regression(n_samples=job.rows, n_features=job.features,
                           n_informative=min(10, job.features), noise=10.0, random_state=0)
    if job.criterion == "poisson":
        # Counts whose log-mean is linear in the features, as Poisson regression expects, with
        # means from about 0.1 to 10 so that the features explain much of the counts.
        y = np.random.default_rng(0).poisson(np.exp(y / y.std()))
    return np.ascontiguousarray(x, dtype=np.float32), y.astype(np.float64)


def fit_and_score(make: Callable[[], object], x: np.ndarray, y: np.ndarray) -> tuple[float, float]:
    from sklearn.metrics import r2_score

    k = common.cut(len(x))
    start = time.perf_counter()
    predicted = make().fit(x[:k], y[:k]).predict(x[k:])
    seconds = time.perf_counter() - start
    return seconds, float(r2_score(y[k:], predicted))


def estimators(job: Job) -> dict[str, Callable[[], object]]:
    """lindorf's and scikit-learn's estimator for the job."""
    import lindorf.ensemble
    import lindorf.tree
    import sklearn.ensemble
    import sklearn.tree

    if job.trees:
        params = dict(n_estimators=job.trees, criterion=job.criterion, max_depth=job.max_depth,
                      max_features=job.max_features, n_jobs=-1, random_state=0)
        return {"lindorf": lambda: lindorf.ensemble.RandomForestRegressor(**params),
                "scikit-learn": lambda: sklearn.ensemble.RandomForestRegressor(**params)}
    params = dict(criterion=job.criterion, max_depth=job.max_depth)
    threads = dict(n_jobs=-1)  # scikit-learn's tree has no n_jobs: one thread
    return {"lindorf": lambda: lindorf.tree.DecisionTreeRegressor(**params, **threads),
            "scikit-learn": lambda: sklearn.tree.DecisionTreeRegressor(**params)}


def peer_models(job: Job) -> dict[str, Callable[[], object]]:
    if job.criterion != "squared_error":
        return {}  # the boosting libraries' trees fit gradients, not medians or deviances
    rows = common.cut(job.rows)
    if job.trees:
        # Fully grown, the peers' forests ran for more than 40 minutes: their trees are capped.
        return peers.forest_models(job.max_depth, job.trees, rows, regression=True,
                                   max_features=job.max_features, capped_depth=PEER_FOREST_DEPTH)
    return peers.tree_models(job.max_depth, rows, regression=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5, help="runs of each system per job")
    parser.add_argument("--quick", action="store_true",
                        help="only the 100,000 x 20 tree and the absolute_error tree")
    parser.add_argument("--peers", action="store_true",
                        help="add LightGBM and XGBoost (if installed)")
    parser.add_argument("--only", default="", help="run only jobs whose name contains this text")
    args = parser.parse_args()
    results = []
    for job in JOBS:
        if args.only not in job.name or (args.quick and not job.name.startswith(QUICK)):
            continue
        x, y = data(job)
        makers = estimators(job)
        if args.peers:
            makers.update(peer_models(job))
        systems = {name: lambda make=make: fit_and_score(make, x, y)
                   for name, make in makers.items()}
        results.append((job.name, common.run_alternately(systems, args.repeats)))
        print(f"done: {job.name}", file=sys.stderr, flush=True)
    print(common.comparison_table(results, args.peers, digits=3, metric="R^2"))


if __name__ == "__main__":
    main()
