"""Random forests and extremely randomized trees, classifiers and regressors, with scikit-learn's
estimator API."""

from __future__ import annotations

import numbers
import sys
import time
import warnings
from typing import NamedTuple

import numpy as np

# First: without scikit-learn it raises the ImportError that says how to install it.
from lindorf._sklearn import _TreeLearner, _TreeRegressor  # isort: skip

from sklearn.metrics import accuracy_score, r2_score  # noqa: E402
from sklearn.utils._param_validation import Interval, RealNotInt, StrOptions  # noqa: E402
from sklearn.utils.validation import check_is_fitted  # noqa: E402

from lindorf import _distributed, _estimators, _learner  # noqa: E402
from lindorf._threads import threads_for  # noqa: E402
from lindorf.tree._classes import (  # noqa: E402
    DecisionTreeClassifier,
    DecisionTreeRegressor,
    ExtraTreeClassifier,
    ExtraTreeRegressor,
)


class _Chunk(NamedTuple):
    native: object  # _estimators.NativeModel of the chunk's trees
    data: object  # the _sklearn._Input it was grown on


_FOREST_CONSTRAINTS: dict = {
    "n_estimators": [Interval(numbers.Integral, 1, _learner.U32_MAX, closed="both")],
    "bootstrap": ["boolean"],
    "oob_score": ["boolean", callable],
    "verbose": ["verbose"],
    "warm_start": ["boolean"],
    "max_samples": [
        None,
        Interval(RealNotInt, 0.0, 1.0, closed="right"),
        Interval(numbers.Integral, 1, None, closed="left"),
    ],
}


