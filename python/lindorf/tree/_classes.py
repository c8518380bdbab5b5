"""Single decision trees, classifiers and regressors, with scikit-learn's estimator API."""

from __future__ import annotations

import numpy as np

# First: without scikit-learn it raises the ImportError that says how to install it.
from lindorf._sklearn import _TreeLearner, _TreeRegressor, pruning_path  # isort: skip

from sklearn.base import clone  # noqa: E402
from sklearn.utils._param_validation import StrOptions  # noqa: E402
from sklearn.utils.validation import check_is_fitted  # noqa: E402

from lindorf import _learner  # noqa: E402


class _SingleTree:
    """What a single tree offers, classifier or regressor: pruning paths, leaves, decision
    paths, its node table, its shape and importances."""

    def fit(self, X, y, sample_weight=None):
        self._validate_params()
        data = self._fit_input(X, y, sample_weight)
        native = self._grow(data.training())
        self.__dict__.update(data.fitted)
        self._native = native
        return self

    def cost_complexity_pruning_path(self, X, y, sample_weight=None):
        """The effective alphas of minimal cost-complexity pruning and the total leaf impurity
        of each pruned tree, as scikit-learn defines them, of the tree these parameters grow
        unpruned."""
        full = clone(self).set_params(ccp_alpha=0.0).fit(X, y, sample_weight)
        return pruning_path(full._native)

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
            from lindorf import _nodes

            table = self.__dict__["_node_table"] = _nodes.table_of(self._native)
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


class DecisionTreeClassifier(_SingleTree, _TreeLearner):
    """An exact decision tree. Every value of every feature is a candidate threshold (rows go
    left when strictly below it; equal values and NaN go right); the candidate with the highest
    gain wins, ties going to the earliest training row, then to the lowest feature.

    With the defaults, ``fit(X[:k], y[:k]).predict(X[k:])`` gives exactly the labels that
    ``train_tree_np`` predicts for the same rows. A leaf predicts its most frequent class, ties
    going to the class whose latest training row comes last; ``predict_proba`` gives the leaf's
    weighted class shares. Any finite non-negative ``sample_weight`` multiplies its row's
    counts; whole-number weights keep the learner's single-precision arithmetic, other weights
    (and several outputs, ``splitter="random"``, ``nan_side="learn"``, ``monotonic_cst``) the
    double-precision one. ``n_jobs`` threads search a node's features (None: one, or the joblib
    context's).

    ``random_state`` keys the per-node draws of ``max_features`` and of random thresholds (an
    int, a NumPy ``Generator``/``RandomState`` turned into one, or None for a fresh key per fit).
    """

    _parameter_constraints: dict = {
        **_TreeLearner._parameter_constraints,
        "splitter": [StrOptions({"best", "random"})],
    }

    def __init__(self, *, criterion="entropy", splitter="best", max_depth=None,
                 min_samples_split=3, min_samples_leaf=1, min_weight_fraction_leaf=0.0,
                 max_features=None, random_state=None, max_leaf_nodes=None,
                 min_impurity_decrease=0.0, class_weight=None, ccp_alpha=0.0,
                 monotonic_cst=None, nan_side="right", n_jobs=None):
        self.criterion = criterion
        self.splitter = splitter
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.max_features = max_features
        self.random_state = random_state
        self.max_leaf_nodes = max_leaf_nodes
        self.min_impurity_decrease = min_impurity_decrease
        self.class_weight = class_weight
        self.ccp_alpha = ccp_alpha
        self.monotonic_cst = monotonic_cst
        self.nan_side = nan_side
        self.n_jobs = n_jobs

    def _grow(self, data):
        return _learner.fit_tree(data, self.get_params(), self._threads())

class ExtraTreeClassifier(DecisionTreeClassifier):
    """An extremely randomized tree: at each node, for each of ``max_features`` features drawn
    among those that can divide the node, one threshold drawn uniformly between the node's least
    and largest value of the feature (the rows at or below it go left); the best of these splits
    is kept. Threshold draws come from the node's keyed stream, as feature draws do, so a seed
    grows the same tree whatever ``n_jobs`` is. Scores use the double-precision arithmetic, and
    the defaults are scikit-learn's (Gini, nodes of 2 rows split)."""

    def __init__(self, *, criterion="gini", splitter="random", max_depth=None,
                 min_samples_split=2, min_samples_leaf=1, min_weight_fraction_leaf=0.0,
                 max_features="sqrt", random_state=None, max_leaf_nodes=None,
                 min_impurity_decrease=0.0, class_weight=None, ccp_alpha=0.0,
                 monotonic_cst=None, nan_side="right", n_jobs=None):
        super().__init__(
            criterion=criterion, splitter=splitter, max_depth=max_depth,
            min_samples_split=min_samples_split, min_samples_leaf=min_samples_leaf,
            min_weight_fraction_leaf=min_weight_fraction_leaf, max_features=max_features,
            random_state=random_state, max_leaf_nodes=max_leaf_nodes,
            min_impurity_decrease=min_impurity_decrease, class_weight=class_weight,
            ccp_alpha=ccp_alpha, monotonic_cst=monotonic_cst, nan_side=nan_side,
            n_jobs=n_jobs)


