"""The other learners that `--peers` adds to the benchmarks, set up to grow what lindorf grows.

LightGBM and XGBoost are optional, needed by nothing but this option: install them into the
environment with

    .venv/bin/python -m pip install lightgbm xgboost

(the package's `peers` extra names the same). Leave one out of a run with
`LINDORF_BENCH_WITHOUT=lightgbm` (names separated by commas): LightGBM's capped random forest
takes minutes a run, which the extremely randomized trees and the regression forests do not
need when only lindorf and scikit-learn are compared.

A tree is one boosting round with a learning rate of 1, grown to the same depth with nothing
that stops a split early (no least leaf size beyond one row, no least gain, no regularisation);
a forest is LightGBM's random-forest mode and XGBoost's parallel trees of one round, each tree on a
sample of rows (LightGBM and XGBoost sample without replacement: 63.2 %, the share of distinct
rows in a bootstrap sample). The histogram methods bin each feature into at most 255 values
first, so they search fewer thresholds than an exact learner.
"""

from __future__ import annotations

import os
from typing import Callable

DEEP = 64  # XGBoost's depth for "unlimited"
LEAVES = 1 << 17  # LightGBM's largest leaf count


def available() -> list[str]:
    left_out = set(os.environ.get("LINDORF_BENCH_WITHOUT", "").split(","))
    found = []
    for module in ("lightgbm", "xgboost"):
        if module in left_out:
            continue
        try:
            __import__(module)
            found.append(module)
        except ImportError:
            pass
    return found


def _lightgbm_common(max_depth: int | None, rows: int) -> dict:
    # LightGBM sizes its work by the leaf limit: no more leaves than rows, nor than the depth allows.
    leaves = min(LEAVES, rows) if max_depth is None else min(LEAVES, rows, 2**max_depth)
    return dict(max_depth=-1 if max_depth is None else max_depth, num_leaves=max(leaves, 2),
                min_child_samples=1, min_child_weight=0.0, min_split_gain=0.0, reg_lambda=0.0,
                verbose=-1, n_jobs=-1)


def _xgboost_common(max_depth: int | None, method: str) -> dict:
    return dict(max_depth=DEEP if max_depth is None else max_depth, tree_method=method,
                min_child_weight=0.0, reg_lambda=0.0, n_jobs=-1)


def _class(module: str, regression: bool):
    """LightGBM's or XGBoost's estimator class for the task, or None when it is not installed."""
    if module not in available():
        return None
    if module == "lightgbm":
        import lightgbm

        return lightgbm.LGBMRegressor if regression else lightgbm.LGBMClassifier
    import xgboost

    return xgboost.XGBRegressor if regression else xgboost.XGBClassifier


def tree_models(max_depth: int | None, rows: int,
                regression: bool = False) -> dict[str, Callable[[], object]]:
    """Name -> factory of a model that grows one tree on `rows` rows (a regression tree with
    `regression`)."""
    models: dict[str, Callable[[], object]] = {}
    if (lightgbm_class := _class("lightgbm", regression)) is not None:
        models["LightGBM"] = lambda: lightgbm_class(
            n_estimators=1, learning_rate=1.0, **_lightgbm_common(max_depth, rows))
    if (xgboost_class := _class("xgboost", regression)) is not None:
        for method in ("hist", "exact"):
            models[f"XGBoost {method}"] = lambda method=method: xgboost_class(
                n_estimators=1, learning_rate=1.0, **_xgboost_common(max_depth, method))
    return models


def forest_models(max_depth: int | None, trees: int, rows: int, regression: bool = False,
                  max_features: float | None = None,
                  capped_depth: int | None = None) -> dict[str, Callable[[], object]]:
    """Name -> factory of a random forest of `trees` trees on `rows` rows, each node searching
    the share `max_features` of the features (None: all).

    `capped_depth` bounds the peers' trees where lindorf's grow fully: at most 2**capped_depth
    leaves (LightGBM's num_leaves, with its histogram cache capped at 1 GiB; XGBoost's depth,
    histogram method only). Trees of continuous targets grown until every leaf is pure have about
    as many leaves as distinct rows, and the peers' histogram searches, whose cost grows with the
    leaves times the bins, then take tens of minutes; with the cap they grow far smaller trees
    than lindorf does, so the comparison favours them."""
    models: dict[str, Callable[[], object]] = {}
    share = 1.0 if max_features is None else max_features
    suffix = "" if capped_depth is None else f" <= {2**capped_depth} leaves"
    if (lightgbm_class := _class("lightgbm", regression)) is not None:
        settings = _lightgbm_common(max_depth, rows)
        if capped_depth is not None:
            settings.update(num_leaves=min(settings["num_leaves"], 2**capped_depth),
                          histogram_pool_size=1024)
        models["LightGBM rf" + suffix] = lambda: lightgbm_class(
            boosting_type="rf", n_estimators=trees, subsample=0.632, subsample_freq=1,
            colsample_bytree=1.0, feature_fraction_bynode=share, **settings)
    if (xgboost_class := _class("xgboost", regression)) is not None:
        depth = max_depth if capped_depth is None else min(capped_depth, max_depth or DEEP)
        for method in ("hist",) if capped_depth is not None else ("hist", "exact"):
            models[f"XGBoost rf {method}" + suffix] = lambda method=method: xgboost_class(
                n_estimators=1, num_parallel_tree=trees, learning_rate=1.0, subsample=0.632,
                colsample_bynode=share, **_xgboost_common(depth, method))
    return models
