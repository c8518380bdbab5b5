"""Random forests with scikit-learn's estimator API."""

from __future__ import annotations

import numbers
import sys
import time
import warnings
from typing import NamedTuple

import numpy as np

# First: without scikit-learn it raises the ImportError that says how to install it.
from lindorf._sklearn import _TreeLearner  # isort: skip

from sklearn.metrics import accuracy_score  # noqa: E402
from sklearn.utils._param_validation import Interval  # noqa: E402
from sklearn.utils.validation import check_is_fitted  # noqa: E402

from lindorf import _distributed, _estimators, _learner  # noqa: E402
from lindorf._threads import threads_for
from lindorf.tree._classes import DecisionTreeClassifier


class _Chunk(NamedTuple):
    native: object  # _estimators.NativeModel of the chunk's trees
    oob_votes: np.ndarray | None
    codes: np.ndarray
    fitted: dict


class RandomForestClassifier(_TreeLearner):
    """A forest of exact decision trees, each grown on a bootstrap sample (or on every row),
    voting by majority. ``predict_proba`` gives the share of trees voting for each class and
    ``predict`` its arg-max, tied votes going to the lowest class index.

    ``random_state`` keys one ChaCha12 stream per tree for its sample and one per node for its
    ``max_features`` draws, so the same seed grows the same forest, node for node, whatever
    ``n_jobs`` is. ``max_features`` defaults to None (every feature at every node), as
    ``train_forest_np`` grows its trees. ``n_jobs`` counts threads as scikit-learn does, never
    more than the usable cores; ``verbose > 0`` reports progress on standard error.
    Weighted rows are drawn as their copies would be: a forest with whole-number weights is the
    forest grown on the repeated rows, seed for seed. A row is out of bag for a tree that drew
    none of its copies.
    """

    _forest = True
    _parameter_constraints: dict = {
        **_TreeLearner._parameter_constraints,
        "n_estimators": [Interval(numbers.Integral, 1, _learner.U32_MAX, closed="both")],
        "bootstrap": ["boolean"],
        "oob_score": ["boolean"],
        "n_jobs": [numbers.Integral, None],
        "verbose": ["verbose"],
    }

    def __init__(self, n_estimators=100, *, criterion="entropy", max_depth=None,
                 min_samples_split=3, min_samples_leaf=1, max_features=None, bootstrap=True,
                 oob_score=False, n_jobs=None, random_state=None, verbose=0):
        self.n_estimators = n_estimators
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.max_features = max_features
        self.bootstrap = bootstrap
        self.oob_score = oob_score
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.verbose = verbose

    def fit(self, X, y, sample_weight=None):
        """Grows the forest. On joblib's default backend (or another of joblib's own) this is one
        native call on this machine's threads; inside ``joblib.parallel_backend("dask")`` (or
        any other backend) the trees are grown in chunks on the backend's workers and joined in
        tree order, the same forest for the same seed (see ``lindorf._distributed``)."""
        cluster = _distributed.cluster_backend()
        if cluster is None:
            self._join_chunks([self._fit_chunk(X, y, sample_weight, 0, self.n_estimators)])
            return self
        self._check_forest_params()
        data = self._fit_input(X, y, sample_weight)
        params = {**self.get_params(), "random_state": _learner.seed_of(self.random_state)}
        grown = _distributed.grow_chunks(*cluster, data.training(), params, self.verbose)
        self._join_chunks([_Chunk(native, oob_votes, data.codes, data.fitted)
                           for native, oob_votes in grown])
        return self

    def _check_forest_params(self):
        self._validate_params()
        if self.oob_score and not self.bootstrap:
            raise ValueError("Out of bag estimation only available if bootstrap=True")

    def _fit_chunk(self, X, y, sample_weight, first, count, poll=None):
        """Grows trees first .. first + count - 1 of the forest these parameters describe: with
        an int random_state, exactly the trees a whole fit has at those indices. Returns a chunk
        for _join_chunks and leaves the estimator unfitted. `poll`, when given, is called every
        few tens of milliseconds with the trees done; an exception it raises stops the fit."""
        self._check_forest_params()
        data = self._fit_input(X, y, sample_weight)
        progress = _Progress(count) if self.verbose else None
        callbacks = [call for call in (poll, progress) if call is not None]
        watch = (lambda done: [call(done) for call in callbacks]) if callbacks else None
        native, oob_votes = _learner.fit_forest(data, self.get_params(), first, count,
                                                self._threads(), watch)
        if progress is not None:
            progress(count)
        return _Chunk(native, oob_votes, data.codes, data.fitted)

    def _join_chunks(self, chunks):
        """Makes this estimator the forest of `chunks` (from _fit_chunk on the same data and
        parameters), their trees joined in the order given."""
        self._forget_fit()
        native = _estimators.NativeModel.join([chunk.native for chunk in chunks])
        self.__dict__.update(chunks[0].fitted)
        self._native = native
        self._after_load()
        if self.oob_score:
            votes = sum(chunk.oob_votes.astype(np.int64) for chunk in chunks)
            self._set_oob(votes, chunks[0].codes)

    def _set_oob(self, votes, codes):
        counts = votes.sum(axis=1, keepdims=True)
        if np.any(counts == 0):
            warnings.warn("Some inputs do not have OOB scores. This probably means too few "
                          "trees were used to compute any reliable OOB estimates.", UserWarning)
        with np.errstate(invalid="ignore", divide="ignore"):
            decision = np.where(counts > 0, votes / np.maximum(counts, 1), 0.0)
        self.oob_decision_function_ = decision
        self.oob_score_ = accuracy_score(codes, np.argmax(decision, axis=1))

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

    def _after_load(self):
        tree_params = {name: getattr(self, name) for name in _learner.GROWTH_PARAMETERS}
        if not isinstance(self.random_state, numbers.Integral):
            tree_params["random_state"] = None
        fitted = {name: self.__dict__[name] for name in
                  ("classes_", "n_classes_", "n_features_in_", "feature_names_in_")
                  if name in self.__dict__}
        self.estimators_ = [
            DecisionTreeClassifier._from_native(self._native.tree(i), tree_params, fitted)
            for i in range(self._native.n_trees)
        ]


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


RandomForestClassifier.__module__ = "lindorf.ensemble"
