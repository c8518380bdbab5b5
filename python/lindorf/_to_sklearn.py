"""lindorf's trees as genuine scikit-learn estimators: ``est.to_sklearn()``.

scikit-learn has no public constructor for a fitted tree, so each tree goes through the state its
``Tree`` pickles (``__setstate__`` with its node records and values), built from lindorf's node
table:

- A row goes left in lindorf when its value is strictly less than the threshold, in
  scikit-learn when it is at most the threshold; both compare float32 values. Each threshold
  becomes the largest float32 below it, so that ``<=`` sends exactly the values that ``<`` sends.
- NaN goes to the side lindorf's node sends it (``missing_go_to_left``; right by lindorf's rule).
- ``value`` holds class fractions, as scikit-learn 1.4 and later keep them. A single tree's
  leaves hold their class shares, so ``predict_proba`` is lindorf's; where several classes tie
  for a leaf's top share and lindorf's leaf predicts another than the lowest of them (lindorf
  gives the tie to the class whose latest training row comes last, scikit-learn's arg-max to the
  lowest), the predicted class's share is raised by one unit in the last place, so that
  ``predict`` agrees and ``predict_proba`` moves by about 1e-16.
- A forest's trees hold a vote: 1 for their leaf's label, 0 for the other classes, so that the
  forest's mean is lindorf's vote share and its arg-max breaks ties for the lowest class, as
  lindorf's does. Such trees plot vote values, not class shares.
- Every inner node's value is the mean of its leaves' values, each weighted by its training
  weight (shap takes its expected value from the root).
- ``n_node_samples`` holds the training weight rounded to a whole number: lindorf's models
  record weights, not row counts.
- A regressor's trees hold their leaves' values (means, or medians with absolute error), one
  per output, so that ``predict`` is lindorf's; inner nodes hold the mean of their leaves'
  values as above, and ``criterion="friedman_mse"`` becomes the squared error it ranks as.
"""

from __future__ import annotations

import numbers

import numpy as np
from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor
from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor
from sklearn.tree._tree import NODE_DTYPE, Tree

from lindorf import _learner

_TREE_PARAMS = ("criterion", "max_depth", "min_samples_split", "min_samples_leaf",
                "max_features")


def _sklearn_tree_state(native, index, kind, shape=None):
    """The state of scikit-learn's Tree for lindorf's tree `index`, leaves valued by `kind`."""
    if "missing_go_to_left" not in NODE_DTYPE.names:
        raise RuntimeError("to_sklearn needs scikit-learn 1.4 or later")
    fields = native.node_table(index)
    n = len(fields["children_left"])
    inner = fields["children_left"] != -1
    nodes = np.zeros(n, dtype=NODE_DTYPE)
    nodes["left_child"] = fields["children_left"]
    nodes["right_child"] = fields["children_right"]
    nodes["feature"] = fields["feature"]
    thresholds = np.full(n, -2.0)
    below = np.nextafter(fields["threshold"][inner], np.float32(-np.inf), dtype=np.float32)
    thresholds[inner] = below.astype(np.float64)
    nodes["threshold"] = thresholds
    nodes["impurity"] = fields["impurity"]
    weights = fields["weighted_n_node_samples"]
    nodes["n_node_samples"] = np.rint(weights).astype(np.intp)
    nodes["weighted_n_node_samples"] = weights
    nodes["missing_go_to_left"] = fields["missing_go_to_left"]
    values = native.node_values(index, kind).reshape(shape or (n, 1, native.n_classes))
    if kind == "shares":
        _keep_leaf_labels(values, fields["label"])
    return {"max_depth": int(fields["depth"].max()), "node_count": n, "nodes": nodes,
            "values": np.ascontiguousarray(values)}


def _keep_leaf_labels(values, labels):
    """Raises each leaf's label above the other classes tied with it, by one unit in the last
    place, where scikit-learn's arg-max would pick another class."""
    leaves = np.flatnonzero(labels >= 0)
    shares = values[leaves, 0, :]
    wrong = leaves[np.argmax(shares, axis=1) != labels[leaves]]
    for leaf in wrong:
        row = values[leaf, 0]
        row[labels[leaf]] = np.nextafter(row.max(), np.inf)