class _ForestGrowth:
    """What every forest shares, classifier or regressor: growth in keyed chunks (on this
    machine or a joblib backend), warm starts, leaves, paths, importances and its trees."""

    _forest = True

    def fit(self, X, y, sample_weight=None):
        """Grows the forest, or with warm_start adds trees to a fitted one (tree i depends only
        on the fit's key and i, so a forest grown in steps is the forest grown at once). On
        joblib's default backend (or another of joblib's own) this is one native call on this
        machine's threads; inside ``joblib.parallel_backend("dask")`` (or any other backend) the
        trees are grown in chunks on the backend's workers and joined in tree order, the same
        forest for the same seed (see ``lindorf._distributed``)."""
        self._check_forest_params()
        previous = self._previous()
        first = 0 if previous is None else previous[0].n_trees
        if previous is not None and self.n_estimators < first:
            raise ValueError(f"n_estimators={self.n_estimators} must be larger or equal to "
                             f"len(estimators_)={first} when warm_start==True")
        data = self._fit_input(X, y, sample_weight, forget=previous is None)
        key = previous[1] if previous is not None else _learner.fit_key(self.random_state)
        if previous is not None and self.n_estimators == first:
            warnings.warn("Warm-start fitting without increasing n_estimators does not fit new "
                          "trees.", UserWarning)
            if self.oob_score and not hasattr(self, "oob_score_"):
                self._set_oob(data, key)
            return self
        cluster = _distributed.cluster_backend()
        count = self.n_estimators - first
        if cluster is None:
            chunks = [self._grow(data, key, first, count)]
        else:
            params = {**self.get_params(), "random_state": _learner.seed_of(self.random_state)}
            grown = _distributed.grow_chunks(*cluster, data.training(), params, self.verbose,
                                             first=first, count=count, key=key,
                                             splitter=self._splitter)
            chunks = [_Chunk(native, data) for native, _ in grown]
        if previous is not None:
            chunks.insert(0, _Chunk(previous[0], data))
        self._join_chunks(chunks, key)
        return self

    def _previous(self):
        """(native model, key) of a fitted forest a warm start adds to; None otherwise."""
        if not self.warm_start or getattr(self, "_native", None) is None:
            return None
        key = getattr(self, "_fit_key", None)
        if key is None:
            key = _learner.fit_key(self.random_state)
        return self._native, key

    def _check_forest_params(self):
        self._validate_params()
        if self.oob_score and not self.bootstrap:
            raise ValueError("Out of bag estimation only available if bootstrap=True")
        if self.max_samples is not None and not self.bootstrap:
            raise ValueError("`max_sample` cannot be set if `bootstrap=False`. Either switch to "
                             "`bootstrap=True` or set `max_sample=None`.")

    def _grow(self, data, key, first, count, poll=None):
        progress = _Progress(count) if self.verbose else None
        callbacks = [call for call in (poll, progress) if call is not None]
        watch = (lambda done: [call(done) for call in callbacks]) if callbacks else None
        params = {**self._growth_params(), "oob_score": False}
        native, _ = self._fit_trees(data.training(), params, first, count, self._threads(),
                                    watch, key=key, splitter=self._splitter)
        if progress is not None:
            progress(count)
        return _Chunk(native, data)

    def _fit_chunk(self, X, y, sample_weight, first, count, poll=None):
        """Grows trees first .. first + count - 1 of the forest these parameters describe: with
        an int random_state, exactly the trees a whole fit has at those indices. Returns a chunk
        for _join_chunks and leaves the estimator unfitted. `poll`, when given, is called every
        few tens of milliseconds with the trees done; an exception it raises stops the fit."""
        self._check_forest_params()
        data = self._fit_input(X, y, sample_weight)
        return self._grow(data, _learner.fit_key(self.random_state), first, count, poll)

    def _join_chunks(self, chunks, key=None):
        """Makes this estimator the forest of `chunks` (from _fit_chunk on the same data and
        parameters), their trees joined in the order given."""
        self._forget_fit()
        data = chunks[-1].data
        native = _estimators.NativeModel.join([chunk.native for chunk in chunks])
        self.__dict__.update(data.fitted)
        self._native = native
        self._fit_key = key if key is not None else _learner.fit_key(self.random_state)
        self._n_samples = data.X.shape[0]
        self._after_load()
        if self.oob_score:
            self._set_oob(data, self._fit_key)

    def _threads(self):
        return threads_for(self.n_jobs)

    def apply(self, X):
        """For each row, the index of the leaf it reaches in every tree."""
        rows = self._rows(X)
        return _learner.leaves(self._native, rows, self._threads_for_rows(rows)).astype(np.intp)

    def decision_path(self, X):
        """(indicator, n_nodes_ptr), as scikit-learn's forests give them: the sparse matrix of
        the nodes each row passes, the trees' nodes side by side, and where each tree's columns
        start (tree i's are n_nodes_ptr[i] .. n_nodes_ptr[i + 1])."""
        indicator = self._paths(X)
        return indicator, np.concatenate([[0], np.cumsum(self._native.node_counts())])

    @property
    def feature_importances_(self):
        """The mean of the trees' normalised impurity decreases, normalised again."""
        check_is_fitted(self)
        return self._native.importances()

    @property
    def estimators_samples_(self):
        """The rows each tree drew, in draw order and with repeats (every row once without
        bootstrap)."""
        check_is_fitted(self)
        n_rows = getattr(self, "_n_samples", None)
        key = getattr(self, "_fit_key", None)
        if n_rows is None or key is None:
            raise AttributeError("the rows the trees drew are known only in the process that "
                                 "fitted the forest and in its pickles")
        if not self.bootstrap:
            return [np.arange(n_rows) for _ in range(self._native.n_trees)]
        draws = _learner.bootstrap_draws(self.max_samples, n_rows)
        return [_estimators.bootstrap_sample(key, n_rows, t, draws).astype(np.intp)
                for t in range(self._native.n_trees)]

    def _tree_params(self):
        """The parameters of the forest's trees as estimators_ shows them."""
        tree_params = {name: getattr(self, name) for name in self._tree_parameters}
        tree_params["n_jobs"] = self.n_jobs
        if not isinstance(self.random_state, numbers.Integral):
            tree_params["random_state"] = None
        return tree_params

    def _after_load(self):
        tree_params = self._tree_params()
        fitted = {name: self.__dict__[name] for name in
                  ("classes_", "n_classes_", "n_outputs_", "n_features_in_", "feature_names_in_")
                  if name in self.__dict__}
        self.estimators_ = [
            self._tree_class._from_native(self._native.tree(i), tree_params, fitted)
            for i in range(self._native.n_trees)
        ]


