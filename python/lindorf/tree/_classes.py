"""Single decision trees with scikit-learn's estimator API."""

from __future__ import annotations

import numpy as np

# First: without scikit-learn it raises the ImportError that says how to install it.
from lindorf._sklearn import _TreeLearner  # isort: skip

from sklearn.utils.validation import check_is_fitted  # noqa: E402

from lindorf import _learner  # noqa: E402


class DecisionTreeClassifier(_TreeLearner):
    """An exact decision tree. Every value of every feature is a candidate threshold (rows go
    left when strictly below it; equal values and NaN go right); the candidate with the highest
    gain wins, ties going to the earliest training row, then to the lowest feature.

    With the defaults, ``fit(X[:k], y[:k]).predict(X[k:])`` gives exactly the labels that
    ``train_tree_np`` predicts for the same rows. A leaf predicts its most frequent class, ties
    going to the class whose latest training row comes last; ``predict_proba`` gives the leaf's
    weighted class shares. Sample weights must be whole numbers: a row of weight w is w copies of
    itself at consecutive positions. Growth uses every usable core.

    ``random_state`` keys the per-node draws of ``max_features`` (an int, a NumPy
    ``Generator``/``RandomState`` turned into one, or None for a fresh key per fit).
    """

    def __init__(self, *, criterion="entropy", max_depth=None, min_samples_split=3,
                 min_samples_leaf=1, max_features=None, random_state=None):
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.max_features = max_features
        self.random_state = random_state

    def fit(self, X, y, sample_weight=None):
        self._validate_params()
        data = self._fit_input(X, y, sample_weight)
        native = _learner.fit_tree(data, self.get_params(), self._threads())
        self.__dict__.update(data.fitted)
        self._native = native
        return self

    def apply(self, X):
        """The index of the leaf each row reaches (nodes are numbered in preorder)."""
        rows = self._rows(X)
        return _learner.leaves(self._native, rows,
                               self._threads_for_rows(rows))[:, 0].astype(np.intp)

    def decision_path(self, X):
        """The sparse node-indicator matrix (n_samples x node_count): entry (i, j) is 1 when row
        i passes node j, as scikit-learn's ``decision_path``."""
        return self._paths(X)

    @property
    def nodes_(self):
        """The fitted tree's read-only node table (``lindorf._nodes.NodeTable``): children,
        feature, threshold (a row goes left when its value is strictly less; equal values and
        NaN go right), NaN side, weight, impurity, depth, class weights and shares per node."""
        check_is_fitted(self)
        table = self.__dict__.get("_node_table")
        if table is None:
            from lindorf._nodes import NodeTable

            table = self.__dict__["_node_table"] = NodeTable(self._native)
        return table

    def get_depth(self):
        check_is_fitted(self)
        return self._native.depths()[0]

    def get_n_leaves(self):
        check_is_fitted(self)
        return self._native.leaf_counts()[0]

    @property
    def feature_importances_(self):
        """Total impurity decrease by each feature's splits, normalised to sum 1."""
        check_is_fitted(self)
        return self._native.importances()

    @classmethod
    def _from_native(cls, native, params, fitted):
        """A fitted tree around one native tree, as a forest's estimators_ holds them."""
        tree = cls(**params)
        tree.__dict__.update(fitted)
        tree._native = native
        return tree


DecisionTreeClassifier.__module__ = "lindorf.tree"