def _sklearn_tree(native, index, kind, n_classes, params):
    tree = Tree(native.n_features, np.array([n_classes], dtype=np.intp), 1)
    tree.__setstate__(_sklearn_tree_state(native, index, kind))
    out = DecisionTreeClassifier(**params)
    out.tree_ = tree
    out.n_outputs_ = 1
    out.n_features_in_ = native.n_features
    out.max_features_ = _learner.features_per_node(params["max_features"], native.n_features) \
        or native.n_features
    return out


def _params(est):
    params = {name: getattr(est, name) for name in _TREE_PARAMS}
    seed = est.random_state
    params["random_state"] = seed if isinstance(seed, numbers.Integral) else None
    return params


def _describe(out, est, classes):
    out.classes_ = np.array(classes, copy=True)
    out.n_classes_ = len(classes)
    if hasattr(est, "feature_names_in_"):
        out.feature_names_in_ = np.array(est.feature_names_in_, dtype=object)


def convert(est):
    """The scikit-learn estimator that predicts as the fitted lindorf estimator `est`."""
    native = est._native
    params = _params(est)
    if not est._forest:
        out = _sklearn_tree(native, 0, "shares", native.n_classes, params)
        _describe(out, est, est.classes_)
        return out
    kind = _learner.leaf_value(True, est.get_params())
    forest = RandomForestClassifier(
        n_estimators=est.n_estimators, bootstrap=est.bootstrap, oob_score=est.oob_score,
        n_jobs=est.n_jobs, verbose=0, **params)
    forest.estimator_ = DecisionTreeClassifier()
    # As scikit-learn's forests keep them: each tree predicts class indices.
    indices = np.arange(native.n_classes, dtype=np.float64)
    forest.estimators_ = []
    for i in range(native.n_trees):
        tree = _sklearn_tree(native, i, kind, native.n_classes, dict(params, random_state=None))
        tree.classes_, tree.n_classes_ = indices.copy(), native.n_classes
        forest.estimators_.append(tree)
    forest.n_outputs_ = 1
    forest.n_features_in_ = native.n_features
    _describe(forest, est, est.classes_)
    for name in ("oob_score_", "oob_decision_function_"):
        if hasattr(est, name):
            setattr(forest, name, getattr(est, name))
    return forest


def _sklearn_regression_tree(native, index, params):
    n_outputs = native.n_targets
    tree = Tree(native.n_features, np.ones(n_outputs, dtype=np.intp), n_outputs)
    n_nodes = native.node_counts()[index]
    tree.__setstate__(_sklearn_tree_state(native, index, "target", (n_nodes, n_outputs, 1)))
    out = DecisionTreeRegressor(**params)
    out.tree_ = tree
    out.n_outputs_ = n_outputs
    out.n_features_in_ = native.n_features
    out.max_features_ = _learner.features_per_node(params["max_features"], native.n_features) \
        or native.n_features
    return out


def convert_regressor(est):
    """The scikit-learn regressor that predicts as the fitted lindorf regressor `est`."""
    native = est._native
    params = _params(est)
    if params["criterion"] == "friedman_mse":
        params["criterion"] = "squared_error"
    if not est._forest:
        out = _sklearn_regression_tree(native, 0, params)
    else:
        out = RandomForestRegressor(
            n_estimators=est.n_estimators, bootstrap=est.bootstrap, oob_score=est.oob_score,
            n_jobs=est.n_jobs, verbose=0, **params)
        out.estimator_ = DecisionTreeRegressor()
        out.estimators_ = [_sklearn_regression_tree(native, i, dict(params, random_state=None))
                           for i in range(native.n_trees)]
        out.n_outputs_ = native.n_targets
        out.n_features_in_ = native.n_features
        for name in ("oob_score_", "oob_prediction_"):
            if hasattr(est, name):
                setattr(out, name, getattr(est, name))
    if hasattr(est, "feature_names_in_"):
        out.feature_names_in_ = np.array(est.feature_names_in_, dtype=object)
    return out