class _Forest(_ForestGrowth, _TreeLearner):
    """What both classifier forests share: class weights, out-of-bag scores, soft or hard
    votes."""

    _tree_class = DecisionTreeClassifier
    _tree_parameters = _learner.GROWTH_PARAMETERS
    _parameter_constraints: dict = {
        **_TreeLearner._parameter_constraints,
        **_FOREST_CONSTRAINTS,
        "class_weight": [dict, list, StrOptions({"balanced", "balanced_subsample"}), None],
        "voting": [StrOptions({"soft", "hard"})],
    }

    def _fit_trees(self, data, params, first, count, threads, progress, key, splitter):
        return _learner.fit_forest(data, params, first, count, threads, progress, key=key,
                                   splitter=splitter)

    def _class_weight(self):
        # A balanced subsample is weighed per tree, on its own draws, by the learner.
        if self.class_weight == "balanced_subsample":
            return "balanced" if not self.bootstrap else None
        return self.class_weight

    def _growth_params(self):
        params = self.get_params()
        if self.class_weight == "balanced_subsample" and not self.bootstrap:
            params["class_weight"] = "balanced"
        return params

    def _set_oob(self, data, key):
        training = data.training()
        params = {**self._growth_params(), "oob_score": True}
        sums, trees = _learner.out_of_bag(self._native, training, params, key, self._splitter,
                                          self._threads())
        if np.any(trees == 0):
            warnings.warn("Some inputs do not have OOB scores. This probably means too few "
                          "trees were used to compute any reliable OOB estimates.", UserWarning)
        with np.errstate(invalid="ignore", divide="ignore"):
            decision = np.where(trees[:, None] > 0, sums / np.maximum(trees, 1)[:, None], 0.0)
        score = self.oob_score if callable(self.oob_score) else None
        if self.n_outputs_ == 1:
            self.oob_decision_function_ = decision
            predicted = np.argmax(decision, axis=1)
            self.oob_score_ = (score or accuracy_score)(training.codes, predicted)
            return
        blocks = _learner.split_outputs(decision, self._classes_per_output())
        width = max(b.shape[1] for b in blocks)
        self.oob_decision_function_ = np.stack(
            [np.pad(b, ((0, 0), (0, width - b.shape[1]))) for b in blocks], axis=2)
        predicted = np.stack([np.argmax(b, axis=1) for b in blocks], axis=1)
        self.oob_score_ = (score(training.codes, predicted) if score is not None
                           else float(np.mean(np.all(predicted == training.codes, axis=1))))

    def _tree_params(self):
        tree_params = super()._tree_params()
        if self.class_weight in ("balanced", "balanced_subsample"):
            tree_params["class_weight"] = None  # already in the weights each tree grew on
        return tree_params


class RandomForestClassifier(_Forest):
    """A forest of exact decision trees, each grown on a bootstrap sample (or on every row).
    With ``voting="soft"`` (the default, as scikit-learn's forests vote) ``predict_proba`` is
    the mean of the trees' leaf class shares and ``predict`` its arg-max; with ``voting="hard"``
    each tree votes for its leaf's label, ``predict_proba`` is the share of trees voting for
    each class and ``predict`` its arg-max, as ``train_forest_np`` votes (ties to the lowest
    class index rather than at random).

    ``random_state`` keys one ChaCha12 stream per tree for its sample and one per node for its
    ``max_features`` draws, so the same seed grows the same forest, node for node, whatever
    ``n_jobs`` is. ``max_features`` defaults to "sqrt"; ``max_features=None, voting="hard"``
    grows and votes as ``train_forest_np``. ``n_jobs`` counts threads as scikit-learn does,
    never more than the usable cores; ``verbose > 0`` reports progress on standard error. A
    bootstrap sample draws rows, whatever their weights, and a drawn row weighs its weight
    times its draws; a row is out of bag for a tree that did not draw it.
    """

    def __init__(self, n_estimators=100, *, criterion="entropy", max_depth=None,
                 min_samples_split=3, min_samples_leaf=1, min_weight_fraction_leaf=0.0,
                 max_features="sqrt", max_leaf_nodes=None, min_impurity_decrease=0.0,
                 bootstrap=True, oob_score=False, n_jobs=None, random_state=None, verbose=0,
                 warm_start=False, class_weight=None, ccp_alpha=0.0, max_samples=None,
                 monotonic_cst=None, voting="soft", nan_side="right"):
        self.n_estimators = n_estimators
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.max_features = max_features
        self.max_leaf_nodes = max_leaf_nodes
        self.min_impurity_decrease = min_impurity_decrease
        self.bootstrap = bootstrap
        self.oob_score = oob_score
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.verbose = verbose
        self.warm_start = warm_start
        self.class_weight = class_weight
        self.ccp_alpha = ccp_alpha
        self.max_samples = max_samples
        self.monotonic_cst = monotonic_cst
        self.voting = voting
        self.nan_side = nan_side