class DecisionTreeRegressor(_SingleTree, _TreeRegressor):
    """An exact regression tree. Every value of every feature is a candidate threshold (rows go
    left when strictly below it; equal values and NaN go right); the candidate that lowers the
    criterion most wins, ties going to the earliest training row, then to the lowest feature.

    ``criterion`` is scikit-learn's: ``"squared_error"`` (the default; ``"friedman_mse"``
    ranks splits the same way and is taken as another name of it), ``"absolute_error"`` (a
    leaf predicts the weighted median of its targets, kept exact by an order-statistic
    structure) or ``"poisson"`` (half Poisson deviance, for counts: the targets must be
    non-negative with a positive sum). A leaf predicts the weighted mean of its targets, or
    their median. Sums are in double precision, compensated: a node whose targets are all equal
    has impurity exactly 0 and predicts that value. ``y`` may hold several outputs (one column
    each); any finite non-negative ``sample_weight`` multiplies its row, and weights that are
    all equal grow the same tree as no weights. ``n_jobs`` threads search a node's features.

    ``random_state`` keys the per-node draws of ``max_features`` and of random thresholds.
    """

    _parameter_constraints: dict = {
        **_TreeRegressor._parameter_constraints,
        "splitter": [StrOptions({"best", "random"})],
    }

    def __init__(self, *, criterion="squared_error", splitter="best", max_depth=None,
                 min_samples_split=2, min_samples_leaf=1, min_weight_fraction_leaf=0.0,
                 max_features=None, random_state=None, max_leaf_nodes=None,
                 min_impurity_decrease=0.0, ccp_alpha=0.0, monotonic_cst=None,
                 nan_side="right", n_jobs=None):
        self.criterion = criterion
        self.splitter = splitter
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.max_features = max_features
        self.random_state = random_state
        self.max_leaf_nodes = max_leaf_nodes
        self.min_impurity_decrease = min_impurity_decrease
        self.ccp_alpha = ccp_alpha
        self.monotonic_cst = monotonic_cst
        self.nan_side = nan_side
        self.n_jobs = n_jobs

    def _grow(self, data):
        return _learner.fit_regression_tree(data, self.get_params(), self._threads(),
                                            splitter=self.splitter)


class ExtraTreeRegressor(DecisionTreeRegressor):
    """An extremely randomized regression tree: at each node, for each of ``max_features``
    features drawn among those that can divide the node, one threshold drawn uniformly between
    the node's least and largest value of the feature (the rows at or below it go left); the
    best of these splits is kept. The defaults are scikit-learn's (every feature drawn)."""

    def __init__(self, *, criterion="squared_error", splitter="random", max_depth=None,
                 min_samples_split=2, min_samples_leaf=1, min_weight_fraction_leaf=0.0,
                 max_features=1.0, random_state=None, max_leaf_nodes=None,
                 min_impurity_decrease=0.0, ccp_alpha=0.0, monotonic_cst=None,
                 nan_side="right", n_jobs=None):
        super().__init__(
            criterion=criterion, splitter=splitter, max_depth=max_depth,
            min_samples_split=min_samples_split, min_samples_leaf=min_samples_leaf,
            min_weight_fraction_leaf=min_weight_fraction_leaf, max_features=max_features,
            random_state=random_state, max_leaf_nodes=max_leaf_nodes,
            min_impurity_decrease=min_impurity_decrease, ccp_alpha=ccp_alpha,
            monotonic_cst=monotonic_cst, nan_side=nan_side, n_jobs=n_jobs)


for _class in (DecisionTreeClassifier, ExtraTreeClassifier, DecisionTreeRegressor,
               ExtraTreeRegressor):
    _class.__module__ = "lindorf.tree"