class ExtraTreesClassifier(_Forest):
    """A forest of extremely randomized trees (``lindorf.tree.ExtraTreeClassifier``), by default
    each grown on every row (``bootstrap=False``); otherwise as ``RandomForestClassifier``. The
    defaults are scikit-learn's (Gini, nodes of 2 rows split)."""

    _splitter = "random"
    _tree_class = ExtraTreeClassifier

    def __init__(self, n_estimators=100, *, criterion="gini", max_depth=None,
                 min_samples_split=2, min_samples_leaf=1, min_weight_fraction_leaf=0.0,
                 max_features="sqrt", max_leaf_nodes=None, min_impurity_decrease=0.0,
                 bootstrap=False, oob_score=False, n_jobs=None, random_state=None, verbose=0,
                 warm_start=False, class_weight=None, ccp_alpha=0.0, max_samples=None,
                 monotonic_cst=None, voting="soft", nan_side="right"):
        self.n_estimators = n_estimators
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.max_features = max_features
        self.max_leaf_nodes = max_leaf_nodes
        self.min_impurity_decrease = min_impurity_decrease
        self.bootstrap = bootstrap
        self.oob_score = oob_score
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.verbose = verbose
        self.warm_start = warm_start
        self.class_weight = class_weight
        self.ccp_alpha = ccp_alpha
        self.max_samples = max_samples
        self.monotonic_cst = monotonic_cst
        self.voting = voting
        self.nan_side = nan_side


class _RegressionForest(_ForestGrowth, _TreeRegressor):
    """What both regression forests share: predictions as the trees' mean, out-of-bag
    predictions and R^2."""

    _tree_class = DecisionTreeRegressor
    _tree_parameters = _learner.REGRESSION_GROWTH_PARAMETERS
    _column_warning = True  # as scikit-learn's forests warn of a column of targets
    _parameter_constraints: dict = {**_TreeRegressor._parameter_constraints, **_FOREST_CONSTRAINTS}

    def _fit_trees(self, data, params, first, count, threads, progress, key, splitter):
        return _learner.fit_regression_forest(data, params, first, count, threads, progress,
                                              key=key, splitter=splitter)

    def _set_oob(self, data, key):
        """oob_prediction_ (the mean prediction of the trees that did not draw each row; 0 for
        a row every tree drew, with scikit-learn's warning) and oob_score_ (R^2, or the callable
        oob_score, of those predictions)."""
        training = data.training()
        sums, trees = _learner.regression_out_of_bag(
            self._native, training, {**self.get_params(), "oob_score": True}, key,
            self._splitter, self._threads())
        if np.any(trees == 0):
            warnings.warn("Some inputs do not have OOB scores. This probably means too few "
                          "trees were used to compute any reliable OOB estimates.", UserWarning)
        predicted = sums / np.maximum(trees, 1)[:, None]
        truth = training.y
        if self.n_outputs_ == 1:
            predicted, truth = predicted[:, 0], truth[:, 0]
        self.oob_prediction_ = predicted
        score = self.oob_score if callable(self.oob_score) else r2_score
        self.oob_score_ = score(truth, predicted)


class RandomForestRegressor(_RegressionForest):
    """A forest of exact regression trees (``lindorf.tree.DecisionTreeRegressor``), each grown
    on a bootstrap sample (or on every row); ``predict`` is the mean of the trees' leaf values.
    The defaults are scikit-learn's: squared error, every feature searched at each node
    (``max_features=1.0``). ``oob_score=True`` gives ``oob_prediction_`` and the out-of-bag R^2
    (or a callable's score of them).

    ``random_state`` keys one ChaCha12 stream per tree for its sample and one per node for its
    draws, so the same seed grows the same forest, node for node, whatever ``n_jobs`` is, and a
    warm start grows the trees a whole fit would. A bootstrap sample draws rows, whatever their
    weights, and a drawn row weighs its weight times its draws.
    """

    def __init__(self, n_estimators=100, *, criterion="squared_error", max_depth=None,
                 min_samples_split=2, min_samples_leaf=1, min_weight_fraction_leaf=0.0,
                 max_features=1.0, max_leaf_nodes=None, min_impurity_decrease=0.0,
                 bootstrap=True, oob_score=False, n_jobs=None, random_state=None, verbose=0,
                 warm_start=False, ccp_alpha=0.0, max_samples=None, monotonic_cst=None,
                 nan_side="right"):
        self.n_estimators = n_estimators
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.max_features = max_features
        self.max_leaf_nodes = max_leaf_nodes
        self.min_impurity_decrease = min_impurity_decrease
        self.bootstrap = bootstrap
        self.oob_score = oob_score
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.verbose = verbose
        self.warm_start = warm_start
        self.ccp_alpha = ccp_alpha
        self.max_samples = max_samples
        self.monotonic_cst = monotonic_cst
        self.nan_side = nan_side


class ExtraTreesRegressor(_RegressionForest):
    """A forest of extremely randomized regression trees (``lindorf.tree.ExtraTreeRegressor``),
    by default each grown on every row (``bootstrap=False``); otherwise as
    ``RandomForestRegressor``."""

    _splitter = "random"
    _tree_class = ExtraTreeRegressor

    def __init__(self, n_estimators=100, *, criterion="squared_error", max_depth=None,
                 min_samples_split=2, min_samples_leaf=1, min_weight_fraction_leaf=0.0,
                 max_features=1.0, max_leaf_nodes=None, min_impurity_decrease=0.0,
                 bootstrap=False, oob_score=False, n_jobs=None, random_state=None, verbose=0,
                 warm_start=False, ccp_alpha=0.0, max_samples=None, monotonic_cst=None,
                 nan_side="right"):
        self.n_estimators = n_estimators
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.max_features = max_features
        self.max_leaf_nodes = max_leaf_nodes
        self.min_impurity_decrease = min_impurity_decrease
        self.bootstrap = bootstrap
        self.oob_score = oob_score
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.verbose = verbose
        self.warm_start = warm_start
        self.ccp_alpha = ccp_alpha
        self.max_samples = max_samples
        self.monotonic_cst = monotonic_cst
        self.nan_side = nan_side


class _Progress:
    """Reports a forest's growth on standard error, at most once a second and when it ends:
    trees finished, time elapsed and an estimate of the time left."""

    def __init__(self, total):
        self.total = total
        self.start = time.monotonic()
        self.reported = (-1, self.start - 1.0)  # trees and time of the last report

    def __call__(self, done):
        now = time.monotonic()
        if done == self.reported[0] or (now - self.reported[1] < 1.0 and done < self.total):
            return
        self.reported = (done, now)
        elapsed = now - self.start
        left = (f"about {elapsed * (self.total - done) / done:.1f} s left" if done
                else "time left not known yet")
        print(f"lindorf: {done}/{self.total} trees, {elapsed:.1f} s elapsed, {left}",
              file=sys.stderr, flush=True)


for _class in (RandomForestClassifier, ExtraTreesClassifier, RandomForestRegressor,
               ExtraTreesRegressor):
    _class.__module__ = "lindorf.ensemble"
